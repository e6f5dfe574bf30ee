"""quote / unquote and the postcard byte protocol."""
import pytest
from hypothesis import given, strategies as st

from kovel import _kovel as K

H = bytes.fromhex
END = "Hit the end of buffer, expected more data"
VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
UTF8 = "Tried to parse invalid utf-8"
OPTION = "Found an Option discriminant that wasn't 0 or 1"
SERDE = "Serde Deserialization Error"

LEAF_XY = H("020178000100000179")
# Quote "identifier", index 3, lang "py", term x/y, cmds HOLE NL Push("  ") POP, at 2..300
QUOTE_PREFIX = H("000A6964656E746966696572030270 79".replace(" ", "")) + LEAF_XY + H("0401000100020220200003")
QUOTE_EXAMPLE = QUOTE_PREFIX + H("0102AC02")


def paren_cmds():
    return [K.cmd(K.write("(")), K.HOLE, K.cmd(K.write(")"))]


def test_quote_and_unquote_render_and_encode():
    abc = K.leaf("x", "abc")
    q, u = K.quote("t", 0, "py", abc, paren_cmds()), K.unquote("t", 0, "py", abc, paren_cmds())
    assert type(q) is K.KTerm and str(q) == str(u) == "(abc)"
    body = b"\x01t\x00\x02py" + H("020178000100000361 6263".replace(" ", "")) + \
        b"\x03\x00\x00\x01(\x01\x00\x00\x01)\x00"
    assert q.postcard_bytes() == b"\x00" + body
    assert u.postcard_bytes() == b"\x01" + body
    assert str(abc) == "abc" and abc.postcard_bytes() == H("0201780001000003616263")


@pytest.mark.parametrize("fn", [K.quote, K.unquote])
@pytest.mark.parametrize("cmds, rendered", [
    ([], ""), ([K.HOLE], "a\nb"), ([K.HOLE, K.HOLE], "a\nba\nb"), ([K.cmd(K.write("<"))], "<"),
    ([K.cmd(K.push("> ")), K.HOLE, K.cmd(K.NL), K.HOLE, K.cmd(K.POP), K.cmd(K.NL), K.HOLE],
     "a\n> b\n> a\n> b\na\nb"),
])
def test_quote_renders_term_at_every_hole(fn, cmds, rendered):
    inner = K.tb("i").w("a").n().w("b").b()
    assert fn("t", 9, "py", inner, cmds).coparse() == rendered


@pytest.mark.parametrize("data, rendered", [
    (LEAF_XY, "y"), (H("020769 6E74656765720001000002 3432".replace(" ", "")), "42"),
    (QUOTE_EXAMPLE, "y\n"), (b"\x02\x01\x00\x00\x00", ""), (b"\x02\x00\x00\x01\x00\x00\x03a\x00b", "a\0b"),
])
def test_worked_examples_round_trip(data, rendered):
    t = K.from_postcard_bytes(data)
    assert type(t) is K.KTerm and str(t) == rendered
    out = t.postcard_bytes()
    assert type(out) is bytes and out == data


@pytest.mark.parametrize("length, prefix", [
    (0, "00"), (127, "7F"), (128, "8001"), (300, "AC02"), (16383, "FF7F"), (16384, "808001")])
def test_text_length_varints(length, prefix):
    data = K.leaf("t", "a" * length).postcard_bytes()
    assert data == H("020174000100 00".replace(" ", "")) + H(prefix) + b"a" * length


@pytest.mark.parametrize("at, canonical", [
    ("00", None), ("010000", None), ("017F7F", None), ("0180018001", None), ("01FF7F808001", None),
    ("01FFFFFFFF0F00", None), ("01FFFFFFFFFFFFFFFFFF0100", None), ("010501", None),
    ("01800000", "010000"), ("01FF80808080808080800000", "017F00"),
])
def test_at_range_round_trips(at, canonical):
    data = QUOTE_PREFIX + H(at)
    t = K.from_postcard_bytes(data)
    assert t.postcard_bytes() == QUOTE_PREFIX + H(canonical or at)
    assert str(t) == "y\n"


def test_non_shortest_variant_number_accepted():
    t = K.from_postcard_bytes(H("828000") + LEAF_XY[1:])
    assert t.postcard_bytes() == LEAF_XY


@pytest.mark.parametrize("suffix", [b"\x00", b"\xff", LEAF_XY, b"garbage" * 10])
@pytest.mark.parametrize("data", [LEAF_XY, QUOTE_EXAMPLE])
def test_trailing_bytes_ignored(data, suffix):
    assert K.from_postcard_bytes(data + suffix).postcard_bytes() == data


@pytest.mark.parametrize("data", [LEAF_XY, QUOTE_EXAMPLE])
def test_every_proper_prefix_hits_the_end(data):
    for n in range(len(data)):
        with pytest.raises(ValueError) as e:
            K.from_postcard_bytes(data[:n])
        assert str(e.value) == END, n


LEAF_EMPTY = H("02000001000000")
DECODE_ERRORS = [
    ("", END), ("03", SERDE), ("04", SERDE), ("FFFFFFFF1F", VARINT), ("FFFFFFFF0F", SERDE),
    ("8080808010", VARINT), ("02" + "80" * 9 + "01616263", END), ("02" + "FF" * 9 + "02", VARINT),
    ("02" + "FF" * 9 + "81", VARINT), ("0201FF0000", UTF8), ("0203EDA0800000", UTF8),
    ("0202C0800000", UTF8), ("0204F49080800000", UTF8), ("00017400" + "00" + LEAF_EMPTY.hex() + "0002", OPTION),
    ("0200000100" + "04", SERDE), ("0200000102", SERDE), ("02000001008080808010", VARINT),
    ("0200FFFFFFFFFFFFFFFF7F", END), ("0200" + "00" + "FFFFFFFFFFFFFFFF7F", END),
    ("0200" + "05" + "02000000", END),
]


@pytest.mark.parametrize("hexdata, msg", DECODE_ERRORS, ids=[h or "empty" for h, _ in DECODE_ERRORS])
def test_decode_errors(hexdata, msg):
    with pytest.raises(ValueError) as e:
        K.from_postcard_bytes(H(hexdata))
    assert type(e.value) is ValueError and str(e.value) == msg
    assert e.value.__cause__ is None


def test_bytes_subclass_and_keyword_accepted():
    class B(bytes):
        pass

    assert K.from_postcard_bytes(B(LEAF_XY)).postcard_bytes() == LEAF_XY
    assert K.from_postcard_bytes(data=LEAF_XY).postcard_bytes() == LEAF_XY


def test_round_trip_makes_a_new_unshared_term():
    x = K.leaf("x", "y")
    t = K.tb("p").c(x).w(",").c(x).b()
    data = t.postcard_bytes()
    assert data == b"\x02\x01p\x02" + LEAF_XY * 2 + b"\x03\x01\x00\x00\x01,\x01"
    u = K.from_postcard_bytes(data)
    assert u is not t and str(u) == str(t) == "y,y" and u.postcard_bytes() == data


@given(st.binary(max_size=64))
def test_decoder_never_crashes_on_arbitrary_bytes(data):
    try:
        t = K.from_postcard_bytes(data)
    except ValueError as e:
        assert str(e) in (END, VARINT, UTF8, OPTION, SERDE)
    else:
        again = t.postcard_bytes()
        assert K.from_postcard_bytes(again).postcard_bytes() == again


@given(st.data())
def test_decoder_survives_mutations_of_valid_input(data):
    raw = bytearray(QUOTE_EXAMPLE)
    for _ in range(data.draw(st.integers(1, 4))):
        raw[data.draw(st.integers(0, len(raw) - 1))] = data.draw(st.integers(0, 255))
    try:
        K.from_postcard_bytes(bytes(raw))
    except ValueError as e:
        assert str(e) in (END, VARINT, UTF8, OPTION, SERDE)
