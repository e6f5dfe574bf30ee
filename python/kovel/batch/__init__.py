"""Find and rewrite across many files, in parallel: the batch API behind the ``kovel`` command.

Each file is one task: a worker reads it, parses it, converts the tree into a
term and runs the pattern on it.  Tasks cross processes as paths (and the
pattern and the rewrite, which pickle); results come back as plain values,
with a rewritten file as the postcard bytes of its term, never as text to
parse again.  Any ``concurrent.futures.Executor`` that pickles its work runs
the tasks unchanged: the default ``WatchdogPool``, a ``ProcessPoolExecutor``,
or a Dask cluster's (``distributed.Client.get_executor()``).  Nothing here
writes files; the command does that (``kovel.batch.safewrite``), in one process.

The modules of this package: ``results`` holds what the functions here give
back; ``tasks`` the work on one file, done in a worker; ``workers`` the pools
that run tasks under a time limit; ``files`` lists the files to search, as
``ignore`` rules and the walk options say; ``safewrite`` replaces files;
``cache`` keeps parsed files for the next run.
"""

from __future__ import annotations

import os
import pickle
import sys
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future
from typing import Any, TypeAlias, TypeVar

from kovel.batch.cache import TermCache
from kovel.batch.files import Listed, list_files
from kovel.batch.results import (
    Change,
    Diagnostic,
    FileMatch,
    FoundFile,
    RewrittenFile,
    ScannedFile,
    Span,
    apply_changes,
)
from kovel.batch.tasks import (
    PatternLike,
    check_pattern,
    describe_error,
    find_task,
    judge,
    required_texts,
    rewrite_task,
    scan_task,
    without_parse,
)
from kovel.batch.workers import InlineExecutor, WatchdogPool, here_if_limited
from kovel.quasi import Template
from kovel.rules import Matcher, RuleConfig
from kovel.treesitter.timeout import SharedTuple

__all__ = [
    "DEFAULT_TIMEOUT",
    "TASK_MODULES",
    "TIMEOUT_PER_MB",
    "Change",
    "Diagnostic",
    "FileMatch",
    "FoundFile",
    "PatternLike",
    "RewrittenFile",
    "ScannedFile",
    "Span",
    "Timeout",
    "apply_changes",
    "default_timeout",
    "find_files",
    "find_source",
    "judge_elsewhere",
    "rewrite_files",
    "rewrite_source",
    "scan_files",
]


#: Seconds a small file may take (read, parse, match, rewrite) before it is
#: given up; ``default_timeout`` adds ``TIMEOUT_PER_MB`` for each megabyte.
DEFAULT_TIMEOUT = 10.0
#: Seconds more per megabyte (10**6 bytes) of a file.  The limit is there for
#: grammars that hang, not to cut honest work short, so it is generous: a
#: 5 MB minified file parses in about 2 s and is searched in about 6.
TIMEOUT_PER_MB = 5.0

#: The modules the tasks here run from: a pool's workers import them as they start
#: (``WatchdogPool(preload=...)``), so that no file waits for them.
TASK_MODULES = (find_task.__module__,)

#: A time limit per file: seconds, None for none, or a function of the file's size in bytes.
Timeout: TypeAlias = float | None | Callable[[int], float]


def default_timeout(size: int) -> float:
    """The seconds a file of ``size`` bytes may take when no limit is given:
    ``DEFAULT_TIMEOUT`` plus ``TIMEOUT_PER_MB`` per megabyte, to a tenth of a second.

    >>> default_timeout(1_000), default_timeout(4_900_000)
    (10.0, 34.5)
    """
    return round(DEFAULT_TIMEOUT + TIMEOUT_PER_MB * size / 1e6, 1)


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0  # the worker reports why it cannot be read


def find_files(
    paths: Iterable[str | os.PathLike[str]],
    pattern: str | PatternLike,
    *,
    lang: str | None = None,
    executor: Executor | None = None,
    timeout: Timeout = default_timeout,
    follow: bool = False,
    context: int | tuple[int, int] = 0,
    cache: str | os.PathLike[str] | None = None,
    listed: list[Listed] | None = None,
    details: bool = True,
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
    lines of the matches.  ``cache`` names a directory where parsed files are
    kept (``kovel.batch.cache``): an unchanged file is then decoded, not parsed.
    ``listed`` is the files already listed (``kovel.batch.files.list_files``),
    which ``paths`` then need not be walked for again.  Without ``details``,
    the matches' ``text``, ``bindings`` and ``binding_ranges`` are empty: a
    caller that shows only where the matches are spares the workers making them.
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
    if listed is None:
        listed = list_files(paths, lang, follow=follow)
    store = None if cache is None else TermCache(os.fspath(cache))
    return _run(
        listed,
        executor,
        timeout,
        FoundFile,
        lambda i, limit: (find_task, i.path, i.lang, pattern, limit, None, around, store, details),
        required=lambda lang: (required_texts, lang, pattern),
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
    cache: str | os.PathLike[str] | None = None,
    listed: list[Listed] | None = None,
    keep_term: bool = True,
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
    those of ``find_files``.  Without ``keep_term`` each result's ``term`` is
    ``b""``: a caller that applies the changes (``apply_changes``) to the
    file's bytes spares the workers encoding it and the pipe carrying it.

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
    if listed is None:
        listed = list_files(paths, lang, follow=follow)
    files = listed
    store = None if cache is None else TermCache(os.fspath(cache))

    def check(pool: Executor) -> None:
        if isinstance(pattern, str) and isinstance(rewrite, str | Template):
            langs = dict.fromkeys(i.lang for i in files if i.error is None and i.lang is not None)
            _check_names(pool, langs, pattern, rewrite)

    return _run(
        files,
        executor,
        timeout,
        RewrittenFile,
        lambda i, limit: (rewrite_task, i.path, i.lang, pattern, rewrite, limit, None, store, keep_term),
        check,
        lambda lang: (required_texts, lang, pattern, rewrite if isinstance(rewrite, str) else None),
    )


def scan_files(
    paths: Iterable[str | os.PathLike[str]],
    rules: Callable[[str, str], Sequence[Matcher | RuleConfig]],
    *,
    lang: str | None = None,
    executor: Executor | None = None,
    timeout: Timeout = default_timeout,
    follow: bool = False,
    listed: list[Listed] | None = None,
    cache: str | os.PathLike[str] | None = None,
) -> Iterator[ScannedFile]:
    """Run rules over files; yield one ``ScannedFile`` per file, in the order listed.

    ``rules(path, lang)`` gives the rules to run on a file (each file is
    parsed once, whatever their number); a file with none is not read.  A
    ``RuleConfig`` among them is compiled where its files are searched, once
    a process (``kovel.rules.compiled``): here it costs nothing.
    ``listed`` is the files already listed (``kovel.batch.files.list_files``),
    else ``paths`` are walked.  The other arguments are those of ``find_files``.

    >>> import pathlib, tempfile
    >>> from kovel.rules import Rule, RuleConfig, matcher
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("try:\\n    x()\\nexcept:\\n    pass\\n")
    >>> bare = matcher(RuleConfig("bare-except", "python", Rule(kind="except_clause", not_=Rule(has=Rule(kind="identifier")))))
    >>> [(d.rule, d.span.line) for r in scan_files([f], lambda p, l: [bare]) for d in r.diagnostics]
    [('bare-except', 3)]
    """
    items = listed if listed is not None else list_files(paths, lang, follow=follow)
    # The same rules go with most files: one shared tuple each, pickled once for all.
    # (Keyed by identity: a config holding dicts does not hash.)
    same: dict[tuple[int, ...], SharedTuple[Matcher | RuleConfig]] = {}
    chosen = {
        i.path: same.get(k) or same.setdefault(k, SharedTuple(t))
        for i in items
        if i.error is None and i.lang is not None
        for t in [tuple(rules(i.path, i.lang))]
        for k in [tuple(map(id, t))]
    }
    work = [i for i in items if i.error is not None or i.lang is None or chosen.get(i.path)]
    store = None if cache is None else TermCache(os.fspath(cache))
    return _run(
        work,
        executor,
        timeout,
        ScannedFile,
        lambda i, limit: (scan_task, i.path, i.lang, chosen[i.path], limit, None, store),
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
    return _one(data, FoundFile(path, lang), executor, timeout, (find_task, path, lang, pattern))


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
        data, RewrittenFile(path, lang), executor, timeout, (rewrite_task, path, lang, pattern, rewrite)
    )


def _one(data: bytes, empty: _R, executor: Executor | None, timeout: Timeout, task: tuple[Any, ...]) -> _R:
    """Run ``task`` on ``data`` (appended to its arguments after the time limit) in ``executor``;
    a failure is ``empty`` with the error."""
    limit = timeout(len(data)) if callable(timeout) else timeout
    # Without an executor, the work runs here, or in a worker when it has a limit to keep.
    pool = executor if executor is not None else here_if_limited(InlineExecutor(), limit)
    fut = _submit(pool, limit, (*task, limit, data))
    try:
        result: _R = fut.result()
    except Exception as exc:
        return type(empty)(empty.path, empty.lang, error=describe_error(exc))
    return result


def judge_elsewhere(
    executor: Executor, limit: float | None, r: RewrittenFile | ScannedFile, data: bytes, new: bytes
) -> tuple[int, str | None]:
    """How ``new``, the bytes of ``r``'s file after some of its changes, fares
    (``kovel.batch.tasks.judge``: its syntax errors, and why Python rejects
    it), judged in ``executor`` under ``limit``: a text no worker saw may
    make a grammar loop forever.  Raises what the check raised.

    >>> r = RewrittenFile("a.py", "python")
    >>> judge_elsewhere(InlineExecutor(), None, r, b"f(1)\\n", b"return 1\\n")
    (0, "'return' outside function (line 1)")
    """
    assert r.lang is not None
    task = (judge, r.path, r.lang, data.decode(r.encoding), new.decode(r.encoding), r.errors_before, None)
    result: tuple[int, str | None] = _submit(executor, limit, task).result()
    return result


def _check_pickles(executor: Executor | None, **values: object) -> None:
    """Raise ``TypeError`` when a value that every task carries cannot reach the worker processes.

    Checked once, before any file is read, rather than failing every file.
    Only the pools known to use ``pickle`` are checked: an inline or thread
    executor needs no pickling, and a cluster may serialise otherwise (Dask
    uses cloudpickle); a task that cannot be sent there fails its own file.
    """
    if executor is not None and not _pickles(executor):
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


def _pickles(executor: Executor) -> bool:
    """Whether ``executor`` is a pool known to send its tasks through ``pickle``."""
    if isinstance(executor, WatchdogPool):
        return True
    # Whoever made a ProcessPoolExecutor loaded its module: checking needs no import of it
    # (which would cost every command a sixtieth of a second).
    process = sys.modules.get("concurrent.futures.process")
    return process is not None and isinstance(executor, process.ProcessPoolExecutor)


def _check_names(pool: Executor, langs: Iterable[str], pattern: str, rewrite: str | Template) -> None:
    """Raise ``ValueError`` when ``rewrite`` uses a metavariable ``pattern`` does not bind.

    The check compiles the pattern, so it runs under a time limit (here, or in
    the pool); a language in which that fails is left to its files to report.
    """
    here = here_if_limited(pool, DEFAULT_TIMEOUT)
    for fut in [here.submit(check_pattern, lang, pattern, rewrite) for lang in langs]:
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
    result_class: Callable[..., Any],
    task: Callable[[Listed, float | None], tuple[Any, ...]],
    check: Callable[[Executor], None] | None = None,
    required: Callable[[str], tuple[Any, ...]] | None = None,
) -> Iterator[Any]:
    """Run one task per listed file, under the file's time limit; yield the results in order.

    ``result_class`` (``FoundFile``, ``RewrittenFile``) makes the result of a
    file that failed.  ``check`` runs first, in the pool, and may raise before any file is
    read.  At most a window of tasks is in flight, so results stream out and
    an inline executor works file by file.  A task that cannot even be
    submitted (its arguments do not pickle, say) fails its file only.
    """
    own = executor is None
    if executor is None:
        pool: Executor = WatchdogPool(
            timeout=DEFAULT_TIMEOUT if callable(timeout) else timeout, preload=TASK_MODULES
        )
    else:
        pool = executor
    # A watchdog pool takes a few files a task: a file searched in a millisecond
    # (a cached one, say) costs less than a task of its own.
    batch = _BATCH if isinstance(pool, WatchdogPool) else 1
    inline = isinstance(pool, InlineExecutor)
    if inline:
        window = 1
    elif isinstance(pool, WatchdogPool):
        window = (2 * pool.max_workers + 2) * batch
    else:  # its size is unknown: a cluster may be large
        window = 256
    todo = iter(enumerate(listed))
    flight: deque[tuple[Listed, Future[Any] | None]] = deque()
    early: dict[int, Future[Any]] = {}
    sizes: list[int] | None = None  # of every file, when known before the loop
    try:
        if check is not None:
            check(pool)
        needs = _required_texts(pool, listed, required) if required is not None else {}
        if isinstance(pool, WatchdogPool) and pool.max_workers > 1:
            sizes = [_size(i.path) if i.error is None and i.lang is not None else 0 for i in listed]
            early = _send_biggest(pool, listed, sizes, needs, task, timeout, window, result_class)
        sending: list[tuple[Listed, float | None]] = []  # files for the next task, after those in flight
        sending_bytes = 0
        looked = passed = 0  # files read here for their texts, and those that held them
        exhausted = False
        while True:
            while len(flight) + len(sending) < window:
                k, item = next(todo, (-1, None))
                if item is None:
                    exhausted = True
                    break
                if k in early:  # sent already
                    flight.extend(_send(pool, sending, task))
                    sending, sending_bytes = [], 0
                    flight.append((item, early.pop(k)))
                    continue
                if item.error is not None or item.lang is None:
                    flight.extend(_send(pool, sending, task))
                    sending, sending_bytes = [], 0
                    flight.append((item, None))
                    continue
                # A file lacking a text every match holds is answered here: no task, no parse.
                # When nearly every file holds them, the task's own check is enough; and
                # a task run here would only read the file again.
                settled = None
                if not inline and (looked < _LOOK_AT or passed < _PASSING * looked):
                    settled = without_parse(item.path, item.lang, needs.get(item.lang, ()), result_class)
                    looked += 1
                    passed += settled is None
                if settled is not None:
                    flight.extend(_send(pool, sending, task))
                    sending, sending_bytes = [], 0
                    done: Future[Any] = Future()
                    done.set_result(settled)
                    flight.append((item, done))
                    continue
                size = sizes[k] if sizes is not None else _size(item.path)
                if size >= _BATCH_BYTES and sending:  # a big file goes alone: another worker takes the rest
                    flight.extend(_send(pool, sending, task))
                    sending, sending_bytes = [], 0
                sending.append((item, timeout(size) if callable(timeout) else timeout))
                sending_bytes += size
                if len(sending) == batch or sending_bytes >= _BATCH_BYTES:
                    flight.extend(_send(pool, sending, task))
                    sending, sending_bytes = [], 0
            if sending and (exhausted or not flight):
                flight.extend(_send(pool, sending, task))
                sending, sending_bytes = [], 0
            if not flight:
                return
            item, fut = flight.popleft()
            if fut is None:
                yield result_class(item.path, item.lang, error=item.error)
                continue
            try:
                yield fut.result()
            except Exception as exc:
                yield result_class(item.path, item.lang, error=describe_error(exc))
    finally:
        for fut in [*(f for _, f in flight), *early.values()]:
            if fut is not None:
                fut.cancel()
        if own:
            pool.shutdown(cancel_futures=True)


#: Files a watchdog pool's worker is sent at once, at most, and the bytes
#: after which no more are added: big files go one by one, so that two of
#: them rarely fall to one worker while another waits.
_BATCH = 8
_BATCH_BYTES = 1 << 17


def _send_biggest(
    pool: WatchdogPool,
    listed: list[Listed],
    sizes: list[int],
    needs: dict[str, tuple[bytes, ...]],
    task: Callable[[Listed, float | None], tuple[Any, ...]],
    timeout: Timeout,
    most: int,
    result_class: Callable[..., Any],
) -> dict[int, Future[Any]]:
    """Send the files that alone take much of a run's work first, each as a task
    of its own, biggest first (at most ``most`` of them); return their futures by
    place in ``listed`` (``sizes`` holds each file's size).  Met in order, a file
    of minutes would start late, and the run would end with one worker busy on
    it while the others wait.
    """
    big = max(_EARLY_BYTES, sum(sizes) // (8 * pool.max_workers))
    out: dict[int, Future[Any]] = {}
    for k in sorted((k for k, n in enumerate(sizes) if n >= big), key=lambda k: -sizes[k])[:most]:
        item = listed[k]
        assert item.lang is not None
        if without_parse(item.path, item.lang, needs.get(item.lang, ()), result_class) is not None:
            continue  # answered in order, without a task
        limit = timeout(sizes[k]) if callable(timeout) else timeout
        out[k] = _send(pool, [(item, limit)], task)[0][1]
    return out


#: Files are read for the texts every match holds until ``_LOOK_AT`` have been,
#: and after that as long as fewer than ``_PASSING`` of them held the texts
#: (past that, reading each file twice costs more than the tasks it saves).
_LOOK_AT = 64
_PASSING = 0.8

#: The least size of a file sent ahead of its turn (``_send_biggest``).
_EARLY_BYTES = 1 << 20


def _send(
    pool: Executor,
    files: list[tuple[Listed, float | None]],
    task: Callable[[Listed, float | None], tuple[Any, ...]],
) -> list[tuple[Listed, Future[Any]]]:
    """Submit a task for each of ``files`` (each under its limit), several at once to a watchdog pool."""
    if len(files) > 1 and isinstance(pool, WatchdogPool):
        calls = [(limit, fn, tuple(args)) for (item, limit) in files for fn, *args in [task(item, limit)]]
        return list(zip((item for item, _ in files), pool.submit_many(calls), strict=True))
    return [(item, _submit(pool, limit, task(item, limit))) for item, limit in files]


def _required_texts(
    pool: Executor, listed: list[Listed], required: Callable[[str], tuple[Any, ...]]
) -> dict[str, tuple[bytes, ...]]:
    """Per language of ``listed``, the texts every match holds (``required(lang)``
    is the task, run here or in the pool, under a time limit); a language whose
    task fails has none."""
    langs = dict.fromkeys(i.lang for i in listed if i.error is None and i.lang is not None)
    here = here_if_limited(pool, DEFAULT_TIMEOUT)
    asked = {lang: _submit(here, DEFAULT_TIMEOUT, required(lang)) for lang in langs}
    out: dict[str, tuple[bytes, ...]] = {}
    for lang, fut in asked.items():
        try:
            out[lang] = fut.result()
        except Exception:  # timed out or died: the files of that language go to the pool
            out[lang] = ()
    return out


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
