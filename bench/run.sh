#!/usr/bin/env bash
# One command for every benchmark: installs what it needs (Debian, as root),
# builds in Release mode, makes the inputs, runs mediaprobe_bench in process
# and sharefetch_bench beside a throwaway smbd on loopback, and prints one
# table with ratios. About 6 minutes on 2 cores (the raw read of 64 MiB
# through a 10 ms delay alone takes 20 s per round).
#
# usage: bench/run.sh
#   MP_BENCH_DATA         where the inputs go (default /tmp/mp-bench-data; the
#                         share/ folder in it must be readable by "nobody")
#   MP_BENCH_OUT          where results go (default build-bench/results)
#   MP_BENCH_REPETITIONS  repetitions per benchmark, medians reported (default 5)
#   MP_BENCH_DELAY_ROUNDS rounds of the reads through the delay proxy (default 3)
#   MP_BENCH_ROUTES       routes of those reads (loopback,proxy_0ms,proxy_1ms,proxy_10ms)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
data=${MP_BENCH_DATA:-/tmp/mp-bench-data}
out=${MP_BENCH_OUT:-$build/results}
reps=${MP_BENCH_REPETITIONS:-5}
start=$SECONDS
step() { echo "=== $* ($((SECONDS - start)) s)" >&2; }

step "packages"
wanted=(cmake g++ make pkg-config python3 libbenchmark-dev libtag1-dev libmediainfo-dev
        libstb-dev libsmbclient-dev smbclient samba lame sox ffmpeg imagemagick
        iproute2 util-linux)
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
fi

step "build (Release)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMP_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target mediaprobe_bench sharefetch_bench delay_proxy >/dev/null

step "inputs in $data"
bash "$root/bench/prepare_data.sh" "$data" >/dev/null
mkdir -p "$out"
# Warm cache: every input read once before anything is timed.
cat "$data"/*.* "$data"/share/* >/dev/null

common=(--benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true
        --benchmark_out_format=json)

step "mediaprobe against TagLib, MediaInfoLib, stb_image"
MP_BENCH_DATA=$data "$build/bench/mediaprobe_bench" "${common[@]}" \
  --benchmark_min_time=0.3 --benchmark_out="$out/mediaprobe.json" >"$out/mediaprobe.txt"

step "sharefetch against libsmbclient, smbclient, READ_RAW and TCP ceilings"
MP_BENCH_DATA=$data "$root/tests/sharefetch/smbd_harness.sh" \
  --share-dir "$data/share" --share-name bench --netbios-name BENCHSRV -- \
  "$build/bench/sharefetch_bench" "${common[@]}" \
  --benchmark_out="$out/sharefetch.json" >"$out/sharefetch.txt" 2>"$out/sharefetch.err"

step "sharefetch on SMB2 (smbd with its default protocols) against libsmbclient and smbclient SMB3"
MP_BENCH_DATA=$data MP_BENCH_ONLY=sharefetch,readat,readfile,libsmbclient_smb3,smbclient_smb3,session_request_floor,tcp_loopback \
  "$root/tests/sharefetch/smbd_harness.sh" --default-protocols \
  --share-dir "$data/share" --share-name bench --netbios-name BENCHSRV -- \
  "$build/bench/sharefetch_bench" "${common[@]}" --benchmark_filter='in_turn' \
  --benchmark_out="$out/sharefetch_smb2.json" >"$out/sharefetch_smb2.txt" 2>"$out/sharefetch_smb2.err"

step "results"
{
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
       "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), Debian $(cat /etc/debian_version)," \
       "kernel $(uname -r), Samba $(smbd --version | sed "s/^Version //"), load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "Peers: $(dpkg-query -W -f='${Package} ${Version}, ' libtag1v5 libmediainfo0v5 libstb0 \
       libsmbclient smbclient libbenchmark1debian 2>/dev/null | sed 's/, $//')"
  echo "Run: $(date -u '+%Y-%m-%d %H:%M UTC'), $reps repetitions, medians"
  echo
  python3 "$root/bench/report.py" "$out/mediaprobe.json" "$out/sharefetch.json"
  echo
  echo "SMB2 (server defaults; SMBConnect falls back after SMB1 is refused):"
  cat "$out/sharefetch_smb2.txt"
} | tee "$out/table.md"
step "done; raw output in $out"
