#!/usr/bin/env bash
# bench/run.sh [-n RUNS] [kez-executable]: runs every benchmark of this folder
# (each NAME.kez with its NAME.py and NAME.lua peers) in Kez, CPython and
# Lua 5.4, in turn, RUNS times (default 5) after a warm-up, and prints per
# program the median wall and CPU seconds (user + system) of kez, the medians
# of the paired ratios kez/python and kez/lua (wall and CPU), and each one's
# median peak memory. The runs go kez, python, lua, kez, python, lua ... so
# that a drift in the machine's speed touches the three alike. A start-up
# table follows: an empty script, the line console to its first answer and
# the GUI console (headless) to its first prompt, beside python's and lua's
# nearest equivalents.
#
# Every program prints its result; the three must agree (numbers by value), or
# the row is marked and the script ends with status 1.
#
# The Python peer is the distribution's own python3.11 (package
# python3.11-minimal, installed by bench/deps.sh), run with -S: site imports
# add a start-up that a plain install does not have. PYTHON and LUA choose
# other binaries; the peers are called as binaries, never through
# version-manager shims (a shim adds its own start-up to every run).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
runs=5
if [ "${1:-}" = -n ]; then runs=$2; shift 2; fi
kez=${1:-$here/../build/kez}
bash "$here/deps.sh"

set_python() {
  if [ -x /usr/bin/python3.11 ] && dpkg -S /usr/bin/python3.11 2>/dev/null | grep -q python3.11-minimal; then
    echo /usr/bin/python3.11
    return 0
  fi
  find_binary python3.11
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
python=${PYTHON:-$(set_python)} || { echo "no python3.11 binary found" >&2; exit 1; }
lua=${LUA:-$(find_binary lua5.4)} || { echo "no lua5.4 binary found" >&2; exit 1; }
[ -x "$kez" ] || { echo "no kez executable at $kez (build it first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a command once, its output to $work/out; prints its wall seconds,
# user + system CPU seconds and peak resident memory in kilobytes.
measure() {
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" > "$work/out" 2> "$work/err" || {
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  }
  awk '{ printf "%.3f %.3f %d\n", $1, $2 + $3, $4 }' "$work/time"
}

# Numbers compare by value: tabs as spaces, a float's ".0" dropped.
normalise() { tr '\t' ' ' < "$1" | sed 's/\.0\b//g'; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "kez: $kez"
echo "python: $python -S ($("$python" --version 2>&1))"
echo "lua: $lua ($("$lua" -v 2>&1 | head -1))"
echo "median of $runs paired runs; ratios are medians of the pair ratios; memory is the peak resident set"
printf "%-12s %8s %8s %8s %8s %8s %8s %9s %9s %9s\n" program "kez s" "kez cpu" "wall/py" "cpu/py" "wall/lua" "cpu/lua" "kez MB" "py MB" "lua MB"
status=0
for source in "$here"/*.kez; do
  name=$(basename "$source" .kez)
  [ -f "$here/$name.py" ] && [ -f "$here/$name.lua" ] || continue
  for f in kw kc km pm lm rwp rcp rwl rcl; do : > "$work/$f"; done
  agree=yes
  # Run 0 is a warm-up (files cached, binaries paged in): checked, not counted.
  for ((r = 0; r <= runs; r++)); do
    read -r kw kc km < <(measure "$kez" "$source"); ko=$(normalise "$work/out")
    read -r pw pc pm < <(measure "$python" -S "$here/$name.py"); po=$(normalise "$work/out")
    read -r lw lc lm < <(measure "$lua" "$here/$name.lua"); lo=$(normalise "$work/out")
    if [ "$ko" != "$po" ] || [ "$ko" != "$lo" ]; then
      agree=no
      echo "$name: results differ: kez '$ko', python '$po', lua '$lo'" >&2
    fi
    [ "$r" -gt 0 ] || continue
    echo "$kw" >> "$work/kw"; echo "$kc" >> "$work/kc"
    echo "$km" >> "$work/km"; echo "$pm" >> "$work/pm"; echo "$lm" >> "$work/lm"
    # A run too short to time (0.00) counts as ten milliseconds, the clock's step.
    awk -v a="$kw" -v b="$pw" -v c="$lw" -v d="$kc" -v e="$pc" -v f="$lc" -v w="$work" 'BEGIN {
      m = 0.01
      a = a > m ? a : m; b = b > m ? b : m; c = c > m ? c : m
      d = d > m ? d : m; e = e > m ? e : m; f = f > m ? f : m
      print a / b >> (w "/rwp"); print d / e >> (w "/rcp")
      print a / c >> (w "/rwl"); print d / f >> (w "/rcl") }'
  done
  mark=""
  [ "$agree" = yes ] || { mark=" results differ"; status=1; }
  printf "%-12s %8.3f %8.3f %7.2fx %7.2fx %7.2fx %7.2fx %9.1f %9.1f %9.1f%s\n" "$name" \
    "$(median < "$work/kw")" "$(median < "$work/kc")" \
    "$(median < "$work/rwp")" "$(median < "$work/rcp")" "$(median < "$work/rwl")" "$(median < "$work/rcl")" \
    "$(median < "$work/km" | awk '{ print $1 / 1024 }')" "$(median < "$work/pm" | awk '{ print $1 / 1024 }')" \
    "$(median < "$work/lm" | awk '{ print $1 / 1024 }')" "$mark"
done

# Start-up: wall milliseconds, median of 5 * RUNS runs each, without a display.
# The clock is the shell's own: a forked date would add its start-up to each.
starts=$((runs * 5))
echo 'Kez []' > "$work/empty.kez"
printf 'text "quit"\nkey enter\n' > "$work/quit.txt"
millis() {  # command...: median wall milliseconds of $starts runs
  for ((r = 0; r < starts; r++)); do
    s=$EPOCHREALTIME
    "$@" > /dev/null 2>&1 < "$work/stdin" || true
    e=$EPOCHREALTIME
    echo $(( ${e/./} - ${s/./} ))
  done | median | awk '{ printf "%.1f", $1 / 1000 }'
}
gui_console() { rm -rf "$work/cache"; KEZ_HEADLESS=1 KEZ_INPUT=$work/quit.txt XDG_CACHE_HOME=$work/cache "$kez" "$@"; }
echo
echo "start-up, median wall ms of $starts runs"
printf "%-44s %8s\n" "what" "ms"
: > "$work/stdin"
printf "%-44s %8s\n" "kez: an empty script" "$(DISPLAY= millis "$kez" "$work/empty.kez")"
printf "%-44s %8s\n" "python3.11 -S -c pass" "$(millis "$python" -S -c pass)"
printf "%-44s %8s\n" "lua5.4 -e ''" "$(millis "$lua" -e '')"
printf '1 + 2\n' > "$work/stdin"
printf "%-44s %8s\n" "kez: line console, '1 + 2' answered" "$(DISPLAY= millis "$kez")"
printf "%-44s %8s\n" "python3.11 -S -i: '1 + 2' answered" "$(millis "$python" -S -i)"
: > "$work/stdin"
printf "%-44s %8s\n" "kez: GUI console (headless), first prompt" "$(DISPLAY= millis gui_console)"
exit $status
