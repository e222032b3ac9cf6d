# Shared helpers of the variant build scripts; sourced, never run.
#
# Everything built here that does not depend on the repository (the zig toolchain, the
# musl sysroot with OpenSSL, zlib and the free-threaded interpreter) lives under
# $CORVANE_VARIANTS_CACHE, default ~/.cache/corvane-variants, one directory per
# combination of input versions, so a second run finds it and a version bump rebuilds.

VARIANTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=versions.env
. "$VARIANTS_DIR/versions.env"

CACHE_ROOT=${CORVANE_VARIANTS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-variants}
# Builds stay within the machine's two cores.
JOBS=${CORVANE_JOBS:-2}

log() { printf '[variants %(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
die() { log "error: $*"; exit 1; }

# Short stable hash of its arguments (file contents for paths, the text otherwise).
short_hash() {
  local item
  for item in "$@"; do
    if [ -f "$item" ]; then cat "$item"; else printf '%s\n' "$item"; fi
  done | sha256sum | cut -c1-10
}

# Upstream part of a Debian version: drop the epoch, the revision and repack suffixes.
upstream_version() {
  local v=${1#*:}
  v=${v%-*}
  v=${v##*really}
  printf '%s\n' "${v%%[+~]*}"
}

_apt_updated=
apt_update_once() {
  [ -n "$_apt_updated" ] && return 0
  log "apt-get update"
  apt-get update -q >/dev/null || die "apt-get update failed"
  _apt_updated=1
}

# Installs the Debian packages named that are not installed yet.
ensure_apt_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt_update_once
  log "apt-get install ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null \
    || die "apt-get install ${missing[*]} failed"
}

deb_package_version() { dpkg-query -W -f='${Version}' "$1"; }

# The URI of the machine's own Debian archive entry (not the security one), so that the
# source entry added below goes through the same mirror.
debian_archive_uri() {
  local uri
  uri=$(awk '
      /^URIs:/ { uris = $2 }
      /^Suites:/ { if ($0 !~ /security/ && uris != "") { print uris; exit } }
      /^$/ { uris = "" }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' \
      /etc/apt/sources.list)
  fi
  printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}

# Adds a deb-src entry for $DEB_SRC_SUITE (sources only: no binary package of that
# suite can be installed through it).
ensure_deb_src_entry() {
  local file=/etc/apt/sources.list.d/corvane-$DEB_SRC_SUITE-src.sources
  if [ ! -f "$file" ]; then
    log "adding a deb-src entry for $DEB_SRC_SUITE"
    cat >"$file" <<EOF
Types: deb-src
URIs: $(debian_archive_uri)
Suites: $DEB_SRC_SUITE
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    _apt_updated=
  fi
  apt_update_once
}

# fetch_deb_source PACKAGE PINNED_VERSION DIR
# Downloads the source package into DIR (pinned revision first; if the archive no longer
# serves it, the newest revision it does serve) and prints the version fetched.
fetch_deb_source() {
  local pkg=$1 pinned=$2 dir=$3 version candidates
  candidates=$(
    printf '%s\n' "$pinned"
    # Fallback order: newest first (sort -V is close enough to Debian's ordering here).
    apt-cache showsrc --only-source "$pkg" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u -r -V
  )
  mkdir -p "$dir"
  for version in $candidates; do
    if (cd "$dir" && apt-get source --download-only -q "$pkg=$version" >"$dir/fetch-$pkg.log" 2>&1); then
      [ "$version" = "$pinned" ] || log "warning: $pkg $pinned is no longer served; using $version (update versions.env)"
      printf '%s\n' "$version"
      return 0
    fi
    rm -f "$dir/${pkg}_"*
  done
  cat "$dir/fetch-$pkg.log" >&2
  die "could not fetch the source package $pkg"
}

# unpack_deb_python VERSION DL_DIR DEST: unpacks the CPython source package fetched into
# DL_DIR (fetch_deb_source) into DEST with Debian's backports of upstream fixes applied
# (security fixes above all; a backport names its upstream commit or CVE), and not its
# own patches, which move the install layout (dist-packages, multiarch paths) and are
# not wanted in a private prefix. Appends the names of the patches applied to
# DEST.patches.
unpack_deb_python() {
  local version=$1 dl=$2 dest=$3 upstream patch patches
  upstream=$(upstream_version "$version")
  mkdir -p "$dest" "$dest.debian"
  tar -xf "$dl/${PYTHON_SRC_PACKAGE}_${upstream}.orig.tar.xz" -C "$dest" --strip-components=1
  tar -xf "$dl/${PYTHON_SRC_PACKAGE}_${version#*:}.debian.tar.xz" -C "$dest.debian"
  patches=$dest.debian/debian/patches
  for patch in $(grep -v -E '^[[:space:]]*(#|$)' "$patches/series"); do
    if [[ $patch == CVE-* ]] || head -n 40 "$patches/$patch" \
      | grep -q -E 'Origin: upstream|cherry picked from commit|^Subject: \[PATCH\] \[3\.[0-9]+\]|^From [0-9a-f]{40} '; then
      (cd "$dest" && patch -p1 --forward -s <"$patches/$patch") || die "Debian patch $patch does not apply"
      echo "$patch" >>"$dest.patches"
    fi
  done
}

# The zig toolchain: installed once per version from PyPI, with compiler wrappers that
# CMake and configure scripts can call as plain compilers.
zig_dir() { printf '%s/zig-%s\n' "$CACHE_ROOT" "$ZIGLANG_VERSION"; }

ensure_zig() {
  local dir
  dir=$(zig_dir)
  if [ ! -f "$dir/.complete" ]; then
    log "installing ziglang $ZIGLANG_VERSION into $dir"
    rm -rf "$dir"
    mkdir -p "$dir/bin" "$dir/cache"
    python3 -m pip install --no-deps --target "$dir/pkg" "ziglang==$ZIGLANG_VERSION" >"$dir/pip.log" 2>&1 \
      || { cat "$dir/pip.log" >&2; die "pip install ziglang==$ZIGLANG_VERSION failed"; }
    local tool
    for tool in cc c++; do
      # ZIG_GLOBAL_CACHE_DIR keeps zig's compiled libc and libc++ next to the toolchain,
      # so they are built once per zig version, not once per run.
      cat >"$dir/bin/zig-$tool" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR="\${ZIG_GLOBAL_CACHE_DIR:-$dir/cache}" exec "$dir/pkg/ziglang/zig" $tool -target $MUSL_TARGET "\$@"
EOF
      chmod +x "$dir/bin/zig-$tool"
    done
    "$dir/bin/zig-c++" --version >/dev/null || die "zig c++ does not run"
    touch "$dir/.complete"
  fi
  printf '%s\n' "$dir"
}

# The musl sysroot: zlib, libffi, OpenSSL and the free-threaded interpreter in one
# prefix. Its name carries the main upstream versions and a hash of every input (pinned
# Debian versions, the musl C library's version and the recipe itself).
musl_sysroot_dir() {
  local musl_version
  musl_version=$(deb_package_version musl-dev 2>/dev/null || echo none)
  printf '%s/musl-sysroot/py%st-openssl%s-zlib%s-musl%s-%s\n' "$CACHE_ROOT" \
    "$(upstream_version "$PYTHON_SRC_VERSION")" "$(upstream_version "$OPENSSL_SRC_VERSION")" \
    "$(upstream_version "$ZLIB_SRC_VERSION")" "$(upstream_version "$musl_version")" \
    "$(short_hash "$PYTHON_SRC_VERSION" "$OPENSSL_SRC_VERSION" "$ZLIB_SRC_VERSION" "$LIBFFI_SRC_VERSION" "$musl_version" \
        "$VARIANTS_DIR/build_musl_sysroot.sh")"
}
