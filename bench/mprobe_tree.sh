#!/usr/bin/env bash
# mprobe over a tree of small media files against mediainfo and exiftool -r
# on the same tree: wall time and CPU time (user + system), medians.
#
# usage: bench/mprobe_tree.sh MPROBE [FILES] [REPETITIONS]
#   FILES        how many files (default 10000), 100 to a folder, copies of
#                the committed fixtures (MP3, WAVE, AVI, JPEG, GIF, BMP, PE)
#   REPETITIONS  runs per tool after one untimed warm-up run (default 3)
set -euo pipefail
mprobe=$1 files=${2:-10000} reps=${3:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$(mktemp -d "${TMPDIR:-/tmp}/mprobe-tree.XXXXXX")
trap 'rm -rf "$tree" "$tree.time"' EXIT

mapfile -t samples < <(find "$root/tests/fixtures" -type f \
  \( -name '*.mp3' -o -name '*.wav' -o -name '*.avi' -o -name '*.jpg' -o -name '*.gif' -o -name '*.bmp' -o -name '*.dll' \) | sort)
for ((i = 0; i < files; i++)); do
  dir=$tree/d$((i / 100))
  [ $((i % 100)) -eq 0 ] && mkdir -p "$dir"
  sample=${samples[i % ${#samples[@]}]}
  cp "$sample" "$dir/f$i.${sample##*.}"
done
echo "tree: $files files, $(du -sh "$tree" | cut -f1), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

measure() { # NAME COMMAND...: prints NAME, median wall s, median CPU s
  local name=$1 walls=() cpus=()
  shift
  "$@" >/dev/null 2>&1 || true
  for ((r = 0; r < reps; r++)); do
    /usr/bin/time -o "$tree.time" -f '%e %U %S' "$@" >/dev/null 2>&1 || true
    read -r wall user sys < <(tail -1 "$tree.time")
    walls+=("$wall")
    cpus+=("$(echo "$user + $sys" | bc)")
  done
  printf '%-34s wall %6.2f s   cpu %6.2f s\n' "$name" \
    "$(printf '%s\n' "${walls[@]}" | sort -n | sed -n "$(((reps + 1) / 2))p")" \
    "$(printf '%s\n' "${cpus[@]}" | sort -n | sed -n "$(((reps + 1) / 2))p")"
}

lines=$("$mprobe" -r --json "$tree" 2>/dev/null | wc -l) || true
[ "$lines" = "$files" ] || { echo "mprobe printed $lines objects for $files files" >&2; exit 1; }

measure "mprobe -r --json (-j $(nproc))" "$mprobe" -r --json "$tree"
measure "mprobe -r --json -j 1" "$mprobe" -r --json -j 1 "$tree"
measure "mprobe -r (text, -j $(nproc))" "$mprobe" -r "$tree"
measure "mediainfo --Output=JSON" mediainfo --Output=JSON "$tree"
measure "mediainfo (text)" mediainfo "$tree"
measure "exiftool -r" exiftool -r "$tree"
