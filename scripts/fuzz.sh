#!/usr/bin/env bash
# Builds the crypto core's libFuzzer targets (clang, address and
# undefined-behaviour sanitizers) and runs each for a bounded time.
#
#   scripts/fuzz.sh [seconds-per-target]   default 300 s per target
#   scripts/fuzz.sh --quick                20 s per target (the test command's run)
#
# Each target starts from its seed corpus in fuzz/corpus/<target> (read only)
# and keeps what it finds in <build>/corpus/<target>, so later runs resume
# from there. A crashing input is written to <build>/artifacts/ and the
# script exits non-zero. The build directory is build/fuzz, or
# $CORVANE_FUZZ_BUILD_DIR. Needs root on a fresh machine to install clang.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=300
case "${1:-}" in
  --quick) seconds=20 ;;
  "") ;;
  *[!0-9]* | 0)
    echo "usage: $0 [--quick | seconds-per-target]" >&2
    exit 2 ;;
  *) seconds=$1 ;;
esac

LOG_NAME=fuzz
. scripts/lib.sh
# clang with its libFuzzer and sanitizer runtimes; the build's own needs.
bash scripts/setup-system.sh fuzz

build=${CORVANE_FUZZ_BUILD_DIR:-build/fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCORVANE_BUILD_MODULES=OFF -DCORVANE_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j2

targets=(base64 private_key subject_csr)
mkdir -p "$build/artifacts"
status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  mkdir -p "$corpus"
  log="$build/fuzz_$t.log"
  echo "== fuzz_$t for ${seconds}s"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$build/artifacts/$t-")
  [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
  # One job: the machine's other cores belong to other work.
  if "$build/fuzz_$t" "${args[@]}" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -n 40 "$log" >&2
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary+=("fuzz_$t: $result, ${seconds}s, ${execs:-?} executions, corpus $(find "$corpus" -type f | wc -l) files")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$status"
