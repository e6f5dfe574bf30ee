"""Gitignore rules, one pattern at a time (the walk checks them against git itself)."""

import pytest

from kovel.batch.ignore import Rules


@pytest.mark.parametrize(
    "patterns, path, is_dir, verdict",
    [
        (["*.py", "!keep.py"], "a/keep.py", False, False),
        (["*.py", "!keep.py", "keep.py"], "keep.py", False, True),  # the last match decides
        (["out/"], "src/out", True, True),
        (["out/"], "src/out", False, None),
        (["/top.py"], "sub/top.py", False, None),
        (["a/*.py"], "a/b/c.py", False, None),
        (["a/**/c.py"], "a/c.py", False, True),
        (["a/**/c.py"], "a/b/b/c.py", False, True),
        (["**/c.py"], "x/y/c.py", False, True),
        (["a/**"], "a", True, None),
        (["a/**"], "a/b/c", False, True),
        (["a**b.py"], "ax/b.py", False, None),  # not a whole segment: a plain star
        (["[!a]b.py"], "/b.py", False, None),
        (["\\#x", "\\!y"], "#x", False, True),
        (["x\\ "], "x ", False, True),
        (["x   "], "x", False, True),
        (["# x"], "# x", False, None),
        (["[[:digit:]]"], "7", False, True),
    ],
)
def test_rules(patterns, path, is_dir, verdict):
    assert Rules(patterns).match(path, is_dir) == verdict
