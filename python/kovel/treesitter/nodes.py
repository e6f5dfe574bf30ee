"""Reads of tree-sitter nodes that py-tree-sitter's own methods cannot be trusted with.

``Node.first_child_for_byte`` crashes the interpreter (a segmentation fault)
when the node has no child ending after the byte: a leaf, or a node whose
span runs past its last child (a Go ``statement_list`` ends at the line
break after its last statement).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["first_child_after"]


def first_child_after(node: Node, at: int) -> Node | None:
    """The first child of ``node`` that ends after byte ``at``, or None.

    >>> from kovel.treesitter.grammars import parser
    >>> root = parser("python").parse(b"x = 1\\ny = 2\\n").root_node
    >>> first_child_after(root, 6).text, first_child_after(root, 13)
    (b'y = 2', None)
    """
    count = node.child_count
    if not count:
        return None
    last = node.child(count - 1)
    if last is None or last.end_byte <= at:
        return None
    return node.first_child_for_byte(at)
