#!/bin/sh
# Runs each libFuzzer harness of a fuzz build (make fuzz), as many at once as
# there are processors, for a number of seconds, 60 by default, on a copy of
# its seed corpus under <build>/fuzz-runs/<target>, so that the corpus in the
# repository keeps only its seeds. Each target's report gives its runs and runs per second. A crash,
# leak, undefined behaviour, failed check, timeout or memory exhaustion fails
# the target; each failing target is named with its reproducer, and the
# script fails when any did.
set -u
build=${1:?usage: scripts/fuzz.sh <fuzz build directory> [seconds]}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
# The harnesses write a file or two for every input: in memory (tmpfs) where
# there is one, as a disk would make each input wait for it.
scratch=$(mktemp -d /dev/shm/jlauncher-fuzz.XXXXXX 2>/dev/null) || scratch=""
trap '[ -z "$scratch" ] || rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
# One harness: its report goes to <work>/report, its status to <work>/status.
run_target() {
  seeds=$1
  target=$(basename "$seeds")
  harness="$build/tests/fuzz/fuzz_$target"
  work="$build/fuzz-runs/$target"
  tmp=${scratch:-$work}/tmp-$target
  rm -rf "$work" "$tmp"
  mkdir -p "$work/corpus" "$work/findings" "$tmp"
  cp "$seeds"* "$work/corpus/"
  # What the code under test prints is dropped (-close_fd_mask); the reports
  # of libFuzzer and the sanitizers still reach the log.
  TMPDIR="$tmp" "$harness" "$work/corpus" -max_total_time="$seconds" -timeout=5 -detect_leaks=1 \
    -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/findings/" >"$work/log" 2>&1
  status=$?
  rm -rf "$tmp"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
  echo "$status" >"$work/status"
  if [ "$status" -eq 0 ]; then
    echo "fuzz_$target: ${runs:-?} runs (${rate:-?}/s), nothing found" >"$work/report"
    return
  fi
  {
    echo "fuzz_$target: FAILED (status $status) after ${runs:-?} runs (${rate:-?}/s), log $work/log"
    grep -E 'ERROR|SUMMARY|runtime error|check failed' "$work/log" | head -n 4 | sed 's/^/  /'
    for finding in "$work/findings/"*; do
      [ -e "$finding" ] && echo "  reproducer: $finding (run: $harness $finding)"
    done
  } >"$work/report"
}

# As many harnesses at once as there are processors, each a process of its
# own; the reports follow in the corpus's order.
jobs=$(nproc 2>/dev/null || echo 1)
running=0
for seeds in "$root"/tests/fuzz/corpus/*/; do
  run_target "$seeds" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait
    running=0
  fi
done
wait
failed=""
for seeds in "$root"/tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  work="$build/fuzz-runs/$target"
  cat "$work/report"
  [ "$(cat "$work/status")" -eq 0 ] || failed="$failed fuzz_$target"
done
if [ -n "$failed" ]; then
  echo "FAILED fuzz targets:$failed"
  exit 1
fi
