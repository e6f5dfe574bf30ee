"""Hostile postcard input and very deep or wide terms: no crash, no stack
overflow, no memory reserved on the word of a count, clean errors."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import LEAF_XY
from kovel import _kovel as K

DEPTH, WIDTH = 1_000_000, 300_000
END = "Hit the end of buffer, expected more data"
PARENS = b"\x03\x00\x00\x01(\x01\x00\x00\x01)"  # cmds [Write "(", HOLE, Write ")"]
DEEP = {  # bytes nesting DEPTH levels around LEAF_XY, and their text
    "tuple": (b"\x02\x00\x01" * DEPTH + LEAF_XY + PARENS * DEPTH, "(" * DEPTH + "y" + ")" * DEPTH),
    "quote": (b"\x00\x01q\x07\x00" * DEPTH + LEAF_XY + b"\x01\x01\x00" * DEPTH, "y"),
}


@pytest.mark.parametrize("kind", DEEP)
def test_deep_bytes(kind):
    data, text = DEEP[kind]
    t = K.from_postcard_bytes(data + b"\xff trailing")
    assert str(t) == text
    assert t.postcard_bytes() == data
    del t  # releasing a million nested nodes must not recurse
    for cut in [1, DEPTH, -1]:
        with pytest.raises(ValueError, match=f"^{END}$"):
            K.from_postcard_bytes(data[:cut])


ONE_CHILD = b"\x02\x01w\x01" + LEAF_XY + b"\x02\x01\x00\x00\x01,"  # renders "y,"


def test_wide_term():
    holes = b"\xe0\xa7\x12" + b"\x01" * WIDTH  # WIDTH HOLEs (300000 is the varint e0 a7 12)
    t = K.from_postcard_bytes(b"\x02\x00" + holes[:3] + ONE_CHILD * WIDTH + holes)
    assert str(t).count("y,") == WIDTH
    assert K.from_postcard_bytes(t.postcard_bytes()).postcard_bytes() == t.postcard_bytes()


MAX64 = b"\xff" * 9 + b"\x01"  # 2**64 - 1
HOSTILE = {  # counts claiming far more than is there
    "children 2^64-1": b"\x02\x00" + MAX64 + LEAF_XY * 3,
    "cmds 2^64-1": b"\x02\x00\x00" + MAX64 + b"\x01" * 64,
    "quote cmds 2^64-1": b"\x00\x00\x00\x00" + LEAF_XY + MAX64 + b"\x01" * 64,
    "text 2^63": b"\x02" + b"\x80" * 9 + b"\x01abc",
}
# Any reservation sized by a count (beyond a few MB) fails with MemoryError.
PROBE = textwrap.dedent("""
    import json, resource, sys
    from kovel import _kovel as K
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), resource.RLIM_INFINITY))
    out = {}
    for name, data in json.loads(sys.stdin.read()).items():
        try:
            K.from_postcard_bytes(bytes.fromhex(data))
            out[name] = "decoded"
        except BaseException as e:
            out[name] = f"{type(e).__name__}: {e}"
    print(json.dumps(out))
""")


def test_huge_counts_fail_cleanly_without_reserving():
    # Under AddressSanitizer, let a refused allocation surface as MemoryError.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
    payload = json.dumps({name: data.hex() for name, data in HOSTILE.items()})
    proc = subprocess.run(
        [sys.executable, "-c", PROBE], input=payload, capture_output=True, text=True, env=env
    )
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == {name: f"ValueError: {END}" for name in HOSTILE}
