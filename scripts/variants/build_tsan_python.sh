#!/usr/bin/env bash
# Builds a free-threaded CPython instrumented with ThreadSanitizer into the prefix given:
# the musl variant's interpreter (same Debian source package and backports, see
# versions.env), for glibc, compiled by clang with --with-thread-sanitizer, so that the
# extension modules built with -fsanitize=thread (CMake option CORVANE_TSAN) can be
# checked for data races without the GIL. Links the machine's OpenSSL, zlib and libffi,
# uninstrumented: a race reported inside them would not be ours, and none is expected.
# CPython's own suppressions for its known benign races are installed beside it as
# $PREFIX/tsan-suppressions.txt.
#
# Usage: build_tsan_python.sh PREFIX CC       (PREFIX must not exist yet, or be a failed try)
set -euo pipefail
. "$(dirname "$0")/../lib.sh"

prefix=${1:?usage: build_tsan_python.sh PREFIX CC}
cc=${2:?usage: build_tsan_python.sh PREFIX CC}

rm -rf "$prefix"
mkdir -p "$prefix" "$CACHE_ROOT/tmp"
work=$(mktemp -d "$CACHE_ROOT/tmp/tsan-python.XXXXXX")
# The work tree is kept after a failure, for its logs.
trap 'if [ $? -eq 0 ]; then rm -rf "$work"; else log "work tree kept: $work"; fi' EXIT

log "fetching Debian sources ($DEB_SRC_SUITE) into $work"
python_version=$(fetch_deb_source "$PYTHON_SRC_PACKAGE" "$PYTHON_SRC_VERSION" "$work/dl")
unpack_deb_python "$python_version" "$work/dl" "$work/python"
cp "$work/python.patches" "$prefix/DEBIAN-PATCHES"
suppressions=$work/python/Tools/tsan/suppressions_free_threading.txt
[ -f "$suppressions" ] || die "CPython's TSan suppression file is missing: $suppressions"

log "CPython $python_version, free-threaded, ThreadSanitizer ($cc; 15-25 minutes on two cores)"
cd "$work/python"
# The freshly built interpreter runs during the build (module set-up, byte-compiling,
# ensurepip): its own reports go to the log and must not fail the build (TSan's
# default exit code after a report is 66).
export TSAN_OPTIONS="suppressions=$suppressions exitcode=0"
run() {
  "$@" >>"$work/python.log" 2>&1 || { tail -n 60 "$work/python.log" >&2; die "failed: $* (log: $work/python.log)"; }
}
# --disable-test-modules: CPython's own test suite is not needed.
run ./configure --prefix="$prefix" --disable-gil --with-thread-sanitizer --disable-test-modules \
  --with-ensurepip=install CC="$cc"
run make -j"$JOBS"
run make install
cp "$suppressions" "$prefix/tsan-suppressions.txt"

python=$prefix/bin/python3.13t
"$python" - <<'EOF' || die "the ThreadSanitizer interpreter is incomplete"
import sys, sysconfig
import hashlib, ssl, zlib, ctypes
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert "-fsanitize=thread" in sysconfig.get_config_var("PY_CFLAGS"), "not built with ThreadSanitizer"
print(sys.version, "|", ssl.OPENSSL_VERSION)
EOF

cat >"$prefix/VERSIONS" <<EOF
$PYTHON_SRC_PACKAGE $python_version
$("$cc" --version | head -n 1)
EOF
touch "$prefix/.complete"
log "ThreadSanitizer interpreter ready: $prefix"
