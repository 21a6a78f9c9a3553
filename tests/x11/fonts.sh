#!/bin/sh
# Fonts headless (the pinned set) and on the display xvfb-run gives (the
# installed ones). $1: the kez executable; $2: tests/kez.
set -e
cd "$2"
FONTS_DIR=$(mktemp -d)
export FONTS_DIR
trap 'rm -rf "$FONTS_DIR"' EXIT
KEZ_HEADLESS=1 KEZ_INPUT=backend/x11_fonts.txt "$1" --cli lib/assert.kez backend/x11_fonts.kez
"$1" --cli lib/assert.kez backend/x11_fonts.kez
