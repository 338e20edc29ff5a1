#!/usr/bin/env python3
"""Report two classic Python mistakes in every file under the given paths:

  bare-except      an `except:` handler with no exception class, which also
                   catches KeyboardInterrupt and SystemExit
  mutable-default  a default argument that is a list, dict or set (display,
                   comprehension or list()/dict()/set() call), created once
                   and shared by every call

Each finding names its enclosing function as a dotted path of class and
function names (`<module>` at module level), and the exit status is 1 when
there is any finding.
"""

import argparse
import ast
import sys
import warnings

import quernwood
from filewalk import Progress, python_files

# Scopes are bracketed: the walk reports entering and leaving each, so the
# current dotted name is a stack. Handlers are bracketed too rather than
# dispatched, so that functions nested in their bodies are still visited.
SCOPES = (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)
BRACKET = SCOPES + (ast.ExceptHandler,)
ENTER, LEAVE = 1, 2
MUTABLE_DISPLAYS = (ast.List, ast.Dict, ast.Set, ast.ListComp, ast.DictComp, ast.SetComp)
MUTABLE_CALLS = {"list", "dict", "set", "bytearray"}


def is_mutable(default):
    if isinstance(default, MUTABLE_DISPLAYS):
        return True
    return (isinstance(default, ast.Call) and isinstance(default.func, ast.Name)
            and default.func.id in MUTABLE_CALLS)


def mutable_defaults(args):
    """(argument name, default) of every mutable default of one signature."""
    positional = args.posonlyargs + args.args
    pairs = list(zip(positional[len(positional) - len(args.defaults):], args.defaults))
    pairs += [(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
    return [(a.arg, d) for a, d in pairs if is_mutable(d)]


def check(tree):
    """(line, rule, scope, detail) of each finding in one module."""
    findings = []
    scope = []
    for event, node in quernwood.walk_frontier_events(tree, (), BRACKET):
        if isinstance(node, ast.ExceptHandler):
            if event == ENTER and node.type is None:
                findings.append((node.lineno, "bare-except", ".".join(scope[1:]) or "<module>", ""))
            continue
        if event == LEAVE:
            scope.pop()
            continue
        name = "<module>" if isinstance(node, ast.Module) else getattr(node, "name", "<lambda>")
        scope.append(name)
        if isinstance(node, SCOPES[2:]):
            for arg, default in mutable_defaults(node.args):
                findings.append((default.lineno, "mutable-default", ".".join(scope[1:]), f" (argument {arg})"))
    return sorted(findings)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="+", help="Python files or directories to check")
    args = parser.parse_args(argv)
    files = list(python_files(args.paths))
    total = 0
    progress = Progress(len(files), "checked")
    for done, path in enumerate(files, 1):
        try:
            with open(path, "rb") as f, warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(f.read(), path)
        except (SyntaxError, ValueError) as e:
            progress.note(f"{path}: skipped: {e}")
            continue
        findings = check(tree)
        if findings:
            progress.close()
        for line, rule, scope, detail in findings:
            print(f"{path}:{line}: {rule} in {scope}{detail}")
        total += len(findings)
        progress.step(done)
    progress.close()
    print(f"{total} findings in {len(files)} files", file=sys.stderr)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
