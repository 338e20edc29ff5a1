import ast
import os
import sysconfig
import warnings

import quernwood
from cases import Case

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")
_sources = None


def sources():
    """The texts of the modules the benchmark parses, in the same order."""
    global _sources
    if _sources is None:
        root = sysconfig.get_paths()["stdlib"]
        _sources = []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for dirpath, dirnames, filenames in os.walk(root):
                dirnames[:] = sorted(d for d in dirnames
                                     if d not in ("site-packages", "dist-packages", "__pycache__", "test"))
                for f in sorted(filenames):
                    if f.endswith(".py"):
                        with open(os.path.join(dirpath, f), "rb") as fh:
                            text = fh.read()
                        try:
                            ast.parse(text)
                        except (SyntaxError, ValueError):
                            continue
                        _sources.append(text)
    return _sources


def fresh(trees):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = [ast.parse(text) for text in sources()]
    assert len(out) == len(trees)
    return out


def stripped(trees):
    """Fresh trees whose nodes have no location attributes, as if a
    transformer had built them: each dictionary is rebuilt with the fields
    only, so it holds no deleted slots that would force a resize."""
    out = fresh(trees)
    for t in out:
        for n in ast.walk(t):
            d = n.__dict__
            kept = {k: v for k, v in d.items() if k not in LOCATIONS}
            d.clear()
            d.update(kept)
    return out


def parents_in_python(t):
    for n in ast.walk(t):
        for c in ast.iter_child_nodes(n):
            c.parent = n


CASES = [
    Case("fix_missing_locations", "ast.fix_missing_locations", ast.fix_missing_locations),
    Case("fix_missing_locations", "fix_missing_locations", quernwood.fix_missing_locations),
    Case("fix_missing_locations (stripped)", "ast.fix_missing_locations", ast.fix_missing_locations,
         setup=stripped),
    Case("fix_missing_locations (stripped)", "fix_missing_locations", quernwood.fix_missing_locations,
         setup=stripped),
    # Fresh trees each run, so both sides add a new attribute to every node
    # and the shared corpus of the other groups is left untouched.
    Case("set_parents", "ast.walk + iter_child_nodes loop", parents_in_python, setup=fresh),
    Case("set_parents", "set_parents", quernwood.set_parents, setup=fresh),
]
