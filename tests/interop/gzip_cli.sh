#!/bin/sh
# Our gzip members against the real gzip tool, both ways: what kez writes
# (printed as base 64) must pass `gzip -t` and unpack to the text it came
# from; what gzip writes (with the file name in its header) must unpack in kez.
set -eu
kez=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/out.kez" <<'KEZ'
Kez []
big: copy ""
repeat i 2000 [append append big i " Σ "]
print length? compress "hello world" 'gzip
foreach text reduce ["hello world" "" big #{00FF10EF}] [
    print enbase compress text 'gzip
    print enbase text
]
KEZ
"$kez" "$work/out.kez" > "$work/lines"

size=$(head -n 1 "$work/lines")
[ "$size" = 31 ] || { echo "gzip of \"hello world\" is $size bytes, not 31"; exit 1; }
n=0
tail -n +2 "$work/lines" | while read -r packed && read -r plain; do
  n=$((n + 1))
  printf %s "$packed" | base64 -d > "$work/m$n.gz"
  printf %s "$plain" | base64 -d > "$work/want$n"
  gzip -t "$work/m$n.gz"
  gzip -dc "$work/m$n.gz" > "$work/got$n"
  cmp "$work/got$n" "$work/want$n"
done
[ "$(ls "$work"/m*.gz | wc -l)" = 4 ] || { echo "not every member was checked"; exit 1; }

printf 'hello world' > "$work/hello.txt"
seq 1 30000 > "$work/numbers.txt"
gzip -k -9 "$work/hello.txt"
gzip -k -1 "$work/numbers.txt"
cat > "$work/in.kez" <<KEZ
Kez []
print to string! decompress debase "$(base64 -w0 "$work/hello.txt.gz")" 'gzip
print enbase/base checksum decompress debase "$(base64 -w0 "$work/numbers.txt.gz")" 'gzip 'md5 16
KEZ
"$kez" "$work/in.kez" > "$work/got"
printf 'hello world\n%s\n' "$(md5sum < "$work/numbers.txt" | cut -c1-32 | tr a-f A-F)" > "$work/want"
cmp "$work/got" "$work/want"
echo "gzip interop: passed"
