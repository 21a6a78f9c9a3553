#!/bin/sh
# Runs the X11 base-face script on the display xvfb-run gives.
# $1: the kez executable; $2: tests/kez.
set -e
cd "$2"
# "--cli": the script, not the GUI console around it.
exec "$1" --cli lib/assert.kez lib/gui_prelude.kez backend/x11_base.kez
