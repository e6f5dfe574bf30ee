"""Terms shared between threads, and a Builder used while it is borrowed."""

import gc
import sys
import threading

import pytest

from kovel import _kovel as K, tree
from tests.helpers import in_threads


def test_shared_terms_from_many_threads():
    deep = K.leaf("d", "0")
    for _ in range(200):
        deep = K.tb("p").w("(").c(deep).w(")").b()
    shared = K.tb("block").w("{").p("  ").n().c(deep).x().n().w("}").b()
    shared_text, start = str(shared), threading.Barrier(4)

    def work(k):
        start.wait()
        for i in range(150):
            call = K.tb("call").c(shared).w("[").c(K.klift(i)).w(",").c(K.klift(f"t{k}")).w("]").b()
            q = K.quote("q", k, "py", call, [K.HOLE, K.cmd(K.NL), K.HOLE])
            text = f'{shared_text}[{i},"t{k}"]'
            assert str(K.from_postcard_bytes(q.postcard_bytes())) == str(q) == text + "\n" + text
            assert str(K.klift_html(shared)) == shared_text

    old_switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        in_threads(4, work)
    finally:
        sys.setswitchinterval(old_switch)


# Up to 3.11 a collection can start at any allocation, so a gc callback can run Python code
# while a Builder method holds its borrow (a failed conversion allocates the exception there).
@pytest.mark.skipif(sys.version_info >= (3, 12), reason="collections never start inside a call")
@pytest.mark.parametrize("method, arg, exc", [("w", "\ud800", UnicodeEncodeError), ("c", "x", TypeError)])
def test_builder_reentered_from_a_gc_callback_refuses(method, arg, exc):
    b, armed, seen, leaf = K.tb("t").w("<start>"), [False], [], K.leaf("x", "<child>")
    calls = [lambda: b.w("<inner>"), lambda: b.c(leaf), lambda: b.e(leaf), b.n, b.x, lambda: b.p(">"), b.b]
    failing = getattr(b, method)  # fetched before arming: it allocates

    def cb(phase, _info):
        for call in calls if phase == "start" and armed[0] else []:
            armed[0] = False
            try:
                call()
                seen.append("ran")
            except RuntimeError as e:
                seen.append(str(e))

    old_threshold = gc.get_threshold()
    gc.callbacks.append(cb)
    gc.set_threshold(1)
    try:
        with pytest.raises(exc):
            try:
                raise KeyError  # while one is handled, a new exception gets its object at once
            except KeyError:
                gc.collect()
                armed[0] = True
                failing(arg)
    finally:
        gc.callbacks.remove(cb)
        gc.set_threshold(*old_threshold)
    assert seen == ["Already borrowed"] * len(calls)
    assert str(b.w("<end>").b()) == "<start><end>"  # nothing of the refused calls


def test_tags_cross_between_native_and_kovel():
    # `_native` and `_kovel` share one tag table: a tag first seen by one must
    # read back the same from the other, and from a worker thread.
    made_by_native = tree.node("tag seen first by _native", [], [("write", "n")])
    made_by_core = K.leaf("tag seen first by _kovel", "k")
    both = K.tb("pair").c(made_by_native).c(made_by_core).b()
    result = []
    in_threads(1, lambda _: result.append(K.from_postcard_bytes(both.postcard_bytes())))
    for t in (both, result[0]):
        assert [tree.tag(k) for k in tree.children(t)] == [
            "tag seen first by _native",
            "tag seen first by _kovel",
        ]
        assert str(tree.children(t)[0]) == "n" and tree.equal(t, both)
    assert [p for p, _ in tree.find_all(both, "tag seen first by _kovel")] == [(1,)]


def test_large_terms_freed_at_once_by_several_threads_keep_what_they_share():
    # The nodes of a large term are freed without the lock when its last
    # Python object dies; terms dropped in several threads at once share a
    # subterm, which must outlive them all.
    shared = K.leaf("s", "0")
    for i in range(3000):
        shared = K.tb("p").c(shared).w(str(i % 10)).b()
    text = str(shared)
    start = threading.Barrier(4)

    def drop(_):
        terms = [K.tb("top").c(shared).c(K.leaf("i", str(i))).b() for i in range(3)]
        big = K.tb("big").w("[")
        for i in range(6000):
            big = big.c(K.leaf("x", str(i)))
        terms.append(big.c(shared).b())
        start.wait()
        del terms  # each thread frees thousands of its own nodes and drops `shared` four times

    in_threads(4, drop)
    assert str(shared) == text
    assert str(K.from_postcard_bytes(shared.postcard_bytes())) == text
