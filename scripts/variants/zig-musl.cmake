# CMake toolchain for x86_64-linux-musl: C and C++ through zig's clang, with zig's own
# musl C library and libc++ (linked statically into every module and test binary).
#
# Reads two environment variables, set by scripts/variants.sh:
#   CORVANE_ZIG_DIR       directory whose bin/ holds the zig-cc and zig-c++ wrappers
#   CORVANE_MUSL_SYSROOT  prefix with the musl builds of OpenSSL, zlib and CPython
# Environment variables (unlike -D values) also reach CMake's try_compile projects,
# which read this file again.

# CMAKE_SYSTEM_NAME stays unset on purpose: the musl binaries run on the build machine
# (through /lib/ld-musl-x86_64.so.1), so this is not a cross build to CMake, and
# FindPython may ask the target interpreter itself for its headers and ABI (in cross
# mode it cannot find the free-threaded headers).

foreach(var CORVANE_ZIG_DIR CORVANE_MUSL_SYSROOT)
  if(NOT DEFINED ENV{${var}})
    message(FATAL_ERROR "zig-musl.cmake: environment variable ${var} is not set (run scripts/variants.sh)")
  endif()
endforeach()

set(CMAKE_C_COMPILER "$ENV{CORVANE_ZIG_DIR}/bin/zig-cc")
set(CMAKE_CXX_COMPILER "$ENV{CORVANE_ZIG_DIR}/bin/zig-c++")

# Libraries and headers come from the musl sysroot only: a glibc libcrypto or zlib from
# the build machine must never be linked by mistake. Programs (the build machine's own
# tools) and package configuration files (nanobind's, which lives in the build venv) are
# searched as usual.
set(CMAKE_FIND_ROOT_PATH "$ENV{CORVANE_MUSL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Static libraries (the crypto core, libcrypto) end up inside shared extension modules.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
# Each module carries its own static libcrypto and libc++: export the init function
# only (zig's linker has no --exclude-libs).
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/extension-exports.map")
