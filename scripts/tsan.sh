#!/usr/bin/env bash
# Race detection for the free-threaded variant: builds the three modules with
# ThreadSanitizer (CMake option CORVANE_TSAN) for a free-threaded CPython that is
# instrumented too (scripts/variants/build_tsan_python.sh, cached), and runs the whole
# Python suite, the multi-thread stress test included, under it with the GIL off.
# Exits non-zero when a test fails or when TSan reports anything in any process of the
# run. The only suppressions are CPython's own, for the interpreter's known benign
# races; none covers this project's code.
#
#   scripts/tsan.sh [pytest arguments...]
#
# The build directory is build/tsan, or $CORVANE_TSAN_BUILD_DIR. The interpreter is
# cached under $CORVANE_VARIANTS_CACHE/tsan-python/ (default ~/.cache/corvane-variants),
# keyed by the pinned CPython source, the compiler and the recipe; a cold build takes
# 15-25 minutes on two cores, a warm run a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. scripts/lib.sh
bash scripts/setup-system.sh build variants tsan

# The newest clang Debian 12 offers (the tsan group of setup-system.sh), with its TSan
# runtime and symbolizer.
CLANG_VERSION=19
cc=clang-$CLANG_VERSION
cxx=clang++-$CLANG_VERSION
symbolizer=/usr/lib/llvm-$CLANG_VERSION/bin/llvm-symbolizer

prefix=$CACHE_ROOT/tsan-python/py$(upstream_version "$PYTHON_SRC_VERSION")t-clang$CLANG_VERSION-$(
  short_hash "$PYTHON_SRC_VERSION" "$("$cc" --version | head -n 1)" \
    "$(deb_package_version libc6-dev 2>/dev/null || echo none)" "$VARIANTS_DIR/build_tsan_python.sh")
if [ ! -f "$prefix/.complete" ]; then
  bash "$VARIANTS_DIR/build_tsan_python.sh" "$prefix" "$cc"
fi
python=$prefix/bin/python3.13t

build=${CORVANE_TSAN_BUILD_DIR:-build/tsan}
venv=$repo/$build/venv
reports=$repo/$build/reports
mkdir -p "$build"
tsan_options="suppressions=$prefix/tsan-suppressions.txt external_symbolizer_path=$symbolizer"
# Set-up steps (venv, pip) run on the instrumented interpreter too: a report there is
# the interpreter's or pip's business and must not stop the run (TSan exits 66 after
# reporting). The checked runs below log every report to a file.
export TSAN_OPTIONS="$tsan_options exitcode=0"
export PYTHON_GIL=0

if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
  log "venv of the ThreadSanitizer interpreter"
  "$python" -m venv --clear "$venv"
fi
# Test requirements from pyproject.toml, as binary or pure-Python wheels only: nothing
# is compiled for this interpreter. Not pyca/cryptography: the test keys come from the
# openssl tool instead (tests/python/support/keys.py).
"$venv/bin/python" - <<'EOF' >"$build/requirements.txt"
import tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
wanted = project["project"]["dependencies"] + project["project"]["optional-dependencies"]["test"]
wanted += [r for r in project["build-system"]["requires"] if r.startswith("nanobind")]
print("\n".join(r for r in wanted if not r.lower().startswith("cryptography")))
EOF
"$venv/bin/python" -m pip install -q --only-binary=:all: -r "$build/requirements.txt"

log "modules built with -fsanitize=thread ($cxx)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TSAN=ON \
  -DCMAKE_CXX_COMPILER="$cxx" -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j"$JOBS"

# The build tree is the venv's corvane_core (a .pth file, so that the suite's fresh
# interpreters, isolated with -I, find it too). -P: the checkout does not shadow it.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
echo "$repo/$build/pkg" >"$site/corvane-core-tsan-build.pth"
run_tsan() {
  TSAN_OPTIONS="$tsan_options log_path=$reports/tsan" "$venv/bin/python" -P "$@"
}

# The modules carry the instrumentation.
for module in "$build"/pkg/corvane_core/*.so; do
  nm -D --undefined-only "$module" | grep -q '__tsan_func_entry' || die "$module is not built with -fsanitize=thread"
done
# Canary: a data race in a library loaded into the interpreter (two threads writing one
# int) must leave a report file, or a quiet run below would prove nothing.
rm -rf "$reports"
mkdir -p "$reports"
cat >"$build/canary.c" <<'EOF'
#include <pthread.h>
static int shared;
static void *write_shared(void *arg) { shared += (int)(long)arg; return NULL; }
void race(void) {
  pthread_t a, b;
  pthread_create(&a, NULL, write_shared, (void *)1);
  pthread_create(&b, NULL, write_shared, (void *)2);
  pthread_join(a, NULL);
  pthread_join(b, NULL);
}
EOF
"$cc" -shared -fPIC -fsanitize=thread -g -o "$build/canary.so" "$build/canary.c"
run_tsan -c "import ctypes; ctypes.CDLL('$repo/$build/canary.so').race()" || true
if ! grep -qs "data race" "$reports"/tsan.*; then
  die "the ThreadSanitizer canary left no report: the set-up does not work"
fi
rm -rf "$reports"
mkdir -p "$reports"

log "Python suite under ThreadSanitizer, GIL off"
started=$SECONDS
status=0
run_tsan -c '
import sys
from corvane_core import corvane_keys, corvane_pain, corvane_user
assert not sys._is_gil_enabled(), "the GIL is on after importing the modules"' || status=$?
run_tsan -m pytest tests/python -q -p no:cacheprovider "$@" || status=$?
log "suite finished in $((SECONDS - started)) s"

suite_verdict "$status" "$reports"
