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
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol, TypeAlias, TypeVar

from kovel._files import Listed, list_files
from kovel._kovel import KTerm, from_postcard_bytes
from kovel._workers import InlineExecutor, WatchdogPool

if TYPE_CHECKING:
    from tree_sitter import Node, Parser, Tree

    from kovel.quasi import Template

__all__ = [
    "DEFAULT_TIMEOUT",
    "TIMEOUT_PER_MB",
    "FileMatch",
    "FoundFile",
    "PatternLike",
    "RewrittenFile",
    "Timeout",
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
class FileMatch:
    """One match in a file.

    ``start``/``end`` are byte offsets into the file; ``line``/``column``
    and ``end_line``/``end_column`` the same positions as 1-based lines and
    1-based columns counted in characters (code points), the end exclusive.
    ``line_text`` is the whole line the match starts on; ``bindings`` holds
    the text of each metavariable's binding (a list for ``$$$NAME``).
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


@dataclass(frozen=True, slots=True)
class FoundFile:
    """The matches in one file, or why it could not be searched (``error``).

    ``skipped`` tells a file passed over as not text in its encoding (not
    UTF-8, or for Python not what its coding declaration names) from one
    that failed: the ``kovel`` command takes it as an error only for a file
    named on its command line.
    """

    path: str
    lang: str | None
    matches: tuple[FileMatch, ...] = ()
    error: str | None = None
    skipped: bool = False


@dataclass(frozen=True, slots=True)
class RewrittenFile:
    """The outcome of rewriting one file.

    ``digest`` is the SHA-256 of the bytes that were read (so a writer can
    tell whether the file changed since); ``term`` the postcard bytes of the
    rewritten file's term, or None when nothing changed or the file was left
    alone, in which case ``error`` says why.  ``errors_before`` and
    ``errors_after`` count the syntax errors (error and missing nodes) of
    the file and of its rewritten text.  ``compile_error`` is, for a Python
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
    Whatever goes wrong with one file is that file's ``error``; the other
    files are still searched.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("x = 1\\nprint(x, 2)\\n")
    >>> [(m.line, m.column, m.bindings) for r in find_files([f], "print($$$A)") for m in r.matches]
    [(2, 1, {'A': ['x', '2']})]
    """
    _check_pickles(executor, pattern=pattern)
    listed = list_files(paths, lang, follow=follow)
    return _run(
        listed, executor, timeout, FoundFile, lambda i, limit: (_find_task, i.path, i.lang, pattern, limit)
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
        from kovel.quasi import Template

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
    from kovel.quasi import pattern

    return pattern(lang, code)


@functools.lru_cache(maxsize=64)
def _compiled_template(lang: str, code: str) -> Template:
    from kovel.quasi import template

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
    from kovel.quasi import template

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
    from kovel._quasi_parse import parse_quasi
    from kovel.quasi import _is_hole

    sk = parse_quasi(t.lang, t.code)
    used = dict.fromkeys((m.name, m.text) for m in sk.metas if _is_hole(sk, m.index))
    return list(used)


@functools.lru_cache(maxsize=64)
def _parser(lang: str) -> Parser:
    from tree_sitter import Parser

    from kovel.treesitter import language

    return Parser(language(lang))


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
    from kovel.treesitter import from_tree

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
        return self._bytes[line] + len(self.text[self.starts[line] : i].encode(self.encoding))

    def char(self, b: int, data: bytes) -> int:
        """The character offset of byte ``b`` of ``data``, the text in UTF-8."""
        return b if self.ascii else len(data[:b].decode("utf-8", "replace"))

    def line_text(self, line: int) -> str:
        a = self.starts[line - 1]
        b = self.starts[line] - 1 if line < len(self.starts) else len(self.text)
        return self.text[a:b].rstrip("\r")


def _binding_text(v: KTerm | Sequence[KTerm]) -> str | list[str]:
    return str(v) if isinstance(v, KTerm) else [str(x) for x in v]


def _pattern_for(lang: str, pattern: str | PatternLike) -> PatternLike:
    return _compiled_pattern(lang, pattern) if isinstance(pattern, str) else pattern


def _find_task(
    path: str, lang: str, pattern: str | PatternLike, timeout: float | None, data: bytes | None = None
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
    for m in pat.find_all(loaded.term):
        s, e = m.span
        line, col = pos.line_col(s)
        end_line, end_col = pos.line_col(e)
        out.append(
            FileMatch(
                pos.byte(s),
                pos.byte(e),
                line,
                col,
                end_line,
                end_col,
                text[s:e],
                pos.line_text(line),
                {k: _binding_text(v) for k, v in m.bindings.items()},
            )
        )
    return FoundFile(path, lang, tuple(out))


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
        rw = _compiled_template(lang, rewrite) if isinstance(rewrite, str) else rewrite
    except _NotText as exc:
        return RewrittenFile(path, lang, error=f"not rewritten: {exc}", skipped=True)
    except _Skip as exc:
        return RewrittenFile(path, lang, error=str(exc))
    except SyntaxError as exc:
        return RewrittenFile(path, lang, error=f"the pattern or rewrite does not parse as {lang}: {exc}")
    text, term, encoding = loaded.text, loaded.term, loaded.encoding
    digest = hashlib.sha256(loaded.data).hexdigest()
    new = pat.rewrite(term, rw)
    if new is term:
        return RewrittenFile(path, lang, digest, encoding=encoding)
    new_text = str(new)
    if new_text == text:
        return RewrittenFile(path, lang, digest, encoding=encoding)
    why = _unwritable(lang, new_text, encoding)
    if why is not None:
        return RewrittenFile(path, lang, digest, error=f"{why}; not rewritten", encoding=encoding)
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
    after = len(_error_spans(parse_tree(lang, new_text.encode(), timeout)))
    # Python also rejects what tree-sitter lets through (indentation, for one).
    rejected = _newly_rejected(path, text, new_text) if lang == "python" and after <= len(errors) else None
    return RewrittenFile(
        path, lang, digest, new.postcard_bytes(), None, len(errors), after, rejected, encoding=encoding
    )


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
