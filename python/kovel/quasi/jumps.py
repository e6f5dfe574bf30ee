"""Where a `break`, `continue` or `return` goes: to the innermost loop (or
switch, for `break`) or function around it; and the function whose kind an
`await`, a `yield`, a `this` (not an arrow's) or Go's `defer` belongs to.  A replacement that takes away
the switch a `break` ended (`switch (x) { case 1: ...; break }` made an `if`
inside a loop) sends it to the loop around, which it then ends; one that
takes away a function wrapper sends its `return` out of the function around;
one that puts such a word in a loop or function of the template's own takes
it from where it went.  Either is left alone.

The check counts, for each word in the replaced text, whether what it goes to
lies inside the replaced text or outside, before and after.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import byte_offsets, fix_misread, rewritten
from kovel.quasi.parse import JUMP_TARGETS, MisreadError
from kovel.treesitter.grammars import parser

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["JUMPING", "jump_misread", "jumps_rebound"]

#: The languages whose jumps are read here.
JUMPING = frozenset(
    {"c", "cpp", "java", "c_sharp", "go", "rust", "php", "javascript", "typescript", "tsx", "python"}
)


def jumps_rebound(lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` of ``text`` (code points,
    in order, apart) by ``bodies[k]`` sends a `break`, `continue`, `return`
    (or an `await`, `yield`, `this`, `defer`) of the match out of it where it
    went to something inside it, or into something of the replacement's where
    it went outside.

    >>> src = "while (a) {\\n  switch (x) { case 1: f(); break; }\\n  g();\\n}\\n"
    >>> jumps_rebound("javascript", src, [(14, 48)], ["if (x === 1) { f(); break; }"])
    [0]
    """
    if lang not in JUMPING:
        return []
    # Only a jump in a match's own text can go elsewhere: most matches hold none, and need no parse.
    if not any(word in text[s:e] for s, e in spans for word in _WORDS):
        return []
    data = text.encode()
    old_root = parser(lang).parse(data).root_node
    at = byte_offsets(text)
    before = {k: _where(old_root, at(s), at(e)) for k, (s, e) in enumerate(spans)}
    before = {k: c for k, c in before.items() if c}
    if not before:
        return []
    _, new_root, moved = rewritten(lang, text, spans, bodies)
    out = []
    for k, was in before.items():
        now = _where(new_root, moved(spans[k][0]), moved(spans[k][1]))
        for word in {w for w, _ in was}:
            # (How many go inside and outside, before and after: one gone from each side to the other.)
            old_in, old_out, new_in, new_out = (
                was[word, True],
                was[word, False],
                now[word, True],
                now[word, False],
            )
            escaped = new_out > old_out and new_in < old_in
            captured = new_in > old_in and new_out < old_out
            if escaped or captured:
                out.append(k)
                break
    return out


def jump_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``jumps_rebound`` finds."""
    return fix_misread(
        text, span, "send a break, continue, return, await, yield, this or defer it holds elsewhere"
    )


def _where(root: Node, lo: int, hi: int) -> Counter[tuple[str, bool]]:
    """For the jumps in bytes ``[lo, hi)``: how many of each word go to a loop,
    switch or function inside that span, and how many outside it."""
    out: Counter[tuple[str, bool]] = Counter()
    node = root.descendant_for_byte_range(lo, max(lo, hi - 1))
    while node is not None and node.parent is not None and (node.start_byte > lo or node.end_byte < hi):
        node = node.parent
    if node is None:
        return out
    todo = [node]
    while todo:
        n = todo.pop()
        if n.end_byte <= lo or n.start_byte >= hi:
            continue
        word = JUMP_TARGETS.get(n.type)
        if word is not None and n.start_byte >= lo and n.end_byte <= hi:
            labelled = word[0] in ("break", "continue") and any(
                c.type in _LABELS for c in n.named_children[:1]
            )
            if not labelled:
                target = _target(n, word[1])
                inside = target is not None and target.start_byte >= lo and target.end_byte <= hi
                out[(word[0], inside)] += 1
        todo.extend(n.children)
    return out


#: What a jump's node holds first where it goes to a label (`break outer`).
_LABELS = frozenset({"label", "lifetime", "statement_identifier", "identifier", "label_name"})
#: The words ``JUMP_TARGETS`` reads, as a file would spell them.
_WORDS = ("break", "continue", "return", "await", "yield", "defer", "this", "super")


def _target(n: Node, kinds: frozenset[str]) -> Node | None:
    """The innermost node of ``kinds`` around ``n`` (None: none)."""
    up = n.parent
    while up is not None and up.type not in kinds:
        up = up.parent
    return up
