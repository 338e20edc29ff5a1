"""A whole tool run, as users run it: examples/find_duplicates.py over the
interpreter's standard library (CPython's test suite left out), timing how
much of it goes to ast.parse, and the same run with --jobs N.

Usage: python tool_run.py [--jobs N] [--rounds R]
"""
import argparse
import ast
import contextlib
import io
import os
import pathlib
import sys
import sysconfig
import time

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

import find_duplicates  # noqa: E402


def run(args):
    err = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(err):
        find_duplicates.main(args)
    return time.perf_counter() - start, err.getvalue().strip().splitlines()[-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    opts = parser.parse_args()
    stdlib = sysconfig.get_paths()["stdlib"]
    args = [stdlib, "--exclude", "test", "--exclude", "site-packages", "--exclude", "dist-packages"]

    parse = ast.parse
    spent = [0.0]

    def timed_parse(*a, **k):
        start = time.perf_counter()
        try:
            return parse(*a, **k)
        finally:
            spent[0] += time.perf_counter() - start

    best = {}
    for _ in range(opts.rounds):
        spent[0] = 0.0
        ast.parse = timed_parse
        try:
            total, summary = run(args)
        finally:
            ast.parse = parse
        if total < best.get("one", (float("inf"),))[0]:
            best["one"] = (total, spent[0], summary)
        total, summary = run(args + ["--jobs", str(opts.jobs)])
        if total < best.get("jobs", (float("inf"),))[0]:
            best["jobs"] = (total, summary)
    one, parsing, summary = best["one"]
    print(f"Python {sys.version.split()[0]}, find_duplicates.py over {os.path.basename(stdlib)}: {summary}")
    print(f"one worker: {one:.2f} s, of which ast.parse {parsing:.2f} s ({100 * parsing / one:.0f}%)")
    jobs, summary = best["jobs"]
    print(f"--jobs {opts.jobs}: {jobs:.2f} s ({one / jobs:.2f}x; {summary.split('analysed on ')[-1]})")


if __name__ == "__main__":
    main()
