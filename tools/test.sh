#!/usr/bin/env bash
# tools/test.sh: builds and runs every test twice: the normal build, then the
# AddressSanitizer/UBSan build with the collector collecting at every allocation.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

bash "$root/tools/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

bash "$root/tools/build.sh" "$root/build-asan" -DKEZ_SANITIZE=ON
(cd "$root/build-asan" && KEZ_GC_STRESS=1 ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$jobs")
