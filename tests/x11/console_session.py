"""A person's session with the console window on a real X server.

Run by ctest under Xvfb: argv[1] is the kez executable. `kez` alone opens
"Kez Console"; xdotool types, scrolls, drags, copies, pastes and goes through
the menus as a person would; xwd screenshots show the window, xclip is the
other program on the clipboard. The session ends by writing the terminal's
lines to a file and typing quit; the file and the exit status are checked.
"""
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from PIL import Image

KEZ = sys.argv[1]
STEP = 10.0  # seconds any one step may take before the session counts as stuck
failures = []
checks = [0]


def check(what, ok, detail=""):
    checks[0] += 1
    if not ok:
        failures.append(what + (": " + detail if detail else ""))
        print("FAIL", what, detail, flush=True)


def run(*args, timeout=STEP, stdin=None):
    return subprocess.run(args, capture_output=True, timeout=timeout, input=stdin).stdout


def xdo(*args):
    subprocess.run(("xdotool",) + args, check=True, timeout=STEP)


def until(what, test, limit=STEP):
    deadline = time.time() + limit
    while time.time() < deadline:
        got = test()
        if got:
            return got
        time.sleep(0.05)
    raise AssertionError("gave up waiting: " + what)


def window(name):
    ids = run("xdotool", "search", "--onlyvisible", "--name", "^" + name + "$").split()
    return ids[0].decode() if ids else None


def geometry(wid):
    out = run("xdotool", "getwindowgeometry", "--shell", wid).decode()
    g = dict(line.split("=") for line in out.split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def shot(wid):
    xwd = run("xwd", "-root", "-silent") if wid == "root" else run("xwd", "-id", wid, "-silent")
    return Image.open(io.BytesIO(run("convert", "xwd:-", "ppm:-", stdin=xwd))).convert("RGB")


SHOTS = os.environ.get("KEZ_SESSION_SHOTS")  # a folder to keep the screenshots in, for a person to look at
shots_kept = [0]


def keep(img, name):
    if SHOTS:
        shots_kept[0] += 1
        img.save(os.path.join(SHOTS, "%02d-%s.png" % (shots_kept[0], name)))


still_box = [None]  # where pictures must agree: all but the caret's row once it is known


def settled(wid):
    """The window's picture once two screenshots in a row agree."""
    last = [shot(wid)]

    def part(img):
        return (img.crop(still_box[0]) if still_box[0] else img).tobytes()

    def same():
        time.sleep(0.15)
        now = shot(wid)
        agree = part(now) == part(last[0])
        last[0] = now
        return now if agree else None

    return until("a still picture", same)


def dark(pixel):
    return sum(pixel) < 3 * 128


def bands(img, box, axis):
    """Runs of rows (axis 0) or columns (axis 1) inside box holding dark pixels."""
    left, top, right, bottom = box
    px = img.load()
    outer = range(top, bottom) if axis == 0 else range(left, right)
    inner = range(left, right) if axis == 0 else range(top, bottom)
    runs, start = [], None
    for i in outer:
        hit = any(dark(px[j, i] if axis == 0 else px[i, j]) for j in inner)
        if hit and start is None:
            start = i
        elif not hit and start is not None:
            runs.append((start, i))
            start = None
    if start is not None:
        runs.append((start, outer[-1] + 1))
    return runs


def clipboard_owned_by_xclip():
    # Our own list of targets holds TIMESTAMP; xclip's does not.
    out = run("xclip", "-o", "-selection", "clipboard", "-t", "TARGETS")
    return out and b"TIMESTAMP" not in out


def molded_strings(text):
    """The strings of a molded block of strings: "..." with ^ escapes, or {...}."""
    out = []
    for quoted, braced in re.findall(r'"((?:[^"^]|\^.)*)"|\{((?:[^{}^]|\^.)*)\}', text):
        s = quoted or braced
        s = re.sub(r"\^/", "\n", s)
        s = re.sub(r"\^(.)", r"\1", s)
        out.append(s)
    return out


def start_console(kez_path, prefix):
    """`kez` alone in a fresh folder that is also its home and cache: the
    process and the folder."""
    work = tempfile.mkdtemp(prefix=prefix)
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(work, "cache"), HOME=work)
    env.pop("KEZ_HEADLESS", None)
    return subprocess.Popen([kez_path], cwd=work, env=env), work


def main():
    kez, work = start_console(KEZ, "kez-session-")
    try:
        session(kez, work)
    finally:
        if kez.poll() is None:
            kez.kill()
            kez.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("console session:", checks[0], "checks,", len(failures), "failed")
    if failures:
        sys.exit(1)


def session(kez, work):
    def typed(text):
        xdo("type", "--delay", "20", text)
        xdo("key", "Return")

    def written(name):
        path = os.path.join(work, name)

        def content():
            if not os.path.exists(path):
                return None
            with open(path, encoding="utf-8") as f:
                text = f.read()
            # Whole once it has something and stays the same for a moment.
            time.sleep(0.1)
            with open(path, encoding="utf-8") as f:
                return text if text and f.read() == text else None

        return until(name, content, limit=3 * STEP)

    wid = until('the window "Kez Console"', lambda: window("Kez Console"))
    x, y, w, h = geometry(wid)
    # The terminal's part of the window: below the menu bar (the X window has
    # no caption of its own), left of the scroller; `upper` leaves out the
    # prompt's row, where the caret blinks.
    term = (0, 22, w - 30, h - 10)
    upper = (term[0], term[1], term[2], term[3] - 40)
    still_box[0] = upper
    # Ready once the banner, its help line and the prompt show. (Not a still
    # picture: the prompt is near the top now, inside `upper`, and on a busy
    # machine every two screenshots lie across a blink of its caret.)
    until("the first prompt", lambda: len(bands(shot(wid), term, 0)) >= 3, limit=3 * STEP)

    # Typing, history, and enough output to scroll back over; a line that
    # writes a file tells when all of it has run.
    typed("1 + 2")
    xdo("key", "Up", "Return")
    typed("repeat i 100 [print i]")
    typed('write %ran.txt "yes"')
    written("ran.txt")
    before = settled(wid)
    keep(before, "typed")

    # The wheel scrolls the view back: the picture changes.
    xdo("mousemove", str(x + w // 2), str(y + h // 2), "click", "--repeat", "3", "4")
    try:
        after = until("the picture to move", lambda: (lambda p: p if p.crop(upper).tobytes() != before.crop(upper).tobytes() else None)(shot(wid)))
        keep(after, "wheel")
    except AssertionError as e:
        check("the wheel scrolls", False, str(e))

    # All the way up, the rows of text are: banner, help line, an empty line,
    # then the first ">> 1 + 2" and its "== 3". A drag over that result, then Ctrl+C.
    xdo("click", "--repeat", "60", "--delay", "10", "4")

    def at_top():
        img = shot(wid)
        rows = bands(img, term, 0)
        if len(rows) < 6 or rows[0][0] - term[1] > 12:
            return None
        # Whole rows a line apart, but for the empty line after the second.
        pitch = rows[4][0] - rows[3][0]
        whole = rows[0][1] - rows[0][0] >= rows[3][1] - rows[3][0] - 1
        spaced = abs(rows[1][0] - rows[0][0] - pitch) <= 1 and abs(rows[2][0] - rows[1][0] - 2 * pitch) <= 1
        return (img, rows) if whole and spaced else None

    # Each notch repaints the page: on a busy machine the sixty take well
    # over one step's time (more than 10 s seen), so the wait is longer.
    top, rows = until("the top of the buffer", at_top, limit=3 * STEP)
    keep(top, "top")
    result = rows[3]
    cols = bands(top, (term[0], result[0], term[2], result[1]), 1)
    mid = (result[0] + result[1]) // 2
    # The text starts at the window's left edge: the press stays inside it.
    xdo("mousemove", str(x + max(cols[0][0] - 2, 0)), str(y + mid), "mousedown", "1")
    xdo("mousemove", str(x + cols[-1][1] + 2), str(y + mid))
    xdo("mousemove", str(x + cols[-1][1] + 6), str(y + mid), "mouseup", "1")
    xdo("key", "ctrl+c")
    copied = until("the copied result", lambda: run("xclip", "-o", "-selection", "clipboard"))
    check("Ctrl+C copies the dragged result", copied.decode().strip() == "== 3", repr(copied))
    primary = run("xclip", "-o", "-selection", "primary")
    check("the drag owns PRIMARY", primary.decode().strip() == "== 3", repr(primary))

    # Two lines pasted with Shift+Insert run one after the other; the second
    # writes a file, which tells that both ran.
    run("sh", "-c", "printf 'pasted: 40 + 2\\nwrite %%pasted.txt pasted * 10\\n' | xclip -i -selection clipboard >/dev/null 2>&1")
    until("xclip owning the clipboard", clipboard_owned_by_xclip)
    xdo("key", "shift+Insert")
    check("the pasted lines ran", written("pasted.txt") == "420")
    keep(settled(wid), "pasted")

    # A middle click pastes PRIMARY; Ctrl+V still pastes CLIPBOARD. Each
    # line, run, writes the file it names.
    run("sh", "-c", "printf 'write %%middle.txt \"primary\"' | xclip -i -selection primary >/dev/null 2>&1")
    run("sh", "-c", "printf 'write %%ctrl-v.txt \"clipboard\"' | xclip -i -selection clipboard >/dev/null 2>&1")
    until("xclip owning PRIMARY", lambda: run("xclip", "-o", "-selection", "primary").startswith(b"write %middle"))
    until("xclip owning CLIPBOARD", lambda: run("xclip", "-o", "-selection", "clipboard").startswith(b"write %ctrl-v"))
    xdo("key", "ctrl+v", "Return")
    check("Ctrl+V pastes CLIPBOARD", written("ctrl-v.txt") == "clipboard")
    xdo("mousemove", str(x + w // 2), str(y + h // 2), "click", "2")
    xdo("key", "Return")
    check("a middle click pastes PRIMARY", written("middle.txt") == "primary")

    # Options > Settings... by mouse, then the dialog closed.
    bar = settled(wid)
    bar_rows = bands(bar, (2, 0, w - 2, 20), 0)
    check("a menu bar", bool(bar_rows), str(bar_rows))
    if bar_rows:
        strip = bar_rows[0]
        words = []
        for c0, c1 in bands(bar, (2, strip[0], w - 2, strip[1]), 1):
            if words and c0 - words[-1][1] < 6:
                words[-1] = (words[-1][0], c1)
            else:
                words.append((c0, c1))
        check("File, Options and Help in the bar", len(words) == 3, str(words))
        options = words[1]
        bar_bottom = strip[1] + 4
        # The popup hangs below the bar; "Settings..." is its second item. It
        # is clicked once the popup shows there, however long that takes.
        below = (x + options[0], y + bar_bottom + 1, x + options[0] + 60, y + bar_bottom + 1 + 2 + 44)
        closed = shot("root").crop(below).tobytes()
        xdo("mousemove", str(x + (options[0] + options[1]) // 2), str(y + (strip[0] + strip[1]) // 2), "click", "1")
        until("the Options menu", lambda: shot("root").crop(below).tobytes() != closed)
        xdo("mousemove", str(x + options[0] + 20), str(y + bar_bottom + 1 + 2 + 22 + 11), "click", "1")
        until('the dialog "Settings"', lambda: window("Settings"), limit=3 * STEP)
        time.sleep(0.3)
        keep(shot("root"), "settings")
        xdo("key", "alt+F4")
        until("the dialog closed", lambda: window("Settings") is None, limit=3 * STEP)

    typed("write %lines.txt mold gui-console-ctx/terminal/lines")
    lines = molded_strings(written("lines.txt"))
    keep(settled(wid), "write")
    typed("quit")
    status = kez.wait(timeout=3 * STEP)
    check("exit status", status == 0, str(status))

    check('">> 1 + 2" twice', lines.count(">> 1 + 2") == 2, str(lines[:12]))
    check('"== 3" twice', lines.count("== 3") == 2, str(lines[:12]))
    for pasted in (">> pasted: 40 + 2", ">> write %pasted.txt pasted * 10"):
        check("pasted line " + pasted, pasted in lines, str(lines[-12:]))


if __name__ == "__main__":
    main()
