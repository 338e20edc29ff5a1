"""What the example programs share: the Python files under the paths given on
the command line, and a progress counter on stderr for long runs."""

import os
import stat
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
    """The paths given that are no directories (the reader says what is
    wrong with each), and the .py files under the directories."""
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        for dirpath, dirnames, filenames in os.walk(path):
            dirnames[:] = sorted(d for d in dirnames if not d.startswith(".") and d != "__pycache__")
            yield from (os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))


def read_regular(path):
    """The bytes of the file at `path`, when it is a regular file (through
    any symbolic links); else OSError. A FIFO would wait for a writer and a
    device may never end: opened without waiting, they are left unread."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    with os.fdopen(fd, "rb") as f:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            kind = {stat.S_IFDIR: "directory", stat.S_IFIFO: "FIFO", stat.S_IFCHR: "character device",
                    stat.S_IFBLK: "block device", stat.S_IFSOCK: "socket"}.get(stat.S_IFMT(mode), "unknown kind")
            raise OSError(f"not a regular file ({kind})")
        return f.read()


def parse_error(path, e):
    """The line that reports a file skipped for `e`, any exception reading
    or parsing it raised: a syntax error, a source that does not decode or
    holds a NUL, one too deep or too long for the parser (RecursionError,
    MemoryError), or one that cannot be read."""
    text = str(e) if isinstance(e, (SyntaxError, ValueError, OSError)) else f"{type(e).__name__}: {e}".rstrip(": ")
    return f"{path}: skipped: {text}"
