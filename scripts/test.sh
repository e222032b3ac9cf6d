#!/usr/bin/env bash
# The test command: installs what is missing, builds and installs the package
# into a fresh virtual environment, then runs the crypto core's C++ unit tests
# and the Python suite against the installed package (not the source tree).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-system.sh

echo "== C++ sources formatted as .clang-format says"
clang-format --dry-run --Werror src/*/*.cpp src/*/*.h tests/core/*.cpp tests/core/*.h fuzz/*.cpp \
  benchmarks/*.cpp

python=${PYTHON:-python3}
venv=build/venv-test
"$python" -m venv --clear "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]" "./sandbox[test]" ./standins

echo "== crypto core unit tests"
cmake -S . -B build/core-tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCORVANE_BUILD_MODULES=OFF -DCORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/core-tests -j2
ctest --test-dir build/core-tests --output-on-failure

echo "== crypto core parsers under libFuzzer (short bounded run)"
bash scripts/fuzz.sh --quick

echo "== Python suite against the installed package, end-to-end tests against the sandbox"
# The venv's own pytest: `python -m pytest` would put the source tree first
# on sys.path and shadow the installed package.
status=0
"$venv/bin/pytest" tests/python tests/e2e sandbox/tests -q "$@" || status=$?
if [ "$status" -eq 5 ]; then
  echo "pytest collected no test: the suite is missing" >&2
  exit 1
fi
exit "$status"
