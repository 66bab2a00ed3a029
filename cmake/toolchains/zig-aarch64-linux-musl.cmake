# zig c++ for aarch64-linux-musl.
set(ZIG_TARGET aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
