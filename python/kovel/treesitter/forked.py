"""Workers forked from the caller instead of started afresh.

A fresh interpreter spends about 0.2 s of CPU before its first call
(starting, importing kovel and a grammar); a fork of a caller that has
already imported them is ready in milliseconds.  Forking is only safe while
the caller runs a single thread (a lock held by another thread would stay
held in the child for good), so ``fork_safe`` says when it may be done;
otherwise ``kovel.treesitter.timeout.Worker`` starts a fresh interpreter.
The child never returns into the caller's code: it serves calls and leaves
with ``os._exit``, so no cleanup of the caller (buffers, ``atexit``) runs twice.
"""

from __future__ import annotations

import gc
import os
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections.abc import Sequence

from kovel import _native
from kovel.treesitter.worker import serve

__all__ = ["ForkedProcess", "fork_safe", "fork_worker"]


def fork_safe() -> bool:
    """Whether this process may fork a worker now: Linux, called from the main
    thread, and no other thread running (Python's or a library's own) but
    kovel's own, which a fork leaves consistent (the one that frees large terms).

    >>> isinstance(fork_safe(), bool)
    True
    """
    if not sys.platform.startswith("linux") or not hasattr(os, "fork"):
        return False
    if threading.current_thread() is not threading.main_thread():
        return False
    own = _native.own_threads()  # before the listing: one that ends meanwhile is still allowed for
    try:
        return len(os.listdir("/proc/self/task")) <= 1 + own
    except OSError:
        return False


class ForkedProcess:
    """The part of ``subprocess.Popen`` a worker's owner uses, for a forked child.

    ``returncode`` is negative when a signal ended the child, as ``Popen`` has it.
    """

    def __init__(self, pid: int) -> None:
        self.pid = pid
        self.returncode: int | None = None

    def poll(self) -> int | None:
        """The exit status, or None while the child runs."""
        if self.returncode is None:
            self._reap(os.WNOHANG)
        return self.returncode

    def wait(self, timeout: float | None = None) -> int:
        """Wait for the child to end; ``subprocess.TimeoutExpired`` after ``timeout`` seconds."""
        if timeout is None:
            while self.returncode is None:
                self._reap(0)
        else:
            deadline = time.monotonic() + timeout
            delay = 0.0005
            while self.poll() is None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise subprocess.TimeoutExpired([f"<worker {self.pid}>"], timeout)
                time.sleep(min(delay, left))
                delay = min(delay * 2, 0.05)
        assert self.returncode is not None
        return self.returncode

    def kill(self) -> None:
        """Send SIGKILL, unless the child was already waited for."""
        if self.returncode is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _reap(self, flags: int) -> None:
        try:
            pid, status = os.waitpid(self.pid, flags)
        except ChildProcessError:
            self.returncode = 0  # reaped elsewhere (SIGCHLD ignored): its status is lost
            return
        if pid == self.pid:
            self.returncode = os.waitstatus_to_exitcode(status)


def fork_worker(stdin: int, stdout: int, close: Sequence[int], preload: Sequence[str]) -> ForkedProcess:
    """Fork a child that serves calls (``kovel.treesitter.worker.serve``) on
    ``stdin`` and ``stdout``, after closing the descriptors in ``close`` (the
    caller's ends of its pipes, and of other workers': a child holding its own
    pipe's write end would never see it end).  Only when ``fork_safe()``.
    """
    _flush()  # what is buffered now would be written again by the child
    pid = os.fork()
    if pid:
        return ForkedProcess(pid)
    code = 1
    # What the child inherits lives as long as it does: its collector need not
    # walk it (which would also copy every page it touches).
    gc.freeze()
    try:
        for fd in close:
            try:
                os.close(fd)
            except OSError:
                pass
        os.dup2(stdin, 0)
        os.dup2(stdout, 1)
        for fd in {stdin, stdout} - {0, 1}:
            os.close(fd)
        # The caller's signal handlers are Python code meant for the caller,
        # and its wake-up descriptor (an event loop's) is the caller's to read.
        signal.set_wakeup_fd(-1)
        for sig in signal.valid_signals():
            if sig != signal.SIGINT and callable(signal.getsignal(sig)):
                signal.signal(sig, signal.SIG_DFL)
        serve(preload)
        code = 0
    except BaseException:  # noqa: B036 - nothing may return into the caller's code
        try:
            traceback.print_exc()
        except BaseException:  # noqa: B036
            pass
    finally:
        _flush()  # what the calls printed (to stderr)
        os._exit(code)


def _flush() -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except Exception:  # a closed or broken stream: nothing to write twice
            pass
