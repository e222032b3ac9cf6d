# CMake toolchain for an old glibc (x86_64-linux-gnu.2.28, say): C and C++ through zig's
# clang, against zig's own glibc stubs of that version (so that the binaries need no
# symbol newer than it) and with zig's libc++ linked statically into every module and
# test binary.
#
# Reads two environment variables, set by scripts/lib.sh (build_glibc_wheel):
#   CORVANE_ZIG_DIR     directory whose bin/ holds the zig-TARGET-cc and zig-TARGET-c++ wrappers
#   CORVANE_ZIG_TARGET  the zig target, e.g. x86_64-linux-gnu.2.28
# Environment variables (unlike -D values) also reach CMake's try_compile projects,
# which read this file again.
#
# CMAKE_SYSTEM_NAME stays unset: the binaries run on the build machine, whose glibc is
# newer, so this is not a cross build to CMake and FindPython asks the interpreter
# itself for its headers. OpenSSL comes from OPENSSL_ROOT_DIR (a static build for the
# same target); the wheel check fails if anything else shared were linked.

foreach(var CORVANE_ZIG_DIR CORVANE_ZIG_TARGET)
  if(NOT DEFINED ENV{${var}})
    message(FATAL_ERROR "zig-glibc.cmake: environment variable ${var} is not set (run scripts/variants.sh)")
  endif()
endforeach()

set(CMAKE_C_COMPILER "$ENV{CORVANE_ZIG_DIR}/bin/zig-$ENV{CORVANE_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "$ENV{CORVANE_ZIG_DIR}/bin/zig-$ENV{CORVANE_ZIG_TARGET}-c++")

# Static libraries (the crypto core, libcrypto) end up inside shared extension modules.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
# Each module carries its own static libcrypto and libc++: export the init function only.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/extension-exports.map")
