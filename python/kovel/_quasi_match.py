"""Patterns: matching code written with metavariables against terms.

A pattern node matches a term node of the same tag whose children match the
pattern's children in order; a token matches a token of the same tag and
text; ``$NAME`` matches any one node and ``$$$NAME`` any run of siblings.
Layout (the text between children) is ignored, and so are separator and
keyword tokens of the term that the pattern does not mention (a trailing
comma, ``async``) and comments, like ast-grep's default "smart" strictness.  Quote and
unquote nodes of the term are looked through.

The matching itself is native (``kovel/src/match.cpp``): a pattern is
compiled once, and one call walks the term, tries the pattern at every node
of the root's tag and returns only the matches.
"""

from __future__ import annotations

import bisect
import re
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from kovel import _native
from kovel._kovel import KTerm, tb
from kovel._quasi_fill import Siblings
from kovel._quasi_parse import SHole, SNode, parse_quasi

if TYPE_CHECKING:
    from kovel.quasi import Template

__all__ = ["Match", "Pattern", "pattern"]

Binding = KTerm | list[KTerm]
Path = tuple[int, ...]


def _spec(n: SNode | SHole) -> tuple[object, ...]:
    """The pattern as ``_native.compile_pattern`` takes it (separator gaps dropped)."""
    if isinstance(n, SHole):
        return (1 if n.meta.seq else 0, n.meta.name)
    if n.leaf:
        return (2, n.kind, n.items[0] if n.items else "")
    return (3, n.kind, tuple(_spec(i) for i in n.items if not isinstance(i, str)))


@dataclass(frozen=True, slots=True)
class Match:
    """One match of a pattern in a term.

    ``term`` is the matched node, ``path`` its position (as
    ``kovel.tree.walk`` gives it), ``span`` its ``(start, end)`` in
    ``str(root)`` and ``bindings`` the values of the named metavariables,
    keyed like ``Template.fill``: a term for ``$NAME``, a list of terms for
    ``$$$NAME``.

    >>> from kovel.treesitter import parse
    >>> m = next(pattern("python", "$F($X)").find_all(parse("python", "g(1)\\n")))
    >>> m.path, m.span, {k: str(v) for k, v in m.bindings.items()}
    ((0, 0), (0, 4), {'F': 'g', 'X': '1'})
    """

    term: KTerm
    path: Path
    span: tuple[int, int]
    bindings: dict[str, Binding]


def _dedent(t: KTerm, indent: str) -> KTerm:
    """`t` with `indent` taken off the start of every line after its first.

    Terms parsed from source carry the absolute indentation of their later
    lines; a value moved elsewhere takes the indentation of its new place
    (a pushed prefix) and keeps only what it had beyond ``indent``.
    """
    if not indent or "\n" not in str(t):
        return t
    return _native.dedent(t, indent)


def _line_indent(text: str, offset: int) -> str:
    start = text.rfind("\n", 0, offset) + 1
    line = text[start:offset]
    return line[: len(line) - len(line.lstrip(" \t"))]


class Pattern:
    """Code with metavariables in one language; it finds and rewrites terms.

    Made by ``pattern(lang, code)``.

    >>> from kovel.treesitter import parse
    >>> p = pattern("python", "$X == None")
    >>> [str(m.term) for m in p.find_all(parse("python", "if a == None or b == c:\\n    pass\\n"))]
    ['a == None']
    """

    __slots__ = ("_program", "code", "lang")

    def __init__(self, lang: str, code: str) -> None:
        sk = parse_quasi(lang, code)
        root = sk.root
        if isinstance(root, SNode) and not root.leaf and not root.named and root.kind == "":
            raise ValueError(f"pattern {code!r} is empty")
        self.lang: str = lang
        self.code: str = code
        self._program: object = _native.compile_pattern(_spec(root), Siblings)

    def __repr__(self) -> str:
        return f"pattern({self.lang!r}, {self.code!r})"

    def __reduce__(self) -> tuple[type[Pattern], tuple[str, str]]:
        # The compiled form is native; a copy (in another process, say) compiles the code again.
        return (Pattern, (self.lang, self.code))

    def _matches(self, t: KTerm, outermost: bool) -> Iterator[Match]:
        # One native call finds every match; Python objects are made only for them.
        # Each path comes as a tail to a prefix of the previous one, and
        # `offsets` is set exactly when a binding's text spans lines: nested
        # matches in a deep term cost no more than their paths.
        indents: _Indents | None = None
        path: Path = ()
        for keep, tail, node, start, end, env, offsets in _native.match_all(self._program, t, outermost):
            path = path[:keep] + tail
            if offsets is not None:
                if indents is None:
                    indents = _Indents(str(t))
                env = _normalise(env, indents.at(start))
            yield Match(node, path, (start, end), env)

    def find_all(self, t: KTerm) -> Iterator[Match]:
        """Yield every match in ``t``, in document order (nested matches included).

        >>> from kovel.treesitter import parse
        >>> p = pattern("python", "$A + $A")
        >>> [str(m.term) for m in p.find_all(parse("python", "x + x\\ny + z\\n"))]
        ['x + x']
        """
        return self._matches(t, False)

    def rewrite(self, t: KTerm, replacement: Template | Callable[[Match], KTerm]) -> KTerm:
        """Replace every match in ``t`` (outermost first, no overlaps) and return the new term.

        ``replacement`` is a ``Template``, filled with each match's bindings,
        or a function from the ``Match`` to its replacement term. Text outside
        the matches is unchanged and unchanged subterms are shared. A
        replacement of several lines gets the indentation of the line where
        its match starts on each later line.

        >>> from kovel.treesitter import parse
        >>> from kovel.quasi import template
        >>> src = parse("python", "def f():\\n    x = a == None\\n")
        >>> print(pattern("python", "$X == None").rewrite(src, template("python", "$X is None")), end="")
        def f():
            x = a is None
        """
        from kovel.quasi import Template

        text: str | None = None
        paths: list[Path] = []
        news: list[KTerm] = []
        for m in self._matches(t, True):
            if isinstance(replacement, Template):
                new = replacement.fill(**m.bindings)
            else:
                new = replacement(m)
                if not isinstance(new, KTerm):
                    raise TypeError(f"rewrite function returned {type(new).__name__}, not KTerm")
            if "\n" in str(new):
                if text is None:
                    text = str(t)
                indent = _line_indent(text, m.span[0])
                if indent:
                    new = tb(_native.tag(m.term)).p(indent).c(new).x().b()
            paths.append(m.path)
            news.append(new)
        return _native.replace_all(t, paths, news) if paths else t


def _raw(v: Binding) -> KTerm:
    if isinstance(v, Siblings) and v.raw is not None:
        return v.raw
    assert isinstance(v, KTerm)
    return v


def _normalise(env: dict[str, Binding], indent: str) -> dict[str, Binding]:
    """Dedent multi-line bindings by the indentation of the line the match starts on.

    A rewrite pushes that indentation back in front of the replacement's later
    lines, so a binding spliced as it stood comes out as it was, however its
    continuation lines were indented.
    """
    out: dict[str, Binding] = {}
    for k, v in env.items():
        if isinstance(v, Siblings):
            raw = _dedent(v.raw, indent) if v.raw is not None else None
            out[k] = Siblings([_dedent(x, indent) for x in v], raw)
        else:
            assert isinstance(v, KTerm)
            out[k] = _dedent(v, indent)
    return out


def pattern(lang: str, code: str) -> Pattern:
    """Parse ``code`` (one node, with metavariables) in language ``lang`` into a ``Pattern``.

    Raises ``SyntaxError`` naming the line and column when the code does not
    parse.

    >>> pattern("javascript", "console.log($$$ARGS)")
    pattern('javascript', 'console.log($$$ARGS)')
    """
    if not isinstance(lang, str) or not isinstance(code, str):
        raise TypeError("pattern(lang, code) takes two str")
    return Pattern(lang, code)


class _Indents:
    """The indentation of the line an offset of ``text`` lies on (as ``_line_indent``),
    without scanning back along a long line for each offset."""

    __slots__ = ("_starts", "_text")

    def __init__(self, text: str) -> None:
        self._text = text
        self._starts = [0, *(m.end() for m in re.finditer("\n", text))]

    def at(self, offset: int) -> str:
        start = self._starts[bisect.bisect_right(self._starts, offset) - 1]
        m = _INDENT.match(self._text, start, offset)
        return m.group() if m else ""


_INDENT = re.compile("[ \t]*")
