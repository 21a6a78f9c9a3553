#!/bin/sh
# Hostile sources and a small address space, each in a child kez under
# `ulimit -v`: an endless device answers at once (a catchable error, or the
# bytes asked for), and a start-up that cannot reserve its heap says "out of
# memory" with status 94.
set -u
kez=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

echo 'Kez [] print "started"' > "$work/start.kez"
out=$( (ulimit -v 4000000; DISPLAY= "$kez" "$work/start.kez") 2>&1 )
status=$?
check "status under a 4 GB limit" 94 "$status"
case "$out" in
  *"Runtime Error 94: out of memory"*) echo "ok: report" ;;
  *) echo "FAILED: report: $out"; failed=$((failed + 1)) ;;
esac

echo "$((3 - failed)) passed, $failed failed"
[ "$failed" = 0 ]
