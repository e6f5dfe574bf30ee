"""quote / unquote and the postcard byte protocol, end to end through Python."""

import pytest
from hypothesis import given, strategies as st

from kovel import _kovel as K
from tests.helpers import LEAF_XY

H = bytes.fromhex
END = "Hit the end of buffer, expected more data"
VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
UTF8 = "Tried to parse invalid utf-8"
OPTION = "Found an Option discriminant that wasn't 0 or 1"
SERDE = "Serde Deserialization Error"
MESSAGES = (END, VARINT, UTF8, OPTION, SERDE)

# Quote "identifier", index 3, lang "py", term x/y, cmds HOLE NL Push("  ") POP, at 2..300
QUOTE_EXAMPLE = H("000A6964656E74696669657203027079") + LEAF_XY + H("04010001000202202000030102AC02")


@pytest.mark.parametrize("data, text", [(LEAF_XY, "y"), (QUOTE_EXAMPLE, "y\n")])
def test_round_trip_ignores_trailing_bytes_and_prefixes_hit_the_end(data, text):
    for suffix in (b"", b"\x00", b"\xff", LEAF_XY):
        t = K.from_postcard_bytes(data + suffix)
        assert type(t) is K.KTerm and t.postcard_bytes() == data and str(t) == text
    for n in range(len(data)):
        with pytest.raises(ValueError, match=f"^{END}$"):
            K.from_postcard_bytes(data[:n])


DECODE_ERRORS = [
    ("", END), ("03", SERDE), ("FFFFFFFF1F", VARINT), ("02" + "FF" * 9 + "02", VARINT), ("0203EDA0800000", UTF8),
    ("00017400" + "00" + "02000001000000" + "0002", OPTION), ("0200FFFFFFFFFFFFFFFF7F", END),
]  # fmt: skip


@pytest.mark.parametrize("hexdata, msg", DECODE_ERRORS, ids=[h or "empty" for h, _ in DECODE_ERRORS])
def test_decode_errors(hexdata, msg):
    with pytest.raises(ValueError) as e:
        K.from_postcard_bytes(H(hexdata))
    assert type(e.value) is ValueError and str(e.value) == msg and e.value.__cause__ is None


@given(st.binary(max_size=64))
def test_decoder_never_crashes_on_arbitrary_bytes(data):
    try:
        t = K.from_postcard_bytes(data)
    except ValueError as e:
        assert str(e) in MESSAGES
    else:
        again = t.postcard_bytes()
        assert K.from_postcard_bytes(again).postcard_bytes() == again
