"""Long rendering, encoding and decoding: interruptible, and other threads run meanwhile."""

import _thread
import gc
import signal
import sys
import threading
import time

import pytest

from kovel import _kovel as K
from tests.helpers import ASAN, UNBALANCED, in_threads, rss


def exponential(depth, text="y"):
    """`depth` quotes with two HOLEs each around one leaf: 2**depth copies of `text`."""
    t = K.leaf("x", text)
    for _ in range(depth):
        t = K.quote("", 0, "", t, [K.HOLE, K.HOLE])
    return t


def doubling(depth):
    """Tuples with the same child twice: encodes (and decodes) to 2**depth leaves."""
    t = K.leaf("x", "y")
    for _ in range(depth):
        t = K.tb("").c(t).c(t).b()
    return t


HUGE = exponential(40)  # 329 bytes, a text of 2**40 bytes
DECODE_INPUT = doubling(21).postcard_bytes()  # about 30 MB, a second or so to decode


def interrupt_during(call, after=0.05):
    """Runs `call` with a Ctrl-C arriving `after` seconds in; returns the time it took to stop."""
    timer = threading.Timer(after, _thread.interrupt_main)
    start = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
        timer.join()
    return time.perf_counter() - start


CALLS = {
    "str": lambda: str(HUGE),
    "repr": lambda: repr(HUGE),
    "coparse": HUGE.coparse,
    "reduce": HUGE.reduce,
    "postcard_bytes": lambda: doubling(40).postcard_bytes(),
    "from_postcard_bytes": lambda: K.from_postcard_bytes(DECODE_INPUT),
}


@pytest.mark.parametrize("name", CALLS)
def test_ctrl_c_stops_long_work_promptly(name):
    assert interrupt_during(CALLS[name]) < 2.0
    # Usable afterwards, and results stay exact.
    small = exponential(3, "ab")
    assert str(K.from_postcard_bytes(small.postcard_bytes())) == "ab" * 8


def test_interrupted_work_leaves_nothing_behind():
    before = sys.getrefcount(DECODE_INPUT), sys.getrefcount(HUGE)
    # One whole decode leaves the node pool holding enough for any part of
    # one: how far an interrupted decode gets (which the machine's load
    # decides) then grows nothing, unless parts are kept.
    K.from_postcard_bytes(DECODE_INPUT)
    gc.collect()
    start = rss()
    for _ in range(4):
        interrupt_during(CALLS["from_postcard_bytes"])
        interrupt_during(CALLS["str"])
    gc.collect()
    assert (sys.getrefcount(DECODE_INPUT), sys.getrefcount(HUGE)) == before
    if not ASAN:  # its quarantine holds freed memory
        grown = rss() - start
        # Parts of terms left behind would make the next whole decode take new memory.
        whole = K.from_postcard_bytes(DECODE_INPUT)
        assert grown < 16 * 2**20 and rss() - start < 16 * 2**20
        del whole


def test_a_signal_handler_exception_propagates():
    def handler(signum, frame):
        raise LookupError("from the handler")

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(LookupError, match="from the handler"):
            str(HUGE)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_a_panic_after_the_lock_was_released():
    # Long enough to release the lock before the malformed child is reached.
    t = K.tb("w").c(exponential(20)).c(K.from_postcard_bytes(UNBALANCED)).b()
    with pytest.raises(BaseException) as info:
        str(t)
    assert type(info.value).__name__ == "PanicException"


def test_other_threads_run_during_a_render():
    term = exponential(25, "ab")  # 64 MiB of text
    stamps, stop = [], threading.Event()

    def loop():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            sum(range(100))

    worker = threading.Thread(target=loop)
    worker.start()
    time.sleep(0.01)
    start = time.perf_counter()
    text = str(term)
    end = time.perf_counter()
    stop.set()
    worker.join()
    assert len(text) == 2**26
    # With the lock held all along, the other thread could only run at the edges.
    middle = [s for s in stamps if start + (end - start) / 4 < s < end - (end - start) / 4]
    assert len(middle) > 10, f"{len(middle)} steps of the other thread during {end - start:.3f} s"


def test_threads_render_encode_and_decode_at_once():
    terms = [exponential(18, str(k)) for k in range(4)] + [doubling(16)]
    expected = [(str(t), t.postcard_bytes()) for t in terms]
    start = threading.Barrier(len(terms))

    def work(k):
        start.wait()
        for _ in range(3):
            text, data = str(terms[k]), terms[k].postcard_bytes()
            assert (text, data) == expected[k] and str(K.from_postcard_bytes(data)) == text

    in_threads(len(terms), work)
