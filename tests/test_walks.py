import ast
import collections
import gc
import threading
import warnings

import pytest

import quernwood
from agreement import dfs
from conftest import EMULATED, STDLIB_STRIDE, run_fresh

COLLECTORS = [quernwood.walk_dfs, quernwood.walk_unordered]


def names(nodes):
    return [type(n).__name__ for n in nodes]


def leaf(i):
    return ast.Name(id=f"c{i}", ctx=ast.Load())


class Pair(ast.expr):
    _fields = ("a", "b")


class Holder(ast.expr):
    _fields = ("items",)


def test_dfs_order_of_binop():
    tree = ast.parse("a + b")
    nodes = quernwood.walk_dfs(tree)
    assert names(nodes) == ["Module", "Expr", "BinOp", "Name", "Load", "Add", "Name", "Load"]
    assert [n.id for n in nodes if isinstance(n, ast.Name)] == ["a", "b"]


def test_unordered_worked_example():
    tree = ast.parse("x\n1")
    m = tree
    e1, e2 = m.body
    expected_unordered = [m, e1, e2, e2.value, e1.value, e1.value.ctx]
    expected_dfs = [m, e1, e1.value, e1.value.ctx, e2, e2.value]
    assert [id(n) for n in quernwood.walk_unordered(tree)] == [id(n) for n in expected_unordered]
    assert [id(n) for n in quernwood.walk_dfs(tree)] == [id(n) for n in expected_dfs]


def test_unordered_two_children_batch_order():
    a1, b1 = ast.Pass(), ast.Pass()
    a, b = Holder(items=[a1]), Holder(items=[b1])
    root = Pair(a=a, b=b)
    assert quernwood.walk_unordered(root) == [root, a, b, b1, a1]
    assert quernwood.walk_dfs(root) == [root, a, a1, b, b1]


def test_unordered_five_leaves():
    kids = [ast.Pass() for _ in range(5)]
    root = ast.Module(body=kids, type_ignores=[])
    assert quernwood.walk_unordered(root) == [root, *kids]


def test_unordered_equals_dfs_on_chains():
    node = ast.Constant(1)
    for _ in range(50):
        node = ast.Expr(value=node)
    assert quernwood.walk_unordered(node) == quernwood.walk_dfs(node)


@pytest.mark.parametrize("walk", COLLECTORS)
@pytest.mark.parametrize("root", [5, None, "text", "bare AST", ast.Load(), [ast.Pass()]])
def test_root_without_children(walk, root):
    if root == "bare AST":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            root = ast.AST()
    result = walk(root)
    assert len(result) == 1 and result[0] is root
    assert quernwood._walk_count(root) == 1


@pytest.mark.parametrize("walk", COLLECTORS)
def test_values_that_are_not_walked(walk):
    class SubList(list):
        pass

    inner = ast.Pass()
    nested = ast.Pass()
    root = Holder(items=[1, "s", None, [nested], inner])
    assert walk(root) == [root, inner]
    root2 = Pair(a=(ast.Pass(),), b=SubList([ast.Pass()]))
    assert walk(root2) == [root2]


def _attribute_first():
    n = ast.Name.__new__(ast.Name)
    n.lineno = 1
    n.id = "x"
    n.ctx = ast.Load()
    return n


def _field_set_again():
    b = ast.BinOp(left=leaf(1), op=ast.Add(), right=leaf(2))
    b.lineno = 3
    left = b.left
    del b.left
    b.left = left
    return b


def _list_filled_after_keywords():
    c = ast.Call(func=ast.Name("f"), lineno=1, col_offset=0)
    if not hasattr(c, "args"):  # before 3.13 omitted fields are left unset
        c.args = []
    c.args.append(ast.Name("a"))
    return c


# Nodes whose dictionary does not start with their fields: constructors on
# 3.13+ fill omitted fields after the keyword arguments.
@pytest.mark.parametrize("build", [
    lambda: ast.Name(id="x", lineno=1, col_offset=0),
    _list_filled_after_keywords,
    _attribute_first,
    _field_set_again,
], ids=["defaults-after-keywords", "list-filled-later", "attribute-first", "field-set-again"])
def test_fields_out_of_position_are_read_by_name(build):
    node = build()
    want = dfs(node)
    assert len(want) == len(list(ast.walk(node)))
    assert quernwood.walk_dfs(node) == want
    assert collections.Counter(map(id, quernwood.walk_unordered(node))) == collections.Counter(map(id, want))
    assert quernwood._walk_count(node) == len(want)


@pytest.mark.parametrize("call, sizes", [
    ("walk_dfs(tree)", (1, 181)),
    ("walk_unordered(tree)", (1, 181)),
    ("walk(tree)", (1, 181)),
    ("subtree_hashes(tree)", (1, 181)),
    ("walk_of_types(tree, NAME)", (0, 30)),
    ("[n for _, n in quernwood.walk_frontier_events(tree, NAME, ())]", (0, 30)),
])
def test_collection_in_list_allocation_frees_nothing_held(call, sizes):
    # 3.11 collects inside allocations: building the result may run a
    # finalizer that empties the tree being returned. After the first call
    # the typed walks read the tree holding nothing until the result. Under
    # qemu-user a row of 2000 rounds took three and a half minutes.
    proc = run_fresh(f"""
        import ast, gc, warnings, quernwood
        warnings.simplefilter("ignore")
        NAME = (ast.Name,)  # built before: a tuple built for the call would collect first
        gc.set_threshold(1)
        for i in range({200 if EMULATED else 2000}):
            tree = ast.Module(body=[ast.Expr(ast.BinOp(ast.Constant(i), ast.Add(), ast.Name("x" + str(i), ast.Load())))
                                    for _ in range(30)], type_ignores=[])
            class Bomb:
                def __del__(self, tree=tree): tree.body = []
            b = Bomb(); b.self = b; del b
            res = {call if call.startswith("[") else "quernwood." + call}
            junk = [ast.Pass() for _ in range(300)]  # takes the memory of nodes freed
            assert len(res) in {sizes}, len(res)
            assert not any(type(n) is ast.Pass for n in res)
        print("done")
    """)
    assert proc.returncode == 0 and proc.stdout.strip() == "done", proc.stderr[-2000:]


@pytest.mark.parametrize("call", [
    "walk_dfs(tree)", "walk_frontier(tree, NAME)", "walk_frontier_edges(tree, NAME)",
    "walk_of_types(tree, NAME)", "walk_of_types_edges(tree, NAME)", "walk_frontier_events(tree, NAME, ())",
    "subtree_hashes(tree)", "subtree_digests(tree)", "expand_kinds(ast.expr)",
])
def test_collection_while_the_result_is_built_finds_no_empty_slot(call):
    # 3.11 collects inside allocations, and a collection's callback can read
    # every young object: a result list or tuple with slots still empty
    # must not be one of them.
    proc = run_fresh(f"""
        import ast, gc, quernwood
        tree = ast.parse("\\n".join(f"x{{i}} = y{{i}}" for i in range(50)))
        NAME = (ast.Name,)

        def read_all(phase, info):
            for o in gc.get_objects(0):
                if type(o) in (list, tuple):
                    for item in o:
                        type(item)

        gc.callbacks.append(read_all)
        gc.set_threshold(1)
        res = quernwood.{call}
        gc.callbacks.clear()
        print(len(res))
    """)
    assert proc.returncode == 0 and int(proc.stdout) > 0, proc.stderr[-2000:]


@pytest.mark.parametrize("walk", COLLECTORS)
def test_subclass_rules(walk):
    class MyName(ast.Name):
        pass

    class MyAssign(ast.Assign):
        pass

    hidden = leaf(9)
    stmt = MyAssign(targets=[hidden], value=ast.Constant(1))
    mod = ast.Module(body=[stmt, ast.Expr(value=MyName(id="y", ctx=ast.Load()))], type_ignores=[])
    result = walk(mod)
    assert stmt not in result and hidden not in result
    mynames = [n for n in result if type(n) is MyName]
    assert len(mynames) == 1


def test_class_defined_after_table_build_is_not_expanded():
    quernwood.walk_dfs(ast.parse("x"))  # this thread's table exists now

    class LateName(ast.Name):
        pass

    ctx = ast.Load()
    late = LateName(id="z", ctx=ctx)
    result = quernwood.walk_dfs(ast.Expr(value=late))
    assert late in result and ctx not in result


def test_class_freed_after_table_build_does_not_lend_its_count():
    def make(fields):
        return type("C", (ast.expr,), {"_fields": fields})

    out = {}

    def run():
        wide = make(("a", "b", "c"))
        address = id(wide)
        quernwood.walk_dfs(None)  # this thread's table knows `wide` now
        del wide
        gc.collect()
        made = []  # the allocator hands a freed address out again soon
        while len(made) < 200 and (not made or id(made[-1]) != address):
            made.append(make(("a",)))
        node = made[-1](a=None)
        node.note = ast.Name("x", ast.Load())  # not a field
        out["walked"], out["node"] = quernwood.walk_dfs(node), node

    t = threading.Thread(target=run)
    t.start()
    t.join()
    assert out["walked"] == [out["node"]]


@pytest.mark.parametrize("walk", COLLECTORS)
def test_shared_nodes_listed_once_per_path(walk):
    tree = ast.parse("a = b + c")
    loads = [n for n in walk(tree) if type(n) is ast.Load]
    assert len(loads) == 2


@pytest.mark.parametrize("walk", COLLECTORS)
def test_dict_with_non_string_key_is_still_walked(walk):
    b = ast.BinOp(left=leaf(1), op=ast.Add(), right=leaf(2))
    b.__dict__[1] = 2
    assert len(walk(b)) == 6


@pytest.mark.parametrize("walk", COLLECTORS)
def test_dict_shared_with_plain_object_is_still_walked(walk):
    # A plain instance's __dict__ may keep its values outside the keys
    # object (a split table); a node can be given that very dict.
    class Plain:
        pass

    p = Plain()
    p.left, p.op, p.right = leaf(1), ast.Add(), leaf(2)
    b = ast.BinOp.__new__(ast.BinOp)
    b.__dict__ = p.__dict__
    assert len(walk(b)) == 6


@pytest.mark.parametrize("walk", COLLECTORS)
def test_node_created_with_new_only(walk):
    n = ast.BinOp.__new__(ast.BinOp)
    assert walk(n) == [n]


@pytest.mark.parametrize("walk", [quernwood.walk_dfs, quernwood.walk_unordered, quernwood._walk_count])
def test_cycle_fails_cleanly(walk):
    mod = ast.Module(body=[], type_ignores=[])
    mod.body.append(ast.Expr(value=ast.Constant(1)))
    mod.body.append(mod)
    with pytest.raises(RecursionError, match="cycle"):
        walk(mod)


def test_shared_dag_is_not_a_cycle():
    # 2**25 paths through 25 distinct nodes: passes the first cycle check.
    node = ast.Pass()
    for _ in range(24):
        node = Pair(a=node, b=node)
    assert quernwood._walk_count(node) == 2 ** 25 - 1


def test_walk_count_matches_walk_dfs(stdlib_trees):
    for _, tree in stdlib_trees[:50]:
        assert quernwood._walk_count(tree) == len(quernwood.walk_dfs(tree))


def test_differential_against_ast_walk(stdlib_trees):
    checked = 0
    for path, tree in stdlib_trees:
        expected = collections.Counter(map(id, ast.walk(tree)))
        dfs = quernwood.walk_dfs(tree)
        assert collections.Counter(map(id, dfs)) == expected, path
        assert collections.Counter(map(id, quernwood.walk_unordered(tree))) == expected, path
        assert quernwood._walk_count(tree) == len(dfs)
        checked += len(dfs)
    assert checked > 500_000 // STDLIB_STRIDE


def test_dfs_is_preorder_of_iter_child_nodes(stdlib_trees):
    for _, tree in stdlib_trees[::7]:
        assert quernwood.walk_dfs(tree) == dfs(tree)


def test_threads_build_their_own_tables():
    tree = ast.parse("def f(a):\n    return a + 1\n")
    expected = quernwood.walk_dfs(tree)
    results = []

    def run():
        for _ in range(50):
            results.append(quernwood.walk_unordered(tree) and quernwood.walk_dfs(tree) == expected)

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 200


def test_more_than_255_ast_classes():
    result = run_fresh("""
        import ast, threading, quernwood
        classes = [type(f"N{i}", (ast.expr,), {"_fields": ("v",)}) for i in range(400)]
        out = []
        def run():
            leaf = ast.Pass()
            nodes = [c(v=leaf) for c in classes]
            out.append(all(quernwood.walk_dfs(n) == [n, leaf] for n in nodes))
            out.append(quernwood.walk_dfs(ast.parse("a + b"))[2].__class__.__name__)
        t = threading.Thread(target=run); t.start(); t.join()
        print(out)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[True, 'BinOp']"


class TestDeprecatedWalk:
    def test_warns_once_per_process(self):
        result = run_fresh("""
            import ast, threading, warnings, quernwood
            tree = ast.parse("x")
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                first = quernwood.walk(tree)
                quernwood.walk(tree)
                t = threading.Thread(target=quernwood.walk, args=(tree,)); t.start(); t.join()
            assert first == quernwood.walk_dfs(tree)
            print(len(w), w[0].category.__name__, w[0].filename == "<string>")
            print(w[0].message)
        """)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0] == "1 DeprecationWarning True"
        assert lines[1] == ("quernwood.walk is deprecated; use walk_dfs for strict depth-first order "
                            "or walk_unordered for the faster order-agnostic variant")

    def test_warning_as_error_fails_first_call_only(self):
        result = run_fresh("""
            import ast, warnings, quernwood
            warnings.simplefilter("error")
            tree = ast.parse("x")
            try:
                quernwood.walk(tree)
            except DeprecationWarning:
                print("raised")
            print(len(quernwood.walk(tree)))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["raised", "4"]

    def test_binding_error_does_not_consume_warning(self):
        result = run_fresh("""
            import ast, warnings, quernwood
            try:
                quernwood.walk()
            except TypeError:
                pass
            with warnings.catch_warnings(record=True) as w:
                warnings.simplefilter("always")
                quernwood.walk(ast.parse("x"))
            print(len(w))
        """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "1"
