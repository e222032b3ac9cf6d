#!/usr/bin/env bash
# Every entry point from several threads at once: runs the module tests (tests/python)
# under pytest-run-parallel against the wheel installed in the virtual environment
# given, each test on $CORVANE_PARALLEL_THREADS threads (default 4) at the same time,
# on the same fixtures. Each thread gets a world and a session of its own
# (tests/python/conftest.py); tests that share stand-in state between their threads
# by design are marked thread_unsafe with their reason and run on one thread, as do
# those that pytest-run-parallel finds unsafe itself (monkeypatch and the like).
# On a free-threaded interpreter the GIL must stay off (installed_guard).
#
# Usage: scripts/variants/parallel_suite.sh VENV_PYTHON [pytest arguments...]
# Installs pytest-run-parallel into that environment if it is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
python=${1:?usage: parallel_suite.sh VENV_PYTHON [pytest arguments...]}
shift
threads=${CORVANE_PARALLEL_THREADS:-4}

if ! "$python" -c 'import pytest_run_parallel' 2>/dev/null; then
  "$python" -m pip install -q --only-binary=:all: pytest-run-parallel
fi
# -P: the checkout itself is not importable, only the installed wheel is. The plugin's
# report at the end lists every test that ran on one thread, and why.
cd "$repo"
PYTEST_RUN_PARALLEL_VERBOSE=1 PYTHONPATH="$here" "$python" -P -m pytest tests/python -p installed_guard \
  -p no:cacheprovider --parallel-threads="$threads" --hypothesis-profile=ci "$@"
