#!/usr/bin/env bash
# Installs what only the benchmarks need (the Lua 5.4 and Python 3.11 peers,
# GNU time for peak memory); quiet when they are there.
set -euo pipefail
missing=()
for p in lua5.4 python3.11-minimal time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
