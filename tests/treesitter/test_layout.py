"""Splicing parsed code under a prefix re-indents its code and never changes a literal.

Each case is a minimal program with one literal that spans lines.  The
spliced text is parsed again with the same grammar: every node of the
literal's kind must have exactly the text it had (the literal's value as the
grammar reads it: a heredoc whose terminator moved, or whose body got blanks,
reads differently), and the named line of code must have moved by the prefix.
"""

import pytest

tree_sitter = pytest.importorskip("tree_sitter")

from kovel import tb  # noqa: E402
from kovel.treesitter import from_node, is_literal_kind, language, parse  # noqa: E402
from tests.helpers import LITERAL_CASES, PREFIX  # noqa: E402


def grammar(lang):
    try:
        return language(lang)
    except ValueError:
        pytest.skip(f"no {lang} grammar installed (tree-sitter-language-pack has it)")


def texts(lang, source, kind):
    """The literals of ``kind`` in ``source``: (starts at column 0, text); a heredoc body
    that got blanks before its first line no longer starts at column 0."""
    data = source.encode()
    found, stack = [], [tree_sitter.Parser(grammar(lang)).parse(data).root_node]
    while stack:
        node = stack.pop()
        if node.type == kind:
            found.append((node.start_point[1] == 0, node.text.decode()))
        stack.extend(reversed(node.children))
    return found


def spliced(term):
    return str(tb("x").w(PREFIX).p(PREFIX).c(term).x().b())


SHAPED = [
    # With its kind taken for code, the fish string still holds words on both
    # sides of its line feed outside any child: its text is kept by its shape.
    ("fish", 'function f\n  echo "a\n  b"\n  g\nend\n', "double_quote_string", "  g"),
    # A backslash line continuation hidden between tokens is no literal: the
    # #define does not swallow the following line.
    ("c", "#define X \\\n  1\nint y;\n", "preproc_arg", "int y;"),
    ("c", "#define X \\\r\n  1\r\nint y;\r\n", "preproc_arg", "int y;\r"),
]


@pytest.mark.parametrize(
    "lang, source, kind, code, shaped",
    [(*c, False) for c in LITERAL_CASES] + [(*c, True) for c in SHAPED],
    ids=[f"{c[0]}-{c[2]}" for c in LITERAL_CASES + SHAPED],
)
def test_splicing_keeps_literals_and_moves_code(lang, source, kind, code, shaped):
    grammar(lang)
    # shaped: literals found by their shape alone, with their kind taken for code
    term = parse(lang, source, verbatim=(), code={kind}) if shaped else parse(lang, source)
    assert str(term) == source
    out = spliced(term)
    before = texts(lang, source, kind)
    assert before and texts(lang, out, kind) == before
    assert PREFIX + code in out.split("\n")


def test_column_zero_comment_stays_there():
    grammar("ruby")
    out = spliced(parse("ruby", "def f\n  1\nend\n=begin\n  x\n=end\n"))
    assert out == "    def f\n      1\n    end\n=begin\n  x\n=end\n    "


@pytest.mark.parametrize(
    "kind, literal",
    [("heredoc_body", True), ("StringLiteral", True), ("nowdoc", True), ("line_comment", True), ("CDATA", True),
     ("braced_word_simple", True), ("template_body", False), ("concatenated_string", False),
     ("quoted_expression", False), ("func_literal", False), ("restriction", False)],
)  # fmt: skip
def test_literal_kinds(kind, literal):
    assert is_literal_kind(kind) is literal


def test_node_inside_a_literal_stays_verbatim_on_its_own():
    # The replacement field of an f-string lies inside the string literal.
    source = b'x = f"""{\n  y\n}"""\n'
    tree = tree_sitter.Parser(language("python")).parse(source)
    (field,) = [
        n for n in tree.root_node.children[0].children[0].children[-1].children if n.type == "interpolation"
    ]
    assert str(tb("x").p(PREFIX).c(from_node(field, source)).x().b()) == "{\n  y\n}"
