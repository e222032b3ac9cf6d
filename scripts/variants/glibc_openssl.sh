#!/usr/bin/env bash
# Prints the prefix of a static, position-independent OpenSSL libcrypto for a glibc
# target of zig (x86_64-linux-gnu.2.28, say), built (once, then cached) by zig's clang
# from the same pinned Debian source package as the musl variant's (versions.env), so
# that every wheel carries the same OpenSSL and needs no glibc symbol newer than the
# target's.
#
# Why not the machine's shared libcrypto: Debian 12's OpenSSL 3.0 generates RSA keys
# several times slower than 3.5 (scripts/bench.sh shows it next to pyca/cryptography,
# which bundles a current OpenSSL), and a wheel for older systems cannot link a library
# built against this machine's glibc. Linked statically and with only the modules' init
# functions exported (extension-exports.map), the wheel needs no libcrypto of its own
# and none can bind to another module's copy.
#
# Usage: glibc_openssl.sh TARGET      (progress on stderr, the prefix on stdout)
# Cached under $CORVANE_VARIANTS_CACHE/glibc-openssl/, keyed by the pinned version, the
# target, the zig version and this recipe; a cold build takes about six minutes on two
# cores. Needs the deb-src entry of scripts/setup-system.sh variants.
set -euo pipefail
LOG_NAME=glibc-openssl
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

target=${1:?usage: glibc_openssl.sh TARGET}
prefix=$CACHE_ROOT/glibc-openssl/openssl$(upstream_version "$OPENSSL_SRC_VERSION")-$target-zig$ZIGLANG_VERSION-$(
  short_hash "$OPENSSL_SRC_VERSION" "$target" "$ZIGLANG_VERSION" "${BASH_SOURCE[0]}")
if [ -f "$prefix/.complete" ]; then
  printf '%s\n' "$prefix"
  exit 0
fi

zig=$(zig_compilers "$target")
rm -rf "$prefix"
mkdir -p "$prefix" "$CACHE_ROOT/tmp"
work=$(mktemp -d "$CACHE_ROOT/tmp/glibc-openssl.XXXXXX")
trap 'if [ $? -eq 0 ]; then rm -rf "$work"; else log "work tree kept: $work"; fi' EXIT

started=$SECONDS
version=$(fetch_deb_source "$OPENSSL_SRC_PACKAGE" "$OPENSSL_SRC_VERSION" "$work/dl")
log "OpenSSL $version for $target, static, built by zig (about six minutes)"
(
  cd "$work"
  dpkg-source -x "dl/${OPENSSL_SRC_PACKAGE}_${version#*:}.dsc" openssl >"$work/openssl.log" 2>&1
  cd openssl
  # Only libcrypto is built and installed: no shared libraries, no loadable modules
  # (the default and legacy providers are built in), no tests, docs or command-line
  # tool. -fPIC: it ends up inside shared extension modules. OPENSSLDIR /etc/ssl: the
  # machine's configuration and CA certificates, as with the system's OpenSSL.
  # no-afalgeng/no-ktls: kernel offload paths, not wanted here.
  CC="$zig/bin/zig-$target-cc" AR=ar RANLIB=ranlib ./Configure linux-x86_64 --prefix="$prefix" --libdir=lib \
    --openssldir=/etc/ssl no-shared no-module no-tests no-docs no-apps no-afalgeng no-ktls -fPIC
  make -j"$JOBS" build_libs
  make install_dev
) >>"$work/openssl.log" 2>&1 || { tail -n 40 "$work/openssl.log" >&2; die "OpenSSL build failed (log: $work/openssl.log)"; }
echo "$OPENSSL_SRC_PACKAGE $version" >"$prefix/VERSION"
touch "$prefix/.complete"
log "OpenSSL $version for $target ready in $((SECONDS - started)) s: $prefix"
printf '%s\n' "$prefix"
