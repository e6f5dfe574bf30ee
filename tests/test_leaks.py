"""Reference counting and memory: calls neither leak nor steal references."""
import gc
import os
import sys

import pytest

from kovel import _kovel as K

UNBALANCED = b"\x02\x01t\x01" + bytes.fromhex("020178000100000179") + b"\x02\x01\x01"


class Idx:
    def __index__(self):
        return 7


def fresh_str():
    return "".join(["probe", "-", "text"])  # not interned, not shared


def fresh_term():
    return K.tb("p").w("a").c(K.leaf("x", "y")).b()


def ok_cmds():
    return [K.cmd(K.write("[")), K.HOLE, K.cmd(K.write("]"))]


# (make the probe object, use it once); each use may succeed or raise
CASES = {
    "leaf": (fresh_str, lambda s: K.leaf(s, s)),
    "sym/name/write/push/tb": (fresh_str, lambda s: (K.sym(s), K.name(s), K.write(s), K.push(s), K.tb(s))),
    "builder text": (fresh_str, lambda s: K.tb("t").w(s).p(s).b()),
    "quote texts": (fresh_str, lambda s: K.quote(s, 0, s, K.leaf("a", "b"), [])),
    "quote term": (fresh_term, lambda t: K.unquote("t", 1, "l", t, [K.HOLE])),
    "quote cmds list": (ok_cmds, lambda c: K.quote("t", 1, "l", K.leaf("a", "b"), c)),
    "quote cmds tuple": (lambda: tuple(ok_cmds()), lambda c: K.quote("t", 1, "l", K.leaf("a", "b"), c)),
    "HOLE element": (lambda: K.HOLE, lambda h: K.quote("t", 1, "l", K.leaf("a", "b"), [h, h])),
    "cmd": (lambda: K.write("x"), lambda c: K.cmd(c)),
    "index object": (Idx, lambda i: K.quote("t", i, "l", K.leaf("a", "b"), [])),
    "builder c": (fresh_term, lambda t: K.tb("t").c(t).c(t)),
    "builder e": (fresh_term, lambda t: K.tb("t").e(t).b()),
    "builder self": (lambda: K.tb("t"), lambda b: (b.w("a"), b.n(), b.x(), b.p(" "))),
    "built builder": (lambda: _built(), lambda b: (b.w("a"), b.b())),
    "klift term": (fresh_term, lambda t: (K.klift(t), K.klift_html(t))),
    "klift str": (fresh_str, lambda s: (K.klift(s), K.klift_html(s))),
    "klift int": (lambda: int("1" * 15), lambda i: (K.klift(i), K.klift_html(i))),
    "klift index object": (Idx, lambda i: K.klift(i)),
    "klift float": (lambda: float("2.5"), lambda f: K.klift(f)),
    "klift huge int": (lambda: 2 ** 80, lambda i: K.klift_html(i)),
    "decode": (fresh_term, lambda t: K.from_postcard_bytes(t.postcard_bytes())),
    "decode data": (lambda: bytes(bytearray(UNBALANCED)), lambda d: K.from_postcard_bytes(d).postcard_bytes()),
    "decode error": (lambda: bytes(bytearray(b"\x02\x05")), lambda d: K.from_postcard_bytes(d)),
    "render": (fresh_term, lambda t: (str(t), repr(t), t.coparse(), t.postcard_bytes())),
    "reduce": (fresh_term, lambda t: t.reduce()),
    "failed conversion after text": (fresh_str, lambda s: K.leaf(s, 1)),
    "failed cmds element": (lambda: K.cmd(K.push("x")), lambda c: K.quote("t", 0, "l", K.leaf("a", "b"), [c, c, 1])),
    "failed index": (fresh_str, lambda s: K.quote(s, 256, s, K.leaf("a", "b"), [])),
    "failed term": (fresh_str, lambda s: K.quote(s, 0, s, s, [])),
    "failed child": (fresh_str, lambda s: K.tb("t").c(s)),
}


def _built():
    b = K.tb("t")
    b.b()
    return b


def _use(fn, probe):
    try:
        fn(probe)
    except Exception:
        pass


@pytest.mark.parametrize("name", CASES)
def test_calls_keep_reference_counts(name):
    make, use = CASES[name]
    probe = make()
    _use(use, probe)
    gc.collect()
    before = sys.getrefcount(probe)
    for _ in range(100):
        _use(use, probe)
    gc.collect()
    assert sys.getrefcount(probe) == before


def test_reduce_result_reference_is_returned_not_leaked(monkeypatch):
    probe = object()
    monkeypatch.setattr(sys.modules["__main__"], "kovel_ref_probe", probe, raising=False)
    t = K.name("kovel_ref_probe")
    gc.collect()
    before = sys.getrefcount(probe)
    results = [t.reduce() for _ in range(50)]
    assert all(r is probe for r in results)
    assert sys.getrefcount(probe) == before + 50
    del results
    assert sys.getrefcount(probe) == before


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _churn(rounds):
    big = "x" * 4096
    for i in range(rounds):
        t = K.leaf(big, big)
        q = K.quote(big, i & 255, big, t, [K.cmd(K.write(big)), K.HOLE, K.cmd(K.push(big)), K.cmd(K.NL)])
        b = K.tb(big).w(big).c(q).e(t).p(big).n().x()
        u = b.b()
        str(u), repr(u), u.coparse(), K.klift(u), K.klift(i), K.klift(big), K.klift_html(big + "<&>")
        data = u.postcard_bytes()
        K.from_postcard_bytes(data + b"trailing")
        for bad in (
            lambda: b.b(),
            lambda: K.from_postcard_bytes(data[:-1]),
            lambda: K.quote(big, 0, big, t, [K.HOLE, big]),
            lambda: K.quote(big, 0, big, t, big),
            lambda: K.quote(big, 999, big, t, []),
            lambda: K.leaf(big, None),
            lambda: K.tb(big).c(big),
            lambda: K.klift(1.5),
            lambda: K.leaf(big, "(" + big + "\0").reduce(),
            lambda: K.leaf(big, big + " = 1").reduce(),
        ):
            try:
                bad()
            except Exception:
                pass
        if i % 25 == 0:
            try:
                str(K.tb(big).w(big).c(K.from_postcard_bytes(UNBALANCED)).b())
            except BaseException as e:
                assert type(e).__name__ == "PanicException"


def test_repeated_use_does_not_grow_memory(capfd):
    _churn(300)  # warm up allocator pools and caches
    gc.collect()
    start = _rss()
    _churn(5000)
    gc.collect()
    grown = _rss() - start
    capfd.readouterr()
    # a single leaked 4 KiB text per round would already amount to ~20 MiB
    assert grown < 8 * 2 ** 20, f"RSS grew by {grown / 2 ** 20:.1f} MiB"
