#!/usr/bin/env bash
# The variant command: builds every wheel of the matrix (scripts/variants/wheels.tsv),
# installs each into a fresh venv of each interpreter the matrix names for it, and runs
# the whole test suite there against the installed wheel:
#
#   cp310, cp311  CPython 3.10 / 3.11 with a GIL, version-specific wheels
#   abi3          the stable-ABI wheel (cp312-abi3) for CPython 3.12, 3.13 and later
#   musl          free-threaded CPython 3.13 on musl (cp313t), the suite with the GIL off
#
# The glibc wheels are compiled by zig's clang against glibc 2.28's symbols and link a
# static OpenSSL built the same way (variants/glibc_openssl.sh), so they are tagged
# manylinux_2_28; the musl wheel by zig for x86_64-linux-musl against the musl sysroot
# (variants/build_musl_sysroot.sh), tagged musllinux_1_2. auditwheel checks every tag,
# abi3audit the stable-ABI wheel.
#
# On the glibc wheels: tests/python and the end-to-end tests/e2e against the sandbox
# service. On the musl wheel: tests/python (the sandbox needs pyca/cryptography, which
# has no build for that interpreter), then scripts/variants/parallel_suite.sh where it
# exists. The crypto core's C++ tests run once per toolchain and target, built by it. An interpreter the machine
# lacks is reported as skipped. The summary is a wheel x interpreter x result table.
#
# Usage: scripts/variants.sh [NAME...]     wheel names of the matrix; "gil" means the
#                                          glibc ones; no argument: all
#
# Cached under $CORVANE_VARIANTS_CACHE (default ~/.cache/corvane-variants): zig, the
# musl sysroot, the static OpenSSL builds, GoogleTest per toolchain; a cold cache adds
# about 20 minutes. Wheels, venvs and logs go to build/variants/.
set -euo pipefail
shopt -s inherit_errexit
LOG_NAME=variants
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
out=$REPO/build/variants
started=$SECONDS

selected=()
for arg in "$@"; do
  case $arg in
    gil) mapfile -t -O ${#selected[@]} selected < <(wheel_rows | awk '$3 == "zig-glibc" { print $1 }') ;;
    *) [ -n "$(wheel_rows "$arg")" ] || die "unknown wheel '$arg' (wheels: gil $(wheel_names | tr '\n' ' '))"
       selected+=("$arg") ;;
  esac
done
[ ${#selected[@]} -gt 0 ] || mapfile -t selected < <(wheel_names)

bash "$SCRIPTS_DIR/setup-system.sh" build variants
# An inherited PYTHON_GIL would decide the GIL's state and hide what the modules do.
unset PYTHON_GIL

mkdir -p "$out"
results=$out/results.txt
: >"$results"
# result WHEEL INTERPRETER RESULT: one row of the summary table.
result() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"; }

# check_installed VENV_PYTHON: the three modules import from the installed wheel,
# and on a free-threaded interpreter the GIL is still off afterwards.
check_installed() {
  (cd "$out" && "$1" - <<'EOF') || { log "installed wheel check failed"; return 1; }
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

# run_pytest LABEL VENV_PYTHON LOG TEST_DIR...: the checkout's tests against the
# installed wheel, the whole output in LOG; shows its end (more of it on a failure).
# The installed_guard plugin fails the run if corvane_core comes from anywhere else
# (-P keeps the checkout off sys.path on 3.11 and later, for this process only: the
# tests' own child interpreters keep their usual path; the suite's conftest removes
# it on 3.10, which has no -P).
run_pytest() {
  local label=$1 python=$2 log=$3 safe_path=()
  shift 3
  "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' && safe_path=(-P)
  log "[$label] python ${safe_path[*]} -m pytest $* (about 3 min; log: $log)"
  if (cd "$REPO" && PYTHONPATH="$VARIANTS_DIR" "$python" "${safe_path[@]}" -m pytest "$@" -q -p installed_guard \
    -p no:cacheprovider) >"$log" 2>&1; then
    tail -n 3 "$log"
  else
    tail -n 80 "$log"
    return 1
  fi
}

# The counts of pytest's last line ("750 passed, 1 skipped").
pytest_counts() { tail -n 1 "$1" | sed -n 's/^=* *\(.*[0-9]\+ passed[^=]*\) in .*/\1/p'; }

# install_sandbox VENV_PYTHON LOG: the sandbox service into the venv (pyca/cryptography
# is already there).
install_sandbox() {
  local python=$1 log=$2
  "$python" -m pip install "$SANDBOX_PACKAGE" >>"$log" 2>&1 || { tail -n 20 "$log" >&2; return 1; }
}

# test_on NAME WHEEL TOOLCHAIN INTERPRETER: a fresh venv of INTERPRETER with the wheel
# and the test requirements, then the suite.
test_on() {
  local name=$1 wheel=$2 toolchain=$3 want=$4 python venv label
  label="$name on $want"
  if [ "$toolchain" = zig-musl ]; then
    python=$(musl_sysroot_dir)/bin/python3.13t
    [ -x "$python" ] || python=
  else
    python=$(find_interpreter "$want")
  fi
  if [ -z "$python" ]; then
    log "[$label] skipped: this machine has no CPython $want"
    result "$name" "$want" "skipped (no CPython $want on this machine)"
    return 0
  fi
  label="$name on $(python_version "$python")"
  venv=$out/$name/test-$want
  local t0=$SECONDS status=0
  log "[$label] test venv: the wheel, its test requirements${TEST_SUPPORT_PACKAGES[*]:+, ${TEST_SUPPORT_PACKAGES[*]}}"
  if [ "$toolchain" = zig-musl ]; then
    # pyca/cryptography has no build for this interpreter (its abi3 wheels do not apply
    # to a free-threaded one): the tests' key helpers check keys, signatures and
    # requests with the openssl command-line tool instead. Nothing is compiled here:
    # each test dependency comes as its newest wheel that this interpreter can take.
    local test_reqs
    mapfile -t test_reqs < <(pyproject_list test | grep -v -i '^cryptography\b')
    new_venv "$python" "$venv" --only-binary=:all: "$wheel" "${test_reqs[@]}"
    [ ${#TEST_SUPPORT_PACKAGES[@]} -eq 0 ] || "$venv/bin/python" -m pip install "${TEST_SUPPORT_PACKAGES[@]}" \
      >>"$venv.pip.log" 2>&1 || { tail -n 20 "$venv.pip.log" >&2; die "[$label] installing the support packages failed"; }
    check_installed "$venv/bin/python" &&
      run_pytest "$label" "$venv/bin/python" "$venv.pytest.log" tests/python || status=1
    if [ ! -f "$VARIANTS_DIR/parallel_suite.sh" ]; then
      log "[$label] no scripts/variants/parallel_suite.sh in this checkout: no parallel run"
    elif [ $status -eq 0 ]; then
      log "[$label] scripts/variants/parallel_suite.sh"
      bash "$VARIANTS_DIR/parallel_suite.sh" "$venv/bin/python" || status=1
    fi
  else
    new_venv "$python" "$venv" "$wheel[test]" "${TEST_SUPPORT_PACKAGES[@]}"
    install_sandbox "$venv/bin/python" "$venv.pip.log" || die "[$label] installing the sandbox failed"
    check_installed "$venv/bin/python" &&
      run_pytest "$label" "$venv/bin/python" "$venv.pytest.log" tests/python tests/e2e || status=1
  fi
  if [ $status -eq 0 ]; then
    result "$name" "$(python_version "$python")" "passed: $(pytest_counts "$venv.pytest.log") ($((SECONDS - t0)) s)"
  else
    result "$name" "$(python_version "$python")" "FAILED $(tail -n 1 "$venv.pytest.log" 2>/dev/null | tr -d '=' | sed 's/ in [0-9.]*s.*//')"
  fi
  return $status
}

# core_tests LABEL TOOLCHAIN_FILE OPENSSL_PREFIX: the crypto core's C++ tests built by a
# variant's toolchain against its OpenSSL (the toolchain's environment is set).
core_tests() {
  local label=$1 toolchain=$2 openssl=$3 gtest dir
  gtest=$(ensure_zig_gtest "$toolchain") || return 1
  dir=$out/core-$label-$(short_hash "$toolchain" "$openssl" "$gtest" "${CORVANE_ZIG_TARGET:-}")
  log "[core $label] C++ core tests"
  cmake -S "$REPO" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_MODULES=OFF \
    -DCORVANE_BUILD_TESTS=ON -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DOPENSSL_ROOT_DIR="$openssl" \
    -DOPENSSL_USE_STATIC_LIBS=ON -DGTest_DIR="$gtest/lib/cmake/GTest" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; log "[core $label] configure failed"; return 1; }
  cmake --build "$dir" -j "$JOBS" >"$dir.build.log" 2>&1 \
    || { tail -n 60 "$dir.build.log"; log "[core $label] build failed"; return 1; }
  # The per-test lines go to the log; the failures and ctest's closing lines are shown.
  if ! ctest --test-dir "$dir" --output-on-failure -j "$JOBS" >"$dir.ctest.log" 2>&1; then
    grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed)' "$dir.ctest.log"
    log "[core $label] tests failed"
    return 1
  fi
  tail -n 3 "$dir.ctest.log"
}

# variant NAME: builds one wheel, then tests it on each of its interpreters.
variant() {
  local name=$1 row python toolchain target py_api tag test_on wheel want failed=0 t0=$SECONDS
  row=$(wheel_rows "$name")
  read -r name python toolchain target py_api tag test_on <<<"$row"
  mkdir -p "$out/$name"
  log "[$name] building the wheel (about 3 min; a cold cache adds its toolchain's builds)"
  wheel=$(build_wheel "$name" "$out/$name")
  log "[$name] $(basename "$wheel") built and checked in $((SECONDS - t0)) s"
  basename "$wheel" >"$out/$name/wheel-name.txt"
  for want in ${test_on//,/ }; do
    test_on "$name" "$wheel" "$toolchain" "$want" || failed=1
  done
  return $failed
}

# core TOOLCHAIN TARGET: the core tests of one toolchain of the matrix.
core() {
  local toolchain=$1 target=$2 label=${1#zig-} toolchain_file openssl
  CORVANE_ZIG_DIR=$(zig_compilers "$target")
  export CORVANE_ZIG_DIR
  if [ "$toolchain" = zig-musl ]; then
    toolchain_file=$VARIANTS_DIR/zig-musl.cmake
    openssl=$(ensure_musl_sysroot)
    # An inherited glibc target (scripts/bench.sh runs this command) is not this one's.
    unset CORVANE_ZIG_TARGET
    export CORVANE_MUSL_SYSROOT=$openssl
  else
    toolchain_file=$VARIANTS_DIR/zig-glibc.cmake
    openssl=$(ensure_glibc_openssl "$target")
    export CORVANE_ZIG_TARGET=$target
  fi
  core_tests "$label" "$toolchain_file" "$openssl"
}

# Each wheel (and each toolchain's core tests) in a subshell of its own with errexit on,
# so that a failed step stops that one only; the others still run and the summary
# still prints.
status=0
for name in "${selected[@]}"; do
  t0=$SECONDS
  set +e
  (
    set -e
    variant "$name"
  )
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    status=1
    grep -q "^$name	" "$results" || result "$name" "-" "did not build (see the log above)"
  fi
  log "[$name] done in $((SECONDS - t0)) s"
done
if compgen -G "$REPO/tests/core/*.cpp" >/dev/null; then
  while read -r toolchain target; do
    t0=$SECONDS
    set +e
    (
      set -e
      core "$toolchain" "$target"
    )
    rc=$?
    set -e
    if [ $rc -eq 0 ]; then
      result "core tests (${toolchain#zig-}, $target)" "-" "passed ($((SECONDS - t0)) s)"
    else
      status=1
      result "core tests (${toolchain#zig-}, $target)" "-" "FAILED"
    fi
  done < <(for name in "${selected[@]}"; do wheel_rows "$name"; done | awk '{ print $3, $4 }' | sort -u)
fi

echo
echo "== variants: wheel x interpreter (total $((SECONDS - started)) s)"
{
  printf 'wheel\tinterpreter\tresult\n'
  while IFS=$'\t' read -r name interp res; do
    wheel=$name
    [ -f "$out/$name/wheel-name.txt" ] && wheel=$(cat "$out/$name/wheel-name.txt")
    printf '%s\t%s\t%s\n' "$wheel" "$interp" "$res"
  done <"$results"
} | column -t -s $'\t' | sed 's/^/  /'
for name in "${selected[@]}"; do
  [ -f "$out/$name/auditwheel-show.txt" ] || continue
  echo "-- auditwheel show ($name)"
  sed 's/^/  /' "$out/$name/auditwheel-show.txt"
done
exit $status
