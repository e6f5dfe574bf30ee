"""Replacements that keep their meaning where they land.

A template is read on its own when it is parsed; put in place of a match,
the code around it may read it otherwise: ``g($A)`` -> ``$A`` turns
``g(x + 1) * 2`` into ``x + 1 * 2``, ``g($A, $B)`` -> ``$A + $B`` turns
``g(a, b).n`` into ``a + b.n``.  After the replacements are made, the new text
is parsed once and each replacement whose shape differs from the match's
(``kovel.quasi.shape``: a node of the match's kind and tokens is read as the
match was) must be read where it stands as it reads alone: no node may take
part of it and part of the code around it, a replacement made from one node
must be one node, and none may stand where the language refuses it though
the grammar reads it (an arrow function as an operand).  One that is read
otherwise is parenthesised, where the language has parentheses and they make
it one node; else the rewrite is refused with ``MisreadError``.
"""

from __future__ import annotations

import bisect
import itertools
import re
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple

from kovel import _native
from kovel._kovel import KTerm, tb
from kovel.quasi.fill import MADE_RUN
from kovel.quasi.parse import (
    JSX_ONLY,
    MISREAD,
    NAMED_ARGUMENTS,
    READ,
    UNCLEAR,
    MisreadError,
    clipped,
    declares_in_cpp,
    extends_a_chain,
    holds_misranked,
    misranked,
    rebinds_in_js,
    refused_there,
    runs_into,
)
from kovel.quasi.shape import grouped, parentheses
from kovel.treesitter.grammars import parser
from kovel.treesitter.nodes import first_child_after

if TYPE_CHECKING:
    from tree_sitter import Node, Tree

__all__ = [
    "Landing",
    "MisreadError",
    "apart",
    "check_runs",
    "clause_misread",
    "container_misread",
    "containers_changed",
    "elision_misread",
    "elisions_made",
    "ends_changed",
    "fix_misread",
    "holders",
    "kept_in_place",
    "kept_or_left",
    "leave_out",
    "leave_misread",
    "left_or_raised",
    "line_col",
    "next_lines",
    "phantom_misread",
    "byte_offsets",
    "nodes_over",
    "parsed_root",
    "past_comments",
    "places_changed",
    "phantoms",
    "ran_on_misread",
    "rewritten",
    "statements_ended",
]


class Landing(NamedTuple):
    """A replacement to check where it lands: its place among the replacements,
    the term it is made from (before any space put around it), whether it
    is one node (else a run of siblings, as several statements are), and
    whether an optional chain of its match's went on into the code around
    it (`a?.b` of `a?.b.c`), so that one of the replacement's may too."""

    at: int
    core: KTerm
    single: bool
    chain_went_on: bool = False


def kept_in_place(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    news: Sequence[KTerm],
    landings: Sequence[Landing],
    judge_errors: bool = False,
) -> list[KTerm]:
    """``news``, the replacements of the ``spans`` of ``text`` (in code points,
    in order, apart), with each of ``landings`` parenthesised where the code
    around it would read it otherwise.  ``MisreadError`` where parentheses
    cannot help (its ``at`` says which replacement).  A replacement the
    grammar cannot read where it stands is left to the syntax check that
    follows a rewrite; with ``judge_errors``, one that alone makes the text
    fail to parse is a ``MisreadError`` too.

    >>> from kovel.quasi import template
    >>> new = template("python", "x + 1").fill()
    >>> [str(t) for t in kept_in_place("python", "y = g(x + 1) * 2\\n", [(4, 12)], [new], [Landing(0, new, True)])]
    ['(x + 1)']
    """
    if lang in _ASI:
        news = _end_statements(text, spans, news, landings)
    return _kept(lang, text, spans, news, landings, judge_errors)


def _kept(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    news: Sequence[KTerm],
    landings: Sequence[Landing],
    judge_errors: bool,
) -> list[KTerm]:
    out = list(news)
    if not landings:
        return out
    first = _readings(lang, text, spans, out, landings)
    wrong = [x for x in landings if first[x.at] != READ]
    if not wrong:
        return out
    paren = parentheses(lang)
    clean: bool | None = None  # whether the text parses: then an error is the replacement's
    deferred: list[Landing] = []  # what only the syntax check can judge, as the text stood
    for x in wrong:
        # (A run's nodes are not made one value: `(x, y)` is a tuple; nor are several
        # statements, which Kotlin would read in parentheses as one infix call.)
        if paren is not None and x.single and _all_of(x.core, (MADE_RUN,)) is None:
            wrapped = tb(paren).w("(").c(x.core).w(")").b()
            out[x.at] = apart(text, spans[x.at], str(wrapped), wrapped, lang)
    # Parenthesised, it must read as parentheses (not as the arguments of a call before it).
    again = _readings(lang, text, spans, out, wrong, grouped(paren)) if paren is not None else first
    for x in wrong:
        if again[x.at] == READ and paren is not None:
            continue  # the parentheses keep it together
        if first[x.at] == UNCLEAR:
            if judge_errors and clean is None:
                clean = not parsed_root(lang, text.encode()).has_error
            if judge_errors and clean and _adds_errors(lang, text, spans[x.at], str(news[x.at])):
                exc = MisreadError(
                    _why(text, spans[x.at], str(news[x.at]), "would not parse where it stands")
                )
                exc.at = x.at
                raise exc
            out[x.at] = news[x.at]  # the syntax check that follows a rewrite judges it
            deferred.append(x)
            continue
        if _continues_a_line(lang, text, spans[x.at], str(x.core)):
            # JavaScript reads a line starting with `(` or `[` as going on with the
            # line before, unless a `;` ends that one: the way code without
            # semicolons writes it.
            out[x.at] = tb(_native.tag(x.core)).w(";").c(x.core).b()
            if _readings(lang, text, spans, out, [x], guarded=True)[x.at] == READ:
                continue
        exc = MisreadError(_why(text, spans[x.at], str(news[x.at])))
        exc.at = x.at
        raise exc
    if deferred and len(deferred) < len(wrong):
        # A neighbour put in parentheses may have made clear how the code reads one
        # that the syntax errors of the first reading hid (`a.x` -> `(a + 1).x + 1`).
        now = _readings(lang, text, spans, out, deferred)
        for x in deferred:
            if now[x.at] not in (READ, UNCLEAR):
                exc = MisreadError(_why(text, spans[x.at], str(news[x.at])))
                exc.at = x.at
                raise exc
    return out


def kept_or_left(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    news: Sequence[KTerm],
    landings: Sequence[Landing],
    left_alone: list[str] | None,
) -> tuple[list[KTerm], set[int]]:
    """``kept_in_place``, and the places of the replacements left out (each
    entry there is as given): with ``left_alone``, one that parentheses cannot
    keep together is left out (its match stays as it is), why is added to
    that list, and the others are checked again without it; without it,
    ``MisreadError`` is raised.

    >>> from kovel.quasi import template
    >>> new = template("c", "if (p) { free(p); }").fill()  # the else would go with it
    >>> why: list[str] = []
    >>> kept_or_left("c", "if (p) free(p); else g();\\n", [(7, 15)], [new], [Landing(0, new, True)], why)[1]
    {0}
    """
    out = list(news)
    places = list(range(len(out)))  # where each replacement still checked stands in ``out``
    now_spans, now_news, now_landings = list(spans), list(news), list(landings)
    while True:
        try:
            kept = kept_in_place(lang, text, now_spans, now_news, now_landings, left_alone is not None)
            break
        except MisreadError as exc:
            if left_alone is None or exc.at is None:
                raise
            left_alone.append(str(exc))
            k = exc.at
            del places[k], now_spans[k], now_news[k]
            now_landings = [x._replace(at=x.at - (x.at > k)) for x in now_landings if x.at != k]
    for place, new in zip(places, kept, strict=True):
        out[place] = new
    return out, set(range(len(out))) - set(places)


# Languages whose statements end at a line break unless the next line goes on with them.
_ASI = frozenset({"javascript", "typescript", "tsx"})


def _end_statements(
    text: str, spans: Sequence[tuple[int, int]], news: Sequence[KTerm], landings: Sequence[Landing]
) -> list[KTerm]:
    """``news`` with a `;` after each of ``landings`` that ends a line, where
    what it replaced ended its statement and the next line starts with a token
    that would go on with it (`(`, `[`, a template literal, `+`, `-`, `/`): a
    statement that ended there (`if (a) { b() }`, an arrow's block) would not
    once it is an expression (`a && b()`, a function expression)."""
    out = list(news)
    for x in landings:
        s, e = spans[x.at]
        body = str(out[x.at]).rstrip()
        tag = _native.tag(x.core)
        if (
            not body
            or body.endswith(";")
            or (body.endswith("}") and ("statement" in tag or "declaration" in tag))
        ):
            continue
        line_end = text.find("\n", e)
        if line_end < 0 or text[e:line_end].strip():
            continue
        following = text[line_end:].lstrip()
        if not following or following[0] not in "([`+-/" or following.startswith(("//", "/*")):
            continue
        old = text[s:e].rstrip()
        # What it replaced ended its statement: so must the replacement. (Nothing goes
        # on from a `++` with `(`, `[` or a template literal: the statement ended.)
        if old.endswith((";", "}")) or (old.endswith(("++", "--")) and following[0] in "([`"):
            out[x.at] = tb(_native.tag(out[x.at])).c(out[x.at]).w(";").b()
    return out


def statements_ended(
    lang: str, text: str, spans: Sequence[tuple[int, int]], news: Sequence[KTerm]
) -> list[KTerm]:
    """``news``, the replacements of the ``spans`` of ``text``, each with a `;`
    after it where it ends a line, what it replaced ended its statement (with
    `;`, `}`, a `++`) and the next line starts with a token that would go on
    with it, in a language that ends statements at line breaks.

    >>> from kovel.quasi import template
    >>> [str(n) for n in statements_ended("javascript", "i++\\n[1].map(f)\\n", [(0, 3)], [template("javascript", "bump()").fill()])]
    ['bump();']
    """
    if lang not in _ASI:
        return list(news)
    return _end_statements(text, spans, news, [Landing(k, n, True) for k, n in enumerate(news)])


def _continues_a_line(lang: str, text: str, span: tuple[int, int], body: str) -> bool:
    """Whether ``body``, put in place of ``span``, starts a line with a token that
    would continue the line before (``(``, ``[``, a template literal, ``+``,
    ``-``, ``/``), in a language that ends statements at line breaks."""
    if lang not in _ASI or not body or body[0] not in "([`+-/":
        return False
    line_start = text.rfind("\n", 0, span[0]) + 1
    return not text[line_start : span[0]].strip() and bool(text[:line_start].strip())


def apart(text: str, span: tuple[int, int], body: str, new: KTerm, lang: str = "") -> KTerm:
    """``new`` (whose text is ``body``), put in place of ``span`` of ``text``, with a
    space where its ends would join a neighbouring token.

    >>> from kovel import leaf
    >>> str(apart("a = -b", (5, 6), "-1", leaf("integer", "-1"))), str(apart("a = (b)", (4, 7), "1", leaf("integer", "1")))
    (' -1', '1')
    """
    if not body:
        return new
    start, end = span
    before = text[start - 1] if start > 0 and not text[start - 1].isspace() else ""
    after = text[end] if end < len(text) and not text[end].isspace() else ""
    first, last = body[0], body[-1]
    pad_before = not first.isspace() and runs_into(before, body, "", lang)
    pad_after = not last.isspace() and runs_into("", body, after, lang)
    if lang in _HTML_COMMENTS:
        # `<!--` opens a comment to the end of the line, in JavaScript as in HTML.
        pad_before = pad_before or (bool(before) and _across("<!--", text[max(start - 3, 0) : start], body))
        pad_after = pad_after or (bool(after) and _across("<!--", body, text[end : end + 3]))
    if not pad_before and not pad_after:
        return new
    b = tb(_native.tag(new))
    if pad_before:
        b.w(" ")
    b.c(new)
    if pad_after:
        b.w(" ")
    return b.b()


def _readings(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    news: Sequence[KTerm],
    landings: Sequence[Landing],
    kinds: frozenset[str] | None = None,
    guarded: bool = False,
) -> dict[int, str]:
    """How the text with the replacements made reads each of ``landings``, by its
    place (with ``kinds``, each must be one node of one of them; ``guarded``:
    each starts with a `;` that is not its own)."""
    parts: list[bytes] = []
    at = 0  # in text
    size = 0  # bytes so far
    where: dict[int, tuple[int, int]] = {}
    ends: dict[int, int] = {}  # where each body ends, the blanks after its text included
    checked = {x.at for x in landings}
    # A `;` put after a landing to end its statement is not part of what is read.
    ended = {
        x.at
        for x in landings
        if str(news[x.at]).rstrip().endswith(";") and not str(x.core).rstrip().endswith(";")
    }
    for i, (s, e) in enumerate(spans):
        before = text[at:s].encode()
        body = str(news[i]).encode()
        parts += (before, body)
        size += len(before)
        lo = size + (len(body) - len(body.lstrip())) + (guarded and i in checked)
        where[i] = (lo, lo + len(body.strip()) - (i in ended))
        ends[i] = lo + len(body.lstrip())
        size += len(body)
        at = e
    parts.append(text[at:].encode())
    data = b"".join(parts)
    root = parsed_root(lang, data)
    return {
        x.at: _reading(
            lang,
            root,
            data,
            *where[x.at],
            x.single,
            kinds,
            _native.tag(x.core),
            ends[x.at],
            _named(lang, x.core),
            x.chain_went_on,
            _value_kinds(x.core),
        )
        for x in landings
    }


def _value_kinds(core: KTerm) -> frozenset[str]:
    """The kinds ``core`` is, through the nodes that only hold one other (a
    statement of one expression is that expression too)."""
    kinds = {_native.tag(core)}
    t = core
    while True:
        every = list(_native.children(t))
        kids = [k for k in every if not _native.is_token(k)]
        if not kids and len(every) == 1:
            kids = every  # a keyword's node alone (PHP's `null`), which reads as its kind
        if len(kids) != 1:
            return frozenset(kinds)
        t = kids[0]
        kinds.add(_native.tag(t))


def _named(lang: str, core: KTerm) -> str | None:
    """The kind of named argument ``core`` is, all of its text (``x=1``), if it is one."""
    kinds = NAMED_ARGUMENTS.get(lang)
    return None if kinds is None else _all_of(core, kinds)


def _all_of(t: KTerm, kinds: Sequence[str]) -> str | None:
    """The kind of the node of one of ``kinds`` that is all of ``t``'s text, if there is one."""
    text: str | None = None
    while _native.tag(t) not in kinds:
        kids = _native.children(t)
        if len(kids) != 1:
            return None
        if text is None:
            text = str(t).strip()
        if str(kids[0]).strip() != text:
            return None
        t = kids[0]
    return _native.tag(t)


def check_runs(lang: str, new_text: str, spans: Sequence[tuple[int, int]]) -> None:
    """Raise ``MisreadError`` when statements put in at one of ``spans`` of
    ``new_text`` (in code points) are not read there as a run of whole
    siblings: statements put in a one-line block would leave it.

    >>> try:
    ...     check_runs("python", "if c: pass\\nx = 1\\n", [(6, 16)])
    ... except MisreadError as exc:
    ...     print(exc)
    the statements 'pass\\nx = 1' put in at 1:7 would be read otherwise by the code around them
    >>> check_runs("python", "if c:\\n    pass\\n    x = 1\\n", [(10, 24)])
    """
    data = new_text.encode()
    root = parsed_root(lang, data)
    at = size = 0  # a place in the text, and the bytes before it
    for s, e in sorted(spans):
        size += len(new_text[at:s].encode())
        at = s
        body = new_text[s:e]
        lo = size + len(body.encode()) - len(body.lstrip().encode())
        hi = lo + len(body.strip().encode())
        if _reading(lang, root, data, lo, hi, False) == MISREAD:
            raise MisreadError(
                f"the statements {clipped(body.strip())!r} put in at {line_col(new_text, s)} would be read "
                "otherwise by the code around them"
            )


def holders(
    lang: str, text: str, spans: Sequence[tuple[int, int]]
) -> list[tuple[tuple[int, int], str] | None]:
    """For each of ``spans`` (in code points) of ``text``, the span and kind of
    the node holding the outermost node of exactly that span (None for none,
    or the root), as ``containers_changed`` takes them.

    >>> holders("python", "f(a)(b)\\n", [(0, 4)])
    [((0, 7), 'call')]
    """
    data = text.encode()
    root = parsed_root(lang, data)
    offsets = _Offsets(text)
    out: list[tuple[tuple[int, int], str] | None] = []
    for s, e in spans:
        lo, hi = offsets.byte(s), offsets.byte(e)
        node = root.descendant_for_byte_range(lo, hi)
        if node is None or (node.start_byte, node.end_byte) != (lo, hi):
            out.append(None)
            continue
        while node.parent is not None and (node.parent.start_byte, node.parent.end_byte) == (lo, hi):
            node = node.parent
        up = node.parent
        if up is None or up.parent is None or up.type in _STATEMENTS_OF_ONE:
            # The root holds it, or a statement of it alone: what is left of that is no statement.
            out.append(None)
            continue
        out.append(((offsets.char(up.start_byte), offsets.char(up.end_byte)), up.type))
    return out


_STATEMENTS_OF_ONE = frozenset({"expression_statement"})

# Languages whose statements end at a line break unless the next line goes on
# with them (elsewhere a `;` ends them, or brackets alone let a line go on).
_LINES_GO_ON = frozenset({"javascript", "typescript", "tsx", "lua", "ruby", "kotlin", "swift", "scala", "go"})
# What a line may start with and go on with the line before (JavaScript's
# `(`, `[` and template literals without semicolons, Lua's `(`, Ruby's `.`).
_GOES_ON = frozenset("([`+-*/%,.?:<>=&|^")


def next_lines(
    lang: str, text: str, spans: Sequence[tuple[int, int]], checked: Iterable[int]
) -> dict[int, tuple[tuple[int, int], str]]:
    """For each place ``k`` of ``checked`` whose span ends its line of ``text``
    where the next line starts as if it went on with it (with `(`, `[`, an
    operator), or starts its line where the code after it does so (the line
    before then goes on into it once the span is gone: `console.warn(1)` and
    the `;` starting the line after it), the span and kind of the outermost
    named node starting there, as ``containers_changed`` takes them: what
    replaces the span must leave it as it is (Lua's `do f() end` before a
    line `(g)()` ends a statement; `f()` there would be called again).

    >>> next_lines("lua", "do f() end\\n(g)()\\n", [(0, 10)], [0])
    {0: ((11, 16), 'function_call')}
    """
    starts: dict[int, int] = {}
    if lang not in _LINES_GO_ON:
        return {}
    for k in checked:
        start, end = spans[k]
        rest = text[end:]
        first = len(rest) - len(rest.lstrip())
        line_start = text.rfind("\n", 0, start) + 1
        apart = "\n" in rest[:first] or (line_start and not text[line_start:start].strip())
        if apart and first < len(rest) and rest[first] in _GOES_ON:
            starts[k] = end + first
    if not starts:
        return {}
    root = parsed_root(lang, text.encode())
    offsets = _Offsets(text)
    out: dict[int, tuple[tuple[int, int], str]] = {}
    for k, at in starts.items():
        lo = offsets.byte(at)
        node = root.named_descendant_for_byte_range(lo, lo + 1)
        while node is not None and node.parent is not None and node.parent.start_byte == lo:
            node = node.parent
        if node is None or node.start_byte != lo or node.parent is None:
            continue
        place = next(i for i, c in enumerate(node.parent.children) if c.start_byte == lo)
        if node.parent.field_name_for_child(place) is None:  # (a callee's arguments already go on)
            out[k] = ((at, offsets.char(node.end_byte)), node.type)
    return out


class _Offsets:
    """Code points and UTF-8 bytes of one text, one to the other."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.ascii = text.isascii()

    def byte(self, i: int) -> int:
        return i if self.ascii else len(self.text[:i].encode())

    def char(self, b: int) -> int:
        return b if self.ascii else len(self.text.encode()[:b].decode(errors="ignore"))


def containers_changed(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    bodies: Sequence[str],
    containers: Sequence[tuple[tuple[int, int], str]],
) -> list[int]:
    """Which of ``containers`` (the span of a node of ``text`` and its kind) no
    longer read as one node of that kind once each of ``spans`` (in code
    points, in order, apart) is replaced by its body: an item taken out of a
    tuple with its comma leaves a parenthesised expression, not a tuple.

    >>> containers_changed("python", "a = (1, 2)\\n", [(6, 9)], [""], [((4, 10), "tuple")])
    [0]
    >>> containers_changed("python", "a = (1, 2, 3)\\n", [(6, 9)], [""], [((4, 13), "tuple")])
    []
    """
    data, root, moved = rewritten(lang, text, spans, bodies)
    bodied = _HOLD_A_STATEMENT.get(lang, {})
    out: list[int] = []
    for k, ((a, b), kind) in enumerate(containers):
        lo, hi = moved(a), moved(b)
        # (A block's first or last statement taken out leaves its indentation, which the
        # block starts after or ends before, and the comments before it.)
        starts = {lo, past_comments(root, data, lo)}
        trimmed = lo + len(data[lo:hi].rstrip())
        # (Or after the line break its last statement ends with, as Go's lists end.)
        ends = {
            hi,
            trimmed,
            trimmed + (2 if data[trimmed : trimmed + 2] == b"\r\n" else data[trimmed : trimmed + 1] == b"\n"),
        }
        found = [n for start in starts for end in ends if start <= end for n in _nodes_over(root, start, end)]
        same = [n for n in found if n.type == kind]
        if not same:
            # (A list of statements emptied is no node at all in some grammars, Go's and Ruby's:
            # nothing is left to read otherwise. Bash's lists need one, below.)
            emptied = not data[lo:hi].strip() and kind not in bodied
            if not emptied and not _errors_over(root, lo, hi):  # (what does not parse is the syntax check's)
                out.append(k)
        elif kind in bodied and not any(_holds_a_statement(n, bodied[kind]) for n in same):
            out.append(
                k
            )  # Bash's `then`, `do` and `{` take at least one command, though its grammar takes none
    return out


# Nodes whose statements (children without a field) a language wants one of at
# least, and how many such children before them are no statements (a condition).
_HOLD_A_STATEMENT = {
    "bash": {"if_statement": 0, "elif_clause": 1, "else_clause": 0, "do_group": 0, "compound_statement": 0,
             "subshell": 0},
}  # fmt: skip
_NOT_STATEMENTS = frozenset({"comment", "elif_clause", "else_clause"})


def _holds_a_statement(n: Node, conditions: int) -> bool:
    kids = [
        c
        for i, c in enumerate(n.children)
        if c.is_named and c.type != "comment" and n.field_name_for_child(i) is None
    ]
    return any(c.type not in _NOT_STATEMENTS for c in kids[conditions:])


def ends_changed(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    bodies: Sequence[str],
    ends: Mapping[int, tuple[str, str]],
) -> list[int]:
    """The places ``k`` of ``ends`` whose body, put in place of ``spans[k]`` and
    read as one node of the kind ``ends[k][0]``, does not end with a child of
    the kind ``ends[k][1]``: the clause
    the match ended with (an `else` the pattern passed over) and the body
    keeps has gone to another node (`if (1) if (x) f()\\nelse g()` gives the
    `else` to the inner `if`).

    >>> ends_changed("javascript", "if (1) { if (x) f() }\\nelse g()\\n", [(0, 30)],
    ...              ["if (1) if (x) f()\\nelse g()"], {0: ("if_statement", "else_clause")})
    [0]
    """
    data, root, moved = rewritten(lang, text, spans, bodies)
    out: list[int] = []
    for k, (whole, kind) in ends.items():
        lo, hi = moved(spans[k][0]), moved(spans[k][1])
        body = data[lo:hi]
        lo, hi = lo + len(body) - len(body.lstrip()), lo + len(body.rstrip())
        node = root.descendant_for_byte_range(lo, hi)
        same: list[Node] = []  # the nodes of that kind and exactly that span
        while node is not None and (node.start_byte, node.end_byte) == (lo, hi):
            if node.type == whole:
                same.append(node)
            node = node.parent
        if not same or _errors_over(root, lo, hi):
            continue  # not one node (the other checks' to judge), or what does not parse (the syntax check's)
        if not any(n.children and n.children[-1].type == kind and not _ends_misranked(lang, n) for n in same):
            out.append(k)
    return out


def phantoms(lang: str, text: str, spans: Sequence[tuple[int, int]], asked: Iterable[int]) -> list[int]:
    """The places ``k`` of ``asked`` whose match, ``spans[k]`` of ``text``, is a
    node its grammar reads where the language reads none (Kotlin's `-a + b`
    is `(-a) + b`, its grammar's `-(a + b)`; a match `a + b` there is no
    expression of the program), or holds one right inside it.

    >>> phantoms("kotlin", "val x = -a + b\\n", [(9, 14), (8, 14)], [0, 1])
    [0, 1]
    """
    asked = list(asked)
    if not asked:
        return []
    data = text.encode()
    root = parsed_root(lang, data)
    at = byte_offsets(text)
    out: list[int] = []
    for k in asked:
        s, e = spans[k]
        lo, hi = at(s), at(e)
        nodes = _nodes_over(root, lo, hi)
        if nodes and (misranked(lang, nodes[-1]) or any(holds_misranked(lang, n) for n in nodes)):
            out.append(k)
    return out


def phantom_misread(text: str, span: tuple[int, int], lang: str) -> MisreadError:
    """The error of a match, ``span`` of ``text``, that ``phantoms`` finds."""
    return MisreadError(
        f"the match {clipped(text[span[0] : span[1]])!r} at {line_col(text, span[0])} is an expression "
        f"its grammar groups otherwise than {lang} does: no such node stands in the program"
    )


def _ends_misranked(lang: str, node: Node) -> bool:
    """Whether a node at the end of what comes before ``node``'s last child is
    one its language reads otherwise (PHP gives an `else` to the nearest `if`)."""
    d: Node | None = node.children[-2] if node.child_count > 1 else None
    while d is not None:
        if misranked(lang, d):
            return True
        d = d.children[-1] if d.child_count else None
    return False


def rewritten(
    lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]
) -> tuple[bytes, Node, Callable[[int], int]]:
    """``text`` with each of ``spans`` (in code points, in order, apart) replaced
    by its body, as UTF-8; its syntax tree; and where an offset of ``text``
    stands in it, in bytes (the end of a span: the end of its body).

    >>> data, root, moved = rewritten("python", "f(x)\\n", [(2, 3)], ["yy"])
    >>> data, root.type, moved(4)
    (b'f(yy)\\n', 'module', 5)
    """
    parts: list[str] = []
    at = 0
    for (s, e), body in zip(spans, bodies, strict=True):
        parts += (text[at:s], body)
        at = e
    new = "".join(parts) + text[at:]
    data = new.encode()
    # What the spans ending at or before each end add, and each code point's byte
    # (once for the file: a file of many matches asks for each).
    ends = [e for _, e in spans]
    grown = list(
        itertools.accumulate(len(body) - (e - s) for (s, e), body in zip(spans, bodies, strict=True))
    )
    byte_of = byte_offsets(new)

    def moved(x: int) -> int:
        k = bisect.bisect_right(ends, x)
        return byte_of(x + (grown[k - 1] if k else 0))

    # (Reparsed from the text's own tree, when a check has parsed it: only the replaced bytes anew.)
    old_byte = byte_offsets(text)
    edits = [(old_byte(s), old_byte(e), body.encode()) for (s, e), body in zip(spans, bodies, strict=True)]
    return data, _parsed(lang, data, (text.encode(), edits)).root_node, moved


def elisions_made(
    text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str], members: Sequence[bool] = ()
) -> list[int]:
    """The places ``k`` whose match, taken out (an empty body), leaves its list
    a place between two commas, or between its opening bracket and a comma:
    JavaScript reads `[1, , 3]` as an array with a hole and its grammar takes
    `f(1, , 3)`, which JavaScript refuses.  (A comma left last is a trailing one.)
    Where ``members[k]``, the match is a member of a TypeScript type, whose
    `;` separates members as a comma does (`{ ; f(): void }` is refused).

    >>> elisions_made("a = [1, 2, 3]\\nb = [1, 2]\\n", [(8, 9), (22, 23)], ["", ""])
    [0]
    """
    out: list[int] = []
    for k, ((s, e), body) in enumerate(zip(spans, bodies, strict=True)):
        if body.strip():
            continue
        before, after = text[:s].rstrip(), text[e:].lstrip()
        # (A block comment between them changes nothing: `[1, /* two */ , 3]` has a hole too.)
        while before.endswith("*/") and "/*" in before:
            before = before[: before.rindex("/*")].rstrip()
        while after.startswith("/*") and "*/" in after:
            after = after[after.index("*/") + 2 :].lstrip()
        separators = (",", ";") if k < len(members) and members[k] else (",",)
        if before.endswith((*separators, "(", "[", "{")) and after.startswith(separators):
            out.append(k)
    return out


def elision_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of taking out ``span`` of ``text`` where that would leave an empty place in a list."""
    return fix_misread(
        text,
        span,
        "leave an empty place between commas: take its comma with it (a rule's fix with expandEnd: {regex: ','})",
    )


def nodes_over(root: Node, lo: int, hi: int) -> Iterator[Node]:
    """Every node of ``root``'s tree that holds some of bytes ``[lo, hi)``: the
    outermost node holding them all (of those with just that span, the
    outermost: a match that is a keyword alone is the node that keeps it),
    and each node below it that reaches into them.

    >>> root = parsed_root("python", b"f(x)\\nbreak\\n")
    >>> [n.type for n in nodes_over(root, 5, 10)]
    ['break_statement', 'break']
    """
    node = root.descendant_for_byte_range(lo, max(lo, hi - 1))
    while node is not None and node.parent is not None and (node.start_byte > lo or node.end_byte < hi):
        node = node.parent
    while (
        node is not None
        and node.parent is not None
        and (node.parent.start_byte, node.parent.end_byte) == (lo, hi)
    ):
        node = node.parent
    todo = [node] if node is not None else []
    while todo:
        n = todo.pop()
        if n.end_byte <= lo or n.start_byte >= hi:
            continue
        yield n
        todo.extend(n.children)


def parsed_root(lang: str, data: bytes) -> Node:
    """The root node of ``data`` parsed in ``lang``.  The last few asked for
    are kept: each check of a rewrite parses the file and its rewritten text
    again (a 5 MB file took a fifth of a second a parse, and a dozen parses).

    >>> parsed_root("python", b"x = 1\\n").type
    'module'
    """
    return _parsed(lang, data).root_node


#: The trees of the texts parsed last (see ``parsed_root``), by language and bytes.
_TREES: OrderedDict[tuple[str, bytes], Tree] = OrderedDict()
_KEPT = 3


def _parsed(
    lang: str, data: bytes, edited_from: tuple[bytes, Sequence[tuple[int, int, bytes]]] | None = None
) -> Tree:
    """The tree of ``data``; with ``edited_from`` (the bytes it was made of and
    the edits that made it: ``(start, end, new bytes)`` in those bytes, in
    order, apart), reparsed from that text's tree where it is kept: only what
    the edits touched is parsed again."""
    key = (lang, data)
    tree = _TREES.get(key)
    if tree is not None:
        _TREES.move_to_end(key)
        return tree
    old = _TREES.get((lang, edited_from[0])) if edited_from is not None else None
    if old is not None and edited_from is not None:
        source, edits = edited_from
        breaks = [m.start() for m in _NEWLINE.finditer(source)]

        def point(at: int) -> tuple[int, int]:
            row = bisect.bisect_left(breaks, at)
            return row, at - (breaks[row - 1] + 1 if row else 0)

        tree = old.copy()
        # From the last edit to the first: each leaves the offsets before it as they were.
        for start, end, new in reversed(edits):
            row, column = first = point(start)
            lines = new.count(b"\n")
            last = (row + lines, len(new) - new.rfind(b"\n") - 1) if lines else (row, column + len(new))
            tree.edit(start, end, start + len(new), first, point(end), last)
        tree = parser(lang).parse(data, tree)
    else:
        tree = parser(lang).parse(data)
    _TREES[key] = tree
    if len(_TREES) > _KEPT:
        _TREES.popitem(last=False)
    return tree


_NEWLINE = re.compile(b"\n")


def byte_offsets(text: str) -> Callable[[int], int]:
    """Where each code point offset of ``text`` stands in its UTF-8 bytes
    (worked out once: a file of many matches asks for each).

    >>> byte_offsets("é x")(2)
    3
    """
    if text.isascii():
        return lambda at: at
    # Each character past ASCII adds bytes to every offset after it: a search over where they stand.
    wide = [(m.start(), len(m.group().encode()) - 1) for m in _WIDE.finditer(text)]
    where = [at for at, _ in wide]
    added = [0, *itertools.accumulate(extra for _, extra in wide)]
    size = len(text)
    return lambda at: min(at, size) + added[bisect.bisect_left(where, min(at, size))]


_WIDE = re.compile("[^\x00-\x7f]")


def places_changed(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    bodies: Sequence[str],
    read: Callable[[Node, int, int], Hashable | None],
) -> list[int]:
    """The places ``k`` where ``read`` (of a tree and a span in its bytes) says
    something of ``spans[k]`` of ``text`` (in code points, in order, apart),
    and says something else of the same place once each span is replaced by
    its body.

    >>> places_changed("python", "f(x)\\n", [(2, 3)], ["[y]"], lambda root, lo, hi: root.descendant_for_byte_range(lo, hi - 1).type)
    [0]
    """
    old_root = parsed_root(lang, text.encode())
    at = byte_offsets(text)
    asked: dict[int, Hashable] = {}
    for k, (s, e) in enumerate(spans):
        said = read(old_root, at(s), at(e))
        if said is not None:
            asked[k] = said
    if not asked:
        return []
    _, new_root, moved = rewritten(lang, text, spans, bodies)
    return [k for k, was in asked.items() if read(new_root, moved(spans[k][0]), moved(spans[k][1])) != was]


def past_comments(root: Node, data: bytes, at: int) -> int:
    """The first byte of ``data`` (parsed as ``root``) from ``at`` on that is
    neither white space nor in a comment.

    >>> data = b"x = 1\\n  # c\\ny = 2\\n"
    >>> past_comments(parser("python").parse(data).root_node, data, 5)
    12
    """
    while True:
        at += len(data[at:]) - len(data[at:].lstrip())
        node = root.descendant_for_byte_range(at, at) if at < len(data) else None
        if node is None or not _native.is_comment_tag(node.type) or node.start_byte != at:
            return at
        at = node.end_byte


def _errors_over(root: Node, lo: int, hi: int) -> bool:
    """Whether the smallest node holding bytes ``[lo, hi)`` holds a syntax error."""
    node = root.descendant_for_byte_range(lo, max(lo, hi - 1)) if root.has_error else None
    return node is not None and (node.has_error or node.is_error)


def _nodes_over(root: Node, lo: int, hi: int) -> list[Node]:
    """The nodes spanning exactly bytes ``[lo, hi)``, innermost first."""
    node = root.descendant_for_byte_range(lo, hi)
    out: list[Node] = []
    while node is not None and node.start_byte == lo and node.end_byte == hi:
        out.append(node)
        node = node.parent
    return out


def leave_misread(
    lang: str,
    text: str,
    spans: Sequence[tuple[int, int]],
    bodies: Sequence[str],
    held: Mapping[int, tuple[tuple[int, int], str]],
    left_alone: list[str] | None,
    why: Callable[[str, tuple[int, int], str], MisreadError] | None = None,
) -> set[int]:
    """The places of ``held`` (a replacement's place in ``spans``, and the span
    and kind of the node holding its match) whose replacement would leave that
    node of another kind (see ``containers_changed``).  Each raises
    ``MisreadError`` (made by ``why``, ``container_misread`` by default);
    given ``left_alone``, why is added there instead.

    >>> why: list[str] = []
    >>> leave_misread("python", "a = (1, 2)\\n", [(6, 9)], [""], {0: ((4, 10), "tuple")}, why), len(why)
    ({0}, 1)
    """
    places = list(held)
    wrong = [places[w] for w in containers_changed(lang, text, spans, bodies, [held[k] for k in places])]
    for k in wrong:
        left_or_raised((why or container_misread)(text, spans[k], held[k][1]), left_alone)
    return set(wrong)


def left_or_raised(exc: MisreadError, left_alone: list[str] | None, where: str = "") -> None:
    """Why a replacement is left out, added to ``left_alone`` (with ``where`` it
    stands after it); without that list, ``exc`` is raised.

    >>> why: list[str] = []
    >>> left_or_raised(MisreadError("read otherwise"), why, " (at 1:1)"); why
    ['read otherwise (at 1:1)']
    """
    if left_alone is None:
        raise exc
    left_alone.append(f"{exc}{where}")


def fix_misread(text: str, span: tuple[int, int], would: str) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``would`` do what it must not.

    >>> str(fix_misread("f(x)", (0, 4), "make a docstring"))
    "the fix of 'f(x)' at 1:1 would make a docstring"
    """
    return MisreadError(
        f"the fix of {clipped(text[span[0] : span[1]])!r} at {line_col(text, span[0])} would {would}"
    )


def leave_out(
    places: Iterable[int], why: Callable[[int], MisreadError], left_alone: list[str] | None
) -> set[int]:
    """``places``, each one's error ``why(k)`` added to ``left_alone`` (without it,
    the first is raised): the replacements to leave out.

    >>> notes: list[str] = []
    >>> leave_out([2, 0], lambda k: MisreadError(f"no {k}"), notes), notes
    ({0, 2}, ['no 0', 'no 2'])
    """
    out = set(places)
    for k in sorted(out):
        left_or_raised(why(k), left_alone)
    return out


def ran_on_misread(text: str, span: tuple[int, int], kind: str) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that the ``kind`` on the
    line after it would go on from (see ``next_lines``)."""
    return fix_misread(text, span, f"run on into the {kind} on the line after it")


def clause_misread(text: str, span: tuple[int, int], kind: str) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that would give the
    ``kind`` it ends with to another node (see ``ends_changed``)."""
    return fix_misread(text, span, f"give the {kind} it keeps to another node")


def container_misread(text: str, span: tuple[int, int], kind: str) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that leaves the node of
    ``kind`` holding it a node of another kind (see ``containers_changed``)."""
    return fix_misread(text, span, f"leave the {kind} around it a node of another kind")


def _reading(
    lang: str,
    root: Node,
    data: bytes,
    lo: int,
    hi: int,
    single: bool,
    kinds: frozenset[str] | None = None,
    own: str | None = None,
    body_end: int | None = None,
    named: str | None = None,
    chain_went_on: bool = False,
    values: frozenset[str] | None = None,
) -> str:
    """Whether the bytes ``[lo, hi)`` of ``data`` are read as one node (``single``)
    or as a run of whole siblings (``READ``), otherwise, or amid errors.  A node may take the ``;`` after them (a statement put in
    place of an expression ends with the statement that held it), and a
    comment they end with may run on into a comment that followed them.
    Where the grammar could not read the text around them, this cannot tell:
    the syntax check that follows a rewrite says what the errors mean.  A
    node read as the arguments of what stands before it is misread, unless
    it is of ``own`` kind (what was put in is an argument list itself).
    A node may also take the line break that ended what was put in, up to
    ``body_end`` (a C directive ends with its line)."""

    def ends_it(n: Node) -> bool:
        end = n.end_byte
        if end <= hi:
            return end == hi
        if body_end is not None and end <= body_end and not data[hi:end].strip():
            return True
        tail = data[hi:end].strip(b" \t")
        if tail == b";":
            return True
        if not n.is_extra:
            # The comment that ended the line it was put on (`x.close()  # noqa` -> `with ...:`).
            at = hi + len(data[hi:end]) - len(data[hi:end].lstrip(b" \t"))
            after = root.descendant_for_byte_range(at, at + 1) if at < end else None
            return after is not None and after.is_extra and "comment" in after.type and after.end_byte == end

        own = data[n.start_byte : n.end_byte]
        opener = own[: len(own) - len(own.lstrip(b"#/-*;%!"))]  # the comment's opening token
        return bool(opener) and tail.startswith(opener)

    if lo >= hi:
        return READ
    if root.end_byte < hi:
        return UNCLEAR  # the grammar stopped before it (at a NUL byte, say)
    # The smallest node holding it (found in the tree's own index, so that a
    # file of many replacements costs no walk from the root for each).
    node = root.descendant_for_byte_range(lo, hi)
    if node is None:
        return UNCLEAR
    up: Node | None = node
    while up is not None:
        if up.is_error:
            return UNCLEAR
        up = up.parent
    if not (node.start_byte == lo and ends_it(node)):
        if not node.child_count:
            # Inside one token (a comment the text opens swallows what follows).
            return MISREAD
        # Its children must each lie inside or outside.
        over: list[Node] = []
        c = first_child_after(node, lo)
        while c is not None and c.start_byte < hi:
            if c.end_byte > lo:
                over.append(c)
            c = c.next_sibling
        if any(c.is_error for c in over):
            return UNCLEAR
        if any(c.start_byte < lo or not (c.end_byte <= hi or ends_it(c)) for c in over):
            return MISREAD
        if kinds is not None:
            return MISREAD
        if single and sum(1 for c in over if not c.is_extra) != 1:
            return MISREAD
        # Bash runs only the last of several commands in the background: `a\nb &`.
        rest = data[hi:].lstrip(b" \t")
        if lang == "bash" and rest.startswith(b"&") and not rest.startswith(b"&&"):
            return MISREAD
        # In C, an `if` whose body is a directive's statements takes only the first of them.
        return MISREAD if lang in ("c", "cpp") and _directive_as_body(node) else READ
    spanned = [node.type]  # the kinds of the nodes of this span, innermost first
    while node.parent is not None and node.parent.start_byte == lo and ends_it(node.parent):
        node = node.parent
        spanned.append(node.type)
    # One node (the outermost of those with this span), perhaps with an error
    # at its side (`-not 1` is an error and a `not`): one the language refuses there?
    before, after = node.prev_sibling, node.next_sibling
    if after is None and node.parent is not None:
        # (A token the grammar made up, as Lua's `)` missing in `f("x":rep(3))`, is no next sibling there.)
        kids = node.parent.children
        after = next((kids[i + 1] for i, c in enumerate(kids[:-1]) if c == node), None)
    # An error just before a node that starts where it does (`-` left over before `not 1`).
    first = node
    while before is None and first.parent is not None and first.parent.start_byte == lo:
        first = first.parent
        before = first.prev_sibling
    # (An error just after a token glued to it: PHP's `new F->x` reads `new F`, `-` and an error.)
    glued = (
        after.next_sibling if after is not None and not after.is_named and after.start_byte == hi else None
    )
    if (
        node.has_error
        or (before is not None and before.is_error and not data[before.end_byte : lo].strip())
        or (
            after is not None
            and (after.is_error or after.is_missing)
            and not data[hi : after.start_byte].strip()
        )
        or (glued is not None and after is not None and glued.is_error and glued.start_byte == after.end_byte)
    ):
        return UNCLEAR
    if kinds is not None and node.type not in kinds:
        # (A list of one value, as Go's, reads as what it holds; so does a statement of one value.)
        if node.type not in _LISTS_OF_ONE | {"expression_statement"} or kinds.isdisjoint(spanned):
            return MISREAD
    if (
        lang == "python"
        and kinds is None
        and single
        and values
        and values.isdisjoint(spanned)
        and node.named_child_count > 1
    ):
        return MISREAD  # one value read as several side by side: `with (a, b):` holds two managers
    if kinds is not None and values is not None and not _keeps_kind(node, kinds, values):
        return MISREAD  # in parentheses, JavaScript's `class Q {}` would be no declaration
    if named is not None and (named not in spanned or _loose_pair(lang, node)):
        return MISREAD  # a named argument out of an argument list: `x=1` assigns, `[x: 2]` holds a hash
    if node.parent is not None and not (own is not None and node.type == own and "argument" in own):
        # Read as the arguments of what stands before it (a template literal after
        # a line without `;` is a tagged template), unless it is an argument list.
        arguments = node.parent.child_by_field_name("arguments")
        if arguments is not None and arguments == node:
            return MISREAD
    if misranked(lang, node) or refused_there(lang, node):
        return MISREAD
    if lang == "cpp" and declares_in_cpp(node):
        return MISREAD  # `Foo(h(a));` -> `Foo(a);` declares `a`
    if lang in ("javascript", "typescript", "tsx") and rebinds_in_js(node):
        return MISREAD  # `id(o.m)()` -> `o.m()` calls `m` on `o`
    if _names_only(lang, node) or _untargeted(lang, node):
        return MISREAD  # C's `int (*p) = 7` declares `p`; Go's `f() := 1` and `f()++` are refused
    if values is not None and any((v, t) in _REREAD.get(lang, ()) for v in values for t in spanned):
        return MISREAD  # `{}` as an arrow's body is a block; `function g() {}` a statement declares `g`
    if values is not None and lang in _REREAD and values & JSX_ONLY and not values & {*spanned}:
        return MISREAD  # out of JSX, `{x}` is an object and the text `hello` a name
    if not chain_went_on and extends_a_chain(lang, node):
        return MISREAD  # `g(a?.b).c` -> `a?.b.c` would no longer throw where `a` is null
    return MISREAD if holds_misranked(lang, node) else READ


def _keeps_kind(node: Node, kinds: frozenset[str], values: frozenset[str]) -> bool:
    """Whether what the parentheses of ``kinds`` at (or just below) ``node`` hold
    is a node of one of the kinds ``values``: what was put in them."""
    while node.type not in kinds and node.named_child_count == 1:
        node = node.named_children[0]
    inside = node.named_children
    return node.type not in kinds or len(inside) != 1 or inside[0].type in values or node.type in values


def _names_only(lang: str, node: Node) -> bool:
    """Whether ``node``, no plain name, stands where a declaration wants the name
    it declares: there the grammar reads a value as a declarator or a pattern."""
    if node.type in ("identifier", "field_identifier"):
        return False
    up = node.parent
    if up is None:
        return False
    if lang in ("c", "cpp"):
        return up.type in _C_DECLARING and up.child_by_field_name("declarator") == node
    if lang == "go":
        if up.type == "expression_list" and up.parent is not None:
            up, node = up.parent, up
        return up.type in ("short_var_declaration", "range_clause") and up.child_by_field_name("left") == node
    if lang == "rust":
        return up.type == "let_declaration" and up.child_by_field_name("pattern") == node
    return False


def _untargeted(lang: str, node: Node) -> bool:
    """Whether ``node``, a call, stands where Go, Rust or C assign to it (`f()++`,
    `f() += 1`): a call's value is no place to store into."""
    if lang not in ("go", "rust", "c", "cpp"):
        return False
    inner = node  # (parentheses make no place of it either)
    while inner.type == "parenthesized_expression" and inner.named_child_count == 1:
        inner = inner.named_children[0]
    if inner.type != "call_expression":
        return False
    up = node.parent
    if lang == "go" and up is not None and up.type == "expression_list" and up.parent is not None:
        node, up = up, up.parent
    if up is None:
        return False
    if up.type in ("inc_statement", "dec_statement", "update_expression"):
        return True
    return up.type in _ASSIGNING and up.child_by_field_name("left") == node


_ASSIGNING = frozenset(
    {
        "assignment_statement",
        "assignment_expression",
        "compound_assignment_expr",
        "compound_assignment_expression",
    }
)


_C_DECLARING = frozenset({"init_declarator", "declaration", "parameter_declaration", "field_declaration"})


# A value of the first kind read as a node of the second where it lands: another construct.
_JS_REREAD = frozenset(
    {("object", "statement_block"), ("function_expression", "function_declaration"),
     ("function", "function_declaration"), ("class", "class_declaration"),
     ("generator_function", "generator_function_declaration")}
)  # fmt: skip
_REREAD = {"javascript": _JS_REREAD, "typescript": _JS_REREAD, "tsx": _JS_REREAD}


_DIRECTIVES = frozenset({"preproc_if", "preproc_ifdef", "preproc_elif", "preproc_else", "preproc_elifdef"})
_CONTROLS = frozenset({"if_statement", "else_clause", "while_statement", "for_statement", "for_range_loop"})


def _directive_as_body(node: Node) -> bool:
    """Whether ``node`` is (in) a C directive right after a control statement
    whose body the grammar found missing: the directive's lines are its body."""
    while node.type in _DIRECTIVES and node.parent is not None and node.parent.type in _DIRECTIVES:
        node = node.parent
    if node.type not in _DIRECTIVES:
        return False
    before = node.prev_named_sibling
    if before is None or before.type not in _CONTROLS:
        return False
    last = before
    while last.child_count:
        last = last.children[-1]
    return last.is_missing


# Nodes wrapping one value: a list of one (Go's), a PHP array's element or `yield`'s value.
_LISTS_OF_ONE = frozenset({"expression_list", "array_element_initializer"})


def _loose_pair(lang: str, node: Node) -> bool:
    """Whether ``node``, read as a named argument's kind, stands out of an
    argument list: Ruby's pair in an array is a hash, Kotlin's `f(x = 1)`
    taken out is an assignment."""
    holder = node.parent.type if node.parent is not None else ""
    if lang == "ruby":
        return node.type == "pair" and holder not in ("argument_list", "hash")
    return lang == "kotlin" and holder != "value_arguments"


_HTML_COMMENTS = frozenset({"javascript", "typescript", "tsx"})


def _across(word: str, left: str, right: str) -> bool:
    """Whether ``word`` would stand across the join of ``left`` and ``right``."""
    k = len(word) - 1
    a, b = left[-k:], right[:k]
    at = (a + b).find(word)
    return 0 <= at < len(a) < at + len(word)


def _why(
    text: str,
    span: tuple[int, int],
    body: str,
    what: str = "would be read otherwise by the code around it, and parentheses cannot keep it together",
) -> str:
    return (
        f"the replacement {clipped(body)!r} of {clipped(text[span[0] : span[1]])!r} at "
        f"{line_col(text, span[0])} {what}"
    )


def _adds_errors(lang: str, text: str, span: tuple[int, int], body: str) -> bool:
    """Whether ``text`` would not parse with ``body`` in place of ``span``."""
    return bool(parser(lang).parse((text[: span[0]] + body + text[span[1] :]).encode()).root_node.has_error)


def line_col(text: str, at: int) -> str:
    """``line:column`` (from 1) of offset ``at`` of ``text``."""
    line = text.count("\n", 0, at) + 1
    column = at - text.rfind("\n", 0, at)  # rfind gives -1 on the first line
    return f"{line}:{column}"
