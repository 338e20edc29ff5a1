"""The documentation covers the module and its build rejects what would rot:
every public name has an entry in the API reference, and a reference to a
name that does not exist fails the build (make docs builds as this test does)."""

import os
import re
import subprocess
import sys

import pytest

import quernwood

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(HERE, "docs")


def documented():
    with open(os.path.join(DOCS, "api.rst")) as f:
        return set(re.findall(r"^\.\. (?:auto)?(?:function|class|exception|data):: (\w+)", f.read(), re.M))


def public_names():
    names = set(quernwood.__all__) | {"__version__", "__all__"}
    return names | {n for n in dir(quernwood) if not n.startswith("_")}


def test_every_public_name_has_a_reference_entry():
    assert public_names() - documented() == set()
    # Nor does the reference name something the module lacks.
    assert {n for n in documented() if not hasattr(quernwood, n)} == set()


@pytest.mark.parametrize("reference, fails", [
    (":func:`quernwood.walk_dfs`", False),
    (":func:`quernwood.walk_dfs_renamed_away`", True),
])
@pytest.mark.slow_under_asan
def test_a_broken_cross_reference_fails_the_build(tmp_path, reference, fails):
    pytest.importorskip("sphinx")
    (tmp_path / "index.rst").write_text(
        "Probe\n=====\n\n.. module:: quernwood\n\n.. autofunction:: walk_dfs\n\n"
        ".. autoclass:: NodeVisitor\n\nSee " + reference + ".\n")
    # The project's own configuration, with the flags of make docs.
    r = subprocess.run([sys.executable, "-m", "sphinx", "-q", "-W", "-n", "-b", "html", "-c", DOCS,
                        str(tmp_path), str(tmp_path / "out")],
                       capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert (r.returncode != 0) == fails, r.stderr
    if fails:
        assert reference.split("`")[1] in r.stderr


@pytest.mark.slow_under_asan
def test_bench_results_draw_the_speed_page_figures(tmp_path, monkeypatch):
    # What bench.py writes is what plots.py reads: a per-file run over two
    # small modules, drawn.
    try:
        import matplotlib.pyplot  # noqa: F401
    except ImportError:  # absent, or Debian's numpy not built for this interpreter (3.13 in the root)
        pytest.skip("matplotlib does not load on this interpreter")
    monkeypatch.syspath_prepend(os.path.join(HERE, "bench"))
    import bench
    import plots
    texts = [b"def f(x):\n    return g(x)\n", b"class C:\n    def m(self):\n        return [a for a in self]\n"]
    monkeypatch.setattr(bench, "sources", lambda: texts)
    results = tmp_path / "results" / "python3.x.json"
    monkeypatch.setattr(sys, "argv", ["bench.py", "--per-file", "--only", "walk,subtree_hash", "--json", str(results)])
    bench.main()
    plots.main(["plots.py", str(results.parent), str(tmp_path / "out")])
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["python3.x.json", "size.png", "speedup.png"]
    assert all((tmp_path / "out" / name).stat().st_size > 1000 for name in ("size.png", "speedup.png"))
