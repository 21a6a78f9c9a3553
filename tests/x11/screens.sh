#!/bin/sh
# Monitors and the desktop's scale on the display xvfb-run gives (started
# with -noreset, so that what is set here outlives each client).
# $1: the kez executable; $2: tests/kez.
set -e
cd "$2"
# The left monitor takes over the server's one output, so that it stands in its place.
xrandr --setmonitor left 960/254x1080/286+0+0 screen >/dev/null
xrandr --setmonitor right 960/127x1080/143+960+0 none
# Without Xft.dpi the desktop is at 96 DPI, whatever the monitors' sizes say.
KEZ_TEST_DPI=96 "$1" --cli lib/assert.kez backend/x11_screens.kez
xrandr --setmonitor right 960/127x1080/143+960+0 none
echo 'Xft.dpi: 144' | xrdb -nocpp -merge
KEZ_TEST_DPI=144 "$1" --cli lib/assert.kez backend/x11_screens.kez
