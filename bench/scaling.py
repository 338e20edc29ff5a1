"""Linear time by doubling: walk_dfs and subtree_hash on N and 2N nodes.

Prints the time ratio per size step; about 2.0 means linear. Not a test.
Run: PYTHONPATH=<build dir> python bench/scaling.py
"""

import ast
import time

import quernwood as qw

PART = ast.parse("def f(a, b=2):\n    return [a * b for a in range(b) if a]\nx = f(1)[0] + -y\n")


def tree(copies):
    # Distinct copies: shared subtrees would let the hash reuse work.
    body = []
    for _ in range(copies):
        body.extend(ast.parse(ast.unparse(PART)).body)
    return ast.Module(body=body, type_ignores=[])


def best(fn, arg, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    per_copy = qw._walk_count(PART) - 1
    print(f"{'function':<14}{'nodes N':>10}{'t(N) ms':>10}{'t(2N) ms':>10}{'ratio':>7}")
    for copies in (2_000, 8_000, 32_000):
        small, large = tree(copies), tree(2 * copies)
        for name, fn in (("walk_dfs", qw.walk_dfs), ("subtree_hash", qw.subtree_hash)):
            a, b = best(fn, small), best(fn, large)
            print(f"{name:<14}{copies * per_copy:>10}{a * 1e3:>10.2f}{b * 1e3:>10.2f}{b / a:>7.2f}")


if __name__ == "__main__":
    main()
