#!/usr/bin/env bash
# tools/run.sh [script.kez] [args...]: builds kez and runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/build.sh" "$root/build" >/dev/null
exec "$root/build/kez" "$@"
