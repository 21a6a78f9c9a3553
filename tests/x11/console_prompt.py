"""The console's prompt on a real X server: its caret, hidden while the edit
line is below the page and blinking again once it scrolls back; a character
beyond U+FFFF typed there; its context menu, a window of its own where the
pointer is, outside the window manager's hands.

Run by ctest under Xvfb: argv[1] is the kez executable. `kez` alone opens
"Kez Console"; xdotool types, clicks and turns the wheel, xwd screenshots
show what is on the screen, xwininfo tells about the windows.
"""
import os
import shutil
import subprocess
import sys
import time

from console_session import STEP, bands, dark, geometry, run, shot, start_console, until, window, xdo

KEZ = sys.argv[1]


def caret_box(wid, area):
    """Where the caret blinks: the pixels of `area` that change between
    screenshots, grown by a pixel, once only a caret's width of them does
    (the last output may still be arriving at first)."""
    last = [shot(wid).crop(area)]

    def changed():
        now = shot(wid).crop(area)
        w, h = now.size
        a, b = last[0].load(), now.load()
        last[0] = now
        hits = [(x, y) for y in range(h) for x in range(w) if a[x, y] != b[x, y]]
        if not hits:
            return None
        xs, ys = [p[0] for p in hits], [p[1] for p in hits]
        if max(xs) - min(xs) > 3:
            return None
        return (area[0] + min(xs) - 1, area[1] + min(ys) - 1, area[0] + max(xs) + 2, area[1] + max(ys) + 2)

    return until("the caret to blink", changed)


def caret_shown(img, box):
    part = img.crop(box)
    return any(dark(p) for p in part.getdata())


def children():
    """The root window's children, by id: their line of `xwininfo -children`."""
    out = run("xwininfo", "-root", "-children").decode()
    return {line.split()[0]: line for line in out.splitlines() if line.strip().startswith("0x")}


def xwininfo(wid):
    out = run("xwininfo", "-id", wid).decode()
    info = {}
    for line in out.splitlines():
        if ":" in line:
            k, v = line.split(":", 1)
            info[k.strip()] = v.strip()
    return info


def main():
    kez, work = start_console(KEZ, "kez-prompt-")
    failures = []
    try:
        wid = until('the window "Kez Console"', lambda: window("Kez Console"))
        x, y, w, h = geometry(wid)
        term = (0, 22, w - 30, h - 10)
        until("the first prompt", lambda: len(bands(shot(wid), term, 0)) >= 3, limit=3 * STEP)
        # A full page and more; the file tells when it has all run.
        xdo("type", "--delay", "20", 'repeat i 60 [print i] write %ran.txt "yes"')
        xdo("key", "Return")
        until("the lines printed", lambda: os.path.exists(os.path.join(work, "ran.txt")), limit=3 * STEP)
        # The edit line is the last row of the page: the caret blinks there.
        box = caret_box(wid, (term[0], term[3] - 60, term[2], term[3]))

        # One notch up: the edit line is below the page. For 1.5 s, in both
        # phases of the blink, nothing shows where the caret stood.
        before = shot(wid)
        xdo("mousemove", str(x + w // 2), str(y + h // 2), "click", "4")
        upper = (term[0], term[1], term[2], term[3] - 60)
        until("the page to scroll", lambda: shot(wid).crop(upper).tobytes() != before.crop(upper).tobytes())
        start, shots = time.time(), 0
        while time.time() - start < 1.5 or shots < 10:
            if caret_shown(shot(wid), box):
                failures.append("the caret shows below the page")
                break
            shots += 1

        # One notch back: the caret blinks there again, shown and then not.
        xdo("click", "5")
        until("the caret back", lambda: caret_shown(shot(wid), box), limit=3 * STEP)
        until("the caret blinking", lambda: not caret_shown(shot(wid), box), limit=3 * STEP)

        # U+1F600 on a key of its own, as a layout or xmodmap gives it,
        # typed inside a string at the prompt: one character.
        subprocess.run(("xmodmap", "-e", "keycode 8 = U1F600"), check=True, timeout=STEP)
        xdo("type", "--delay", "20", 'write %emoji.txt to integer! first "')
        xdo("key", "U1F600")
        xdo("type", '"')
        xdo("key", "Return")
        emoji = os.path.join(work, "emoji.txt")
        until("emoji.txt", lambda: os.path.exists(emoji) and os.path.getsize(emoji) > 0, limit=3 * STEP)
        with open(emoji) as f:
            got = f.read()
        if got != "128512":
            failures.append("to integer! first of the typed emoji: " + got)

        # A right click opens the context menu: a new child of the root
        # window, not managed (override-redirect), its corner at the pointer.
        known = children()
        px, py = x + 150, y + 120
        xdo("mousemove", str(px), str(py), "click", "3")
        menu = until("the context menu", lambda: [c for c in children() if c not in known])[0]
        info = xwininfo(menu)
        if info.get("Override Redirect State") != "yes":
            failures.append("the context menu is managed: " + str(info.get("Override Redirect State")))
        corner = (int(info.get("Absolute upper-left X", -1)), int(info.get("Absolute upper-left Y", -1)))
        if corner != (px, py):
            failures.append("the context menu at %s, the pointer at %s" % (corner, (px, py)))
        xdo("key", "Escape")
        until("the menu closed", lambda: menu not in children())

        xdo("type", "quit")
        xdo("key", "Return")
        status = kez.wait(timeout=3 * STEP)
        if status != 0:
            failures.append("exit status %s" % status)
    finally:
        if kez.poll() is None:
            kez.kill()
            kez.wait()
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL", f)
    print("console prompt:", "ok" if not failures else "failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
