# Included when the project is installed, not when it is configured: it
# records what an install makes, so that uninstall.sh can undo it without
# the build tree. A staged install (DESTDIR set) records nothing and gets
# no uninstaller: what copies it into place, a package manager, removes it.
#
# The manifest is text kept in a global property, never a CMake list: a list
# splits at every ';', and the prefix may hold one. Each entry is one
# absolute path on a line of its own, a directory with a trailing '/', with
# each backslash written \\ and each newline \n, which uninstall.sh reads
# back with printf's %b.

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

function(geos_manifest_encode path out)
  string(REPLACE "\\" "\\\\" path "${path}")
  string(REPLACE "\n" "\\n" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# Adds the absolute PATH to the manifest, unless it is there already.
function(geos_manifest_add_path path)
  geos_manifest_encode("${path}" entry)
  get_property(text GLOBAL PROPERTY geos_manifest)
  string(FIND "\n${text}" "\n${entry}\n" at)
  if(at EQUAL -1)
    set_property(GLOBAL APPEND_STRING PROPERTY geos_manifest "${entry}\n")
  endif()
endfunction()

# Before anything is installed: starts the manifest MANIFEST (a path under
# the prefix) with what an earlier install into the same place listed there
# within the prefix or above it, so that the directories it made are still
# removed.
# Refuses a prefix that CMake would not install into as it is written.
function(geos_manifest_begin manifest)
  set_property(GLOBAL PROPERTY geos_manifest "")
  if(geos_install_staged)
    return()
  endif()
  # file(INSTALL) turns a backslash into '/', so the files would land
  # elsewhere than the prefix named, and the manifest would be wrong.
  if(CMAKE_INSTALL_PREFIX MATCHES [[\\]])
    message(FATAL_ERROR "Cannot install into '${CMAKE_INSTALL_PREFIX}': "
      "CMake takes its backslash for a '/'.")
  endif()
  geos_install_path("${manifest}" manifest)
  if(NOT EXISTS "${manifest}")
    return()
  endif()
  geos_install_path("." prefix)
  if(NOT prefix MATCHES "/$")
    string(APPEND prefix "/")
  endif()
  geos_manifest_encode("${prefix}" inside)
  file(READ "${manifest}" earlier)
  string(FIND "${earlier}" "\n" end)
  while(end GREATER -1)
    string(SUBSTRING "${earlier}" 0 ${end} entry)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${earlier}" ${end} -1 earlier)
    string(FIND "${entry}" "${inside}" at)
    string(FIND "${inside}" "${entry}" above)
    if(at EQUAL 0 OR (above EQUAL 0 AND entry MATCHES "/$"))
      set_property(GLOBAL APPEND_STRING PROPERTY geos_manifest "${entry}\n")
    endif()
    string(FIND "${earlier}" "\n" end)
  endwhile()
endfunction()

# Before files are installed into DIR: adds each of DIR and its parents that
# does not exist yet, deepest first. A directory that was there before the
# first install is never listed.
function(geos_manifest_directories dir)
  if(geos_install_staged)
    return()
  endif()
  geos_install_path("${dir}" path)
  while(NOT IS_DIRECTORY "${path}")
    geos_manifest_add_path("${path}/")
    cmake_path(GET path PARENT_PATH path)
  endwhile()
endfunction()

# After a file is installed: adds FILE, its path under the prefix.
function(geos_manifest_add file)
  if(NOT geos_install_staged)
    geos_install_path("${file}" path)
    geos_manifest_add_path("${path}")
  endif()
endfunction()

# After everything is installed: writes the manifest, which names itself,
# to MANIFEST, and adds it to what CMake lists.
function(geos_manifest_write manifest)
  geos_manifest_add("${manifest}")
  geos_install_path("${manifest}" manifest)
  get_property(text GLOBAL PROPERTY geos_manifest)
  file(WRITE "${manifest}" "${text}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${manifest}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
