"""The README's examples run and print what the README shows."""

import ast
import doctest
import os
import re
import warnings

import quernwood

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples():
    with open(README) as f:
        text = f.read()
    # The examples share the `tree` the README defines in a plain code block.
    setup = re.search(r"^tree = ast\.parse\(\"def .*\)$", text, re.M)
    assert setup is not None
    globs = {"ast": ast, "quernwood": quernwood}
    exec(setup.group(0), globs)
    # A code fence would read as expected output: blank it, keeping line numbers.
    text = re.sub(r"^```\w*$", "", text, flags=re.M)
    test = doctest.DocTestParser().get_doctest(text, globs, "README.md", README, 0)
    assert len(test.examples) >= 12
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
