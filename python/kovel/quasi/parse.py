"""Parsing quasi-quoted code: metavariables, parse contexts and the skeleton.

Templates and patterns are written in the target language with metavariables
(``$NAME``, ``$$$NAME``, ``$_``, ``$$$``).  Most grammars reject ``$``, so each
metavariable is replaced by an identifier the grammar accepts before parsing,
and mapped back afterwards.  The code is then parsed in the first context of
its language that takes it without an error (a whole file, a function body, an
expression, ...), and the part of the tree that covers the code becomes a
*skeleton*: nodes, gap texts and holes, from which templates build terms and
patterns build matchers.
"""

from __future__ import annotations

import ast
import re
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from kovel.quasi.contexts import contexts_for, split_context, user_context
from kovel.quasi.lift import is_identifier
from kovel.treesitter.grammars import canonical_name, language, parser
from kovel.treesitter.layout import CODE_KINDS, VERBATIM_KINDS, kinds, last_line_anchored, verbatim_node

if TYPE_CHECKING:
    from tree_sitter import Node, Tree

__all__ = [
    "FORMAT",
    "IN_COMMENT",
    "chain_links",
    "IN_TOKEN",
    "Meta",
    "SHole",
    "SNode",
    "Skeleton",
    "hole_literals",
    "ignores_case",
    "is_hole",
    "joins",
    "parse_quasi",
    "reads_as",
    "reads_without",
    "reading",
    "refused_at",
    "token_at",
    "refused_there",
    "refuses_statements",
    "restricts_calls_in",
    "declares_in_cpp",
    "rebinds_in_js",
    "JUMP_TARGETS",
    "runs_into",
    "has_optional_chains",
    "holds_misranked",
    "READ",
    "MISREAD",
    "UNCLEAR",
    "RUN",
    "MisreadError",
    "NAMED_ARGUMENTS",
    "clipped",
    "extends_a_chain",
    "too_deep",
    "HOLDS_A_BODY",
    "JS_FUNCTIONS",
    "js_directives",
    "c_primary",
    "needs_a_context",
]

#: The ``SHole.literal`` of a metavariable that is part of a token that is no
#: literal: its value's text goes into the token's as it is.
IN_TOKEN = "\x00token"
#: What ``hole_literals`` puts before the opener of a format string (Rust's
#: `println!("…")`), a literal of its own kind.
FORMAT = "\x00format"
#: The ``SHole.literal`` of a metavariable in a template's comment: its value's
#: text goes into the comment (its ``within`` is the comment's text before it, opener first).
IN_COMMENT = "\x00comment"

# `$$$NAME`, `$$$`, `$NAME`, `$_`: a `$` then an upper-case identifier.
# A name that starts with `_` (`$_`, `$_ARG`) binds nothing: its occurrences need not be alike.
_META_RE = re.compile(r"\$\$\$([A-Z_][A-Z0-9_]*)?|\$([A-Z][A-Z0-9_]*|_[A-Z0-9_]*)")

# How a metavariable alone on its line is written where a statement goes:
# not at all, as `ID;`, or as a call (C# takes no identifier as a statement,
# CMake no `;`).
_STATEMENT_FORMS = ((False, ";"), (True, ";"), (True, "();"), (True, "()"))


# What kovel.treesitter knows of each kind under its default rules: (literal,
# may be anchored, anchored whenever at column 0).
_KINDS = kinds(VERBATIM_KINDS, CODE_KINDS)


@dataclass(frozen=True, slots=True)
class Meta:
    """One occurrence of a metavariable in the code."""

    text: str  # as written: "$NAME", "$$$ARGS", "$_", "$$$"
    name: str | None  # the keyword of `fill` and of `bindings`; None for `$_` and `$$$`
    seq: bool  # `$$$`: zero or more siblings
    index: int  # number of the occurrence, in order of appearance
    at: tuple[int, int]  # byte range in the code
    indent: str  # leading blanks of the line it stands on
    own_line: bool  # nothing else on its line


@dataclass(slots=True)
class SHole:
    """The place of a metavariable in the skeleton."""

    meta: Meta
    kind: str  # the node kind the placeholder parsed as
    parent_kind: str
    statement: bool  # it stands where a statement goes
    # Nothing but a closing token follows it in its list: a run spliced there
    # may keep its trailing separator (`f($$$A)`, not `f($$$A, x)`).
    at_end: bool | None = None
    # Text inside a string literal: the literal's opening delimiter as written
    # (`"`, `f'`, `'''`, a backtick; "" for an unquoted HTML attribute value;
    # IN_TOKEN for part of a token that is no literal, as in `get_$NAME`;
    # IN_COMMENT in a template's comment).
    literal: str | None = None
    # An expression inside a literal (an f-string's `{}`): that literal's opener.
    within: str | None = None
    # Text that alone on a line ends the literal the hole stands in (a heredoc's delimiter).
    ends: str | None = None
    # The literal is a format string (Rust's `println!("…")`): its braces are read too.
    braces: bool = False


@dataclass(slots=True)
class SNode:
    """A syntax node: its kind and, in order, gap texts and children."""

    kind: str
    named: bool
    verbatim: bool  # line feeds in its gaps stay text
    items: list[str | SNode | SHole] = field(default_factory=list)
    leaf: bool = False  # a token: items is its one text
    anchored: bool = False  # it starts at column 0 with a line that must stay there
    at: int = 0  # where it starts in the code, in bytes


def _mark_ends(items: list[str | SNode | SHole]) -> None:
    """Decide ``at_end`` for the holes among a node's items."""
    nodes = [i for i in items if not isinstance(i, str)]
    for k, n in enumerate(nodes):
        if isinstance(n, SHole) and n.at_end is None:
            after = nodes[k + 1 :]
            n.at_end = not after or (len(after) == 1 and isinstance(after[0], SNode) and not after[0].named)


@dataclass(frozen=True, slots=True)
class Skeleton:
    lang: str
    code: str
    root: SNode | SHole
    metas: tuple[Meta, ...]  # every occurrence, holes or not
    context: str = "{}"  # the parse context the code was read in
    semis: bool = False  # whether lone metavariables were read as statements
    terminator: str = ";"  # what made them statements
    forms: tuple[tuple[int, str], ...] = ()  # metavariables written as more than a name: (index, form)
    selector: str | None = None  # the kind of the node picked as the root
    run: bool = False  # the code is several siblings: the root is their parent, the pattern the run
    # The run is a node of this kind but for the line break it ends with (C's
    # `#define N 1`): it spans all of such a node's children, never the first
    # few of a longer one (`#define F(x) x`).
    whole: str | None = None


@dataclass(slots=True)
class _Occurrence:
    meta: Meta
    placeholder: str


# `$name`: what a user may mean as a metavariable, in a language where `$`
# does not start identifiers.
_LOWER_META_RE = re.compile(r"\$(?:\$\$)?([a-z][A-Za-z0-9_]*)")


def check_metavariables(lang: str, code: str) -> None:
    """Raise SyntaxError for a metavariable that runs into the text after it
    (``$X$Y``, ``$Xy``): it could not be told from its neighbour."""
    for m in _META_RE.finditer(code):
        nxt = code[m.end() : m.end() + 1]
        if nxt and (nxt.isalnum() or nxt in "_$"):
            start = len(code[: m.start()].encode())
            raise _syntax_error(
                lang, code, start, f"metavariable {m.group(0)} runs into the text after it; separate them"
            )


def _scan(code: str, capital: bool = False) -> tuple[str, list[_Occurrence]]:
    """Find the metavariables and pick a placeholder prefix that `code` lacks
    (``capital``: one a grammar reads as a type's or a constructor's name)."""
    n = 0
    while f"_kq{n}" in code:
        n += 1
    prefix = f"K_kq{n}" if capital else f"_kq{n}"
    occs: list[_Occurrence] = []
    anon = 0
    for m in _META_RE.finditer(code):
        text = m.group(0)
        seq = text.startswith("$$$")
        name = m.group(1) if seq else m.group(2)
        if name is not None and name.startswith("_"):
            name = None
        if name is None:
            placeholder = f"{prefix}{'s' if seq else 'a'}{anon}"
            anon += 1
        else:
            placeholder = f"{prefix}{'3' if seq else '1'}_{name}"
        line_start = code.rfind("\n", 0, m.start()) + 1
        line_end = code.find("\n", m.end())
        line_end = len(code) if line_end < 0 else line_end
        before = code[line_start : m.start()]
        indent = before[: len(before) - len(before.lstrip(" \t"))]
        own_line = not before.strip() and not code[m.end() : line_end].strip()
        start = len(code[: m.start()].encode())
        meta = Meta(text, name, seq, len(occs), (start, start + len(text.encode())), indent, own_line)
        occs.append(_Occurrence(meta, placeholder))
    return prefix, occs


@dataclass(slots=True)
class _Attempt:
    source: bytes
    lo: int  # the code's byte range in `source`
    hi: int
    spans: dict[tuple[int, int], Meta]  # placeholder byte range -> occurrence
    shifts: list[tuple[int, int]]  # (source offset after a placeholder, shift to code offset)


def _in_json_string(code: str, end: int) -> bool:
    """Whether ``code[end]`` lies inside a JSON string (an odd number of unescaped quotes before it)."""
    inside = False
    i = 0
    while i < end:
        ch = code[i]
        if ch == "\\" and inside:
            i += 2
            continue
        if ch == '"':
            inside = not inside
        i += 1
    return inside


def _between_braces(code: str, at: tuple[int, int]) -> bool:
    """Whether a metavariable is all a one-line block holds (`{ $$$B }`, Lua's
    `then $$$A else`): a statement there."""
    raw = code.encode()
    before, after = raw[: at[0]].rstrip(), raw[at[1] :].lstrip()
    opens = before.endswith(b"{") or _BLOCK_OPENER.search(before) is not None
    return opens and (after.startswith(b"}") or _BLOCK_CLOSER.match(after) is not None)


# Words that open and close a block of statements in languages written without braces.
_BLOCK_OPENER = re.compile(rb"(?:^|\W)(?:then|else|do|begin|repeat)\Z")
_BLOCK_CLOSER = re.compile(rb"(?:end|else|elseif|elsif|until|fi|done|rescue|ensure)(?:\W|\Z)")


_WORD_BYTES = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_/.:@%+-,")


def _glued(raw: bytes, s: int, e: int) -> bool:
    """Whether bytes [s, e) of ``raw`` touch word characters on either side."""
    return (s > 0 and raw[s - 1] in _WORD_BYTES) or (e < len(raw) and raw[e] in _WORD_BYTES)


def _substitute(
    code: str,
    occs: list[_Occurrence],
    context: str,
    semis: bool,
    lang: str = "",
    terminator: str = ";",
    forms: tuple[tuple[int, str], ...] = (),
) -> _Attempt:
    head, tail = split_context(context)
    parts = [head.encode()]
    pos = len(parts[0])
    lo = pos
    last = 0
    raw = code.encode()
    spans: dict[tuple[int, int], Meta] = {}
    shifts: list[tuple[int, int]] = []
    for occ in occs:
        s, e = occ.meta.at
        parts.append(raw[last:s])
        pos += s - last
        ph = occ.placeholder
        # A metavariable alone on its line in a statement list becomes a
        # statement: `ID;` (an identifier alone is not a C statement).
        if semis and (occ.meta.own_line or (occ.meta.seq and _between_braces(code, occ.meta.at))):
            ph += terminator
        # JSON has no identifiers: a value outside a string is read as one.
        if lang == "json" and not _in_json_string(code, len(raw[:s].decode())):
            ph = f'"{ph}"'
        # A shell metavariable inside a word (`$DIR/build`) is the expansion it
        # looks like: a word of its own would merge with the text around it.
        if lang == "bash" and not occ.meta.seq and _glued(raw, s, e):
            ph = "$" + ph
        for index, form in forms:
            if index == occ.meta.index:
                ph = form.replace("{}", ph)

        parts.append(ph.encode())
        spans[(pos, pos + len(ph))] = occ.meta
        pos += len(ph)
        shifts.append((pos, e - (pos - lo)))
        last = e
    parts.append(raw[last:])
    pos += len(raw) - last
    parts.append(tail.encode())
    return _Attempt(b"".join(parts), lo, pos, spans, shifts)


def _to_code_offset(att: _Attempt, p: int) -> int:
    shift = 0
    for after, sh in att.shifts:
        if p >= after:
            shift = sh
    return max(0, p - att.lo + shift)


def _first_error(node: Node, placeholders: Mapping[tuple[int, int], object] | None = None) -> Node | None:
    """The first error or missing node under ``node``, passing over errors that
    span exactly one of ``placeholders``."""
    cursor = node.walk()
    while True:
        n = cursor.node
        assert n is not None
        if n.is_missing:
            return n
        if n.is_error and placeholders is not None and (n.start_byte, n.end_byte) in placeholders:
            pass
        elif n.is_error:
            # An ERROR node often starts where the construct that failed
            # starts; the token that did not fit is its innermost, last part.
            while True:
                inner = [c for c in n.children if c.is_error]
                if inner:
                    n = inner[0]
                elif n.child_count:
                    return n.children[-1]
                else:
                    return n
        elif n.has_error and not any(c.has_error for c in n.children):
            return n  # a missing token the grammar hides (Go's line break between declarations)
        elif n.has_error and cursor.goto_first_child():
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return None


def _line_col(code: str, byte_offset: int) -> tuple[int, int]:
    before = code.encode()[:byte_offset].decode(errors="ignore")
    line = before.count("\n") + 1
    return line, len(before) - (before.rfind("\n") + 1) + 1


# Kinds that hold a list of statements or items, kept around a hole for a run.
_LIST_RE = re.compile(r"block|body|list|statements|suite|program|module|compound|^source_file$")

# Nodes holding an expression inside a string literal.
# (A shell's `"$(cmd)"`, `"$((1 + 2))"` and `"${x:-y}"` hold code too, not the string's text.)
_INTERPOLATIONS = frozenset(
    {"interpolation", "template_substitution", "string_interpolation", "command_substitution",
     "arithmetic_expansion", "expansion", "interpolated_expression"}
)  # fmt: skip
# String literals that are one token, quotes included (YAML's quoted scalars).
_TOKEN_LITERALS = frozenset({"double_quote_scalar", "single_quote_scalar"})
# Nodes that are string literals: their first child is the opening delimiter.
_LITERALS = frozenset({"string", "string_literal", "template_string", "raw_string_literal",
                       "quoted_attribute_value", "char_literal", "character_literal",
                       "interpreted_string_literal", "raw_string", "verbatim_string_literal",
                       "regex", "line_string_literal"})  # fmt: skip


#: What marks the opener of a JSX attribute's string, which takes no backslash escapes.
JSX = "jsx"
#: What marks the opener of a tagged template, whose tag may read the text as written.
TAGGED = "tagged"
#: What marks the opener of a regular expression literal, which takes text as a pattern matching it.
REGEX = "regex"


def _opener(n: Node, src: bytes) -> str | None:
    """The opening delimiter of the literal ``n``, None when ``n`` is not one."""
    if n.type in _TOKEN_LITERALS:
        return src[n.start_byte : n.start_byte + 1].decode(errors="ignore") or None
    if n.type not in _LITERALS or not n.child_count:
        return None
    first = n.children[0]
    if first.child_count or first.start_byte != n.start_byte:
        return None
    text = src[first.start_byte : first.end_byte].decode()
    return text if text and "_kq" not in text else None


def _regex_place(node: Node, at: int, literal: str) -> str:
    """``literal``, or for a regular expression's hole at byte ``at`` where its
    characters are no plain characters (inside a character class `[...]`, or
    in a pattern whose flags make blanks or `&&` mean something: Ruby's `x`,
    JavaScript's `v`), the mark of a literal that takes no text."""
    if not literal.startswith(REGEX):
        return literal
    regex = node
    while regex.parent is not None and regex.type != "regex":
        regex = regex.parent
    text = regex.text or b""
    tail = text[len(text.rstrip(b"abcdefghijklmnopqrstuvwxyz")) :]  # its flags
    depth, i, until = 0, 0, at - regex.start_byte
    while i < until:
        c = text[i : i + 1]
        if c == b"\\":
            i += 2
            continue
        if c == b"[":
            depth += 1
        elif c == b"]" and depth:
            depth -= 1
        i += 1
    if depth or b"x" in tail or b"v" in tail or b"(?x" in text[:until]:
        return REGEX + "?"
    return literal


def _rust_format_string(node: Node) -> bool:
    """Whether ``node`` (or the string literal it is in) is the format string of
    one of Rust's formatting macros, which reads `{` and `}` as its own."""
    while node.type != "string_literal":
        if node.parent is None:
            return False
        node = node.parent
    tree = node.parent
    if tree is None or tree.type != "token_tree" or tree.parent is None:
        return False
    if tree.parent.type == "macro_invocation":
        name = tree.parent.child_by_field_name("macro")
    else:  # a macro called inside another's tokens is tokens too: `name`, `!`, its own
        bang = tree.prev_sibling
        name = bang.prev_sibling if bang is not None and bang.type == "!" else None
    skip = _RUST_FORMAT_MACROS.get((name.text or b"").split(b"::")[-1] if name is not None else b"")
    if skip is None:
        return False
    commas = 0
    for c in tree.children:
        if c == node:
            return commas == skip
        commas += c.type == ","
    return False


#: Rust's formatting macros, each with how many arguments come before its format string.
_RUST_FORMAT_MACROS = {
    **dict.fromkeys(
        [b"print", b"println", b"eprint", b"eprintln", b"format", b"format_args", b"panic", b"unreachable",
         b"todo", b"unimplemented", b"info", b"warn", b"error", b"debug", b"trace"], 0
    ),
    **dict.fromkeys([b"write", b"writeln", b"assert", b"debug_assert"], 1),
    **dict.fromkeys([b"assert_eq", b"assert_ne", b"debug_assert_eq", b"debug_assert_ne"], 2),
}  # fmt: skip


# Languages whose grammars read a keyword as a name where a context makes
# the code parse otherwise: such a reading is not the code's.
_KEYWORDS_NOT_NAMES = frozenset({"swift", "haskell"})
_NAME_KINDS = frozenset({"identifier", "simple_identifier", "type_identifier", "variable"})


def _keyword_as_a_name(lang: str, root: Node, att: _Attempt) -> bool:
    """Whether a keyword the pattern's own code spells is read as a name in ``att``."""
    todo = [root]
    while todo:
        n = todo.pop()
        if n.child_count:
            todo.extend(n.children)
            continue
        text = (n.text or b"").decode(errors="ignore")
        if n.is_named and n.type in _NAME_KINDS and text.isalpha() and not is_identifier(lang, text):
            if not any(a <= n.start_byte and n.end_byte <= b for a, b in att.spans) and "_kq" not in text:
                return True
    return False


def _heredoc_end(node: Node) -> str | None:
    """The delimiter that ends the heredoc whose text ``node`` is, or None."""
    if "heredoc" not in node.type:
        return None
    for n in (*node.children, *(node.parent.children if node.parent is not None else ())):
        if n.type == "heredoc_end":
            return (n.text or b"").decode(errors="replace").strip()
    return None


class _Converter:
    def __init__(
        self, att: _Attempt, restore: re.Pattern[str], originals: dict[str, str], literal_holes: bool = False
    ) -> None:
        self.att = att
        self.literal_holes = literal_holes
        self.src = att.source
        self.lo = att.lo
        self.spans = att.spans
        self.restore = restore
        self.originals = originals
        self.holes: set[int] = set()

    def text(self, a: int, b: int) -> str:
        t = self.src[a:b].decode()
        if "_kq" in t:
            t = self.restore.sub(lambda m: self.originals[m.group(0)], t)
        return t

    def anchored(self, node: Node) -> bool:
        """Whether the node must keep its first line at column 0, as kovel.treesitter
        decides it (its rule 5), with columns counted in the code, not in its context."""
        _, may_anchor, body = _KINDS[node.type]
        start = node.start_byte
        if not may_anchor or (start != self.lo and self.src[start - 1 : start] != b"\n"):
            return False
        if body:
            return True
        return last_line_anchored(self.src[start : node.end_byte].decode())

    def hole_of(self, node: Node, parent_kind: str) -> SNode | SHole | None:
        meta = self.spans.get((node.start_byte, node.end_byte))
        if meta is None and node.child_count:
            # A node that takes the line break after it (a Scala clause) stands for
            # it too, unless a node inside it spans the placeholder alone.
            text = self.src[node.start_byte : node.end_byte]
            span = (node.start_byte, node.start_byte + len(text.rstrip()))
            if not any((c.start_byte, c.end_byte) == span for c in node.children):
                meta = self.spans.get(span)
        if meta is None or meta.index in self.holes:
            return None
        # Of the nodes with the placeholder's range (block > statement >
        # identifier), the hole is the innermost one that is not the token
        # itself: a statement where one stands, so `$$$BODY` stands for the
        # statements of a block, not for the block.
        chain = [node]
        while chain[-1].child_count == 1:
            only = chain[-1].children[0]
            if (only.start_byte, only.end_byte) != (node.start_byte, node.end_byte):
                break
            chain.append(only)
        self.holes.add(meta.index)
        # Nodes between the outermost and the token that are no list (Bash's
        # `command` > `command_name` > `word`) only say how the grammar read
        # a lone word: the hole is the outermost, which holds more elsewhere.
        while len(chain) >= 3 and not _LIST_RE.search(chain[0].type):
            del chain[1]
        if len(chain) >= 2:
            parent_kind = chain[-3].type if len(chain) >= 3 else parent_kind
            hole_node = chain[-2]
        else:
            hole_node = chain[0]
        kind = hole_node.type
        statement = kind.endswith("statement") or self.src[node.end_byte - 1 : node.end_byte] == b";"
        # A hole for the only node of a list (chain of three) ends it.
        hole = SHole(meta, kind, parent_kind, statement, True if len(chain) >= 3 else None)
        hole.literal, hole.within = self.literal_context(chain[-1])
        start = _comment_start(chain[-1])
        if (
            hole.literal is None and start != chain[-1].start_byte
        ):  # all of a comment's content (Lua's `--$C`)
            hole.literal, hole.within = IN_COMMENT, self.src[start : node.start_byte].decode(errors="ignore")
        if hole.literal is not None:
            hole.literal = _regex_place(chain[-1], node.start_byte, hole.literal)
            hole.braces = hole.literal != IN_COMMENT and _rust_format_string(chain[-1])
        # The nodes around it with the same range stay (`block` around the
        # statements of `$$$BODY`): a pattern matches the block's statements,
        # not whatever follows the block in its parent (an `else:`).
        out: SNode | SHole = hole
        for wrapper in reversed(chain[:-2]):
            v = verbatim_node(wrapper, self.src, False)
            at = self.code_offset(wrapper.start_byte)
            out = SNode(wrapper.type, wrapper.is_named, v, [out], anchored=self.anchored(wrapper), at=at)
        return out

    def code_offset(self, p: int) -> int:
        return _to_code_offset(self.att, p)

    def literal_context(self, node: Node) -> tuple[str | None, str | None]:
        """(literal, within) for a hole at ``node``: see ``SHole``."""
        parent = node.parent
        if node.type == "attribute_value" and parent is not None and parent.type == "attribute":
            return "", None  # HTML: an unquoted attribute value
        if node.child_count and (node.start_byte, node.end_byte) in self.spans:
            return None, None  # a placeholder quoted to read as a value (JSON)
        n = parent if node.child_count == 0 and node.type not in _TOKEN_LITERALS else node
        while n is not None:
            if n.type in _INTERPOLATIONS:
                outer = n.parent
                while outer is not None and _opener(outer, self.src) is None:
                    outer = outer.parent
                return None, _opener(outer, self.src) if outer is not None else None
            opener = _opener(n, self.src)
            if opener is not None and n.parent is not None and n.parent.type == "jsx_attribute":
                opener = JSX + opener  # no escapes there: HTML's character references
            elif opener == "`" and n.parent is not None and n.parent.child_by_field_name("arguments") == n:
                opener = TAGGED + opener  # a tag reads the raw text too (`String.raw`)
            elif opener is not None and n.type == "regex":
                opener = REGEX + opener
            if opener is not None:
                # A literal inside an f-string's braces: that f-string's opener too.
                up = n.parent
                while up is not None and up.type not in _INTERPOLATIONS:
                    up = up.parent
                while up is not None and _opener(up, self.src) is None:
                    up = up.parent
                return opener, _opener(up, self.src) if up is not None else None
            n = n.parent
        return None, None

    def split(self, node: Node, a: int, b: int, token: bool = False) -> list[str | SNode | SHole] | None:
        """The text [a, b) of a literal as text and holes, when placeholders lie in it;
        with ``token``, of a token that is no literal nor comment, whose text the
        holes' texts make up with the rest (`get_$NAME`)."""
        inside = sorted(
            (r, m) for r, m in self.spans.items() if a <= r[0] and r[1] <= b and m.index not in self.holes
        )
        if not inside:
            return None
        literal, within = self.literal_context(node)
        if literal is None and "comment" in node.type:
            # (A comment's own text, a token or the gaps between the marks a grammar names: Rust's `//`.)
            # (In a pattern a comment is text; in a template its metavariables are filled.)
            literal, within = IN_COMMENT, ""
        elif literal is None and token and not any(m.seq for _, m in inside):
            literal = IN_TOKEN
        if literal is None:
            return None
        items: list[str | SNode | SHole] = []
        pos = a
        for (s, e), meta in inside:
            if s > pos:
                items.append(self.src[pos:s].decode())
            self.holes.add(meta.index)
            here = _regex_place(node, s, literal)
            if literal == IN_COMMENT:
                within = self.src[_comment_start(node) : s].decode(errors="ignore")
            hole = SHole(meta, node.type, node.type, False, None, here, within, _heredoc_end(node))
            hole.braces = literal not in (IN_COMMENT, IN_TOKEN) and _rust_format_string(node)
            items.append(hole)
            pos = e
        if b > pos:
            items.append(self.src[pos:b].decode())
        return items

    def convert(self, node: Node, parent_kind: str, verbatim: bool) -> SNode | SHole:
        hole = self.hole_of(node, parent_kind)
        if hole is not None:
            return hole
        kind = node.type
        anchored = self.anchored(node)
        if node.child_count == 0:
            at = self.code_offset(node.start_byte)
            parts = self.split(node, node.start_byte, node.end_byte, True) if self.literal_holes else None
            if parts is not None:
                # A line's comment that holds the line break ending it (Rust's `///`) breaks the
                # line as code does: the next line takes the indentation of the place it fills.
                body = self.src[node.start_byte : node.end_byte]
                ends_line = (
                    "comment" in kind and body.count(b"\n") == 1 and body.rstrip(b" \t").endswith(b"\n")
                )
                return SNode(kind, node.is_named, not ends_line, parts, False, anchored, at)
            text = self.text(node.start_byte, node.end_byte)
            return SNode(kind, node.is_named, verbatim, [text], True, anchored, at)
        verbatim = verbatim_node(node, self.src, verbatim)
        out = SNode(kind, node.is_named, verbatim, anchored=anchored, at=self.code_offset(node.start_byte))
        pos = node.start_byte
        for child in node.children:
            if child.start_byte > pos:
                parts = self.split(node, pos, child.start_byte) if self.literal_holes else None
                out.items.extend(parts if parts is not None else [self.text(pos, child.start_byte)])
            item = self.convert(child, kind, verbatim)
            # A node starts anchored when its first child does.
            if isinstance(item, SNode) and item.anchored and child.start_byte == node.start_byte:
                out.anchored = True
            out.items.append(item)
            pos = max(pos, child.end_byte)
        if node.end_byte > pos:
            parts = self.split(node, pos, node.end_byte) if self.literal_holes else None
            out.items.extend(parts if parts is not None else [self.text(pos, node.end_byte)])
        _mark_ends(out.items)
        # `$$$M;` where statements stand is those statements, not one statement
        # holding them (the `;` is how a C-like language writes a statement).
        inner = [i for i in out.items if not isinstance(i, str)]
        if (
            node.is_named
            and (_STATEMENTS_RE.search(parent_kind) or parent_kind in _HOLDS_STATEMENTS)
            and len(inner) == 2
            and isinstance(inner[0], SHole)
            and inner[0].meta.seq
            and isinstance(inner[1], SNode)
            and inner[1].leaf
            and inner[1].items == [";"]
        ):
            run = SHole(inner[0].meta, kind, parent_kind, True, None)
            run.literal, run.within = inner[0].literal, inner[0].within
            return run
        return out


def _comment_start(node: Node) -> int:
    """Where the comment ``node`` is part of starts: a grammar may name its
    content apart (Lua's ``comment_content``), after the opener that says
    what ends the comment."""
    parent = node.parent
    if parent is not None and "comment" in parent.type and node.start_byte > parent.start_byte:
        return int(parent.start_byte)  # (Lua's `comment_content`, Rust's `doc_comment` of `/** … */`)
    return int(node.start_byte)


def _region(root: Node, lo: int, hi: int) -> tuple[Node, list[Node]] | None:
    """The nodes that exactly cover bytes [lo, hi): one node, or several siblings."""
    node = root
    while True:
        if (node.start_byte, node.end_byte) == (lo, hi):
            return node, [node]
        inner = [c for c in node.children if c.start_byte < hi and c.end_byte > lo]
        if len(inner) == 1 and inner[0].start_byte <= lo and inner[0].end_byte >= hi:
            node = inner[0]
            continue
        if inner and inner[0].start_byte == lo and inner[-1].end_byte == hi:
            return node, inner
        return None


def parse_quasi(
    lang: str,
    code: str,
    literal_holes: bool = False,
    *,
    context: str | None = None,
    selector: str | None = None,
) -> Skeleton:
    """Parse `code` (with metavariables) in the first context of `lang` that accepts it.

    With ``literal_holes`` (templates), a metavariable inside a string literal
    is a hole there too, filled with text escaped for that literal.  A
    ``context`` is a snippet holding the code, parsed instead of the
    language's contexts; a ``selector`` picks, as the root, the first node of
    that kind inside the code.

    Raises SyntaxError naming the line and column of the first error when no
    context parses the code cleanly, ValueError when no node of the
    ``selector``'s kind is there.

    >>> sk = parse_quasi("python", "print($$$A)")
    >>> sk.root.kind, [m.text for m in sk.metas]
    ('call', ['$$$A'])
    >>> parse_quasi("go", "func t() { fmt.Println($$$A) }", selector="call_expression").root.kind
    'call_expression'
    >>> parse_quasi("csharp", "F($A);").lang  # one name for a grammar loaded under two
    'c_sharp'
    """
    lang = canonical_name(lang)
    sk = _parse_quasi(lang, code, literal_holes, context, selector, False)
    if lang in _CAPITAL_NAMES and sk.metas and _keyword_named(sk):
        # Where the grammar wants a capital's name (Haskell's `data $T = $C`), a name spelled so.
        try:
            capital = _parse_quasi(lang, code, literal_holes, context, selector, True)
        except SyntaxError:
            return sk
        if not _keyword_named(capital):
            return capital
    return sk


#: Languages whose grammars tell a type's or a constructor's name by its capital.
_CAPITAL_NAMES = frozenset({"haskell", "purescript", "elm"})


def _keyword_named(sk: Skeleton) -> bool:
    """Whether ``sk`` reads a keyword its code spells as a name (see ``_keyword_as_a_name``)."""
    todo: list[SNode | SHole] = [sk.root]
    while todo:
        n = todo.pop()
        if isinstance(n, SHole):
            continue
        if n.leaf and n.kind in _NAME_KINDS and n.items and isinstance(n.items[0], str):
            word = n.items[0]
            if word.isalpha() and not is_identifier(sk.lang, word):
                return True
        todo.extend(i for i in n.items if not isinstance(i, str))
    return False


def _parse_quasi(
    lang: str, code: str, literal_holes: bool, context: str | None, selector: str | None, capital: bool
) -> Skeleton:
    ts_parser = parser(lang)
    check_metavariables(lang, code)
    prefix, occs = _scan(code, capital)
    originals = {o.placeholder: o.meta.text for o in occs}
    restore = re.compile(re.escape(prefix) + r"(?:[13]_[A-Z][A-Z0-9_]*|[as]\d+)")
    stripped = code.strip()
    lead = len(code.encode()) - len(code.lstrip().encode())
    trail = len(code.rstrip().encode())
    best_error: tuple[int, str] | None = None
    fallback: Skeleton | None = None  # the first reading that lacks a hole
    misread: Skeleton | None = None  # the first reading of a keyword as a name
    unaligned = False  # some context parsed, but no nodes span exactly the code
    unselected = False  # some context parsed, but without a node of the selector's kind
    contexts = contexts_for(lang, code) if context is None else (user_context(code, context),)
    # A keyword alone (`pub`, `static`) is that keyword wherever it stands,
    # unless some context reads it as a node of its own.
    keyword = (
        not occs
        and context is None
        and selector is None
        and stripped.isidentifier()
        and language(lang).id_for_node_kind(stripped, False) is not None
    )
    # Where no context reads the code, a metavariable where the grammar wants
    # more than a name is written as more (`T name` for a typed parameter).
    # Last, a metavariable may stand where the grammar reads it as an error
    # of its own, nothing else amiss (`impl $T for $S { $$$B }`: a name is no
    # item of an impl): what it stands for is still plain.
    passes = ((False, False), (True, False), (False, True)) if occs else ((False, False),)
    # A statement form that changes no metavariable (none stands alone on its
    # line) gives the same source, and the same attempts, as the one before.
    tried: set[tuple[bool, bool, bytes]] = set()
    order = _meta_forms(lang)
    clauses = _clause_runs(lang, code, occs)
    for reshape, tolerate in passes:
        for ctx in contexts:
            for semis, terminator in _STATEMENT_FORMS if occs else _STATEMENT_FORMS[:1]:
                first = _substitute(code, occs, ctx, semis, lang, terminator)
                if (reshape, tolerate, first.source) in tried:
                    continue
                tried.add((reshape, tolerate, first.source))
                forms = clauses
                if forms:
                    first = _substitute(code, occs, ctx, semis, lang, terminator, forms)
                tries = 0
                # When reshaping the metavariable nearest the error runs out,
                # each form is tried for every metavariable at once (a Ruby
                # class and its superclass both need a constant).
                uniform = [
                    tuple((o.meta.index, f) for o in occs if not o.meta.seq)
                    for f in (order if reshape else ())
                ]
                while True:
                    att = _substitute(code, occs, ctx, semis, lang, terminator, forms) if forms else first
                    tree = ts_parser.parse(att.source)
                    err = _first_error(tree.root_node, att.spans if tolerate else None)
                    if err is None:
                        break
                    offset = min(max(_to_code_offset(att, err.start_byte), 0), len(code.encode()))
                    what = f"missing {err.type!r}" if err.is_missing else "unexpected text"
                    if best_error is None or offset > best_error[0]:
                        best_error = (offset, what)
                    tries += 1
                    nxt = _reshaped(occs, offset, forms, order) if reshape and tries < 24 else None
                    if nxt is None and uniform:
                        nxt = uniform.pop(0)
                    if nxt is None:
                        break
                    forms = nxt
                if err is not None:
                    continue
                # (Swift's `class X {…}` read as a call of `class` with a closure: kept only where
                # no context reads it otherwise, as the grammar reads code itself: Swift's `defer {…}`.)
                named_keyword = lang in _KEYWORDS_NOT_NAMES and _keyword_as_a_name(lang, tree.root_node, att)
                # Byte offsets in `source` shift with the placeholders before them.
                lo = _source_offset(att, lead) if stripped else att.lo
                hi = _source_offset(att, trail) if stripped else att.lo
                found = _region(tree.root_node, lo, hi) if stripped else None
                end = trail
                if found is None and stripped and trail < len(code.encode()):
                    # A node that ends with the line break the code ends with
                    # (C's `#include "x.h"` and the newline after it).
                    end = len(code.encode())
                    hi = _source_offset(att, end)
                    found = _region(tree.root_node, lo, hi)
                if found is None and stripped:
                    # A node that ends with the line break the context put after
                    # the code (Go's `case 1:\n\ta()`: a case's statements end with their line).
                    after = att.source[hi : hi + 16]
                    blank = len(after) - len(after.lstrip(b" \t\r\n"))
                    for k in (k for k in range(blank) if after[k] == 10):
                        found = _region(tree.root_node, lo, hi + k + 1)
                        if found is not None:
                            hi += k + 1
                            break
                if found is None and stripped:
                    unaligned = True
                    continue
                conv = _Converter(att, restore, originals, literal_holes)
                wanted = len(occs)
                if selector is not None:
                    picked = _select(found[1] if found is not None else [], selector)
                    if picked is None:
                        unselected = True
                        continue
                    parent = picked.parent.type if picked.parent is not None else ""
                    root = conv.convert(picked, parent, False)
                    wanted = sum(
                        1 for r in att.spans if picked.start_byte <= r[0] and r[1] <= picked.end_byte
                    )
                else:
                    root = _build_root(conv, found, code, lead, end, lo, hi, stripped)
                run = (
                    selector is None
                    and found is not None
                    and _is_run(found[0], found[1], _source_offset(att, len(code.encode())))
                )
                if tolerate and run and found is not None and any(n.type == "ERROR" for n in found[1]):
                    # A metavariable the grammar could not place is no statement of
                    # its own beside the others (`const $X $T` is no two statements).
                    continue
                if run and isinstance(root, SNode):
                    # Statements read at the top of a file, where C# wraps each in
                    # a node of its own, are the statements any block holds.
                    root.items = [_unwrapped_statement(i) for i in root.items]
                metas = tuple(o.meta for o in occs)
                whole = _whole_node(found[0], found[1]) if run and found is not None else None
                sk = Skeleton(lang, code, root, metas, ctx, semis, terminator, forms, selector, run, whole)
                if len(conv.holes) == wanted:
                    # A keyword read as a name (`static` as an argument), or a
                    # name made up, is how a grammar reads code it did not
                    # expect there: another context may read it as it is.
                    if not named_keyword and (
                        found is None
                        or not (
                            # An annotation read apart from what it annotates (Kotlin reads
                            # `@A(x)` before a `fun` and another one as an expression).
                            (run and stripped.startswith("@"))
                            or _misread_words(lang, found[1], att.source)
                            or _declared_product(found[0], found[1])
                            or _swallows_lines(tree.root_node, conv.spans, att.source)
                            or (lang == "haskell" and _cases_without_alternatives(found[1]))
                            or _local_function(lang, found[1])
                            or _binding_function(lang, found[1])
                        )
                    ):
                        return sk
                    if misread is None:
                        misread = sk
                elif fallback is None:
                    fallback = sk
        if keyword and fallback is None:
            break
    else:
        # A reading with a keyword read as a name is wrong where a later pass
        # reads the code as it is (`switch ($X) { $$$C }` is no constructor).
        if misread is not None:
            opening = re.match(r"\w+", stripped)
            word = opening.group(0) if opening else ""
            if word in _CLAUSE_WORDS and _first_word_named(misread.root, word):
                # A clause alone (`else { $$$B }`) read as a call of `else` would match nothing.
                raise _syntax_error(
                    lang,
                    code,
                    lead,
                    f"{lang} code does not parse as written: `{word}` opens a clause, which stands only"
                    " in its statement; write the statement (`if $C { $$$A } else { $$$B }`), or a rule"
                    " with `kind` and `inside`",
                )
            return misread
    # A reading that lacks a hole is the last resort: a later pass may read
    # the metavariable where it stands (`impl $T { $$$B }`).
    if fallback is not None:
        # Where `$NAME` is the language's own syntax (a shell's heredoc), text
        # that spells one is that text.
        glued = (
            _glued_meta(fallback, _SHELL_OWN)
            if lang == "bash"
            else None
            if lang in _DOLLAR_NAMES
            else _glued_meta(fallback)
        )
        if glued is not None:
            meta, token = glued
            # Read as a token of its own, it is where the grammar takes no node.
            why = (
                "no node goes where it stands"
                + ("; a command ends at a `;` or a line break (`{ $$$B; }`)" if lang == "bash" else "")
                if token.strip() == meta.text
                else f"it is read as part of the token {clipped(token)!r}; a metavariable stands"
                " for a whole node (a rule's regex or constraints say what a token holds)"
            )
            raise _syntax_error(
                lang,
                code,
                len(code[: meta.at[0]].encode()),
                f"{lang} code does not parse with {meta.text} as a node: {why}",
            )
        return fallback
    if keyword:
        return Skeleton(
            lang, code, SNode(stripped, False, False, [stripped], leaf=True), (), "{}", False, ";"
        )
    if unselected:
        raise ValueError(f"no {selector} node in the {lang} code {code!r}")
    offset, what = best_error if best_error is not None else (0, "no parse")
    if unaligned and best_error is None:
        what = "it parses, but as part of a larger node: no node or run of siblings spans exactly the code"
    lower = _LOWER_META_RE.search(code)
    if lower is not None:
        what += (
            f" (metavariables are upper-case: {lower.group(0)} is not one;"
            f" write {lower.group(0)[: lower.start(1) - lower.start()]}{lower.group(1).upper()})"
        )
    raise _syntax_error(lang, code, offset, f"{lang} code does not parse: {what}")


#: Keywords that open a clause of a statement and are no name in any language:
#: a pattern read with one of them as a name is no pattern of the clause.
_CLAUSE_WORDS = frozenset(
    {"else", "elif", "elsif", "elseif", "when", "ensure", "rescue", "catch", "finally", "except", "where",
     "default", "case", "then"}
)  # fmt: skip


def _first_word_named(root: SNode | SHole, word: str) -> bool:
    """Whether the first leaf of ``root`` is ``word`` read as a named node (a name, a label)."""
    n: SNode | SHole | str = root
    while isinstance(n, SNode) and not n.leaf:
        n = next((i for i in n.items if not isinstance(i, str)), "")
    return isinstance(n, SNode) and n.named and n.items == [word]


# Modifiers only a member takes: a declaration that has one is a field, though
# the grammar reads it as a local variable at the top of a file.
_MEMBER_ONLY = frozenset(
    {"public", "private", "protected", "internal", "static", "abstract", "override", "virtual"}
)


def _misread_words(lang: str, nodes: list[Node], source: bytes) -> bool:
    """Whether a name among ``nodes`` (and their descendants) is spelled as one
    of the grammar's keywords, or is empty (a name the grammar made up to
    recover, as C#'s `_kq(<T>)` gets one before its `<`), or a local variable
    has a member's modifier (`private int x;` is a Java or C# field)."""
    lang_ = language(lang)
    stack = list(nodes)
    while stack:
        n = stack.pop()
        if n.child_count:
            if (
                n.type in ("modifiers", "modifier")
                and n.parent is not None
                and n.parent.type.startswith("local_")
            ):
                if any(
                    w in _MEMBER_ONLY
                    for w in source[n.start_byte : n.end_byte].decode(errors="replace").split()
                ):
                    return True
            stack.extend(n.children)
            continue
        if not n.is_named:
            continue
        word = source[n.start_byte : n.end_byte].decode(errors="replace")
        if not word:
            return True
        if word.isidentifier() and word != n.type and lang_.id_for_node_kind(word, False) is not None:
            return True
    return False


def _local_function(lang: str, nodes: list[Node]) -> bool:
    """Whether the code is a C# method read as a local function, as a file's
    top-level statements read it: a class reads it as the method it most often
    is (a rule's `kind: local_function_statement` asks for the other)."""
    if lang not in ("c_sharp", "csharp") or len(nodes) != 1:
        return False
    n = nodes[0]
    while n.named_child_count == 1 and n.type in ("compilation_unit", "global_statement"):
        n = n.named_children[0]
    return (
        n.type == "local_function_statement" and n.parent is not None and n.parent.type == "global_statement"
    )


def _binding_function(lang: str, nodes: list[Node]) -> bool:
    """Whether the code is a C++ lambda (`[$C]($$$P) { $$$B }`) read as a
    function whose name is a structured binding, which no program declares."""
    if lang != "cpp" or len(nodes) != 1:
        return False
    n = nodes[0]
    while n.named_child_count == 1 and n.type == "translation_unit":
        n = n.named_children[0]
    declarator = n.child_by_field_name("declarator") if n.type == "function_definition" else None
    inner = declarator.child_by_field_name("declarator") if declarator is not None else None
    return inner is not None and inner.type == "structured_binding_declarator"


def _declared_product(container: Node, nodes: list[Node]) -> bool:
    """Whether the code is C's `a * b` (or C++'s `a & b`, `a && b`) read as the
    declaration it is only as a statement: the `;` a context put after it
    made it one.  Written without the `;`, it is the expression."""
    return (
        container.type == "declaration"
        and len(nodes) == 2
        and nodes[0].type == "type_identifier"
        and nodes[1].type in ("pointer_declarator", "reference_declarator")
        and nodes[1].named_child_count == 1
        and nodes[1].named_children[0].type == "identifier"
    )


_DOLLAR_NAMES = frozenset({"bash", "php", "perl"})


#: Where a shell reads `$NAME` as its own (an expansion, in a string or a
#: heredoc): a metavariable's spelling left there is that text.
_SHELL_OWN = frozenset(
    {"heredoc_body", "heredoc_content", "string", "string_content", "simple_expansion", "expansion", "raw_string",
     "ansi_c_string", "translated_string"}
)  # fmt: skip


def _glued_meta(sk: Skeleton, own: frozenset[str] = frozenset()) -> tuple[Meta, str] | None:
    """A metavariable of a reading that has no hole for it, read into a token
    that is no comment (Ruby's `@$A`) nor in a node of the kinds ``own``, with
    that token's text; None when each one left as text stands in one."""
    loose = [m for m in sk.metas if not is_hole(sk, m.index)]
    stack: list[SNode | SHole | str] = [sk.root]
    while stack:
        n = stack.pop()
        if not isinstance(n, SNode) or "comment" in n.kind or n.kind in own:
            continue
        # A token's text, or the text a literal holds between its tokens (Dart's strings).
        if n.leaf or n.verbatim:
            text = "".join(i for i in n.items if isinstance(i, str))
            for m in loose:
                if m.text in text:
                    return m, text
        stack.extend(n.items)
    return None


def _is_run(container: Node, nodes: list[Node], code_end: int) -> bool:
    """Whether the code is several siblings (statements): the run, not their
    parent, is what it means, though a whole file spans it. Not when the
    parent adds only tokens (the `;` a context put after a declaration), nor
    the blanks the code ends with (``code_end``, in the source)."""
    if len(nodes) > 1:
        # An expression the grammar has no node for (Dart's call: a name, then
        # a `selector`) is a run, though a context's `;` made it a statement.
        after = [c for c in container.children if c.start_byte >= nodes[-1].end_byte]
        if not after and container.parent is not None and nodes[-1].end_byte < container.end_byte <= code_end:
            return False  # the node itself, but for the line break it ends with (C's `#include`)
        return (
            container.start_byte != nodes[0].start_byte
            or not after
            or any(c.is_named for c in after)
            or container.type == "expression_statement"
        )
    node = nodes[0]
    named = sum(1 for c in node.children if c.is_named and "comment" not in c.type)
    if named < 2:
        # A file of one node and the tokens the grammar hangs on the file (the
        # `;` of C's `enum E { A };`), or comments (a line copied with its own):
        # those siblings, wherever they stand.
        return (
            node.parent is None
            and named == 1
            and any(not c.is_named or "comment" in c.type for c in node.children)
        )
    # A statement list the grammar makes without delimiters (Go's `statement_list`).
    return node.parent is None or (_STATEMENTS_RE.search(node.type) is not None and node.children[0].is_named)


def _whole_node(container: Node, nodes: list[Node]) -> str | None:
    """The kind of ``container`` when the run ``nodes`` is all of it but the blanks
    it ends with (the line break of C's `#define N 1`, which the code lacks)."""
    tail = (container.text or b"")[nodes[-1].end_byte - container.start_byte :]
    if (
        len(nodes) > 1
        and container.parent is not None
        and container.start_byte == nodes[0].start_byte
        and tail
        and not tail.strip()
        and not _STATEMENTS_RE.search(container.type)
    ):
        return str(container.type)
    return None


# Nodes whose children are statements, beside those _STATEMENTS_RE names.
_HOLDS_STATEMENTS = frozenset(
    {
        "compound_statement",
        "statement_block",
        "translation_unit",
        "program",
        "source_file",
        "constructor_body",
    }
)


def _cases_without_alternatives(nodes: list[Node]) -> bool:
    """Whether a Haskell `case` in ``nodes`` has no alternatives: what a `do`
    block makes of `case $X of` with its alternatives indented under it as
    deep as the block's statements (the next one, on its own)."""
    todo = list(nodes)
    while todo:
        n = todo.pop()
        if n.type == "case" and n.is_named and n.child_by_field_name("alternatives") is None:
            return True
        todo.extend(n.named_children)
    return False


def _swallows_lines(root: Node, spans: Mapping[tuple[int, int], Meta], src: bytes) -> bool:
    """Whether a ``$$$`` metavariable written alone on its line is read as the
    start of a node that goes on to the next line (C reads ``$$$M`` and the
    ``d();`` below it as the declaration ``M d();``): not what it means."""
    for (s, e), meta in spans.items():
        if not (meta.seq and meta.own_line):
            continue
        n = root.descendant_for_byte_range(s, e)
        while n is not None and (n.start_byte, n.end_byte) == (s, e):
            n = n.parent
        line_end = src.find(b"\n", e)
        if (
            n is not None
            and line_end >= 0
            and n.start_byte > src.rfind(b"\n", 0, s)
            and n.end_byte > line_end
            and src[line_end : n.end_byte].strip()  # (not a block that ends with its line: Scala's)
            and not _LIST_RE.search(n.type)  # (the first of a block's lines)
        ):
            return True
    return False


_STATEMENTS_RE = re.compile(r"statement_list|^statements$|^body_statement$|^block$")


# How a metavariable may be written where a name alone does not parse: a
# typed parameter or field (`T name`, `name: T`), a statement (a call, `ID;`),
# a PHP variable (what `$X = $V;` means there), a constant (Ruby's class names),
# a string (where a module is named: `import $X from $M`).
_META_FORMS = ("{} {}", "{}: {}", "{}()", "{};", "{}();", "${}", "K{}", '"{}"', "{} {};")


def _meta_forms(lang: str) -> tuple[str, ...]:
    """``_META_FORMS`` in the order to try them in ``lang``: a variable first
    where `$NAME` is one (a PHP parameter is `$x`)."""
    if lang in _DOLLAR_NAMES:
        return ("${}", *(f for f in _META_FORMS if f != "${}"))
    return _META_FORMS


def _clause_runs(lang: str, code: str, occs: list[_Occurrence]) -> tuple[tuple[int, str], ...]:
    """The forms of the ``$$$`` metavariables that stand for clauses or parts
    where a name alone is none: a Scala `match` or `catch` block holds `case`
    clauses (a run alone on its line there), a C++ constructor's `:` its
    members' initializers (`x(1), y(2)`), an HCL block its attributes and
    blocks, a Nix `let` its bindings."""
    out = []
    for o in occs:
        if not o.meta.seq:
            continue
        before = code[: o.meta.at[0]].rstrip()
        last = before[before.rfind("\n") + 1 :].strip()
        if (
            lang == "scala"
            and o.meta.own_line
            and (_SCALA_CLAUSES.search(before) or last.startswith("case "))
        ):
            out.append((o.meta.index, "case {} => {}"))
        elif (
            lang == "cpp"
            and _CPP_INITIALIZERS.search(before)
            and code[o.meta.at[1] :].lstrip().startswith("{")
        ):
            out.append((o.meta.index, "{}()"))
        elif lang == "hcl" and (before.endswith("{") or o.meta.own_line):
            out.append((o.meta.index, "{} = 0"))  # a block's body holds attributes and blocks
        elif lang == "nix" and (
            re.search(r"(?<![\w'-])let$", before)
            or (before.endswith(";") and re.match(r"\s*in(?![\w'-])", code[o.meta.at[1] :]))
        ):
            out.append((o.meta.index, "{} = 0;"))  # a `let` holds bindings
    return tuple(out)


_SCALA_CLAUSES = re.compile(r"\b(?:match|catch)\s*\{$")
_CPP_INITIALIZERS = re.compile(r"\)\s*(?:noexcept\s*)?:$")


def _reshaped(
    occs: list[_Occurrence], offset: int, forms: tuple[tuple[int, str], ...], order: tuple[str, ...]
) -> tuple[tuple[int, str], ...] | None:
    """The next forms (from ``order``) to try for an error at ``offset``: the
    next form of the metavariable the error is at or after, or once its forms
    are spent, of the one before it (the later ones plain again: an error is
    not always reported where the form that caused it stands); None when none
    is left."""
    have = dict(forms)
    for meta in reversed([o.meta for o in occs if o.meta.at[0] <= offset]):
        if meta.index in have and have[meta.index] not in order:
            continue  # a form of its own place (a clause), kept
        at = order.index(have[meta.index]) + 1 if meta.index in have else 0
        if at < len(order):
            have[meta.index] = order[at]
            return tuple(sorted(have.items()))
        del have[meta.index]
    return None


def _select(nodes: list[Node], kind: str) -> Node | None:
    """The first node of ``kind`` in a pre-order walk of ``nodes``."""
    stack = list(reversed(nodes))
    while stack:
        n = stack.pop()
        if n.type == kind:
            return n
        stack.extend(reversed(n.children))
    return None


def too_deep(lang: str) -> SyntaxError:
    """The error for code nested deeper than a pattern or template is read to
    (Python's own recursion limit bounds it).

    >>> too_deep("python").msg
    'python code nests too deeply for a pattern or template'
    """
    return SyntaxError(f"{lang} code nests too deeply for a pattern or template")


def _syntax_error(lang: str, code: str, offset: int, message: str) -> SyntaxError:
    """A SyntaxError at byte ``offset`` of ``code``, its line and column in the message."""
    line, col = _line_col(code, offset)
    exc = SyntaxError(f"{message} at line {line}, column {col}")
    lines = code.splitlines()
    exc.filename, exc.lineno, exc.offset = f"<{lang} template>", line, col
    exc.text = lines[line - 1] if 0 < line <= len(lines) else ""
    return exc


def _source_offset(att: _Attempt, code_offset: int) -> int:
    """The offset in the substituted source of a code offset outside any metavariable."""
    p = att.lo + code_offset
    for occ_range, meta in att.spans.items():
        if meta.at[1] <= code_offset:
            p += (occ_range[1] - occ_range[0]) - (meta.at[1] - meta.at[0])
    return p


# Nodes a grammar puts around each statement at the top of a file only.
_TOP_WRAPPERS = frozenset({"global_statement"})


def _unwrapped_statement(item: str | SNode | SHole) -> str | SNode | SHole:
    if isinstance(item, SNode) and item.kind in _TOP_WRAPPERS and len(item.items) == 1:
        inner = item.items[0]
        return inner if not isinstance(inner, str) else item
    return item


def _build_root(
    conv: _Converter,
    found: tuple[Node, list[Node]] | None,
    code: str,
    lead: int,
    trail: int,
    lo: int,
    hi: int,
    stripped: str,
) -> SNode | SHole:
    raw = code.encode()
    head = raw[:lead].decode()
    tail = raw[trail:].decode()
    if found is None:
        return SNode("", False, False, [code] if code else [])
    container, nodes = found
    if len(nodes) == 1:
        node = nodes[0]
        # Several nodes share the range (module > statement > call): keep the
        # innermost, the one a pattern is about, unless a hole lies on the way.
        while (
            node.child_count == 1
            and (node.children[0].start_byte, node.children[0].end_byte) == (lo, hi)
            and (lo, hi) not in conv.spans
        ):
            node = node.children[0]
        parent = node.parent.type if node.parent is not None else ""
        root = conv.convert(node, parent, False)
    else:
        root = SNode(container.type, True, verbatim_node(container, conv.src, False))
        pos = lo
        for n in nodes:
            if n.start_byte > pos:
                root.items.append(conv.text(pos, n.start_byte))
            item = conv.convert(n, container.type, root.verbatim)
            root.anchored = root.anchored or (
                isinstance(item, SNode) and item.anchored and n.start_byte == lo
            )
            root.items.append(item)
            pos = n.end_byte
        _mark_ends(root.items)
    if not head and not tail:
        return root
    if isinstance(root, SHole) or root.leaf:
        kind = root.kind
        root = SNode(kind, True, False, [root])
    if head:
        root.items.insert(0, head)
    if tail:
        root.items.append(tail)
    return root


def chain_links(lang: str, root: SNode | SHole) -> frozenset[str]:
    """The named metavariables under ``root`` that stand as what a member, an
    index or a call applies to (``$F`` in ``$F()``), in a language with
    optional chains: an optional chain bound there went on in the source.

    >>> sorted(chain_links("javascript", parse_quasi("javascript", "$F($A).$B").root))
    ['F']
    """
    if not has_optional_chains(lang):
        return frozenset()
    out: set[str] = set()
    stack: list[SNode | SHole | str] = [root]
    while stack:
        n = stack.pop()
        if not isinstance(n, SNode):
            continue
        kids = [i for i in n.items if not isinstance(i, str)]
        first = kids[0] if kids else None
        if n.kind in _CHAIN_LINKS and isinstance(first, SHole) and not first.meta.seq and first.meta.name:
            out.add(first.meta.name)
        stack.extend(kids)
    return frozenset(out)


def hole_literals(root: SNode | SHole) -> dict[str, frozenset[str | None]]:
    """For each named metavariable under ``root``, the opening delimiters of
    the string literals its holes stand in (None for a hole outside any).

    >>> hole_literals(parse_quasi("python", 'f($A, "$B")').root)
    {'A': frozenset({None}), 'B': frozenset({'"'})}
    """
    out: dict[str, set[str | None]] = {}
    stack: list[SNode | SHole | str] = [root]
    while stack:
        n = stack.pop()
        if isinstance(n, SHole):
            if n.meta.name is not None:
                # (A format string is a literal of its own kind: its braces are read.)
                literal = FORMAT + n.literal if n.braces and n.literal is not None else n.literal
                out.setdefault(n.meta.name, set()).add(literal)
        elif isinstance(n, SNode):
            stack.extend(reversed(n.items))
    return {k: frozenset(v) for k, v in out.items()}


def is_hole(sk: Skeleton, index: int) -> bool:
    """Whether the metavariable occurrence ``index`` of ``sk`` is a hole: a place in
    the skeleton that a value fills, not text inside a literal or a comment (unless
    ``parse_quasi`` was asked for holes in literals).

    >>> sk = parse_quasi("python", "f($A)  # $B")
    >>> [(m.text, is_hole(sk, m.index)) for m in sk.metas]
    [('$A', True), ('$B', False)]
    """
    stack: list[SNode | SHole | str] = [sk.root]
    while stack:
        n = stack.pop()
        if isinstance(n, SHole):
            if n.meta.index == index:
                return True
        elif isinstance(n, SNode) and not n.leaf:
            stack.extend(n.items)
    return False


class MisreadError(ValueError):
    """Code put in a place the code around it would read otherwise, and
    parentheses cannot keep it together (or the language has none).  ``at``
    is the replacement's place among those checked together, when known."""

    at: int | None = None


#: How code put in a place is read there: as written, otherwise, or (amid
#: syntax errors, which the check after a rewrite reports) it cannot tell;
#: or as several whole nodes side by side (``RUN``: not one, but no node
#: takes part of it and part of the code around it).
READ, MISREAD, UNCLEAR, RUN = "read", "misread", "unclear", "run"


def clipped(text: str, most: int = 60) -> str:
    """``text`` cut to ``most`` characters for a message, ``...`` marking the cut.

    >>> clipped("f(a, b)"), clipped("x" * 70, 10)
    ('f(a, b)', 'xxxxxxx...')
    """
    return text if len(text) <= most else text[: most - 3] + "..."


#: What only JSX reads: out of JSX, `{x}` is an object (or a block) and the text
#: `hello` a name, so no parentheses keep such a value what it was.
JSX_ONLY = frozenset({"jsx_expression", "jsx_text"})


def reads_as(sk: Skeleton, meta: Meta, text: str, kind: str | None) -> bool:
    """Whether ``text``, put in the template's code in place of ``meta``, is read
    as one node there (of kind ``kind``, when it is one of the grammar's): the
    code around it does not take part of it, nor it part of the code.

    >>> sk = parse_quasi("python", "y = $X * 2")
    >>> reads_as(sk, sk.metas[0], "a + b", "binary_operator"), reads_as(sk, sk.metas[0], "a.b", None)
    (False, True)
    """
    return reading(sk, meta, text, kind) == READ


def reading(
    sk: Skeleton, meta: Meta, text: str, kind: str | frozenset[str] | None, chain_goes_on: bool = False
) -> str:
    """How ``text``, put in the template's code in place of ``meta``, is read
    there: ``READ`` as one node (of kind ``kind``, or one of the kinds, when
    the grammar knows it), ``RUN`` as several whole ones side by side,
    ``MISREAD`` otherwise, ``UNCLEAR`` when the code has syntax errors (or
    for Python, CPython refuses it) there.  With ``chain_goes_on``, an optional
    chain may go on into what the template applies to it (it did in the source).

    >>> sk = parse_quasi("python", "y = $X * 2")
    >>> reading(sk, sk.metas[0], "a + b", None), reading(sk, sk.metas[0], "a +", None)
    ('misread', 'unclear')
    """
    s, e = meta.at
    got = _with_text(sk, s, e, text)
    if got is None:
        return MISREAD  # the text itself reads as a metavariable
    att, tree, lo, hi = got
    if tree.root_node.has_error or (sk.lang == "python" and not _python_accepts(sk, att.source)):
        return UNCLEAR
    node = tree.root_node
    while True:
        if (node.start_byte, node.end_byte) == (lo, hi):
            break
        inner = [c for c in node.children if c.start_byte <= lo and c.end_byte >= hi]
        if len(inner) != 1:
            # Whole siblings, from the first to the last (`a, b` as a call's arguments)?
            over = [c for c in node.children if c.end_byte > lo and c.start_byte < hi]
            whole = bool(over) and over[0].start_byte == lo and over[-1].end_byte == hi
            return RUN if whole and len(over) > 1 else MISREAD
        node = inner[0]
    # Where it stands, as the language reads it (not only its grammar).
    top = node
    while top.parent is not None and (top.parent.start_byte, top.parent.end_byte) == (lo, hi):
        top = top.parent
    while True:
        if misranked(sk.lang, top):
            return MISREAD
        if top == node:
            break
        top = top.children[0]
    if holds_misranked(sk.lang, node):
        return MISREAD
    if not chain_goes_on and extends_a_chain(sk.lang, top):
        return MISREAD
    wanted = {kind} if isinstance(kind, str) else kind or set()
    known = {k for k in wanted if language(sk.lang).id_for_node_kind(k, True) is not None}
    if not known:
        return READ
    while True:
        if node.type in known:
            return READ
        if node.child_count != 1:
            return MISREAD
        node = node.children[0]


def ignores_case(sk: Skeleton, leaf: SNode) -> bool:
    """Whether the grammar reads the word ``leaf`` (a leaf of ``sk``: a token,
    or a keyword the grammar names, as SQL's ``keyword_select``) as the same
    word with its letters' case swapped, as PHP reads ``ECHO`` for ``echo``.
    A name is no such word: any other word reads as a name too.  Decided once
    per kind of leaf in a grammar.

    >>> php, py = parse_quasi("php", "echo $X;"), parse_quasi("python", "return $X")
    >>> ignores_case(php, php.root.items[0]), ignores_case(py, py.root.items[0])
    (True, False)
    """
    text = leaf.items[0] if leaf.items and isinstance(leaf.items[0], str) else ""
    if text.swapcase() == text:
        return False
    key = (sk.lang, leaf.kind, leaf.named)
    known = _CASELESS.get(key)
    if known is None:
        known = _reads_alone(sk, leaf, text.swapcase()) and not (
            leaf.named and _reads_alone(sk, leaf, "z" * max(2, len(text)))
        )
        _CASELESS[key] = known
    return known


# ignores_case's answers: (language, kind, named) -> whether the kind's words ignore case.
_CASELESS: dict[tuple[str, str, bool], bool] = {}


_META_START = re.compile(r"\$(?=[A-Z_])")
_META_ALONE = re.compile(r"\$(?:\$\$)?[A-Z_][A-Z0-9_]*")


def _with_text(sk: Skeleton, s: int, e: int, text: str) -> tuple[_Attempt, Tree, int, int] | None:
    """The code of ``sk`` with ``text`` in place of its bytes ``[s, e)``, read as
    ``sk`` was: the attempt, its tree and where ``text`` lies in its source;
    None when ``text`` itself reads as a metavariable."""
    raw = sk.code.encode()
    if "$" in text and not _META_ALONE.fullmatch(text):
        # What reads as a metavariable inside the text (a string's "$B") is its text, no
        # hole: read with a name of its length there.
        text = _META_START.sub("_", text)
    code = (raw[:s] + text.encode() + raw[e:]).decode()
    _, occs = _scan(code)
    if any(o.meta.at[0] < s + len(text.encode()) and o.meta.at[1] > s for o in occs):
        return None
    att = _substitute(code, occs, sk.context, sk.semis, sk.lang, sk.terminator, sk.forms)
    lo = _source_offset(att, s)
    return att, parser(sk.lang).parse(att.source), lo, lo + len(text.encode())


def token_at(sk: Skeleton, meta: Meta, text: str) -> tuple[str, bool] | None:
    """The kind of the one token ``text`` is, put in the template's code in
    place of ``meta``, and whether it is named (a name, a literal) or not (a
    keyword); None where it is no one token there.

    >>> sk = parse_quasi("python", "$N(x)")
    >>> token_at(sk, sk.metas[0], "not"), token_at(sk, sk.metas[0], "True"), token_at(sk, sk.metas[0], "f")
    (('not', False), ('true', True), ('identifier', True))
    """
    s, e = meta.at
    got = _with_text(sk, s, e, text)
    if got is None:
        return None
    _, tree, lo, hi = got
    node = tree.root_node.descendant_for_byte_range(lo, max(lo, hi - 1))
    if node is None or node.child_count or (node.start_byte, node.end_byte) != (lo, hi):
        return None
    return node.type, node.is_named


def refused_at(sk: Skeleton, meta: Meta, text: str) -> bool:
    """Whether the language refuses ``text``, put in the template's code in
    place of ``meta``, though its grammar reads it there (``refused_there``):
    JavaScript's `function () {}` or `{a: 1, b: 2}` as a statement, Java's `a + 1;`.

    >>> sk = parse_quasi("java", "class A { void f() { $X; } }")
    >>> refused_at(sk, sk.metas[0], "a + 1"), refused_at(sk, sk.metas[0], "g(a)")
    (True, False)
    """
    s, e = meta.at
    got = _with_text(sk, s, e, text)
    if got is None:
        return False
    _, tree, lo, hi = got
    node = tree.root_node.descendant_for_byte_range(lo, max(lo, hi - 1))
    spanned: list[Node] = []
    while node is not None and node.start_byte >= lo and node.end_byte <= hi:
        spanned.append(node)
        node = node.parent
    if node is not None and node.type == "expression_statement" and node.start_byte == lo:
        spanned.append(node)  # the statement, its `;` the template's
    return any(refused_there(sk.lang, n) for n in spanned if n.start_byte == lo)


def reads_without(sk: Skeleton, meta: Meta) -> bool:
    """Whether the code of ``sk`` reads as it does with nothing in place of
    ``meta``: the node that holds the metavariable is still there, of its
    kind (`f($A)` is still a call's arguments as `f()`; `g($A - 1)` is no
    subtraction as `g( - 1)`).  Where the code does not parse with a name in
    place of the metavariable either, this cannot tell, and says it does.

    >>> reads_without(parse_quasi("python", "f(1, $A)"), parse_quasi("python", "f(1, $A)").metas[0])
    True
    >>> reads_without(parse_quasi("python", "g($A - 1)"), parse_quasi("python", "g($A - 1)").metas[0])
    False
    """
    s, e = meta.at
    named = _with_text(sk, s, e, "_kq")
    bare = _with_text(sk, s, e, "")
    if named is None or bare is None or named[1].root_node.has_error:
        return True
    _, tree, lo, hi = named
    node = tree.root_node.descendant_for_byte_range(lo, hi)
    while (
        node is not None
        and node.parent is not None
        and node.parent.start_byte == lo
        and node.parent.end_byte == hi
    ):
        node = node.parent
    holder = node.parent if node is not None else None
    if holder is None:
        return True
    empty = bare[1].root_node
    if empty.has_error:
        return False
    start, end = holder.start_byte, holder.end_byte - (hi - lo)
    end = start + len(bare[0].source[start:end].rstrip())  # (`return ` ends with its word)
    if start == end:
        return True  # the holder was the name alone: nothing is left to read otherwise
    found = empty.descendant_for_byte_range(start, end)
    while found is not None and (found.start_byte, found.end_byte) == (start, end):
        if found.type == holder.type:
            return True
        found = found.parent
    return False


def _reads_alone(sk: Skeleton, leaf: SNode, text: str) -> bool:
    """Whether ``text`` in place of ``leaf`` is read as a leaf of its kind."""
    old = leaf.items[0] if leaf.items and isinstance(leaf.items[0], str) else ""
    s, e = leaf.at, leaf.at + len(old.encode())
    got = _with_text(sk, s, e, text) if sk.code.encode()[s:e] == old.encode() else None
    if got is None:
        return False  # a leaf of the context (not of the code), or a metavariable
    _, tree, lo, hi = got
    node = tree.root_node.descendant_for_byte_range(lo, hi)
    return (
        not tree.root_node.has_error
        and node is not None
        and (node.start_byte, node.end_byte) == (lo, hi)
        and node.is_named == leaf.named
        and node.type == leaf.kind
    )


def _python_accepts(sk: Skeleton, source: bytes) -> bool:
    """Whether CPython's parser takes ``source``, where it takes the template
    itself: tree-sitter's grammar is looser (``c and lambda: 4``)."""
    # (Code nested past what CPython's parser holds is code it refuses, too.)
    try:
        ast.parse(source)
        return True
    except (SyntaxError, ValueError, MemoryError, RecursionError):
        pass
    _, occs = _scan(sk.code)
    try:
        ast.parse(_substitute(sk.code, occs, sk.context, sk.semis, sk.lang, sk.terminator, sk.forms).source)
    except (SyntaxError, ValueError, MemoryError, RecursionError):
        return True  # CPython does not read the template there either: nothing to learn
    return False


# Expressions ranked below every operator (`(low, operators, heads)` per
# language): tree-sitter's grammars also read them as operands (`2 ** () => 4`,
# `-c = 9`), which the languages refuse or read otherwise. A head is the
# first child: a call's callee, a member access's object, a condition.
_JS_RANKS = (
    frozenset({"arrow_function", "assignment_expression", "augmented_assignment_expression",
               "yield_expression", "sequence_expression"}),
    frozenset({"binary_expression", "unary_expression", "update_expression", "await_expression"}),
    frozenset({"member_expression", "call_expression", "subscript_expression", "ternary_expression"}),
)  # fmt: skip
_C_RANKS = (
    frozenset({"assignment_expression", "comma_expression", "lambda_expression"}),
    frozenset({"binary_expression", "unary_expression", "update_expression", "pointer_expression",
               "cast_expression", "sizeof_expression"}),
    frozenset({"field_expression", "call_expression", "subscript_expression", "conditional_expression"}),
)  # fmt: skip
_JAVA_RANKS = (
    frozenset({"assignment_expression", "lambda_expression"}),
    frozenset({"binary_expression", "unary_expression", "update_expression", "cast_expression"}),
    frozenset({"field_access", "method_invocation", "array_access", "ternary_expression"}),
)
# Python refuses `-not x`, `1 + lambda: 2` and `a < not b`, which its grammar reads.
_PY_RANKS = (
    frozenset({"not_operator", "lambda"}),
    frozenset({"unary_operator", "binary_operator", "comparison_operator"}),
    frozenset({"attribute", "call", "subscript"}),
)
# TypeScript's `as` and `satisfies` rank with the relational operators, below a member access.
_TS_RANKS = (_JS_RANKS[0] | {"as_expression", "satisfies_expression"}, _JS_RANKS[1], _JS_RANKS[2])
# What TypeScript's postfix `!` cannot take bare, though its grammar reads `a + b!` as `(a + b)!`.
_NOT_POSTFIX = frozenset({"binary_expression", "unary_expression", "ternary_expression", "as_expression",
                          "satisfies_expression", "await_expression", "assignment_expression",
                          "augmented_assignment_expression", "arrow_function", "yield_expression",
                          "sequence_expression"})  # fmt: skip
_RANKS = {"javascript": _JS_RANKS, "typescript": _TS_RANKS, "tsx": _TS_RANKS, "c": _C_RANKS,
          "cpp": _C_RANKS, "java": _JAVA_RANKS, "python": _PY_RANKS}  # fmt: skip
# Grammars that read every infix operator alike (Scala's as left-associative,
# Haskell's as right-associative: Haskell's ranks are the program's own), so
# an operator expression as an operand of another may be read otherwise.
_FLAT = {"scala": "infix_expression", "haskell": "infix"}


# Operators a language refuses to chain (`a == b == c`), though its grammar
# reads them left to right: the kind of their node, and the operators of each rank.
_EQUALITY = frozenset({"==", "!=", "===", "!==", "<>", "<=>"})
_COMPARISONS = frozenset({"<", "<=", ">", ">="})
_UNCHAINED = {
    "ruby": ("binary", (_EQUALITY | {"=~", "!~"},)),
    "php": ("binary_expression", (_EQUALITY, _COMPARISONS)),
    "rust": ("binary_expression", (_EQUALITY | _COMPARISONS,)),
}


def _unchained(n: Node, parent: Node, ranks: tuple[frozenset[str], ...]) -> bool:
    inner, outer = n.child_by_field_name("operator"), parent.child_by_field_name("operator")
    if inner is None or outer is None:
        return False
    a, b = inner.type, outer.type
    return any(a in rank and b in rank for rank in ranks)


def _scala_misranked(n: Node, parent: Node) -> bool:
    """Whether Scala reads the operator expression ``n`` otherwise as an operand
    of ``parent``: an operator ranks by its first character, one ending in
    ``:`` takes its operands from the right."""
    inner, outer = _scala_operator(n), _scala_operator(parent)
    if inner is None or outer is None:
        return True
    mine, theirs = _scala_rank(inner), _scala_rank(outer)
    if mine != theirs:
        return mine < theirs
    left = parent.children[0] == n
    return left == outer.endswith(":")


def _scala_operator(n: Node) -> str | None:
    op = n.child_by_field_name("operator")
    return op.text.decode() if op is not None and op.text else None


def _scala_rank(op: str) -> int:
    if op.endswith("=") and op not in ("<=", ">=", "!=") and not op.startswith("="):
        return 0  # an assignment operator
    first = op[0]
    if first.isalpha() or first == "_":
        return 1
    return _SCALA_RANKS.get(first, 10)


_SCALA_RANKS = {
    "|": 2,
    "^": 3,
    "&": 4,
    "=": 5,
    "!": 5,
    "<": 6,
    ">": 6,
    ":": 7,
    "+": 8,
    "-": 8,
    "*": 9,
    "/": 9,
    "%": 9,
}


_TS = frozenset({"typescript", "tsx"})
# What binds less tightly than TypeScript's `as`, which ranks with `<`: an
# operand of it is read as the operand's right side alone (`a || b as T` is
# `a || (b as T)`), and `<T>x` binds as a unary operator.
_BELOW_RELATIONAL = frozenset({"||", "&&", "??", "|", "^", "&", "==", "!=", "===", "!=="})
_TS_LOOSE = frozenset(
    {"ternary_expression", "assignment_expression", "augmented_assignment_expression", "arrow_function",
     "yield_expression", "sequence_expression"}
)  # fmt: skip


def _ts_misranked(n: Node, parent: Node) -> bool:
    if parent.type in ("as_expression", "satisfies_expression") and parent.children[0] == n:
        op = n.child_by_field_name("operator")
        return n.type in _TS_LOOSE or (
            n.type == "binary_expression" and op is not None and op.type in _BELOW_RELATIONAL
        )
    if parent.type == "type_assertion" and parent.children[-1] == n:
        # (`<T>(x) => x` is a generic arrow function, `<T>a + b` adds to `<T>a`.)
        return n.type in _TS_LOOSE or n.type in ("binary_expression", "as_expression", "satisfies_expression")
    if _generic_call_like(n, parent):
        return True  # `f < a > (b)` is the call `f<a>(b)`, `f < a > `t`` a tagged template
    if n.type in ("constructor_type", "function_type") and parent.type in _TS_TYPE_OPERATIONS:
        # TypeScript's `new () => A | C` returns `A | C`: what follows a function type is its result's.
        return n.end_byte < parent.end_byte
    return False


_TS_TYPE_OPERATIONS = frozenset({"union_type", "intersection_type", "conditional_type"})


def _generic_call_like(n: Node, parent: Node) -> bool:
    """Whether the comparison ``n`` (`f < a`) is the left operand of a `>`:
    TypeScript and Kotlin read `f < a > (b)` as a call with type arguments,
    and the right operand may be a value yet to come."""
    if parent.type not in ("binary_expression", "comparison_expression") or parent.children[0] != n:
        return False
    if n.type not in ("binary_expression", "comparison_expression") or n.child_count != 3:
        return False
    return n.children[1].type == "<" and parent.child_count == 3 and parent.children[1].type == ">"


# What a Java or C# lambda cannot be the head of, parenthesised or not: it has no type there.
_LAMBDA_HEADS = {
    "java": frozenset({"field_access", "method_invocation", "array_access", "method_reference"}),
    "c_sharp": frozenset({"member_access_expression", "invocation_expression", "element_access_expression",
                          "conditional_access_expression"}),
}  # fmt: skip
_JSX_ELEMENTS = frozenset({"jsx_element", "jsx_self_closing_element"})


def _lambda_as_head(n: Node, heads: frozenset[str]) -> bool:
    """Whether the lambda ``n``, in any parentheses, is the head of one of ``heads``."""
    while n.parent is not None and n.parent.type == "parenthesized_expression":
        n = n.parent
    up = n.parent
    return up is not None and up.type in heads and up.children[0] == n


def _csharp_subtracted(n: Node, parent: Node) -> bool:
    """Whether C# reads the cast ``parent`` of ``n`` as a subtraction or an
    addition: ``(T)-x`` casts only when ``T`` is a keyword type."""
    if parent.type != "cast_expression" or parent.child_by_field_name("value") != n:
        return False
    cast_to = parent.child_by_field_name("type")
    if cast_to is None or cast_to.type == "predefined_type":
        return False
    first = n
    while first.child_count:
        first = first.children[0]
    return first.type in ("-", "+", "++", "--")


def _csharp_below_is(n: Node) -> bool:
    """Whether C# ranks the operator of ``n`` below its `is`, whose constant
    pattern the grammar reads ``n`` as: the pattern ends before it."""
    if n.type == "conditional_expression":
        return True
    op = n.child_by_field_name("operator") if n.type == "binary_expression" else None
    return op is not None and op.type in _BELOW_IS


_BELOW_IS = frozenset({"==", "!=", "&", "^", "|", "&&", "||", "??"})


#: The kinds of a named argument (or a parameter's default), which mean something
#: else out of their list: Python's `x=1` taken out of `f(x=1)` assigns.
NAMED_ARGUMENTS = {
    "python": ("keyword_argument", "default_parameter", "typed_default_parameter"),
    "ruby": ("pair",),
    "kotlin": ("value_argument",),
}


# Kotlin ends a statement at a line break, unless brackets are open or the next
# line starts with one of these: its grammar reads `a\n- b` as one subtraction.
_KOTLIN_GOES_ON = frozenset({"&&", "||", "?:", ".", "?.", "as", "as?", "::"})
_KOTLIN_BRACKETS = frozenset(
    {"parenthesized_expression", "value_arguments", "indexing_suffix", "collection_literal",
     "parenthesized_type", "function_value_parameters"}
)  # fmt: skip
_KOTLIN_BRACES = frozenset(
    {"statements", "lambda_literal", "class_body", "function_body", "control_structure_body",
     "when_entry", "source_file", "enum_class_body"}
)  # fmt: skip


def _kotlin_line_ended(n: Node) -> bool:
    """Whether Kotlin ends the statement before the operator of the binary
    expression ``n``: it starts a line outside brackets."""
    if n.named_child_count < 2 or n.child_count < 3:
        return False
    left, op = n.children[0], n.children[1]
    if op.is_named or op.type in _KOTLIN_GOES_ON:
        return False
    if b"\n" not in (n.text or b"")[left.end_byte - n.start_byte : op.start_byte - n.start_byte]:
        return False
    up = n.parent
    while up is not None and up.type not in _KOTLIN_BRACES:
        if up.type in _KOTLIN_BRACKETS:
            return False
        up = up.parent
    return True


def holds_misranked(lang: str, n: Node) -> bool:
    """Whether what ``n`` holds right inside it, below the nodes of its span,
    is ``misranked`` there: what parentheses hold is read in them (PHP's
    ``(isset)`` is no more a value than ``isset``).

    >>> from kovel.treesitter.grammars import parser
    >>> tree = parser("php").parse(b"<?php f((isset));")
    >>> call = tree.root_node.children[1].children[0]
    >>> holds_misranked("php", call.child_by_field_name("arguments").named_children[0])
    True
    """
    while True:
        inside = n.named_children
        if lang == "ruby":  # a call's arguments stand right inside it too: `f {a: 1}` passes a block
            inside = [*inside, *(g for c in inside if c.type == "argument_list" for g in c.named_children)]
        if any(misranked(lang, c) for c in inside):
            return True
        same = [c for c in n.children if (c.start_byte, c.end_byte) == (n.start_byte, n.end_byte)]
        if len(same) == 1:
            n = same[0]
        elif lang == "ruby" and n.type.startswith("parenthesized_") and n.named_child_count == 1:
            n = n.named_children[0]  # what parentheses hold is read in them as well
        else:
            return False


def _bash_misranked(n: Node, parent: Node) -> bool:
    """Whether bash reads ``n`` otherwise than its grammar does where it
    stands: a redirection applies to the last command of a list or pipeline
    before it (`a && b > f`), `!` and `time` to the whole pipeline they start
    (`! a | b`), and neither stands inside one."""
    if parent.type == "redirected_statement" and parent.child_by_field_name("body") == n:
        return n.type in _BASH_SEVERAL or _bash_timed(n)
    if parent.type == "pipeline":
        return n.type in _BASH_SEVERAL or _bash_timed(n)
    if n.type == "binary_expression" and parent.type == "unary_expression":
        return True  # `$(( -1 + 2 ))` is `(-1) + 2`
    inner = n.named_children[0] if n.type == "parenthesized_expression" and n.named_child_count == 1 else n
    if inner.type == "binary_expression" and any(c.type in _BASH_ARITHMETIC for c in inner.children):
        # `[[ 1 + 2 -eq 3 ]]`: a test reads words, and `1 + 2` is three of them.
        up: Node | None = parent
        while up is not None and up.type not in _BASH_ARITHMETIC_HOLDERS:
            if up.type == "test_command":
                return True
            up = up.parent
    return False


#: Arithmetic operators, and what reads arithmetic inside a test.
_BASH_ARITHMETIC = frozenset({"+", "-", "*", "/", "%", "**", "<<", ">>", "&", "|", "^"})
_BASH_ARITHMETIC_HOLDERS = frozenset(
    {"arithmetic_expansion", "command_substitution", "compound_statement", "subshell", "program"}
)


#: What runs several commands, or negates what it runs, in bash.
_BASH_SEVERAL = frozenset({"list", "pipeline", "negated_command"})


def _in_backquotes(n: Node) -> bool:
    """Whether ``n`` stands in a command substitution written with backquotes,
    whose text bash reads once more after taking a backslash off `\\`, `$` and
    `` ` `` (in `$(...)` a backslash means what it means anywhere)."""
    up = n.parent
    while up is not None:
        if up.type == "command_substitution" and (up.text or b"").startswith(b"`"):
            return True
        up = up.parent
    return False


def _bash_timed(n: Node) -> bool:
    """Whether ``n`` is a command bash reads as its `time` keyword (which times
    a whole pipeline), not a program of that name."""
    name = n.child_by_field_name("name") if n.type == "command" else None
    return name is not None and name.text == b"time"


#: What a C macro's body reads as one value wherever it puts its parameter.
_C_PRIMARY = frozenset(
    {"identifier", "number_literal", "string_literal", "char_literal", "concatenated_string", "true", "false",
     "null", "nullptr", "call_expression", "field_expression", "subscript_expression", "parenthesized_expression",
     "qualified_identifier", "this", "comment"}
)  # fmt: skip


def _c_macro_argument(arguments: Node) -> bool:
    """Whether ``arguments`` are those of a function-like macro its file
    defines: the macro's body takes each as text."""
    call = arguments.parent
    if call is None or call.type != "call_expression":
        return False
    f = call.child_by_field_name("function")
    if f is None or f.type != "identifier":
        return False
    root = call
    while root.parent is not None:
        root = root.parent
    return (f.text or b"") in _c_macros(root)


#: The function-like macros each recent tree defines, by its root.
_MACROS: dict[tuple[int, ...] | tuple[int, int, int, str], frozenset[bytes]] = {}


def _c_macros(root: Node) -> frozenset[bytes]:
    """The names of the function-like macros that ``root``'s source defines."""
    key = (root.id, root.end_byte, root.descendant_count)
    got = _MACROS.get(key)
    if got is None:
        if len(_MACROS) > 16:
            _MACROS.clear()
        got = _MACROS[key] = frozenset(_C_MACRO_DEFINITION.findall(root.text or b""))
    return got


_C_MACRO_DEFINITION = re.compile(rb"(?m)^[ \t]*#[ \t]*define[ \t]+([A-Za-z_][A-Za-z0-9_]*)\(")


def c_primary(kind: str) -> bool:
    """Whether a C or C++ node of ``kind`` reads as one value wherever a
    macro's body puts it (a name, a literal, a call, a parenthesised value).

    >>> c_primary("call_expression"), c_primary("binary_expression")
    (True, False)
    """
    return kind in _C_PRIMARY


def _bare_comma(n: Node) -> bool:
    """Whether ``n`` holds a comma that no parentheses of its own hold (in
    braces or angle brackets, which a macro's arguments are not split by)."""
    todo = [n]
    while todo:
        c = todo.pop()
        if c.type == "," and c is not n:
            return True
        if c.type in ("string_literal", "char_literal", "raw_string_literal"):
            continue
        if not (c.children and c.children[0].type == "(" and c.children[-1].type == ")"):
            todo.extend(c.children)
    return False


def rebinds_in_js(n: Node) -> bool:
    """Whether ``n``, a member or an element (in parentheses or not), stands
    where JavaScript calls it, deletes it or tags a template with it: a call
    then gets its object as ``this`` and a `delete` deletes the property,
    which the value the code had there (`id(o.m)()`, `delete id(o.p)`) did not.

    >>> from kovel.treesitter.grammars import parser
    >>> tree = parser("javascript").parse(b"o.m();")
    >>> rebinds_in_js(tree.root_node.children[0].children[0].children[0])
    True
    """
    inner, up = n, n.parent
    while inner.type == "parenthesized_expression" and inner.named_child_count == 1:
        inner = inner.named_children[0]
    while up is not None and up.type == "parenthesized_expression":
        n, up = up, up.parent
    if inner.type not in ("member_expression", "subscript_expression") or up is None:
        return False
    if up.type == "call_expression":
        return up.child_by_field_name("function") == n
    operator = up.child_by_field_name("operator")
    return up.type == "unary_expression" and operator is not None and operator.type == "delete"


def declares_in_cpp(n: Node) -> bool:
    """Whether ``n`` touches the call that starts a C++ expression statement
    which C++ reads as a declaration (see ``_cpp_declares``): a replacement
    there, the call's argument made a name included, changes what it means.

    >>> from kovel.treesitter.grammars import parser
    >>> tree = parser("cpp").parse(b"struct Foo {}; void f() { Foo(a); }")
    >>> call = tree.root_node.children[2].child_by_field_name("body").named_children[0].named_children[0]
    >>> declares_in_cpp(call.child_by_field_name("arguments").named_children[0])
    True
    """
    return _cpp_declares(n, touching=True)


def _cpp_declares(n: Node, touching: bool = False) -> bool:
    """Whether ``n`` holds (or, ``touching``, touches) the call that starts a C++
    expression statement which C++ reads as a declaration: `Foo(a);` declares a
    ``Foo`` named ``a`` where ``Foo`` names a type and each argument could name
    what is declared, and so do `Foo(a), g(b);`, `Foo(a) = 3;`, `Foo(a)[2];` and
    `Foo(a)(1);` (what follows the call could go on a declarator)."""
    statement: Node | None = n
    while statement is not None and statement.type != "expression_statement":
        up = statement.parent
        if (
            up is not None
            and up.type == "for_statement"
            and up.child_by_field_name("initializer") == statement
        ):
            break  # `for (Foo(a);;)`: a for's first part is a statement of its own
        if (
            statement.type.endswith(("statement", "declaration", "definition"))
            or statement.type in _CPP_SCOPES
        ):
            return False
        statement = up
    if statement is None:
        return False
    if statement.type == "expression_statement" and not statement.named_child_count:
        return False
    lead = statement.named_children[0] if statement.type == "expression_statement" else statement
    while lead.type in _CPP_DECLARATOR_TAILS or (
        lead.type == "call_expression" and lead.children[0].type == "call_expression"
    ):
        lead = lead.children[0]
    if lead.type != "call_expression" or lead.start_byte != statement.start_byte:
        return False
    if not (
        (n.start_byte < lead.end_byte and n.end_byte > lead.start_byte)
        if touching
        else (n.start_byte <= lead.start_byte and n.end_byte >= lead.end_byte)
    ):
        return False  # what was put here is not the call that declares
    after = lead.next_sibling
    if after is not None and after.type not in (";", ",", "=", "subscript_argument_list", "argument_list"):
        return False  # `Foo(a) += 1;`, `Foo(a).f();` are expressions
    arguments = lead.child_by_field_name("arguments")
    if arguments is None or not arguments.named_children:
        return False
    for named in arguments.named_children:
        a: Node | None = named
        while a is not None and a.type in (
            "parenthesized_expression",
            "pointer_expression",
            "subscript_expression",
        ):
            # `Foo((a))`, `Foo(*p)`, `Foo(b[1])` (an array of one) declare too
            a = a.child_by_field_name("argument") if a.type == "subscript_expression" else a.named_children[0]
        if a is None or a.type != "identifier":
            return False
    callee = lead.child_by_field_name("function")
    while callee is not None and callee.type == "qualified_identifier":
        callee = callee.child_by_field_name("name")
    if callee is None:
        return False
    if callee.type in ("template_function", "template_type"):
        return True  # `std::unique_lock<std::mutex>(m);`
    root = lead
    while root.parent is not None:
        root = root.parent
    return callee.type == "identifier" and (
        (callee.text or b"") in _cpp_types(root) or callee.text in _STD_TYPES
    )


#: What may follow a declarator's name in C++ (`Foo(a) = 1`, `Foo(a)[2]`,
#: `Foo(a), b`): the expressions that start with what they follow.
_CPP_DECLARATOR_TAILS = frozenset({"comma_expression", "assignment_expression", "subscript_expression"})
#: Where an expression statement's search for its own start stops.
_CPP_SCOPES = frozenset(
    {"compound_statement", "lambda_expression", "translation_unit", "field_declaration_list"}
)


#: Haskell's expressions that go on as far as they can (a `do`, a lambda, a
#: `case`, an `if`, a `let`): no function nor argument without parentheses.
_HASKELL_BLOCKS = frozenset({"do", "mdo", "lambda", "lambda_case", "lambda_cases", "case", "conditional", "let_in",
                             "multi_way_if"})  # fmt: skip


#: The Prelude's operators that rank below a prefix minus, or with it and
#: from the left: `-a + b` is `(-a) + b`, `-a == b` is `(-a) == b`.
_HASKELL_BELOW_MINUS = frozenset(
    {b"+", b"-", b"==", b"/=", b"<", b"<=", b">", b">=", b"&&", b"||", b">>", b">>=", b"=<<", b"$", b"$!",
     b"++", b":", b"<$>", b"<*>", b"*>", b"<*", b"<$"}
)  # fmt: skip


#: Class templates of the standard library a statement may name without
#: arguments (C++17 deduces them): `std::lock_guard(m);` declares `m`.
_STD_TYPES = frozenset({b"lock_guard", b"unique_lock", b"scoped_lock", b"shared_lock", b"string", b"vector"})


def _cpp_types(root: Node) -> frozenset[bytes]:
    """The names of the types that ``root``'s source declares."""
    key = (root.id, root.end_byte, root.descendant_count, "types")
    got = _MACROS.get(key)
    if got is None:
        if len(_MACROS) > 16:
            _MACROS.clear()
        text = root.text or b""
        got = _MACROS[key] = frozenset(
            m.group(1) or m.group(2) or m.group(3) for m in _CPP_TYPE_DECLARATION.finditer(text)
        )
    return got


_CPP_TYPE_DECLARATION = re.compile(
    rb"\b(?:class|struct|union|enum(?:\s+class)?)\s+([A-Za-z_]\w*)"
    rb"|\busing\s+([A-Za-z_]\w*)\s*="
    rb"|\btypedef\b[^;{}]{0,256}?\b([A-Za-z_]\w{0,255})\s*;"  # (bounded: no search goes on to the file's end)
)


def _php_operator(n: Node) -> str | None:
    """The operator of a PHP binary expression, or None for another node."""
    op = n.child_by_field_name("operator") if n.type == "binary_expression" else None
    return None if op is None else op.type


def _php_nullsafe_written(n: Node) -> bool:
    """Whether ``n``, a chain with a `?->`, or what goes on from it, is written
    to (assigned, unset, a reference taken, a loop's variable), which PHP
    refuses in parentheses or not: `$a?->b->c = 1`."""
    if b"?->" not in (n.text or b""):
        return False
    up = n
    while up.parent is not None and up.parent.type in _PHP_ACCESSES and up.parent.children[0] == up:
        up = up.parent
    while up.parent is not None and up.parent.type in ("list_literal", "array_element_initializer", "by_ref"):
        up = up.parent  # an element of a list assigned to
    p = up.parent
    if p is None:
        return False
    if p.type in ("assignment_expression", "augmented_assignment_expression"):
        return p.child_by_field_name("left") == up
    if p.type == "foreach_statement":
        return p.named_children[0] != up
    return p.type in ("unset_statement", "reference_assignment_expression", "update_expression")


_PHP_ACCESSES = frozenset(
    {"member_access_expression", "nullsafe_member_access_expression", "subscript_expression"}
)


def _php_misranked(n: Node, parent: Node) -> bool:
    """Whether PHP reads ``n`` otherwise than its grammar does where it stands:
    `-$a instanceof A` is `(-$a) instanceof A` and `2 ** $a instanceof A` is
    `(2 ** $a) instanceof A` (`instanceof` ranks below unary operators, casts
    and `**`, and above `!`); `print $a and $b` is `(print $a) and $b`, and so
    for `yield` (`and`, `xor` and `or` rank below them)."""
    op = _php_operator(n)
    if op == "instanceof":
        if parent.type == "cast_expression" or _php_operator(parent) == "**":
            return True
        first = parent.children[0] if parent.children else None
        return parent.type == "unary_op_expression" and first is not None and first.type != "!"
    if op in ("and", "or", "xor"):
        if parent.type == "array_element_initializer" and parent.parent is not None:
            parent = parent.parent  # `yield $a and $b` holds its value in one
        return parent.type in ("print_intrinsic", "yield_expression")
    return False


def _takes_no_operator(lang: str, n: Node, parent: Node) -> bool:
    """Whether ``n`` is an operand its language reads otherwise, or refuses,
    where its grammar puts it: Kotlin's and Python's `await` take only
    what ranks above them, a cast or Rust's `as` is no callee, C's `sizeof`
    takes no cast, a JavaScript arrow's body that starts with `{` is a block,
    C#'s `:` in an interpolation starts its format."""
    if lang == "kotlin":
        if _generic_call_like(n, parent):
            return True
        if n.type == "as_expression" and parent.type in _KOTLIN_AFTER_CASTS and parent.children[0] == n:
            return True  # `s as? String?.length`: the type takes the `?`, `!!`, `::`, `.` or `(`
        mine, theirs = _KOTLIN_RANKS.get(n.type), _KOTLIN_RANKS.get(parent.type)
        # `-a + b` is `(-a) + b`, `a is T to 1` is refused: Kotlin ranks what its grammar reads flat.
        return mine is not None and theirs is not None and mine > theirs
    if lang == "haskell" and parent.type == "apply":
        return n.type in _HASKELL_BLOCKS  # `f do …`, `f \x -> x`: Haskell 2010 applies to atoms alone
    if lang == "haskell" and n.type == "negation" and parent.type in ("infix", "negation"):
        # A minus ranks as `+` (6): `-2 ^ 2` is `-(2 ^ 2)`, `1 + -1` and `- -1` are refused.
        op = parent.child_by_field_name("operator")
        left = parent.child_by_field_name("left_operand") == n
        return not (left and op is not None and (op.text or b"") in _HASKELL_BELOW_MINUS)
    if lang == "python" and parent.type == "await":
        return n.type in _PY_NOT_PRIMARY  # `await a ** b` is `(await a) ** b`
    if lang == "python" and n.type in ("list_splat", "dictionary_splat") and parent.type == "call":
        return parent.child_by_field_name("function") == n  # its grammar reads `[*g(1)]` as `(*g)(1)`
    if lang == "python" and parent.type in ("list_splat", "dictionary_splat"):
        # In a display, `*` and `**` take only what ranks from `|` up (`{**d or {}}` is refused);
        # a call's arguments take any expression.
        held = parent.parent is None or parent.parent.type != "argument_list"
        return held and n.type in _PY_BELOW_OR
    if lang == "php":
        return _php_misranked(n, parent) or _php_nullsafe_written(n)
    if lang == "bash":
        return _bash_misranked(n, parent) or (b"\\" in (n.text or b"") and _in_backquotes(n))
    if lang in _CASTS_NO_CALLEE and n.type == _CASTS_NO_CALLEE[lang] and parent.children[0] == n:
        return parent.type in _HEADS_AFTER_CASTS  # `a as i64.clone()`, `o as string.Length`
    if lang == "rust" and parent.type in ("let_declaration", "let_condition"):
        return _rust_let_refused(n, parent)
    if (
        lang == "cpp"
        and n.type == "new_expression"
        and parent.type in _CPP_POSTFIX
        and parent.children[0] == n
    ):
        return True  # `new S{4}->x`: a `new` is no postfix expression's operand
    if (
        lang in ("c", "cpp")
        and parent.type == "argument_list"
        and (n.type not in _C_PRIMARY or _bare_comma(n))
    ):
        # `#define M(v) v * 3`: `M(a + b)` is `a + b * 3`; `M((int[]){1, 2}[0])` passes two arguments
        return _c_macro_argument(parent)
    if lang == "cpp" and _cpp_declares(n):
        return True  # `Foo(a);` declares `a`, a `Foo`
    if (
        lang == "c"
        and parent.type == "conditional_expression"
        and parent.child_by_field_name("alternative") == n
    ):
        return n.type == "assignment_expression"  # C reads `c ? x : a = 5` as `(c ? x : a) = 5`
    if lang in ("c", "cpp") and parent.type in ("sizeof_expression", "alignof_expression"):
        return n.type == "cast_expression"  # `sizeof (char)a` is `sizeof(char)` and then `a`
    if lang in _JS and parent.type == "type_query":
        return not _entity_name(n)  # `typeof f(1)`: a type query takes a name, not a call
    if lang in _JS and parent.type == "arrow_function" and parent.child_by_field_name("body") == n:
        return n.type != "statement_block" and (n.text or b"").startswith(b"{")
    if lang == "go":
        return any(_go_in_a_header(c) for c in _go_bare_literals(n))
    if lang == "c_sharp" and n.type == "conditional_expression":
        return _cs_bare_in_interpolation(n)
    return False


#: Where Python takes an assignment expression without parentheses (not in an
#: f-string's braces, where a `:` starts the format).
_BARE_WALRUS = frozenset(
    {"parenthesized_expression", "argument_list", "if_statement", "elif_clause", "while_statement", "if_clause",
     "list", "set", "subscript"}
)  # fmt: skip


def _python_misranked(n: Node, parent: Node) -> bool:
    """Whether Python groups the operand ``n`` of the binary operator ``parent``
    otherwise than the tree does: its grammar ranks `^` above `&`, which
    Python ranks below, so `1 ^ 2 & 2` is read `(1 ^ 2) & 2` but means `1 ^ (2 & 2)`."""
    mine, theirs = _py_rank(n), _py_rank(parent)
    power = theirs == _PY_OPERATOR_RANKS["**"]
    if parent.child_by_field_name("left") == n:
        return mine < theirs or (mine == theirs and power)  # `**` groups from the right
    if power and n.type == "unary_operator":
        return False  # `2 ** -1`
    return mine < theirs or (mine == theirs and not power)


def _py_rank(n: Node) -> int:
    if n.type == "binary_operator":
        op = n.child_by_field_name("operator")
        return _PY_OPERATOR_RANKS.get(op.type if op is not None else "", _PY_PRIMARY)
    if n.type == "boolean_operator":
        op = n.child_by_field_name("operator")
        return _PY_OPERATOR_RANKS["or" if op is not None and op.type == "or" else "and"]
    return _PY_OPERATOR_RANKS.get(n.type, _PY_PRIMARY)


# Python's ranks of operators and of the expressions of one rank (higher binds tighter).
_PY_OPERATOR_RANKS = {
    k: rank
    for rank, kinds in enumerate(
        [("named_expression",), ("lambda",), ("conditional_expression",), ("or",), ("and",), ("not_operator",),
         ("comparison_operator",), ("|",), ("^",), ("&",), ("<<", ">>"), ("+", "-"), ("*", "/", "//", "%", "@"),
         ("unary_operator",), ("**",), ("await",)]
    )
    for k in kinds
}  # fmt: skip
_PY_PRIMARY = len(set(_PY_OPERATOR_RANKS.values()))


# Kotlin's ranks, highest first, of the expressions its grammar reads at one rank.
_KOTLIN_RANKS = {
    k: rank
    for rank, kinds in enumerate(
        [("prefix_expression",), ("as_expression",), ("multiplicative_expression",), ("additive_expression",),
         ("range_expression",), ("infix_expression",), ("elvis_expression",), ("check_expression",),
         ("comparison_expression",), ("equality_expression",), ("conjunction_expression",),
         ("disjunction_expression",)]
    )
    for k in kinds
}  # fmt: skip
# What ranks below Python's `|`.
_PY_BELOW_OR = frozenset(
    {"boolean_operator", "not_operator", "comparison_operator", "conditional_expression", "lambda",
     "named_expression"}
)  # fmt: skip
# What Python's `await` cannot take bare: anything but a primary.
_PY_NOT_PRIMARY = frozenset(
    {"binary_operator", "unary_operator", "not_operator", "boolean_operator", "comparison_operator",
     "conditional_expression", "lambda", "named_expression", "await"}
)  # fmt: skip
# C++'s postfix expressions, whose operand a `new` is not.
_CPP_POSTFIX = frozenset({"field_expression", "subscript_expression", "call_expression"})
# What follows a Kotlin cast is read into its type: `as T` takes no postfix.
_KOTLIN_AFTER_CASTS = frozenset(
    {"navigation_expression", "postfix_expression", "call_expression", "indexing_expression"}
)
# A cast that cannot be followed by a call, a member or an index without parentheses.
_CASTS_NO_CALLEE = {"rust": "type_cast_expression", "c_sharp": "as_expression"}
_HEADS_AFTER_CASTS = frozenset(
    {"field_expression", "call_expression", "index_expression", "try_expression", "await_expression",
     "member_access_expression", "invocation_expression", "element_access_expression"}
)  # fmt: skip
# Go's statements whose header ends at a brace: a composite literal there needs parentheses.
_GO_HEADERS = frozenset(
    {"if_statement", "for_statement", "expression_switch_statement", "type_switch_statement"}
)
_GO_ENCLOSING = frozenset(
    {"parenthesized_expression", "argument_list", "literal_value", "func_literal", "block"}
)


# Rust's expressions that end with a block: at a statement's start, the statement ends there.
_RUST_BLOCK_LIKE = frozenset(
    {"block", "unsafe_block", "async_block", "const_block", "if_expression", "match_expression",
     "loop_expression", "while_expression", "for_expression", "try_block"}
)  # fmt: skip


# Languages whose member accesses, calls and subscripts bind tighter than any
# operator, where their grammars group an operation before them as their
# operand: (those postfix nodes, the operations).
_POSTFIX_FIRST = {
    "swift": (
        frozenset({"navigation_expression", "call_expression", "postfix_expression"}),
        frozenset(
            {"additive_expression", "multiplicative_expression", "comparison_expression", "equality_expression",
             "conjunction_expression", "disjunction_expression", "nil_coalescing_expression", "range_expression",
             "infix_expression", "prefix_expression", "ternary_expression", "bitwise_operation"}
        ),
    ),
    "solidity": (
        frozenset({"array_access", "member_expression", "call_expression", "slice_access"}),
        frozenset({"binary_expression", "unary_expression", "ternary_expression", "assignment_expression"}),
    ),
}  # fmt: skip
# What a range may not be the first operand of, unparenthesised.
_RUST_AFTER_RANGES = frozenset(
    {"field_expression", "call_expression", "index_expression", "binary_expression", "type_cast_expression",
     "try_expression"}
)  # fmt: skip
# What goes on after its first operand with a token a statement cannot
# start with: a `.` or `?` (which rustc reads on after a block) is not here.
_RUST_ENDED_BY_BLOCKS = frozenset(
    {"type_cast_expression", "binary_expression", "index_expression", "call_expression", "range_expression",
     "compound_assignment_expr", "assignment_expression"}
)  # fmt: skip


def _starts_a_statement(n: Node) -> bool:
    """Whether ``n`` starts the expression statement it lies in, or the
    expression that ends a block (Rust's tail, which reads as one)."""
    up = n
    while up.parent is not None and up.parent.start_byte == n.start_byte:
        up = up.parent
        if up.type == "expression_statement":
            return True
    return (
        up.parent is not None
        and up.parent.type == "block"
        and up.is_named
        and up.type != "expression_statement"
    )


def _rust_let_refused(n: Node, parent: Node) -> bool:
    """Whether rustc refuses, or reads otherwise, the value ``n`` of a `let … else`
    or of an `if let`/`while let`: no `&&` or `||` there (in `if let` it would
    chain lets), and no `}` before a `let`'s `else`."""
    if parent.child_by_field_name("value") != n:
        return False
    op = n.child_by_field_name("operator") if n.type == "binary_expression" else None
    lazy = op is not None and op.type in ("&&", "||")
    if parent.type == "let_condition":
        return lazy
    return parent.child_by_field_name("alternative") is not None and (
        lazy or (n.text or b"").rstrip().endswith(b"}")
    )


# What brackets the `:` of a C# conditional inside an interpolation.
_CS_ENCLOSING = frozenset(
    {"parenthesized_expression", "argument_list", "bracketed_argument_list", "initializer_expression",
     "tuple_expression", "block", "switch_expression", "anonymous_object_creation_expression",
     "interpolated_string_expression"}
)  # fmt: skip


def _cs_bare_in_interpolation(n: Node) -> bool:
    """Whether the conditional ``n`` stands in a C# string's interpolation
    outside any brackets, where the compiler takes its `:` for the start of
    the format (`$"{c ? 1 : 2}"` is refused)."""
    up = n.parent
    while up is not None:
        if up.type == "interpolation":
            return True
        if up.type in _CS_ENCLOSING:
            return False
        up = up.parent
    return False


def _go_bare_literals(n: Node) -> Iterator[Node]:
    """The composite literals in ``n`` (``n`` itself included) that no
    parentheses, brackets or braces of its own hold."""
    todo = [n]
    while todo:
        c = todo.pop()
        if c.type == "composite_literal":
            yield c
        elif c is n or c.type not in _GO_ENCLOSING:
            todo.extend(c.named_children)


def _go_in_a_header(n: Node) -> bool:
    """Whether the composite literal ``n``, of a type's name (``P{1}``), stands
    bare between the keyword of an `if`, `for` or `switch` and its block, where
    Go takes the brace for the block's."""
    kind = n.child_by_field_name("type")
    if kind is None or kind.type not in ("type_identifier", "qualified_type", "generic_type"):
        return False
    up = n.parent
    while up is not None:
        if up.type in _GO_ENCLOSING:
            return False
        if up.type in _GO_HEADERS:
            body = up.child_by_field_name("body")
            return body is None or n.end_byte <= body.start_byte
        up = up.parent
    return False


def misranked(lang: str, n: Node) -> bool:
    """Whether the language refuses ``n`` where it stands, or reads it otherwise,
    though its tree-sitter grammar reads it there: a low-ranked expression
    (arrow function, assignment) as an operand; JavaScript's ``-3 ** 2``.

    >>> from kovel.treesitter.grammars import parser
    >>> tree = parser("javascript").parse(b"a + () => 1;")
    >>> misranked("javascript", tree.root_node.children[0].children[0].children[2])
    True
    """
    parent = n.parent
    if parent is None:
        return False
    if lang == "ruby" and _ruby_refused(n):
        return True
    if lang == "php" and _php_refused(n):
        return True
    if lang == "python" and n.type == "named_expression" and parent.type not in _BARE_WALRUS:
        return True  # `y := 2` alone, `x = y := 2`: Python takes `:=` bare in few places
    if lang == "python" and parent.type == "binary_operator" and _python_misranked(n, parent):
        return True
    if _takes_no_operator(lang, n, parent):
        return True
    if (
        lang == "rust"
        and n.type == "type_cast_expression"
        and parent.type == "binary_expression"
        and parent.child_by_field_name("left") == n
        and (parent.child_by_field_name("operator") or parent.children[1]).type in ("<", "<<")
    ):
        return True  # `x as i64 < 2`: rustc reads the `<` as the type's generic arguments
    if lang == "rust" and n.type == parent.type == "range_expression":
        return True  # `1..2..3`: rustc chains no ranges
    if lang in _POSTFIX_FIRST and parent.type in _POSTFIX_FIRST[lang][0] and parent.children[0] == n:
        inner = n.named_children[0] if n.type == "expression" and n.named_child_count == 1 else n
        if inner.type in _POSTFIX_FIRST[lang][1]:
            return True  # Swift's `a + b.count` is `a + (b.count)`, `-a.b` is `-(a.b)`: their grammars group otherwise
    if (
        lang == "rust"
        and n.type == "range_expression"
        and parent.type in _RUST_AFTER_RANGES
        and parent.children[0] == n
    ):
        return True  # `a.. .start`, `a.. == b`: a range goes on into what follows it
    if (
        lang == "rust"
        and (n.type in _RUST_BLOCK_LIKE or (n.type == "macro_invocation" and (n.text or b"").endswith(b"}")))
        and parent.type in _RUST_ENDED_BY_BLOCKS
        and parent.children[0] == n
        and _starts_a_statement(parent)
    ):
        return True  # `unsafe { 1 } as i64`: rustc ends a statement, or a block's tail, at the `}`
    if lang in _JS and n.type == parent.type == "binary_expression" and _mixes_nullish(n, parent):
        return True
    if lang in _TS and _ts_misranked(n, parent):
        return True
    if (
        lang in _JS
        and parent.type == "new_expression"
        and parent.child_by_field_name("constructor") == n
        and _optional_chain(n)
    ):
        return True  # `new a?.b()` is refused: what `new` makes is no optional chain
    if lang == "c_sharp" and _csharp_subtracted(n, parent):
        return True
    if lang == "c_sharp" and parent.type == "constant_pattern" and _csharp_below_is(n):
        return True  # `x is null || y` is `(x is null) || y`
    if n.type == "lambda_expression" and lang in _LAMBDA_HEADS and _lambda_as_head(n, _LAMBDA_HEADS[lang]):
        return True  # `(() -> 3).get()`: no parentheses make a lambda a receiver
    if lang == "tsx" and parent.type == "unary_expression" and n.type in _JSX_ELEMENTS:
        return True  # `typeof <b/>`: TypeScript reads a type assertion after the operator
    if lang == "kotlin" and _kotlin_line_ended(n):
        return True
    if lang in _JS and _js_untargeted(n):
        return True
    if lang in _JS and (_js_loose_in_for(n, parent) or _js_pattern_chain(n, parent)):
        return True
    if (
        lang in _JS
        and n.type == "super"
        and (
            parent.type == "parenthesized_expression"
            or parent.child_by_field_name("optional_chain") is not None
        )
    ):
        return True  # `super` is followed by `.`, `[` or `(` alone: not `super?.x`, nor `(super)`
    if (
        lang == "java"
        and parent.type in ("update_expression", "assignment_expression")
        and _java_untargeted(n)
    ):
        return True
    flat = _FLAT.get(lang)
    if flat is not None and n.type == parent.type == flat:
        return lang != "scala" or _scala_misranked(n, parent)
    if lang == "php" and n.type == parent.type == "conditional_expression":
        # PHP takes no conditional as a conditional's condition or alternative
        # unparenthesised, unless both are short (`a ?: b ?: c`).
        body = parent.child_by_field_name("body")
        short = body is None and n.child_by_field_name("body") is None
        return not short and n != body
    chained = _UNCHAINED.get(lang)
    if chained is not None and n.type == parent.type == chained[0] and _unchained(n, parent, chained[1]):
        return True
    ranks = _RANKS.get(lang)
    if ranks is None:
        return parent.type == "non_null_expression" and n.type in _NOT_POSTFIX
    low, operators, heads = ranks
    if n.type in low and (parent.type in operators or (parent.type in heads and parent.children[0] == n)):
        return True
    if (
        lang == "python"
        and parent.type == "conditional_expression"
        and n.type in ("conditional_expression", "lambda")
        and parent.named_child_count == 3
        and parent.named_children[1] == n
    ):
        return True  # `a if b if c else d else e`: Python takes no condition of that rank
    if parent.type == "non_null_expression" and n.type in _NOT_POSTFIX:
        return True
    return (
        parent.type == "binary_expression"
        and parent.child_count == 3
        and parent.children[1].type == "**"
        and parent.children[0] == n
        and n.type in ("unary_expression", "await_expression", "type_assertion")  # TypeScript's `<T>x`
    )


# What JavaScript refuses though its tree-sitter grammars read it: a
# statement may not start with these (they would begin a block, a
# function or class declaration), and only a name, a member or an index
# may be assigned to, parenthesised or not.
_JS = frozenset({"javascript", "typescript", "tsx"})
_STATEMENT_OPENERS = frozenset({"{", "function", "class"})
_TARGETS = frozenset(
    {"identifier", "member_expression", "subscript_expression", "non_null_expression", "as_expression",
     "satisfies_expression", "type_assertion"}
)  # fmt: skip
_ASSIGNED = {
    "assignment_expression": "left",
    "augmented_assignment_expression": "left",
    "update_expression": "argument",
    "for_in_statement": "left",  # `for (x of xs)` assigns to x
}


def refuses_statements(lang: str) -> bool:
    """Whether ``refused_there`` may refuse an expression statement of ``lang``
    that its grammar reads (a statement replaced by one of the same kind is
    then checked where it lands all the same).

    >>> refuses_statements("java"), refuses_statements("python")
    (True, False)
    """
    return lang in _JS or lang in _STATEMENT_EXPRESSIONS


def has_optional_chains(lang: str) -> bool:
    """Whether ``lang`` writes optional chains (``a?.b``), which have the shape
    of plain ones but are assigned to nowhere: a replacement that adds one is
    checked where it lands.

    >>> has_optional_chains("typescript"), has_optional_chains("python")
    (True, False)
    """
    return lang in _JS


def restricts_calls_in(lang: str) -> frozenset[str]:
    """The tags of the statements in which ``lang`` refuses calls that its grammar
    reads, or reads them otherwise: Go's builtins that only give a value
    (``len(x)``) are no statement, nor what a ``go`` or ``defer`` statement
    runs; C++'s ``Foo(a);`` declares ``a`` where ``Foo`` is a type.  A call replaced there by one of
    the same shape is checked where it lands all the same.

    >>> sorted(restricts_calls_in("go")), restricts_calls_in("java")
    (['defer_statement', 'expression_statement', 'go_statement'], frozenset())
    """
    return _GO_CALL_STATEMENTS if lang == "go" else _CPP_CALL_STATEMENTS if lang == "cpp" else frozenset()


# Declarations JavaScript and Java take only in a block, not as the one
# statement of an `if`, a loop or a label.
_BLOCK_DECLARATIONS = {
    "java": frozenset(
        {
            "local_variable_declaration",
            "class_declaration",
            "record_declaration",
            "interface_declaration",
            "enum_declaration",
            "annotation_type_declaration",
        }
    ),  # fmt: skip
    "javascript": frozenset({"lexical_declaration", "class_declaration"}),
    # (C# takes a declaration after a label, which Java does not.)
    "c_sharp": frozenset({"local_declaration_statement", "local_function_statement", "labeled_statement"}),
}
#: Statements that hold one statement as a body (not a list of them): an
#: `if`, its `else`, the loops, a label.
HOLDS_A_BODY = frozenset(
    {"if_statement", "else_clause", "for_statement", "for_in_statement", "enhanced_for_statement",
     "foreach_statement", "for_range_loop", "while_statement", "do_statement", "labeled_statement",
     "with_statement", "using_statement", "lock_statement", "fixed_statement"}
)  # fmt: skip


def _declared_as_a_body(lang: str, n: Node) -> bool:
    """Whether ``n`` is a declaration standing as the one statement of an `if`,
    a loop or a label (`if (x) let q = 1;`), which only a block may hold."""
    kinds = _BLOCK_DECLARATIONS.get("javascript" if lang in _JS else lang)
    up = n.parent
    if kinds is None or up is None or up.type not in HOLDS_A_BODY:
        return False
    # the body, not a `for`'s initialiser nor a label's name (where no field
    # names the body, it is what the statement ends with)
    bodies = [up.child_by_field_name(f) for f in ("body", "consequence", "alternative")]
    if any(bodies) and n not in bodies:
        return False
    if not any(bodies) and up.named_children[-1] != n:
        return False
    if up.type == "labeled_statement" and (
        lang == "c_sharp" or n.type in ("identifier", "statement_identifier")
    ):
        return False
    if n.type in kinds:
        return True
    if lang not in _JS or n.type not in ("function_declaration", "generator_function_declaration"):
        return False
    # `async function`, `function*`: never; a plain one only as an `if`'s or a
    # label's in sloppy code (the web's old reading).
    plain = n.type == "function_declaration" and n.children[0].type != "async"
    return not (
        plain and up.type in ("if_statement", "else_clause", "labeled_statement") and not _js_strict(n)
    )


#: JavaScript's functions, whose body may open with directives.
JS_FUNCTIONS = frozenset(
    {"function_declaration", "function_expression", "function", "arrow_function", "method_definition",
     "generator_function", "generator_function_declaration"}
)  # fmt: skip


def _js_strict(n: Node) -> bool:
    """Whether ``n`` is JavaScript's strict code: in a class, a module (a file
    that imports or exports), or under a `"use strict"` directive."""
    up = n.parent
    while up is not None:
        if up.type in ("class_body", "class_declaration", "class"):
            return True
        body = up.type == "program" or (
            up.type == "statement_block" and up.parent is not None and up.parent.type in JS_FUNCTIONS
        )
        if body and _js_directs_strict(up):
            return True
        if up.type == "program":
            return _js_module(up)
        up = up.parent
    return False


def js_directives(body: Node) -> list[Node]:
    """The directives that open ``body`` (a JavaScript program or function's):
    strings alone as statements, before any other.

    >>> from kovel.treesitter.grammars import parser
    >>> [d.text for d in js_directives(parser("javascript").parse(b"'a'; 'b'\\nf()\\n'c'").root_node)]
    [b"'a';", b"'b'"]
    """
    out: list[Node] = []
    for c in body.named_children:
        if c.type == "comment":
            continue
        if (
            c.type != "expression_statement"
            or c.named_child_count != 1
            or c.named_children[0].type != "string"
        ):
            break
        out.append(c)
    return out


def _js_directs_strict(body: Node) -> bool:
    """Whether the directives that open ``body`` (a program or a function's)
    hold `"use strict"`."""
    return any((d.named_children[0].text or b"")[1:-1] == b"use strict" for d in js_directives(body))


def refused_there(lang: str, n: Node) -> bool:
    """Whether the language refuses ``n`` where it stands, though its tree-sitter
    grammar reads it there: what a replacement may not be, beyond ``misranked``
    (which patterns are read by).  JavaScript: ``{a: 1} + b;`` as a statement,
    ``(a + b) = 1``; Java, C# and Go: ``x;`` (a statement must call, assign,
    or the like).

    >>> from kovel.treesitter.grammars import parser
    >>> tree = parser("javascript").parse(b"(a + b) = 1;")
    >>> refused_there("javascript", tree.root_node.children[0].children[0].children[0])
    True
    >>> tree = parser("java").parse(b"class A { void f() { x.y; } }")
    >>> refused_there("java", tree.root_node.children[0].children[2].children[1].children[3].children[1])
    True
    """
    if _declared_as_a_body(lang, n):
        return True
    if lang in _JUMPS and _jumps_nowhere(n):
        return True
    if lang in _JS:
        return _js_refused(n) or _js_out_of_place(n)
    if lang in _STATEMENT_EXPRESSIONS:
        return _statement_refused(lang, n)
    return False


def _java_untargeted(n: Node) -> bool:
    """Whether ``n`` is what Java's `++`, `--` or `=` would change but no
    variable (`true++`): a name, a field or an element, in parentheses or not."""
    parent = n.parent
    if parent is None or (parent.type == "assignment_expression" and parent.child_by_field_name("left") != n):
        return False
    while n.type == "parenthesized_expression" and n.named_child_count == 1:
        n = n.named_children[0]
    return n.type not in ("identifier", "field_access", "array_access")


# The expressions Java, C# and Go take as a statement of their own: a call,
# an assignment, an increment, an object made (Java, C#), an await (C#), a
# receive (Go); Go's builtins that only give a value are no statement.
_STATEMENT_EXPRESSIONS = {
    "java": frozenset(
        {"assignment_expression", "update_expression", "method_invocation", "object_creation_expression"}
    ),
    "c_sharp": frozenset(
        {"assignment_expression", "invocation_expression", "object_creation_expression", "await_expression",
         "postfix_unary_expression", "prefix_unary_expression"}
    ),
    "go": frozenset({"call_expression", "unary_expression"}),
}  # fmt: skip
_GO_VALUES = frozenset(
    {b"append", b"cap", b"complex", b"imag", b"len", b"make", b"new", b"real", b"min", b"max"}
)


_GO_DEFERRED = frozenset({"go_statement", "defer_statement"})
_GO_CALL_STATEMENTS = _GO_DEFERRED | {"expression_statement"}
# Where C++ reads a call of a type's name as a declaration (`Foo(a);`).
_CPP_CALL_STATEMENTS = frozenset({"expression_statement", "call_expression"}) | _CPP_DECLARATOR_TAILS


def _statement_refused(lang: str, n: Node) -> bool:
    if not n.is_named:
        return False
    if n.type == "expression_statement" or (lang == "go" and n.type in _GO_CALL_STATEMENTS):
        if not n.named_child_count:
            return False
        n = n.named_children[0]
    up = n
    while up.parent is not None and up.parent.type == "parenthesized_expression":
        up = up.parent
    if lang == "go" and up.parent is not None and up.parent.type in _GO_DEFERRED:
        # What `go` and `defer` run is a call, unparenthesised, and not of a builtin that only gives a value.
        if up.type != "call_expression":
            return True
        f = up.child_by_field_name("function")
        return f is not None and f.type == "identifier" and f.text in _GO_VALUES
    if up.parent is None or up.parent.type != "expression_statement":
        return False
    e = up
    if lang == "go":  # Go takes a statement in parentheses
        while e.type == "parenthesized_expression" and e.named_child_count == 1:
            e = e.named_children[0]
    if e.type not in _STATEMENT_EXPRESSIONS[lang]:
        return True
    if e.type.endswith("unary_expression"):
        return not any(c.type in ("++", "--", "<-") for c in e.children[:2])
    if lang == "go":
        f = e.child_by_field_name("function")
        return f is not None and f.type == "identifier" and f.text in _GO_VALUES
    return False


def _entity_name(n: Node) -> bool:
    """Whether ``n`` is what TypeScript's `typeof` takes in a type: a name, a
    member of one (`this.x`), with type arguments, or an `import("m")`."""
    if n.type in ("identifier", "this"):
        return True
    if n.type == "member_expression":
        obj, prop = n.child_by_field_name("object"), n.child_by_field_name("property")
        private = prop is not None and prop.type == "private_property_identifier"  # `this.#p`
        return obj is not None and not private and _entity_name(obj)
    if n.type == "instantiation_expression":
        f = n.child_by_field_name("function")
        return f is not None and _entity_name(f)
    if n.type == "call_expression":
        f = n.child_by_field_name("function")
        return f is not None and f.type == "import"
    return False


def needs_a_context(lang: str, text: str) -> bool:
    """Whether ``text`` may hold what only some places take: JavaScript's
    `yield`, `await`, `super`, `break` and `continue` (a replacement of the
    shape of the match it replaces is then checked where it lands all the same).

    >>> needs_a_context("javascript", "super.m(1)"), needs_a_context("javascript", "m(1)")
    (True, False)
    """
    return lang in _JS and _JS_CONTEXTUAL.search(text) is not None


_JS_CONTEXTUAL = re.compile(r"\b(?:yield|await|super|break|continue)\b")


# Languages whose `break` and `continue` (without a label) go with a loop, or
# a `switch` for `break`, of the function they stand in: their loops, switches,
# and what bounds them (JavaScript's are checked with its other such words).
_JUMPS = frozenset({"c", "cpp", "java", "c_sharp", "go", "rust", "php", "javascript", "typescript", "tsx"})
_LOOPS = frozenset(
    {"for_statement", "while_statement", "do_statement", "for_range_loop", "enhanced_for_statement",
     "foreach_statement", "loop_expression", "while_expression", "for_expression", "for_in_statement"}
)  # fmt: skip
_SWITCHES = frozenset(
    {
        "switch_statement",
        "switch_expression",
        "expression_switch_statement",
        "type_switch_statement",
        "select_statement",
    }
)
_FUNCTIONS = JS_FUNCTIONS | frozenset(
    {"function_definition", "method_declaration", "constructor_declaration", "lambda_expression",
     "func_literal", "function_item", "closure_expression", "local_function_statement",
     "anonymous_method_expression", "anonymous_function", "class_static_block"}
)  # fmt: skip
_BREAKS = frozenset({"break_statement", "break_expression"})
_CONTINUES = frozenset({"continue_statement", "continue_expression"})
_ANY_FUNCTION = _FUNCTIONS | {"lambda"}
#: Each jump's word, and the kinds of node it goes to (the innermost around it).
JUMP_TARGETS: dict[str, tuple[str, frozenset[str]]] = {
    **dict.fromkeys(_BREAKS, ("break", _LOOPS | _SWITCHES | _ANY_FUNCTION)),
    **dict.fromkeys(_CONTINUES, ("continue", _LOOPS | _ANY_FUNCTION)),
    **dict.fromkeys(("return_statement", "return_expression"), ("return", _ANY_FUNCTION)),
    # What a function's kind gives a word, and the function a Go `defer` runs at the end of.
    **dict.fromkeys(("await_expression", "await"), ("await", _ANY_FUNCTION)),
    **dict.fromkeys(("yield_expression", "yield"), ("yield", _ANY_FUNCTION)),
    "defer_statement": ("defer", _ANY_FUNCTION),
    # (An arrow function has no `this` nor `super` of its own.)
    **dict.fromkeys(("this", "super"), ("this", (_ANY_FUNCTION - {"arrow_function"}) | {"class_body"})),
}


def _jumps_nowhere(n: Node) -> bool:
    """Whether ``n`` holds a `break` or `continue` without a label, outside
    loops and switches of its own, where no loop (nor switch, for `break`)
    of the function around it takes it."""
    wants = set()
    todo = [(n, False, False)]  # a node, and whether a loop or a switch of n's holds it
    while todo:
        c, looped, switched = todo.pop()
        if c is not n and c.type in _FUNCTIONS:
            continue
        if c.type in _BREAKS | _CONTINUES and not any(k.type in _LABELS for k in c.named_children):
            if not (looped or (switched and c.type in _BREAKS)):
                wants.add("break" if c.type in _BREAKS else "continue")
        looped = looped or c.type in _LOOPS
        switched = switched or c.type in _SWITCHES
        todo.extend((k, looped, switched) for k in c.children)
    if not wants:
        return False
    loop = switch = False
    up = n.parent
    while up is not None and up.type not in _FUNCTIONS:
        loop = loop or up.type in _LOOPS
        switch = switch or up.type in _SWITCHES
        up = up.parent
    return ("continue" in wants and not loop) or ("break" in wants and not (loop or switch))


# What names the loop a `break` or `continue` leaves (Go's and Java's labels, Rust's `'a`).
_LABELS = frozenset({"label_name", "label", "identifier", "statement_identifier", "lifetime"})


def _js_out_of_place(n: Node) -> bool:
    """Whether ``n`` holds a `yield`, `await` or `super` that nothing around it
    takes: no generator, no async function, no method (its `break` and
    `continue` are ``_jumps_nowhere``'s)."""
    held = _js_contextual(n)
    if not held:
        return False
    fn: Node | None = None
    method = False
    up = n.parent
    while up is not None:
        if fn is None and (up.type in JS_FUNCTIONS or up.type == "class_static_block"):
            fn = up
        if up.type in (
            "method_definition",
            "field_definition",
            "public_field_definition",
            "class_static_block",
        ):
            method = True  # (an arrow inside takes its `super`)
            break
        if up.type in JS_FUNCTIONS and up.type != "arrow_function":
            break
        up = up.parent
    marks = set() if fn is None else {c.type for c in fn.children if not c.is_named}
    if "yield_expression" in held and "*" not in marks:
        return True
    if "await_expression" in held and "async" not in marks:
        return fn is not None or not _js_module(n)
    return "super" in held and not method


def _js_contextual(n: Node) -> set[str]:
    """The kinds among `yield`, `await` and `super` that ``n`` holds outside
    functions of its own."""
    out: set[str] = set()
    todo = [n]
    while todo:
        c = todo.pop()
        if c is not n and c.type in JS_FUNCTIONS:
            continue  # a function of its own: what it holds goes with it (an arrow's `super` aside)
        if c.type in ("yield_expression", "await_expression", "super"):
            out.add(c.type)
        todo.extend(c.children)
    return out


def _js_module(n: Node) -> bool:
    """Whether ``n`` stands in a module: a file that imports or exports."""
    root = n
    while root.parent is not None:
        root = root.parent
    return any(c.type in ("import_statement", "export_statement") for c in root.named_children)


def _js_refused(n: Node) -> bool:
    up = n
    while (
        up.parent is not None
        and up.parent.start_byte == n.start_byte
        and up.type != "expression_statement"
        and not _arrow_body(up)
        and up.parent.type != "export_statement"
    ):
        up = up.parent
    if up is not n and up.parent is not None and up.parent.type == "export_statement":
        # After `export default`, `function` and `class` begin a declaration: one that
        # starts a larger value (`function(){}()`) needs parentheses.
        first = n
        while first.child_count:
            first = first.children[0]
        if first.type in ("function", "class") or (
            first.type == "async" and first.next_sibling is not None and first.next_sibling.type == "function"
        ):
            return True
    if _arrow_body(up) and up.type != "statement_block":
        # An arrow's body that opens with `{` is a block, though the grammar reads
        # `x => {a: 1}` as returning an object: an object there needs parentheses.
        first = n
        while first.child_count:
            first = first.children[0]
        if first.type == "{":
            return True
    if up.type == "expression_statement":
        first = n
        while first.child_count:
            first = first.children[0]
        if first.type in _STATEMENT_OPENERS:
            return True
        if first.type == "async" and first.next_sibling is not None and first.next_sibling.type == "function":
            return True
    if _js_untargeted(n):
        return True
    # What is assigned to is no optional chain, at any link (`a?.b().c = 1`).
    top = n
    while (
        top.parent is not None
        and top.parent.child_by_field_name(_CHAIN_LINKS.get(top.parent.type, "")) == top
    ):
        top = top.parent
    if top is not n and top.parent is not None:
        field = _ASSIGNED.get(top.parent.type)
        if field is not None and top.parent.child_by_field_name(field) == top:
            return _optional_chain(top)
    return False


# What brackets an `in` inside a `for (...;...;...)` initializer (with the field it comes by, if one).
_JS_BRACKETS = frozenset(
    {"parenthesized_expression", "arguments", "array", "object", "template_substitution", "statement_block",
     "class_body", "formal_parameters"}
)  # fmt: skip


def _js_loose_in_for(n: Node, parent: Node) -> bool:
    """Whether ``n`` is an `in` that a `for` statement's initializer holds outside
    brackets (JavaScript reads it as a `for (... in ...)`), or a comma expression
    after `for (... of`, which takes one value."""
    if parent.type == "for_in_statement" and n.type == "sequence_expression":
        return parent.child_by_field_name("right") == n and any(c.type == "of" for c in parent.children)
    op = n.child_by_field_name("operator") if n.type == "binary_expression" else None
    if op is None or op.type != "in":
        return False
    up: Node | None = n
    while up is not None and up.parent is not None:
        if up.type in _JS_BRACKETS or (
            up.parent.type == "subscript_expression" and up.parent.child_by_field_name("index") == up
        ):
            return False
        if up.parent.type == "for_statement":
            return up.parent.child_by_field_name("initializer") == up
        up = up.parent
    return False


def _js_pattern_chain(n: Node, parent: Node) -> bool:
    """Whether ``n``, an optional chain, stands where a destructuring pattern
    assigns (`[a?.b] = x`): no optional chain is assigned to."""
    place = parent.type in ("array_pattern", "rest_pattern") or (
        parent.type in ("pair_pattern", "assignment_pattern", "object_assignment_pattern")
        and parent.child_by_field_name("value" if parent.type == "pair_pattern" else "left") == n
    )
    return place and _optional_chain(n)


def _arrow_body(n: Node) -> bool:
    return (
        n.parent is not None
        and n.parent.type == "arrow_function"
        and n.parent.child_by_field_name("body") == n
    )


def _js_untargeted(n: Node) -> bool:
    """Whether ``n`` is what an assignment changes, but no name, member or index
    (``(a + b) = 1``, ``[a] += 1``, ``a?.b = 1``), nor a pattern that ``=``
    destructures unparenthesised (``([a]) = b`` is refused)."""
    outer = n
    while outer.parent is not None and outer.parent.type == "parenthesized_expression":
        outer = outer.parent
    holder = outer.parent
    field = _ASSIGNED.get(holder.type) if holder is not None else None
    if holder is None or field is None or holder.child_by_field_name(field) != outer:
        return False
    inner = n
    while inner.type == "parenthesized_expression" and inner.named_child_count == 1:
        inner = inner.named_children[0]
    destructures = holder.type in ("assignment_expression", "for_in_statement") and outer == n
    return inner.type not in (_TARGETS | _PATTERNS if destructures else _TARGETS) or _optional_chain(inner)


_PATTERNS = frozenset({"array_pattern", "object_pattern"})


def _mixes_nullish(n: Node, parent: Node) -> bool:
    """Whether ``n`` and ``parent`` join ``??`` with ``&&`` or ``||``, which
    JavaScript takes only in parentheses (``a ?? b && c`` is refused)."""
    ops = set()
    for x in (n, parent):
        op = x.child_by_field_name("operator")
        ops.add(op.type if op is not None else "")
    return "??" in ops and bool({"&&", "||"} & ops)


# Of a member, an index and a call, the link to what it is taken from.
_CHAIN_LINKS = {
    "member_expression": "object",
    "subscript_expression": "object",
    "call_expression": "function",
}


def extends_a_chain(lang: str, n: Node) -> bool:
    """Whether ``n`` is an optional chain (`a?.b`) that stands as what a member,
    index or call applies to: unparenthesised, its `?.` would skip that too
    (`a?.b.c` is undefined where `(a?.b).c` throws).

    >>> from kovel.treesitter.grammars import parser
    >>> tree = parser("typescript").parse(b"a?.b!.c;")
    >>> extends_a_chain("typescript", tree.root_node.children[0].children[0].children[0].children[0])
    True
    """
    if lang in _JS:
        return _extends_a_chain(n)
    links = _NULL_SAFE_LINKS.get(lang)
    link = n
    while lang == "php" and n.type == "parenthesized_expression" and n.named_child_count == 1:
        n = n.named_children[0]  # (the chain in parentheses goes on all the same)
    if links is None or n.type not in _NULL_SAFE.get(lang, ()):
        return False
    while lang == "php" and link.parent is not None and link.parent.type == "parenthesized_expression":
        link = link.parent  # (PHP's chain goes on through parentheses: `($a?->b)->m()` is null too)
    field = links.get(link.parent.type) if link.parent is not None else None
    return field is not None and link.parent is not None and link.parent.child_by_field_name(field) == link


# C#'s `a?.b` and PHP's `$a?->b` skip the rest of the chain too (`p?.S.Length` is
# null where `(p?.S).Length` throws), though their grammars read both alike;
# by language, those chains and the links that go on from them (the field they take them by).
_NULL_SAFE = {
    "c_sharp": frozenset({"conditional_access_expression"}),
    "php": frozenset({"nullsafe_member_access_expression", "nullsafe_member_call_expression"}),
}
_NULL_SAFE_LINKS = {
    "c_sharp": {"member_access_expression": "expression", "element_access_expression": "expression",
                "invocation_expression": "function"},
    "php": {"member_access_expression": "object", "member_call_expression": "object",
            "nullsafe_member_access_expression": "object", "nullsafe_member_call_expression": "object",
            "subscript_expression": "object", "function_call_expression": "function"},
}  # fmt: skip


def _extends_a_chain(n: Node) -> bool:
    up, link = n.parent, n
    while up is not None and up.type == "non_null_expression":  # TypeScript's `a?.b!.c` goes on
        link = up
        up = up.parent
    return (
        up is not None
        and up.child_by_field_name(_CHAIN_LINKS.get(up.type, "")) == link
        and _optional_chain(n)
    )


def _optional_chain(n: Node) -> bool:
    """Whether a link of the chain ``n`` ends (``a?.b().c``) is optional."""
    while n.type in _CHAIN_LINKS:
        if n.child_by_field_name("optional_chain") is not None or any(
            c.type == "optional_chain" for c in n.children
        ):
            return True
        link = n.child_by_field_name(_CHAIN_LINKS[n.type])
        if link is None:
            return False
        n = link
    return False


# What Ruby refuses though its tree-sitter grammar reads it.  A statement with
# a modifier (`a if b`, `a rescue b`) stands only among statements, as the
# body of another modifier, and (`rescue`) as what is assigned; `not a`,
# `a and b` and `a or b` are expressions, not arguments: they stand among
# statements, as a condition, a modifier's body, or an operand of each other.
_RUBY_STATEMENTS = frozenset(
    {"program", "body_statement", "then", "else", "do", "begin", "ensure", "block_body",
     "parenthesized_statements", "interpolation", "begin_block", "end_block"}
)  # fmt: skip
_RUBY_MODIFIERS = frozenset(
    {"if_modifier", "unless_modifier", "while_modifier", "until_modifier", "rescue_modifier"}
)
_RUBY_CONDITIONED = frozenset({"if", "unless", "while", "until", "elsif", *_RUBY_MODIFIERS})
_RUBY_ASSIGNMENTS = frozenset({"assignment", "operator_assignment"})
_RUBY_LOOPS_AND_IFS = frozenset({"if", "unless", "while", "until"})
_RUBY_JUMPS = frozenset({"return", "break", "next"})


def _ruby_refused(n: Node) -> bool:
    if _ruby_keyword_call(n):
        return True
    if n.type in _RUBY_ASSIGNMENTS:
        left = n.child_by_field_name("left")
        if left is not None and not _ruby_target(left):
            return True  # wherever it stands: `(A = 1)` in a method
    parent = n.parent
    if parent is None or parent.type in _RUBY_STATEMENTS:
        return False
    if _ruby_command(n) and _ruby_command_refused(n, parent):
        return True
    if (
        parent.type == "optional_parameter"
        and parent.parent is not None
        and parent.parent.type in ("block_parameters", "lambda_parameters")
        and parent.child_by_field_name("value") == n
    ):
        return n.type in _RUBY_NOT_PRIMARY  # a block's default is a primary value (`|x = (a + b)|`)
    if parent.type in _RUBY_ASSIGNMENTS and parent.child_by_field_name("left") == n:
        return not _ruby_target(n)
    if n.type == "hash" and (
        (parent.type == "unary" and parent.children[0].type == "not")
        or (
            parent.type == "argument_list" and parent.parent is not None and parent.parent.type in _RUBY_JUMPS
        )
        or (
            parent.type == "argument_list"
            and parent.named_children[0] == n
            and parent.parent is not None
            and _ruby_command(parent.parent)
        )
    ):
        return True  # `not {`, `return {` and `f {` open a block
    if parent.type in _RUBY_MODIFIERS and parent.child_by_field_name("body") == n:
        return False
    if n.type in _RUBY_LOOPS_AND_IFS and parent.type == "unary" and parent.children[0].type == "not":
        return True  # Ruby reads `not if a ...` as `not` and a modifier
    if (
        n.type == "parenthesized_statements"
        and n.named_child_count > 1
        and parent.type == "unary"
        and parent.children[0].type in ("not", "defined?")
    ):
        return True  # `not (a; 5)`: the parentheses are `not`'s own, around one value
    if n.type in _RUBY_MODIFIERS:
        return not (
            n.type == "rescue_modifier"
            and parent.type in _RUBY_ASSIGNMENTS
            and parent.child_by_field_name("right") == n
        )
    if not _ruby_expression(n):
        return False
    if parent.type in _RUBY_CONDITIONED and parent.child_by_field_name("condition") == n:
        return False
    return not _ruby_expression(parent)


_RUBY_NOT_PRIMARY = frozenset(
    {"binary", "unary", "conditional", "range", "assignment", "operator_assignment", *_RUBY_MODIFIERS}
)


def _ruby_command(n: Node) -> bool:
    """Whether ``n`` is a call whose arguments have no parentheses (``g x``)."""
    if n.type != "call":
        return False
    args = n.child_by_field_name("arguments")
    return (
        args is not None
        and args.type == "argument_list"
        and (not args.children or args.children[0].type != "(")
    )


def _ruby_command_refused(n: Node, parent: Node) -> bool:
    """Whether Ruby refuses the call ``g x`` under ``parent``, which the grammar
    reads there: an argument after the first (``f a, g x``), an element of an
    array (``[g x]``), an index after the first (``h[1, g x]``), the value of
    an assignment that is no statement (``if a = g x``)."""
    if parent.type == "array":
        return True
    if parent.type == "unary":
        # `-f a`, `~f a`, `defined? f a` are refused anywhere; `!f a` only where a
        # statement or a condition goes, as `not f a` may.
        op = parent.children[0].type
        return op != "not" and (op != "!" or not _ruby_takes_expression(parent))
    if parent.type == "argument_list":
        return parent.named_children[0] != n
    if parent.type == "element_reference":
        indices = [c for c in parent.named_children if c != parent.child_by_field_name("object")]
        return bool(indices) and indices[0] != n
    if parent.type in _RUBY_ASSIGNMENTS and parent.child_by_field_name("right") == n:
        # `x = g y` as a statement (`a = b = g y` too), not as a condition or an argument
        up = parent
        while (
            up.parent is not None
            and up.parent.type in _RUBY_ASSIGNMENTS
            and up.parent.child_by_field_name("right") == up
        ):
            up = up.parent
        holder = up.parent
        return holder is not None and not (
            holder.type in _RUBY_STATEMENTS
            or (holder.type in _RUBY_MODIFIERS and holder.child_by_field_name("body") == up)
        )
    return False


def _ruby_takes_expression(n: Node) -> bool:
    """Whether ``n`` stands where Ruby takes any expression, `not f a` and
    `!f a` included: a statement, a condition, what `not` negates."""
    up = n.parent
    if up is None or up.type in _RUBY_STATEMENTS or up.type in _RUBY_MODIFIERS:
        return True
    if up.type == "unary" and up.children[0].type == "not":
        return True
    return up.type in _RUBY_CONDITIONED and up.child_by_field_name("condition") == n


def _ruby_keyword_call(n: Node) -> bool:
    """Whether ``n`` is a call of ``a`` whose first argument calls a keyword: the
    grammar's reading of a modifier among arguments, which Ruby refuses
    (`[a rescue b]` as `a(rescue(b))`)."""
    if n.type != "call" or n.child_by_field_name("receiver") is not None:
        return False
    args = n.child_by_field_name("arguments")
    first = args.named_children[0] if args is not None and args.named_child_count else None
    if first is None or first.type != "call" or first.child_by_field_name("receiver") is not None:
        return False
    name = first.child_by_field_name("method")
    return name is not None and not is_identifier("ruby", (name.text or b"").decode(errors="replace"))


_RUBY_TARGETS = frozenset(
    {"identifier", "instance_variable", "class_variable", "global_variable", "constant", "scope_resolution",
     "element_reference", "left_assignment_list", "call"}
)  # fmt: skip


def _ruby_target(n: Node) -> bool:
    """Whether Ruby assigns to ``n``: a variable, a constant (outside a method),
    an index, or an attribute (a call without arguments whose name ends in no
    ``?`` or ``!``)."""
    if n.type not in _RUBY_TARGETS:
        return False
    if n.type in ("constant", "scope_resolution") or (
        n.type == "left_assignment_list"
        and any(c.type in ("constant", "scope_resolution") for c in n.named_children)
    ):
        return not _in_method(n)  # a constant is not assigned in a method's body
    if n.type != "call":
        return True
    name = n.child_by_field_name("method")
    return (
        n.child_by_field_name("arguments") is None
        and n.child_by_field_name("block") is None
        and name is not None
        and name.type in ("identifier", "constant")
        and not (name.text or b"").endswith((b"?", b"!"))
    )


def _in_method(n: Node) -> bool:
    up = n.parent
    while up is not None and up.type not in ("method", "singleton_method"):
        up = up.parent
    return up is not None


def _ruby_expression(n: Node) -> bool:
    """Whether ``n`` is ``not a``, ``a and b`` or ``a or b`` (``not(a)`` is an argument)."""
    if n.type == "binary":
        op = n.child_by_field_name("operator")
        return op is not None and op.type in ("and", "or")
    if n.type == "unary" and n.child_count == 2 and n.children[0].type == "not":
        operand = n.children[1]
        return not (
            operand.type == "parenthesized_statements" and operand.start_byte == n.children[0].end_byte
        )
    return False


# What PHP refuses though its tree-sitter grammar reads it: a reserved word as
# a constant (`isset ? a : b`), `isset(...)` and the like taken apart
# (`isset($a)->x`), isset and unset of what is not a variable, and an
# assignment to what is not a variable (`f() = 1`).
_PHP_ASSIGNMENTS = frozenset(
    {"assignment_expression", "augmented_assignment_expression", "reference_assignment_expression"}
)
_PHP_CALLS = frozenset(
    {"function_call_expression", "member_call_expression", "nullsafe_member_call_expression",
     "scoped_call_expression", "object_creation_expression"}
)  # fmt: skip
_PHP_CONSTRUCTS = frozenset({b"isset", b"empty", b"eval", b"exit", b"die"})
_PHP_EXPRESSION_PARENTS = frozenset(
    {"argument", "conditional_expression", "binary_expression", "unary_op_expression", "parenthesized_expression",
     "array_element_initializer", "return_statement", "echo_statement", "expression_statement", "cast_expression",
     "clone_expression", "assignment_expression", "augmented_assignment_expression", "subscript_expression",
     "print_intrinsic", "arrow_function", "object_creation_expression"}
)  # fmt: skip
_PHP_TAKEN_APART = frozenset(
    {"member_access_expression", "nullsafe_member_access_expression", "member_call_expression",
     "nullsafe_member_call_expression", "subscript_expression", "function_call_expression"}
)  # fmt: skip
_PHP_VARIABLES = frozenset(
    {"variable_name", "dynamic_variable_name", "member_access_expression", "nullsafe_member_access_expression",
     "subscript_expression", "scoped_property_access_expression"}
)  # fmt: skip


def _php_else_taken(n: Node) -> bool:
    """Whether the `if` ``n`` without an `else` ends the body of an `if` with one,
    which PHP gives to ``n`` (the nearest `if`) though its grammar reads it as the outer's."""
    node = n
    while node.parent is not None:
        up = node.parent
        if up.type == "if_statement" and up.child_by_field_name("body") == node:
            return up.child_by_field_name("alternative") is not None
        if up.end_byte != node.end_byte:
            return False
        node = up
    return False


_PHP_PREFIXES = frozenset({"unary_op_expression", "cast_expression"})


def _php_refused(n: Node) -> bool:
    parent = n.parent
    if parent is None:
        return False
    if n.type == "if_statement" and n.child_by_field_name("alternative") is None and _php_else_taken(n):
        return True
    first = parent.named_children[0] if parent.named_child_count else None
    taken_apart = parent.type in _PHP_TAKEN_APART and first == n
    if n.type == "object_creation_expression" and taken_apart:
        return True  # `new A()->m()` is PHP 8.4's; before it, `(new A())->m()`
    if n.type in _PHP_PREFIXES:
        # `**` binds more tightly than `-`, `!` and casts, however many stand before its
        # left operand: `-$a ** 2` is `-($a ** 2)`, `- -$a ** 2` is `-(-($a ** 2))`.
        top = n
        while top.parent is not None and top.parent.type in _PHP_PREFIXES:
            top = top.parent
        up = top.parent
        op = up.child_by_field_name("operator") if up is not None and up.type == "binary_expression" else None
        if op is not None and op.type == "**" and up is not None and up.child_by_field_name("left") == top:
            return True
    if n.type == "name" and not is_identifier("php", (n.text or b"").decode(errors="replace")):
        return parent.type in _PHP_EXPRESSION_PARENTS or (
            taken_apart and parent.type != "function_call_expression"
        )
    if n.type == "function_call_expression" and taken_apart and _php_construct(n) in _PHP_CONSTRUCTS:
        return True
    if parent.type in _PHP_ASSIGNMENTS and parent.child_by_field_name("left") == n:
        if n.type == "variable_name" and (n.text or b"").lower() == b"$this":
            return True  # PHP re-assigns no `$this`
        return n.type not in _PHP_VARIABLES and n.type not in ("list_literal", "array_creation_expression")
    if parent.type == "reference_assignment_expression" and parent.child_by_field_name("right") == n:
        return n.type not in _PHP_VARIABLES and n.type not in _PHP_CALLS  # `= &` takes a variable or a call
    inner = n.named_children[0] if n.type == "argument" and n.named_child_count == 1 else n
    arg = n if n.type == "argument" else parent
    if arg.type == "argument" and arg.parent is not None and arg.parent.parent is not None:
        call = arg.parent.parent
        if call.type == "function_call_expression" and _php_construct(call) in (b"isset", b"unset"):
            return inner.type not in _PHP_VARIABLES
    return False


def _php_construct(call: Node) -> bytes:
    """The name a PHP call calls, lower-cased, when it is a plain name."""
    f = call.child_by_field_name("function")
    return (f.text or b"").lower() if f is not None and f.type == "name" else b""


_WORD = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_$")
# Pairs of characters that read as one token when nothing separates them.
_JOINS = frozenset({"++", "--", "//", "/*", "*/", "<<", ">>", "&&", "||", "==", "+=", "-=", "**", "::", ".."})


def runs_into(before: str, text: str, after: str, lang: str) -> bool:
    """Whether ``text``, written between the characters ``before`` and ``after``
    (either may be ""), would run into one of them as one token.

    >>> runs_into("-", "-1", "", "python"), runs_into("(", "x", ")", "python")
    (True, False)
    """
    if lang == "php" and before == "." and text[:1].isdigit():
        return True  # `$x.1` is `$x` and the number `.1`
    if lang == "lua" and after == "." and text[-1:].isdigit() and text[:1] in "0123456789.":
        return True  # a numeral goes on through dots: `1.5..'a'` is malformed
    return bool(text) and bool(
        (before and joins(before, text[0], lang)) or (after and joins(text[-1], after, lang))
    )


def joins(a: str, b: str, lang: str = "") -> bool:
    """Whether the characters ``a`` then ``b`` would read as one token, written
    with nothing between them (two words, ``-`` and ``-``; in Ruby, whose
    method names may end with them, a word and ``!`` or ``?``, and those and
    ``:``).

    >>> joins("-", "-"), joins("x", "1"), joins("(", "-"), joins("f", "!", "ruby"), joins("\\ufeff", "x")
    (True, True, False, True, False)
    """
    word = _in_a_word(a)
    if lang == "ruby" and ((word and b in "!?%:") or (a in "!?" and b == ":")):
        return True  # `f!`, `f?` name a method; `f:` and `f?:` are labels; `f%w[]` takes a modulo
    if lang in ("ruby", "perl") and a + b in ("!~", "=~"):
        return True  # the match operators: `!~a` is no `!(~a)`
    if lang in _JS and a + b in ("<!", "!-"):
        return True  # a script reads `<!--` as a comment to the end of the line, whoever wrote the `<`
    if lang in _ARROWS and a + b == "<-":
        return True  # Go's channel operator; a token Rust keeps (`x<-y` is no comparison)
    return (word and _in_a_word(b)) or a + b in _JOINS


#: Languages that read `<-` as one token.
_ARROWS = frozenset({"go", "rust", "haskell", "scala", "ocaml", "r", "elm"})


def _in_a_word(c: str) -> bool:
    """Whether ``c`` may stand in a name: a letter, a digit, `_`, `$` (not a byte order mark, nor a space)."""
    return c in _WORD or (not c.isascii() and ("_" + c).isidentifier())
