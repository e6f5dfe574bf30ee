"""Terms from tree-sitter syntax trees: exact round trips, layout, re-indentation."""

import glob
import itertools
import os
import sysconfig
from array import array
from functools import partial

import pytest

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel import from_postcard_bytes, leaf, tb  # noqa: E402
from kovel.treesitter import from_node, from_tree, language, parse  # noqa: E402


def real_files(count=8):
    paths = sysconfig.get_paths()
    py = [f for f in sorted(glob.glob(f"{paths['stdlib']}/**/*.py", recursive=True)) if "-packages" not in f]
    files = [("python", f) for f in py[:: max(1, len(py) // count)][:count]]
    files += [("c", os.path.join(paths["include"], h)) for h in ("Python.h", "object.h")]
    return [(lang, open(p, "rb").read(), None) for lang, p in files if os.path.exists(p)]


@pytest.mark.parametrize(
    "lang, source, flawed",
    [("python", b"# lead\nx = 1  # trail\n\n\n# end\n", False), ("python", b"if x:\r\n    y = 'a'\r\n\r\n", False)]
    + [("python", "s = 'grüße ☃ 😀'  # été\nnäme = 1\n".encode(), False), ("python", b"", False)]
    + [("python", b"[" * 5000 + b"]" * 5000, False)]  # deeper than the recursion limit
    + [("python", b"x = = 1 )\nprint(\n", True), ("c", b"  /* a\n   b */\nint main(void) { return 0 }\r\n", True)]
    + real_files(),
    ids=lambda v: repr(v[:24]) if isinstance(v, bytes) else None,
)  # fmt: skip
def test_round_trips(lang, source, flawed):
    try:
        text = source.decode()
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    term = parse(lang, source)
    back = from_postcard_bytes(term.postcard_bytes())
    assert str(term) == str(back) == text and back.postcard_bytes() == term.postcard_bytes()
    assert flawed is None or tree_sitter.Parser(language(lang)).parse(source).root_node.has_error == flawed


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
