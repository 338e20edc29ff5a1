"""The example programs, run as a user runs them, over small sample trees."""

import os
import subprocess
import sys
import textwrap

import pytest

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def write_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


def run_example(script, cwd, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, script), *args],
                          cwd=cwd, capture_output=True, text=True, env=env, timeout=120)


SUM_POSITIVE = """
    def shared(items):
        total = 0
        for item in items:
            if item > 0:
                total += item * 2
            else:
                total -= item
        return total
"""

DUPLICATE_TREE = {
    "pkg/a.py": SUM_POSITIVE + """
    def tiny():
        return 1

    def first(rows):
        seen = set()
        for row in rows:
            key = row.strip().lower()
            if key not in seen:
                seen.add(key)
                print(key)
        return sorted(seen)
    """,
    # The same code laid out and commented differently, under other names.
    "pkg/sub/b.py": """
    def shared(items):
        total = 0
        for item in items:
            if item > 0:
                total += item * 2   # doubled
            else:

                total -= item
        return total

    def tiny(): return 1

    def second(rows):
        seen = set()
        for row in rows:
            key = row.strip().lower()
            if key not in seen:
                seen.add(key); print(key)
        return sorted(seen)
    """,
    # A near copy: one constant differs.
    "pkg/c.py": SUM_POSITIVE.replace("item * 2", "item * 3"),
    "pkg/broken.py": "def f(:\n",
    "pkg/notes.txt": "def shared(items): pass\n",
}


BLOCK = """\
    2 copies of 3 statements, 49 nodes each:
      pkg/a.py:15
      pkg/sub/b.py:15
"""
SHARED = """\
    2 copies of function shared, 36 nodes each:
      pkg/a.py:2
      pkg/sub/b.py:2
"""
TINY = """\
    2 copies of function tiny, 4 nodes each:
      pkg/a.py:11
      pkg/sub/b.py:12
"""


# Largest first; the near copy in c.py never matches, and blocks inside a
# printed copy (the body of `shared`, the inner `if` of `first`) are left out.
@pytest.mark.parametrize("args, expected", [
    ([], BLOCK),
    (["--min-nodes", "37"], BLOCK),
    (["--min-nodes", "36"], BLOCK + SHARED),
    (["--min-nodes", "4"], BLOCK + SHARED + TINY),
], ids=["default", "above-shared", "at-shared", "small"])
def test_find_duplicates(tmp_path, args, expected):
    write_tree(tmp_path, DUPLICATE_TREE)
    r = run_example("find_duplicates.py", tmp_path, "pkg", *args)
    assert r.returncode == 0, r.stderr
    assert r.stdout == textwrap.dedent(expected)
    assert "pkg/broken.py: skipped:" in r.stderr


LINT_TREE = {
    "app/clean.py": """
    def ok(x=None, y=(), *, z=frozenset()):
        try:
            pass
        except ValueError:
            pass
    """,
    "app/mod.py": """
    def bad(a, b=[], *, c={}, d=None):
        try:
            pass
        except:
            def inner(q=set()):
                pass

    class K:
        def m(self, opts=dict()):
            f = lambda acc=[]: acc
            return f

    try:
        import json
    except:
        pass

    def pos(a, b=1, /, c=[x for x in "ab"], *args, d=0, **kw):
        pass

    async def co(p={1: 2}):
        try:
            pass
        except (OSError, ValueError):
            pass
        except:
            raise
    """,
}

MOD_FINDINGS = """\
    app/mod.py:2: mutable-default in bad (argument b)
    app/mod.py:2: mutable-default in bad (argument c)
    app/mod.py:5: bare-except in bad
    app/mod.py:6: mutable-default in bad.inner (argument q)
    app/mod.py:10: mutable-default in K.m (argument opts)
    app/mod.py:11: mutable-default in K.m.<lambda> (argument acc)
    app/mod.py:16: bare-except in <module>
    app/mod.py:19: mutable-default in pos (argument c)
    app/mod.py:22: mutable-default in co (argument p)
    app/mod.py:27: bare-except in co
"""


@pytest.mark.parametrize("target, status, expected", [
    ("app", 1, MOD_FINDINGS),
    ("app/clean.py", 0, ""),
])
def test_lint(tmp_path, target, status, expected):
    write_tree(tmp_path, LINT_TREE)
    r = run_example("lint.py", tmp_path, target)
    assert (r.returncode, r.stdout) == (status, textwrap.dedent(expected)), r.stderr
