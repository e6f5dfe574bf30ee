"""Templates and patterns written in the target language.

A *template* is code with holes; filling it gives a term::

    >>> from kovel.quasi import template
    >>> t = template("python", "def $NAME($$$ARGS):\\n    return $BODY\\n")
    >>> print(t.fill(NAME=name("area"), ARGS=[name("w"), name("h")], BODY=leaf("expr", "w * h")), end="")
    def area(w, h):
        return w * h

A *pattern* is code with metavariables; it finds and rewrites terms::

    >>> from kovel.quasi import pattern
    >>> from kovel.treesitter import parse
    >>> p = pattern("python", "print($$$A)")
    >>> print(p.rewrite(parse("python", "print(1, 2)\\n"), template("python", "log($$$A)")), end="")
    log(1, 2)

Metavariables, in both: ``$NAME`` (``$`` then an upper-case identifier:
letters, digits, ``_``) stands for one node; ``$$$NAME`` for zero or more
consecutive siblings; ``$_`` and ``$$$`` match anything without binding.
Each is replaced by an identifier the grammar accepts while the code is
parsed, and mapped back; none of this shows in the results.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from functools import lru_cache
from typing import Any

from kovel._kovel import KTerm, leaf, name
from kovel._quasi_fill import Siblings, compile_filler
from kovel._quasi_lift import LIFTERS
from kovel._quasi_parse import Skeleton, parse_quasi

__all__ = [
    "Match",
    "Pattern",
    "Siblings",
    "Template",
    "apply_changes",
    "find_files",
    "pattern",
    "register_lifter",
    "rewrite_files",
    "template",
]

# Used by the examples in the docstrings.
_ = (leaf, name)


class Template:
    """Code with holes in one language, parsed once; ``fill`` makes terms from it.

    Made by ``template(lang, code)``.

    >>> t = template("c", "int $NAME = $VALUE;")
    >>> t.holes
    ('NAME', 'VALUE')
    """

    __slots__ = ("_fill", "_names", "_skeleton", "_texts", "code", "holes", "lang")

    def __init__(self, skeleton: Skeleton) -> None:
        self.lang: str = skeleton.lang
        self.code: str = skeleton.code
        self._skeleton = skeleton
        fillable = [m for m in skeleton.metas if _is_hole(skeleton, m.index)]
        names: dict[str, None] = {}
        self._names: frozenset[str] = frozenset()
        anonymous = [m.text for m in fillable if m.name is None]
        self._texts: dict[str, str] = {}
        for m in fillable:
            if m.name is not None:
                names.setdefault(m.name)
                self._texts.setdefault(m.name, m.text)
        #: The names of the holes (the keywords of ``fill``), in order of appearance.
        self.holes: tuple[str, ...] = tuple(names)
        self._names = frozenset(names)
        if anonymous:
            self._fill: Callable[[Mapping[str, Any]], KTerm] = _anonymous(anonymous[0])
        else:
            self._fill = compile_filler(skeleton)

    def __repr__(self) -> str:
        return f"template({self.lang!r}, {self.code!r})"

    def __reduce__(self) -> tuple[Callable[[str, str], Template], tuple[str, str]]:
        """Pickle as the code: a copy (in another process, say) parses it again, through the cache.

        >>> import pickle
        >>> pickle.loads(pickle.dumps(template("python", "log($$$A)"))).holes
        ('A',)
        """
        return (template, (self.lang, self.code))

    def fill(self, **values: object) -> KTerm:
        """Fill every hole and return the term: a ``Quote`` of the template's language.

        A ``$NAME`` hole takes one value, a ``$$$NAME`` hole a sequence. A
        ``KTerm`` is spliced as it is; other values (``int``, ``float``,
        ``str``, ``bool``, ``None``) are lifted to a literal of the template's
        language (see ``register_lifter``). A value keeps its meaning where it
        lands: it is parenthesised where the grammar would read it otherwise
        (``-3`` in ``$X ** 2``); a ``str`` at a hole where the grammar wants a
        name becomes that name; a hole inside a string literal takes a ``str``
        escaped for that literal. The
        values of a ``$$$NAME`` hole are joined like this: where the hole
        stands for statements, by a line break (by a space if other code
        shares its line); elsewhere (arguments, parameters, elements) by a
        comma and a line break, or a comma and a space if other code shares
        its line. An empty sequence takes with it the separator that joined
        its hole to a sibling (``f($$$A, x)`` with no values is ``f(x)``).
        Siblings bound by a pattern match are spliced as they stood
        in the source, with what lay between them; a separator that followed
        the last of them (``f(x,)``) comes along only where the hole ends a
        list of the kind they came from.

        Every later line of a value gets the indentation of the hole's line
        (through a pushed prefix); the text inside its literals never moves.
        Each filled hole is an ``Unquote`` node in the result (its index the
        hole's number in order of appearance, its language ``"python"``, its
        range the hole's bytes in the template).

        Raises ``TypeError`` for a hole without a value, a value for a hole
        that does not exist, and a value that cannot be lifted or does not fit
        its hole (a term inside a string literal, a non-name where a name
        goes); ``ValueError`` for a value out of the language's range and for
        a term that pops or leaves pushed an indentation prefix.

        >>> print(template("javascript", "f($$$ARGS)").fill(ARGS=[1, "a\\"b"]))
        f(1, "a\\"b")
        """
        if values.keys() != self._names:
            _check_names(self, values)
        return self._fill(values)


def _is_hole(sk: Skeleton, index: int) -> bool:
    from kovel._quasi_parse import SHole, SNode

    stack: list[SNode | SHole | str] = [sk.root]
    while stack:
        n = stack.pop()
        if isinstance(n, SHole):
            if n.meta.index == index:
                return True
        elif isinstance(n, SNode) and not n.leaf:
            stack.extend(n.items)
    return False


def _anonymous(text: str) -> Callable[[Mapping[str, Any]], KTerm]:
    def fail(values: Mapping[str, Any]) -> KTerm:
        raise TypeError(f"the template hole {text} has no name, so it cannot be filled")

    return fail


def _check_names(t: Template, values: Mapping[str, object]) -> None:
    """Raise the TypeError that says which hole lacks a value, or which value has no hole."""
    missing = [n for n in t.holes if n not in values]
    if missing:
        raise TypeError(
            f"template hole {t._texts[missing[0]]} has no value (holes: {', '.join(t.holes) or 'none'})"
        )
    unknown = sorted(set(values) - t._names)
    raise TypeError(f"template has no hole named {unknown[0]!r} (holes: {', '.join(t.holes) or 'none'})")


@lru_cache(maxsize=1024)
def _cached_template(lang: str, code: str) -> Template:
    return Template(parse_quasi(lang, code, literal_holes=True))


def template(lang: str, code: str) -> Template:
    """Parse ``code`` in language ``lang`` once and return a ``Template``.

    ``code`` may be a whole file, a statement, a block body or an
    expression; it is parsed in the first context of its language that
    accepts it. Templates are cached by ``(lang, code)``. Raises
    ``SyntaxError`` naming the line and column when the code does not parse.

    >>> template("python", "x = $V").fill(V=1).coparse()
    'x = 1'
    """
    if not isinstance(lang, str) or not isinstance(code, str):
        raise TypeError("template(lang, code) takes two str")
    return _cached_template(lang, code)


def register_lifter(lang: str, fn: Callable[[object], KTerm]) -> None:
    """Make ``fn`` the lifter of ``lang``: it turns an ``int`` or ``str`` into a term.

    Templates of ``lang`` call it for every value that is not a ``KTerm``; it
    should raise ``TypeError`` for a value it cannot lift.

    >>> from kovel import klift_html
    >>> register_lifter("html", klift_html)  # the built-in HTML lifter, set again
    """
    if not callable(fn):
        raise TypeError("register_lifter(lang, fn): fn must be callable")
    LIFTERS[lang] = fn


from kovel._batch import (  # noqa: E402
    apply_changes as apply_changes,
    find_files as find_files,
    rewrite_files as rewrite_files,
)
from kovel._quasi_match import Match, Pattern, pattern  # noqa: E402
