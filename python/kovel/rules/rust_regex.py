"""Rust's regular-expression syntax, spelled for Python's ``re``.

Rule files are written for Rust's ``regex`` crate, which ast-grep uses.  Most
of its syntax means the same to ``re``; what does not is respelled so that a
rule finds what it finds in ast-grep:

- ``$`` is the end of the text (``re``'s ``$`` also matches before a final
  line break), unless the ``m`` flag is on; ``\\z`` is ``\\Z``;
- flags may be set in the middle of a group (``a(?i)b``), and ``U`` swaps
  greedy and lazy repetitions; ``(?-u)`` is ``re``'s ASCII mode;
- ``(?<name>...)`` is a named group;
- ``\\x{...}``, ``\\u{...}`` and ``\\U{...}`` name a code point;
- ``\\pL``, ``\\p{Lu}``, ``\\p{Letter}`` and ``\\P{...}`` are Unicode's general
  categories (and ``Any``, ``ASCII``, ``Assigned``);
- ``[[:alpha:]]`` and ``[[:^alpha:]]`` are ASCII classes; classes nest
  (``[a[^b]]``) and combine with ``&&``, ``--`` and ``~~``;
- ``\\<``, ``\\>`` and ``\\b{start}``, ``\\b{end}``, ``\\b{start-half}``,
  ``\\b{end-half}`` are word boundaries;
- ``\\w``, ``\\s``, ``\\b`` and their negations are Unicode's word characters
  (letters, marks, digits, connectors) and white space, as Rust has them.

What Rust refuses is refused: ``{,n}``, a ``{`` that starts no repetition,
``\\Z``, ``(?#...)``, a ``\\x`` with one digit.

What only ``re`` has (look-arounds, back-references) is left as it is.
"""

from __future__ import annotations

import functools
import re
import sys
import unicodedata
from dataclasses import dataclass, replace

__all__ = ["ASCII_CLASSES", "respelled"]

#: The ASCII classes (``[[:alpha:]]``) as class bodies, by name.
ASCII_CLASSES = {
    "alnum": "0-9A-Za-z",
    "alpha": "A-Za-z",
    "ascii": "\\x00-\\x7f",
    "blank": "\\t ",
    "cntrl": "\\x00-\\x1f\\x7f",
    "digit": "0-9",
    "graph": "!-~",
    "lower": "a-z",
    "print": " -~",
    "punct": "!-/:-@\\[-`{-~",
    "space": "\\t\\n\\x0b\\x0c\\r ",
    "upper": "A-Z",
    "word": "0-9A-Za-z_",
    "xdigit": "0-9A-Fa-f",
}

_CATEGORY_NAMES = {
    "letter": "L", "casedletter": "LC", "lc": "LC", "uppercaseletter": "Lu", "lowercaseletter": "Ll",
    "titlecaseletter": "Lt", "modifierletter": "Lm", "otherletter": "Lo", "mark": "M",
    "combiningmark": "M", "nonspacingmark": "Mn", "spacingmark": "Mc", "enclosingmark": "Me",
    "number": "N", "decimalnumber": "Nd", "digit": "Nd", "letternumber": "Nl", "othernumber": "No",
    "punctuation": "P", "connectorpunctuation": "Pc", "dashpunctuation": "Pd",
    "openpunctuation": "Ps", "closepunctuation": "Pe", "initialpunctuation": "Pi",
    "finalpunctuation": "Pf", "otherpunctuation": "Po", "symbol": "S", "mathsymbol": "Sm",
    "currencysymbol": "Sc", "modifiersymbol": "Sk", "othersymbol": "So", "separator": "Z",
    "spaceseparator": "Zs", "lineseparator": "Zl", "paragraphseparator": "Zp", "other": "C",
    "control": "Cc", "format": "Cf", "surrogate": "Cs", "privateuse": "Co", "unassigned": "Cn",
}  # fmt: skip


@dataclass
class _Flags:
    """The flags in force in a group: ``re``'s letters that are on, and Rust's ``U``."""

    on: frozenset[str] = frozenset()
    ungreedy: bool = False
    # Flags set inside this group (``a(?i)b``) hold to its end: ``re`` takes
    # them as one scoped group with every flag spelled, opened there and
    # closed with the group (or an alternative).
    scoped: bool = False

    @property
    def multiline(self) -> bool:
        return "m" in self.on

    @property
    def verbose(self) -> bool:
        return "x" in self.on

    def spelled(self) -> str:
        """``re``'s flags for a scoped group that puts these in force whatever is around it."""
        off = "".join(f for f in "imsx" if f not in self.on)
        return "".join(sorted(self.on)) + ("-" + off if off else "")


@dataclass(frozen=True)
class _Set:
    """A class as one character: ``body`` fits inside ``[...]``, or ``atom`` stands alone."""

    body: str | None
    atom: str

    @staticmethod
    def of(body: str, negated: bool = False) -> _Set:
        return _Set(None, f"[^{body}]") if negated else _Set(body, f"[{body}]")


# As Rust's parser, which refuses deeper nesting (and so that this one, and
# re's, never run out of stack).
_NEST_LIMIT = 250


def respelled(text: str) -> str:
    """``text``, a regular expression in Rust's syntax, spelled for ``re``.

    >>> respelled("a(?i)b|c"), respelled("[[:digit:]&&[^0]]")
    ('a(?i-msx:b)|(?i-msx:c)', '(?:(?=[0-9])[^0])')
    """
    reader = _Reader(text)
    try:
        out = reader.read()
    except (IndexError, ValueError) as exc:  # ran off the end of a construct
        if isinstance(exc, re.error):
            raise
        raise re.error("unexpected end of pattern", text, len(text)) from None
    if len(out) > _MOST_SPELLED:
        # (Each `\b` spells Unicode's word characters out four times, `\w` once.)
        raise re.error("too many Unicode classes (\\w, \\s, \\b) for one expression", text, 0)
    return out


#: The longest respelling ``re`` is asked to compile: about forty `\b`s.
_MOST_SPELLED = 1_000_000


class _Reader:
    def __init__(self, text: str) -> None:
        self.s = text
        self.i = 0
        self.stack = [_Flags()]

    def error(self, message: str) -> re.error:
        return re.error(message, self.s, self.i)

    def read(self) -> str:
        out: list[str] = []
        s = self.s
        while self.i < len(s):
            c = s[self.i]
            flags = self.stack[-1]
            if c == "\\":
                out.append(self.escape())
            elif c == "[":
                out.append(self.bracket().atom)
            elif c == "(":
                out.append(self.open())
            elif c == ")" and len(self.stack) > 1:
                self.i += 1
                out.append(")" * self.stack.pop().scoped + ")")
            elif c == "|":
                self.i += 1  # an alternative ends the scoped group, and the next opens it again
                out.append(f")|(?{flags.spelled()}:" if flags.scoped else "|")
            elif c == "$":
                self.i += 1
                out.append("$" if flags.multiline else "\\Z")
            elif c in "*+?" or c == "{":
                if c == "{" and not re.match(r"\{\s*\d+\s*(,\s*\d*\s*)?\}", s[self.i :]):
                    raise self.error("a '{' starts no repetition (write '\\{' for the character)")
                out.append(self.repetition())
            elif c == "#" and flags.verbose:
                end = s.find("\n", self.i)
                end = len(s) if end < 0 else end
                out.append(s[self.i : end] + "\n")  # the groups closed after it stay outside it
                self.i = end + 1
            else:
                out.append(c)
                self.i += 1
        out.append(")" * self.stack[0].scoped)
        return "".join(out)

    def repetition(self) -> str:
        s = self.s
        end = s.index("}", self.i) + 1 if s[self.i] == "{" else self.i + 1
        op = re.sub(r"\s", "", s[self.i : end])
        lazy = s.startswith("?", end)
        self.i = end + lazy
        if self.stack[-1].ungreedy:
            lazy = not lazy
        return op + "?" * lazy

    def open(self) -> str:
        s = self.s
        self.i += 1
        outer = self.stack[-1]
        if len(self.stack) > _NEST_LIMIT:
            raise self.error("groups nested too deeply")
        inner = _Flags(outer.on, outer.ungreedy)
        m = re.match(r"\?P?<([A-Za-z_]\w*)>", s[self.i :])
        if m:
            self.i += m.end()
            self.stack.append(inner)
            return f"(?P<{m.group(1)}>"
        if s.startswith("?#", self.i):
            raise self.error("no comment groups: write the comment under the x flag")
        m = re.match(r"\?([A-Za-z-]*)([:)])", s[self.i :])
        if not m:  # a plain group, or a look-around (re's own)
            look = re.match(r"\?(<?[=!])?", s[self.i :])
            self.i += look.end() if look else 0
            self.stack.append(inner)
            return "(" + (look.group(0) if look else "")
        self.i += m.end()
        if m.group(2) == ":":
            self.stack.append(self.apply(m.group(1), inner) if m.group(1) else inner)
            return f"(?{self.stack[-1].spelled()}:" if m.group(1) else "(?:"
        # Flags for the rest of this group: its scoped group so far ends, and
        # one with the flags now in force starts.
        now = replace(self.apply(m.group(1), outer), scoped=True)
        self.stack[-1] = now
        return ")" * outer.scoped + f"(?{now.spelled()}:"

    def apply(self, letters: str, flags: _Flags) -> _Flags:
        """``flags`` with ``letters`` (Rust's, as in ``i-s``) set."""
        if letters.count("-") > 1:
            raise self.error("more than one '-' in a group's flags")
        plus, _, minus = letters.partition("-")
        on, ungreedy = set(flags.on), flags.ungreedy
        for letter, value in [(x, True) for x in plus] + [(x, False) for x in minus]:
            if letter == "U":
                ungreedy = value
            elif letter == "u":
                # Unicode is re's default; ASCII, once on, stays on inside (re cannot turn it off).
                if not value:
                    on.add("a")
            elif letter == "R":
                pass  # CRLF line ends: re knows only \n
            elif letter in "imsx":
                (on.add if value else on.discard)(letter)
            else:
                raise self.error(f"unknown flag {letter!r}")
        return _Flags(frozenset(on), ungreedy, flags.scoped)

    def escape(self) -> str:
        s = self.s
        if self.i + 1 >= len(s):
            raise self.error("a pattern may not end with a backslash")
        c = s[self.i + 1]
        if c in "pP":
            return self.category().atom
        if c in "xuU":
            return _char(self.code_point())
        self.i += 2
        if c == "z":
            return "\\Z"
        if c == "Z":
            raise self.error("no \\Z: the end of the text is \\z")
        bounds = _boundaries("\\w" if self.ascii else _unicode_class("w").atom)
        if c in "<>":
            return bounds["start" if c == "<" else "end"]
        if c == "b" and s.startswith("{", self.i):
            end = s.find("}", self.i)
            spelled = bounds.get(s[self.i + 1 : end]) if end > 0 and s[self.i + 1 : end] in _NAMED else None
            if spelled is None:
                raise self.error("unknown word boundary")
            self.i = end + 1
            return spelled
        if c in "bB" and not self.ascii:
            return bounds["any" if c == "b" else "none"]
        if c in "wWsS" and not self.ascii:
            return _unicode_class(c).atom
        return "\\" + c

    @property
    def ascii(self) -> bool:
        """Whether Unicode is off here (``(?-u)``): ``re``'s ASCII classes are Rust's."""
        return "a" in self.stack[-1].on

    def code_point(self) -> int:
        """A ``\\x``, ``\\u`` or ``\\U`` escape at ``i``, braced or with 2, 4 or 8 digits."""
        s = self.s
        kind = s[self.i + 1]
        self.i += 2
        if s.startswith("{", self.i):
            end = s.find("}", self.i)
            digits = s[self.i + 1 : end] if end > 0 else ""
            self.i = end + 1
        else:
            width = {"x": 2, "u": 4, "U": 8}[kind]
            digits = s[self.i : self.i + width]
            self.i += width
            if len(digits) != width:
                raise self.error("invalid code point escape")
        if not re.fullmatch(r"[0-9A-Fa-f]{1,8}", digits) or int(digits, 16) > sys.maxunicode:
            raise self.error("invalid code point escape")
        return int(digits, 16)

    def category(self) -> _Set:
        """A ``\\p``/``\\P`` escape at ``i``."""
        s = self.s
        negated = s[self.i + 1] == "P"
        self.i += 2
        if s.startswith("{", self.i):
            end = s.find("}", self.i)
            if end < 0:
                raise self.error("unclosed Unicode class")
            name = s[self.i + 1 : end]
            self.i = end + 1
        else:
            name = s[self.i : self.i + 1]
            self.i += 1
        if name.startswith("^"):
            name, negated = name[1:], not negated
        body = _category(name)
        if body is None:
            raise self.error(f"unknown or unsupported Unicode class {name!r}")
        return _Set.of(body, negated)

    def bracket(self, depth: int = 0) -> _Set:
        """A class at ``i`` (its ``[``), with nested classes and set operations."""
        s = self.s
        if depth > _NEST_LIMIT:
            raise self.error("classes nested too deeply")
        self.i += 1
        negated = s.startswith("^", self.i)
        self.i += negated
        result: _Set | None = None
        op = ""
        parts: list[_Set] = []
        first = True
        while True:
            if self.i >= len(s):
                raise self.error("unterminated character set")
            c, two = s[self.i], s[self.i : self.i + 2]
            if c == "]" and not first:
                self.i += 1
                break
            first = False
            if two in ("&&", "--", "~~"):
                result = _combine(result, op, _union(parts))
                op, parts = two, []
                self.i += 2
            elif self.stack[-1].verbose and c.isspace():
                self.i += 1
            elif m := re.match(r"\[:(\^?)([a-z]+):\]", s[self.i :]) if two == "[:" else None:
                if m.group(2) not in ASCII_CLASSES:
                    raise self.error(f"unknown ASCII class {m.group(2)!r}")
                self.i += m.end()
                parts.append(_Set.of(ASCII_CLASSES[m.group(2)], bool(m.group(1))))
            elif c == "[":
                parts.append(self.bracket(depth + 1))
            elif two in ("\\p", "\\P"):
                parts.append(self.category())
            elif two in ("\\w", "\\W", "\\s", "\\S") and not self.ascii:
                self.i += 2
                parts.append(_unicode_class(two[1]))
            else:
                parts.append(_Set.of(self.member()))
        whole = _combine(result, op, _union(parts))
        return _negate(whole) if negated else whole

    def member(self) -> str:
        """One character or range of a class, as a class body."""
        low, char = self.single()
        s = self.s
        if char and s.startswith("-", self.i) and not s.startswith(("-]", "--"), self.i):
            self.i += 1
            high, char = self.single()
            if not char:
                raise self.error("bad character range")
            return f"{low}-{high}"
        return low

    def single(self) -> tuple[str, bool]:
        """One member of a class as ``re`` reads it, and whether it is one character."""
        s = self.s
        c = s[self.i]
        if c != "\\":
            self.i += 1
            return ("\\" + c if c in "[]\\^-&~|" else c), True
        if self.i + 1 >= len(s):
            raise self.error("a pattern may not end with a backslash")
        e = s[self.i + 1]
        if e in "xuU":
            return _char(self.code_point()), True
        self.i += 2
        return "\\" + e, not e.isalpha() or e in "afnrtv"


def _boundaries(word: str) -> dict[str, str]:
    """The word boundaries by kind (Rust's ``\\b{...}`` names, ``any`` for ``\\b``
    and ``none`` for ``\\B``) between characters that ``word`` matches and others."""
    return {
        "start": f"(?<!{word})(?={word})",
        "end": f"(?<={word})(?!{word})",
        "start-half": f"(?<!{word})",
        "end-half": f"(?!{word})",
        "any": f"(?:(?<={word})(?!{word})|(?<!{word})(?={word}))",
        "none": f"(?:(?<={word})(?={word})|(?<!{word})(?!{word}))",
    }


# The boundaries `\b{...}` names.
_NAMED = frozenset({"start", "end", "start-half", "end-half"})
# Rust's white space (Unicode's White_Space, which re's `\s` is not: it takes
# the separators U+001C to U+001F too).
_WHITE_SPACE = "\\t-\\r \\x85\\xa0\\u1680\\u2000-\\u200a\\u2028\\u2029\\u202f\\u205f\\u3000"
# Letters that are symbols by category but alphabetic by property (circled and squared letters).
_OTHER_ALPHABETIC = "\\u24b6-\\u24e9\\U0001f130-\\U0001f149\\U0001f150-\\U0001f169\\U0001f170-\\U0001f189"


@functools.cache
def _unicode_class(letter: str) -> _Set:
    """Rust's ``\\w`` (alphabetic, marks, decimal digits, connectors, joiners)
    or ``\\s``, negated for the upper-case letter.  ``re``'s own ``\\w`` (letters
    and numbers) is most of Rust's: it is taken less the numbers that are no
    digits (`²`) and with the marks, connectors and joiners, so that the
    spelling stays a few kilobytes (every `\\b` holds it four times)."""
    if letter in "sS":
        return _Set.of(_WHITE_SPACE, negated=letter == "S")
    no, extra = _merged(frozenset({"No"})), _merged(frozenset({"Mn", "Mc", "Me", "Pc"}))
    word = _Set(None, f"(?:(?![{no}])\\w|[{extra}\\u200c\\u200d{_OTHER_ALPHABETIC}])")
    return _negate(word) if letter == "W" else word


@functools.cache
def _merged(categories: frozenset[str]) -> str:
    """The code points of the general ``categories``, as a class body of ranges."""
    out: list[str] = []
    start = -1
    for cp in range(sys.maxunicode + 2):
        inside = cp <= sys.maxunicode and unicodedata.category(chr(cp)) in categories
        if inside and start < 0:
            start = cp
        elif not inside and start >= 0:
            out.append(_char(start) if start == cp - 1 else f"{_char(start)}-{_char(cp - 1)}")
            start = -1
    return "".join(out)


def _char(cp: int) -> str:
    return f"\\x{cp:02x}" if cp < 0x100 else f"\\u{cp:04x}" if cp < 0x10000 else f"\\U{cp:08x}"


def _union(parts: list[_Set]) -> _Set:
    if len(parts) == 1:
        return parts[0]
    if all(p.body is not None for p in parts):
        return _Set.of("".join(p.body or "" for p in parts))
    return _Set(None, "(?:" + "|".join(p.atom for p in parts) + ")")


def _negate(x: _Set) -> _Set:
    if x.body is not None:
        return _Set.of(x.body, negated=True)
    return _Set(None, f"(?:(?!{x.atom})(?s:.))")


def _combine(left: _Set | None, op: str, right: _Set) -> _Set:
    if left is None:
        return right
    if op == "&&":
        return _Set(None, f"(?:(?={left.atom}){right.atom})")
    if op == "--":
        return _Set(None, f"(?:(?!{right.atom}){left.atom})")
    return _Set(None, f"(?:(?!{right.atom}){left.atom}|(?!{left.atom}){right.atom})")


def _category(name: str) -> str | None:
    """The class body of a general category (or Any, ASCII, Assigned) named
    as Rust names them: loosely, by short or long name."""
    key = re.sub(r"[\s_-]", "", name).lower()
    key = key.removeprefix("generalcategory=").removeprefix("gc=")
    if key == "any":
        return "\\x00-\\U0010ffff"
    if key == "ascii":
        return "\\x00-\\x7f"
    if key == "assigned":
        return "".join(b for c, b in _categories().items() if c != "Cn")
    short = _CATEGORY_NAMES.get(key) or next((c for c in _short_names() if c.lower() == key), None)
    if short is None:
        return None
    if short == "LC":
        return "".join(_categories()[c] for c in ("Lu", "Ll", "Lt"))
    return "".join(b for c, b in _categories().items() if c.startswith(short))


def _short_names() -> set[str]:
    return set(_categories()) | {c[0] for c in _categories()}


@functools.cache
def _categories() -> dict[str, str]:
    """Each general category as a class body of ranges (computed once: a tenth of a second)."""
    ranges: dict[str, list[str]] = {}
    start, last = 0, unicodedata.category("\0")
    for cp in range(1, sys.maxunicode + 2):
        cat = unicodedata.category(chr(cp)) if cp <= sys.maxunicode else ""
        if cat != last:
            end = cp - 1
            ranges.setdefault(last, []).append(
                _char(start) if start == end else f"{_char(start)}-{_char(end)}"
            )
            start, last = cp, cat
    return {c: "".join(r) for c, r in ranges.items()}
