"""The example programs, run as a user runs them, over small sample trees."""

import json
import os
from multiprocessing import resource_tracker
import signal
import subprocess
import sys
import sysconfig
import textwrap
import uuid

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
# Sources the parser refuses with RecursionError or MemoryError ("too complex").
TOO_COMPLEX = {"pkg/long.py": "x = " + "1 + " * 60_000 + "1\n", "pkg/deep.py": "x = " + "-" * 100_000 + "1\n"}

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
    write_tree(tmp_path, DUPLICATE_TREE | TOO_COMPLEX)
    # Only regular files are read: a FIFO would wait, the zero device never end.
    os.mkfifo(tmp_path / "pkg/fifo.py")
    (tmp_path / "pkg/zero.py").symlink_to("/dev/zero")
    r = run_example("find_duplicates.py", tmp_path, "pkg", *args)
    assert r.returncode == 0, r.stderr
    assert r.stdout == textwrap.dedent(expected)
    for name in ("broken", "long", "deep", "fifo", "zero"):
        assert f"pkg/{name}.py: skipped:" in r.stderr
    workers = "2 interpreters" if sys.version_info >= (3, 14) else "2 processes"
    if "--jobs" in args and not r.stderr.endswith(f"analysed on {workers}\n"):
        # Isolated interpreters fall back to processes where the module cannot load.
        assert r.stderr.endswith("analysed on 2 processes\n"), r.stderr


PROXY = "class Proxy:\n" + "".join(f"    {n} = property(lambda self: self.file.{n})\n" for n in "abcdefghijklmn")
TWICE = "def pair(a, b):\n" + 2 * "    key = a.strip() + b.strip()\n    out = {key: [a.split(), b.split()]}\n"
DECORATED = """
@dataclasses.dataclass
class Cache:
    @functools.cache
    def lookup(self, key, default=None):
        value = self.table.get(key.strip().lower(), default)
        return value if value is not None else default

    size = 0
"""


# Alike statements repeated in place overlap themselves shifted by a line,
# which is no copy; two whole runs side by side are; ranges of decorated
# definitions start at their first decorator.
@pytest.mark.parametrize("files, expected", [
    ({"a.py": PROXY}, ""),
    ({"a.py": PROXY, "b.py": PROXY[:PROXY.index("    h =")]}, "2 copies of 7 statements, 105 nodes each:\n"
     "  a.py:2-8\n  b.py:2-8\n"),
    ({"a.py": TWICE}, "2 copies of 2 statements, 33 nodes each:\n  a.py:2-3\n  a.py:4-5\n"),
    ({"a.py": DECORATED, "b.py": "\n" + DECORATED}, "2 copies of class Cache, 50 nodes each:\n  a.py:2-9\n  b.py:3-10\n"),
    ({"a.py": DECORATED, "b.py": DECORATED + "    more = 1\n"}, "2 copies of 2 statements, 45 nodes each:\n"
     "  a.py:4-9\n  b.py:4-9\n"),
], ids=["repeated-in-place", "copied-from-repeated", "side-by-side", "decorated-class", "decorated-run"])
def test_find_duplicates_ranges(tmp_path, files, expected):
    write_tree(tmp_path, files)
    r = run_example("find_duplicates.py", tmp_path, *sorted(files), "--renamed", "--min-nodes", "30")
    assert (r.returncode, r.stdout) == (0, expected), r.stderr


try:
    import psutil
    from distributed import Client, LocalCluster, WorkerPlugin
except ImportError:
    Client, WorkerPlugin = None, object
SLICE = ("json", "email", "asyncio", "broken.py", "deep.py")


class Sabotage(WorkerPlugin):
    """Workers run in `cwd`; given a `flag` file to create, the first worker
    to start its second task kills itself, once in the whole cluster."""

    def __init__(self, cwd, flag):
        self.cwd, self.flag, self.started = cwd, flag, 0

    def setup(self, worker):
        os.chdir(self.cwd)

    def transition(self, key, start, finish, **kwargs):
        self.started += finish == "executing"
        if self.flag and self.started == 2 and not os.path.exists(self.flag):
            open(self.flag, "x").close()
            os.kill(os.getpid(), signal.SIGKILL)


@pytest.fixture(scope="module")
def stdlib_slice(tmp_path_factory):
    """Standard-library packages and a file that does not parse, and what
    one worker finds in them."""
    root = tmp_path_factory.mktemp("slice")
    for package in SLICE[:-2]:
        (root / package).symlink_to(os.path.join(sysconfig.get_paths()["stdlib"], package))
    (root / "broken.py").write_text("def f(:\n")
    (root / "deep.py").write_text(TOO_COMPLEX["pkg/deep.py"])
    return root, {mode: run_example("find_duplicates.py", root, *SLICE, *mode).stdout for mode in ((), ("--renamed",))}


# Each run finds what one worker finds, and leaves no process behind.
# local:2 starts a cluster of its own; the others use one of this test's,
# whose workers look for the files elsewhere (so that they read none but
# what --send-source sends), or lose a process in the middle of the run.
@pytest.mark.skipif(Client is None, reason="needs dask.distributed")
@pytest.mark.slow_under_asan
@pytest.mark.parametrize("cluster, args", [
    (None, ["--scheduler", "local:2"]),
    ("elsewhere", ["--send-source", "--renamed"]),
    ("elsewhere", []),
    ("killed", ["--batch", "4"]),
], ids=["local", "send-source", "unseen", "killed"])
def test_find_duplicates_on_dask(tmp_path, monkeypatch, stdlib_slice, cluster, args):
    root, one_worker = stdlib_slice
    resource_tracker.ensure_running()  # it serves this process to its end, not a cluster
    marker = uuid.uuid4().hex
    monkeypatch.setenv("QW_RUN", marker)  # every process started from here on has it
    killed, flag = cluster == "killed", tmp_path / "killed"
    if cluster is None:
        r = run_example("find_duplicates.py", root, *SLICE, *args)
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as c, Client(c) as client:
            client.register_plugin(Sabotage(str(root if killed else tmp_path), str(flag) if killed else ""))
            r = run_example("find_duplicates.py", root, *SLICE, "--scheduler", c.scheduler_address, *args)
    assert (r.returncode, flag.exists()) == (0, killed), r.stderr
    if args:
        assert "broken.py: skipped: invalid syntax" in r.stderr and "deep.py: skipped: " in r.stderr
        assert r.stdout == one_worker[tuple(a for a in args if a == "--renamed")] != ""
    else:  # not even broken.py was read
        assert r.stdout == "" and "broken.py: skipped: [Errno 2]" in r.stderr
    left = [p for p in psutil.process_iter(["environ"])
            if (p.info["environ"] or {}).get("QW_RUN") == marker and p.pid != os.getpid()]
    # One on its way out may still be listed on a loaded machine; one left
    # behind outlives the wait.
    assert psutil.wait_procs(left, timeout=30)[1] == []


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
