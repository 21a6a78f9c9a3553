#!/bin/sh
# Text copied in kez outlives kez when a clipboard manager runs: kez hands
# the clipboard over as it ends, and a paste after that still gets the text.
# Run under Xvfb: $1 is kez, $2 the clipboard manager of tests/programs.
set -eu
kez=$1
manager=$2
dir=$(mktemp -d)
pid=
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$manager" 120 > "$dir/manager.out" &
pid=$!
n=0
until grep -q ready "$dir/manager.out"; do
  n=$((n + 1)); [ $n -lt 200 ] || fail "the clipboard manager did not start"; sleep 0.05
done

text='copied in kez ✓
second line'
cat > "$dir/copy.kez" <<'KEZ'
Kez []
write-clipboard "copied in kez ✓^/second line"
quit
KEZ
"$kez" --cli "$dir/copy.kez" || fail "kez ended with status $?"
grep -q "^saved " "$dir/manager.out" || fail "nothing handed over: $(cat "$dir/manager.out")"
got=$(xclip -o -selection clipboard) || fail "nothing on the clipboard after kez ended"
[ "$got" = "$text" ] || fail "the clipboard holds '$got'"

# Nothing copied: nothing to hand over, and kez ends as usual.
printf 'Kez []\nquit\n' > "$dir/none.kez"
"$kez" --cli "$dir/none.kez" || fail "kez without a copy ended with status $?"
[ "$(grep -c '^saved ' "$dir/manager.out")" = 1 ] || fail "a second hand-over: $(cat "$dir/manager.out")"
echo "clipboard manager: handed over"
