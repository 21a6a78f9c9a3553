#!/usr/bin/env bash
# tools/test.sh: builds and runs every test twice: the normal build, then the
# AddressSanitizer/UBSan build with the collector collecting at every allocation.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# Line tables are what a failure's backtrace and a sanitizer report read.
debug=-DKEZ_DEBUG_INFO=-g1
stage() { echo "== $(date -u +%T) $*"; }

stage normal build
bash "$root/tools/build.sh" "$root/build" "$debug"
stage normal tests
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

# The sanitizer build is clang's: its objects also serve the libFuzzer
# targets below. A build directory configured for another compiler is made
# again.
asan=$root/build-asan
grep -qs 'CMAKE_CXX_COMPILER:[A-Z]*=.*clang' "$asan/CMakeCache.txt" || rm -rf "$asan"
stage sanitizer build
bash "$root/tools/build.sh" "$asan" "$debug" -DKEZ_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
stage sanitizer tests
(cd "$asan" && KEZ_GC_STRESS=1 ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$root/tools/lsan.supp ctest --output-on-failure -j"$jobs")

# Fuzz targets, from the sanitizer build: each runs on its corpus (kept in
# the build directory between runs) from a fixed seed, so a run is a prefix
# of the same input sequence on every machine: a slower machine stops
# earlier, a faster one at the run limit. KEZ_FUZZ_SECONDS widens the time
# limit for longer local runs. Adding a target is adding
# tests/fuzz/<name>_fuzz.cpp; tests/fuzz/seeds/<name>_fuzz/ holds seeds for
# cases a run would be slow to find, read with the corpus.
fuzz=$asan
seconds=${KEZ_FUZZ_SECONDS:-10}
# The targets run side by side, one a core: each still has its own time
# and run limits, so a run checks what it checked alone.
fuzz_one() {
  local target=$1 name
  name=$(basename "$target")
  mkdir -p "$fuzz/corpus/$name"
  local seeds=()
  [ -d "$root/tests/fuzz/seeds/$name" ] && seeds=("$root/tests/fuzz/seeds/$name")
  echo "fuzzing $name"
  if ! "$target" -seed=1 -runs=300000 -max_total_time="$seconds" -timeout=10 \
      "$fuzz/corpus/$name" "${seeds[@]}" >"$fuzz/$name.log" 2>&1; then
    echo "$name failed:"
    tail -n 60 "$fuzz/$name.log"
    return 1
  fi
}
stage fuzzing
failed=0
running=0
for target in "$fuzz"/tests/fuzz/*_fuzz; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
stage done
exit "$failed"
