#!/usr/bin/env bash
# bench/startup.sh [kez-executable] [runs]: start-up time of kez on an empty
# script (start-up, then quit), as wall-clock milliseconds per run: the
# median and the best of the given number of runs (default 200).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kez=${1:-$here/../build/kez}
runs=${2:-200}
script=$(mktemp --suffix=.kez)
trap 'rm -f "$script"' EXIT
echo 'Kez []' > "$script"
"$kez" "$script"  # warm the page cache; fails loudly if kez does not start
for _ in $(seq "$runs"); do
  s=$(date +%s%N)
  "$kez" "$script"
  e=$(date +%s%N)
  echo $(( (e - s) / 1000 ))
done | sort -n | awk -v runs="$runs" '
  { t[NR] = $1 }
  END { printf "start-up (empty script, %d runs): median %.2f ms, best %.2f ms\n", runs, t[int((NR + 1) / 2)] / 1000, t[1] / 1000 }'
