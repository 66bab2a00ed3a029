# Hardening of the program: what Debian's dpkg-buildflags gives for
# hardening=+all, collected in the interface target geos_hardening. Each
# flag is probed, so a compiler or target that lacks one (ld64 has no -z,
# only x86 has CET, only arm64 has branch protection) builds without it.
# A distribution's package build (build type None, as debhelper and the RPM
# spec configure it) gets none of them: it brings its own in CXXFLAGS and
# LDFLAGS, which these would duplicate or, for _FORTIFY_SOURCE, override.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

# Sanitizers and libFuzzer bring their own checks and runtime: fortified
# wrappers would hide accesses from ASan, so those builds stay plain.
set(harden_default OFF)
if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$"
   AND NOT GEOS_UNWRAP_SANITIZE AND NOT GEOS_UNWRAP_FUZZ)
  set(harden_default ON)
endif()
option(GEOS_UNWRAP_HARDEN
  "Build the program with stack protector, fortify, stack clash and CET, PIE, RELRO and BIND_NOW"
  ${harden_default})

add_library(geos_hardening INTERFACE)
if(NOT GEOS_UNWRAP_HARDEN)
  return()
endif()

check_pie_supported(LANGUAGES CXX)
if(CMAKE_CXX_LINK_PIE_SUPPORTED)
  set_property(TARGET geos_hardening PROPERTY INTERFACE_POSITION_INDEPENDENT_CODE ON)
endif()

# clang only warns about a flag its target does not use; as an error, the
# probe drops such a flag instead of passing it to every compile.
check_cxx_compiler_flag(-Werror=unused-command-line-argument GEOS_UNWRAP_HAS_UNUSED_ARGUMENT_ERROR)
set(probe_flags "")
if(GEOS_UNWRAP_HAS_UNUSED_ARGUMENT_ERROR)
  set(probe_flags -Werror=unused-command-line-argument)
endif()
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection
             -mbranch-protection=standard)
  string(MAKE_C_IDENTIFIER "GEOS_UNWRAP_HAS${flag}" result)
  set(CMAKE_REQUIRED_FLAGS ${probe_flags})
  check_cxx_compiler_flag(${flag} ${result})
  unset(CMAKE_REQUIRED_FLAGS)
  if(${result})
    target_compile_options(geos_hardening INTERFACE ${flag})
  endif()
endforeach()

# _FORTIFY_SOURCE only acts with optimisation, and glibc warns without it;
# -U first, for compilers that define it themselves.
if(NOT GEOS_UNWRAP_SANITIZE)
  set(optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
  target_compile_options(geos_hardening INTERFACE
    $<${optimised}:-U_FORTIFY_SOURCE> $<${optimised}:-D_FORTIFY_SOURCE=2>)
endif()

foreach(flag -z,relro -z,now)
  string(MAKE_C_IDENTIFIER "GEOS_UNWRAP_HAS_LINKER${flag}" result)
  check_linker_flag(CXX LINKER:${flag} ${result})
  if(${result})
    target_link_options(geos_hardening INTERFACE LINKER:${flag})
  endif()
endforeach()
