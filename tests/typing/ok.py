"""Every public function used as its types promise; must pass mypy --strict."""

import ast
from typing import assert_type

import quernwood


def stmt_lines(tree: ast.Module) -> list[int]:
    funcs = quernwood.walk_frontier(tree, (ast.FunctionDef, ast.AsyncFunctionDef))
    return [f.lineno for f in funcs if isinstance(f, ast.stmt)]


def check(source: str) -> None:
    tree = ast.parse(source)
    nodes: list[ast.AST] = quernwood.walk_dfs(tree)
    assert_type(quernwood.walk_unordered(tree), list[ast.AST])
    count: int = quernwood._walk_count(tree)
    assert count == len(nodes)

    for node, parent, field, index in quernwood.walk_frontier_edges(tree, (ast.Name,)):
        assert_type(node, ast.AST)
        assert_type(parent, ast.AST)
        where = getattr(parent, field) if index < 0 else getattr(parent, field)[index]
        assert where is node

    calls = quernwood.walk_of_types(tree, (ast.Call,))
    outer = quernwood.walk_of_types(tree, (ast.Call,), prune=(ast.Lambda,))
    assert len(outer) <= len(calls)
    assert_type(quernwood.walk_of_types(tree, (ast.Call,), None), list[ast.AST])

    depth = 0
    for event, node in quernwood.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,)):
        assert_type(event, int)
        depth += {1: 1, 2: -1}.get(event, 0)
        assert isinstance(node, ast.AST)
    assert depth == 0

    hashes: dict[int, int] = quernwood.subtree_hashes(tree)
    assert hashes[id(tree)] == quernwood.subtree_hash(tree)

    fixed = quernwood.fix_missing_locations(tree)
    assert_type(fixed, ast.Module)
    print(stmt_lines(fixed))
    expr = quernwood.fix_missing_locations(ast.Expression(body=ast.Constant(1)))
    assert_type(expr, ast.Expression)

    quernwood.set_parents(tree)
    assert all(getattr(child, "parent") is tree for child in tree.body)


if __name__ == "__main__":
    check("def f(x):\n    return g(x, lambda: h(x))\n")
