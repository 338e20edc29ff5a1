"""Reference and memory leak check, run by `make leakcheck` on a debug build.

Not a pytest module: it needs sys.gettotalrefcount (debug interpreters only)
and runs each case long enough for a leak of one reference per call to show.

Every case is warmed up first so that interpreter caches (interned strings,
type caches, the thread's per-type records, warning registries) are filled;
after that, N more calls must leave the total reference count, the count of
interpreter memory blocks and the bytes in use by malloc exactly where they
were. A round that differs is retried a few times, since an unrelated
allocator cache can move once; a real leak moves every round.
"""

import ast
import ctypes
import gc
import os
import sys
import sysconfig
import threading
import warnings
import weakref

import quernwood as qw

if not hasattr(sys, "gettotalrefcount"):
    sys.exit("leakcheck needs a debug interpreter (sys.gettotalrefcount)")

warnings.simplefilter("ignore")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def totals(malloc_bytes=True):
    gc.collect()
    return (sys.gettotalrefcount(), sys.getallocatedblocks(),
            _libc.mallinfo2().uordblks if malloc_bytes else 0)


FAILURES = []


def check(name, fn, n, attempts=4, settle=0.0, malloc_bytes=True, tolerance=0, baseline=None, byte_tolerance=None):
    """Runs fn n times to warm up, then requires n more calls to change nothing.

    With `settle`, the totals may take up to that many seconds to come back:
    an ended thread finishes its native exit after join() has returned.
    Without `malloc_bytes`, malloc's count is left out: the C library keeps
    per-thread arenas whose use moves with every thread started. With
    `tolerance`, totals may move by that much. With `baseline`, what n calls
    of it leave (run right after fn's) is taken off fn's: a destroyed
    interpreter leaves what its own finalization did not free in the
    totals, a number that varies and only slowly falls. `byte_tolerance`
    sets malloc's bound apart from the references' and blocks'."""
    bounds = (tolerance, tolerance, tolerance if byte_tolerance is None else byte_tolerance)
    for _ in range(n):
        fn()
        if baseline:
            baseline()
    deltas = []
    for _ in range(attempts):
        before = totals(malloc_bytes)
        for _ in range(n):
            fn()
        after = totals(malloc_bytes)
        waited = 0.0
        while any(abs(b - a) > t for a, b, t in zip(before, after, bounds)) and waited < settle:
            threading.Event().wait(0.01)
            waited += 0.01
            after = totals(malloc_bytes)
        delta = tuple(b - a for a, b in zip(before, after))
        if baseline:
            for _ in range(n):
                baseline()
            delta = tuple(d - (c - b) for d, b, c in zip(delta, after, totals(malloc_bytes)))
        deltas.append(delta)
        # Against a baseline only a rise counts: the two lives leave
        # different amounts of the interpreter's own, and a leak only adds.
        if all((d if baseline else abs(d)) <= t for d, t in zip(delta, bounds)):
            print(f"ok    {name:<44} x{n:<4} refs/blocks/bytes delta {delta}")
            return
    print(f"LEAK  {name:<44} x{n:<4} deltas {deltas}")
    FAILURES.append(name)


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn.__name__} did not raise {exc_type.__name__}")


# The corpus: a few standard library modules and hostile shapes.

def _parse(module_name):
    path = os.path.join(sysconfig.get_paths()["stdlib"], module_name)
    with open(path, "rb") as f:
        return ast.parse(f.read(), path)


CORPUS = [_parse(m) for m in ("ast.py", "textwrap.py", "dataclasses.py")]

odd_key = ast.parse("f(x, y=[1, 2])").body[0]
vars(odd_key)[7] = ast.Name("not a field")  # a non-str key forces the generic dict path
CORPUS.append(ast.Module(body=[odd_key, ast.Name.__new__(ast.Name)], type_ignores=[]))

KINDS = (ast.Name, ast.Call, ast.Attribute)
PRUNE = (ast.Lambda, ast.FunctionDef)
BRACKET = (ast.FunctionDef, ast.ClassDef)


def each_tree(fn):
    def run():
        for tree in CORPUS:
            fn(tree)
    return run


def fresh_unlocated():
    call = ast.Call(ast.Name("f", ast.Load()), [ast.Constant(1), ast.Name("x", ast.Load())], [])
    return ast.Module(body=[ast.Expr(call)], type_ignores=[])


MODES = ("process", "stable", "renamed", "shape")

SUCCESS_CASES = [
    ("walk", each_tree(qw.walk)),
    ("walk_dfs", each_tree(qw.walk_dfs)),
    ("walk_unordered", each_tree(qw.walk_unordered)),
    ("_walk_count", each_tree(qw._walk_count)),
    ("walk_frontier", each_tree(lambda t: qw.walk_frontier(t, KINDS))),
    ("walk_frontier_edges", each_tree(lambda t: qw.walk_frontier_edges(t, KINDS))),
    ("walk_of_types", each_tree(lambda t: qw.walk_of_types(t, KINDS, PRUNE))),
    ("walk_of_types keywords", each_tree(lambda t: qw.walk_of_types(node=t, kinds=KINDS))),
    ("walk_frontier_events", each_tree(lambda t: qw.walk_frontier_events(t, KINDS, BRACKET))),
    ("NodeVisitor", each_tree(lambda t: LeakVisitor().visit(t))),
    ("NodeTransformer", each_tree(lambda t: LeakTransformer().visit(t))),
    ("set_parents", each_tree(qw.set_parents)),
    ("fix_missing_locations located", each_tree(qw.fix_missing_locations)),
    ("fix_missing_locations fresh", lambda: qw.fix_missing_locations(fresh_unlocated())),
    ("set_parents fresh", lambda: qw.set_parents(fresh_unlocated())),
    ("subtree_hashes", each_tree(qw.subtree_hashes)),
    ("subtree_hash", each_tree(qw.subtree_hash)),
    ("walk_of_types_edges", each_tree(lambda t: qw.walk_of_types_edges(t, KINDS + (ast.Module,), PRUNE))),
    ("expand_kinds", lambda: qw.expand_kinds((ast.stmt, ast.expr, ast.Name))),
    ("subtree_digests", each_tree(lambda t: [qw.subtree_digests(t, m) for m in MODES])),
    ("subtree_digest", each_tree(lambda t: [qw.subtree_digest(t, mode=m) for m in MODES])),
    ("non-node roots", lambda: [f(v) for f in (qw.walk_dfs, qw.subtree_hash, qw.set_parents)
                                for v in (None, 1, [ast.Pass()], ast.AST())]),
]


# Error paths.

SMALL = ast.parse("def f(a):\n    return a + 1\n")


class Pair(ast.expr):
    _fields = ("a", "b")


class RaisesValue(ast.expr):
    _fields = ("first", "second")

    @property
    def second(self):
        raise ValueError("bad field")


class RaisesMissing(ast.expr):
    _fields = ("first", "second")

    @property
    def second(self):
        raise AttributeError("absent")


class NoSet(ast.expr):
    _fields = ()

    def __setattr__(self, name, value):
        raise RuntimeError("read-only node")


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


def raising_tree():
    node = RaisesValue()
    node.first = ast.Pass()
    pair = Pair()
    pair.a, pair.b = node, None
    return pair


def missing_tree():
    node = RaisesMissing()
    node.first = ast.Pass()
    return node


def cyclic():
    m = ast.parse("x")
    m.body.append(m)
    return m


RAISING = raising_tree()
MISSING = missing_tree()
NO_SET = ast.Module(body=[ast.Expr(NoSet())], type_ignores=[])
BAD_REPR = ast.Expr(ast.Constant(BadRepr()))
CYCLE = cyclic()

class LeakVisitor(qw.NodeVisitor):
    def visit_Call(self, node):
        self.generic_visit(node)


class LeakTransformer(qw.NodeTransformer):
    def visit_Name(self, node):
        return node


TYPED = [
    ("NodeVisitor", lambda t: LeakVisitor().visit(t)),
    ("NodeTransformer", lambda t: LeakTransformer().visit(t)),
    ("walk_frontier", lambda t: qw.walk_frontier(t, (ast.Pass,))),
    ("walk_frontier_edges", lambda t: qw.walk_frontier_edges(t, (ast.Pass,))),
    ("walk_of_types", lambda t: qw.walk_of_types(t, (ast.Pass,), (ast.Pass,))),
    ("walk_frontier_events", lambda t: qw.walk_frontier_events(t, (ast.Pass,), (RaisesValue,))),
    ("set_parents", qw.set_parents),
    ("fix_missing_locations", qw.fix_missing_locations),
    ("subtree_hashes", qw.subtree_hashes),
    ("subtree_hash", qw.subtree_hash),
    ("walk_of_types_edges", lambda t: qw.walk_of_types_edges(t, (ast.Pass,), (ast.Pass,))),
    ("subtree_digests", lambda t: qw.subtree_digests(t, "renamed")),
    ("subtree_digest", lambda t: qw.subtree_digest(t, "shape")),
]

ALL = TYPED + [
    ("walk", qw.walk),
    ("walk_dfs", qw.walk_dfs),
    ("walk_unordered", qw.walk_unordered),
    ("_walk_count", qw._walk_count),
]

def _abstract_as_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error", qw.AbstractKindWarning)
        expect(qw.AbstractKindWarning, qw.walk_frontier, SMALL, (ast.AST,))


ERROR_CASES = [
    ("binding: missing", lambda: expect(TypeError, qw.walk_frontier_events, SMALL)),
    ("binding: too many", lambda: expect(TypeError, qw.walk_of_types, SMALL, (), (), ())),
    ("binding: unknown keyword", lambda: expect(TypeError, qw.walk_dfs, SMALL, depth=1)),
    ("binding: undecodable keyword", lambda: expect(TypeError, qw.walk_dfs, **{"\udcff": 1})),
    ("binding: twice", lambda: expect(TypeError, qw.walk_dfs, SMALL, node=SMALL)),
    ("binding: kinds not a tuple (note)", lambda: expect(TypeError, qw.walk_frontier, SMALL, [ast.Name])),
    ("binding: kinds None", lambda: expect(TypeError, qw.walk_frontier_edges, SMALL, None)),
    ("binding: prune not a tuple", lambda: expect(TypeError, qw.walk_of_types, SMALL, (), 5)),
    ("bad kinds item", lambda: expect(TypeError, qw.walk_frontier, SMALL, (ast.Name, 1))),
    ("bad prune item", lambda: expect(TypeError, qw.walk_of_types, SMALL, (ast.Name,), ("x",))),
    ("bad bracket item", lambda: expect(TypeError, qw.walk_frontier_events, SMALL, (), (ast.Name, None))),
    ("failing __setattr__: set_parents", lambda: expect(RuntimeError, qw.set_parents, NO_SET)),
    ("failing __setattr__: fix_missing_locations",
     lambda: expect(RuntimeError, qw.fix_missing_locations, NO_SET)),
    ("failing repr: subtree_hashes", lambda: expect(RuntimeError, qw.subtree_hashes, BAD_REPR)),
    ("failing repr: subtree_hash", lambda: expect(RuntimeError, qw.subtree_hash, BAD_REPR)),
    ("failing repr: subtree_digest", lambda: expect(RuntimeError, qw.subtree_digest, BAD_REPR, "stable")),
    ("bad mode", lambda: expect(ValueError, qw.subtree_digests, SMALL, "fast")),
    ("mode not a str", lambda: expect(TypeError, qw.subtree_digest, SMALL, 1)),
    ("bad expand_kinds item", lambda: expect(TypeError, qw.expand_kinds, (ast.Name, 1))),
    ("abstract kind, warning ignored", lambda: qw.walk_of_types(SMALL, (ast.expr, ast.Name), (ast.stmt,))),
    ("abstract kind, warning as error", lambda: _abstract_as_error()),
] + [
    (f"raising property: {name}", lambda f=f: expect(ValueError, f, RAISING))
    for name, f in TYPED
] + [
    (f"AttributeError property: {name}", lambda f=f: f(MISSING))
    for name, f in TYPED
]

# A cycle costs 2**24 node visits per call: few calls, every function.
CYCLE_CASES = [(f"cycle: {name}", lambda f=f: expect(RecursionError, f, CYCLE)) for name, f in ALL]


# Allocation failures: every allocation of a call made to fail in turn.
try:
    import faults
except ImportError:  # no _testcapi
    faults = None


def no_bad_outcome(name):
    bad = faults.sweep(name)
    if bad:
        raise AssertionError(f"{name}: {bad[:3]}")


FAULT_CASES = [(f"allocation failure: {name}", lambda name=name: no_bad_outcome(name))
               for name in (faults.CALLS if faults else ())]


# Thread exit: per-thread caches built and dropped. They hold no references
# (the module state does), so nothing waits for a later call.

class ThreadKind(ast.expr):
    _fields = ("value",)


THREAD_NODE = ThreadKind()
THREAD_NODE.value = ast.Name("x", ast.Load())
THREAD_TREE = ast.Module(body=[ast.Expr(THREAD_NODE)], type_ignores=[])


def thread_work():
    qw.walk_dfs(THREAD_TREE)
    qw.walk_of_types(THREAD_TREE, (ThreadKind,))
    qw.subtree_hashes(THREAD_TREE)
    qw.walk_frontier_events(THREAD_TREE, (ast.Name,), (ThreadKind,))


def thread_exit_case():
    thread_work()
    baseline = sys.getrefcount(ThreadKind)
    threads = [threading.Thread(target=thread_work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if sys.getrefcount(ThreadKind) != baseline:
        raise AssertionError(f"ended threads hold {sys.getrefcount(ThreadKind) - baseline} "
                             "references to a class their caches knew")


# Interpreters that come and go: each one's module state must release what
# it kept, in its own interpreter.
try:
    import _interpreters
except ImportError:
    _interpreters = None
import agreement  # noqa: E402

SUB_CODE = """
import ast, warnings, quernwood as qw
warnings.simplefilter("ignore")
t = ast.parse("def f(a):\\n    return g(a).b + 1\\nclass C: pass\\n")
for f in (qw.walk, qw.walk_dfs, qw.walk_unordered, qw._walk_count, qw.subtree_hashes, qw.subtree_hash,
          qw.set_parents, qw.fix_missing_locations):
    f(t)
qw.walk_frontier(t, (ast.Name,)); qw.walk_frontier_edges(t, (ast.Name,))
qw.walk_of_types(t, (ast.Name,), (ast.Lambda,)); qw.walk_frontier_events(t, (ast.Name,), (ast.FunctionDef,))
"""


# The same interpreter's life without the module.
BASE_CODE = """
import ast
t = ast.parse("def f(a):\\n    return g(a).b + 1\\nclass C: pass\\n")
"""


def interpreter_case(kind, code=SUB_CODE):
    def run():
        interp = _interpreters.create(_interpreters.new_config(kind))
        failure = _interpreters.exec(interp, code)
        _interpreters.destroy(interp)
        if failure is not None:
            raise AssertionError(failure)
    return run


def closed_under_thread_case():
    # A thread's caches know the interpreter's classes when it is closed.
    agreement.close_under_thread("isolated", SUB_CODE, thread_work)


def closed_under_thread_baseline():
    agreement.close_under_thread("isolated", BASE_CODE, lambda: None)


# A module imported again is left out: the import machinery's own totals
# take hundreds of imports to settle, with or without this module. The test
# suite checks that a dropped module object releases what its state held.
LIFE_CASES = []
if _interpreters is not None and hasattr(_interpreters, "new_config"):
    LIFE_CASES += [
        ("legacy interpreter created, used, destroyed", interpreter_case("legacy"),
         interpreter_case("legacy", BASE_CODE)),
        ("isolated interpreter created, used, destroyed", interpreter_case("isolated"),
         interpreter_case("isolated", BASE_CODE)),
        ("interpreter closed under a thread's caches", closed_under_thread_case, closed_under_thread_baseline),
    ]


def main():
    # malloc's count was seen to move by 576 bytes either way from round to
    # round in the NodeTransformer case (3.15.2d), references and blocks
    # flat: the byte bound lets one such swing through, while a native leak
    # of 64 bytes a call still shows as 1280.
    for name, fn in SUCCESS_CASES:
        check(name, fn, 20, byte_tolerance=1024)
    # Raising and catching 200 exceptions moves the totals by a few dozen
    # now and then (up to 36 seen on the add_note path, none in most runs)
    # as the interpreter's own caches fill and drain; a leak of one reference
    # per call moves them by 200 every round.
    for name, fn in ERROR_CASES:
        check(name, fn, 200, tolerance=50)
    for name, fn in CYCLE_CASES:
        check(name, fn, 2)
    # Each failed attempt throws and unwinds; the C library keeps the freed
    # chunks of that in per-size caches, so malloc's byte count moves by a
    # chunk either way from round to round: references and blocks must stay.
    for name, fn in FAULT_CASES:
        check(name, fn, 2, malloc_bytes=False)
    # Last: ended threads and interpreters. Threads' totals come back to
    # zero; what destroyed interpreters leave (0-25 per 30 on 3.15.2d,
    # falling slowly) is measured against the same life without the module
    # (from 11 below to 7 above it seen): a leak of one reference or block
    # per call still moves the totals by 30.
    check("thread exit", thread_exit_case, 30, attempts=6, settle=2.0, malloc_bytes=False, tolerance=15)
    for name, fn, baseline in LIFE_CASES:
        check(name, fn, 30, attempts=6, malloc_bytes=False, tolerance=15, baseline=baseline)
    if FAILURES:
        print(f"{len(FAILURES)} case(s) leaked: {', '.join(FAILURES)}")
        return 1
    cases = len(SUCCESS_CASES) + len(ERROR_CASES) + len(CYCLE_CASES) + len(FAULT_CASES) + len(LIFE_CASES) + 1
    print(f"no leaks in {cases} cases")
    return 0


if __name__ == "__main__":
    sys.exit(main())
