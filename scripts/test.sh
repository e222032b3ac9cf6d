#!/usr/bin/env bash
# The test command: installs what is missing, builds and installs the package
# into a fresh virtual environment, then runs the crypto core's C++ unit tests,
# the fuzzers' short run and the Python suite against the installed package
# (not the source tree).
set -euo pipefail
cd "$(dirname "$0")/.."
LOG_NAME=test
. scripts/lib.sh
bash scripts/setup-system.sh build format

echo "== C++ sources formatted as .clang-format says"
clang-format --dry-run --Werror src/*/*.cpp src/*/*.h tests/core/*.cpp tests/core/*.h fuzz/*.cpp \
  benchmarks/*.cpp

python=${PYTHON:-python3}
venv=build/venv-test
install_package() {
  new_venv "$python" "$venv" ".[test]" "${TEST_SUPPORT_PACKAGES[@]}" "$SANDBOX_PACKAGE[test]"
}
step "building and installing the package, the sandbox and the test tools into $venv (log: $venv.pip.log)" \
  "about 2 min" install_package

core_tests() {
  cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_BUILD_MODULES=OFF -DCORVANE_BUILD_TESTS=ON >/dev/null
  cmake --build build/core-tests -j2
  ctest --test-dir build/core-tests --output-on-failure
}
step "crypto core unit tests" "about 1.5 min, most of it the build" core_tests

step "crypto core parsers under libFuzzer (short bounded run)" "about 1.5 min" bash scripts/fuzz.sh --quick

echo "== Python suite against the installed package, end-to-end tests against the sandbox (about 3 min)"
# The venv's own pytest: `python -m pytest` would put the source tree first
# on sys.path and shadow the installed package.
status=0
"$venv/bin/pytest" tests/python tests/e2e sandbox/tests -q "$@" || status=$?
suite_verdict "$status"
