"""The shape of a benchmark case. The first case of each group is the
standard-library baseline that the others in the group are compared with."""
import ast
import os
import sysconfig
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Optional

_sources = None


def sources():
    """The texts of the running interpreter's standard-library modules that
    parse, in a fixed order, without CPython's own test suite (installed in
    some distributions), so that every interpreter walks the same kind of code."""
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


@dataclass(frozen=True)
class Case:
    group: str
    name: str
    run: Callable[[Any], Any]
    # "tree": run(t) for every tree; "largest": run(t) for the largest tree;
    # "corpus": run(trees) once.
    scope: str = "tree"
    # Untimed, before every timed run: maps the inputs to what run() gets
    # (for example fresh trees with locations stripped).
    setup: Optional[Callable[[list], list]] = None
    # The per-file mode's input, made untimed from the module's source before
    # every timed run; None: the module parsed.
    per_file: Optional[Callable[[bytes], Any]] = None
    # Timed in the per-file mode only.
    per_file_only: bool = False

    @property
    def key(self):
        return (self.group, self.name)
