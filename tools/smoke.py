"""Calls every function of an installed quernwood once; run from outside the checkout."""

import ast
import os
import sys
import sysconfig
import warnings

import quernwood

site = sysconfig.get_paths()["platlib"]
assert os.path.dirname(quernwood.__file__) == site, (quernwood.__file__, site)
assert os.path.isfile(os.path.join(site, "quernwood-stubs", "__init__.pyi"))

tree = ast.parse("def f(x=[]):\n    try:\n        return g(x)\n    except:\n        pass\n")
dfs = quernwood.walk_dfs(tree)
assert len(dfs) == len(list(ast.walk(tree))) == quernwood._walk_count(tree)
assert {id(n) for n in quernwood.walk_unordered(tree)} == {id(n) for n in dfs}
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    assert quernwood.walk(tree) == dfs
assert [w.category for w in caught] == [DeprecationWarning]
fn = tree.body[0]
assert quernwood.walk_frontier(tree, (ast.FunctionDef,)) == [fn]
assert quernwood.walk_frontier_edges(tree, (ast.FunctionDef,)) == [(fn, tree, "body", 0)]
assert [type(n) for n in quernwood.walk_of_types(tree, (ast.Call, ast.Name))] == [ast.Call, ast.Name, ast.Name]
assert [type(n) for n in quernwood.walk_of_types(tree, (ast.Call, ast.Name), prune=(ast.Call,))] == [ast.Call]
assert quernwood.walk_frontier_events(tree, (ast.FunctionDef,), (ast.Module,)) == [(1, tree), (0, fn), (2, tree)]
hashes = quernwood.subtree_hashes(tree)
assert len(hashes) == len({id(n) for n in dfs}) and hashes[id(tree)] == quernwood.subtree_hash(tree)
assert quernwood.set_parents(tree) is None and fn.parent is tree
bare = ast.Module(body=[ast.Pass()], type_ignores=[])
assert quernwood.fix_missing_locations(bare) is bare and bare.body[0].lineno == 1
print(f"smoke: quernwood from {quernwood.__file__} on {sys.version.split()[0]}: ok")
