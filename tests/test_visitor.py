"""NodeVisitor and NodeTransformer against ast's: the same calls, reads and trees."""

import ast
import os
import sys
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quernwood
from conftest import run_fresh
from strategies import plans

PAIRS = [(ast.NodeVisitor, quernwood.NodeVisitor), (ast.NodeTransformer, quernwood.NodeTransformer)]


def recorder(base):
    """A sparse visitor with some methods that descend, mutate, drop and splice."""

    class Recorder(base):
        def __init__(self, log):
            self.log = log

        def visit_FunctionDef(self, node):
            self.log.append(("def", node.name, node.lineno))
            self.generic_visit(node)
            self.log.append(("end", node.name))
            return node

        def visit_Call(self, node):
            self.log.append(("call", node.lineno, node.col_offset))
            if node.args:  # a part not yet visited changes: the change is seen
                node.args.append(ast.Name("added", ast.Load()))
            return self.generic_visit(node)

        def visit_Name(self, node):
            self.log.append(("name", node.id))
            if node.id == "self":
                return None
            return [node] if node.id.startswith("_") else node

        def visit_Expr(self, node):
            self.log.append(("expr", node.lineno))
            return None if isinstance(node.value, ast.Constant) else self.generic_visit(node)

    return Recorder


def test_corpus_agrees(stdlib_trees):
    stride = 4 if os.environ.get("QUERNWOOD_STDLIB_STRIDE", "1") == "1" else 1
    for path, _ in stdlib_trees[::stride]:
        with open(path, "rb") as f:
            source = f.read()
        for pair in PAIRS:
            results = []
            for base in pair:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    tree = ast.parse(source, path)
                log = []
                returned = recorder(base)(log).visit(tree)
                results.append((log, returned is tree, ast.dump(tree, include_attributes=True)))
            assert results[0] == results[1], (path, pair)


BEHAVIOURS = ["log", "descend", "drop", "splice", "poke", "raise", "value"]


class Stop(Exception):
    pass


def programmed(base, program, override):
    """A visitor whose methods do what `program` says for each class name."""

    def method(action):
        def visit_x(self, node):
            self.log.append((action, self.number(node)))
            if action == "descend":
                result = self.generic_visit(node)
                self.log.append(("left", self.number(result)))
                return node
            if action == "splice":
                return [node, self.keep(ast.Pass())]
            if action == "poke" and self.previous is not None:
                for value in list(vars(self.previous).values()):
                    if isinstance(value, list):
                        value.append(self.keep(ast.Name("poked", ast.Load())))
            if action == "raise":
                raise Stop(self.number(node))
            if action == "value":
                return 3
            self.previous = node
            return None if action == "drop" else node

        return visit_x

    namespace = {f"visit_{name}": method(action) for name, action in program.items()}
    namespace["number"] = lambda self, node: self.ids.setdefault(id(node), len(self.ids))
    namespace["keep"] = lambda self, node: self.made.append(node) or node
    if override:
        def visit(self, node):
            self.log.append(("visit", self.number(node)))
            return super(cls, self).visit(node)

        def generic_visit(self, node):
            self.log.append(("generic", self.number(node)))
            return super(cls, self).generic_visit(node)

        namespace[override] = {"visit": visit, "generic_visit": generic_visit}[override]
    cls = type("Programmed", (base,), namespace)
    return cls


def shape(root):
    """The structure reachable from `root`, shared nodes numbered."""
    seen = {}

    def canon(v):
        if isinstance(v, ast.AST) or type(v).__name__ == "Plain":
            if id(v) in seen:
                return ("seen", seen[id(v)])
            seen[id(v)] = len(seen)
            return (type(v).__name__, [(k, canon(x)) for k, x in vars(v).items()])
        if isinstance(v, (list, tuple)):
            return (type(v).__name__, [canon(x) for x in v])
        return repr(v)

    return canon(root)


@settings(max_examples=150, deadline=None, derandomize=True, database=None)
@given(plans(max_nodes=10), st.data())
def test_random_visitors_agree(plan, data):
    names = sorted({p.cls.__name__ for p in plan.nodes})
    program = data.draw(st.dictionaries(st.sampled_from(names), st.sampled_from(BEHAVIOURS), max_size=4))
    override = data.draw(st.sampled_from([None, None, "visit", "generic_visit"]))
    for pair in PAIRS:
        results = []
        for base in pair:
            built = plan.build()
            v = programmed(base, program, override)()
            v.log, v.ids, v.made, v.previous = [], {}, [], None
            try:
                outcome = ("ok", v.number(v.visit(built.root)))
            except Exception as e:
                outcome = ("raised", type(e), str(e))
            results.append((outcome, v.log, shape(built.root)))
        assert results[0] == results[1], (pair, program, override)


def stale_cases():
    """Each case visits, changes the visitor's class or instance, and visits again."""

    def add_method(base, log):
        class V(base):
            pass

        v, tree = V(), ast.parse("f(x)")
        v.visit(tree)
        V.visit_Name = lambda self, n: log.append(n.id)
        v.visit(tree)

    def add_to_base(base, log):
        class A(base):
            pass

        class V(A):
            pass

        V().visit(ast.parse("x"))
        A.visit_Name = lambda self, n: log.append(n.id)
        V().visit(ast.parse("y"))

    def remove_method(base, log):
        class V(base):
            def visit_Name(self, n):
                log.append(n.id)

        V().visit(ast.parse("x"))
        del V.visit_Name
        V().visit(ast.parse("y"))

    def instance_method(base, log):
        class V(base):
            pass

        v = V()
        v.visit(ast.parse("x"))
        v.visit_Name = lambda n: log.append(n.id)
        v.visit(ast.parse("y + z"))
        del v.visit_Name
        v.visit(ast.parse("w"))

    def added_while_visiting(base, log):
        class V(base):
            def visit_Call(self, n):
                V.visit_Name = lambda self, n: log.append(n.id)
                self.generic_visit(n)

        V().visit(ast.parse("a + f(b)[c]"))

    def getattr_hook(base, log):
        class V(base):
            def __getattr__(self, name):
                log.append(name)
                if name == "visit_Constant":
                    return lambda n: log.append(n.value)
                raise AttributeError(name)

        V().visit(ast.parse("x = 1"))

    def getattribute_hook(base, log):
        class V(base):
            def __getattribute__(self, name):
                log.append(name)
                return super().__getattribute__(name)

        V().visit(ast.parse("x = f(1)"))

    def override_later(base, log):
        class V(base):
            pass

        V().visit(ast.parse("x"))
        V.visit = lambda self, n: log.append(type(n).__name__) or base.visit(self, n)
        V.generic_visit = lambda self, n: log.append("g") or base.generic_visit(self, n)
        V().visit(ast.parse("x"))

    def instance_visit(base, log):
        class V(base):
            def visit_Name(self, n):
                self.visit = lambda n: log.append(("own", type(n).__name__))
                self.generic_visit = lambda n: log.append(("gen", type(n).__name__))

        V().visit(ast.parse("a + b - c"))

    def renamed_class(base, log):
        class Leaf(ast.Name):
            pass

        class V(base):
            def visit_Leaf(self, n):
                log.append("leaf")

            def visit_Other(self, n):
                log.append("other")

        tree = ast.Module([ast.Expr(Leaf("x"))], [])
        V().visit(tree)
        Leaf.__name__ = "Other"
        V().visit(tree)

    def slots_and_args(base, log):
        class V(base):
            __slots__ = ("seen",)

            def __init__(self, seen):
                self.seen = seen

            def visit_Name(self, n):
                self.seen.append(n.id)

        V(log).visit(ast.parse("a(b)"))

    def property_method(base, log):
        class V(base):
            @property
            def visit_Name(self):
                log.append("read")
                raise AttributeError("visit_Name")

        V().visit(ast.parse("a"))

    return [add_method, add_to_base, remove_method, instance_method, added_while_visiting, getattr_hook,
            getattribute_hook, override_later, instance_visit, renamed_class, slots_and_args, property_method]


@pytest.mark.parametrize("case", stale_cases(), ids=lambda c: c.__name__)
@pytest.mark.parametrize("pair", PAIRS, ids=["visitor", "transformer"])
def test_changed_visitors_agree(case, pair):
    logs = []
    for base in pair:
        log = []
        case(base, log)
        logs.append(log)
    assert logs[0] == logs[1] and logs[0]


def test_deep_trees_and_errors():
    deep = ast.Name("x", ast.Load())
    for _ in range(200_000):
        deep = ast.UnaryOp(ast.Not(), deep)

    class Stopper(quernwood.NodeTransformer):
        def visit_Name(self, node):
            raise Stop

    with pytest.raises(Stop):
        Stopper().visit(deep)
    assert quernwood.NodeVisitor().visit(deep) is None
    assert quernwood.NodeTransformer().visit(deep) is deep


SWAPPED_SUITE = """
import ast, sys, unittest, quernwood
ast.NodeVisitor, ast.NodeTransformer = quernwood.NodeVisitor, quernwood.NodeTransformer
try:
    from test.test_ast import test_ast as suite
except ImportError:
    from test import test_ast as suite
names = [n for n in ("NodeVisitorTests", "NodeTransformerTests") if hasattr(suite, n)]
assert names and all(issubclass(getattr(suite, n).visitor_class if hasattr(getattr(suite, n), "visitor_class")
                                else quernwood.NodeVisitor, quernwood.NodeVisitor) for n in names)
tests = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(getattr(suite, n)) for n in names)
result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(tests)
assert result.testsRun > 0
print("RAN", result.testsRun)
sys.exit(not result.wasSuccessful())
"""

UNPARSE_SWAPPED = """
import ast, os, sys, quernwood, warnings
# The unparser's module (ast itself before 3.14), compiled again on our base class.
try:
    import _ast_unparse as home
    base_line, cls_name = "class Unparser(NodeVisitor):", "Unparser"
except ImportError:
    home, base_line, cls_name = ast, "class _Unparser(NodeVisitor):", "_Unparser"
source = open(home.__file__).read()
assert base_line in source
mine = {"__name__": "swapped", "_QW_NodeVisitor": quernwood.NodeVisitor}
exec(compile(source.replace(base_line, base_line.replace("NodeVisitor", "_QW_NodeVisitor")), home.__file__, "exec"), mine)
assert issubclass(mine[cls_name], quernwood.NodeVisitor)
root = os.path.dirname(ast.__file__)
files = sorted(f for f in os.listdir(root) if f.endswith(".py"))[::int(sys.argv[1])]
for name in files:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tree = ast.parse(open(os.path.join(root, name), "rb").read())
    assert mine[cls_name]().visit(tree) == ast.unparse(tree), name
print("UNPARSED", len(files))
"""


def test_cpython_visitor_tests_pass_with_ours():
    out = run_fresh(SWAPPED_SUITE)
    if "No module named 'test.test_ast'" in out.stderr or "No module named 'test'" in out.stderr:
        pytest.skip("CPython's test suite is not installed")
    assert out.returncode == 0 and "RAN" in out.stdout, out.stdout + out.stderr


def test_unparse_on_our_base_class_agrees():
    stride = os.environ.get("QUERNWOOD_STDLIB_STRIDE", "1")
    out = subprocess_run(UNPARSE_SWAPPED, stride)
    assert out.returncode == 0 and "UNPARSED" in out.stdout, out.stdout + out.stderr


def subprocess_run(code, *args):
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, env=env,
                          timeout=600)
