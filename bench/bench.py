"""Times quernwood against the standard library's equivalents on the running
interpreter's own standard library, parsed once.

Cases come from the cases_*.py modules beside this file. Within each round
every case runs once, so the cases alternate; the best round counts.

Usage: python bench.py [--rounds N] [--only GROUP[,GROUP...]]
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


def corpus():
    root = sysconfig.get_paths()["stdlib"]
    trees = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "dist-packages", "__pycache__"))
            for f in sorted(filenames):
                if f.endswith(".py"):
                    try:
                        with open(os.path.join(dirpath, f), "rb") as fh:
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
    args = parser.parse_args()

    trees = corpus()
    counts = [quernwood._walk_count(t) for t in trees]
    nodes = sum(counts)
    largest = trees[max(range(len(trees)), key=counts.__getitem__)]
    units = {"tree": nodes, "corpus": nodes, "largest": quernwood._walk_count(largest)}
    only = set(args.only.split(",")) if args.only else None
    cases = [c for c in load_cases() if only is None or c.group in only]

    best = {}
    for _ in range(args.rounds):
        for c in cases:
            ns = time_case(c, trees, largest)
            best[c.key] = min(best.get(c.key, ns), ns)

    print(f"Python {sys.version.split()[0]}, {len(trees)} modules of its standard library, "
          f"{nodes} nodes (largest module: {units['largest']}), best of {args.rounds} rounds")
    print()
    print("| group | function | corpus | ns per node | speed-up |")
    print("|---|---|---|---:|---:|")
    baseline = {}
    for c in cases:
        ns = best[c.key]
        base = baseline.setdefault(c.group, ns)
        scope = "largest module" if c.scope == "largest" else "all modules"
        print(f"| {c.group} | `{c.name}` | {scope} | {ns / units[c.scope]:.2f} | {base / ns:.1f}x |")


if __name__ == "__main__":
    main()
