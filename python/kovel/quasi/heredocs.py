"""Ruby's heredocs, whose bodies a replacement must leave to their openers.

A heredoc's opener (``<<~EOS``) stands in the code and its body on the lines
after; the bodies go to the openers of a line in order.  A match that holds
an opener but not its body (``g(<<~EOS)``) leaves the body where it is, so
its replacement must write that opener once, in its place among the others:
``h($X, $X)`` would leave the second without a body, ``h($Y, $X)`` would give
each body to the other.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import fix_misread, places_changed
from kovel.quasi.parse import MisreadError

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["heredoc_misread", "heredocs_moved"]


def heredocs_moved(
    lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]
) -> list[int]:
    """The places ``k`` whose match, ``spans[k]`` of ``text`` (in code points,
    in order, apart), holds heredoc openers whose bodies lie after it, and
    whose replacement by ``bodies[k]`` does not write those openers as they stood.

    >>> src = "x = g(<<~EOS)\\n  text\\nEOS\\n"
    >>> heredocs_moved("ruby", src, [(4, 13)], ["h(<<~EOS, <<~EOS)"]), heredocs_moved("ruby", src, [(4, 13)], ["h(<<~EOS)"])
    ([0], [])
    """
    if lang != "ruby" or "<<" not in text:
        return []
    return places_changed(lang, text, spans, bodies, _openers_before_bodies)


def heredoc_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``heredocs_moved`` finds."""
    return fix_misread(text, span, "give the body of a heredoc it holds to another opener, or to none")


def _openers_before_bodies(root: Node, lo: int, hi: int) -> tuple[bytes, ...] | None:
    """The heredoc openers in bytes ``[lo, hi)`` on the last line of that span,
    in order (their bodies start on the line after it), or None for none."""
    if hi <= lo:
        return None
    row = (root.text or b"")[: hi - 1].count(b"\n")
    out: list[tuple[int, bytes]] = []
    todo = [root]
    while todo:
        n = todo.pop()
        if n.end_byte <= lo or n.start_byte >= hi:
            continue
        if (
            n.type == "heredoc_beginning"
            and n.start_byte >= lo
            and n.end_byte <= hi
            and n.start_point.row == row
        ):
            out.append((n.start_byte, n.text or b""))
        todo.extend(reversed(n.children))
    return tuple(t for _, t in sorted(out)) or None
