"""Per-file analysis of a corpus on several workers.

Each file is read, parsed, filtered with `walk_of_types` and hashed with
`subtree_hashes`, as a tool that analyses a code base file by file does;
a task carries --chunk files, so that handing tasks out costs little. The
same files run on one isolated interpreter, on two (each with its own GIL,
InterpreterPoolExecutor, 3.14+), on a pool of two processes and, where
dask.distributed is installed, on a local Dask cluster of two worker
processes; the modes alternate within each round and the best round counts.
Pools are started and warmed up before timing. Besides the wall time, the CPU
time the workers spent in the tasks is summed: it stays put when workers do
not slow each other down, whatever else the machine runs. The same tasks
with nothing to do give each pool's own cost per task. Not a test.

--corpus stdlib is the standard library without its tests, --corpus tests
CPython's test suite (Lib/test, where the distribution installs it).

Usage: python bench/parallel.py [--corpus stdlib|tests] [--rounds N] [--workers K] [--chunk N] [--stride K]
"""
import argparse
import ast
import concurrent.futures as cf
import os
import pathlib
import sys
import sysconfig
import time
import warnings

HERE = pathlib.Path(__file__).resolve().parent
KINDS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Call)
# Workers find this module by name; __main__ would not be theirs.
SETUP = f"import sys\nif {str(HERE)!r} not in sys.path: sys.path.insert(0, {str(HERE)!r})\n"


def analyse(path):
    import quernwood

    with open(path, "rb") as f:
        source = f.read()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the test suite's deliberate SyntaxWarnings
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


def nothing(paths):
    return 0, 0.0


def run(pool, chunks, task=analyse_files):
    nodes = cpu = 0
    for n, c in pool.map(task, chunks):
        nodes += n
        cpu += c
    return nodes, cpu


def test_suite_files():
    root = os.path.join(sysconfig.get_paths()["stdlib"], "test")
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
        out.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    return out


def dask_pool(k):
    """A concurrent.futures face on a local Dask cluster of k processes, and
    what closes the cluster; None where Dask is missing."""
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        return None, None
    cluster = LocalCluster(n_workers=k, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    return client.get_executor(pure=False), lambda: (client.close(), cluster.close())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=8, help="files per task")
    parser.add_argument("--stride", type=int, default=1, help="keep every K-th file only")
    parser.add_argument("--corpus", choices=("stdlib", "tests"), default="stdlib")
    args = parser.parse_args()
    if not hasattr(cf, "InterpreterPoolExecutor"):
        sys.exit("needs concurrent.futures.InterpreterPoolExecutor (CPython 3.14+)")
    sys.path.insert(0, str(HERE))
    import parallel  # this file as an importable module, for pickling `analyse`
    from bench import stdlib_files

    paths = (stdlib_files() if args.corpus == "stdlib" else test_suite_files())[:: args.stride]
    if not paths:
        sys.exit(f"no {args.corpus} files found")
    chunks = [tuple(paths[i : i + args.chunk]) for i in range(0, len(paths), args.chunk)]
    k = args.workers
    init = {"initializer": exec, "initargs": (SETUP, {})}
    pools = {
        "1 interpreter": cf.InterpreterPoolExecutor(1, **init),
        f"{k} interpreters": cf.InterpreterPoolExecutor(k, **init),
        f"{k} processes": cf.ProcessPoolExecutor(k, **init),
    }
    dask, close_dask = dask_pool(k)
    if dask is not None:
        pools[f"{k} local Dask workers"] = dask
    nodes = {}
    for name, pool in pools.items():  # start every worker, import, warm up
        run(pool, chunks[: 4 * k])
        nodes[name] = run(pool, chunks)[0]
    assert len(set(nodes.values())) == 1, nodes
    best = {name: (float("inf"), 0.0) for name in pools}
    idle = {name: float("inf") for name in pools}
    for _ in range(args.rounds):
        for name, pool in pools.items():
            start = time.perf_counter()
            _, cpu = run(pool, chunks)
            best[name] = min(best[name], (time.perf_counter() - start, cpu))
            start = time.perf_counter()
            run(pool, chunks, nothing)
            idle[name] = min(idle[name], time.perf_counter() - start)
    for pool in pools.values():
        pool.shutdown()
    if close_dask:
        close_dask()
    one = best["1 interpreter"][0]
    total = next(iter(nodes.values()))
    print(f"CPython {sys.version.split()[0]}, {args.corpus}: {len(paths)} files, {total:,} nodes, "
          f"{len(chunks)} tasks of {args.chunk} files, {os.cpu_count()} CPUs, "
          f"load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}, best of {args.rounds} rounds")
    print("| workers | seconds | files per second | throughput vs 1 interpreter | worker CPU seconds "
          "| empty task, ms |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, (t, cpu) in best.items():
        print(f"| {name} | {t:.2f} | {len(paths) / t:.0f} | {one / t:.2f}x | {cpu:.2f} "
              f"| {1000 * idle[name] / len(chunks):.2f} |")


if __name__ == "__main__":
    main()
