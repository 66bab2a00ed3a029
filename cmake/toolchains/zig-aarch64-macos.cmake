# zig c++ for aarch64-macos.
set(ZIG_TARGET aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
