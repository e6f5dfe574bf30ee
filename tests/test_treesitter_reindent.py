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

PREFIX = "    "

CASES = [
    # (language, source, literal kind, a code line after the literal)
    ("bash", "f() {\n  cat <<EOF\nhi\n  there $x\nEOF\n  echo x\n}\n", "heredoc_body", "  echo x"),
    ("perl", "sub f {\n  print <<EOF;\nhi\n  $x\nEOF\n  g();\n}\n", "heredoc_content", "  g();"),
    ("perl", "sub f {\n  print <<EOF;\nEOF\n  g();\n}\n", "heredoc_content", "  g();"),
    ("perl", "sub f {\n  my $s = qq{\n  a\n};\n  g();\n}\n", "interpolated_string_literal", "  g();"),
    ("php", "<?php\nfunction f() {\n  $a = <<<'EOT'\n  hi\nEOT;\n  g();\n}\n", "nowdoc", "  g();"),
    ("php", "<?php\nfunction f() {\n  $b = <<<EOT\n  x $y\nEOT;\n  g();\n}\n", "heredoc", "  g();"),
    ("tcl", 'proc f {} {\n  set a "x\n  y $z"\n  g\n}\n', "quoted_word", "  g"),
    ("tcl", "proc f {} {\n  set b {x\n  y}\n  g\n}\n", "braced_word_simple", "  g"),
    ("cmake", 'if(X)\n  set(A "x\n  ${B}\n")\n  g()\nendif()\n', "quoted_argument", "  g()"),
    ("fish", 'function f\n  echo "a\n  b"\n  g\nend\n', "double_quote_string", "  g"),
    ("scala", 'object O {\n  val s = s"""a\n  $b\n"""\n  g()\n}\n', "interpolated_string", "  g()"),
    ("hcl", "a = <<EOT\n  hi ${x}\nEOT\nb = 1\n", "heredoc_template", "b = 1"),
    ("make", "define X\n  a\nendef\nall: x\n", "raw_text", "all: x"),
    ("ruby", "x = 1\n=begin\n  x\n=end\ny = 2\n", "comment", "y = 2"),
    # regressions, and line feeds in tokens that are not literals: Python's
    # line_continuation, the "\n" token after C's #if
    ("python", 'def f():\n    s = f"""{\n  x\n}"""\n    return s + \\\n        s\n', "string", "        s"),
    ("c", '#if A\nint x;\n#endif\nchar *s = "a\\\n  b";\n/* a\n  b */\n', "string_literal", "int x;"),
    ("javascript", "function f() {\n  return `a\n  ${b}\n`;\n}\n", "template_string", "}"),
]


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


@pytest.mark.parametrize("lang, source, kind, code", CASES, ids=[f"{c[0]}-{c[2]}" for c in CASES])
def test_splicing_keeps_literals_and_moves_code(lang, source, kind, code):
    grammar(lang)
    term = parse(lang, source)
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
    "lang, source, kind, code",
    [
        # With its kind taken for code, the fish string still holds words on both
        # sides of its line feed outside any child: its text is kept by its shape.
        ("fish", 'function f\n  echo "a\n  b"\n  g\nend\n', "double_quote_string", "  g"),
        # A backslash line continuation hidden between tokens is no literal: the
        # #define does not swallow the following line.
        ("c", "#define X \\\n  1\nint y;\n", "preproc_arg", "int y;"),
        ("c", "#define X \\\r\n  1\r\nint y;\r\n", "preproc_arg", "int y;\r"),
    ],
)
def test_literals_found_by_shape(lang, source, kind, code):
    grammar(lang)
    out = spliced(parse(lang, source, verbatim=(), code={kind}))
    assert texts(lang, out, kind) == texts(lang, source, kind)
    assert PREFIX + code in out.split("\n")


@pytest.mark.parametrize(
    "kind, literal",
    [
        ("heredoc_body", True),
        ("StringLiteral", True),
        ("nowdoc", True),
        ("line_comment", True),
        ("CDATA", True),
    ]
    + [("braced_word_simple", True), ("template_body", False), ("concatenated_string", False)]
    + [("quoted_expression", False), ("func_literal", False), ("restriction", False)],
)
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
