#!/usr/bin/env bash
# bench/run.sh [-n RUNS] [kez-executable]: runs every benchmark of this folder
# (each NAME.kez with its NAME.py and NAME.lua peers) in Kez, CPython 3 and
# Lua 5.4, in turn, RUNS times (default 5) after a warm-up, and prints per
# program the median CPU seconds (user + system) of each and the median of
# the paired ratios kez/python and kez/lua. The runs go kez, python, lua,
# kez, python, lua ... so that a drift in the machine's speed touches the
# three alike.
#
# Every program prints its result; the three must agree (numbers by value), or
# the row is marked and the script ends with status 1.
#
# The peers are called as binaries, never through version-manager shims (a
# shim is a script that adds its own start-up to every run): PYTHON and LUA
# choose them; else python3.11 (or python3) names its own executable, and
# lua5.4 is the first binary of that name on PATH.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
runs=5
if [ "${1:-}" = -n ]; then runs=$2; shift 2; fi
kez=${1:-$here/../build/kez}
bash "$here/deps.sh"

set_python() {
  local name
  for name in python3.11 python3; do
    if command -v "$name" > /dev/null; then
      "$name" -c 'import sys; print(sys.executable)'
      return 0
    fi
  done
  return 1
}
find_binary() {
  local path
  while read -r path; do
    if [ -x "$path" ] && [ "$(head -c 4 "$path" | od -An -c | tr -d ' ')" = '177ELF' ]; then
      echo "$path"
      return 0
    fi
  done < <(type -ap "$1")
  return 1
}
python=${PYTHON:-$(set_python)} || { echo "no python3 found" >&2; exit 1; }
lua=${LUA:-$(find_binary lua5.4)} || { echo "no lua5.4 binary found" >&2; exit 1; }
[ -x "$kez" ] || { echo "no kez executable at $kez (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a command once, its output to $work/out; prints its user + system CPU
# seconds (bash's own accounting of the finished child).
cpu_seconds() {
  local TIMEFORMAT='%3U %3S' t
  t=$( { time "$@" > "$work/out" 2> "$work/err"; } 2>&1 ) || {
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  }
  awk '{ printf "%.3f\n", $1 + $2 }' <<< "$t"
}

# Numbers compare by value: tabs as spaces, a float's ".0" dropped.
normalise() { tr '\t' ' ' < "$1" | sed 's/\.0\b//g'; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "kez: $kez"
echo "python: $python ($("$python" --version 2>&1))"
echo "lua: $lua ($("$lua" -v 2>&1 | head -1))"
echo "median of $runs paired runs, CPU seconds (user + system)"
printf "%-12s %8s %8s %8s %8s %8s\n" program kez python lua kez/py kez/lua
status=0
for source in "$here"/*.kez; do
  name=$(basename "$source" .kez)
  [ -f "$here/$name.py" ] && [ -f "$here/$name.lua" ] || continue
  : > "$work/k"; : > "$work/p"; : > "$work/l"; : > "$work/rp"; : > "$work/rl"
  agree=yes
  # Run 0 is a warm-up (files cached, binaries paged in): checked, not counted.
  for ((r = 0; r <= runs; r++)); do
    k=$(cpu_seconds "$kez" "$source"); ko=$(normalise "$work/out")
    p=$(cpu_seconds "$python" "$here/$name.py"); po=$(normalise "$work/out")
    l=$(cpu_seconds "$lua" "$here/$name.lua"); lo=$(normalise "$work/out")
    if [ "$ko" != "$po" ] || [ "$ko" != "$lo" ]; then
      agree=no
      echo "$name: results differ: kez '$ko', python '$po', lua '$lo'" >&2
    fi
    [ "$r" -gt 0 ] || continue
    echo "$k" >> "$work/k"; echo "$p" >> "$work/p"; echo "$l" >> "$work/l"
    # A run too short to time (0.000) counts as one millisecond.
    read -r rp rl < <(awk -v k="$k" -v p="$p" -v l="$l" 'BEGIN {
      m = 0.001; k = k > m ? k : m; p = p > m ? p : m; l = l > m ? l : m
      printf "%f %f\n", k / p, k / l }')
    echo "$rp" >> "$work/rp"; echo "$rl" >> "$work/rl"
  done
  mark=""
  [ "$agree" = yes ] || { mark=" results differ"; status=1; }
  printf "%-12s %8.3f %8.3f %8.3f %7.2fx %7.2fx%s\n" "$name" \
    "$(median < "$work/k")" "$(median < "$work/p")" "$(median < "$work/l")" \
    "$(median < "$work/rp")" "$(median < "$work/rl")" "$mark"
done
exit $status
