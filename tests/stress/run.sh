#!/usr/bin/env bash
# make stress-test: the libboardcam-mt, threads and server tests, RUNS times,
# with both cores kept busy by another process the whole time. A test that
# passes only on an idle machine fails here. Pages in Chromium are left out:
# the browser's own pace under load is not ours to test.
#   tests/stress/run.sh BUILD_DIR RUNS
# Every failure counts: a test is never tried twice.
set -uo pipefail
build=${1:?build directory}
runs=${2:-5}
jobs=$(nproc 2>/dev/null || echo 2)

# The load: one busy loop per core, niced as little as the tests. They end
# with this script, however it ends: the trap runs after any function has
# returned, so their pids are kept at the top level.
load_pids=()
for ((i = 0; i < jobs; ++i)); do
  sh -c 'while :; do :; done' &
  load_pids+=($!)
done
trap 'kill "${load_pids[@]}" 2>/dev/null' EXIT

failed_runs=0
summary=()
for ((run = 1; run <= runs; ++run)); do
  log=$(mktemp)
  start=$SECONDS
  if ctest --test-dir "$build" -L 'mt|threads|serve' -LE browser -j "$jobs" --output-on-failure >"$log" 2>&1; then
    result="passed"
  else
    result="FAILED: $(grep -E '^[[:space:]]+[0-9]+ - ' "$log" | sed 's/^[[:space:]]*//' | tr '\n' ';')"
    failed_runs=$((failed_runs + 1))
    cat "$log"
  fi
  count=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  summary+=("run $run: ${count:-?} in $((SECONDS - start)) s, $result")
  echo "stress-test: ${summary[-1]}"
  rm -f "$log"
done
echo "stress-test: $runs run(s) with $jobs busy loop(s) beside them; $failed_runs run(s) had failures"
printf '  %s\n' "${summary[@]}"
[ "$failed_runs" -eq 0 ]
