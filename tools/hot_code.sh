#!/usr/bin/env bash
# tools/hot_code.sh [kez]: lists the functions that plain scripts run (an
# empty script, the line console's first answer, an error report and the
# programs of bench/) into tools/hot_code.txt, which the link of kez places
# first. Run it again when the runtime changes much: a function missing from
# the list only costs a little memory and start-up time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kez=$(realpath "${1:-$root/build/kez}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'Kez []\n' >"$work/empty.kez"
printf 'Kez []\nprint 1 / 0\n' >"$work/error.kez"
trace() {
  local name=$1; shift
  valgrind --tool=callgrind --demangle=no --callgrind-out-file="$work/$name.out" "$@" >/dev/null 2>&1 || true
}
trace empty "$kez" "$work/empty.kez" &
trace error "$kez" "$work/error.kez" &
printf '1 + 2\n' | trace console "$kez" &
for p in "$root"/bench/*.kez; do
  (cd "$root/bench" && trace "$(basename "$p" .kez)" "$kez" "$p") &
done
wait
# Every function named in a profile ran (or was called) at least once.
sed -n 's/^c\?fn=([0-9]*) \(.*\)$/\1/p' "$work"/*.out | grep -v '^0x' | sort -u >"$root/tools/hot_code.txt"
wc -l <"$root/tools/hot_code.txt"
