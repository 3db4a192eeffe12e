#!/usr/bin/env bash
# Before and after one library change: builds libmediaprobe and libsharefetch
# of two commits, then runs the same benchmark binary against each in turn
# (ROUNDS times, alternating, so that machine noise hits both alike) and
# prints the median of each figure. Run bench/run.sh once first; it builds
# the benchmarks and makes the inputs.
#
# usage: bench/compare.sh OLD NEW mediaprobe|sharefetch FILTER [ROUNDS]
#   e.g. bench/compare.sh 8ae2cfc 930bf97 mediaprobe 'jpeg/mediaprobe'
#        MP_BENCH_ONLY=sharefetch bench/compare.sh a9b690d fc1648c sharefetch in_turn
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
old=$1 new=$2 which=$3 filter=$4 rounds=${5:-5}
build=$root/build-bench
work=${TMPDIR:-/tmp}/mp-bench-revs
data=${MP_BENCH_DATA:-/tmp/mp-bench-data}

libs() { # commit -> folder with both libraries of that commit
  local d=$work/$1
  if [ ! -f "$d/build/sharefetch/libsharefetch.so.1" ]; then
    rm -rf "$d" && mkdir -p "$d/src"
    git -C "$root" archive "$1" | tar -x -C "$d/src"
    cmake -S "$d/src" -B "$d/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$d/build" -j2 --target mediaprobe sharefetch >/dev/null
  fi
  echo "$d/build/mediaprobe:$d/build/sharefetch"
}
old_libs=$(libs "$old")
# The SMB figures need the throwaway server: run again inside its harness.
if [ "$which" = sharefetch ] && [ -z "${SMBD_HARNESS_ADDRESS:-}" ]; then
  libs "$new" >/dev/null
  exec "$root/tests/sharefetch/smbd_harness.sh" --share-dir "$data/share" --share-name bench \
    --netbios-name BENCHSRV -- "$0" "$@"
fi
new_libs=$(libs "$new")

rounds_of() { # runs the benchmark binary for both commits, one JSON line per result
  for _ in $(seq "$rounds"); do
    for rev in old new; do
      local path=$old_libs; [ $rev = new ] && path=$new_libs
      LD_LIBRARY_PATH=$path MP_BENCH_DATA=$data "$@" --benchmark_filter="$filter" \
        --benchmark_format=json 2>/dev/null |
        python3 -c 'import json,sys
for b in json.load(sys.stdin)["benchmarks"]:
    b["rev"] = sys.argv[1]; print(json.dumps(b))' $rev
    done
  done
}

if [ "$which" = sharefetch ]; then
  runs=$(rounds_of "$build/bench/sharefetch_bench")
else
  runs=$(rounds_of "$build/bench/mediaprobe_bench" --benchmark_min_time=0.3)
fi

echo "$runs" | python3 -c '
import json, statistics, sys
old, new = sys.argv[1], sys.argv[2]
rows = {}
for line in sys.stdin:
    if not line.strip():
        continue
    b = json.loads(line)
    name = b["run_name"]
    figures = {"µs per call": b["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3}[b["time_unit"]]}
    if "bytes_per_second" in b:
        figures["MB/s"] = b["bytes_per_second"] / 1e6
    if "cpu_s_per_GiB" in b:
        figures["CPU s/GiB"] = b["cpu_s_per_GiB"]
    # Readers and clients that take turns report their medians as counters.
    for key, value in b.items():
        for suffix, label in (("_MBps", "MB/s"), ("_cpu_s_per_GiB", "CPU s/GiB"),
                              ("_cpu_us", "client CPU µs per round"), ("_us", "µs per round")):
            if key.endswith(suffix) and key != "cpu_s_per_GiB":
                figures[f"{key[:-len(suffix)]}: {label}"] = value
                break
    if any(":" in k for k in figures):
        del figures["µs per call"]
    for k, v in figures.items():
        rows.setdefault((name, k), {"old": [], "new": []})[b["rev"]].append(v)
print(f"| benchmark | figure | {old} | {new} | new/old |")
print("|---|---|---:|---:|---:|")
for (name, k), v in rows.items():
    if not v["old"] or not v["new"]:
        continue
    a, b = statistics.median(v["old"]), statistics.median(v["new"])
    f = (lambda x: f"{x:,.3f}") if max(a, b) < 10 else (lambda x: f"{x:,.1f}")
    name = name.split("/iterations")[0].split("/min_time")[0].replace("/real_time", "")
    print(f"| {name} | {k} | {f(a)} | {f(b)} | {b / a:.2f} |")
' "$old" "$new"
