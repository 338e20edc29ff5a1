# Types of the quernwood extension module, installed as the stub-only
# package quernwood-stubs (a single-file extension has no package directory
# to hold a py.typed marker).
import ast
import sys
from typing import TypeVar

__all__ = [
    "walk",
    "walk_dfs",
    "walk_unordered",
    "walk_frontier",
    "walk_frontier_edges",
    "walk_of_types",
    "fix_missing_locations",
    "subtree_hashes",
    "subtree_hash",
    "set_parents",
    "walk_frontier_events",
    "_walk_count",
]

_N = TypeVar("_N", bound=ast.AST)

# (matched node, parent, field name, list index or -1)
_Edge = tuple[ast.AST, ast.AST, str, int]
# (0 dispatch | 1 enter | 2 leave, node)
_Event = tuple[int, ast.AST]

if sys.version_info >= (3, 13):
    from warnings import deprecated

    @deprecated("use walk_dfs for strict depth-first order or walk_unordered for the faster order-agnostic variant")
    def walk(node: ast.AST) -> list[ast.AST]: ...

else:
    # Deprecated: use walk_dfs or walk_unordered.
    def walk(node: ast.AST) -> list[ast.AST]: ...

def walk_dfs(node: ast.AST) -> list[ast.AST]: ...
def walk_unordered(node: ast.AST) -> list[ast.AST]: ...
def walk_frontier(node: ast.AST, kinds: tuple[type, ...]) -> list[ast.AST]: ...
def walk_frontier_edges(node: ast.AST, kinds: tuple[type, ...]) -> list[_Edge]: ...
def walk_of_types(
    node: ast.AST, kinds: tuple[type, ...], prune: tuple[type, ...] | None = None
) -> list[ast.AST]: ...
def walk_frontier_events(node: ast.AST, kinds: tuple[type, ...], bracket: tuple[type, ...]) -> list[_Event]: ...
def fix_missing_locations(node: _N) -> _N: ...
def set_parents(node: ast.AST) -> None: ...
def subtree_hashes(node: ast.AST) -> dict[int, int]: ...
def subtree_hash(node: ast.AST) -> int: ...
def _walk_count(node: ast.AST) -> int: ...

# A broken internal invariant; each interpreter's module has its own class.
class PanicException(BaseException): ...
