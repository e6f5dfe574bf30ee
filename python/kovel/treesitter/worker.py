"""The worker process of ``kovel.treesitter.timeout``: it runs the calls it is sent.

Started as ``python -c "from kovel.treesitter.worker import serve; serve()"``,
it reads calls on its standard input and writes replies on its standard
output (``multiprocessing.connection`` frames of pickles).  Whatever the
calls print goes to standard error, so that it cannot corrupt the replies.
"""

from __future__ import annotations

import importlib
import os
import pickle
import signal
from collections.abc import Sequence
from multiprocessing.connection import Connection
from typing import Any

from kovel import _native
from kovel.treesitter.grammars import tree_sitter

__all__ = ["serve"]


def serve(preload: Sequence[str] = ()) -> None:
    """A worker's loop: run each call that comes on stdin, until an empty frame or the end.

    The modules named in ``preload`` are imported first, before the worker
    says it is ready, so that the first call does not pay for them.

    A call is a pickled ``(function, args, kwargs)``, and a pickled list of
    such pickles is several calls, run in turn; the replies are ``b"ready"``
    once, then for each call a pickled ``(True, result)`` or ``(False, exception)``.

    >>> import subprocess, sys
    >>> from multiprocessing.connection import Connection
    >>> from kovel.treesitter.timeout import dumps_call
    >>> calls_r, calls_w = os.pipe()
    >>> replies_r, replies_w = os.pipe()
    >>> command = "from kovel.treesitter.worker import serve; serve()"
    >>> p = subprocess.Popen([sys.executable, "-c", command], stdin=calls_r, stdout=replies_w)
    >>> os.close(calls_r); os.close(replies_w)
    >>> calls, replies = Connection(calls_w, readable=False), Connection(replies_r, writable=False)
    >>> calls.send_bytes(dumps_call(divmod, (7, 2), {})); calls.send_bytes(b"")
    >>> replies.recv_bytes(), pickle.loads(replies.recv_bytes()), p.wait()
    (b'ready', (True, (3, 1)), 0)
    >>> calls.close(); replies.close()
    """
    # Ctrl-C goes to the whole process group; the parent decides what it means.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Its siblings keep the other cores busy: a term's nodes are freed here, not
    # on a thread that would take turns with this one.
    _native.background_free(False)
    try:
        tree_sitter()  # imported before "ready": the caller's clock starts after it
    except ImportError:
        pass
    for name in preload:
        try:
            importlib.import_module(name)
        except ImportError:  # the call that needs it reports it
            pass
    calls = Connection(os.dup(0), writable=False)
    replies = Connection(os.dup(1), readable=False)
    # The replies own the real stdout; a call that prints writes to stderr,
    # and one that reads stdin reads nothing.
    os.dup2(2, 1)
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    os.close(devnull)
    replies.send_bytes(b"ready")
    while True:
        try:
            data = calls.recv_bytes()
        except (EOFError, OSError):
            return  # the parent is gone
        if not data:
            return
        try:
            message = pickle.loads(data)
        except BaseException as exc:  # noqa: B036 - every failure goes back to the caller
            replies.send_bytes(_reply((False, exc)))
            continue
        # A list holds several calls' pickles, answered one by one as each ends.
        for call in message if isinstance(message, list) else [message]:
            try:
                fn, args, kwargs = pickle.loads(call) if isinstance(call, bytes) else call
                reply: tuple[bool, Any] = (True, fn(*args, **kwargs))
            except BaseException as exc:  # noqa: B036 - every failure goes back to the caller
                reply = (False, exc)
            replies.send_bytes(_reply(reply))


def _reply(reply: tuple[bool, Any]) -> bytes:
    try:
        return pickle.dumps(reply, pickle.HIGHEST_PROTOCOL)
    except Exception as exc:
        failure = RuntimeError(f"the result could not be sent back: {type(exc).__name__}: {exc}")
        return pickle.dumps((False, failure), pickle.HIGHEST_PROTOCOL)
