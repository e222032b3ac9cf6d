#!/usr/bin/env bash
# Every change this project's scripts make to the machine, in one place (Debian, as
# root, as on the CI and developer machines): the system packages each command needs,
# only those missing, and for the variant builds an apt source entry and a second name
# of the musl loader. Each command calls it with the groups it needs.
#
#   scripts/setup-system.sh [GROUP...]      default: build
#
#   build       compiler, CMake, Ninja, OpenSSL headers, GoogleTest (every command)
#   format      clang-format, for the test command's check of the C++ sources
#   fuzz        clang with its libFuzzer and sanitizer runtimes (scripts/fuzz.sh)
#   bench       valgrind, for the profile behind the signing figures (scripts/bench.sh)
#   screenshot  chromium, for the demo's inspector screenshot (scripts/demo.sh)
#   variants    the tools of the variant builds (musl, Debian source packages, the
#               autotools for libffi, GoogleTest's sources for the zig builds), and:
#                 /etc/apt/sources.list.d/corvane-$DEB_SRC_SUITE-src.sources
#                   a deb-src entry for the suite whose source packages the musl
#                   interpreter and the static OpenSSL builds are made from (sources
#                   only: no binary package of that suite can be installed through it);
#                 /lib/libc.musl-x86_64.so.1 -> ld-musl-x86_64.so.1
#                   the name under which musllinux wheels (and auditwheel) expect musl,
#                   as Alpine installs it; Debian's musl has the loader's name only.
#   tsan        clang 19 with its ThreadSanitizer runtime and symbolizer, and the
#               headers the instrumented interpreter links (scripts/tsan.sh; with
#               variants, for the Debian source of that interpreter)
set -euo pipefail
LOG_NAME=setup-system
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build)

packages=()
for group in "${groups[@]}"; do
  case $group in
    build) packages+=(g++ cmake ninja-build libssl-dev openssl libgtest-dev) ;;
    format) packages+=(clang-format) ;;
    fuzz) packages+=(clang libclang-rt-dev cmake ninja-build libssl-dev) ;;
    bench) packages+=(valgrind) ;;
    screenshot) packages+=(chromium) ;;
    variants) packages+=(g++ cmake ninja-build musl-tools dpkg-dev xz-utils patch make perl autoconf automake
                         libtool googletest debian-archive-keyring) ;;
    tsan) packages+=(clang-19 libclang-rt-19-dev llvm-19 pkg-config zlib1g-dev libffi-dev) ;;
    *) die "unknown group '$group' (build, format, fuzz, bench, screenshot, variants, tsan)" ;;
  esac
done

apt_updated=
apt_update() {
  [ -z "$apt_updated" ] || return 0
  log "apt-get update"
  # Other work on the machine may hold apt's locks for a while: wait for them.
  apt-get update -q -o DPkg::Lock::Timeout=600 >/dev/null || die "apt-get update failed"
  apt_updated=1
}

# The URI of the machine's own Debian archive entry (not the security one), so that the
# source entry goes through the same mirror.
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

if [[ " ${groups[*]} " == *" variants "* ]]; then
  src_entry=/etc/apt/sources.list.d/corvane-$DEB_SRC_SUITE-src.sources
  if [ ! -f "$src_entry" ]; then
    log "adding a deb-src entry for $DEB_SRC_SUITE: $src_entry"
    cat >"$src_entry" <<EOF
Types: deb-src
URIs: $(debian_archive_uri)
Suites: $DEB_SRC_SUITE
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt_update
  fi
  # apt-get source needs the entry's index, which an update made before the entry
  # existed (or a fresh machine) lacks.
  compgen -G "/var/lib/apt/lists/*_dists_${DEB_SRC_SUITE}_main_source_Sources*" >/dev/null || apt_update
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  apt_update
  log "apt-get install ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 --no-install-recommends \
    "${missing[@]}" >/dev/null || die "apt-get install ${missing[*]} failed"
fi

if [[ " ${groups[*]} " == *" variants "* ]] && [ ! -e /lib/libc.musl-x86_64.so.1 ]; then
  log "linking /lib/libc.musl-x86_64.so.1 -> ld-musl-x86_64.so.1"
  ln -s ld-musl-x86_64.so.1 /lib/libc.musl-x86_64.so.1
fi
