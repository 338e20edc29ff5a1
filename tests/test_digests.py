"""Sizes, process-independent and normalised hashes against the model."""

import ast
import collections
import os
import sys

import pytest

from conftest import STDLIB_STRIDE, parse_file, run_fresh
from test_hashing import Fresh
from quernwood import subtree_digest, subtree_digests, subtree_hashes, walk_dfs

import reference as ref

NORMALISING = ["stable", "renamed", "shape"]


@pytest.mark.slow_under_asan  # whole-stdlib differential: minutes under ASan
@pytest.mark.parametrize("mode", NORMALISING)
def test_equal_hash_is_equal_normalised_dump(stdlib_trees, mode):
    by_dump = collections.defaultdict(set)
    by_hash = collections.defaultdict(set)
    for path, tree in stdlib_trees[::7]:
        digests = subtree_digests(tree, mode)
        # A second parse of the same source: the same tree, several times faster than a deep copy.
        copy = ref.normalise(parse_file(path), mode) if mode != "stable" else tree
        for k, (n, c) in enumerate(zip(ast.walk(tree), ast.walk(copy))):
            if k % 5:
                continue
            d = ast.dump(c)
            by_dump[d].add(digests[id(n)][0])
            by_hash[digests[id(n)][0]].add(d)
    assert len(by_dump) > 2000 // STDLIB_STRIDE
    assert [d for d, hs in by_dump.items() if len(hs) > 1] == []
    assert [ds for ds in by_hash.values() if len(ds) > 1] == []


def test_sizes_and_process_hashes(stdlib_trees):
    for _, tree in stdlib_trees[::25]:
        digests = subtree_digests(tree)
        assert {k: h for k, (h, _) in digests.items()} == subtree_hashes(tree)
        for n in walk_dfs(tree)[::50]:
            assert digests[id(n)][1] == len(walk_dfs(n)) == subtree_digest(n)[1]


# Values whose repr depends on the process: a set's order follows the str
# hash seed (also inside a dict), a node's repr holds its address (before 3.14).
DRIFTING = """[ast.Constant(frozenset(f"w{i}" for i in range(20))),
    ast.Constant({"k": frozenset(f"w{i}" for i in range(20)), frozenset("ab"): 1}),
    ast.Constant([[ast.Name("x", ast.Load())]]), ast.Constant((ast.Name("y", ast.Load()), 1)),
    ast.Constant(type("S", (frozenset,), {"__module__": "m"})(f"w{i}" for i in range(20)))]"""

PROGRAM = """
import sys, ast, quernwood
for tree in [ast.parse(open(path, 'rb').read()) for path in sys.argv[1:]] + """ + DRIFTING + """:
    print(*(quernwood.subtree_digest(tree, m) for m in ('stable', 'renamed', 'shape')))
"""


def test_same_values_in_every_process(stdlib_trees):
    paths = [p for p, _ in stdlib_trees[::40]]
    trees = [ast.parse(open(p, "rb").read()) for p in paths] + eval(DRIFTING)
    here = [" ".join(str(subtree_digest(t, m)) for m in NORMALISING) for t in trees]
    runs = []
    for seed in ("1", "2"):
        os.environ["PYTHONHASHSEED"] = seed
        try:
            r = run_fresh(f"import sys; sys.argv[1:] = {paths!r}\n" + PROGRAM)
        finally:
            del os.environ["PYTHONHASHSEED"]
        assert r.returncode == 0, r.stderr
        runs.append(r.stdout.splitlines())
    assert runs[0] == runs[1] == here


@pytest.mark.slow_under_asan  # ASan reserves more address space than the limit
def test_shared_levels_are_hashed_once_in_bounded_memory():
    # Each level holds the one below twice: 2**42 - 2 nodes by place, 82
    # distinct; listing every place would exhaust the limit.
    r = run_fresh("""
        import ast, resource
        import quernwood as qw
        x = ast.Name("a", ast.Load())
        for _ in range(40):
            x = ast.BinOp(x, ast.Add(), x)
        resource.setrlimit(resource.RLIMIT_AS, (1000 << 20, 1000 << 20))
        print(len(qw.subtree_hashes(x)), qw.subtree_hash(x) == qw.subtree_hashes(x)[id(x)],
              *(qw.subtree_digest(x, m)[1] for m in ("process", "stable", "renamed", "shape")),
              len(qw.subtree_digests(x, "shape")))
    """)
    assert r.stdout.split() == ["82", "True"] + [str(2**42 - 2)] * 4 + ["82"], r.stderr


class Sub(ast.BinOp):
    """A user subclass of a concrete class: the whole-tree walks skip it."""


class Computed(ast.expr):
    _fields = ("value",)

    @property
    def value(self):
        return ast.Name("p", ast.Load())


SIZED = {
    "node as a constant's value": lambda: ast.Expr(ast.Constant(ast.BinOp(ast.Name("a", ast.Load()), ast.Add(),
                                                                          ast.Constant(1)))),
    "nodes listed in a constant's value": lambda: ast.Constant([ast.Pass(), ast.Pass()]),
    "subclass of a concrete class": lambda: ast.Expr(Sub(ast.Name("a", ast.Load()), ast.Add(), ast.Constant(1))),
    "property field": lambda: ast.Expr(Computed()),
    "nodes inside containers": lambda: ast.Constant(([ast.Pass()], (ast.Pass(),), frozenset([ast.Pass()]))),
}


@pytest.mark.parametrize("make", SIZED.values(), ids=SIZED.keys())
def test_size_is_what_ast_walk_lists_in_every_mode(make):
    tree = make()
    for mode in ["process"] + NORMALISING:
        for n in ast.walk(tree):
            assert subtree_digest(n, mode)[1] == len(list(ast.walk(n))), (mode, ast.dump(n))


def digest_of(source, mode):
    return subtree_digest(ast.parse(source) if isinstance(source, str) else source(), mode)


# More fields before the identifier than one word of rules holds.
WideName = type("WideName", (ast.Name,), {"_fields": tuple(f"f{i}" for i in range(40)) + ("id", "ctx")})


RENAMED = """
def total(items, start=0):
    acc = start
    for item in items:
        if item.ok:
            acc += item.value
    return acc
"""


@pytest.mark.parametrize("other, same_in", [
    (RENAMED.replace("item", "x").replace("acc", "s").replace("total", "t").replace("start", "b")
     .replace(".ok", ".good").replace(".value", ".v"), {"renamed", "shape"}),
    (RENAMED.replace("0", "1"), {"shape"}),
    (RENAMED.replace("+=", "-="), set()),
    ("class C:\n    x: int\n", set()),
])
def test_renamed_copies(other, same_in):
    for mode in NORMALISING:
        assert (digest_of(RENAMED, mode) == digest_of(other, mode)) == (mode in same_in), mode


@pytest.mark.parametrize("source, renamed", [
    ("import a.b as c", "import x.y as z"),
    ("from . import a as b", "from . import c as d"),
    ("global a, b", "global c, d"),
    ("try:\n    pass\nexcept E as e:\n    pass", "try:\n    pass\nexcept E as f:\n    pass"),
    ("match x:\n    case C(a=[*r], b=d) as e: pass\n    case {1: 2, **m}: pass",
     "match x:\n    case C(f=[*s], g=h) as i: pass\n    case {1: 2, **n}: pass"),
    pytest.param("def f[T, *U, **V](): pass", "def f[A, *B, **C](): pass",
                 marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="type parameters")),
    ("f(a=1)", "f(b=1)"),
    tuple(lambda n=n: WideName(**dict.fromkeys(WideName._fields[:40]), id=n, ctx=ast.Load()) for n in "ab"),
])
def test_every_kind_of_identifier_is_left_out(source, renamed):
    assert digest_of(source, "renamed") == digest_of(renamed, "renamed")
    assert digest_of(source, "stable") != digest_of(renamed, "stable")


def test_left_out_keeps_structure():
    # None stays None and list lengths stay: `as` and a second name count.
    assert digest_of("import a", "renamed") != digest_of("import a as b", "renamed")
    assert digest_of("global a", "renamed") != digest_of("global a, b", "renamed")
    assert digest_of("x = 1", "shape") == digest_of("y = 'text'", "shape")
    assert digest_of("x = 1", "shape") != digest_of("x = 1, 2", "shape")


@pytest.mark.parametrize("mode", NORMALISING)
def test_nodes_built_by_a_getter(mode):
    # Unlisted children take the fallback; it must agree with the model.
    root = Fresh(3)
    got = subtree_digest(root, mode)
    want = ref.subtree_digests(root, mode)[id(root)]
    assert got == want and got[1] == 5


@pytest.mark.parametrize("mode, error", [("fast", ValueError), (1, TypeError), (b"stable", TypeError),
                                         ("stable\0x", ValueError), ("\ud800", ValueError)])
def test_bad_mode(mode, error):
    with pytest.raises(error):
        subtree_digests(ast.Pass(), mode)
