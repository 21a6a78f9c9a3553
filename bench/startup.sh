#!/usr/bin/env bash
# bench/startup.sh [kez-executable] [runs]: start-up times of kez, as
# wall-clock milliseconds per run, the median and the best of the given
# number of runs (default 200):
# - an empty script (start-up, then quit);
# - `kez` alone without a display, to its first prompt ">> " on standard
#   output (the banner printed before it);
# - `kez` alone as the GUI console (the headless window system with injected
#   input, a fresh configuration folder): window, configuration, banner and
#   first prompt, then "quit" typed, which saves the configuration and ends.
# The target for the first prompt is 100 ms.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kez=${1:-$here/../build/kez}
runs=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export DISPLAY= KEZ_HEADLESS= KEZ_INPUT= XDG_CACHE_HOME=$work/cache

report() {
  sort -n | awk -v what="$1" -v runs="$runs" '
    { t[NR] = $1 }
    END { printf "%s (%d runs): median %.2f ms, best %.2f ms\n", what, runs, t[int((NR + 1) / 2)] / 1000, t[1] / 1000 }'
}

echo 'Kez []' > "$work/empty.kez"
"$kez" "$work/empty.kez"  # warm the page cache; fails loudly if kez does not start
for _ in $(seq "$runs"); do
  s=$EPOCHREALTIME
  "$kez" "$work/empty.kez"
  e=$EPOCHREALTIME
  echo $(( ${e/./} - ${s/./} ))
done | report "start-up (empty script)"

# The clock stops when the prompt's first character arrives; then the input
# is closed, which ends kez.
for _ in $(seq "$runs"); do
  s=$EPOCHREALTIME
  coproc KEZ { exec "$kez" 2>/dev/null; }
  IFS= read -r -d '>' -u "${KEZ[0]}" _ || { echo "kez gave no prompt" >&2; exit 1; }
  e=$EPOCHREALTIME
  exec {KEZ[1]}>&-
  wait "$KEZ_PID" || true
  echo $(( ${e/./} - ${s/./} ))
done | report "kez to its first prompt, no display"

printf 'text "quit"\nkey enter\n' > "$work/quit.txt"
for _ in $(seq "$runs"); do
  rm -rf "$work/cache"
  s=$EPOCHREALTIME
  KEZ_HEADLESS=1 KEZ_INPUT=$work/quit.txt "$kez" </dev/null
  e=$EPOCHREALTIME
  echo $(( ${e/./} - ${s/./} ))
done | report "GUI console (headless): first prompt, then quit"
