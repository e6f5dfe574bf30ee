"""The layout rules and the tree walk in Python: the reference the native
converter (``kovel._native.convert``, ``kovel/src/convert.cpp``) is checked
against byte for byte.  Slow and plain on purpose; rule numbers are those of
``kovel.treesitter.layout``'s docstring.
"""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from kovel._kovel import Builder, KTerm, leaf, tb
from kovel.treesitter.layout import Kinds

_BLANK = " \t\r\n\f\v"


def anchored(node: Any, body: bool, cut: Callable[[int, int], str]) -> bool:
    """Rule 5 for a node whose kind may be anchored; ``body``: its kind is heredoc-like,
    ``cut(start, end)``: the source text between two byte offsets.

    """
    if node.start_point[1] != 0:
        return False
    return body or anchored_text(cut(node.start_byte, node.end_byte))


def anchored_text(code: str) -> bool:
    last = code.rfind("\n")
    return last >= 0 and code[last + 1 : last + 2] not in ("", " ", "\t", "\r", "\f", "\v")


def leaf_term(kind: str, code: str, verbatim: bool) -> KTerm:
    """The term of a node without children (rule 4): a leaf, or for a line-end
    token its text written as lines.

    """
    if verbatim or "\n" not in code:
        return leaf(kind, code)
    cut = code.index("\n") + 1
    if code[cut:].strip(_BLANK):
        return leaf(kind, code)  # a token spanning lines
    b = tb(kind)
    _lines(b, code)
    return b.b()


def _lines(b: Builder, g: str) -> None:
    """Write ``g`` into builder ``b``, each line feed as an NL command."""
    _apply(b, gap_calls(g, False))


def _apply(b: Builder, calls: list[tuple[str, str]]) -> None:
    for op, text in calls:
        if op == "w":
            b.w(text)
        else:
            b.n()


def gap_calls(g: str, verbatim: bool, before_anchored: bool = False) -> list[tuple[str, str]]:
    """How the gap ``g`` of a node is written (rules 3 and 5): builder calls,
    ``("w", text)`` or ``("n", "")``; ``verbatim``: the node is verbatim,
    ``before_anchored``: the next child starts anchored.

    """
    if verbatim or "\n" not in g:
        return [("w", g)] if g else []
    tail: list[tuple[str, str]] = []
    if before_anchored and g.endswith("\n"):
        g, tail = g[:-1], [("w", "\n")]
    calls: list[tuple[str, str]] = []
    for i, part in enumerate(g.split("\n")):
        if i:
            calls.append(("n", ""))
        if part:
            calls.append(("w", part))
    return calls + tail


def write_gap(b: Builder, g: str, verbatim: bool, before_anchored: bool) -> bool:
    """Write the gap ``g`` into ``b`` (rules 2, 3 and 5); return whether it looks
    like token text, which makes its node verbatim.

    """
    _apply(b, gap_calls(g, verbatim, before_anchored))
    return not verbatim and "\n" in g and _token_text(g)


def _token_text(g: str) -> bool:
    """Rule 2: whether the gap ``g`` is hidden token text that spans lines."""
    # A backslash before a line feed continues the line: C and shell grammars
    # hide it among the blanks between tokens.
    g = g.replace("\\\r\n", "").replace("\\\n", "")
    return "\n" in g and bool(g.strip(_BLANK))


@dataclass
class _Frame:
    """A node with children being converted."""

    builder: Builder
    written: int  # the end of the text written so far
    start: int
    end: int
    verbatim: bool
    anchored: bool  # it starts anchored (rule 5)
    token_gap: bool = False  # a gap looked like token text (rule 2)


def reference_walk(
    cursor: Any,
    source: bytes,
    text: str | None,
    lo: int,
    hi: int,
    verbatim: frozenset[str],
    code: frozenset[str],
    inherited: bool = False,
) -> KTerm:
    """The walk of ``kovel._native.convert`` in Python: the reference the native
    walk is tested against byte for byte.  Iterative, with a tree cursor.

    The node under the cursor (a ``tree_sitter.TreeCursor``) when called
    becomes the root term, which covers the byte range [lo, hi] (at least the
    node's own range).  ``text`` is the decoded source if it is ASCII, else
    None (see ``_decode``).  ``inherited`` makes the root verbatim.

    """
    known = Kinds(verbatim, code)
    # For an ASCII source, byte offsets are character offsets: slice the text.
    ascii_text = text is not None

    def cut(a: int, b: int) -> str:
        return text[a:b] if text is not None else source[a:b].decode()

    node = cursor.node
    kind = node.type
    s = node.start_byte
    e = node.end_byte
    if not cursor.goto_first_child():
        # A root without children: a leaf, wrapped if text lies around it.
        term = leaf_term(kind, cut(s, e), inherited or known[kind][0])
        if lo >= s and hi <= e:
            return term
        b = tb(kind)
        write_gap(b, cut(lo, s), inherited, False)
        b.c(term)
        write_gap(b, cut(e, hi), inherited, False)
        return b.b()

    root_start = min(lo, s)
    literal, may_anchor, body = known[kind]
    is_anchored = may_anchor and anchored(node, body, cut)
    frames: list[_Frame] = [
        _Frame(tb(kind), root_start, root_start, max(hi, e), inherited or literal, is_anchored)
    ]
    push = frames.append
    pop = frames.pop
    first_child = cursor.goto_first_child
    next_sibling = cursor.goto_next_sibling
    parent = cursor.goto_parent

    while True:
        # The cursor is on a node that has not been visited yet.
        node = cursor.node
        kind = node.type
        s = node.start_byte
        e = node.end_byte
        literal, may_anchor, body = known[kind]
        is_anchored = may_anchor and anchored(node, body, cut)
        if first_child():
            push(_Frame(tb(kind), s, s, e, frames[-1].verbatim or literal, is_anchored))
            continue
        g = text[s:e] if ascii_text else source[s:e].decode()  # type: ignore[index]
        term = leaf_term(kind, g, frames[-1].verbatim or literal) if "\n" in g else leaf(kind, g)
        # Hand the finished term to its parent, finishing parents as we go up.
        while True:
            frame = frames[-1]
            b = frame.builder
            pos = frame.written
            if pos < s:
                g = text[pos:s] if ascii_text else source[pos:s].decode()  # type: ignore[index]
                if frame.verbatim or "\n" not in g:
                    b.w(g)
                elif write_gap(b, g, False, is_anchored):
                    frame.token_gap = True
            elif pos > s:
                raise ValueError(
                    f"a tree-sitter node starting at byte {s} overlaps its previous sibling, "
                    f"which ends at byte {pos}"
                )
            if is_anchored and s == frame.start:
                frame.anchored = True
            b.c(term)
            frame.written = e
            if next_sibling():
                break
            # Last child: finish the parent.
            pop()
            pos = frame.written
            s = frame.start
            e = frame.end
            if pos < e:
                if write_gap(b, cut(pos, e), frame.verbatim, False):
                    frame.token_gap = True
            elif pos > e:  # a child reaching past its parent's end
                e = pos
            is_anchored = frame.anchored
            parent()
            if frame.token_gap and not frame.verbatim:
                # Rule 2 found out late: convert this subtree again, all verbatim.
                term = reference_walk(cursor.node.walk(), source, text, s, e, verbatim, code, True)
            else:
                term = b.b()
            if not frames:
                return term
