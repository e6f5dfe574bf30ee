"""Work the command does behind its main loop, one job at a time, in order.

Writing a rewritten file ends with ``fsync``, which waits for the disk: done
in the loop that takes the workers' results, that wait held up every result
behind it.  Here the jobs run on one thread of their own, in the order they
were given, so that files are written in the order the run meets them, as
before; the thread drops the lock while it waits.  A stopped queue (Ctrl-C)
starts no job after the one running, whose file ends up old or new.

>>> q = Behind()
>>> jobs = [q.submit(pow, 2, n) for n in range(4)]
>>> [j.result() for j in jobs]
[1, 2, 4, 8]
>>> q.stop()
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any, ParamSpec, TypeVar

__all__ = ["Behind"]

P = ParamSpec("P")
T = TypeVar("T")


class Behind:
    """A queue of jobs run in order on one daemon thread, started with the first job.

    The thread is a daemon so that an interrupted run exits without waiting
    for it; a run that finishes waits for every job's result first.
    """

    def __init__(self) -> None:
        self._jobs: queue.SimpleQueue[tuple[Future[Any], Callable[[], Any]] | None] = queue.SimpleQueue()
        self._thread: threading.Thread | None = None
        self.stopped = threading.Event()

    def submit(self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        """Queue ``fn(*args, **kwargs)``; return its future."""
        if self.stopped.is_set():
            raise RuntimeError("the queue was stopped")
        f: Future[T] = Future()
        self._jobs.put((f, lambda: fn(*args, **kwargs)))
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name="kovel-behind", daemon=True)
            self._thread.start()
        return f

    def stop(self) -> None:
        """Start no more jobs: those queued and not started are cancelled."""
        self.stopped.set()
        self._jobs.put(None)

    def _run(self) -> None:
        while (job := self._jobs.get()) is not None:
            f, call = job
            if self.stopped.is_set():
                f.cancel()
                continue
            if not f.set_running_or_notify_cancel():
                continue
            try:
                f.set_result(call())
            except BaseException as exc:  # handed to whoever waits for it
                f.set_exception(exc)
        while True:  # cancel what was queued behind the stop
            try:
                job = self._jobs.get_nowait()
            except queue.Empty:
                return
            if job is not None:
                job[0].cancel()
