"""Terms shared between threads, and a Builder used while it is borrowed."""

import contextlib
import gc
import sys
import threading

import pytest

from kovel import _kovel as K

THREADS, ROUNDS = 4, 150
# Up to 3.11 a collection can start at any allocation of a tracked object, so
# a gc callback can run Python code while a Builder method holds its borrow
# (a failed argument conversion allocates the exception object there); from
# 3.12 on collections only start between bytecodes.
GC_INSIDE_CALLS = sys.version_info < (3, 12)


@contextlib.contextmanager
def stress(gc_cb=None):
    """Switches threads often; with `gc_cb`, also collects (and calls it) at
    every second allocation of a tracked object."""
    old_threshold, old_switch = gc.get_threshold(), sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    if gc_cb:
        gc.callbacks.append(gc_cb)
        gc.set_threshold(1)
    try:
        yield
    finally:
        if gc_cb:
            gc.callbacks.remove(gc_cb)
        gc.set_threshold(*old_threshold)
        sys.setswitchinterval(old_switch)


def run_threads(work):
    errors, start = [], threading.Barrier(THREADS)

    def body(k):
        start.wait()
        try:
            work(k)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_shared_terms_from_many_threads():
    x, deep = K.name("x"), K.leaf("d", "0")
    for _ in range(200):
        deep = K.tb("p").w("(").c(deep).w(")").b()
    shared = K.tb("block").w("{").p("  ").n().c(x).n().c(deep).x().n().w("}").b()
    shared_text, shared_bytes = str(shared), shared.postcard_bytes()

    def work(k):
        for i in range(ROUNDS):
            lifted = K.klift(f"t{k}:{i}")
            call = K.tb("call").c(shared).w("[").c(K.klift(i)).w(",").c(lifted).w("]").b()
            q = K.quote("q", k, "py", call, [K.HOLE, K.cmd(K.NL), K.HOLE])
            text = f'{shared_text}[{i},"t{k}:{i}"]'
            assert str(q) == text + "\n" + text
            back = K.from_postcard_bytes(q.postcard_bytes())
            assert back.postcard_bytes() == q.postcard_bytes() and str(back) == str(q)
            assert shared.postcard_bytes() == shared_bytes
            assert K.klift(shared) is not shared and str(K.klift_html(shared)) == shared_text
            assert str(K.klift_html(f"<{k}>")) == f"&lt;{k}&gt;"

    with stress():
        run_threads(work)
    assert str(shared) == shared_text


@pytest.mark.skipif(not GC_INSIDE_CALLS, reason="collections never start inside a call")
@pytest.mark.parametrize(
    "method, arg, exc",
    [
        ("w", "\ud800", UnicodeEncodeError),
        ("p", "a\udfff", UnicodeEncodeError),
        ("w", 1, TypeError),
        ("c", "x", TypeError),
        ("e", None, TypeError),
    ],
)
def test_builder_reentered_from_a_gc_callback_refuses(method, arg, exc):
    b, armed, seen = K.tb("t").w("<start>"), [False], []
    leaf = K.leaf("x", "<child>")
    calls = [lambda: b.w("<inner>"), lambda: b.c(leaf), lambda: b.e(leaf), b.n, b.x, lambda: b.p(">"), b.b]
    failing = getattr(b, method)

    def cb(phase, _info):
        if phase == "start" and armed[0]:
            armed[0] = False
            for call in calls:
                try:
                    call()
                    seen.append("ran")
                except RuntimeError as e:
                    seen.append(str(e))

    with stress(cb), pytest.raises(exc):
        try:
            raise KeyError  # while one is handled, a new exception gets its object at once
        except KeyError:
            gc.collect()
            armed[0] = True
            failing(arg)
    assert seen == ["Already borrowed"] * len(calls)
    assert str(b.w("<end>").b()) == "<start><end>"  # nothing of the refused calls


def test_one_builder_from_many_threads():
    b = K.tb("t")

    def work(k):
        for i in range(ROUNDS):
            assert b.w(f"<w{k}.{i}>") is b
            assert b.c(K.leaf("x", f"<c{k}.{i}>")) is b
            with pytest.raises(TypeError):
                b.w(i)

    with stress():
        run_threads(work)
    text = str(b.b())
    for k in range(THREADS):
        pieces = [f"<{kind}{k}.{i}>" for i in range(ROUNDS) for kind in "wc"]
        assert all(text.count(p) == 1 for p in pieces)
        assert [text.index(p) for p in pieces] == sorted(text.index(p) for p in pieces)
    assert len(text) == sum(len(f"<w{k}.{i}>") * 2 for k in range(THREADS) for i in range(ROUNDS))


@pytest.mark.skipif(not GC_INSIDE_CALLS, reason="collections never start inside a call")
def test_builder_borrowed_by_one_thread_refuses_another():
    b, armed, inside, tried, got = K.tb("t"), [False], threading.Event(), threading.Event(), []

    def cb(phase, _info):
        if phase == "start" and armed[0]:
            armed[0] = False
            inside.set()
            tried.wait(10)  # blocks, interpreter released, while `b` is borrowed

    def other():
        inside.wait(10)
        try:
            b.w("<other>")
            got.append("appended")
        except RuntimeError as e:
            got.append(str(e))
        tried.set()

    helper = threading.Thread(target=other)
    helper.start()
    with stress(cb), pytest.raises(UnicodeEncodeError):
        gc.collect()
        armed[0] = True
        b.w("\ud800")
    helper.join()
    assert got == ["Already borrowed"]
    assert str(b.w("<after>").b()) == "<after>"
