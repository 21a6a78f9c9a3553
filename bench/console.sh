#!/usr/bin/env bash
# bench/console.sh [kez-executable] [keys]: the GUI console's speed, on X11
# (a private Xvfb with openbox managing the window) and in the headless
# window system, the console at 900x600 with a full page of output:
# - keystroke-to-echo latency: on X11 from an XTest key press to the first
#   change of the pixels of the cell the character shows in, right of the
#   caret (median and 90th percentile over the given number of single keys,
#   default 60, half of them letters and half Backspaces taking them out
#   again); headless, the wall time per injected key, its paint included;
# - lines printed a second by `repeat i 5000 [print i]`, timed inside Kez.
# Targets on X11: echo within one 60 Hz frame (median 16 ms or less), and at
# least 5,000 lines a second. Not a test: timings depend on the machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kez=$(realpath "${1:-$here/../build/kez}")
keys=${2:-60}
if [ -n "${KEZ_BENCH_WORK:-}" ]; then
  work=$KEZ_BENCH_WORK  # the X11 half, run again inside xvfb-run
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi

# The prober: presses keys through XTest and watches the echo cell's pixels.
cat > "$work/probe.c" <<'EOF'
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
int XTestFakeKeyEvent(Display*, unsigned, int, unsigned long);
static double ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
static int dark(XImage* im, int x, int y) {
  unsigned long p = XGetPixel(im, x, y);
  return ((p >> 16 & 255) + (p >> 8 & 255) + (p & 255)) < 3 * 128;
}
/* The pixels of a rectangle of the window, as one value that any change of
   them changes. */
static unsigned long long cell(Display* d, Window w, int x, int y, int width, int height) {
  XImage* im = XGetImage(d, w, x, y, width, height, AllPlanes, ZPixmap);
  unsigned long long h = 1469598103934665603ull;
  for (int j = 0; j < height; j++)
    for (int i = 0; i < width; i++) h = (h ^ XGetPixel(im, i, j)) * 1099511628211ull;
  XDestroyImage(im);
  return h;
}
static int cmp(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}
int main(int argc, char** argv) {
  Display* d = XOpenDisplay(NULL);
  if (!d || argc < 3) return 1;
  Window w = strtoul(argv[1], NULL, 0);
  int keys = atoi(argv[2]);
  XWindowAttributes at;
  XGetWindowAttributes(d, w, &at);
  /* The prompt's row: the last band of rows with dark pixels below the menu
     bar, left of the vertical scroll bar. */
  int width = at.width - 40, limit = at.height - 2;
  XImage* im = XGetImage(d, w, 0, 0, width, limit, AllPlanes, ZPixmap);
  int top = -1, bottom = -1;
  for (int y = 22; y < limit; y++) {
    int any = 0;
    for (int x = 0; x < width && !any; x++) any = dark(im, x, y);
    if (any && bottom == y - 1) bottom = y;
    else if (any) top = bottom = y;
  }
  XDestroyImage(im);
  if (top < 0) return 2;
  /* The caret: the one column dark over (almost) the whole row, found in
     the shown half of its blink. The echo cell starts just right of it and
     stays left of where the caret goes next, so the blink never counts. */
  int caret = -1, height = bottom - top + 1;
  double give_up = ms() + 3000;
  while (caret < 0 && ms() < give_up) {
    im = XGetImage(d, w, 0, top, width, height, AllPlanes, ZPixmap);
    for (int x = 0; x < width && caret < 0; x++) {
      int c = 0;
      for (int y = 0; y < height; y++) c += dark(im, x, y);
      if (c >= height - 2) caret = x;
    }
    XDestroyImage(im);
  }
  if (caret < 0) return 3;
  int cx = caret + 2, cw = 5;
  unsigned a = XKeysymToKeycode(d, XK_a), back = XKeysymToKeycode(d, XK_BackSpace);
  double* t = malloc(sizeof(double) * keys);
  int lost = 0;
  for (int k = 0; k < keys; k++) {
    unsigned code = k % 2 == 0 ? a : back;
    struct timespec pause = {0, 30 * 1000000};
    nanosleep(&pause, NULL);
    unsigned long long before = cell(d, w, cx, top, cw, height);
    double t0 = ms();
    XTestFakeKeyEvent(d, code, True, 0);
    XTestFakeKeyEvent(d, code, False, 0);
    XFlush(d);
    while (cell(d, w, cx, top, cw, height) == before && ms() - t0 < 5000) {
    }
    t[k] = ms() - t0;
    if (t[k] >= 5000) lost++;
  }
  qsort(t, keys, sizeof(double), cmp);
  printf("%.1f %.1f%s\n", t[keys / 2], t[keys * 9 / 10], lost ? " (keys without an echo in 5 s)" : "");
  return 0;
}
EOF
[ -x "$work/probe" ] || cc -O2 -o "$work/probe" "$work/probe.c" -lX11 -l:libXtst.so.6

page='gui-console-ctx/win/size: 900x600 repeat i 60 [print i]'
lines='t0: now/precise repeat i 5000 [print i] write to-kez-file rejoin [get-env "HOME" "/rate.txt"] to integer! 5000 / to float! difference now/precise t0'

# X11: a private Xvfb with openbox.
x11_run() {
  export HOME=$work/x11 XDG_CACHE_HOME=$work/x11/cache
  mkdir -p "$HOME"
  unset KEZ_HEADLESS KEZ_INPUT
  openbox --sm-disable --config-file /dev/null >/dev/null 2>&1 &
  local wm=$!
  until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do sleep 0.05; done
  (cd "$HOME" && "$kez") &
  local k=$!
  local id=""
  until [ -n "$id" ]; do id=$(xdotool search --onlyvisible --name '^Kez Console$' 2>/dev/null | head -1 || true); sleep 0.1; done
  sleep 1
  xdotool type --delay 5 "$page"; xdotool key Return
  sleep 3
  local latency
  latency=$("$work/probe" "$id" "$keys")
  xdotool type --delay 5 "$lines"; xdotool key Return
  until [ -s "$HOME/rate.txt" ]; do sleep 0.1; done
  sleep 0.2
  echo "X11 (Xvfb, openbox): echo latency median/p90 ms: $latency; lines a second: $(cat "$HOME/rate.txt")"
  xdotool type quit; xdotool key Return
  wait "$k" || true
  kill "$wm"
}
if [ "${KEZ_BENCH_X11:-}" = 1 ]; then
  x11_run
  exit 0
fi
KEZ_BENCH_X11=1 KEZ_BENCH_WORK=$work xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$kez" "$keys"

# Headless: the same console with injected input.
export DISPLAY= KEZ_HEADLESS=1 HOME=$work/headless XDG_CACHE_HOME=$work/headless/cache
mkdir -p "$HOME"
headless_run() {  # $1: number of keys typed after the page
  {
    printf 'wait 1000\ntext "%s"\nkey enter\nwait 100\n' "${page//\"/\\\"}"
    for _ in $(seq "$1"); do printf 'key a\n'; done
    printf 'key escape\ntext "quit"\nkey enter\n'
  } > "$HOME/input.txt"
  local s e
  s=$(date +%s%N)
  (cd "$HOME" && KEZ_INPUT=$HOME/input.txt "$kez" </dev/null)
  e=$(date +%s%N)
  echo $(((e - s) / 1000))
}
base=$(headless_run 0)
typed=$(headless_run 500)
per_key=$(awk -v a="$typed" -v b="$base" 'BEGIN { printf "%.3f", (a - b) / 500 / 1000 }')
printf 'wait 1000\ntext "%s"\nkey enter\nwait 100\ntext "quit"\nkey enter\n' "${lines//\"/\\\"}" > "$HOME/input.txt"
(cd "$HOME" && KEZ_INPUT=$HOME/input.txt "$kez" </dev/null)
echo "headless: ms a key, its paint included: $per_key; lines a second: $(cat "$HOME/rate.txt")"
