import ast
import collections
import gc
import random

import pytest

from conftest import STDLIB_STRIDE
from quernwood import subtree_digest, subtree_hash, subtree_hashes

from reference import MASK, mix, signed
from reference import leaf_hash as leaf
from reference import subtree_hashes as model_hashes


def reference(node):
    """The unsigned hash of `node` by the plain-Python model."""
    return model_hashes(node)[id(node)] & MASK


@pytest.mark.parametrize("h, v, expected", [
    (MASK, 0, 0x61C8864680B583EB),
    (MASK, 1, 0xC3910C8D016B07D6),
    (MASK, 2, 0x255992D382208BC1),
    (MASK, 3, 0x8722191A02D60FAC),
    (0, 1, 0x9E3779B97F4A7C15),
    (1, 0, 0xC6EF372FE94F82A0),
    (0x8000000000000000, 0, 0xE3779B97F4A7C150),
    (0x0123456789ABCDEF, 0xFEDCBA9876543210, 0xFFE74D303FD50EB0),
])
def test_mix_worked_values(h, v, expected):
    assert mix(h, v) == expected


def test_name_worked_structure():
    c = ast.Load()
    n = ast.Name(id="x", ctx=c)
    acc0 = mix(0, id(ast.Name))
    acc1 = mix(mix(acc0, 0), mix(mix(mix(0, id(str)), hash("x") & MASK), 1))
    acc2 = mix(mix(acc1, 1), mix(0, id(ast.Load)))
    assert subtree_hash(n) == signed(acc2)
    assert subtree_hashes(n) == {id(n): signed(acc2), id(c): signed(mix(0, id(ast.Load)))}


class Pair(ast.AST):
    _fields = ("a", "b")


def _missing_field():
    # Optional fields of the ast classes read as None even when absent.
    return Pair(b=ast.Pass())


SMALL_TREES = {
    "list field": lambda: ast.Expr(ast.Tuple(elts=[ast.Constant(1), ast.Name("a", ast.Load())], ctx=ast.Load())),
    "empty list": lambda: ast.Tuple(elts=[], ctx=ast.Load()),
    "None field": lambda: ast.Return(value=None),
    "missing field": _missing_field,
    "bytes, float, complex, Ellipsis": lambda: ast.List(
        elts=[ast.Constant(b"b"), ast.Constant(2.5), ast.Constant(1j), ast.Constant(...)], ctx=ast.Load()),
    "tuple and nested list are leaves": lambda: ast.Call(
        func=ast.Name("f", ast.Load()), args=[[ast.Pass()], (ast.Pass(),)], keywords=[]),
    "unhashable constant": lambda: ast.Constant({"a": [1]}),
    "node without a dict": lambda: ast.BinOp.__new__(ast.BinOp),
    "parsed module": lambda: ast.parse("def f(a, *b, c=1):\n    return a if b else -c\n"),
}


@pytest.mark.parametrize("make", SMALL_TREES.values(), ids=SMALL_TREES.keys())
def test_small_trees_match_reference(make):
    tree = make()
    assert subtree_hash(tree) == signed(reference(tree))
    hashes = subtree_hashes(tree)
    for n in ast.walk(tree):
        assert hashes[id(n)] == signed(reference(n))


def test_empty_list_value_hash():
    t = ast.Tuple(elts=[], ctx=ast.Load())
    expected = mix(mix(mix(mix(0, id(ast.Tuple)), 0), 0x61C8864680B583EB), 1)
    assert subtree_hash(t) == signed(mix(expected, mix(0, id(ast.Load))))


def _fields_in_reverse():
    n = ast.BinOp.__new__(ast.BinOp)
    n.right, n.op, n.left = ast.Name("q", ast.Load()), ast.Add(), ast.Name("p", ast.Load())
    return n


def _field_deleted_and_set_again():
    n = ast.BinOp(left=ast.Name("p", ast.Load()), op=ast.Add(), right=ast.Name("q", ast.Load()))
    left = n.left
    del n.left
    n.left = left
    return n


@pytest.mark.parametrize("make", [_fields_in_reverse, _field_deleted_and_set_again])
def test_dict_order_does_not_matter(make):
    plain = ast.BinOp(left=ast.Name("p", ast.Load()), op=ast.Add(), right=ast.Name("q", ast.Load()))
    assert subtree_hash(make()) == subtree_hash(plain)


def test_missing_field_differs_from_none():
    missing, none = _missing_field(), Pair(a=None, b=ast.Pass())
    assert subtree_hash(missing) != subtree_hash(none)
    assert subtree_hash(missing) == signed(mix(mix(mix(0, id(Pair)), 1), mix(0, id(ast.Pass))))


WORDS = [f"w{i}" for i in range(20)]


def _deep(name, depth=4):
    node = ast.Name(name, ast.Load())
    for _ in range(depth):
        node = ast.UnaryOp(ast.USub(), node)
    return node


def _moved_to_end():
    d = collections.OrderedDict(a=1, b=2)
    d.move_to_end("a")
    return d


ListSub = type("ListSub", (list,), {})
HashZero = type("HashZero", (str,), {"__hash__": lambda s: 0})
Printed = type("Printed", (), {"__init__": lambda s, r: setattr(s, "r", r), "__repr__": lambda s: s.r})

LEAF_GROUPS = [
    # each inner list: values whose Constant nodes must hash alike
    [[1], [1.0], [True], [1j]],
    [[float("nan"), float("nan")], [float("inf")]],
    [[0.0], [-0.0], [0], [False], [None]],
    [["a"], [type("S", (str,), {})("a")], [b"a"]],
    # Python's int hash wraps at 2**61 - 1 and maps -1 to -2
    [[7], [2**64 - 1]], [[0], [2**61 - 1]], [[1], [2**61]], [[-1], [-2]],
    [[10**5000, 10**5000], [10**5000 + 1]],
    [[(1, 2), (1, 2)], [[1, 2]]],
    # str's own hash covers its storage bytes only: twins of another kind
    [[": "], ["\u203a"]], [["\xe9\xe9"], ["\ue9e9"]],
    # as are reprs, whatever their class's own hash
    [[Printed(": ")], [Printed("\u203a")], [Printed(HashZero("a"))], [Printed(HashZero("b"))]],
    # containers by their items (sets in any order), the nodes in them by
    # structure: their reprs print addresses, or elide deep nodes
    [[frozenset(WORDS), frozenset(reversed(WORDS))], [frozenset(WORDS[1:])], [tuple(WORDS)]],
    [[frozenset([1, 9]), frozenset([9, 1])], [frozenset([1, 8])], [{1, 9}]],  # 1 and 9 share a slot
    [[[[_deep("a")]], [[_deep("a")]]], [[[_deep("b")]]], [[(_deep("a"),)]], [[[_deep("a", 5)]]]],
    [[(_deep("a"), 1), (_deep("a"), 1)], [(_deep("b"), 1)], [(1, _deep("a"))]],
    # subclasses by their items too, apart from their base
    [[ListSub([_deep("a")]), ListSub([_deep("a")])], [ListSub([_deep("b")])], [[_deep("a")]]],
    # a dict subclass with a repr of its own as printed: its order, its factory
    [[_moved_to_end(), collections.OrderedDict(b=2, a=1)], [{"b": 2, "a": 1}],
     [collections.defaultdict(int, a=1)], [collections.defaultdict(list, a=1)]],
]


@pytest.mark.parametrize("mode", ["process", "stable"])
@pytest.mark.parametrize("groups", LEAF_GROUPS, ids=range(len(LEAF_GROUPS)))
def test_leaf_values_kept_apart(groups, mode):
    seen = [{subtree_digest(ast.Constant(v), mode)[0] for v in group} for group in groups]
    assert all(len(s) == 1 for s in seen)
    assert len(set().union(*seen)) == len(groups)


@pytest.mark.parametrize("value", [b"", b"a", True, False, None, ..., ""], ids=repr)
def test_small_int_does_not_make_up_for_type_distance(value):
    # The int that would collide with `value` if a leaf were mix(type address,
    # hash): the static types lie close together, so it is small (55296 for
    # b'' on one build, a constant of real code).
    rot = lambda x: ((x << 5) | (x >> 59)) & MASK
    k = rot(id(type(value))) ^ (hash(value) & MASK) ^ rot(id(int))
    assert subtree_hash(ast.Constant(value)) != subtree_hash(ast.Constant(k))
    assert subtree_hash(ast.Constant(value)) != subtree_hash(ast.Constant(-k))


def test_large_ints_equal_by_value():
    assert subtree_hash(ast.Constant(2**64 - 1)) == subtree_hash(ast.Constant(int("f" * 16, 16)))


def test_classes_with_the_same_name_differ():
    other = type("Name", (ast.expr,), {"_fields": ("id", "ctx")})
    assert subtree_hash(other(id="x", ctx=ast.Load())) != subtree_hash(ast.Name(id="x", ctx=ast.Load()))


def test_non_node_root():
    assert subtree_hashes(5) == {id(5): signed(mix(0, id(int)))}
    assert subtree_hash(5) == signed(mix(0, id(int)))


def test_shared_node_has_one_entry():
    tree = ast.parse("a = b + c + d")
    distinct = {id(n) for n in ast.walk(tree)}
    hashes = subtree_hashes(tree)
    assert set(hashes) == distinct
    assert len(distinct) < sum(1 for _ in ast.walk(tree))


def test_parses_agree_whatever_the_locations():
    src = "def f(x):\n    return [x, 1.5, 'a']\n"
    a, b = ast.parse(src), ast.parse("\n\n# moved\n" + src)
    ha, hb = subtree_hashes(a), subtree_hashes(b)
    assert all(ha[id(x)] == hb[id(y)] for x, y in zip(ast.walk(a), ast.walk(b)))
    one, other = ast.parse("1"), ast.parse("1.0")
    assert all(subtree_hash(x) != subtree_hash(y) for x, y in zip(ast.walk(one), ast.walk(other)))


CHANGES = {
    "field value": lambda f: setattr(f.body[0].value.elts[0], "id", "z"),
    "list order": lambda f: f.body[0].value.elts.reverse(),
    "argument order": lambda f: f.args.args.reverse(),
    "added decorator": lambda f: f.decorator_list.append(ast.Name("d", ast.Load())),
    "annotation moved to the return": lambda f: (
        setattr(f, "returns", f.args.args[0].annotation), setattr(f.args.args[0], "annotation", None)),
    "swapped operands": lambda f: _swap_operands(f.body[0].value.elts[2]),
}


def _swap_operands(binop):
    binop.left, binop.right = binop.right, binop.left


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_change_reaches_every_ancestor(change):
    src = "def f(a: int, b):\n    return [x, y, p - q]\n"
    before = ast.parse(src)
    after = ast.parse(src)
    change(after.body[0])
    assert subtree_hash(before) != subtree_hash(after)
    assert subtree_hash(before.body[0]) != subtree_hash(after.body[0])


def test_top_bit_comes_back_negative():
    # Search a few leaves for a hash with its top bit set.
    for i in range(64):
        c = ast.Constant(f"s{i}")
        if reference(c) >= 2**63:
            assert subtree_hash(c) < 0
            return
    pytest.fail("no top-bit hash among 64 tries")


# ---- Properties over the standard library --------------------------------

def _sample(stdlib_trees, per_module, seed):
    rng = random.Random(seed)
    for path, tree in stdlib_trees[::3]:
        nodes = list(ast.walk(tree))
        yield path, tree, rng.sample(nodes, min(per_module, len(nodes)))


@pytest.mark.slow_under_asan  # whole-stdlib differential: minutes under ASan
def test_hash_equality_is_dump_equality(stdlib_trees):
    by_dump = collections.defaultdict(set)
    by_hash = collections.defaultdict(set)
    for path, tree, nodes in _sample(stdlib_trees, 60, 1):
        hashes = subtree_hashes(tree)
        for n in nodes:
            d = ast.dump(n)
            by_dump[d].add(hashes[id(n)])
            by_hash[hashes[id(n)]].add(d)
    assert len(by_dump) > 3000 // STDLIB_STRIDE
    split = [d for d, hs in by_dump.items() if len(hs) > 1]
    merged = [ds for ds in by_hash.values() if len(ds) > 1]
    assert split == [] and merged == []


def test_hash_does_not_depend_on_start(stdlib_trees):
    checked = 0
    for path, tree, nodes in _sample(stdlib_trees, 20, 2):
        hashes = subtree_hashes(tree)
        assert hashes[id(tree)] == subtree_hash(tree), path
        assert set(hashes) == {id(n) for n in ast.walk(tree)}, path
        for d in nodes:
            assert hashes[id(d)] == subtree_hash(d), path
            checked += 1
    assert checked > 2000 // STDLIB_STRIDE


# ---- Python code running during the pass ----------------------------------

class ReprError(Exception):
    pass


def test_failing_repr_fails_the_pass():
    class Bad:
        def __repr__(self):
            raise ReprError("no repr")

    tree = ast.Expr(ast.Constant(Bad()))
    for fn in (subtree_hash, subtree_hashes):
        with pytest.raises(ReprError, match="no repr"):
            fn(tree)


MADE_BY = {
    "repr": lambda R, G: ast.Module([ast.Expr(ast.Constant(R(), None)) for _ in range(20)], []),
    "getter": lambda R, G: ast.Module([G() for _ in range(20)], []),
    "getter inside a value": lambda R, G: ast.Expr(ast.Constant(tuple(G() for _ in range(20)))),
}


@pytest.mark.parametrize("mode", ["process", "stable"])
@pytest.mark.parametrize("made_by", MADE_BY)
def test_what_python_code_makes_is_freed_as_the_pass_goes(mode, made_by):
    # Each repr (a str subclass), or each tuple a field's getter builds, is
    # freed before the next runs, not at the end, also for nodes held in a
    # constant's tuple; each getter runs once.
    alive, most = [], []
    Text = type("Text", (str,), {"__del__": lambda self: alive.pop()})
    R = type("R", (), {"__repr__": lambda self: alive.append(0) or most.append(len(alive)) or Text("r")})
    T = type("T", (), {"__del__": lambda self: alive.pop(), "__repr__": lambda self: "t"})
    G = type("G", (ast.stmt,), {"_fields": ("value",),
                                "value": property(lambda self: most.append(len(alive)) or alive.append(0) or (T(),))})
    subtree_digest(MADE_BY[made_by](R, G), mode)
    assert (len(alive), max(most), len(most)) == (0, 1 if made_by == "repr" else 0, 20)


def test_repr_emptying_the_list_being_hashed():
    items = []

    class Emptier:
        def __repr__(self):
            items.clear()
            return "E"

    items.extend([Emptier(), Emptier(), ast.Pass(), 3])
    c = ast.Constant(items)
    c.kind = None
    # Every value is read once, holding it, before any is hashed: the four
    # items are hashed as read, though the first repr empties the list.
    value = mix(MASK, 4)
    for _ in range(2):
        value = mix(value, mix(mix(mix(0, id(Emptier)), hash("E") & MASK), len("E")))
    value = mix(mix(value, mix(0, id(ast.Pass))), leaf(3))
    acc = mix(mix(mix(0, id(ast.Constant)), 0), value)
    acc = mix(mix(acc, 1), leaf(None))
    assert subtree_hash(c) == signed(acc)
    assert items == []


def test_repr_replacing_a_field_gets_the_new_child_hashed():
    parent = ast.BinOp(left=None, op=ast.Add(), right=ast.Name("old", ast.Load()))

    class Replacer:
        def __repr__(self):
            parent.right = ast.Name("new", ast.Load())
            return "R"

    parent.left = ast.Constant(Replacer())
    h = subtree_hash(parent)
    assert parent.right.id == "new"
    # The reference reads the tree as it is now: the new right side, which
    # the pass met only after listing the old one.
    assert h == signed(reference(parent))


class Fresh(ast.stmt):
    """A node whose field is a property building a new chain on every read."""
    _fields = ("child",)

    def __init__(self, depth):
        self.depth = depth

    @property
    def child(self):
        return Fresh(self.depth - 1) if self.depth else ast.Pass()


def test_property_building_new_nodes():
    # The pass meets children it did not list; they are hashed afresh.
    expected = mix(mix(mix(0, id(Fresh)), 0), mix(0, id(ast.Pass)))
    for _ in range(3):
        expected = mix(mix(mix(0, id(Fresh)), 0), expected)
    assert subtree_hash(Fresh(3)) == signed(expected)
    assert len(subtree_hashes(Fresh(3))) == 5


def test_property_building_a_deep_chain():
    # Each read builds a new chain below it: the fallback must neither nest
    # per level nor hash the chain again per level.
    expected = mix(0, id(ast.Pass))
    for _ in range(1001):
        expected = mix(mix(mix(0, id(Fresh)), 0), expected)
    assert subtree_hash(Fresh(1000)) == signed(expected)


def test_node_replaced_by_a_cycle_during_the_pass():
    parent = ast.BinOp(left=None, op=ast.Add(), right=ast.Name("old", ast.Load()))

    class Looper:
        def __repr__(self):
            loop = ast.UnaryOp(op=ast.Not(), operand=None)
            loop.operand = loop
            parent.right = loop
            return "L"

    parent.left = ast.Constant(Looper())
    with pytest.raises(RecursionError, match="cycle"):
        subtree_hash(parent)
    parent.right.operand = None  # break the cycle for the collector


@pytest.mark.parametrize("fn", [subtree_hash, lambda t: subtree_digest(t, "renamed")], ids=["process", "renamed"])
def test_cycle_fails_with_recursion_error(fn):
    mod = ast.Module(body=[ast.Pass()], type_ignores=[])
    mod.body.append(mod)
    with pytest.raises(RecursionError, match="cycle"):
        fn(mod)


def test_deep_tree_does_not_recurse():
    gc.disable()  # the collector would rescan the session's trees many times
    try:
        node = ast.Constant(0)
        for _ in range(100_000):
            node = ast.UnaryOp(op=ast.USub(), operand=node)
    finally:
        gc.enable()
    assert subtree_hash(node) == subtree_hashes(node)[id(node)]
    assert subtree_hash(node.operand) != subtree_hash(node)
