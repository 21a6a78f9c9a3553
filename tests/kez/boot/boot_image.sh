#!/bin/sh
# boot_image.sh KEZ: start-up from the boot image appended to kez leaves the
# same state as the boot itself (a probe script prints the same), and an
# image that does not belong to the executable is never used. Whether the
# image was used shows in /proc/self/maps: the heap's pages then come from
# the executable's file.
set -u
kez=$1
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
printf 'Kez []\n' >"$dir/empty.kez"
# The heap's range starts at 3f0000000000 and holds no file's pages otherwise.
cat >"$dir/mapped.kez" <<'END'
Kez []
found: false
foreach line split to string! read %/proc/self/maps lf [
    if all [find/match line "3f" find line "/"] [found: true]
]
print found
END
run() {  # run ENV... SCRIPT: the output, standard error included
  env DISPLAY= "$@" 2>&1
}

[ "$(run "$kez" "$dir/mapped.kez")" = true ] || fail "the image is not used"
[ "$(run KEZ_NO_IMAGE=1 "$kez" "$dir/mapped.kez")" = false ] || fail "KEZ_NO_IMAGE still uses the image"
[ "$(run KEZ_GC_STRESS_BOOT=1 "$kez" "$dir/mapped.kez")" = false ] || fail "the boot under stress uses the image"

out=$(run "$kez" "$dir/empty.kez"); status=$?
[ "$status" = 0 ] && [ -z "$out" ] || fail "empty script from the image: status $status, output: $out"

expected=$(run KEZ_NO_IMAGE=1 "$kez" "$here/image_probe.kez") || fail "probe without the image: $expected"
out=$(run "$kez" "$here/image_probe.kez") || fail "probe from the image: $out"
[ "$out" = "$expected" ] || fail "probe from the image differs:
$(printf '%s\n' "$expected" >"$dir/a"; printf '%s\n' "$out" >"$dir/b"; diff "$dir/a" "$dir/b")"

# Collections over the heap's pages as the image gave them (the probe
# itself is too long to run with a collection at every allocation).
cat >"$dir/collect.kez" <<'END'
Kez []
b: copy []
repeat i 50 [append b reduce [i form i make object! [n: i]]]
recycle
print [length? b mold first b mold b/149 length? words-of system/words]
print mold split "a,b,c" ","
END
collected=$(run KEZ_NO_IMAGE=1 "$kez" "$dir/collect.kez")
out=$(run KEZ_GC_STRESS=1 "$kez" "$dir/collect.kez")
[ "$out" = "$collected" ] || fail "collecting at every allocation from the image: $out (expected $collected)"

# Copies whose image is not theirs: another build id, a cut trailer.
size=$(stat -c %s "$kez")
image=$(od -An -t u8 -j $((size - 16)) -N 8 "$kez" | tr -d ' ')
cp "$kez" "$dir/other-build"
printf '\377' | dd of="$dir/other-build" bs=1 seek=$((size - image + 16)) conv=notrunc status=none
cp "$kez" "$dir/cut"
truncate -s $((size - 8)) "$dir/cut"
for copy in other-build cut; do
  [ "$(run "$dir/$copy" "$dir/mapped.kez")" = false ] || fail "$copy: an image that is not its own is used"
  out=$(run "$dir/$copy" "$here/image_probe.kez")
  [ "$out" = "$expected" ] || fail "$copy: the probe differs: $out"
done
echo ok
