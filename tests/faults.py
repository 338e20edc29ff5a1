"""Allocation-failure sweeps shared by the test suite and the leak check.

`sweep` runs one call again and again with its k-th interpreter allocation
failing (or every allocation from the k-th on), k = 0, 1, ... until the call
succeeds. Every attempt must succeed or raise MemoryError; anything else
(PanicException, SystemError, another error, an abort) is a defect."""

import _thread
import ast
import dis
import gc
import sys
import threading
import time
import warnings

import _testcapi

import quernwood as qw

SOURCE = "def f(x, y=[1]):\n    return g(x) + y.z\nclass C:\n    pass\n"
KINDS = (ast.Name, ast.Call)

_DEEP = ast.parse("f(" * 40 + "x" + ")" * 40)


class _Sparse(qw.NodeVisitor):
    def visit_Call(self, node):
        self.generic_visit(node)


class _Dropper(qw.NodeTransformer):
    def visit_Pass(self, node):
        return None


CALLS = {
    "walk": qw.walk,
    "walk_dfs": qw.walk_dfs,
    "walk_unordered": qw.walk_unordered,
    "_walk_count": qw._walk_count,
    "walk_frontier": lambda t: qw.walk_frontier(t, KINDS),
    "walk_frontier_edges": lambda t: qw.walk_frontier_edges(t, KINDS),
    "walk_of_types": lambda t: qw.walk_of_types(t, KINDS, (ast.ClassDef,)),
    "walk_frontier_events": lambda t: qw.walk_frontier_events(t, KINDS, (ast.FunctionDef,)),
    "subtree_hashes": qw.subtree_hashes,
    "subtree_hash": qw.subtree_hash,
    "set_parents": qw.set_parents,
    "fix_missing_locations": qw.fix_missing_locations,
    "walk_of_types_edges": lambda t: qw.walk_of_types_edges(t, KINDS + (ast.Module,), (ast.ClassDef,)),
    "expand_kinds": lambda t: qw.expand_kinds((ast.stmt, ast.Name)),
    "subtree_digests": lambda t: qw.subtree_digests(t, "renamed"),
    "subtree_digest": lambda t: qw.subtree_digest(t, "stable"),
    "abstract kind": lambda t: qw.walk_of_types(t, (ast.expr, ast.Name)),
    "abstract kind as error": lambda t: _abstract_as_error(t),
    "NodeVisitor": lambda t: _Sparse().visit(t),
    "NodeTransformer": lambda t: _Dropper().visit(t),
    # Past 32 nested steps the driving Python loops make the calls.
    "NodeVisitor deep": lambda t: _Sparse().visit(_DEEP),
}


def _abstract_as_error(tree):
    with warnings.catch_warnings():
        warnings.simplefilter("error", qw.AbstractKindWarning)
        try:
            qw.walk_frontier_events(tree, KINDS, (ast.stmt,))
        except qw.AbstractKindWarning:
            pass


def _attempt(fn, tree, start, stop):
    # The collector stays off in the window: a collection there would run
    # callbacks of earlier garbage, whose failures land on stderr or not
    # depending on where the collector's counts happened to stand.
    collecting = gc.isenabled()
    gc.disable()
    _testcapi.set_nomemory(start, stop)
    try:
        fn(tree)
        return None
    except MemoryError:
        return MemoryError
    except BaseException as e:  # noqa: B036 - every other outcome is the defect looked for
        return e
    finally:
        _testcapi.remove_mem_hooks()
        if collecting:
            gc.enable()


def _park(lock):
    lock.acquire()


# A thread whose frame stands at this call while another thread runs is
# blocked inside acquire(), where it allocates nothing.
_PARKED_AT = [i.offset for i in dis.get_instructions(_park) if i.opname == "CALL"][-1]


def _parked(ident):
    frame = sys._current_frames()[ident]
    return frame.f_code is _park.__code__ and frame.f_lasti == _PARKED_AT


def _on_fresh_thread(attempt):
    """attempt() on a new thread, this one parked in acquire() meanwhile.

    The failing allocator is the whole process's: threading's own start()
    and join() allocate, and under load the waiting thread ran them inside
    the window, took the failure and died printing it."""
    waiting = threading.get_ident()
    done = _thread.allocate_lock()
    done.acquire()
    out = []

    def run():
        try:
            while not _parked(waiting):
                time.sleep(0.0001)
            out.append(attempt())
        finally:
            done.release()

    t = threading.Thread(target=run)
    t.start()
    _park(done)
    t.join()  # the thread's own teardown ends before the next window
    return out[0]


def sweep(name, fresh_thread=False, limit=5000, step=1):
    """The attempts of `name` that ended otherwise than in success or MemoryError.

    With `fresh_thread`, each attempt runs on a new thread, so that the
    thread's caches are built under the failing allocator too. With `step`,
    only every step-th allocation is made to fail first."""
    fn = CALLS[name]
    bad = []
    warnings.simplefilter("ignore")
    for every_after in (False, True):
        for k in range(0, limit, step):
            tree = ast.parse(SOURCE)
            stop = 0 if every_after else k + 1
            if fresh_thread:
                outcome = _on_fresh_thread(lambda: _attempt(fn, tree, k, stop))
            else:
                outcome = _attempt(fn, tree, k, stop)
            if outcome is None:
                break
            if outcome is not MemoryError:
                bad.append((k, every_after, repr(outcome)))
        else:
            bad.append(("never succeeded", every_after, ""))
    return bad
