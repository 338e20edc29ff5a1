"""Every quernwood function against the standard library, for sub-interpreters.

Imported inside other interpreters too, so it needs only `ast` and the module.
`disagreements(tree)` names the functions whose answer on `tree` differs from
the standard library's; `fingerprints(paths)` digests all twelve answers per
file without object addresses, so that interpreters can be compared.
"""

import ast
import copy
import hashlib
import warnings

import quernwood as qw

KINDS = (ast.Name, ast.Call, ast.Attribute)
PRUNE = (ast.Lambda, ast.FunctionDef)
BRACKET = (ast.FunctionDef, ast.ClassDef)
LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


def dfs(root):
    out, stack = [], [root]
    while stack:
        n = stack.pop()
        out.append(n)
        stack.extend(reversed(list(ast.iter_child_nodes(n))))
    return out


def frontier_edges(root, kinds):
    out, stack = [], [(root, None, None, -1)]
    while stack:
        n, parent, field, index = stack.pop()
        if parent is not None and type(n) in kinds:
            out.append((n, parent, field, index))
            continue
        found = []
        for f, v in ast.iter_fields(n):
            if isinstance(v, ast.AST):
                found.append((v, n, f, -1))
            elif isinstance(v, list):
                found.extend((x, n, f, i) for i, x in enumerate(v) if isinstance(x, ast.AST))
        stack.extend(reversed(found))
    return out


def of_types(root, kinds, prune):
    out, stack = [], [root]
    while stack:
        n = stack.pop()
        if type(n) in kinds:
            out.append(n)
        if n is root or type(n) not in prune:
            stack.extend(reversed(list(ast.iter_child_nodes(n))))
    return out


def events(root, kinds, bracket):
    out = []

    class Recorder(ast.NodeVisitor):
        def visit(self, node):
            if node is not root and type(node) in kinds:
                out.append((0, node))
                return
            if type(node) in bracket:
                out.append((1, node))
            self.generic_visit(node)
            if type(node) in bracket:
                out.append((2, node))

    Recorder().visit(root)
    return out


def unlocated(tree):
    fresh = copy.deepcopy(tree)
    for n in ast.walk(fresh):
        if n is not fresh and n is not getattr(fresh, "body", [None])[0]:
            for a in LOCATIONS:
                n.__dict__.pop(a, None)
    return fresh


def visit_log(base, tree):
    """The calls of a sparse recording visitor on `base`, by node identity."""
    log = []

    class Recorder(base):
        def visit_Call(self, node):
            log.append(id(node))
            self.generic_visit(node)

        def visit_Name(self, node):
            log.append(id(node))

    Recorder().visit(tree)
    return log


DEEP = ast.parse("f(" * 40 + "x" + ")" * 40)


def disagreements(tree):
    order = dfs(tree)
    ids = lambda nodes: [id(n) for n in nodes]  # noqa: E731
    edge_ids = lambda edges: [(id(n), id(p), f, i) for n, p, f, i in edges]  # noqa: E731
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        walked = qw.walk(tree)
    hashes = qw.subtree_hashes(tree)
    by_dump = {}
    for n in order:
        by_dump.setdefault(ast.dump(n), set()).add(hashes[id(n)])
    parented = copy.deepcopy(tree)
    qw.set_parents(parented)
    # A shared child (the parser's Load()) keeps the last parent written.
    parent_of = {id(c): (c, p) for p in dfs(parented) for c in ast.iter_child_nodes(p)}
    stripped = unlocated(tree)
    ours, theirs = copy.deepcopy(stripped), copy.deepcopy(stripped)
    ast.fix_missing_locations(theirs)
    checks = {
        "walk": ids(walked) == ids(order),
        "walk_dfs": ids(qw.walk_dfs(tree)) == ids(order),
        "walk_unordered": sorted(ids(qw.walk_unordered(tree))) == sorted(ids(ast.walk(tree))),
        "_walk_count": qw._walk_count(tree) == len(order),
        "walk_frontier": ids(qw.walk_frontier(tree, KINDS)) == [id(e[0]) for e in frontier_edges(tree, KINDS)],
        "walk_frontier_edges": edge_ids(qw.walk_frontier_edges(tree, KINDS)) == edge_ids(frontier_edges(tree, KINDS)),
        "walk_of_types": ids(qw.walk_of_types(tree, KINDS, PRUNE)) == ids(of_types(tree, KINDS, PRUNE)),
        "walk_frontier_events": [(e, id(n)) for e, n in qw.walk_frontier_events(tree, KINDS, BRACKET)]
        == [(e, id(n)) for e, n in events(tree, KINDS, BRACKET)],
        "subtree_hashes": all(len(h) == 1 for h in by_dump.values())
        and len(set().union(*by_dump.values())) == len(by_dump),
        "subtree_hash": qw.subtree_hash(tree) == hashes[id(tree)],
        "set_parents": all(getattr(c, "parent", None) is p for c, p in parent_of.values()),
        "fix_missing_locations": qw.fix_missing_locations(ours) is ours
        and ast.dump(ours, include_attributes=True) == ast.dump(theirs, include_attributes=True),
        "NodeVisitor": visit_log(qw.NodeVisitor, tree) == visit_log(ast.NodeVisitor, tree),
        # 40 nested calls: past 32 steps the driving loops make the calls.
        "NodeVisitor deep": visit_log(qw.NodeVisitor, DEEP) == visit_log(ast.NodeVisitor, DEEP),
    }
    return [name for name, ok in checks.items() if not ok]


def fingerprint(tree):
    """A digest of all twelve answers on `tree` in positions of a pre-order walk."""
    order = dfs(tree)
    where = {id(n): i for i, n in enumerate(order)}
    pos = lambda nodes: [where[id(n)] for n in nodes]  # noqa: E731
    hashes = qw.subtree_hashes(tree)
    first = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        walked = qw.walk(tree)
    answers = [
        pos(walked), pos(qw.walk_dfs(tree)), sorted(pos(qw.walk_unordered(tree))), qw._walk_count(tree),
        pos(qw.walk_frontier(tree, KINDS)),
        [(where[id(n)], where[id(p)], f, i) for n, p, f, i in qw.walk_frontier_edges(tree, KINDS)],
        pos(qw.walk_of_types(tree, KINDS, PRUNE)),
        [(e, where[id(n)]) for e, n in qw.walk_frontier_events(tree, KINDS, BRACKET)],
        [first.setdefault(hashes[id(n)], i) for i, n in enumerate(order)],
        first.get(qw.subtree_hash(tree)),
    ]
    # The changing functions last, on the tree parsed for this call only.
    answers.append(qw.fix_missing_locations(tree) is tree)
    qw.set_parents(tree)
    answers.append([where.get(id(getattr(n, "parent", None)), -1) for n in order])
    return hashlib.sha256(repr(answers).encode()).hexdigest()


def fingerprints(paths):
    out = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in paths:
            with open(path, "rb") as f:
                try:
                    tree = ast.parse(f.read(), path)
                except (SyntaxError, ValueError):
                    continue
            out[path] = fingerprint(tree)
    return out


def close_under_thread(kind, code, after):
    """Runs `code` in a new interpreter of `kind` on a worker thread, destroys
    the interpreter from this thread while the worker waits, then lets the
    worker run `after()` and end. Raises what the worker raised."""
    import _interpreters
    import threading

    interp = _interpreters.create(_interpreters.new_config(kind))
    filled, closed, errors = threading.Event(), threading.Event(), []

    def worker():
        try:
            failure = _interpreters.exec(interp, code)
            assert failure is None, failure
            filled.set()
            closed.wait()
            after()
        except BaseException as e:  # noqa: B036 - handed to the caller
            errors.append(e)
            filled.set()

    t = threading.Thread(target=worker)
    t.start()
    filled.wait()
    _interpreters.destroy(interp)
    closed.set()
    t.join()
    if errors:
        raise errors[0]
