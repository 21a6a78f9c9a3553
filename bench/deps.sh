#!/usr/bin/env bash
# Installs what only the benchmarks need (the Lua 5.4 peer); quiet when it is there.
set -euo pipefail
if ! dpkg-query -W -f='${Status}' lua5.4 2>/dev/null | grep -q 'install ok installed'; then
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  echo "installing: lua5.4"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq lua5.4 >/dev/null
fi
