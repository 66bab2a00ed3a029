# Install layout and the Debian package.
include(GNUInstallDirs)

find_program(GZIP gzip REQUIRED)
set(man_page_gz ${PROJECT_BINARY_DIR}/geos-unwrap.1.gz)
add_custom_command(OUTPUT ${man_page_gz}
  COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1 > ${man_page_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1
  COMMENT "Compressing the man page")
add_custom_target(man_page ALL DEPENDS ${man_page_gz})

# The package's changelog.gz: CHANGELOG.md in the form Debian tools read.
set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
set(package_contact
    "geos-unwrap maintainers <maintainers@users.noreply.c-seed-7a4b8bfa.example>")
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/CHANGELOG.md
          -DOUT=${PROJECT_BINARY_DIR}/changelog -DPACKAGE=${PROJECT_NAME}
          -DMAINTAINER=${package_contact} -P ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
  COMMAND ${GZIP} -9nf ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.cmake
  COMMENT "Writing the Debian changelog" VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${changelog_gz})

install(TARGETS geos-unwrap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (cmake --install --strip, and the package) also drops
# the compilers' version strings in .comment, as dh_strip does.
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF" AND CMAKE_OBJCOPY)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/geos-unwrap\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
endif()
install(FILES ${man_page_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian Policy keeps the licence in copyright and the changes in
# changelog.gz; a plain install gets the upstream files, the package not.
install(FILES CHANGELOG.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT upstream_doc)
install(FILES ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${PROJECT_NAME} COMPONENT debian EXCLUDE_FROM_ALL)

# A .deb only where the program is built for Linux; a tarball elsewhere.
set(CPACK_GENERATOR TGZ)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_PACKAGE_NAME geos-unwrap)
set(CPACK_PACKAGE_VENDOR "The geos-unwrap developers")
set(CPACK_PACKAGE_CONTACT "${package_contact}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Many old sound files carry a GEOS file header in front of their sound data.
geos-unwrap checks each file named for the GEOS signature, finds where the
sound data starts, and writes the data to a new .rng file beside the input,
with one line of report per file. Outputs appear whole or not at all, and a
file stripped in place is replaced durably.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
# One package of the program and the Debian files, without upstream_doc.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
