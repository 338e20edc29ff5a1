import ast

import quernwood
from cases import Case

TYPES = (ast.Name, ast.Attribute, ast.Call)
TYPE_SET = frozenset(TYPES)


def python_edges(tree):
    """Every match with (parent, field, index), pre-order, as a plain stack."""
    out = []
    stack = [(tree, None, None, -1)]
    while stack:
        edge = stack.pop()
        node = edge[0]
        if type(node) in TYPE_SET:
            out.append(edge)
        found = []
        for field, value in ast.iter_fields(node):
            if isinstance(value, list):
                found.extend((item, node, field, i) for i, item in enumerate(value) if isinstance(item, ast.AST))
            elif isinstance(value, ast.AST):
                found.append((value, node, field, -1))
        found.reverse()
        stack.extend(found)
    return out


def dump_digests(tree):
    return {id(n): (hash(ast.dump(n)), sum(1 for _ in ast.walk(n))) for n in ast.walk(tree)}


CASES = [
    Case("walk_of_types_edges", "iter_fields with a stack", python_edges),
    Case("walk_of_types_edges", "walk_of_types", lambda t: quernwood.walk_of_types(t, TYPES)),
    Case("walk_of_types_edges", "walk_of_types_edges", lambda t: quernwood.walk_of_types_edges(t, TYPES)),
    Case("subtree_digests", "{id(n): (hash(ast.dump(n)), size)}", dump_digests, scope="largest"),
    Case("subtree_digests", "subtree_hashes", quernwood.subtree_hashes, scope="largest"),
    *[Case("subtree_digests", f"subtree_digests {mode}", lambda t, m=mode: quernwood.subtree_digests(t, m),
           scope="largest") for mode in ("process", "stable", "renamed", "shape")],
    Case("subtree_digest", "hash(ast.dump(t))", lambda t: hash(ast.dump(t))),
    Case("subtree_digest", "subtree_hash", quernwood.subtree_hash),
    *[Case("subtree_digest", f"subtree_digest {mode}", lambda t, m=mode: quernwood.subtree_digest(t, m))
      for mode in ("stable", "renamed", "shape")],
]
