import ctypes
import re
import shutil
import subprocess

import pytest

import quernwood

FOUNDATION = ["walk", "walk_dfs", "walk_unordered", "_walk_count"]
ALL_IN_ORDER = [
    "walk", "walk_dfs", "walk_unordered", "walk_frontier", "walk_frontier_edges",
    "walk_of_types", "fix_missing_locations", "subtree_hashes", "subtree_hash",
    "set_parents", "walk_frontier_events", "_walk_count",
]
# Added later, beside the twelve: module attributes, not in __all__.
BESIDE = ["walk_of_types_edges", "expand_kinds", "subtree_digests", "subtree_digest",
          "DISPATCH", "ENTER", "LEAVE", "__version__", "PanicException", "AbstractKindWarning"]


def test_all_lists_functions_in_table_order():
    assert quernwood.__all__ == ALL_IN_ORDER


def test_attributes_outside_all():
    assert (quernwood.DISPATCH, quernwood.ENTER, quernwood.LEAVE) == (0, 1, 2)
    assert isinstance(quernwood.__version__, str) and quernwood.__version__.count(".") == 2
    assert all(hasattr(quernwood, n) for n in BESIDE)
    assert not set(BESIDE) & set(quernwood.__all__)


def test_module_doc_names_every_public_attribute():
    # help() lists only __all__: the docstring's groups must name the rest.
    listed = re.findall(r"^ {4}(\w+)", quernwood.__doc__, re.MULTILINE)
    public = {n for n in vars(quernwood) if not n.startswith("__")} | {"__version__"}
    assert sorted(listed) == sorted(public)
    assert quernwood.__name__ == "quernwood"


@pytest.mark.parametrize("name", FOUNDATION)
def test_function_identity(name):
    fn = getattr(quernwood, name)
    assert fn.__name__ == name
    assert fn.__module__ == quernwood.__name__
    assert fn.__self__ is quernwood
    assert fn.__text_signature__ == "(node)"
    assert not fn.__doc__.startswith(name + "(")


def test_docstrings_drop_signature_prefix():
    assert quernwood.walk_dfs.__doc__.startswith("Walk the AST rooted at")
    assert quernwood.walk.__doc__.startswith("Deprecated. Use `walk_dfs`")
    assert "batched prefetching" in quernwood.walk_unordered.__doc__
    assert quernwood._walk_count.__doc__.startswith("Benchmarking-only.")


def test_entry_points_are_pure():
    lib = ctypes.PyDLL(quernwood.__file__)
    init = lib.PyInit_quernwood
    init.restype = ctypes.c_void_p
    assert init() == init() != 0
    export = getattr(lib, "PyModExport_quernwood", None)
    if export is not None:
        export.restype = ctypes.c_void_p
        assert export() == export() != 0


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_only_entry_points_are_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", quernwood.__file__],
                         capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert "PyInit_quernwood" in names
    assert names <= {"PyInit_quernwood", "PyModExport_quernwood"}
