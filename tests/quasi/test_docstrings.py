"""A rewrite makes no docstring where the code had none: Python stores one, so
the program changes though it parses."""

import ast

import pytest

from kovel.quasi.docstrings import docstrings_made
from tests.helpers import rewrite_leaving


def docstrings(code):
    """The docstring of the module and of each class and function, in order."""
    tree = ast.parse(code)
    nodes = [tree, *(n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef | ast.ClassDef))]
    return [ast.get_docstring(n, clean=False) for n in nodes]


# (code, pattern, template, whether a docstring would be made there)
CASES = [
    # A string put first in a body.
    ('def f():\n    g("hi")\n    return 1\n', "g($A)", "$A", True),
    ('class C:\n    g("a")\n', "g($A)", "$A", True),
    ('g("a")\nx = 1\n', "g($A)", "$A", True),
    ("def f(): g('a')\n", "g($A)", "$A", True),
    ('def f():\n    # why\n    g("a")\n', "g($A)", "$A", True),
    ('def f():\n    g("a" "b")\n', "g($A)", "$A", True),
    ('def f():\n    g(("a"))\n', "g($A)", "$A", True),
    ('async def f():\n    g(r"a")\n', "g($A)", "$A", True),
    ("def f():\n    pass\n", "pass", '"TODO"', True),
    # A statement taken out before a string.
    ('def f():\n    x = 1\n    "s"\n', "x = 1", "", True),
    ('def f():\n    x = 1\n\n    # c\n    "s"\n', "x = 1", "", True),
    ('x = 1\n"s"\n', "x = 1", "", True),
    ('x = 1\ny = 2\n"s"\nz = 3\n', "x = 1\ny = 2", "", True),
    # No docstring made: not first, not a plain string, not a definition's body,
    # or the docstring was there already.
    ('def f():\n    x = 1\n    g("hi")\n', "g($A)", "$A", False),
    ('class C:\n    g(f"a")\n', "g($A)", "$A", False),
    ('def f():\n    g(b"a")\n', "g($A)", "$A", False),
    ('def f():\n    """doc"""\n    g("a")\n', "g($A)", "$A", False),
    ('def f():\n    """doc"""\n', '"""doc"""', '"""new"""', False),
    ('if x:\n    g("a")\n', "g($A)", "$A", False),
    ('def f():\n    x = 1\n    y = "s"\n', "x = 1", "", False),
    ('x = 1\ny = 2\n"s"\nz = 3\n', "x = 1\ny = 2", "print(1)", False),
    ('def f():\n    g("a")\n', "g($A)", "h($A)", False),
]


@pytest.mark.parametrize(("code", "pat", "tpl", "made"), CASES)
def test_no_docstring_is_made(code, pat, tpl, made):
    text, left = rewrite_leaving("python", code, pat, tpl)
    if made:
        assert left and "docstring" in left[0]
        assert text == code
    else:
        assert not left
        assert text != code
    # Whatever is written, each body keeps the docstring it had, unless the match was it.
    if pat != '"""doc"""':
        assert docstrings(text) == docstrings(code)


def test_deleting_a_blocks_first_statement_is_kept_a_block():
    # Taking out the first of a body's statements leaves the body a body.
    text, left = rewrite_leaving("python", "def f():\n    print(1)\n\n    # c\n    y\n", "print($A)", "")
    assert not left
    compile(text, "<rewritten>", "exec")
    assert "print" not in text


def test_only_the_places_that_make_one_are_named():
    code = 'def f():\n    g("a")\n\ndef h():\n    x = 1\n    g("b")\n'
    spans = [(13, 19), (44, 50)]
    assert [code[s:e] for s, e in spans] == ['g("a")', 'g("b")']
    assert docstrings_made(code, spans, ['"a"', '"b"']) == [0]
