#!/usr/bin/env python3
"""Find copied code: function definitions and statement blocks that appear
more than once, across every Python file under the given paths.

Two pieces of code count as copies when `ast.dump` would print them alike:
same node classes, names and constants, wherever they sit and however they
are laid out or commented. Groups are printed largest first, each copy as
file:line.
"""

import argparse
import ast
import sys
import warnings
from collections import defaultdict

import quernwood
from filewalk import Progress, python_files

FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef)
BLOCK_FIELDS = ("body", "orelse", "finalbody")


def candidates(tree):
    """(key, description, line, end line, size) for every function definition
    and every statement block of two or more statements."""
    hashes = quernwood.subtree_hashes(tree)
    for node in quernwood.walk_dfs(tree):
        if isinstance(node, FUNCTIONS):
            size = len(quernwood.walk_unordered(node))
            yield ("def", hashes[id(node)]), f"function {node.name}", node.lineno, node.end_lineno, size
        if isinstance(node, ast.Module):
            continue
        for field in BLOCK_FIELDS:
            block = getattr(node, field, None)
            if isinstance(block, list) and len(block) >= 2:
                key = ("block", tuple(hashes[id(s)] for s in block))
                size = sum(len(quernwood.walk_unordered(s)) for s in block)
                yield key, f"{len(block)} statements", block[0].lineno, block[-1].end_lineno, size


def find_groups(files, min_nodes):
    groups = defaultdict(list)
    progress = Progress(len(files), "parsed")
    for done, path in enumerate(files, 1):
        try:
            with open(path, "rb") as f, warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the parser's SyntaxWarnings are not ours to report
                tree = ast.parse(f.read(), path)
        except (SyntaxError, ValueError) as e:
            progress.note(f"{path}: skipped: {e}")
            continue
        for key, what, line, end, size in candidates(tree):
            if size >= min_nodes:
                groups[key].append((path, line, end, what, size))
        progress.step(done)
    progress.close()
    return [copies for copies in groups.values() if len(copies) > 1]


def report(groups, out):
    """Prints groups largest first; a group whose every copy lies inside a
    copy already printed (the body of a copied function) is left out."""
    groups.sort(key=lambda g: (-g[0][4], -len(g), g[0][0], g[0][1]))
    printed = defaultdict(list)  # path -> [(line, end)] of printed copies
    count = 0
    for copies in groups:
        if all(any(a <= line and end <= b for a, b in printed[path]) for path, line, end, _, _ in copies):
            continue
        count += 1
        _, _, _, what, size = copies[0]
        print(f"{len(copies)} copies of {what}, {size} nodes each:", file=out)
        for path, line, end, _, _ in sorted(copies):
            print(f"  {path}:{line}", file=out)
            printed[path].append((line, end))
    return count


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="A subtree smaller than --min-nodes is not reported: short pieces such as "
        "`return self._name` (4 nodes) or `def close(self): self._file.close()` (about 15) "
        "recur everywhere as idiom, not as copying. The default, 40 nodes, is roughly "
        "three to five lines of ordinary code.")
    parser.add_argument("paths", nargs="+", help="Python files or directories to search")
    parser.add_argument("--min-nodes", type=int, default=40, metavar="N",
                        help="smallest subtree to report, in ast nodes (default: %(default)s)")
    args = parser.parse_args(argv)
    files = list(python_files(args.paths))
    count = report(find_groups(files, args.min_nodes), sys.stdout)
    print(f"{count} groups of duplicates in {len(files)} files", file=sys.stderr)


if __name__ == "__main__":
    main()
