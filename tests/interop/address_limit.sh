#!/bin/sh
# Hostile sources and a small address space, each in a child kez under
# `ulimit -v`: an endless device answers at once (a catchable error, or the
# bytes asked for), a whole read of one ends in a catchable error, and a
# limit too small for the heap's whole range shrinks the range instead of
# refusing to start.
set -u
kez=$1
work=$(mktemp -d)
writer=
trap '[ -n "$writer" ] && kill "$writer" 2>/dev/null; rm -rf "$work"' EXIT
failed=0
check() {  # name, expected, actual
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1"; echo "  expected: $2"; echo "  actual:   $3"; failed=$((failed + 1)); fi
}

cat > "$work/zero.kez" <<'EOF'
Kez []
e: try [decode-image %/dev/zero]
print [error? e e/id]
e: try [load/as %/dev/zero 'png]
print error? e
print mold read/binary/seek/part %/dev/zero 3000000000.0 4
EOF
out=$( (ulimit -v 6000000; DISPLAY= "$kez" "$work/zero.kez") 2>&1 )
check "endless device" "true cannot-open
true
#{00000000}" "$out"

# Whole reads of endless sources, and the captured output of a child that
# writes without end, stop where the system stops giving memory, with the
# catchable error; a limit just above the heap's reserved range
# makes that come early. The FIFO holds an image header that passes the size
# check, then zeros without end.
mkfifo "$work/endless.png"
(printf '\211PNG\r\n\032\n\0\0\0\rIHDR\0\0\0\1\0\0\0\1'; cat /dev/zero) > "$work/endless.png" 2>/dev/null &
writer=$!  # blocked in opening the FIFO until kez reads it; ends by SIGPIPE after
cat > "$work/whole.kez" <<EOF
Kez []
foreach code [
    [load %/dev/zero]
    [read %/dev/zero]
    [decode-image %$work/endless.png]
    [call/wait/output "cat /dev/zero" copy #{}]
    [call/wait/error "cat /dev/zero >&2" copy ""]
][
    e: try code
    print [mold code either error? e [e/id] [type? e]]
]
print "still running"
EOF
out=$( (ulimit -v 4800000; DISPLAY= "$kez" "$work/whole.kez") 2>&1 )
check "whole reads of endless sources" "[load %/dev/zero] no-memory
[read %/dev/zero] no-memory
[decode-image %$work/endless.png] no-memory
[call/wait/output \"cat /dev/zero\" copy #{}] no-memory
[call/wait/error \"cat /dev/zero >&2\" copy \"\"] no-memory
still running" "$out"

# Under a limit far below the heap's whole range, kez still starts, with
# its image and without: the range shrinks to what the limit leaves, and a
# huge allocation ends in a catchable no-memory.
cat > "$work/small.kez" <<'EOF'
Kez []
total: 0
repeat i 1000 [total: total + i]
words: copy []
repeat i 2000 [append words to word! rejoin ["w" i]]
print [total length? words last words]
foreach code [
    [make string! 500000000]
    [append/dup copy "" "0123456789" 100000000]
    [make block! 100000000]
][
    e: try code
    print [mold code either error? e [e/id] [type? e]]
]
b: make block! 1000
repeat i 1000 [append b form i]
print [length? b last b]
EOF
small_expected="500500 2000 w2000
[make string! 500000000] no-memory
[append/dup copy \"\" \"0123456789\" 100000000] no-memory
[make block! 100000000] no-memory
1000 1000"
for image in with without; do
  if [ $image = with ]; then flag=; else flag=KEZ_NO_IMAGE=1; fi
  out=$( (ulimit -v 300000; env DISPLAY= $flag "$kez" "$work/small.kez") 2>&1 )
  check "under ulimit -v 300000, $image the image" "$small_expected" "$out"
done
echo 'Kez [] print "started"' > "$work/start.kez"
out=$( (ulimit -v 4000000; DISPLAY= "$kez" "$work/start.kez") 2>&1 )
check "start under a 4 GB limit" started "$out"

echo "$((5 - failed)) passed, $failed failed"
[ "$failed" = 0 ]
