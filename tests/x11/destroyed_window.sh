#!/bin/sh
# Windows destroyed by another client (xdotool windowclose), run through
# with_wm.sh: the console ends with status 0, as after the manager's close;
# a script's view returns and the script goes on.
# $1: the kez executable.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work XDG_CACHE_HOME=$work/cache
unset KEZ_HEADLESS
fail() { echo "FAIL: $*" >&2; exit 1; }
window() {  # $1 title: waits for the window, prints its id
  i=0
  while :; do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    [ -n "$id" ] && break
    i=$((i + 1)); [ $i -gt 300 ] && fail "no window $1"
    sleep 0.1
  done
  echo "$id"
}
ends_within() {  # $1 pid, $2 tenths of a second: waits for it, sets $status
  i=0
  # A child that ended stays a zombie until waited for: ps tells it apart.
  while [ "$(ps -o stat= -p "$1" 2>/dev/null | cut -c1)" != Z ] && kill -0 "$1" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt "$2" ]; then kill "$1"; wait "$1"; fail "still running with its window gone"; fi
    sleep 0.1
  done
  wait "$1"
  status=$?
}

cd "$work"
"$1" & k=$!
id=$(window 'Kez Console')
# Once it evaluates what is typed, it is past its start-up.
i=0
until [ -e ready.txt ]; do
  i=$((i + 1)); [ $i -gt 100 ] && fail "the console did not evaluate"
  xdotool windowactivate --sync "$id" type --window "$id" 'write %ready.txt ""' 2>/dev/null
  xdotool key --window "$id" Return
  sleep 0.3
done
xdotool windowclose "$id"
ends_within $k 100
[ "$status" = 0 ] || fail "console ended with status $status"

cat > view.kez <<'K'
Kez []
view [title "Doomed" text "x"]
write %after.txt "went on"
K
"$1" --cli view.kez & k=$!
xdotool windowclose "$(window Doomed)"
ends_within $k 100
[ "$status" = 0 ] || fail "script ended with status $status"
[ "$(cat after.txt 2>/dev/null)" = "went on" ] || fail "the script did not go on after its view"

# A window whose on-close keeps it comes back, drawn, with a new X window;
# closed again and let go, the script goes on.
rm -f after.txt
cat > keep.kez <<'K'
Kez []
closes: copy []
view [
    title "Kept"
    on-close [append closes 1 write %closes.txt form length? closes either 1 = length? closes ['continue] [none]]
    backdrop 255.0.0 text "still here"
]
write %after.txt "went on"
K
"$1" --cli keep.kez & k=$!
first=$(window Kept)
sleep 0.5
xdotool windowclose "$first"
i=0
until [ "$(cat closes.txt 2>/dev/null)" = 1 ]; do
  i=$((i + 1)); [ $i -gt 100 ] && fail "on-close did not run"
  sleep 0.1
done
second=$(window Kept)
[ "$second" != "$first" ] || fail "the kept window has no new X window"
# Drawn again: its backdrop fills the middle of the window.
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$second")"
xwd -silent -id "$second" | convert xwd:- -crop "1x1+$((WIDTH / 2))+$((HEIGHT - 4))" -depth 8 txt:- | grep -qi "#FF0000" ||
  fail "the kept window is not drawn"
kill -0 $k 2>/dev/null || fail "the script ended although on-close kept its window"
xdotool windowclose "$second"
ends_within $k 100
[ "$status" = 0 ] || fail "script ended with status $status"
[ "$(cat closes.txt)" = 2 ] || fail "on-close ran $(cat closes.txt) times"
[ "$(cat after.txt 2>/dev/null)" = "went on" ] || fail "the script did not go on after its kept view"
echo ok
