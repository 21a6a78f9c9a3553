#!/usr/bin/env python3
"""The line console on a terminal, as a person types at it.

kez runs on a pseudo-terminal without a display, with TERM=xterm and no
locale in the environment; keys go in as a terminal sends them, and what
kez shows comes back through the terminal. Usage: line_console.py KEZ WORKDIR
"""
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import fcntl

KEZ, WORK = sys.argv[1], sys.argv[2]
WAIT = 120  # seconds a step may take at most (the sanitizer build is slow)

UP, LEFT = "\x1b[A", "\x1b[D"
BACKSPACE, CTRL_C, CTRL_D, CTRL_R = "\x7f", "\x03", "\x04", "\x12"

failures = []


def check(what, ok):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


class Session:
    """kez started on a new pseudo-terminal, as the session leader with the
    terminal as its controlling one, so that Ctrl+C reaches it as a signal."""

    def __init__(self, env, args=()):
        self.master, self.slave = pty.openpty()
        self.before = self.stty()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(self.master)
            os.setsid()
            fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)
            for fd in (0, 1, 2):
                os.dup2(self.slave, fd)
            os.execve(KEZ, [KEZ, *args], env)
        self.out = b""
        self.seen = 0  # what expect has consumed
        self.status = None

    def stty(self):
        return subprocess.run(["stty", "-g"], stdin=self.slave, capture_output=True, text=True).stdout.strip()

    def send(self, text):
        os.write(self.master, text.encode())

    def read_some(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:
            return False
        self.out += data
        return bool(data)

    def expect(self, pattern, what):
        """Waits until the output after what was seen so far matches."""
        regex = re.compile(pattern.encode() if isinstance(pattern, str) else pattern)
        deadline_steps = WAIT * 10
        while deadline_steps > 0:
            m = regex.search(self.out, self.seen)
            if m:
                self.seen = m.end()
                return True
            if not self.read_some(0.1):
                deadline_steps -= 1
                if self.exited():
                    m = regex.search(self.out, self.seen)
                    if m:
                        self.seen = m.end()
                        return True
                    break
        check(f"{what}: {pattern!r} not in {self.out[self.seen:]!r}", False)
        return False

    def prompt(self, pattern, what):
        """Waits for a prompt of the line editor, and then until the editor
        reads keys: the terminal leaves its line mode only after the prompt
        shows, and a key typed before that is the terminal's own."""
        if not self.expect(pattern, what):
            return False
        for _ in range(WAIT * 10):
            if not termios.tcgetattr(self.slave)[3] & termios.ICANON:
                return True
            self.read_some(0.1)
        check(f"{what}: the editor does not read keys", False)
        return False

    def exited(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = status
        return self.status is not None

    def wait_exit(self):
        for _ in range(WAIT * 10):
            self.read_some(0.1)
            if self.exited():
                while self.read_some(0.05):
                    pass
                return self.status
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        check("kez did not end", False)
        return None

    def close(self):
        after = self.stty()
        os.close(self.master)
        os.close(self.slave)
        return after


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    cache = os.path.join(WORK, "cache")
    cfg_dir = os.path.join(cache, "kez", "Kez-Console")
    cfg = os.path.join(cfg_dir, "console-cfg.kez")
    os.makedirs(cfg_dir)
    with open(cfg, "w") as f:
        f.write('Kez [Purpose: "Kez Console Configuration File"]\n\nfont-size: 14\nhistory: ["print 42"]\n')

    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES")}
    env.update(TERM="xterm", XDG_CACHE_HOME=cache)

    # One session: the history of the file, editing keys, UTF-8 in the C
    # locale, search, a hidden answer, then Ctrl+D.
    s = Session(env)
    s.prompt(r">> ", "the prompt")
    # Each step: the keys typed, then what kez shows; "prompt" also waits
    # until the editor reads keys again, "shown" only for the text.
    steps = [
        (UP + "\r", "prompt", r"\n42\r\n>> ", "Up recalls the file's history"),
        ("1 + 2\r", "prompt", r"== 3\r\n>> ", "a line typed"),
        (UP + "\r", "prompt", r"== 3\r\n>> ", "Up recalls the line just typed"),
        ("20 + 2" + LEFT * 4 + BACKSPACE + "\r", "prompt", r"== 4\r\n>> ", "Left and Backspace edit inside the line"),
        ('print "\u00e9"\r', "prompt", "\n\u00e9\r\n>> ", "UTF-8 typed and printed"),
        (CTRL_R + "42", "shown", r"print 42", "the search finds the line"),
        ("\r", "prompt", r"\n42\r\n>> ", "the line found runs"),
        # ask/history browses the block given, and the answer goes into it,
        # not into the console's history. The question starts a line of its
        # own; the command typed holds it too.
        ('h: ["from h"] ask/history "q? " h\r', "prompt", r"\nq\? ", "the question"),
        (UP + "!\r", "prompt", r'== "from h!"\r\n>> ', "the line recalled from the block given"),
        ("h\r", "prompt", r'== \["from h!" "from h"\]\r\n>> ', "the block given holds the answer"),
        ('length? ask/hide "pw: "\r', "shown", r"\npw: ", "the hidden question"),
        ("secret\r", "prompt", r"== 6\r\n>> ", "the hidden answer's length"),
    ]
    for keys, wait, pattern, what in steps:
        s.send(keys)
        (s.prompt if wait == "prompt" else s.expect)(pattern, what)
    check("the hidden answer is not shown", b"secret" not in s.out)
    check("no text shows as an escape sequence", b"^[" not in s.out)
    s.send(CTRL_D)
    status = s.wait_exit()
    check(f"Ctrl+D ends with 0 (status {status})", status is not None and os.WIFEXITED(status)
          and os.WEXITSTATUS(status) == 0)
    check("the terminal is as before after Ctrl+D", s.close() == s.before)

    with open(cfg, encoding="utf-8") as f:
        saved = f.read()
    check(f"the file keeps its other entries: {saved!r}", "font-size: 14" in saved)
    history = re.search(r"history: \[(.*?)\]\s*$", saved, re.S)
    expected = ['{length? ask/hide "pw: "}', '"h"', '{h: ["from h"] ask/history "q? " h}', '"print 42"', '{print "\u00e9"}', '"2 + 2"', '"1 + 2"', '"print 42"']
    check(f"the history, newest first, then the file's: {saved!r}",
          history is not None and history.group(1).split() == " ".join(expected).split())
    check("the hidden answer is not in the file", "secret" not in saved)

    # Ctrl+C halts what runs and drops what is typed; the values defined
    # stay, and only quit leaves, with the terminal as it was found.
    quick = dict(env)
    quick.pop("KEZ_GC_STRESS", None)
    s = Session(quick)
    s.prompt(r">> ", "Ctrl+C: the prompt")
    # Each step: the keys typed, then what kez shows, as in the session
    # above. Ctrl+C comes once a loop shows that it runs.
    steps = [
        ("x: 42\r", "prompt", r"== 42\r\n>> ", "a value defined"),
        ('print "go" forever []\r', "shown", r"\ngo\r\n", "a loop that never ends"),
        (CTRL_C, "prompt", r"\(halted\)\r\n>> ", "Ctrl+C halts the loop"),
        ("x\r", "prompt", r"== 42\r\n>> ", "the value is still there"),
        ('f: does [f2] f2: does [print "go" until [false]] f\r', "shown", r"\ngo\r\n", "a loop deep in calls"),
        (CTRL_C, "prompt", r"\(halted\)\r\n>> ", "Ctrl+C halts it too"),
        ("1 + ", "shown", r"1 \+ ", "a line half typed"),
        (CTRL_C, "prompt", r"\r?\n>> ", "Ctrl+C gives a new prompt"),
        ("2\r", "prompt", r"\r\n== 2\r\n>> ", "the half-typed line is dropped"),
        ("b: [\r", "prompt", r"\[    ", "an input of several lines"),
        (CTRL_C, "prompt", r"\r?\n>> ", "Ctrl+C leaves it"),
        ("value? 'b\r", "prompt", r"== false\r\n>> ", "the unfinished input never ran"),
        ('ask/hide "pw: "\r', "shown", r"\npw: ", "a hidden question"),
        ("sec" + CTRL_C, "prompt", r"\(halted\)\r\n>> ", "Ctrl+C in the hidden answer halts"),
        ("x + 1\r", "prompt", r"== 43\r\n>> ", "the console goes on"),
    ]
    for keys, wait, pattern, what in steps:
        s.send(keys)
        (s.prompt if wait == "prompt" else s.expect)(pattern, what)
    check("the hidden answer is not shown", b"sec" not in s.out)
    s.send("quit\r")
    status = s.wait_exit()
    check(f"quit after Ctrl+C ends with 0 (status {status})", status is not None and os.WIFEXITED(status)
          and os.WEXITSTATUS(status) == 0)
    check("the terminal is as before after Ctrl+C and quit", s.close() == s.before)

    # A script run without a console ends by the signal, as programs do.
    script = os.path.join(WORK, "spin.kez")
    with open(script, "w") as f:
        f.write('Kez []\nprint "spinning"\nforever []\n')
    s = Session(quick, [script])
    s.expect(r"spinning", "the script runs")
    s.send(CTRL_C)
    status = s.wait_exit()
    check(f"Ctrl+C ends a script by the signal (status {status})", status is not None
          and os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT)
    s.close()

    shutil.rmtree(WORK, ignore_errors=True)
    if failures:
        print(len(failures), "failed")
        sys.exit(1)
    print("line console on a terminal: all passed")


main()
