import ast
import os
import subprocess
import sys
import sysconfig
import textwrap
import warnings

import pytest

import quernwood


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow_under_asan: too slow for the sanitizer run, which deselects it")


def pytest_report_header(config):
    return f"quernwood from {quernwood.__file__} on Python {sys.version.split()[0]}"


# Keep every k-th standard-library module only (the sanitizer run sets it).
STDLIB_STRIDE = int(os.environ.get("QUERNWOOD_STDLIB_STRIDE", "1"))
# Set by tools/armroot: the interpreter runs under qemu-user, some twenty
# times slower than natively; the same sources were run natively in full.
EMULATED = os.environ.get("QUERNWOOD_EMULATED") == "1"


def examples(full):
    """How many examples a property test draws: all in a full run; a share in
    a strided one, which repeats a full run elsewhere with the same
    derandomised examples (the sanitizer run: where each costs most)."""
    return max(10 if EMULATED else 40, full // STDLIB_STRIDE)


def _stdlib_files():
    # CPython's own test suite, where installed, is a corpus of its own.
    root = sysconfig.get_paths()["stdlib"]
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "dist-packages", "__pycache__", "test"))
        out.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    return out


@pytest.fixture(scope="session")
def stdlib_trees():
    """Every module of the running interpreter's standard library that parses.

    QUERNWOOD_STDLIB_STRIDE=k keeps every k-th module only: the sanitizer run
    uses it, where each walk costs several times as much."""
    stride = STDLIB_STRIDE
    trees = []
    for path in _stdlib_files()[::stride]:
        try:
            trees.append((path, parse_file(path)))
        except (SyntaxError, ValueError, UnicodeDecodeError):
            pass
    assert len(trees) > 300 // stride
    return trees


def parse_file(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with open(path, "rb") as f:
            return ast.parse(f.read(), path)


def run_fresh(code):
    """Runs `code` in a new interpreter that imports the same quernwood."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=300,
    )
