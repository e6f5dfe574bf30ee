"""Parsing with a time limit, in a worker process that can be killed.

Tree-sitter checks a progress callback between parse steps, and the worker
uses it; but a grammar can loop forever inside its external scanner (Perl on
``t#`` without a final line feed, COBOL on ``a``), where no callback is ever
called and the parse cannot be stopped in-process.  So the parse runs in a
worker process: the worker says when the parse is done, and if that does not
come within the limit the worker is killed.  Converting the tree takes time
linear in its size and is not limited; the term comes back as postcard bytes.

The worker is a fresh interpreter (``python -c``) talking pickles over its
standard streams, not a ``multiprocessing`` child: those re-run the caller's
main module, which a script without an ``if __name__ == "__main__"`` guard
does not survive.  Idle workers are kept for the next call; a killed one is
replaced on demand.  The worker's side is ``kovel.treesitter.worker``.
"""

from __future__ import annotations

import os
import pickle
import queue
import subprocess
import sys
import threading
from typing import IO, Any

from kovel._kovel import KTerm, from_postcard_bytes

__all__ = ["parse_in_worker"]

_idle: list[_Worker] = []
_idle_lock = threading.Lock()


class _Worker:
    def __init__(self) -> None:
        # The worker finds this package and the grammars where the caller does:
        # kovel/treesitter/timeout.py is three levels below the directory holding kovel.
        here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([here, *filter(None, sys.path)])
        self.process = subprocess.Popen(
            [sys.executable, "-c", "from kovel.treesitter.worker import serve; serve()"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            env=env,
        )
        self.replies: queue.SimpleQueue[tuple[Any, ...] | None] = queue.SimpleQueue()
        assert self.process.stdout is not None
        threading.Thread(target=_read, args=(self.process.stdout, self.replies), daemon=True).start()
        # The clock starts once the worker has imported what it needs.
        try:
            self.receive(None)
        except BaseException:
            self.kill()
            raise

    def send(self, request: tuple[Any, ...]) -> None:
        stdin = self.process.stdin
        assert stdin is not None
        pickle.dump(request, stdin, pickle.HIGHEST_PROTOCOL)
        stdin.flush()

    def receive(self, timeout: float | None) -> tuple[Any, ...]:
        """The next reply; ``queue.Empty`` after ``timeout`` seconds."""
        reply = self.replies.get(timeout=timeout)
        if reply is None:
            raise ChildProcessError(f"the tree-sitter worker died (exit code {self.process.wait()})")
        return reply

    def kill(self) -> None:
        self.process.kill()
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            if stream is not None:
                stream.close()


def _read(stream: IO[bytes], replies: queue.SimpleQueue[tuple[Any, ...] | None]) -> None:
    try:
        while True:
            replies.put(pickle.load(stream))
    except Exception:  # end of stream: the worker exited or was killed
        replies.put(None)


def parse_in_worker(
    name: str, data: bytes, verbatim: frozenset[str], code: frozenset[str], timeout: float
) -> KTerm:
    """Parse ``data`` with grammar ``name`` in a worker; ``TimeoutError`` past ``timeout`` seconds.

    >>> str(parse_in_worker("python", b"x = 1\\n", frozenset(), frozenset(), 30.0))
    'x = 1\\n'
    """
    if not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    with _idle_lock:
        worker = _idle.pop() if _idle else None
    if worker is None:
        worker = _Worker()
    healthy = False
    try:
        worker.send((name, data, verbatim, code, timeout))
        # The worker's own check fires at the deadline; past it, with a margin
        # for the reply, the grammar is stuck where nothing checks the clock.
        try:
            reply = worker.receive(timeout + 0.5 + timeout / 10)
        except queue.Empty:
            raise TimeoutError(f"parsing took longer than {timeout:g} s (the grammar did not stop)") from None
        if reply[0] == "parsed":
            reply = worker.receive(None)
        healthy = True
    finally:
        if healthy:
            with _idle_lock:
                _idle.append(worker)
        else:
            worker.kill()
    if reply[0] == "timeout":
        raise TimeoutError(f"parsing took longer than {timeout:g} s")
    if reply[0] == "error":
        raise reply[1]
    return from_postcard_bytes(reply[1])
