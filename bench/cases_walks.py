import ast

import quernwood
from cases import Case


def walked(text):
    """A tree parsed and walked once, so that the timed walk finds it in cache."""
    tree = ast.parse(text)
    quernwood._walk_count(tree)
    return tree


CASES = [
    Case("walk", "list(ast.walk(t))", lambda t: list(ast.walk(t))),
    Case("walk", "walk_dfs", quernwood.walk_dfs),
    Case("walk", "walk_unordered", quernwood.walk_unordered),
    Case("walk", "_walk_count", quernwood._walk_count),
    # Floors of the per-file case: the traversal on a tree a walk has just
    # read (no misses left to the memory the parse wrote), and building the
    # result list alone.
    Case("walk", "floor: _walk_count, tree walked just before", quernwood._walk_count,
         per_file=walked, per_file_only=True),
    Case("walk", "floor: list(l), l = walk_dfs(t) made before", list,
         per_file=lambda text: quernwood.walk_dfs(ast.parse(text)), per_file_only=True),
]
