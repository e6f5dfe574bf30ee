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
import threading
import warnings
from collections.abc import Callable, Sequence
from operator import itemgetter

from kovel import _native
from kovel._kovel import KTerm
from kovel.batch.cache import TermCache

__all__ = ["compile_error", "compiles_in_pieces", "newly_rejected", "pieces_compile", "top_level_spans"]

#: What a compiler's verdict on a text depends on besides the text.
_COMPILER = f"python-compile\0{sys.version}\0{sys.implementation.cache_tag}"

_LINE_END = re.compile(r"\r\n?|\n")
#: Where a ``global`` declaration binds names of the module itself: outside these.
_SCOPES = frozenset({"function_definition", "class_definition", "lambda"})


def _says_global(text: str) -> bool:
    """Whether ``text`` holds the word ``global`` (as ``\\bglobal\\b`` finds it)."""
    # Each place the plain search finds, told from a longer word by its
    # neighbours: the pattern's own search is slow over a whole file.
    at = text.find("global")
    while at >= 0:
        end = at + 6
        if (at == 0 or not _word_char(text[at - 1])) and (end == len(text) or not _word_char(text[end])):
            return True
        at = text.find("global", end)
    return False


def _word_char(c: str) -> bool:
    return c.isalnum() or c == "_"


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

    >>> compile_error("a.py", "x = (\\n"), compile_error("a.py", "\\ufeff x = 1\\n")
    ("'(' was never closed (line 1)", 'unexpected indent (line 1)')
    """
    why = _compiled(path, text)
    if why == _TOO_DEEP:
        # The compiler's depth counts from its caller's: asked again where a
        # program run alone would be asked, at the bottom of a thread's stack.
        got: list[str | None] = []
        worker = threading.Thread(target=lambda: got.append(_compiled(path, text)))
        worker.start()
        worker.join()
        why = got[0] if got else why
    return why


def _compiled(path: str, text: str) -> str | None:
    with warnings.catch_warnings():  # invalid escapes and the like: not ours to report
        warnings.simplefilter("ignore")
        try:
            # A byte order mark is no character of the source, as CPython reads a file.
            compile(text.removeprefix("\ufeff"), path, "exec", dont_inherit=True)
        except SyntaxError as exc:
            return f"{exc.msg} (line {exc.lineno})"
        except ValueError as exc:  # NUL bytes
            return str(exc)
        except RecursionError:
            return _TOO_DEEP
        except MemoryError:
            return "too large to compile"
    return None


_TOO_DEEP = "nested too deeply to compile"


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
    both = _pair(before, after)
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


def pieces_compile(
    path: str,
    before: str,
    after: str,
    pieces: tuple[KTerm | Callable[[], KTerm], Sequence[tuple[int, int, str]]],
    cache: TermCache | None = None,
) -> bool:
    """Whether the statements of ``before`` that the replacements of ``pieces``
    (as ``newly_rejected`` takes them) touch compile once replaced
    (``compiles_in_pieces``), the verdict kept in ``cache``.

    >>> from kovel.treesitter import parse
    >>> pieces_compile("a.py", "f(1)\\n", "g(1)\\n", (parse("python", "f(1)\\n"), [(0, 1, "g")]))
    True
    """
    both = _pair(before, after)
    return (
        _cached(
            cache,
            _COMPILER + "\0pieces compile",
            both,
            lambda: None if compiles_in_pieces(path, before, after, _made(pieces[0]), pieces[1]) else "no",
        )
        is None
    )


def _pair(before: str, after: str) -> bytes:
    """The texts before and after a rewrite as one key of a verdict on them."""
    return before.encode("utf-8", "surrogatepass") + b"\0" + after.encode("utf-8", "surrogatepass")


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
    """Whether the pieces of ``before`` (parsed as ``term``) that the replacements
    ``replaced`` touch compile on their own once replaced; False also when that
    cannot tell (the caller then compiles the whole text).

    A piece is the innermost function whose body holds a replacement, or else
    the run of top-level statements the replacement touches.  When ``before``
    compiles, that is enough for ``after`` to compile.  A top-level statement
    left alone starts a line at the top level, after a run that compiled
    alone (so ends with its brackets and strings closed and its blocks
    dedented, as at the end of a file), so CPython reads it as it did before.
    A function is a code object of its own: what its body may hold
    (``return``, ``yield``, ``await``, ``break`` in its own loops) depends on
    the function alone, whatever blocks, classes or functions enclose it, so
    it compiles alone (indented under an ``if 1:``, every line a space further
    right, so that no line of it may dedent out of it) as it does in its place;
    but for a ``nonlocal`` declaration, which needs the functions around it,
    so a function that says one is no piece.  What ties statements together
    at compile time is the module's ``global`` declarations and its
    ``__future__`` imports: a piece that says either is compiled whole, and
    so is a text with a ``global`` declaration in the module's own scope; the
    future imports are compiled with each piece.  A piece starts and ends lines.

    >>> from kovel.treesitter import parse
    >>> before = "def f():\\n    print(1)\\n\\nx = 2\\n"
    >>> t = parse("python", before)
    >>> compiles_in_pieces("a.py", before, before.replace("print", "log"), t, [(13, 18, "log")])
    True
    >>> compiles_in_pieces("a.py", before, before.replace("print(1)", "break"), t, [(13, 21, "break")])
    False
    """
    pieces: list[str] = []
    at = 0
    for a, b, text in replaced:
        if a < at or b < a:
            return False
        pieces += [before[at:a], text]
        at = b
    if not replaced or "".join(pieces) + before[at:] != after:
        return False
    outline = _Outline(term)
    tops: list[tuple[int, int]] | None = None
    units: list[tuple[int, int, str]] = []  # (start, end, indentation) in before, in order, merged
    for a, b, _ in replaced:
        unit = outline.function_around(before, a, b)
        if unit is None:
            tops = top_level_spans(term) if tops is None else tops
            if not tops or tops[-1][1] > len(before):
                return False
            unit = _statements_around(before, tops, a, b)
            if unit is None:
                return False
        if units and unit[0] < units[-1][1]:  # they meet: the outer one holds the other
            last = units[-1]
            if unit[0] <= last[0] and last[1] <= unit[1]:
                units[-1] = unit
            elif not (last[0] <= unit[0] and unit[1] <= last[1]):
                return False
        else:
            units.append(unit)
    if outline.futures and units[0][0] < outline.futures_end:
        return False  # what goes before the future imports is not free to change
    chunks = []
    k = delta = 0
    for start, end, indent in units:
        while k < len(replaced) and replaced[k][1] <= start:
            delta += len(replaced[k][2]) - (replaced[k][1] - replaced[k][0])
            k += 1
        grow = 0
        while k < len(replaced) and replaced[k][0] < end:
            grow += len(replaced[k][2]) - (replaced[k][1] - replaced[k][0])
            k += 1
        chunk = after[start + delta : end + delta + grow]
        delta += grow
        if "__future__" in chunk or _says_global(chunk):
            return False
        if indent:
            if "nonlocal" in chunk or chunk.count(":") > _LEVELS or "\t" in chunk or "\f" in chunk:
                return False  # (tabs and form feeds count columns otherwise when shifted)
            # Every line shifted right by a space: a line the replacements dedent out of the
            # function (to where the code after it would read otherwise) then fits no level.
            chunk = "if 1:\n " + _LINE_END.sub(r"\g<0> ", chunk)
        chunks.append(chunk)
    if _says_global(before) and _module_globals(term):
        return False
    return all(compile_error(path, outline.futures + chunk + "\n") is None for chunk in chunks)


def _statements_around(
    before: str, tops: list[tuple[int, int]], a: int, b: int
) -> tuple[int, int, str] | None:
    """The run of top-level statements (``tops``: their spans) that ``[a, b)`` touches,
    when it starts and ends lines."""
    # (Searched in place: a file of thousands of matches would build the lists for each.)
    i = bisect.bisect_right(tops, a, key=itemgetter(0)) - 1  # the statement the replacement starts in
    j = bisect.bisect_left(tops, b, key=itemgetter(1))  # the one it ends in
    if i < 0 or j >= len(tops) or a > tops[i][1] or b < tops[j][0] or j < i:
        return None  # between statements
    start, end = tops[i][0], tops[j][1]
    if start and (before[start - 1] != "\n" or before[:start].rstrip("\r\n").endswith("\\")):
        return None  # (not at a line's start, or on one a backslash joins to the line before)
    if end < len(before) and before[end] != "\n" and before[end : end + 2] != "\r\n":
        return None
    return start, end, ""


#: Functions nested deeper than this (in the term) are not pieces of their own,
#: nor those that may open more blocks than ``_LEVELS``: CPython's limits on
#: nesting (100 indentation levels) count the levels around a function too.
_DEEPEST = 16
_LEVELS = 80


class _Outline:
    """Where a module's function bodies lie (in characters), and its future
    imports: one native walk of the term."""

    def __init__(self, term: KTerm) -> None:
        kinds = ("function_definition", "block", "future_import_statement")
        found = list(_native.find_all(term, kinds, True))
        defs: dict[object, tuple[int, int]] = {  # by path (a path and its slices hash alike)
            p: (s, e) for p, n, s, e in found if _native.tag(n) == "function_definition"
        }
        #: (body start, body end, def start, def end, depth), in document order:
        #: a function's body is the block among its children.
        self.bodies = [
            (s, e, *defs[p[:-1]], len(p))
            for p, n, s, e in found
            if p[:-1] in defs and _native.tag(n) == "block"
        ]
        future = [
            (e, n) for p, n, _, e in found if len(p) == 1 and _native.tag(n) == "future_import_statement"
        ]
        self.futures = "".join(f"{n}\n" for _, n in future)
        self.futures_end = max((e for e, _ in future), default=0)
        self._open: list[tuple[int, int, int, int, int]] = []  # bodies holding the last point asked
        self._next = 0

    def function_around(self, before: str, a: int, b: int) -> tuple[int, int, str] | None:
        """The innermost function whose body holds ``[a, b)``, from the start of its
        line to the end of its last, when it starts and ends lines and is not
        nested too deep.  Asked with ``a`` never decreasing."""
        bodies, opened = self.bodies, self._open
        while self._next < len(bodies) and bodies[self._next][0] <= a:
            opened.append(bodies[self._next])
            self._next += 1
        opened[:] = [x for x in opened if x[1] >= a]
        around = next((x for x in reversed(opened) if x[1] >= b), None)
        if around is None or around[4] > _DEEPEST:
            return None
        _, _, start, end, _ = around
        line = before.rfind("\n", 0, start) + 1
        indent = before[line:start]
        if indent.strip(" \t\f") or before[:line].rstrip("\r\n").endswith("\\"):
            return (
                None  # (a line after a backslash goes on with the one before: its indentation is not its own)
            )
        rest = before.find("\n", end)
        rest = len(before) if rest < 0 else rest
        tail = before[end:rest].strip(" \t\f\r")
        if tail and not tail.startswith("#"):
            return None
        return line, rest, indent
