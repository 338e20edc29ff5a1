"""Per-file analysis of the standard library on several workers.

Each file is read, parsed, filtered with `walk_of_types` and hashed with
`subtree_hashes`, as a tool that analyses a code base file by file does. The
same files run on one isolated interpreter, on two (each with its own GIL,
InterpreterPoolExecutor, 3.14+) and on a pool of two processes; the modes
alternate within each round and the best round counts. Pools are started and
warmed up before timing. Not a test.

Usage: python bench/parallel.py [--rounds N] [--workers K] [--stride K]
"""
import argparse
import ast
import concurrent.futures as cf
import os
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
KINDS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Call)
# Workers find this module by name; __main__ would not be theirs.
SETUP = f"import sys\nif {str(HERE)!r} not in sys.path: sys.path.insert(0, {str(HERE)!r})\n"


def analyse(path):
    import quernwood

    with open(path, "rb") as f:
        source = f.read()
    try:
        tree = ast.parse(source, path)
    except (SyntaxError, ValueError):
        return 0, 0
    found = quernwood.walk_of_types(tree, KINDS)
    hashes = quernwood.subtree_hashes(tree)
    return len(hashes), len(found)


def run(pool, paths):
    nodes = 0
    for n, _ in pool.map(analyse, paths):
        nodes += n
    return nodes


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--stride", type=int, default=1, help="keep every K-th file only")
    args = parser.parse_args()
    if not hasattr(cf, "InterpreterPoolExecutor"):
        sys.exit("needs concurrent.futures.InterpreterPoolExecutor (CPython 3.14+)")
    sys.path.insert(0, str(HERE))
    import parallel  # this file as an importable module, for pickling `analyse`
    from bench import stdlib_files

    paths = stdlib_files()[:: args.stride]
    k = args.workers
    init = {"initializer": exec, "initargs": (SETUP, {})}
    pools = {
        "1 interpreter": cf.InterpreterPoolExecutor(1, **init),
        f"{k} interpreters": cf.InterpreterPoolExecutor(k, **init),
        f"{k} processes": cf.ProcessPoolExecutor(k, **init),
    }
    nodes = {}
    for name, pool in pools.items():  # start every worker, import, warm up
        nodes[name] = run(pool, paths[: 4 * k])
        nodes[name] = run(pool, paths)
    assert len(set(nodes.values())) == 1, nodes
    best = dict.fromkeys(pools, float("inf"))
    for _ in range(args.rounds):
        for name, pool in pools.items():
            start = time.perf_counter()
            run(pool, paths)
            best[name] = min(best[name], time.perf_counter() - start)
    for pool in pools.values():
        pool.shutdown()
    one = best["1 interpreter"]
    total = next(iter(nodes.values()))
    print(f"CPython {sys.version.split()[0]}, {len(paths)} files, {total:,} nodes, "
          f"{os.cpu_count()} CPUs, best of {args.rounds} rounds")
    print("| workers | seconds | files per second | throughput vs 1 interpreter |")
    print("|---|---:|---:|---:|")
    for name, t in best.items():
        print(f"| {name} | {t:.2f} | {len(paths) / t:.0f} | {one / t:.2f}x |")


if __name__ == "__main__":
    main()
