import ast

import pytest

import quernwood

FRONTIER = quernwood.walk_frontier
EDGES = quernwood.walk_frontier_edges
OF_TYPES = quernwood.walk_of_types
EVENTS = quernwood.walk_frontier_events


class Pair(ast.expr):
    _fields = ("a", "b")


class Holder(ast.expr):
    _fields = ("items",)


class SubName(ast.Name):
    pass


class RaisesValue(ast.expr):
    _fields = ("first", "bad")

    @property
    def bad(self):
        raise ValueError("bad field")


class MissingAttr(AttributeError):
    pass


class RaisesMissing(ast.expr):
    _fields = ("bad", "first")

    @property
    def bad(self):
        raise MissingAttr("not here")


class ListFields(ast.expr):
    _fields = ["a"]


class OddFields(ast.expr):
    _fields = (1, "a", None, "b")


class KindsTuple(tuple):
    pass


def ids(nodes):
    return [id(n) for n in nodes]


# Pure-Python references, built on ast.iter_fields with explicit stacks.

def child_edges(node):
    """(child, field, index) in field order, list items in list order."""
    out = []
    for field, value in ast.iter_fields(node):
        if type(value) is list:
            out.extend((item, field, i) for i, item in enumerate(value) if isinstance(item, ast.AST))
        elif isinstance(value, ast.AST):
            out.append((value, field, -1))
    return out


def ref_frontier_edges(root, kinds):
    result = []
    stack = [(c, root, f, i) for c, f, i in reversed(child_edges(root))]
    while stack:
        node, parent, field, index = stack.pop()
        if type(node) in kinds:
            result.append((node, parent, field, index))
        else:
            stack.extend((c, node, f, i) for c, f, i in reversed(child_edges(node)))
    return result


def ref_of_types(root, kinds, prune=()):
    result = []
    stack = [root]
    while stack:
        node = stack.pop()
        if type(node) in kinds:
            result.append(node)
        if node is root or type(node) not in prune:
            stack.extend(c for c, _, _ in reversed(child_edges(node)))
    return result


def recording_visitor(kinds, bracket):
    """A NodeVisitor that records what walk_frontier_events reports."""
    events = []

    def dispatch(self, node):
        events.append((0, id(node)))

    def bracketed(self, node):
        events.append((1, id(node)))
        self.generic_visit(node)
        events.append((2, id(node)))

    methods = {f"visit_{k.__name__}": bracketed for k in bracket}
    methods.update({f"visit_{k.__name__}": dispatch for k in kinds})  # kinds win

    def start(self, root):
        if type(root) in bracket:
            bracketed(self, root)
        else:
            self.generic_visit(root)
        return events

    methods["start"] = start
    return type("Recorder", (ast.NodeVisitor,), methods)()


def event_ids(events):
    return [(e, id(n)) for e, n in events]


def sample(trees, step):
    return trees[::step]


# walk_frontier / walk_frontier_edges

@pytest.mark.parametrize("source, kinds, expected", [
    ("f(x)", (ast.Name,), ["f", "x"]),
    ("f(g(x))", (ast.Call,), ["f"]),
    ("f(x)", (), []),
    ("f(x)", (int, str), []),
    ("a.b + c", (ast.Name, ast.Name), ["a", "c"]),
])
def test_frontier_matches(source, kinds, expected):
    found = FRONTIER(ast.parse(source), kinds)
    assert [n.id if isinstance(n, ast.Name) else n.func.id for n in found] == expected


def test_frontier_root_never_reported():
    tree = ast.parse("x")
    name = tree.body[0].value
    assert FRONTIER(tree, (ast.Module, ast.Name)) == [name]
    assert FRONTIER(name, (ast.Name, ast.Load)) == [name.ctx]
    assert EDGES(name, (ast.Name, ast.Load)) == [(name.ctx, name, "ctx", -1)]


@pytest.mark.parametrize("root", [1, None, "text", [ast.Pass()]])
def test_frontier_root_without_fields(root):
    assert FRONTIER(root, (ast.Pass,)) == []
    assert EDGES(root, (ast.Pass,)) == []


def test_frontier_subclass_is_examined_not_matched():
    inner = ast.Name(id="in", ctx=ast.Load())
    sub = SubName(id="sub", ctx=inner)
    root = Pair(a=sub, b=None)
    assert FRONTIER(root, (ast.Name,)) == [inner]


def test_frontier_shared_context_once_per_holder():
    tree = ast.parse("a + b")
    a, b = tree.body[0].value.left, tree.body[0].value.right
    edges = EDGES(tree, (ast.Load,))
    assert [(id(n), id(p), f, i) for n, p, f, i in edges] == [
        (id(a.ctx), id(a), "ctx", -1), (id(b.ctx), id(b), "ctx", -1)]
    assert a.ctx is b.ctx


def test_frontier_edges_locations():
    tree = ast.parse("a\nb\nc")
    third = tree.body[2]
    edges = EDGES(tree, (ast.Expr, ast.Name))
    assert edges[2] == (third, tree, "body", 2)
    assert EDGES(third, (ast.Name,)) == [(third.value, third, "value", -1)]


def test_frontier_edges_field_is_interned_name():
    ctx = EDGES(ast.parse("a + b"), (ast.Load,))
    assert ctx[0][2] == "ctx" and ctx[0][2] is ctx[1][2]


def test_frontier_edges_index_counts_non_nodes():
    n1, n2 = ast.Name(id="a", ctx=ast.Load()), ast.Name(id="b", ctx=ast.Load())
    root = Holder(items=[1, n1, "s", [n2], n2])
    assert EDGES(root, (ast.Name,)) == [(n1, root, "items", 1), (n2, root, "items", 4)]


@pytest.mark.parametrize("value", [(ast.Pass(),), Holder, None])
def test_frontier_skips_tuples_and_list_subclasses(value):
    class NodeList(list):
        pass
    if value is Holder:
        value = NodeList([ast.Pass()])
    assert FRONTIER(Holder(items=value), (ast.Pass,)) == []


@pytest.mark.parametrize("kinds", [
    (ast.Name,), (ast.Call, ast.Attribute), (ast.FunctionDef, ast.ClassDef, ast.Lambda),
    (ast.Load, ast.Store, ast.Constant),
    pytest.param((ast.expr_context,), marks=pytest.mark.filterwarnings("ignore::quernwood.AbstractKindWarning")),
])
def test_frontier_matches_reference_on_stdlib(stdlib_trees, kinds):
    for path, tree in sample(stdlib_trees, 4):
        expected = ref_frontier_edges(tree, kinds)
        edges = EDGES(tree, kinds)
        assert [(id(n), id(p), f, i) for n, p, f, i in edges] == \
               [(id(n), id(p), f, i) for n, p, f, i in expected], path
        assert ids(FRONTIER(tree, kinds)) == [id(e[0]) for e in expected], path


def test_frontier_edges_locate_their_nodes(stdlib_trees):
    kinds = (ast.Name, ast.Constant, ast.arg, ast.keyword, ast.alias)
    for path, tree in sample(stdlib_trees, 6):
        for node, parent, field, index in EDGES(tree, kinds):
            held = getattr(parent, field)
            assert (held if index == -1 else held[index]) is node, path


# walk_of_types

def test_of_types_prune_lambda():
    tree = ast.parse("a = lambda b: c\nd")
    found = [n.id for n in OF_TYPES(tree, (ast.Name,), (ast.Lambda,))]
    assert found == ["a", "d"]
    lam = tree.body[0].value
    assert OF_TYPES(tree, (ast.Name, ast.Lambda), (ast.Lambda,))[1] is lam


def test_of_types_root_first_and_descended_when_pruned():
    tree = ast.parse("x")
    assert OF_TYPES(tree, (ast.Module, ast.Name), (ast.Module,)) == [tree, tree.body[0].value]


def test_of_types_nested_matches_outer_first():
    outer = ast.parse("1 + 2 + 3").body[0].value
    assert OF_TYPES(outer, (ast.BinOp,)) == [outer, outer.left]


@pytest.mark.parametrize("prune", [None, ()])
def test_of_types_prunes_nothing(prune):
    tree = ast.parse("f(lambda: x)")
    assert len(OF_TYPES(tree, (ast.Name,), prune)) == 2
    assert len(OF_TYPES(tree, (ast.Name,), prune=prune)) == 2


def test_of_types_subclass_not_returned():
    sub = SubName(id="s", ctx=ast.Load())
    assert OF_TYPES(Pair(a=sub, b=None), (ast.Name,)) == []
    assert OF_TYPES(Pair(a=sub, b=None), (SubName,)) == [sub]


@pytest.mark.parametrize("kinds, expected", [((list,), 1), ((ast.Pass,), 0)])
def test_of_types_list_root(kinds, expected):
    root = [ast.Pass()]
    assert OF_TYPES(root, kinds) == [root] * expected


def test_of_types_shared_context_per_reference():
    tree = ast.parse("a + b + c")
    loads = OF_TYPES(tree, (ast.Load,))
    assert len(loads) == 3 and len({id(n) for n in loads}) == 1


@pytest.mark.parametrize("kinds, prune", [
    ((ast.Name,), None),
    ((ast.Name, ast.Lambda), (ast.Lambda, ast.FunctionDef)),
    ((ast.Call, ast.Attribute), (ast.ClassDef,)),
    ((ast.Load, ast.Constant), (ast.If, ast.For)),
])
def test_of_types_matches_reference_on_stdlib(stdlib_trees, kinds, prune):
    for path, tree in sample(stdlib_trees, 4):
        assert ids(OF_TYPES(tree, kinds, prune)) == ids(ref_of_types(tree, kinds, prune or ())), path


# walk_frontier_events

def test_events_function_returns():
    tree = ast.parse("def f():\n    return 1\n    return 2")
    f = tree.body[0]
    assert EVENTS(tree, (ast.Return,), (ast.FunctionDef,)) == [
        (1, f), (0, f.body[0]), (0, f.body[1]), (2, f)]


def test_events_worked_example():
    a, f, e = ast.Pass(), ast.Pass(), ast.Pass()
    b = Holder(items=[f])
    d = Pair(a=e, b=None)
    r = ast.Module(body=[a, b, d], type_ignores=[])
    assert EVENTS(r, (ast.Pass,), (ast.Module, Holder)) == [
        (1, r), (0, a), (1, b), (0, f), (2, b), (0, e), (2, r)]


def test_events_root_in_kinds_is_descended():
    tree = ast.parse("x")
    name = tree.body[0].value
    assert EVENTS(tree, (ast.Module, ast.Name), ()) == [(0, name)]
    assert EVENTS(tree, (ast.Module,), (ast.Module,)) == [(1, tree), (2, tree)]


def test_events_kinds_before_bracket():
    tree = ast.parse("def f():\n    def g():\n        return 1\n    return 2")
    f = tree.body[0]
    g = f.body[0]
    assert EVENTS(tree, (ast.FunctionDef,), (ast.FunctionDef,)) == [(0, f)]
    assert EVENTS(tree, (ast.Return,), (ast.FunctionDef,)) == [
        (1, f), (1, g), (0, g.body[0]), (2, g), (0, f.body[1]), (2, f)]


def test_events_subclass_descended_not_dispatched():
    inner = ast.Name(id="in", ctx=ast.Load())
    sub = SubName(id="s", ctx=inner)
    assert EVENTS(Pair(a=sub, b=None), (ast.Name,), ()) == [(0, inner)]


def test_events_empty_sets():
    assert EVENTS(ast.parse("def f(): return x"), (), ()) == []


@pytest.mark.parametrize("kinds, bracket", [
    ((ast.Return, ast.Yield, ast.YieldFrom, ast.Await), (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)),
    ((ast.FunctionDef, ast.ClassDef), (ast.ClassDef, ast.Module)),
    ((ast.Name,), (ast.Call, ast.Attribute, ast.Subscript)),
    ((ast.Constant,), (ast.Module, ast.If, ast.For, ast.While, ast.With, ast.Try)),
])
def test_events_match_node_visitor_on_stdlib(stdlib_trees, kinds, bracket):
    for path, tree in sample(stdlib_trees, 5):
        got = EVENTS(tree, kinds, bracket)
        assert event_ids(got) == recording_visitor(kinds, bracket).start(tree), path
        depth = 0
        for event, _ in got:
            depth += {0: 0, 1: 1, 2: -1}[event]
            assert depth >= 0
        assert depth == 0


# Hostile classes and structures, for every function

CALLS = {
    "walk_frontier": lambda root: FRONTIER(root, (ast.Pass,)),
    "walk_frontier_edges": lambda root: [e[0] for e in EDGES(root, (ast.Pass,))],
    "walk_of_types": lambda root: OF_TYPES(root, (ast.Pass,)),
    "walk_frontier_events": lambda root: [n for _, n in EVENTS(root, (ast.Pass,), ())],
    "walk_of_types_edges": lambda root: [e[0] for e in quernwood.walk_of_types_edges(root, (ast.Pass,))],
}


@pytest.fixture(params=sorted(CALLS))
def passes(request):
    return CALLS[request.param]


def test_property_raising_value_error_propagates(passes):
    node = RaisesValue()
    node.first = ast.Pass()
    with pytest.raises(ValueError, match="bad field"):
        passes(Pair(a=node, b=None))


def test_attribute_error_subclass_skips_field(passes):
    node = RaisesMissing()
    node.first = leaf = ast.Pass()
    assert passes(node) == [leaf]


def test_missing_field_skipped(passes):
    leaf = ast.Pass()
    assert passes(Pair(b=leaf)) == [leaf]


def test_dict_value_wins_over_property(passes):
    class Shadowed(ast.expr):
        _fields = ("a",)
        a = property(lambda self: ast.Pass())
    node = Shadowed()
    node.__dict__["a"] = leaf = ast.Pass()
    assert passes(node) == [leaf]


def test_fields_as_list_give_no_children(passes):
    node = ListFields()
    node.a = ast.Pass()
    assert passes(Pair(a=node, b=None)) == []


def test_non_string_fields_skipped(passes):
    node = OddFields()
    node.a, node.b = ast.Pass(), ast.Pass()
    assert passes(node) == [node.a, node.b]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_plain_ast_instance_is_not_a_child(passes):
    leaf = ast.Pass()
    assert passes(Holder(items=[ast.AST(), leaf])) == [leaf]


def test_same_node_twice_reported_twice(passes):
    leaf = ast.Pass()
    assert passes(Holder(items=[leaf, leaf])) == [leaf, leaf]


class LazyField(ast.expr):
    _fields = ("a",)
    a = property(lambda self: self.__dict__.setdefault("made", ast.Pass()))


def test_walk_meeting_a_getter_midway_lists_nothing_twice(passes):
    # Nodes read straight from their dictionaries come first; the getter's
    # field cannot be, so what was listed before it must not come twice.
    first, lazy, last = ast.Pass(), LazyField(), ast.Pass()
    tree = Holder(items=[first, lazy, last])
    for _ in range(2):  # the second call finds every class record built
        assert passes(tree) == [first, lazy.a, last]


def test_cycle_fails_with_recursion_error(passes):
    m = ast.parse("x")
    m.body.append(m)
    with pytest.raises(RecursionError, match="cycle"):
        passes(m)


# Argument binding and type sets

ROOT = ast.parse("x")


@pytest.mark.parametrize("call, note, type_name", [
    (lambda: FRONTIER(ROOT, [ast.Name]), "walk_frontier(), argument 'kinds'", "list"),
    (lambda: EDGES(ROOT, None), "walk_frontier_edges(), argument 'kinds'", None),
    (lambda: OF_TYPES(ROOT, {ast.Name}), "walk_of_types(), argument 'kinds'", "set"),
    (lambda: OF_TYPES(ROOT, ast.Name), "walk_of_types(), argument 'kinds'", "type"),
    (lambda: OF_TYPES(ROOT, (ast.Name,), [ast.Lambda]), "walk_of_types(), argument 'prune'", "list"),
    (lambda: EVENTS(ROOT, (), None), "walk_frontier_events(), argument 'bracket'", None),
    (lambda: EVENTS(ROOT, [], 1), "walk_frontier_events(), argument 'kinds'", "list"),
])
def test_non_tuple_argument(call, note, type_name):
    with pytest.raises(TypeError) as info:
        call()
    expected = f"'{type_name}' object" if type_name else "'None'"
    assert str(info.value) == f"{expected} is not an instance of 'tuple'"
    assert info.value.__notes__ == [f"in {note}"]


# The message texts are fixed; the note says which call and argument.
@pytest.mark.parametrize("call, error, note", [
    (lambda: FRONTIER(ROOT, (ast.Name, 1)), TypeError("'int' object is not an instance of 'type'"),
     "walk_frontier(), argument 'kinds'"),
    (lambda: OF_TYPES(ROOT, (ast.Name,), (None,)), TypeError("'None' is not an instance of 'type'"),
     "walk_of_types(), argument 'prune'"),
    (lambda: quernwood.walk_of_types_edges(ROOT, (ast.Name, "Name")),
     TypeError("'str' object is not an instance of 'type'"), "walk_of_types_edges(), argument 'kinds'"),
    (lambda: EVENTS(ROOT, (), ("Name",)), TypeError("'str' object is not an instance of 'type'"),
     "walk_frontier_events(), argument 'bracket'"),
    (lambda: EVENTS(ROOT, (1,), ("Name",)), TypeError("'int' object is not an instance of 'type'"),
     "walk_frontier_events(), argument 'kinds'"),
    (lambda: quernwood.expand_kinds((ast.Name, 1)), TypeError("'int' object is not an instance of 'type'"),
     "expand_kinds(), argument 'kinds'"),
    (lambda: quernwood.subtree_digests(ROOT, b"stable"), TypeError("'bytes' object is not an instance of 'str'"),
     "subtree_digests(), argument 'mode'"),
    (lambda: quernwood.subtree_digest(ROOT, mode="fast"),
     ValueError("mode must be 'process', 'stable', 'renamed' or 'shape', not 'fast'"),
     "subtree_digest(), argument 'mode'"),
])
def test_bad_argument_value(call, error, note):
    with pytest.raises(type(error)) as info:
        call()
    assert str(info.value) == str(error)
    assert info.value.__notes__ == [f"in {note}"]


class Interrupting(type):
    armed = False

    @property
    def _fields(cls):
        if Interrupting.armed:
            raise KeyboardInterrupt
        return ()


class AbstractChild(ast.expr, metaclass=Interrupting):
    pass


def _abstract_named(qualname):
    cls = type("Abstract", (ast.expr,), {"__qualname__": qualname})
    cls.derived = type("Derived", (cls,), {})  # held: it makes cls abstract
    return cls


# A class that no parsed node has as its own class matches nothing: the
# result stands, with a warning pointing at the caller's line (whatever the
# class's name holds).
@pytest.mark.parametrize("call, named", [
    *((lambda c=_abstract_named(q): OF_TYPES(ROOT, (c,)), [f"{__name__}.{q}"]) for q in ("A\ud800b", "A\0b")),
    (lambda: OF_TYPES(ROOT, (ast.expr, ast.Name, ast.expr)), ["ast.expr"]),
    (lambda: FRONTIER(ROOT, (ast.stmt, ast.AST)), ["ast.stmt", "ast.AST"]),
    (lambda: EDGES(ROOT, (ast.expr_context,)), ["ast.expr_context"]),
    (lambda: OF_TYPES(ROOT, (ast.Name,), (ast.mod, ast.operator)), ["ast.mod", "ast.operator"]),
    (lambda: quernwood.walk_of_types_edges(ROOT, (ast.Expr,), (ast.stmt,)), ["ast.stmt"]),
    (lambda: EVENTS(ROOT, (ast.Name,), (ast.expr,)), ["ast.expr"]),
    (lambda: FRONTIER(ROOT, (KindsTuple, Pair)), []),  # not a node class; Pair has fields
    (lambda: OF_TYPES(ROOT, (ast.Load, ast.Pass, ast.Add, int)), []),  # no fields, nothing below
    (lambda: FRONTIER(ROOT, quernwood.expand_kinds(ast.AST)), []),
])
def test_abstract_kind_warns(call, named):
    import warnings
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        result = call()
    assert [str(w.message).split(" ")[0] for w in seen] == named
    assert all(w.category is quernwood.AbstractKindWarning and w.filename == __file__ for w in seen)
    assert all(f"expand_kinds({n})" in str(w.message) for w, n in zip(seen, named))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert result == call()
    if named:
        with warnings.catch_warnings():
            warnings.simplefilter("error", quernwood.AbstractKindWarning)
            with pytest.raises(quernwood.AbstractKindWarning) as info:
                call()
        assert len(info.value.__notes__) == 1 and info.value.__notes__[0].startswith("in ")
    assert issubclass(quernwood.AbstractKindWarning, UserWarning)


def test_interrupt_while_deciding_abstract_kind_propagates(monkeypatch):
    monkeypatch.setattr(Interrupting, "armed", True)
    with pytest.raises(KeyboardInterrupt) as info:
        OF_TYPES(ROOT, (AbstractChild,))
    assert not hasattr(info.value, "__notes__")


def test_bad_set_fails_before_walking():
    # Walking this root would raise ValueError.
    node = Pair(a=RaisesValue(), b=None)
    with pytest.raises(TypeError):
        FRONTIER(node, (1,))
    with pytest.raises(TypeError):
        OF_TYPES(node, (ast.Name,), (1,))
    with pytest.raises(TypeError):
        EVENTS(node, (), (1,))


@pytest.mark.parametrize("call, message", [
    (lambda: EVENTS(ROOT), "walk_frontier_events() missing 2 required positional arguments: 'kinds' and 'bracket'"),
    (lambda: OF_TYPES(ROOT, (), (), ()), "walk_of_types() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: FRONTIER(ROOT), "walk_frontier() missing 1 required positional argument: 'kinds'"),
    (lambda: EDGES(ROOT, (), kinds=()), "walk_frontier_edges() got multiple values for argument 'kinds'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_tuple_subclass():
    name = ROOT.body[0].value
    assert OF_TYPES(node=ROOT, kinds=(ast.Name,)) == [name]
    assert OF_TYPES(ROOT, KindsTuple((ast.Name,)), prune=KindsTuple()) == [name]
    assert FRONTIER(ROOT, KindsTuple((ast.Name,))) == [name]
    assert EVENTS(bracket=(), kinds=KindsTuple((ast.Name,)), node=ROOT) == [(0, name)]


@pytest.mark.parametrize("name, signature", [
    ("walk_frontier", "(node, kinds)"),
    ("walk_frontier_edges", "(node, kinds)"),
    ("walk_of_types", "(node, kinds, prune=None)"),
    ("walk_frontier_events", "(node, kinds, bracket)"),
    ("walk_of_types_edges", "(node, kinds, prune=None)"),
    ("expand_kinds", "(kinds)"),
    ("subtree_digests", "(node, mode='process')"),
    ("subtree_digest", "(node, mode='process')"),
])
def test_text_signatures(name, signature):
    fn = getattr(quernwood, name)
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "quernwood" and fn.__self__ is quernwood
    assert not fn.__doc__.startswith(name)


@pytest.mark.slow_under_asan
@pytest.mark.parametrize("call", [
    lambda t: FRONTIER(t, (ast.FunctionDef,)),
    lambda t: OF_TYPES(t, (ast.FunctionDef,), prune=(ast.FunctionDef,)),
    lambda t: [n for _, n in EVENTS(t, (ast.FunctionDef,), ())],
    lambda t: [n for n, *_ in quernwood.walk_of_types_edges(t, (ast.FunctionDef,), (ast.FunctionDef,))],
], ids=["frontier", "of_types_pruned", "events_dispatched", "of_types_edges_pruned"])
def test_cycle_where_the_walk_never_goes_is_no_error(call):
    # 2**24 paths through 24 shared nodes reach the cycle check; the only
    # cycle lies below a node the walk does not descend into.
    node = ast.Pass()
    for _ in range(23):
        node = Pair(a=node, b=node)
    loop = ast.UnaryOp(op=ast.Not(), operand=None)
    loop.operand = loop
    f = ast.FunctionDef(name="f", args=ast.arguments(), body=[ast.Expr(loop)], decorator_list=[])
    tree = ast.Module(body=[ast.Expr(node), f], type_ignores=[])
    assert [n.name for n in call(tree)] == ["f"]
