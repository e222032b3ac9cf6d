#!/usr/bin/env bash
# Builds the musl sysroot of the free-threaded variant into the prefix given:
#   zlib and libffi (static), OpenSSL libcrypto/libssl (static, position independent)
#   and a free-threaded CPython (--disable-gil) with pip and ctypes, all compiled by
#   musl-gcc for x86_64-linux-musl from Debian source packages (see versions.env).
# The interpreter links these libraries statically, so the prefix needs nothing at run
# time but the musl loader (/lib/ld-musl-x86_64.so.1 from Debian's musl package).
# The extension modules of this project link the same static OpenSSL (OPENSSL_ROOT_DIR).
#
# Usage: build_musl_sysroot.sh PREFIX      (PREFIX must not exist yet, or be a failed try)
# The tools and the deb-src entry come from scripts/setup-system.sh variants.
set -euo pipefail
LOG_NAME=musl-sysroot
. "$(dirname "$0")/../lib.sh"

prefix=${1:?usage: build_musl_sysroot.sh PREFIX}

rm -rf "$prefix"
mkdir -p "$prefix" "$CACHE_ROOT/tmp"
work=$(mktemp -d "$CACHE_ROOT/tmp/musl-sysroot.XXXXXX")
# The work tree is kept after a failure, for its logs.
trap 'if [ $? -eq 0 ]; then rm -rf "$work"; else log "work tree kept: $work"; fi' EXIT
cd "$work"

log "fetching Debian sources ($DEB_SRC_SUITE) into $work"
zlib_version=$(fetch_deb_source "$ZLIB_SRC_PACKAGE" "$ZLIB_SRC_VERSION" "$work/dl")
libffi_version=$(fetch_deb_source "$LIBFFI_SRC_PACKAGE" "$LIBFFI_SRC_VERSION" "$work/dl")
openssl_version=$(fetch_deb_source "$OPENSSL_SRC_PACKAGE" "$OPENSSL_SRC_VERSION" "$work/dl")
python_version=$(fetch_deb_source "$PYTHON_SRC_PACKAGE" "$PYTHON_SRC_VERSION" "$work/dl")

# musl-gcc sees only musl's headers. The kernel's user-space headers are libc-neutral;
# OpenSSL and CPython probe a few of them (linux/random.h, linux/vm_sockets.h, ...).
kernel_headers=$work/kernel-headers
mkdir -p "$kernel_headers"
cp -r /usr/include/linux /usr/include/asm-generic "$kernel_headers/"
cp -r "/usr/include/$(gcc -print-multiarch)/asm" "$kernel_headers/asm"

export CC=musl-gcc
# No pkg-config at all: the host's .pc files describe glibc libraries.
export PKG_CONFIG=false

dsc_of() { ls "$work/dl/${1}_${2#*:}.dsc"; }

# run LOG COMMAND...: runs a build step with its output in LOG; on failure shows the end
# of LOG and stops.
run() {
  local logfile=$1
  shift
  "$@" >>"$logfile" 2>&1 || { tail -n 60 "$logfile" >&2; die "failed: $* (log: $logfile)"; }
}

log "zlib $zlib_version"
run "$work/zlib.log" dpkg-source -x "$(dsc_of "$ZLIB_SRC_PACKAGE" "$zlib_version")" "$work/zlib"
cd "$work/zlib"
run "$work/zlib.log" env CFLAGS="-O2 -fPIC" ./configure --prefix="$prefix" --static
run "$work/zlib.log" make -j"$JOBS" libz.a
run "$work/zlib.log" make install

log "libffi $libffi_version"
run "$work/libffi.log" dpkg-source -x "$(dsc_of "$LIBFFI_SRC_PACKAGE" "$libffi_version")" "$work/libffi"
cd "$work/libffi"
# Debian's libffi source comes without the generated configure script, and its
# configure.ac uses LT_SYS_SYMBOL_USCORE of libtool 2.5, newer than this machine's.
# The only target here is x86_64 ELF, whose C symbols carry no leading underscore.
cat >m4/lt-sys-symbol-uscore.m4 <<'EOF'
m4_ifndef([LT_SYS_SYMBOL_USCORE], [AC_DEFUN([LT_SYS_SYMBOL_USCORE], [sys_symbol_underscore=no])])
EOF
run "$work/libffi.log" autoreconf -fi
run "$work/libffi.log" ./configure --prefix="$prefix" --libdir="$prefix/lib" --disable-shared --enable-static \
  --with-pic --disable-docs --disable-multi-os-directory CPPFLAGS="-isystem $kernel_headers"
run "$work/libffi.log" make -j"$JOBS"
run "$work/libffi.log" make install
cd "$work"

log "OpenSSL $openssl_version (a few minutes)"
run "$work/openssl.log" dpkg-source -x "$(dsc_of "$OPENSSL_SRC_PACKAGE" "$openssl_version")" "$work/openssl"
cd "$work/openssl"
# no-shared/no-module: one static libcrypto with the legacy provider built in, so nothing
# is loaded from disk at run time. -fPIC: it is linked into shared objects (CPython's
# _ssl/_hashlib and this project's modules). no-async: musl has no makecontext.
# no-afalgeng/no-ktls: kernel offload paths, not wanted here.
# OPENSSLDIR /etc/ssl: the machine's CA certificates and configuration, as on the host.
run "$work/openssl.log" ./Configure linux-x86_64 --prefix="$prefix" --libdir=lib --openssldir=/etc/ssl \
  no-shared no-module no-tests no-docs no-apps no-async no-afalgeng no-ktls \
  -fPIC -isystem "$kernel_headers"
run "$work/openssl.log" make -j"$JOBS" build_libs
run "$work/openssl.log" make install_dev

log "CPython $python_version, free-threaded (a few minutes)"
unpack_deb_python "$python_version" "$work/dl" "$work/python"
cp "$work/python.patches" "$prefix/DEBIAN-PATCHES"
cd "$work/python"
# configure takes the platform triplet from "$CC --print-multiarch", which musl-gcc
# answers with the glibc triplet, and stops on the mismatch with the triplet it detects
# itself (x86_64-linux-musl). An empty answer makes it use its own.
grep -q '^    MULTIARCH=$($CC --print-multiarch 2>/dev/null)$' configure || die "configure: multiarch probe not found"
sed -i 's/^    MULTIARCH=$($CC --print-multiarch 2>\/dev\/null)$/    MULTIARCH=/' configure
# --disable-test-modules: CPython's own test suite is not needed, and installing it
# (with three byte-compilations) is a good part of the build time.
run "$work/python.log" ./configure --prefix="$prefix" --disable-gil --with-openssl="$prefix" \
  --disable-test-modules --with-ensurepip=install CPPFLAGS="-I$prefix/include -isystem $kernel_headers" LDFLAGS="-L$prefix/lib"
run "$work/python.log" make -j"$JOBS"
run "$work/python.log" make install
cd "$work"

python=$prefix/bin/python3.13t
"$python" - <<'EOF' || die "the musl interpreter is incomplete"
import sys, sysconfig
import hashlib, ssl, zlib, _ssl, _hashlib  # pip needs all of these
import ctypes
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "GIL enabled at start-up"
assert sysconfig.get_config_var("MULTIARCH") == "x86_64-linux-musl", sysconfig.get_config_var("MULTIARCH")
print(sys.version, "|", ssl.OPENSSL_VERSION, "| zlib", zlib.ZLIB_RUNTIME_VERSION)
EOF

cat >"$prefix/VERSIONS" <<EOF
$PYTHON_SRC_PACKAGE $python_version
$OPENSSL_SRC_PACKAGE $openssl_version
$ZLIB_SRC_PACKAGE $zlib_version
$LIBFFI_SRC_PACKAGE $libffi_version
musl $(deb_package_version musl-dev)
EOF
touch "$prefix/.complete"
log "musl sysroot ready: $prefix"
