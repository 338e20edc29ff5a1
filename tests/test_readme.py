"""The README's examples run and print what the README shows, and the README
stays a page that fits on a screen or two (the rest is in docs/)."""

import doctest
import os
import re
import warnings

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples():
    with open(README) as f:
        text = f.read()
    assert len(text.splitlines()) <= 200
    # A code fence would read as expected output: blank it, keeping line numbers.
    text = re.sub(r"^```\w*$", "", text, flags=re.M)
    test = doctest.DocTestParser().get_doctest(text, {}, "README.md", README, 0)
    assert len(test.examples) >= 12
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        runner.run(test)
    assert runner.summarize(verbose=False).failed == 0
