"""The ``kovel`` command: find and rewrite code across a code base with patterns.

::

    kovel find -p 'print($$$A)' src/
    kovel find --json -p 'print($$$A)' src/
    kovel find -C 2 -p 'print($$$A)' src/                          # with 2 lines around
    kovel rewrite -p 'print($$$A)' -r 'log($$$A)' src/           # a unified diff
    kovel rewrite -p 'print($$$A)' -r 'log($$$A)' --write src/   # in place
    kovel rewrite -l python -p 'print($$$A)' -r 'log($$$A)' - < a.py   # the whole text, rewritten
    kovel rewrite -p 'print($$$A)' -r 'log($$$A)' -i src/        # asking for each change

Exit status: 0 when something matched (or changed), 1 when nothing did, 2 on
a usage error (a rewrite that uses a metavariable the pattern does not bind
is one, found before any file is read) or when any file could not be read,
parsed or written (each reported on stderr with its path and the reason; the
other files are still processed).  Files found in directories in a language
whose grammar is not installed, or in which the pattern does not parse, are
skipped with a note, and so are files found there that are not text: not
UTF-8, or for Python not in the encoding their coding declaration names (as
``rg`` skips binary files); named on the command line, such a file is an
error.  When missing grammars (or a missing tree-sitter) leave nothing to
search, that is an error too, never "no match".  A rewrite that adds syntax
errors to a file, or makes a Python file that compiled no longer compile, is
not written without ``--force``.

Symbolic links met in directories are skipped unless ``--follow``; links
named on the command line are followed.  Either way ``--write`` writes no
file whose real path lies outside the directories given (for a file named,
the directory holding it), nor a file the user may not write, nor one with
several hard links (which a rewrite would split); each is an error.  A file
keeps its owner, group and mode; when the user cannot give it its owner or
group, a note says so and the setuid and setgid bits are dropped.

Files are written by this process alone, never by the workers: a worker can
be killed at any moment (by ``--timeout``, or from outside) and the run can
be interrupted, and a file is only ever replaced by renaming a complete
temporary file over it, so each file ends up either old or new.
"""

from __future__ import annotations

import argparse
import atexit
import errno
import hashlib
import importlib
import io
import os
import re
import sys
import time
import traceback
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Executor, Future
from typing import Any, NoReturn, TypeAlias, TypeVar

from kovel.batch import (
    DEFAULT_TIMEOUT,
    TASK_MODULES,
    TIMEOUT_PER_MB,
    FoundFile,
    RewrittenFile,
    Timeout,
    apply_changes,
    default_timeout,
    find_files,
    find_source,
    judge_elsewhere,
    rewrite_files,
    rewrite_source,
)
from kovel.batch.cache import DEFAULT_CACHE_SIZE
from kovel.batch.files import Listed, list_files, write_roots
from kovel.batch.ignore import glob_problem
from kovel.batch.safewrite import NotWrittenError, SafeWriter
from kovel.batch.tasks import TIMED_OUT, check_pattern, describe_error, hook
from kovel.batch.workers import WatchdogPool, executor_for
from kovel.cli import interactive, output
from kovel.cli.behind import Behind
from kovel.cli.ruletest import run_tests
from kovel.cli.scan import run_scan
from kovel.rules import Matcher, RuleFileError, load_rules, matcher
from kovel.rules.langs import language_of
from kovel.rules.load import SEVERITIES
from kovel.rules.project import find_config, with_project_utils
from kovel.treesitter.grammars import grammar_problem, tree_sitter_problem

__all__ = ["main", "run"]

R = TypeVar("R")
_EPILOG = """\
exit status: 0 something matched or changed, 1 nothing did, 2 usage error or a
file that could not be read, parsed or written (reported on stderr). Files
found in directories in a language without an installed grammar, or in which
the pattern does not parse, or that are not text (not UTF-8, or for Python
not in their declared encoding) are skipped with a note (2 when missing
grammars leave nothing to search). PATH - reads standard input (with --lang): find
prints it as <stdin>, rewrite prints the whole rewritten text.
--write leaves alone, as errors, files outside the paths given (through
symbolic links), files the user may not write and files with hard links.
JSON lines (find --json): path (a name that is not UTF-8 as {"bytes": base64},
as ripgrep writes it), lang, bytes [start, end), start and end
{line, column} (1-based, columns in characters, end exclusive), text,
bindings (texts), lines (the text of the lines the match covers, long lines
cut as --max-columns says), binding_ranges (per binding: text, bytes, start,
end; a list of them for $$$NAME). rewrite --json: one line per change: path,
lang, bytes, start, end, old, new.
"""


def run() -> NoReturn:
    """The ``kovel`` command: ``main()``, then the process ends at once.

    A run leaves behind many objects (terms, compiled patterns, the modules'
    tables) that the interpreter would free one by one on its way out: tens
    of milliseconds, for commands that often take a few hundred.  By the
    time ``main`` returns, every file it writes is written and closed; the
    standard streams are flushed here and the exit handlers run as usual, so
    ending the process directly skips only that freeing.  When ``main``
    raises (``SystemExit`` from a usage error, Ctrl-C), the exit is the
    ordinary one.

    >>> import pathlib, subprocess, sys, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("print(1)\\n")
    >>> argv = [sys.executable, "-c", "from kovel.cli import run; run()", "find", "-p", "print($A)", str(f)]
    >>> done = subprocess.run(argv, capture_output=True, text=True)
    >>> done.returncode, done.stdout.endswith("a.py:1:1: print(1)\\n")
    (0, True)
    """
    _standard_streams_open()
    for stream in (sys.stdout, sys.stderr):
        # File names and a diff's lines are written as their own bytes, UTF-8 or not.
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="surrogateescape")
    try:
        code = main()
    except OSError as exc:
        code = 2
        if exc.filename is not None:
            _complain(traceback.format_exc())
        elif exc.errno not in _OUTPUT_ERRORS:  # (a deleted working directory, too many open files)
            _complain(f"kovel: {exc.strerror or exc}\n")
        else:
            # Standard output (or error) cannot take the results (a full disk, a
            # closed pipe's other errors): said once, where it still can be, as a failure.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            _complain(f"kovel: cannot write the output: {exc.strerror or exc}\n")
    except Exception:  # a fault of kovel's own (or no memory left): a failure, never "no match"
        code = 2
        _complain(traceback.format_exc())
    for stream in (sys.stdout, sys.stderr):
        if stream is None:
            continue
        try:
            stream.flush()
        except BrokenPipeError:  # `kovel find ... | head`: the reader has gone; end quietly
            pass
        except OSError:  # a full disk, say: the ordinary exit reports it, and fails
            sys.exit(code)
    atexit._run_exitfuncs()
    os._exit(code)


#: What writing to standard output (or error) fails with; other errors without a file name are no output's.
_OUTPUT_ERRORS = frozenset(
    {errno.ENOSPC, errno.EIO, errno.EPIPE, errno.EBADF, errno.EFBIG, errno.EDQUOT, errno.EROFS, errno.EAGAIN}
)


def _complain(text: str) -> None:
    """Write ``text`` to standard error, unless it cannot take it either (``2>/dev/full``):
    the exit status says the run failed all the same."""
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def _standard_streams_open() -> None:
    """Give a standard stream the command was started without (``2>&-``, a
    daemon's closed descriptors) the null device: else the next file opened
    takes its number, and whatever writes to that stream (a worker's report,
    a message) would write into the file."""
    while True:
        fd = os.open(os.devnull, os.O_RDWR)
        if fd > 2:
            os.close(fd)
            break
    # (Standard input stays None: reading `-` says it is closed. Standard error's
    # notes are dropped, as the null device drops them; the results are no notes.)
    if sys.stdout is None:
        sys.stdout = _closed_text(1)
    if sys.stderr is None:
        sys.stderr = open(2, "w", closefd=False, encoding="utf-8", errors="surrogateescape")


class _Closed(io.RawIOBase):
    """Standard output the command was started without: the results it would
    print are lost, and that fails the run (as grep's), where Python would
    drop them and the run end in success.  (Its text, and its bytes, which a
    rewritten standard input is written as: ``_closed_text``.)"""

    def __init__(self, fd: int) -> None:
        super().__init__()
        self._fd = fd

    def fileno(self) -> int:
        return self._fd

    @property
    def name(self) -> int:
        return self._fd

    def writable(self) -> bool:
        return True

    def write(self, data: object) -> int:
        if not data:
            return 0
        raise OSError(errno.EBADF, "the command was started with this stream closed")


def _closed_text(fd: int) -> io.TextIOWrapper:
    return io.TextIOWrapper(_Closed(fd), encoding="utf-8", errors="surrogateescape", write_through=True)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default ``sys.argv[1:]``); return the exit status.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("print(1)\\n")
    >>> main(["find", "-p", "print($A)", "--jobs", "1", str(f)])  # doctest: +ELLIPSIS
    /.../a.py:1:1: print(1)
    0
    """
    parser = _arguments()
    args = parser.parse_args(_with_levels(sys.argv[1:] if argv is None else list(argv)))
    if args.command in ("scan", "test"):
        try:
            return run_scan(args) if args.command == "scan" else run_tests(args)
        except KeyboardInterrupt:
            print("kovel: interrupted; every file is either unchanged or fully fixed", file=sys.stderr)
            return 130
        except BrokenPipeError:  # `kovel scan ... | head`: stop quietly
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 0
    if args.pattern is None and args.rule is None:
        parser.error("the following arguments are required: -p/--pattern (or --rule)")
    if args.pattern is not None and args.rule is not None:
        parser.error("-p/--pattern and --rule cannot go together")
    if args.command == "rewrite" and args.rule is None and args.rewrite is None:
        parser.error("the following arguments are required: -r/--rewrite (or --rule with a fix)")
    if args.rule is not None and args.command == "rewrite" and args.rewrite is not None:
        parser.error("--rule rewrites with the rule's fix: -r/--rewrite cannot go with it")
    if args.rule is not None:
        try:
            configs = load_rules(args.rule)
            project = find_config()
            if project is not None:  # (the project's utility rules, which the rule may name)
                configs = with_project_utils(configs, project)
            if len(configs) != 1:
                raise ValueError(f"{args.rule}: --rule takes a file with one rule ({len(configs)} found)")
            if args.command == "rewrite" and configs[0].fix is None:
                raise ValueError(f"{args.rule}: the rule has no fix to rewrite with")
            try:
                args.pattern = matcher(configs[0])
            except (ValueError, SyntaxError, re.error) as exc:
                raise ValueError(f"{configs[0].named}: {exc}") from None
        except (RuleFileError, ValueError, SyntaxError, re.error) as exc:
            print(f"kovel: {exc}", file=sys.stderr)
            return 2
    run = _Run(args)
    try:
        return run.execute()
    except KeyboardInterrupt:
        run.err("kovel: interrupted; every file is either unchanged or fully rewritten")
        return 130
    except BrokenPipeError:  # e.g. `kovel find ... | head`: stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 2 if run.failed else 0 if run.found else 1


def _arguments() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="kovel",
        description="Find and rewrite code with patterns written in the code's own language.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-p", "--pattern", help="the pattern, e.g. 'print($$$A)'")
    common.add_argument(
        "--rule", metavar="FILE", help="a rule file (YAML, one rule) instead of -p; rewrite uses its fix"
    )
    common.add_argument(
        "-l",
        "--lang",
        type=_language_arg,
        help="the language of the files (default: from each file's extension); ast-grep's names work too (js, ts, rs)",
    )
    common.add_argument(
        "-j", "--jobs", type=_positive_int, default=os.cpu_count() or 1, help="worker processes"
    )
    common.add_argument(
        "--timeout",
        type=_positive_float,
        metavar="SECONDS",
        help="seconds all the work on one file may take before it is reported and skipped "
        f"(default {DEFAULT_TIMEOUT:g}, plus {TIMEOUT_PER_MB:g} per MB of the file)",
    )
    common.add_argument(
        "-g",
        "--glob",
        action="append",
        default=[],
        type=_glob,
        metavar="GLOB",
        help="walk only the files this gitignore-style glob matches ({a,b} for either), "
        "or with '!' skip them; repeatable, later globs win",
    )
    common.add_argument(
        "--no-ignore", action="store_true", help="do not skip what .gitignore and .ignore files ignore"
    )
    common.add_argument(
        "--hidden", action="store_true", help="walk hidden files and directories (names starting with '.')"
    )
    common.add_argument(
        "-L",
        "--follow",
        action="store_true",
        help="follow symbolic links in directories (--write still writes only inside the paths given)",
    )
    common.add_argument(
        "--cache",
        metavar="DIR",
        type=_cache_dir,
        help="keep parsed files in DIR; a later run decodes an unchanged file instead of parsing it",
    )
    common.add_argument(
        "--cache-size",
        type=_positive_int,
        default=DEFAULT_CACHE_SIZE,
        metavar="BYTES",
        help=f"bytes --cache keeps, least recently used out (default {DEFAULT_CACHE_SIZE})",
    )
    common.add_argument(
        "paths",
        nargs="*",
        default=["."],
        metavar="PATH",
        help="files and directories (default: .), or - for standard input (with --lang)",
    )
    find = sub.add_parser("find", parents=[common], help="print every match", epilog=_EPILOG)
    rewrite = sub.add_parser("rewrite", parents=[common], help="rewrite every match", epilog=_EPILOG)
    rewrite.add_argument("-r", "--rewrite", help="the replacement, e.g. 'log($$$A)'")
    _output_options(find, rewrite)
    _scan_parsers(sub)
    rewrite.add_argument(
        "--force",
        action="store_true",
        help="write a rewrite even if it adds syntax errors to the file (or a Python file no longer compiles)",
    )
    return top


def _output_options(find: argparse.ArgumentParser, rewrite: argparse.ArgumentParser) -> None:
    """What is printed, and how: ``find``'s modes and context, ``rewrite``'s diff, JSON or questions."""
    mode = find.add_mutually_exclusive_group()
    mode.add_argument("--json", action="store_true", help="one JSON object per match")
    mode.add_argument(
        "-c", "--count", action="store_true", help="print only the number of matches of each file: path:N"
    )
    mode.add_argument(
        "--files-with-matches", action="store_true", help="print only the paths of the files with a match"
    )
    lines = "lines to show %s each match (text output; a line a match covers is shown once)"
    find.add_argument("-A", "--after-context", type=_count, metavar="N", help=lines % "after")
    find.add_argument("-B", "--before-context", type=_count, metavar="N", help=lines % "before")
    find.add_argument("-C", "--context", type=_count, metavar="N", help=lines % "before and after")
    how = rewrite.add_mutually_exclusive_group()
    how.add_argument("-w", "--write", action="store_true", help="change the files instead of printing a diff")
    how.add_argument("--json", action="store_true", help="print one JSON object per change instead of a diff")
    how.add_argument(
        "-i",
        "--interactive",
        action="store_true",
        help="show each change and ask whether to make it (y/n/a/q); needs a terminal",
    )
    for p in (find, rewrite):
        p.add_argument(
            "-M",
            "--max-columns",
            type=_count,
            default=output.DEFAULT_MAX_COLUMNS,
            metavar="N",
            help="cut printed lines longer than N characters to N around the match, marking what is "
            f"left out (default {output.DEFAULT_MAX_COLUMNS}; 0: never; diffs are never cut)",
        )


def _with_levels(argv: list[str]) -> list[str]:
    """``argv`` with scan's bare ``--error`` (and the other levels) spelled
    ``--error=*``: as in ast-grep, a level takes rule ids only after ``=``, so
    that ``--error src`` scans src with every rule an error."""
    if not argv or argv[0] != "scan":
        return argv
    end = argv.index("--") if "--" in argv else len(argv)
    return [f"{x}=*" if i < end and x in _LEVEL_FLAGS else x for i, x in enumerate(argv)]


_LEVEL_FLAGS = tuple(f"--{level}" for level in SEVERITIES)


def _scan_parsers(sub: Any) -> None:
    """``kovel scan`` and ``kovel test``."""
    scan = sub.add_parser(
        "scan",
        help="run a project's rules (kovel.yml) or a rule file over files",
        description="Run every rule of the project (kovel.yml, found here or above) or of a rule file. "
        "Exit status: 1 when an error-severity diagnostic is found, 0 otherwise, 2 on a usage error, "
        "a bad rule file or a file that could not be read or written.",
    )
    scan.add_argument(
        "-c", "--config", metavar="CONFIG", help="the project file (default: kovel.yml here or above)"
    )
    scan.add_argument(
        "-r", "--rule", metavar="RULE_FILE", help="run the rules of this file instead of the project's"
    )
    scan.add_argument(
        "--rule-id", action="append", metavar="ID", help="run only the rule with this id (repeatable)"
    )
    scan.add_argument(
        "--filter", metavar="REGEX", help="run only the rules whose id this regular expression finds"
    )
    fmt = scan.add_mutually_exclusive_group()
    fmt.add_argument(
        "--json",
        dest="format",
        action="store_const",
        const="json",
        default="text",
        help="one JSON object per diagnostic",
    )
    fmt.add_argument("--format", choices=["text", "json", "sarif"], default="text", help="output format")
    scan.add_argument(
        "--color",
        "--colour",
        choices=["auto", "always", "ansi", "never"],
        default="auto",
        metavar="WHEN",
        help="colour the output: auto (on a terminal, unless NO_COLOR is set), always, ansi or never",
    )
    how = scan.add_mutually_exclusive_group()
    how.add_argument("-U", "--fix", "--update-all", dest="fix", action="store_true", help="apply every fix")
    how.add_argument(
        "-i", "--interactive", action="store_true", help="show each fix and ask whether to apply it"
    )
    for level in SEVERITIES:
        scan.add_argument(
            f"--{level}",
            action="append",
            metavar="RULE_ID",
            help=f"written --{level}=RULE_ID, as in ast-grep: make the rule RULE_ID {level} "
            f"(repeatable; --{level} alone: every rule, and a word after it is a path)",
        )
    scan.add_argument("--force", action="store_true", help="write fixes even when they add syntax errors")
    scan.add_argument(
        "-j", "--jobs", type=_positive_int, default=os.cpu_count() or 1, help="worker processes"
    )
    scan.add_argument("--timeout", type=_positive_float, metavar="SECONDS", help="time limit per file")
    scan.add_argument("-g", "--glob", action="append", default=[], metavar="GLOB", help="as for find")
    scan.add_argument(
        "--no-ignore", action="store_true", help="do not skip what .gitignore and .ignore ignore"
    )
    scan.add_argument("--hidden", action="store_true", help="walk hidden files and directories")
    scan.add_argument("-L", "--follow", action="store_true", help="follow symbolic links in directories")
    scan.add_argument("--cache", metavar="DIR", type=_cache_dir, help="as for find: keep parsed files in DIR")
    scan.add_argument(
        "--cache-size",
        type=_positive_int,
        default=DEFAULT_CACHE_SIZE,
        metavar="BYTES",
        help=f"bytes --cache keeps, least recently used out (default {DEFAULT_CACHE_SIZE})",
    )
    scan.add_argument(
        "paths", nargs="*", default=["."], metavar="PATH", help="files and directories (default: .)"
    )
    test = sub.add_parser("test", help="test each rule against its valid and invalid snippets")
    test.add_argument(
        "-c", "--config", metavar="CONFIG", help="the project file (default: kovel.yml here or above)"
    )
    test.add_argument(
        "-t", "--test-dir", metavar="TEST_DIR", help="the folder of rule tests (default: testConfigs)"
    )
    test.add_argument(
        "--timeout", type=_positive_float, default=10.0, metavar="SECONDS", help="time limit per rule test"
    )


def _count(s: str) -> int:
    n = int(s)
    if n < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return n


def _language_arg(s: str) -> str:
    if not s.strip():
        raise argparse.ArgumentTypeError("an empty name is no language")
    return language_of(s)


def _positive_int(s: str) -> int:
    try:
        n = int(s)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"{s!r} is not a positive integer")
    return n


def _cache_dir(s: str) -> str:
    if not s:
        raise argparse.ArgumentTypeError("the cache directory is empty: name one (`.` for this one)")
    if os.path.exists(s) and not os.path.isdir(s):
        raise argparse.ArgumentTypeError(f"{s!r} is not a directory")  # a cache there would be kept nowhere
    return s


# The longest time limit taken (some 11 days): past it, clocks and waits overflow.
_MOST_SECONDS = 1e6


def _positive_float(s: str) -> float:
    try:
        x = float(s)
    except ValueError:
        x = 0.0
    if not 0 < x <= _MOST_SECONDS:
        raise argparse.ArgumentTypeError(
            f"{s!r} is not a positive number of seconds, at most {_MOST_SECONDS:.0f}"
        )
    return x


class _Run:
    """One run of the command: the files, the pool, what was found and what went wrong."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.failed = False
        self.found = False
        self.pool: Executor | None = None  # see start_pool
        self.pool_timeout: float | None = None
        self.bar: Any = None
        self.named: set[str] = set()
        self.writer: SafeWriter | None = None
        self.lines: list[str] = []  # printed at the next flush, in one write
        self.behind: Behind | None = None  # writes files while results come in
        # Writes not yet settled, and the lines said after them: said in this order.
        self.pending: deque[Future[_Written] | str] = deque()
        self.written = 0

    def execute(self) -> int:
        a = self.args
        stdin = "-" in a.paths
        problem = tree_sitter_problem() or (_stdin_problem(a) if stdin else None)
        if problem is not None:
            self.err(f"kovel: {problem}")
            return 2
        if a.command == "rewrite" and a.interactive and (sys.stdin is None or not sys.stdin.isatty()):
            self.err("kovel: --interactive needs a terminal on standard input")
            return 2
        timeout = default_timeout if a.timeout is None else a.timeout
        self.pool_timeout = DEFAULT_TIMEOUT if a.timeout is None else a.timeout
        note = output.cache_note(a.cache)
        if note is not None:
            self.err(note)
        try:
            if stdin:
                return self.stdin(timeout)
            found = list_files(
                a.paths, a.lang, ignore=not a.no_ignore, hidden=a.hidden, globs=a.glob, follow=a.follow
            )
            if isinstance(a.pattern, Matcher):  # a rule's files and ignores, as `scan -r` takes them
                base = os.getcwd()
                found = [x for x in found if x.error is not None or a.pattern.config.applies_to(x.path, base)]
            listed = self.files_to_process(found)
            if listed is None:
                return 2
            # Started once the patterns are compiled here: forked workers have them too.
            pool = self.start_pool(len(listed))
            paths = [x.path for x in listed]
            self.named = {x.path for x in listed if x.named}
            if a.command == "find":
                matched = find_files(
                    paths,
                    a.pattern,
                    lang=a.lang,
                    executor=pool,
                    timeout=timeout,
                    context=self.context(),
                    cache=a.cache,
                    listed=listed,
                    details=a.json,  # (only the JSON lines show them)
                )
                self.find(self.progress(matched, len(paths)))
            else:
                if a.write or a.interactive:
                    self.writer = SafeWriter(write_roots(a.paths))
                results = rewrite_files(
                    paths,
                    a.pattern,
                    a.rewrite,
                    lang=a.lang,
                    executor=pool,
                    timeout=timeout,
                    cache=a.cache,
                    listed=listed,
                    keep_term=False,  # the changes are applied to the bytes read
                )
                self.rewrite(self.progress(results, len(paths)))
        except BaseException:
            self.abort()  # Ctrl-C or a broken pipe: do not wait for the files in flight
            raise
        finally:
            if self.bar is not None:
                self.bar.close()
            if self.pool is not None:
                self.pool.shutdown(cancel_futures=True)
        note = output.cache_pruned(a.cache, a.cache_size, note is not None)
        if note is not None:
            self.err(note)
        return 2 if self.failed else 0 if self.found else 1

    def start_pool(self, files: int | None = None) -> Executor:
        """The executor of the files' tasks, started on first use (with no more
        workers than ``files``, when the files are known)."""
        if self.pool is None:
            jobs = self.args.jobs if files is None else max(1, min(self.args.jobs, files))
            self.pool = executor_for(jobs, self.pool_timeout, TASK_MODULES)
        return self.pool

    def abort(self) -> None:
        if isinstance(self.pool, WatchdogPool):
            self.pool.terminate()
        if self.behind is not None:  # no file is written after this
            self.behind.stop()
            try:  # what the writes done so far came to; the run is ending on another error
                self.settle(wait=False)
            except Exception:
                pass
            self.pending.clear()

    def report(self, path: str, reason: str) -> None:
        self.failed = True
        self.err(_report_line(path, reason))

    def passed_over(self, path: str, reason: str, skipped: bool) -> None:
        """Report a file not searched or rewritten: a note for a skipped file found in a directory."""
        if skipped and path not in self.named:
            self.err(f"kovel: note: {path}: {reason}")
        else:
            self.report(path, reason)

    def stdin(self, timeout: Timeout) -> int:
        """Find in, or rewrite, the source on standard input; a rewrite prints the whole text."""
        a = self.args
        if self.files_to_process([Listed("<stdin>", a.lang)]) is None:
            return 2
        if sys.stdin is None:
            self.report("<stdin>", "standard input is closed")
            return 2
        self.named.add("<stdin>")  # asked for: a text that cannot be searched is an error, not a note
        try:
            data = sys.stdin.buffer.read()
        except MemoryError:  # an endless stream (`< /dev/zero`)
            self.report("<stdin>", "standard input does not fit in memory")
            return 2
        if a.command == "find":
            self.find([find_source(data, a.lang, a.pattern, executor=self.start_pool(), timeout=timeout)])
            return 2 if self.failed else 0 if self.found else 1
        r = rewrite_source(data, a.lang, a.pattern, a.rewrite, executor=self.start_pool(), timeout=timeout)
        if r.error is not None:
            self.report(r.path, r.error)
        self.notes(r)
        self.found = r.changed and (a.force or not r.worse)
        if r.changed and not self.found:
            tail = "printed unchanged (--force applies it)"
            self.report(r.path, _worse(r.errors_before, r.errors_after, r.compile_error, tail))
        out = r.text().encode(r.encoding) if self.found else data
        sys.stdout.flush()
        sys.stdout.buffer.write(out)
        sys.stdout.buffer.flush()
        return 2 if self.failed else 0 if self.found else 1

    def out(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stdout)
        else:
            self.lines.append(line)

    def flush(self) -> None:
        # One write for a file's lines: an unbuffered stdout (PYTHONUNBUFFERED)
        # would otherwise make two system calls a line.
        if self.lines:
            sys.stdout.write("\n".join(self.lines) + "\n")
            self.lines.clear()
        sys.stdout.flush()

    def err(self, line: str) -> None:
        if self.pending:  # after what the writes still pending will say
            self.pending.append(line)
        else:
            self.say(line)

    def say(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)

    def files_to_process(self, listed: list[Listed]) -> list[Listed] | None:
        """Report the paths that cannot be processed; check the pattern in each language.

        Returns the files to process, or None on a usage error.
        """
        a = self.args
        ok: list[Listed] = []
        if isinstance(a.pattern, Matcher):
            want = a.pattern.config.language
            for item in listed:
                if item.error is not None or item.lang is None:
                    self.report(item.path, item.error or "no language")
                elif item.lang == want:
                    ok.append(item)
            return ok
        broken: dict[str, str | None] = {}
        # The pattern is compiled under a time limit, in a worker: a grammar may hang on it.
        here = self.start_pool()
        rewrite = a.rewrite if a.command == "rewrite" else None
        langs = dict.fromkeys(x.lang for x in listed if x.error is None and x.lang is not None)
        missing = {lang: why for lang in langs if (why := grammar_problem(lang)) is not None}
        broken.update(missing)
        checks = {
            lang: here.submit(check_pattern, lang, a.pattern, rewrite)
            for lang in langs
            if lang not in missing
        }
        for lang, fut in checks.items():
            try:
                broken[lang] = fut.result()
            except ValueError as exc:  # wrong whatever the language: the rewrite uses what is not bound
                self.err(f"kovel: {exc}")
                return None
            except Exception as exc:
                broken[lang] = f"cannot compile the pattern for {lang}: {describe_error(exc)}"
        for item in listed:
            if item.error is not None or item.lang is None:
                self.report(item.path, item.error or "no language")
            elif broken[item.lang] is None:
                ok.append(item)
        for lang, why in broken.items():
            if why is None:
                continue
            if a.lang is not None:
                self.err(f"kovel: {why}")
                return None
            named = sum(1 for x in listed if x.lang == lang and x.named)
            found = sum(1 for x in listed if x.lang == lang and not x.named)
            if named:  # the user asked for these files
                self.failed = True
                self.err(
                    f"kovel: {why}; {named} {lang} file{'s' * (named != 1)} named on the command line skipped"
                )
            if found:  # a directory holds files of a language the pattern is not for
                self.err(
                    f"kovel: note: {why}; {found} {lang} file{'s' * (found != 1)} in directories skipped"
                )
        if missing and not ok:  # nothing can be searched: not the same as "no match"
            self.failed = True
        return ok

    def progress(self, results: Iterator[R], total: int) -> Iterator[R]:
        """Pass ``results`` through, with a progress bar on stderr when stderr is a
        terminal and the run lasts over a second (with ``tqdm``, a dependency of kovel)."""
        asking = self.args.command == "rewrite" and self.args.interactive  # the bar would cut into questions
        try:
            tqdm = importlib.import_module("tqdm").tqdm if sys.stderr.isatty() and not asking else None
        except ImportError:
            tqdm = None
        if tqdm is None:
            yield from results
            return
        # The bar is made only once a second has passed: tqdm's own `delay`
        # is cut short by the first line written around the bar.
        start = time.monotonic()
        for n, r in enumerate(results):
            if self.bar is None and time.monotonic() - start > 1.0:
                self.bar = tqdm(total=total, initial=n, file=sys.stderr, unit="file", leave=False)
            yield r
            if self.bar is not None:
                self.bar.update(1)

    def context(self) -> tuple[int, int]:
        """Lines before and after each match that the text output of ``find`` shows."""
        a = self.args
        if a.json or a.count or a.files_with_matches:
            return 0, 0
        around = a.context or 0
        before = around if a.before_context is None else a.before_context
        after = around if a.after_context is None else a.after_context
        return before, after

    def find(self, results: Iterable[FoundFile]) -> None:
        a = self.args
        mode: output.Mode = (
            "json" if a.json else "count" if a.count else "files" if a.files_with_matches else "text"
        )
        printer = output.FindPrinter(mode, *self.context(), max_columns=a.max_columns)
        for r in results:
            if r.error is not None:
                self.passed_over(r.path, r.error, r.skipped)
            if r.matches:
                self.found = True
            for line in printer.file(r):
                self.out(line)
            self.flush()  # each file as it comes: a long run shows its first matches at once

    def notes(self, r: RewrittenFile) -> None:
        """Say why each match of ``r`` left as it is was not rewritten."""
        for why in r.left_alone:
            self.err(f"kovel: note: {output.shown_path(r.path)}: a match left as it is: {why}")

    def rewrite(self, results: Iterable[RewrittenFile]) -> None:
        a = self.args
        if a.write and not a.interactive and not a.json:
            self.behind = Behind()
        review = interactive.Review(self.show, max_columns=a.max_columns) if a.interactive else None
        for r in results:
            if r.error is not None:
                self.passed_over(r.path, r.error, r.skipped)
            self.notes(r)
            if not r.changed:
                continue
            if review is not None:  # the changes the user picks are judged, not all of them
                self.review(r, review)
                if review.quit:
                    break
                continue
            if r.worse and not a.force:
                tail = "not written (--force writes it)" if a.write else "shown, but --write will skip it"
                self.report(r.path, _worse(r.errors_before, r.errors_after, r.compile_error, tail))
                if a.write:
                    continue
            if a.json:
                self.found = True
                for c in r.changes:
                    self.out(output.change_json(r, c))
                self.flush()
            elif self.behind is not None:
                self.pending.append(self.behind.submit(self.write_changes, r))
                self.settle(wait=False)
            else:
                self.diff(r)
        self.settle(wait=True)
        if (a.write or review is not None) and self.written:
            self.err(f"kovel: {self.written} file{'s' * (self.written != 1)} rewritten")

    def settle(self, wait: bool) -> None:
        """Say what the writes done so far came to (with ``wait``, all of them), and the
        lines said after each, in order."""
        while self.pending:
            head = self.pending[0]
            if not isinstance(head, str) and not wait and not head.done():
                return
            self.pending.popleft()
            if isinstance(head, str):
                self.say(head)
            else:
                self.tell(*head.result())

    def review(self, r: RewrittenFile, review: interactive.Review) -> None:
        """Ask about each change of ``r``; write the accepted ones."""
        data = self.read_unchanged(r, "not rewritten")
        if data is None:
            return
        accepted = review.file(r, data)
        if not accepted:
            return
        new = apply_changes(data, accepted, r.encoding)
        after, rejected = r.errors_after, r.compile_error
        if len(accepted) < len(r.changes):  # another text than the worker judged, in a worker too
            try:
                after, rejected = judge_elsewhere(self.start_pool(), self.pool_timeout, r, data, new)
            except Exception as exc:
                self.report(
                    r.path, f"the rewritten file cannot be checked: {describe_error(exc)}; not written"
                )
                return
        if (after > r.errors_before or rejected is not None) and not self.args.force:
            tail = "not written (--force writes it)"
            self.report(r.path, _worse(r.errors_before, after, rejected, tail))
            return
        self.tell(*self.write(r, new))

    def write_changes(self, r: RewrittenFile) -> _Written:
        """Write ``r``'s rewritten text: its changes spliced into the bytes read (they
        make the text its term renders).  Says nothing: see ``write``."""
        return self.write(r, lambda data: apply_changes(data, r.changes, r.encoding))

    def write(self, r: RewrittenFile, new: bytes | Callable[[bytes], bytes]) -> _Written:
        """Replace ``r``'s file with ``new``.  May run behind the main loop, so it
        says nothing: it returns what came of it, for ``tell`` to say."""
        hook("write", r.path)
        assert self.writer is not None
        if self.behind is not None and self.behind.stopped.is_set():
            return r, False, None, []  # interrupted: this file stays as it is
        try:
            notes = self.writer.replace(r.path, new, r.digest)
        except NotWrittenError as exc:
            return r, False, str(exc), []
        except OSError as exc:
            return r, False, f"cannot write: {exc.strerror or exc}", []
        return r, True, None, notes

    def tell(self, r: RewrittenFile, written: bool, problem: str | None, notes: list[str]) -> None:
        """Say what writing ``r`` came to (``write``'s result)."""
        if problem is not None:
            self.failed = True
            self.say(_report_line(r.path, problem))
        if notes:
            self.say(f"kovel: note: {output.shown_path(r.path)}: {'; '.join(notes)}")
        if written:
            self.found = True
            self.written += 1

    def read_unchanged(self, r: RewrittenFile, otherwise: str) -> bytes | None:
        """The bytes of ``r``'s file, or None (reported) when it cannot be read or changed since."""
        data = _read_unchanged(r, otherwise)
        if isinstance(data, str):
            self.report(r.path, data)
            return None
        return data

    def diff(self, r: RewrittenFile) -> None:
        data = self.read_unchanged(r, "no diff")
        if data is None:
            return
        self.found = True
        self.out(output.unified_diff(r.path, data, apply_changes(data, r.changes, r.encoding)))
        self.flush()

    def show(self, text: str) -> None:
        sys.stdout.write(text)
        sys.stdout.flush()


#: What writing a file came to: the file, whether it was written, why not, notes on it.
_Written: TypeAlias = tuple[RewrittenFile, bool, str | None, list[str]]


def _glob(value: str) -> str:
    """A ``--glob`` value, or a usage error for one that could never match."""
    problem = glob_problem(value)
    if problem is not None:
        raise argparse.ArgumentTypeError(f"{value!r} matches nothing: {problem}")
    return value


def _report_line(path: str, reason: str) -> str:
    """The line that reports a problem with the file at ``path``."""
    if reason.startswith(TIMED_OUT):
        reason += "; --timeout SECONDS raises the limit"
    return f"kovel: {output.shown_path(path)}: {reason}"


def _read_unchanged(r: RewrittenFile, otherwise: str) -> bytes | str:
    """The bytes of ``r``'s file, or why they cannot be had: it cannot be read, or changed since."""
    try:
        with open(r.path, "rb") as f:
            data = f.read()
    except OSError as exc:
        return f"cannot read: {exc.strerror or exc}"
    if hashlib.sha256(data).hexdigest() != r.digest:
        return f"changed on disk since it was read; {otherwise}"
    return data


def _worse(before: int, after: int, rejected: str | None, tail: str) -> str:
    """Why a rewrite is not written: the syntax errors it adds, what Python says."""
    why = []
    if after > before:
        why.append(f"the rewrite adds syntax errors ({before} before, {after} after)")
    if rejected is not None:
        why.append(f"Python rejects the rewritten file: {rejected}")
    return "; ".join([*why, tail])


def _stdin_problem(a: argparse.Namespace) -> str | None:
    """Why ``-`` (standard input) cannot be read with these arguments, or None."""
    if len(a.paths) > 1:
        return "'-' (standard input) cannot be mixed with other paths"
    if a.lang is None:
        return "reading standard input ('-') needs --lang, e.g. --lang python"
    if a.command == "rewrite" and a.write:
        return "--write cannot write to standard input; without it the rewritten text goes to standard output"
    if a.command == "rewrite" and a.interactive:
        return "--interactive reads its answers from the terminal: it cannot rewrite standard input"
    if a.command == "rewrite" and a.json:
        return "--json cannot go with standard input: the rewritten text goes to standard output"
    return None
