"""Depth, size and hostile structures at scale, for every function."""

import ast
import threading
import warnings

import pytest

import quernwood as qw
from conftest import EMULATED, run_fresh

# Under qemu-user a tenth of each (the million levels took five minutes
# there) is still far more than a 256 KiB stack holds with one native frame
# per level.
DEPTH = 100_000 if EMULATED else 1_000_000
NODES = 300_000 if EMULATED else 3_000_000

# Every function, reduced to something comparable. Frontier and event
# functions look for ast.Name, the leaf at the bottom of the chain.
FUNCTIONS = {
    "walk": lambda t: len(qw.walk(t)),
    "walk_dfs": lambda t: len(qw.walk_dfs(t)),
    "walk_unordered": lambda t: len(qw.walk_unordered(t)),
    "_walk_count": qw._walk_count,
    "walk_frontier": lambda t: len(qw.walk_frontier(t, (ast.Name,))),
    "walk_frontier_edges": lambda t: len(qw.walk_frontier_edges(t, (ast.Name,))),
    "walk_of_types": lambda t: len(qw.walk_of_types(t, (ast.UnaryOp, ast.Name))),
    "walk_frontier_events": lambda t: len(qw.walk_frontier_events(t, (ast.Name,), (ast.UnaryOp,))),
    "set_parents": lambda t: qw.set_parents(t),
    "fix_missing_locations": lambda t: qw.fix_missing_locations(t) is t,
    "subtree_hashes": lambda t: len(qw.subtree_hashes(t)),
    "subtree_hash": lambda t: type(qw.subtree_hash(t)),
    "walk_of_types_edges": lambda t: len(qw.walk_of_types_edges(t, (ast.UnaryOp, ast.Name))),
    "subtree_digests": lambda t: len(qw.subtree_digests(t, "renamed")),
    "subtree_digest": lambda t: qw.subtree_digest(t, "stable")[1],
}


def deep_chain(depth):
    """Module > Expr > UnaryOp x depth > Name, one USub shared by all."""
    op, node = ast.USub(), ast.Name("x", ast.Load())
    for _ in range(depth):
        node = ast.UnaryOp(op, node)
    return ast.Module(body=[ast.Expr(node)], type_ignores=[])


def on_small_stack(fn):
    """Runs fn on a thread with a 256 KiB stack: a native recursion per level
    of a million-level tree would overflow it."""
    result, error = [], []
    old = threading.stack_size(256 * 1024)
    try:
        t = threading.Thread(target=lambda: _capture(fn, result, error))
        t.start()
    finally:
        threading.stack_size(old)
    t.join()
    if error:
        raise error[0]
    return result[0]


def _capture(fn, result, error):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            result.append(fn())
    except BaseException as e:
        error.append(e)


@pytest.fixture(scope="module")
def chain():
    return deep_chain(DEPTH)


def test_million_levels_every_function(chain):
    # Module, Expr, the chain, its Name and Load, and the USub once per UnaryOp.
    nodes = 2 + DEPTH + 2 + DEPTH
    expected = {
        "walk": nodes, "walk_dfs": nodes, "walk_unordered": nodes, "_walk_count": nodes,
        "walk_frontier": 1, "walk_frontier_edges": 1,
        "walk_of_types": DEPTH + 1,
        "walk_frontier_events": 1 + 2 * DEPTH,
        "set_parents": None, "fix_missing_locations": True,
        "subtree_hashes": 2 + DEPTH + 3,  # keyed by id: the USub counts once
        "subtree_hash": int,
        "walk_of_types_edges": DEPTH + 1,
        "subtree_digests": 2 + DEPTH + 3,
        "subtree_digest": nodes,
    }
    got = on_small_stack(lambda: {name: fn(chain) for name, fn in FUNCTIONS.items()})
    assert got == expected
    inner = chain.body[0].value.operand
    assert inner.parent is chain.body[0].value and inner.lineno == 1


def test_millions_of_nodes():
    part = ast.parse("def f(a, b=2):\n    return [a * b for a in range(b) if a]\nx = f(1)[0] + -y\n")
    per_copy = qw._walk_count(part) - 1
    copies = NODES // per_copy + 1
    # The same statements many times over: each is handled once per path.
    big = ast.Module(body=part.body * copies, type_ignores=[])
    total = 1 + copies * per_copy
    assert total > NODES
    dfs = qw.walk_dfs(big)
    unordered = qw.walk_unordered(big)
    assert len(dfs) == len(unordered) == qw._walk_count(big) == total
    shared = set(map(id, qw.walk_dfs(part))) - {id(part)} | {id(big)}
    assert set(map(id, dfs)) == set(map(id, unordered)) == shared
    assert qw.subtree_hash(big) == qw.subtree_hashes(big)[id(big)]
    assert qw.subtree_hash(big) != qw.subtree_hash(ast.Module(body=part.body * (copies - 1), type_ignores=[]))


# Hostile input. Cycles are covered for all twelve functions next to each
# function's own tests (test_walks, test_traversals, test_mutation,
# test_hashing): each costs 2**24 node visits.

def test_more_than_255_ast_classes():
    # In a fresh interpreter, so that the classes exist before the thread's
    # first walk builds its table of classes.
    r = run_fresh("""
        import ast, quernwood as qw
        classes = [type(f"K{i}", (ast.expr,), {"_fields": ("value",)}) for i in range(400)]
        node = ast.Name("x", ast.Load())
        for cls in classes:
            outer = cls()
            outer.value = node
            node = outer
        tree = ast.Expression(body=node)
        n = len(classes) + 3
        assert len(qw.walk_dfs(tree)) == len(qw.walk_unordered(tree)) == qw._walk_count(tree) == n
        assert qw.walk_dfs(tree) == list(ast.walk(tree))
        assert len(qw.walk_of_types(tree, tuple(classes))) == len(classes)
        assert qw.walk_frontier(tree, (ast.Name,)) == [qw.walk_dfs(tree)[-2]]
        assert len(qw.subtree_hashes(tree)) == n
        print("ok")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def with_odd_key():
    call = ast.parse("f(x, y=[1, 2])", mode="eval").body
    vars(call)[7] = ast.Name("not a field", ast.Load())  # a non-str key, after the fields
    return ast.Expression(body=call)


def bare_name():
    return ast.Expression(body=ast.Name.__new__(ast.Name))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_odd_dictionaries_match_plain_trees(name):
    fn = FUNCTIONS[name]
    plain = ast.Expression(body=ast.parse("f(x, y=[1, 2])", mode="eval").body)
    assert fn(with_odd_key()) == fn(plain)
    # A node made by __new__ alone has no fields in its dictionary.
    assert fn(bare_name()) == fn(ast.Expression(body=ast.Name.__new__(ast.Name)))
    bare = bare_name()
    assert qw.walk_dfs(bare) == [bare, bare.body]


def test_odd_key_hash_equals_plain_hash():
    plain = ast.Expression(body=ast.parse("f(x, y=[1, 2])", mode="eval").body)
    assert qw.subtree_hash(with_odd_key()) == qw.subtree_hash(plain)
