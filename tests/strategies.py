"""Hypothesis strategies for random node structures.

A strategy draws a *plan*, not a tree: a list of node plans in which node i
may refer only to nodes with a larger index, so the structure has no cycle
but may share nodes. `Plan.build()` turns it into a fresh tree every time it
is called, so a function that changes its tree can be run on two copies that
were built the same way, each dictionary filled in the same order.
"""

import ast
import itertools
import math
import warnings
from dataclasses import dataclass, field

from hypothesis import strategies as st



class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class UserName(ast.Name):  # passes the collection walks' shortcut test
    pass


class DeepName(UserName):  # three levels below expr: the shortcut refuses it
    pass


class UserAssign(ast.Assign):  # below stmt: only the typed traversals see it
    pass


class Triple(ast.AST):
    _fields = ("a", "b", "c")
    _attributes = ("lineno", "end_col_offset", "other")


class Pair(ast.expr):
    _fields = ("a", "b")


class ListFields(ast.AST):
    # A list: its length counts for the field table, but the typed
    # traversals take `_fields` only from a tuple.
    _fields = ["a", "b"]


class OddFields(ast.AST):
    _fields = ("a", 7, "\ud800", StrSub("b"), "c")


class NoFields(ast.AST):
    pass


class Wide(ast.AST):
    _fields = tuple(f"f{i}" for i in range(258))


class MissingField(AttributeError):
    pass


def _missing(self):
    raise MissingField("c")


COMPUTED_CHILD = ast.Pass()


class Computed(ast.expr):
    """Fields `b` and `c` are never in the instance dictionary: `b` comes from
    a property, reading `c` raises a subclass of AttributeError."""

    _fields = ("a", "b", "c")
    b = property(lambda self: COMPUTED_CHILD)
    c = property(_missing)


class Plain:
    """Not a node; a root of this kind is read through attribute lookup."""

    _fields = ("a", "b")


REAL = [
    ast.Module, ast.Expr, ast.Name, ast.BinOp, ast.Call, ast.Constant, ast.Load,
    ast.Store, ast.Add, ast.Assign, ast.If, ast.List, ast.Tuple, ast.arguments,
    ast.Lambda, ast.FunctionDef, ast.Return, ast.keyword, ast.Attribute,
]
USER = [UserName, DeepName, UserAssign, Triple, Pair, ListFields, OddFields, NoFields, Computed]
DYNAMIC_BASES = [ast.AST, ast.expr, ast.stmt, ast.Name, Triple, UserAssign]
FIELD_ALPHABET = ["a", "b", "c", "d", "lineno", "body"]

# Classes made while drawing are kept for good: the field table knows classes
# by address, and a freed class's address must not be handed to a new one.
KEEP_ALIVE = []
_dynamic_ids = itertools.count()

# A fresh dictionary has room for five entries before it is rebuilt (which
# would drop deleted slots); a node that has a field deleted stays within it.
FRESH_DICT_ROOM = 5


def settable_names(cls):
    """The field names a plan may assign on an instance of `cls`."""
    fields = cls._fields
    return [str(f) for f in fields if isinstance(f, str) and not isinstance(getattr(cls, f, None), property)]


@st.composite
def dynamic_classes(draw):
    base = draw(st.sampled_from(DYNAMIC_BASES))
    fields = tuple(draw(st.lists(st.sampled_from(FIELD_ALPHABET), max_size=3, unique=True)))
    namespace = {"_fields": fields}
    if draw(st.booleans()):
        namespace["_attributes"] = tuple(draw(st.lists(
            st.sampled_from(["lineno", "col_offset", "end_lineno", "end_col_offset", "x"]),
            max_size=4, unique=True)))
    cls = type(f"Dynamic{next(_dynamic_ids)}", (base,), namespace)
    KEEP_ALIVE.append(cls)
    return cls


node_classes = st.one_of(
    st.sampled_from(REAL), st.sampled_from(USER), dynamic_classes(), st.sampled_from(REAL + [Wide] * 3))

BOUNDARY_INTS = [
    0, 1, -1, -2, 2**61 - 2, 2**61 - 1, 2**61, -(2**61 - 2), -(2**61 - 1), -(2**61),
    2**63 - 1, 2**63, -(2**63), 2**64 - 1, 2**64 + 6, 10**30, -(10**30), 7 + (2**61 - 1),
]

small_leaves = st.one_of(
    st.text(max_size=4),
    st.binary(max_size=4),
    st.integers(),
    st.sampled_from(BOUNDARY_INTS),
    st.booleans(),
    st.floats(),
    st.sampled_from([0.0, -0.0, math.nan, -math.nan, math.inf, 1.0]),
    st.complex_numbers(),
    st.none(),
    st.just(Ellipsis),
    st.text(max_size=3).map(StrSub),
    st.frozensets(st.integers(-5, 5), max_size=3),
)
leaves = st.one_of(
    small_leaves,
    st.tuples(small_leaves, small_leaves),
    st.lists(small_leaves, max_size=2).map(TupleSub),
    st.just(2**5000),  # beyond the decimal conversion limit
)


# Value plans: ("leaf", obj) | ("ref", i) | ("list", [plans]) | ("listsub", [plans])
# | ("tuple", [plans]). Leaves are immutable or never changed, so both builds
# may share them; lists and tuples are made afresh.

@dataclass
class NodePlan:
    cls: type
    fields: list  # (name, value plan) in assignment order
    before: list = field(default_factory=list)  # (key, value plan) set first
    redo: str = None  # field deleted and assigned again after the others
    use_constructor: bool = False


@dataclass
class Plan:
    nodes: list
    root: tuple = ("node",)  # ("node",) | ("list",) | ("int",) | ("plain",)
    kinds: tuple = ()
    prune: object = None
    bracket: tuple = ()

    def build(self):
        return Built(self)


class Built:
    """One tree made from a plan: `root` and every planned node in `nodes`."""

    def __init__(self, plan):
        self.nodes = [None] * len(plan.nodes)
        for i in reversed(range(len(plan.nodes))):
            self.nodes[i] = self._node(plan.nodes[i])
        kind = plan.root[0]
        first = self.nodes[0]
        if kind == "node":
            self.root = first
        elif kind == "list":
            self.root = self.nodes[:2]
        elif kind == "int":
            self.root = 5
        else:
            self.root = Plain()
            self.root.a = first
            self.root.b = self.nodes[1:3]

    def _value(self, plan):
        kind, arg = plan
        if kind == "leaf":
            return arg
        if kind == "ref":
            return self.nodes[arg]
        items = [self._value(p) for p in arg]
        return {"list": list, "listsub": ListSub, "tuple": tuple}[kind](items)

    def _node(self, plan):
        if plan.use_constructor:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                return plan.cls(**{name: self._value(v) for name, v in plan.fields})
        node = plan.cls.__new__(plan.cls)
        for key, v in plan.before + plan.fields:
            if isinstance(key, str):
                setattr(node, key, self._value(v))
            else:
                node.__dict__[key] = self._value(v)
        if plan.redo is not None:
            value = getattr(node, plan.redo)
            delattr(node, plan.redo)
            setattr(node, plan.redo, value)
        return node


def value_plans(index, count, depth=0):
    """Plans for a field of node `index`: leaves, or nodes after it."""
    options = [st.tuples(st.just("leaf"), leaves)]
    if index + 1 < count:
        options.append(st.tuples(st.just("ref"), st.integers(index + 1, count - 1)))
    if depth < 2:
        inner = value_plans(index, count, depth + 1)
        options += [
            st.tuples(st.just("list"), st.lists(inner, max_size=5)),
            st.tuples(st.sampled_from(["listsub", "tuple"]), st.lists(inner, max_size=2)),
        ]
    # Refs first: hypothesis shrinks towards the first option.
    return st.one_of(options[1:2] + options[:1] + options[2:])


@st.composite
def node_plans(draw, index, count):
    cls = draw(node_classes)
    if cls is Wide:
        return draw(wide_plans(index, count))
    names = settable_names(cls)
    chosen = draw(st.permutations(names))
    chosen = chosen[: draw(st.integers(max(0, len(chosen) - 1), len(chosen)))]
    fields = [(name, draw(value_plans(index, count))) for name in chosen]
    use_constructor = cls in REAL and len(chosen) == len(names) and draw(st.booleans())
    before, redo = [], None
    if not use_constructor:
        before = draw(st.lists(st.tuples(
            st.sampled_from(["lineno", "col_offset", "note", 1]),
            value_plans(index, count, depth=2)), max_size=2, unique_by=lambda kv: kv[0]))
        before = [(k, v) for k, v in before if k not in names]
        if fields and len(before) + len(fields) + 1 <= FRESH_DICT_ROOM and draw(st.booleans()):
            redo = draw(st.sampled_from([name for name, _ in fields]))
    return NodePlan(cls, fields, before, redo, use_constructor)


@st.composite
def wide_plans(draw, index, count):
    """A node with more fields than the collection walks scan (254)."""
    values = [("leaf", None)] * len(Wide._fields)
    if index + 1 < count:
        for position in draw(st.lists(st.sampled_from([0, 253, 254, 257]), min_size=1, max_size=3, unique=True)):
            values[position] = ("ref", draw(st.integers(index + 1, count - 1)))
    return NodePlan(Wide, list(zip(Wide._fields, values)))


@st.composite
def plans(draw, max_nodes=12):
    count = draw(st.integers(1, max_nodes))
    nodes = [draw(node_plans(i, count)) for i in range(count)]
    if draw(st.integers(0, 9)) == 0:  # seen from the root, the scan limit shows
        nodes[0] = draw(wide_plans(0, count))
    root = draw(st.sampled_from([("node",)] * 6 + [("list",), ("int",), ("plain",)]))
    used = [p.cls for p in nodes] + [int, ast.AST]

    def class_tuples():
        return st.lists(st.sampled_from(used), max_size=4).map(
            lambda xs: TupleSub(xs) if len(xs) % 3 == 2 else tuple(xs))

    return Plan(
        nodes=nodes,
        root=root,
        kinds=draw(class_tuples()),
        prune=draw(st.one_of(st.none(), class_tuples())),
        bracket=draw(class_tuples()),
    )

