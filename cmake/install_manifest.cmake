# Included when the project is installed, not when it is configured: it
# records what an install makes, so that uninstall.sh can undo it without
# the build tree. A staged install (DESTDIR set) records nothing and gets
# no uninstaller: what copies it into place, a package manager, removes it.

# Sets geos_install_staged to whether this install goes into DESTDIR.
if("$ENV{DESTDIR}" STREQUAL "")
  set(geos_install_staged FALSE)
else()
  set(geos_install_staged TRUE)
endif()

# Sets the variable OUT to DIR made absolute against the install prefix,
# normalised, without a trailing '/'.
function(geos_install_path dir out)
  # A relative prefix is taken from the working directory, as file(INSTALL)
  # takes it.
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_PREFIX OUTPUT_VARIABLE prefix)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${prefix}" NORMALIZE OUTPUT_VARIABLE path)
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# Before anything is installed: sets geos_install_made to what an earlier
# install into the same place listed in MANIFEST and is still there, and to
# each of the directories ARGN and their parents that does not exist yet,
# with a trailing '/'. A directory that was there before the first install
# is never listed.
function(geos_note_new_directories manifest)
  set(made)
  if(EXISTS "${manifest}")
    file(STRINGS "${manifest}" earlier)
    foreach(entry IN LISTS earlier)
      if(EXISTS "${entry}")
        list(APPEND made "${entry}")
      endif()
    endforeach()
  endif()
  foreach(dir IN LISTS ARGN)
    geos_install_path("${dir}" path)
    while(NOT IS_DIRECTORY "${path}")
      list(APPEND made "${path}/")
      cmake_path(GET path PARENT_PATH path)
    endwhile()
  endforeach()
  set(geos_install_made "${made}" PARENT_SCOPE)
endfunction()

# After everything is installed: writes MANIFEST, one absolute path a line,
# every file installed (MANIFEST included) before the directories of
# geos_install_made, deepest first, and adds MANIFEST to what CMake lists.
function(geos_write_manifest manifest)
  set(files)
  foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES manifest)
    geos_install_path("${file}" path)
    list(APPEND files "${path}")
  endforeach()
  set(directories "${geos_install_made}")
  list(FILTER directories INCLUDE REGEX "/$")
  set(earlier_files "${geos_install_made}")
  list(FILTER earlier_files EXCLUDE REGEX "/$")
  list(APPEND files ${earlier_files})
  list(REMOVE_DUPLICATES files)
  list(REMOVE_DUPLICATES directories)
  list(SORT directories ORDER DESCENDING)
  string(JOIN "\n" text ${files} ${directories})
  file(WRITE "${manifest}" "${text}\n")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${manifest}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
