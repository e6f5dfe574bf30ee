"""texts_in: which words occur in a file's bytes, all looked for in one pass."""

import pytest
from hypothesis import given, settings, strategies as st

from kovel import _native

# A small alphabet, so that words often occur, often in part, and often overlap.
BYTES = st.binary(max_size=200).map(lambda b: bytes(x % 5 + 97 for x in b))
WORDS = st.lists(st.binary(max_size=6).map(lambda b: bytes(x % 5 + 97 for x in b)), max_size=90)


@given(BYTES, WORDS)
@settings(max_examples=300)
def test_the_words_found_are_those_that_occur(data, words):
    assert _native.texts_in(data, tuple(words)) == [w for w in words if w in data]


@pytest.mark.parametrize(
    ("data", "words", "found"),
    [
        (b"", (b"", b"a", b"ab"), [b""]),
        (b"ab", (b"ab", b"abc", b"b"), [b"ab", b"b"]),  # at the very end; longer than what is left
        (b"x" * 1000 + b"yield", (b"yield", b"yi", b"ld", b"z"), [b"yield", b"yi", b"ld"]),
        (bytes(range(256)), (b"\x00\x01", b"\xfe\xff", b"\xff\x00"), [b"\x00\x01", b"\xfe\xff"]),
        # More words than one pass takes: the rest go in another.
        (b" ".join(b"w%d" % i for i in range(0, 150, 2)), tuple(b"w%d" % i for i in range(150)),
         [b"w%d" % i for i in range(150) if b"w%d" % i in b" ".join(b"w%d" % j for j in range(0, 150, 2))]),
    ],
)  # fmt: skip
def test_edges(data, words, found):
    assert _native.texts_in(data, words) == found


@pytest.mark.parametrize("args", [("s", (b"a",)), (b"s", [b"a"]), (b"s", ("a",))])
def test_only_bytes(args):
    with pytest.raises(TypeError):
        _native.texts_in(*args)


@given(BYTES, WORDS)
@settings(max_examples=100)
def test_a_file_is_read_only_when_it_lacks_a_word(tmp_path_factory, data, words):
    f = tmp_path_factory.mktemp("r") / "f.py"
    f.write_bytes(data)
    lacking = not all(w in data for w in words)
    assert _native.read_lacking(str(f), tuple(words), len(data)) == (data if lacking else None)


def test_what_is_not_read_here(tmp_path):
    f = tmp_path / "f.py"
    f.write_bytes(b"x = 1\n")
    assert _native.read_lacking(f, (b"print",), 6) == b"x = 1\n"  # a path-like, at the limit
    assert _native.read_lacking(f, (b"print",), 5) is None  # larger than the limit
    assert _native.read_lacking(tmp_path / "missing.py", (b"print",), 99) is None
    assert _native.read_lacking(tmp_path, (b"print",), 99) is None  # a directory
    assert _native.read_lacking("/dev/zero", (b"print",), 99) is None  # no regular file: never ends
    with pytest.raises(TypeError):
        _native.read_lacking(f, ["print"], 99)
