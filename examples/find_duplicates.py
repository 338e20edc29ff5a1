#!/usr/bin/env python3
"""Find copied code across every Python file under the given paths: function
and class definitions, and runs of consecutive statements, that appear more
than once.

Two pieces of code count as copies when `ast.dump` would print them alike:
same node classes, names and constants, wherever they sit and however they
are laid out or commented. With --renamed, names do not count: a copy whose
variables, arguments, attributes or functions were renamed is found too.
A run is reported at its longest: the statements before and after it differ
between the copies. Groups are printed largest first, each copy as
file:first-last line; a group lying wholly inside copies already printed is
left out.
"""

import argparse
import ast
import fnmatch
import json
import os
import sys
import warnings
from collections import Counter, defaultdict

import quernwood
from filewalk import Progress, python_files

DEFINITIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
KIND = {ast.FunctionDef: "function", ast.AsyncFunctionDef: "function", ast.ClassDef: "class"}
BLOCK_FIELDS = ("body", "orelse", "finalbody")
# The classes with statement blocks, the module included.
HOLDERS = tuple(c for c in quernwood.expand_kinds(ast.AST) if set(getattr(c, "_fields", ())) & set(BLOCK_FIELDS))
CHUNK = 8  # most files per task of a worker


def analyse(path, mode):
    """What one file contributes, as plain data: (definitions, blocks, error).
    A definition is (hash, line, end, kind, name, size); a block is a list of
    its statements as (hash, line, end, size). Hashes do not depend on the
    process, so results of several workers merge."""
    try:
        with open(path, "rb") as f, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the parser's SyntaxWarnings are not ours to report
            tree = ast.parse(f.read(), path)
    except (SyntaxError, ValueError, OSError) as e:
        return [], [], f"{path}: skipped: {e}"
    digests = quernwood.subtree_digests(tree, mode)  # hash and size from one pass
    definitions = []
    blocks = []
    for node in quernwood.walk_of_types(tree, HOLDERS):
        if type(node) in KIND:
            h, size = digests[id(node)]
            definitions.append((h, node.lineno, node.end_lineno, KIND[type(node)], node.name, size))
        for field in BLOCK_FIELDS:
            block = getattr(node, field, None)
            if isinstance(block, list) and len(block) >= 2 and isinstance(block[0], ast.stmt):
                blocks.append([(digests[id(s)][0], s.lineno, s.end_lineno, digests[id(s)][1]) for s in block])
    return definitions, blocks, None


def analyse_files(paths, mode):
    return [(path, *analyse(path, mode)) for path in paths]


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


def find_groups(files, mode, min_nodes, jobs):
    """The groups of copies, lists of (path, line, end, what, name, size),
    and what the files ran on."""
    results = []
    progress = Progress(len(files), "parsed")
    workers = []
    for path, definitions, blocks, error in analysed(files, mode, jobs, workers):
        if error:
            progress.note(error)
        results.append((path, definitions, blocks))
        progress.step(len(results))
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
    return [copies for copies in groups.values() if len(copies) > 1], (workers or ["this process"])[0]


def analysed(files, mode, jobs, workers):
    """analyse_files over every file, on `jobs` workers, in file order; the
    kind of worker is appended to `workers`."""
    # Several chunks per worker, so that a slow file does not hold up the rest.
    size = max(1, min(CHUNK, len(files) // (4 * max(jobs, 1))))
    chunks = [files[i:i + size] for i in range(0, len(files), size)]
    if jobs <= 1 or len(chunks) <= 1:
        for chunk in chunks:
            yield from analyse_files(chunk, mode)
        return
    pool, kind = worker_pool(jobs)
    workers.append(f"{jobs} {kind}")
    with pool:
        for part in pool.map(worker_task(), chunks, [mode] * len(chunks)):
            yield from part


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
    args = parser.parse_args(argv)
    files = [p for p in python_files(args.paths) if not excluded(p, args.exclude)]
    mode = "renamed" if args.renamed else "stable"
    groups, workers = find_groups(files, mode, args.min_nodes, args.jobs)
    count = report(groups, sys.stdout, args.json)
    print(f"{count} groups of duplicates in {len(files)} files, analysed on {workers}", file=sys.stderr)


if __name__ == "__main__":
    main()
