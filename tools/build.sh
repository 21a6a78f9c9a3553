#!/usr/bin/env bash
# tools/build.sh [build-dir] [extra cmake args...]: configures (once) and builds with Ninja.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}; shift || true
bash "$root/tools/deps.sh"
[ -f "$dir/build.ninja" ] || cmake -S "$root" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -- -j"$(nproc)"
