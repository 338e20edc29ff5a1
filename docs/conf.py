"""Sphinx configuration: the guide's pages, the API reference from the built
module's docstrings (return types from the stubs), and doctests of every
example. `make docs` builds with the module on PYTHONPATH."""
import ast
import os
import re

import quernwood

HERE = os.path.dirname(os.path.abspath(__file__))
STUBS = os.path.join(os.path.dirname(HERE), "stubs", "quernwood.pyi")

project = "quernwood"
author = "the quernwood developers"
copyright = "2026, " + author
release = version = quernwood.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest"]
html_theme = "alabaster"
html_static_path = ["_static"]
html_theme_options = {"description": "ast's helpers, natively", "fixed_sidebar": True}
exclude_patterns = ["_build"]
# The docstrings quote code in single backquotes.
default_role = "literal"
autodoc_member_order = "bysource"

# Every cross-reference must resolve. The standard library's names are
# quoted, not linked: the build runs offline, with no inventory of Python's
# own documentation.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:(class|obj|data)", r"(ast|typing|collections\.abc)\.\w+"),
    (r"py:(class|obj)", r"(int|str|bytes|bool|type|list|tuple|dict|set|None|object|BaseException|UserWarning)"),
]

doctest_global_setup = """
import ast
import warnings
import quernwood
warnings.simplefilter("ignore", DeprecationWarning)
tree = ast.parse("def f(x):\\n    return g(x)\\n\\nclass C:\\n    def m(self): pass\\n")
"""
doctest_default_flags = __import__("doctest").ELLIPSIS | __import__("doctest").NORMALIZE_WHITESPACE


def stub_returns():
    """Each function's return annotation, from its most general (last)
    definition in the stubs, with the stubs' private aliases spelt out."""
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    aliases = {}
    returns = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            value = node.value
            if isinstance(value, ast.Call) and ast.unparse(value.func) == "TypeVar":
                # A type variable reads as its bound.
                value = next((k.value for k in value.keywords if k.arg == "bound"), ast.Name("object"))
            aliases[node.targets[0].id] = ast.unparse(value)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value:
            aliases[node.target.id] = ast.unparse(node.value)
        elif isinstance(node, ast.FunctionDef) and node.returns is not None:
            returns[node.name] = ast.unparse(node.returns)
    return returns, aliases


RETURNS, ALIASES = stub_returns()


def spell_out(annotation):
    # A private alias (_Kinds, _Event) means nothing to a reader.
    return re.sub(r"\b_[A-Z]\w*\b", lambda m: ALIASES.get(m.group(0), m.group(0)), annotation)


def add_return(app, what, name, obj, options, signature, return_annotation):
    short = name.rpartition(".")[2]
    if what == "function" and name.startswith("quernwood.") and short in RETURNS and not return_annotation:
        return signature, spell_out(RETURNS[short])
    return None


def setup(app):
    app.connect("autodoc-process-signature", add_return)
