#!/usr/bin/env bash
# bench/run.sh [kez-executable]: runs each benchmark in Kez, Python 3 and Lua
# 5.4 side by side and prints the user CPU seconds and Kez's ratio to each.
# Every program prints its result; the three results must agree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kez=${1:-$here/../build/kez}
bash "$here/deps.sh"

# User CPU seconds of one run (the best of three), and its output.
measure() {
  local best="" out t
  for _ in 1 2 3; do
    out=$( { /usr/bin/time -f "%U" "$@" > /tmp/kez_bench_out.$$; } 2>&1 | tail -1)
    t=$out
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  echo "$best"
}

printf "%-8s %8s %8s %8s %10s %10s\n" bench kez python3 lua5.4 kez/py kez/lua
for name in fib loop append sort parse-words; do
  k=$(measure "$kez" "$here/$name.kez"); ko=$(cat /tmp/kez_bench_out.$$)
  p=$(measure python3 "$here/$name.py"); po=$(cat /tmp/kez_bench_out.$$)
  l=$(measure lua5.4 "$here/$name.lua"); lo=$(cat /tmp/kez_bench_out.$$)
  # Numbers compare by value: tabs as spaces, a float's ".0" dropped.
  norm() { echo "$1" | tr '\t' ' ' | sed 's/\.0\b//g'; }
  ko=$(norm "$ko"); po=$(norm "$po"); lo=$(norm "$lo")
  [ "$ko" = "$po" ] || echo "warning: $name: kez printed '$ko', python3 '$po'" >&2
  [ "$ko" = "$lo" ] || echo "warning: $name: kez printed '$ko', lua5.4 '$lo'" >&2
  awk -v n="$name" -v k="$k" -v p="$p" -v l="$l" 'BEGIN {
    printf "%-8s %8.2f %8.2f %8.2f %10.2f %10.2f\n", n, k, p, l, (p > 0 ? k / p : 0), (l > 0 ? k / l : 0) }'
done
echo "map: skipped (map! does not exist yet)"
rm -f /tmp/kez_bench_out.$$
