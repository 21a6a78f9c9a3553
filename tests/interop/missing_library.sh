#!/bin/sh
# kez KEZ: a library that cannot be loaded (here an empty file found first on
# LD_LIBRARY_PATH) is an access error naming it when a script first needs it;
# a script that does not need it runs as ever.
set -u
kez=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
: >"$dir/libpng16.so.16"
: >"$dir/libcurl.so.4"
printf 'Kez []\nprint "plain"\n' >"$dir/plain.kez"
printf 'Kez []\nprint mold try [decode-image #{89504E470D0A1A0A}]\nprint "after"\ndecode-image #{89504E470D0A1A0A}\nprint "not reached"\n' >"$dir/png.kez"
fail() { echo "FAIL: $*"; exit 1; }
out=$(LD_LIBRARY_PATH=$dir DISPLAY= "$kez" "$dir/plain.kez" 2>&1) || fail "plain script: $out"
[ "$out" = plain ] || fail "plain script printed: $out"
out=$(LD_LIBRARY_PATH=$dir DISPLAY= "$kez" "$dir/png.kez" 2>"$dir/err")
status=$?
[ "$status" = 254 ] || fail "status $status, output: $out $(cat "$dir/err")"
echo "$out" | grep -q "id: 'cannot-open" || fail "no cannot-open error caught: $out"
echo "$out" | grep -q 'libpng16.so.16' || fail "the caught error does not name the library: $out"
echo "$out" | grep -q '^after$' || fail "the script did not go on after the caught error: $out"
grep -q 'Access Error: cannot open: .*libpng16.so.16' "$dir/err" || fail "uncaught error: $(cat "$dir/err")"
echo "$out" | grep -q 'not reached' && fail "went on after the uncaught error"

# HTTP's library, loaded on its own first use, says the same.
printf 'Kez []\ne: try [read https://example.invalid/]\nprint [e/type e/id e/arg1]\n' >"$dir/http.kez"
out=$(LD_LIBRARY_PATH=$dir DISPLAY= "$kez" "$dir/http.kez" 2>&1)
[ "$out" = "access cannot-open libcurl.so.4" ] || fail "HTTP without its library: $out"
echo ok
