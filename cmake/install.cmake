# Install layout, and the distribution packages.
include(GNUInstallDirs)

find_program(GZIP gzip REQUIRED)
set(man_page_gz ${PROJECT_BINARY_DIR}/geos-unwrap.1.gz)
add_custom_command(OUTPUT ${man_page_gz}
  COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1 > ${man_page_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1
  COMMENT "Compressing the man page")
add_custom_target(man_page ALL DEPENDS ${man_page_gz})

# An install into place also installs uninstall.sh and the manifest it
# reads (cmake/install_manifest.cmake), so that it can be undone without the
# build tree. The directories that it is about to create are noted first.
set(uninstall_dir ${CMAKE_INSTALL_DATADIR}/geos-unwrap)
install(CODE "include(\"${PROJECT_SOURCE_DIR}/cmake/install_manifest.cmake\")
  geos_install_path(\"${uninstall_dir}\" geos_uninstall_dir)
  if(NOT geos_install_staged)
    geos_note_new_directories(\"\${geos_uninstall_dir}/installed-files\"
      \"${CMAKE_INSTALL_BINDIR}\" \"${CMAKE_INSTALL_MANDIR}/man1\" \"${CMAKE_INSTALL_DOCDIR}\"
      \"${uninstall_dir}\")
  endif()")

install(TARGETS geos-unwrap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cmake --install --strip) also drops the compilers'
# version strings in .comment, as dh_strip does.
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF" AND CMAKE_OBJCOPY)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/geos-unwrap\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endif()
install(FILES ${man_page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md CHANGELOG.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(CODE "if(NOT geos_install_staged)
    file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/uninstall.sh\" DESTINATION \"\${geos_uninstall_dir}\"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                       WORLD_READ WORLD_EXECUTE)
    geos_write_manifest(\"\${geos_uninstall_dir}/installed-files\")
    message(STATUS \"Uninstall: \${geos_uninstall_dir}/uninstall.sh\")
  endif()")

# The Debian and RPM packages, built by each distribution's own tools from
# the source archive of the last commit (packaging/distro-packages.sh).
add_custom_target(distro_packages
  COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/distro-packages.sh ${PROJECT_BINARY_DIR}/packages
  USES_TERMINAL VERBATIM)
