"""Templates, and filling them: a skeleton compiled into a native program that builds the term.

Every subtree without a hole is built once, when the template is compiled,
and shared by all the terms the template makes; only the nodes on the way
from the root to a hole are built per fill, in one native call
(``kovel_python/native/fill.cpp``) that replays their builder calls.
"""

from __future__ import annotations

import functools
import io
import math
import re
import tokenize
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import replace
from functools import lru_cache
from typing import Any, NamedTuple

from kovel import _native, tree as kt
from kovel._kovel import Builder, KTerm, leaf, tb
from kovel.quasi.contexts import is_type_kind, split_context, type_context
from kovel.quasi.lift import (
    LIFTERS,
    escape_in_literal,
    is_attribute_name,
    is_bound_name,
    is_identifier,
    is_type_name,
    lift_python,
)
from kovel.quasi.parse import (
    HOLDS_A_BODY,
    IN_COMMENT,
    IN_TOKEN,
    JSX_ONLY,
    MISREAD,
    NAMED_ARGUMENTS,
    READ,
    RUN,
    MisreadError,
    SHole,
    Skeleton,
    SNode,
    c_primary,
    clipped,
    hole_literals,
    is_hole,
    parse_quasi,
    reading,
    reads_as,
    reads_without,
    refused_at,
    refuses_statements,
    runs_into,
    token_at,
    too_deep,
)
from kovel.quasi.shape import KnownKinds, grouped, inner_node, parentheses, shape
from kovel.quasi.wire import FillOp, HoleSpec
from kovel.treesitter import parse
from kovel.treesitter.grammars import canonical_name
from kovel.treesitter.layout import gap_commands, is_literal_kind, leaf_term

__all__ = [
    "MOST_HOLES",
    "BoundText",
    "ChainLink",
    "LiteralText",
    "Siblings",
    "Template",
    "build_constant",
    "compile_filler",
    "fitted",
    "made_text",
    "one_value",
    "run_text",
    "several",
    "template",
    "type_template",
]


class LiteralText(str):
    """Text as a string literal holds it, escapes and all (what stood inside a
    literal with the same delimiters): a hole inside a literal takes it as it
    is, where a plain ``str`` is escaped for the literal.

    >>> str(template("python", 'f("$A")').fill(A=LiteralText("a\\n")))
    'f("a\\n")'
    """

    __slots__ = ()


class BoundText:
    """A term bound by a match, with the text it stands for inside string
    literals: a hole in code takes ``term``, a hole inside a literal takes
    ``text``, as it is when ``verbatim`` (what stood inside a literal of the
    same kind), else escaped for the literal (code written as text).

    >>> from kovel import name
    >>> print(template("python", 'check($X, "no $X")').fill(X=BoundText(name("a"), "a", False)))
    check(a, "no a")
    """

    __slots__ = ("term", "text", "verbatim")

    def __init__(self, term: KTerm, text: str, verbatim: bool) -> None:
        self.term = term
        self.text = text
        self.verbatim = verbatim

    def __repr__(self) -> str:
        return f"BoundText({self.term!r}, {self.text!r}, {self.verbatim!r})"


class ChainLink(NamedTuple):
    """A match's value for a metavariable that stood, in the pattern, as what a
    member, an index or a call applies to (``$F`` in ``$F()``): an optional
    chain in it went on into that link in the source, and goes on into the
    template's link as well (``r?.m()`` to ``r?.m(1)``, not ``(r?.m)(1)``).

    >>> from kovel import name
    >>> template("javascript", "$F(1)").fill(F=ChainLink(name("f"))).coparse()
    'f(1)'
    """

    term: KTerm


class Siblings(list[KTerm]):
    """The siblings a ``$$$`` metavariable matched, in order.

    The list holds the matched nodes (separator tokens such as ``,`` left
    out); ``raw`` is the whole run as it stood in the source, separators and
    layout included, which is what a template splices for it (see
    ``spliced``).
    """

    __slots__ = ("_bare", "_items", "raw")

    def __init__(self, items: Iterable[KTerm], raw: KTerm | None) -> None:
        super().__init__(items)
        self.raw = raw
        self._items = tuple(self)
        self._bare: KTerm | None = None

    def unchanged(self) -> bool:
        """True while the list still holds exactly what the match put in it."""
        return len(self) == len(self._items) and all(a is b for a, b in zip(self, self._items, strict=True))

    def spliced(self, list_kind: str, at_end: bool) -> KTerm | None:
        """``raw`` as a hole in a list of ``list_kind`` takes it: with its trailing
        separator (``x,``) only at the end of a list of the kind it came from."""
        raw = self.raw
        if raw is None or (at_end and _native.tag(raw) == list_kind):
            return raw
        if self._bare is None:
            self._bare = _without_trailing_separators(raw, self._items)
        return self._bare


def _is(k: KTerm, item: KTerm) -> bool:
    """Whether the child ``k`` of a run is ``item`` (which the matcher took through quotes)."""
    while not _native.same(k, item) and _native.kind(k) != "tuple":
        k = _native.children(k)[0]
    return _native.same(k, item)


def _without_trailing_separators(raw: KTerm, items: tuple[KTerm, ...]) -> KTerm:
    """``raw`` without the separator tokens (childless, their text their tag, not
    one of the run's ``items``) after its last item; comments there stay, with
    the layout before them."""
    kids = kt.children(raw)
    dropped: set[int] = set()
    last = items[-1] if items else None
    for i in range(len(kids) - 1, -1, -1):
        k = kids[i]
        if _native.is_comment(k):
            continue
        if not _native.is_token(k) or (last is not None and _is(k, last)):
            break
        dropped.add(i)
    if not dropped:
        return raw
    # The layout before a dropped separator goes too, but for its line breaks
    # (one may end a comment's line).
    cmds: list[tuple[str, str]] = []
    pending: list[tuple[str, str]] = []
    hole = 0
    for op, text in kt.commands(raw):
        if op != "hole":
            pending.append((op, text))
            continue
        if hole in dropped:
            pending = [c for c in pending if c[0] == "nl"]
        else:
            cmds += pending
            cmds.append((op, text))
            pending = []
        hole += 1
    cmds += pending
    kept = [k for i, k in enumerate(kids) if i not in dropped]
    return kt.node(kt.tag(raw), kept, cmds)


def _without_leading_keyword(raw: KTerm, word: str, any_word: bool) -> KTerm:
    """``raw`` without its first child when that is the keyword ``word`` (with
    ``any_word``, any keyword), and without the layout between that keyword and
    the next child."""
    kids = kt.children(raw)
    if len(kids) < 2 or not _native.is_token(kids[0]):
        return raw
    first = str(kids[0])
    if not (first == word or (any_word and first.isalpha() and first.islower())):
        return raw
    cmds: list[tuple[str, str]] = []
    hole = 0
    for op, text in kt.commands(raw):
        if op == "hole":
            if hole:
                cmds.append((op, text))
            hole += 1
        elif hole != 1:  # (the layout right after the dropped token goes with it)
            cmds.append((op, text))
    return kt.node(kt.tag(raw), list(kids[1:]), cmds)


def _has_hole(n: SNode | SHole | str) -> bool:
    if isinstance(n, SHole):
        return True
    if isinstance(n, str) or n.leaf:
        return False
    return any(_has_hole(i) for i in n.items)


def _gap_ops(n: SNode) -> Iterator[tuple[str, str] | SNode | SHole]:
    """The items of ``n``, each gap text replaced by its builder calls, laid out as
    kovel.treesitter lays out a parsed node: a line feed outside literals is a line
    break, except the one right before a child that stays at column 0."""
    items = n.items
    for i, item in enumerate(items):
        if not isinstance(item, str):
            yield item
            continue
        after = items[i + 1] if i + 1 < len(items) else None
        yield from gap_commands(item, n.verbatim, isinstance(after, SNode) and after.anchored)


def build_constant(n: SNode) -> KTerm:
    """The term of a subtree without holes, laid out as kovel.treesitter does."""
    if n.leaf:
        text = n.items[0] if n.items else ""
        assert isinstance(text, str)
        return leaf_term(n.kind, text, n.verbatim or is_literal_kind(n.kind))
    b: Builder = tb(n.kind)
    for op in _gap_ops(n):
        if isinstance(op, tuple):
            if op[0] == "write":
                b.w(op[1])
            else:
                b.n()
        else:
            assert isinstance(op, SNode)
            b.c(build_constant(op))
    return b.b()


class _Compiler:
    """Flattens a skeleton into the builder calls of ``_native.compile_template``.

    A subtree without a hole becomes a constant term; a node above a hole
    becomes a frame: its tag and its calls (write, line break, child), where
    a child is a constant, a hole or an earlier frame.
    """

    def __init__(self) -> None:
        self.frames: list[tuple[str, tuple[tuple[int, object], ...]]] = []
        self.holes: list[SHole] = []

    def op(self, n: SNode | SHole) -> tuple[int, object]:
        if isinstance(n, SHole):
            self.holes.append(n)
            return (FillOp.HOLE, len(self.holes) - 1)
        if not _has_hole(n):
            return (FillOp.CONST, build_constant(n))
        ops: list[tuple[int, object]] = []
        for item in _gap_ops(n):
            if isinstance(item, tuple):
                ops.append((FillOp.WRITE, item[1]) if item[0] == "write" else (FillOp.NL, None))
            else:
                ops.append(self.op(item))
        self.frames.append((n.kind, tuple(ops)))
        return (FillOp.FRAME, len(self.frames) - 1)


def _is_separator(item: str | SNode | SHole) -> bool:
    return isinstance(item, SNode) and item.leaf and not item.named and item.items in ([","], [";"])


def _without_hole(items: list[str | SNode | SHole], i: int) -> list[str | SNode | SHole]:
    """``items`` without the hole at ``i`` and the separator that joins it to a
    sibling: the one after it with the layout that follows (``f($$$A, x)``), else
    the one before it (``f(x, $$$A)``).  A hole without one (a statement, a
    sole argument) stays: it renders nothing and keeps its place in the term."""
    j = i + 1
    while j < len(items) and isinstance(items[j], str):
        j += 1
    if j < len(items) and _is_separator(items[j]):
        k = j + 1
        while k < len(items) and isinstance(items[k], str):
            k += 1
        return items[:i] + items[k:]
    j = i - 1
    while j >= 0 and isinstance(items[j], str):
        j -= 1
    if j >= 0 and _is_separator(items[j]):
        return items[:j] + items[i + 1 :]
    # A hole alone on its line takes the line with it (no blank line is left).
    hole, before, after = items[i], items[i - 1] if i else None, items[i + 1] if i + 1 < len(items) else None
    if isinstance(hole, SHole) and hole.meta.own_line and isinstance(before, str) and isinstance(after, str):
        head = re.search(r"\n[ \t]*\Z", before)
        if head is not None and re.match(r"[ \t]*(?:\r?\n|\Z)", after):
            return [*items[: i - 1], before[: head.start()], *items[i + 1 :]]
    return items


def _drop_runs(n: SNode | SHole, names: frozenset[str]) -> SNode | SHole:
    """A copy of the skeleton under ``n`` without the ``$$$`` holes named in ``names``."""
    if isinstance(n, SHole) or n.leaf or not _has_hole(n):
        return n
    items = [i if isinstance(i, str) else _drop_runs(i, names) for i in n.items]
    k = 0
    while k < len(items):
        item = items[k]
        if isinstance(item, SHole) and item.meta.seq and item.meta.name in names:
            shorter = _without_hole(items, k)
            if shorter is not items:
                items = shorter
                continue
        k += 1
    if n.kind == "set" and not any(
        (isinstance(i, SHole) and not (i.meta.seq and i.meta.name in names))
        or (isinstance(i, SNode) and i.named)
        for i in items
    ):
        # Python's `{}` is an empty dict: an empty set is written `set()`.
        return SNode("call", True, False, ["set()"], True, n.anchored, n.at)
    return replace(n, items=items)


def _lift(lang: str, hole: SHole, value: object) -> KTerm:
    if isinstance(value, KTerm):
        return value
    lifter = LIFTERS.get(lang)
    if lifter is None:
        raise TypeError(
            f"no lifter for {lang!r}: cannot splice a {type(value).__name__} value into {hole.meta.text}; "
            "pass a KTerm or add one with kovel.quasi.register_lifter"
        )
    try:
        return lifter(value)
    except TypeError as exc:
        raise TypeError(f"cannot splice into {hole.meta.text}: {exc}") from None
    except ValueError as exc:  # out of range, or text the language cannot hold
        raise ValueError(f"cannot splice into {hole.meta.text}: {exc}") from None


def _in_literal(lang: str, hole: SHole, value: object, around: tuple[str, str] = ("", "")) -> KTerm:
    """The text of a hole inside a string literal: the value escaped for that
    literal, or ``LiteralText`` as it is; inside a token, the value's text;
    inside a comment, its text as the comment can hold it (``around``: the
    template's text before the hole and after it, on its line).  A match's
    text the place cannot hold is a ``MisreadError``: that match is left
    alone, not the file."""
    try:
        return _literal_term(lang, hole, value, around)
    except (TypeError, ValueError) as exc:
        if isinstance(value, BoundText) and not isinstance(exc, MisreadError):
            raise MisreadError(str(exc)) from None
        raise


def _literal_term(lang: str, hole: SHole, value: object, around: tuple[str, str]) -> KTerm:
    if hole.literal == IN_TOKEN:
        return leaf_term(hole.kind, _token_text(hole, value, around[0]), True)
    if hole.literal == IN_COMMENT:
        return leaf_term(hole.kind, _comment_text(lang, hole, value, around[1]), True)
    if isinstance(value, BoundText):
        value = LiteralText(value.text) if value.verbatim else value.text
    if isinstance(value, LiteralText):
        return leaf_term(hole.kind, str(value), True)
    if isinstance(value, KTerm):
        raise TypeError(f"{hole.meta.text} stands inside a string literal: it takes a str, not a KTerm")
    assert hole.literal is not None
    if hole.braces and isinstance(value, str):
        value = value.replace("{", "{{").replace(
            "}", "}}"
        )  # a format string's braces, as text (not its escapes')
    try:
        text = escape_in_literal(lang, hole.literal, value, around[0])
    except TypeError as exc:
        raise TypeError(f"cannot splice into {hole.meta.text}: {exc}") from None
    except ValueError as exc:
        raise ValueError(f"cannot splice into {hole.meta.text}: {exc}") from None
    # A literal inside an f-string's braces takes neither before Python 3.12.
    refused = _fstring_refusal(hole, text) if lang == "python" and hole.within is not None else None
    if refused is not None:
        raise ValueError(refused)
    return leaf_term(hole.kind, text, True)


def _token_text(hole: SHole, value: object, before: str) -> str:
    """The text a value puts into a token (``get_$NAME``): a term's, or a match's
    source text, or a ``str``; only a word, which cannot end the token there,
    nor, in a literal, go on with an escape the text ``before`` it leaves open."""
    if isinstance(value, BoundText):
        text = value.text
    elif isinstance(value, KTerm | str | LiteralText):
        text = str(value)
    else:
        raise TypeError(
            f"{hole.meta.text} stands inside a token: it takes a str or a KTerm, not {type(value).__name__}"
        )
    if not _WORD_TEXT.fullmatch(text):
        raise ValueError(
            f"cannot splice into {hole.meta.text}: {clipped(text)!r} is not letters, digits and"
            " underscores, which alone keep the token one token"
        )
    if is_literal_kind(hole.kind) and "raw" not in hole.kind and _OPEN_ESCAPE.search(before):
        raise ValueError(
            f"cannot splice into {hole.meta.text}: {clipped(text)!r} would go on with the escape"
            f" {before[before.rfind(chr(92)) :]!r} before it"
        )
    if is_literal_kind(hole.kind) and _OPEN_SIGIL.search(before):
        raise ValueError(
            f"cannot splice into {hole.meta.text}: {clipped(text)!r} would make the {before[-1]!r} before it"
            " an interpolation"
        )
    if text == hole.ends and hole.meta.own_line:
        raise ValueError(f"cannot splice into {hole.meta.text}: {text!r} alone on its line ends the heredoc")
    return text


_WORD_TEXT = re.compile(r"\w+")
# What interpolates the name after it in a string (Kotlin's, PHP's, Dart's `$`, Perl's
# `@`, Ruby's `#@`), not itself escaped: a word after it would be read as a name.
_OPEN_SIGIL = re.compile(r"(?<!\\)(?:\\\\)*[$@#]\Z")
# An escape that takes a varying number of characters (`\x1`, `\u00`, `\12`, `\c`), not
# itself escaped: a word after it may go on with it.
_OPEN_ESCAPE = re.compile(r"(?<!\\)(?:\\\\)*\\(?:[xuUoN0-7]|c|[CM]-)[0-9A-Fa-f{]*\Z")


def _comment_text(lang: str, hole: SHole, value: object, rest: str) -> str:
    """The text a value puts into a comment: one that cannot end the comment
    early (a line comment's text on one line, a block comment's without its
    closer), lest the rest of it be read as code, nor make it another thing
    (a directive, a doc comment, an encoding declaration). ``rest`` is the
    template's text after the hole, to the end of its line."""
    text = value.text if isinstance(value, BoundText) else str(value)  # (a run comes as its text)
    before = hole.within or ""
    refused = _refused_in_comment(lang, before, text)
    if refused is not None:
        raise ValueError(f"cannot splice into {hole.meta.text}: {clipped(text)!r} {refused}")
    key = canonical_name(lang)
    closer = _comment_closer(key, before)
    seqs = _comment_enders(key, before, closer)
    text = _kept_apart(before, _broken_up(key, closer, seqs, text), rest, seqs)
    turns = _OPENER_TURNS.get(key)
    m = turns.match(before + text) if turns is not None else None
    if m is not None and m.end() > len(before):
        text = " " + text
    if key in _C_PREPROCESSED and closer is None and text.rstrip().endswith("\\") and not rest.strip():
        raise ValueError(
            f"cannot splice into {hole.meta.text}: {clipped(text)!r} ends the line with a backslash,"
            " which would go on with the next line"
        )
    return text


def _broken_up(key: str, closer: str | None, seqs: tuple[str, ...], text: str) -> str:
    """``text`` on one line for a line comment (no closer), with a space inside
    each of ``seqs`` and each splice into a closer, and a coding declaration
    broken up in Python."""
    if closer is None:
        text = " ".join(text.splitlines())
    for seq in seqs:
        while seq in text:
            text = text.replace(seq, seq[0] + " " + seq[1:])
    if key in _C_PREPROCESSED and closer is not None:
        text = _SPLICED_CLOSER.sub("* ", text)
    return _CODING.sub(" ", text) if key == "python" else text


def _comment_closer(key: str, before: str) -> str | None:
    """What ends the block comment whose text before the hole is ``before``;
    None for a comment that ends at its line's end."""
    lua = _LUA_LONG.match(before) if key in _LUA else None
    if lua is not None:
        return "]" + lua.group(1) + "]"
    return next((c for o, c in _BLOCK_COMMENTS if before.startswith(o)), None)


def _comment_enders(key: str, before: str, closer: str | None) -> tuple[str, ...]:
    """The texts that would end or change a comment: its closer (and, where
    comments nest, its opener); a line comment's own enders."""
    if closer is not None:
        seqs = [closer]
        if key in _NESTED_COMMENTS:
            seqs += [o for o, c in _BLOCK_COMMENTS if c == closer and before.startswith(o)]
    else:
        seqs = list(_LINE_COMMENT_ENDERS.get(key, ()))
    return (*seqs, *_COMMENT_CHANGERS.get(key, ()))


def _kept_apart(before: str, text: str, rest: str, seqs: tuple[str, ...]) -> str:
    """``text`` with a space at either end where it would make one of ``seqs``
    with the template's text beside it."""
    for seq in seqs:
        for i in range(1, len(seq)):
            if before.endswith(seq[:i]) and text.startswith(seq[i:]):
                text = " " + text
            if text.endswith(seq[:i]) and rest.startswith(seq[i:]):
                text += " "
    return text


def _refused_in_comment(lang: str, before: str, text: str) -> str | None:
    """Why ``text`` cannot go into a comment whatever is done to it, or None."""
    for ch, why in _REFUSED_IN_SOURCE.items():
        if ch in text:
            return f"holds {ch!r}: {why}"
    key = canonical_name(lang)
    if key in ("ocaml", "ocaml_interface") and text.count('"') % 2:
        return "would open a string literal, which OCaml reads inside comments too"
    if key == "ruby" and not before.lstrip("#").strip() and _RUBY_MAGIC.match(text):
        return "would be read as a magic comment, which changes how Ruby reads the file"
    return None


# Block comments' openers and closers; any other comment ends at its line's end.
_BLOCK_COMMENTS = (
    ("/*", "*/"),
    ("(*", "*)"),
    ("{-", "-}"),
    ("/+", "+/"),
    ("<!--", "-->"),
    ("=begin", "=end"),
)
# Lua's long comment `--[==[`: what ends it has as many `=` as what opened it.
_LUA = frozenset({"lua", "luau"})
_LUA_LONG = re.compile(r"--\[(=*)\[")
# Languages whose block comments nest: an opener inside needs a closer of its own.
_NESTED_COMMENTS = frozenset(
    {"rust", "kotlin", "swift", "scala", "dart", "haskell", "purescript", "elm", "agda", "ocaml",
     "ocaml_interface", "fsharp", "odin", "d"}
)  # fmt: skip
# What ends a line comment before its line does: PHP's `?>` leaves PHP, HTML's `--!>` ends a comment.
_LINE_COMMENT_ENDERS = {"php": ("?>",)}
# What changes a comment's text wherever it stands: C's `??/` trigraph is a
# backslash, Java reads `\u` escapes before comments, HTML also ends one at `--!>`.
_COMMENT_CHANGERS = {
    "c": ("??/",), "cpp": ("??/",), "cuda": ("??/",), "objc": ("??/",), "arduino": ("??/",),
    "java": ("\\u",), "html": ("--!>",), "ruby": ("-*-",),
}  # fmt: skip
# Languages whose source is spliced at a backslash that ends a line.
_C_PREPROCESSED = frozenset({"c", "cpp", "cuda", "objc", "arduino", "glsl", "hlsl"})
# A `*` that a line splice joins to a `/`.
_SPLICED_CLOSER = re.compile(r"\*(?=(?:\\[ \t\f\v]*(?:\r\n|\r|\n))+/)")
# Python reads `coding:` or `coding=` in a file's first two lines as its encoding.
_CODING = re.compile(r"(?<=coding)(?=[:=])")
# Ruby's magic comments (`# frozen_string_literal: true`), read where a comment starts with one.
_RUBY_MAGIC = re.compile(
    r"\s*(?:frozen[-_]string[-_]literal|encoding|coding|warn[-_]indent|warn[-_]past[-_]scope"
    r"|shareable[-_]constant[-_]value)\s*:",
    re.I,
)
# A value right after a comment's opener that would make it something else:
# a Go directive (`//go:build`, `//line`), a Rust doc comment (`///`, `//!`, `/**`),
# PHP's attribute `#[`, an operator in Haskell (`-->`), Lua's long comment
# (`--[[`), an HTML comment closed at once (`<!-->`).
_OPENER_TURNS = {
    "go": re.compile(r"(?://|/\*)\S"),
    "rust": re.compile(r"(?://|/\*)[/!*]"),
    "php": re.compile(r"#\["),
    "haskell": re.compile(r"--+[-!#$%&*+./<=>?@\\^|~:]"),
    "lua": re.compile(r"--\[=*\["),
    "html": re.compile(r"<!--(?:>|->)"),
}
# Characters no language takes in its source text.
_REFUSED_IN_SOURCE = {
    "\0": "compilers refuse NUL in source text",
    "\ufeff": "a byte order mark stands only at the start of a file",
}


def _wants_name(sk: Skeleton, hole: SHole) -> bool:
    """Whether the grammar wants a name at ``hole``, not an expression: a string
    literal does not read there (``class $NAME:``, ``function $F() {}``)."""
    if sk.lang == "html":
        return hole.kind in ("attribute", "attribute_name")
    if hole.within is not None:  # an expression inside a literal (an f-string's braces)
        return False
    if "identifier" not in hole.kind and not hole.kind.endswith("name") and hole.kind != "type_parameter":
        return False
    return not reads_as(sk, hole.meta, '"x"', None)


def _name(sk: Skeleton, hole: SHole, value: object) -> KTerm:
    """A ``str`` at a name hole becomes that name, when the language takes it as
    one there: where a type is used, a keyword naming one (``int``) too; where a
    type is declared, no name the language keeps for its own types; where a
    name is bound, none it keeps from being bound."""
    if isinstance(value, str):
        if _name_fits(sk.lang, hole, value):
            return leaf_term(hole.kind, value, False)
        raise TypeError(f"{hole.meta.text} stands where {sk.lang} wants a name: {value!r} is not one")
    raise TypeError(
        f"{hole.meta.text} stands where {sk.lang} wants a name: it takes a str or a KTerm, "
        f"not {type(value).__name__}"
    )


def _name_fits(lang: str, hole: SHole, value: str) -> bool:
    if lang == "html":
        return is_attribute_name(value)
    if _DECLARES_A_TYPE.match(hole.parent_kind) or hole.kind == "type_parameter":
        return is_bound_name(lang, value, of_type=True)
    if "type" in hole.kind:
        return is_type_name(lang, value)
    if "property" in hole.kind or "field" in hole.kind:  # a member's name: `x.eval` binds nothing
        return is_identifier(lang, value)
    return is_bound_name(lang, value)


# The nodes whose name hole is the name of the type they declare (`struct $N {}`, `type $N = ...`).
_DECLARES_A_TYPE = re.compile(
    r"(?:struct|enum|union|class|trait|interface|protocol|object|record|annotation_type|type|type_alias|alias"
    r"|type_parameter)_(?:item|specifier|declaration|definition|spec)\Z|type_(?:alias|definition|parameters)\Z"
)


def _run_text(values: object) -> str:
    """The text of a run's values, put inside a literal: a match's run as it
    stood (its trailing separator aside), else the values' texts joined by ``, ``."""
    if isinstance(values, Siblings) and values.raw is not None and values.unchanged():
        bare = values.spliced("", False)
        return str(bare if bare is not None else values.raw)
    if isinstance(values, str | bytes | KTerm) or not isinstance(values, Iterable):
        raise TypeError(f"a $$$ hole takes a sequence of values, not {type(values).__name__}")
    return ", ".join(v.text if isinstance(v, BoundText) else str(v) for v in values)


def _hole_lifter(sk: Skeleton, hole: SHole, wants_name: bool) -> Callable[[object], KTerm]:
    """How a value that is not a term becomes one at ``hole``."""
    lang = sk.lang
    if hole.literal is not None:
        around = _line_around(sk, hole)
        return lambda value: _in_literal(lang, hole, value, around)

    def lift(value: object) -> KTerm:
        if isinstance(value, BoundText):
            return value.term
        if wants_name:
            return _name(sk, hole, value)
        if lang == "python" and hole.within is not None:
            return _in_fstring_braces(hole, value)
        if lang == "python" and _in_a_pattern(hole) and isinstance(value, float) and not math.isfinite(value):
            # `float("inf")` there is a class pattern, which matches no float.
            raise ValueError(f"cannot splice {value!r} into {hole.meta.text}: no literal pattern matches it")
        if value == "__proto__" and hole.parent_kind == "pair" and hole.kind == "property_identifier":
            # An object's `__proto__: v`, quoted or not, sets its prototype; a computed key is a key.
            return tb("computed_property_name").w("[").c(_lift(lang, hole, value)).w("]").b()
        if hole.kind == "jsx_text":
            # JSX's text is no string literal (its quotes would show, its braces run code):
            # a value goes in braces, as an expression.
            return tb("jsx_expression").w("{").c(_lift(lang, hole, value)).w("}").b()
        return _lift(lang, hole, value)

    return lift


#: What JSX's text may hold as it is: text, elements, and values in braces.
_JSX_CHILDREN = frozenset(
    {
        "jsx_text",
        "jsx_element",
        "jsx_self_closing_element",
        "jsx_expression",
        "jsx_fragment",
        "html_character_reference",
    }
)


def _in_a_pattern(hole: SHole) -> bool:
    """Whether ``hole`` stands in a Python `case` pattern."""
    return hole.kind == "case_pattern" or hole.parent_kind.endswith("_pattern")


def _line_around(sk: Skeleton, hole: SHole) -> tuple[str, str]:
    """The template's text before ``hole`` and after it, on its line (the
    other holes left out after it)."""
    code = sk.code.encode()
    start, end = hole.meta.at
    first = code.rfind(b"\n", 0, start) + 1
    last = code.find(b"\n", end)
    before = code[first:start].decode(errors="ignore")
    after = code[end : last if last >= 0 else len(code)].decode(errors="ignore")
    return before, _HOLE.sub("", after)


def _in_fstring_braces(hole: SHole, value: object) -> KTerm:
    """A value lifted inside an f-string's braces, as Python 3.11 reads it
    there: strings in the other quote, and no backslash nor the f-string's own
    quote anywhere (``float('nan')``); ``ValueError`` where that cannot be."""
    if isinstance(value, str):
        return _fstring_part(hole, value)
    assert hole.within is not None
    outer = "'" if "'" in hole.within else '"'
    lifted = lift_python(value, "'" if outer == '"' else '"')
    _fits_fstring_braces(hole, str(lifted))
    return lifted


def _fits_fstring_braces(hole: SHole, text: str) -> None:
    """``MisreadError`` (a ``ValueError``) unless ``text`` may stand inside the braces
    of the f-string of ``hole``. (A match's value there is left alone, as one
    the code would read otherwise.)"""
    refused = _fstring_refusal(hole, text)
    if refused is not None:
        raise MisreadError(refused)


def _fstring_refusal(hole: SHole, text: str) -> str | None:
    """Why ``text`` may not stand inside the braces of the f-string of ``hole``
    (before Python 3.12 they take no backslash nor that f-string's quote), or None."""
    assert hole.within is not None
    outer = "'" if "'" in hole.within else '"'
    triple = hole.within.endswith(outer * 3)
    if "\\" not in text and outer not in text and not _has_comment(text) and (triple or "\n" not in text):
        return None
    return (
        f"cannot splice into {hole.meta.text}: {clipped(text)!r} inside an f-string's braces, "
        "which take no backslash, no `#`, nor the f-string's quote before Python 3.12 (nor a line "
        "break, in a one-line f-string)"
    )


def _has_comment(text: str) -> bool:
    """Whether the Python code ``text`` holds a comment (a `#` outside its strings)."""
    if "#" not in text:
        return False
    try:
        return any(t.type == tokenize.COMMENT for t in tokenize.generate_tokens(io.StringIO(text).readline))
    except (tokenize.TokenError, SyntaxError):
        return True


def _fstring_part(hole: SHole, value: str) -> KTerm:
    """A str inside an f-string's braces, as Python 3.11 reads it there: in the
    other quote, and without backslashes (``chr(10)`` for a line feed)."""
    assert hole.within is not None
    outer = "'" if "'" in hole.within else '"'
    quote = "'" if outer == '"' else '"'
    lit = lift_python(value, quote)
    if "\\" not in str(lit) and outer not in value:
        return lit
    parts: list[str] = []
    run = ""
    for ch in value:
        if ch == outer or "\\" in str(lift_python(ch, quote)):
            if run:
                parts.append(str(lift_python(run, quote)))
                run = ""
            parts.append(f"chr({ord(ch)})")
        else:
            run += ch
    if run:
        parts.append(str(lift_python(run, quote)))
    return leaf_term("binary_operator", " + ".join(parts), False)


def _seq(lang: str, hole: SHole, values: object, lead: str = "") -> KTerm | list[KTerm]:
    """The values of a ``$$$`` hole: the matched run as it stood, or the lifted terms to join.

    A run may start with the keyword that opens the body it was matched in
    (Ruby's ``then`` or ``do``, which the grammar puts in the body).  Spliced
    after that same keyword (``lead``, the one the template writes just before
    the hole), or at the start of a line of the template, where such a keyword
    cannot open a line, the run goes without it.
    """
    if isinstance(values, Siblings) and values.raw is not None and values.unchanged():
        raw = values.spliced(hole.parent_kind, bool(hole.at_end))
        assert raw is not None
        return _without_leading_keyword(raw, lead, hole.meta.own_line)
    if isinstance(values, str | bytes | KTerm) or not isinstance(values, Iterable):
        raise TypeError(f"{hole.meta.text} takes a sequence of values, not {type(values).__name__}")
    if lang == "python" and hole.within is not None:
        return [v if type(v) is KTerm else _in_fstring_braces(hole, v) for v in values]
    return [v if type(v) is KTerm else _lift(lang, hole, v) for v in values]


def _one_value(t: KTerm, spliced: str | None = None) -> bool:
    """Whether ``t`` is a value on one line (with ``spliced``, the text the run
    splices, nothing else but it)."""
    text = str(t)
    return "\n" not in text and (spliced is None or spliced == text) and not _native.is_statement(t)


_LAST_WORD = re.compile(r"([a-z]+)\s*\Z")


def _keyword_before(code: str, at: int) -> str:
    """The lowercase word that ends the template's code just before byte ``at``
    (spaces between), or ""."""
    m = _LAST_WORD.search(code.encode()[:at].decode(errors="ignore"))
    return m.group(1) if m else ""


def _seq_of_one(
    guard: Callable[[object], KTerm], values: object, got: KTerm | list[KTerm]
) -> KTerm | list[KTerm]:
    """``got`` (what ``_seq`` made of ``values``), its one value passed through
    ``guard`` when the run holds exactly one (with nothing else in its text,
    such as a comment, which the guarded value would leave out) on one line:
    a body of statements the grammar holds in one node is no value."""
    if isinstance(got, list):
        return [guard(got[0])] if len(got) == 1 and _one_value(got[0]) else got
    if isinstance(values, Siblings) and len(values) == 1 and _one_value(values[0], str(got)):
        kept = guard(values[0])
        return got if kept is values[0] else [kept]
    return got


def _in_a_macro_body(guard: Callable[[object], KTerm]) -> Callable[[object], KTerm]:
    """``guard``, and then the value parenthesised unless it is one value
    wherever the macro is used (`#define N a + b` makes `N * 2` be `a + b * 2`)."""

    def kept(value: object) -> KTerm:
        v = guard(value)
        inner = inner_node(v)
        if (
            not str(v).strip()
            or c_primary(_native.tag(inner))
            or _native.is_token(inner)
            and _WORD.issuperset(str(v))
        ):
            return v
        return tb("parenthesized_expression").w("(").c(v).w(")").b()

    return kept


def _keyword_for_a_name(sk: Skeleton, hole: SHole, text: str) -> bool:
    """Whether the word ``text`` (a transform's) goes where the template has a
    name, and is no name there: `not` of `$N($$$A)` makes `not(0)` an operator."""
    if not text or not _WORD.issuperset(text) or "identifier" not in hole.kind:
        return False
    token = token_at(sk, hole.meta, text)
    if token is None:
        return False  # no one token there: the reading's checks tell
    kind, named = token
    # A keyword read as one (`not`), or as a name the language keeps (Lua's `not(x)`,
    # which its grammar reads as a call); a literal (`1`, `True`) is a value there.
    return not named or ("identifier" in kind and not is_identifier(sk.lang, text))


def _each(guard: Callable[[object], KTerm], got: KTerm | list[KTerm]) -> KTerm | list[KTerm]:
    """``got``, a run's values, each passed through ``guard`` when it holds
    several made apart (a run matched as it stood is kept as it stood)."""
    if isinstance(got, list) and len(got) > 1:
        return [guard(v) for v in got]
    return got


_WORD = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")


def _guard(
    sk: Skeleton, hole: SHole, paren: str | None, lift: Callable[[object], KTerm], one_each: bool = False
) -> Callable[[object], KTerm]:
    """The value at ``hole``, lifted if it is not a term, and parenthesised where
    the template's grammar would read it otherwise (``-3`` in ``$X ** 2``,
    ``a + b`` in ``$X * 2``): decided once per shape of value.  A value read
    otherwise that parentheses cannot keep together (or where the language
    has none) is a ``MisreadError``.  With ``one_each``, a value of a run of
    several, each of which is one node there (not `a, b`)."""
    grammar = KnownKinds(sk.lang)
    # What a value is wrapped in where it goes unread (None: nothing), or why it cannot be.
    decided: dict[tuple[object, ...], str | None | MisreadError] = {}
    # The template's characters on either side of the hole: a value must not
    # run into them (`-$X` with -1 is not `--1`).
    raw = sk.code.encode()
    before = raw[: hole.meta.at[0]].decode(errors="ignore")[-1:]
    after = raw[hole.meta.at[1] :].decode(errors="ignore")[:1]
    # Parenthesised, a value must read as parentheses (not as a call's
    # arguments, nor as a subshell); a type, as a type in parentheses.
    groups = {paren: grouped(paren)} if paren is not None else {}
    groups |= {k: frozenset({k}) for k in _TYPE_PARENTHESES if grammar.knows(k)}
    # In a literal (a regular expression's `/$A/`) what a value reads as is its
    # text, which no shape tells: such a hole decides for each value anew.
    textual = is_literal_kind(hole.kind) or is_literal_kind(hole.parent_kind)

    def guard(value: object) -> KTerm:
        key: tuple[object, ...] | None
        goes_on = False
        if isinstance(value, ChainLink):
            goes_on, value = True, value.term
        if isinstance(value, KTerm):
            v = value
            if sk.lang == "python" and hole.within is not None:
                _fits_fstring_braces(hole, str(v))
            if hole.kind == "jsx_text" and _native.tag(inner_node(v)) not in _JSX_CHILDREN:
                # Code put in JSX text is a value there, in braces (as text it would be its own letters).
                v = tb("jsx_expression").w("{").c(v).w("}").b()
            key = shape(v, grammar)
        else:
            v = lift(value)
            # Numbers lift to one shape per sign.
            t = type(value)
            key = (
                (t, value < 0) if isinstance(value, int | float) and t in (int, float) else shape(v, grammar)
            )
        if key is not None and not textual:
            # Its ends too: a value's first and last characters may join the code around it.
            text = str(v)
            key = (key, goes_on, text[:_ENDS], text[-_ENDS:])
        else:
            key = None
        wrap: str | None | MisreadError = decided.get(key, "") if key is not None else ""
        if wrap == "" and not str(v):
            # Nothing to keep together ("()" would be a value of its own), but nothing
            # must leave the code around it as it reads (`g($A - 1)` is no `g( - 1)`).
            wrap = None if reads_without(sk, hole.meta) else MisreadError(_left_out(sk, hole))
        if wrap == "":
            text = str(v)
            if _native.tag(v) == MADE_TEXT and _keyword_for_a_name(sk, hole, text):
                raise MisreadError(
                    f"cannot splice {text!r} into {hole.meta.text}: a name stands there, and it is a keyword"
                )
            runs_in = runs_into(before, text, after, sk.lang)
            node = grammar.knows(_native.tag(v))  # a node of the grammar, not text of no kind
            alone = READ if runs_in else reading(sk, hole.meta, text, _native.tag(inner_node(v)), goes_on)
            if alone == RUN and (not node or (hole.meta.seq and not one_each)):
                alone = READ  # text read as whole nodes: as the text says, or as a run's place takes them
            jsx = alone != READ and _native.tag(inner_node(v)) in JSX_ONLY
            if not jsx and not runs_in and alone != READ and _WORD.issuperset(text) and text:
                # A word read as one node of another kind (a parameter's name
                # as a name): parentheses would not make it read otherwise.
                alone = reading(sk, hole.meta, text, None)
            if jsx:
                wrap = MisreadError(_misread(sk, hole, text, True, "JSX's"))
            elif (runs_in or alone != READ) and _native.tag(v) == MADE_RUN:
                wrap = MisreadError(_misread(sk, hole, text, False, "the run"))
            elif runs_in or alone != READ:
                wrap = next(
                    (g for g in groups if reading(sk, hole.meta, f"({text})", groups[g]) == READ), None
                )
                # A node read otherwise (not merely as another kind of node) that nothing keeps
                # together; or a named argument read as another kind (`x = a=1` assigns twice).
                if wrap is None and node and alone in (MISREAD, RUN):
                    if reading(sk, hole.meta, text, None) in (MISREAD, RUN) or _native.tag(
                        inner_node(v)
                    ) in NAMED_ARGUMENTS.get(sk.lang, ()):
                        wrap = MisreadError(_misread(sk, hole, text, bool(groups)))
            else:
                wrap = None
            if key is not None:
                decided[key] = wrap
        if isinstance(wrap, MisreadError):
            raise MisreadError(str(wrap))
        return tb(wrap).w("(").c(v).w(")").b() if wrap else v

    return guard


#: The characters at each end of a value that a decision for its shape holds for.
_ENDS = 4

#: Types in parentheses: Rust, Swift and Scala read ``(T)`` as a tuple of one, which is ``T``.
_TYPE_PARENTHESES = ("parenthesized_type", "tuple_type")


def _left_out(sk: Skeleton, hole: SHole) -> str:
    return (
        f"nothing in place of {hole.meta.text} in {sk.code!r} would leave the code around it read otherwise"
    )


def _misread(sk: Skeleton, hole: SHole, text: str, parens: bool, what: str = "") -> str:
    if what == "JSX's":
        why = "it is read as such only in JSX"
    elif what:
        why = "parentheses would make one value of its nodes"
    elif parens:
        why = "parentheses cannot keep it together"
    else:
        why = f"kovel knows no parentheses in the {sk.lang} grammar to keep it together"
    return f"{what + ' ' if what else ''}{clipped(text)!r} in place of {hole.meta.text} in {sk.code!r} would be read otherwise by the code around it, and {why}"


def compile_filler(sk: Skeleton, drop_empty_runs: bool = True) -> Callable[[Mapping[str, Any]], KTerm]:
    """A function from the values (keyed by metavariable name) to the filled term.

    The term is built by one native call; the generated function only picks
    each hole's value (lifting what is not a term) in the order of the holes.
    """
    comp = _Compiler()
    body = comp.op(sk.root)
    runs = {h.meta.name for h in comp.holes if h.meta.seq and h.meta.name} if drop_empty_runs else set()
    variants: dict[frozenset[str], Callable[[Mapping[str, Any]], KTerm]] = {}

    def without_runs(empty: tuple[str, ...], values: Mapping[str, Any]) -> KTerm:
        # Empty runs take their separator with them: `f($$$A, x)` with no A is `f(x)`.
        names = frozenset(empty)
        fill = variants.get(names)
        if fill is None:
            fill = compile_filler(replace(sk, root=_drop_runs(sk.root, names)), drop_empty_runs=False)
            variants[names] = fill
        return fill(values)

    holes = tuple(
        HoleSpec(
            h.meta.text,
            h.meta.index,
            h.meta.at,
            h.meta.indent,
            h.meta.seq,
            h.statement,
            h.meta.own_line,
            h.parent_kind,
        )
        for h in comp.holes
    )
    program = _native.compile_template(sk.lang, sk.root.kind, body, tuple(comp.frames), holes)
    paren = parentheses(sk.lang)
    single = [not h.meta.seq and h.literal is None for h in comp.holes]
    named = [ok and _wants_name(sk, h) for ok, h in zip(single, comp.holes, strict=True)]
    lifts = [_hole_lifter(sk, h, name) for h, name in zip(comp.holes, named, strict=True)]
    # Where the grammar wants a name, a str is lifted to one; a term is guarded
    # as anywhere (Ruby assigns to `a.b`, but not to `a.b?`).
    guards = {
        i: _guard(sk, h, paren, lifts[i]) for i, h in enumerate(comp.holes) if single[i] and not h.statement
    }
    for i, h in enumerate(comp.holes):
        if i in guards and h.kind == "preproc_arg" and sk.lang in ("c", "cpp"):
            guards[i] = _in_a_macro_body(guards[i])
    # A run of one value where the template wants values is kept together as a single value would be.
    run_guards = {
        i: _guard(sk, h, paren, functools.partial(_lift, sk.lang, h))
        for i, h in enumerate(comp.holes)
        if h.meta.seq and h.literal is None and not h.statement
    }
    # ... and each of a run of several values, one value each.
    each_guards = {
        i: _guard(sk, comp.holes[i], paren, functools.partial(_lift, sk.lang, comp.holes[i]), one_each=True)
        for i in run_guards
    }
    # The one statement of a body (`if (c) $X`, Python's `if r: $X`) takes one:
    # a second would stand after the `if`, and run whatever its condition.
    alone = {i: _one_statement(sk, h) for i, h in enumerate(comp.holes) if _holds_one_statement(sk, h)}
    # A statement the language refuses though its grammar reads it (Java's `a + 1;`).
    refusing = {
        i: _statement_taken(sk, h, paren)
        for i, h in enumerate(comp.holes)
        if (h.statement or h.parent_kind == "expression_statement")
        and sk.code.strip().rstrip(";").rstrip() != h.meta.text  # (alone, it is what the match was)
        and not h.meta.seq
        and h.literal is None
        and refuses_statements(sk.lang)
    }
    # Without semicolons, a statement that starts with `(` or `[` goes on with the line before.
    ended = {i: _ended(sk, h) for i, h in enumerate(comp.holes) if _may_run_on(sk, h)}
    # Where the template goes on after a hole on its line, a value may not end with what takes the line's rest.
    tails = {i: _line_kept(h) for i, h in enumerate(comp.holes) if h.literal is None and _line_goes_on(sk, h)}
    lines = ["def _fill(v):"]
    if runs:
        lines.append("    _e = ()")
    names = []
    for i, hole in enumerate(comp.holes):
        m = hole.meta
        if m.seq and hole.literal is not None:
            # A run inside a literal (or a comment) is its text there, as one value is.
            lines.append(f"    _a{i} = _lifts[{i}](_run_text(v[{m.name!r}]))")
        elif m.seq:
            lines.append(f"    _x = v[{m.name!r}]")
            if i in alone:
                lines.append(f"    _alone[{i}](_x)")
            made = f"_seq(_lang, _holes[{i}], _x, {_keyword_before(sk.code, m.at[0])!r})"
            if i in run_guards:
                lines.append(f"    _a{i} = _seq_of_one(_run_guards[{i}], _x, {made})")
                lines.append(f"    _a{i} = _each(_each_guards[{i}], _a{i})")
            else:
                lines.append(f"    _a{i} = {made}")
            if i in tails:
                lines.append(f"    _tails[{i}](_a{i})")
            if m.name in runs:
                lines.append(f"    if not _x or not _a{i}:")
                lines.append(f"        _e += ({m.name!r},)")
        else:  # a term is spliced as it is, without a call
            lines.append(f"    _x = v[{m.name!r}]")
            if i in alone:
                lines.append(f"    _alone[{i}](_x)")
            if i in guards:
                lines.append(f"    _a{i} = _guards[{i}](_x)")
            elif hole.literal is not None:
                lines.append(f"    _a{i} = _lifts[{i}](_x)")
            else:
                lines.append("    if type(_x) is _ChainLink:")
                lines.append("        _x = _x.term")
                lines.append(f"    _a{i} = _x if type(_x) is _KTerm else _lifts[{i}](_x)")
            if i in refusing:
                lines.append(f"    _a{i} = _refusing[{i}](_a{i})")
            if i in ended:
                lines.append(f"    _a{i} = _ended[{i}](_a{i})")
            if i in tails:
                lines.append(f"    _tails[{i}](_a{i})")
        names.append(f"_a{i}")
    if runs:
        lines.append("    if _e:")
        lines.append("        return _without_runs(_e, v)")
    lines.append(f"    return _nfill(_program, ({''.join(n + ', ' for n in names)}))")
    namespace: dict[str, Any] = {
        "_holes": comp.holes,
        "_lang": sk.lang,
        "_lift": _lift,
        "_seq": _seq,
        "_nfill": _native.fill,
        "_program": program,
        "_KTerm": KTerm,
        "_ChainLink": ChainLink,
        "_run_text": _run_text,
        "_without_runs": without_runs,
        "_guards": guards,
        "_run_guards": run_guards,
        "_seq_of_one": _seq_of_one,
        "_each": _each,
        "_each_guards": each_guards,
        "_lifts": lifts,
        "_alone": alone,
        "_ended": ended,
        "_refusing": refusing,
        "_tails": tails,
    }
    exec(compile("\n".join(lines), f"<template {sk.code[:40]!r}>", "exec"), namespace)
    fill: Callable[[Mapping[str, Any]], KTerm] = namespace["_fill"]
    return fill


def _line_goes_on(sk: Skeleton, hole: SHole) -> bool:
    """Whether the template writes more after ``hole`` on its line."""
    return bool(sk.code.encode()[hole.meta.at[1] :].split(b"\n", 1)[0].strip())


def _line_kept(hole: SHole) -> Callable[[object], None]:
    """A check that a value at ``hole``, after which the template goes on on
    that line, does not end with what takes the rest of its line: a line
    comment (`a  # hi` in `[$S, 2]` would comment out `, 2]`) or a heredoc's
    end (`EOF; fi` ends no heredoc)."""

    def check(value: object) -> None:
        if isinstance(value, KTerm):
            what = _line_taker(value)
            if what is not None:
                raise MisreadError(
                    f"{hole.meta.text} ends with {what}, which would take in what the template writes"
                    " after it on that line"
                )

    return check


def _line_taker(value: KTerm) -> str | None:
    """What ends ``value``'s text and takes the rest of its line, which text
    after it would join: a line comment, a heredoc's end; None for neither.

    >>> _line_taker(parse("python", "a  # hi")), _line_taker(parse("c", "a /* hi */"))
    ('a line comment', None)
    """
    # Down the last children: a comment may hold tokens (Rust's `//`), a heredoc's end be empty.
    last = value
    while not _native.is_comment(last) and _native.tag(last) not in _HEREDOC_ENDS:
        kids = _native.children(last)
        if not kids:
            return None
        last = kids[-1]
    whole = str(value).rstrip(" \t")
    if not whole or whole.endswith("\n"):
        return None
    if _native.tag(last) in _HEREDOC_ENDS:
        return "a heredoc's end"
    text = str(last).rstrip(" \t")
    if _ends_at_its_closer(text.lstrip()) or not text or not whole.endswith(text):
        return None
    return "a line comment"


#: The nodes that end with a heredoc's end (its delimiter alone on a line): bash's,
#: Ruby's and PHP's.
_HEREDOC_ENDS = frozenset({"heredoc_end", "heredoc_body", "heredoc", "nowdoc", "nowdoc_body"})


def _ends_at_its_closer(comment: str) -> bool:
    """Whether ``comment`` is a block comment, which its closer ends (Ruby's
    ``=end`` takes its line's rest, though)."""
    return _LUA_LONG.match(comment) is not None or any(
        comment.startswith(o) for o, _ in _BLOCK_COMMENTS if o != "=begin"
    )


def _holds_one_statement(sk: Skeleton, hole: SHole) -> bool:
    """Whether ``hole`` is the one statement of a body: of an `if`, a loop or
    a label without braces, or of a Python suite on its header's line."""
    if not hole.statement:
        return False
    if sk.lang == "python":
        return hole.parent_kind == "block" and not hole.meta.own_line
    return sk.lang in _ONE_STATEMENT_BODIES and hole.parent_kind in HOLDS_A_BODY


# Languages whose `if`, loops and labels hold one statement unless braces hold
# several (Lua's, Ruby's and the shell's hold statements up to their `end`).
_ONE_STATEMENT_BODIES = frozenset(
    {"c", "cpp", "cuda", "objc", "arduino", "java", "c_sharp", "csharp", "javascript", "typescript", "tsx",
     "php", "kotlin", "dart", "groovy", "scala"}
)  # fmt: skip


def _one_statement(sk: Skeleton, hole: SHole) -> Callable[[object], None]:
    """What checks that a value at ``hole`` (see ``_holds_one_statement``) reads
    as one statement there; a ``MisreadError`` where it does not."""

    def check(value: object) -> None:
        if isinstance(value, list | tuple):
            if len(value) > 1:
                raise MisreadError(_several_statements(hole, len(value)))
            if not value:
                return
            value = value[0]
        if isinstance(value, ChainLink | BoundText):
            value = value.term
        text = str(value).strip()  # (a module's last line break aside)
        if text and reading(sk, hole.meta, text, None) != READ:
            raise MisreadError(_several_statements(hole, clipped(text)))

    return check


def _statement_taken(sk: Skeleton, hole: SHole, paren: str | None) -> Callable[[KTerm], KTerm]:
    """What passes a value at the statement ``hole`` that the language takes
    there, parenthesises one it takes so (JavaScript's `function () {}`),
    and raises ``MisreadError`` for any other (Java's `a + 1`)."""
    decided: dict[str, str | None] = {}  # a value's text -> its wrapper (None: none)

    def taken(v: KTerm) -> KTerm:
        text = str(v).strip()
        if not text:
            return v
        if text not in decided:
            if not refused_at(sk, hole.meta, text):
                decided[text] = None
            elif paren is not None and not refused_at(sk, hole.meta, f"({text})"):
                decided[text] = paren
            else:
                raise MisreadError(
                    f"cannot splice {clipped(text)!r} into {hole.meta.text}: {sk.lang} takes no such statement"
                )
        wrap = decided[text]
        return tb(wrap).w("(").c(v).w(")").b() if wrap else v

    return taken


#: What a line starts with that goes on with the line before, where lines end statements only so.
_GOES_ON = tuple("([`+-/")


def _may_run_on(sk: Skeleton, hole: SHole) -> bool:
    """Whether ``hole`` is a statement of a list on a line of its own, in a
    language that ends statements at line breaks only where the next line does
    not go on with them (JavaScript's)."""
    return (
        sk.lang in _BLOCK_OR_OBJECT
        and hole.statement
        and hole.meta.own_line
        and hole.parent_kind in ("program", "statement_block", "switch_case", "switch_default")
    )


def _ended(sk: Skeleton, hole: SHole) -> Callable[[KTerm], KTerm]:
    """What puts a `;` before a value at ``hole`` that would go on with the
    statement on the line before it, and after one that the template's next
    line would go on with."""
    raw = sk.code.encode()
    before = raw[: hole.meta.at[0]].decode(errors="ignore").rstrip()
    after = raw[hole.meta.at[1] :].decode(errors="ignore").lstrip()
    follows = bool(after) and after.startswith(_GOES_ON) and not after.startswith(("//", "/*"))
    last = before[-1:]

    def end(v: KTerm) -> KTerm:
        text = str(v).strip()
        if not text:
            return v
        lead = (
            bool(last)
            and last not in ";{"
            and text.startswith(_GOES_ON)
            and not text.startswith(("//", "/*"))
        )
        tail = follows and not text.endswith((";", "}"))
        if not (lead or tail):
            return v
        b = tb(_native.tag(v))
        if lead:
            b.w(";")
        b.c(v)
        if tail:
            b.w(";")
        return b.b()

    return end


def _several_statements(hole: SHole, what: object) -> str:
    value = f"{what} statements" if isinstance(what, int) else repr(what)
    return (
        f"cannot splice {value} into {hole.meta.text}: it is the one statement of a body, "
        "and what would not read as one statement there would leave it"
    )


class Template:
    """Code with holes in one language, parsed once; ``fill`` makes terms from it.

    Made by ``template(lang, code)``.

    >>> t = template("c", "int $NAME = $VALUE;")
    >>> t.holes
    ('NAME', 'VALUE')
    """

    __slots__ = (
        "_fill",
        "_literals",
        "_names",
        "_skeleton",
        "_texts",
        "_typed",
        "code",
        "holes",
        "lang",
        "runs",
    )

    def __init__(self, skeleton: Skeleton, *, typed: bool = False) -> None:
        self.lang: str = skeleton.lang
        self.code: str = skeleton.code
        self._skeleton = skeleton
        self._typed = typed  # read where a type stands (``type_template``)
        fillable = [m for m in skeleton.metas if is_hole(skeleton, m.index)]
        names: dict[str, None] = {}
        self._names: frozenset[str] = frozenset()
        anonymous = [m.text for m in fillable if m.name is None]
        self._texts: dict[str, str] = {}
        for m in fillable:
            if m.name is not None:
                names.setdefault(m.name)
                self._texts.setdefault(m.name, m.text)
        #: The names of the holes (the keywords of ``fill``), in order of appearance.
        self.holes: tuple[str, ...] = tuple(names)
        #: The names of the holes written ``$$$``, which take a sequence of values.
        self.runs: frozenset[str] = frozenset(m.name for m in fillable if m.name is not None and m.seq)
        self._names = frozenset(names)
        self._literals = hole_literals(skeleton.root)
        if anonymous:
            self._fill: Callable[[Mapping[str, Any]], KTerm] = _anonymous(anonymous[0])
        else:
            self._fill = compile_filler(skeleton)

    def __repr__(self) -> str:
        return f"template({self.lang!r}, {self.code!r})"

    @property
    def literals(self) -> Mapping[str, frozenset[str | None]]:
        """For each named hole, the opening delimiters of the string literals
        it stands in (None for a hole outside any), as ``Pattern.literals``.

        >>> template("python", 'f($A, "$A")').literals == {"A": frozenset({None, '"'})}
        True
        """
        return self._literals

    @property
    def skeleton(self) -> Skeleton:
        """The parsed code: what a pattern's rewrite lays over the match it edits.

        >>> template("python", "log($A)").skeleton.metas[0].text
        '$A'
        """
        return self._skeleton

    def __reduce__(self) -> tuple[Callable[[str, str], Template], tuple[str, str]]:
        """Pickle as the code: a copy (in another process, say) parses it again, through the cache.

        >>> import pickle
        >>> pickle.loads(pickle.dumps(template("python", "log($$$A)"))).holes
        ('A',)
        """
        return (type_template if self._typed else template, (self.lang, self.code))

    @property
    def is_run(self) -> bool:
        """Whether the code is several siblings (statements, say) rather than one node.

        >>> template("python", "x = 1\\ny = 2").is_run, template("python", "f($A)").is_run
        (True, False)
        """
        return self._skeleton.run

    @property
    def single(self) -> bool:
        """Whether what the template makes is one node, as far as it knows: not a
        run, or one hole alone (whose value then decides).

        >>> template("python", "x = 1\\ny = 2").single, template("lua", "$A").single
        (False, True)
        """
        # (A generator expression written without the parentheses a call's one
        # argument lends it reads as its parts, side by side: it is one value.)
        sk = self._skeleton
        return not sk.run or self.lone_hole is not None or sk.root.kind in _BARE_VALUES

    @property
    def lone_hole(self) -> str | None:
        """The name of the hole the code is alone (whatever nodes the grammar
        puts around it), or None: such a template is as many nodes as its value.

        >>> template("python", "$$$BODY").lone_hole, template("python", "f($A)").lone_hole
        ('BODY', None)
        """
        n: SNode | SHole = self._skeleton.root
        while isinstance(n, SNode):
            items = [i for i in n.items if not isinstance(i, str)]
            if len(items) != 1:
                return None
            n = items[0]
        return n.meta.name

    def fill(self, **values: object) -> KTerm:
        """Fill every hole and return the term: a ``Quote`` of the template's language.

        A ``$NAME`` hole takes one value, a ``$$$NAME`` hole a sequence. A
        ``KTerm`` is spliced as it is; other values (``int``, ``float``,
        ``str``, ``bool``, ``None``) are lifted to a literal of the template's
        language (see ``register_lifter``). A value keeps its meaning where it
        lands: it is parenthesised where the grammar would read it otherwise
        (``-3`` in ``$X ** 2``); a ``str`` at a hole where the grammar wants a
        name becomes that name; a hole inside a string literal takes a ``str``
        escaped for that literal (a ``LiteralText`` as it is). The
        values of a ``$$$NAME`` hole are joined like this: where the hole
        stands for statements, by a line break (by a space if other code
        shares its line); elsewhere (arguments, parameters, elements) by a
        comma and a line break, or a comma and a space if other code shares
        its line. An empty sequence takes with it the separator that joined
        its hole to a sibling (``f($$$A, x)`` with no values is ``f(x)``).
        Siblings bound by a pattern match are spliced as they stood
        in the source, with what lay between them; a separator that followed
        the last of them (``f(x,)``) comes along only where the hole ends a
        list of the kind they came from.

        Every later line of a value gets the indentation of the hole's line
        (through a pushed prefix); the text inside its literals never moves.
        Each filled hole is an ``Unquote`` node in the result (its index the
        hole's number in order of appearance, its language ``"python"``, its
        range the hole's bytes in the template).

        Raises ``TypeError`` for a hole without a value, a value for a hole
        that does not exist, and a value that cannot be lifted or does not fit
        its hole (a term inside a string literal, a non-name where a name
        goes); ``ValueError`` for a value out of the language's range and for
        a term that pops or leaves pushed an indentation prefix.

        >>> print(template("javascript", "f($$$ARGS)").fill(ARGS=[1, "a\\"b"]))
        f(1, "a\\"b")
        """
        if values.keys() != self._names:
            _check_names(self, values)
        return self._fill(values)


def _anonymous(text: str) -> Callable[[Mapping[str, Any]], KTerm]:
    def fail(values: Mapping[str, Any]) -> KTerm:
        raise TypeError(f"the template hole {text} has no name, so it cannot be filled")

    return fail


def _check_names(t: Template, values: Mapping[str, object]) -> None:
    """Raise the TypeError that says which hole lacks a value, or which value has no hole."""
    missing = [n for n in t.holes if n not in values]
    if missing:
        raise TypeError(
            f"template hole {t._texts[missing[0]]} has no value (holes: {', '.join(t.holes) or 'none'})"
        )
    unknown = sorted(set(values) - t._names)
    raise TypeError(f"template has no hole named {unknown[0]!r} (holes: {', '.join(t.holes) or 'none'})")


def several(value: object) -> bool:
    """Whether a value for a hole is more than one node (a run of two or more):
    a template that is that hole alone then writes a run of siblings.

    >>> several([1, 2]), several([1]), several("ab"), several(made_text("python", "a, b", run=True))
    (True, False, False, True)
    """
    if isinstance(value, KTerm):
        return _native.tag(value) == MADE_RUN  # the text of a run's nodes
    return isinstance(value, Sequence) and not isinstance(value, str) and len(value) > 1


@lru_cache(maxsize=1024)
def _cached_template(lang: str, code: str) -> Template:
    # Each hole of a term is numbered in a byte: said at once, before a parse that
    # could take minutes for thousands of them.
    holes = len(_HOLE.findall(code))
    if holes > MOST_HOLES:
        raise ValueError(f"a template holds at most {MOST_HOLES} metavariables; this one has {holes}")
    try:
        return Template(parse_quasi(lang, code, literal_holes=True))
    except RecursionError:
        raise too_deep(lang) from None


#: The most metavariables a template may hold (a term numbers its holes in a byte).
MOST_HOLES = 256
_HOLE = re.compile(r"\$(?:\$\$)?[A-Z_][A-Z0-9_]*")

#: The tags of text made for a hole (a transform's; a run's of several nodes where
#: one goes): no grammar's kind, so that it is read as what it parses as where it lands.
MADE_TEXT = "kovel:text"
MADE_RUN = "kovel:run"


def made_text(lang: str, text: str, *, run: bool = False) -> KTerm:
    """``text`` as a value for a hole: read as whatever it parses as where it
    lands; text of several lines is parsed, so that its later lines take the
    indentation of the line it lands on (a string's own lines stay as they are).
    The text of a ``run`` of several nodes is never parenthesised: where it is
    not read as it stands, parentheses would make one value of it (a tuple).

    >>> str(template("python", "f($X)").fill(X=made_text("python", "a, b", run=True)))
    'f(a, b)'
    """
    tag = MADE_RUN if run else MADE_TEXT
    if "\n" not in text:
        return leaf(tag, text)
    return tb(tag).c(parse(lang, text)).b()  # still made text to the fill


def one_value(lang: str, run: Sequence[KTerm]) -> KTerm:
    """What a run a ``$$$`` matched stands for where one node goes: its one node,
    or the text of its nodes (``made_text``).

    >>> str(template("python", "$X * 2").fill(X=one_value("python", [template("python", "a + b").fill()])))
    '(a + b) * 2'
    """
    return run[0] if len(run) == 1 else made_text(lang, run_text(run), run=len(run) > 1)


def run_text(run: Sequence[KTerm]) -> str:
    """The text of a run of siblings a ``$$$`` matched, as it stands in the
    source (separators included) when known, else its nodes' texts joined by spaces.

    >>> run_text([template("python", "a").fill(), template("python", "b").fill()])
    'a b'
    """
    raw = run.raw if isinstance(run, Siblings) else None
    return str(raw) if raw is not None else " ".join(str(x) for x in run)


def type_template(lang: str, code: str) -> Template:
    """``code`` in ``lang`` parsed where a type stands, as a ``Template``: a fix
    that replaces a type is read as one (``&$T`` in Rust is otherwise a
    reference expression, ``$T[]`` in TypeScript does not parse), so that what
    fills it is parenthesised as a type.  Raises ``SyntaxError`` where the code
    is no type, or ``lang`` has no types apart from its values.

    >>> str(type_template("typescript", "$T[]").fill(T=type_template("typescript", "A | B").fill()))
    '(A | B)[]'
    """
    return _cached_type_template(canonical_name(lang), code)


@lru_cache(maxsize=256)
def _cached_type_template(lang: str, code: str) -> Template:
    ctx = type_context(lang)
    if ctx is None:
        raise SyntaxError(f"kovel knows no place where {lang} code is a type")
    before, after = split_context(ctx)
    try:
        sk = parse_quasi(lang, code, literal_holes=True, context=before + code + after)
    except ValueError as exc:
        raise SyntaxError(str(exc)) from None
    except RecursionError:
        raise too_deep(lang) from None
    if not is_type_kind(sk.root.kind):
        raise SyntaxError(f"{code!r} is no {lang} type")
    return Template(sk, typed=True)


def fitted(t: Template, kind: str) -> Template:
    """``t``, or its code read as a type (``type_template``) where it replaces a
    node of ``kind``, a type, and reads alone as something else.

    >>> fitted(template("rust", "&$T"), "generic_type").skeleton.root.kind
    'reference_type'
    >>> fitted(template("rust", "&$T"), "call_expression").skeleton.root.kind
    'reference_expression'
    """
    if t.lone_hole is not None:
        return t
    if t.lang in _BLOCK_OR_OBJECT and t._skeleton.root.kind == "statement_block" and _a_value(kind):
        # `{}` alone is a block; where a value stood, it is an object.
        return _cached_value_template(t.lang, t.code)
    if t.lang == "haskell" and kind in _HASKELL_EXPRESSIONS:
        # Alone, an expression is read as a file's splice, where `-2 ^ 2` reads as a
        # pattern: where an expression stood, it is read as one.
        return _cached_expression_template(t.lang, t.code)
    if t._typed or not is_type_kind(kind) or is_type_kind(t._skeleton.root.kind):
        return t
    try:
        return type_template(t.lang, t.code)
    except SyntaxError:
        return t


#: Nodes code may be without its parentheses (Python's `x for x in y`), still one value.
_BARE_VALUES = frozenset({"generator_expression"})


#: Languages whose `{ ... }` reads alone as a block and as a value as an object.
_BLOCK_OR_OBJECT = frozenset({"javascript", "typescript", "tsx"})


def _a_value(kind: str) -> bool:
    return not re.search(r"statement|declaration|block|program|clause|body", kind)


#: The kinds of Haskell's expressions.
_HASKELL_EXPRESSIONS = frozenset(
    {"infix", "apply", "negation", "parens", "lambda", "do", "case", "conditional", "let_in", "list", "tuple",
     "literal", "variable", "constructor", "projection", "record", "left_section", "right_section",
     "list_comprehension", "arithmetic_sequence"}
)  # fmt: skip


def _cached_expression_template(lang: str, code: str) -> Template:
    return _cached_template_in(lang, code, "_kq = ", "\n", None)


def _cached_value_template(lang: str, code: str) -> Template:
    return _cached_template_in(lang, code, "_kq(", ");\n", "object")


@lru_cache(maxsize=256)
def _cached_template_in(lang: str, code: str, before: str, after: str, kind: str | None) -> Template:
    """``code`` read between ``before`` and ``after`` (as a node of ``kind``, when
    given), or as ``template`` reads it where it reads otherwise there."""
    try:
        sk = parse_quasi(lang, code, literal_holes=True, context=before + code + after)
    except (ValueError, SyntaxError):
        return _cached_template(lang, code)
    return Template(sk) if kind is None or sk.root.kind == kind else _cached_template(lang, code)


def template(lang: str, code: str) -> Template:
    """Parse ``code`` in language ``lang`` once and return a ``Template``.

    ``code`` may be a whole file, a statement, a block body or an
    expression; it is parsed in the first context of its language that
    accepts it. Templates are cached by ``(lang, code)``. Raises
    ``SyntaxError`` naming the line and column when the code does not parse.

    >>> template("python", "x = $V").fill(V=1).coparse()
    'x = 1'
    """
    if not isinstance(lang, str) or not isinstance(code, str):
        raise TypeError("template(lang, code) takes two str")
    return _cached_template(lang, code)
