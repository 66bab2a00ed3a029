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
# reads, which cmake/install_manifest.cmake writes from what is noted here as
# each file goes in (not from CMake's list of them, which splits at a ';' in
# the prefix), so that it can be undone without the build tree.
set(uninstall_dir ${CMAKE_INSTALL_DATADIR}/geos-unwrap)
install(CODE "include(\"${PROJECT_SOURCE_DIR}/cmake/install_manifest.cmake\")
  geos_manifest_begin([==[${uninstall_dir}/installed-files]==])")

# install(FILES), with the directories it is about to make and the files
# noted for the manifest.
function(geos_install_files destination)
  install(CODE "geos_manifest_directories([==[${destination}]==])")
  install(FILES ${ARGN} DESTINATION ${destination})
  foreach(file IN LISTS ARGN)
    cmake_path(GET file FILENAME name)
    install(CODE "geos_manifest_add([==[${destination}/${name}]==])")
  endforeach()
endfunction()

install(CODE "geos_manifest_directories([==[${CMAKE_INSTALL_BINDIR}]==])")
install(TARGETS geos-unwrap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "geos_manifest_add([==[${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:geos-unwrap>]==])")
# A stripped install (cmake --install --strip) also drops the compilers'
# version strings in .comment, as dh_strip does.
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF" AND CMAKE_OBJCOPY)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/geos-unwrap\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endif()
geos_install_files(${CMAKE_INSTALL_MANDIR}/man1 ${man_page_gz})
# The README with every document it links to, where its links lead.
geos_install_files(${CMAKE_INSTALL_DOCDIR} README.md CHANGELOG.md LICENSE CONTRIBUTING.md SECURITY.md)
file(GLOB doc_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.md)
geos_install_files(${CMAKE_INSTALL_DOCDIR}/doc ${doc_pages})
geos_install_files(${CMAKE_INSTALL_DOCDIR}/man man/geos-unwrap.1)
install(CODE "if(NOT geos_install_staged)
    geos_manifest_directories([==[${uninstall_dir}]==])
    geos_install_path([==[${uninstall_dir}]==] geos_uninstall_dir)
    file(INSTALL \"${PROJECT_SOURCE_DIR}/cmake/uninstall.sh\" DESTINATION \"\${geos_uninstall_dir}\"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                       WORLD_READ WORLD_EXECUTE)
    geos_manifest_add([==[${uninstall_dir}/uninstall.sh]==])
    geos_manifest_write([==[${uninstall_dir}/installed-files]==])
    message(STATUS \"Uninstall: \${geos_uninstall_dir}/uninstall.sh\")
  endif()")

# The Debian and RPM packages, built by each distribution's own tools from
# the source archive of the last commit (packaging/distro-packages.sh).
add_custom_target(distro_packages
  COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/distro-packages.sh ${PROJECT_BINARY_DIR}/packages
  USES_TERMINAL VERBATIM)
