"""Hostile postcard input and very deep terms: no crash, no stack overflow,
no memory reserved on the word of a count, clean errors."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from kovel import _kovel as K

DEPTH = 1_000_000
END = "Hit the end of buffer, expected more data"
VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
LEAF_XY = bytes.fromhex("020178000100000179")  # leaf x/y, renders "y"
PARENS = b"\x03\x00\x00\x01(\x01\x00\x00\x01)"  # cmds [Write "(", HOLE, Write ")"]

# (bytes nesting DEPTH levels around LEAF_XY, its text)
DEEP = {
    "tuple": (b"\x02\x00\x01" * DEPTH + LEAF_XY + PARENS * DEPTH, "(" * DEPTH + "y" + ")" * DEPTH),
    "quote": (b"\x00\x01q\x07\x00" * DEPTH + LEAF_XY + b"\x01\x01\x00" * DEPTH, "y"),
    "unquote": (
        b"\x01\x00\xff\x02rs" * DEPTH + LEAF_XY + b"\x02\x01\x00\x01\x00" * DEPTH,
        "y" + "\n" * DEPTH,
    ),
}


@pytest.mark.parametrize("kind", DEEP)
def test_deep_bytes_decode_render_encode_and_release(kind):
    data, text = DEEP[kind]
    t = K.from_postcard_bytes(data + b"\xff trailing")
    assert str(t) == text
    assert t.postcard_bytes() == data
    del t  # releasing a million nested nodes must not recurse


@pytest.mark.parametrize("kind", DEEP)
@pytest.mark.parametrize("cut", [1, 2, DEPTH, DEPTH * 3 + 8, -DEPTH, -1])
def test_truncated_deep_bytes_hit_the_end(kind, cut):
    data = DEEP[kind][0]
    with pytest.raises(ValueError, match=f"^{END}$"):
        K.from_postcard_bytes(data[:cut])


WIDTH = 300_000
ONE_CHILD = b"\x02\x01w\x01" + LEAF_XY + b"\x02\x01\x00\x00\x01,"  # renders "y,"
HOLES = b"\xe0\xa7\x12" + b"\x01" * WIDTH  # WIDTH HOLEs (300000 is the varint e0 a7 12)


@pytest.mark.parametrize("how", ["bytes", "builder"])
def test_wide_terms(how):
    """Many children, each with a child of its own (the decoder's stack of
    finished children and the builder's child list grow geometrically)."""
    if how == "bytes":
        t = K.from_postcard_bytes(b"\x02\x00" + HOLES[:3] + ONE_CHILD * WIDTH + HOLES)
    else:
        b, kid = K.tb(""), K.from_postcard_bytes(ONE_CHILD)
        for _ in range(WIDTH):
            b.c(kid)
        t = b.b()
    assert str(t).count("y,") == WIDTH
    assert K.from_postcard_bytes(t.postcard_bytes()).postcard_bytes() == t.postcard_bytes()


MAX64 = b"\xff" * 9 + b"\x01"  # 2**64 - 1
HOSTILE = {  # name: (bytes, expected message); the counts claim far more than is there
    "children 2^64-1": (b"\x02\x00" + MAX64 + LEAF_XY * 3, END),
    "children 2^24": (b"\x02\x00\x80\x80\x80\x08" + LEAF_XY * 3, END),
    "children 2^20 empty": (b"\x02\x00\x80\x80\x40", END),
    "cmds 2^64-1": (b"\x02\x00\x00" + MAX64 + b"\x01" * 64, END),
    "cmds 2^30": (b"\x02\x00\x00\x80\x80\x80\x80\x04" + b"\x00\x01" * 64, END),
    "quote cmds 2^64-1": (b"\x00\x00\x00\x00" + LEAF_XY + MAX64 + b"\x01" * 64, END),
    "text 2^63": (b"\x02" + b"\x80" * 9 + b"\x01abc", END),
    "text 2^64-1": (b"\x02\x00\x00\x01\x00\x00" + MAX64 + b"abc", END),
    "lang 2^40": (b"\x00\x01q\x00\x80\x80\x80\x80\x80\x20py", END),
    "text length, tenth byte 02": (b"\x02" + b"\x80" * 9 + b"\x02", VARINT),
    "nested counts": (b"\x02\x00\x80\x80\x80\x08" * 1000, END),
}
PROBE = textwrap.dedent("""
    import json, resource, sys
    from kovel import _kovel as K
    def vm():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()
    cases = {name: bytes.fromhex(data) for name, data in json.loads(sys.stdin.read()).items()}
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    # Any reservation sized by a count (beyond a few MB) now fails with MemoryError.
    resource.setrlimit(resource.RLIMIT_AS, (vm() + (64 << 20), resource.RLIM_INFINITY))
    out = {}
    for name, data in cases.items():
        try:
            K.from_postcard_bytes(data)
            out[name] = "decoded"
        except BaseException as e:
            out[name] = f"{type(e).__name__}: {e}"
    growth_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss0
    print(json.dumps({"results": out, "growth_kb": growth_kb}))
""")


@pytest.fixture(scope="module")
def hostile_results():
    payload = json.dumps({name: data.hex() for name, (data, _) in HOSTILE.items()})
    # Under AddressSanitizer, let a refused allocation surface as MemoryError.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
    proc = subprocess.run(
        [sys.executable, "-c", PROBE], input=payload, capture_output=True, text=True, env=env, timeout=600
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.parametrize("name", HOSTILE)
def test_huge_counts_fail_cleanly_without_reserving(name, hostile_results):
    assert hostile_results["results"][name] == f"ValueError: {HOSTILE[name][1]}"


def test_hostile_input_keeps_memory_flat(hostile_results):
    assert hostile_results["growth_kb"] < 50 * 1024


def test_deep_term_from_the_builder():
    t = K.leaf("x", "y")
    for _ in range(DEPTH):
        t = K.tb("p").w("(").c(t).w(")").b()
    data = t.postcard_bytes()
    assert data == b"\x02\x01p\x01" * DEPTH + LEAF_XY + PARENS * DEPTH
    back = K.from_postcard_bytes(data)
    del data
    text = "(" * DEPTH + "y" + ")" * DEPTH
    assert str(t) == str(back) == text
    assert repr(back) == f'KTerm("{text}")'
    del t, back
