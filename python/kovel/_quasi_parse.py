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
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from kovel.treesitter import CODE_KINDS, VERBATIM_KINDS, _kinds, _verbatim_node, language

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["Meta", "SHole", "SNode", "Skeleton", "reads_as", "parse_quasi"]

# `$$$NAME`, `$$$`, `$NAME`, `$_`: a `$` then an upper-case identifier.
_META_RE = re.compile(r"\$\$\$([A-Z][A-Z0-9_]*)?|\$([A-Z][A-Z0-9_]*|_)")

# Code is tried in these contexts, in order; `{}` marks where it goes. A
# context that wraps the code makes it parse as what it is: a statement list,
# an expression, arguments, members or parameters.
_C_CONTEXTS = (
    "{}",
    "void _kq(void) {{\n{}\n}}\n",
    "void _kq(void) {{\n{};\n}}\n",
    "void _kq(void) {{ _kq({}); }}\n",
    "struct _kq {{\n{}\n}};\n",
    "void _kq({});\n",
)
_JS_CONTEXTS = (
    "{}",
    "function _kq() {{\n{}\n}}\n",
    "_kq({});\n",
    "({{{}}});\n",
    "class _kq {{\n{}\n}}\n",
    "function _kq({}) {{}}\n",
)
_CONTEXTS: dict[str, tuple[str, ...]] = {
    "python": ("{}", "_kq({})\n", "{{{}}}\n", "def _kq({}): pass\n"),
    "c": _C_CONTEXTS,
    "cpp": _C_CONTEXTS,
    "javascript": _JS_CONTEXTS,
    "typescript": _JS_CONTEXTS,
    "tsx": _JS_CONTEXTS,
}


# What kovel.treesitter knows of each kind under its default rules: (literal,
# may be anchored, anchored whenever at column 0).
_KINDS = _kinds(VERBATIM_KINDS, CODE_KINDS)


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


@dataclass(slots=True)
class SNode:
    """A syntax node: its kind and, in order, gap texts and children."""

    kind: str
    named: bool
    verbatim: bool  # line feeds in its gaps stay text
    items: list[str | SNode | SHole] = field(default_factory=list)
    leaf: bool = False  # a token: items is its one text
    anchored: bool = False  # it starts at column 0 with a line that must stay there


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


@dataclass(slots=True)
class _Occurrence:
    meta: Meta
    placeholder: str


def _scan(code: str) -> tuple[str, list[_Occurrence]]:
    """Find the metavariables and pick a placeholder prefix that `code` lacks."""
    n = 0
    while f"_kq{n}" in code:
        n += 1
    prefix = f"_kq{n}"
    occs: list[_Occurrence] = []
    anon = 0
    for m in _META_RE.finditer(code):
        text = m.group(0)
        seq = text.startswith("$$$")
        name = m.group(1) if seq else m.group(2)
        if name == "_":
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


def _substitute(code: str, occs: list[_Occurrence], context: str, semis: bool) -> _Attempt:
    head, _, tail = context.partition("{}")
    head = head.replace("{{", "{").replace("}}", "}")
    tail = tail.replace("{{", "{").replace("}}", "}")
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
        if semis and occ.meta.own_line:
            ph += ";"
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


def _first_error(node: Node) -> Node | None:
    cursor = node.walk()
    while True:
        n = cursor.node
        assert n is not None
        if n.is_missing:
            return n
        if n.is_error:
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
        if n.has_error and cursor.goto_first_child():
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return None


def _line_col(code: str, byte_offset: int) -> tuple[int, int]:
    before = code.encode()[:byte_offset].decode(errors="ignore")
    line = before.count("\n") + 1
    return line, len(before) - (before.rfind("\n") + 1) + 1


class _Converter:
    def __init__(self, att: _Attempt, restore: re.Pattern[str], originals: dict[str, str]) -> None:
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
        last = self.src.rfind(b"\n", start, node.end_byte)
        return last >= 0 and self.src[last + 1 : last + 2] not in (b"", b" ", b"\t", b"\r", b"\f", b"\v")

    def hole_of(self, node: Node, parent_kind: str) -> SNode | SHole | None:
        meta = self.spans.get((node.start_byte, node.end_byte))
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
        if len(chain) >= 2:
            parent_kind = chain[-3].type if len(chain) >= 3 else parent_kind
            hole_node = chain[-2]
        else:
            hole_node = chain[0]
        kind = hole_node.type
        statement = kind.endswith("statement") or self.src[node.end_byte - 1 : node.end_byte] == b";"
        # A hole for the only node of a list (chain of three) ends it.
        hole = SHole(meta, kind, parent_kind, statement, True if len(chain) >= 3 else None)
        # The nodes around it with the same range stay (`block` around the
        # statements of `$$$BODY`): a pattern matches the block's statements,
        # not whatever follows the block in its parent (an `else:`).
        out: SNode | SHole = hole
        for wrapper in reversed(chain[:-2]):
            v = _verbatim_node(wrapper, self.src, False)
            out = SNode(wrapper.type, wrapper.is_named, v, [out], anchored=self.anchored(wrapper))
        return out

    def convert(self, node: Node, parent_kind: str, verbatim: bool) -> SNode | SHole:
        hole = self.hole_of(node, parent_kind)
        if hole is not None:
            return hole
        kind = node.type
        anchored = self.anchored(node)
        if node.child_count == 0:
            text = self.text(node.start_byte, node.end_byte)
            return SNode(kind, node.is_named, verbatim, [text], True, anchored)
        verbatim = _verbatim_node(node, self.src, verbatim)
        out = SNode(kind, node.is_named, verbatim, anchored=anchored)
        pos = node.start_byte
        for child in node.children:
            if child.start_byte > pos:
                out.items.append(self.text(pos, child.start_byte))
            item = self.convert(child, kind, verbatim)
            # A node starts anchored when its first child does.
            if isinstance(item, SNode) and item.anchored and child.start_byte == node.start_byte:
                out.anchored = True
            out.items.append(item)
            pos = max(pos, child.end_byte)
        if node.end_byte > pos:
            out.items.append(self.text(pos, node.end_byte))
        _mark_ends(out.items)
        return out


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


def parse_quasi(lang: str, code: str) -> Skeleton:
    """Parse `code` (with metavariables) in the first context of `lang` that accepts it.

    Raises SyntaxError naming the line and column of the first error when no
    context parses the code cleanly.
    """
    from tree_sitter import Parser

    parser = Parser(language(lang))
    prefix, occs = _scan(code)
    originals = {o.placeholder: o.meta.text for o in occs}
    restore = re.compile(re.escape(prefix) + r"(?:[13]_[A-Z][A-Z0-9_]*|[as]\d+)")
    stripped = code.strip()
    lead = len(code.encode()) - len(code.lstrip().encode())
    trail = len(code.rstrip().encode())
    best_error: tuple[int, str] | None = None
    fallback: Skeleton | None = None
    for context in _CONTEXTS.get(lang, ("{}",)):
        for semis in (False, True) if occs else (False,):
            att = _substitute(code, occs, context, semis)
            tree = parser.parse(att.source)
            err = _first_error(tree.root_node)
            if err is not None:
                offset = min(max(_to_code_offset(att, err.start_byte), 0), len(code.encode()))
                what = f"missing {err.type!r}" if err.is_missing else "unexpected text"
                if best_error is None or offset > best_error[0]:
                    best_error = (offset, what)
                continue
            # Byte offsets in `source` shift with the placeholders before them.
            lo = _source_offset(att, lead) if stripped else att.lo
            hi = _source_offset(att, trail) if stripped else att.lo
            found = _region(tree.root_node, lo, hi) if stripped else None
            if found is None and stripped:
                continue
            conv = _Converter(att, restore, originals)
            root = _build_root(conv, found, code, lead, trail, lo, hi, stripped)
            sk = Skeleton(lang, code, root, tuple(o.meta for o in occs), context, semis)
            if len(conv.holes) == len(occs):
                return sk
            if fallback is None:
                fallback = sk
    if fallback is not None:
        return fallback
    offset, what = best_error if best_error is not None else (0, "no parse")
    line, col = _line_col(code, offset)
    exc = SyntaxError(f"{lang} code does not parse: {what} at line {line}, column {col}")
    exc.filename, exc.lineno, exc.offset = f"<{lang} template>", line, col
    exc.text = code.splitlines()[line - 1] if code.splitlines() else ""
    raise exc


def _source_offset(att: _Attempt, code_offset: int) -> int:
    """The offset in the substituted source of a code offset outside any metavariable."""
    p = att.lo + code_offset
    for occ_range, meta in att.spans.items():
        if meta.at[1] <= code_offset:
            p += (occ_range[1] - occ_range[0]) - (meta.at[1] - meta.at[0])
    return p


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
        root = SNode(container.type, True, _verbatim_node(container, conv.src, False))
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


def reads_as(sk: Skeleton, meta: Meta, text: str, kind: str | None) -> bool:
    """Whether ``text``, put in the template's code in place of ``meta``, is read
    as one node there (of kind ``kind``, when it is one of the grammar's): the
    code around it does not take part of it, nor it part of the code.

    >>> sk = parse_quasi("python", "y = $X * 2")
    >>> reads_as(sk, sk.metas[0], "a + b", "binary_operator"), reads_as(sk, sk.metas[0], "a.b", None)
    (False, True)
    """
    from tree_sitter import Parser

    raw = sk.code.encode()
    s, e = meta.at
    code = (raw[:s] + text.encode() + raw[e:]).decode()
    _, occs = _scan(code)
    if any(o.meta.at[0] < s + len(text.encode()) and o.meta.at[1] > s for o in occs):
        return False  # the text itself reads as a metavariable
    att = _substitute(code, occs, sk.context, sk.semis)
    tree = Parser(language(sk.lang)).parse(att.source)
    if tree.root_node.has_error or (sk.lang == "python" and not _python_accepts(sk, att.source)):
        return False
    if _misranked(sk.lang, tree.root_node):
        return False
    lo = _source_offset(att, s)
    hi = lo + len(text.encode())
    node = tree.root_node
    while True:
        if (node.start_byte, node.end_byte) == (lo, hi):
            break
        inner = [c for c in node.children if c.start_byte <= lo and c.end_byte >= hi]
        if len(inner) != 1:
            return False
        node = inner[0]
    if kind is None or language(sk.lang).id_for_node_kind(kind, True) is None:
        return True
    while True:
        if node.type == kind:
            return True
        if node.child_count != 1:
            return False
        node = node.children[0]


def _python_accepts(sk: Skeleton, source: bytes) -> bool:
    """Whether CPython's parser takes ``source``, where it takes the template
    itself: tree-sitter's grammar is looser (``c and lambda: 4``)."""
    try:
        ast.parse(source)
        return True
    except (SyntaxError, ValueError):
        pass
    _, occs = _scan(sk.code)
    try:
        ast.parse(_substitute(sk.code, occs, sk.context, sk.semis).source)
    except (SyntaxError, ValueError):
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
_RANKS = {"javascript": _JS_RANKS, "typescript": _JS_RANKS, "tsx": _JS_RANKS, "c": _C_RANKS,
          "cpp": _C_RANKS, "java": _JAVA_RANKS}  # fmt: skip


def _misranked(lang: str, root: Node) -> bool:
    """Whether the tree holds what the language refuses, or reads otherwise,
    though its tree-sitter grammar reads it: a low-ranked expression (arrow
    function, assignment) as an operand; JavaScript's ``-3 ** 2``."""
    ranks = _RANKS.get(lang)
    if ranks is None:
        return False
    low, operators, heads = ranks
    stack = [root]
    while stack:
        n = stack.pop()
        parent = n.parent
        if parent is not None:
            if n.type in low and (
                parent.type in operators or (parent.type in heads and parent.children[0] == n)
            ):
                return True
            if (
                parent.type == "binary_expression"
                and parent.child_count == 3
                and parent.children[1].type == "**"
                and parent.children[0] == n
                and n.type in ("unary_expression", "await_expression")
            ):
                return True
        stack.extend(n.children)
    return False
