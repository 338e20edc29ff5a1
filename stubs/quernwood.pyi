# Types of the quernwood extension module, installed as the stub-only
# package quernwood-stubs (a single-file extension has no package directory
# to hold a py.typed marker).
import ast
import sys
from typing import Any, Final, Literal, TypeVar, overload

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

__version__: Final[str]

# Event codes of walk_frontier_events.
DISPATCH: Final = 0
ENTER: Final = 1
LEAVE: Final = 2

_N = TypeVar("_N", bound=ast.AST)
_A = TypeVar("_A", bound=ast.AST)
_B = TypeVar("_B", bound=ast.AST)
_C = TypeVar("_C", bound=ast.AST)

# (DISPATCH | ENTER | LEAVE, node)
_Event = tuple[Literal[0, 1, 2], ast.AST]
_Mode = Literal["process", "stable", "renamed", "shape"]
_Kinds = tuple[type, ...]

if sys.version_info >= (3, 13):
    from warnings import deprecated

    @deprecated("use walk_dfs for strict depth-first order or walk_unordered for the faster order-agnostic variant")
    def walk(node: ast.AST) -> list[ast.AST]: ...

else:
    # Deprecated: use walk_dfs or walk_unordered.
    def walk(node: ast.AST) -> list[ast.AST]: ...

def walk_dfs(node: ast.AST) -> list[ast.AST]: ...
def walk_unordered(node: ast.AST) -> list[ast.AST]: ...

# Matches are typed by the classes asked for: one, two or three classes, or
# a tuple of one class and its subclasses (as expand_kinds returns).
@overload
def walk_frontier(node: ast.AST, kinds: tuple[type[_A], type[_B]]) -> list[_A | _B]: ...
@overload
def walk_frontier(node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C]]) -> list[_A | _B | _C]: ...
@overload
def walk_frontier(node: ast.AST, kinds: tuple[type[_A], ...]) -> list[_A]: ...
@overload
def walk_frontier(node: ast.AST, kinds: _Kinds) -> list[ast.AST]: ...

# (matched node, parent, field name, list index or -1)
@overload
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B]]
) -> list[tuple[_A | _B, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C]]
) -> list[tuple[_A | _B | _C, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(node: ast.AST, kinds: tuple[type[_A], ...]) -> list[tuple[_A, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(node: ast.AST, kinds: _Kinds) -> list[tuple[ast.AST, ast.AST, str, int]]: ...
@overload
def walk_of_types(node: ast.AST, kinds: tuple[type[_A], type[_B]], prune: _Kinds | None = None) -> list[_A | _B]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C]], prune: _Kinds | None = None
) -> list[_A | _B | _C]: ...
@overload
def walk_of_types(node: ast.AST, kinds: tuple[type[_A], ...], prune: _Kinds | None = None) -> list[_A]: ...
@overload
def walk_of_types(node: ast.AST, kinds: _Kinds, prune: _Kinds | None = None) -> list[ast.AST]: ...

# (matched node, parent, field name, list index or -1); the root, when it
# matches, comes first as (root, None, None, -1).
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B]], prune: _Kinds | None = None
) -> list[tuple[_A | _B, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C]], prune: _Kinds | None = None
) -> list[tuple[_A | _B | _C, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], ...], prune: _Kinds | None = None
) -> list[tuple[_A, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: _Kinds, prune: _Kinds | None = None
) -> list[tuple[ast.AST, ast.AST | None, str | None, int]]: ...
def expand_kinds(kinds: type[_A] | tuple[type[_A], ...]) -> tuple[type[_A], ...]: ...
def walk_frontier_events(node: ast.AST, kinds: _Kinds, bracket: _Kinds) -> list[_Event]: ...
def fix_missing_locations(node: _N) -> _N: ...
def set_parents(node: ast.AST) -> None: ...
def subtree_hashes(node: ast.AST) -> dict[int, int]: ...
def subtree_hash(node: ast.AST) -> int: ...

# (hash, node count of the subtree)
def subtree_digests(node: ast.AST, mode: _Mode = "process") -> dict[int, tuple[int, int]]: ...
def subtree_digest(node: ast.AST, mode: _Mode = "process") -> tuple[int, int]: ...
def _walk_count(node: ast.AST) -> int: ...

# ast.NodeVisitor and ast.NodeTransformer, as typeshed types them: a subclass
# adds visit_<ClassName> methods, each returning what its visit should.
class NodeVisitor:
    def visit(self, node: ast.AST) -> Any: ...
    def generic_visit(self, node: ast.AST) -> Any: ...
    if sys.version_info < (3, 14):
        def visit_Constant(self, node: ast.Constant) -> Any: ...

class NodeTransformer(NodeVisitor):
    def generic_visit(self, node: ast.AST) -> ast.AST: ...

# A broken internal invariant; each interpreter's module has its own class.
class PanicException(BaseException): ...
