"""Real code as a corpus: CPython's own test suite, where it is installed.

Every sampled file that parses must give, under every function, what the
standard library's helpers give and what the plain-Python model gives. The
sample is deterministic (every STRIDE-th file in sorted order) so that a
run takes the same files every time and stays within its time budget.
"""

import ast
import collections
import os
import sys
import warnings

import pytest

import quernwood
import reference as ref
from conftest import STDLIB_STRIDE

# Hundreds of files under every function: minutes under the sanitizers, whose
# run covers the same code through the other tests.
pytestmark = pytest.mark.slow_under_asan

SUITE = f"/usr/lib/python{sys.version_info.major}.{sys.version_info.minor}/test"
# Of the files in sorted order, every STRIDE-th is checked (a wider stride
# for the runs that repeat an interpreter already covered in full).
STRIDE = 6 * STDLIB_STRIDE
FIX_STRIDE = 3  # of those, every FIX_STRIDE-th also has locations stripped
KINDS = (ast.Name, ast.Constant, ast.Return, ast.Lambda)
BRACKET = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda, ast.comprehension)
SMALL_SUBTREE = 64  # nodes whose ast.dump is compared with their hash


def suite_files():
    out = []
    for dirpath, dirnames, filenames in os.walk(SUITE):
        dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
        out.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    return out[::STRIDE]


FILES = suite_files() if os.path.isdir(SUITE) else []
# Parsed trees hold only the interpreter's own node classes, which every
# thread's field table knows.
TABLE = ref.field_table_snapshot()


def parse(path):
    with open(path, "rb") as f:
        source = f.read()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return ast.parse(source, path)
        except (SyntaxError, ValueError, UnicodeDecodeError):
            pytest.skip("does not parse on this interpreter")


def ids(nodes):
    return [id(n) for n in nodes]


class Recorder(ast.NodeVisitor):
    """An ordinary NodeVisitor whose handlers record the calls it makes."""

    def __init__(self):
        self.events = []

    def enter_and_leave(self, node):
        self.events.append((1, node))
        self.generic_visit(node)
        self.events.append((2, node))

    def dispatched(self, node):
        self.events.append((0, node))

    def descend_from(self, root):
        if type(root) in BRACKET:
            self.enter_and_leave(root)
        else:
            self.generic_visit(root)
        return self.events


for _cls in BRACKET:
    setattr(Recorder, "visit_" + _cls.__name__, Recorder.enter_and_leave)
for _cls in KINDS:  # dispatch wins over bracketing
    setattr(Recorder, "visit_" + _cls.__name__, Recorder.dispatched)


def check_walks(tree):
    dfs = quernwood.walk_dfs(tree)
    assert collections.Counter(ids(ast.walk(tree))) == collections.Counter(ids(dfs))
    assert ids(dfs) == ids(ref.walk_dfs(tree, TABLE))
    assert ids(quernwood.walk_unordered(tree)) == ids(ref.walk_unordered(tree, TABLE))
    assert quernwood._walk_count(tree) == len(dfs)
    return dfs


def check_typed(tree):
    events = quernwood.walk_frontier_events(tree, KINDS, BRACKET)
    want = Recorder().descend_from(tree)
    assert [e for e, _ in events] == [e for e, _ in want]
    assert ids(n for _, n in events) == ids(n for _, n in want)
    model = ref.walk_frontier_events(tree, KINDS, BRACKET)
    assert ids(n for _, n in events) == ids(n for _, n in model)

    frontier = quernwood.walk_frontier_edges(tree, KINDS)
    assert [(id(n), id(p), f, i) for n, p, f, i in frontier] == [
        (id(n), id(p), f, i) for n, p, f, i in ref.walk_frontier_edges(tree, KINDS)]
    for node, parent, field, index in frontier:  # each edge says where it was read
        value = getattr(parent, field)
        assert (value if index == -1 else value[index]) is node
    assert ids(quernwood.walk_frontier(tree, KINDS)) == ids(n for n, *_ in frontier)
    assert ids(quernwood.walk_of_types(tree, KINDS, BRACKET)) == ids(ref.walk_of_types(tree, KINDS, BRACKET))
    assert ids(quernwood.walk_of_types(tree, KINDS)) == ids(ref.walk_of_types(tree, KINDS))


def check_hashes(tree, dfs):
    hashes = quernwood.subtree_hashes(tree)
    assert hashes == ref.subtree_hashes(tree)
    assert quernwood.subtree_hash(tree) == hashes[id(tree)]
    assert len(hashes) == len(set(ids(dfs)))
    by_dump, by_hash = collections.defaultdict(set), collections.defaultdict(set)
    for n in dfs:
        if quernwood._walk_count(n) <= SMALL_SUBTREE:
            text = ast.dump(n)
            by_dump[text].add(hashes[id(n)])
            by_hash[hashes[id(n)]].add(text)
    assert all(len(v) == 1 for v in by_dump.values())
    assert all(len(v) == 1 for v in by_hash.values())


def check_parents(tree, dfs):
    last = {id(child): parent for child, parent in ref.parent_assignments(tree)}
    assert quernwood.set_parents(tree) is None
    assert "parent" not in vars(tree)
    for n in dfs[1:]:
        assert n.parent is last[id(n)]
        assert any(c is n for c in ast.iter_child_nodes(n.parent))


def stripped(path):
    """A fresh parse with some location attributes removed or set to None."""
    tree = parse(path)
    nodes = quernwood.walk_dfs(tree)
    for i, n in enumerate(nodes):
        for k, name in enumerate(ref.LOCATIONS):
            if name in vars(n) and (i + k) % 5 == 0:
                if k >= 2 and i % 2:
                    setattr(n, name, None)
                else:
                    delattr(n, name)
    return tree, nodes


def check_locations(path):
    (ours, ours_nodes), (std, std_nodes), (model, model_nodes) = (stripped(path) for _ in range(3))
    assert quernwood.fix_missing_locations(ours) is ours
    ast.fix_missing_locations(std)
    ref.fix_missing_locations(model)

    def locations(nodes):
        return [tuple(getattr(n, name, None) for name in ref.LOCATIONS) for n in nodes]

    assert locations(ours_nodes) == locations(std_nodes)
    assert locations(ours_nodes) == locations(model_nodes)


@pytest.mark.skipif(not FILES, reason="CPython's test suite is not installed")
@pytest.mark.parametrize("path", FILES, ids=lambda p: os.path.relpath(p, SUITE))
def test_file(path):
    tree = parse(path)
    dfs = check_walks(tree)
    check_typed(tree)
    check_hashes(tree, dfs)
    check_parents(tree, dfs)
    if FILES.index(path) % FIX_STRIDE == 0:
        check_locations(path)
