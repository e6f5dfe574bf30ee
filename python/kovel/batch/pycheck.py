"""Python's own verdict on a rewritten file: does CPython still compile it?

tree-sitter lets through what CPython rejects (a dedent to no outer level,
``return`` outside a function, ``break`` outside a loop), so a rewritten
Python file that compiled before must compile after.  Compiling a whole file
costs as much as parsing it again; a rewrite usually changes a few of its
top-level statements, and those are all that need compiling (see
``compiles_in_pieces`` for when that holds).
"""

from __future__ import annotations

import bisect
import re
import sys
import warnings
from collections.abc import Callable, Sequence

from kovel import _native
from kovel._kovel import KTerm
from kovel.batch.cache import TermCache

__all__ = ["compile_error", "compiles_in_pieces", "newly_rejected", "top_level_spans"]

#: What a compiler's verdict on a text depends on besides the text.
_COMPILER = f"python-compile\0{sys.version}\0{sys.implementation.cache_tag}"

_GLOBAL = re.compile(r"\bglobal\b")
#: Where a ``global`` declaration binds names of the module itself: outside these.
_SCOPES = frozenset({"function_definition", "class_definition", "lambda"})


def _says_global(text: str) -> bool:
    # The plain search first: the pattern's is slow on a whole file.
    return "global" in text and _GLOBAL.search(text) is not None


def _module_globals(term: KTerm) -> bool:
    """Whether a ``global`` declaration of ``term`` lies in the module's own scope."""
    for path, _ in _native.find_all(term, ("global_statement",), False):
        node = term
        for step in path[:-1]:
            node = _native.children(node)[step]
            if _native.tag(node) in _SCOPES:
                break
        else:
            return True
    return False


def compile_error(path: str, text: str) -> str | None:
    """Why CPython does not compile ``text`` (with the line), or None when it does.

    >>> compile_error("a.py", "x = (\\n")
    "'(' was never closed (line 1)"
    """
    with warnings.catch_warnings():  # invalid escapes and the like: not ours to report
        warnings.simplefilter("ignore")
        try:
            compile(text, path, "exec", dont_inherit=True)
        except SyntaxError as exc:
            return f"{exc.msg} (line {exc.lineno})"
        except ValueError as exc:  # NUL bytes
            return str(exc)
        except RecursionError:
            return "nested too deeply to compile"
        except MemoryError:
            return "too large to compile"
    return None


def newly_rejected(
    path: str,
    before: str,
    after: str,
    cache: TermCache | None = None,
    pieces: tuple[KTerm | Callable[[], KTerm], Sequence[tuple[int, int, str]]] | None = None,
) -> str | None:
    """Why Python rejects ``after`` when it compiled ``before``, or None.

    ``pieces`` is the term of ``before`` (or a function that makes it, called
    only when the verdict is not known) and the replacements that made
    ``after`` of it, ``(start, end, new text)`` in its characters: when the
    statements they touch compile (``compiles_in_pieces``), nothing else is
    compiled.  Otherwise the rewritten text is compiled first: it nearly
    always compiles, and then the original need not be.  ``cache`` keeps the
    verdicts.

    >>> newly_rejected("a.py", "if x:\\n    y\\n", "if x:\\n    y\\n  z\\n")
    'unindent does not match any outer indentation level (line 3)'
    """
    if pieces is None:
        return _newly_rejected(path, before, after, cache)
    both = before.encode("utf-8", "surrogatepass") + b"\0" + after.encode("utf-8", "surrogatepass")
    # The verdict on the pair, however it was reached.
    return _cached(
        cache,
        _COMPILER + "\0pieces",
        both,
        lambda: (
            None
            if compiles_in_pieces(path, before, after, _made(pieces[0]), pieces[1])
            else _newly_rejected(path, before, after)
        ),
    )


def _made(term: KTerm | Callable[[], KTerm]) -> KTerm:
    return term if isinstance(term, KTerm) else term()


def _newly_rejected(path: str, before: str, after: str, cache: TermCache | None = None) -> str | None:
    why = _compile_verdict(path, after, cache)
    if why is None or _compile_verdict(path, before, cache) is not None:
        return None
    return why


def _compile_verdict(path: str, text: str, cache: TermCache | None) -> str | None:
    """``compile_error``, taken from ``cache`` when it holds the verdict, and put there when not."""
    return _cached(cache, _COMPILER, text.encode("utf-8", "surrogatepass"), lambda: compile_error(path, text))


def _cached(cache: TermCache | None, check: str, data: bytes, work: Callable[[], str | None]) -> str | None:
    """``work()``, a verdict on ``data`` (None: nothing wrong), kept in ``cache`` under ``check``."""
    if cache is None:
        return work()
    key = cache.verdict_key(check, data)
    known = cache.get_verdict(key)
    if known is not None:
        return known or None
    why = work()
    cache.put_verdict(key, why or "")
    return why


def top_level_spans(term: KTerm) -> list[tuple[int, int]] | None:
    """Where each child of ``term`` (a module) lies in its text, in characters;
    None when the module's own layout pushes an indentation (then lines do
    not start where its commands say).

    >>> from kovel.treesitter import parse
    >>> top_level_spans(parse("python", "x = 1\\n\\ndef f():\\n    pass\\n"))
    [(0, 5), (7, 24)]
    """
    kids = _native.children(term)
    spans: list[tuple[int, int]] = []
    at = 0
    for op, text in _native.commands(term):
        if op == "hole":
            if len(spans) == len(kids):
                return None
            n = _native.rendered_length(kids[len(spans)])
            spans.append((at, at + n))
            at += n
        elif op == "write":
            at += len(text)
        elif op == "nl":
            at += 1
        else:
            return None
    return spans if len(spans) == len(kids) else None


def compiles_in_pieces(
    path: str, before: str, after: str, term: KTerm, replaced: Sequence[tuple[int, int, str]]
) -> bool:
    """Whether the top-level statements of ``before`` (parsed as ``term``) that the
    replacements ``replaced`` touch compile on their own once replaced, each
    run of them alone; False also when that cannot tell (the caller then
    compiles the whole text).

    When ``before`` compiles, that is enough for ``after`` to compile: each
    statement left alone starts a line at the top level, after a run that
    compiled alone (so ends with its brackets and strings closed and its
    blocks dedented, as at the end of a file), so CPython reads it as it did
    before.  What ties statements together at compile time is the
    module's ``global`` declarations and its ``__future__`` imports: a run
    that says either is compiled whole, and so is a text with a ``global``
    declaration in the module's own scope; the future imports left alone
    are compiled with each run.  A run must start and end lines.

    >>> from kovel.treesitter import parse
    >>> before = "def f():\\n    print(1)\\n\\nx = 2\\n"
    >>> t = parse("python", before)
    >>> compiles_in_pieces("a.py", before, before.replace("print", "log"), t, [(13, 18, "log")])
    True
    >>> compiles_in_pieces("a.py", before, before.replace("print(1)", "break"), t, [(13, 21, "break")])
    False
    """
    spans = top_level_spans(term)
    if spans is None or not spans or spans[-1][1] > len(before):
        return False
    starts = [s for s, _ in spans]
    ends = [e for _, e in spans]
    runs: list[list[int]] = []  # [first statement, last statement, delta before, delta within]
    pieces: list[str] = []
    at = delta = 0
    for a, b, text in replaced:
        if a < at or b < a:
            return False
        pieces += [before[at:a], text]
        at = b
        i = bisect.bisect_right(starts, a) - 1  # the statement the replacement starts in
        j = bisect.bisect_left(ends, b)  # the one it ends in
        if i < 0 or j >= len(spans) or a > spans[i][1] or b < spans[j][0] or j < i:
            return False  # between statements
        grow = len(text) - (b - a)
        if runs and i <= runs[-1][1]:
            runs[-1][1] = max(runs[-1][1], j)
            runs[-1][3] += grow
        else:
            runs.append([i, j, delta, grow])
        delta += grow
    if "".join(pieces) + before[at:] != after:
        return False
    chunks = []
    for i, j, shift, grow in runs:
        start, end = spans[i][0], spans[j][1]
        if start and before[start - 1] != "\n":
            return False
        if end < len(before) and before[end] != "\n" and before[end : end + 2] != "\r\n":
            return False
        chunk = after[start + shift : end + shift + grow]
        if "__future__" in chunk or _says_global(chunk):
            return False
        chunks.append(chunk)
    if _says_global(before) and _module_globals(term):
        return False
    kids = _native.children(term)
    future = [k for k in range(len(kids)) if _native.tag(kids[k]) == "future_import_statement"]
    if future and runs[0][0] < future[-1]:
        return False  # what goes before the future imports is not free to change
    futures = "".join(f"{kids[k]}\n" for k in future)
    return all(compile_error(path, futures + chunk + "\n") is None for chunk in chunks)
