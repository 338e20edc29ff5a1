import ast
import collections

import quernwood
from cases import Case


def dump_hashes(tree):
    return {id(n): hash(ast.dump(n)) for n in ast.walk(tree)}


# Pairs of equal top-level statements. Comparing every pair with ast.compare
# is quadratic, so both ways get the same affordable subset: the top-level
# statements of every STRIDE-th module, and the baseline only compares
# statements of the same class.
STRIDE = 8


def top_level_statements(base):
    (trees,) = base
    return [[stmt for tree in trees[::STRIDE] for stmt in tree.body]]


def equal_pairs_by_compare(stmts):
    by_type = collections.defaultdict(list)
    for s in stmts:
        by_type[type(s)].append(s)
    pairs = 0
    for group in by_type.values():
        for i, a in enumerate(group):
            for b in group[i + 1:]:
                pairs += ast.compare(a, b)
    return pairs


def equal_pairs_by_hash(stmts):
    buckets = collections.Counter(map(quernwood.subtree_hash, stmts))
    return sum(n * (n - 1) // 2 for n in buckets.values())


CASES = [
    Case("subtree_hashes", "{id(n): hash(ast.dump(n)) for n in ast.walk(t)}", dump_hashes, scope="largest"),
    Case("subtree_hashes", "subtree_hashes", quernwood.subtree_hashes, scope="largest"),
    Case("subtree_hash", "hash(ast.dump(t))", lambda t: hash(ast.dump(t))),
    Case("subtree_hash", "subtree_hash", quernwood.subtree_hash),
]

if hasattr(ast, "compare"):
    CASES += [
        Case("equal_statements", f"ast.compare per class, top level of every {STRIDE}th module",
             equal_pairs_by_compare, scope="corpus", setup=top_level_statements),
        Case("equal_statements", "subtree_hash buckets", equal_pairs_by_hash,
             scope="corpus", setup=top_level_statements),
    ]
