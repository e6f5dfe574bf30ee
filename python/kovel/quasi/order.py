"""Items that stand last, or first, in their list: a rest parameter or
element (`...r`, with no comma after it), varargs, a Go `xs...` argument,
C's `...`, Rust's `..base`, a Ruby `&block`; Rust's `self` and lifetimes,
TypeScript's `this` parameter, C#'s extension `this`.  Their grammars take them anywhere among the
items, their languages do not: a template that writes items after a run
ending with one (`f($$$P)` -> `f($$$P, extra)`) or before a `self` makes
code the compiler refuses, and such a match is left alone.

The check counts, for each replaced text, the items out of their place
inside it, before and after.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import byte_offsets, fix_misread, nodes_over, parsed_root, rewritten
from kovel.quasi.parse import MisreadError

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["ORDERED", "order_misread", "orders_broken"]

#: By language: the kinds that end their list, and those that start it.
_LAST: dict[str, frozenset[str]] = {
    "javascript": frozenset({"rest_pattern"}),
    "typescript": frozenset({"rest_pattern"}),
    "tsx": frozenset({"rest_pattern"}),
    "java": frozenset({"spread_parameter"}),
    "php": frozenset({"variadic_parameter"}),
    "go": frozenset({"variadic_parameter_declaration", "variadic_argument"}),
    "c": frozenset({"variadic_parameter"}),
    "cpp": frozenset({"variadic_parameter"}),
    "rust": frozenset({"base_field_initializer"}),
    "ruby": frozenset({"block_parameter"}),
    "c_sharp": frozenset({"params"}),  # (a token: the parameter is what follows it)
}
_FIRST: dict[str, frozenset[str]] = {"rust": frozenset({"self_parameter"})}
#: What a replaced text holds where it may hold such an item.
_SPELLED = {
    **dict.fromkeys(("javascript", "java", "php", "go"), re.compile(r"\.\.\.")),
    **dict.fromkeys(("typescript", "tsx"), re.compile(r"\.\.\.|\bthis\b")),
    **dict.fromkeys(("c", "cpp"), re.compile(r"\.\.\.|\bvoid\b")),
    "rust": re.compile(r"\.\.|\bself\b|'[A-Za-z_]"),
    "ruby": re.compile(r"&"),
    "c_sharp": re.compile(r"\bparams\b|\bthis\b"),
}
#: Where the item that ends its list takes no comma after it either (`f(...r,)` is refused).
_NO_COMMA_AFTER = frozenset({"javascript", "typescript", "tsx", "rust"})
#: The lists such items stand in (the item is the child of one that holds the kind).
_LISTS = frozenset(
    {"formal_parameters", "array_pattern", "object_pattern", "parameter_list", "argument_list",
     "field_initializer_list", "parameters", "method_parameters", "lambda_parameters"}
)  # fmt: skip
#: Where a parameter list's `void` says it has no parameter: nothing else may stand with it.
_C_LIKE = frozenset({"c", "cpp"})

ORDERED = frozenset(_LAST) | frozenset(_FIRST)


def orders_broken(lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` of ``text`` (code points,
    in order, apart) by ``bodies[k]`` puts more items out of their place in
    their list than the match held.

    >>> orders_broken("javascript", "function f(a, ...r) {}\\n", [(11, 18)], ["a, ...r, x"])
    [0]
    """
    spelled = _SPELLED.get(lang)
    if spelled is None or not any(spelled.search(body) for body in bodies):
        return []
    old_root = parsed_root(lang, text.encode())
    at = byte_offsets(text)
    _, new_root, moved = rewritten(lang, text, spans, bodies)
    return [
        k
        for k, (s, e) in enumerate(spans)
        if spelled.search(bodies[k])
        and _misplaced(lang, new_root, moved(s), moved(e)) > _misplaced(lang, old_root, at(s), at(e))
    ]


def order_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``orders_broken`` finds."""
    return fix_misread(
        text,
        span,
        "put an item that must stand last (a rest, a vararg, a block) or first (self) elsewhere in its list",
    )


def _misplaced(lang: str, root: Node, lo: int, hi: int) -> int:
    """How many items in bytes ``[lo, hi)`` stand out of their place in their list."""
    last, first = _LAST.get(lang, frozenset()), _FIRST.get(lang, frozenset())
    count = 0
    for n in nodes_over(root, lo, hi):
        if n.type in last or n.type in first:
            item = _item(n)
            if item is not None and item.start_byte < hi and item.end_byte > lo:
                after = item.next_named_sibling if n.type in last else item.prev_named_sibling
                while after is not None and after.type in _SKIPPED:
                    after = after.next_named_sibling if n.type in last else after.prev_named_sibling
                if after is not None and (n.type != "params" or _later(after)):
                    count += 1
                elif n.type in last and lang in _NO_COMMA_AFTER and _comma_after(item):
                    count += 1
        elif lang in _C_LIKE and n.type == "parameter_declaration" and n.text == b"void":
            count += n.parent is not None and n.parent.named_child_count > 1
        elif _first_of_its_own(lang, n):
            before = (
                n.parent.prev_named_sibling
                if lang != "rust" and n.parent is not None
                else n.prev_named_sibling
            )
            while before is not None and before.type in _SKIPPED:
                before = before.prev_named_sibling
            count += before is not None and not (lang == "rust" and before.type == "lifetime_parameter")
    return count


def _first_of_its_own(lang: str, n: Node) -> bool:
    """Whether ``n`` is what makes an item stand first in its list: TypeScript's
    `this` parameter, C#'s `this` of an extension method, Rust's lifetime
    parameters (before its type and const ones)."""
    if lang in ("typescript", "tsx"):
        return (
            n.type == "this"
            and n.parent is not None
            and n.parent.type == "required_parameter"
            and (n.parent.named_child_count > 0 and n.parent.named_children[0] == n)
        )
    if lang == "c_sharp":
        return (
            n.type == "modifier"
            and n.text == b"this"
            and n.parent is not None
            and n.parent.type == "parameter"
        )
    return lang == "rust" and n.type == "lifetime_parameter"


def _comma_after(item: Node) -> bool:
    """Whether a comma follows ``item`` in its list, comments aside."""
    after = item.next_sibling
    while after is not None and after.type in _SKIPPED:
        after = after.next_sibling
    return after is not None and after.type == ","


_SKIPPED = frozenset({"comment", "line_comment", "block_comment"})


def _item(n: Node) -> Node | None:
    """The child of a list that holds ``n`` (or is it)."""
    while n.parent is not None and n.parent.type not in _LISTS:
        n = n.parent
    return n if n.parent is not None else None


def _later(n: Node) -> bool:
    """Whether ``n`` or a sibling after it, after C#'s `params`, is a parameter of its own
    (not the params' type or name)."""
    at: Node | None = n
    while at is not None:
        if at.type == "parameter":
            return True
        at = at.next_named_sibling
    return False
