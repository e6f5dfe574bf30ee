"""Patterns: matching code written with metavariables against terms.

A pattern node matches a term node of the same tag whose children match the
pattern's children in order; a token matches a token of the same tag and
text; ``$NAME`` matches any one node and ``$$$NAME`` any run of siblings.
Layout (the text between children) is ignored, and so are separator and
keyword tokens of the term that the pattern does not mention (a trailing
comma, ``async``) and comments, like ast-grep's default "smart" strictness.  Quote and
unquote nodes of the term are looked through.

The matching itself is native (``kovel/src/match.cpp``): a pattern is
compiled once, and one call walks the term, tries the pattern at every node
of the root's tag and returns only the matches.
"""

from __future__ import annotations

import bisect
import re
from collections import Counter
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from kovel import _native, leaf, tree as kt
from kovel._kovel import KTerm, tb
from kovel.quasi.attributes import attribute_misread, attributes_stranded
from kovel.quasi.columns import BY_COLUMN, layout_misread, layouts_shifted
from kovel.quasi.directives import DIRECTED, directive_misread, directives_made
from kovel.quasi.docstrings import docstring_misread, docstrings_made
from kovel.quasi.edit import Editor
from kovel.quasi.fill import (
    MADE_RUN,
    MADE_TEXT,
    BoundText,
    ChainLink,
    Siblings,
    Template,
    fitted,
    one_value,
    several,
)
from kovel.quasi.heredocs import heredoc_misread, heredocs_moved
from kovel.quasi.inplace import (
    Landing,
    apart,
    check_runs,
    clause_misread,
    elision_misread,
    elisions_made,
    ends_changed,
    holders,
    kept_or_left,
    leave_misread,
    leave_out,
    left_or_raised,
    line_col,
    next_lines,
    phantom_misread,
    phantoms,
    ran_on_misread,
    statements_ended,
)
from kovel.quasi.jumps import JUMPING, jump_misread, jumps_rebound
from kovel.quasi.loops import do_while_misread, do_whiles_changed
from kovel.quasi.order import ORDERED, order_misread, orders_broken
from kovel.quasi.parse import (
    HOLDS_A_BODY,
    REGEX,
    MisreadError,
    SHole,
    Skeleton,
    SNode,
    chain_links,
    clipped,
    has_optional_chains,
    hole_literals,
    ignores_case,
    needs_a_context,
    parse_quasi,
    refuses_statements,
    restricts_calls_in,
    too_deep,
)
from kovel.quasi.runs import Run, RunFinder, splice_runs
from kovel.quasi.shape import KnownKinds, line_ends_statements, named_words, parentheses, same_shape, shape
from kovel.quasi.wire import PatternItem
from kovel.tree import Path
from kovel.treesitter.convert import Parsed, native_grammar, parse_with_errors
from kovel.treesitter.layout import CODE_KINDS, VERBATIM_KINDS, is_literal_kind

__all__ = [
    "Binding",
    "Match",
    "Path",
    "Pattern",
    "bound_texts",
    "comment_dropped",
    "emptied_statement",
    "find_all_many",
    "line_starts",
    "pattern",
    "replacements",
    "SourceSearch",
    "search_source",
    "search_source_parsed",
    "search_stored",
    "source_bindings",
    "statements_kept",
]

Binding = KTerm | list[KTerm]


def _spec(n: SNode | SHole, sk: Skeleton, parent: str) -> tuple[object, ...]:
    """The pattern as ``_native.compile_pattern`` takes it (separator gaps dropped);
    ``parent`` is the kind of the node holding ``n``."""
    if isinstance(n, SHole):
        return (PatternItem.RUN if n.meta.seq else PatternItem.HOLE, n.meta.name)
    if n.leaf:
        text = n.items[0] if n.items else ""
        if _optional_terminator(n, sk.lang, parent):
            return (PatternItem.OPTIONAL, n.kind, text)
        return (PatternItem.TOKEN if _respellable(sk, n) else PatternItem.LEAF, n.kind, text)
    return (
        PatternItem.NODE,
        n.kind,
        tuple(_spec(i, sk, n.kind) for i in n.items if not isinstance(i, str)),
    )


def _respellable(sk: Skeleton, leaf: SNode) -> bool:
    """Whether the grammar spells ``leaf`` in other ways, each of which a match
    may have: a token that spells its kind (`#include`, which C also spells
    `#  include`), or a keyword that ignores case (PHP's `echo`, SQL's `SELECT`)."""
    text = leaf.items[0] if leaf.items and isinstance(leaf.items[0], str) else ""
    return (not leaf.named and _native.spells(text, leaf.kind)) or (leaf.named and ignores_case(sk, leaf))


def _optional_terminator(n: SNode | SHole | str, lang: str, parent: str) -> bool:
    """Whether ``n`` is a ``;`` the code may write as a line break."""
    return isinstance(n, SNode) and n.leaf and n.kind == ";" and line_ends_statements(lang, parent)


@dataclass(frozen=True, slots=True)
class Match:
    """One match of a pattern in a term.

    ``term`` is the matched node, ``path`` its position (as
    ``kovel.tree.walk`` gives it), ``span`` its ``(start, end)`` in
    ``str(root)`` and ``bindings`` the values of the named metavariables,
    keyed like ``Template.fill``: a term for ``$NAME``, a list of terms for
    ``$$$NAME``.  A match of a pattern of several statements is a run of
    siblings: ``term`` is a node of their parent's tag holding just them,
    ``span`` covers exactly them and ``path`` is the first one's.

    >>> from kovel.treesitter import parse
    >>> m = next(pattern("python", "$F($X)").find_all(parse("python", "g(1)\\n")))
    >>> m.path, m.span, {k: str(v) for k, v in m.bindings.items()}
    ((0, 0), (0, 4), {'F': 'g', 'X': '1'})
    """

    term: KTerm
    path: Path
    span: tuple[int, int]
    bindings: dict[str, Binding]
    # The bindings as the matcher made them (the source's own nodes), for
    # rewrites that edit the match in place.
    _found: dict[str, Binding] | None = field(default=None, repr=False, compare=False)
    # A match of several statements: where the run stands in its parent.
    _run: Run | None = field(default=None, repr=False, compare=False)


def _dedent(t: KTerm, indent: str) -> KTerm:
    """`t` with `indent` taken off the start of every line after its first.

    Terms parsed from source carry the absolute indentation of their later
    lines; a value moved elsewhere takes the indentation of its new place
    (a pushed prefix) and keeps only what it had beyond ``indent``.
    """
    if not indent or "\n" not in str(t):
        return t
    return _native.dedent(t, indent)


def _names_apart(sk: Skeleton) -> None:
    """Raise ``SyntaxError`` for a pattern that names one metavariable both as a
    node and as a run (`$B` and `$$$B`): one name to kovel, the two could bind
    alike only where the run is that one node, so such a pattern (written as
    ast-grep reads it, two names) would find nothing."""
    seen: dict[str, bool] = {}
    for m in sk.metas:
        if m.name is None:
            continue
        if seen.setdefault(m.name, m.seq) != m.seq:
            raise SyntaxError(
                f"the pattern names ${m.name} and $$${m.name}, which are one metavariable: "
                "give the node and the run names of their own"
            )


class Pattern:
    """Code with metavariables in one language; it finds and rewrites terms.

    Made by ``pattern(lang, code, context=..., selector=...)``.

    >>> from kovel.treesitter import parse
    >>> p = pattern("python", "$X == None")
    >>> [str(m.term) for m in p.find_all(parse("python", "if a == None or b == c:\\n    pass\\n"))]
    ['a == None']
    """

    __slots__ = (
        "_clauses",
        "_parts",
        "_run_items",
        "_editors",
        "_label",
        "_links",
        "_literals",
        "_only",
        "_program",
        "_required",
        "_required_utf8",
        "_root",
        "_runs",
        "_tokens",
        "_top_runs",
        "_word",
        "_words",
        "_whole_words",
        "code",
        "context",
        "lang",
        "selector",
    )

    def __init__(self, lang: str, code: str, context: str | None = None, selector: str | None = None) -> None:
        try:
            self._compile(lang, code, context, selector)
        except RecursionError:
            raise too_deep(lang) from None

    def _compile(self, lang: str, code: str, context: str | None, selector: str | None) -> None:
        sk = parse_quasi(lang, code, context=context, selector=selector)
        _names_apart(sk)
        lang = sk.lang
        root = sk.root
        if isinstance(root, SNode) and not root.leaf and not root.named and root.kind == "":
            raise ValueError(f"pattern {code!r} is empty")
        self.lang: str = lang
        self.code: str = code
        self.context: str | None = context
        self.selector: str | None = selector
        spelled = list(_leaf_texts(sk, root, ""))
        self._required: frozenset[str] = frozenset(t for t, _ in spelled)
        whole = sorted({t for t, word in spelled if word})
        # Where each metavariable stands in a string literal (its opener), or None.
        self._literals = hole_literals(root)
        self._links = chain_links(lang, root)
        # A metavariable alone stands for any node the grammar names, not for
        # a statement holding one, nor for a keyword or a bracket; a keyword
        # alone for the keyword, or a name spelled so where the grammar reads
        # one (Python's `print`): each is a node the search keeps.
        self._only: Callable[[KTerm], bool] | None = None
        self._word: str | None = None
        if len(sk.metas) == 1 and not sk.metas[0].seq and sk.metas[0].text == code.strip():
            root = SHole(sk.metas[0], "", "", False)
            self._only = KnownKinds(lang).named
        elif isinstance(root, SNode) and root.leaf and not root.named and not sk.metas:
            self._word = word = root.kind
            self._only = lambda n: not _native.children(n) and str(n) == word
        words = named_words(lang)
        self._words = words
        self._program: object = _native.compile_pattern(_spec(root, sk, ""), Siblings, tuple(sorted(words)))
        self._root = root
        self._editors: dict[tuple[str, str], Editor] = {}
        # Several statements match a run of siblings in any node, not a whole parent.
        self._runs: RunFinder | None = None
        self._top_runs: RunFinder | None = None
        self._run_items: list[SNode | SHole] = []
        # The clauses and keywords each of the pattern's nodes spells (see ``_more_parts``).
        self._parts: dict[tuple[int, bool], Counter[str]] = {}
        if sk.run and isinstance(root, SNode):
            # Comments between the statements are passed over in the code, so in
            # the pattern too; and a `;` between them, where a line break is one.
            items = [
                i
                for i in root.items
                if not isinstance(i, str)
                and not (isinstance(i, SNode) and _native.is_comment_tag(i.kind))
                and not _optional_terminator(i, lang, root.kind)
            ]
            seq = any(isinstance(i, SHole) and i.meta.seq for i in items)
            self._run_items = items
            specs = tuple(_spec(i, sk, root.kind) for i in items)
            if line_ends_statements(lang, root.kind):
                # Where a line break ends a statement, a `;` or a line's end stands between
                # two (a call's name and its arguments are no two statements).
                between = (PatternItem.OPTIONAL, ";", ";")
                tokens = (PatternItem.LEAF, PatternItem.TOKEN, PatternItem.OPTIONAL)
                specs = tuple(
                    x
                    for k, spec in enumerate(specs)
                    for x in (
                        (between, spec)
                        if k and spec[0] not in tokens and specs[k - 1][0] not in tokens
                        else (spec,)
                    )
                )
            self._runs = RunFinder(specs, seq, Siblings, words, whole=sk.whole)
            wrapper = _TOP_LEVEL_WRAPPERS.get(lang)
            if wrapper is not None and sk.whole is None:
                # A file's statements, each in a node of its own (C#'s top level).
                top = tuple(
                    (PatternItem.NODE, wrapper, (i,)) if i[0] == PatternItem.NODE else i for i in specs
                )
                self._top_runs = RunFinder(top, seq, Siblings, words)
        # The tokens the pattern's root names itself (`def`, `;`): the matched
        # node's other tokens at its ends are kept by a rewrite.
        self._tokens: frozenset[str] = frozenset(
            i.items[0]
            for i in (root.items if isinstance(root, SNode) else ())
            if isinstance(i, SNode) and i.leaf and i.items and isinstance(i.items[0], str)
        )

        # A pattern that ends with a label's `:` (`case $X:`) matches the
        # statements after it too; a rewrite keeps them.
        last = [i for i in root.items if not isinstance(i, str)][-1:] if isinstance(root, SNode) else []
        self._label: bool = (
            bool(last) and isinstance(last[0], SNode) and last[0].leaf and last[0].items == [":"]
        )
        # The clauses the pattern names (`else:` of `if $C: $$$A else: $$$B`), by kind: a match's
        # clauses beyond these were passed over.
        self._clauses: dict[str, int] = {}
        for i in root.items if isinstance(root, SNode) else ():
            if isinstance(i, SNode) and i.kind.endswith("_clause"):
                self._clauses[i.kind] = self._clauses.get(i.kind, 0) + 1
        # In a fixed order (the longest first), so that a tie for the rarest
        # text falls the same way in every process.
        self._required_utf8 = tuple(sorted((t.encode() for t in self._required), key=lambda w: (-len(w), w)))
        self._whole_words = tuple(t.encode() for t in whole)

    @property
    def _native_search(self) -> bool:
        # Whether the native search's matches are all this pattern's matches.
        return self._runs is None and self._only is None

    @property
    def required_texts(self) -> frozenset[str]:
        """Texts that the source of every match holds: the tokens the pattern
        spells out, metavariables and comments left out.

        A match's tokens render as the pattern's (same kind, same text), and a
        parsed term's tokens are slices of its source, so a source lacking
        one of these texts has no match: it need not be parsed.

        >>> sorted(pattern("python", "print($$$A)").required_texts)
        ['(', ')', 'print']
        """
        return self._required

    @property
    def chain_links(self) -> frozenset[str]:
        """The metavariables the pattern puts where a member, an index or a call
        applies to them (see ``kovel.quasi.parse.chain_links``).

        >>> sorted(pattern("javascript", "$F($A)").chain_links)
        ['F']
        """
        return self._links

    @property
    def literals(self) -> Mapping[str, frozenset[str | None]]:
        """For each named metavariable, the opening delimiters of the string
        literals its holes stand in (None for a hole outside any).

        >>> pattern("python", 'f($A, "$B")').literals
        {'A': frozenset({None}), 'B': frozenset({'"'})}
        """
        return self._literals

    @property
    def required_words_utf8(self) -> tuple[bytes, ...]:
        """Those of ``required_utf8`` that every match spells as a whole word: a
        name or a keyword, which no letter nor underscore stands against in the
        source, nor a digit after it (a file holding `print` only in `blueprint`
        or `print_all` has no match of `print($A)`).

        >>> pattern("python", "print($$$A)").required_words_utf8
        (b'print',)
        """
        return self._whole_words

    @property
    def required_utf8(self) -> tuple[bytes, ...]:
        """``required_texts`` in UTF-8, the longest (most often the rarest) first.

        >>> pattern("python", "print($$$A)").required_utf8
        (b'print', b'(', b')')
        """
        return self._required_utf8

    def __repr__(self) -> str:
        extra = "".join(
            f", {k}={v!r}"
            for k, v in (("context", self.context), ("selector", self.selector))
            if v is not None
        )
        return f"pattern({self.lang!r}, {self.code!r}{extra})"

    def __reduce__(self) -> tuple[type[Pattern], tuple[str, str, str | None, str | None]]:
        # The compiled form is native; a copy (in another process, say) compiles the code again.
        return (Pattern, (self.lang, self.code, self.context, self.selector))

    def _matches(self, t: KTerm, outermost: bool) -> Iterator[Match]:
        # One native call finds every match; Python objects are made only for them.
        # Paths share their common parts, and `offsets` is set exactly when a
        # binding's text spans lines: nested matches in a deep term cost no
        # more than their number.
        indents = _Indents(t)
        if self._runs is not None:
            found = self._runs.find(t, outermost)
            if self._top_runs is not None:
                found = iter(sorted([*found, *self._top_runs.find(t, outermost)], key=lambda r: r.span))
            for r in found:
                env = r.env
                if r.offsets is not None:
                    env = _normalise(env, indents, r.offsets)
                yield Match(r.term, (*r.parent, r.first), r.span, _unwrapped(env), r.env, r)
            return
        if self._only is None:
            yield from _made(_native.match_all(self._program, t, outermost), indents)
            return
        keep = self._only
        outer: Path | None = None
        if self._word is not None:
            # A keyword alone: every leaf of code that spells it, whatever the grammar made of
            # it there; the text of a string or a comment is no code.
            for path, node, start, end in kt.walk(t, spans=True):
                if keep(node) and not _in_text(t, path):
                    yield Match(node, tuple(path), (start, end), {})
            return
        for m in _made(_native.match_all(self._program, t, False), indents):
            if keep(m.term) and not (outermost and outer is not None and m.path[: len(outer)] == outer):
                outer = m.path
                yield m

    def find_all(self, t: KTerm) -> Iterator[Match]:
        """Yield every match in ``t``, in document order (nested matches included).

        >>> from kovel.treesitter import parse
        >>> p = pattern("python", "$A + $A")
        >>> [str(m.term) for m in p.find_all(parse("python", "x + x\\ny + z\\n"))]
        ['x + x']
        """
        return self._matches(t, False)

    def rewrite(self, t: KTerm, replacement: Template | Callable[[Match], KTerm | None]) -> KTerm:
        """Replace every match in ``t`` (outermost first, no overlaps) and return the new term.

        ``replacement`` is a ``Template``, filled with each match's bindings,
        or a function from the ``Match`` to its replacement term; a function
        that returns ``None`` or ``m.term`` itself leaves that match as it
        was. Text outside the matches is unchanged and unchanged subterms are
        shared. A replacement is laid out as if its match started at column 0
        of its own line: each later line gets the indentation of the line
        where the match starts, and a binding spliced where it came from
        comes out as it was. Line breaks it adds follow the source's (CRLF
        in a CRLF file). Tokens of the matched node that the pattern does not
        name (a statement's ``;``, ``async`` before ``def``) are kept at the
        ends of the replacement when it lacks them, and a space is put
        between the replacement and a neighbouring word it would join.

        Raises ``ValueError`` for a replacement that pops or leaves pushed an
        indentation prefix (it would change the text after it).

        >>> from kovel.treesitter import parse
        >>> from kovel.quasi import template
        >>> src = parse("python", "def f():\\n    x = a == None\\n")
        >>> print(pattern("python", "$X == None").rewrite(src, template("python", "$X is None")), end="")
        def f():
            x = a is None
        """
        paths, news, _ = replacements(self, t, replacement)
        return _native.replace_all(t, paths, news) if paths else t

    def _editor(self, tpl: Template) -> Editor:
        key = (tpl.lang, tpl.code)
        ed = self._editors.get(key)
        if ed is None:
            ed = self._editors[key] = Editor(self._root, tpl.skeleton)
        return ed

    def _kept_clause(self, matched: KTerm, body: str) -> tuple[str, str] | None:
        """The kinds of ``matched`` and of its last child when that is part of a
        clause (an `else` and what follows it) that ``body`` ends with as well:
        a node of that kind written in its place must still end with it."""
        kids = _native.children(matched)
        last = str(kids[-1]).rstrip() if len(kids) > 1 else ""
        if not last or len(body.rstrip()) <= len(last) or not body.rstrip().endswith(last):
            return None
        for k in kids[1:]:
            tag = _native.tag(k)
            if tag.endswith("_clause") or (
                _unnamed_token(k, self._tokens, self._words) and str(k).isalpha() and str(k).islower()
            ):
                return _native.tag(matched), _native.tag(kids[-1])
        return None

    def _passed_over_in_run(self, run: Run) -> str | None:
        """What a statement of the matched ``run`` holds that its statement in the
        pattern does not mention (an `elif`, a `finally`, a `from`), which a
        replacement of the whole run would drop: its kind, or None."""
        bound = _bound_nodes(run.env)
        ids = {_native.ident(b) for b in bound}
        kids = [
            k
            for k in _native.children(run.term)
            if not _native.is_comment(k)
            and not _unnamed_token(k, self._tokens, self._words)
            and _native.ident(k) not in ids
        ]
        items = [i for i in self._run_items if not (isinstance(i, SHole) and i.meta.seq)]
        for k, item in zip(kids, items, strict=False):
            if isinstance(item, SNode):  # (a metavariable takes the whole statement)
                passed = self._more_parts(k, item, bound, False)
                if passed:
                    return min(passed)
        return None

    def _passed_over_inside(self, m: Match) -> frozenset[str]:
        """The kinds of what the match holds below its own clauses that the
        pattern does not mention (the `elif` of an `if` in a `def` the pattern
        names), which a replacement must keep.  (The match's own passed-over
        clauses stay after it: see ``_keep_end_tokens``.)"""
        if not isinstance(self._root, SNode) or self._runs is not None:
            return frozenset()
        # (The source's own nodes: a run's bound statements are moved to no indentation.)
        return self._more_parts(m.term, self._root, _bound_nodes(m._found or m.bindings), True)

    def _more_parts(self, node: KTerm, item: SNode, bound: list[KTerm], top: bool) -> frozenset[str]:
        """The kinds of the clauses and keywords that ``node`` holds more of than
        the pattern's ``item`` (outside what metavariables bound); with ``top``,
        not counting the clauses and keywords right under them, which a
        replacement keeps."""
        key = (id(item), top)  # (the pattern's own parts, the same for each of its matches)
        want = self._parts.get(key)
        if want is None:
            want = self._parts[key] = _spelled_parts(item, top)
        have: Counter[str] = Counter()
        ids = {_native.ident(b) for b in bound}  # (a set: a run may bind thousands)

        def held(t: KTerm, depth: int) -> None:
            for k in _native.children(t):
                if _native.ident(k) in ids:
                    continue
                tag = _native.tag(k)
                part = tag.endswith("_clause") or (
                    _unnamed_token(k, frozenset(), self._words) and str(k).isalpha() and str(k).islower()
                )
                if part and top and depth == 0:
                    continue
                if part:
                    have[tag] += 1
                held(k, depth + 1)

        held(node, 0)
        return frozenset(k for k, n in have.items() if n > want[k])

    def _names(self, kids: Sequence[KTerm], at: int) -> bool:
        """Whether the pattern names the clause ``kids[at]``: it has as many clauses of
        its kind as come before it and it (they match the match's first ones)."""
        tag = _native.tag(kids[at])
        return sum(1 for k in kids[: at + 1] if _native.tag(k) == tag) <= self._clauses.get(tag, 0)

    def _keep_end_tokens(self, matched: KTerm, new: KTerm, body: str, kind: str) -> KTerm:
        """``new`` with the tokens that end (and start) ``matched`` which the
        pattern does not name and ``new`` lacks: dropping a ``;`` can change
        what the next statement means, dropping ``async`` what a function is.
        Clauses the pattern passed over (``else:``), and the statements after
        a label it ends with (``case $X:``), are kept after a replacement of
        the same kind, and refused after another."""
        kids = _native.children(matched)
        if len(kids) < 2:
            return new
        lead = 0
        while lead < len(kids) - 1 and _unnamed_token(kids[lead], self._tokens, self._words):
            lead += 1
        trail = len(kids)
        while trail > lead + 1 and (
            _unnamed_token(kids[trail - 1], self._tokens, self._words)
            or (_native.tag(kids[trail - 1]).endswith("_clause") and not self._names(kids, trail - 1))
            or (self._label and _native.is_statement(kids[trail - 1]))
        ):
            trail -= 1
        # A part led by a keyword the pattern does not name (`else` and its block) was passed over.
        for k in range(len(kids) - 1, lead, -1):
            if (
                _unnamed_token(kids[k], self._tokens, self._words)
                and str(kids[k]).isalpha()
                and str(kids[k]).islower()
            ):
                trail = min(trail, k)
                break
        if not lead and trail == len(kids):
            return new
        head = "".join(str(k) for k in kids[:lead])
        tail = "".join(str(k) for k in kids[trail:])
        # A keyword kept in front only fits a node of the same kind (`async`
        # before a `def`); a terminator fits after any.
        if lead and body.lstrip().startswith(head):
            lead = 0
        elif lead and kind != _native.tag(matched):
            # Dropping `async` or `static` changes what the code is; keeping it before
            # another kind (or several statements) makes another program.
            raise MisreadError(
                f"the match starts with {head.strip()!r}, which the pattern does not mention, and the "
                f"replacement (a {kind}, not a {_native.tag(matched)}) cannot keep it: mention it in the pattern"
            )
        if trail < len(kids) and body.rstrip().endswith(tail):
            trail = len(kids)
        clauses = [
            _native.tag(k)
            for k in kids[trail:]
            if _native.tag(k).endswith("_clause")
            or str(k).isalpha()
            or (self._label and _native.is_statement(k))
        ]
        if clauses and kind != _native.tag(matched):
            # Dropping an `else:` changes the program silently; putting it after
            # a node of another kind (`while`) makes another program.
            raise MisreadError(
                f"the match has a {clauses[0]} that the pattern does not mention, and the replacement "
                f"(a {kind}, not a {_native.tag(matched)}) cannot hold it: mention it in the pattern"
            )
        # A replacement that writes such parts itself (`raise $E from None` over
        # `raise v from e`, an `else:` over an `elif`) would have the match's
        # after its own: two `from`s, an `elif` after the `else`.
        parts = list(_native.children(_inner(_laid_out(new))))
        while parts and _unnamed_token(parts[0], self._tokens, self._words):
            del parts[0]  # leading keywords (`async`) stand before the match's kept part anyway
        own = [
            _native.tag(k)
            for k in parts
            if _native.tag(k).endswith("_clause")
            or (_unnamed_token(k, self._tokens, self._words) and str(k).isalpha() and str(k).islower())
        ]
        if clauses and own:
            raise MisreadError(
                f"the match has a {clauses[0]} that the pattern does not mention, and the replacement "
                f"has a {own[0]} of its own: mention the match's in the pattern"
            )
        if not lead and trail == len(kids):
            return new
        # The layout around the kept tokens is the matched node's own.
        kept: list[KTerm] = []
        cmds: list[tuple[str, str]] = []
        hole = 0
        for op, arg in _native.commands(matched):
            if op == "hole":
                if hole < lead or hole >= trail:
                    kept.append(kids[hole])
                    cmds.append((op, arg))
                elif hole == lead:
                    kept.append(new)
                    cmds.append((op, arg))
                hole += 1
            elif hole <= lead or hole > trail or (hole == trail < len(kids)):
                # the layout between the kept children and the replacement stays
                cmds.append((op, arg))
        return kt.node(_native.tag(new), kept, cmds)


def _unwrapped(env: dict[str, Binding]) -> dict[str, Binding]:
    if any(isinstance(v, KTerm) and _wrapper(_native.tag(v)) for v in env.values()):
        return {k: _unwrap(v) if isinstance(v, KTerm) else v for k, v in env.items()}
    return env


def _wrapper(tag: str) -> bool:
    """Whether nodes of ``tag`` may only wrap another: Go's ``expression_list``,
    C#'s ``argument`` and Kotlin's ``value_argument`` around one expression."""
    return tag.endswith("_list") or tag in ("argument", "value_argument")


def _unwrap(t: KTerm) -> KTerm:
    """``t`` without the one-element wrappers around it (Go's ``expression_list``
    of one expression, C#'s ``argument``): the value is the expression, filled
    anywhere as one."""
    while _wrapper(_native.tag(t)) and len(_native.children(t)) == 1:
        if any(op != "hole" and (op != "write" or arg.strip()) for op, arg in _native.commands(t)):
            break
        t = _native.children(t)[0]
    return t


def _leaf_texts(sk: Skeleton, n: SNode | SHole, parent: str) -> Iterator[tuple[str, bool]]:
    """Texts that the source of every match of ``n`` (held by a ``parent``
    node) holds: its tokens' texts, comments, optional terminators and the
    commas beside a run left out (a match may lack them: a run of nothing
    takes its comma along); each with whether it is a whole word there (a
    name or a keyword, spelled as the pattern spells it)."""
    if isinstance(n, SHole) or _native.is_comment_tag(n.kind):
        return  # (a comment, a token or one whose marks the grammar names, is passed over)
    if n.leaf:
        text = n.items[0] if n.items else ""
        if isinstance(text, str) and text:
            if not _optional_terminator(n, sk.lang, parent):
                spelled = list(_spelled_in_every_match(sk, n, text))
                word = spelled == [text] and _NAME_RE.fullmatch(text) is not None
                word = word and (n.kind == text or n.kind.endswith("identifier"))
                yield from ((t, word) for t in spelled)
        return
    kids = [i for i in n.items if not isinstance(i, str)]
    for k, i in enumerate(kids):
        beside = kids[max(k - 1, 0) : k + 2]
        if isinstance(i, SNode) and i.leaf and i.items == [","] and any(_is_run(x) for x in beside):
            continue
        yield from _leaf_texts(sk, i, n.kind)


def _is_run(n: SNode | SHole) -> bool:
    return isinstance(n, SHole) and n.meta.seq


_WORD_RE = re.compile(r"\w+")
#: A name or a keyword as most languages spell one: ASCII letters, digits and underscores.
_NAME_RE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _spelled_in_every_match(sk: Skeleton, n: SNode, text: str) -> Iterator[str]:
    """What of a leaf's ``text`` every match spells as it is: a leaf the grammar
    spells in other ways (see ``_respellable``) may have other spacing (`#  include`)
    and, where the grammar ignores case, other case."""
    if not _respellable(sk, n):
        yield text
    elif not (any(c.isalpha() for c in text) and ignores_case(sk, n)):
        words = _WORD_RE.findall(text)
        yield max(words, key=len) if words and words != [text] else text


# Languages in which `;` alone is an empty statement.
_EMPTY_STATEMENT = frozenset(
    {"c", "cpp", "java", "javascript", "typescript", "tsx", "c_sharp", "csharp", "php"}
)


def _chain(t: KTerm, path: Path) -> list[KTerm]:
    """The nodes from ``t`` down to the one at ``path``, both included."""
    chain = [t]
    for i in path:
        chain.append(_native.children(chain[-1])[i])
    return chain


def _takes_a_body(lang: str, root: Callable[[], KTerm], path: Path, term: KTerm, body: str) -> bool:
    """Whether deleting the match ``term`` at ``path`` (``body`` empty) takes away
    the one statement an `if`, `else`, `for` or `while` holds without braces:
    the statement after it would become its body.  An empty statement (`;`)
    must stand there instead."""
    if body.strip() or lang not in _EMPTY_STATEMENT or not path:
        return False
    chain = _chain(root(), path)
    matched = str(term).strip()
    for k in range(len(chain) - 1, 0, -1):
        tag = _native.tag(chain[k])
        if tag.endswith("statement"):
            # the statement the match is all of (but its `;`), in a construct that is no list
            statement = str(chain[k]).strip()
            if statement.rstrip(";").rstrip() not in (matched, matched.rstrip(";").rstrip()):
                return False
            if statement.endswith(";") and not matched.endswith(";"):
                return False  # its `;` stays: an empty statement already
            return _native.tag(chain[k - 1]) in HOLDS_A_BODY
        if str(chain[k]).strip() != matched:
            return False
    return False


def _empties_a_block(lang: str, root: Callable[[], KTerm], path: Path, term: KTerm, body: str) -> bool:
    """Whether deleting the match ``term`` at ``path`` (``body`` empty) takes away
    the one statement of a Python block, which Python refuses empty: `pass`
    must stand there instead."""
    if lang != "python" or body.strip() or len(path) < 2:
        return False
    chain = _chain(root(), path)
    k = len(chain) - 1
    while k > 1 and not _native.tag(chain[k]).endswith(("statement", "definition")):
        k -= 1  # (the statement the match is: a call's `expression_statement`)
    if str(chain[k]).strip() != str(term).strip() or _native.tag(chain[k - 1]) != "block":
        return False
    return sum(1 for c in _native.children(chain[k - 1]) if _native.is_statement(c)) == 1


def _parent_tag(t: KTerm, path: Path) -> str | None:
    """The tag of the node holding the one at ``path`` in ``t`` (None for the root)."""
    if not path:
        return None
    for i in path[:-1]:
        t = _native.children(t)[i]
    return _native.tag(t)


def _kept_inside(kinds: frozenset[str], matched: KTerm, new: KTerm) -> None:
    """``MisreadError`` unless ``new`` holds as many parts of each of ``kinds`` (the
    match's that its pattern passed over) as ``matched`` did: a template that
    rebuilds the match around them drops them."""
    for kind in sorted(kinds):
        if _count_tag(new, kind) < _count_tag(matched, kind):
            raise MisreadError(
                f"the match holds a {kind} that the pattern does not mention, which the replacement"
                " would drop: mention it in the pattern"
            )


def _count_tag(t: KTerm, tag: str) -> int:
    return sum(1 for _, n in _native.find_all(t, frozenset({tag}), False))


def comment_dropped(matched: KTerm, bindings: Mapping[str, Any], new: str) -> MisreadError | None:
    """The error of a replacement ``new`` of ``matched`` that leaves out a comment
    the match holds outside what its metavariables ``bindings`` bound (after a
    list's last item, between a `for`'s `:` and its body): the replacement
    writes the match anew without it.  None where it keeps every such comment,
    or is nothing (which means to drop it all).

    >>> from kovel.treesitter import parse
    >>> t = parse("python", "[1, 2, # two\\n]\\n")
    >>> str(comment_dropped(t, {}, "[1]"))
    "the replacement would drop the comment '# two', which no metavariable holds"
    """
    if not new.strip():
        return None
    bound = {_native.ident(b) for b in _bound_nodes(bindings)}
    todo = list(_native.children(matched))
    while todo:
        k = todo.pop()
        if _native.ident(k) in bound:
            continue
        if _native.is_comment(k):
            comment = str(k).strip()
            if comment and comment not in new:
                return MisreadError(
                    f"the replacement would drop the comment {clipped(comment)!r}, which no metavariable holds"
                )
            continue
        todo.extend(_native.children(k))
    return None


def _bound_nodes(bindings: Mapping[str, Any]) -> list[KTerm]:
    """The nodes metavariables bound: a node, or each of a run."""
    out: list[KTerm] = []
    for v in bindings.values():
        if isinstance(v, KTerm):
            out.append(v)
        elif isinstance(v, list | tuple):
            out += [t for t in v if isinstance(t, KTerm)]
    return out


def _spelled_parts(item: SNode, top: bool) -> Counter[str]:
    """The clauses and keywords the pattern's ``item`` spells, by kind; with
    ``top``, not those right under it."""
    want: Counter[str] = Counter()

    def spelled(sn: SNode, depth: int) -> None:
        for i in sn.items:
            if not isinstance(i, SNode):
                continue
            part = i.kind.endswith("_clause") or _keyword_leaf(i)
            if part and not (top and depth == 0):
                want[i.kind] += 1
            if not i.leaf:
                spelled(i, depth + 1)

    spelled(item, 0)
    return want


def _keyword_leaf(n: SNode) -> bool:
    """Whether the pattern's ``n`` is a keyword the grammar does not name (`else`, `from`)."""
    text = n.items[0] if n.leaf and n.items else ""
    return not n.named and isinstance(text, str) and text.isalpha() and text.islower()


def _laid_out(t: KTerm) -> KTerm:
    """What ``t`` lays out, through the nodes that only indent one child (a
    replacement of several lines at an indented match)."""
    while len(_native.children(t)) == 1 and all(
        op in ("hole", "push", "pop") for op, _ in _native.commands(t)
    ):
        t = _native.children(t)[0]
    return t


def _inner(t: KTerm) -> KTerm:
    while _native.kind(t) != "tuple" and _native.children(t):
        t = _native.children(t)[0]
    return t


def _unnamed_token(k: KTerm, named: frozenset[str], words: frozenset[str]) -> bool:
    """A keyword or punctuation token (childless, its text its tag, not one of the
    language's named ``words``) the pattern does not name."""
    if _native.children(k):
        return False
    s = str(k)
    return s == _native.tag(k) and s not in named and s not in words and s.strip() == s and s != ""


def _uses_crlf(text: str) -> bool:
    nl = text.find("\n")
    return nl > 0 and text[nl - 1] == "\r"


def _crlf(t: KTerm) -> KTerm:
    """``t`` with a CR before each line break that lacks one."""

    def fix(n: KTerm) -> KTerm | None:
        if _native.kind(n) != "tuple":
            return None
        cmds = _native.commands(n)
        if not any(op == "nl" for op, _ in cmds):
            return None
        kids = _native.children(n)
        out: list[tuple[str, str]] = []
        changed = False
        cr = False  # whether what was written last ends with a CR
        last: list[KTerm] = []  # the holes since the last text: the last of them that writes may end with one
        hole = 0
        for op, arg in cmds:
            if op == "nl":
                # (A token may hold the CR of its line: Python's comments do.)
                ended = next((k for k in reversed(last) if _native.rendered_length(k)), None)
                if not (_ends_with_cr(ended) if ended is not None else cr):
                    out.append(("write", "\r"))
                    changed = True
                cr, last = False, []
            elif op == "write" and arg:
                cr, last = arg.endswith("\r"), []
            elif op == "hole":
                last.append(kids[hole])
                hole += 1
            out.append((op, arg))
        return kt.node(_native.tag(n), list(kids), out) if changed else None

    return kt.rewrite(t, fix)


def _ends_with_cr(t: KTerm) -> bool:
    """Whether the text of ``t`` (not empty) ends with a CR, read from its last command down."""
    while _native.kind(t) == "tuple":
        kids = _native.children(t)
        cmds = _native.commands(t)
        hole = len(kids)
        for op, arg in reversed(cmds):
            if op == "hole":
                hole -= 1
                if _native.rendered_length(kids[hole]):
                    t = kids[hole]
                    break
            elif op == "write" and arg:
                return arg.endswith("\r")
            elif op == "nl":
                return False
        else:
            return False
    return str(t).endswith("\r")


def _normalise(env: dict[str, Binding], indents: _Indents, offsets: dict[str, int]) -> dict[str, Binding]:
    """Dedent each multi-line binding by the indentation of the line it starts on.

    A template puts back the indentation of the line its hole is on, and a
    rewrite that of the line the match starts on, so a binding spliced where
    it came from comes out as it was, and one spliced at another indentation
    moves by the difference (the text inside its literals never moves).
    """
    out: dict[str, Binding] = {}
    for k, v in env.items():
        indent = indents.at(offsets[k]) if k in offsets else ""
        if isinstance(v, Siblings):
            raw = _dedent(v.raw, indent) if v.raw is not None else None
            out[k] = Siblings([_dedent(x, indent) for x in v], raw)
        else:
            assert isinstance(v, KTerm)
            out[k] = _dedent(v, indent)
    return out


def _made(items: Iterable[tuple[Any, ...]], indents: _Indents, bindings: bool = True) -> Iterator[Match]:
    """The ``Match`` of each native match item (``MatchItem``'s fields) in the term of ``indents``;
    without ``bindings``, the bindings are left as the matcher made them, undedented."""
    for path, node, start, end, env, offsets in items:
        found = env
        if offsets is not None and bindings:
            env = _normalise(env, indents, offsets)
        yield Match(node, path, (start, end), _unwrapped(env), found)


def _in_text(t: KTerm, path: Sequence[int]) -> bool:
    """Whether the node at ``path`` in ``t`` is, or lies in, a comment or a literal
    (but for the code interpolated in a literal)."""
    text = False
    for i in (*path, None):
        tag = _native.tag(t)
        if _native.is_comment_tag(tag):
            return True
        if _INTERPOLATION.search(tag):
            text = False
        elif is_literal_kind(tag):
            text = True
        if i is not None:
            t = _native.children(t)[i]
    return text


#: Code inside a literal: `{x}` in an f-string, `${x}` in a template string, `$(x)` in a shell word.
_INTERPOLATION = re.compile(r"interpolat|substitution|expansion")


def find_all_many(patterns: Sequence[Pattern], t: KTerm) -> list[list[Match]]:
    """``[list(p.find_all(t)) for p in patterns]``, with one native search for all
    of them: the term's text is laid out once, not once per pattern (what a
    scan with many rules spends most on).

    >>> from kovel.treesitter import parse
    >>> t = parse("python", "print(len(x))\\n")
    >>> ps = [pattern("python", "len($X)"), pattern("python", "print($A)")]
    >>> [[str(m.term) for m in ms] for ms in find_all_many(ps, t)]
    [['len(x)'], ['print(len(x))']]
    """
    native = [p for p in patterns if p._native_search]
    found = iter(_native.match_many([p._program for p in native], t)) if native else iter(())
    indents = _Indents(t)
    return [list(_made(next(found), indents)) if p._native_search else list(p.find_all(t)) for p in patterns]


class SourceSearch(NamedTuple):
    """What ``search_source`` found: each pattern's matches, and the byte ranges of
    the syntax errors of the source (as ``kovel.treesitter.parse_with_errors``
    gives them)."""

    matches: list[list[Match]]
    errors: tuple[tuple[int, int], ...]


def search_source(
    patterns: Sequence[Pattern],
    source: bytes,
    text: str | None = None,
    *,
    timeout: float | None = None,
    verbatim: Collection[str] = VERBATIM_KINDS,
    code: Collection[str] = CODE_KINDS,
    bindings: bool = True,
) -> SourceSearch:
    """``find_all_many(patterns, parse(lang, source, verbatim, code=code))`` for patterns
    of one language, converting only the parts of the tree where a match can
    be: the nodes of a pattern's root kind whose bytes hold its required
    texts.  The matches are the same (terms, paths, spans, bindings), found
    faster and in less memory.  ``text`` is ``source`` decoded, when the
    caller has it.  Without ``bindings``, a caller that needs only where the
    matches are spares laying out the bindings of each (a nest of matches
    holds the text of the inner ones again and again): they are the
    source's own nodes, not dedented.  Raises ``ValueError`` for bytes that are not UTF-8 and
    ``TimeoutError`` when parsing takes longer than ``timeout`` seconds (in
    this process: a grammar stuck in its scanner is not stopped).

    >>> src = b"xs.append(1)\\nprint(xs)\\nys.append(xs.pop())\\n"
    >>> found = search_source([pattern("python", "$A.append($B)")], src)
    >>> [[str(m.term) for m in ms] for ms in found.matches], found.errors
    ([['xs.append(1)', 'ys.append(xs.pop())']], ())
    """
    return _search(patterns, source, text, timeout, verbatim, code, False, bindings)[0]


def search_source_parsed(
    patterns: Sequence[Pattern],
    source: bytes,
    text: str | None = None,
    *,
    timeout: float | None = None,
    verbatim: Collection[str] = VERBATIM_KINDS,
    code: Collection[str] = CODE_KINDS,
) -> tuple[SourceSearch, Parsed | None]:
    """``search_source``, and where some pattern matched, the whole parse of
    ``source`` as ``parse_with_errors(..., keep_tree=True)`` gives it (what a
    rewrite of the matches needs); None where nothing matched, and nothing
    was converted but the parts a match could lie in.

    >>> found, whole = search_source_parsed([pattern("python", "f($A)")], b"g(1)\\n")
    >>> found.matches, whole
    ([[]], None)
    >>> found, whole = search_source_parsed([pattern("python", "f($A)")], b"f(1)\\n")
    >>> [str(m.term) for m in found.matches[0]], str(whole.term)
    (['f(1)'], 'f(1)\\n')
    """
    return _search(patterns, source, text, timeout, verbatim, code, True)


def _search(
    patterns: Sequence[Pattern],
    source: bytes,
    text: str | None,
    timeout: float | None,
    verbatim: Collection[str],
    code: Collection[str],
    keep: bool,
    bindings: bool = True,
) -> tuple[SourceSearch, Parsed | None]:
    if not patterns:
        return SourceSearch([], ()), None
    langs = {p.lang for p in patterns}
    if len(langs) != 1:
        raise ValueError(f"the patterns are in several languages: {sorted(langs)}")
    lang = langs.pop()
    grammar = native_grammar(lang, verbatim, code=code)
    native = [p for p in patterns if p._native_search]
    if grammar is None or len(native) < len(patterns):
        # A run of statements is looked for among the children of every node.
        whole = parse_with_errors(lang, source, verbatim, code=code, timeout=timeout, keep_tree=keep)
        found = find_all_many(patterns, whole.term)
        return SourceSearch(found, whole.errors), whole if keep and any(found) else None
    data = bytes(source)
    programs, words = [p._program for p in native], [p.required_utf8 for p in native]
    got = _native.ts_match(grammar[0], data, grammar[1], timeout, programs, words, keep)
    if got is None:
        raise TimeoutError(f"parsing took longer than {timeout:g} s")
    items, errors, term, tree = got
    indents = _Indents(text if text is not None else data.decode())
    parsed = Parsed(term, errors, tree) if term is not None else None
    return SourceSearch([list(_made(found, indents, bindings)) for found in items], errors), parsed


def search_stored(
    patterns: Sequence[Pattern],
    blob: bytes,
    outline: int,
    postcard: int,
    source: bytes,
    text: str | None = None,
    bindings: bool = True,
) -> list[list[Match]] | None:
    """``find_all_many(patterns, from_postcard_bytes(blob[postcard:]))`` for the
    term parsed from ``source`` (UTF-8 bytes; ``text`` decoded, when the caller
    has it), decoding only the parts of the term where a match can be, as
    ``search_source`` converts only those parts of the tree.  The term's
    outline (``kovel._native.postcard_outline``) is ``blob[outline:postcard]``.
    None when some pattern cannot be searched so, or the outline is not that
    of a term of ``source``: decode it whole then.  ``bindings`` is as for
    ``search_source``.

    >>> from kovel import _native
    >>> from kovel.treesitter import parse
    >>> src = b"xs.append(1)\\nprint(xs)\\n"
    >>> term = parse("python", src).postcard_bytes()
    >>> blob = _native.postcard_outline(term, 0) + term
    >>> found = search_stored([pattern("python", "$A.append($B)")], blob, 0, len(blob) - len(term), src)
    >>> [[str(m.term) for m in ms] for ms in found]
    [['xs.append(1)']]
    """
    if not patterns or not all(p._native_search for p in patterns):
        return None
    programs, words = [p._program for p in patterns], [p.required_utf8 for p in patterns]
    got = _native.postcard_match(blob, outline, postcard, source, programs, words)
    if got is None:
        return None
    whole = text if text is not None else source.decode()
    indents = _Indents(whole)
    found = [list(_made(items, indents, bindings)) for items in got]
    if any(m.span[1] > len(whole) for ms in found for m in ms):
        return None  # a term of more text than the source's: not the source's term
    return found


def pattern(lang: str, code: str, *, context: str | None = None, selector: str | None = None) -> Pattern:
    """Parse ``code`` (one node, with metavariables) in language ``lang`` into a ``Pattern``.

    The code is parsed as it is, or else in the first of the language's
    contexts that reads it (a function body, a class body, an argument),
    and the pattern is the innermost node spanning exactly the code: it
    matches wherever such a node occurs.  Where that guess is wrong, say
    what surrounds the code: ``context`` is a snippet containing the code,
    parsed whole, and ``selector`` the kind of the node (inside the code)
    that is the pattern, as ast-grep's ``pattern: {context, selector}``.
    Code of several statements matches that run of statements in any block.

    Raises ``SyntaxError`` naming the line and column when the code does not
    parse, ``ValueError`` when ``context`` lacks the code or no node of the
    ``selector``'s kind is in it.

    >>> pattern("javascript", "console.log($$$ARGS)")
    pattern('javascript', 'console.log($$$ARGS)')
    >>> pattern("javascript", "class A { $F = $V }", selector="field_definition")._root.kind
    'field_definition'
    """
    if not isinstance(lang, str) or not isinstance(code, str):
        raise TypeError("pattern(lang, code) takes two str")
    if not all(v is None or isinstance(v, str) for v in (context, selector)):
        raise TypeError("context and selector are str or None")
    return Pattern(lang, code, context, selector)


# Text that reads the same inside any kind of string literal.
_PLAIN_TEXT = re.compile(r"[\w .,:;/+=*-]*")


def _several_statements(value: object) -> bool:
    """Whether ``value`` is several nodes, or one list of several statements (Lua's
    `block`, Go's `statement_list`: the body a grammar wraps its statements in,
    which a run of them may bind whole)."""
    if several(value):
        return True
    one = (
        value[0] if isinstance(value, Sequence) and not isinstance(value, str) and len(value) == 1 else value
    )
    if not isinstance(one, KTerm) or _native.tag(one) not in _STATEMENT_LISTS:
        return False
    kids = _native.children(one)
    return len(kids) > 1 and not any(_native.is_token(k) for k in kids)


#: The kinds of node that hold a body's statements and nothing else, in grammars that wrap them.
_STATEMENT_LISTS = frozenset(
    {"block", "statement_list", "body_statement", "then", "statements", "block_body"}
)


def bound_texts(
    values: Mapping[str, Any],
    taken: Mapping[str, frozenset[str | None]],
    tpl: Template,
    links: Collection[str] = frozenset(),
) -> dict[str, Any]:
    """``values`` as ``tpl`` takes them from a match: each term it puts inside a
    string literal as a ``BoundText``, whose text is the term's source text,
    as it stood where ``taken`` (see ``hole_literals``) says it came from a
    literal of the kind it goes into, else escaped; each term of ``links``
    (see ``Pattern.chain_links``) as a ``ChainLink``.  Raises ``ValueError``
    for text taken from one kind of literal that would read otherwise in
    another.

    >>> from kovel.quasi import template
    >>> from kovel.treesitter import parse
    >>> x = parse("python", "a")
    >>> bound_texts({"X": x}, {"X": frozenset({None})}, template("python", 'f("$X")'))["X"]
    BoundText(KTerm("a"), 'a', False)
    """
    out = dict(values)
    for name, v in values.items():
        if (
            tpl.lang in _LINE_BREAKS_END
            and isinstance(v, Siblings)
            and _comment_last(v)
            and _goes_on(tpl, name)
        ):
            raise MisreadError(
                f"${name} ends with a comment, after which the fix goes on: on a line of its own, "
                f"{tpl.lang} would read what follows otherwise"
            )
        if not isinstance(v, KTerm) and isinstance(v, list) and name not in tpl.runs:
            out[name] = one_value(tpl.lang, v)  # a run where one node goes
        elif isinstance(v, KTerm) and name in tpl.runs:
            out[name] = (v,)  # one node where a run goes: a run of one
    for name, openers in tpl.literals.items():
        inside = openers - {None}
        v = out.get(name)
        if not inside or not isinstance(v, KTerm):
            continue
        came = taken.get(name, frozenset({None}))
        text = str(v)
        regex = any(o is not None and o.startswith(REGEX) for o in inside)
        if _native.tag(v) in (MADE_TEXT, MADE_RUN):
            verbatim = True  # a rule's transformed text goes in as it stands, as ast-grep puts it
        elif None in came and regex:
            raise ValueError(
                f"${name} is code, and is put inside a regular expression, which would read its text"
                f" {clipped(text)!r} as a pattern"
            )
        elif None in came:
            # Code, written as text; but an expansion means what it did inside a shell's
            # "…" (`foo $x` -> `foo "$x"` quotes it, the fix for word splitting).
            verbatim = tpl.lang == "bash" and inside == {'"'} and _native.tag(v) in _EXPANSIONS
        elif came == inside or (
            _PLAIN_TEXT.fullmatch(text) and not (regex and ("/" in text or REGEX + "?" in inside))
        ):
            verbatim = True
        else:
            raise ValueError(
                f"${name} is taken from inside one kind of string literal and put inside another:"
                f" its text {clipped(text)!r} would not read the same there"
            )
        out[name] = BoundText(v, text, verbatim)
    # What stood as a chain's link in the pattern (``links``) goes on as one.
    for name in links:
        v = out.get(name)
        if isinstance(v, KTerm) and not tpl.literals.get(name, frozenset({None})) - {None}:
            out[name] = ChainLink(v)
    return out


#: What a shell expands alike inside double quotes.
_EXPANSIONS = frozenset({"simple_expansion", "expansion", "command_substitution", "arithmetic_expansion"})


# Languages where a line break may end what brackets hold (Go puts a `;` there,
# Ruby and Elixir take no line starting with `,`).
_LINE_BREAKS_END = frozenset({"go", "ruby", "elixir"})


def _comment_last(run: Siblings) -> bool:
    """Whether the text of ``run`` ends with a line comment after its last node."""
    if run.raw is None or not run:
        return False
    text = str(run.raw).rstrip()
    last = str(run[-1]).rstrip()
    at = text.rfind(last)
    return at >= 0 and text[at + len(last) :].lstrip(" \t,").startswith(("#", "//"))


def _goes_on(tpl: Template, name: str) -> bool:
    """Whether ``tpl`` writes more after its ``$$$name`` hole on that line."""
    found = re.search(r"\$\$\$" + re.escape(name) + r"(?![A-Z0-9_])([^\n]*)", tpl.code)
    return found is not None and bool(found.group(1).strip())


def _holders_kept(
    lang: str,
    text: str,
    spans: list[tuple[int, int]],
    bodies: list[str],
    checked: set[int],
    left_alone: list[str] | None,
) -> set[int]:
    """The places of the replacements of ``checked`` that would leave the node
    holding their match of another kind (why added to ``left_alone``; without
    it, ``MisreadError``)."""
    order = sorted(checked)
    held = holders(lang, text, [spans[k] for k in order])
    around = {k: c for k, c in zip(order, held, strict=True) if c is not None}
    return leave_misread(lang, text, spans, bodies, around, left_alone) if around else set()


def _leave(exc: MisreadError, text: str, span: tuple[int, int], left_alone: list[str] | None) -> None:
    """Leave the match at ``span`` of ``text`` as it is, for ``exc``: why goes to
    ``left_alone``, or without it ``exc`` is raised."""
    left_or_raised(exc, left_alone, f" (at {line_col(text, span[0])})")


def _places_without(dropped: set[int], n: int) -> dict[int, int]:
    """Where each of ``n`` entries but those ``dropped`` stands once they are taken out."""
    return {k: i for i, k in enumerate(k for k in range(n) if k not in dropped)}


def _taken(
    place: Mapping[int, int],
    paths: list[Path],
    news: list[KTerm],
    spans: list[tuple[int, int]],
    bodies: list[str],
) -> tuple[list[Path], list[KTerm], list[tuple[int, int]], list[str]]:
    """The replacements (their paths, terms, spans and texts) at the places of ``place``."""
    return (
        [paths[k] for k in place],
        [news[k] for k in place],
        [spans[k] for k in place],
        [bodies[k] for k in place],
    )


def statements_kept(
    lang: str, text: str, spans: list[tuple[int, int]], news: list[KTerm], left_alone: list[str] | None
) -> tuple[list[KTerm], set[int], set[int]]:
    """The replacements ``news`` of ``spans`` of ``text``, each ending a statement
    where the language ends it (``kovel.quasi.inplace.statements_ended``); the
    places so closed; and the places left out (why added to ``left_alone``;
    without it, ``MisreadError``): a replacement that would run on into the
    next line (without semicolons, `i++` -> `bump();` before a line
    `[1].map(f)`; Lua's `do f() end` -> `f()` before a line `(g)()`), and one
    that takes away a statement (or ends one) that what holds it needs (a
    label's, JavaScript's `label: const f = 1` is refused).

    >>> from kovel.treesitter import parse
    >>> src = "let b = 5\\nfoo()\\n(g)()\\n"
    >>> statements_kept("javascript", src, [(10, 15)], [parse("javascript", "")], [])[2]
    {0}
    """
    ended = statements_ended(lang, text, spans, news)
    # (Where the language ends the statement, though its grammar reads it going on.)
    closed = {k for k, n in enumerate(ended) if n is not news[k]}
    bodies = [str(n) for n in ended]
    dropped: set[int] = set()
    after = next_lines(lang, text, spans, range(len(ended)))
    if after:
        dropped |= leave_misread(lang, text, spans, bodies, after, left_alone, ran_on_misread)
    gone = {
        k
        for k, b in enumerate(bodies)
        if k not in dropped and (not b or (k not in closed and _ends_a_statement(b, text, spans[k])))
    }
    if gone:
        dropped |= _holders_kept(lang, text, spans, bodies, gone, left_alone)
    return ended, closed, dropped


def emptied_statement(lang: str, root: KTerm, path: Path, matched: KTerm) -> KTerm | None:
    """What must stand where ``matched`` (at ``path`` in ``root``) is deleted: an
    empty statement (`;`) where it is the one statement an `if`, `else` or loop
    holds without braces (the next would become that body), Python's `pass`
    where it is a block's only one; None where nothing need.

    >>> from kovel.treesitter import parse
    >>> t = parse("c", "void f() { if (s) g(1); n++; }")
    >>> m = next(pattern("c", "g($X);").find_all(t))
    >>> str(emptied_statement("c", t, m.path, m.term))
    ';'
    """
    if _takes_a_body(lang, lambda: root, path, matched, ""):
        return leaf(";", ";")
    if _empties_a_block(lang, lambda: root, path, matched, ""):
        return leaf("pass_statement", "pass")
    return None


def _ends_a_statement(body: str, text: str | None, span: tuple[int, int]) -> bool:
    """Whether ``body``, put in place of ``span`` of ``text``, ends with a `;` the match did not."""
    return (
        text is not None
        and body.rstrip().endswith(";")
        and not text[span[0] : span[1]].rstrip().endswith(";")
    )


#: The node a grammar wraps each of a file's statements in, where it does.
_TOP_LEVEL_WRAPPERS = {"c_sharp": "global_statement", "csharp": "global_statement"}


def _an_optional_chain(t: KTerm) -> bool:
    """Whether ``t`` is a member, index or call some link of which is optional
    (`a?.b.c`): a `?.` that skips what is applied to ``t`` as well."""
    while _native.tag(t) in _CHAIN_LINK_TAGS:
        kids = _native.children(t)
        if any(_native.tag(k) in ("optional_chain", "?.") for k in kids):
            return True
        t = kids[0]
    return False


_CHAIN_LINK_TAGS = frozenset({"member_expression", "subscript_expression", "call_expression"})


def _operators_in(t: KTerm) -> bool:
    """Whether ``t`` or a child of it is an operator's expression, which its grammar
    may group otherwise than its language does (see ``phantoms``)."""
    return any(_OPERATORS.search(_native.tag(k)) for k in (t, *_native.children(t)))


_OPERATORS = re.compile(
    r"binary|unary|prefix|postfix|await|cast|conjunction|disjunction|additive|multiplicative|comparison"
    r"|equality|infix|range|conditional|ternary|operator|check_expression|elvis|instanceof|^is_|^as_"
    r"|^not_|boolean|power|exponent|shift|bitwise|splat"
)


def _outermost(found: Iterable[Match]) -> Iterator[Match]:
    """The matches of ``found`` (in document order) that lie inside no other."""
    outer: Path | None = None
    for m in found:
        if outer is None or m.path[: len(outer)] != outer:
            outer = m.path
            yield m


def replacements(
    p: Pattern,
    t: KTerm | None,
    replacement: Template | Callable[[Match], KTerm | None],
    *,
    text: str | None = None,
    found: Iterable[Match] | None = None,
    left_alone: list[str] | None = None,
    single: bool | Callable[[Match], bool] | None = None,
    grown_later: bool = False,
) -> tuple[list[Path], list[KTerm], list[tuple[int, int]]]:
    """What ``p.rewrite(t, replacement)`` replaces: the paths of the changed
    matches, their new terms and the matches' spans in ``str(t)``, in document
    order.  ``kovel._native.replace_all(t, paths, news)`` is the rewritten term;
    the batch layer also reports where each change lies in its file.  ``text``
    is ``str(t)`` when the caller has it (the source a term was parsed from):
    a file of megabytes is not rendered again; ``found`` are the matches
    ``p.find_all(t)`` gives, when the caller has them (a file of megabytes is
    not searched again).  With both, ``t`` may be None (a term not made whole)
    for a pattern of a language that restricts no calls (see
    ``restricts_calls_in``) and matches no run of statements.  A replacement
    the code around it would read otherwise raises ``MisreadError``; given
    ``left_alone``, it is left out instead (its match stays as it is) and
    why is added to that list.  ``single`` says whether each replacement is
    one node, not a run of siblings, or decides it for each match (a
    template knows; a function's terms are taken for runs unless told).
    With ``grown_later``, the caller takes the siblings around a match into
    its span (a rule's ``expandEnd``) and checks the lists it takes matches
    out of itself (see ``kovel.quasi.inplace.elisions_made``).

    >>> from kovel.treesitter import parse
    >>> from kovel.quasi.fill import template
    >>> src = parse("python", "print(1)\\nprint(2)\\n")
    >>> paths, news, spans = replacements(pattern("python", "print($A)"), src, template("python", "log($A)"))
    >>> paths, [str(n) for n in news], spans
    ([(0, 0), (1, 0)], ['log(1)', 'log(2)'], [(0, 8), (9, 17)])
    """
    indents: _Indents | None = None  # of the text, once it is laid out
    crlf: bool | None = None
    paths: list[Path] = []
    news: list[KTerm] = []
    spans: list[tuple[int, int]] = []
    runs: list[tuple[Run, KTerm]] = []
    # The replacements whose shape is not the match's: checked where they land.
    landings: list[Landing] = []
    # The replacements ending with a clause of their match's (an `else`), by place: the kind of its end.
    clauses: dict[int, tuple[str, str]] = {}
    # The places of the matches that are, or hold, an operator's expression (see _operators_in).
    grouped: list[int] = []
    kinds = KnownKinds(p.lang)
    if single is None:
        single = isinstance(replacement, Template) and replacement.single
    # A template that is one hole (`$$$BODY`) is a run where its value is several nodes.
    lone = replacement.lone_hole if isinstance(replacement, Template) else None

    def one_node(m: Match, values: Mapping[str, object]) -> bool:
        if callable(single):
            return single(m)
        return bool(single) and not (lone is not None and _several_statements(values.get(lone)))

    restricted = restricts_calls_in(p.lang)

    def checked(new: KTerm, m: Match) -> bool:
        # A statement the language may refuse though it has the shape of the one it
        # replaces: a whole expression statement, or the call that makes one where
        # the language restricts calls (Go's `g(x)` -> `len(x)`).
        made = _native.tag(_inner(new))
        if refuses_statements(p.lang) and made == "expression_statement":
            return True
        if has_optional_chains(p.lang) and "?." in str(new) and "?." not in str(m.term):
            return True  # an optional chain has the shape of a plain one, but is assigned to nowhere
        if needs_a_context(p.lang, str(new)) and not needs_a_context(p.lang, str(m.term)):
            return True  # `super.m(1)` has the shape of `g(1)`, but stands only in a method
        return bool(restricted) and (made in restricted or _parent_tag(whole(), m.path) in restricted)

    def whole() -> KTerm:
        if t is None:
            raise ValueError("the term is needed: its text and matches are not enough here")
        return t

    template = replacement
    for m in p._matches(whole(), True) if found is None else _outermost(found):
        if text is None:
            text = str(whole())
        if isinstance(template, Template):
            # A type is replaced by the template read as a type.
            replacement = fitted(template, _native.tag(m.term))
        # A value the fix cannot take where it puts it leaves this match alone.
        try:
            if isinstance(replacement, Template) and m._run is not None:
                values = bound_texts(
                    {k: v for k, v in m.bindings.items() if k in replacement.holes},
                    p.literals,
                    replacement,
                    p.chain_links,
                )
                new = replacement.fill(**values)
            elif isinstance(replacement, Template):
                passed = p._passed_over_inside(m)
                # A template may leave out what the pattern bound (`f($A, $B)` -> `f($A)`).
                values = bound_texts(m.bindings, p.literals, replacement, p.chain_links)
                if values.keys() != set(replacement.holes):
                    values = {k: v for k, v in values.items() if k in replacement.holes}
                    if len(values) != len(replacement.holes):
                        replacement.fill(**values)  # raises the error that names the unbound hole
                editor = p._editor(replacement)
                edited = editor.apply(m.term, m._found or values, values, text, m.span[0])
                if edited is not None:
                    lost = comment_dropped(m.term, m._found or m.bindings, str(edited))
                    if lost is not None:
                        raise lost
                if edited is not None and _wraps_a_value(replacement, values, kinds, editor.wraps):
                    edited = None  # the template's tokens read a value otherwise: filled, it is parenthesised
                if edited is not None:
                    _kept_inside(passed, m.term, edited)
                    if not _native.same(edited, m.term):
                        if "\n" in str(edited):
                            if crlf is None:
                                crlf = _uses_crlf(text)
                            if crlf:
                                edited = _crlf(edited)  # the template's own line breaks, as the file's
                        body = str(edited)
                        if not _reads_alike(m.term, edited, kinds) or checked(edited, m):
                            landings.append(
                                Landing(len(news), edited, one_node(m, values), _an_optional_chain(m.term))
                            )
                        clause = p._kept_clause(m.term, body)
                        if clause is not None:
                            clauses[len(news)] = clause
                        if _operators_in(m.term):
                            grouped.append(len(news))
                        paths.append(m.path)
                        news.append(apart(text, m.span, body, edited, p.lang))
                        spans.append(m.span)
                        if _takes_a_body(p.lang, whole, m.path, m.term, body):
                            news[-1] = leaf(";", ";")
                        elif _empties_a_block(p.lang, whole, m.path, m.term, body):
                            news[-1] = leaf("pass_statement", "pass")
                    continue
                new = replacement.fill(**values)
                lost = comment_dropped(m.term, m._found or m.bindings, str(new))
                if lost is not None:
                    raise lost
            else:
                got = replacement(m)
        except MisreadError as refused:
            _leave(refused, text, m.span, left_alone)
            continue
        if not isinstance(replacement, Template):
            if got is None or (isinstance(got, KTerm) and _native.same(got, m.term)):
                continue
            if not isinstance(got, KTerm):
                raise TypeError(f"rewrite function returned {type(got).__name__}, not KTerm or None")
            pops, left = _native.stack_effect(got)
            if pops or left:
                raise ValueError(
                    "rewrite function returned a term that "
                    + ("leaves an indentation prefix pushed" if left else "pops a prefix it did not push")
                )
            new = got
        kind = _native.tag(_inner(new))
        reshaped = not _reads_alike(m.term, new, kinds)
        body = str(new)
        if "\n" in body:
            if crlf is None:
                crlf = _uses_crlf(text)
            if crlf:
                new = _crlf(new)
            if indents is None:
                indents = _Indents(text)
            indent = indents.at(m.span[0])
            if indent:
                new = tb(_native.tag(m.term)).p(indent).c(new).x().b()
        if m._run is not None:
            unheld = p._passed_over_in_run(m._run)
            if unheld is not None:
                _leave(
                    MisreadError(
                        f"the match has a {unheld} that the pattern does not mention, and the replacement "
                        "of its statements cannot hold it: mention it in the pattern"
                    ),
                    text,
                    m.span,
                    left_alone,
                )
                continue
            runs.append((m._run, apart(text, m.span, str(new), new, p.lang)))
            continue
        # What is kept of the match stands as it stood, around the laid-out replacement.
        try:
            new = p._keep_end_tokens(m.term, new, body, kind)
            if isinstance(template, Template):
                _kept_inside(passed, m.term, new)
        except MisreadError as refused:
            _leave(refused, text, m.span, left_alone)
            continue
        clause = p._kept_clause(m.term, str(new))
        if clause is not None:
            clauses[len(news)] = clause
        if reshaped or checked(new, m):
            landings.append(
                Landing(
                    len(news),
                    new,
                    one_node(m, values if isinstance(replacement, Template) else {}),
                    _an_optional_chain(m.term),
                )
            )
        new = apart(text, m.span, str(new), new, p.lang)
        if _takes_a_body(p.lang, whole, m.path, m.term, str(new)):
            new = leaf(";", ";")
        elif _empties_a_block(p.lang, whole, m.path, m.term, str(new)):
            new = leaf("pass_statement", "pass")
        if _operators_in(m.term):
            grouped.append(len(news))
        paths.append(m.path)
        news.append(new)
        spans.append(m.span)
    if runs:
        if text is not None:
            # An attribute before a run applies to its first statement alone: whatever
            # takes the run's place (nothing, one node or several), it would apply to other code.
            spans = [r.span for r, _ in runs]
            stranded = attributes_stranded(p.lang, text, spans, ["" for _ in runs])
            stays = leave_out(stranded, lambda k: attribute_misread(text, spans[k]), left_alone)
            runs = [x for k, x in enumerate(runs) if k not in stays]
            if not runs:
                return [], [], []
        placed: list[tuple[int, ...]] = []
        paths, news, spans = splice_runs(whole(), runs, placed)
        _check_runs(p.lang, _native.replace_all(whole(), paths, news), placed)
        if text is not None and (p.lang == "python" or p.lang in DIRECTED):
            made = _first_strings_made(p.lang, text, spans, [str(n) for n in news], left_alone)
            kept = [k for k in range(len(news)) if k not in made]
            paths, news, spans = [paths[k] for k in kept], [news[k] for k in kept], [spans[k] for k in kept]
        if text is None:
            return paths, news, spans
        bodies = [str(n) for n in news]
        broken: set[int] = set()
        if p.lang in JUMPING:
            sent = jumps_rebound(p.lang, text, spans, bodies)
            broken |= leave_out(sent, lambda k: jump_misread(text, spans[k]), left_alone)
        if p.lang in ORDERED:
            moved = [k for k in orders_broken(p.lang, text, spans, bodies) if k not in broken]
            broken |= leave_out(moved, lambda k: order_misread(text, spans[k]), left_alone)
        kept = [k for k in range(len(news)) if k not in broken]
        return [paths[k] for k in kept], [news[k] for k in kept], [spans[k] for k in kept]
    # What a match is taken out of, or a statement or a reshaped value put in place of,
    # must still read as what it was: taking the callee out of JavaScript's
    # `run(a)\n(b).go()` leaves a call of `(b)`; `run2(a);` in its place ends the
    # statement before `(b)`; Rust's `if c {1} else {2} - 1` is a statement and a `-1`.
    bodies = [str(n) for n in news]

    closed: set[int] = set()

    def drop(dropped: set[int]) -> dict[int, int]:
        """Leave out the replacements at the places ``dropped``; where the others go."""
        nonlocal paths, news, spans, bodies, landings, closed
        place = _places_without(dropped, len(news))
        landings = [x._replace(at=place[x.at]) for x in landings if x.at in place]
        closed = {place[k] for k in closed if k in place}
        paths, news, spans, bodies = _taken(place, paths, news, spans, bodies)
        return place

    if grouped and text is not None:
        # A match its grammar groups otherwise than the language is no node of the program.
        unread = phantoms(p.lang, text, spans, grouped)
        drop(leave_out(unread, lambda k: phantom_misread(text, spans[k], p.lang), left_alone))
    if clauses and text is not None:
        moved = ends_changed(p.lang, text, spans, bodies, clauses)
        drop(leave_out(moved, lambda k: clause_misread(text, spans[k], clauses[k][1]), left_alone))
    if text is not None:
        news, closed, dropped = statements_kept(p.lang, text, spans, news, left_alone)
        bodies = [str(n) for n in news]
        drop(dropped)
    if text is not None and not grown_later:
        holes = elisions_made(text, spans, bodies)
        drop(leave_out(holes, lambda k: elision_misread(text, spans[k]), left_alone))
    if text is not None and (p.lang == "python" or p.lang in DIRECTED):
        drop(_first_strings_made(p.lang, text, spans, bodies, left_alone))
    if text is not None and p.lang == "ruby":
        loops = do_whiles_changed(p.lang, text, spans, bodies)
        drop(leave_out(loops, lambda k: do_while_misread(text, spans[k]), left_alone))
        moved = heredocs_moved(p.lang, text, spans, bodies)
        drop(leave_out(moved, lambda k: heredoc_misread(text, spans[k]), left_alone))
    if text is not None and p.lang in JUMPING:
        rebound = jumps_rebound(p.lang, text, spans, bodies)
        drop(leave_out(rebound, lambda k: jump_misread(text, spans[k]), left_alone))
    if text is not None and p.lang in ORDERED:
        misplaced = orders_broken(p.lang, text, spans, bodies)
        drop(leave_out(misplaced, lambda k: order_misread(text, spans[k]), left_alone))
    if text is not None and p.lang in BY_COLUMN:
        shifted = layouts_shifted(p.lang, text, spans, bodies)
        drop(leave_out(shifted, lambda k: layout_misread(p.lang, text, spans[k]), left_alone))
    if text is not None:
        stranded = attributes_stranded(p.lang, text, spans, bodies)
        drop(leave_out(stranded, lambda k: attribute_misread(text, spans[k]), left_alone))
    if not landings:
        return paths, news, spans
    assert text is not None
    news, dropped = kept_or_left(p.lang, text, spans, news, landings, left_alone)
    landed = {x.at for x in landings} - dropped
    for k in sorted(landed):
        body = str(news[k])
        # (A `;` put in to end a statement ends one the grammar ran on: what held it is gone.)
        if body.rstrip().endswith(";") and not bodies[k].rstrip().endswith(";"):
            landed.discard(k)
        bodies[k] = body
    if dropped:
        place = drop(dropped)
        landed = {place[k] for k in landed}
    landed -= closed
    if landed:
        drop(_holders_kept(p.lang, text, spans, bodies, landed, left_alone))
    return paths, news, spans


def _wraps_a_value(
    tpl: Template, values: Mapping[str, Any], kinds: KnownKinds, known: dict[tuple[object, ...], bool]
) -> bool:
    """Whether filling ``tpl`` with ``values`` parenthesises one of them (``-$X``
    with ``a + b``): an edit in place, which keeps the values as they stood,
    would leave it to be read otherwise.  The template decides by the values'
    shapes, so ``known`` keeps the answer for each tuple of shapes."""
    paren = parentheses(tpl.lang)
    terms = [(k, v) for k, v in values.items() if isinstance(v, KTerm)]
    if paren is None or not terms:
        return False
    key = tuple((k, shape(v, kinds)) for k, v in terms)
    cached = all(s is not None for _, s in key)
    if cached and key in known:
        return known[key]
    wrapped = False
    for _, n in kt.walk(tpl.fill(**values)):
        if _native.tag(n) == paren:
            kids = _native.children(n)
            if len(kids) == 1 and any(_native.same(kids[0], v) for _, v in terms):
                wrapped = True
                break
    if cached:
        known[key] = wrapped
    return wrapped


def _check_runs(lang: str, final: KTerm, placed: list[tuple[int, ...]]) -> None:
    """Raise ``MisreadError`` when the statements put in at the paths ``placed``
    of ``final`` would be read otherwise there (would leave a one-line block, say)."""
    wanted = set(placed)
    depths = {len(q) for q in wanted}
    spans = [
        (s, e)
        for path, _, s, e in kt.walk(final, spans=True)
        if len(path) in depths and tuple(path) in wanted
    ]
    check_runs(lang, str(final), spans)


def _first_strings_made(
    lang: str, text: str, spans: list[tuple[int, int]], bodies: list[str], left_alone: list[str] | None
) -> set[int]:
    """The replacements to leave out that would make a string what opens a body
    and means more than a value there: Python's docstring, a JavaScript directive."""
    if lang == "python":
        docs = docstrings_made(text, spans, bodies)
        return leave_out(docs, lambda k: docstring_misread(text, spans[k]), left_alone)
    made = directives_made(lang, text, spans, bodies)
    return leave_out(made, lambda k: directive_misread(text, spans[k]), left_alone)


def _reads_alike(old: KTerm, new: KTerm, kinds: KnownKinds) -> bool:
    """Whether ``new`` is read wherever ``old`` stood as ``old`` was: a node of its
    shape, whose ends are of the same sort (a JavaScript line starting with
    `(` continues the line before, one starting with a name does not)."""
    a, b = str(old), str(new)
    return (
        bool(a and b)
        and _edge(a[0]) == _edge(b[0])
        and _edge(a[-1]) == _edge(b[-1])
        and same_shape(old, new, kinds)
    )


def _edge(c: str) -> str:
    return "w" if c.isalnum() or c == "_" else c


def source_bindings(m: Match) -> dict[str, Binding]:
    """The bindings of ``m`` as the matcher made them: the source's own nodes,
    where ``m.bindings`` has a binding that spans lines taken off the
    indentation of its first line.  A rewrite that edits the match in place,
    and the batch layer finding where each binding lies in its file, look for
    these nodes by identity.

    >>> from kovel.treesitter import parse
    >>> m = next(pattern("python", "f($X)").find_all(parse("python", "if a:\\n    f([1,\\n      2])\\n")))
    >>> str(m.bindings["X"]), str(source_bindings(m)["X"])
    ('[1,\\n  2]', '[1,\\n      2]')
    """
    return m._found if m._found is not None else m.bindings


class _Indents:
    """The indentation of the line an offset of a term's text lies on,
    without scanning back along a long line for each offset.  The text is
    laid out the first time it is asked for, and shared by every match."""

    __slots__ = ("_starts", "_term", "_text")

    def __init__(self, text: str | KTerm) -> None:
        self._term = text
        self._text = ""
        self._starts: list[int] | None = None

    def at(self, offset: int) -> str:
        if self._starts is None:
            self._text = self._term if isinstance(self._term, str) else str(self._term)
            self._starts = line_starts(self._text)
        start = self._starts[bisect.bisect_right(self._starts, offset) - 1]
        m = _INDENT.match(self._text, start, offset)
        return m.group() if m else ""


def line_starts(text: str) -> list[int]:
    """The offset at which each line of ``text`` starts (a line ends after a line feed).

    >>> line_starts("ab\\ncd\\n"), line_starts("")
    ([0, 3, 6], [0])
    """
    return _native.line_starts(text)


_INDENT = re.compile("[ \t]*")
