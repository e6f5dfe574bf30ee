"""Rules' regular expressions find the nodes ast-grep's (Rust's ``regex``) find."""

import re

import pytest
from hypothesis import given, settings, strategies as st

from kovel.rules import Rule, RuleConfig, matcher
from kovel.rules.rust_regex import respelled
from kovel.treesitter import parse

sg = pytest.importorskip("ast_grep_py")

# Node texts that end in a line break (C's directives, Python's module), hold
# capitals, digits, letters outside ASCII and punctuation.
SOURCES = {
    "c": "#define MAX_LEN 10\n#include <stdio.h>\nint Über(int x1) { return x1 + 0x1F; }\n",
    "python": 'def getName(self, ÉTAT=3):\n    """Doc.\n    """\n    return self.x_y or "a$b" + f"{ÉTAT}"\n',
    # where Unicode's word characters and white space are not Python's: marks, connectors,
    # a digit of no decimal value, circled letters, the separators U+001C to U+001F
    "javascript": 'let s = ["e\u0301", "a\u203fb", "\u00b2", "x\x1cy", "\u0915\u093f", "\u24b6", "a\ufe0f b"];\n',
}

REGEXES = [
    "1$", "0$", "h>$", "\\)$", "^def", "^#", "\\.$", "^[[:upper:]]", "[[:^alpha:]]", "[[:digit:][:punct:]]",
    "[[:xdigit:]]{2}$", "\\pL+$", "^\\p{Lu}", "\\P{L}", "\\p{Letter}\\d", "[\\p{Lu}&&[^A-Z]]",
    "[a-z--[aeiou]]{3}", "[0-9~~5-9]", "[[a-c]x]", "\\x{c9}", "\\u{00DC}", "\\x31", "a(?i)ME",
    "(?i)getname|X1", "x(?i)Y|N", "(?m)\\)$", "(?m:1$)", "(?s)Doc.*\"\"\"", "(?U)[a-z]+$", "(?-u:\\w)+$",
    "\\<x", "1\\>", "\\b{start}ret", "\\b{end}n", "(?x) get  Name # a comment (", "(?<n>self)\\.", "\\z",
    "^\\w+$", "^\\W+$", "\\b\\w", "\\w\\B", "x\\sy", "x\\Sy", "[^\\s\\d]y", "[\\w&&\\D]{2}$", "\\s+$",
]  # fmt: skip


def ours(lang: str, regex: str) -> set[tuple[int, int]]:
    m = matcher(RuleConfig("r", lang, Rule(regex=regex)))
    return {tuple(f.span) for f in m.find_all(parse(lang, SOURCES[lang]))}


def theirs(lang: str, regex: str) -> set[tuple[int, int]]:
    root = sg.SgRoot(SOURCES[lang], lang).root()
    return {(n.range().start.index, n.range().end.index) for n in root.find_all({"rule": {"regex": regex}})}


@pytest.mark.parametrize("regex", REGEXES)
@pytest.mark.parametrize("lang", sorted(SOURCES))
def test_same_nodes_as_ast_grep(lang, regex):
    assert ours(lang, regex) == theirs(lang, regex)


# Pieces of Rust's syntax, put together at random.
PIECES = st.sampled_from(
    ["a", "x", "1", "_", ".", "\\w", "\\d", "\\s", "[a-f]", "[^a]", "[[:alpha:]]", "\\pL", "\\P{N}", "$", "^",
     "\\b", "\\<", "\\>", "(?i)", "(?m)", "(?s)", "(?U)", "|", "\\n", "\\x{41}", "[a&&[^b]]", "[0-9--5]"]
)  # fmt: skip
QUANTIFIERS = st.sampled_from(["", "", "*", "+", "?", "{1,2}", "*?", "+?"])


@st.composite
def rust_regexes(draw):
    out = ""
    for piece in draw(st.lists(PIECES, min_size=1, max_size=5)):
        # no quantifier on an anchor, an alternation or a flag; never "(|)"
        quantifier = (
            "" if piece in ("$", "^", "\\b", "\\<", "\\>", "|") or piece[:2] == "(?" else draw(QUANTIFIERS)
        )
        out += f"({piece}){quantifier}" if piece != "|" and draw(st.booleans()) else piece + quantifier
    return out


@settings(max_examples=150, deadline=None)
@given(regex=rust_regexes(), lang=st.sampled_from(sorted(SOURCES)))
def test_random_expressions_agree(regex, lang):
    try:
        expected = theirs(lang, regex)
    except RuntimeError:
        return  # ast-grep refuses it (a repetition of nothing, say)
    assert ours(lang, regex) == expected, respelled(regex)


@pytest.mark.parametrize(
    "regex",
    ["\\p{Greek}", "[[:nope:]]", "(?Z)a", "\\x{110000}", "[z-a]", "[a", "a\\", "\\b{middle}", "[a-", "\\x{",
     "[" * 5000, "(" * 5000, "[[" * 300 + "a]]" * 300, "o{,2}", "\\Z", "(?#c)", "f{", "{}", "\\x7",
     "\\b" * 200 + "foo"],
)  # fmt: skip
def test_refused_with_re_error(regex):
    """Whatever a rule file holds, a bad expression is a ``re.error`` the loader reports."""
    with pytest.raises(re.error):
        re.compile(respelled(regex))


def test_flags_set_again_and_again_do_not_nest():
    assert re.compile(respelled("(?i)(?s)" * 3000 + "a")).fullmatch("A")
