"""JavaScript's directives, which a replacement must not make.

A string alone as a statement, among the first statements of a script or of
a function's body, is a directive: ``"use strict"`` there makes the code
strict (``this`` is no longer the global object, assigning an undeclared name
throws), and is refused in a function with default, rest or destructured
parameters.  ``g("use strict")`` -> ``$A`` at the top of a body, or a
statement deleted before a string, would make one where the code had none.
"""

from __future__ import annotations

import bisect
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import byte_offsets, fix_misread, parsed_root, past_comments, rewritten
from kovel.quasi.parse import JS_FUNCTIONS, MisreadError, js_directives

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["directive_misread", "directives_made", "DIRECTED"]

#: The languages whose bodies may open with directives.
DIRECTED = frozenset({"javascript", "typescript", "tsx"})

# What could put a string first: a replacement that is one, or none at all
# (a statement deleted before one).
_MAY_MAKE_ONE = re.compile(r"\s*(?:['\"]|$)")


def directives_made(
    lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]
) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` (in code points, in
    order, apart) by ``bodies[k]`` makes a string a directive of the script or
    function body around it, or takes that from a directive it does not replace.

    >>> directives_made("javascript", 'function f() {\\n  g("use strict")\\n}\\n', [(17, 32)], ['"use strict"'])
    [0]
    >>> directives_made("javascript", 'let x = 1\\ng("use strict")\\n', [(10, 25)], ['"use strict"'])
    []
    >>> directives_made("javascript", '"x"\\n"use strict"\\n', [(0, 3)], ["g()"])
    [0]
    """
    if not any(
        _MAY_MAKE_ONE.match(b) or _MAY_MAKE_ONE.match(text[s:e])
        for (s, e), b in zip(spans, bodies, strict=True)
    ):
        return []  # nothing put or taken is a string: no directive comes or goes
    old_root = parsed_root(lang, text.encode())
    at = byte_offsets(text)
    before = _Prologues()
    asked: dict[int, tuple[int, int]] = {}  # place -> directives outside it, and inside it, before
    for k, (s, e) in enumerate(spans):
        old = before.of(_body_at(old_root, at(s)))
        inside = old.within(at(s), at(e))
        if inside or _MAY_MAKE_ONE.match(bodies[k]):
            asked[k] = (len(old) - inside, inside)
    if not asked:
        return []
    data, new_root, moved = rewritten(lang, text, spans, bodies)
    after = _Prologues()
    made: list[int] = []
    for k, (outside, inside) in asked.items():
        s, e = spans[k]
        lo, hi = moved(s), moved(e)
        # (Where nothing is put, the body goes on with the statement after.)
        new = after.of(_body_at(new_root, past_comments(new_root, data, lo)))
        now_inside = new.within(lo, max(hi, lo + 1))
        if len(new) - now_inside != outside or now_inside > inside:
            made.append(k)
    return made


def directive_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that would make a directive."""
    return fix_misread(text, span, "make a string a directive of the body it stands in")


def _body_at(root: Node, at: int) -> Node:
    """The innermost script or function body holding byte ``at``."""
    node: Node | None = root.descendant_for_byte_range(at, at)
    while node is not None:
        up = node.parent
        if node.type == "statement_block" and up is not None and up.type in JS_FUNCTIONS:
            return node
        node = up
    return root


class _Directives:
    """The directives that open a body (strings alone as statements, before
    any other), by where they start and end, in order."""

    def __init__(self, body: Node) -> None:
        found = js_directives(body)
        self.starts = [d.start_byte for d in found]
        self.ends = [d.end_byte for d in found]

    def __len__(self) -> int:
        return len(self.starts)

    def within(self, lo: int, hi: int) -> int:
        """How many of them overlap bytes ``[lo, hi)``."""
        return max(0, bisect.bisect_left(self.starts, hi) - bisect.bisect_right(self.ends, lo))


class _Prologues:
    """Each body's directives, read once (a file of many matches asks for each)."""

    def __init__(self) -> None:
        self._seen: dict[int, _Directives] = {}

    def of(self, body: Node) -> _Directives:
        got = self._seen.get(body.id)
        if got is None:
            got = self._seen[body.id] = _Directives(body)
        return got
