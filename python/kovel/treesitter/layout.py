"""Layout: how the text of a syntax tree becomes a term's commands.

Every tree-sitter node becomes a tuple node whose tag is the node's kind
(``node.type``) and whose children are the node's children, in order, with
comments and other extras included and error and missing nodes kept as the
tree gives them.  The source text between and around the children (the
node's *gaps*) becomes ``Write`` commands.  The term made by ``from_tree``
covers the whole source, text before the root node's start or after its end
included.

A term spliced under a pushed prefix (``tb("x").p("    ").c(t).x().b()``)
gets the prefix after every ``NL`` command, so the layout decides which line
feeds are line breaks of the code (``NL``: re-indented) and which ones are
part of a literal's value (kept inside a ``Write``: never re-indented).  The
rule below decides it from each node alone and from its ancestors; a native
walk must reproduce it exactly.

*Words of a kind*: the kind split at every character that is not an ASCII
letter or digit and between a lower-case letter or digit and a following
upper-case letter, lower-cased (``heredoc_body`` -> heredoc, body;
``StringLiteral`` -> string, literal; ``CDATA`` -> cdata).

1. A kind is *literal* when it is in ``verbatim`` (default ``VERBATIM_KINDS``),
   or when it is not in ``code`` (default ``CODE_KINDS``) and one of its words
   is in ``LITERAL_WORDS`` (string, str, heredoc, nowdoc, comment, quoted, raw,
   regex, regexp, verbatim, pod, cdata).  Grammar authors name their string,
   heredoc and comment rules this way; the two sets fix the few kinds the
   words miss or mistake (Tcl's ``braced_word_simple``; Haskell's
   ``quoted_expression``, which holds code).
2. A node is *verbatim* when an ancestor is verbatim, when its kind is
   literal, or when one of its gaps, once every backslash that ends a line
   (followed by LF or CR LF) is removed from it with that line end, still
   holds a line feed and a character that is not blank (space, tab, CR, LF,
   FF, VT).  Tree-sitter puts every visible token in
   the tree, so text that no child covers is a hidden token; one that spans
   a line break with words on it is the body of a string or heredoc whose
   grammar hides it (fish's ``"a\\n  b"``).  All the gaps of a verbatim node
   are written as they are, line feeds included.
3. A node with children and not verbatim writes a gap that holds a line
   feed as lines: the text of each line as a ``Write`` (left out when empty;
   a CR before a line feed stays at the end of its line's text) and an
   ``NL`` for each line feed, except the one described in 5.  Any other gap
   is one ``Write``.
4. A node without children is a leaf (``leaf(kind, text)``).  A line feed in
   its text is kept, with one exception: a *line-end token*, a node without
   children that is not verbatim and whose text after its first line feed is
   blank (the ``"\\n"`` after a C ``#if``, Tcl's command separator, Python's
   ``line_continuation``), becomes a node without children whose commands
   are its text written as lines (as in rule 3).  Any other token that
   spans lines (a comment, a heredoc body, a C ``#define`` body with
   backslash continuations) is kept whole.
5. A node is *anchored* when it starts at column 0 and either one of its
   words is heredoc, nowdoc, pod or raw (its first line is data: a heredoc
   body, a make ``define`` body, Perl's POD) or it has the word comment, its
   text holds a line feed and its last line starts with a character that is
   not blank (a block comment that sits at column 0 from its first line to
   its last: Ruby's ``=begin``/``=end``, which must stay there).  A node
   *starts anchored* when it is anchored or a child that starts at the same
   byte starts anchored.  When a gap of rule 3 ends with the line feed right
   before a child that starts anchored, the gap without that line feed is
   written as lines and the line feed follows as a ``Write`` of its own, so
   the child's first line gets no prefix.  (A line feed held by an earlier
   sibling's subtree is not reconsidered.)

Rules 2 to 5 are written once, natively (``kovel/src/convert.cpp``): the walk
of ``kovel.treesitter.convert`` applies them, and the template filler of
``kovel.quasi`` lays out its nodes with the functions below, which call the
same code, so a filled template re-indents as a parsed term does.  Rule 1 (which
kinds are literal) is decided here, in ``Kinds``, and handed to the walk.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Callable, Collection
from typing import TYPE_CHECKING, Any

from kovel import _native
from kovel._kovel import KTerm

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = [
    "CODE_KINDS",
    "LITERAL_WORDS",
    "VERBATIM_KINDS",
    "Kinds",
    "anchored",
    "gap_commands",
    "inside_literal",
    "is_literal_kind",
    "is_token_text",
    "kinds",
    "last_line_anchored",
    "leaf_term",
    "verbatim_node",
]

#: Words that mark a kind as a literal (rule 1).
LITERAL_WORDS: frozenset[str] = frozenset(
    {"string", "str", "heredoc", "nowdoc", "comment", "quoted", "raw", "regex", "regexp"}
    | {"verbatim", "pod", "cdata"}
)

#: Kinds that are literals whatever their words say: the few that no word
#: marks, and the usual literal kinds of the common grammars (the list
#: kovel.treesitter used before the word rule, kept for code that tests kinds itself).
VERBATIM_KINDS: frozenset[str] = frozenset(
    {
        "braced_word_simple",  # Tcl: {...} is a string unless it is a script body
        "bracket_argument",  # CMake: [[...]]
        "code_fence_content",  # Markdown: fenced code
        "char_literal",
        # Python: string -> string_start, string_content (escape_sequence, ...),
        # interpolation, string_end
        "string",
        "string_content",
        "concatenated_string_content",
        # JavaScript / TypeScript
        "template_string",
        "regex",
        # C / C++
        "string_literal",
        "raw_string_literal",
        "system_lib_string",
        # other grammars
        "raw_string",
        "interpreted_string_literal",
        "heredoc_body",
        "comment",
        "line_comment",
        "block_comment",
    }
)

#: Kinds whose words say literal but that hold code to re-indent.
CODE_KINDS: frozenset[str] = frozenset(
    {
        # Haskell Template Haskell quotes [| ... |], [d| ... |]
        "quoted_expression",
        "quoted_decls",
        "quoted_pattern",
        "quoted_type",
        # Fennel quoted forms are code
        "quoted_list",
        "quoted_table",
        "quoted_sequential_table",
        # COBOL's STRING statement
        "string_statement",
        # string literals side by side, with code layout between them
        "concatenated_string",
        "json_string_array",
    }
)

_ANCHOR_WORDS = frozenset({"heredoc", "nowdoc", "pod", "raw"})
_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")
_NOT_WORD = re.compile(r"[^A-Za-z0-9]+")


def is_literal_kind(
    kind: str, verbatim: Collection[str] = VERBATIM_KINDS, code: Collection[str] = CODE_KINDS
) -> bool:
    """Whether nodes of ``kind`` are literals, whose text is never re-indented (rule 1).

    >>> is_literal_kind("heredoc_body"), is_literal_kind("StringLiteral"), is_literal_kind("template_body")
    (True, True, False)
    """
    return kind in verbatim or (kind not in code and not LITERAL_WORDS.isdisjoint(_words(kind)))


def _words(kind: str) -> list[str]:
    return [w.lower() for w in _NOT_WORD.split(_CAMEL.sub(" ", kind)) if w]


class Kinds(dict[str, tuple[bool, bool, bool]]):
    """Per-kind answers of rules 1 and 5 under the rules ``verbatim`` and ``code``,
    computed on first use: (literal, may be anchored, anchored whenever at column 0).

    >>> Kinds(VERBATIM_KINDS, CODE_KINDS)["heredoc_body"], Kinds(frozenset(), frozenset())["identifier"]
    ((True, True, True), (False, False, False))
    """

    def __init__(self, verbatim: frozenset[str], code: frozenset[str]) -> None:
        super().__init__()
        self.verbatim = verbatim
        self.code = code

    def __missing__(self, kind: str) -> tuple[bool, bool, bool]:
        words = set(_words(kind))
        body = not _ANCHOR_WORDS.isdisjoint(words)
        info = (is_literal_kind(kind, self.verbatim, self.code), body or "comment" in words, body)
        self[kind] = info
        return info


@functools.lru_cache(maxsize=8)
def kinds(verbatim: frozenset[str], code: frozenset[str]) -> Kinds:
    """The ``Kinds`` for these rules, kept across walks: asking them costs more
    than the native walk of a small file.

    >>> kinds(VERBATIM_KINDS, CODE_KINDS) is kinds(VERBATIM_KINDS, CODE_KINDS)
    True
    """
    return Kinds(verbatim, code)


def verbatim_node(
    node: Node,
    data: bytes,
    inherited: bool,
    verbatim: Collection[str] = VERBATIM_KINDS,
    code: Collection[str] = CODE_KINDS,
) -> bool:
    """Whether ``node`` (parsed from ``data``) is verbatim (rules 1 and 2);
    ``inherited``: an ancestor is.  Its gaps are then written as they are.

    >>> from kovel.treesitter.grammars import parser
    >>> src = b'x = "a"\\n'
    >>> assignment = parser("python").parse(src).root_node.children[0].children[0]
    >>> verbatim_node(assignment.children[2], src, False), verbatim_node(assignment, src, False)
    (True, False)
    """
    if inherited or is_literal_kind(node.type, verbatim, code):
        return True
    pos = node.start_byte
    for child in [*node.children, None]:
        end = node.end_byte if child is None else child.start_byte
        if pos < end and is_token_text(data[pos:end].decode()):
            return True
        pos = max(pos, end if child is None else child.end_byte)
    return False


def inside_literal(node: Node, data: bytes, verbatim: frozenset[str], code: frozenset[str]) -> bool:
    """Whether an ancestor of ``node`` is verbatim by its kind or its gaps (rules 1 and 2).

    >>> from kovel.treesitter.grammars import parser
    >>> src = b'x = "a"\\n'
    >>> string = parser("python").parse(src).root_node.children[0].children[0].children[2]
    >>> rules = VERBATIM_KINDS, CODE_KINDS
    >>> inside_literal(string.children[1], src, *rules), inside_literal(string, src, *rules)
    (True, False)
    """
    up = node.parent
    while up is not None:
        if verbatim_node(up, data, False, verbatim, code):
            return True
        up = up.parent
    return False


def anchored(node: Any, body: bool, cut: Callable[[int, int], str]) -> bool:
    """Rule 5 for a node whose kind may be anchored; ``body``: its kind is heredoc-like,
    ``cut(start, end)``: the source text between two byte offsets.

    >>> from kovel.treesitter.grammars import parser
    >>> src = b"# note\\nx = 1\\n"
    >>> comment = parser("python").parse(src).root_node.children[0]
    >>> cut = lambda a, b: src[a:b].decode()
    >>> anchored(comment, False, cut), anchored(comment, True, cut)
    (False, True)
    """
    if node.start_point[1] != 0:
        return False
    return body or last_line_anchored(cut(node.start_byte, node.end_byte))


def last_line_anchored(text: str) -> bool:
    """Rule 5 for a comment: whether its ``text`` spans lines and its last line
    starts with a character that is not blank (so it must stay at column 0).

    >>> last_line_anchored("=begin\\nx\\n=end"), last_line_anchored("/* a\\n */")
    (True, False)
    """
    return _native.last_line_anchored(text)


def leaf_term(kind: str, code: str, verbatim: bool) -> KTerm:
    """The term of a node without children (rule 4): a leaf, or for a line-end
    token its text written as lines.

    >>> from kovel.tree import commands
    >>> commands(leaf_term("comment", "# a\\n# b", False))
    (('write', '# a\\n# b'),)
    >>> commands(leaf_term("line_continuation", "\\\\\\n", False))
    (('write', '\\\\'), ('nl', ''))
    """
    return _native.token(kind, code, verbatim)


def gap_commands(g: str, verbatim: bool, before_anchored: bool = False) -> tuple[tuple[str, str], ...]:
    """How the gap ``g`` of a node is written (rules 3 and 5), as the commands
    ``("write", text)`` and ``("nl", "")`` of ``kovel.tree.commands``;
    ``verbatim``: the node is verbatim, ``before_anchored``: the next child
    starts anchored.

    >>> gap_commands("  \\n\\n", False)
    (('write', '  '), ('nl', ''), ('nl', ''))
    >>> gap_commands(" \\n", False, True), gap_commands("a\\n", True)
    ((('write', ' '), ('write', '\\n')), (('write', 'a\\n'),))
    """
    return _native.gap_commands(g, verbatim, before_anchored)[0]


def is_token_text(g: str) -> bool:
    """Rule 2: whether the gap ``g`` is hidden token text that spans lines (a
    backslash that ends a line continues it, as C and shell grammars hide it).

    >>> is_token_text("\\n  "), is_token_text(" hidden\\n text"), is_token_text(" \\\\\\n x")
    (False, True, False)
    """
    return _native.token_text(g)
