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
echo ok
