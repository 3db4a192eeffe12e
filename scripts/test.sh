#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, runs every test.
# usage: scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DMP_WERROR=ON "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
