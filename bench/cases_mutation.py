import ast
import warnings

import quernwood
from cases import Case, sources

LOCATIONS = ("lineno", "col_offset", "end_lineno", "end_col_offset")


def fresh(trees):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = [ast.parse(text) for text in sources()]
    assert len(out) == len(trees)
    return out


def strip(t):
    """The tree with no location attributes on its nodes, as if a
    transformer had built them: each dictionary is rebuilt with the fields
    only, so it holds no deleted slots that would force a resize."""
    for n in ast.walk(t):
        d = n.__dict__
        kept = {k: v for k, v in d.items() if k not in LOCATIONS}
        d.clear()
        d.update(kept)
    return t


def stripped(trees):
    return [strip(t) for t in fresh(trees)]


def parsed_stripped(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return strip(ast.parse(text))


def parents_in_python(t):
    for n in ast.walk(t):
        for c in ast.iter_child_nodes(n):
            c.parent = n


CASES = [
    Case("fix_missing_locations", "ast.fix_missing_locations", ast.fix_missing_locations),
    Case("fix_missing_locations", "fix_missing_locations", quernwood.fix_missing_locations),
    Case("fix_missing_locations (stripped)", "ast.fix_missing_locations", ast.fix_missing_locations,
         setup=stripped, per_file=parsed_stripped),
    Case("fix_missing_locations (stripped)", "fix_missing_locations", quernwood.fix_missing_locations,
         setup=stripped, per_file=parsed_stripped),
    # Fresh trees each run, so both sides add a new attribute to every node
    # and the shared corpus of the other groups is left untouched.
    Case("set_parents", "ast.walk + iter_child_nodes loop", parents_in_python, setup=fresh),
    Case("set_parents", "set_parents", quernwood.set_parents, setup=fresh),
]
