"""Times quernwood against the standard library's equivalents on the running
interpreter's own standard library, the way users run: the garbage collector
enabled (--no-gc to compare) and each case alternating with its baseline.

Two modes, both by default:

--per-file   for each module, every case runs on a tree of that module
             parsed just before the call, alternating with its baseline;
             three rounds, the best per module and case, summed over the
             corpus. This is how linters and code search tools work.
--corpus     every module parsed first, then each case walks all of them
             (cold memory); within each round every case runs once, the best
             round counts.

Cases come from the cases_*.py modules beside this file.

Usage: python bench.py [--per-file | --corpus] [--no-gc] [--rounds N]
                       [--only GROUP[,GROUP...]] [--hot MODULE [--repeat K]]
                       [--json FILE]

--json also writes the results as data (bench/plots.py draws them): the
interpreter, the load average before and after, and per mode the best
nanoseconds of every case; the per-file mode also per module with its size.

--hot times every per-tree case on one module walked K times in a row, so
that the tree stays in cache.
"""
import argparse
import ast
import gc
import json
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
from cases import Case, sources  # noqa: E402,F401  (Case re-exported for the case modules)

PER_FILE_ROUNDS = 3


def parse(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(text)


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
    return [parse(text) for text in sources()]


def load_cases():
    cases = []
    for path in sorted(HERE.glob("cases_*.py")):
        cases.extend(importlib.import_module(path.stem).CASES)
    return cases


def inputs_for(case, trees, largest):
    base = {"tree": trees, "largest": [largest], "corpus": [trees]}[case.scope]
    return case.setup(base) if case.setup else base


def time_case(case, trees, largest, use_gc):
    args = inputs_for(case, trees, largest)
    run = case.run
    gc.collect()
    if not use_gc:
        gc.disable()
    try:
        start = time.perf_counter_ns()
        for x in args:
            run(x)
        return time.perf_counter_ns() - start
    finally:
        gc.enable()


def per_file(cases, use_gc, modules=None):
    """Summed over the modules: per case, the best of the rounds on each.
    Each module's own size and bests are appended to `modules` if given."""
    total = {c.key: 0 for c in cases}
    nodes = 0
    for text in sources():
        best = {}
        size = quernwood._walk_count(parse(text))
        nodes += size
        for r in range(PER_FILE_ROUNDS):
            # Each round starts at another case, so no case always runs first.
            order = cases[r % len(cases):] + cases[:r % len(cases)]
            for c in order:
                # Every timed call gets a tree of its own, parsed just before:
                # one case must not find the tree warmed up by another.
                x = c.per_file(text) if c.per_file else parse(text)
                # A young collection first, untimed: a collection inside the
                # timed call is then due to the call's own allocations, not
                # to those of the parse or of the case before it.
                gc.collect(0)
                if not use_gc:
                    gc.disable()
                try:
                    start = time.perf_counter_ns()
                    c.run(x)
                    ns = time.perf_counter_ns() - start
                finally:
                    gc.enable()
                best[c.key] = min(best.get(c.key, ns), ns)
        for k, ns in best.items():
            total[k] += ns
        if modules is not None:
            modules.append({"nodes": size, "ns": [best[c.key] for c in cases]})
    return total, nodes


def table_data(cases, best, units):
    """The rows of print_table as data: ns per node and speed-up."""
    rows, baseline = [], {}
    for c in cases:
        ns = best[c.key]
        first = c.group not in baseline
        base = baseline.setdefault(c.group, ns)
        rows.append({"group": c.group, "function": c.name, "scope": c.scope,
                     "ns": ns, "ns_per_node": ns / units[c.scope], "speedup": base / ns,
                     "baseline": first})
    return rows


def print_table(rows, scope_of):
    print("| group | function | corpus | ns per node | speed-up |")
    print("|---|---|---|---:|---:|")
    for r in rows:
        print(f"| {r['group']} | `{r['function']}` | {scope_of(r['scope'])} | {r['ns_per_node']:.2f} | {r['speedup']:.1f}x |")


def main():
    parser = argparse.ArgumentParser()
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--per-file", action="store_true", help="only the per-file mode")
    mode.add_argument("--corpus", action="store_true", help="only the whole-corpus mode")
    parser.add_argument("--no-gc", action="store_true", help="disable the collector while timing")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", default=None, help="comma-separated groups to run")
    parser.add_argument("--hot", default=None, help="one module of the standard library, e.g. ast.py")
    parser.add_argument("--repeat", type=int, default=50, help="walks of the --hot module per round")
    parser.add_argument("--json", default=None, help="also write the results as data to this file")
    args = parser.parse_args()
    data = {"python": sys.version.split()[0], "implementation": sys.implementation.name,
            "platform": sys.platform, "gc": not args.no_gc, "loadavg_before": os.getloadavg(),
            "started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
    use_gc = not args.no_gc
    gc_note = "collector on" if use_gc else "collector off while timing"
    only = set(args.only.split(",")) if args.only else None
    all_cases = [c for c in load_cases() if only is None or c.group in only]
    version = sys.version.split()[0]

    if args.per_file or (not args.corpus and not args.hot):
        cases = [c for c in all_cases if c.scope == "tree"]
        modules = []
        total, nodes = per_file(cases, use_gc, modules)
        rows = table_data(cases, total, {"tree": nodes})
        data["per_file"] = {"modules": len(sources()), "nodes": nodes, "rounds": PER_FILE_ROUNDS, "rows": rows,
                            "functions": [c.name for c in cases], "groups": [c.group for c in cases],
                            "per_module": modules}
        print(f"Per file: Python {version}, {len(sources())} modules of its standard library, {nodes} nodes; "
              f"each parsed, then every case on the fresh tree, best of {PER_FILE_ROUNDS} per module, "
              f"summed; {gc_note}")
        print()
        print_table(rows, lambda scope: "each module")
        print()
    if args.per_file:
        return write_json(args.json, data)

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
    cases = [c for c in all_cases if not c.per_file_only]
    if args.hot:
        # Cases with a setup build fresh trees from the whole corpus.
        cases = [c for c in cases if c.scope == "tree" and c.setup is None]

    best = {}
    for _ in range(args.rounds):
        for c in cases:
            ns = time_case(c, trees, largest, use_gc)
            best[c.key] = min(best.get(c.key, ns), ns)

    if args.hot:
        print(f"Python {version}, {args.hot} of its standard library "
              f"({units['largest']} nodes) walked {args.repeat} times per round, best of {args.rounds} rounds; "
              f"{gc_note}")
    else:
        print(f"Whole corpus: Python {version}, {len(trees)} modules of its standard library, "
              f"{nodes} nodes (largest module: {units['largest']}), all parsed first, best of {args.rounds} "
              f"rounds; {gc_note}")
    print()
    rows = table_data(cases, best, units)
    print_table(rows, lambda scope: args.hot or ("largest module" if scope == "largest" else "all modules"))
    data["hot" if args.hot else "corpus"] = {
        "modules": len(trees), "nodes": nodes, "largest": units["largest"], "rounds": args.rounds,
        "module": args.hot, "rows": rows}
    write_json(args.json, data)


def write_json(path, data):
    if path is None:
        return
    data["loadavg_after"] = os.getloadavg()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(data, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
