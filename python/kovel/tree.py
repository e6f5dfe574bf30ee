"""Terms you can read, walk and rewrite.

Plain functions over immutable terms, in the manner of ``ast``: read a node's
parts, make a node from parts, walk a term in document order, and rebuild it
persistently (the input never changes; everything off the changed paths is
shared with it).  The work is native (``kovel._native``); reading a node costs
at most the size of that node, and every walk is iterative, so terms nested a
million deep are fine.

>>> from kovel import leaf, tb
>>> from kovel.tree import commands, replace, tag, walk
>>> call = tb("call").c(leaf("identifier", "f")).w("(").c(leaf("integer", "1")).w(")").b()
>>> [(path, tag(t)) for path, t in walk(call)]
[((), 'call'), ((0,), 'identifier'), ((1,), 'integer')]
>>> commands(call)
(('hole', ''), ('write', '('), ('hole', ''), ('write', ')'))
>>> str(replace(call, (0,), leaf("identifier", "g")))
'g(1)'
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Literal, TypeAlias, overload

from kovel import _native
from kovel._kovel import KTerm

# The readers are the native functions themselves (they are called once per
# node in walks and callbacks); their docstrings live in kovel_python/native.
from kovel._native import at, children, commands, equal, index, kind, lang, rendered_length, same, tag

__all__ = [
    "Kind",
    "Op",
    "Path",
    "at",
    "children",
    "commands",
    "equal",
    "find_all",
    "index",
    "kind",
    "lang",
    "node",
    "rendered_length",
    "replace",
    "rewrite",
    "same",
    "tag",
    "walk",
]

#: A node's variant.  (Spelled as a union of literals, which stubtest can
#: compare with the runtime object.)
Kind: TypeAlias = Literal["tuple"] | Literal["quote"] | Literal["unquote"]
#: A command's operation; ``write`` and ``push`` carry a text, the others ``""``.
Op: TypeAlias = Literal["write"] | Literal["nl"] | Literal["push"] | Literal["pop"] | Literal["hole"]
#: Child positions from the root: ``()`` is the root, ``(0, 2)`` the third child of its first child.
#: Walks and matches hand out ``kovel._native.Path`` objects, which share their
#: parent's path and read like tuples (equal to the tuple of their positions, with
#: its hash); every function taking a path takes any sequence of ints.
Path: TypeAlias = Sequence[int]

# A path reads like a tuple, so it is a sequence for isinstance too.
Sequence.register(_native.Path)


def node(
    tag: str,
    children: Iterable[KTerm],
    commands: Iterable[tuple[str, str]],
    *,
    kind: Kind = "tuple",
    index: int | None = 0,
    lang: str | None = "",
    at: tuple[int, int] | None = None,
) -> KTerm:
    """Make a node from its parts, in the form the readers return them.

    ``commands`` are ``(op, text)`` pairs as ``commands()`` returns them.  A
    tuple needs one ``"hole"`` per child and has no ``index``, ``lang`` or
    ``at``; a quote or unquote takes exactly one child, which each of its
    holes renders.  ``index`` and ``lang`` may be ``None`` (what the readers
    return for a tuple), meaning 0 and ``""``.  Raises ``ValueError`` for a
    count that does not match (naming both counts), an unknown op, or a text
    on an op that has none; ``TypeError`` for a child that is not a ``KTerm``.

    >>> from kovel import leaf
    >>> x = leaf("identifier", "x")
    >>> str(node("call", [x, x], [("hole", ""), ("write", "("), ("hole", ""), ("write", ")")]))
    'x(x)'
    >>> parts = dict(kind=kind(x), index=index(x), lang=lang(x), at=at(x))
    >>> equal(node(tag(x), children(x), commands(x), **parts), x)
    True
    """
    return _native.node(tag, children, commands, kind, 0 if index is None else index, lang or "", at)


@overload
def walk(t: KTerm, *, spans: Literal[False] = False) -> Iterator[tuple[Path, KTerm]]: ...
@overload
def walk(t: KTerm, *, spans: Literal[True]) -> Iterator[tuple[Path, KTerm, int, int]]: ...
@overload
def walk(
    t: KTerm, *, spans: bool
) -> Iterator[tuple[Path, KTerm]] | Iterator[tuple[Path, KTerm, int, int]]: ...
def walk(
    t: KTerm, *, spans: bool = False
) -> Iterator[tuple[Path, KTerm]] | Iterator[tuple[Path, KTerm, int, int]]:
    """Iterate over ``(path, term)`` for every node of ``t``, in document order (pre-order).

    ``path`` holds the child positions from the root (``()`` for ``t``
    itself).  A node shared by several parents comes once per path, as it
    renders.  With ``spans=True`` each item is ``(path, term, start, end)``:
    the node's text is ``str(t)[start:end]``, in code points, prefixes pushed
    by ancestors included.  The spans come from rendering ``t`` once, when
    ``walk`` is called (raising what ``str(t)`` raises if ``t`` cannot be
    rendered); a quote's term rendered at several holes has the span of the
    first, and a child that is never rendered has an empty span where its
    parent's text ends.  A path shares its parent's (see ``Path``), so a whole
    walk takes time linear in the number of nodes, however deep.

    >>> from kovel import leaf, tb
    >>> t = tb("call").c(leaf("identifier", "f")).w("(").c(leaf("integer", "1")).w(")").b()
    >>> [(path, str(n)) for path, n in walk(t)]
    [((), 'f(1)'), ((0,), 'f'), ((1,), '1')]
    >>> [(path, start, end) for path, _, start, end in walk(t, spans=True)]
    [((), 0, 4), ((0,), 0, 1), ((1,), 2, 3)]
    """
    return _native.walk(t, spans)


@overload
def find_all(
    t: KTerm, tags: str | Iterable[str], *, spans: Literal[False] = False
) -> Iterator[tuple[Path, KTerm]]: ...
@overload
def find_all(
    t: KTerm, tags: str | Iterable[str], *, spans: Literal[True]
) -> Iterator[tuple[Path, KTerm, int, int]]: ...
@overload
def find_all(
    t: KTerm, tags: str | Iterable[str], *, spans: bool
) -> Iterator[tuple[Path, KTerm]] | Iterator[tuple[Path, KTerm, int, int]]: ...
def find_all(
    t: KTerm, tags: str | Iterable[str], *, spans: bool = False
) -> Iterator[tuple[Path, KTerm]] | Iterator[tuple[Path, KTerm, int, int]]:
    """Iterate over the items of ``walk(t, spans=spans)`` whose node's tag is ``tags`` or in ``tags``.

    The filtering is native: no Python object is made for a node that does
    not match.

    >>> from kovel import leaf, tb
    >>> t = tb("call").c(leaf("identifier", "f")).w("(").c(leaf("identifier", "x")).w(")").b()
    >>> [(path, str(n)) for path, n in find_all(t, "identifier")]
    [((0,), 'f'), ((1,), 'x')]
    """
    return _native.find_all(t, (tags,) if isinstance(tags, str) else tags, spans)


def replace(t: KTerm, path: Iterable[int], new: KTerm) -> KTerm:
    """Return ``t`` with the node at ``path`` replaced by ``new``.

    Only the ancestors on ``path`` are new nodes; every other node is shared
    with ``t`` (``same``), and ``t`` itself is unchanged.  Raises
    ``IndexError`` if ``path`` leads to no node.

    >>> from kovel import leaf, tb
    >>> t = tb("pair").c(leaf("a", "a")).w(" ").c(leaf("b", "b")).b()
    >>> u = replace(t, (1,), leaf("c", "c"))
    >>> str(t), str(u), same(children(t)[0], children(u)[0])
    ('a b', 'a c', True)
    """
    return _native.replace(t, path, new)


def rewrite(t: KTerm, fn: Callable[[KTerm], KTerm | None]) -> KTerm:
    """Rebuild ``t`` bottom-up: ``fn`` is called on every node, children first.

    ``fn`` gets each node (rebuilt over its children's replacements) and
    returns its replacement, or ``None`` to keep it.  Only the ancestors of
    replaced nodes are new; if ``fn`` replaces nothing, the result is ``t``
    itself (``same``).  An exception raised by ``fn`` propagates; ``fn``
    returning anything but a ``KTerm`` or ``None`` raises ``TypeError``.

    >>> from kovel import leaf, tb
    >>> t = tb("sum").c(leaf("identifier", "x")).w(" + ").c(leaf("identifier", "y")).b()
    >>> def rename(n: KTerm) -> KTerm | None:
    ...     return leaf("identifier", "z") if str(n) == "x" else None
    >>> str(rewrite(t, rename)), same(rewrite(t, lambda n: None), t)
    ('z + y', True)
    """
    return _native.rewrite(t, fn)
