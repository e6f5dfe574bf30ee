"""Templates lay out their nodes as kovel.treesitter does (verbatim nodes,
line-end tokens, nodes anchored at column 0), so a template spliced under a
prefix keeps its literals and re-indents its code as a parsed term does."""

import pytest

pytest.importorskip("tree_sitter")

from kovel import leaf, tb  # noqa: E402
from kovel.quasi import template  # noqa: E402
from kovel.treesitter import language, parse  # noqa: E402
from tests.helpers import LITERAL_CASES, PREFIX  # noqa: E402


def spliced(t):
    return str(tb("x").p(PREFIX).c(t).x().b())


# Templates whose hole shares a node with a line-end token or an anchored
# node: the nodes on the way to the hole are laid out by the same rules.
WITH_HOLES = [
    ("python", "def f():\n    return $X + \\\n        1\n", "a"),
    ("ruby", "def f\n  $X\nend\n=begin\n  x\n=end\n", "g"),
    ("ruby", "def f\n  $X\n=begin\n  x\n=end\nend\n", "g"),
    ("c", "#if A\nint $X;\n#endif\n", "y"),
    ("perl", "sub f {\n  print <<EOF;\nhi\nEOF\n  g($X);\n}\n", "z"),
]
# no template context parses make
PLAIN = [(lang, source, None) for lang, source, _, _ in LITERAL_CASES if lang != "make"]


@pytest.mark.parametrize(
    ("lang", "code", "value"),
    PLAIN + WITH_HOLES,
    ids=[f"{c[0]}-{c[2]}" for c in LITERAL_CASES if c[0] != "make"] + [f"{c[0]}-hole" for c in WITH_HOLES],
)
def test_template_splices_as_the_parsed_term(lang, code, value):
    try:
        language(lang)
    except ValueError:
        pytest.skip(f"no {lang} grammar installed")
    filled = template(lang, code).fill(**({} if value is None else {"X": leaf("identifier", value)}))
    assert spliced(filled) == spliced(parse(lang, code if value is None else code.replace("$X", value)))
