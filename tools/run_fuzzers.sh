#!/usr/bin/env bash
# Runs every libFuzzer harness in a directory for a bounded time each, starting from
# a copy of its committed seed corpus, JOBS harnesses at a time (default 2: one per
# core). Any crash, leak, time-out or failed property fails the run (libFuzzer exits
# non-zero); the offending input is kept as an artifact.
#   tools/run_fuzzers.sh HARNESS_DIR SECONDS [JOBS]
set -euo pipefail
harness_dir=$1
seconds=$2
jobs=${3:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$harness_dir/work
mkdir -p "$work/artifacts"

# One harness: its log in $work/NAME.log, its verdict in $work/NAME.status.
fuzz_one() {
  local harness=$1 name corpus
  name=$(basename "$harness" _fuzzer)
  corpus=$work/corpus/$name
  mkdir -p "$corpus"
  cp -n "$root/fuzz/corpus/$name/"* "$corpus/" 2>/dev/null || true
  if "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/artifacts/$name-" "$corpus" \
       >"$work/$name.log" 2>&1; then
    echo ok >"$work/$name.status"
  else
    echo failed >"$work/$name.status"
  fi
}

harnesses=("$harness_dir"/*_fuzzer)
for ((i = 0; i < ${#harnesses[@]}; i += jobs)); do
  for harness in "${harnesses[@]:i:jobs}"; do
    echo "== $(basename "$harness" _fuzzer): ${seconds}s"
    fuzz_one "$harness" &
  done
  wait
done

status=0
for harness in "${harnesses[@]}"; do
  name=$(basename "$harness" _fuzzer)
  if [ "$(cat "$work/$name.status" 2>/dev/null)" != ok ]; then
    echo "!! $name failed; its log ends:" >&2
    tail -n 40 "$work/$name.log" >&2
    status=1
  else
    echo "== $name:" $(grep -E '^(Done|stat::number_of_executed_units)' "$work/$name.log" || true)
  fi
done
exit $status
