#!/usr/bin/env bash
# bench/scaling/run.sh [kez-executable]: runs each program at a size and at
# twice that size; work that grows linearly takes about twice as long at the
# larger size, quadratic work four times.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kez=${1:-$here/../../build/kez}
for spec in "bind-depth 80000" "csv-quotes 400000" "replace-all 200000"; do
  set -- $spec
  DISPLAY= "$kez" "$here/$1.kez" "$2"
  DISPLAY= "$kez" "$here/$1.kez" "$(( $2 * 2 ))"
done
