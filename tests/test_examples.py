"""The example programs, run as a user runs them, over small sample trees."""

import json
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
    # A near copy: one constant differs; and a renamed copy.
    "pkg/c.py": SUM_POSITIVE.replace("item * 2", "item * 3"),
    "pkg/renamed.py": SUM_POSITIVE.replace("item", "value").replace("total", "acc").replace("shared", "add"),
    # Two functions sharing a run of three statements, not their whole bodies.
    "pkg/runs.py": """
    def load(path):
        print("loading", path)
        data = read(path)
        rows = [r.strip() for r in data.splitlines() if r]
        table = {r.split("=")[0]: r.split("=")[1] for r in rows}
        return table

    def reload(path, cache):
        cache.clear()
        data = read(path)
        rows = [r.strip() for r in data.splitlines() if r]
        table = {r.split("=")[0]: r.split("=")[1] for r in rows}
        cache.update(table)
    """,
    "pkg/broken.py": "def f(:\n",
    "pkg/notes.txt": "def shared(items): pass\n",
}

RUNS = """\
    2 copies of 3 statements, 54 nodes each:
      pkg/runs.py:4-6
      pkg/runs.py:11-13
"""
FIRST = """\
    2 copies of 3 statements, 49 nodes each:
      pkg/a.py:15-21
      pkg/sub/b.py:15-20
"""
SHARED_TINY = """\
    2 copies of 2 statements, 40 nodes each:
      pkg/a.py:2-12
      pkg/sub/b.py:2-12
"""
RENAMED = """\
    2 copies of 3 statements, 92 nodes each:
      pkg/a.py:2-21
      pkg/sub/b.py:2-20
""" + RUNS + """\
    3 copies of function shared, 36 nodes each:
      pkg/a.py:2-9
      pkg/renamed.py:2-9 as add
      pkg/sub/b.py:2-10
"""


# Largest first, each run at its longest; the near copy in c.py never
# matches, the renamed one only with --renamed, and pieces inside a printed
# copy (the functions of a printed run, the inner `if` of `first`) are left out.
@pytest.mark.parametrize("args, expected", [
    ([], RUNS + FIRST + SHARED_TINY),
    (["--min-nodes", "50"], RUNS),
    (["--exclude", "runs.py", "--exclude", "su?"], ""),
    (["--renamed", "--min-nodes", "30"], RENAMED),
    (["--jobs", "2"], RUNS + FIRST + SHARED_TINY),
], ids=["default", "min-nodes", "exclude", "renamed", "jobs"])
def test_find_duplicates(tmp_path, args, expected):
    write_tree(tmp_path, DUPLICATE_TREE)
    r = run_example("find_duplicates.py", tmp_path, "pkg", *args)
    assert r.returncode == 0, r.stderr
    assert r.stdout == textwrap.dedent(expected)
    assert "pkg/broken.py: skipped:" in r.stderr
    workers = "2 interpreters" if sys.version_info >= (3, 14) else "2 processes"
    if "--jobs" in args and not r.stderr.endswith(f"analysed on {workers}\n"):
        # Isolated interpreters fall back to processes where the module cannot load.
        assert r.stderr.endswith("analysed on 2 processes\n"), r.stderr


def test_find_duplicates_json(tmp_path):
    write_tree(tmp_path, DUPLICATE_TREE)
    r = run_example("find_duplicates.py", tmp_path, "pkg", "--json", "--exclude", "runs.py")
    copies = [("pkg/a.py", 15, 21), ("pkg/sub/b.py", 15, 20)], [("pkg/a.py", 2, 12), ("pkg/sub/b.py", 2, 12)]
    assert json.loads(r.stdout) == [
        {"what": what, "nodes": nodes,
         "copies": [{"path": p, "line": a, "end_line": b, "name": None} for p, a, b in c]}
        for what, nodes, c in zip(["3 statements", "2 statements"], [49, 40], copies)]

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

    def quiet(a=[], b={}):  # noqa: mutable-default
        try:
            pass
        except:  # NOQA
            def loud(c=[], s="# noqa"): pass

    async def co(p={1: 2}):
        try:
            pass
        except (OSError, ValueError):
            pass
        except:
            raise
    """,
}

# `# noqa` (any case) silences its line, for the rules it names if any; the
# same text in a string does not.
MOD_FINDINGS = """\
    app/mod.py:2:14: mutable-default in bad (argument b)
    app/mod.py:2:23: mutable-default in bad (argument c)
    app/mod.py:5:5: bare-except in bad
    app/mod.py:6:21: mutable-default in bad.inner (argument q)
    app/mod.py:10:22: mutable-default in K.m (argument opts)
    app/mod.py:11:24: mutable-default in K.m.<lambda> (argument acc)
    app/mod.py:16:1: bare-except in <module>
    app/mod.py:19:22: mutable-default in pos (argument c)
    app/mod.py:26:20: mutable-default in quiet.loud (argument c)
    app/mod.py:28:16: mutable-default in co (argument p)
    app/mod.py:33:5: bare-except in co
"""


def only(rule):
    return "".join(line + "\n" for line in textwrap.dedent(MOD_FINDINGS).splitlines() if f" {rule} " in line)


@pytest.mark.parametrize("args, status, expected", [
    (["app"], 1, textwrap.dedent(MOD_FINDINGS)),
    (["app/clean.py"], 0, ""),
    (["app", "--select", "bare-except"], 1, only("bare-except")),
    (["app", "--ignore", "bare-except"], 1, only("mutable-default")),
    (["app", "--select", "bare-except", "--ignore", "bare-except"], 0, ""),
])
def test_lint(tmp_path, args, status, expected):
    write_tree(tmp_path, LINT_TREE)
    r = run_example("lint.py", tmp_path, *args)
    assert (r.returncode, r.stdout) == (status, expected), r.stderr


def test_lint_json_and_unknown_rule(tmp_path):
    write_tree(tmp_path, LINT_TREE)
    r = run_example("lint.py", tmp_path, "app", "--json", "--select", "bare-except")
    assert json.loads(r.stdout) == [
        {"path": "app/mod.py", "line": line, "column": col, "rule": "bare-except", "scope": scope, "detail": ""}
        for line, col, scope in [(5, 5, "bad"), (16, 1, "<module>"), (33, 5, "co")]]
    r = run_example("lint.py", tmp_path, "app", "--select", "bare-except,nope")
    assert r.returncode == 2 and "unknown rule 'nope'" in r.stderr
