"""klift / klift_html: lifting Python values into terms."""

import ast
import html

import pytest
from hypothesis import given, strategies as st

from kovel import _kovel as K
from tests.helpers import UNBALANCED, Idx, Str

BOTH = pytest.mark.parametrize("lift", [K.klift, K.klift_html], ids=["klift", "klift_html"])
HOSTILE = '"+__import__("os").getcwd()+"'
StrWithIndex = type("StrWithIndex", (str,), {"__index__": lambda self: 3})


@BOTH
@pytest.mark.parametrize(
    "value, code",
    [(True, "1"), (2**63 - 1, "9223372036854775807"), (-(2**63), "-9223372036854775808")]
    + [(Idx(5), "5"), (StrWithIndex("abc"), "3")],
)
def test_integers(lift, value, code):
    t = lift(value=value)
    assert t.postcard_bytes() == K.leaf("integer" if lift is K.klift else "text", code).postcard_bytes()
    assert lift is K.klift_html or t.reduce() == int(code)


@BOTH
@pytest.mark.parametrize(
    "value", [2**63, -(2**63) - 1, 1.5, None, b"x", Idx(ValueError()), Idx(2**64), "\ud800", K.HOLE]
)
def test_unsupported_values(lift, value):
    with pytest.raises(TypeError) as e:
        lift(value)
    assert type(e.value) is TypeError and e.value.__cause__ is None and e.value.__context__ is None
    assert str(e.value) == f"{lift.__name__}: unsupported type (expected int, str, or KTerm)"


@pytest.mark.parametrize(
    "s, content",
    [("", ""), ("'", "'"), ("a\\b", "a\\\\b"), ("\n\r\t", "\\n\\r\\t"), ("\x00\x1f\x7f", "\\x00\\x1f\\x7f")]
    + [("é😀\u2028\x85 ~", "é😀\u2028\x85 ~"), (Str('q"'), 'q\\"'), (HOSTILE, '\\"+__import__(\\"os\\").getcwd()+\\"')],
)  # fmt: skip
def test_strings(s, content):
    string = K.tb("string").c(K.leaf("string_start", '"')).c(K.leaf("string_content", content))
    t = K.klift(s)
    assert t.postcard_bytes() == string.c(K.leaf("string_end", '"')).b().postcard_bytes()
    assert str(t) == '"' + content + '"'
    assert t.reduce() == s and ast.literal_eval(str(t)) == s  # evaluates to the string, runs nothing


@pytest.mark.parametrize(
    "s, code", [("&<>\"'", "&amp;&lt;&gt;&quot;&#x27;"), ("&amp;", "&amp;amp;"), (Str("é\n\0\x7f😀<"), "é\n\0\x7f😀&lt;")]
)  # fmt: skip
def test_html_escaping(s, code):
    t = K.klift_html(s)
    assert t.postcard_bytes() == K.leaf("text", code).postcard_bytes() and str(t) == code


@given(st.text(st.characters(exclude_categories=["Cs"])))
def test_lifted_strings_reconstruct_themselves_and_html_text_is_inert_and_reversible(s):
    assert ast.literal_eval(str(K.klift(s))) == s and K.klift(s).reduce() == s
    out = str(K.klift_html(s))
    assert not set("<>\"'") & set(out) and html.unescape(out) == s


@BOTH
@pytest.mark.parametrize("make", [lambda: K.klift("s"), lambda: K.from_postcard_bytes(UNBALANCED)])
def test_terms_pass_through(lift, make):
    t = make()
    before = t.postcard_bytes()
    out = lift(t)
    assert out is not t and type(out) is K.KTerm and out.postcard_bytes() == before == t.postcard_bytes()
    assert before == UNBALANCED or str(out) == str(t)
