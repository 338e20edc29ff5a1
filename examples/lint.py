#!/usr/bin/env python3
"""Report two classic Python mistakes in every file under the given paths:

  bare-except      an `except:` handler with no exception class, which also
                   catches KeyboardInterrupt and SystemExit
  mutable-default  a default argument that is a list, dict or set (display,
                   comprehension or list()/dict()/set() call), created once
                   and shared by every call

Each finding is printed as path:line:column, with its enclosing function as
a dotted path of class and function names (`<module>` at module level); the
exit status is 1 when there is any finding. A line ending in `# noqa` is
not reported, nor one ending in `# noqa: RULE[,RULE...]` for those rules.
"""

import argparse
import ast
import io
import json
import re
import sys
import tokenize
import warnings

import quernwood
from filewalk import Progress, parse_error, python_files, read_regular

RULES = ("bare-except", "mutable-default")
NOQA = re.compile(r"#\s*noqa(?::\s*(?P<rules>[\w-]+(?:\s*,\s*[\w-]+)*))?", re.IGNORECASE)
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


class Checker(quernwood.NodeVisitor):
    """The findings of one module. Each scope's visit method pushes its name
    around the descent into its body, so the dotted name is a stack."""

    def __init__(self):
        self.findings = []
        self.scope = []

    def found(self, node, rule, detail=""):
        self.findings.append((node.lineno, node.col_offset + 1, rule, ".".join(self.scope) or "<module>", detail))

    def visit_ExceptHandler(self, node):
        if node.type is None:
            self.found(node, "bare-except")
        self.generic_visit(node)

    def visit_ClassDef(self, node):
        self.scope.append(node.name)
        self.generic_visit(node)
        self.scope.pop()

    def visit_FunctionDef(self, node):
        self.scope.append(getattr(node, "name", "<lambda>"))
        for arg, default in mutable_defaults(node.args):
            self.found(default, "mutable-default", f" (argument {arg})")
        self.generic_visit(node)
        self.scope.pop()

    visit_AsyncFunctionDef = visit_Lambda = visit_FunctionDef


def check(tree):
    """(line, column, rule, scope, detail) of each finding in one module;
    columns count from 1."""
    checker = Checker()
    checker.visit(tree)
    return sorted(checker.findings)


def suppressed(source):
    """{line: set of rules, or None for every rule} from `# noqa` comments."""
    out = {}
    try:
        for tok in tokenize.generate_tokens(io.StringIO(source).readline):
            if tok.type == tokenize.COMMENT and (m := NOQA.search(tok.string)):
                rules = m.group("rules")
                out[tok.start[0]] = {r.strip() for r in rules.split(",")} if rules else None
    except (tokenize.TokenError, SyntaxError):
        pass  # the parser accepted it; a comment we cannot find is one we do not honour
    return out


def rule_list(text):
    rules = [r.strip() for r in text.split(",") if r.strip()]
    unknown = set(rules) - set(RULES)
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown rule {sorted(unknown)[0]!r}; rules are {', '.join(RULES)}")
    return rules


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="+", help="Python files or directories to check")
    parser.add_argument("--select", type=rule_list, default=list(RULES), metavar="RULES",
                        help="comma-separated rules to check (default: all)")
    parser.add_argument("--ignore", type=rule_list, default=[], metavar="RULES",
                        help="comma-separated rules not to check")
    parser.add_argument("--json", action="store_true", help="print the findings as JSON")
    args = parser.parse_args(argv)
    rules = set(args.select) - set(args.ignore)
    files = list(python_files(args.paths))
    found = []
    progress = Progress(len(files), "checked")
    for done, path in enumerate(files, 1):
        try:
            data = read_regular(path)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(data, path)
        except Exception as e:
            progress.note(parse_error(path, e))
            continue
        noqa = None
        for line, col, rule, scope, detail in check(tree):
            if rule not in rules:
                continue
            if noqa is None:
                noqa = suppressed(data.decode("utf-8", "replace"))
            if line in noqa and (noqa[line] is None or rule in noqa[line]):
                continue
            if not args.json:
                progress.close()
                print(f"{path}:{line}:{col}: {rule} in {scope}{detail}")
            found.append({"path": path, "line": line, "column": col, "rule": rule, "scope": scope,
                          "detail": detail.strip(" ()")})
        progress.step(done)
    progress.close()
    if args.json:
        json.dump(found, sys.stdout, indent=1)
        print()
    print(f"{len(found)} findings in {len(files)} files", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
