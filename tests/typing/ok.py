"""Every public function used as its types promise; must pass mypy --strict."""

import ast
from typing import Literal, assert_type

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
        assert_type(node, ast.Name)
        assert_type(parent, ast.AST)
        where = getattr(parent, field) if index < 0 else getattr(parent, field)[index]
        assert where is node

    calls = quernwood.walk_of_types(tree, (ast.Call,))
    outer = quernwood.walk_of_types(tree, (ast.Call,), prune=(ast.Lambda,))
    assert len(outer) <= len(calls)
    assert_type(quernwood.walk_of_types(tree, (ast.Call,), None), list[ast.Call])
    assert_type(quernwood.walk_of_types(tree, (ast.Call, int)), list[ast.AST])

    depth = 0
    for event, seen in quernwood.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,)):
        assert_type(event, Literal[0, 1, 2])
        depth += {1: 1, 2: -1}.get(event, 0)
        assert isinstance(seen, ast.AST)
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


def function_names(tree: ast.Module) -> list[str]:
    # The class asked for is the class of the result: no casts, no isinstance.
    names = [fn.name for fn in quernwood.walk_frontier(tree, (ast.FunctionDef,))]
    for fn in quernwood.walk_of_types(tree, (ast.FunctionDef, ast.AsyncFunctionDef)):
        assert_type(fn, ast.FunctionDef | ast.AsyncFunctionDef)
        names.append(fn.name)
    for node, parent, field, index in quernwood.walk_frontier_edges(tree, (ast.Name, ast.Attribute, ast.Call)):
        assert_type(node, ast.Name | ast.Attribute | ast.Call)
    statements = quernwood.walk_of_types(tree, quernwood.expand_kinds(ast.stmt))
    assert_type(statements, list[ast.stmt])
    print([s.lineno for s in statements])
    return names


def bodies(tree: ast.Module) -> int:
    # Up to eight classes keep their union, so .body needs no cast.
    total = sum(len(n.body) for n in quernwood.walk_of_types(tree, (ast.If, ast.For, ast.While, ast.With)))
    eight = (ast.If, ast.For, ast.While, ast.With, ast.AsyncFor, ast.AsyncWith, ast.Try, ast.FunctionDef)
    for node, parent, field, index in quernwood.walk_frontier_edges(tree, eight):
        total += len(node.body)
    five = (ast.If, ast.For, ast.While, ast.With, ast.AsyncFor)
    for match, above, name, at in quernwood.walk_of_types_edges(tree, five, prune=(ast.Lambda,)):
        assert_type(match, ast.If | ast.For | ast.While | ast.With | ast.AsyncFor)
    return total + sum(len(n.body) for n in quernwood.walk_frontier(tree, (ast.Try, ast.ClassDef, ast.With)))


def dict_calls_to_literals(tree: ast.Module) -> None:
    for call, parent, field, index in reversed(quernwood.walk_of_types_edges(tree, (ast.Call,))):
        if parent is None or field is None or not isinstance(call.func, ast.Name) or call.args:
            continue
        literal = ast.Dict(keys=[ast.Constant(k.arg) for k in call.keywords], values=[k.value for k in call.keywords])
        if index < 0:
            setattr(parent, field, literal)
        else:
            getattr(parent, field)[index] = literal


def depth_of_names(tree: ast.Module) -> int:
    depth = deepest = 0
    for event, node in quernwood.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,)):
        if event == quernwood.ENTER:
            depth += 1
        elif event == quernwood.LEAVE:
            depth -= 1
        else:
            assert_type(event, Literal[0])
            deepest = max(deepest, depth)
    return deepest


def clones(trees: list[ast.Module]) -> dict[int, list[int]]:
    groups: dict[int, list[int]] = {}
    for tree in trees:
        for key, (digest, size) in quernwood.subtree_digests(tree, "renamed").items():
            if size >= 10:
                groups.setdefault(digest, []).append(key)
    whole, size = quernwood.subtree_digest(trees[0], mode="stable")
    print(whole, size, quernwood.__version__)
    return groups


def guarded(tree: ast.Module) -> int:
    try:
        return quernwood.subtree_hash(tree)
    except quernwood.PanicException as e:
        raise RuntimeError("internal failure") from e


def quiet(tree: ast.Module) -> list[ast.expr]:
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quernwood.AbstractKindWarning)
        return quernwood.walk_of_types(tree, (ast.expr,))


if __name__ == "__main__":
    check("def f(x):\n    return g(x, lambda: h(x))\n")


class CallCounter(quernwood.NodeVisitor):
    """A visitor as tools write them: state in __init__, a few visit_ methods."""

    def __init__(self) -> None:
        self.calls: dict[str, int] = {}

    def visit_Call(self, node: ast.Call) -> None:
        if isinstance(node.func, ast.Name):
            self.calls[node.func.id] = self.calls.get(node.func.id, 0) + 1
        self.generic_visit(node)


class DropPass(quernwood.NodeTransformer):
    def visit_Pass(self, node: ast.Pass) -> ast.AST | None:
        return None

    def visit_FunctionDef(self, node: ast.FunctionDef) -> ast.AST:
        return self.generic_visit(node)


def count_calls(tree: ast.Module) -> dict[str, int]:
    counter = CallCounter()
    counter.visit(tree)
    fresh: ast.AST = DropPass().visit(tree)
    print(fresh)
    return counter.calls
