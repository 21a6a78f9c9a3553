#!/bin/sh
# A picture of the screen holding another program's window: xlogo at a known
# place, beside a window of ours. $1: the kez executable; $2: tests/kez.
set -e
cd "$2"
xlogo -geometry 200x200+400+300 -bg white -fg black &
logo=$!
trap 'kill $logo 2>/dev/null || true' EXIT
timeout 20 xdotool search --sync --onlyvisible --name '^xlogo$' >/dev/null
"$1" --cli lib/assert.kez backend/x11_screen_image.kez
