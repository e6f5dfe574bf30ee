"""Gitignore rules, one pattern at a time (the walk checks them against git itself)."""

from unittest import mock

import pytest
from hypothesis import given, settings, strategies as st

from kovel.batch import ignore
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


# Every pattern matched apart, as one of many wildcards is: it must decide as the regex does.
@given(
    st.lists(st.text("ab/*?[]!\\", min_size=1, max_size=12), min_size=1, max_size=4),
    st.text("ab/c", max_size=12),
    st.booleans(),
)
@settings(max_examples=500, deadline=None)
def test_patterns_matched_apart_decide_as_regexes_do(patterns, path, is_dir):
    with mock.patch.object(ignore, "_MOST_WILDCARDS", 99):
        plain = Rules(patterns)
    with mock.patch.object(ignore, "_MOST_WILDCARDS", -1):
        apart = Rules(patterns)
    assert apart.match(path, is_dir) == plain.match(path, is_dir)


@pytest.mark.parametrize(
    "pattern, path, verdict",
    [
        ("*a" * 24 + "*c", "a" * 31 + "b.py", None),  # a regex backtracks for ever on these
        ("*a" * 24 + "*c", "a" * 31 + "c", True),
        ("**/" * 30 + "*.py", "x/" * 40 + "y.py", True),
        ("**/" * 30 + "*.py", "x/" * 40 + "y.pyc", None),
        ("a/**/b/**/c/**/d/**/e/**/f/**/g", "a/x/b/c/y/z/d/e/f/q/g", True),
        ("a/**/b/**/c/**/d/**/e/**/f/**/g", "a/x/b/c/y/z/d/e/f/q/h", None),
        ("/*a*a*a*a*a*b", "a" * 250 + ".py", None),  # five stars: a regex takes minutes on a long name
        ("/*a*a*a*a*b", "a" * 250 + "b", True),
    ],
)
def test_patterns_of_many_wildcards_are_matched_in_time(pattern, path, verdict):
    assert Rules([pattern]).match(path, False) is verdict
