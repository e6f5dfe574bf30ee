"""Reference counting and memory: calls neither leak nor steal references."""

import gc
import os
import subprocess
import sys
import time

import pytest

from kovel import _kovel as K, _native, tree
from tests.helpers import ASAN, UNBALANCED, big_term, in_threads, rss

NO_ASAN = pytest.mark.skipif(ASAN, reason="AddressSanitizer's quarantine holds freed memory")

TERM = K.leaf("a", "b")


def fresh_term():
    return K.tb("p").w("a").c(K.leaf("x", "y")).b()


def main_probe():
    sys.modules["__main__"].kovel_ref_probe = probe = object()
    return probe


# name: (make the probe object, calls using it); each call may succeed or raise
CASES = {
    "quote texts": (lambda: "".join(["probe", "-", "text"]), [lambda s: K.quote(s, 0, s, TERM, []), lambda s: K.quote(s, 256, s, TERM, [])]),
    "quote term": (fresh_term, [lambda t: K.unquote("t", 1, "l", t, [K.HOLE]), lambda t: K.quote("t", 0, "l", t, 1)]),
    "quote cmds": (lambda: K.cmd(K.push("x")), [lambda c: K.quote("t", 0, "l", TERM, [c, K.HOLE, c, 1])]),
    "Builder.c": (fresh_term, [lambda t: K.tb("t").c(t).c(t).b(), lambda t: K.tb("t").c(t).c(1)]),
    "klift term": (fresh_term, [K.klift, K.klift_html]),
    "reduce result": (main_probe, [lambda p: K.name("kovel_ref_probe").reduce()]),
}  # fmt: skip


@pytest.mark.parametrize("name", CASES)
def test_calls_keep_reference_counts(name):
    make, uses = CASES[name]
    probe, counts = make(), []
    for rounds in (1, 100):
        for _ in range(rounds):
            for use in uses:
                try:
                    use(probe)
                except Exception:
                    pass
        gc.collect()
        counts.append(sys.getrefcount(probe))
    assert counts[0] == counts[1]


BIG = "x" * 4096
LEAF = K.leaf(BIG, "a")
NESTED = K.tb(BIG).c(K.tb(BIG).c(LEAF).c(K.leaf(BIG, "b")).b()).w(BIG).c(LEAF).b()


def fails_at_the_root(n):  # replaces the leaves, then fails at the (rebuilt) root
    if not tree.children(n):
        return K.leaf(BIG, "c")
    if ("write", BIG) in tree.commands(n):
        raise KeyError(BIG)
    return None


FAILING = [
    lambda t: K.from_postcard_bytes(t.postcard_bytes()[:-1]),
    lambda t: K.quote(BIG, 999, BIG, t, [K.HOLE, BIG]),
    lambda t: K.tb(BIG).c(BIG),
    lambda t: K.leaf(BIG, BIG + " = 1").reduce(),
    lambda t: tree.rewrite(NESTED, fails_at_the_root),
    lambda t: tree.rewrite(NESTED, lambda n: BIG),
    lambda t: tree.replace(NESTED, (0, 5), LEAF),
    lambda t: tree.node(BIG, [LEAF, LEAF], [("hole", ""), ("write", BIG)]),
    lambda t: tree.node(BIG, [LEAF], [("hole", ""), ("write", BIG), ("bad", "")]),
    lambda t: tree.walk(K.from_postcard_bytes(UNBALANCED), spans=True),  # PanicException
    lambda t: str(K.tb(BIG).w(BIG).c(K.from_postcard_bytes(UNBALANCED)).b()),  # PanicException
]


def _churn(rounds):
    for i in range(rounds):
        t = K.leaf(BIG, BIG)
        q = K.quote(BIG, i & 255, BIG, t, [K.cmd(K.write(BIG)), K.HOLE, K.cmd(K.push(BIG)), K.cmd(K.NL)])
        u = K.tb(BIG).w(BIG).c(q).e(t).p(BIG).n().x().b()
        str(u), repr(u), K.klift(u), K.klift(BIG), K.klift_html(BIG + "<&>")
        K.from_postcard_bytes(u.postcard_bytes() + b"trailing")
        for fail in FAILING[:-1] if i % 25 else FAILING:
            try:
                fail(t)
            except BaseException as e:
                assert isinstance(e, Exception) or type(e).__name__ == "PanicException"
        next(tree.walk(NESTED, spans=True))  # abandoned iterators
        next(tree.find_all(NESTED, BIG))
        tree.replace(NESTED, (0, 1), LEAF)


@NO_ASAN
def test_repeated_failing_and_abandoned_calls_do_not_grow_memory(capfd):
    _churn(500)  # warm up allocator pools and caches
    gc.collect()
    start = rss()
    _churn(3000)
    gc.collect()
    grown = rss() - start
    capfd.readouterr()  # the panic reports
    # a single leaked 4 KiB text or node per round would already amount to ~12 MiB
    assert grown < 8 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB"


@NO_ASAN
def test_nodes_made_through_native_and_freed_with_their_kterm_are_reused():
    # kovel.tree's nodes are made by `_native`'s functions and die with their
    # KTerm objects, in `_kovel`'s code: both must use the one pool, so the
    # memory they free serves the next ones.
    kids = [K.leaf("k", "x")] * 8
    cmds = [("hole", "")] * 8 + [("write", "y" * 100)]

    def churn(rounds):
        for i in range(rounds):
            tree.node(f"n{i % 7}", kids, cmds)

    churn(20_000)  # warm up
    start = rss()
    churn(200_000)  # 200,000 nodes of 192 bytes: 38 MB if none were reused
    grown = rss() - start
    assert grown < 8 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB"


@NO_ASAN
def test_large_terms_dropped_in_a_row_are_freed_as_fast_as_they_come():
    # The rest of a large term is freed on another thread: it must keep up, or
    # the dropping thread must free its own, whatever the pace.
    for _ in range(5):
        big_term()
    start = rss()
    for _ in range(60):  # 3.6 M nodes: well over 100 MB if they piled up
        big_term()
    assert rss() - start < 40 * 2**20


def test_large_terms_dropped_by_many_threads_at_once():
    def work(_):
        for _ in range(5):
            assert len(str(big_term(20_000))) == sum(len(str(i)) for i in range(20_000))

    in_threads(4, work)


def test_an_interpreter_ending_while_large_terms_are_freed_exits_cleanly():
    # 12 large terms dropped as the interpreter ends
    script = "from tests.helpers import big_term\nts = [big_term(50_000) for _ in range(12)]\nts.clear()\nprint('done')"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd=root)
    assert (r.returncode, r.stdout, r.stderr) == (0, "done\n", "")


def test_large_terms_are_freed_by_the_dropping_thread_when_asked():
    before = _native.background_free(False)
    try:
        assert _native.background_free(False) is False
        deadline = time.monotonic() + 10
        while _native.own_threads() and time.monotonic() < deadline:  # one from earlier tests
            time.sleep(0.01)
        big_term()
        assert _native.own_threads() == 0  # freed here, no thread started
    finally:
        _native.background_free(before)
    assert before is True
