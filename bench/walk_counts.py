"""Instructions and simulated cache misses per node, counted by callgrind:
a figure that, unlike a time, does not move with the load of the machine.

Each function runs under `valgrind --tool=callgrind --cache-sim=yes` in a
child process that parses one fixed module of the standard library and calls
the function on the fresh tree (a fresh parse each time, as a tool that works
file by file does). Only what runs inside the function's native body is
counted (the argument binding around it is not). Two children make 1 and
1 + ROUNDS calls; their difference leaves out what only a thread's first call
does (building its caches).

Usage: python bench/walk_counts.py [--module argparse.py] [FUNCTION ...]
"""
import argparse
import ast
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile

ROUNDS = 5
KINDS = (ast.Name, ast.Attribute, ast.Call)
EVENT_KINDS = (ast.Return, ast.Yield)
BRACKET = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)
CALLS = {
    "_walk_count": ("walk_count", lambda qw, t: qw._walk_count(t)),
    "walk_dfs": ("walk_dfs", lambda qw, t: qw.walk_dfs(t)),
    "walk_unordered": ("walk_unordered", lambda qw, t: qw.walk_unordered(t)),
    "walk_of_types": ("walk_of_types", lambda qw, t: qw.walk_of_types(t, KINDS)),
    "subtree_hash": ("subtree_hash", lambda qw, t: qw.subtree_hash(t)),
    "subtree_hashes": ("subtree_hashes", lambda qw, t: qw.subtree_hashes(t)),
    "subtree_digest_stable": ("subtree_digest", lambda qw, t: qw.subtree_digest(t, "stable")),
    "walk_frontier_events": ("walk_frontier_events", lambda qw, t: qw.walk_frontier_events(t, EVENT_KINDS, BRACKET)),
    "set_parents": ("set_parents", lambda qw, t: qw.set_parents(t)),
    "fix_missing_locations": ("fix_missing_locations", lambda qw, t: qw.fix_missing_locations(t)),
}


def module_path(name):
    return os.path.join(sysconfig.get_paths()["stdlib"], name)


def child(function, module, calls):
    import quernwood

    source = pathlib.Path(module_path(module)).read_bytes()
    call = CALLS[function][1]
    for _ in range(calls):
        call(quernwood, ast.parse(source))


def totals(out_file):
    events = None
    for line in pathlib.Path(out_file).read_text().splitlines():
        if line.startswith("events:"):
            events = line.split()[1:]
        elif line.startswith("totals:") or line.startswith("summary:"):
            return dict(zip(events, map(int, line.split()[1:])))
    raise RuntimeError(f"no totals in {out_file}")


def count(function, module, calls):
    symbol = CALLS[function][0]
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--cache-sim=yes", f"--callgrind-out-file={out}",
             f"--toggle-collect=qw::{symbol}(*", sys.executable, __file__, "--child", function,
             "--module", module, "--calls", str(calls)],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            # str hashes decide where dictionary writes probe (set_parents):
            # a fixed seed keeps the count the same from run to run.
            env={**os.environ, "PYTHONHASHSEED": "0"})
        return totals(out)


def measure(function, module, nodes):
    one = count(function, module, 1)
    more = count(function, module, 1 + ROUNDS)
    t = {k: more[k] - one[k] for k in more}
    per = nodes * ROUNDS
    return (t["Ir"] / per, (t["D1mr"] + t["D1mw"]) / per, (t["DLmr"] + t["DLmw"]) / per)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--module", default="argparse.py")
    parser.add_argument("--child", default=None)
    parser.add_argument("--calls", type=int, default=1)
    parser.add_argument("functions", nargs="*", default=list(CALLS))
    args = parser.parse_args()
    if args.child:
        child(args.child, args.module, args.calls)
        return
    if not shutil.which("valgrind"):
        sys.exit("valgrind is needed (make instructions installs it in the build root)")
    import quernwood

    nodes = quernwood._walk_count(ast.parse(pathlib.Path(module_path(args.module)).read_bytes()))
    print(f"Python {sys.version.split()[0]}, {args.module} of its standard library ({nodes} nodes), "
          f"freshly parsed for each call, callgrind with its cache simulation")
    print()
    print("| function | instructions per node | L1 misses per node | last-level misses per node |")
    print("|---|---:|---:|---:|")
    for f in args.functions:
        ir, d1, ll = measure(f, args.module, nodes)
        print(f"| `{f}` | {ir:.1f} | {d1:.2f} | {ll:.3f} |")


if __name__ == "__main__":
    main()
