"""klift / klift_html: lifting Python values into terms."""
import ast
import html

import pytest
from hypothesis import given, strategies as st

from kovel import _kovel as K

MSG = {K.klift: "klift: unsupported type (expected int, str, or KTerm)",
       K.klift_html: "klift_html: unsupported type (expected int, str, or KTerm)"}
INT_TAG = {K.klift: "integer", K.klift_html: "text"}
BOTH = pytest.mark.parametrize("lift", [K.klift, K.klift_html], ids=["klift", "klift_html"])
HOSTILE = '"+__import__("os").getcwd()+"'
UNBALANCED = b"\x02\x01t\x01" + bytes.fromhex("020178000100000179") + b"\x02\x01\x01"


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


IntSub = type("IntSub", (int,), {})
Str = type("Str", (str,), {})
StrWithIndex = type("StrWithIndex", (str,), {"__index__": lambda self: 3})


def string_node(content):
    return (K.tb("string").c(K.leaf("string_start", '"')).c(K.leaf("string_content", content))
            .c(K.leaf("string_end", '"')).b())


@BOTH
@pytest.mark.parametrize("value, code", [
    (True, "1"), (False, "0"), (0, "0"), (7, "7"), (-42, "-42"), (10 ** 12, "1000000000000"),
    (2 ** 63 - 1, "9223372036854775807"), (-(2 ** 63), "-9223372036854775808"),
    (IntSub(12), "12"), (Idx(5), "5"), (Idx(-3), "-3"), (StrWithIndex("abc"), "3"),
])
def test_integers(lift, value, code):
    t = lift(value)
    assert type(t) is K.KTerm and str(t) == code
    assert t.postcard_bytes() == K.leaf(INT_TAG[lift], code).postcard_bytes()
    assert lift(value=value).coparse() == code
    if lift is K.klift:
        assert t.reduce() == int(code)


@BOTH
@pytest.mark.parametrize("value", [
    2 ** 63, -(2 ** 63) - 1, 2 ** 100, 1.5, 1.0, 1j, None, b"x", bytearray(b"1"), [1], (), object(),
    Idx(ValueError("v")), Idx(TypeError("t")), Idx(2 ** 64), "\ud800", Str("a\udfffb"), K.NL, K.HOLE,
    K.tb("x"),
])
def test_unsupported_values(lift, value):
    with pytest.raises(TypeError) as e:
        lift(value)
    assert type(e.value) is TypeError and str(e.value) == MSG[lift]
    assert e.value.__cause__ is None and e.value.__context__ is None


@pytest.mark.parametrize("s, content", [
    ("", ""), ("abc", "abc"), ("'", "'"), ('a"b', 'a\\"b'), ("a\\b", "a\\\\b"), ("\\x41", "\\\\x41"),
    ("\n\r\t", "\\n\\r\\t"), ("\x00\x01\x1f\x7f", "\\x00\\x01\\x1f\\x7f"), ("\x0b\x0c\x1b", "\\x0b\\x0c\\x1b"),
    ("é😀\u2028\x85\xa0 ~", "é😀\u2028\x85\xa0 ~"), (Str("q\""), 'q\\"'),
    (HOSTILE, '\\"+__import__(\\"os\\").getcwd()+\\"'),
])
def test_strings(s, content):
    t = K.klift(s)
    assert t.postcard_bytes() == string_node(content).postcard_bytes()
    assert str(t) == '"' + content + '"'
    assert t.reduce() == s and ast.literal_eval(str(t)) == s  # evaluates to the string, runs nothing


@given(st.text(st.characters(blacklist_categories=("Cs",))))
def test_lifted_string_reconstructs_itself(s):
    t = K.klift(s)
    assert t.reduce() == s
    assert ast.literal_eval(str(t)) == s


@pytest.mark.parametrize("s, code", [
    ("&<>\"'", "&amp;&lt;&gt;&quot;&#x27;"), ("&amp;", "&amp;amp;"), ("", ""), ("plain", "plain"),
    ("héllo\nwörld\t\x00\x7f", "héllo\nwörld\t\x00\x7f"), ("😀<", "😀&lt;"),
    ('<a href="x">O\'Neil & co</a>', "&lt;a href=&quot;x&quot;&gt;O&#x27;Neil &amp; co&lt;/a&gt;"),
    (Str("<"), "&lt;"),
])
def test_html_escaping(s, code):
    t = K.klift_html(s)
    assert t.postcard_bytes() == K.leaf("text", code).postcard_bytes()
    assert str(t) == code


@given(st.text(st.characters(blacklist_categories=("Cs",))))
def test_html_text_is_inert_and_reversible(s):
    out = str(K.klift_html(s))
    assert not set("<>\"'") & set(out)
    assert html.unescape(out) == s


@BOTH
@pytest.mark.parametrize("make", [
    lambda: K.leaf("x", "y"), lambda: K.klift("s"),
    lambda: K.quote("q", 4, "py", K.leaf("a", "b"), [K.HOLE, K.HOLE]),
    lambda: K.from_postcard_bytes(UNBALANCED),
])
def test_terms_pass_through(lift, make):
    t = make()
    before = t.postcard_bytes()
    out = lift(t)
    assert out is not t and type(out) is K.KTerm
    assert out.postcard_bytes() == before == t.postcard_bytes()
    if before != UNBALANCED:
        assert str(out) == str(t)
