"""Terms from tree-sitter syntax trees: exact round trips, layout, re-indentation."""

import os
import sysconfig

import pytest

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel import from_postcard_bytes, leaf, tb  # noqa: E402
from kovel.treesitter import from_node, from_tree, language, parse  # noqa: E402


def stdlib_sample(count=20):
    root = sysconfig.get_paths()["stdlib"]
    files = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "dist-packages", "__pycache__"))
        files += [os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py")]
    return files[:: max(1, len(files) // count)][:count]


HEADERS = [h for h in ("Python.h", "object.h", "pyport.h", "cpython/unicodeobject.h")
           if os.path.exists(os.path.join(sysconfig.get_paths()["include"], h))]


def assert_round_trip(lang, source: bytes):
    term = parse(lang, source)
    assert str(term) == source.decode()
    wire = term.postcard_bytes()
    back = from_postcard_bytes(wire)
    assert str(back) == source.decode() and back.postcard_bytes() == wire
    return term


@pytest.mark.parametrize("path", stdlib_sample(), ids=os.path.basename)
def test_stdlib_file_round_trips(path):
    source = open(path, "rb").read()
    try:
        source.decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    assert_round_trip("python", source)


@pytest.mark.parametrize("header", HEADERS)
def test_cpython_header_round_trips(header):
    assert_round_trip("c", open(os.path.join(sysconfig.get_paths()["include"], header), "rb").read())


@pytest.mark.parametrize("lang,source,flaw", [
    ("python", b"# lead\nx = 1  # trail\n\n\n# end\n", None),
    ("python", b"if x:\r\n    y = 'a'\r\n\r\n", None),
    ("python", b"\n\n   \n  # indented comment before the module\nx = 1\n  \n", None),
    ("python", b"def f(:\n    pass\n", "missing"),
    ("python", b"x = = 1 )\nprint(\n", "error"),
    ("python", "s = 'gr\u00fc\u00dfe \u2603 \U0001f600'  # \u00e9t\u00e9\nn\u00e4me = 1\n".encode(), None),
    ("python", b"", None),
    ("c", b"  /* a\n   b */\nint main(void) { return 0 }\r\n", "missing"),
    ("c", b"#define M(a) \\\n  (a + 1)\n", None),
])
def test_snippet_round_trips(lang, source, flaw):
    assert_round_trip(lang, source)
    root = tree_sitter.Parser(language(lang)).parse(source).root_node
    assert root.has_error == (flaw is not None)


def test_tree_maps_to_tagged_tuples_with_layout():
    # Gaps become Writes, a line feed between children an NL; leaves keep their text.
    stmt = lambda n, v: tb("expression_statement").c(  # noqa: E731
        tb("assignment").c(leaf("identifier", n)).w(" ").c(leaf("=", "=")).w(" ").c(leaf("integer", v)).b()).b()
    expected = tb("module").c(stmt("x", "1")).n().w("  ").c(leaf("comment", "# c")).n().c(stmt("y", "2")).b()
    assert parse("python", "x = 1\n  # c\ny = 2").postcard_bytes() == expected.postcard_bytes()


def test_root_covers_text_outside_the_root_node():
    source = b"  \n\nx\n  \n"
    tree = tree_sitter.Parser(language("python")).parse(source)
    assert str(from_tree(tree, source)) == source.decode()
    assert str(tb("w").p("> ").c(from_tree(tree, source)).b()) == "  \n> \n> x\n>   \n> "


NESTED = b'''def outer():
    def inner(a):
        text = """first
second\\tsecond
    third"""
        if a:  # check
            return text.split(
                "\\n")
        return None
    return inner
'''


def test_fragment_is_reindented_except_inside_string_literals():
    tree = tree_sitter.Parser(language("python")).parse(NESTED)
    inner = tree.root_node.children[0].child_by_field_name("body").children[0]
    literal = inner.child_by_field_name("body").children[0].children[0].child_by_field_name("right")
    assert (inner.type, literal.type) == ("function_definition", "string")
    original = NESTED[inner.start_byte:inner.end_byte].decode().split("\n")
    in_literal = range(literal.start_point[0] + 1, literal.end_point[0] + 1)
    expected = ["def f():" + original[0]] + [
        line if inner.start_point[0] + i in in_literal else "  | " + line for i, line in enumerate(original[1:], 1)]
    out = str(tb("x").w("def f():").p("  | ").c(from_node(inner, NESTED)).x().n().w("pass").b())
    assert out.split("\n") == expected + ["pass"]
    assert NESTED[literal.start_byte:literal.end_byte].decode() in out


def test_crlf_keeps_carriage_return_before_the_prefix():
    out = str(tb("x").p("  ").c(parse("python", b"if x:\r\n    y\r\n")).b())
    assert out == "if x:\r\n      y\r\n  "


@pytest.mark.parametrize("lang", ["python", "javascript"])
def test_deep_nesting_converts_without_recursion_error(lang):
    pytest.importorskip(f"tree_sitter_{lang}")
    assert_round_trip(lang, b"[" * 5000 + b"]" * 5000)


def test_invalid_utf8_is_a_value_error():
    with pytest.raises(ValueError, match="UTF-8"):
        parse("python", b"x = '\xff'\n")


def test_language_lookup():
    lang = language("python")
    assert isinstance(lang, tree_sitter.Language) and language(lang) is lang
    assert str(parse(lang, "a  +b")) == str(parse("python", "a  +b")) == "a  +b"
    with pytest.raises(ValueError, match="no tree-sitter grammar"):
        language("no-such-language-xyz")
