"""Every match with its place, and classes expanded for exact-class matching."""

import ast
import warnings

import pytest

import quernwood as qw

DICT_CALLS = "x = dict(a=dict(b=1), c=[dict(d=dict())])\n"


def dict_calls_to_literals(tree):
    # Backwards: a call's arguments are rewritten before the call itself.
    for node, parent, field, index in reversed(qw.walk_of_types_edges(tree, (ast.Call,))):
        if not (isinstance(node.func, ast.Name) and node.func.id == "dict" and not node.args):
            continue
        literal = ast.Dict(keys=[ast.Constant(k.arg) for k in node.keywords],
                           values=[k.value for k in node.keywords])
        if index < 0:
            setattr(parent, field, literal)
        else:
            getattr(parent, field)[index] = literal
    return tree


def test_rewrite_reaches_nested_matches():
    tree = dict_calls_to_literals(ast.parse(DICT_CALLS))
    assert ast.unparse(tree) == "x = {'a': {'b': 1}, 'c': [{'d': {}}]}"


def test_root_entry_and_prune():
    tree = ast.parse("f(g(1), lambda: h(2))")
    call = tree.body[0].value
    assert qw.walk_of_types_edges(call, (ast.Call,))[0] == (call, None, None, -1)
    pruned = qw.walk_of_types_edges(tree, (ast.Call, ast.Lambda), (ast.Lambda,))
    assert [(type(n).__name__, type(p).__name__, f, i) for n, p, f, i in pruned] == [
        ("Call", "Expr", "value", -1), ("Call", "Call", "args", 0), ("Lambda", "Call", "args", 1)]


@pytest.mark.parametrize("base", [ast.stmt, ast.expr, (ast.expr_context, ast.operator), ast.AST])
def test_expanded_classes_select_as_isinstance(stdlib_trees, base):
    kinds = qw.expand_kinds(base)
    for _, tree in stdlib_trees[::5]:
        assert qw.walk_of_types(tree, kinds) == [n for n in qw.walk_dfs(tree) if isinstance(n, base)]


def test_expansion_is_the_model_and_sees_new_subclasses():
    import reference as ref

    class Mine(ast.Name):
        pass

    class MyCategory(ast.stmt):
        _fields = ()

    class Leaf(MyCategory):
        _fields = ("x",)

    kinds = qw.expand_kinds((ast.expr, ast.stmt, ast.Name))
    assert kinds == ref.expand_kinds((ast.expr, ast.stmt, ast.Name))
    assert len(set(kinds)) == len(kinds)
    assert Mine in kinds and Leaf in kinds and ast.Name in kinds
    assert not {ast.expr, ast.stmt, MyCategory} & set(kinds)
    assert qw.expand_kinds(ast.Load) == (ast.Load,)
    assert qw.expand_kinds(()) == ()
    # Metaclasses below object: their __subclasses__ must be called bound.
    assert ast.Name in qw.expand_kinds(object) and isinstance(qw.expand_kinds(type), tuple)


@pytest.mark.parametrize("bad", [1, (ast.Name, "x"), [ast.Name], None])
def test_expand_rejects_non_classes(bad):
    with pytest.raises(TypeError, match="is not an instance of 'type'"):
        qw.expand_kinds(bad)


with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    ALIASES = [getattr(ast, n) for n in ("Num", "Str", "Bytes", "NameConstant", "Ellipsis") if hasattr(ast, n)]


# Gone from 3.14: the parameter set is empty there.
@pytest.mark.parametrize("kinds", [ALIASES[0], tuple(ALIASES), (ast.Name, ALIASES[-1])] if ALIASES else [])
def test_expand_rejects_aliases_the_parser_never_builds(kinds):
    with pytest.raises(TypeError, match=r"^ast\.\w+ is a deprecated alias that the parser never builds; use ast\.Constant(\n|$)"):
        qw.expand_kinds(kinds)
