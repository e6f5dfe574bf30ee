"""The work on one file, done in a worker: read, decode, parse, match, rewrite, judge.

A task takes a path (or the file's bytes) and returns a ``FoundFile`` or a
``RewrittenFile``; whatever goes wrong with the file is that result's
``error``.  Tasks run in worker processes, so what they take and return
pickles; ``hook`` lets the tests break a file at a given stage.
"""

from __future__ import annotations

import array
import bisect
import codecs
import functools
import hashlib
import importlib
import io
import os
import re
import tokenize
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

from kovel import _native
from kovel._kovel import KTerm
from kovel.batch.cache import Stored, TermCache
from kovel.batch.files import read_bytes
from kovel.batch.linebreaks import broken_lines, misplaced_directives
from kovel.batch.pycheck import newly_rejected, pieces_compile
from kovel.batch.results import (
    Change,
    Diagnostic,
    FileMatch,
    FoundFile,
    RewrittenFile,
    ScannedFile,
    Span,
    codec_has_state,
)
from kovel.quasi import Match, MisreadError, Pattern, Template, pattern, template
from kovel.quasi.match import (
    replacements,
    search_source,
    search_source_parsed,
    search_stored,
    source_bindings,
)
from kovel.quasi.parse import is_hole, parse_quasi, restricts_calls_in
from kovel.rules import Found, Matcher, RuleConfig, compiled
from kovel.rules.engine import Search
from kovel.treesitter.convert import Parsed, parse_with_errors, syntax_errors, tree_errors
from kovel.treesitter.grammars import language, parser
from kovel.treesitter.timeout import parse_until

if TYPE_CHECKING:
    from tree_sitter import Parser, Tree

__all__ = [
    "TIMED_OUT",
    "MatchLike",
    "PatternLike",
    "check_pattern",
    "describe_error",
    "error_spans",
    "find_task",
    "hook",
    "judge",
    "parse_tree",
    "rewrite_task",
    "scan_task",
    "suppressed",
]


#: How an error that a time limit caused starts.
TIMED_OUT = "timed out"


class MatchLike(Protocol):
    """What the batch functions read of a match: where it lies in the term's text and its bindings."""

    @property
    def span(self) -> tuple[int, int]: ...
    @property
    def bindings(self) -> Mapping[str, KTerm | Sequence[KTerm]]: ...


class PatternLike(Protocol):
    """What the batch functions need of a pattern (``kovel.quasi.Pattern`` has it)."""

    def find_all(self, t: KTerm, /) -> Iterable[MatchLike]: ...
    def rewrite(self, t: KTerm, replacement: Any, /) -> KTerm: ...


def describe_error(exc: BaseException) -> str:
    """How a task that failed, rather than returning its file's error, is reported for its file.

    >>> describe_error(TimeoutError("parsing took longer than 1 s")), describe_error(KeyError("x"))
    ('timed out: parsing took longer than 1 s', "KeyError: 'x'")
    """
    if isinstance(exc, TimeoutError):
        return f"{TIMED_OUT}: {exc}"
    if isinstance(exc, ChildProcessError):
        return f"worker failed: {exc}"
    return f"{type(exc).__name__}: {exc}"


def hook(stage: str, path: str) -> None:
    """Call the test hook named by $KOVEL_TEST_HOOK ("module:function"), if any, with
    the stage (``"read"`` and ``"judge"`` in a worker, ``"write"`` in the command)
    and the path:
    the tests make a file hang, die or change at that point.

    >>> import os
    >>> os.environ["KOVEL_TEST_HOOK"] = "builtins:print"
    >>> hook("read", "a.py")
    read a.py
    >>> del os.environ["KOVEL_TEST_HOOK"]
    """
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
    return parse_until(_parser(lang), data, timeout)


def _error_note(pos: _Positions, error: tuple[int, int], span: tuple[int, int], match: str) -> str:
    """Where the syntax error ``error`` stands against ``match`` (its ``span``),
    both in characters: inside it, or around it (what tree-sitter could not
    parse may reach far beyond the error itself)."""
    (a, b), (s, e) = error, span
    if a < s and e < b:
        (l1, c1), (l2, c2) = pos.line_col(a), pos.line_col(b)
        return f"{match} lies in code that does not parse, from {l1}:{c1} to {l2}:{c2}"
    line, col = pos.line_col(a)
    return f"a syntax error at {line}:{col} lies in {match}"


def error_spans(tree: Tree) -> list[tuple[int, int]]:
    """Byte ranges of the error and missing nodes of ``tree``.

    >>> error_spans(parse_tree("python", b"x = (\\n", None))
    [(0, 5)]
    """
    return list(tree_errors(tree.root_node))


@dataclass(slots=True)
class _Loaded:
    data: bytes  # the file's bytes
    text: str
    encoding: str  # turns text back into data
    parsed: bytes  # the UTF-8 bytes that tree-sitter parsed (data itself for UTF-8)
    errors: tuple[tuple[int, int], ...]  # error_spans of the tree
    term: KTerm | None  # None: not parsed, the pattern cannot match
    pat: PatternLike | None  # None: loaded for rules, which bring their own
    parse: Parsed | None = None  # with its tree, when parsed and asked to keep it
    matches: list[list[Match]] | None = None  # of the patterns searched for, when searched alone
    stored: Stored | None = None  # the cache's entry, when its term was searched in parts and not decoded


def _load(
    path: str,
    lang: str,
    timeout: float | None,
    data: bytes | None,
    pattern: str | PatternLike | None,
    cache: TermCache | None = None,
    keep_tree: bool = False,
    search: Sequence[Pattern] = (),
    whole: bool = False,
    bindings: bool = True,
) -> _Loaded:
    """Read (unless ``data`` is given), decode and parse one file (or take its term
    from ``cache``), and compile ``pattern``; raise ``_Skip`` with the reason the
    file cannot be read or parsed.  A file lacking a text that every match of
    the pattern holds is not parsed (its term is None).  The matches of the
    patterns of ``search`` are found without converting (or decoding) the
    whole term where the cache allows (``matches`` is set, and the term is
    None); with ``whole``, the term is made all the same where one of them
    matched, or the cache entry it can be decoded from is kept (a rewrite
    may need it).  Without ``bindings``, their bindings are not laid out
    (see ``search_source``)."""
    if data is None:
        try:
            data = read_bytes(path)
        except OSError as exc:
            raise _Skip(f"cannot read: {exc.strerror or exc}") from None
    hook("read", path)
    text, encoding = _decode(data, lang)
    parsed = data if encoding == "utf-8" else text.encode("utf-8")
    pat = _pattern_for(lang, pattern) if pattern is not None else None
    if isinstance(pat, Pattern) and not holds_all(parsed, _needed(pat)):
        return _Loaded(data, text, encoding, parsed, (), None, pat)
    key = cache.key(lang, parsed) if cache is not None else ""
    got = None
    found: list[list[Match]] | None = None
    if cache is not None:
        stored = cache.stored(key)
        if stored is not None and search:
            # Only the parts of the term where a match can be are decoded.
            found = search_stored(search, stored.blob, stored.outline, stored.offset, parsed, text, bindings)
            if found is not None:
                keep = stored if whole else None  # decoded whole when needed
                return _Loaded(
                    data, text, encoding, parsed, stored.errors, None, pat, matches=found, stored=keep
                )
        got = stored.parsed() if stored is not None else None
        if got is not None and not _renders_as(got.term, text):
            got = None  # a term of other text than the file's: parsed again, and stored anew
    if got is None:
        try:
            # In this process: the pool watches for a grammar stuck in its scanner.
            if search and cache is None:
                if whole:
                    seen, got = search_source_parsed(search, parsed, text, timeout=timeout)
                else:
                    seen = search_source(search, parsed, text, timeout=timeout, bindings=bindings)
                found = seen.matches
                if got is None:
                    return _Loaded(data, text, encoding, parsed, seen.errors, None, pat, matches=found)
            else:
                got = parse_with_errors(lang, parsed, timeout=timeout, keep_tree=keep_tree)
        except TimeoutError as exc:
            raise _Skip(f"{TIMED_OUT}: {exc}") from None
        except ValueError as exc:
            raise _Skip(f"cannot parse: {exc}") from None
        if cache is not None:
            cache.put(key, got)
    return _Loaded(data, text, encoding, parsed, got.errors, got.term, pat, got, found)


def _decode(data: bytes, lang: str) -> tuple[str, str]:
    """The text of ``data`` and the codec that gives the bytes back; raise ``_NotText``.

    Files are UTF-8, but for Python files, which may declare another
    encoding (PEP 263).  A byte order mark stays in the text, so that it is
    written back.

    >>> _decode("# coding: cp1251\\nx = 'ж'\\n".encode("cp1251"), "python")
    ("# coding: cp1251\\nx = 'ж'\\n", 'cp1251')
    >>> _decode(b"# coding: unicode_escape\\nx = '\\\\x41'\\n", "python")
    Traceback (most recent call last):
    ...
    kovel.batch.tasks._NotText: its encoding unicode-escape does not give its bytes back from its text
    >>> _decode(b"x = '\\xe9'\\n", "python")
    Traceback (most recent call last):
    ...
    kovel.batch.tasks._NotText: not UTF-8 text (byte 5, line 1)
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
        text = data.decode(encoding)
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        name = "UTF-8" if encoding == "utf-8" else encoding
        raise _NotText(f"not {name} text (byte {exc.start}, line {line})") from None
    except (LookupError, UnicodeError) as exc:  # a codec of no text (rot13), or one that fails otherwise
        raise _NotText(f"not text in its declared encoding {encoding}: {exc}") from None
    # What is written back is the text encoded again: a codec that reads escapes
    # (unicode_escape) would write other bytes than the file's, where nothing changed.
    if encoding != "utf-8" and not _gives_back(text, encoding, data):
        raise _NotText(f"its encoding {encoding} does not give its bytes back from its text")
    if lang == "python" and "\r" in text and _LONE_CR.search(text):
        # Python ends a line at a lone CR; its grammar reads one as a space.
        raise _NotText("a carriage return alone ends a line, which its grammar does not read as Python does")
    return text, encoding


def _gives_back(text: str, encoding: str, data: bytes) -> bool:
    """Whether ``text`` encoded again is ``data`` (a codec such as idna may refuse to)."""
    try:
        return text.encode(encoding, errors="replace") == data
    except (UnicodeError, LookupError):
        return False


_LONE_CR = re.compile(r"\r(?!\n)")


def _python_encoding(data: bytes) -> str:
    """The codec a Python file's coding declaration names (``utf-8`` for none, and for a BOM)."""
    # A declaration lies in the first two lines and spells "coding"; ASCII
    # lines without it are what nearly every file starts with, and tokenize's
    # reading of them (in Python) would give utf-8 too.
    first = data.find(b"\n") + 1 or len(data)
    head = data[: data.find(b"\n", first) + 1 or len(data)]
    if b"coding" not in head and head.isascii():
        return "utf-8"
    name, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    name = codecs.lookup(name).name
    return "utf-8" if name == "utf-8-sig" else name


def _renders_as(term: KTerm, text: str) -> bool:
    """Whether ``term`` (a cache's) renders text as long as ``text``: not so one
    of another file, nor one that renders nothing (more holes than children,
    which the core reports as a broken invariant, no ``Exception``)."""
    try:
        return _native.rendered_length(term) == len(text)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # the core's PanicException
        return False


class _Skip(Exception):
    pass


class _NotText(_Skip):
    """The file is not text in its encoding."""


class _Positions:
    """Turns character offsets of a text into bytes, lines and columns.

    ``data`` is the file's bytes (``text`` in ``encoding``); without it they
    are ``text`` encoded again.
    """

    def __init__(self, text: str, encoding: str = "utf-8", data: bytes | None = None) -> None:
        self.text = text
        self.encoding = encoding
        self.ascii = text.isascii()
        chars, utf8 = _native.line_table(text)
        self.starts: Sequence[int] = memoryview(chars).cast("q")
        # The byte offset of each line's start in UTF-8 (in another encoding, made when needed).
        self._bytes: Sequence[int] = memoryview(utf8).cast("q")
        self._recount = encoding != "utf-8"
        self._cursor = (0, 0)  # a character offset and its byte offset
        self._lines: dict[int, str] = {}
        self._data = data
        self._counts: Sequence[int] | None = None  # in a codec with state: see _decoded_counts

    def line_col(self, i: int) -> tuple[int, int]:
        line = bisect.bisect_right(self.starts, i)
        return line, i - self.starts[line - 1] + 1

    def byte(self, i: int) -> int:
        """The offset in the file's bytes where character ``i`` starts (or the text's end)."""
        if self.encoding != "utf-8" and codec_has_state(self.encoding):
            if self._counts is None:
                data = self._data if self._data is not None else self.text.encode(self.encoding)
                self._counts = _decoded_counts(data, self.encoding)
            return bisect.bisect_left(self._counts, i)
        if self.ascii:
            return i
        if self._recount:
            # Each line's bytes are those of its characters encoded alone.
            acc, out = 0, [0]
            for a, b in zip(self.starts, [*self.starts[1:], len(self.text)], strict=True):
                acc += len(self.text[a:b].encode(self.encoding))
                out.append(acc)
            self._bytes, self._recount = out, False
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


def _decoded_counts(data: bytes, encoding: str) -> Sequence[int]:
    """How many whole characters each prefix ``data[:b]`` holds, for every ``b``.

    Character ``i`` starts at the first byte where the count reaches ``i``.
    That holds in every codec: in one with state (UTF-7, ISO-2022) a
    character's bytes need not be its own (a base64 run carries several, an
    escape switches the set), and encoding a piece of the text alone would
    give other bytes than the file's.  A prefix's count is what its decoder
    has given, and what it would give if the bytes ended there: the
    incremental decoders of such codecs hold a whole run back.

    >>> list(_decoded_counts("é,".encode("utf-7"), "utf-7"))  # b'+AOk,'
    [0, 0, 0, 0, 1, 2]
    """
    make = codecs.getincrementaldecoder(encoding)
    if not make.__module__.startswith("encodings."):
        return _PrefixCounts(data, encoding)  # whose decoder's state is not known to be whole
    decoder = make()
    counts = array.array("q", bytes(8 * (len(data) + 1)))
    n = last = 0
    for b in range(len(data)):
        n += len(decoder.decode(data[b : b + 1]))
        ending = make("ignore")  # a partial character at the end is not one
        ending.setstate(decoder.getstate())
        last = max(last, n + len(ending.decode(b"", True)))
        counts[b + 1] = last
    return counts


class _PrefixCounts(Sequence[int]):
    """``_decoded_counts`` worked out for each prefix when asked (for bisection): slower,
    and sure for any codec."""

    def __init__(self, data: bytes, encoding: str) -> None:
        self._data, self._encoding = data, encoding

    def __len__(self) -> int:
        return len(self._data) + 1

    def __getitem__(self, b: int) -> int:  # type: ignore[override]
        return len(self._data[:b].decode(self._encoding, "ignore"))


def _line_text(line: str) -> str:
    return line[:-1] if line.endswith("\r") else line


def _binding_text(v: KTerm | Sequence[KTerm]) -> str | list[str]:
    return str(v) if isinstance(v, KTerm) else [str(x) for x in v]


def _binding_ranges(m: MatchLike, pos: _Positions) -> dict[str, Span | list[Span] | None]:
    """Where each binding of ``m`` lies in the file, found by walking the matched node.

    The matcher's own nodes are looked for (``kovel.quasi.match.source_bindings``: ``bindings``
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
        at = [None if x is None else (start + x[0], start + x[1]) for x in _native.locate(term, wanted)]
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


def required_texts(lang: str, pattern: str | PatternLike, rewrite: str | None = None) -> tuple[bytes, ...]:
    """The UTF-8 texts every match of ``pattern`` in ``lang`` holds (see
    ``Pattern.required_texts``), for the caller to pass over files that lack
    one without sending them to a worker; () when there are none to rely on
    (a pattern object of another kind, or a pattern or ``rewrite`` that does
    not compile: the files then report it).  Run in the pool: a grammar may
    hang on the pattern.

    A text every match spells as a whole word (``Pattern.required_words_utf8``)
    starts with ``WHOLE_WORD``, and a file holds it only as one (``holds_all``).

    >>> sorted(required_texts("python", "print($$$A)"))
    [b'(', b')', b'\xffprint']
    """
    try:
        pat = _pattern_for(lang, pattern)
        if isinstance(rewrite, str):
            _compiled_template(lang, rewrite)
    except (SyntaxError, ValueError, TypeError):
        return ()
    return _needed(pat) if isinstance(pat, Pattern) else ()


#: Marks a required text that a file must hold as a whole word (no UTF-8 text holds this byte).
WHOLE_WORD = b"\xff"


def _needed(pat: Pattern) -> tuple[bytes, ...]:
    words = frozenset(pat.required_words_utf8)
    return tuple(WHOLE_WORD + t if t in words else t for t in pat.required_utf8)


def holds_all(data: bytes, required: Sequence[bytes]) -> bool:
    """Whether ``data`` holds every text of ``required`` (as ``required_texts``
    gives them): one marked ``WHOLE_WORD`` where no letter, digit nor
    underscore stands against it, but for the end of a number before it
    (Python and Ruby read `1if x` as `1 if x`, Ruby `0x1fif` as `0x1f if`).

    >>> holds_all(b"blueprint(1)", [WHOLE_WORD + b"print"]), holds_all(b"x = 1if y", [WHOLE_WORD + b"if"])
    (False, True)
    """
    for t in required:
        if not t.startswith(WHOLE_WORD):
            if t not in data:
                return False
            continue
        word = t[len(WHOLE_WORD) :]
        at = data.find(word)
        while at >= 0:
            end = at + len(word)
            if _starts_a_word(data, at) and (end == len(data) or data[end] not in _NAME_PART):
                break
            at = data.find(word, at + 1)
        if at < 0:
            return False
    return True


def _starts_a_word(data: bytes, at: int) -> bool:
    """Whether a word may start at ``data[at]``: no letter, digit nor underscore
    before it, or what stands against it starts with a digit: the end of a
    number (`1if`, Ruby's `0x1fif`)."""
    start = at
    while start and data[start - 1] in _NAME_PART:
        start -= 1
    return start == at or data[start] in _DIGITS


_DIGITS = frozenset(b"0123456789")
_NAME_PART = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_") | _DIGITS


#: The largest file read in the calling process for the texts a match needs.
_READ_HERE_AT_MOST = 1 << 25


def without_parse(
    path: str, lang: str, required: tuple[bytes, ...], result: Callable[..., Any]
) -> FoundFile | RewrittenFile | None:
    """What ``find_task`` or ``rewrite_task`` (``result`` says which) gives for a
    file that lacks one of the ``required`` texts: no match, found by reading
    it alone; None when the file must go to a worker (it holds them all, or
    reading or decoding it fails, which the worker reports).

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("x = 1\\n")
    >>> without_parse(str(f), "python", (b"print",), FoundFile).matches
    ()
    >>> without_parse(str(f), "python", (b"x",), FoundFile) is None
    True
    """
    if not required or result not in (FoundFile, RewrittenFile) or os.environ.get("KOVEL_TEST_HOOK"):
        return None  # (the test hook watches the workers' reads)
    try:
        # A big file is read by a worker, under the file's time limit; one that holds
        # the texts most likely goes to a worker too, which decodes it: no need to here.
        data = _native.read_lacking(path, required, _READ_HERE_AT_MOST)
        if data is None:
            return None
        text, encoding = _decode(data, lang)
    except (OSError, _Skip):
        return None
    parsed = data if encoding == "utf-8" else text.encode("utf-8")
    if holds_all(parsed, required):
        return None
    if result is FoundFile:
        return FoundFile(path, lang, (), lines={})
    return RewrittenFile(path, lang, hashlib.sha256(data).hexdigest(), encoding=encoding)


def find_task(
    path: str,
    lang: str,
    pattern: str | PatternLike,
    timeout: float | None,
    data: bytes | None = None,
    context: tuple[int, int] = (0, 0),
    cache: TermCache | None = None,
    details: bool = True,
) -> FoundFile:
    """Search the file at ``path`` (or ``data``, its bytes) in ``lang`` for ``pattern``,
    giving up after ``timeout`` seconds; keep the text of ``context`` lines (before,
    after) around each match; take parsed files from ``cache`` and put them there.
    Without ``details`` the matches' ``text``, ``bindings`` and ``binding_ranges``
    are empty, for a caller that shows only where the matches are (a nest of
    matches holds the text of the inner ones again and again).
    What goes wrong is the result's ``error``.

    >>> [m.text for m in find_task("<text>", "python", "print($A)", None, b"x\\nprint(1)\\n").matches]
    ['print(1)']
    >>> find_task("missing.py", "python", "print($A)", None).error
    'cannot read: No such file or directory'
    """
    try:
        pat = _pattern_for(lang, pattern)
        loaded = _load(
            path,
            lang,
            timeout,
            data,
            pat,
            cache,
            search=[pat] if isinstance(pat, Pattern) else (),
            bindings=details,
        )
    except _NotText as exc:
        return FoundFile(path, lang, error=f"skipped: {exc}", skipped=True)
    except _Skip as exc:
        return FoundFile(path, lang, error=str(exc))
    except SyntaxError as exc:
        return FoundFile(path, lang, error=f"the pattern does not parse as {lang}: {exc}")
    found: Sequence[MatchLike] | None = None if loaded.matches is None else loaded.matches[0]
    if found is None:
        if loaded.term is None:
            return FoundFile(path, lang, (), lines={})
        found = list(pat.find_all(loaded.term))
    elif not found:
        return FoundFile(path, lang, (), lines={})
    text = loaded.text
    pos = _Positions(text, loaded.encoding, loaded.data)
    out = []
    # Each line's text is made once and shared by the matches on it (and
    # pickled once): a minified file has thousands of matches on one line.
    lines: dict[int, str] = {}
    shown: dict[int, str] = {}  # without a CR
    before, after = context
    last = len(pos.starts) - text.endswith("\n")  # a final line feed ends the last line
    low = top = 0  # lines [.., top] are in `lines` from every earlier match starting at `low` or before
    for m in found:
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
            text[s:e] if details else "",
            shown[line],
            {k: _binding_text(v) for k, v in m.bindings.items()} if details else {},
            _binding_ranges(m, pos) if details else {},
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


def rewrite_task(
    path: str,
    lang: str,
    pattern: str | PatternLike,
    rewrite: object,
    timeout: float | None,
    data: bytes | None = None,
    cache: TermCache | None = None,
    keep_term: bool = True,
) -> RewrittenFile:
    """Rewrite every match of ``pattern`` in the file at ``path`` (or ``data``, its bytes)
    with ``rewrite``, giving up after ``timeout`` seconds (with ``cache`` as
    ``find_task``); nothing is written.  Without ``keep_term``, the result's
    ``term`` is ``b""`` (a caller that applies the changes needs no term).

    >>> rewrite_task("<text>", "python", "print($A)", "log($A)", None, b"print(1)\\n").text()
    'log(1)\\n'
    """
    try:
        pat = _pattern_for(lang, pattern)
        # Only a file where the pattern matches is converted whole.
        search = [pat] if isinstance(pat, Pattern) else ()
        loaded = _load(path, lang, timeout, data, pat, cache, keep_tree=True, search=search, whole=True)
        rw: Any = _compiled_template(lang, rewrite) if isinstance(rewrite, str) else rewrite
    except _NotText as exc:
        return RewrittenFile(path, lang, error=f"not rewritten: {exc}", skipped=True)
    except _Skip as exc:
        return RewrittenFile(path, lang, error=str(exc))
    except SyntaxError as exc:
        return RewrittenFile(path, lang, error=f"the pattern or rewrite does not parse as {lang}: {exc}")
    text, term, encoding = loaded.text, loaded.term, loaded.encoding
    digest = hashlib.sha256(loaded.data).hexdigest()
    found = loaded.matches[0] if loaded.matches is not None else None
    stored = loaded.stored
    if term is None and not (stored is not None and found):
        return RewrittenFile(path, lang, digest, encoding=encoding)

    @functools.cache
    def whole() -> KTerm:
        # A stored term searched in parts is decoded whole only when something needs it.
        if term is not None:
            return term
        assert stored is not None
        got = stored.parsed()
        if got is None or not _renders_as(got.term, text):
            raise _Damaged
        return got.term

    replaced: list[tuple[int, int, str]] | None = None  # (start, end, new text) of each match
    new: KTerm | None = None
    left_alone: list[str] = []  # why each match the code around it would misread is not replaced
    try:
        if isinstance(pat, Pattern):
            # The term renders to its source, and the matches are known when it was searched alone;
            # Go's calls are checked against the statement around them, in the whole term.
            lazy = term is None and not restricts_calls_in(lang)
            paths, news, spans = replacements(
                pat, None if lazy else whole(), rw, text=text, found=found, left_alone=left_alone
            )
            if not paths and left_alone:
                raise MisreadError(left_alone[0])
            if not paths:
                return RewrittenFile(path, lang, digest, encoding=encoding)
            replaced = [(a, b, str(t)) for (a, b), t in zip(spans, news, strict=True)]
            # A replacement that leaves no prefix behind renders in place as it does alone, in a
            # term whose layout pushes none (one stored with an outline): the text is spliced.
            if lazy and all(_native.stack_effect(t) == (0, 0) for t in news):
                new_text = _spliced(text, replaced)
            else:
                new = _native.replace_all(whole(), paths, news)
                new_text = str(new)
        else:
            # A rule's fix the code around it would misread leaves that match alone, as a pattern's does.
            new = (
                pat.rewrite(whole(), rw, left_alone) if isinstance(pat, Matcher) else pat.rewrite(whole(), rw)
            )
            if new is whole() and left_alone:
                raise MisreadError(left_alone[0])
            if new is whole():
                return RewrittenFile(path, lang, digest, encoding=encoding)
            new_text = str(new)
    except MisreadError as exc:
        return RewrittenFile(path, lang, digest, error=f"{exc}; not rewritten", encoding=encoding)
    except _Damaged:
        return rewrite_task(path, lang, pattern, rewrite, timeout, loaded.data, None, keep_term)
    if new_text == text:
        return RewrittenFile(path, lang, digest, encoding=encoding)
    why = _unwritable(lang, new_text, encoding)
    if why is not None:
        return RewrittenFile(path, lang, digest, error=f"{why}; not rewritten", encoding=encoding)
    changes = _changes(text, new_text, replaced, encoding, loaded.data)
    errors = loaded.errors
    if errors:
        pos = _Positions(text)
        chars = [(pos.char(a, loaded.parsed), pos.char(b, loaded.parsed)) for a, b in errors]
        for m in found if found is not None else pat.find_all(whole()):
            s, e = m.span
            hit = min(((a, b) for a, b in chars if a <= e and s <= b), default=None)
            if hit is not None:
                return RewrittenFile(
                    path,
                    lang,
                    digest,
                    error=f"{_error_note(pos, hit, m.span, 'a match')}; left alone",
                    errors_before=len(errors),
                    encoding=encoding,
                )
    previous = (loaded.parse, loaded.parsed) if loaded.parse is not None else None
    # The changes' spans are in the file's bytes: those parsed when it is UTF-8.
    edits = [(c.old.start, c.old.end, len(c.new.encode())) for c in changes] if encoding == "utf-8" else None
    pieces = (whole, replaced) if replaced is not None else None
    try:
        after, rejected = judge(
            path, lang, text, new_text, len(errors), timeout, previous, edits, cache, pieces=pieces
        )
        if keep_term and new is None:
            new = _native.replace_all(whole(), paths, news)
    except _Damaged:
        return rewrite_task(path, lang, pattern, rewrite, timeout, loaded.data, None, keep_term)
    return RewrittenFile(
        path,
        lang,
        digest,
        new.postcard_bytes() if keep_term and new is not None else b"",
        None,
        len(errors),
        after,
        rejected,
        encoding=encoding,
        changes=changes,
        left_alone=tuple(left_alone),
    )


class _Damaged(Exception):
    """A stored term searched in parts does not decode whole: the file is parsed again."""


def _spliced(text: str, replaced: Sequence[tuple[int, int, str]]) -> str:
    """``text`` with each ``(start, end, new text)`` of ``replaced`` (in order, apart) put in."""
    pieces, at = [], 0
    for a, b, body in replaced:
        pieces += [text[at:a], body]
        at = b
    pieces.append(text[at:])
    return "".join(pieces)


def judge(
    path: str,
    lang: str,
    text: str,
    new_text: str,
    errors_before: int,
    timeout: float | None,
    previous: tuple[Parsed, bytes] | None = None,
    edits: Sequence[tuple[int, int, int]] | None = None,
    cache: TermCache | None = None,
    *,
    pieces: tuple[KTerm | Callable[[], KTerm], Sequence[tuple[int, int, str]]] | None = None,
) -> tuple[int, str | None]:
    """How ``new_text``, a rewrite of ``text`` (which has ``errors_before``
    syntax errors), fares: its number of syntax errors, and why Python
    rejects it when ``text`` compiled (or None).  ``previous`` is the parse of
    ``text`` with its tree kept, and the UTF-8 bytes parsed: the tree is
    reused where the rewrite left the text alone (``edits``, in those bytes,
    as ``kovel.treesitter.syntax_errors`` takes them, say where that is).
    ``cache`` keeps both verdicts on each new text: a codemod run again over
    a reset tree writes the same texts.  ``pieces`` is the term of ``text``
    and the replacements that made ``new_text`` (see
    ``kovel.batch.pycheck.newly_rejected``): with neither text holding a
    syntax error, Python compiles only the statements they touch.

    >>> judge("a.py", "python", "f(1)\\n", "return 1\\n", 0, None)
    (0, "'return' outside function (line 1)")
    """
    hook("judge", path)
    if lang == "python" and errors_before == 0 and pieces is not None:
        # CPython compiles each statement the rewrite touched, and each starts and ends its
        # lines: the statements around them read as before, where tree-sitter found no error.
        if pieces_compile(path, text, new_text, pieces, cache):
            return 0, None
        pieces = None  # (what the pieces cannot tell, the whole text is compiled for)
    data = new_text.encode()
    key = cache.verdict_key("syntax-errors", data, lang) if cache is not None else ""
    known = cache.get_verdict(key) if cache is not None else None
    if known is not None and known.isdigit():
        after = int(known)
    else:
        after = len(syntax_errors(lang, data, timeout=timeout, previous=previous, edits=edits))
        if cache is not None:
            cache.put_verdict(key, str(after))
    if lang in _LINE_RULES and after <= errors_before:
        # What the language reads at line breaks otherwise than its grammar (Go
        # ends statements there, C takes directives only at a line's start):
        # each such place the rewrite brings in is a syntax error.
        news = None if edits is None else _moved_regions(edits)
        count = broken_lines if lang == "go" else functools.partial(misplaced_directives, lang)
        now = count(data, news)
        if now:  # (the text before is parsed only then)
            olds = None if edits is None else [(s, e) for s, e, _ in edits]
            after += max(0, now - count(text.encode(), olds))
    # Python also rejects what tree-sitter lets through (indentation, for one).
    if lang != "python" or after > errors_before:
        return after, None
    return after, newly_rejected(path, text, new_text, cache, pieces if errors_before == after == 0 else None)


_LINE_RULES = frozenset({"go", "c", "cpp", "c_sharp"})


def _moved_regions(edits: Sequence[tuple[int, int, int]]) -> list[tuple[int, int]]:
    """Where each edit ``(start, end, length)`` of a text (in order) stands in the edited text.

    >>> _moved_regions([(2, 4, 5), (10, 10, 1)])
    [(2, 7), (13, 14)]
    """
    out: list[tuple[int, int]] = []
    shift = 0
    for start, end, length in edits:
        out.append((start + shift, start + shift + length))
        shift += length - (end - start)
    return out


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
    text: str,
    new_text: str,
    replaced: list[tuple[int, int, str]] | None,
    encoding: str = "utf-8",
    data: bytes | None = None,
) -> tuple[Change, ...]:
    """The changes that make ``new_text`` of ``text``: one per replaced match
    (``replaced``: each one's start and end in ``text`` and its new text).

    Each replacement renders alone as it does in place (the indentation
    of its lines is its own), which the text made of them is checked
    against; when it is not (or the matches are unknown: a pattern object of
    another kind), the one change is the span from the first differing
    character to the last.  ``data`` is the file's bytes, which the changes' byte offsets count.
    """
    pos = _Positions(text, encoding, data)
    if replaced and replaced[-1][1] <= len(text) and _spliced(text, replaced) == new_text:
        return tuple(Change(pos.span(a, b), body) for a, b, body in replaced if text[a:b] != body)
    head = 0
    limit = min(len(text), len(new_text))
    while head < limit and text[head] == new_text[head]:
        head += 1
    tail = 0
    while tail < limit - head and text[-1 - tail] == new_text[-1 - tail]:
        tail += 1
    return (Change(pos.span(head, len(text) - tail), new_text[head : len(new_text) - tail]),)


# The word first in a comment, or on a line of one: past the comment's opening
# (`#`, `//`, `/*`, `--[[`, `{-`, `(*`, `<!--`, `%`, `;`, `#=`) and doc comments'
# marks (`/**`, `//!`, ` * `); the ids after a colon, to the line's end.
_IGNORE = re.compile(r"(?m)^[\s#/*!;%\-=\[{(<]*kovel-ignore\b(?:[ \t]*:([^\n]*))?")
# What closes a comment, at the end of the ids' line.
_CLOSER = re.compile(r"[\s*/\-=#)\]}>]+$")


def suppressed(line: str, rule: str) -> bool:
    """Whether a ``kovel-ignore`` comment (its text is ``line``) silences ``rule``:
    ``kovel-ignore`` alone silences every rule, ``kovel-ignore: a, b`` the rules
    named (ids apart by commas or spaces; words after them, a reason, are
    passed over).  The word goes first in the comment, or on a line of it: a
    comment that mentions it further on silences nothing.

    >>> suppressed("# kovel-ignore: no-x, other", "no-x"), suppressed("// kovel-ignore", "any")
    (True, True)
    >>> suppressed("/* kovel-ignore: other */", "no-x"), suppressed("/**\\n * kovel-ignore\\n */", "x")
    (False, True)
    >>> suppressed("-- kovel-ignore: sec.no-eval (legacy)", "sec.no-eval"), suppressed("# see #kovel-ignore", "x")
    (True, False)
    """
    for m in _IGNORE.finditer(line):
        if m.group(1) is None:
            return True
        ids = re.split(r"[\s,]+", _CLOSER.sub("", m.group(1)).strip())
        if ids == [""] or rule in ids:
            return True
    return False


#: Kinds named as comments that are none (SQL's `COMMENT ON` statement and
#: its keyword), and comments named otherwise (SQL's `/* */`).
_NOT_COMMENTS = frozenset({"comment_statement", "keyword_comment"})
_ALSO_COMMENTS = frozenset({"marginalia"})


@functools.cache
def _comment_kinds(lang: str) -> tuple[str, ...]:
    """The kinds of ``lang``'s grammar that are comments."""
    ts = language(lang)
    kinds = (ts.node_kind_for_id(i) for i in range(ts.node_kind_count))
    return tuple(sorted({k for k in kinds if k and _is_comment_kind(k)}))


def _is_comment_kind(kind: str) -> bool:
    return kind in _ALSO_COMMENTS or (_native.is_comment_tag(kind) and kind not in _NOT_COMMENTS)


def _ignore_comments(term: KTerm, lang: str, pos: _Positions) -> dict[tuple[int, bool], list[str]]:
    """The ``kovel-ignore`` comments of ``term`` by the line whose diagnostics they
    may silence, and whether they follow code on it: a comment alone on its
    line speaks for the next line, one after code for its own (a match's first
    line or its last).  One alone on the file's first line, with a blank line
    after it, speaks for the whole file (line 0).  Only comments count: the
    words in a string silence nothing.

    >>> t = parse_with_errors("python", "a = 1  # kovel-ignore\\n# kovel-ignore: x\\nb = '# kovel-ignore'\\n").term
    >>> _ignore_comments(t, "python", _Positions(str(t)))
    {(1, True): ['# kovel-ignore'], (3, False): ['# kovel-ignore: x']}
    """
    text = pos.text
    out: dict[tuple[int, bool], list[str]] = {}
    for _, _, s, e in _native.find_all(term, _comment_kinds(lang), True):
        said = text[s:e]
        if "kovel-ignore" not in said:
            continue
        line, col = pos.line_col(s)
        alone = not text[s - (col - 1) : s].lstrip("\ufeff").strip()
        end = pos.line_col(max(s, e - 1))[0]
        if alone and line == 1 and end < len(pos.starts) and not pos.line(end + 1).strip():
            out.setdefault((0, False), []).append(said)
        out.setdefault((end + 1, False) if alone else (line, True), []).append(said)
    return out


def _nested_fixes(
    m: Matcher,
    term: KTerm,
    search: Search,
    hits: Sequence[Found],
    fixes: dict[tuple[int, ...], tuple[KTerm, tuple[int, int]]],
) -> None:
    """Adds to ``fixes`` (by path) the fix of each of ``hits`` inside a fixed one, as
    its diagnostic alone would have it (the text around it as it stands): a
    run of ``--fix`` applies the outermost, and the next run the others."""
    inside = [f.path for f in hits if f.path not in fixes]
    for _ in range(_NESTED_ROUNDS):
        pending = [p for p in inside if p not in fixes and any(p[: len(q)] == q for q in fixes)]
        if not pending:
            return
        more = m.fixes(term, search, [], only=pending)
        if not more:
            return
        fixes.update({p: (new, span) for p, new, span in more})


#: How many matches deep the fixes of matches inside fixed ones are made.
_NESTED_ROUNDS = 8


def _silenced(ignores: Mapping[tuple[int, bool], list[str]], rule: str, first: int, last: int) -> bool:
    """Whether a comment of ``ignores`` silences ``rule`` for a match on lines
    ``first`` to ``last``: one for the file, one alone on the line before, or
    one after code on its first line or its last."""
    said = [*ignores.get((0, False), ()), *ignores.get((first, False), ()), *ignores.get((first, True), ())]
    if last != first:
        said += ignores.get((last, True), ())
    return any(suppressed(c, rule) for c in said)


def scan_task(
    path: str,
    lang: str,
    rules: Sequence[Matcher | RuleConfig],
    timeout: float | None,
    data: bytes | None = None,
    cache: TermCache | None = None,
) -> ScannedFile:
    """Run every rule of ``rules`` (all for ``lang``; a ``RuleConfig`` is compiled
    here, once a process) over the file at ``path`` (or ``data``, its bytes), parsed once.  A rule whose words (``Matcher.words``)
    the text lacks is not run; a match under a ``kovel-ignore`` comment (on its
    line or the line before) is dropped; a fix lying in a syntax error is dropped.
    ``cache`` keeps parsed files, as for ``find_task``.

    >>> from kovel.rules import Rule, RuleConfig, matcher
    >>> m = matcher(RuleConfig("no-print", "python", Rule(pattern="print($A)"), "print of $A", fix="log($A)"))
    >>> d, = scan_task("<text>", "python", [m], None, b"x = 1\\nprint(x)\\n").diagnostics
    >>> d.span.line, d.message, d.fix.new
    (2, 'print of x', 'log(x)')
    """
    if data is None:
        try:
            data = read_bytes(path)
        except OSError as exc:
            return ScannedFile(path, lang, error=f"cannot read: {exc.strerror or exc}")
    matchers = [r if isinstance(r, Matcher) else compiled(r) for r in rules]
    # A file that lacks a word a rule needs is not parsed for it, nor at all when no rule is left.
    # (The words are ASCII, which every encoding a source file may declare spells alike.)
    # Each word is looked for once, however many rules need it, all in one pass.
    words = tuple(w.encode() for w in frozenset().union(*(m.words for m in matchers)))
    found = {w.decode() for w in _native.texts_in(data, words)}
    matchers = [m for m in matchers if m.words <= found]
    if not matchers:
        # (A file that is no text is said so, as find says it, whatever it lacks.)
        try:
            if not data.isascii():
                _decode(data, lang)
        except _NotText as exc:
            return ScannedFile(path, lang, error=f"skipped: {exc}", skipped=True)
        except _Skip:
            pass
        return ScannedFile(path, lang)
    # Rules that are a pattern alone need its matches only: the tree is then
    # converted only where they lie.
    lone = [m.lone_pattern for m in matchers]
    # (A kovel-ignore comment is looked for in the whole tree.)
    alone = [p for p in lone if p is not None] if None not in lone and b"kovel-ignore" not in data else []
    try:
        loaded = _load(path, lang, timeout, data, None, cache, search=alone)
    except _NotText as exc:
        return ScannedFile(path, lang, error=f"skipped: {exc}", skipped=True)
    except _Skip as exc:
        return ScannedFile(path, lang, error=str(exc))
    text = loaded.text
    term = loaded.term
    pos = _Positions(text, loaded.encoding, loaded.data)
    bad = [(pos.char(a, loaded.parsed), pos.char(b, loaded.parsed)) for a, b in loaded.errors]
    out: list[Diagnostic] = []
    # Only a comment holding the word can silence a diagnostic; most files hold none.
    ignores = _ignore_comments(term, lang, pos) if term is not None and "kovel-ignore" in text else {}
    # Every rule's patterns are searched for at once, and the rules share what was found.
    shared = matchers[0].search(term)
    if loaded.matches is not None:
        shared.matches.update(
            {id(p): {tuple(x.path): x for x in ms} for p, ms in zip(alone, loaded.matches, strict=True)}
        )
    else:
        shared.prefetch(p for m in matchers for p in m.patterns)
    withheld: list[str] = []
    for m in matchers:
        cfg = m.config
        bare = m.lone_pattern
        hits: Iterable[Found | Match]
        if bare is not None and not m.constraints and "$" not in cfg.message:
            # A pattern alone, without a fix: its matches' spans are all its diagnostics need.
            hits, fixes = shared.pattern_matches(bare).values(), {}
        else:
            search = m.search(term, None, shared.matches)
            hits = listed = list(m.find_all(term, search))
            left: list[str] = []  # a fix the code around it would read otherwise: that one is not offered
            try:
                fixes = (
                    {p: (new, span) for p, new, span in m.fixes(term, search, left)}
                    if cfg.fix is not None and term is not None
                    else {}
                )
                withheld.extend(f"a fix of {cfg.id} is not offered: {why}" for why in left)
                if fixes and term is not None:
                    _nested_fixes(m, term, search, listed, fixes)
            # A fix the code around it would read otherwise, or a value that does not
            # fit where the fix puts it (`get_$NAME` with `x.y`): not offered.
            except (MisreadError, ValueError, TypeError) as exc:
                fixes = {}
                withheld.append(f"the fixes of {cfg.id} are not offered: {exc}")
        named = {g.group(1) or g.group(2) for g in _MESSAGE_META.finditer(cfg.message)}
        for f in hits:
            s, e = f.span
            line, _ = pos.line_col(s)
            if ignores and _silenced(ignores, cfg.id, line, pos.line_col(max(s, e - 1))[0]):
                continue
            fix: Change | None = None
            got = fixes.get(tuple(f.path)) if fixes else None
            broken = (
                min(((a, b) for a, b in bad if a <= e and s <= b), default=None) if got is not None else None
            )
            if got is not None and broken is None:
                fix = Change(pos.span(*got[1]), str(got[0]))
            elif broken is not None:
                where = pos.line_col(s)
                withheld.append(
                    f"the fix of {cfg.id} at {where[0]}:{where[1]} is not offered: "
                    + _error_note(pos, broken, (s, e), "its match")
                )
            message = (
                _fill_message(cfg.message, m.texts(f, named))
                if isinstance(f, Found) and named
                else cfg.message
            )
            out.append(
                Diagnostic(
                    cfg.id, cfg.severity, message, cfg.note, pos.span(s, e), _line_text(pos.line(line)), fix
                )
            )
    out.sort(key=lambda d: (d.span.start, d.span.end))
    return ScannedFile(
        path,
        lang,
        tuple(out),
        digest=hashlib.sha256(loaded.data).hexdigest(),
        encoding=loaded.encoding,
        errors_before=len(loaded.errors),
        withheld=tuple(withheld),
    )


_MESSAGE_META = re.compile(r"\$\$\$([A-Z_][A-Z0-9_]*)|\$([A-Z_][A-Z0-9_]*)")


def _fill_message(message: str, texts: Mapping[str, str]) -> str:
    def one(g: re.Match[str]) -> str:
        v = texts.get(g.group(1) or g.group(2))
        return g.group() if v is None else v

    return _MESSAGE_META.sub(one, message)
