"""Times two builds of the module against each other in one process, the
way users run: for each module of the standard library, a fresh parse
before every call, the two builds alternating, the collector on; best of
three per module and function, summed.

Usage: python bench/compare_builds.py OLD_BUILD_DIR NEW_BUILD_DIR [--stride N]
"""
import argparse
import ast
import gc
import glob
import importlib.util
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from cases import sources  # noqa: E402

EVENTS = ((ast.Return, ast.Yield), (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda))
TYPES = (ast.Name, ast.Attribute, ast.Call)
CALLS = {
    "walk_dfs": lambda m, t: m.walk_dfs(t),
    "walk_unordered": lambda m, t: m.walk_unordered(t),
    "walk_of_types": lambda m, t: m.walk_of_types(t, TYPES),
    "walk_frontier": lambda m, t: m.walk_frontier(t, EVENTS[0]),
    "walk_frontier_events": lambda m, t: m.walk_frontier_events(t, *EVENTS),
    "set_parents": lambda m, t: m.set_parents(t),
    "fix_missing_locations": lambda m, t: m.fix_missing_locations(t),
    "subtree_hash": lambda m, t: m.subtree_hash(t),
    "NodeVisitor empty": lambda m, t: visitor(m, "empty")().visit(t),
    "NodeVisitor sparse": lambda m, t: visitor(m, "sparse")().visit(t),
    "NodeVisitor every-class": lambda m, t: visitor(m, "every_class")().visit(t),
}
VISITORS = {}


def visitor(module, kind):
    """bench/cases_visitor.py's visitor class of that kind on the build's base class, made once."""
    sys.modules.setdefault("quernwood", module)  # what cases_visitor imports
    import cases_visitor

    key = (id(module), kind)
    if key not in VISITORS:
        VISITORS[key] = getattr(cases_visitor, kind)(module.NodeVisitor)
    return VISITORS[key]


def load(build_dir, alias):
    path = glob.glob(os.path.join(build_dir, "quernwood*.so"))[0]
    found = importlib.util.spec_from_file_location("quernwood", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules[alias] = module
    return module


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--stride", type=int, default=1)
    args = parser.parse_args()
    builds = [load(args.old, "quernwood_old"), load(args.new, "quernwood_new")]
    total = {name: [0, 0] for name in CALLS}
    nodes = 0
    texts = sources()[:: args.stride]
    for text in texts:
        nodes += builds[1]._walk_count(ast.parse(text))
        for name, call in CALLS.items():
            best = [None, None]
            for r in range(3):
                for b in ((0, 1) if r % 2 == 0 else (1, 0)):
                    tree = ast.parse(text)
                    gc.collect(0)
                    start = time.perf_counter_ns()
                    call(builds[b], tree)
                    ns = time.perf_counter_ns() - start
                    best[b] = ns if best[b] is None else min(best[b], ns)
            total[name][0] += best[0]
            total[name][1] += best[1]
    print(f"Python {sys.version.split()[0]}, {len(texts)} modules, {nodes} nodes; "
          f"fresh parse before each call, builds alternating, best of 3, summed; collector on")
    print()
    print("| function | old ns per node | new ns per node | old / new |")
    print("|---|---:|---:|---:|")
    for name, (old, new) in total.items():
        print(f"| `{name}` | {old / nodes:.2f} | {new / nodes:.2f} | {old / new:.2f}x |")


if __name__ == "__main__":
    main()
