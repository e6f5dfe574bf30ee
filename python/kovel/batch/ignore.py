"""Gitignore patterns: which paths an ignore file (or a list of ``--glob`` globs) ignores.

The rules are git's (``gitignore(5)``, wildmatch): a blank line or one
starting with ``#`` is nothing; trailing spaces are dropped unless escaped
with a backslash; ``!`` re-includes what an earlier pattern ignored; a
trailing ``/`` matches directories only; a pattern with a ``/`` at its start
or middle is anchored to the directory of its file, one without matches a
name at any depth; ``*`` and ``?`` never match ``/``, ``**`` as a whole
segment matches any number of directories; ``[...]`` is a class (``!`` or
``^`` negates, ranges, ``[:alpha:]``-style classes); a backslash makes the
next character literal.  The last pattern that matches decides.

Patterns are matched against the path itself, never its parents: walking a
tree, an ignored directory is not entered, which is how git keeps the files
of an ignored directory ignored whatever later patterns say.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

from kovel.rules.rust_regex import ASCII_CLASSES

__all__ = ["Rules"]

# Git's classes: Rust's less ``ascii`` and ``word``, which git does not know.
_POSIX_CLASSES = {k: v for k, v in ASCII_CLASSES.items() if k not in ("ascii", "word")}


class _Malformed(Exception):
    """A pattern git would never match (an unclosed class, a trailing backslash)."""


class Rules:
    """The patterns of one ignore file, relative to its directory.

    ``match`` says what the last pattern matching ``path`` (relative to that
    directory, ``/``-separated) wants: True to ignore it, False to keep it
    (a ``!`` pattern), None when no pattern matches.

    >>> r = Rules(["*.log", "!keep.log", "build/", "/top.py"])
    >>> [r.match(p, is_dir=False) for p in ("a/x.log", "a/keep.log", "a/top.py", "top.py", "x.py")]
    [True, False, None, True, None]
    >>> r.match("src/build", is_dir=True), r.match("src/build", is_dir=False)
    (True, None)
    """

    __slots__ = ("_dirs", "_files", "_negated", "count")

    def __init__(self, lines: Iterable[str]) -> None:
        rules: list[tuple[str, bool, bool]] = []
        for line in lines:
            rule = _parse_line(line)
            if rule is not None:
                rules.append(rule)
        #: The number of patterns, malformed ones included.
        self.count = len(rules)
        # One alternation per kind of path, last pattern first, so the first
        # alternative that matches is the pattern that decides.
        self._negated = [neg for _, neg, _ in reversed(rules)]
        self._dirs = _alternation([rx for rx, _, _ in reversed(rules)])
        self._files = _alternation([None if dir_only else rx for rx, _, dir_only in reversed(rules)])

    def match(self, path: str, is_dir: bool) -> bool | None:
        """True if ``path`` is ignored, False if a ``!`` pattern keeps it, None if no pattern matches."""
        rx = self._dirs if is_dir else self._files
        if rx is None:
            return None
        m = rx.fullmatch(path)
        if m is None:
            return None
        assert m.lastindex is not None
        return not self._negated[m.lastindex - 1]


def _alternation(parts: list[str | None]) -> re.Pattern[str] | None:
    # A pattern left out (None) still takes a group, so group numbers stay
    # the patterns' positions.
    if all(p is None for p in parts):
        return None
    return re.compile("|".join(f"({'(?!)' if p is None else p})" for p in parts), re.DOTALL)


def _parse_line(line: str) -> tuple[str, bool, bool] | None:
    """``(regex, negated, directories only)`` for one line of an ignore file, or None."""
    line = line.removesuffix("\n").removesuffix("\r")
    if not line or line.startswith("#"):
        return None
    line = _trim_trailing_spaces(line)
    negated = line.startswith("!")
    if negated:
        line = line[1:]
    dir_only = line.endswith("/")
    if dir_only:
        line = line[:-1]
    if not line:
        return None
    anchored = "/" in line
    if line.startswith("/"):
        line = line[1:]
    try:
        body = _translate(line)
    except _Malformed:
        body = "(?!)"
    return (body if anchored else "(?:.*/)?" + body), negated, dir_only


def _trim_trailing_spaces(line: str) -> str:
    """Drop trailing spaces, but not one escaped by a backslash (as git does)."""
    last_space: int | None = None
    i = 0
    while i < len(line):
        c = line[i]
        if c == " ":
            if last_space is None:
                last_space = i
        elif c == "\\":
            i += 1
            if i == len(line):
                return line
            last_space = None
        else:
            last_space = None
        i += 1
    return line if last_space is None else line[:last_space]


def _translate(pat: str) -> str:
    """The regex of a wildmatch pattern in which ``*``, ``?`` and classes do not match ``/``."""
    out: list[str] = []
    i, n = 0, len(pat)
    while i < n:
        c = pat[i]
        if c == "*":
            j = i
            while j < n and pat[j] == "*":
                j += 1
            whole_segment = j - i >= 2 and (i == 0 or pat[i - 1] == "/") and (j == n or pat[j] == "/")
            if not whole_segment:
                out.append("[^/]*")
            elif j == n:  # a trailing "**": everything below
                out.append(".*")
            else:  # "**/": no directory or any number of them
                out.append("(?:.*/)?")
                j += 1
            i = j
        elif c == "?":
            out.append("[^/]")
            i += 1
        elif c == "[":
            cls, i = _translate_class(pat, i + 1)
            out.append(cls)
        elif c == "\\":
            if i + 1 == n:
                raise _Malformed
            out.append(re.escape(pat[i + 1]))
            i += 2
        else:
            out.append(re.escape(c))
            i += 1
    return "".join(out)


def _class_char(c: str) -> str:
    return "\\" + c if c in "\\]^-[" else c


def _translate_class(pat: str, i: int) -> tuple[str, int]:
    """The regex of the class whose ``[`` ends just before ``i``, and the index after its ``]``."""
    n = len(pat)
    negated = i < n and pat[i] in "!^"
    if negated:
        i += 1
    items: list[str] = []
    prev: str | None = None  # the last single character, which a "-" may extend into a range
    first = True
    while True:
        if i >= n:
            raise _Malformed
        c = pat[i]
        if c == "]" and not first:
            i += 1
            break
        first = False
        if c == "\\":
            i += 1
            if i >= n:
                raise _Malformed
            c = pat[i]
            items.append(_class_char(c))
            prev = c
            i += 1
        elif c == "-" and prev is not None and i + 1 < n and pat[i + 1] != "]":
            i += 1
            hi = pat[i]
            if hi == "\\":
                i += 1
                if i >= n:
                    raise _Malformed
                hi = pat[i]
            items.pop()
            if prev <= hi:  # git matches nothing for a reversed range
                items.append(f"{_class_char(prev)}-{_class_char(hi)}")
            prev = None
            i += 1
        elif c == "[" and pat.startswith(":", i + 1):
            end = pat.find(":]", i + 2)
            if end < 0:  # not a class name after all: a literal "["
                items.append(_class_char(c))
                prev = c
                i += 1
                continue
            name = pat[i + 2 : end]
            if name not in _POSIX_CLASSES:
                raise _Malformed
            items.append(_POSIX_CLASSES[name])
            prev = None
            i = end + 2
        else:
            items.append(_class_char(c))
            prev = c
            i += 1
    body = "".join(items)
    if negated:
        return f"[^/{body}]", i
    return (f"(?!/)[{body}]" if body else "(?!)"), i
