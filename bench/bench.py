"""Times quernwood against the standard library's equivalents on the running
interpreter's own standard library, parsed once.

Cases come from the cases_*.py modules beside this file. Within each round
every case runs once, so the cases alternate; the best round counts.

Usage: python bench.py [--rounds N] [--only GROUP[,GROUP...]] [--hot MODULE [--repeat K]]

--hot times every per-tree case on one module walked K times in a row, so
that the tree stays in cache, as when a tool works on the file at hand.
"""
import argparse
import ast
import gc
import importlib
import os
import pathlib
import sys
import sysconfig
import time
import warnings

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import quernwood  # noqa: E402
from cases import Case  # noqa: E402,F401  (re-exported for the case modules)


def stdlib_files():
    # The standard library's modules, without CPython's own test suite
    # (installed in some distributions), so that every interpreter walks
    # the same kind of code.
    root = sysconfig.get_paths()["stdlib"]
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "dist-packages", "__pycache__", "test"))
        out.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    return out


def corpus():
    trees = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in stdlib_files():
            try:
                with open(path, "rb") as fh:
                    trees.append(ast.parse(fh.read()))
            except (SyntaxError, ValueError):
                pass
    return trees


def load_cases():
    cases = []
    for path in sorted(HERE.glob("cases_*.py")):
        cases.extend(importlib.import_module(path.stem).CASES)
    return cases


def inputs_for(case, trees, largest):
    base = {"tree": trees, "largest": [largest], "corpus": [trees]}[case.scope]
    return case.setup(base) if case.setup else base


def time_case(case, trees, largest):
    args = inputs_for(case, trees, largest)
    run = case.run
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for x in args:
            run(x)
        return time.perf_counter_ns() - start
    finally:
        gc.enable()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default=None, help="comma-separated groups to run")
    parser.add_argument("--hot", default=None, help="one module of the standard library, e.g. ast.py")
    parser.add_argument("--repeat", type=int, default=50, help="walks of the --hot module per round")
    args = parser.parse_args()

    if args.hot:
        path = os.path.join(sysconfig.get_paths()["stdlib"], args.hot)
        with open(path, "rb") as fh:
            trees = [ast.parse(fh.read())] * args.repeat
    else:
        trees = corpus()
    counts = [quernwood._walk_count(t) for t in trees]
    nodes = sum(counts)
    largest = trees[max(range(len(trees)), key=counts.__getitem__)]
    units = {"tree": nodes, "corpus": nodes, "largest": quernwood._walk_count(largest)}
    only = set(args.only.split(",")) if args.only else None
    cases = [c for c in load_cases() if only is None or c.group in only]
    if args.hot:
        # Cases with a setup build fresh trees from the whole corpus.
        cases = [c for c in cases if c.scope == "tree" and c.setup is None]

    best = {}
    for _ in range(args.rounds):
        for c in cases:
            ns = time_case(c, trees, largest)
            best[c.key] = min(best.get(c.key, ns), ns)

    if args.hot:
        print(f"Python {sys.version.split()[0]}, {args.hot} of its standard library "
              f"({units['largest']} nodes) walked {args.repeat} times per round, best of {args.rounds} rounds")
    else:
        print(f"Python {sys.version.split()[0]}, {len(trees)} modules of its standard library, "
              f"{nodes} nodes (largest module: {units['largest']}), best of {args.rounds} rounds")
    print()
    print("| group | function | corpus | ns per node | speed-up |")
    print("|---|---|---|---:|---:|")
    baseline = {}
    for c in cases:
        ns = best[c.key]
        base = baseline.setdefault(c.group, ns)
        scope = args.hot if args.hot else ("largest module" if c.scope == "largest" else "all modules")
        print(f"| {c.group} | `{c.name}` | {scope} | {ns / units[c.scope]:.2f} | {base / ns:.1f}x |")


if __name__ == "__main__":
    main()
