import ast

import quernwood
from cases import Case

KINDS = (ast.Return, ast.Yield)
BRACKET = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)
TYPES = (ast.Name, ast.Attribute, ast.Call)
TYPE_SET = frozenset(TYPES)


def recorder_class(kinds, bracket):
    """The NodeVisitor equivalent of walk_frontier_events(t, kinds, bracket)."""

    def dispatch(self, node):
        self.events.append((0, node))

    def bracketed(self, node):
        self.events.append((1, node))
        self.generic_visit(node)
        self.events.append((2, node))

    methods = {f"visit_{k.__name__}": bracketed for k in bracket}
    methods.update({f"visit_{k.__name__}": dispatch for k in kinds})
    return type("Recorder", (ast.NodeVisitor,), methods)


Recorder = recorder_class(KINDS, BRACKET)


def visitor_events(tree):
    r = Recorder()
    r.events = []
    r.generic_visit(tree)  # the root (a Module) is descended, never dispatched
    return r.events


def python_frontier(tree, kinds=KINDS):
    out = []
    stack = list(ast.iter_child_nodes(tree))
    stack.reverse()
    while stack:
        node = stack.pop()
        if type(node) in kinds:
            out.append(node)
        else:
            children = list(ast.iter_child_nodes(node))
            children.reverse()
            stack.extend(children)
    return out


def pair(group, baseline, ours):
    return [Case(group, *baseline), Case(group, *ours)]


EVENTS = (("NodeVisitor recording events", visitor_events),
          ("walk_frontier_events", lambda t: quernwood.walk_frontier_events(t, KINDS, BRACKET)))
OF_TYPES = (("[n for n in ast.walk(t) if type(n) in S]", lambda t: [n for n in ast.walk(t) if type(n) in TYPE_SET]),
            ("walk_of_types", lambda t: quernwood.walk_of_types(t, TYPES)))
FRONTIER = (("iter_child_nodes with a stack", python_frontier),
            ("walk_frontier", lambda t: quernwood.walk_frontier(t, KINDS)))

CASES = [
    *pair("walk_frontier_events", *EVENTS),
    *pair("walk_of_types", *OF_TYPES),
    *pair("walk_frontier", *FRONTIER),
    Case("walk_frontier", "walk_frontier_edges", lambda t: quernwood.walk_frontier_edges(t, KINDS)),
]
