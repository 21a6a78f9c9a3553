#!/bin/sh
# Runs a Kez test script against the loopback HTTP server: the server's
# port and a port nothing listens on reach the script as KEZ_TEST_HTTP_PORT
# and KEZ_TEST_CLOSED_PORT.
set -eu
kez=$1 script=$2
work=$(mktemp -d)
python3 "$(dirname "$0")/http_server.py" "$work/ports" &
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
i=0
while [ ! -s "$work/ports" ]; do
  i=$((i + 1))
  [ $i -le 200 ] || { echo "the test server did not start"; exit 1; }
  sleep 0.05
done
read -r port closed < "$work/ports"
# Loopback only: no proxy stands between the test and its server.
export no_proxy='*' NO_PROXY='*'
KEZ_TEST_HTTP_PORT=$port KEZ_TEST_CLOSED_PORT=$closed "$kez" lib/assert.kez "$script"
