"""Executors for the batch API: a process pool that kills overrunning tasks, and an inline one.

``concurrent.futures.ProcessPoolExecutor`` cannot stop one task: a grammar
that loops forever on a few bytes would hold its worker for good, and killing
that worker breaks the whole pool.  ``WatchdogPool`` knows which task each
worker runs and since when: a worker runs its tasks in the order sent, and
holds at most one more, waiting in its pipe so that it goes on without
waiting for the pool.  A task past its time limit has its worker killed and
replaced, and fails with ``TimeoutError``; a worker that dies fails only its
own task, with ``ChildProcessError``; the task waiting behind it goes to
another worker.  The other tasks go on.

Its workers are those of ``kovel.treesitter.timeout``: fresh interpreters (so
the caller's main script is never run again), or, for the first ones when
the caller runs a single thread, forks of the caller, ready at once.  Either
way the functions and values of the tasks must come from importable modules.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import pickle
import selectors
import signal
import threading
import time
import warnings
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from typing import Any, ParamSpec, TypeVar

from kovel.treesitter.forked import fork_safe
from kovel.treesitter.timeout import Overrun, Worker, died, dumps_call, run_limited

__all__ = [
    "MOST_WORKERS_PER_CPU",
    "InlineExecutor",
    "KeptWorkerExecutor",
    "WatchdogPool",
    "executor_for",
    "here_if_limited",
    "limited_here",
]

P = ParamSpec("P")
T = TypeVar("T")


class _RunNow(Executor):
    """An executor that runs each task as it is submitted (``_call``) and
    hands back a finished future."""

    def __init__(self, *, timeout: float | None = None) -> None:
        self._timeout = timeout

    def submit(self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        """Run ``fn(*args, **kwargs)`` now; return a finished future."""
        return self.submit_limited(self._timeout, fn, *args, **kwargs)

    def submit_limited(
        self, timeout: float | None, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs
    ) -> Future[T]:
        """Like ``submit``, with ``timeout`` seconds (None: no limit) for this task instead of the executor's.

        >>> InlineExecutor().submit_limited(30, pow, 2, 10).result()
        1024
        """
        f: Future[T] = Future()
        try:
            result = self._call(timeout, fn, args, kwargs)
        except Exception as exc:
            f.set_exception(exc)
        else:
            f.set_result(result)
        return f

    def _call(self, timeout: float | None, fn: Callable[..., T], args: Any, kwargs: Any) -> T:
        raise NotImplementedError


class InlineExecutor(_RunNow):
    """Runs each task in the calling thread as it is submitted.

    With ``timeout``, a task still running after that many seconds is stopped
    and fails with ``TimeoutError``: a timer signal raises in the task, as
    Ctrl-C would (kovel's long native work checks for signals as it goes).
    Only the main thread gets signals; in another thread tasks run unlimited.
    Nor does the signal stop a grammar looping inside its own scanner: work
    on untrusted input under a limit belongs in a ``WatchdogPool`` or a
    ``KeptWorkerExecutor``.

    >>> InlineExecutor().submit(max, 2, 3).result()
    3
    """

    def _call(self, timeout: float | None, fn: Callable[..., T], args: Any, kwargs: Any) -> T:
        try:
            with _time_limit(timeout):
                return fn(*args, **kwargs)
        except _Overrun:
            raise TimeoutError(f"no result after {timeout:g} s; task stopped") from None


class _Overrun(BaseException):
    """Raised by the timer signal in an inline task that ran out of time.

    Not an ``Exception``, so that no ``except Exception`` inside the task keeps it going.
    """


@contextlib.contextmanager
def _time_limit(seconds: float | None) -> Iterator[None]:
    """Raise ``_Overrun`` in the block if it runs for more than ``seconds``."""
    if (
        seconds is None
        or not hasattr(signal, "setitimer")
        or threading.current_thread() is not threading.main_thread()
    ):
        yield
        return
    armed = True

    def overrun(_signum: int, _frame: object) -> None:
        if armed:  # a signal that comes as the block ends does not outlive it
            raise _Overrun

    old = signal.signal(signal.SIGALRM, overrun)
    try:
        signal.setitimer(signal.ITIMER_REAL, seconds)
        yield
    finally:
        armed = False
        try:
            signal.setitimer(signal.ITIMER_REAL, 0)
        finally:
            signal.signal(signal.SIGALRM, old)


@dataclass
class _Call:
    future: Future[Any]
    payload: bytes
    timeout: float | None
    running: bool = False  # its future was marked running (a call sent again after another's failure)

    def fail(self, exc: BaseException) -> None:
        if not self.running and not self.future.set_running_or_notify_cancel():
            return  # cancelled
        self.running = True
        if not self.future.done():
            self.future.set_exception(exc)


# A task: calls sent to one worker together, answered one by one.
_Task = list[_Call]


@dataclass
class _Slot:
    worker: Worker
    calls: deque[_Call] = field(default_factory=deque)  # sent, not answered; the first is running
    deadline: float = field(default=float("inf"))
    ready: bool = False  # the worker said it is up; its start-up time counts against no task


class WatchdogPool(Executor):
    """A pool of ``max_workers`` processes in which no task runs longer than ``timeout`` seconds.

    ``timeout`` counts from the moment a worker takes the task; ``None`` means
    no limit.  Tasks and results must pickle.  Each worker imports the modules
    named in ``preload`` as it starts, before it takes a task.

    >>> with WatchdogPool(1, timeout=30) as pool:
    ...     pool.submit(pow, 2, 10).result()
    1024
    """

    def __init__(
        self,
        max_workers: int | None = None,
        *,
        timeout: float | None = None,
        mp_context: object = None,
        preload: Sequence[str] = (),
    ) -> None:
        if max_workers is not None and max_workers < 1:
            raise ValueError("max_workers must be at least 1")
        if mp_context is not None:
            warnings.warn(
                "WatchdogPool ignores mp_context: its workers are fresh interpreters",
                DeprecationWarning,
                stacklevel=2,
            )
        self._max = max_workers or os.cpu_count() or 1
        self._timeout = timeout
        self._preload = tuple(preload)
        self._pending: deque[_Task] = deque()
        self._lock = threading.Lock()
        self._wake_r, self._wake_w = multiprocessing.Pipe(duplex=False)
        self._closing = False
        self._kill = False
        self._failed_starts = 0
        self._warm = False  # keep every worker up, tasks or not (``start``)
        self._thread: threading.Thread | None = None
        self._forked: list[_Slot] = []  # started before the thread, which takes them

    @property
    def max_workers(self) -> int:
        """The number of worker processes."""
        return self._max

    def start(self) -> None:
        """Start every worker now rather than with the first tasks, so that their
        start-up (a fresh interpreter importing the grammars) overlaps the caller's
        own, listing files, say.

        >>> with WatchdogPool(2) as pool:
        ...     pool.start()
        ...     pool.submit(pow, 2, 10).result()
        1024
        """
        with self._lock:
            if self._closing:
                raise RuntimeError("cannot start a pool after shutdown")
            self._warm = True
            self._ensure_manager()
        self._wake()

    def submit(self, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> Future[T]:
        """Queue ``fn(*args, **kwargs)`` for a worker; return its future."""
        return self.submit_limited(self._timeout, fn, *args, **kwargs)

    def submit_limited(
        self, timeout: float | None, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs
    ) -> Future[T]:
        """Like ``submit``, with ``timeout`` seconds (None: no limit) for this task instead of the pool's.

        >>> with WatchdogPool(1) as pool:
        ...     pool.submit_limited(30, pow, 2, 10).result()
        1024
        """
        payload = dumps_call(fn, args, kwargs)
        f: Future[T] = Future()
        self._queue([_Call(f, payload, timeout)])
        return f

    def submit_many(
        self, calls: Iterable[tuple[float | None, Callable[..., Any], tuple[Any, ...]]]
    ) -> list[Future[Any]]:
        """Queue calls ``(timeout, fn, args)`` as one task, sent to one worker
        together; return a future for each.  Each call has its own time limit,
        counted from the end of the one before it, as if submitted alone: one
        that overruns (or whose worker dies) fails alone, and the calls after it
        go to a worker again.  Cheaper than a task per call when calls are short.
        A call that does not pickle fails its own future.

        >>> with WatchdogPool(1) as pool:
        ...     [f.result() for f in pool.submit_many([(30, pow, (2, 3)), (30, abs, (-1,))])]
        [8, 1]
        """
        task: _Task = []
        futures: list[Future[Any]] = []
        for timeout, fn, args in calls:
            f: Future[Any] = Future()
            futures.append(f)
            try:
                task.append(_Call(f, dumps_call(fn, args, {}), timeout))
            except Exception as exc:
                f.set_exception(exc)
        if task:
            self._queue(task)
        return futures

    def _queue(self, task: _Task) -> None:
        with self._lock:
            if self._closing:
                raise RuntimeError("cannot schedule new futures after shutdown")
            self._pending.append(task)
            self._ensure_manager()
        self._wake()

    def _ensure_manager(self) -> None:
        if self._thread is None:
            # Before the pool's own thread exists, the caller may be the only
            # thread: then the first workers are forks of it, ready at once.
            wanted = self._max if self._warm else min(self._max, len(self._pending))
            if wanted and fork_safe():
                self._forked = [self._start_worker(fork=True) for _ in range(wanted)]
            self._thread = threading.Thread(target=self._manage, name="kovel-watchdog", daemon=True)
            self._thread.start()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Stop taking tasks; with ``cancel_futures`` drop the queued ones."""
        self._stop(wait, cancel_futures, kill=False)

    def terminate(self) -> None:
        """Kill the workers now; unfinished tasks fail or are cancelled."""
        self._stop(True, True, kill=True)

    def _stop(self, wait: bool, cancel: bool, kill: bool) -> None:
        with self._lock:
            self._closing = True
            self._kill = self._kill or kill
            if cancel:
                while self._pending:
                    for c in self._pending.popleft():
                        if not c.future.cancel():  # sent again after another call failed
                            c.fail(ChildProcessError("the pool was shut down before the task ran"))
            thread = self._thread
        self._wake()
        if wait and thread is not None:
            thread.join()

    def _wake(self) -> None:
        try:
            self._wake_w.send_bytes(b"!")
        except OSError:  # pragma: no cover - the pool is already closed
            pass

    def _start_worker(self, fork: bool = False) -> _Slot:
        return _Slot(Worker(self._preload, fork=fork))

    def _manage(self) -> None:
        slots, self._forked = self._forked, []
        # One selector for the pool's life: making one per wait (as
        # ``multiprocessing.connection.wait`` does) cost the parent more than
        # handing out the tasks.
        watch = selectors.DefaultSelector()
        watch.register(self._wake_r.fileno(), selectors.EVENT_READ, self._wake_r)
        try:
            while self._step(slots, watch):
                pass
        except BaseException as exc:  # pragma: no cover - a bug here must not hang the caller
            for s in slots:
                for c in s.calls:
                    c.fail(exc)
            with self._lock:
                while self._pending:
                    for c in self._pending.popleft():
                        c.fail(exc)
        finally:
            watch.close()
            for s in slots:
                # A worker still starting would only be waited for.
                _retire(s, kill=self._kill or bool(s.calls) or not s.ready)

    def _step(self, slots: list[_Slot], watch: selectors.BaseSelector) -> bool:
        """One round: start workers, hand out tasks, wait for news, settle what happened."""
        with self._lock:
            if self._kill:
                return False
            while self._pending:
                idle = _taker(slots, self._pending[0])
                if idle is None:
                    break
                task = [
                    c for c in self._pending.popleft() if c.running or c.future.set_running_or_notify_cancel()
                ]
                if not task:
                    continue
                for c in task:
                    c.running = True
                try:
                    # One call goes as its pickle; several as a list of their pickles.
                    idle.worker.send_bytes(
                        task[0].payload if len(task) == 1 else pickle.dumps([c.payload for c in task])
                    )
                except OSError as exc:
                    for c in task:
                        c.fail(ChildProcessError(f"could not reach a worker: {exc}"))
                    continue
                if not idle.calls:  # else it waits behind the running call, whose limit stands
                    idle.deadline = _deadline(time.monotonic(), task[0])
                idle.calls.extend(task)
            starting = sum(1 for s in slots if not s.ready)
            wanted = self._max if self._warm and not self._closing else len(self._pending) - starting
            for _ in range(min(wanted, self._max - len(slots))):
                slots.append(self._start_worker())
            busy = [s for s in slots if s.calls]
            if self._closing and not self._pending and not busy:
                return False
        now = time.monotonic()
        nearest = min((s.deadline for s in busy), default=float("inf"))
        timeout = None if nearest == float("inf") else max(0.0, nearest - now)
        ready = set(_wait(watch, self._wake_r, [s.worker.replies for s in slots], timeout))
        if self._wake_r in ready:  # one wake-up a round; any more wake the next round
            self._wake_r.recv_bytes()
        now = time.monotonic()
        for s in list(slots):
            if s.worker.replies in ready:
                try:
                    data = s.worker.replies.recv_bytes()
                except (EOFError, OSError):
                    # The worker died: its replies reached their end.
                    code = s.worker.exit_code()
                    if s.calls:
                        self._lose(slots, s, ChildProcessError(died(code)))
                    else:
                        slots.remove(s)
                        _retire(s, kill=True)
                        if not s.ready:
                            self._failed_start(code)
                    continue
                if not s.ready:
                    s.ready = True
                    self._failed_starts = 0
                elif s.calls:
                    _settle(s.calls.popleft().future, data)
                    s.deadline = _deadline(now, s.calls[0]) if s.calls else float("inf")
            elif s.calls and now >= s.deadline:
                self._lose(slots, s, Overrun(f"no result after {s.calls[0].timeout:g} s; worker killed"))
        return True

    def _lose(self, slots: list[_Slot], s: _Slot, why: BaseException) -> None:
        """Kill the worker of ``s``: its running call fails with ``why``; the calls
        sent with it and not yet run go to a worker again, first."""
        slots.remove(s)
        running, rest = s.calls.popleft(), list(s.calls)
        s.calls.clear()
        _retire(s, kill=True)
        running.fail(why)
        if rest:
            with self._lock:
                self._pending.appendleft(rest)

    def _failed_start(self, exitcode: int | None) -> None:
        # A worker that cannot start (say, the main module fails on import)
        # would be restarted for ever: after three in a row, fail the tasks.
        self._failed_starts += 1
        if self._failed_starts >= 3:
            with self._lock:
                self._warm = False
                while self._pending:
                    for c in self._pending.popleft():
                        c.fail(ChildProcessError(f"worker processes fail to start (exit code {exitcode})"))


#: The most workers ``executor_for`` starts for each CPU, however many jobs are asked for.
MOST_WORKERS_PER_CPU = 4


def executor_for(
    jobs: int | None, timeout: float | None, preload: Sequence[str] = ()
) -> InlineExecutor | WatchdogPool:
    """What runs ``jobs`` tasks at once, each under ``timeout`` seconds: a
    ``WatchdogPool`` (``None``: one worker per CPU) whose workers are started
    at once, so that their start-up overlaps the caller's, each importing the
    modules named in ``preload``.  One job without a limit runs in the calling
    process; with one, in a worker all the same: a grammar stuck in its own
    scanner is stopped only by killing the process it runs in.

    >>> type(executor_for(1, None)).__name__
    'InlineExecutor'
    """
    if jobs == 1 and timeout is None:
        return InlineExecutor()
    # Each worker is a whole interpreter: more than a few per CPU only share
    # the CPUs, at the cost of their memory (`-j 100000` would fill it).
    if jobs is not None:
        jobs = min(jobs, MOST_WORKERS_PER_CPU * (os.cpu_count() or 1))
    pool = WatchdogPool(jobs, timeout=timeout, preload=preload)
    pool.start()
    return pool


class KeptWorkerExecutor(_RunNow):
    """Runs each task at once, and waits for it, in a worker process kept for
    the next one (``kovel.treesitter.timeout.run_limited``), killed when the
    task overruns its time limit.  For short work under a limit that the
    caller needs before any file (compiling a pattern, which parses it): a
    grammar may loop forever inside its own scanner, where no timer signal of
    this process could stop it.  A task without a limit runs here.

    >>> KeptWorkerExecutor(timeout=30).submit(pow, 2, 10).result()
    1024
    """

    def _call(self, timeout: float | None, fn: Callable[..., T], args: Any, kwargs: Any) -> T:
        return fn(*args, **kwargs) if timeout is None else run_limited(timeout, fn, *args, **kwargs)


def here_if_limited(otherwise: Executor, timeout: float | None) -> Executor:
    """Where short work the caller needs before any file (compiling a pattern)
    runs under ``timeout``: ``otherwise`` when it is a ``WatchdogPool`` (its
    workers are up already, and killed when they overrun), else a
    ``KeptWorkerExecutor``; ``otherwise`` when there is no limit.

    >>> type(here_if_limited(InlineExecutor(), 10)).__name__
    'KeptWorkerExecutor'
    """
    if timeout is None or isinstance(otherwise, WatchdogPool):
        return otherwise
    return KeptWorkerExecutor(timeout=timeout)


def limited_here() -> bool:
    """Whether an ``InlineExecutor`` can hold tasks to a time limit here: in the
    main thread, with no timer signal of the caller's running.

    >>> limited_here()
    True
    """
    return (
        threading.current_thread() is threading.main_thread()
        and hasattr(signal, "setitimer")
        and signal.getsignal(signal.SIGALRM) == signal.SIG_DFL
        and signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    )


def _taker(slots: list[_Slot], task: _Task) -> _Slot | None:
    """The worker to send ``task`` to: an idle one, else one on the last call it
    was sent, for the task to wait in its pipe (so that the worker goes on at
    once rather than after a round trip through this thread), else none."""
    idle = next((s for s in slots if s.ready and not s.calls), None)
    if idle is not None:
        return idle
    # The size of the message the task goes as, or a little more.
    size = sum(len(c.payload) + 16 for c in task) + 32
    return next((s for s in slots if s.ready and len(s.calls) == 1 and s.worker.fits(size)), None)


def _wait(
    watch: selectors.BaseSelector, wake: Connection, conns: list[Connection], timeout: float | None
) -> list[Connection]:
    """Those of ``wake`` and ``conns`` that have something to read, waiting up to
    ``timeout`` seconds; ``watch`` is first brought to watch exactly them (the
    connections of workers gone are dropped, even when already closed)."""
    wanted = {id(c): c for c in conns}
    for key in list(watch.get_map().values()):
        if key.data is not wake and wanted.get(id(key.data)) is not key.data:
            watch.unregister(key.fileobj)
    held = {id(key.data) for key in watch.get_map().values()}
    for c in conns:
        if id(c) not in held:
            watch.register(c.fileno(), selectors.EVENT_READ, c)
    return [key.data for key, _ in watch.select(timeout)]


def _deadline(now: float, call: _Call) -> float:
    return now + call.timeout if call.timeout is not None else float("inf")


def _settle(future: Future[Any], data: bytes) -> None:
    try:
        ok, value = pickle.loads(data)
    except Exception as exc:
        future.set_exception(exc)
        return
    if ok:
        future.set_result(value)
    else:
        future.set_exception(value)


def _retire(s: _Slot, *, kill: bool) -> None:
    """Stop a worker: ask it to leave, or kill it when it may be stuck."""
    if kill:
        s.worker.kill()
    else:
        s.worker.retire()
    for c in s.calls:
        c.fail(ChildProcessError("the worker was stopped before the task finished"))
