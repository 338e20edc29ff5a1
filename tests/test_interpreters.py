"""Several interpreters in one process, and module objects that come and go.

Each interpreter has its own `ast` classes, so every cache must be that
interpreter's: the cases run in a fresh process, where a stale cache shows as
a wrong answer and a reference released from the wrong interpreter as a crash
(or, under the sanitizer, a report).
"""

import ast
import gc
import importlib
import os
import sys

import pytest

import quernwood
from conftest import STDLIB_STRIDE, run_fresh

try:
    import _interpreters
except ImportError:
    _interpreters = None

HAVE_CONFIGS = _interpreters is not None and hasattr(_interpreters, "new_config")
needs_interpreters = pytest.mark.skipif(not HAVE_CONFIGS, reason="needs _interpreters with configs (3.13+)")
TESTS = os.path.dirname(os.path.abspath(__file__))

# Run in every interpreter: fails with the names of the functions whose
# answers differ from the standard library's.
AGREE = f"""
import ast, os, sys, sysconfig
sys.path.insert(0, {TESTS!r})
import agreement
for name in ("fnmatch.py", "shlex.py"):
    path = os.path.join(sysconfig.get_paths()["stdlib"], name)
    with open(path, "rb") as f:
        bad = agreement.disagreements(ast.parse(f.read(), path))
    assert not bad, (name, bad)
print("agreed", flush=True)
"""


@needs_interpreters
def test_legacy_interpreter_alternating_with_main_on_one_thread():
    r = run_fresh(f"""
        import _interpreters
        AGREE = {AGREE!r}
        exec(AGREE)  # the main interpreter fills this thread's caches first
        sub = _interpreters.create(_interpreters.new_config("legacy"))
        for _ in range(2):
            failure = _interpreters.exec(sub, AGREE)
            assert failure is None, failure
            exec(AGREE)
        _interpreters.destroy(sub)
        exec(AGREE)
    """)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.split() == ["agreed"] * 6


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is 3.14+")
def test_isolated_interpreters_on_two_threads_agree_with_main():
    r = run_fresh(f"""
        import sys, threading
        sys.path.insert(0, {TESTS!r})
        from concurrent import interpreters
        import agreement, conftest
        paths = tuple(conftest._stdlib_files()[::{4 * STDLIB_STRIDE}])
        main = agreement.fingerprints(paths)
        results, errors = [None, None], []

        def run(k):
            try:
                interp = interpreters.create()
                # All files, in opposite orders on the two threads.
                results[k] = interp.call(agreement.fingerprints, paths[::1 - 2 * k])
                interp.close()
            except BaseException as e:
                errors.append(e)

        threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
        assert len(main) > 100 // {STDLIB_STRIDE}
        assert results[0] == main and results[1] == main
        print("equal", len(main))
    """)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.startswith("equal")


@needs_interpreters
@pytest.mark.parametrize("kind", ["legacy", "isolated"])
def test_interpreter_closed_while_another_thread_caches_its_classes(kind):
    # A worker thread fills its caches in the interpreter, then waits while
    # the main thread closes it; afterwards the worker calls the module in
    # the main interpreter and in a new interpreter, whose state may land at
    # the same address, and ends.
    r = run_fresh(f"""
        import _interpreters, sys
        sys.path.insert(0, {TESTS!r})
        import agreement
        AGREE = {AGREE!r}

        def after():
            exec(AGREE)
            again = _interpreters.create(_interpreters.new_config({kind!r}))
            assert _interpreters.exec(again, AGREE) is None
            _interpreters.destroy(again)

        agreement.close_under_thread({kind!r}, AGREE, after)
        exec(AGREE)
    """)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.split() == ["agreed"] * 4


# `new()` makes an interpreter and `run(one, code)` runs code in it, with
# the module each version has.
INTERPRETERS = """
try:
    import _interpreters as I
    new, run = lambda: I.create(I.new_config("legacy")), I.exec
except ImportError:
    import _xxsubinterpreters as I
    new, run = I.create, I.run_string
"""


@pytest.mark.parametrize("call", ["walk_of_types(tree, (ast.Name,))", "subtree_hash(tree)"])
def test_interpreter_releases_what_it_holds_after_another_exited(call):
    # Once an interpreter has run its exit functions, a release checks that
    # the thread holds its interpreter: a sub-interpreter's thread does.
    counted = f"""
import ast, sys, quernwood
tree = ast.parse("x = y + 1")
quernwood.{call}
before = sys.getrefcount(tree) + sys.getrefcount(tree.body[0].value.left)
for _ in range(10): quernwood.{call}
print(sys.getrefcount(tree) + sys.getrefcount(tree.body[0].value.left) - before, flush=True)
"""
    r = run_fresh(INTERPRETERS + f"""
one = new()
run(one, "import quernwood")
I.destroy(one)
assert run(new(), {counted!r}) is None
exec({counted!r})
""")
    assert (r.returncode, r.stdout.split()) == (0, ["0", "0"]), r.stderr[-3000:]


def test_visit_run_by_a_getter_in_another_interpreter_frees_there():
    # A getter read by the main interpreter's visit runs a visit in another
    # interpreter on the same thread: what that visit held is freed there.
    sub = """
import ast, quernwood
try:
    from _interpreters import get_current
except ImportError:
    from _xxsubinterpreters import get_current
class Root(ast.Module):
    def __del__(self, home=get_current()): print(get_current() == home, flush=True)
quernwood.NodeVisitor().visit(Root([], []))
"""
    r = run_fresh(INTERPRETERS + f"""
import ast, quernwood
one = new()
class Node(ast.AST):
    _fields = ("kids",)
    kids = property(lambda self: run(one, {sub!r}) or [ast.Name("x")])
quernwood.NodeVisitor().visit(ast.Module([ast.Expr(Node())] * 2, []))
I.destroy(one)
print("done")
""")
    assert (r.returncode, r.stdout.split()) == (0, ["True", "True", "done"]), r.stderr[-3000:]


@pytest.mark.parametrize("how", ["reload", "import again"])
def test_each_module_object_keeps_its_own_state(how):
    class Kind(ast.expr):
        _fields = ("value",)

    node = Kind()
    node.value = ast.Name("x", ast.Load())
    tree = ast.Module(body=[ast.Expr(node)], type_ignores=[])
    quernwood.walk_of_types(tree, (Kind,))
    held = sys.getrefcount(Kind)  # one reference, by this module's state
    saved = sys.modules["quernwood"]
    try:
        if how == "reload":
            again = importlib.reload(quernwood)
            assert again is saved and again.__all__ == saved.__all__ and len(again.__all__) == 12
        else:
            del sys.modules["quernwood"]
            again = importlib.import_module("quernwood")
            assert again is not saved and again.PanicException is not saved.PanicException
            with pytest.warns(again.AbstractKindWarning):  # its own class, not the first module's
                again.walk_frontier(tree, (ast.expr,))
            assert again.walk_of_types(tree, (Kind,)) == [node]
            assert sys.getrefcount(Kind) == held + 1
            del again
            sys.modules["quernwood"] = saved
            gc.collect()  # the module and its functions form a cycle
            assert sys.getrefcount(Kind) == held
    finally:
        sys.modules["quernwood"] = saved
    assert quernwood.walk_of_types(tree, (Kind,)) == [node]


def test_classic_entry_point_makes_a_module_with_its_own_state():
    # Where the export entry point is the one imported, the classic one must
    # still agree with it about the module state.
    import ctypes
    import importlib.util

    lib = ctypes.PyDLL(quernwood.__file__)
    lib.PyInit_quernwood.restype = ctypes.c_void_p
    definition = lib.PyInit_quernwood()
    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    module_spec = importlib.util.spec_from_file_location("quernwood", quernwood.__file__)
    module = api.PyModule_FromDefAndSpec2(definition, module_spec, sys.api_version)
    assert api.PyModule_ExecDef(module, definition) == 0
    assert module.PanicException is not quernwood.PanicException
    assert module.__all__ == quernwood.__all__
    assert module._walk_count(ast.parse("a + b")) == 8
