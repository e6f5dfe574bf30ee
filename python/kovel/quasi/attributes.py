"""Attributes that stand before what they apply to, which a replacement must not strand.

Rust's outer attributes (`#[cfg(test)]`) and a TypeScript class member's
decorators (`@dec`) are siblings of the item or statement after them, not
its parents.  Deleting that item, or putting several in its place, leaves
the attribute on whatever follows, or on the first of them only: code
compiled out, or decorated, that was not before.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import byte_offsets, fix_misread, parsed_root, rewritten
from kovel.quasi.parse import MisreadError

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["attribute_misread", "attributes_stranded"]

#: The kinds, by language, of attributes that apply to the sibling after them.
#: (tree-sitter-kotlin reads `@A("x")` before a `fun` as an expression of its own,
#: an annotated one in parentheses: that annotation applies to the `fun`.)
_BEFORE = {
    "rust": frozenset({"attribute_item"}),
    "typescript": frozenset({"decorator"}),
    "tsx": frozenset({"decorator"}),
    "javascript": frozenset({"decorator"}),
    "kotlin": frozenset({"annotation", "prefix_expression"}),
}


def attributes_stranded(
    lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]
) -> list[int]:
    """The places ``k`` whose match an attribute before it applies to, and whose
    replacement by ``bodies[k]`` (``spans`` in code points, in order, apart)
    is no one node after that attribute: nothing, or several.

    >>> attributes_stranded("rust", "#[cfg(test)]\\nfn a() {}\\nfn b() {}\\n", [(13, 22)], [""])
    [0]
    >>> attributes_stranded("rust", "#[cfg(test)]\\nfn a() {}\\n", [(13, 22)], ["fn c() {}"])
    []
    """
    kinds = _BEFORE.get(lang)
    if kinds is None:
        return []
    old = parsed_root(lang, text.encode())
    new: tuple[bytes, Node, Callable[[int], int]] | None = None
    out: list[int] = []
    at = byte_offsets(text)
    for k, ((s, e), body) in enumerate(zip(spans, bodies, strict=True)):
        lo, hi = at(s), at(e)
        if not _after_attribute(old, lo, hi, kinds):
            continue
        if not body.strip():
            out.append(k)
            continue
        if new is None:
            new = rewritten(lang, text, spans, bodies)
        _, root, moved = new
        start = moved(s) + len(body.encode()) - len(body.lstrip().encode())
        end = start + len(body.strip().encode())
        if not _after_attribute(root, start, end, kinds, whole=True):
            out.append(k)
    return out


def attribute_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that would strand the attribute before it."""
    return fix_misread(
        text,
        span,
        "leave the attribute before it applying to other code: mention the attribute in the pattern",
    )


def _after_attribute(root: Node, lo: int, hi: int, kinds: frozenset[str], whole: bool = False) -> bool:
    """Whether the bytes ``[lo, hi)`` are a node (its outermost one of that
    start) right after an attribute of ``kinds``, comments between them; with
    ``whole``, only if they are one node and comments."""
    node = root.descendant_for_byte_range(lo, min(lo + 1, hi))
    if node is None:
        return False
    while node.parent is not None and node.parent.start_byte == lo and node.parent.end_byte <= hi:
        node = node.parent
    if node.start_byte != lo:
        return False
    if whole:
        # The siblings from it to the end: one node, and comments around it.
        spanned = [node]
        while spanned[-1].end_byte < hi and spanned[-1].next_sibling is not None:
            spanned.append(spanned[-1].next_sibling)
        if spanned[-1].end_byte != hi or sum("comment" not in n.type for n in spanned) != 1:
            return False
    before = node.prev_sibling
    while before is not None and "comment" in before.type:
        before = before.prev_sibling
    if before is not None and before.type == "prefix_expression":
        return before.child_count > 0 and before.children[0].type == "annotation"
    return before is not None and before.type in kinds
