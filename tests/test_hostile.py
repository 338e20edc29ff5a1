"""Interpreter exit, interrupts and memory exhaustion in the middle of a call."""

import ast
import sys
import textwrap
import threading

import pytest

import quernwood as qw
from conftest import EMULATED, run_fresh

try:
    import _testcapi
    HAVE_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAVE_NOMEMORY = False


# Each sets `n` up so that a call sleeps in Python code it runs, from which
# the interpreter's exit ends the thread: a getter, the finalizer of a node a
# getter made, or the _fields read by a thread's first whole-tree walk (a
# name read before it is a str with a finalizer).
SLOW_GETTER = """
    class Slow(ast.AST):
        _fields = ("body",)
        body = property(lambda self: time.sleep(0.2) or [ast.Pass()])
    n = Slow()
"""
SLOW_RELEASE = """
    class Fresh(ast.expr):
        def __del__(self, sleep=time.sleep): sleep(0.2)
    class Holder(ast.AST):
        _fields = ("value",)
        value = property(lambda self: Fresh())
    n = Holder()
"""
SLOW_FIELD_NAME = """
    class Name(str):
        def __del__(self): pass
    class SlowFields:
        __len__ = lambda self: 2
        __getitem__ = lambda self, i: time.sleep(0.2 * i) or Name("ab"[i])
    class Odd(ast.AST):
        _fields = SlowFields()
    n = ast.Pass()
"""
SLOW_VISIT = """
    class V(qw.NodeVisitor):
        visit_Name = lambda self, node: time.sleep(0.2)
    n = ast.parse("x")
"""
SLOW_DEEP_VISIT = """
    class V(qw.NodeVisitor):  # 40 steps down the driving loop makes the call
        visit_Call = lambda self, node: self.generic_visit(node)
        visit_Name = lambda self, node: node.id == "x" and time.sleep(0.2)
    n = ast.parse("f(" * 40 + "x" + ")" * 40)
"""
SLOW_NOTE = """
    import warnings
    class Slow(Exception):
        add_note = lambda self, note: time.sleep(0.2)
    def showwarning(*args): raise Slow
    warnings.simplefilter("always")
    warnings.showwarning, threading.excepthook = showwarning, lambda args: None
    n = ast.Pass()
"""


@pytest.mark.parametrize("setup, call", [
    (SLOW_GETTER, "qw.walk_of_types(n, (ast.Pass,))"),
    (SLOW_GETTER, "qw.walk_frontier_edges(n, (ast.Pass,))"),
    (SLOW_GETTER, "qw.subtree_hash(n)"),
    (SLOW_GETTER, "qw.set_parents(n)"),
    (SLOW_RELEASE, "qw.walk_of_types(n, (ast.Name,))"),
    (SLOW_RELEASE, "qw.subtree_hash(n)"),
    (SLOW_FIELD_NAME, "qw.walk_dfs(n)"),
    (SLOW_VISIT, "V().visit(n)"),
    (SLOW_DEEP_VISIT, "V().visit(n)"),
    (SLOW_NOTE, "qw.walk_of_types(n, (ast.expr,))"),
], ids=["getter-walk_of_types", "getter-walk_frontier_edges", "getter-subtree_hash", "getter-set_parents",
        "release-walk_of_types", "release-subtree_hash", "field-name-walk_dfs", "method-NodeVisitor",
        "deep-method-NodeVisitor", "note-walk_of_types"])
def test_daemon_thread_ended_by_interpreter_exit(setup, call):
    # The daemon threads wake up while the interpreter finalizes, and are
    # ended inside the call without the interpreter lock. Each call runs on
    # a fresh thread, which builds its caches anew.
    r = run_fresh(f"""
        import ast, os, sys, threading, time
        import quernwood as qw
        {textwrap.indent(textwrap.dedent(setup), " " * 8).strip()}

        def loop():
            while True:
                worker = threading.Thread(target=lambda: {call}, daemon=True)
                worker.start()
                worker.join()

        for _ in range(4):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.5)

        class SlowDel:
            def __del__(self, sleep=time.sleep, write=os.write):
                write(1, b"finalizing\\n")
                sleep(0.5)
        sys.keep = SlowDel()
    """)
    assert (r.returncode, r.stdout, r.stderr) == (0, "finalizing\n", "")


class Meta(type(ast.AST)):
    armed = False

    def __getattribute__(cls, name):
        if name == "_fields" and Meta.armed:
            Meta.armed = False
            raise KeyboardInterrupt
        return super().__getattribute__(name)


class Holder(ast.AST, metaclass=Meta):
    _fields = ("body",)


@pytest.mark.parametrize("call, expected", [
    (lambda n: qw.walk_of_types(n, (ast.Name,)), 1),  # the per-type records
    (qw.walk_dfs, 3),  # the field table, built on the thread's first walk
], ids=["type records", "field table"])
def test_interrupt_while_reading_fields_propagates_and_caches_nothing(call, expected):
    node = Holder(body=[ast.Name("x", ast.Load())])
    out = []

    def run():
        Meta.armed = True
        try:
            call(node)
        except KeyboardInterrupt:
            out.append("interrupted")
        out.append(len(call(node)))

    t = threading.Thread(target=run)
    t.start()
    t.join()
    assert out == ["interrupted", expected]


@pytest.mark.skipif(not HAVE_NOMEMORY, reason="needs _testcapi.set_nomemory")
@pytest.mark.parametrize("name", [
    "walk", "walk_dfs", "walk_unordered", "_walk_count", "walk_frontier", "walk_frontier_edges",
    "walk_of_types", "walk_frontier_events", "subtree_hashes", "subtree_hash", "set_parents",
    "fix_missing_locations", "walk_of_types_edges", "expand_kinds", "subtree_digests", "subtree_digest",
    "NodeVisitor", "NodeTransformer", "NodeVisitor deep",
    *(pytest.param(name, marks=pytest.mark.skipif(
        sys.version_info < (3, 14), reason="warnings.warn itself crashes under failing allocations before 3.14"))
      for name in ("abstract kind", "abstract kind as error"))])
def test_allocation_failure_is_memory_error(name):
    # A fresh process: the defect this looks for used to abort it. Under
    # qemu-user a row takes half a minute: every fourth allocation fails
    # there, each one natively.
    r = run_fresh(f"""
        import faults
        print(faults.sweep({name!r}, fresh_thread=True, step={4 if EMULATED else 1}))
    """)
    assert (r.returncode, r.stdout.strip(), r.stderr) == (0, "[]", "")


KINDS = (ast.Name,)
TREE_CALLS = {
    "walk_dfs": qw.walk_dfs,
    "walk_unordered": qw.walk_unordered,
    "_walk_count": qw._walk_count,
    "walk_frontier": lambda t: qw.walk_frontier(t, KINDS),
    "walk_frontier_edges": lambda t: qw.walk_frontier_edges(t, KINDS),
    "walk_of_types": lambda t: qw.walk_of_types(t, KINDS),
    "walk_of_types_edges": lambda t: qw.walk_of_types_edges(t, KINDS),
    "walk_frontier_events": lambda t: qw.walk_frontier_events(t, KINDS, (ast.Module,)),
    "set_parents": qw.set_parents,
    "fix_missing_locations": qw.fix_missing_locations,
    "subtree_hash": qw.subtree_hash,
    "NodeVisitor": qw.NodeVisitor().visit,
    "NodeTransformer": qw.NodeTransformer().visit,
}


@pytest.mark.slow_under_asan
@pytest.mark.parametrize("name", sorted(TREE_CALLS))
def test_node_listing_itself_many_times_is_a_cycle_error(name):
    # Every visit of the module pushes it 64 times again: the cycle search
    # must begin before the pending nodes fill memory.
    m = ast.parse("x")
    m.body = [m] * 64
    try:
        with pytest.raises(RecursionError, match="cycle"):
            TREE_CALLS[name](m)
    finally:
        m.body = []
