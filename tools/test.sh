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

# Fuzz targets: built by clang with libFuzzer into build-fuzz, each run for a
# short time on its corpus (kept in build-fuzz between runs). Adding a target
# is adding tests/fuzz/<name>_fuzz.cpp.
fuzz=$root/build-fuzz
bash "$root/tools/build.sh" "$fuzz" -DKEZ_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
for target in "$fuzz"/tests/fuzz/*_fuzz; do
  name=$(basename "$target")
  mkdir -p "$fuzz/corpus/$name"
  echo "fuzzing $name"
  if ! "$target" -max_total_time=10 -timeout=10 "$fuzz/corpus/$name" >"$fuzz/$name.log" 2>&1; then
    tail -n 60 "$fuzz/$name.log"
    exit 1
  fi
done
