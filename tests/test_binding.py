import ast

import pytest

import quernwood
from conftest import run_fresh

TREE = ast.parse("x")


@pytest.mark.parametrize("call, message", [
    (lambda: quernwood.walk_dfs(), "walk_dfs() missing 1 required positional argument: 'node'"),
    (lambda: quernwood.walk_dfs(TREE, TREE),
     "walk_dfs() takes 1 positional arguments but 2 were given"),
    (lambda: quernwood.walk_unordered(1, 2, 3),
     "walk_unordered() takes 1 positional arguments but 3 were given"),
    (lambda: quernwood.walk_dfs(TREE, node=TREE), "walk_dfs() got multiple values for argument 'node'"),
    (lambda: quernwood.walk_dfs(TREE, depth=1), "walk_dfs() got an unexpected keyword argument 'depth'"),
    (lambda: quernwood._walk_count(**{"nöde": 1}),
     "_walk_count() got an unexpected keyword argument 'nöde'"),
    (lambda: quernwood.walk_dfs(**{"\udcff": 1}),
     "walk_dfs() got an unexpected keyword argument '\udcff'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_too_many_positionals_checked_before_keywords():
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        quernwood.walk_dfs(TREE, TREE, bogus=1)


def test_node_by_keyword():
    assert quernwood.walk_dfs(node=TREE) == quernwood.walk_dfs(TREE)
    assert quernwood._walk_count(node=5) == 1


def test_nested_field_table_use_is_internal_failure():
    # A metaclass whose __subclasses__ calls back into a walk while the
    # field table is being built, on a thread that has no table yet.
    result = run_fresh("""
        import ast, threading, quernwood
        armed = False
        class Meta(type):
            def __subclasses__(cls):
                if armed:
                    quernwood.walk_dfs(ast.parse("x"))
                return type.__subclasses__(cls)
        class Weird(ast.AST, metaclass=Meta):
            pass
        caught = []
        def run():
            global armed
            armed = True
            try:
                quernwood.walk_dfs(ast.parse("y"))
            except BaseException as e:
                caught.append(e)
        t = threading.Thread(target=run); t.start(); t.join()
        e = caught[0]
        assert type(e).__name__ == "PanicException", repr(e)
        assert not isinstance(e, Exception) and isinstance(e, BaseException)
        assert "field table" in str(e)
        armed = False
        # The thread's failure cached nothing broken: a new thread walks fine.
        ok = []
        t = threading.Thread(target=lambda: ok.append(len(quernwood.walk_dfs(ast.parse("y")))))
        t.start(); t.join()
        assert ok == [4], ok
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
