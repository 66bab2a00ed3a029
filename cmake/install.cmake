# Install layout and the Debian package.
include(GNUInstallDirs)

# The man page is installed gzipped where gzip is there, as is.
find_program(GZIP gzip)
set(man_page_file ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1)
if(GZIP)
  set(man_page_file ${PROJECT_BINARY_DIR}/geos-unwrap.1.gz)
  add_custom_command(OUTPUT ${man_page_file}
    COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1 > ${man_page_file}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/geos-unwrap.1
    COMMENT "Compressing the man page")
endif()
add_custom_target(man_page ALL DEPENDS ${man_page_file})

install(TARGETS geos-unwrap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${man_page_file} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md CHANGELOG.md LICENSE packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# A .deb only where the program is built for Linux; a tarball elsewhere.
set(CPACK_GENERATOR TGZ)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_PACKAGE_NAME geos-unwrap)
set(CPACK_PACKAGE_VENDOR "The geos-unwrap developers")
set(CPACK_PACKAGE_CONTACT
    "geos-unwrap maintainers <maintainers@users.noreply.c-seed-7a4b8bfa.example>")
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
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
include(CPack)
