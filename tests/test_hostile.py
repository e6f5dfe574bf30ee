"""Hostile postcard input and very deep or wide terms: no crash, no stack
overflow, no memory reserved on the word of a count, clean errors."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from kovel import _kovel as K
from tests.helpers import ASAN, LEAF_XY

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
# Helpers for a child process that caps its own address space: `capped(extra, f)`
# runs f with the soft limit `extra` bytes above what is mapped now (the hard
# limit is kept: lowering the soft limit needs no privilege, raising the hard one
# does) and returns "ok" or the exception's type and message.
CAP = textwrap.dedent("""
    import json, resource, sys
    from kovel import _kovel as K
    AS = resource.RLIMIT_AS
    def vm():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()
    def capped(extra, f):
        soft, hard = resource.getrlimit(AS)
        want = vm() + extra
        if hard != resource.RLIM_INFINITY and want > hard:
            raise SystemExit(f"hard limit {hard} below {want}")
        resource.setrlimit(AS, (want, hard))
        try:
            f()
            return "ok"
        except BaseException as e:
            return f"{type(e).__name__}: {e}"
        finally:
            resource.setrlimit(AS, (soft, hard))
""")
# Any reservation sized by a count (beyond a few MB) fails with MemoryError.
PROBE = CAP + textwrap.dedent("""
    out = {}
    for name, data in json.loads(sys.stdin.read()).items():
        r = capped(64 << 20, lambda: K.from_postcard_bytes(bytes.fromhex(data)))
        out[name] = "decoded" if r == "ok" else r
    print(json.dumps(out))
""")


def run_capped(script, payload="", hard_limit=None, args=()):
    """Runs `script` in a child (with the hard address-space limit lowered to
    `hard_limit` first, if given) and returns what it printed, as JSON."""
    if hard_limit is not None:
        script = f"import resource; resource.setrlimit(resource.RLIMIT_AS, ({hard_limit},) * 2)\n" + script
    # Under AddressSanitizer, let a refused allocation surface as MemoryError.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
    proc = subprocess.run(
        [sys.executable, "-c", script, *args], input=payload, capture_output=True, text=True, env=env
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# A finite hard limit far above anything the child maps (AddressSanitizer's shadow included).
@pytest.mark.parametrize("hard_limit", [None, 1 << 46], ids=["hard limit as is", "finite hard limit"])
def test_huge_counts_fail_cleanly_without_reserving(hard_limit):
    payload = json.dumps({name: data.hex() for name, data in HOSTILE.items()})
    assert run_capped(PROBE, payload, hard_limit) == {name: f"ValueError: {END}" for name in HOSTILE}


# Builder calls that run out of memory half way; afterwards each builder must hold
# exactly what it held before the failed call. S is the size of a command list
# whose buffer is full; the second write leaves it one byte short of full again
# (after the buffer doubled), so a two-byte command runs out after its first byte.
BUILDER_PROBE = CAP + textwrap.dedent("""
    S = 1 << 24
    def vlen(n): return max(1, (n.bit_length() + 6) // 7)  # bytes of the varint n
    s1 = "a" * (S - 2 - vlen(S))
    k = next(k for k in range(S - 3, 0, -1) if k + vlen(k) == S - 3)
    s2 = "b" * k
    big = "x" * (S * 4)
    out = {}
    for name, setup, call, extra in [
        ("w", [], lambda b: b.w(big), S),
        ("p", [], lambda b: b.p(big), S),
        ("n", [s1, s2], lambda b: b.n(), S // 2),
        ("x", [s1, s2], lambda b: b.x(), S // 2),
        ("b", [s1], lambda b: b.b(), S // 2),
    ]:
        if name not in sys.argv[1:]:
            continue
        b = K.tb("t")
        for s in setup:
            b.w(s)
        r = capped(extra, lambda: call(b))
        want = K.tb("t")
        for s in setup + ["!"]:
            want.w(s)
        t = b.w("!").b()
        out[name] = [r, t.postcard_bytes() == want.b().postcard_bytes(), str(t)[-3:]]
    print(json.dumps(out))
""")


def test_builder_out_of_memory_leaves_it_unchanged():
    # AddressSanitizer's operator new aborts where it cannot allocate (only its malloc
    # can fail softly), so under it only b(), whose node comes from malloc, is tried.
    calls = ["b"] if ASAN else ["w", "p", "n", "x", "b"]
    out = run_capped(BUILDER_PROBE, args=calls)
    tails = {"w": "!", "p": "!", "b": "aa!"}
    assert out == {name: ["MemoryError: ", True, tails.get(name, "bb!")] for name in calls}
