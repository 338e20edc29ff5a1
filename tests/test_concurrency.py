"""All twelve functions from eight threads at once, threads coming and going.

Per-thread caches are built by each new thread and released when it ends, so
starting fresh threads every round exercises building, use and the deferred
release together. Results must equal a single-threaded run."""

import ast
import copy
import os
import sys
import sysconfig
import threading

import pytest

import quernwood as qw
from conftest import EMULATED

THREADS = 8
# Under qemu-user the guest's threads run on the host's memory model: more
# rounds there repeat the native run at twenty times the cost. Four still
# use every private input.
ROUNDS = 4 if EMULATED else 30

KINDS = (ast.Name, ast.Call, ast.Attribute)
PRUNE = (ast.Lambda, ast.FunctionDef)
BRACKET = (ast.FunctionDef, ast.ClassDef)


def _parse(name):
    path = os.path.join(sysconfig.get_paths()["stdlib"], name)
    with open(path, "rb") as f:
        return ast.parse(f.read(), path)


SOURCES = {name: _parse(name) for name in ("textwrap.py", "shlex.py", "fnmatch.py")}

ids = lambda nodes: [id(n) for n in nodes]  # noqa: E731

# Read-only on the shared trees: results compared by identity.
SHARED = {
    "walk": lambda t: ids(qw.walk(t)),
    "walk_dfs": lambda t: ids(qw.walk_dfs(t)),
    "walk_unordered": lambda t: ids(qw.walk_unordered(t)),
    "_walk_count": qw._walk_count,
    "walk_frontier": lambda t: ids(qw.walk_frontier(t, KINDS)),
    "walk_frontier_edges": lambda t: [(id(n), id(p), f, i) for n, p, f, i in qw.walk_frontier_edges(t, KINDS)],
    "walk_of_types": lambda t: ids(qw.walk_of_types(t, KINDS, PRUNE)),
    "walk_frontier_events": lambda t: [(e, id(n)) for e, n in qw.walk_frontier_events(t, KINDS, BRACKET)],
    "subtree_hashes": qw.subtree_hashes,
    "subtree_hash": qw.subtree_hash,
    "NodeVisitor": lambda t: ids(Recorder(t).seen),
}


class Recorder(qw.NodeVisitor):
    def __init__(self, tree):
        self.seen = []
        self.visit(tree)

    def visit_Name(self, node):
        self.seen.append(node)

    def visit_Call(self, node):
        self.seen.append(node)
        self.generic_visit(node)


def parent_shape(tree):
    """Position in walk order of each node's parent."""
    order = qw.walk_dfs(tree)
    where = {id(n): i for i, n in enumerate(order)}
    return [where.get(id(getattr(n, "parent", None)), -1) for n in order]


def location_shape(tree):
    return [tuple(getattr(n, a, None) for a in ("lineno", "col_offset", "end_lineno", "end_col_offset"))
            for n in qw.walk_dfs(tree)]


def unlocated(tree):
    fresh = copy.deepcopy(tree)
    for n in ast.walk(fresh):
        for a in ("lineno", "col_offset", "end_lineno", "end_col_offset"):
            if a in n._attributes and n is not fresh.body[0]:
                n.__dict__.pop(a, None)
    return fresh


# On private copies, made by the caller: results compared by shape.
PRIVATE = {
    "set_parents": lambda t: (qw.set_parents(t), parent_shape(t))[1],
    "fix_missing_locations": lambda t: (qw.fix_missing_locations(t) is t, location_shape(t)),
}


@pytest.fixture(scope="module")
def expected():
    # The reference run happens on a thread of its own too, so that the main
    # thread's caches play no part in either run.
    out = {}

    def run():
        for src, tree in SOURCES.items():
            for name, fn in SHARED.items():
                out[name, src] = fn(tree)
            out["set_parents", src] = PRIVATE["set_parents"](copy.deepcopy(tree))
            out["fix_missing_locations", src] = PRIVATE["fix_missing_locations"](unlocated(tree))

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return out


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_threads_agree_with_single_thread(expected):
    # Private inputs are prepared up front so that the threads spend their
    # time in the module.
    private_inputs = [[{src: (copy.deepcopy(tree), unlocated(tree)) for src, tree in SOURCES.items()}
                       for _ in range(THREADS)] for _ in range(2)]
    mismatches = []
    errors = []
    calls = [0]
    lock = threading.Lock()

    def worker(index, round_no, barrier):
        try:
            barrier.wait()
            names = sorted(SHARED)
            # Each thread runs the functions in its own rotation, so different
            # functions overlap.
            names = names[index % len(names):] + names[:index % len(names)]
            done = 0
            for src, tree in SOURCES.items():
                for name in names:
                    if SHARED[name](tree) != expected[name, src]:
                        with lock:
                            mismatches.append((name, src, index, round_no))
                    done += 1
                if round_no % 2 == 0:
                    parents_tree, unlocated_tree = private_inputs[(round_no // 2) % 2][index][src]
                    if round_no < 4:  # the inputs are used up once changed
                        for name, t in (("set_parents", parents_tree), ("fix_missing_locations", unlocated_tree)):
                            if PRIVATE[name](t) != expected[name, src]:
                                with lock:
                                    mismatches.append((name, src, index, round_no))
                            done += 1
            with lock:
                calls[0] += done
        except BaseException as e:  # reported on the main thread
            with lock:
                errors.append(e)

    for round_no in range(ROUNDS):
        barrier = threading.Barrier(THREADS)
        threads = [threading.Thread(target=worker, args=(i, round_no, barrier)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert not errors, errors[:3]
    assert not mismatches, mismatches[:10]
    assert calls[0] == ROUNDS * THREADS * len(SOURCES) * len(SHARED) + 2 * THREADS * len(SOURCES) * 2


def test_ended_threads_leave_one_reference_per_class():
    # The module state holds each class its threads' caches know once; the
    # caches themselves hold none, so threads that come and go add nothing.
    class Kind(ast.expr):
        _fields = ("value",)

    node = Kind()
    node.value = ast.Name("x", ast.Load())
    tree = ast.Module(body=[ast.Expr(node)], type_ignores=[])
    base = sys.getrefcount(Kind)

    def work():
        qw.walk_of_types(tree, (Kind,))
        qw.subtree_hash(tree)

    counts = []
    for _ in range(2):
        threads = [threading.Thread(target=work) for _ in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        counts.append(sys.getrefcount(Kind))
    assert counts == [base + 1, base + 1]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_never_hangs_while_threads_exit():
    min_forks = 20 if EMULATED else 100  # a fork costs a second or more under qemu-user
    # A thread that ends while another thread forks must leave nothing the
    # child waits for: each child calls the module once and must exit.
    from conftest import run_fresh
    r = run_fresh("""
        MIN_FORKS = MINIMUM
        import ast, os, threading, time, warnings
        import quernwood as qw
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        tree = ast.parse("x = f(y)")
        deep = ast.parse("f(" * 40 + "x" + ")" * 40)  # the visitor's loops make calls past 32 steps
        V = type("V", (qw.NodeVisitor,), {"visit_Call": lambda self, n: self.generic_visit(n)})
        stop = threading.Event()

        def churn():
            while not stop.is_set():
                t = threading.Thread(target=lambda: (qw._walk_count(tree), V().visit(deep)))
                t.start()
                t.join()

        spinners = [threading.Thread(target=churn) for _ in range(2)]
        for s in spinners:
            s.start()
        # At least MIN_FORKS forks however slow the machine: the time limit only
        # cuts the run short beyond that, and a child is taken for hung only
        # after a minute, far beyond any wait for a loaded machine.
        forks, hung, deadline = 0, 0, time.monotonic() + 20
        while not hung and (forks < MIN_FORKS or forks < 1000 and time.monotonic() < deadline):
            pid = os.fork()
            if pid == 0:
                qw._walk_count(None)
                V().visit(deep)
                os._exit(0)
            forks += 1
            limit = time.monotonic() + 60
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > limit:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    hung += 1
                    break
                time.sleep(0.001)
        stop.set()
        for s in spinners:
            s.join()
        print(forks, hung)
    """.replace("MINIMUM", str(min_forks)))
    assert r.returncode == 0, r.stderr
    forks, hung = map(int, r.stdout.split())
    assert hung == 0 and forks >= min_forks, r.stdout
