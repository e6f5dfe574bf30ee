"""Filling templates: a skeleton compiled into a function that builds the term.

Every subtree without a hole is built once, when the template is compiled,
and shared by all the terms the template makes; only the nodes on the way
from the root to a hole are built per fill, by a function generated for the
template (straight-line builder calls, no interpretation per node).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Any, Literal

from kovel._kovel import Builder, KTerm, from_postcard_bytes, leaf, tb
from kovel._quasi_lift import LIFTERS
from kovel._quasi_parse import Meta, SHole, Skeleton, SNode

__all__ = ["Siblings", "compile_filler", "make_node"]

Commands = tuple[tuple[str, str], ...]


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


def _varint(n: int) -> bytes:
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def _text(s: str) -> bytes:
    raw = s.encode()
    return _varint(len(raw)) + raw


_OPS = {"write": b"\x00\x00", "nl": b"\x00\x01", "push": b"\x00\x02", "pop": b"\x00\x03", "hole": b"\x01"}


def _encoded_node(
    kind: Literal["quote", "unquote"],
    tag: str,
    inner: KTerm,
    commands: Commands,
    index: int,
    lang: str,
    at: tuple[int, int] | None,
) -> KTerm:
    # The `_kovel` constructors leave `at` absent; its postcard bytes carry it.
    cmds = b"".join(_OPS[op] + (_text(t) if op in ("write", "push") else b"") for op, t in commands)
    tail = b"\x00" if at is None else b"\x01" + _varint(at[0]) + _varint(at[1])
    return from_postcard_bytes(
        (b"\x00" if kind == "quote" else b"\x01")
        + _text(tag)
        + bytes([index])
        + _text(lang)
        + inner.postcard_bytes()
        + _varint(len(commands))
        + cmds
        + tail
    )


def make_node(
    kind: Literal["quote", "unquote"],
    tag: str,
    inner: KTerm,
    commands: Commands,
    index: int,
    lang: str,
    at: tuple[int, int] | None,
) -> KTerm:
    """A quote or unquote node around `inner` (kovel.tree's `node`, when it is there)."""
    try:
        from kovel.tree import node
    except ImportError:
        return _encoded_node(kind, tag, inner, commands, index, lang, at)
    return node(tag, (inner,), commands, kind=kind, index=index, lang=lang, at=at)


def _positional_node() -> Callable[..., KTerm]:
    """``node(tag, children, commands, kind, index, lang, at)``, called positionally."""
    try:
        from kovel._native import node
    except ImportError:

        def fallback(
            tag: str,
            children: tuple[KTerm],
            commands: Commands,
            kind: Literal["quote", "unquote"],
            index: int,
            lang: str,
            at: tuple[int, int] | None,
        ) -> KTerm:
            return _encoded_node(kind, tag, children[0], commands, index, lang, at)

        return fallback
    return node


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


class _Codegen:
    def __init__(self, sk: Skeleton) -> None:
        self.sk = sk
        self.consts: list[object] = []
        self.lines: list[str] = []
        self.holes: list[SHole] = []

    def const(self, value: object) -> str:
        self.consts.append(value)
        return f"_c[{len(self.consts) - 1}]"

    def expr(self, n: SNode | SHole) -> str:
        if isinstance(n, SHole):
            self.holes.append(n)
            return f"_h{n.meta.index}"
        if not _has_hole(n):
            return self.const(build_constant(n))
        parts = [f"_tb({n.kind!r})"]
        for item in n.items:
            if isinstance(item, str):
                for op, arg in _gap_calls(item, n.verbatim):
                    parts.append(f".w({arg!r})" if op == "w" else ".n()")
            else:
                parts.append(f".c({self.expr(item)})")
        parts.append(".b()")
        return "".join(parts)


def _hole_commands(meta: Meta) -> Commands:
    # A value's later lines get the indentation of the hole's line.
    if meta.indent:
        return (("push", meta.indent), ("hole", ""), ("pop", ""))
    return (("hole", ""),)


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


def _join(lang: str, hole: SHole, values: object) -> KTerm:
    if isinstance(values, Siblings) and values.raw is not None and values.unchanged():
        return values.raw
    if isinstance(values, str | bytes | KTerm) or not isinstance(values, Iterable):
        raise TypeError(f"{hole.meta.text} takes a sequence of values, not {type(values).__name__}")
    b = tb(hole.parent_kind)
    first = True
    for v in values:
        if not first:
            if hole.statement:
                b.n() if hole.meta.own_line else b.w(" ")
            else:
                b.w(",")
                b.n() if hole.meta.own_line else b.w(" ")
        first = False
        b.c(_lift(lang, hole, v))
    return b.b()


def compile_filler(sk: Skeleton) -> Callable[[Mapping[str, Any]], KTerm]:
    """A function from the values (keyed by metavariable name) to the filled term."""
    gen = _Codegen(sk)
    body = gen.expr(sk.root)
    root_kind = sk.root.kind
    lines = ["def _fill(v):"]
    lang = sk.lang
    for hole in gen.holes:
        m = hole.meta
        c_hole = gen.const(hole)
        lines.append(f"    _x = v[{m.name!r}]")
        if m.seq:
            value = f"_join({lang!r}, {c_hole}, _x)"
        else:  # a term is spliced as it is, without a call
            value = f"_x if type(_x) is _KTerm else _lift({lang!r}, {c_hole}, _x)"
        args = f"{m.text!r}, ({value},), {_hole_commands(m)!r}, 'unquote', {m.index}, 'python', {m.at!r}"
        lines.append(f"    _h{m.index} = _node({args})")
    lines.append(f"    return _node({root_kind!r}, ({body},), (('hole', ''),), 'quote', 0, {lang!r}, None)")
    namespace: dict[str, Any] = {
        "_c": gen.consts,
        "_tb": tb,
        "_lift": _lift,
        "_join": _join,
        "_node": _positional_node(),
        "_KTerm": KTerm,
    }
    exec(compile("\n".join(lines), f"<template {sk.code[:40]!r}>", "exec"), namespace)
    fill: Callable[[Mapping[str, Any]], KTerm] = namespace["_fill"]
    return fill
