"""What languages read at line breaks that their tree-sitter grammars do not.

Go ends a statement at a line break after a name, a literal, a closing
bracket, ``++``/``--`` or ``return``/``break``/``continue``/``fallthrough``
(its semicolon rule); tree-sitter-go reads on across the break.  So a line
that then starts with what can only go on with the line before (``, 3)``,
``.Method()``, ``&& b``) is a syntax error to Go, though not to the grammar:
a rewrite that moves a comment to the end of a run of arguments, say.

C, C++ and C# take a preprocessor directive (``#ifdef``, ``#endif``) only at
the start of a line; their grammars read one anywhere, as a run of
statements spliced into a one-line block would put it.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from kovel.treesitter.grammars import parser
from kovel.treesitter.nodes import first_child_after

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["broken_lines", "misplaced_directives"]

# The last tokens of a line after which Go writes a semicolon.
_ENDS = frozenset(
    {"identifier", "field_identifier", "package_identifier", "type_identifier", "int_literal", "float_literal",
     "imaginary_literal", "rune_literal", "raw_string_literal_content", '"', "`", ")", "]", "}", "++", "--",
     "return", "break", "continue", "fallthrough", "true", "false", "nil", "iota", "label_name"}
)  # fmt: skip
# Tokens no statement starts with: each can only go on with the line before.
_GOES_ON = frozenset(
    {",", ")", "]", ".", "&&", "||", "==", "!=", "<=", ">=", "/", "%", "<<", ">>", "&^", "|", "=", ":=", "+=",
     "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>=", "&^=", ":"}
)  # fmt: skip


def misplaced_directives(lang: str, data: bytes, regions: Sequence[tuple[int, int]] | None = None) -> int:
    """How many preprocessor directives of the C, C++ or C# source ``data``
    (in all of it, or in ``regions``) do not start their line.

    >>> misplaced_directives("cpp", b"void f() {\\n#ifdef A\\n  g();\\n#endif\\n}\\n")
    0
    >>> misplaced_directives("cpp", b"void f() { [&]() { #ifdef A\\n  g();\\n#endif\\n  }(); }\\n")
    1
    """
    root = parser(lang).parse(data).root_node
    spans = [(0, len(data))] if regions is None else regions
    seen: set[int] = set()
    for lo, hi in spans:
        start = data.rfind(b"\n", 0, lo) + 1
        for node in _leaves_from(root, start):
            if node.start_byte > hi:
                break
            if not node.type.startswith("#"):
                continue
            line_start = data.rfind(b"\n", 0, node.start_byte) + 1
            end = data.find(b"\n", node.end_byte)
            rest = data[node.end_byte : len(data) if end < 0 else end].strip()
            # (`#endif }`: what follows a directive that takes nothing is no code.)
            if data[line_start : node.start_byte].strip() or (
                node.type in _BARE_DIRECTIVES and rest and not rest.startswith((b"//", b"/*"))
            ):
                seen.add(node.start_byte)
    return len(seen)


# Directives that take nothing after them on their line.
_BARE_DIRECTIVES = frozenset({"#endif", "#else", "#endregion"})


def broken_lines(data: bytes, regions: Sequence[tuple[int, int]] | None = None) -> int:
    """How many line breaks of the Go source ``data`` end a statement that the
    next line goes on with (each a syntax error to Go): in all of it, or only
    at the line breaks in, just before and just after each of ``regions``
    (byte ranges: what a rewrite put in).

    >>> broken_lines(b"package p\\nvar x = f(1,\\n\\t2, // two\\n)\\n")
    0
    >>> broken_lines(b"package p\\nvar x = f(1,\\n\\t2 // two\\n, 3)\\n")
    1
    >>> broken_lines(b"package p\\nvar x = f(1,\\n\\t2 // two\\n, 3)\\n", [(0, 9)])
    0
    >>> broken_lines(b"package p\\nvar x = T{\\n\\ta: 1\\n}\\n")  # a literal's last element goes on to its `}`
    1
    """
    root = parser("go").parse(data).root_node
    spans = [(0, len(data))] if regions is None else regions
    seen: set[int] = set()  # the breaks counted, by the end of the token before them
    for lo, hi in spans:
        # From the token that ends the line before the region to the first after the line it ends on.
        start = data.rfind(b"\n", 0, data.rfind(b"\n", 0, lo) + 1 if lo else 0)
        stop = data.find(b"\n", hi)
        stop = len(data) if stop < 0 else stop
        before: tuple[str, int] | None = None
        for node in _leaves_from(root, max(start, 0)):
            kind, parent = node.type, node.parent
            if "comment" in kind:
                continue
            if (
                before is not None
                and before[0] in _ENDS
                and (
                    kind in _GOES_ON
                    or (kind == "}" and parent is not None and parent.type == "literal_value")
                )
                and not (parent is not None and (parent.type in _GROUPS or parent.type == "dot"))
                and b"\n" in data[before[1] : node.start_byte]
                and before[1] not in seen
            ):
                seen.add(before[1])
            if node.start_byte > stop:
                break
            before = (kind, node.end_byte)
    return len(seen)


# Declarations whose `)` closes a group of lines, each a statement of its own
# (and `import . "fmt"`, whose `.` is no selector).
_GROUPS = frozenset(
    {"import_declaration", "import_spec_list", "var_declaration", "var_spec_list", "const_declaration",
     "type_declaration"}
)  # fmt: skip


def _leaves_from(root: Node, at: int) -> Iterator[Node]:
    """The leaves of ``root`` in order, from the one at byte ``at`` on."""
    node: Node | None = root.descendant_for_byte_range(at, at)
    # Down to the first leaf ending after ``at`` (not the first of a block
    # that holds ``at`` in its white space: a file of many regions would walk
    # its blocks again for each).
    while node is not None and node.child_count:
        node = first_child_after(node, at) or node.children[-1]
    while node is not None:
        yield node
        while node is not None and node.next_sibling is None:
            node = node.parent
        if node is None:
            return
        node = node.next_sibling
        while node is not None and node.child_count:
            node = node.children[0]
