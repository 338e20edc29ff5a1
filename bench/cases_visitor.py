"""Visitors written for ast.NodeVisitor, run as they are and with their base
class changed to quernwood.NodeVisitor: a sparse one, a six-rule linter and
one with a method for every node class. The "parsed" groups time the parse
too, as a tool that reads each file pays it."""
import ast
import warnings

import quernwood
from cases import Case


def sparse(base):
    class Sparse(base):
        def __init__(self):
            self.calls = self.defs = 0

        def visit_Call(self, node):
            self.calls += 1
            self.generic_visit(node)

        def visit_FunctionDef(self, node):
            self.defs += 1
            self.generic_visit(node)

    return Sparse


def empty(base):
    """No methods: the descent alone."""
    return type("Empty", (base,), {})


def linter(base):
    class Linter(base):
        def __init__(self):
            self.found = []

        def visit_ExceptHandler(self, node):
            if node.type is None:
                self.found.append(("bare-except", node.lineno))
            self.generic_visit(node)

        def visit_FunctionDef(self, node):
            for d in node.args.defaults + node.args.kw_defaults:
                if isinstance(d, (ast.List, ast.Dict, ast.Set)):
                    self.found.append(("mutable-default", d.lineno))
            self.generic_visit(node)

        visit_AsyncFunctionDef = visit_FunctionDef

        def visit_Compare(self, node):
            for op, right in zip(node.ops, node.comparators):
                if isinstance(op, (ast.Eq, ast.NotEq)) and isinstance(right, ast.Constant) and right.value is None:
                    self.found.append(("none-compare", node.lineno))
            self.generic_visit(node)

        def visit_Call(self, node):
            if isinstance(node.func, ast.Name) and node.func.id in ("print", "eval", "exec"):
                self.found.append(("call-" + node.func.id, node.lineno))
            self.generic_visit(node)

        def visit_Assert(self, node):
            if isinstance(node.test, ast.Tuple):
                self.found.append(("assert-tuple", node.lineno))
            self.generic_visit(node)

        def visit_Global(self, node):
            self.found.append(("global", node.lineno))

    return Linter


def sparse_transformer(base):
    """The sparse visitor as a transformer that rewrites a few nodes: each
    `pass` becomes a new one (so the tree stays the same from run to run)."""
    class SparseTransformer(base):
        def __init__(self):
            self.calls = 0

        def visit_Call(self, node):
            self.calls += 1
            return self.generic_visit(node)

        def visit_Pass(self, node):
            return ast.copy_location(ast.Pass(), node)

    return SparseTransformer


NODE_CLASSES = quernwood.expand_kinds(ast.AST)


def every_class(base):
    def count(self, node):
        self.count += 1
        self.generic_visit(node)

    namespace = {f"visit_{c.__name__}": count for c in NODE_CLASSES}
    namespace["count"] = 0
    return type("Everything", (base,), namespace)


class FloorBase:
    """The visitor classes' Python code with the descent taken away: a
    generic_visit frame that makes one native call and visits nothing."""

    def generic_visit(self, node):
        len(())


def floor(make):
    """A bound on any descent whose methods and generic_visit are Python
    code: the visitor's own methods, called for each node that has one, in
    the order of a native walk that costs nothing else."""
    cls = make(FloorBase)
    table = {c: getattr(cls, f"visit_{c.__name__}") for c in NODE_CLASSES if hasattr(cls, f"visit_{c.__name__}")}
    kinds = tuple(table)

    def run(tree):
        v = cls()
        for node in quernwood.walk_of_types(tree, kinds):
            table[type(node)](v, node)
        return v

    return run


def runner(make, base, parsed=False):
    cls = make(base)
    if parsed:
        def parse_and_visit(text):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(text)
            return cls().visit(tree)

        return parse_and_visit
    return lambda tree: cls().visit(tree)


def source(text):
    return text


def cases_for(label, make, kind="NodeVisitor"):
    theirs, ours = getattr(ast, kind), getattr(quernwood, kind)
    out = [Case(label, f"ast.{kind} {label}", runner(make, theirs)),
           Case(label, f"quernwood.{kind} {label}", runner(make, ours))]
    if kind == "NodeVisitor" and make is not empty:
        out.append(Case(label, f"floor: methods over walk_of_types, {label}", floor(make)))
    group = f"{label} (parsed)"
    out += [Case(group, f"ast.parse + ast.{kind} {label}", runner(make, theirs, True),
                 per_file=source, per_file_only=True),
            Case(group, f"ast.parse + quernwood.{kind} {label}", runner(make, ours, True),
                 per_file=source, per_file_only=True)]
    return out


CASES = [*cases_for("empty visitor", empty), *cases_for("sparse visitor", sparse), *cases_for("linter visitor", linter),
         *cases_for("every-class visitor", every_class),
         *cases_for("sparse transformer", sparse_transformer, "NodeTransformer")]
