"""Python's docstrings, which a replacement must not make.

A string alone as the first statement of a module, a class or a function is
its docstring: Python stores it as ``__doc__`` and doctest, help() and the
like read it.  ``g("hi")`` -> ``$A`` at the top of a body, or a statement
deleted before a string, would make one where the code had none: another
program, though it parses as well.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import byte_offsets, fix_misread, parsed_root, past_comments, rewritten
from kovel.quasi.parse import MisreadError

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["docstring_misread", "docstrings_made"]

# What could put a string first: a replacement that is one, or none at all
# (a statement deleted before one).
_MAY_MAKE_ONE = re.compile(r"\s*(?:[rRuU]?['\"]|\(|$)")
_DEFINITIONS = frozenset({"function_definition", "class_definition"})


def docstrings_made(text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` (in code points, in
    order, apart) by ``bodies[k]`` makes a string the docstring of the module,
    class or function around it, where that body had none.

    >>> docstrings_made('def f():\\n    g("hi")\\n    return 1\\n', [(13, 20)], ['"hi"'])
    [0]
    >>> docstrings_made('def f():\\n    x = 1\\n    g("hi")\\n', [(24, 31)], ['"hi"'])
    []
    """
    if not any(_MAY_MAKE_ONE.match(b) for b in bodies):
        return []
    old_root = parsed_root("python", text.encode())
    data, new_root, moved = rewritten("python", text, spans, bodies)
    byte_of = byte_offsets(text)
    made: list[int] = []
    for k, (s, _) in enumerate(spans):
        if not _MAY_MAKE_ONE.match(bodies[k]):
            continue
        # (Where nothing is put, the body goes on with the statement after.)
        at = past_comments(new_root, data, moved(s))
        new_body = _body_at(new_root, at)
        first = _first_statement(new_body)
        if first is None or not _is_docstring(first) or first.end_byte < at:
            continue
        old_body = _body_at(old_root, byte_of(s))
        was = _first_statement(old_body)
        if was is None or not _is_docstring(was):
            made.append(k)
    return made


def docstring_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that would make a docstring."""
    return fix_misread(text, span, "make a string the docstring of the body it stands in")


def _body_at(root: Node, at: int) -> Node:
    """The innermost module, class or function body holding byte ``at``."""
    node: Node | None = root.descendant_for_byte_range(at, at)
    while node is not None:
        up = node.parent
        if node.type == "module" or (node.type == "block" and up is not None and up.type in _DEFINITIONS):
            return node
        node = up
    return root


def _first_statement(body: Node) -> Node | None:
    return next((c for c in body.named_children if c.type != "comment"), None)


def _is_docstring(statement: Node) -> bool:
    if statement.type != "expression_statement" or statement.named_child_count != 1:
        return False
    value = statement.named_children[0]
    while value.type == "parenthesized_expression" and value.named_child_count == 1:
        value = value.named_children[0]
    parts = value.named_children if value.type == "concatenated_string" else [value]
    return all(p.type == "string" and _plain(p) for p in parts)


def _plain(string: Node) -> bool:
    # Neither bytes nor an f-string is a docstring.
    start = string.children[0] if string.children else None
    prefix = (start.text or b"").decode(errors="replace").lower() if start is not None else ""
    return "b" not in prefix and "f" not in prefix
