"""Find and rewrite across many files, in parallel: the batch API behind the ``kovel`` command.

Each file is one task: a worker reads it, parses it, converts the tree into a
term and runs the pattern on it.  Tasks cross processes as paths (and the
pattern and the rewrite, which pickle); results come back as plain values,
with a rewritten file as the postcard bytes of its term, never as text to
parse again.  Any ``concurrent.futures.Executor`` that pickles its work runs
the tasks unchanged: the default ``WatchdogPool``, a ``ProcessPoolExecutor``,
or a Dask cluster's (``distributed.Client.get_executor()``).  Nothing here
writes files; the command does that (``kovel._safewrite``), in one process.
"""

from __future__ import annotations

import bisect
import codecs
import functools
import hashlib
import importlib
import io
import os
import pickle
import time
import tokenize
import warnings
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Protocol, TypeAlias, TypeVar

from kovel import _native
from kovel._files import Listed, list_files
from kovel._kovel import KTerm, from_postcard_bytes
from kovel._workers import InlineExecutor, WatchdogPool
from kovel.quasi.fill import Template, template
from kovel.quasi.match import Match, Pattern, pattern, replacements, source_bindings
from kovel.quasi.parse import is_hole, parse_quasi
from kovel.treesitter.convert import from_tree
from kovel.treesitter.grammars import parser

if TYPE_CHECKING:
    from tree_sitter import Node, Parser, Tree

__all__ = [
    "DEFAULT_TIMEOUT",
    "TIMEOUT_PER_MB",
    "Change",
    "FileMatch",
    "FoundFile",
    "PatternLike",
    "RewrittenFile",
    "Span",
    "Timeout",
    "apply_changes",
    "default_timeout",
    "find_files",
    "find_source",
    "rewrite_files",
    "rewrite_source",
]

#: Seconds a small file may take (read, parse, match, rewrite) before it is
#: given up; ``default_timeout`` adds ``TIMEOUT_PER_MB`` for each megabyte.
DEFAULT_TIMEOUT = 10.0
#: Seconds more per megabyte (10**6 bytes) of a file.  The limit is there for
#: grammars that hang, not to cut honest work short, so it is generous: a
#: 5 MB minified file parses in about 2 s and is searched in about 6.
TIMEOUT_PER_MB = 5.0

#: A time limit per file: seconds, None for none, or a function of the file's size in bytes.
Timeout: TypeAlias = float | None | Callable[[int], float]

#: How an error that a time limit caused starts.
TIMED_OUT = "timed out"


def default_timeout(size: int) -> float:
    """The seconds a file of ``size`` bytes may take when no limit is given:
    ``DEFAULT_TIMEOUT`` plus ``TIMEOUT_PER_MB`` per megabyte, to a tenth of a second.

    >>> default_timeout(1_000), default_timeout(4_900_000)
    (10.0, 34.5)
    """
    return round(DEFAULT_TIMEOUT + TIMEOUT_PER_MB * size / 1e6, 1)


def _limit(timeout: Timeout, path: str) -> float | None:
    """The time limit for the file at ``path``."""
    if timeout is None or not callable(timeout):
        return timeout
    try:
        size = os.stat(path).st_size
    except OSError:
        size = 0  # the worker reports why it cannot be read
    return timeout(size)


class _MatchLike(Protocol):
    @property
    def span(self) -> tuple[int, int]: ...
    @property
    def bindings(self) -> Mapping[str, KTerm | Sequence[KTerm]]: ...


class PatternLike(Protocol):
    """What the batch functions need of a pattern (``kovel.quasi.Pattern`` has it)."""

    def find_all(self, t: KTerm, /) -> Iterable[_MatchLike]: ...
    def rewrite(self, t: KTerm, replacement: Any, /) -> KTerm: ...


@dataclass(frozen=True, slots=True)
class Span:
    """A piece of a file: bytes ``[start, end)``, the same positions as
    1-based lines and columns (in characters, the end exclusive), and its text.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("print(x, 2)\\n")
    >>> (found,) = find_files([f], "print($$$A)")
    >>> [(b.text, b.start, b.end, b.column) for b in found.matches[0].binding_ranges["A"]]
    [('x', 6, 7, 7), ('2', 9, 10, 10)]
    """

    start: int
    end: int
    line: int
    column: int
    end_line: int
    end_column: int
    text: str


@dataclass(frozen=True, slots=True)
class FileMatch:
    """One match in a file.

    ``start``/``end`` are byte offsets into the file; ``line``/``column``
    and ``end_line``/``end_column`` the same positions as 1-based lines and
    1-based columns counted in characters (code points), the end exclusive.
    ``line_text`` is the whole line the match starts on (the same string for
    every match on that line); ``bindings`` holds the text of each
    metavariable's binding (a list for ``$$$NAME``), and ``binding_ranges``
    where each binding lies in the file (a list of one ``Span`` per node for
    ``$$$NAME``; None for a binding that is not a piece of the file, which
    only a pattern object other than ``kovel.quasi.Pattern`` can make).
    """

    start: int
    end: int
    line: int
    column: int
    end_line: int
    end_column: int
    text: str
    line_text: str
    bindings: dict[str, str | list[str]]
    binding_ranges: dict[str, Span | list[Span] | None] = field(default_factory=dict)

    @property
    def last_line(self) -> int:
        """The last line the match covers: ``end_line``, unless the match ends right after a line break."""
        return self.end_line - 1 if self.end_column == 1 and self.end_line > self.line else self.end_line


@dataclass(frozen=True, slots=True)
class FoundFile:
    """The matches in one file, or why it could not be searched (``error``).

    ``skipped`` tells a file passed over as not text in its encoding (not
    UTF-8, or for Python not what its coding declaration names) from one
    that failed: the ``kovel`` command takes it as an error only for a file
    named on its command line.

    ``lines`` maps line numbers to the text of each line that a match
    covers, and of the lines around them that ``find_files``'s ``context``
    asks for (without line breaks; a CRLF line keeps its CR).  Each line is
    held once, however many matches it has.
    """

    path: str
    lang: str | None
    matches: tuple[FileMatch, ...] = ()
    error: str | None = None
    skipped: bool = False
    lines: dict[int, str] = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class Change:
    """One replaced match of a rewrite: where it was (as a ``Span``, whose
    ``text`` is the old text) and the ``new`` text that takes its place.
    Applying any subset of a file's changes (``apply_changes``) leaves the
    text outside them as it was.
    """

    old: Span
    new: str


@dataclass(frozen=True, slots=True)
class RewrittenFile:
    """The outcome of rewriting one file.

    ``digest`` is the SHA-256 of the bytes that were read (so a writer can
    tell whether the file changed since); ``term`` the postcard bytes of the
    rewritten file's term, or None when nothing changed or the file was left
    alone, in which case ``error`` says why.  ``errors_before`` and
    ``errors_after`` count the syntax errors (error and missing nodes) of
    the file and of its rewritten text.  ``changes`` are the replaced
    matches, in order, each with its place in the file and its new text.  ``compile_error`` is, for a Python
    file that compiled before the rewrite, why Python rejects the rewritten
    text when tree-sitter finds no more errors in it than in the original
    (tree-sitter does not see every error: indentation errors, for one).
    ``skipped`` is as for ``FoundFile``.  ``encoding`` is the codec that
    turns the text back into the file's bytes: UTF-8, or for a Python file
    the one its coding declaration names (PEP 263).
    """

    path: str
    lang: str | None
    digest: str = ""
    term: bytes | None = None
    error: str | None = None
    errors_before: int = 0
    errors_after: int = 0
    compile_error: str | None = None
    skipped: bool = False
    encoding: str = "utf-8"
    changes: tuple[Change, ...] = ()

    @property
    def changed(self) -> bool:
        """Whether the rewrite changed the file's text."""
        return self.term is not None

    @property
    def worse(self) -> bool:
        """Whether the rewritten text has more syntax errors than the original, or no longer compiles."""
        return self.errors_after > self.errors_before or self.compile_error is not None

    def text(self) -> str:
        """The rewritten text (rendered from ``term``)."""
        if self.term is None:
            raise ValueError(f"{self.path}: the rewrite changed nothing")
        return str(from_postcard_bytes(self.term))


def find_files(
    paths: Iterable[str | os.PathLike[str]],
    pattern: str | PatternLike,
    *,
    lang: str | None = None,
    executor: Executor | None = None,
    timeout: Timeout = default_timeout,
    follow: bool = False,
    context: int | tuple[int, int] = 0,
) -> Iterator[FoundFile]:
    """Search files for ``pattern``; yield one ``FoundFile`` per file, in the order listed.

    ``paths`` are files and directories (walked as ``kovel`` does: hidden
    names, git-ignored files and symbolic links skipped, the links followed
    with ``follow``).  ``pattern`` is pattern code, compiled
    with ``kovel.quasi.pattern`` for each file's language, or a pattern object
    (which must pickle to reach other processes: one that does not is a
    ``TypeError`` at the call).  ``lang`` names the language of every file;
    without it the file extension decides.  ``executor`` runs the work
    (default: a ``WatchdogPool`` with one process per CPU, killing a worker
    whose file takes longer than its limit).  ``timeout`` is that limit, in
    seconds, for all the work on one file: a number, None for none, or a
    function of the file's size in bytes (default ``default_timeout``: 10 s
    and 5 s per MB); other executors only stop a parse that overruns it.
    ``context`` is the number of lines around each match (or a pair: lines
    before, lines after) whose text ``FoundFile.lines`` keeps besides the
    lines of the matches.
    Whatever goes wrong with one file is that file's ``error``; the other
    files are still searched.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("x = 1\\nprint(x, 2)\\n")
    >>> [(m.line, m.column, m.bindings) for r in find_files([f], "print($$$A)") for m in r.matches]
    [(2, 1, {'A': ['x', '2']})]
    """
    _check_pickles(executor, pattern=pattern)
    around = (context, context) if isinstance(context, int) else context
    if min(around) < 0:
        raise ValueError(f"context must not be negative: {context}")
    listed = list_files(paths, lang, follow=follow)
    return _run(
        listed,
        executor,
        timeout,
        FoundFile,
        lambda i, limit: (_find_task, i.path, i.lang, pattern, limit, None, around),
    )


def rewrite_files(
    paths: Iterable[str | os.PathLike[str]],
    pattern: str | PatternLike,
    rewrite: str | object,
    *,
    lang: str | None = None,
    executor: Executor | None = None,
    timeout: Timeout = default_timeout,
    follow: bool = False,
) -> Iterator[RewrittenFile]:
    """Rewrite every match of ``pattern``; yield one ``RewrittenFile`` per file, in the order listed.

    ``rewrite`` is template code (compiled with ``kovel.quasi.template`` in each
    file's language), or anything ``Pattern.rewrite`` takes (a ``Template``,
    a function of the match), which must pickle to reach other processes:
    one that does not is a ``TypeError`` at the call.  With pattern code, a
    template that uses a metavariable the pattern does not bind is a
    ``ValueError``, raised by the first ``next`` before any file is read.  Files are not
    written; see ``RewrittenFile``.  A file whose syntax errors lie inside a
    match is left alone (``error`` says where).  The other arguments are
    those of ``find_files``.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("if x:\\n    print(x, 2)\\n")
    >>> print(next(rewrite_files([f], "print($$$A)", "log($$$A)")).text(), end="")
    if x:
        log(x, 2)
    >>> next(rewrite_files([f], "print($A)", "log($B)"))
    Traceback (most recent call last):
    ...
    ValueError: the rewrite uses $B, which the pattern does not bind (it binds $A)
    """
    _check_pickles(executor, pattern=pattern, rewrite=rewrite)
    listed = list_files(paths, lang, follow=follow)

    def check(pool: Executor) -> None:
        if isinstance(pattern, str) and isinstance(rewrite, str | Template):
            langs = dict.fromkeys(i.lang for i in listed if i.error is None and i.lang is not None)
            _check_names(pool, langs, pattern, rewrite)

    return _run(
        listed,
        executor,
        timeout,
        RewrittenFile,
        lambda i, limit: (_rewrite_task, i.path, i.lang, pattern, rewrite, limit),
        check,
    )


_R = TypeVar("_R", FoundFile, RewrittenFile)


def find_source(
    data: bytes,
    lang: str,
    pattern: str | PatternLike,
    *,
    path: str = "<stdin>",
    executor: Executor | None = None,
    timeout: Timeout = default_timeout,
) -> FoundFile:
    """Search source text that is not in a file (``kovel find ... -``): ``find_files`` for one
    text, given as bytes in ``lang``, reported under the name ``path``.

    >>> [(m.line, m.text) for m in find_source(b"x = 1\\nprint(x)\\n", "python", "print($A)").matches]
    [(2, 'print(x)')]
    """
    return _one(data, FoundFile(path, lang), executor, timeout, (_find_task, path, lang, pattern))


def rewrite_source(
    data: bytes,
    lang: str,
    pattern: str | PatternLike,
    rewrite: str | object,
    *,
    path: str = "<stdin>",
    executor: Executor | None = None,
    timeout: Timeout = default_timeout,
) -> RewrittenFile:
    """Rewrite source text that is not in a file (``kovel rewrite ... -``): ``rewrite_files``
    for one text, given as bytes in ``lang``, reported under the name ``path``.

    >>> print(rewrite_source(b"print(x)\\n", "python", "print($A)", "log($A)").text(), end="")
    log(x)
    """
    return _one(
        data, RewrittenFile(path, lang), executor, timeout, (_rewrite_task, path, lang, pattern, rewrite)
    )


def _one(data: bytes, empty: _R, executor: Executor | None, timeout: Timeout, task: tuple[Any, ...]) -> _R:
    """Run ``task`` on ``data`` (appended to its arguments after the time limit) in ``executor``;
    a failure is ``empty`` with the error."""
    limit = timeout(len(data)) if callable(timeout) else timeout
    pool = executor if executor is not None else InlineExecutor()
    fut = _submit(pool, limit, (*task, limit, data))
    try:
        result: _R = fut.result()
    except Exception as exc:
        return type(empty)(empty.path, empty.lang, error=_describe(exc))
    return result


def _check_pickles(executor: Executor | None, **values: object) -> None:
    """Raise ``TypeError`` when a value that every task carries cannot reach the worker processes.

    Checked once, before any file is read, rather than failing every file.
    Only the pools known to use ``pickle`` are checked: an inline or thread
    executor needs no pickling, and a cluster may serialise otherwise (Dask
    uses cloudpickle); a task that cannot be sent there fails its own file.
    """
    if executor is not None and not isinstance(executor, WatchdogPool | ProcessPoolExecutor):
        return
    for what, value in values.items():
        if isinstance(value, str):
            continue
        try:
            pickle.dumps(value, pickle.HIGHEST_PROTOCOL)
        except Exception as exc:
            raise TypeError(
                f"the {what} cannot be sent to the worker processes, as it does not pickle ({exc}); "
                "a function must be defined at the top level of a module"
            ) from exc


def _check_names(pool: Executor, langs: Iterable[str], pattern: str, rewrite: str | Template) -> None:
    """Raise ``ValueError`` when ``rewrite`` uses a metavariable ``pattern`` does not bind.

    The check compiles the pattern, so it runs in the pool, under its time
    limit; a language in which that fails is left to its files to report.
    """
    for fut in [pool.submit(check_pattern, lang, pattern, rewrite) for lang in langs]:
        try:
            fut.result()
        except ValueError:
            raise
        except Exception:  # timed out or died: each file of that language says so
            pass


def _run(
    listed: list[Listed],
    executor: Executor | None,
    timeout: Timeout,
    kind: Callable[..., Any],
    task: Callable[[Listed, float | None], tuple[Any, ...]],
    check: Callable[[Executor], None] | None = None,
) -> Iterator[Any]:
    """Run one task per listed file, under the file's time limit; yield the results in order.

    ``check`` runs first, in the pool, and may raise before any file is
    read.  At most a window of tasks is in flight, so results stream out and
    an inline executor works file by file.  A task that cannot even be
    submitted (its arguments do not pickle, say) fails its file only.
    """
    own = executor is None
    if executor is None:
        pool: Executor = WatchdogPool(timeout=DEFAULT_TIMEOUT if callable(timeout) else timeout)
    else:
        pool = executor
    if isinstance(pool, InlineExecutor):
        window = 1
    elif isinstance(pool, WatchdogPool):
        window = 4 * pool.max_workers + 8
    else:  # its size is unknown: a cluster may be large
        window = 256
    todo = iter(listed)
    flight: deque[tuple[Listed, Future[Any] | None]] = deque()
    try:
        if check is not None:
            check(pool)
        while True:
            while len(flight) < window:
                item = next(todo, None)
                if item is None:
                    break
                if item.error is not None or item.lang is None:
                    flight.append((item, None))
                else:
                    limit = _limit(timeout, item.path)
                    flight.append((item, _submit(pool, limit, task(item, limit))))
            if not flight:
                return
            item, fut = flight.popleft()
            if fut is None:
                yield kind(item.path, item.lang, error=item.error)
                continue
            try:
                yield fut.result()
            except Exception as exc:
                yield kind(item.path, item.lang, error=_describe(exc))
    finally:
        for _, fut in flight:
            if fut is not None:
                fut.cancel()
        if own:
            pool.shutdown(cancel_futures=True)


def _submit(pool: Executor, limit: float | None, task: tuple[Any, ...]) -> Future[Any]:
    """``pool.submit(*task)`` (under ``limit`` in a ``WatchdogPool``), with a failure to submit
    kept in the future."""
    fn, *args = task
    try:
        if isinstance(pool, WatchdogPool | InlineExecutor):
            return pool.submit_limited(limit, fn, *args)
        return pool.submit(fn, *args)
    except Exception as exc:
        failed: Future[Any] = Future()
        failed.set_exception(exc)
        return failed


def _describe(exc: BaseException) -> str:
    if isinstance(exc, TimeoutError):
        return f"{TIMED_OUT}: {exc}"
    if isinstance(exc, ChildProcessError):
        return f"worker failed: {exc}"
    return f"{type(exc).__name__}: {exc}"


# --- in the worker ------------------------------------------------------------


def _hook(stage: str, path: str) -> None:
    """Call the test hook named by $KOVEL_TEST_HOOK ("module:function"), if any."""
    spec = os.environ.get("KOVEL_TEST_HOOK")
    if spec:
        module, _, func = spec.partition(":")
        getattr(importlib.import_module(module), func)(stage, path)


@functools.lru_cache(maxsize=64)
def _compiled_pattern(lang: str, code: str) -> PatternLike:
    return pattern(lang, code)


@functools.lru_cache(maxsize=64)
def _compiled_template(lang: str, code: str) -> Template:
    return template(lang, code)


def check_pattern(lang: str, pattern: str, rewrite: str | Template | None = None) -> str | None:
    """Why ``pattern`` (and the template ``rewrite``) cannot be used for ``lang``, or None.

    Raises ``ValueError`` when ``rewrite`` uses a metavariable that ``pattern``
    does not bind: that is wrong in every language, not a language the
    pattern is not for.

    >>> check_pattern("python", "print($$$A)", "log($$$A)") is None
    True
    >>> check_pattern("python", "print($A)", "log($A, $$$REST)")
    Traceback (most recent call last):
    ...
    ValueError: the rewrite uses $$$REST, which the pattern does not bind (it binds $A)
    """
    try:
        _compiled_pattern(lang, pattern)
        if isinstance(rewrite, str):
            rewrite = _compiled_template(lang, rewrite)
    except SyntaxError as exc:
        return f"the pattern or rewrite does not parse as {lang}: {exc}"
    except (ValueError, ImportError) as exc:
        return str(exc)
    if rewrite is None:
        return None
    try:
        # Compiled as a template, the pattern's holes are its metavariables.
        bound = {n: text for n, text in _used_metas(template(lang, pattern)) if n is not None}
        used = _used_metas(rewrite)
    except Exception:  # what does not compile as a template is left unchecked
        return None
    unbound = [text for n, text in used if n is None or n not in bound]
    if unbound:
        binds = ", ".join(dict.fromkeys(bound.values())) or "no metavariable"
        raise ValueError(
            f"the rewrite uses {', '.join(unbound)}, which the pattern does not bind (it binds {binds})"
        )
    return None


def _used_metas(t: Template) -> list[tuple[str | None, str]]:
    """The metavariables that ``t`` fills: (name, text) pairs, name None for ``$_`` and ``$$$``."""
    sk = parse_quasi(t.lang, t.code)
    used = dict.fromkeys((m.name, m.text) for m in sk.metas if is_hole(sk, m.index))
    return list(used)


@functools.lru_cache(maxsize=64)
def _parser(lang: str) -> Parser:
    return parser(lang)


def parse_tree(lang: str, data: bytes, timeout: float | None) -> Tree:
    """Parse ``data``, giving up with ``TimeoutError`` after ``timeout`` seconds.

    The parser checks the clock as it goes; a grammar stuck inside its own
    scanner never does, which is why the pool also watches its workers.

    >>> parse_tree("python", b"x = 1\\n", 1.0).root_node.type
    'module'
    """
    parser = _parser(lang)
    if timeout is None:
        return parser.parse(data)
    deadline = time.monotonic() + timeout
    chunk = 1 << 16

    def read(offset: int, _point: object) -> bytes:
        return data[offset : offset + chunk]

    def progress(_offset: int, _has_error: bool) -> bool:
        return time.monotonic() > deadline

    try:
        tree = parser.parse(read, progress_callback=progress)
    except ValueError:
        parser.reset()
        if time.monotonic() > deadline:
            raise TimeoutError(f"parsing took over {timeout:g} s") from None
        raise
    return tree


def _error_spans(tree: Tree) -> list[tuple[int, int]]:
    """Byte ranges of the error and missing nodes of ``tree``."""
    root = tree.root_node
    if not root.has_error:
        return []
    spans = []
    stack: list[Node] = [root]
    while stack:
        n = stack.pop()
        if n.is_error or n.is_missing:
            spans.append((n.start_byte, n.end_byte))
        elif n.has_error:
            stack.extend(n.children)
    return spans


@dataclass(slots=True)
class _Loaded:
    data: bytes  # the file's bytes
    text: str
    encoding: str  # turns text back into data
    parsed: bytes  # the UTF-8 bytes that tree-sitter parsed (data itself for UTF-8)
    tree: Tree
    term: KTerm


def _load(path: str, lang: str, timeout: float | None, data: bytes | None = None) -> _Loaded:
    """Read (unless ``data`` is given), decode and parse one file; raise ``_Skip`` with the
    reason it cannot be."""
    if data is None:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as exc:
            raise _Skip(f"cannot read: {exc.strerror or exc}") from None
    _hook("read", path)
    text, encoding = _decode(data, lang)
    parsed = data if encoding == "utf-8" else text.encode("utf-8")
    try:
        tree = parse_tree(lang, parsed, timeout)
    except TimeoutError as exc:
        raise _Skip(f"{TIMED_OUT}: {exc}") from None
    except ValueError as exc:
        raise _Skip(f"cannot parse: {exc}") from None
    return _Loaded(data, text, encoding, parsed, tree, from_tree(tree, parsed))


def _decode(data: bytes, lang: str) -> tuple[str, str]:
    """The text of ``data`` and the codec that gives the bytes back; raise ``_NotText``.

    Files are UTF-8, but for Python files, which may declare another
    encoding (PEP 263).  A byte order mark stays in the text, so that it is
    written back.

    >>> _decode("# coding: cp1251\\nx = 'ж'\\n".encode("cp1251"), "python")
    ("# coding: cp1251\\nx = 'ж'\\n", 'cp1251')
    >>> _decode(b"x = '\\xe9'\\n", "python")
    Traceback (most recent call last):
    ...
    kovel._batch._NotText: not UTF-8 text (byte 5, line 1)
    """
    encoding = "utf-8"
    if lang == "python":
        try:
            encoding = _python_encoding(data)
        except SyntaxError as exc:
            # A first line that is not UTF-8 is found below, with its place.
            if exc.msg != "invalid or missing encoding declaration":
                raise _NotText(f"not Python source text: {exc.msg}") from None
    try:
        return data.decode(encoding), encoding
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        name = "UTF-8" if encoding == "utf-8" else encoding
        raise _NotText(f"not {name} text (byte {exc.start}, line {line})") from None


def _python_encoding(data: bytes) -> str:
    """The codec a Python file's coding declaration names (``utf-8`` for none, and for a BOM)."""
    name, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    name = codecs.lookup(name).name
    return "utf-8" if name == "utf-8-sig" else name


class _Skip(Exception):
    pass


class _NotText(_Skip):
    """The file is not text in its encoding."""


class _Positions:
    """Turns character offsets of a text into bytes, lines and columns."""

    def __init__(self, text: str, encoding: str = "utf-8") -> None:
        self.text = text
        self.encoding = encoding
        self.ascii = text.isascii()
        starts = [0]
        find = text.find
        i = find("\n")
        while i >= 0:
            starts.append(i + 1)
            i = find("\n", i + 1)
        self.starts = starts
        self._bytes: list[int] | None = None
        self._cursor = (0, 0)  # a character offset and its byte offset
        self._lines: dict[int, str] = {}

    def line_col(self, i: int) -> tuple[int, int]:
        line = bisect.bisect_right(self.starts, i)
        return line, i - self.starts[line - 1] + 1

    def byte(self, i: int) -> int:
        if self.ascii:
            return i
        if self._bytes is None:
            acc, out = 0, [0]
            for a, b in zip(self.starts, [*self.starts[1:], len(self.text)], strict=True):
                acc += len(self.text[a:b].encode(self.encoding))
                out.append(acc)
            self._bytes = out
        line = bisect.bisect_right(self.starts, i) - 1
        a = self.starts[line]
        # Offsets are asked for in nearly increasing order: count from the
        # last one asked for when it is nearer than the line's start (a
        # minified file is one line of megabytes).
        c, cb = self._cursor
        if abs(i - c) < i - a:
            enc = self.encoding
            b = cb + len(self.text[c:i].encode(enc)) if i >= c else cb - len(self.text[i:c].encode(enc))
        else:
            b = self._bytes[line] + len(self.text[a:i].encode(self.encoding))
        self._cursor = (i, b)
        return b

    def char(self, b: int, data: bytes) -> int:
        """The character offset of byte ``b`` of ``data``, the text in UTF-8."""
        return b if self.ascii else len(data[:b].decode("utf-8", "replace"))

    def line(self, n: int) -> str:
        """Line ``n`` (1-based) without its line feed; the same string each time it is asked for."""
        got = self._lines.get(n)
        if got is None:
            a = self.starts[n - 1]
            b = self.starts[n] - 1 if n < len(self.starts) else len(self.text)
            got = self._lines[n] = self.text[a:b]
        return got

    def span(self, s: int, e: int, data: bytes | None = None) -> Span:
        """The ``Span`` of characters ``[s, e)``."""
        line, col = self.line_col(s)
        end_line, end_col = self.line_col(e)
        return Span(self.byte(s), self.byte(e), line, col, end_line, end_col, self.text[s:e])


def _line_text(line: str) -> str:
    return line[:-1] if line.endswith("\r") else line


def _binding_text(v: KTerm | Sequence[KTerm]) -> str | list[str]:
    return str(v) if isinstance(v, KTerm) else [str(x) for x in v]


def _binding_ranges(m: _MatchLike, pos: _Positions) -> dict[str, Span | list[Span] | None]:
    """Where each binding of ``m`` lies in the file, found by walking the matched node.

    The matcher's own nodes are looked for (``Match._found``: ``bindings``
    may hold multi-line values re-indented); a binding that is not a node
    inside the match (a pattern object of another kind may make such) has
    None.  The wanted nodes come in document order, so one walk over the
    nodes of their tags meets each where it is next.
    """
    found = source_bindings(m) if isinstance(m, Match) else m.bindings
    term = getattr(m, "term", None)
    start, end = m.span
    wanted: list[KTerm] = []
    for v in found.values():
        wanted.extend([v] if isinstance(v, KTerm) else v)
    at: list[tuple[int, int] | None] = [None] * len(wanted)
    if wanted and isinstance(term, KTerm) and _native.rendered_length(term) == end - start:
        tags = {_native.tag(w) for w in wanted}
        i = 0
        passed: list[tuple[KTerm, int, int]] = []
        for _, node, a, b in _native.find_all(term, tags, True):
            if i < len(wanted) and _native.same(node, wanted[i]):
                at[i] = (start + a, start + b)
                i += 1
            elif i < len(wanted):
                passed.append((node, a, b))
        for k in range(i, len(wanted)):  # out of order: look among the nodes passed by
            hit = next(((a, b) for node, a, b in passed if _native.same(node, wanted[k])), None)
            at[k] = None if hit is None else (start + hit[0], start + hit[1])
    out: dict[str, Span | list[Span] | None] = {}
    k = 0
    for name, v in found.items():
        n = 1 if isinstance(v, KTerm) else len(v)
        spans = [pos.span(*x) for x in at[k : k + n] if x is not None]
        k += n
        out[name] = None if len(spans) < n else spans[0] if isinstance(v, KTerm) else spans
    return out


def _pattern_for(lang: str, pattern: str | PatternLike) -> PatternLike:
    return _compiled_pattern(lang, pattern) if isinstance(pattern, str) else pattern


def _find_task(
    path: str,
    lang: str,
    pattern: str | PatternLike,
    timeout: float | None,
    data: bytes | None = None,
    context: tuple[int, int] = (0, 0),
) -> FoundFile:
    try:
        loaded = _load(path, lang, timeout, data)
        pat = _pattern_for(lang, pattern)
    except _NotText as exc:
        return FoundFile(path, lang, error=f"skipped: {exc}", skipped=True)
    except _Skip as exc:
        return FoundFile(path, lang, error=str(exc))
    except SyntaxError as exc:
        return FoundFile(path, lang, error=f"the pattern does not parse as {lang}: {exc}")
    text = loaded.text
    pos = _Positions(text, loaded.encoding)
    out = []
    # Each line's text is made once and shared by the matches on it (and
    # pickled once): a minified file has thousands of matches on one line.
    lines: dict[int, str] = {}
    shown: dict[int, str] = {}  # without a CR
    before, after = context
    last = len(pos.starts) - text.endswith("\n")  # a final line feed ends the last line
    low = top = 0  # lines [.., top] are in `lines` from every earlier match starting at `low` or before
    for m in pat.find_all(loaded.term):
        s, e = m.span
        line, col = pos.line_col(s)
        end_line, end_col = pos.line_col(e)
        if line not in shown:
            shown[line] = _line_text(pos.line(line))
        match = FileMatch(
            pos.byte(s),
            pos.byte(e),
            line,
            col,
            end_line,
            end_col,
            text[s:e],
            shown[line],
            {k: _binding_text(v) for k, v in m.bindings.items()},
            _binding_ranges(m, pos),
        )
        out.append(match)
        lo, hi = max(1, line - before), min(last, match.last_line + after)
        if lo < low:  # not in document order: no line can be taken as kept
            top = 0
        low = lo
        for n in range(max(lo, top + 1), hi + 1):
            lines[n] = pos.line(n)
        top = max(top, hi)
    return FoundFile(path, lang, tuple(out), lines=lines)


def _rewrite_task(
    path: str,
    lang: str,
    pattern: str | PatternLike,
    rewrite: object,
    timeout: float | None,
    data: bytes | None = None,
) -> RewrittenFile:
    try:
        loaded = _load(path, lang, timeout, data)
        pat = _pattern_for(lang, pattern)
        rw: Any = _compiled_template(lang, rewrite) if isinstance(rewrite, str) else rewrite
    except _NotText as exc:
        return RewrittenFile(path, lang, error=f"not rewritten: {exc}", skipped=True)
    except _Skip as exc:
        return RewrittenFile(path, lang, error=str(exc))
    except SyntaxError as exc:
        return RewrittenFile(path, lang, error=f"the pattern or rewrite does not parse as {lang}: {exc}")
    text, term, encoding = loaded.text, loaded.term, loaded.encoding
    digest = hashlib.sha256(loaded.data).hexdigest()
    replaced: list[tuple[tuple[int, int], KTerm]] | None = None
    if isinstance(pat, Pattern):
        paths, news, spans = replacements(pat, term, rw)
        new = _native.replace_all(term, paths, news) if paths else term
        replaced = list(zip(spans, news, strict=True))
    else:
        new = pat.rewrite(term, rw)
    if new is term:
        return RewrittenFile(path, lang, digest, encoding=encoding)
    new_text = str(new)
    if new_text == text:
        return RewrittenFile(path, lang, digest, encoding=encoding)
    why = _unwritable(lang, new_text, encoding)
    if why is not None:
        return RewrittenFile(path, lang, digest, error=f"{why}; not rewritten", encoding=encoding)
    changes = _changes(text, new_text, replaced, encoding)
    errors = _error_spans(loaded.tree)
    if errors:
        pos = _Positions(text)
        chars = [(pos.char(a, loaded.parsed), pos.char(b, loaded.parsed)) for a, b in errors]
        for m in pat.find_all(term):
            s, e = m.span
            hit = next(((a, b) for a, b in chars if a <= e and s <= b), None)
            if hit is not None:
                line, col = pos.line_col(hit[0])
                return RewrittenFile(
                    path,
                    lang,
                    digest,
                    error=f"a syntax error at {line}:{col} lies in a match; left alone",
                    errors_before=len(errors),
                    encoding=encoding,
                )
    after, rejected = judge(path, lang, text, new_text, len(errors), timeout)
    return RewrittenFile(
        path,
        lang,
        digest,
        new.postcard_bytes(),
        None,
        len(errors),
        after,
        rejected,
        encoding=encoding,
        changes=changes,
    )


def judge(
    path: str, lang: str, text: str, new_text: str, errors_before: int, timeout: float | None
) -> tuple[int, str | None]:
    """How ``new_text``, a rewrite of ``text`` (which has ``errors_before``
    syntax errors), fares: its number of syntax errors, and why Python
    rejects it when ``text`` compiled (or None).

    >>> judge("a.py", "python", "f(1)\\n", "return 1\\n", 0, None)
    (0, "'return' outside function (line 1)")
    """
    after = len(_error_spans(parse_tree(lang, new_text.encode(), timeout)))
    # Python also rejects what tree-sitter lets through (indentation, for one).
    rejected = _newly_rejected(path, text, new_text) if lang == "python" and after <= errors_before else None
    return after, rejected


def _unwritable(lang: str, text: str, encoding: str) -> str | None:
    """Why the rewritten ``text`` cannot be written in the file's ``encoding``, or None.

    >>> _unwritable("python", "# coding: latin-1\\nx = '€'\\n", "iso8859-1")
    "the rewrite brings in '€' (line 2), which iso8859-1 cannot encode"
    >>> _unwritable("python", "# coding: cp1251\\n", "iso8859-1")
    'the rewrite changes the coding declaration (iso8859-1 to cp1251)'
    """
    try:
        data = text.encode(encoding)
    except UnicodeEncodeError as exc:
        line = text.count("\n", 0, exc.start) + 1
        return f"the rewrite brings in {text[exc.start]!r} (line {line}), which {encoding} cannot encode"
    if lang != "python":
        return None
    try:
        declared = _python_encoding(data)
    except SyntaxError as exc:
        return f"the rewrite breaks the coding declaration: {exc.msg}"
    if declared != encoding:
        return f"the rewrite changes the coding declaration ({encoding} to {declared})"
    return None


def _changes(
    text: str, new_text: str, replaced: list[tuple[tuple[int, int], KTerm]] | None, encoding: str = "utf-8"
) -> tuple[Change, ...]:
    """The changes that make ``new_text`` of ``text``: one per replaced match.

    Each replacement renders alone as it does in place (the indentation
    of its lines is its own), which the text made of them is checked
    against; when it is not (or the matches are unknown: a pattern object of
    another kind), the one change is the span from the first differing
    character to the last.
    """
    pos = _Positions(text, encoding)
    if replaced:
        news = [(a, b, str(t)) for (a, b), t in replaced]
        pieces, at = [], 0
        for a, b, body in news:
            pieces += [text[at:a], body]
            at = b
        if at <= len(text) and "".join(pieces) + text[at:] == new_text:
            return tuple(Change(pos.span(a, b), body) for a, b, body in news if text[a:b] != body)
    head = 0
    limit = min(len(text), len(new_text))
    while head < limit and text[head] == new_text[head]:
        head += 1
    tail = 0
    while tail < limit - head and text[-1 - tail] == new_text[-1 - tail]:
        tail += 1
    return (Change(pos.span(head, len(text) - tail), new_text[head : len(new_text) - tail]),)


def apply_changes(data: bytes, changes: Iterable[Change], encoding: str = "utf-8") -> bytes:
    """``data`` with each of ``changes`` (of one ``RewrittenFile``, any subset) made,
    the new text in ``encoding`` (the file's: ``RewrittenFile.encoding``).

    The bytes outside the changes stay as they were.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("print(1)\\nprint(2)\\n")
    >>> (r,) = rewrite_files([f], "print($A)", "log($A)")
    >>> [c.new for c in r.changes]
    ['log(1)', 'log(2)']
    >>> apply_changes(f.read_bytes(), r.changes[1:])
    b'print(1)\\nlog(2)\\n'
    """
    out, at = [], 0
    for c in sorted(changes, key=lambda c: c.old.start):
        if c.old.start < at:
            raise ValueError(f"the changes overlap at byte {c.old.start}")
        out += [data[at : c.old.start], c.new.encode(encoding)]
        at = c.old.end
    out.append(data[at:])
    return b"".join(out)


def _newly_rejected(path: str, before: str, after: str) -> str | None:
    """Why Python rejects ``after`` when it compiled ``before``, or None.

    The rewritten text is compiled first: it nearly always compiles, and then
    the original need not be.

    >>> _newly_rejected("a.py", "if x:\\n    y\\n", "if x:\\n    y\\n  z\\n")
    'unindent does not match any outer indentation level (line 3)'
    """
    why = _compile_error(path, after)
    if why is None or _compile_error(path, before) is not None:
        return None
    return why


def _compile_error(path: str, text: str) -> str | None:
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
