"""Gitignore patterns: which paths an ignore file (or a list of ``--glob`` globs) ignores.

The rules are git's (``gitignore(5)``, wildmatch): a blank line or one
starting with ``#`` is nothing; trailing spaces are dropped unless escaped
with a backslash; ``!`` re-includes what an earlier pattern ignored; a
trailing ``/`` matches directories only; a pattern with a ``/`` at its start
or middle is anchored to the directory of its file, one without matches a
name at any depth; ``*`` and ``?`` never match ``/``, ``**`` as a whole
segment matches any number of directories; ``[...]`` is a class (``!`` or
``^`` negates, ranges, ``[:alpha:]``-style classes); a backslash makes the
next character literal.  The last pattern that matches decides.  As in git,
a pattern is matched byte by byte: `?` is one byte of a name's UTF-8.

Patterns are matched against the path itself, never its parents: walking a
tree, an ignored directory is not entered, which is how git keeps the files
of an ignored directory ignored whatever later patterns say.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

from kovel.rules.rule import braces_expanded
from kovel.rules.rust_regex import ASCII_CLASSES

__all__ = ["Rules", "glob_problem", "glob_rules"]

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

    __slots__ = ("_dirs", "_files", "_negated", "_wild", "count")

    def __init__(self, lines: Iterable[str]) -> None:
        rules: list[tuple[list[str] | None, bool, bool]] = []
        for line in lines:
            rule = _parse_line(_bytewise(line))
            if rule is not None:
                rules.append(rule)
        #: The number of patterns, malformed ones included.
        self.count = len(rules)
        # One alternation per kind of path, last pattern first, so the first
        # alternative that matches is the pattern that decides. A pattern of
        # many wildcards is matched apart: a regex of it may backtrack for ever.
        last_first = list(reversed(rules))
        self._negated = [neg for _, neg, _ in last_first]
        self._wild = [
            (k, _Wildmatch(pieces), dir_only)
            for k, (pieces, _, dir_only) in enumerate(last_first)
            if pieces is not None and _wildcards(pieces) > _MOST_WILDCARDS
        ]
        wild = {k for k, _, _ in self._wild}
        regexes = [None if k in wild else _regex(pieces) for k, (pieces, _, _) in enumerate(last_first)]
        self._dirs = _alternation(regexes)
        self._files = _alternation(
            [None if dir_only else rx for rx, (_, _, dir_only) in zip(regexes, last_first, strict=True)]
        )

    def match(self, path: str, is_dir: bool) -> bool | None:
        """True if ``path`` is ignored, False if a ``!`` pattern keeps it, None if no pattern matches."""
        rx = self._dirs if is_dir else self._files
        path = _bytewise(path)
        m = rx.fullmatch(path) if rx is not None else None
        decides = m.lastindex - 1 if m is not None and m.lastindex is not None else len(self._negated)
        for k, w, dir_only in self._wild:
            if k >= decides:
                break
            if (is_dir or not dir_only) and w.fullmatch(path):
                decides = k
                break
        return None if decides == len(self._negated) else not self._negated[decides]


def _bytewise(text: str) -> str:
    """``text`` (a name as ``os.fsdecode`` gives it) with a character for each of
    its bytes in UTF-8: git matches patterns byte by byte, so `?` takes one
    byte of `é` and `[é]` is a class of two bytes.

    >>> _bytewise("é.py")
    'Ã©.py'
    """
    return text if text.isascii() else text.encode("utf-8", "surrogateescape").decode("latin-1")


# Patterns of more wildcards than this are matched by ``_Wildmatch``: a regex of
# three may take the cube of a long name's length (`/*a*a*b` on 250 letters).
_MOST_WILDCARDS = 2
_STAR, _ANY, _DIRS = "[^/]*", ".*", "(?:.*/)?"
_WILDCARDS = (_STAR, _ANY, _DIRS)


def _wildcards(pieces: list[str]) -> int:
    return sum(1 for p in pieces if p in _WILDCARDS)


def _regex(pieces: list[str] | None) -> str:
    return "(?!)" if pieces is None else "".join(pieces)


class _Wildmatch:
    """One pattern's pieces (wildcards, and expressions of one character each)
    matched by following every way through them at once: time linear in the
    path's length times the pieces, where a regex may backtrack exponentially
    (``*a*a*a*a*a*a*a*c``).

    >>> _Wildmatch(["(?:.*/)?", "[^/]*", "a", "[^/]*", "c"]).fullmatch("x/yabc")
    True
    """

    __slots__ = ("_one", "_pieces")

    def __init__(self, pieces: list[str]) -> None:
        self._pieces = pieces
        self._one = [None if p in _WILDCARDS else re.compile(p, re.DOTALL) for p in pieces]

    def fullmatch(self, path: str) -> bool:
        end = len(self._pieces)
        states = self._closure({(0, False)})
        for c in path:
            after: set[tuple[int, bool]] = set()
            for i, _ in states:
                if i == end:
                    continue
                p, one = self._pieces[i], self._one[i]
                if one is not None:
                    if one.fullmatch(c):
                        after.add((i + 1, False))
                elif p == _STAR:
                    if c != "/":
                        after.add((i, False))
                elif p == _ANY:
                    after.add((i, False))
                else:  # _DIRS: any characters, then a "/" ends it
                    after.add((i, True))
                    if c == "/":
                        after.add((i + 1, False))
            states = self._closure(after)
            if not states:
                return False
        return (end, False) in states

    def _closure(self, states: set[tuple[int, bool]]) -> set[tuple[int, bool]]:
        """``states`` and those a wildcard matching nothing leads to from them."""
        out, todo = set(states), list(states)
        while todo:
            i, inside = todo.pop()
            if i < len(self._pieces) and not inside and self._pieces[i] in _WILDCARDS:
                if (i + 1, False) not in out:
                    out.add((i + 1, False))
                    todo.append((i + 1, False))
        return out


def _alternation(parts: list[str | None]) -> re.Pattern[str] | None:
    # A pattern left out (None) still takes a group, so group numbers stay
    # the patterns' positions.
    if all(p is None for p in parts):
        return None
    return re.compile("|".join(f"({'(?!)' if p is None else p})" for p in parts), re.DOTALL)


def _parse_line(line: str) -> tuple[list[str] | None, bool, bool] | None:
    """``(pieces of its regex, negated, directories only)`` for one line of an
    ignore file (no pieces: a pattern git never matches), or None."""
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
        body: list[str] | None = _translate(line)
    except _Malformed:
        body = None
    return (body if anchored or body is None else [_DIRS, *body]), negated, dir_only


def glob_rules(globs: Iterable[str], include: bool = True) -> Rules:
    """Globs as ripgrep's ``--glob`` takes them (``.gitignore`` syntax, with
    ``{a,b}`` standing for either) as ``Rules``; with ``include``, a glob keeps
    what it matches (a ``!`` one leaves it out), the other way round from an
    ignore file.

    >>> r = glob_rules(["*.{js,ts}", "!{vendor,*.min.js}"])
    >>> [r.match(p, is_dir=False) for p in ("a.ts", "a.min.js", "vendor", "a.py")]
    [False, True, True, None]
    """
    lines: list[str] = []
    for glob in globs:
        negated = glob.startswith("!")
        flip = negated != include
        for g in braces_expanded(glob[negated:]):
            lines.append(("!" if flip else "") + g)
    return Rules(lines)


def glob_problem(glob: str) -> str | None:
    """Why ``glob`` (``.gitignore`` syntax, with ``{a,b}`` standing for either, as
    ``glob_rules`` reads it) matches nothing ever, as git reads it, or None for a
    glob that may match.  An ignore file's malformed line is passed over, as git
    does; a glob given on the command line or in a rule is an error.

    >>> glob_problem("src/*.{py,pyi}"), glob_problem("[a-"), glob_problem("x\\\\")
    (None, 'a character class `[` is not closed', 'it ends with a lone backslash')
    """
    try:
        expanded = braces_expanded(glob.removeprefix("!"))
    except ValueError as exc:
        return str(exc)
    for g in expanded:
        line = _trim_trailing_spaces(g).removesuffix("/").removeprefix("/")
        try:
            _translate(line)
        except _Malformed as exc:
            return str(exc)
    return None


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


def _translate(pat: str) -> list[str]:
    """The regex of a wildmatch pattern in which ``*``, ``?`` and classes do not
    match ``/``, in pieces: wildcards, and expressions of one character each."""
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
                out.append(_STAR)
            elif j == n:  # a trailing "**": everything below
                out.append(_ANY)
            else:  # "**/": no directory or any number of them
                out.append(_DIRS)
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
                raise _Malformed("it ends with a lone backslash")
            out.append(re.escape(pat[i + 1]))
            i += 2
        else:
            out.append(re.escape(c))
            i += 1
    return out


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
            raise _Malformed("a character class `[` is not closed")
        c = pat[i]
        if c == "]" and not first:
            i += 1
            break
        first = False
        if c == "\\":
            i += 1
            if i >= n:
                raise _Malformed("a character class `[` is not closed")
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
                    raise _Malformed("a character class `[` is not closed")
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
                raise _Malformed(f"[:{name}:] names no character class")
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
