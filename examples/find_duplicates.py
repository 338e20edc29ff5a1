#!/usr/bin/env python3
"""Find copied code across every Python file under the given paths: function
and class definitions, and runs of consecutive statements, that appear more
than once.

Two pieces of code count as copies when `ast.dump` would print them alike:
same node classes, names and constants, wherever they sit and however they
are laid out or commented. With --renamed, names do not count: a copy whose
variables, arguments, attributes or functions were renamed is found too.
A run is reported at its longest: the statements before and after it differ
between the copies. A run of alike statements repeated in place (fourteen
`x = property(...)` lines) is no copy of itself shifted by a line: ranges of
one file that overlap count once. Groups are printed largest first, each copy
as file:first-last line, decorators included; a group lying wholly inside
copies already printed is left out.

The files can be analysed on workers and the results merged: --jobs N on
this machine, --scheduler on a Dask cluster.
"""

import argparse
import ast
import contextlib
import fnmatch
import itertools
import json
import os
import sys
import warnings
from collections import Counter, defaultdict

import quernwood
from filewalk import Progress, parse_error, python_files, read_regular

DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
KIND = {ast.FunctionDef: "function", ast.AsyncFunctionDef: "function", ast.ClassDef: "class"}
BLOCK_FIELDS = ("body", "orelse", "finalbody")
# The classes with statement blocks, the module included.
HOLDERS = tuple(c for c in quernwood.expand_kinds(ast.AST) if set(getattr(c, "_fields", ())) & set(BLOCK_FIELDS))
CHUNK = 8  # most files per task of a local worker
BATCH = 32  # most files per task of a Dask worker: Dask spends 2-3 ms on each task
RETRIES = 3  # a batch that raised runs again; one whose worker died the scheduler hands to another


def first_line(node):
    # A definition's hash covers its decorators, so its range does too.
    decorators = getattr(node, "decorator_list", None)
    return min(node.lineno, *(d.lineno for d in decorators)) if decorators else node.lineno


def analyse(path, mode, source=None):
    """What one file contributes, as plain data: (definitions, blocks, error).
    A definition is (hash, line, end, kind, name, size); a block is a list of
    its statements as (hash, line, end, size). Hashes do not depend on the
    process, so results of several workers merge. The file is read here
    unless its `source` (bytes, or the OSError of reading it) is given."""
    try:
        if source is None:
            source = read_regular(path)
        elif isinstance(source, OSError):
            raise source
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the parser's SyntaxWarnings are not ours to report
            tree = ast.parse(source, path)
    except Exception as e:  # whatever the parser refuses a file with, the run goes on
        return [], [], parse_error(path, e)
    digests = quernwood.subtree_digests(tree, mode)  # hash and size from one pass
    definitions = []
    blocks = []
    for node in quernwood.walk_of_types(tree, HOLDERS):
        if type(node) in KIND:
            h, size = digests[id(node)]
            definitions.append((h, first_line(node), node.end_lineno, KIND[type(node)], node.name, size))
        for field in BLOCK_FIELDS:
            block = getattr(node, field, None)
            if isinstance(block, list) and len(block) >= 2 and isinstance(block[0], ast.stmt):
                blocks.append([(digests[id(s)][0], first_line(s), s.end_lineno, digests[id(s)][1]) for s in block])
    return definitions, blocks, None


def analyse_files(paths, mode):
    return [(path, *analyse(path, mode)) for path in paths]


def analyse_batch(items, mode):
    """A Dask task: `items` are paths, or (path, source) pairs. The result
    names the CPython and quernwood versions: stable hashes hold within one
    of each."""
    results = []
    for item in items:
        path, source = (item, None) if isinstance(item, str) else item
        results.append((path, *analyse(path, mode, source)))
    return (sys.version_info[:2], quernwood.__version__), results


def runs(blocks, repeated, min_nodes):
    """(key, line, end, count, size) of every run of two or more consecutive
    statements that all occur elsewhere too, large enough to report."""
    for block in blocks:
        i = 0
        while i < len(block):
            # A run lies within a stretch of statements that each repeat.
            j = i
            while j < len(block) and block[j][0] in repeated:
                j += 1
            for a in range(i, j):
                size = block[a][3]
                for b in range(a + 1, j):
                    size += block[b][3]
                    if size >= min_nodes:
                        key = ("run", tuple(s[0] for s in block[a:b + 1]))
                        yield key, block[a][1], block[b][2], b - a + 1, size
            i = j + 1


def find_groups(files, mode, min_nodes, batches):
    """The groups of copies, lists of (path, line, end, what, name, size).
    `batches` yields (index of its first file, results) in any order."""
    results = [None] * len(files)
    progress = Progress(len(files), "parsed")
    done = 0
    with contextlib.closing(batches):  # the workers stop with us, whatever stops us
        for start, part in batches:
            for i, (path, definitions, blocks, error) in enumerate(part, start):
                if error:
                    progress.note(error)
                results[i] = (path, definitions, blocks)
            done += len(part)
            progress.step(done)
    progress.close()
    repeated = Counter(s[0] for _, _, blocks in results for block in blocks for s in block)
    repeated = {h for h, n in repeated.items() if n > 1}
    groups = defaultdict(list)
    for path, definitions, blocks in results:
        for h, line, end, kind, name, size in definitions:
            if size >= min_nodes:
                groups[("def", kind, h)].append((path, line, end, kind, name, size))
        for key, line, end, count, size in runs(blocks, repeated, min_nodes):
            groups[key].append((path, line, end, f"{count} statements", None, size))
    return [copies for copies in map(apart, groups.values()) if len(copies) > 1]


def apart(copies):
    """The copies less those overlapping an earlier one in the same file:
    alike statements repeated in place match themselves shifted by a
    statement, which is one repeated run, not a copy."""
    kept = []
    reach = {}  # path -> last line of the stretch of overlapping copies so far
    for copy in sorted(copies, key=lambda c: c[:3]):
        path, line, end = copy[:3]
        if line > reach.get(path, 0):
            kept.append(copy)
        reach[path] = max(end, reach.get(path, 0))
    return kept


def on_this_machine(files, mode, jobs, described):
    """(start, results) of chunks of files analysed on `jobs` workers, in
    file order; the kind of worker is appended to `described`."""
    # Several chunks per worker, so that a slow file does not hold up the rest.
    size = max(1, min(CHUNK, len(files) // (4 * max(jobs, 1))))
    starts = range(0, len(files), size)
    if jobs <= 1 or len(starts) <= 1:
        for start in starts:
            yield start, analyse_files(files[start:start + size], mode)
        return
    pool, kind = worker_pool(jobs)
    described.append(f"{jobs} {kind}")
    with pool:
        chunks = [files[start:start + size] for start in starts]
        yield from zip(starts, pool.map(worker_task(), chunks, [mode] * len(chunks)))


def on_dask(files, mode, scheduler, send_source, batch, described):
    """(start, results) of batches of files analysed on a Dask cluster, as
    they complete: the cluster at address `scheduler`, or one of N local
    worker processes for "local:N"."""
    import cloudpickle
    import filewalk
    from dask.distributed import Client, LocalCluster, as_completed

    # The tasks read files through filewalk, which the scheduler and the
    # workers need not be able to import: it travels with them.
    cloudpickle.register_pickle_by_value(filewalk)

    with contextlib.ExitStack() as stack:
        if scheduler.startswith("local:"):
            n = int(scheduler.removeprefix("local:"))
            cluster = stack.enter_context(LocalCluster(
                n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None))
            client = stack.enter_context(Client(cluster))
            described.append(f"{n} local Dask worker{'s' * (n > 1)}")
        else:
            client = stack.enter_context(Client(scheduler))
            client.wait_for_workers(1)
            n = sum(client.nthreads().values())
            described.append(f"the Dask workers of {scheduler} ({n} at the start)")
        size = max(1, min(batch, len(files) // (4 * n)))
        starts = iter(range(0, len(files), size))
        pending = {}

        def submit(start):
            items = files[start:start + size]
            if send_source:
                items = [(path, read_source(path)) for path in items]
            future = client.submit(analyse_batch, items, mode, retries=RETRIES, pure=False)
            pending[future] = start
            return future

        # A few batches queued per worker, no more: sources sent wait in memory.
        completed = as_completed([submit(start) for start in itertools.islice(starts, 2 * n + 2)])
        for future in completed:
            versions, part = future.result()
            if versions != (sys.version_info[:2], quernwood.__version__):
                (major, minor), theirs = versions
                sys.exit(f"a Dask worker runs CPython {major}.{minor} with quernwood {theirs}, "
                         f"unlike this process: their hashes do not merge")
            start = pending.pop(future)
            following = next(starts, None)
            if following is not None:
                completed.add(submit(following))
            yield start, part


def read_source(path):
    try:
        return read_regular(path)
    except OSError as e:
        return e  # the worker reports it with the file's other failures


def worker_task():
    # Workers import this file as a module; its own __main__ is not theirs.
    import find_duplicates
    return find_duplicates.analyse_files


def probe():
    import quernwood  # noqa: F401  (fails where the module cannot load)
    return True


def worker_pool(jobs):
    """Isolated interpreters (3.14+), each with its own interpreter lock, or
    processes where those are missing or cannot load the module."""
    from concurrent import futures
    here = os.path.dirname(os.path.abspath(__file__))
    if hasattr(futures, "InterpreterPoolExecutor"):
        pool = futures.InterpreterPoolExecutor(
            jobs, initializer=exec, initargs=(f"import sys; sys.path.insert(0, {here!r})", {}))
        try:
            import find_duplicates
            if pool.submit(find_duplicates.probe).result():
                return pool, "interpreters"
        except Exception:
            pass
        pool.shutdown()
    return futures.ProcessPoolExecutor(jobs), "processes"


def report(groups, out, as_json):
    """Prints groups largest first; a group whose every copy lies inside a
    copy already printed (the body of a copied function) is left out."""
    groups.sort(key=lambda g: (-g[0][5], -len(g), min(c[:2] for c in g)))
    printed = defaultdict(list)  # path -> [(line, end)] of printed copies
    shown = []
    for copies in groups:
        if all(any(a <= line and end <= b for a, b in printed[path]) for path, line, end, *_ in copies):
            continue
        copies = sorted(copies)
        shown.append(copies)
        for path, line, end, *_ in copies:
            printed[path].append((line, end))
    if as_json:
        json.dump([{"what": c[0][3], "nodes": c[0][5],
                    "copies": [{"path": p, "line": line, "end_line": end, "name": name}
                               for p, line, end, _, name, _ in c]} for c in shown], out, indent=1)
        out.write("\n")
        return len(shown)
    for copies in shown:
        _, _, _, what, first, size = copies[0]
        print(f"{len(copies)} copies of {what}{f' {first}' if first else ''}, {size} nodes each:", file=out)
        for path, line, end, _, name, _ in copies:
            alias = f" as {name}" if name != first else ""
            print(f"  {path}:{line}-{end}{alias}", file=out)
    return len(shown)


def excluded(path, patterns):
    parts = path.replace(os.sep, "/").split("/")
    return any(fnmatch.fnmatch(path, p) or any(fnmatch.fnmatch(x, p) for x in parts) for p in patterns)


def positive(text):
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text!r}")
    return int(text)


def scheduler_address(text):
    if text.startswith("local:"):
        positive(text.removeprefix("local:"))
    return text


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="A piece smaller than --min-nodes is not reported: short pieces such as "
        "`return self._name` (4 nodes) or `def close(self): self._file.close()` (about 15) "
        "recur everywhere as idiom, not as copying. The default, 40 nodes, is roughly "
        "three to five lines of ordinary code.")
    parser.add_argument("paths", nargs="+", help="Python files or directories to search")
    parser.add_argument("--min-nodes", type=int, default=40, metavar="N",
                        help="smallest piece to report, in ast nodes (default: %(default)s)")
    parser.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                        help="leave out files whose path, or a part of it, matches GLOB (repeatable)")
    parser.add_argument("--renamed", action="store_true",
                        help="names do not count: find copies with renamed identifiers too")
    parser.add_argument("--json", action="store_true", help="print the groups as JSON")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="analyse files on N workers: isolated interpreters on 3.14+, else processes")
    parser.add_argument("--scheduler", metavar="ADDRESS", type=scheduler_address,
                        help="analyse files on the workers of the Dask scheduler at ADDRESS "
                        "(tcp://host:8786), or on N local worker processes for local:N")
    parser.add_argument("--send-source", action="store_true",
                        help="with --scheduler: send the files' contents, for workers that cannot read them")
    parser.add_argument("--batch", type=positive, metavar="N",
                        help=f"with --scheduler: most files per task (default: {BATCH})")
    args = parser.parse_args(argv)
    if args.scheduler is None and (args.send_source or args.batch):
        parser.error("--send-source and --batch need --scheduler")
    if args.scheduler is not None:
        if args.jobs != 1:
            parser.error("--jobs and --scheduler exclude each other")
        try:
            import distributed  # noqa: F401  (imported only here: the rest runs without Dask)
        except ImportError as e:
            parser.error(f"--scheduler needs Dask's distributed package: {e}")
    files = [p for p in python_files(args.paths) if not excluded(p, args.exclude)]
    mode = "renamed" if args.renamed else "stable"
    described = []
    if args.scheduler:
        batches = on_dask(files, mode, args.scheduler, args.send_source, args.batch or BATCH, described)
    else:
        batches = on_this_machine(files, mode, args.jobs, described)
    groups = find_groups(files, mode, args.min_nodes, batches)
    count = report(groups, sys.stdout, args.json)
    workers = described[0] if described else "this process"
    print(f"{count} groups of duplicates in {len(files)} files, analysed on {workers}", file=sys.stderr)


if __name__ == "__main__":
    main()
