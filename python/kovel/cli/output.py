"""What the ``kovel`` command prints: matches as text or JSON lines, counts,
file names, context lines, the changes of a rewrite, and unified diffs.

Everything here turns one file's result into lines of output, so the command
writes each file's lines as soon as that file is done and keeps nothing from
it.  Long lines are cut to a window around the match (``cut``): a minified
file has thousands of matches on one line of megabytes, and printing that
line for each of them is what made output, and memory, grow with the
product of the two.
"""

from __future__ import annotations

import base64
import bisect
import difflib
import functools
import json
import os
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal, TypeAlias

from kovel.batch.cache import prune, unwritable
from kovel.batch.results import Change, FileMatch, FoundFile, RewrittenFile, Span

__all__ = [
    "cache_note",
    "cache_pruned",
    "coloured",
    "shown_path",
    "DEFAULT_MAX_COLUMNS",
    "json_text",
    "FindPrinter",
    "Mode",
    "change_json",
    "json_line",
    "cut",
    "match_json",
    "unified_diff",
]

#: Lines longer than this many characters are cut (``--max-columns``; 0: never).
DEFAULT_MAX_COLUMNS = 500


def coloured(when: str, terminal: bool) -> bool:
    """Whether output in colour is wanted (``--color WHEN``): ``always`` or
    ``ansi`` yes, ``never`` no, ``auto`` on a terminal unless ``NO_COLOR`` is
    set or ``TERM`` is ``dumb``, as ripgrep and ast-grep decide.

    >>> coloured("never", True), coloured("always", False)
    (False, True)
    """
    if when in ("always", "ansi"):
        return True
    return when == "auto" and terminal and not os.environ.get("NO_COLOR") and os.environ.get("TERM") != "dumb"


#: What ``find`` prints of each file.  (Spelled as a union of literals, which
#: stubtest can compare with the runtime object.)
Mode: TypeAlias = Literal["text"] | Literal["json"] | Literal["count"] | Literal["files"]


def cut(line: str, at: int, limit: int) -> str:
    """``line`` cut to ``limit`` characters around character ``at``, each cut end marked.

    The window starts at most a fifth of ``limit`` before ``at``, so the
    text there shows with some of what precedes it.  ``limit`` 0 means no cut.

    >>> cut("x" * 20, 15, 10)
    '[... 10 columns] xxxxxxxxxx'
    >>> cut("abcdefghijklmnopqrstuvwxyz", 2, 10)
    'abcdefghij [... 16 more columns]'
    >>> cut("short", 0, 10)
    'short'
    """
    if not limit or len(line) <= limit:
        return line
    start = max(0, min(at - limit // 5, len(line) - limit))
    end = start + limit
    head = f"[... {start} columns] " if start else ""
    tail = f" [... {len(line) - end} more columns]" if end < len(line) else ""
    return head + line[start:end] + tail


def _shown(line: str) -> str:
    return line[:-1] if line.endswith("\r") else line


def _where(s: Span | FileMatch) -> dict[str, Any]:
    return {
        "bytes": [s.start, s.end],
        "start": {"line": s.line, "column": s.column},
        "end": {"line": s.end_line, "column": s.end_column},
    }


def _where_json(s: Span | FileMatch) -> str:
    """``_where(s)`` as JSON, without its braces: the hot part of every match's line."""
    return (
        f'"bytes": [{s.start}, {s.end}], "start": {{"line": {s.line}, "column": {s.column}}}, '
        f'"end": {{"line": {s.end_line}, "column": {s.end_column}}}'
    )


def _span_json(s: Span) -> str:
    return f'{{"text": {_string(s.text)}, {_where_json(s)}}}'


def _range_json(s: Span | list[Span] | None) -> str:
    if s is None:
        return "null"
    if isinstance(s, Span):
        return _span_json(s)
    return f"[{', '.join(map(_span_json, s))}]"


def match_lines(r: FoundFile, m: FileMatch, max_columns: int) -> str:
    """The text of the lines ``m`` covers (line breaks between them as in the
    file, none after the last), each cut to ``max_columns``."""
    out = []
    for n in range(m.line, m.last_line + 1):
        line = r.lines.get(n, m.line_text if n == m.line else "")
        if n == m.last_line:
            line = _shown(line)
        out.append(cut(line, m.column - 1 if n == m.line else 0, max_columns))
    return "\n".join(out)


def match_json(r: FoundFile, m: FileMatch, max_columns: int) -> str:
    """One match as a JSON object on one line.

    >>> import pathlib, tempfile
    >>> from kovel.batch import find_files
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("y = f(x)\\n")
    >>> (r,) = find_files([f], "f($A)")
    >>> row = json.loads(match_json(r, r.matches[0], 500))
    >>> row["lines"], row["binding_ranges"]["A"]["bytes"]
    ('y = f(x)', [6, 7])
    """
    # Written out rather than a dict given to the encoder (the same text, as
    # the tests check): a file may have thousands of matches, and the parent
    # process prints every one.
    ranges = ", ".join(f"{_string(k)}: {_range_json(v)}" for k, v in m.binding_ranges.items())
    return (
        f'{{"path": {json_path(r.path)}, "lang": {json_line(r.lang)}, {_where_json(m)}, '
        f'"text": {_string(m.text)}, "bindings": {json_line(m.bindings)}, '
        f'"lines": {_string(match_lines(r, m, max_columns))}, "binding_ranges": {{{ranges}}}}}'
    )


def change_json(r: RewrittenFile, c: Change) -> str:
    """One change of a rewrite as a JSON object on one line: where it is, the old text and the new."""
    obj = {"lang": r.lang, **_where(c.old), "old": c.old.text, "new": c.new}
    return f'{{"path": {json_path(r.path)}, {json_line(obj)[1:]}'


#: An object as one line of JSON, its text as it is (one encoder for every
#: line: ``json.dumps`` with options makes a new one each call).
json_line = json.JSONEncoder(ensure_ascii=False).encode
#: A string as JSON, as ``json_line`` writes it.
_string: Callable[[str], str] = json.encoder.encode_basestring


@functools.lru_cache(maxsize=64)
def json_path(path: str) -> str:
    """A path as JSON: a string, or, for a name that is not UTF-8, its bytes in
    base64 as ripgrep writes them (``{"bytes": ...}``), which no reader of
    JSON turns into another name.

    >>> import os
    >>> json_path("a/b.py"), json_path(os.fsdecode(b"b\\xff.py"))
    ('"a/b.py"', '{"bytes": "Yv8ucHk="}')
    """
    try:
        path.encode()
    except UnicodeEncodeError:
        try:
            return '{"bytes": "' + base64.b64encode(os.fsencode(path)).decode("ascii") + '"}'
        except UnicodeEncodeError:  # (no name a file system gave: escaped)
            return json.dumps(path)
    return _string(path)


def json_text(s: str | None) -> str:
    """A string, or None, as JSON: ``json_line`` for one, without its dispatch.

    >>> json_text("café"), json_text(None)
    ('"café"', 'null')
    """
    return "null" if s is None else _string(s)


class FindPrinter:
    """Turns each file's matches into the lines ``find`` prints.

    ``mode`` is ``"text"`` (``path:line:col: line`` for each match, or with
    ``before``/``after`` context each line once: ``path:line:col: line`` for
    a line a match covers, ``path-line- line`` around them, ``--`` between
    groups that do not touch), ``"json"``, ``"count"`` (``path:N``) or
    ``"files"`` (the path).  The printer remembers only whether it printed a
    group yet.

    >>> import pathlib, tempfile
    >>> from kovel.batch import find_files
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (d / "a.py").write_text("a\\nf(1)\\nb\\nc\\nd\\nf(2)\\n")
    >>> (r,) = find_files([d / "a.py"], "f($A)", context=1)
    >>> for line in FindPrinter("text", 1, 1, 500).file(r):
    ...     print(line.replace(str(d), "D"))
    D/a.py-1- a
    D/a.py:2:1: f(1)
    D/a.py-3- b
    --
    D/a.py-5- d
    D/a.py:6:1: f(2)
    """

    def __init__(self, mode: Mode, before: int = 0, after: int = 0, max_columns: int = 0) -> None:
        if mode not in ("text", "json", "count", "files"):
            raise ValueError(f"unknown output mode {mode!r}")
        self.mode = mode
        self.before = before
        self.after = after
        self.max_columns = max_columns
        self._grouped = False  # a context group was printed: the next one is set off by `--`

    def file(self, r: FoundFile) -> Iterator[str]:
        """The lines to print for ``r`` (nothing for a file without matches)."""
        if not r.matches:
            return
        if self.mode == "count":
            yield f"{shown_path(r.path)}:{len(r.matches)}"
        elif self.mode == "files":
            yield shown_path(r.path)
        elif self.mode == "json":
            for m in r.matches:
                yield match_json(r, m, self.max_columns)
        elif self.before or self.after:
            yield from self._context(r)
        else:
            for m in r.matches:
                yield f"{shown_path(r.path)}:{m.line}:{m.column}: {cut(m.line_text, m.column - 1, self.max_columns)}"

    def _context(self, r: FoundFile) -> Iterator[str]:
        # The column shown for a line is that of the first match starting on
        # it, or 1 on a line a match goes on from the line before.
        hits: dict[int, int] = {}
        top = 0  # every line up to `top` that a match covers is in `hits` (matches come in order)
        for m in r.matches:
            hits[m.line] = min(hits.get(m.line, m.column), m.column)
            for n in range(max(m.line + 1, top + 1), m.last_line + 1):
                hits.setdefault(n, 1)
            top = max(top, m.last_line)
        printed = 0  # the last line printed
        for h in sorted(hits):
            lo, hi = max(1, h - self.before, printed + 1), h + self.after
            if lo > hi:
                continue
            if (
                lo > printed + 1 if printed else self._grouped
            ):  # apart from the group before, here or in another file
                yield "--"
            self._grouped = True
            for n in range(lo, hi + 1):
                if n in hits:
                    col = hits[n]
                    yield f"{shown_path(r.path)}:{n}:{col}: {cut(_shown(r.lines[n]), col - 1, self.max_columns)}"
                elif n in r.lines:
                    yield f"{shown_path(r.path)}-{n}- {cut(_shown(r.lines[n]), 0, self.max_columns)}"
                else:  # past the end of the file
                    break
                printed = n


def unified_diff(path: str, old: str | bytes, new: str | bytes, encoding: str = "utf-8") -> str:
    """The unified diff of a file's ``old`` and ``new`` text (or bytes), last
    lines without a line feed marked as ``diff`` marks them; no trailing
    newline.  The lines of a file in another ``encoding`` than UTF-8 are its
    own bytes (which stand for themselves as lone surrogates), and only they:
    the diff's marks and headers stay ASCII, so ``patch`` applies it whatever
    the encoding makes of ASCII (UTF-7 writes `+` as `+-`).

    >>> print(unified_diff("a.py", "x = 1\\n", "x = 2\\n"))
    --- a/a.py
    +++ b/a.py
    @@ -1 +1 @@
    -x = 1
    +x = 2
    """
    old, new = (_own_bytes(t, encoding) for t in (old, new))
    lines = _unified(_lines(old), _lines(new), diff_name("a/", path), diff_name("b/", path))
    return "".join(_no_newline_marks(lines)).rstrip("\n")


def _unified(a: list[str], b: list[str], fromfile: str, tofile: str) -> Iterator[str]:
    """``difflib.unified_diff`` of ``a`` and ``b`` (3 lines of context), its
    matcher told the opcodes that ``_opcodes`` finds."""
    matcher = _Told(a, b, _opcodes(a, b))
    started = False
    for group in matcher.get_grouped_opcodes(3):
        if not started:
            started = True
            yield f"--- {fromfile}\n"
            yield f"+++ {tofile}\n"
        first, last = group[0], group[-1]
        yield f"@@ -{_range(first[1], last[2])} +{_range(first[3], last[4])} @@\n"
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                yield from (" " + line for line in a[i1:i2])
                continue
            if tag in ("replace", "delete"):
                yield from ("-" + line for line in a[i1:i2])
            if tag in ("replace", "insert"):
                yield from ("+" + line for line in b[j1:j2])


_Opcode: TypeAlias = tuple[Literal["replace", "delete", "insert", "equal"], int, int, int, int]


class _Told(difflib.SequenceMatcher[str]):
    """A matcher of ``a`` and ``b`` told its opcodes (it groups them with context)."""

    def __init__(self, a: list[str], b: list[str], opcodes: list[_Opcode]) -> None:
        super().__init__(None, a, b, autojunk=False)
        self._told = opcodes

    def get_opcodes(self) -> list[_Opcode]:
        return self._told


def _range(start: int, stop: int) -> str:
    """Lines ``[start, stop)`` as a hunk's header counts them (``diff``'s own format)."""
    length = stop - start
    if length == 1:
        return str(start + 1)
    return f"{start + 1 if length else start},{length}"


#: Files of more lines than this are first cut where a line stands once in each.
_ANCHORED = 2000


def _opcodes(a: list[str], b: list[str]) -> list[_Opcode]:
    """difflib's opcodes for ``a`` and ``b``; in long files, those of the
    stretches between the lines each holds once, in the same order in both
    (as patience diff cuts them): difflib alone takes time that grows with
    the square of a file with many changes far apart."""
    if len(a) + len(b) <= _ANCHORED:
        return difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()
    out: list[_Opcode] = []
    ai = bj = 0
    for i, j in [*_anchors(a, b), (len(a), len(b))]:
        if ai < i or bj < j:
            stretch = difflib.SequenceMatcher(None, a[ai:i], b[bj:j], autojunk=False).get_opcodes()
            out += [(tag, i1 + ai, i2 + ai, j1 + bj, j2 + bj) for tag, i1, i2, j1, j2 in stretch]
        if i < len(a):
            out.append(("equal", i, i + 1, j, j + 1))
        ai, bj = i + 1, j + 1
    merged: list[_Opcode] = []
    for op in out:
        if merged and op[0] == "equal" and merged[-1][0] == "equal":
            merged[-1] = ("equal", merged[-1][1], op[2], merged[-1][3], op[4])
        else:
            merged.append(op)
    return merged


def _anchors(a: list[str], b: list[str]) -> list[tuple[int, int]]:
    """The pairs ``(i, j)`` of lines ``a[i] == b[j]`` that stand once in each, the
    longest run of them in the same order in both (patience sorting)."""
    count_a, count_b = Counter(a), Counter(b)
    where_b = {line: j for j, line in enumerate(b) if count_b[line] == 1 and count_a[line] == 1}
    pairs = [(i, where_b[line]) for i, line in enumerate(a) if line in where_b]
    # The longest subsequence increasing in j: piles of their smallest tops, each pair linked back.
    tops: list[int] = []  # j of the top of each pile
    top_at: list[int] = []  # the pair at the top of each pile
    back = [-1] * len(pairs)
    for k, (_, j) in enumerate(pairs):
        pile = bisect.bisect_left(tops, j)
        back[k] = top_at[pile - 1] if pile else -1
        if pile == len(tops):
            tops.append(j)
            top_at.append(k)
        else:
            tops[pile], top_at[pile] = j, k
    chain = []
    k = top_at[-1] if top_at else -1
    while k >= 0:
        chain.append(pairs[k])
        k = back[k]
    return chain[::-1]


def _own_bytes(text: str | bytes, encoding: str) -> str:
    """A file's text as its own bytes, each that is no UTF-8 a lone surrogate."""
    if isinstance(text, str):
        if encoding == "utf-8":
            return text
        text = text.encode(encoding)
    return text.decode("utf-8", "surrogateescape")


def shown_path(path: str) -> str:
    """``path`` as the text outputs show it: as it is, or quoted as a diff
    names it (C escapes) where it holds a control character, which a
    terminal would act on or which would start a line of its own, or a
    quote or a backslash (so that no name shows as another's quoted form).

    >>> shown_path("a b.py"), shown_path("a\\x1b[31m.py"), shown_path("b\\nfake.py:1:1: x")
    ('a b.py', '"a\\\\033[31m.py"', '"b\\\\nfake.py:1:1: x"')
    >>> print(shown_path('"b\\\\nfake.py"'))
    "\\"b\\\\nfake.py\\""
    """
    if not any(c < " " or "\x7f" <= c <= "\x9f" or c in '"\\' for c in path):
        return path
    quoted = diff_name("", path).removesuffix("\t")
    if not quoted.startswith('"'):
        quoted = f'"{quoted}"'  # (no character diff quotes: a C1 one alone)
    # (A C1 control character, which some terminals act on too, as git writes it: its bytes.)
    return "".join("".join(f"\\{b:03o}" for b in c.encode()) if "\x80" <= c <= "\x9f" else c for c in quoted)


def diff_name(side: str, path: str) -> str:
    """``side`` (``a/`` or ``b/``) and ``path`` as a diff's header names them:
    quoted as git quotes them (C escapes) where the name holds a control
    character, a quote or a backslash, and ended by a tab where it holds a
    space, so that ``patch`` reads it whole.

    >>> diff_name("a/", "x.py"), diff_name("b/", "new\\nline.py")
    ('a/x.py', '"b/new\\\\nline.py"')
    """
    name = side + path
    if not any(c < " " or c in '"\\\x7f' for c in name):
        return name + "\t" if " " in name else name  # (a tab ends a name with spaces, as git ends it)
    return (
        '"'
        + "".join(_C_ESCAPES.get(c) or (f"\\{ord(c):03o}" if c < " " or c == "\x7f" else c) for c in name)
        + '"'
    )


_C_ESCAPES = {"\n": "\\n", "\t": "\\t", '"': '\\"', "\\": "\\\\", "\r": "\\r", "\a": "\\a", "\b": "\\b",
              "\f": "\\f", "\v": "\\v"}  # fmt: skip


def _lines(text: str) -> list[str]:
    """``text``'s lines as ``diff`` and ``patch`` count them: ended by line feeds
    alone (a carriage return or a form feed is a character of its line)."""
    lines = [line + "\n" for line in text.split("\n")]
    lines[-1] = lines[-1][:-1]
    return lines if lines[-1] else lines[:-1]


def _no_newline_marks(lines: Iterable[str]) -> Iterator[str]:
    """Mark a last line without a line feed as ``diff`` and ``patch`` do."""
    for line in lines:
        if line.endswith("\n"):
            yield line
        else:
            yield line + "\n\\ No newline at end of file\n"


def cache_pruned(cache: str | None, size: int, noted: bool) -> str | None:
    """Keep the ``--cache`` directory to ``size`` bytes after a run; return the note
    to print when it took no more entries during the run (its file system filled
    up, say) and no note said so before it (``noted``), or None.

    >>> import tempfile
    >>> cache_pruned(tempfile.mkdtemp(), 1 << 20, False) is None
    True
    """
    if cache is None:
        return None
    prune(cache, size)
    return None if noted else cache_note(cache)


def cache_note(cache: str | None) -> str | None:
    """The note to print when the ``--cache`` directory takes no new entries (a run
    that asked for a cache would parse every file again, unwarned), or None.

    >>> cache_note("/proc/no/cache")
    'kovel: note: the cache /proc/no/cache cannot be written (No such file or directory): only what it holds is used'
    """
    why = unwritable(cache) if cache is not None else None
    return (
        None
        if why is None
        else f"kovel: note: the cache {cache} cannot be written ({why}): only what it holds is used"
    )
