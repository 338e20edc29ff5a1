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

# Matches are typed by the classes asked for: two to eight classes give their
# union, a tuple of one class (or of a class and its subclasses, as
# expand_kinds returns) gives that class.
# BEGIN overloads written by tools/stub-overloads; do not edit.
_A = TypeVar("_A", bound=ast.AST)
_B = TypeVar("_B", bound=ast.AST)
_C = TypeVar("_C", bound=ast.AST)
_D = TypeVar("_D", bound=ast.AST)
_E = TypeVar("_E", bound=ast.AST)
_F = TypeVar("_F", bound=ast.AST)
_G = TypeVar("_G", bound=ast.AST)
_H = TypeVar("_H", bound=ast.AST)

@overload
def walk_frontier(node: ast.AST, kinds: tuple[type[_A], type[_B]]) -> list[_A | _B]: ...
@overload
def walk_frontier(node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C]]) -> list[_A | _B | _C]: ...
@overload
def walk_frontier(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D]]
) -> list[_A | _B | _C | _D]: ...
@overload
def walk_frontier(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E]]
) -> list[_A | _B | _C | _D | _E]: ...
@overload
def walk_frontier(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F]]
) -> list[_A | _B | _C | _D | _E | _F]: ...
@overload
def walk_frontier(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G]]
) -> list[_A | _B | _C | _D | _E | _F | _G]: ...
@overload
def walk_frontier(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G], type[_H]]
) -> list[_A | _B | _C | _D | _E | _F | _G | _H]: ...
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
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D]]
) -> list[tuple[_A | _B | _C | _D, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E]]
) -> list[tuple[_A | _B | _C | _D | _E, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F]]
) -> list[tuple[_A | _B | _C | _D | _E | _F, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G]]
) -> list[tuple[_A | _B | _C | _D | _E | _F | _G, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G], type[_H]]
) -> list[tuple[_A | _B | _C | _D | _E | _F | _G | _H, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(node: ast.AST, kinds: tuple[type[_A], ...]) -> list[tuple[_A, ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(node: ast.AST, kinds: _Kinds) -> list[tuple[ast.AST, ast.AST, str, int]]: ...

@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B]], prune: _Kinds | None = None
) -> list[_A | _B]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C]], prune: _Kinds | None = None
) -> list[_A | _B | _C]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D]], prune: _Kinds | None = None
) -> list[_A | _B | _C | _D]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E]], prune: _Kinds | None = None
) -> list[_A | _B | _C | _D | _E]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F]], prune: _Kinds | None = None
) -> list[_A | _B | _C | _D | _E | _F]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G]], prune: _Kinds | None = None
) -> list[_A | _B | _C | _D | _E | _F | _G]: ...
@overload
def walk_of_types(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G], type[_H]], prune: _Kinds | None = None
) -> list[_A | _B | _C | _D | _E | _F | _G | _H]: ...
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
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D]], prune: _Kinds | None = None
) -> list[tuple[_A | _B | _C | _D, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E]], prune: _Kinds | None = None
) -> list[tuple[_A | _B | _C | _D | _E, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F]], prune: _Kinds | None = None
) -> list[tuple[_A | _B | _C | _D | _E | _F, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G]], prune: _Kinds | None = None
) -> list[tuple[_A | _B | _C | _D | _E | _F | _G, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], type[_B], type[_C], type[_D], type[_E], type[_F], type[_G], type[_H]], prune: _Kinds | None = None
) -> list[tuple[_A | _B | _C | _D | _E | _F | _G | _H, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: tuple[type[_A], ...], prune: _Kinds | None = None
) -> list[tuple[_A, ast.AST | None, str | None, int]]: ...
@overload
def walk_of_types_edges(
    node: ast.AST, kinds: _Kinds, prune: _Kinds | None = None
) -> list[tuple[ast.AST, ast.AST | None, str | None, int]]: ...
# END overloads
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

# Warned when kinds, prune or bracket names an abstract node class, which
# matches nothing; each interpreter's module has its own class.
class AbstractKindWarning(UserWarning): ...
