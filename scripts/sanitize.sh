#!/usr/bin/env bash
# Builds the three modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake option CORVANE_SANITIZE) and runs the whole Python suite against
# that build. Exits non-zero when a test fails or when either sanitizer
# reports anything, in any process of the run.
#
#   scripts/sanitize.sh [pytest arguments...]
#
# The build directory is build/sanitize, or $CORVANE_SANITIZE_BUILD_DIR.
#
# The interpreter is not built with ASan, so the runtime of the compiler that
# built the modules is preloaded (it must come first in the process).
# PYTHONMALLOC=malloc sends the interpreter's own allocations through the
# sanitizer's allocator as well, so that a reference-count fault of ours (an
# object freed while we still use it) shows as a use-after-free. Leak
# detection is off: the interpreter keeps its objects alive until exit by
# design and would drown any report; leaks are the business of
# tests/python/test_leaks.py and of the fuzzers (scripts/fuzz.sh), whose
# LeakSanitizer covers the crypto core.
set -euo pipefail
cd "$(dirname "$0")/.."
LOG_NAME=sanitize
. scripts/lib.sh
bash scripts/setup-system.sh build

python=${PYTHON:-python3}
build=${CORVANE_SANITIZE_BUILD_DIR:-build/sanitize}
venv="$build/venv"
mkdir -p "$build"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
# The build and test requirements, read from pyproject.toml; the package
# itself is not installed: the suite imports the sanitized build tree.
{ pyproject_list build | grep -v '^scikit-build'; pyproject_list runtime; pyproject_list test; } \
  >"$build/requirements.txt"
"$venv/bin/python" -m pip install -q -r "$build/requirements.txt" "${TEST_SUPPORT_PACKAGES[@]}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$(cd "$venv/bin" && pwd)/python" >/dev/null
cmake --build "$build" -j2

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
libasan=$("$cxx" -print-file-name=libasan.so)
# The C++ runtime is preloaded too: ASan finds the real __cxa_throw when it
# starts, and the interpreter (a C program) would load libstdc++ only later
# with the first module, leaving the first C++ exception to a failed check.
libstdcxx=$("$cxx" -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
  if [ ! -e "$lib" ]; then
    echo "cannot find $lib of $cxx" >&2
    exit 1
  fi
done

reports="$PWD/$build/reports"
run_sanitized() {
  LD_PRELOAD="$libasan $libstdcxx" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
  PYTHONPATH="$build/pkg" \
    "$venv/bin/python" "$@"
}

# Canary: the set-up must turn a double free into a report file, or a quiet
# run below would prove nothing.
rm -rf "$reports"
mkdir -p "$reports"
run_sanitized -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.free.argtypes = [ctypes.c_void_p]
p = libc.malloc(16)
libc.free(p)
libc.free(p)
' 2>/dev/null && { echo "the sanitizer canary did not fail" >&2; exit 1; }
if ! grep -qs "double-free" "$reports"/asan.*; then
  echo "the sanitizer canary left no report: the set-up does not work" >&2
  exit 1
fi
rm -rf "$reports"
mkdir -p "$reports"

status=0
# The sanitized modules run from their build tree, not an installed distribution: the
# tests that read the distribution's metadata or type-check its installed stubs are left
# out here (the test command and the variant command run them).
run_sanitized -m pytest tests/python -q -p no:cacheprovider -m "not installed_package" "$@" || status=$?

suite_verdict "$status" "$reports"
