"""The shape of a benchmark case. The first case of each group is the
standard-library baseline that the others in the group are compared with."""
from dataclasses import dataclass
from typing import Any, Callable, Optional


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

    @property
    def key(self):
        return (self.group, self.name)
