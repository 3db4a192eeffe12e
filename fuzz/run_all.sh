#!/usr/bin/env bash
# usage: run_all.sh FUZZ_BUILD_DIR SECONDS
# Runs every fuzz_<name> binary for SECONDS, seeded from the directories that
# fuzz/<name>.seeds lists (relative to the repository root). Fails on the first
# crash, leak or sanitizer report. Standard output is closed: the probes'
# fixed diagnostic lines would flood it.
set -euo pipefail
bin_dir=$1 seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for bin in "$bin_dir"/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin"); name=${name#fuzz_}
  corpus=$(mktemp -d)
  seeds=()
  if [ -f "$root/fuzz/$name.seeds" ]; then
    while read -r dir; do
      [ -n "$dir" ] && seeds+=("$root/$dir")
    done < <(grep -v -E '^\s*(#|$)' "$root/fuzz/$name.seeds")
  fi
  echo "--- fuzz_$name for ${seconds}s (seeds: ${seeds[*]:-none})"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
        -artifact_prefix="$corpus/" "$corpus" "${seeds[@]}" 2>"$corpus.log"; then
    tail -n 60 "$corpus.log"
    echo "fuzz_$name FAILED"; status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$corpus.log" | tail -n 2 || true
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $status
