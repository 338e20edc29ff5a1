"""Misuses the type checkers must report: each flagged line names its mypy error code."""

import ast

import quernwood

tree = ast.parse("x = 1")

quernwood.walk_dfs("x = 1")  # expect: arg-type
quernwood.walk_frontier(tree, [ast.Name])  # expect: call-overload
quernwood.walk_frontier(tree)  # expect: call-overload
quernwood.walk_of_types(tree, (ast.Name,), prune=ast.Lambda)  # expect: call-overload
quernwood.walk_frontier_events(tree, (ast.Name,))  # expect: call-arg
quernwood.subtree_hash(tree, tree)  # expect: call-arg
name: str = quernwood.subtree_hash(tree)  # expect: assignment
hashes: dict[str, int] = quernwood.subtree_hashes(tree)  # expect: assignment
module: ast.Module = quernwood.fix_missing_locations(ast.Expression(body=ast.Constant(1)))  # expect: assignment
quernwood.set_parents(tree).parent  # expect: func-returns-value, attr-defined
node, parent, field = quernwood.walk_frontier_edges(tree, (ast.Name,))[0]  # expect: misc
for event, found in quernwood.walk_frontier_events(tree, (ast.Name,), ()):
    event.upper()  # expect: union-attr
quernwood.walk_of_types(tree, (ast.If, ast.For, ast.While, ast.Name))[0].body  # expect: union-attr
quernwood.walk_everything(tree)  # expect: attr-defined
quernwood.subtree_digests(tree, "fast")  # expect: arg-type
for call, parent, field, index in quernwood.walk_of_types_edges(tree, (ast.Call,)):
    getattr(parent, field)  # expect: arg-type
quernwood.expand_kinds([ast.stmt])  # expect: arg-type
