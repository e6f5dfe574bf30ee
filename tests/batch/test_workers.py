"""The pools that run tasks under a time limit: the watchdog pool and the inline executor."""

import os
import signal
import time

import pytest

from kovel.batch.workers import InlineExecutor, WatchdogPool


def _sleep(s):
    time.sleep(s)
    return s


def _die():
    os.kill(os.getpid(), signal.SIGKILL)


def test_watchdog_pool_fails_only_the_task_that_overran_or_died():
    with WatchdogPool(2, timeout=2) as pool:
        futures = [pool.submit(_sleep, 60), pool.submit(_die), pool.submit(int, "x")]
        futures += [pool.submit(pow, 2, n) for n in range(8)]
        with pytest.raises(TimeoutError, match="no result after 2 s; worker killed"):
            futures[0].result()
        with pytest.raises(ChildProcessError, match=r"died \(exit code -9\)"):
            futures[1].result()
        with pytest.raises(ValueError, match="invalid literal"):
            futures[2].result()
        assert [f.result() for f in futures[3:]] == [2**n for n in range(8)]
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(pow, 2, 2)


def _swallow_errors(s):
    try:
        time.sleep(s)
    except Exception:
        return "went on"
    return s


@pytest.mark.parametrize("task", [_sleep, _swallow_errors])
def test_inline_executor_stops_an_overrunning_task(task):
    handler = signal.getsignal(signal.SIGALRM)
    inline = InlineExecutor(timeout=0.5)
    with pytest.raises(TimeoutError, match=r"no result after 0\.5 s; task stopped"):
        inline.submit(task, 60).result()
    # Nothing of the limit is left behind, and the next task runs in full.
    assert signal.getsignal(signal.SIGALRM) is handler
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    assert inline.submit(task, 0.2).result() == 0.2


def test_watchdog_pool_terminate_stops_running_tasks():
    pool = WatchdogPool(1)
    running, queued = pool.submit(_sleep, 60), pool.submit(_sleep, 60)
    deadline = time.monotonic() + 30
    while not running.running() and time.monotonic() < deadline:  # the worker is starting
        time.sleep(0.05)
    started = time.monotonic()
    pool.terminate()
    assert time.monotonic() - started < 10
    assert queued.cancelled()
    with pytest.raises(ChildProcessError, match="stopped before the task finished"):
        running.result()


def test_watchdog_pool_limits_each_task_as_submitted():
    with WatchdogPool(2, timeout=60) as pool:
        short, long, default = (
            pool.submit_limited(1, _sleep, 3),
            pool.submit_limited(30, _sleep, 3),
            pool.submit(_sleep, 0.1),
        )
        with pytest.raises(TimeoutError, match="no result after 1 s; worker killed"):
            short.result()
        assert (long.result(), default.result()) == (3, 0.1)
