#!/bin/sh
# run.sh KEZ SCRIPT EXPECTED: the script's output (standard output and
# error), with clock readings masked as <time>, must equal EXPECTED.
out=$("$1" "$2" 2>&1; echo "exit $?")
printf '%s\n' "$out" | sed -E 's/[0-9]+:[0-9]{2}:[0-9]{2}(\.[0-9]+)?/<time>/g' | diff -u "$3" - || exit 1
