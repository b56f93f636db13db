#!/usr/bin/env bash
# Runs every libFuzzer harness in a directory for a bounded time each, starting from
# a copy of its committed seed corpus. Any crash, leak, time-out or failed property
# fails the run (libFuzzer exits non-zero); the offending input is kept as an artifact.
set -euo pipefail
harness_dir=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$harness_dir/work
mkdir -p "$work/artifacts"
status=0
for harness in "$harness_dir"/*_fuzzer; do
  name=$(basename "$harness" _fuzzer)
  corpus=$work/corpus/$name
  mkdir -p "$corpus"
  cp -n "$root/fuzz/corpus/$name/"* "$corpus/" 2>/dev/null || true
  echo "== $name: ${seconds}s"
  if ! "$harness" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$work/artifacts/$name-" "$corpus" \
       >"$work/$name.log" 2>&1; then
    echo "!! $name failed; its log ends:" >&2
    tail -n 40 "$work/$name.log" >&2
    status=1
  else
    grep -E '^(Done|stat::number_of_executed_units)' "$work/$name.log" || true
  fi
done
exit $status
