"""The worker process behind ``kovel.treesitter.timeout``: it parses what it is asked to.

Started as ``python -c "from kovel.treesitter.worker import serve; serve()"``,
it reads pickled requests on its standard input and writes pickled replies on
its standard output.  A parse stops itself at its deadline through the
progress callback; a grammar stuck inside its scanner never gets there, and
then the caller kills the worker.
"""

from __future__ import annotations

import os
import pickle
import sys
import time
from typing import Any

from kovel.treesitter.convert import from_tree
from kovel.treesitter.grammars import parser, tree_sitter

__all__ = ["serve"]


def serve() -> None:
    """A worker's loop: answer parse requests on stdin until it closes.

    A request is ``(grammar name, bytes, verbatim, code, seconds)``; the replies
    are ``("ready",)`` once, then for each request ``("parsed",)`` and
    ``("term", postcard bytes)``, or ``("timeout",)``, or ``("error", exception)``.

    >>> import io, pickle, subprocess, sys
    >>> request = pickle.dumps(("python", b"x = 1\\n", frozenset(), frozenset(), 30.0))
    >>> command = "from kovel.treesitter.worker import serve; serve()"
    >>> done = subprocess.run([sys.executable, "-c", command], input=request, capture_output=True)
    >>> replies = io.BytesIO(done.stdout)
    >>> [pickle.load(replies)[0] for _ in range(3)]
    ['ready', 'parsed', 'term']
    """
    tree_sitter()  # imported before "ready": the caller's clock starts after it
    # The replies own the real stdout; anything a grammar prints goes to stderr.
    out = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    requests = sys.stdin.buffer

    def reply(*message: object) -> None:
        pickle.dump(message, out, pickle.HIGHEST_PROTOCOL)
        out.flush()

    reply("ready")
    while True:
        try:
            name, data, verbatim, code, timeout = pickle.load(requests)
        except (EOFError, OSError):
            return
        deadline = time.monotonic() + timeout
        try:
            tree = _parse(parser(name), data, deadline)
            if tree is None:
                reply("timeout")
                continue
            reply("parsed")
            term = from_tree(tree, data, verbatim, code=code)
            reply("term", term.postcard_bytes())
        except Exception as exc:
            try:
                reply("error", exc)
            except Exception:
                reply("error", RuntimeError(f"{type(exc).__name__}: {exc}"))


def _parse(ts_parser: Any, data: bytes, deadline: float) -> Any:
    """The tree, or None when the progress callback stopped the parse at ``deadline``."""
    view = memoryview(data)
    try:
        tree = ts_parser.parse(
            lambda offset, _point: view[offset:],
            progress_callback=lambda _offset, _error: time.monotonic() > deadline,
        )
    except ValueError:  # py-tree-sitter's word for a cancelled parse
        return None
    return tree
