#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded number of runs (and at
# most SECONDS each, default unlimited), each from its seed corpus in
# tests/fuzz/corpus/<target>.
#   scripts/fuzz.sh BUILD-DIR RUNS [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
dir=$1
runs=$2
seconds=${3:-0}
for target in "$dir"/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$name/." "$work/" 2>/dev/null
  echo "-- $name: $runs runs, at most ${seconds}s (0: no limit)"
  "$target" -runs="$runs" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -print_final_stats=1 \
    "$work" >"$work.log" 2>&1
  status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$work.log"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$work.log"
    echo "fuzz target $name failed (status $status)"
    rm -rf "$work" "$work.log"
    exit 1
  fi
  rm -rf "$work" "$work.log"
done
