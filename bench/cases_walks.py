import ast

import quernwood
from cases import Case

CASES = [
    Case("walk", "list(ast.walk(t))", lambda t: list(ast.walk(t))),
    Case("walk", "walk_dfs", quernwood.walk_dfs),
    Case("walk", "walk_unordered", quernwood.walk_unordered),
    Case("walk", "_walk_count", quernwood._walk_count),
]
