"""Every function against the plain-Python model, on generated structures."""

import ast
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest
from hypothesis import HealthCheck, given, settings

import quernwood
import reference as ref
from conftest import examples
from strategies import plans

PROPERTY_SETTINGS = settings(
    max_examples=examples(120),
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Worker:
    """One thread whose field table is built right after the model's snapshot
    of the node classes, so the model knows exactly which classes the
    collection walks know: those made later (while drawing) are unknown."""

    def __init__(self):
        self._pool = ThreadPoolExecutor(max_workers=1)
        self.table = self.run(self._build)

    @staticmethod
    def _build():
        table = ref.field_table_snapshot()
        quernwood._walk_count(None)
        return table

    def run(self, fn, *args):
        return self._pool.submit(fn, *args).result()


WORKER = Worker()


def outcome(fn, *args):
    """('ok', result) or ('raised', exception type)."""
    try:
        return "ok", fn(*args)
    except Exception as e:
        return "raised", type(e)


def assert_same_nodes(got, want):
    assert len(got) == len(want)
    assert all(g is w for g, w in zip(got, want)), (got, want)


def equal(got, want):
    assert got == want


def compare(module_fn, model_fn, check):
    """Runs both on the worker; equal exception types, or `check(got, want)`."""
    got = WORKER.run(outcome, module_fn)
    want = WORKER.run(outcome, model_fn)
    assert got[0] == want[0], (got, want)
    if got[0] == "raised":
        assert got[1] is want[1]
    else:
        check(got[1], want[1])


@PROPERTY_SETTINGS
@given(plans())
def test_collection_walks(plan):
    t = plan.build()
    table = WORKER.table
    dfs = ref.walk_dfs(t.root, table)
    unordered = ref.walk_unordered(t.root, table)

    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            alias = quernwood.walk(t.root)
        return (quernwood.walk_dfs(t.root), alias, quernwood.walk_unordered(t.root),
                quernwood._walk_count(t.root))

    got_dfs, got_alias, got_unordered, count = WORKER.run(run)
    assert_same_nodes(got_dfs, dfs)
    assert_same_nodes(got_alias, dfs)
    assert_same_nodes(got_unordered, unordered)
    assert count == len(dfs)


def same_edges(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert type(g) is tuple and len(g) == 4
        assert g[0] is w[0] and g[1] is w[1]
        assert g[2] == w[2] and type(g[2]) is type(w[2])
        assert type(g[3]) is int and g[3] == w[3]


# Drawn kinds may name abstract classes: the results must not change.
@pytest.mark.filterwarnings("ignore::quernwood.AbstractKindWarning")
@PROPERTY_SETTINGS
@given(plans())
def test_typed_traversals(plan):
    t = plan.build()
    root = t.root
    compare(lambda: quernwood.walk_frontier(root, plan.kinds),
            lambda: ref.walk_frontier(root, plan.kinds), assert_same_nodes)
    compare(lambda: quernwood.walk_frontier_edges(root, plan.kinds),
            lambda: ref.walk_frontier_edges(root, plan.kinds), same_edges)
    compare(lambda: quernwood.walk_of_types(root, plan.kinds, plan.prune),
            lambda: ref.walk_of_types(root, plan.kinds, plan.prune), assert_same_nodes)
    compare(lambda: quernwood.walk_of_types_edges(root, plan.kinds, plan.prune),
            lambda: ref.walk_of_types_edges(root, plan.kinds, plan.prune), same_edges)
    if plan.prune is None:
        compare(lambda: quernwood.walk_of_types(root, kinds=plan.kinds),
                lambda: ref.walk_of_types(root, plan.kinds), assert_same_nodes)

    def same_events(got, want):
        assert [type(g) for g in got] == [tuple] * len(want)
        assert [g[0] for g in got] == [w[0] for w in want]
        assert_same_nodes([g[1] for g in got], [w[1] for w in want])

    compare(lambda: quernwood.walk_frontier_events(root, plan.kinds, plan.bracket),
            lambda: ref.walk_frontier_events(root, plan.kinds, plan.bracket), same_events)


@PROPERTY_SETTINGS
@given(plans())
def test_hashes(plan):
    t = plan.build()

    def same_hashes(got, want):
        assert got == want
        assert all(type(v) is int and -(2**63) <= v < 2**63 for v in got.values())

    compare(lambda: quernwood.subtree_hashes(t.root), lambda: ref.subtree_hashes(t.root), same_hashes)
    compare(lambda: quernwood.subtree_hash(t.root),
            lambda: ref.subtree_hashes(t.root)[id(t.root)], equal)
    for mode in ("stable", "renamed", "shape"):
        compare(lambda: quernwood.subtree_digests(t.root, mode),
                lambda: ref.subtree_digests(t.root, mode), equal)
        compare(lambda: quernwood.subtree_digest(t.root, mode=mode),
                lambda: ref.subtree_digests(t.root, mode)[id(t.root)], equal)

    def process_digests():
        return {k: (h, ref.subtree_digests(t.root)[k][1]) for k, h in ref.subtree_hashes(t.root).items()}

    compare(lambda: quernwood.subtree_digests(t.root), process_digests, equal)


def index_of(built):
    index = {id(n): i for i, n in enumerate(built.nodes)}
    index[id(built.root)] = "root"
    return index


def state(built, names):
    """Each planned node's attributes `names` (nodes as their plan index) and
    its dictionary's key order, for comparing two builds of one plan."""
    index = index_of(built)

    def canon(v):
        if id(v) in index:
            return ("node", index[id(v)])
        if isinstance(v, (list, tuple)):  # made afresh by each build
            return ("items", type(v), tuple(canon(x) for x in v))
        return ("value", type(v), v if type(v) in (int, bool) else id(v))

    out = []
    for n in built.nodes:
        d = vars(n)
        out.append(([k for k in d if isinstance(k, str)],
                    {k: canon(d[k]) for k in names if k in d}))
    return out


def run_both(plan, model_fn, module_fn, names):
    a, b = plan.build(), plan.build()
    want = WORKER.run(outcome, model_fn, a.root)
    got = WORKER.run(outcome, module_fn, b.root)
    assert got[0] == want[0]
    if got[0] == "raised":
        assert got[1] is want[1]
    assert state(b, names) == state(a, names)
    return b, got


@PROPERTY_SETTINGS
@given(plans())
def test_set_parents(plan):
    _, got = run_both(plan, ref.set_parents, quernwood.set_parents, ["parent"])
    assert got == ("ok", None)


@PROPERTY_SETTINGS
@given(plans())
def test_fix_missing_locations(plan):
    b, got = run_both(plan, ref.fix_missing_locations, quernwood.fix_missing_locations, ref.LOCATIONS)
    assert got[0] == "raised" or got[1] is b.root


@pytest.mark.parametrize("module_fn, model_fn", [
    (quernwood.set_parents, ref.set_parents),
    (quernwood.fix_missing_locations, ref.fix_missing_locations),
])
def test_mutations_agree_on_parsed_code(module_fn, model_fn):
    """The mutation models also agree with the module where nodes are shared
    (the parser's one Load instance) and locations partly deleted."""
    source = "def f(a, b=1):\n    return [a + b for b in range(a)] or f(b, *a)\n"

    class Built:
        def __init__(self):
            self.root = ast.parse(source)
            self.nodes = ref.walk_dfs(self.root, WORKER.table)
            for i, n in enumerate(self.nodes):
                for k, name in enumerate(ref.LOCATIONS):
                    if (i + k) % 3 == 0 and name in vars(n):
                        delattr(n, name)

    a, b = Built(), Built()
    model_fn(a.root)
    module_fn(b.root)
    names = ref.LOCATIONS + ("parent",)
    # The parser hands out one instance of each context and operator class
    # to every tree; both calls write to those, so they are not compared.
    own = [i for i, n in enumerate(a.nodes) if n is not b.nodes[i]]
    want, got = state(a, names), state(b, names)
    assert len(own) > 20
    assert [got[i] for i in own] == [want[i] for i in own]

