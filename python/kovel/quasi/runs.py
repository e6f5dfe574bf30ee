"""Patterns of several statements: runs of consecutive siblings in any node.

A pattern such as ``foo();\\nbar();`` parses as a run of siblings of some
container (a module, a block).  It matches such a run wherever it stands:
the nodes whose first child matches the run's first item are found
natively, then each window of siblings from there is matched as a node of
the parent's kind holding just those siblings.  Rewrites rebuild the parent
with the run's siblings replaced by one new node.
"""

from __future__ import annotations

import bisect
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

from kovel import _native, tree as kt
from kovel._kovel import KTerm
from kovel.quasi.shape import is_token
from kovel.quasi.wire import PatternItem

__all__ = ["Run", "RunFinder", "splice_runs"]

Path = tuple[int, ...]
Raw = tuple[dict[str, Any], dict[str, int] | None]


@dataclass(frozen=True, slots=True)
class Run:
    """A match of a run pattern: ``count`` siblings of the node at ``parent``
    from child ``first`` on, the node ``term`` holding them, its ``span`` in
    ``str(root)`` and the matcher's bindings (``env``, ``offsets``)."""

    parent: Path
    first: int
    count: int
    term: KTerm
    span: tuple[int, int]
    env: dict[str, Any]
    offsets: dict[str, int] | None


def _skippable(k: KTerm, words: frozenset[str]) -> bool:
    """A child a pattern may pass over: a comment or a token (childless, its text
    its tag, not one of the language's named ``words``)."""
    return is_token(k, words)  # the matcher's own test


def _token_item(item: tuple[object, ...], words: frozenset[str]) -> bool:
    """Whether a compiled item is a leaf that a token of the code matches (its
    text its tag, not one of the language's named ``words``)."""
    return (
        item[0] in (PatternItem.LEAF, PatternItem.OPTIONAL, PatternItem.TOKEN)
        and item[1] == item[2]
        and item[1] not in words
    )


def _before(parent: KTerm, first: int) -> int:
    """The length of what ``parent`` renders before its child ``first``."""
    kids = _native.children(parent)
    cmds: list[tuple[str, str]] = []
    hole = 0
    for op, arg in _native.commands(parent):
        if op == "hole":
            if hole == first:
                break
            hole += 1
        cmds.append((op, arg))
    return len(str(kt.node(_native.tag(parent), kids[:first], cmds)))


class _Layout(NamedTuple):
    """A parent's children, commands, and where in the commands each child's hole is."""

    kids: tuple[KTerm, ...]
    cmds: tuple[tuple[str, str], ...]
    holes: list[int]


def _layout(parent: KTerm) -> _Layout:
    cmds = tuple(_native.commands(parent))
    return _Layout(_native.children(parent), cmds, [k for k, (op, _) in enumerate(cmds) if op == "hole"])


def window(parent: KTerm, first: int, stop: int, layout: _Layout | None = None) -> KTerm:
    """A node of ``parent``'s tag holding its children [first, stop) with the
    commands between them: what the run renders as where it stands.
    ``layout`` is ``parent``'s, when known (a parent of many runs is read once).

    >>> from kovel.treesitter import parse
    >>> str(window(parse("python", "a = 1\\nb = 2\\nc = 3\\n"), 1, 3))
    'b = 2\\nc = 3'
    """
    lay = layout if layout is not None else _layout(parent)
    stop = min(stop, len(lay.holes))
    cmds = lay.cmds[lay.holes[first] : lay.holes[stop - 1] + 1] if first < stop else ()
    return kt.node(_native.tag(parent), lay.kids[first:stop], cmds)


class RunFinder:
    """Finds the runs of siblings a run pattern matches.

    ``items`` is the compiled form of each item of the run (as
    ``compile_pattern`` takes them), ``seq`` whether one of them is a
    ``$$$`` run (then a window may hold any number of siblings).  With
    ``whole``, a run is all the children of a node of that kind (tokens aside).

    >>> from kovel.quasi.fill import Siblings
    >>> from kovel.treesitter import parse
    >>> f = RunFinder(((0, "A"), (0, "B")), False, Siblings)
    >>> [str(r.term) for r in f.find(parse("python", "x = 1\\ny = 2\\n"), True)]
    ['x = 1\\ny = 2']
    """

    __slots__ = (
        "_anchor",
        "_first",
        "_items",
        "_named",
        "_programs",
        "_seq",
        "_siblings",
        "_tail_seq",
        "_token_anchor",
        "_trailing",
        "_whole",
        "_words",
    )

    def __init__(
        self,
        items: tuple[tuple[object, ...], ...],
        seq: bool,
        siblings: Callable[..., object],
        words: frozenset[str] = frozenset(),
        *,
        whole: str | None = None,
    ) -> None:
        self._items = items
        self._whole = whole
        self._seq = seq
        self._siblings = siblings
        # The runs are looked for from their first item that is no `$$$` (nor a `;`
        # that may be a line's end): a `$$$` may be empty and stands anywhere.
        self._anchor = next(
            (k for k, i in enumerate(items) if i[0] not in (PatternItem.RUN, PatternItem.OPTIONAL)), 0
        )
        self._tail_seq = any(i[0] == PatternItem.RUN for i in items[self._anchor :])
        self._words = words
        self._named = tuple(sorted(words))
        self._first: object = _native.compile_pattern(items[self._anchor], siblings, self._named)
        # A run may begin with a token the pattern names (`template <$$$A>`).
        self._token_anchor = _token_item(items[self._anchor], words)
        # How many tokens the run ends with (`;`): no item counted stands for them.
        self._trailing = 0
        while self._trailing < len(items) and _token_item(items[-1 - self._trailing], words):
            self._trailing += 1
        self._programs: dict[str, object] = {}

    def _program(self, tag: str) -> object:
        prog = self._programs.get(tag)
        if prog is None:
            prog = self._programs[tag] = _native.compile_pattern(
                (PatternItem.NODE, tag, self._items), self._siblings, self._named
            )
        return prog

    def _at(self, parent: KTerm, lay: _Layout, at: int, low: int) -> tuple[int, int, KTerm, Raw] | None:
        """The run matched with its anchor item at child ``at`` of ``parent`` (whose
        layout is ``lay``), starting at ``low`` or later: its start, end, node and bindings."""
        kids = lay.kids
        if self._whole is not None and _native.tag(parent) != self._whole:
            return None
        prog = self._program(_native.tag(parent))
        if self._anchor:
            # `$$$` before the anchor: the earliest start first, as a run takes the most.
            starts = [k for k in range(low, at) if not _skippable(kids[k], self._words)] + [at]
        else:
            starts = [at]
        if self._tail_seq:
            # Longest first, but not over the parent's closing tokens.
            end = len(kids)
            while end > at + 1 and _skippable(kids[end - 1], self._words):
                end -= 1
            stops = list(range(end, at, -1))
        else:
            # the tokens the pattern names (`template <$$$A>`) are passed over in counting
            need = sum(1 for i in self._items[self._anchor :] if not _token_item(i, self._words))
            stop, seen = at, 0
            while stop < len(kids) and seen < need:
                # The anchor is a token when the pattern's first item is one,
                # however it is spelled (`# include`).
                seen += not (_skippable(kids[stop], self._words) or (stop == at and self._token_anchor))
                stop += 1
            if seen < need:
                return None
            # The tokens the pattern ends with (`;`) stand after the last item counted.
            stops = sorted({min(stop + j, len(kids)) for j in range(self._trailing + 1)}, reverse=True)
        for first in starts:
            for stop in stops:
                if self._whole is not None and not all(
                    _skippable(k, self._words) for k in (*kids[:first], *kids[stop:])
                ):
                    continue
                term = window(parent, first, stop, lay)
                for where, _node, _s, _e, env, offsets in _native.match_all(prog, term, True):
                    if not where:
                        return first, stop, term, (env, offsets)
                    break
        return None

    def find(self, t: KTerm, outermost: bool) -> Iterator[Run]:
        """The runs in ``t``, in document order; with ``outermost``, none inside another."""
        parents: dict[Path, tuple[KTerm, _Layout]] = {}
        kids: dict[Path, tuple[KTerm, ...]] = {}
        taken: dict[Path, int] = {}  # per parent, where the last run found ends
        done: dict[Path, tuple[list[int], list[int]]] = {}  # per parent, the runs found: starts, stops
        for where, node, _start, _end, _env, _offsets in _native.match_all(self._first, t, False):
            path = tuple(where)
            if not path or (_skippable(node, self._words) and not self._token_anchor):
                continue
            up, at = path[:-1], path[-1]
            if at < taken.get(up, 0):
                continue
            if outermost and _inside(done, path):
                continue
            known = parents.get(up)
            if known is None:
                node = _node_at(t, up, kids)
                known = parents[up] = (node, _layout(node))
            parent, lay = known
            got = self._at(parent, lay, at, taken.get(up, 0))
            if got is None:
                continue
            first, stop, term, (env, offsets) = got
            taken[up] = stop
            starts, stops = done.setdefault(up, ([], []))
            starts.append(first)  # in order: a parent's runs are found left to right
            stops.append(stop)
            start = _start - _before(parent, at) + _before(parent, first) if first != at else _start
            # `offsets` count in the window's text, which starts where the run does.
            if offsets is not None:
                offsets = {k: v + start for k, v in offsets.items()}
            yield Run(up, first, stop - first, term, (start, start + len(str(term))), env, offsets)


def _node_at(t: KTerm, path: Path, kids: dict[Path, tuple[KTerm, ...]]) -> KTerm:
    """The node at ``path`` in ``t``; ``kids`` keeps the children of the nodes passed
    (a parent of thousands of children is not listed again for each)."""
    node = t
    for k, i in enumerate(path):
        here = kids.get(path[:k])
        if here is None:
            here = kids[path[:k]] = _native.children(node)
        node = here[i]
    return node


def _inside(done: dict[Path, tuple[list[int], list[int]]], path: Path) -> bool:
    """Whether the node at ``path`` lies inside one of the runs ``done`` (by parent: starts, stops)."""
    for k in range(len(path)):
        runs = done.get(path[:k])
        if runs is not None:
            i = bisect.bisect_right(runs[0], path[k]) - 1
            if i >= 0 and path[k] < runs[1][i]:
                return True
    return False


def splice_runs(
    t: KTerm, runs: list[tuple[Run, KTerm]], placed: list[tuple[int, ...]] | None = None
) -> tuple[list[Sequence[int]], list[KTerm], list[tuple[int, int]]]:
    """Each run's parent rebuilt with its siblings replaced by the new node:
    the paths, new parents and the spans of the old parents in ``str(t)``,
    as ``replace_all`` and the batch layer take them.
    The runs are outermost, so none lies inside another; a parent below
    another changed parent is rebuilt into it.  ``placed``, when given, gets
    the path of each new node in the rewritten term.

    >>> from kovel import leaf
    >>> from kovel.treesitter import parse
    >>> src = parse("python", "a = 1\\nb = 2\\nc = 3\\n")
    >>> f = RunFinder(((0, "A"), (0, "B")), False, lambda *a: a)
    >>> r = next(f.find(src, True))
    >>> paths, news, spans = splice_runs(src, [(r, leaf("x", "pass"))])
    >>> str(_native.replace_all(src, paths, news))
    'pass\\nc = 3\\n'
    """
    groups: dict[Path, list[tuple[Run, KTerm]]] = {}
    for run, new in runs:
        groups.setdefault(run.parent, []).append((run, new))
    built: dict[Path, tuple[KTerm, tuple[int, int]]] = {}
    made: dict[Path, list[tuple[int, ...]]] = {}  # where the new nodes lie in each built parent
    under: dict[Path, list[Path]] = {}  # the built parents below each path
    kids_of: dict[Path, tuple[KTerm, ...]] = {}
    for up in sorted(groups, key=len, reverse=True):
        parent = _node_at(t, up, kids_of)
        length = len(str(parent))
        # Parents changed below this one go into it first.
        inner: list[tuple[int, ...]] = []  # their new nodes, by the child indices before the cut
        for below in [p for p in under.pop(up, []) if p in built]:
            parent = _native.replace(parent, below[len(up) :], built.pop(below)[0])
            inner += [tuple(below[len(up) :]) + q for q in made.pop(below)]
        kids = list(_native.children(parent))
        spans = [r.span for r, _ in groups[up]]
        cut = {r.first: r for r, _ in groups[up]}
        news = {r.first: n for r, n in groups[up]}
        out_kids: list[KTerm] = []
        cmds: list[tuple[str, str]] = []
        hole = 0
        skip_to = -1  # inside a run: children and the commands between them go
        here: list[tuple[int, ...]] = []
        moved: dict[int, int] = {}  # a kept child's index before the cut, and after
        for op, arg in _native.commands(parent):
            if op == "hole":
                if hole in cut:
                    here.append((len(out_kids),))
                    out_kids.append(news[hole])
                    cmds.append((op, arg))
                    skip_to = hole + cut[hole].count
                elif hole >= skip_to and hole < len(kids):
                    moved[hole] = len(out_kids)
                    out_kids.append(kids[hole])
                    cmds.append((op, arg))
                hole += 1
            elif hole >= skip_to:
                cmds.append((op, arg))
        new_parent = kt.node(_native.tag(parent), out_kids, cmds)
        first = min(cut)
        start = spans[0][0] - _before(parent, first)
        built[up] = (new_parent, (start, start + length))
        made[up] = here + [(moved[q[0]], *q[1:]) for q in inner if q[0] in moved]
        for k in range(len(up)):
            under.setdefault(up[:k], []).append(up)
    paths = sorted(built)
    if placed is not None:
        placed += [tuple(p) + q for p in paths for q in made[p]]
    return list[Sequence[int]](paths), [built[p][0] for p in paths], [built[p][1] for p in paths]
