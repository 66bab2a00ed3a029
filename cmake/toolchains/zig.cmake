# Cross compiling with `zig c++`: clang with the libc of each target inside
# (musl for Linux, the macOS SDK stubs for macOS). Included by the
# zig-<target>.cmake files, which set ZIG_TARGET to a zig target triple.
string(REPLACE "-" ";" _zig_parts "${ZIG_TARGET}")
list(GET _zig_parts 0 CMAKE_SYSTEM_PROCESSOR)
list(GET _zig_parts 1 _zig_os)
if(_zig_os STREQUAL "macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
  # musl links fully static: the binary runs on any Linux of its architecture.
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
endif()

# clang only warns about a flag the target has no use for (stack clash
# protection on macOS, branch protection off arm64); as an error it makes
# the flag probes drop such a flag. The source path is mapped out of the
# binaries, so that they do not depend on where the tree is.
set(CMAKE_CXX_FLAGS_INIT
    "-Werror=unused-command-line-argument -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")

set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_COMPILER_TARGET ${ZIG_TARGET})
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake)
# zig builds the C++ runtime of each target once per optimisation mode, on
# first use: probe programs built optimised share it with the real build.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)

# Headers and libraries come from zig's own copies, never from this machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
