"""Per-file analysis of the standard library on several workers.

Each file is read, parsed, filtered with `walk_of_types` and hashed with
`subtree_hashes`, as a tool that analyses a code base file by file does;
a task carries --chunk files, so that handing tasks out costs little. The
same files run on one isolated interpreter, on two (each with its own GIL,
InterpreterPoolExecutor, 3.14+) and on a pool of two processes; the modes
alternate within each round and the best round counts. Pools are started and
warmed up before timing. Besides the wall time, the CPU time the workers
spent in the tasks is summed: it stays put when workers do not slow each
other down, whatever else the machine runs. Not a test.

Usage: python bench/parallel.py [--rounds N] [--workers K] [--chunk N] [--stride K]
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


def analyse_files(paths):
    """Node count and CPU seconds of one task."""
    start = time.thread_time()
    nodes = sum(analyse(p)[0] for p in paths)
    return nodes, time.thread_time() - start


def run(pool, chunks):
    nodes = cpu = 0
    for n, c in pool.map(analyse_files, chunks):
        nodes += n
        cpu += c
    return nodes, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=8, help="files per task")
    parser.add_argument("--stride", type=int, default=1, help="keep every K-th file only")
    args = parser.parse_args()
    if not hasattr(cf, "InterpreterPoolExecutor"):
        sys.exit("needs concurrent.futures.InterpreterPoolExecutor (CPython 3.14+)")
    sys.path.insert(0, str(HERE))
    import parallel  # this file as an importable module, for pickling `analyse`
    from bench import stdlib_files

    paths = stdlib_files()[:: args.stride]
    chunks = [tuple(paths[i : i + args.chunk]) for i in range(0, len(paths), args.chunk)]
    k = args.workers
    init = {"initializer": exec, "initargs": (SETUP, {})}
    pools = {
        "1 interpreter": cf.InterpreterPoolExecutor(1, **init),
        f"{k} interpreters": cf.InterpreterPoolExecutor(k, **init),
        f"{k} processes": cf.ProcessPoolExecutor(k, **init),
    }
    nodes = {}
    for name, pool in pools.items():  # start every worker, import, warm up
        run(pool, chunks[: 4 * k])
        nodes[name] = run(pool, chunks)[0]
    assert len(set(nodes.values())) == 1, nodes
    best = {name: (float("inf"), 0.0) for name in pools}
    for _ in range(args.rounds):
        for name, pool in pools.items():
            start = time.perf_counter()
            _, cpu = run(pool, chunks)
            best[name] = min(best[name], (time.perf_counter() - start, cpu))
    for pool in pools.values():
        pool.shutdown()
    one = best["1 interpreter"][0]
    total = next(iter(nodes.values()))
    print(f"CPython {sys.version.split()[0]}, {len(paths)} files, {total:,} nodes, {args.chunk} files per task, "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}, best of {args.rounds} rounds")
    print("| workers | seconds | files per second | throughput vs 1 interpreter | worker CPU seconds |")
    print("|---|---:|---:|---:|---:|")
    for name, (t, cpu) in best.items():
        print(f"| {name} | {t:.2f} | {len(paths) / t:.0f} | {one / t:.2f}x | {cpu:.2f} |")


if __name__ == "__main__":
    main()
