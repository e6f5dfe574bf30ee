"""What the batch functions give back: the matches in a file, a file's rewrite and its changes.

Plain values that pickle: a worker makes them and sends them back, the
command prints them and writes files from them, with ``apply_changes``
making any subset of a rewrite's changes.
"""

from __future__ import annotations

import codecs
import functools
import operator
from collections.abc import Iterable
from dataclasses import dataclass, field, fields
from typing import Any, TypeVar

from kovel import _native
from kovel._kovel import from_postcard_bytes

__all__ = [
    "Change",
    "Diagnostic",
    "FileMatch",
    "FoundFile",
    "RewrittenFile",
    "ScannedFile",
    "Span",
    "apply_changes",
    "codec_has_state",
]


_C = TypeVar("_C", bound=type)


def _pickled_by_fields(cls: _C) -> _C:
    """Pickle instances as ``cls(*fields)``: results cross from workers by the
    thousand, and a frozen dataclass's own pickling looks its fields up again
    for every instance (several times slower, both ways)."""
    names = [f.name for f in fields(cls)]
    get = operator.attrgetter(*names, names[0])  # a tuple, whatever the number of fields

    def __reduce__(self: Any) -> tuple[Any, ...]:
        return (cls, get(self)[:-1])

    cls.__reduce__ = __reduce__  # type: ignore[assignment]
    return cls


@_pickled_by_fields
@dataclass(frozen=True, slots=True)
class Span:
    """A piece of a file: bytes ``[start, end)``, the same positions as
    1-based lines and columns (in characters, the end exclusive), and its text.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("print(x, 2)\\n")
    >>> from kovel.batch import find_files
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


@_pickled_by_fields
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


@_pickled_by_fields
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


@_pickled_by_fields
@dataclass(frozen=True, slots=True)
class Change:
    """One replaced match of a rewrite: where it was (as a ``Span``, whose
    ``text`` is the old text) and the ``new`` text that takes its place.
    Applying any subset of a file's changes (``apply_changes``) leaves the
    text outside them as it was.
    """

    old: Span
    new: str


@functools.cache
def codec_has_state(encoding: str) -> bool:
    """Whether ``encoding`` may encode a character otherwise by what comes before
    it (UTF-7's base64 runs, ISO-2022's and HZ's shifts, a byte order mark),
    so that a piece of text encoded alone is not the bytes it has in a file;
    a codec not of Python's own is taken to.

    >>> [codec_has_state(e) for e in ("utf-7", "iso2022_jp", "gbk", "cp1251")]
    [True, True, False, False]
    """
    info = codecs.lookup(encoding)
    own = info.incrementalencoder is not None and info.incrementalencoder.__module__.startswith("encodings.")
    return not own or info.name.startswith(("utf-7", "iso2022", "hz", "utf-16", "utf-32"))


@_pickled_by_fields
@dataclass(frozen=True, slots=True)
class RewrittenFile:
    """The outcome of rewriting one file.

    ``digest`` is the SHA-256 of the bytes that were read (so a writer can
    tell whether the file changed since); ``term`` the postcard bytes of the
    rewritten file's term (``b""`` when the rewrite was asked not to keep
    it), or None when nothing changed or the file was left alone, in which
    case ``error`` says why.  ``errors_before`` and
    ``errors_after`` count the syntax errors (error and missing nodes) of
    the file and of its rewritten text.  ``changes`` are the replaced
    matches, in order, each with its place in the file and its new text.  ``compile_error`` is, for a Python
    file that compiled before the rewrite, why Python rejects the rewritten
    text when tree-sitter finds no more errors in it than in the original
    (tree-sitter does not see every error: indentation errors, for one).
    ``skipped`` is as for ``FoundFile``.  ``encoding`` is the codec that
    turns the text back into the file's bytes: UTF-8, or for a Python file
    the one its coding declaration names (PEP 263).  ``left_alone`` says why
    each match that was not replaced was left as it is (the code around it
    would read its replacement otherwise); the others are replaced.
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
    left_alone: tuple[str, ...] = ()

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
        if not self.term:
            raise ValueError(f"{self.path}: the term was not kept; apply the changes to the file's bytes")
        return str(from_postcard_bytes(self.term))


def apply_changes(data: bytes, changes: Iterable[Change], encoding: str = "utf-8") -> bytes:
    """``data`` with each of ``changes`` (of one ``RewrittenFile``, any subset) made,
    the new text in ``encoding`` (the file's: ``RewrittenFile.encoding``).

    The bytes outside the changes stay as they were; but in a codec with
    state (UTF-7, ISO-2022), where splicing bytes would not give the text
    the changes make, that text is encoded whole (its characters outside
    the changes are still as they were).

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_text("print(1)\\nprint(2)\\n")
    >>> from kovel.batch import rewrite_files
    >>> (r,) = rewrite_files([f], "print($A)", "log($A)")
    >>> [c.new for c in r.changes]
    ['log(1)', 'log(2)']
    >>> apply_changes(f.read_bytes(), r.changes[1:])
    b'print(1)\\nlog(2)\\n'
    """
    ordered = sorted(changes, key=lambda c: c.old.start)
    stateless = encoding == "utf-8" or not codec_has_state(encoding)
    out, at = [], 0
    for c in ordered:
        if c.old.start < at:
            raise ValueError(f"the changes overlap at byte {c.old.start}")
        if stateless and data[c.old.start : c.old.end] != c.old.text.encode(encoding):
            raise ValueError(
                f"the bytes at {c.old.start} are not the change's old text: not the data it was made from"
            )
        out += [data[at : c.old.start], c.new.encode(encoding)]
        at = c.old.end
    out.append(data[at:])
    spliced = b"".join(out)
    if stateless:
        return spliced
    # A codec with state encodes a piece otherwise than the same characters
    # among others, and its byte offsets need not fall between characters:
    # the text is then spliced by lines and columns and encoded whole.
    text = data.decode(encoding)
    starts = _native.line_starts(text)
    pieces, at = [], 0
    for c in ordered:
        s = c.old
        a, b = starts[s.line - 1] + s.column - 1, starts[s.end_line - 1] + s.end_column - 1
        if a < at or text[a:b] != s.text:
            raise ValueError(f"a change does not match the text at line {s.line}, column {s.column}")
        pieces += [text[at:a], c.new]
        at = b
    want = "".join(pieces) + text[at:]
    try:
        if spliced.decode(encoding) == want:
            return spliced
    except UnicodeDecodeError:
        pass
    return want.encode(encoding)


@_pickled_by_fields
@dataclass(frozen=True, slots=True)
class Diagnostic:
    """What one rule found in a file: the rule's id, severity, message (its
    metavariables filled in) and note, where the match lies and its first
    line's text, and the rule's fix as a ``Change`` (None without a fix, or
    when the fix lies inside another's).
    """

    rule: str
    severity: str
    message: str
    note: str | None
    span: Span
    line_text: str
    fix: Change | None = None


@_pickled_by_fields
@dataclass(frozen=True, slots=True)
class ScannedFile:
    """The diagnostics of every rule run over one file, or why it could not be scanned.

    ``digest``, ``encoding`` and ``errors_before`` are as for ``RewrittenFile``:
    what applying the fixes needs to write the file safely and judge the result.
    ``withheld`` says why a fix, or all of a rule's fixes, are not offered (the
    code around one would read it otherwise, or a value does not fit where the
    fix puts it); the diagnostics are.
    """

    path: str
    lang: str | None
    diagnostics: tuple[Diagnostic, ...] = ()
    error: str | None = None
    skipped: bool = False
    digest: str = ""
    encoding: str = "utf-8"
    errors_before: int = 0
    withheld: tuple[str, ...] = ()
