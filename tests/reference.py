"""A slow, plain-Python model of what every quernwood function returns.

Each model is written to be read, not to be fast: it may recurse and it
builds its answers from ordinary attribute and dictionary access. The tests
compare the module with these models on generated trees and on real code.

Two readings of a node exist, as in the module:

* the collection walks (walk_dfs, walk_unordered, _walk_count) read the
  first `count` items of the class's `_fields` out of the node's instance
  dictionary, matching keys by their text and reading no attribute of the
  class, where `count` and the names come from the thread's field table
  (built once per thread, so it knows only the classes that existed then),
  and keep a value when its class passes `issubclass_of_ast`;
* every other function looks each name of the class's `_fields` up by name
  and keeps a value when `is_ast` holds.

A structure with a cycle is not modelled: the module answers it with
RecursionError from every walking function once a large number of nodes has
been handled.
"""

import ast

MISSING = object()
MASK = (1 << 64) - 1
MULTIPLIER = 0x9E3779B97F4A7C15
LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


# ---------------------------------------------------------------- type tests

def issubclass_of_ast(cls):
    """The shortcut test of the collection walks: only `__base__` links."""
    base = cls.__base__
    if base is None or base is object:
        return False
    return base is ast.AST or base.__base__ in (ast.AST, ast.expr)


def is_ast(value):
    """The child test of the typed traversals: the shortcut, then issubclass."""
    cls = type(value)
    base = cls.__base__
    if base is None or base is object:
        return False
    if base is ast.AST or base.__base__ in (ast.AST, ast.expr):
        return True
    return issubclass(cls, ast.AST)


def in_set(value, classes):
    """Membership by exact class, never by a base class."""
    return any(type(value) is c for c in classes)


# ------------------------------------------------------------ the field table

def table_count(cls):
    """Field count the table records: the generic length of `_fields`, capped."""
    try:
        return min(len(cls._fields), 254)
    except Exception:
        return 0


def table_names(cls, count):
    """The names the table records: the str items among the first `count`."""
    out = []
    for i in range(count):
        try:
            name = cls._fields[i]
        except Exception:
            name = None
        out.append(name if isinstance(name, str) else None)
    return out


def field_table_snapshot():
    """What a field table built now would hold: every class reachable from
    ast.AST through __subclasses__, keyed by id. The classes are kept in the
    result so that their ids stay theirs."""
    table, stack = {}, [ast.AST]
    while stack:
        cls = stack.pop()
        count = table_count(cls)
        table[id(cls)] = (cls, count, table_names(cls, count))
        stack.extend(cls.__subclasses__())
    return table


def dict_items(node):
    """The node's instance dictionary as (key, value) pairs, none if it has none."""
    if getattr(type(node), "__dictoffset__", 0) <= 0:
        return []
    return list(node.__dict__.items())


def collection_children(node, table):
    entry = table.get(id(type(node)))
    if entry is None:
        return []
    items = dict_items(node)
    out = []
    for name in entry[2]:
        if name is None:
            continue
        value = next((v for k, v in items if isinstance(k, str) and str.__eq__(k, name)), MISSING)
        if type(value) is list:
            out.extend(item for item in value if issubclass_of_ast(type(item)))
        elif issubclass_of_ast(type(value)):
            out.append(value)
    return out


def walk_dfs(root, table):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed(collection_children(node, table)))
    return out


def walk_unordered(root, table):
    """Like walk_dfs, but up to four nodes are taken off the stack at once."""
    out, stack = [], [root]
    while stack:
        batch = [stack.pop() for _ in range(min(4, len(stack)))]
        for node in batch:
            out.append(node)
            stack.extend(reversed(collection_children(node, table)))
    return out


# ------------------------------------------------------- fields read by name

def names_of(cls, attribute):
    """The usable names of a class's `_fields` or `_attributes`: str items of
    a tuple that have a UTF-8 form."""
    try:
        value = getattr(cls, attribute)
    except Exception:
        return []
    if not isinstance(value, tuple):
        return []
    out = []
    for item in value:
        if isinstance(item, str):
            try:
                item.encode("utf-8")
            except UnicodeEncodeError:
                continue
            out.append(str(item))
    return out


def field_values(node):
    """(position, name, value) of each field present, instance dictionary
    first, attribute lookup when the name is not there."""
    d = node.__dict__ if getattr(type(node), "__dictoffset__", 0) > 0 else None
    for j, name in enumerate(names_of(type(node), "_fields")):
        if d is not None and name in d:
            yield j, name, d[name]
            continue
        try:
            value = getattr(node, name)
        except AttributeError:
            continue
        yield j, name, value


def child_edges(node):
    """(child, parent, field, index) in field order, list items in list order."""
    out = []
    for _, name, value in field_values(node):
        if type(value) is list:
            out.extend((item, node, name, i) for i, item in enumerate(value) if is_ast(item))
        elif is_ast(value):
            out.append((value, node, name, -1))
    return out


def children(node):
    return [edge[0] for edge in child_edges(node)]


def walk_frontier_edges(root, kinds):
    out, stack = [], list(reversed(child_edges(root)))
    while stack:
        edge = stack.pop()
        if in_set(edge[0], kinds):
            out.append(edge)
        else:
            stack.extend(reversed(child_edges(edge[0])))
    return out


def walk_frontier(root, kinds):
    return [edge[0] for edge in walk_frontier_edges(root, kinds)]


def walk_of_types(root, kinds, prune=()):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        if node is root or not in_set(node, prune or ()):
            stack.extend(reversed(children(node)))
        if in_set(node, kinds):
            out.append(node)
    return out


def walk_of_types_edges(root, kinds, prune=()):
    """walk_of_types with places; the root's own entry has no parent."""
    out, stack = [], [(root, None, None, -1)]
    while stack:
        edge = stack.pop()
        node = edge[0]
        if node is root or not in_set(node, prune or ()):
            stack.extend(reversed(child_edges(node)))
        if in_set(node, kinds):
            out.append(edge)
    return out


def expand_kinds(kinds):
    """The given classes and every class below them, categories left out."""
    out, seen = [], set()
    stack = list(reversed(kinds)) if isinstance(kinds, tuple) else [kinds]
    while stack:
        cls = stack.pop()
        if cls in seen:
            continue
        seen.add(cls)
        subclasses = cls.__subclasses__()
        if not (subclasses and getattr(cls, "_fields", ()) == ()):
            out.append(cls)
        stack.extend(reversed(subclasses))
    return tuple(out)


def walk_frontier_events(root, kinds, bracket):
    out = []

    def descend(node):
        below = children(node)
        if in_set(node, bracket):
            out.append((1, node))
        for child in below:
            if in_set(child, kinds):
                out.append((0, child))
            else:
                descend(child)
        if in_set(node, bracket):
            out.append((2, node))

    descend(root)
    return out


# ----------------------------------------------------------------- mutation

def parent_assignments(root):
    """The (child, parent) pairs set_parents assigns, in order. Only valid when
    assigning `parent` cannot change what a node's fields hold."""
    out, stack = [], [root]
    while stack:
        parent = stack.pop()
        below = children(parent)
        out.extend((child, parent) for child in below)
        stack.extend(reversed(below))
    return out


def set_parents(root):
    """Does what set_parents does, assigning as it goes."""
    stack = [root]
    while stack:
        parent = stack.pop()
        below = children(parent)
        for child in below:
            child.parent = parent
        stack.extend(reversed(below))


def fix_missing_locations(root):
    """Does what fix_missing_locations does: presence is judged by the instance
    dictionary, a None end position counts as missing, writes go in the order
    lineno, col_offset, end_lineno, end_col_offset."""
    stack = [(root, (1, 0, 1, 0))]
    while stack:
        node, row = stack.pop()
        declared = names_of(type(node), "_attributes")
        if any(name in declared for name in LOCATIONS):
            d = node.__dict__ if getattr(type(node), "__dictoffset__", 0) > 0 else None
            row = list(row)
            for k, name in enumerate(LOCATIONS):
                if name not in declared:
                    continue
                value = MISSING if d is None else d.get(name, MISSING)
                if value is MISSING or (k >= 2 and value is None):
                    setattr(node, name, row[k])
                else:
                    row[k] = value
        stack.extend((child, row) for child in reversed(children(node)))
    return root


# ------------------------------------------------------------------ hashing

def mix(h, v):
    rotated = ((h << 5) | (h >> 59)) & MASK
    return ((rotated ^ (v & MASK)) * MULTIPLIER) & MASK


def signed(h):
    return h - (1 << 64) if h >= 1 << 63 else h


INT_HASH_LIMIT = (1 << 61) - 1


def leaf_hash(x):
    cls = type(x)
    if cls is int:
        # Python's int hash is the value modulo 2**61 - 1 and maps -1 to -2, so
        # ints outside that range, and -1, are hashed by their hex digits.
        inside = -INT_HASH_LIMIT < x < INT_HASH_LIMIT and x != -1
        p = hash(x) if inside else hash(hex(x))
    elif x is None or x is Ellipsis or cls in (str, bytes, bool):
        p = hash(x)
    else:
        r = repr(x)
        return mix(mix(mix(0, id(cls)), str.__hash__(r)), str.__len__(r))
    # The type is seeded like a node's: folded straight into the address, a
    # small value would make up for the small distance between two static
    # types (b'' and 55296 hashed alike). `& MASK` in mix sign-extends p.
    h = mix(mix(0, id(cls)), p)
    # str's own hash covers its storage bytes only: ': ' and '\u203a' agree.
    return mix(h, len(x)) if cls is str else h


def is_container(x):
    """Hashed by its items; a dict subclass with a repr of its own by that."""
    return isinstance(x, (tuple, list, frozenset, set)) or isinstance(x, dict) and type(x).__repr__ is dict.__repr__


def container_hash(x, seed, item_hash):
    """Tuples, nested lists and sets by their items, sets in any order; a
    dict as the sequence key, value, ... in its table's order."""
    if isinstance(x, dict):
        x = [v for pair in dict.items(x) for v in pair]
    if isinstance(x, (tuple, list)):
        h = mix(seed, len(x))
        for item in x:
            h = mix(h, item_hash(item))
        return h
    return mix(mix(seed, len(x)), sum(finish(item_hash(item)) for item in x) & MASK)


def subtree_hashes(root):
    """{id(node): signed hash} for every distinct node reached from root."""
    memo = {}

    def item_hash(x):
        if is_ast(x):
            return node_hash(x)
        if is_container(x):
            return container_hash(x, mix(0, id(type(x))), inner_hash)
        return leaf_hash(x)

    def inner_hash(x):
        # A node inside a container is no node of the tree: it gets no entry.
        return subtree_hashes(x)[id(x)] & MASK if is_ast(x) else item_hash(x)

    def node_hash(node):
        if id(node) in memo:
            return memo[id(node)]
        acc = mix(0, id(type(node)))
        for j, _, value in field_values(node):
            if type(value) is list:
                h = mix(MASK, len(value))
                for item in value:
                    h = mix(h, item_hash(item))
            else:
                h = item_hash(value)
            acc = mix(mix(acc, j), h)
        memo[id(node)] = acc
        return acc

    node_hash(root)
    return {k: signed(v) for k, v in memo.items()}


# ------------------------------------------------ process-independent hashes

# Left out by mode "renamed" (and "shape"): fields typed as identifiers, and
# an interpolation's source text, by class of the ast module.
IDENTIFIER_FIELDS = {
    "FunctionDef": ("name",), "AsyncFunctionDef": ("name",), "ClassDef": ("name",),
    "ImportFrom": ("module",), "alias": ("name", "asname"), "Global": ("names",),
    "Nonlocal": ("names",), "Attribute": ("attr",), "Name": ("id",),
    "ExceptHandler": ("name",), "arg": ("arg",), "keyword": ("arg",),
    "MatchMapping": ("rest",), "MatchClass": ("kwd_attrs",), "MatchStar": ("name",),
    "MatchAs": ("name",), "TypeVar": ("name",), "ParamSpec": ("name",),
    "TypeVarTuple": ("name",), "Interpolation": ("str",),
}
# Left out by mode "shape" as well: fields typed as constants.
CONSTANT_FIELDS = {"Constant": ("value",), "MatchSingleton": ("value",)}
LEFT_OUT = 0x243F6A8885A308D3


def finish(h):
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & MASK
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & MASK
    return h ^ (h >> 33)


def bytes_hash(data):
    h = mix(0x13198A2E03707344, len(data))
    for i in range(0, len(data), 8):
        h = mix(h, int.from_bytes(data[i:i + 8], "little"))
    return finish(h)


def str_hash(s):
    return bytes_hash(s.encode("utf-8", "surrogatepass"))


def class_seed(cls):
    def part(v):
        return str_hash(v if isinstance(v, str) else repr(v))
    return mix(0, mix(part(cls.__module__), part(cls.__qualname__)))


def stable_leaf_hash(x):
    cls = type(x)
    if cls is str:
        v = str_hash(x)
    elif cls is bytes:
        v = bytes_hash(x)
    elif cls is int:
        v = x & MASK if -(1 << 63) <= x < 1 << 63 else ~str_hash(hex(x)) & MASK
    elif cls is bool:
        v = int(x)
    elif x is None or x is Ellipsis:
        v = 0
    else:
        v = str_hash(repr(x))
    return mix(class_seed(cls), v)


def field_rules(cls, mode):
    """{field name: "identifier" | "constant"} for a class in a mode."""
    tables = {"renamed": [IDENTIFIER_FIELDS], "shape": [IDENTIFIER_FIELDS, CONSTANT_FIELDS]}.get(mode, [])
    for base in cls.__mro__:
        for table, rule in zip(tables, ("identifier", "constant")):
            for name in table:
                if getattr(ast, name, None) is base:
                    rules = {}
                    for t, r in zip(tables, ("identifier", "constant")):
                        rules.update({f: r for f in t.get(name, ())})
                    return rules
    return {}


def subtree_digests(root, mode="stable"):
    """{id(node): (signed hash, size)} in the modes that do not depend on the
    process; size counts nodes as walk_dfs lists them."""
    memo = {}

    def item(x, rule):
        if rule == "identifier" and isinstance(x, str):
            return LEFT_OUT, 0
        if is_ast(x):
            return node_digest(x)
        if is_container(x):  # its nodes count in no size
            return container_hash(x, class_seed(type(x)), inner_hash), 0
        return stable_leaf_hash(x), 0

    def inner_hash(x):
        # A node inside a container is no node of the tree: it gets no entry.
        return subtree_digests(x, mode)[id(x)][0] & MASK if is_ast(x) else item(x, None)[0]

    def node_digest(node):
        if id(node) in memo:
            return memo[id(node)]
        rules = field_rules(type(node), mode)
        acc, size = class_seed(type(node)), 1
        for j, name, value in field_values(node):
            rule = rules.get(name)
            if rule == "constant":
                # left out, but the nodes in it still count
                h = LEFT_OUT
                for x in value if type(value) is list else [value]:
                    size += node_digest(x)[1] if is_ast(x) else 0
            elif type(value) is list:
                h = mix(MASK, len(value))
                for x in value:
                    xh, xs = item(x, rule)
                    h, size = mix(h, xh), size + xs
            else:
                h, xs = item(value, rule)
                size += xs
            acc = mix(mix(acc, j), h)
        memo[id(node)] = acc, size
        return acc, size

    node_digest(root)
    return {k: (signed(h), n) for k, (h, n) in memo.items()}


class _LeftOut:
    def __repr__(self):
        return "<left out>"  # no quotes: no str value prints like it


def normalise(tree, mode):
    """`tree`, changed so that what `mode` leaves out is replaced by a
    marker: ast.dump of its nodes then compares as the mode's hashes should."""
    marker = _LeftOut()
    rules = {}  # field_rules looks through the class's bases: once per class
    for n in ast.walk(tree):
        cls = type(n)
        if cls not in rules:
            rules[cls] = field_rules(cls, mode)
        for name, rule in rules[cls].items():
            value = getattr(n, name, None)
            if rule == "constant" or isinstance(value, str):
                setattr(n, name, marker)
            elif isinstance(value, list):
                setattr(n, name, [marker if isinstance(v, str) else v for v in value])
    return tree
