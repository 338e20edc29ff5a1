"""What the example programs share: the Python files under the paths given on
the command line, and a progress counter on stderr for long runs."""

import os
import sys
import time


class Progress:
    """A file counter on stderr, shown only once a run has taken a second:
    redrawn in place on a terminal, a line every few seconds in a log."""

    def __init__(self, total, what):
        self.total, self.what = total, what
        self.tty = sys.stderr.isatty()
        self.start = self.last = time.monotonic()
        self.shown = False

    def step(self, done):
        now = time.monotonic()
        if now - self.start >= 1.0 and now - self.last >= (0.2 if self.tty else 5.0):
            self.last, self.shown = now, True
            text = f"{self.what} {done}/{self.total}"
            print(f"\r{text}" if self.tty else text, end="" if self.tty else "\n", file=sys.stderr, flush=True)

    def note(self, message):
        self.close()
        print(message, file=sys.stderr)

    def close(self):
        if self.shown and self.tty:
            print("\r\x1b[K", end="", file=sys.stderr, flush=True)
        self.shown = False


def python_files(paths):
    for path in paths:
        if os.path.isfile(path):
            yield path
            continue
        for dirpath, dirnames, filenames in os.walk(path):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith(".") and d != "__pycache__")
            yield from (os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
