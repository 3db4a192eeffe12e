#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a host program
# probing the sample MP3 files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
"$build/examples/mp3_host" "$root"/tests/fixtures/mp3/*.mp3 | grep -v '^getVBRInfo()$'
