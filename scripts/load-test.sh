#!/usr/bin/env bash
# Runs the whole test suite N times (default 3) while eight busy loops keep every core
# busy, as on a machine shared with other work: a test that passes only on an idle
# machine fails here. Prints each run's result and a summary; fails when any run failed.
#   scripts/load-test.sh [N] [--asan|--tsan]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=3
variant=()
for a in "$@"; do
  case "$a" in
    --asan|--tsan) variant=("$a") ;;
    ''|*[!0-9]*) echo "usage: scripts/load-test.sh [N] [--asan|--tsan]" >&2; exit 2 ;;
    *) runs=$a ;;
  esac
done

build=$("$here/scripts/build.sh" "${variant[@]}" | tail -n1)

loops=()
stop_loops() {
  if ((${#loops[@]})); then
    kill "${loops[@]}" 2>/dev/null || true
    wait "${loops[@]}" 2>/dev/null || true
    loops=()
  fi
}
trap stop_loops EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
for _ in $(seq 8); do
  (while :; do :; done) &
  loops+=($!)
done
echo "load-test: 8 busy loops running (${loops[*]}); $runs run(s) of the suite" >&2

failed=0
for i in $(seq "$runs"); do
  started=$SECONDS
  log=$build/load-test-$i.log
  # scripts/test.sh sets the sanitizers' environment and the display; the build is done.
  if "$here/scripts/test.sh" "${variant[@]}" >"$log" 2>&1; then
    result=passed
  else
    result=FAILED
    failed=$((failed + 1))
  fi
  summary=$(grep -E 'tests passed|tests failed' "$log" | tail -n1 || true)
  echo "load-test: run $i of $runs $result in $((SECONDS - started)) s: ${summary:-no summary} (log: $log)" >&2
  grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$log" >&2 || true
done
echo "load-test: $((runs - failed)) of $runs runs passed" >&2
((failed == 0))
