#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Decoder seeds are encodings of the documented examples and of the error
cases; builder seeds are short byte strings that the builder target reads as
operations. Pure Python: needs neither kovel nor the fuzz build.
"""

import pathlib
import shutil


def varint(n):
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        out.append(low | 0x80 if n else low)
        if not n:
            return bytes(out)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return varint(len(b)) + b


def cmds(*items):
    return varint(len(items)) + b"".join(items)


HOLE = b"\x01"
NL, POP = b"\x00\x01", b"\x00\x03"


def W(s):
    return b"\x00\x00" + text(s)


def P(s):
    return b"\x00\x02" + text(s)


def tup(tag, kids, cs):
    return b"\x02" + text(tag) + varint(len(kids)) + b"".join(kids) + cs


def quote(variant, tag, index, lang, term, cs, at=None):
    at_bytes = b"\x00" if at is None else b"\x01" + varint(at[0]) + varint(at[1])
    return bytes([variant]) + text(tag) + bytes([index]) + text(lang) + term + cs + at_bytes


def leaf(tag, code):
    return tup(tag, [], cmds(W(code)))


XY = leaf("x", "y")
assert XY.hex() == "020178000100000179"
QUOTE = quote(0, "identifier", 3, "py", XY, cmds(HOLE, NL, P("  "), POP), (2, 300))
assert QUOTE.hex().endswith("0401000100020220200003" + "0102ac02")
CALL = tup("call", [leaf("identifier", "f"), leaf("integer", "1")], cmds(HOLE, W("("), HOLE, W(")")))
DEF = tup(
    "function_definition",
    [tup("block", [], cmds(W("a"), NL, W("b")))],
    cmds(W("def f():"), P("    "), NL, HOLE, POP),
)

DECODE = {
    "leaf": XY,
    "integer": leaf("integer", "42"),
    "quote": QUOTE,
    "unquote": quote(1, "splice", 255, "rs", CALL, cmds(W("${"), HOLE, W("}"))),
    "call": CALL,
    "def": DEF,
    "prefix_child": tup("p", [tup("c", [], cmds(W("a"), P("  ")))], cmds(HOLE, NL, W("z"))),
    "unbalanced": tup("t", [XY], cmds(HOLE, HOLE)),
    "no_cmds": tup("t", [XY, XY], cmds()),
    "quote_twice": quote(0, "q", 0, "", XY, cmds(HOLE, HOLE)),
    "nul_text": leaf("s", "a\0b"),
    "utf8": leaf("s", "é😀"),
    "reversed_at": quote(0, "q", 0, "py", XY, cmds(HOLE), (5, 1)),
    "long_variant": b"\x82\x80\x00" + XY[1:],
    "trailing": XY + b"\xff\xff",
    # Longer-than-needed varints inside commands: HOLE, Cmd, Push and a text length.
    "long_cmd_forms": b"\x02\x01t\x01"
    + XY
    + b"\x04\x81\x00\x80\x00\x82\x00\x81\x00 \x00\x01\x00\x00\x80\x80\x00",
    "long_counts": b"\x02\x81\x00t\x81\x00" + XY + b"\x82\x00\x01\x00\x03",
    "deep": b"\x02\x00\x01" * 40 + XY + b"\x00" * 40,
    "deep_quote": b"\x00\x00\x00\x00" * 30 + XY + b"\x01\x01\x00" * 30,
    "empty": b"",
    "bad_variant": b"\x03",
    "varint_overflow": b"\xff\xff\xff\xff\x1f",
    "variant_u32_max": b"\xff\xff\xff\xff\x0f",
    "huge_text": b"\x02" + b"\x80" * 9 + b"\x01abc",
    "bad_text_varint": b"\x02" + b"\x80" * 9 + b"\x02",
    "bad_utf8": b"\x02\x01\xff\x00\x00",
    "surrogate": b"\x02\x03\xed\xa0\x80\x00\x00",
    "bad_option": quote(0, "q", 0, "", XY, cmds(HOLE))[:-1] + b"\x02",
    "bad_strcmd": b"\x02\x00\x00\x01\x00\x04",
    "bad_cmdorhole": b"\x02\x00\x00\x01\x02",
    "huge_count": b"\x02\x00" + b"\xff" * 9 + b"\x01" + XY * 3,
    "huge_cmds": b"\x02\x00\x00" + b"\xff" * 9 + b"\x01" + HOLE * 8,
}

# fuzz_builder reads its input as a stream of choices; these are just varied
# starting points for the mutator.
BUILDER = {
    "zeros": bytes(64),
    "ramp": bytes(range(256)),
    "ops": bytes([4, 0, 1, 3, 2, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, 7] * 8),
    "example_bytes": QUOTE + CALL + DEF,
}


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    sets = {"fuzz_decode": DECODE, "fuzz_roundtrip": DECODE, "fuzz_builder": BUILDER}
    for target, seeds in sets.items():
        d = root / target
        shutil.rmtree(d, ignore_errors=True)
        d.mkdir(parents=True)
        for name, data in seeds.items():
            (d / f"seed_{name}").write_bytes(data)
    print(f"wrote {sum(map(len, sets.values()))} seeds under {root}")


if __name__ == "__main__":
    main()
