#!/usr/bin/env bash
# The main job: on a fresh Debian machine (as root), installs what is missing,
# builds and installs corvane_core and the sandbox into a virtual environment,
# then runs the end-to-end demo: the modules against the local sandbox, through
# the whole life cycle of a Corvane Connect user. Exits non-zero on any failure.
#
#   bash scripts/demo.sh                          the demo
#   bash scripts/demo.sh --inspector-screenshot   the same, then a screenshot of the
#                                                 sandbox's request inspector taken by
#                                                 headless chromium (installed if missing),
#                                                 written to build/demo/inspector.png
set -euo pipefail
cd "$(dirname "$0")/.."
LOG_NAME=demo
. scripts/lib.sh

screenshot=()
for arg in "$@"; do
  case $arg in
    --inspector-screenshot) screenshot=(--inspector-screenshot build/demo/inspector.png) ;;
    *) echo "usage: $0 [--inspector-screenshot]" >&2; exit 2 ;;
  esac
done

groups=(build)
((${#screenshot[@]} == 0)) || groups+=(screenshot)
bash scripts/setup-system.sh "${groups[@]}"

python=${PYTHON:-python3}
venv=build/venv-demo
mkdir -p build/demo
install_package() {
  # sepaxml makes the demo's payment file, as the accounting side would.
  new_venv "$python" "$venv" . "${TEST_SUPPORT_PACKAGES[@]}" "$SANDBOX_PACKAGE" sepaxml
}
step "building and installing corvane_core and the sandbox into $venv (log: $venv.pip.log)" "about 2 min" \
  install_package

echo "== demo (about 10 s)"
# The script's own directory (demo/) is on sys.path, the source tree is not:
# the demo runs the installed package. The time-out only guards against a hang.
timeout 600 "$venv/bin/python" demo/corvane_demo.py "${screenshot[@]}"
