"""Time limits: the parse deadline, and worker processes that can be killed.

Tree-sitter checks a progress callback between parse steps (``parse_until``
uses it); but a grammar can loop forever inside its external scanner (Perl on
``t#`` without a final line feed, COBOL on ``a``), where no callback is ever
called and the parse cannot be stopped in-process.  So work with a time limit
runs in a worker process, which is killed when it overruns: ``run_limited``
runs one call in a worker kept for the next one, and the batch layer's
``WatchdogPool`` keeps several ``Worker`` processes busy.  Both use this one
kind of worker.

A worker is a fresh interpreter (``python -c``) reading pickled calls from
its standard input and writing pickled replies to its standard output, in
``multiprocessing.connection`` frames; not a ``multiprocessing`` child: those
re-run the caller's main module, which a script without an ``if __name__ ==
"__main__"`` guard does not survive.  So a call's function must live in an
importable module, never in the main script.  The worker's side is
``kovel.treesitter.worker``.
"""

from __future__ import annotations

import array
import atexit
import contextlib
import fcntl
import hashlib
import io
import os
import pickle
import subprocess
import sys
import termios
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from multiprocessing.connection import Connection
from typing import TYPE_CHECKING, Any, ParamSpec, TypeVar

from kovel.treesitter.forked import ForkedProcess, fork_safe, fork_worker

if TYPE_CHECKING:
    from tree_sitter import Parser, Tree

__all__ = ["Overrun", "SharedTuple", "Worker", "died", "dumps_call", "parse_until", "run_limited"]

P = ParamSpec("P")
T = TypeVar("T")

_SERVE = "import sys; from kovel.treesitter.worker import serve; serve(sys.argv[1:])"


def parse_until(parser: Parser, data: bytes, timeout: float | None) -> Tree:
    """Parse ``data``; ``TimeoutError`` after ``timeout`` seconds (None: no limit).

    The parser checks the clock as it goes; a grammar stuck inside its own
    scanner never does, which is why limited work runs in a ``Worker``.

    >>> from kovel.treesitter.grammars import parser
    >>> parse_until(parser("python"), b"x = 1\\n", 30).root_node.type
    'module'
    """
    if timeout is None:
        return parser.parse(data)
    deadline = time.monotonic() + timeout
    chunk = 1 << 16

    def read(offset: int, _point: object) -> bytes:
        return data[offset : offset + chunk]

    def progress(_offset: int, _has_error: bool) -> bool:
        return time.monotonic() > deadline

    try:
        return parser.parse(read, progress_callback=progress)
    except ValueError:  # py-tree-sitter's word for a cancelled parse
        parser.reset()
        if time.monotonic() > deadline:
            raise TimeoutError(f"parsing took longer than {timeout:g} s") from None
        raise


class Overrun(TimeoutError):
    """A worker gave no result within its time limit and was killed."""


class Worker:
    """One worker process: send it calls, read its replies, kill it when it overruns.

    It starts at once; its first reply, ``b"ready"``, says it has imported
    what it needs, and the modules named in ``preload`` (so that its start-up
    counts against no call).  A reply is
    a pickled ``(True, result)`` or ``(False, exception)``.  With ``fork``,
    and when ``kovel.treesitter.forked.fork_safe()``, the worker is a fork of
    this process rather than a fresh interpreter, ready at once.

    >>> w = Worker()
    >>> w.replies.recv_bytes()
    b'ready'
    >>> w.send(pow, 2, 10)
    >>> pickle.loads(w.replies.recv_bytes())
    (True, 1024)
    >>> w.retire()
    """

    calls: Connection
    #: Where the replies come; readable at end of file too, when the worker died.
    replies: Connection
    process: subprocess.Popen[bytes] | ForkedProcess

    def __init__(self, preload: Sequence[str] = (), *, fork: bool = False) -> None:
        calls_r, calls_w = os.pipe()
        replies_r, replies_w = os.pipe()
        try:
            process: ForkedProcess | None = None
            if fork and fork_safe():
                theirs = [c.fileno() for w in _live for c in (w.calls, w.replies) if not c.closed]
                # A fork refused (no memory to copy a large caller, say) starts one afresh.
                with contextlib.suppress(OSError):
                    process = fork_worker(calls_r, replies_w, [calls_w, replies_r, *theirs], preload)
            self.process = process or self._spawn(calls_r, replies_w, preload)
        except BaseException:
            for fd in (calls_w, replies_r):
                os.close(fd)
            raise
        finally:
            os.close(calls_r)
            os.close(replies_w)
        _live.add(self)
        self.calls = Connection(calls_w, readable=False)
        self.replies = Connection(replies_r, writable=False)
        self._room = _pipe_room(calls_w)

    @staticmethod
    def _spawn(calls_r: int, replies_w: int, preload: Sequence[str]) -> subprocess.Popen[bytes]:
        # The worker finds this package and the grammars where the caller does:
        # kovel/treesitter/timeout.py is three levels below the directory holding kovel.
        here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([here, *filter(None, sys.path)])
        return subprocess.Popen(
            # -P: `-c` would put the working directory first on the path, and a
            # checkout being searched could then shadow a module the worker imports.
            [sys.executable, "-P", "-c", _SERVE, *preload],
            stdin=calls_r,
            stdout=replies_w,
            env=env,
        )

    def send(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> None:
        """Ask for ``fn(*args, **kwargs)``; ``TypeError`` if the call does not pickle."""
        self.send_bytes(dumps_call(fn, args, kwargs))

    def send_bytes(self, payload: bytes) -> None:
        """Send a call made by ``dumps_call``; ``OSError`` if the worker is gone."""
        self.calls.send_bytes(payload)

    def fits(self, size: int) -> bool:
        """Whether a call of ``size`` bytes would wait in the worker's pipe rather
        than block the sender: the pipe's room less what it holds unread.  A pool
        queues the next call there while the worker runs one, so that the worker
        never waits for the pool between calls.  False where the room is unknown.

        >>> w = Worker()
        >>> w.fits(1000), w.fits(1 << 30)
        (True, False)
        >>> w.retire()
        """
        if self._room == 0 or self.calls.closed:
            return False
        unread = array.array("i", [0])
        try:
            fcntl.ioctl(self.calls.fileno(), termios.FIONREAD, unread)
        except OSError:
            return False
        # A frame is the bytes and a header of 4 bytes (12 past 2 GiB).
        return unread[0] + size + 12 <= self._room

    def exit_code(self) -> int | None:
        """The worker's exit status, waiting for it if it is exiting (negative: killed by that signal)."""
        try:
            return self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            return None

    def kill(self) -> None:
        """Kill the worker at once (it may be stuck in a grammar) and close its pipes."""
        self.process.kill()
        self.process.wait()
        self._close()

    def retire(self) -> None:
        """Ask the worker to leave; kill it if it does not within 5 seconds."""
        try:
            self.calls.send_bytes(b"")
        except OSError:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:  # pragma: no cover - a worker busy in a call
            self.process.kill()
            self.process.wait()
        self._close()

    def _close(self) -> None:
        for conn in (self.calls, self.replies):
            if not conn.closed:
                conn.close()


# Room asked for in a worker's call pipe: a few tasks' worth (Linux gives
# 64 KiB unless asked, a single page to a user over its pipe quota).
_PIPE_ROOM = 1 << 18


def _pipe_room(fd: int) -> int:
    """The bytes the pipe ``fd`` holds before a write blocks, enlarged where the
    system lets it; 0 where it cannot be known."""
    if not hasattr(fcntl, "F_GETPIPE_SZ"):
        return 0
    with contextlib.suppress(OSError):
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, _PIPE_ROOM)
    try:
        return int(fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ))
    except OSError:
        return 0


# Every worker still running: a worker stuck in a grammar would outlive its
# parent, which it only leaves when its calls' pipe closes.
_live: weakref.WeakSet[Worker] = weakref.WeakSet()


@atexit.register
def _kill_live() -> None:
    for worker in list(_live):
        if worker.process.poll() is None:
            worker.process.kill()


class _NoMain(pickle.Pickler):
    """A pickler that refuses what the worker could not load: objects of the main script."""

    def persistent_id(self, obj: Any) -> None:
        # A function, a class, or an instance (through its class).
        if getattr(obj, "__module__", None) == "__main__":
            name = getattr(obj, "__qualname__", type(obj).__qualname__)
            raise TypeError(
                f"{name} is defined in the main script, which worker processes do not run; "
                "define it in a module"
            )
        return None


def _dumps(value: object) -> bytes:
    out = io.BytesIO()
    try:
        _NoMain(out, pickle.HIGHEST_PROTOCOL).dump(value)
    except TypeError:
        raise
    except Exception as exc:
        raise TypeError(f"the call cannot be sent to a worker process: {exc}") from exc
    return out.getvalue()


class SharedTuple(tuple[T, ...]):
    """A tuple that many calls send to workers: pickled once here, loaded once per worker.

    A batch run sends the same rules with every file; pickling them for each
    call (and loading them again in the worker) cost more than some files'
    whole search.  This tuple pickles as its bytes, made once, and a worker
    keeps what it loaded under their digest.  In the calling process it is
    the tuple it holds.

    >>> rules = SharedTuple(["a", "b"])
    >>> pickle.loads(pickle.dumps(rules)) == ("a", "b"), rules[1]
    (True, 'b')
    """

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, ...]:
        with _shared_lock:
            found = _sent.get(id(self))
        if found is None or found[0] is not self:
            data = _dumps(tuple(self))
            found = (self, hashlib.blake2b(data, digest_size=16).digest(), data)
            with _shared_lock:
                _sent[id(self)] = found
                while len(_sent) > _SHARED_KEPT:
                    del _sent[next(iter(_sent))]
        return (_load_shared, (found[1], found[2]))


# Kept per process, a few at a time: in the caller the bytes of the tuples
# sent (by identity, holding the tuple so the identity stays its own), in a
# worker the tuples loaded (by the digest of their bytes).
_SHARED_KEPT = 8
_sent: dict[int, tuple[SharedTuple[Any], bytes, bytes]] = {}
_loaded: dict[bytes, SharedTuple[Any]] = {}
_shared_lock = threading.Lock()


def _load_shared(key: bytes, data: bytes) -> SharedTuple[Any]:
    with _shared_lock:
        found = _loaded.get(key)
    if found is None:
        found = SharedTuple(pickle.loads(data))
        with _shared_lock:
            _loaded[key] = found
            while len(_loaded) > _SHARED_KEPT:
                del _loaded[next(iter(_loaded))]
    return found


def died(code: int | None) -> str:
    """What a worker's end with exit status ``code`` says (negative: the signal
    that ended it): most often the file took more memory than there was.

    >>> died(-6), died(3)
    ('the worker process died (exit code -6: aborted, most often out of memory)', 'the worker process died (exit code 3)')
    """
    why = _SIGNALS.get(-code) if code is not None and code < 0 else None
    return f"the worker process died (exit code {code}{': ' + why if why else ''})"


_SIGNALS = {
    6: "aborted, most often out of memory",
    9: "killed, as the system's out-of-memory killer does",
    11: "a segmentation fault",
    7: "a bus error",
}


def dumps_call(fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]) -> bytes:
    """The bytes a worker reads as the call ``fn(*args, **kwargs)``.

    ``TypeError`` when it does not pickle, or needs the main script.

    >>> pickle.loads(dumps_call(pow, (2, 3), {}))
    (<built-in function pow>, (2, 3), {})
    """
    return _dumps((fn, args, kwargs))


_idle: list[Worker] = []
_idle_lock = threading.Lock()


def _ready_worker() -> Worker:
    with _idle_lock:
        if _idle:
            return _idle.pop()
    worker = Worker(fork=True)  # a fork of this process when it may: ready at once
    try:
        if worker.replies.recv_bytes() != b"ready":
            raise ChildProcessError("the worker process did not start")
    except EOFError:
        worker.kill()
        raise ChildProcessError(
            f"the worker process did not start (exit code {worker.exit_code()})"
        ) from None
    except BaseException:
        worker.kill()
        raise
    return worker


_LONGEST_WAIT = (2**31 - 1) / 1000


def run_limited(limit: float, fn: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> T:
    """``fn(*args, **kwargs)`` in a worker process, killed after ``limit`` seconds.

    Raises what the call raised; ``Overrun`` past the limit (the worker
    is then killed and a new one starts with the next call);
    ``ChildProcessError`` if the worker died.  ``fn`` and its arguments must
    pickle, and not come from the main script.

    >>> run_limited(30, pow, 2, 10)
    1024
    """
    if not limit > 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {limit!r}")
    payload = dumps_call(fn, args, kwargs)
    worker = _ready_worker()
    healthy = False
    try:
        worker.send_bytes(payload)
        # (A wait past what poll counts, some 24 days in milliseconds, is no limit.)
        if not worker.replies.poll(limit if limit < _LONGEST_WAIT else None):
            raise Overrun(f"no result after {limit:g} s; worker killed")
        try:
            ok, value = pickle.loads(worker.replies.recv_bytes())
        except EOFError:
            raise ChildProcessError(died(worker.exit_code())) from None
        healthy = True
    finally:
        if healthy:
            with _idle_lock:
                _idle.append(worker)
        else:
            worker.kill()
    if not ok:
        raise value
    return value  # type: ignore[no-any-return]
