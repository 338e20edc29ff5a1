"""Instructions per node of one call, counted by callgrind: a run making K
calls minus a run making none, divided by K times the tree's node count.
Stable under load, where times are not.

Usage: python instructions.py [--module ast.py] [--calls K] NAME [NAME...]
NAME is a key of FUNCTIONS below.
"""
import argparse
import ast
import os
import re
import subprocess
import sys
import sysconfig
import tempfile

import quernwood

TYPES = (ast.Name, ast.Attribute, ast.Call)
SOURCE = []  # the module's bytes, for the parse itself
FUNCTIONS = {
    "ast.parse": lambda t: ast.parse(SOURCE[0]),
    "ast.walk": lambda t: list(ast.walk(t)),
    "walk_dfs": quernwood.walk_dfs,
    "walk_of_types": lambda t: quernwood.walk_of_types(t, TYPES),
    "walk_of_types_edges": lambda t: quernwood.walk_of_types_edges(t, TYPES),
    "walk_frontier_edges": lambda t: quernwood.walk_frontier_edges(t, TYPES),
    "hash(ast.dump(t))": lambda t: hash(ast.dump(t)),
    "subtree_hash": quernwood.subtree_hash,
    "subtree_hashes": quernwood.subtree_hashes,
}
# The visitors of cases_visitor.py, on either base class.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases_visitor  # noqa: E402

for _label, _make in (("empty", cases_visitor.empty), ("sparse", cases_visitor.sparse), ("linter", cases_visitor.linter),
                      ("every-class", cases_visitor.every_class)):
    for _base in (ast.NodeVisitor, quernwood.NodeVisitor):
        FUNCTIONS[f"{_base.__module__}.NodeVisitor {_label}"] = lambda t, c=_make(_base): c().visit(t)
    if _make is not cases_visitor.empty:
        FUNCTIONS[f"floor {_label}"] = cases_visitor.floor(_make)
for _base in (ast.NodeTransformer, quernwood.NodeTransformer):
    FUNCTIONS[f"{_base.__module__}.NodeTransformer sparse"] = \
        lambda t, c=cases_visitor.sparse_transformer(_base): c().visit(t)
for _mode in ("process", "stable", "renamed", "shape"):
    if hasattr(quernwood, "subtree_digest"):
        FUNCTIONS[f"subtree_digest {_mode}"] = lambda t, m=_mode: quernwood.subtree_digest(t, m)
        FUNCTIONS[f"subtree_digests {_mode}"] = lambda t, m=_mode: quernwood.subtree_digests(t, m)


def child(name, module, calls):
    with open(os.path.join(sysconfig.get_paths()["stdlib"], module), "rb") as f:
        SOURCE.append(f.read())
    tree = ast.parse(SOURCE[0])
    fn = FUNCTIONS[name]
    fn(tree)  # caches filled before counting starts to matter
    for _ in range(calls):
        fn(tree)


def instructions(name, module, calls):
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--child", name, "--module", module, "--calls", str(calls)],
                       check=True, capture_output=True)
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("names", nargs="+")
    parser.add_argument("--module", default="ast.py")
    parser.add_argument("--calls", type=int, default=10)
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(args.names[0], args.module, args.calls)
        return
    with open(os.path.join(sysconfig.get_paths()["stdlib"], args.module), "rb") as f:
        nodes = quernwood._walk_count(ast.parse(f.read()))
    print(f"Python {sys.version.split()[0]}, {args.module} ({nodes} nodes), {args.calls} calls")
    print("| function | instructions per node |")
    print("|---|---:|")
    for name in args.names:
        diff = instructions(name, args.module, args.calls) - instructions(name, args.module, 0)
        print(f"| `{name}` | {diff / (args.calls * nodes):.1f} |")


if __name__ == "__main__":
    main()
