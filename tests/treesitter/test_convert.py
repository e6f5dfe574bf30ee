"""Terms from tree-sitter syntax trees: layout, re-indentation, what a source may be
(round trips: test_native_parse.py)."""

import itertools
from array import array
from functools import partial

import pytest

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel import leaf, tb  # noqa: E402
from kovel.treesitter import from_node, from_tree, language, parse  # noqa: E402


def test_tree_maps_to_tagged_tuples_with_layout():
    # Gaps become Writes, a line feed between children an NL; leaves keep their text.
    def stmt(n, v):
        assign = tb("assignment").c(leaf("identifier", n)).w(" ").c(leaf("=", "=")).w(" ")
        return tb("expression_statement").c(assign.c(leaf("integer", v)).b()).b()

    expected = tb("module").c(stmt("x", "1")).n().w("  ").c(leaf("comment", "# c")).n().c(stmt("y", "2")).b()
    assert parse("python", "x = 1\n  # c\ny = 2").postcard_bytes() == expected.postcard_bytes()


def test_fragment_is_reindented_except_inside_string_literals():
    # A CR before a line feed stays before the prefix; nothing inside a string literal
    # (f-string replacement fields included) gets one.
    source = b'def g():\n    if a:\r\n        s = """x\n  \\ty""" + f"""{\n  x\n}"""  # c\n        f(\n            1)\n'
    node = tree_sitter.Parser(language("python")).parse(source).root_node.children[0].children[-1].children[0]
    out = str(tb("x").w("> ").p("| ").c(from_node(node, source)).b())
    assert (
        out
        == '> if a:\r\n|         s = """x\n  \\ty""" + f"""{\n  x\n}"""  # c\n|         f(\n|             1)'
    )


@pytest.mark.parametrize("source", [5, [120], None, 1.5, {"x": 1}], ids=repr)
def test_source_is_text_or_bytes_like_only(source):
    # bytes() would turn 5 into five NULs and [120] into "x".
    tree = tree_sitter.Parser(language("python")).parse(b"x = 1\n")
    calls = (partial(parse, "python"), partial(from_tree, tree), partial(from_node, tree.root_node))
    for convert, like in itertools.product(calls, (bytearray, memoryview, partial(array, "B"))):
        with pytest.raises(TypeError, match=f"not {type(source).__name__!r}"):
            convert(source)
        assert str(convert(like(b"x = 1\n"))) == "x = 1\n"
