"""Reference counting and memory: calls neither leak nor steal references."""

import gc
import os
import sys

import pytest

from conftest import UNBALANCED, Idx
from kovel import _kovel as K

TERM = K.leaf("a", "b")


def fresh_str():
    return "".join(["probe", "-", "text"])  # not interned, not shared


def fresh_term():
    return K.tb("p").w("a").c(K.leaf("x", "y")).b()


def main_probe():
    probe = sys.modules["__main__"].kovel_ref_probe = object()
    return probe


def built_builder():
    b = K.tb("t")
    b.b()
    return b


# name: (make the probe object, calls using it); each call may succeed or raise
CASES = {
    "texts": (fresh_str, [lambda s: (K.leaf(s, s), K.sym(s), K.name(s), K.write(s), K.push(s), K.tb(s).w(s).p(s).b())]),
    "quote texts": (fresh_str, [lambda s: K.quote(s, 0, s, TERM, []), lambda s: K.quote(s, 256, s, TERM, [])]),
    "quote term": (fresh_term, [lambda t: K.unquote("t", 1, "l", t, [K.HOLE]), lambda t: K.quote("t", 0, "l", t, 1)]),
    "quote cmds": (lambda: [K.cmd(K.write("[")), K.HOLE], [lambda c: K.quote("t", 1, "l", TERM, c)]),
    "quote cmd element": (lambda: K.cmd(K.push("x")), [lambda c: K.quote("t", 0, "l", TERM, (c, c, 1))]),
    "HOLE": (lambda: K.HOLE, [lambda h: K.quote("t", 1, "l", TERM, [h, h])]),
    "cmd": (lambda: K.write("x"), [K.cmd]),
    "index object": (lambda: Idx(7), [lambda i: K.quote("t", i, "l", TERM, []), K.klift]),
    "builder children": (fresh_term, [lambda t: K.tb("t").c(t).c(t), lambda t: K.tb("t").e(t).b()]),
    "builder self": (lambda: K.tb("t"), [lambda b: (b.w("a"), b.n(), b.x(), b.p(" ")), lambda b: b.c(1)]),
    "built builder": (built_builder, [lambda b: b.w("a").c(TERM), lambda b: b.b()]),
    "klift term": (fresh_term, [K.klift, K.klift_html]),
    "klift str": (fresh_str, [K.klift, K.klift_html]),
    "klift int": (lambda: int("1" * 15), [K.klift, K.klift_html]),
    "klift refused": (lambda: 2**80, [K.klift, K.klift_html]),
    "decode": (lambda: bytes(bytearray(UNBALANCED)), [lambda d: K.from_postcard_bytes(d).postcard_bytes()]),
    "decode error": (lambda: bytes(bytearray(b"\x02\x05")), [K.from_postcard_bytes]),
    "render": (fresh_term, [str, repr, K.KTerm.coparse, K.KTerm.postcard_bytes, K.KTerm.reduce]),
    "reduce result": (main_probe, [lambda p: K.name("kovel_ref_probe").reduce()]),
    "failed conversions": (fresh_str, [lambda s: K.leaf(s, 1), lambda s: K.quote(s, 0, s, s, []), K.tb("t").c]),
}  # fmt: skip


@pytest.mark.parametrize("name", CASES)
def test_calls_keep_reference_counts(name):
    make, uses = CASES[name]
    probe = make()

    def use_all():
        for use in uses:
            try:
                use(probe)
            except Exception:
                pass

    use_all()
    gc.collect()
    before = sys.getrefcount(probe)
    for _ in range(100):
        use_all()
    gc.collect()
    assert sys.getrefcount(probe) == before


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


BIG = "x" * 4096
FAILING = [
    lambda t, b: b.b(),
    lambda t, b: K.from_postcard_bytes(t.postcard_bytes()[:-1]),
    lambda t, b: K.quote(BIG, 0, BIG, t, [K.HOLE, BIG]),
    lambda t, b: K.quote(BIG, 999, BIG, t, []),
    lambda t, b: K.tb(BIG).c(BIG),
    lambda t, b: K.leaf(BIG, "(" + BIG + "\0").reduce(),
    lambda t, b: K.leaf(BIG, BIG + " = 1").reduce(),
    lambda t, b: str(K.tb(BIG).w(BIG).c(K.from_postcard_bytes(UNBALANCED)).b()),  # PanicException
]


def _churn(rounds):
    for i in range(rounds):
        t = K.leaf(BIG, BIG)
        q = K.quote(BIG, i & 255, BIG, t, [K.cmd(K.write(BIG)), K.HOLE, K.cmd(K.push(BIG)), K.cmd(K.NL)])
        b = K.tb(BIG).w(BIG).c(q).e(t).p(BIG).n().x()
        u = b.b()
        str(u), repr(u), K.klift(u), K.klift(i), K.klift(BIG), K.klift_html(BIG + "<&>")
        K.from_postcard_bytes(u.postcard_bytes() + b"trailing")
        for fail in FAILING[:-1] if i % 25 else FAILING:
            try:
                fail(t, b)
            except BaseException as e:
                assert isinstance(e, Exception) or type(e).__name__ == "PanicException"


def test_repeated_use_does_not_grow_memory(capfd):
    _churn(500)  # warm up allocator pools and caches (and fill AddressSanitizer's quarantine)
    gc.collect()
    start = _rss()
    _churn(3000)
    gc.collect()
    grown = _rss() - start
    capfd.readouterr()
    # a single leaked 4 KiB text per round would already amount to ~12 MiB
    assert grown < 8 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB"
