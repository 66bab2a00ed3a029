# Loaded after CMake's platform rules. Its Apple rules ask the linker for -v
# when CMake probes the compiler; zig's Mach-O linker has no such option.
set(CMAKE_CXX_VERBOSE_FLAG "-v")
