"""Rewrites as edits: a replacement template laid over the match it replaces.

Where a replacement template has the structure of the pattern (the same
node kinds, the same tokens, the same metavariables in the same places),
the matched source is kept as it stands, layout, comments and unmentioned
tokens included; only the parts of the template that differ are written,
filled from the match's bindings. So a rewrite whose template is its
pattern changes nothing, and ``print($$$A)`` → ``log($$$A)`` changes one
word of a call that spans ten lines.

The alignment needs the bindings as the matcher made them: a metavariable's
node, or a run's children, are the source's own nodes, found again here by
identity.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import replace
from typing import Any

from kovel import _native, tree as kt
from kovel._kovel import KTerm, tb
from kovel.quasi.fill import Siblings, compile_filler
from kovel.quasi.parse import SHole, Skeleton, SNode, runs_into
from kovel.quasi.shape import is_token, named_words

__all__ = ["Editor"]

Item = SNode | SHole


def _inner(t: KTerm) -> KTerm:
    while _native.kind(t) != "tuple":
        t = _native.children(t)[0]
    return t


def _items(n: SNode) -> list[Item]:
    return [i for i in n.items if not isinstance(i, str)]


def _line_indent(text: str, offset: int) -> str:
    start = text.rfind("\n", 0, offset) + 1
    line = text[start:offset]
    return line[: len(line) - len(line.lstrip(" \t"))]


def _line_start(text: str, offset: int) -> int:
    return text.rfind("\n", 0, offset) + 1


def _rebase(n: Item, base: str) -> Item:
    """A template subtree as if its first line were at column 0: ``base`` (the
    indentation of that line in the template) off its later lines and holes."""
    if isinstance(n, SHole):
        m = n.meta
        indent = m.indent[len(base) :] if m.indent.startswith(base) else m.indent
        return replace(n, meta=replace(m, indent=indent))
    if n.leaf:
        return n
    items: list[str | SNode | SHole] = []
    for i in n.items:
        if isinstance(i, str):
            items.append(i if n.verbatim else i.replace("\n" + base, "\n"))
        else:
            items.append(_rebase(i, base))
    return replace(n, items=items)


class Editor:
    """Lays the template ``template`` over matches of a pattern whose skeleton is ``pattern``.

    >>> from kovel.quasi.fill import template
    >>> from kovel.quasi.match import pattern, source_bindings
    >>> from kovel.quasi.parse import parse_quasi
    >>> from kovel.treesitter import parse
    >>> src = parse("python", "print( 1,  2 )\\n")
    >>> m = next(pattern("python", "print($$$A)").find_all(src))
    >>> editor = Editor(parse_quasi("python", "print($$$A)").root, template("python", "log($$$A)").skeleton)
    >>> str(editor.apply(m.term, source_bindings(m), m.bindings, str(src), m.span[0]))
    'log( 1,  2 )'
    """

    def __init__(self, pattern: Item, template: Skeleton) -> None:
        self._p = pattern
        self._sk = template
        self._words = named_words(template.lang)
        self._fillers: dict[int, Callable[[Mapping[str, Any]], KTerm]] = {}
        self._keep: tuple[Item, ...] = ()  # subtrees referenced by _fillers' keys
        #: Whether the filled template parenthesises a value, by the values' shapes
        #: (kept here for the matcher: one editor serves every file of a run).
        self.wraps: dict[tuple[object, ...], bool] = {}

    def apply(
        self,
        matched: KTerm,
        found: Mapping[str, Any],
        values: Mapping[str, Any],
        text: str,
        start: int,
    ) -> KTerm | None:
        """The replacement of ``matched`` (at ``start`` in ``text``), or None
        when the template does not have the pattern's shape at its root.

        ``found`` holds the bindings as the matcher made them, ``values`` as
        the template is filled with them.
        """
        q = self._sk.root
        if not isinstance(self._p, SNode) or not isinstance(q, SNode) or _native.kind(matched) != "tuple":
            return None
        # Offsets below are counted from the match's own commands, which is
        # right only where no prefix pushed around the match adds to its lines.
        own = str(matched)
        if text[start : start + len(own)] != own:
            return None
        return _Edit(self, found, values, text).node(self._p, q, matched, start)

    def filled(self, q: Item, values: Mapping[str, Any], base: str) -> KTerm:
        """The template subtree ``q`` filled, laid out from column 0 of its first line."""
        key = id(q)
        fill = self._fillers.get(key)
        if fill is None:
            sub = Skeleton(self._sk.lang, self._sk.code, _rebase(q, base), self._sk.metas)
            fill = compile_filler(sub)
            self._fillers[key] = fill
            self._keep += (q,)
        return fill(values)


class _Edit:
    def __init__(self, ed: Editor, found: Mapping[str, Any], values: Mapping[str, Any], text: str) -> None:
        self.ed = ed
        self.found = found
        self.values = values
        self.text = text

    def node(self, p: SNode, q: SNode, t: KTerm, at: int) -> KTerm | None:
        """``t`` (matched by ``p``, at ``at`` in the text) edited into ``q``, or None."""
        if p.kind != q.kind or p.leaf or q.leaf or _native.tag(t) != p.kind:
            return None
        ps, qs = _items(p), _items(q)
        if len(ps) != len(qs):
            return None
        kids = _native.children(t)
        offsets = _child_offsets(t, at)
        if offsets is None:
            return None
        changes: list[tuple[int, int, KTerm]] = []
        gaps = _gaps(q)
        own_line = ["\n" in g for g in gaps]  # lines that start a line in the template
        # blanks on one line between parts (not before the first)
        spaced = [k > 0 and bool(g) and not g.strip() and "\n" not in g for k, g in enumerate(gaps)]
        j = 0
        for n, (x, y) in enumerate(zip(ps, qs, strict=True)):
            span = self.locate(x, kids, j)
            if span is None:
                return None
            a, b = span
            if not _same_item(x, y):
                new = None
                if isinstance(x, SNode) and isinstance(y, SNode) and b == a + 1:
                    kid = kids[a]
                    if _native.kind(kid) == "tuple":
                        new = self.node(x, y, kid, offsets[a])
                    if new is not None and _native.same(new, kid):
                        j = b
                        continue
                if new is None:
                    new = self.fill(y, offsets[a] if a < len(kids) else offsets[-1])
                    # Written where the match's layout had other tokens around it,
                    # it must not run into them (`if c` then `then x`): else the
                    # whole template is written, laid out as it is.
                    before = self.text[offsets[a] - 1 : offsets[a]] if offsets[a] else ""
                    if runs_into(before, str(new), self.text[offsets[b] : offsets[b] + 1], self.ed._sk.lang):
                        return None
                    # The match's layout after the replaced children was laid out for
                    # their last line break (Go's statement list ends with one; the
                    # template's line break before `}` is the block's): it fits
                    # another text only where that ends alike.
                    if b > a and str(kids[b - 1]).endswith("\n") != str(new).endswith("\n"):
                        return None
                    # Arguments the template writes apart from what they follow, where the
                    # match had none, stay apart: Ruby's `bar -x` calls `bar`, `bar-x` subtracts.
                    if (
                        spaced[n]
                        and self.ed._sk.lang in _APART_ARGUMENTS
                        and _native.tag(new) == _APART_ARGUMENTS[self.ed._sk.lang]
                        and 0 < a < len(kids)
                        and offsets[a] == _end_of(kids, offsets, a - 1)
                    ):
                        new = tb(_native.tag(new)).w(" ").c(new).b()
                # Lines that start a line in the template must start one here
                # (a block body written after `def f(): `).
                if (
                    own_line[n]
                    and "\n" in str(new)
                    and self.text[_line_start(self.text, offsets[a]) : offsets[a]].strip()
                ):
                    return None
                changes.append((a, b, new))
            j = b
        return _rebuilt(t, kids, changes) if changes else t

    def fill(self, q: Item, at: int) -> KTerm:
        """The template subtree ``q``, filled, to stand at ``at`` in the text."""
        base = self._template_indent(q)
        new = self.ed.filled(q, self.values, base)
        indent = _line_indent(self.text, at)
        if indent and "\n" in str(new):
            new = tb(_native.tag(new)).p(indent).c(new).x().b()
        return new

    def _template_indent(self, q: Item) -> str:
        if isinstance(q, SHole):
            return q.meta.indent
        code = self.ed._sk.code
        return _line_indent(code, len(code.encode()[: q.at].decode(errors="ignore")))

    def locate(self, x: Item, kids: tuple[KTerm, ...], j: int) -> tuple[int, int] | None:
        """The children of the matched node that pattern item ``x`` matched, from ``j``."""
        if isinstance(x, SHole):
            if x.meta.name is None:
                if x.meta.seq:
                    return None
                k = j
                while k < len(kids) and is_token(kids[k], self.ed._words):
                    k += 1
                return (k, k + 1) if k < len(kids) else None
            v = self.found.get(x.meta.name)
            if x.meta.seq:
                if not isinstance(v, Siblings) or v.raw is None:
                    return None
                run = _native.children(v.raw)
                if not run:
                    return (j, j)
                for k in range(j, len(kids)):
                    if _native.same(kids[k], run[0]):
                        return (k, k + len(run))
                return None
            for k in range(j, len(kids)):
                if isinstance(v, KTerm) and _native.same(_inner(kids[k]), v):
                    return (k, k + 1)
                if not is_token(kids[k], self.ed._words):
                    return None
            return None
        for k in range(j, len(kids)):
            kid = _inner(kids[k])
            if _native.tag(kid) == x.kind and (not x.leaf or str(kid) == (x.items[0] if x.items else "")):
                return (k, k + 1)
            if not is_token(kids[k], self.ed._words):
                return None
        return None


def _gaps(q: SNode) -> list[str]:
    """For each child of ``q``, the text of the gap before it."""
    out: list[str] = []
    gap = ""
    for i in q.items:
        if isinstance(i, str):
            gap += i
        else:
            out.append(gap)
            gap = ""
    return out


#: Languages whose calls take arguments without parentheses, apart from the name
#: (`bar -x`, `bar [x]`), and the kind of those arguments.
_APART_ARGUMENTS = {"ruby": "argument_list"}


def _end_of(kids: tuple[KTerm, ...], offsets: list[int], k: int) -> int:
    """Where the child ``k`` (starting at ``offsets[k]``) ends in the text."""
    return offsets[k] + _native.rendered_length(kids[k])


def _same_item(x: Item, y: Item) -> bool:
    """Whether template item ``y`` writes what pattern item ``x`` matched, whatever it was."""
    if isinstance(x, SHole) or isinstance(y, SHole):
        return (
            isinstance(x, SHole)
            and isinstance(y, SHole)
            and x.meta.name is not None
            and x.meta.name == y.meta.name
            and x.meta.seq == y.meta.seq
        )
    if x.leaf or y.leaf:
        return x.leaf and y.leaf and x.kind == y.kind and x.items == y.items
    return False


def _child_offsets(t: KTerm, at: int) -> list[int] | None:
    """Where each child of ``t`` starts in the text, ``t`` starting at ``at``;
    one more entry, the end. None when ``t`` pushes prefixes itself."""
    out: list[int] = []
    pos = at
    kids = _native.children(t)
    for op, arg in _native.commands(t):
        if op == "write":
            pos += len(arg)
        elif op == "nl":
            pos += 1
        elif op == "hole":
            out.append(pos)
            pos += _native.rendered_length(kids[len(out) - 1])
        else:
            return None
    out.append(pos)
    return out


def _rebuilt(t: KTerm, kids: tuple[KTerm, ...], changes: list[tuple[int, int, KTerm]]) -> KTerm:
    """``t`` with the children ``[a, b)`` of each change replaced by its one new
    child, and the layout between the replaced children dropped."""
    new_kids: list[KTerm] = []
    cmds: list[tuple[str, str]] = []
    by_start = {a: (b, new) for a, b, new in changes}
    hole = 0  # holes seen so far
    lo, hi = 0, 0  # the children of the range being replaced after its first: (lo, hi)
    for op, arg in kt.commands(t):
        if op != "hole":
            if not lo < hole < hi:
                cmds.append((op, arg))
            continue
        if hole in by_start:
            b, new = by_start[hole]
            new_kids.append(new)
            cmds.append(("hole", ""))
            if b == hole:  # an empty range: the new child goes before this one
                new_kids.append(kids[hole])
                cmds.append(("hole", ""))
            lo, hi = hole, b
        elif not lo < hole < hi:
            new_kids.append(kids[hole])
            cmds.append(("hole", ""))
        hole += 1
    if len(kids) in by_start:  # an empty range at the end
        new_kids.append(by_start[len(kids)][1])
        cmds.append(("hole", ""))
    return kt.node(_native.tag(t), new_kids, cmds)
