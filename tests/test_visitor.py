"""NodeVisitor and NodeTransformer against ast's: the same calls, reads and trees."""

import ast
import bisect
import copy
import gc
import os
import platform
import sys
import threading
import traceback
import warnings
import weakref

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quernwood
from conftest import STDLIB_STRIDE, examples, run_fresh
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
    # Every fourth module of the sample: a strided run checks fewer, never more.
    for path, _ in stdlib_trees[::4]:
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


sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import cases_visitor  # noqa: E402


@pytest.mark.parametrize("make, kind", [(cases_visitor.sparse, "NodeVisitor"), (cases_visitor.linter, "NodeVisitor"),
                                        (cases_visitor.every_class, "NodeVisitor"),
                                        (cases_visitor.sparse_transformer, "NodeTransformer")])
def test_bench_visitors_do_the_same_work_on_either_base(stdlib_trees, make, kind):
    # A speed-up is measured between runs that must end alike.
    for path, _ in stdlib_trees[::60]:
        ends = []
        for base in (getattr(ast, kind), getattr(quernwood, kind)):
            with open(path, "rb") as f, warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(f.read(), path)
            passes = [n for n in ast.walk(tree) if isinstance(n, ast.Pass)]
            visitor = make(base)()
            visitor.visit(tree)
            # A replaced node dumps as its original did: count the originals left.
            kept = {id(n) for n in ast.walk(tree)}
            ends.append((vars(visitor), ast.dump(tree, include_attributes=True),
                         sum(id(n) in kept for n in passes)))
        assert ends[0] == ends[1], path
        # The floor they are measured against makes the same method calls.
        if kind == "NodeVisitor":
            assert vars(cases_visitor.floor(make)(tree)) == ends[0][0], path


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


# Drawing a plan takes seconds under qemu-user or on a loaded machine: the
# speed health check would fail the run by chance.
@settings(max_examples=examples(150), deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
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
    P = ast.parse
    sub = lambda base, **ns: type("V", (base,), ns)  # noqa: E731

    def add_method(base, log):
        V = sub(base)
        V().visit(P("f(x)")), setattr(V, "visit_Name", lambda self, n: log.append(n.id)), V().visit(P("f(y)"))

    def add_to_base(base, log):
        A = sub(base)
        V = sub(A)
        V().visit(P("x")), setattr(A, "visit_Name", lambda self, n: log.append(n.id)), V().visit(P("y"))

    def remove_method(base, log):
        V = sub(base, visit_Name=lambda self, n: log.append(n.id))
        V().visit(P("x")), delattr(V, "visit_Name"), V().visit(P("y"))

    def instance_method(base, log):
        v = sub(base)()
        v.visit(P("x")), setattr(v, "visit_Name", lambda n: log.append(n.id)), v.visit(P("y + z"))
        del v.visit_Name
        v.visit(P("w"))
        vars(v)[0] = "a key that is not a str, before the method"
        v.visit_Name = lambda n: log.append(n.id)
        v.visit(P("u"))

    def added_while_visiting(base, log):
        def visit_Call(self, n):
            V.visit_Name = lambda self, n: log.append(n.id)
            self.generic_visit(n)

        V = sub(base, visit_Call=visit_Call)
        V().visit(P("a + f(b)[c]"))

    def instance_method_while_visiting(base, log):
        # Given to the instance, whose attributes may live in the object with no dict.
        def visit_Call(self, n):
            self.visit_Attribute = lambda n: log.append(("own", n.attr))
            self.generic_visit(n)

        sub(base, visit_Call=visit_Call, visit_Attribute=lambda self, n: log.append(n.attr))().visit(
            P("a.x + f(b.y) + c.z"))

    def dict_swapped_while_visiting(base, log):
        # The instance's names from a dict given to it, then from none.
        def visit_Call(self, n):
            if n.func.id == "f":
                self.__dict__ = {"visit_Name": lambda n: log.append(("own", n.id))}
            else:
                del self.__dict__
            self.generic_visit(n)

        sub(base, visit_Call=visit_Call, visit_Name=lambda self, n: log.append(n.id))().visit(P("a + f(b) + c + g(d) + e"))

    def fields_item_finalizer(base, log):
        # _fields holds one str twice and only the descent holds the tuple:
        # the str's finalizer gives the instance a method the next Name must find.
        class S(str):
            def __del__(self):
                v.__dict__.setdefault("visit_Name", lambda n: log.append(("own", n.id)))

        N = type("N", (ast.AST,), {"_fields": property(lambda self: (lambda s: (s, s))(S("x")))})
        n = N.__new__(N)
        n.x = ast.Constant(1)
        v = sub(base, visit_Name=lambda self, n: log.append(n.id))()
        v.visit(ast.Module([n, ast.Name("a"), ast.Name("b")], []))

    def stepped_by_collections(base, log):
        # Collections all through a deep visit (3.11 collects inside
        # allocations) step every descent on the stack: each is refused,
        # and the visit goes on as ast's does.
        def step_all(phase, info):
            frame = sys._getframe(1)
            while frame:
                if frame.f_code.co_filename == "<quernwood>" and "calls" in frame.f_locals:
                    try:
                        next(frame.f_locals["calls"])
                    except (ValueError, StopIteration):
                        pass
                frame = frame.f_back

        V = sub(base, visit_Call=lambda self, n: self.generic_visit(n), visit_Name=lambda self, n: log.append(n.id))
        old = gc.get_threshold()
        gc.callbacks.append(step_all)
        gc.set_threshold(1)
        try:
            V().visit(P("f(" * 40 + "g(x, y)" + ")" * 40))
        finally:
            gc.set_threshold(*old)
            gc.callbacks.remove(step_all)

    def read_once_below_visitor_descent(base, log):
        # NodeVisitor.generic_visit on a transformer reads generic_visit once per child, as ast's visit.
        getattribute = lambda self, name: log.append(name) or object.__getattribute__(self, name)  # noqa: E731
        base.__mro__[-2].generic_visit(sub(base, __getattribute__=getattribute)(), P("f(a)"))

    def interrupted_then_visited_again(base, log):
        # A KeyboardInterrupt from a method leaves nothing behind for the next visit.
        def visit_Name(self, n):
            log.append(n.id)
            if n.id == "b":
                raise KeyboardInterrupt

        v = sub(base, visit_Name=visit_Name, visit_Call=lambda self, n: self.generic_visit(n))()
        for text in ("f(a, g(b, h(c)))", "d + e(b)", "f(" * 40 + "b" + ")" * 40 + " + z"):  # the last: the loop's call
            try:
                log.append(v.visit(P(text)) is None)
            except KeyboardInterrupt:
                log.append("interrupted")

    def nested_past_spares(base, log):
        # More descents alive at once than a thread keeps memory for, and the
        # class given a method at the bottom, which all of them must see.
        def visit_Call(self, n):
            if not n.args:
                V.visit_Name = lambda self, n: log.append(n.id)
            self.generic_visit(n)

        V = sub(base, visit_Call=visit_Call, visit_Constant=lambda self, n: log.append(n.value))
        V().visit(P("f(1, " * 12 + "g()" + ", x)" * 12 + " + z"))

    def getattr_hook(base, log):
        def __getattr__(self, name):
            log.append(name)
            if name == "visit_Constant":
                return lambda n: log.append(n.value)
            raise AttributeError(name)

        sub(base, __getattr__=__getattr__)().visit(P("x = 1"))

    def getattribute_hook(base, log):
        sub(base, __getattribute__=lambda self, name: log.append(name) or object.__getattribute__(self, name))().visit(
            P("x = f(1)"))

    def override_later(base, log):
        V = sub(base)
        V().visit(P("x"))
        V.visit = lambda self, n: log.append(type(n).__name__) or base.visit(self, n)
        V.generic_visit = lambda self, n: log.append("g") or base.generic_visit(self, n)
        V().visit(P("x"))

    def instance_visit(base, log):
        def visit_Name(self, n):
            self.visit = lambda n: log.append(("own", type(n).__name__))
            self.generic_visit = lambda n: log.append(("gen", type(n).__name__))

        sub(base, visit_Name=visit_Name)().visit(P("a + b - c"))

    def renamed_class(base, log):
        Leaf = type("Leaf", (ast.Name,), {})
        V = sub(base, visit_Leaf=lambda self, n: log.append("leaf"), visit_Other=lambda self, n: log.append("other"))
        tree = ast.Module([ast.Expr(Leaf("x"))], [])
        V().visit(tree)
        Leaf.__name__ = "Other"
        V().visit(tree)

    def slots_and_args(base, log):
        V = sub(base, __slots__=("seen",), __init__=lambda self, seen: setattr(self, "seen", seen),
                visit_Name=lambda self, n: self.seen.append(n.id))
        V(log).visit(P("a(b)"))

    def property_method(base, log):
        def visit_Name(self):
            log.append("read")
            self.visit_Constant = lambda n: log.append(n.value)
            raise AttributeError("visit_Name")

        sub(base, visit_Name=property(visit_Name))().visit(P("(1, a, 2)"))

    def freed_node(name, put):
        # A node that the descent itself frees gives the visitor a method in its finalizer.
        def case(base, log):
            class Dying(ast.expr):
                _fields = ("value", "ctx")

                def __init__(self, value):  # no field checks: it is not ast's
                    self.value, self.ctx = value, ast.Load()

                def __del__(self):
                    v.visit_Name = lambda n: log.append(n.id)

            def visit_Constant(self, n):  # replaces the node being descended
                put(tree, Dying(None))

            tree = P("[-z, -y]\nb")
            put(tree, Dying(ast.Constant(0)))
            v = sub(base, visit_Constant=visit_Constant)()
            v.visit(tree)
            log.append(shape(tree))
        case.__name__ = name
        return case

    def foreign_key(base, log):
        # Looking a field up in a node's dict calls this key's __eq__, which
        # takes the class's attributes away (then frees and reuses them).
        class Node(ast.AST):
            _fields, y = tuple(["x", "y"]), ast.Name("y")

        class Key:
            __init__ = lambda self, name: setattr(self, "name", name)  # noqa: E731
            __hash__ = lambda self: hash(self.name)  # noqa: E731

            def __eq__(self, other):
                if self.name in vars(Node):
                    delattr(Node, self.name)
                    log.extend(tuple([i, str(i)]) for i in range(100))
                return False

        for name in "_fields", "y":
            node = Node()
            vars(node).update({"x": ast.Name("x"), Key(name): 0})
            Node._fields, Node.y = tuple(["x", "y"]), ast.Name("y")
            sub(base, visit_Name=lambda self, n: log.append(n.id) or n)().visit(ast.Expr(node))
            log.append(sorted(vars(Node)))

    def deprecated_constant(base, log):
        # Before 3.14 visit_Constant falls back to these, with a warning from its caller's line.
        V = sub(base, visit_Num=lambda self, n: log.append(n.value), visit_Str=lambda self, n: log.append(n.value))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            V().visit(P("1; 'a'; b'x'"))
            if hasattr(V, "visit_Constant"):
                V().visit_Constant(ast.Constant(2))
        log.append([(str(w.message), w.category, w.filename, w.lineno) for w in caught])
        real, ast.NodeVisitor = ast.NodeVisitor, quernwood.NodeVisitor  # swapped, as tools swap them
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                V().visit(P("1"))
        finally:
            ast.NodeVisitor = real
        log.append([w.lineno > 0 for w in caught])

    def recursion_error_unchained(base, log):
        # A recursive visitor that runs out of recursion, wherever: one RecursionError.
        tree = ast.Name("a", ast.Load())
        for _ in range(1200):
            tree = ast.UnaryOp(ast.Not(), tree)
        old = sys.getrecursionlimit()
        for limit in range(1000, 1006):
            sys.setrecursionlimit(limit)
            try:
                sub(base, visit_UnaryOp=lambda self, n: self.visit(n.operand))().visit(tree)
            except RecursionError as e:
                log.append(e.__context__ is None)
            finally:
                sys.setrecursionlimit(old)

    freed_item = freed_node("freed_item", lambda tree, n: tree.body[0].value.elts.__setitem__(0, n))
    freed_operand = freed_node("freed_operand", lambda tree, n: setattr(tree.body[0].value.elts[0], "operand", n))

    def dropped_results(base, log):
        # What the descent drops is freed by the time visit returns; a result
        # that generic_visit drops, before it reads on (here a __class__ getter).
        R = type("R", (), {"__del__": lambda self: log.append("freed")})
        sub(base, visit_Name=lambda self, n: R())().visit(P("a + b - c"))
        log.append("returned")
        Odd = type("Odd", (), {"__class__": property(lambda self: log.append("read") or Odd)})
        tree = ast.Module(body=[ast.Expr(ast.Name("a", ast.Load())), Odd()], type_ignores=[])
        sub(base, visit_Module=lambda self, n: self.generic_visit(n), visit_Name=lambda self, n: R())().visit(tree)

    def class_dict_written_directly(base, log):
        # A key that is no str, put in the class's dict past type.__setattr__:
        # the class keeps its version tag, and looking visit_Attribute up runs
        # the key's __eq__, which frees the statements being visited.
        V = sub(base, visit_Name=lambda self, n: log.append(n.id))
        sub(base)().visit(P("a.b"))  # the facts of Attribute known on the thread
        v = V()
        v.visit_Other = None  # a visit_ name in the instance: roads found again after code ran
        v.visit(P("a"))
        tree = P("b.x\nc.y")
        Key = type("Key", (), {"__hash__": lambda self: hash("visit_Attribute"),
                               "__eq__": lambda self, other: tree.body.clear()})
        gc.get_referents(V.__dict__)[0][Key()] = None
        v.visit(tree)

    def builtin_method_profiled(base, log):
        # A method that is built in is called where a profiler sees the call.
        names, v = [], sub(base)()
        v.visit_Name = names.append
        sys.setprofile(lambda frame, event, arg: event == "c_call" and arg == names.append and log.append(event))
        try:
            v.visit(P("a + b"))
        finally:
            sys.setprofile(None)
        log.append(len(names))

    def stepping_the_running_descent(base, log):
        # A method steps the descent that called it, found in its caller's
        # frame, itself or from a thread: refused, whether the descent made
        # the call (near the top) or the Python loop did (below 32 steps).
        def visit_Name(self, n):
            frame, refused = sys._getframe(1), []

            def step():
                try:
                    next(frame.f_locals.get("calls", iter(())))
                except (ValueError, StopIteration) as e:
                    ours = "calls" in frame.f_locals
                    refused.append(str(e) == "the visitor's descent is already running" if ours else str(e) == "")

            step()
            thread = threading.Thread(target=step)  # or from another thread
            thread.start(), thread.join()
            log.append((n.id, refused))

        deep = ast.Name("b", ast.Load())
        for _ in range(40):
            deep = ast.UnaryOp(ast.Not(), deep)
        V = sub(base, visit_Name=visit_Name, visit_UnaryOp=lambda self, n: self.generic_visit(n))
        V().visit(ast.Module([ast.Expr(ast.Name("a", ast.Load())), ast.Expr(deep), ast.Expr(ast.Name("c"))], []))

    def passed_over_values(base, log):
        # Values the descent reads and passes over are freed as it goes.
        alive, most = [], []
        Big = type("Big", (), {"__init__": lambda self: alive.append(0) or most.append(len(alive)),
                               "__del__": lambda self: alive.pop()})
        Many = type("Many", (list,), {"__iter__": lambda self: (Big() for _ in range(100))})
        Node = type("Node", (ast.AST,), {"_fields": ("items",) + ("value",) * 100, "value": property(lambda n: Big())})
        node = Node.__new__(Node)
        node.items = Many()
        sub(base)().visit(node)
        log.append(max(most) < 10)

    def slots_subclass(base, log):
        # The base gives __dict__ and weak references, so a __slots__ subclass has them too.
        V = sub(base, __slots__=("names",), visit_Name=lambda self, n: self.names.append(n.id))
        v = V()
        v.names, v.other = log, 1
        v.visit(P("a"))
        log.append((weakref.ref(v)() is v, vars(v), copy.copy(v).other))

    def setter_field(base, log):
        # Writing a descended child back through a class attribute with __set__ alone runs code.
        class Hook:
            def __set__(self, node, value):
                vars(node)["value"] = value
                v.visit_Name = lambda n: log.append(n.id) or n

        Node = type("Node", (ast.AST,), {"_fields": ("value", "other"), "value": Hook()})
        node = Node.__new__(Node)
        vars(node).update(value=ast.Not(), other=ast.Name("b"))
        v = sub(base)()
        v.visit(ast.Expr(node))
        log.append("visited")

    def visitor_descent_of_transformer(base, log):
        # NodeVisitor.generic_visit drops what it gets; the levels below, a transformer's own, keep theirs.
        V = sub(base, visit_Name=lambda self, n: ast.Name(n.id.upper()))
        tree = P("f(a, [b])\nx = y")
        base.__mro__[-2].generic_visit(V(), tree)
        log.append(ast.dump(tree))

    def facts_shared_between_visitors(base, log):
        # What one visitor's class was found to do must not answer for another
        # instance, class or later version of it.
        A, B = sub(base, visit_Name=lambda self, n: log.append(("A", n.id))), sub(base)
        for v in (A(), B(), B(), A()):
            v.visit(P("x + y"))
        v = B()
        v.visit_Name = lambda n: log.append(("own", n.id))
        v.visit(P("z")), B().visit(P("w")), setattr(B, "visit_Name", A.visit_Name), B().visit(P("u"))

    def equal_copy_keys(base, log):
        # A field, or _fields itself, under a key that equals the name without being it.
        copy_of = lambda text: "".join([text[:2], text[2:]])  # noqa: E731
        node, other = ast.Expr(None), ast.Expr(None)
        vars(node).clear(), vars(other).clear()
        vars(node)[copy_of("value")] = ast.Name("kept")
        vars(other).update({copy_of("_fields"): ("spare",), "value": ast.Name("hidden"), "spare": ast.Name("spare")})
        sub(base, visit_Name=lambda self, n: log.append(n.id) or n)().visit(ast.Module([node, other], []))

    def untagged_class(base, log):
        # A class read and changed past its versions (3.13+ then gives it no tag) is changed once more.
        V = sub(base)
        for i in range(1100):
            V.count = getattr(V, "count", 0) + 1
        V().visit(P("f(x)")), setattr(V, "visit_Call", lambda self, n: log.append("call")), V().visit(P("f(y)"))

    def odd_keys(base, log):
        # A visitor dict keyed by a str subclass; a node dict past the scanned size with deleted entries.
        v = sub(base)()
        v.visit(P("a")), vars(v).__setitem__(type("S", (str,), {})("visit_Name"), lambda n: log.append(n.id))
        tree = P("b + c")
        extra = vars(tree.body[0].value)
        extra.update({f"x{k}": k for k in range(20)}, _fields=("right",))
        for k in range(19):
            del extra[f"x{k}"]
        v.visit(tree), extra.pop("_fields"), v.visit(tree)

    def walked_layouts(base, log):
        # Node dicts off the parser's layout among ordinary ones, visited twice
        # (the second time with every class known), then a list the
        # transformer rebuilds around a dropped item.
        tree = P("a + b\nc + d\n[1, [e, 2], f(g), h]\nk = (m, n)\np * q")
        vars(tree.body[0].value)["_fields"] = ("op", "right")
        reordered = tree.body[1].value
        tree.body[1].value = ast.BinOp(right=reordered.right, op=ast.Sub(), left=reordered.left)
        del tree.body[4].value.right
        tree.body[3].value.elts = type("L", (list,), {})(tree.body[3].value.elts)
        tree.body.append(ast.Expr(ast.Constant(frozenset({1}))))
        V = sub(base, visit_Name=lambda self, n: log.append(n.id) or (None if n.id == "e" else n))
        V().visit(tree), V().visit(tree), log.append(ast.dump(tree))

    def many_classes(base, log):
        # More node classes than the class facts keep: met in turn, evicted, met again.
        names = [type(f"N{i}", (ast.Name,), {})(f"n{i}", ast.Load()) for i in range(2500)]
        V = sub(base, visit_N7=lambda self, n: log.append(n.id), visit_Load=lambda self, n: log.append("load"))
        tree = ast.Module([ast.Expr(ast.List(names, ast.Load()))], [])
        V().visit(tree), V().visit(tree)

    def transformer_descent_of_visitor(base, log):
        # NodeTransformer.generic_visit takes None from the NodeVisitor descents below it: the children go.
        mod = sys.modules[base.__module__]
        for _ in range(2):  # the second time with every class known
            tree = P("f(a, [b])\nx = y + 1")
            mod.NodeTransformer.generic_visit(sub(mod.NodeVisitor)(), tree)
            log.append(ast.dump(tree))

    def colliding_keys(base, log):
        # A key of the visitor's dict, then of its class's, hashing like a method
        # name: looking the name up calls its __eq__, which empties the tree.
        class Key(str):
            __hash__ = lambda self: hash("visit_Expr")  # noqa: E731

            def __eq__(self, other):
                if tree.body:
                    log.append("cleared"), tree.body.clear()
                return False

        for on_class in (False, True, True):
            sub(base)().visit(P("z"))  # the node classes known, their roads another class's
            V = type("V", (base,), {"visit_Name": lambda self, n: log.append(n.id), **({Key("k"): 0} if on_class else {})})
            v, tree = V(), P("a\nb")
            vars(v).update({} if on_class else {Key("k"): 0})
            v.visit(tree)

    return [class_dict_written_directly, builtin_method_profiled, stepping_the_running_descent, transformer_descent_of_visitor, colliding_keys, walked_layouts, many_classes, untagged_class, odd_keys, facts_shared_between_visitors, equal_copy_keys, visitor_descent_of_transformer, slots_subclass, setter_field, dropped_results, add_method, add_to_base, remove_method, instance_method, added_while_visiting,
            instance_method_while_visiting, dict_swapped_while_visiting, fields_item_finalizer,
            read_once_below_visitor_descent, stepped_by_collections, recursion_error_unchained, interrupted_then_visited_again, nested_past_spares,
            getattr_hook, getattribute_hook, override_later, instance_visit, renamed_class, slots_and_args,
            property_method, freed_item, freed_operand, foreign_key, deprecated_constant, passed_over_values]


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
    mod = ast.parse("x + y")
    mod.body[0].value.right = mod
    for base in (quernwood.NodeVisitor, quernwood.NodeTransformer):
        with pytest.raises(RecursionError, match="cycle"):
            base().visit(mod)
    mod.body[0].value.right = None  # the collector need not free the cycle


NESTED_DEEP = """
import ast, sys, quernwood
class V(quernwood.NodeTransformer):
    def generic_visit(self, node):  # one C call per level, under a raised recursion limit
        return super().generic_visit(node)
deep = ast.Name("x")
for _ in range(20_000):
    deep = ast.UnaryOp(ast.Not(), deep)
sys.setrecursionlimit(10**6)
try:
    print(V().visit(deep) is deep)
except RecursionError:
    print("RecursionError")
"""


def test_nested_calls_never_overflow_the_c_stack():
    out = run_fresh(NESTED_DEEP)
    assert out.returncode == 0 and out.stdout.strip() in ("True", "RecursionError"), out.stderr[-2000:]


DEPTH = """
import ast, sys, threading, quernwood

class Getter(ast.AST):  # a field read that visits again: C frames nest per level
    _fields = ("child",)
    child = property(lambda self: self.depth and quernwood.NodeVisitor().visit(Getter(self.depth - 1)))
    __init__ = lambda self, depth: setattr(self, "depth", depth)  # noqa: E731

KEPT = []

def depth_reached(base, levels):
    class V(base):
        count = 0
        def visit_UnaryOp(self, node):
            self.count += 1
            return self.generic_visit(node)
    tree = ast.Name("x", ast.Load())
    for _ in range(levels):
        tree = ast.UnaryOp(ast.Not(), tree)
    KEPT.append(tree)  # for the main thread to free: 3.13.0 frees nested nodes recursively
    v = V()
    try:
        v.visit(tree)
    except RecursionError:
        pass
    return v.count

def run():
    sys.setrecursionlimit(LIMIT)
    if LEVELS:
        print([depth_reached(base, LEVELS) for base in BASES])
        return
    try:
        quernwood.NodeVisitor().visit(Getter(100_000))
    except RecursionError:
        pass
    print("survived")

threading.stack_size(STACK or 0)
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


@pytest.mark.parametrize("bases", ["NodeVisitor", "NodeTransformer"])
@pytest.mark.parametrize("stack_kib, levels, limit", [
    (256, 3000, 10_000),    # a thread with a small stack
    pytest.param(32, 200, 1000, marks=pytest.mark.skipif(sys.version_info >= (3, 14), reason="no 32 KiB threads")),
    (None, 8000, 200_000),  # a raised limit, the thread's own stack
    (None, 2000, 1000),     # the default limit: ast stops first
    (None, 300, 150),       # a low limit: calls made from the descent itself must not use it up
    (256, 0, 10**6),        # C nesting: bounded by the stack left, never a crash
])
def test_recursive_visitors_reach_ast_depth(bases, stack_kib, levels, limit):
    code = DEPTH.replace("BASES", f"(ast.{bases}, quernwood.{bases})").replace("LEVELS", str(levels))
    out = run_fresh(code.replace("LIMIT", str(limit)).replace("STACK", str(stack_kib and stack_kib * 1024)))
    assert out.returncode == 0, out.stderr[-2000:]
    if not levels:
        assert out.stdout.strip() == "survived"
        return
    theirs, ours = eval(out.stdout)
    assert ours >= theirs and ours >= min(levels, limit // 4), (theirs, ours)


def reprs(depth):
    x = []
    for _ in range(depth):
        x = [x]
    try:
        return bool(repr(x))
    except RecursionError:
        return False


@pytest.mark.skipif(sys.version_info >= (3, 14), reason="C recursion is bounded by the stack, whose 32nd the descent may take")
@pytest.mark.parametrize("levels", [1, 8, 40])
def test_methods_recurse_as_deep_as_under_ast(levels):
    # A method recursing in C itself (repr of nested lists), this many levels
    # down a recursive visitor, has the recursion counts it has under ast's.
    def deepest(base):
        tree, found = ast.Name("x", ast.Load()), []
        for _ in range(levels):
            tree = ast.UnaryOp(ast.Not(), tree)
        first_failing = lambda s, n: found.append(bisect.bisect(range(10**5), False, key=lambda d: not reprs(d)))  # noqa: E731
        type("V", (base,), {"visit_Name": first_failing, "visit_UnaryOp": lambda s, n: s.generic_visit(n)})().visit(tree)
        return found[0]

    assert deepest(quernwood.NodeVisitor) >= deepest(ast.NodeVisitor)


COROUTINE_STACK = """
import ast, ctypes, quernwood
libc = ctypes.CDLL(None)
back, there, stack = (ctypes.create_string_buffer(n) for n in (2048, 2048, 1 << 20))
names = []
V = type("V", (quernwood.NodeVisitor,), {"visit_Name": lambda self, node: names.append(node.id)})
run = ctypes.CFUNCTYPE(None)(lambda: V().visit(ast.parse("a + b")))
libc.getcontext(there)
for offset, value in ((8, ctypes.addressof(back)), (16, ctypes.addressof(stack)), (32, len(stack))):
    ctypes.c_size_t.from_buffer(there, offset).value = value  # uc_link, uc_stack.ss_sp, uc_stack.ss_size
libc.makecontext(there, run, 0)
libc.swapcontext(back, there)
print(names)
"""


@pytest.mark.skipif(platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc", reason="glibc's x86-64 ucontext")
def test_visit_on_a_coroutine_stack():
    # A coroutine library's stack lies outside the thread's bounds, which then tell nothing about its room.
    out = run_fresh(COROUTINE_STACK)
    assert (out.returncode, out.stdout.strip()) == (0, "['a', 'b']"), out.stderr[-2000:]


@pytest.mark.parametrize("depth", [0, 40], ids=["call-made-by-descent", "call-made-by-loop"])
@pytest.mark.parametrize("in_thread", [True, False], ids=["ended-thread", "same-thread"])
def test_descent_left_by_an_ended_thread_finishes_on_another(depth, in_thread):
    # A traceback keeps a half-done visit; it is finished from another frame,
    # after the thread that ran it and its caches are gone (the sanitizer
    # sees a stale read) or on the same thread.
    class V(quernwood.NodeVisitor):
        def visit_Name(self, node):
            names.append(node.id)
            if len(names) == 1:
                raise Stop

        def visit_UnaryOp(self, node):
            self.generic_visit(node)

    def run():
        tree = ast.parse("a + b(c)").body[0]
        for _ in range(depth):
            tree = ast.UnaryOp(ast.Not(), tree)
        try:
            V().visit(ast.Module([tree], []))
        except Stop as e:
            caught.append(e.__traceback__)

    names, caught = [], []
    if in_thread:
        thread = threading.Thread(target=run)
        thread.start(), thread.join()
    else:
        run()
    # The innermost descent, whose loop made the call that raised
    *_, descent = (v for frame, _ in traceback.walk_tb(caught[0]) for v in frame.f_locals.values()
                   if type(v).__name__ == "_Descent")
    for call in descent:
        assert hash(call) == hash(tuple(list(call)))  # a call tuple filled again hashes anew
        callee, *args = call
        del call
        callee(*[a for a in args if a is not None])
    assert names == ["a", "b", "c"]


SWAPPED_SUITE = """
import ast, sys, unittest, quernwood
ast.NodeVisitor, ast.NodeTransformer = quernwood.NodeVisitor, quernwood.NodeTransformer
try:
    from test.test_ast import test_ast as suite
except ImportError:
    from test import test_ast as suite
loader = unittest.defaultTestLoader
tests = unittest.TestSuite(loader.loadTestsFromTestCase(getattr(suite, n))
                           for n in ("NodeVisitorTests", "NodeTransformerTests") if hasattr(suite, n))
result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(tests)
print("RAN", result.testsRun)
sys.exit(not result.wasSuccessful() or not result.testsRun)
"""


def test_cpython_visitor_tests_pass_with_ours():
    out = run_fresh(SWAPPED_SUITE)
    if "No module named 'test.test_ast'" in out.stderr or "No module named 'test'" in out.stderr:
        pytest.skip("CPython's test suite is not installed")
    assert out.returncode == 0 and "RAN" in out.stdout, out.stdout + out.stderr


UNPARSE_SWAPPED = """
import ast, os, sysconfig, quernwood, warnings
# The unparser's module (ast itself before 3.14), compiled again on our base class,
# in a process of its own: running ast's source again redefines some of its properties.
try:
    import _ast_unparse as home
    line, name = "class Unparser(NodeVisitor):", "Unparser"
except ImportError:
    home, line, name = ast, "class _Unparser(NodeVisitor):", "_Unparser"
source = open(home.__file__).read()
assert line in source
mine = {"__name__": "swapped", "Ours": quernwood.NodeVisitor}
exec(compile(source.replace(line, line.replace("NodeVisitor", "Ours")), home.__file__, "exec"), mine)
assert issubclass(mine[name], quernwood.NodeVisitor)
root = sysconfig.get_paths()["stdlib"]
files = sorted(f for f in os.listdir(root) if f.endswith(".py"))[::STRIDE]
warnings.simplefilter("ignore")
for f in files:
    tree = ast.parse(open(os.path.join(root, f), "rb").read())
    assert mine[name]().visit(tree) == ast.unparse(tree), f
print("UNPARSED", len(files))
"""


def test_unparse_on_our_base_class_agrees():
    out = run_fresh(UNPARSE_SWAPPED.replace("STRIDE", str(STDLIB_STRIDE)))
    assert out.returncode == 0 and "UNPARSED" in out.stdout, out.stdout + out.stderr
