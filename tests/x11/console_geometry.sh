#!/bin/sh
# The console under a window manager (run through with_wm.sh): resized and
# moved from outside, it saves that geometry when it quits and opens with it
# the next time; the manager's close (Alt+F4) ends it with status 0.
# $1: the kez executable.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work XDG_CACHE_HOME=$work/cache
unset KEZ_HEADLESS
fail() { echo "FAIL: $*"; exit 1; }
console() {  # waits for the window, prints its id
  i=0
  while :; do
    id=$(xdotool search --onlyvisible --name '^Kez Console$' 2>/dev/null | head -1)
    [ -n "$id" ] && break
    i=$((i + 1)); [ $i -gt 300 ] && fail "no console window"
    sleep 0.1
  done
  echo "$id"
}
geometry() { xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}'; }
await_geometry() {  # $1 id, $2 wanted
  i=0
  until [ "$(geometry "$1")" = "$2" ]; do
    i=$((i + 1)); [ $i -gt 200 ] && fail "geometry $(geometry "$1"), wanted $2"
    sleep 0.05
  done
}

cd "$work"
"$1" & k=$!
id=$(console)
# 640x480 of client area plus the menu bar, no caption of its own.
await_geometry "$id" "$(geometry "$id" | cut -d' ' -f1-2) 640 500"
xdotool windowsize "$id" 900 620
await_geometry "$id" "$(geometry "$id" | cut -d' ' -f1-2) 900 620"
xdotool windowmove "$id" 100 150
await_geometry "$id" "100 150 900 620"
# The keys go where the focus is: to the console only once the manager has
# given it the focus (on a loaded machine that can come late).
xdotool windowactivate --sync "$id"
sleep 0.5
xdotool type quit; xdotool key Return
wait $k; status=$?
[ $status = 0 ] || fail "quit ended with $status"
grep -rq "win-size: 900x600" "$work/cache" || fail "size not saved: $(grep -rh win- "$work/cache")"

"$1" & k=$!
id=$(console)
await_geometry "$id" "100 150 900 620"
xdotool windowactivate --sync "$id" key alt+F4
wait $k; status=$?
[ $status = 0 ] || fail "the manager's close ended with $status"
echo "console geometry: ok"
