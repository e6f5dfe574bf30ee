"""Ruby's loops that test after their body, which a replacement must not make
or unmake.

A `while` or `until` modifier after a bare `begin … end` runs the block once
before testing; after anything else it tests first.  So ``g(x) while c`` ->
``begin; x; end while c`` runs ``x`` where it did not, and a `begin` block
under a modifier put in parentheses or in a call no longer runs first.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import fix_misread, places_changed
from kovel.quasi.parse import MisreadError

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["do_while_misread", "do_whiles_changed"]

_MODIFIERS = frozenset({"while_modifier", "until_modifier"})
_MODIFIER_WORDS = re.compile(r"\b(?:while|until)\b")


def do_whiles_changed(
    lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]
) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` (in code points, in
    order, apart) by ``bodies[k]``, as the body of a loop modifier, makes it
    test after its body where it tested first, or the other way round.

    >>> do_whiles_changed("ruby", "g(1) while c\\n", [(0, 4)], ["begin; 1; end"])
    [0]
    >>> do_whiles_changed("ruby", "g(1) while c\\n", [(0, 4)], ["1"])
    []
    """
    if lang != "ruby" or not _MODIFIER_WORDS.search(text):
        return []
    return places_changed(lang, text, spans, bodies, _run_first)


def do_while_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``do_whiles_changed`` finds."""
    return fix_misread(text, span, "change when the loop it is the body of tests its condition")


def _run_first(root: Node, lo: int, hi: int) -> bool | None:
    """Whether the body of a loop modifier spanning bytes ``[lo, hi)`` runs
    before its test (a bare `begin`), or None where no such body is."""
    body = _body_of_a_modifier(root, lo, hi)
    return None if body is None else body.type == "begin"


def _body_of_a_modifier(root: Node, lo: int, hi: int) -> Node | None:
    """The node spanning bytes ``[lo, hi)`` that is the body of a loop modifier, if any."""
    node: Node | None = root.descendant_for_byte_range(lo, max(lo, hi - 1))
    if node is None or (node.start_byte, node.end_byte) != (lo, hi):
        return None
    while True:
        up = node.parent
        if up is not None and up.type in _MODIFIERS and up.child_by_field_name("body") == node:
            return node
        if up is None or (up.start_byte, up.end_byte) != (lo, hi):
            return None
        node = up
