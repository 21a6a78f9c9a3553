#!/bin/sh
# tools/boot_image.sh EXECUTABLE: the executable boots the long way, writes
# the image of the state its boot left, and the image is appended to its own
# file (page-aligned), where start-up finds it.
set -eu
exe=$1
image=$exe.image
rm -f "$image"
env -u DISPLAY -u KEZ_GC_STRESS -u KEZ_GC_STRESS_BOOT -u KEZ_NO_IMAGE KEZ_WRITE_IMAGE="$image" "$exe"
size=$(stat -c %s "$exe")
pad=$(( (4096 - size % 4096) % 4096 ))
head -c "$pad" /dev/zero >> "$exe"
cat "$image" >> "$exe"
rm -f "$image"
