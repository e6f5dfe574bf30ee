"""Filling templates: a skeleton compiled into a native program that builds the term.

Every subtree without a hole is built once, when the template is compiled,
and shared by all the terms the template makes; only the nodes on the way
from the root to a hole are built per fill, in one native call
(``kovel_python/native/fill.cpp``) that replays their builder calls.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Any

from kovel import _native
from kovel._kovel import Builder, KTerm, leaf, tb
from kovel._quasi_lift import LIFTERS
from kovel._quasi_parse import SHole, Skeleton, SNode

__all__ = ["Siblings", "build_constant", "compile_filler"]


class Siblings(list[KTerm]):
    """The siblings a ``$$$`` metavariable matched, in order.

    The list holds the matched nodes (separator tokens such as ``,`` left
    out); ``raw`` is the whole run as it stood in the source, separators and
    layout included, which is what a template splices for it.
    """

    __slots__ = ("_items", "raw")

    def __init__(self, items: Iterable[KTerm], raw: KTerm | None) -> None:
        super().__init__(items)
        self.raw = raw
        self._items = tuple(self)

    def unchanged(self) -> bool:
        """True while the list still holds exactly what the match put in it."""
        return len(self) == len(self._items) and all(a is b for a, b in zip(self, self._items, strict=True))


def _has_hole(n: SNode | SHole | str) -> bool:
    if isinstance(n, SHole):
        return True
    if isinstance(n, str) or n.leaf:
        return False
    return any(_has_hole(i) for i in n.items)


def _gap_calls(gap: str, verbatim: bool) -> list[tuple[str, str]]:
    """Builder calls for a gap text: a line feed outside literals is an NL."""
    if verbatim or "\n" not in gap:
        return [("w", gap)] if gap else []
    calls: list[tuple[str, str]] = []
    for i, part in enumerate(gap.split("\n")):
        if i:
            calls.append(("n", ""))
        if part:
            calls.append(("w", part))
    return calls


def build_constant(n: SNode) -> KTerm:
    """The term of a subtree without holes, laid out as kovel.treesitter does."""
    if n.leaf:
        return leaf(n.kind, n.items[0] if n.items else "")  # type: ignore[arg-type]
    b: Builder = tb(n.kind)
    for item in n.items:
        if isinstance(item, str):
            for op, arg in _gap_calls(item, n.verbatim):
                if op == "w":
                    b.w(arg)
                else:
                    b.n()
        else:
            assert isinstance(item, SNode)
            b.c(build_constant(item))
    return b.b()


class _Compiler:
    """Flattens a skeleton into the builder calls of ``_native.compile_template``.

    A subtree without a hole becomes a constant term; a node above a hole
    becomes a frame: its tag and its calls (write, line break, child), where
    a child is a constant, a hole or an earlier frame.
    """

    def __init__(self) -> None:
        self.frames: list[tuple[str, tuple[tuple[int, object], ...]]] = []
        self.holes: list[SHole] = []

    def op(self, n: SNode | SHole) -> tuple[int, object]:
        if isinstance(n, SHole):
            self.holes.append(n)
            return (3, len(self.holes) - 1)
        if not _has_hole(n):
            return (2, build_constant(n))
        ops: list[tuple[int, object]] = []
        for item in n.items:
            if isinstance(item, str):
                ops.extend((0, arg) if op == "w" else (1, None) for op, arg in _gap_calls(item, n.verbatim))
            else:
                ops.append(self.op(item))
        self.frames.append((n.kind, tuple(ops)))
        return (4, len(self.frames) - 1)


def _lift(lang: str, hole: SHole, value: object) -> KTerm:
    if isinstance(value, KTerm):
        return value
    lifter = LIFTERS.get(lang)
    if lifter is None:
        raise TypeError(
            f"no lifter for {lang!r}: cannot splice a {type(value).__name__} value into {hole.meta.text}; "
            "pass a KTerm or add one with kovel.quasi.register_lifter"
        )
    try:
        return lifter(value)
    except TypeError as exc:
        raise TypeError(f"cannot splice into {hole.meta.text}: {exc}") from None


def _seq(lang: str, hole: SHole, values: object) -> KTerm | list[KTerm]:
    """The values of a ``$$$`` hole: the matched run as it stood, or the lifted terms to join."""
    if isinstance(values, Siblings) and values.raw is not None and values.unchanged():
        return values.raw
    if isinstance(values, str | bytes | KTerm) or not isinstance(values, Iterable):
        raise TypeError(f"{hole.meta.text} takes a sequence of values, not {type(values).__name__}")
    return [v if type(v) is KTerm else _lift(lang, hole, v) for v in values]


def compile_filler(sk: Skeleton) -> Callable[[Mapping[str, Any]], KTerm]:
    """A function from the values (keyed by metavariable name) to the filled term.

    The term is built by one native call; the generated function only picks
    each hole's value (lifting what is not a term) in the order of the holes.
    """
    comp = _Compiler()
    body = comp.op(sk.root)
    holes = tuple(
        (
            h.meta.text,
            h.meta.index,
            h.meta.at,
            h.meta.indent,
            h.meta.seq,
            h.statement,
            h.meta.own_line,
            h.parent_kind,
        )
        for h in comp.holes
    )
    program = _native.compile_template(sk.lang, sk.root.kind, body, tuple(comp.frames), holes)
    lines = ["def _fill(v):"]
    names = []
    for i, hole in enumerate(comp.holes):
        m = hole.meta
        if m.seq:
            lines.append(f"    _a{i} = _seq(_lang, _holes[{i}], v[{m.name!r}])")
        else:  # a term is spliced as it is, without a call
            lines.append(f"    _x = v[{m.name!r}]")
            lines.append(f"    _a{i} = _x if type(_x) is _KTerm else _lift(_lang, _holes[{i}], _x)")
        names.append(f"_a{i}")
    lines.append(f"    return _nfill(_program, ({''.join(n + ', ' for n in names)}))")
    namespace: dict[str, Any] = {
        "_holes": comp.holes,
        "_lang": sk.lang,
        "_lift": _lift,
        "_seq": _seq,
        "_nfill": _native.fill,
        "_program": program,
        "_KTerm": KTerm,
    }
    exec(compile("\n".join(lines), f"<template {sk.code[:40]!r}>", "exec"), namespace)
    fill: Callable[[Mapping[str, Any]], KTerm] = namespace["_fill"]
    return fill
