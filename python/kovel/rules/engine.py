"""The matcher: one rule evaluated over a term, node by node.

A rule is compiled once per language (patterns compiled natively, regular
expressions compiled, utility rules looked up by name).  The search takes
its candidates from the cheapest condition: the native pattern matcher for
a top-level pattern, the native tag filter for a kind, every node
otherwise; the other conditions are then checked at each candidate, cheap
ones first (kind, position, pattern, text), relations last.  A pattern used
inside a relation is run once over the whole term and its matches kept by
path, so asking whether a node matches it is a lookup.  Nodes are named by
their path from the root: ancestors are prefixes, so ``inside`` walks up by
cutting the path and ``has`` walks down the children.

Field names (``field:``) are not in terms; they are read from the
tree-sitter tree, whose children are the term's children, parsed again from
the term's text only when a rule asks for a field.
"""

from __future__ import annotations

import bisect
import functools
import re
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, NamedTuple

from kovel import _native
from kovel._kovel import KTerm
from kovel.quasi import Match, Pattern, pattern as make_pattern
from kovel.quasi.contexts import contexts_for, split_context
from kovel.quasi.fill import run_text
from kovel.quasi.match import find_all_many, source_bindings
from kovel.quasi.shape import KnownKinds, shared_tags
from kovel.rules.regex import compile_regex
from kovel.rules.rule import NthChild, PatternSpec, Range, Rule, nth_formula
from kovel.treesitter.grammars import language, parser

if TYPE_CHECKING:
    from tree_sitter import Node, Tree

__all__ = [
    "MOST_NESTED",
    "Binding",
    "Compiled",
    "Found",
    "Search",
    "compile_rule",
    "pattern_alone",
    "required_words",
    "text_of",
    "utils_named",
]

Binding = KTerm | list[KTerm]
Path = tuple[int, ...]
#: A metavariable's value as the source holds it, and as a fix splices it (multi-line values dedented).
Env = dict[str, tuple[Binding, Binding]]


class Nth(NamedTuple):
    """A compiled ``nth_child``: the positions ``a*n + b`` (n >= 0), counted from
    the last with ``reverse``, among the named siblings ``of_rule`` matches."""

    a: int
    b: int
    reverse: bool
    of_rule: Compiled | None

    def holds(self, position: int) -> bool:
        """Whether ``position`` (1 for the first) is one of the positions meant.

        >>> Nth(2, 1, False, None).holds(3), Nth(-1, 2, False, None).holds(3), Nth(0, 2, False, None).holds(2)
        (True, False, True)
        """
        if self.a == 0:
            return position == self.b
        n, rest = divmod(position - self.b, self.a)
        return rest == 0 and n >= 0


@dataclass(frozen=True, slots=True)
class Compiled:
    """A rule compiled for one language; ``tags`` holds the tags a matching node may
    have (None: any)."""

    pattern: Pattern | None = None
    kind: str | None = None
    regex: re.Pattern[str] | None = None
    nth_child: Nth | None = None
    range: Range | None = None
    inside: Compiled | None = None
    has: Compiled | None = None
    follows: Compiled | None = None
    precedes: Compiled | None = None
    all: tuple[Compiled, ...] = ()
    any: tuple[Compiled, ...] | None = None
    not_: Compiled | None = None
    matches: str | None = None
    stop_by: str | Compiled = "neighbor"
    field: str | None = None
    tags: frozenset[str] | None = None
    #: A pattern that is one metavariable (``$X``): any node, bound to that name ("" for ``$_``).
    meta: str | None = None


def utils_named(r: Compiled, here: bool = False) -> set[str]:
    """The names of the utility rules ``r`` and its sub-rules name (``matches``);
    with ``here``, only those that judge the node ``r`` judges (not through
    ``inside``, ``has``, ``follows`` or ``precedes``, which look at others).

    >>> from kovel.rules import Rule
    >>> r = compile_rule("python", Rule(matches="a", has=Rule(matches="b")))
    >>> sorted(utils_named(r)), sorted(utils_named(r, here=True))
    (['a', 'b'], ['a'])
    """
    out: set[str] = set()
    todo = [r]
    while todo:
        c = todo.pop()
        if c.matches is not None:
            out.add(c.matches)
        around = () if here else (c.inside, c.has, c.follows, c.precedes)
        todo += [x for x in (*around, c.not_, *c.all, *(c.any or ())) if x]
        if isinstance(c.stop_by, Compiled):
            todo.append(c.stop_by)
        if c.nth_child is not None and c.nth_child.of_rule is not None:
            todo.append(c.nth_child.of_rule)
    return out


def patterns_of(r: Compiled, utils: Mapping[str, Compiled] | None = None) -> list[Pattern]:
    """Every pattern ``r`` may look up, its sub-rules' and the utility rules' it names included.

    >>> from kovel.rules import Rule
    >>> r = compile_rule("python", Rule(pattern="f($X)", inside=Rule(pattern="g($$$A)")))
    >>> [p.code for p in patterns_of(r)]
    ['f($X)', 'g($$$A)']
    """
    return [c.pattern for c in _parts(r, utils) if c.pattern is not None]


def looks_around(r: Compiled, utils: Mapping[str, Compiled] | None = None) -> bool:
    """Whether ``r`` (or a rule inside it) judges a node by what stands around
    it (`inside`, `follows`, `precedes`, `nthChild`, `range`) or by the field
    its grammar gives it, so that the node alone, cut from its tree, cannot be
    judged.

    >>> from kovel.rules import Rule
    >>> looks_around(compile_rule("python", Rule(has=Rule(inside=Rule(kind="call")))))
    True
    >>> looks_around(compile_rule("python", Rule(kind="call", has=Rule(kind="integer"))))
    False
    """
    return any(
        c.inside is not None
        or c.field is not None
        or c.follows is not None
        or c.precedes is not None
        or c.nth_child is not None
        or c.range is not None
        for c in _parts(r, utils)
    )


def names_bound(r: Compiled, utils: Mapping[str, Compiled] | None = None) -> frozenset[str]:
    """The metavariables a match of ``r`` may bind: its patterns' and its sub-rules'.

    >>> from kovel.rules import Rule
    >>> sorted(names_bound(compile_rule("python", Rule(pattern="f($X)", has=Rule(pattern="$$$A")))))
    ['A', 'X']
    """
    out: set[str] = set()
    for c in _parts(r, utils):
        if c.pattern is not None:
            out.update(c.pattern.literals)
        if c.meta:
            out.add(c.meta)
    return frozenset(out)


def _parts(r: Compiled, utils: Mapping[str, Compiled] | None) -> Iterator[Compiled]:
    """``r`` and every rule inside it, the utility rules it names included, each once."""
    todo = [r]
    seen_utils: set[str] = set()
    while todo:
        c = todo.pop()
        yield c
        subs = [c.inside, c.has, c.follows, c.precedes, c.not_, *c.all, *(c.any or ())]
        if c.nth_child is not None:
            subs.append(c.nth_child.of_rule)
        if isinstance(c.stop_by, Compiled):
            subs.append(c.stop_by)
        if c.matches is not None and utils and c.matches in utils and c.matches not in seen_utils:
            seen_utils.add(c.matches)
            subs.append(utils[c.matches])
        todo.extend(reversed([x for x in subs if x is not None]))


def _pattern(lang: str, p: str | PatternSpec) -> Pattern:
    if isinstance(p, str):
        return make_pattern(lang, p)
    # ast-grep's context is the whole snippet, and the selector picks the pattern in it.
    return make_pattern(lang, p.context, selector=p.selector)


def _parsed_as(lang: str, root: KTerm) -> tuple[Tree, Node | None]:
    """The tree of ``root``'s text, and its node that is ``root``: a root that is
    no whole file (a metavariable's node: a keyword argument, an object's pair)
    is read where the language's code reads a node of its kind, the first of
    the contexts patterns are read in that has one spanning the text."""
    ts = parser(lang)
    text = str(root).encode()
    tag = _native.tag(root)
    tree = ts.parse(text)
    n = _of_kind(tree.root_node, tag)
    if n.type == tag:
        return tree, n
    for context in (*contexts_for(lang, str(root)), *_ITEM_CONTEXTS):
        head, tail = (part.encode() for part in split_context(context))
        around = ts.parse(head + text + tail)
        found = around.root_node.descendant_for_byte_range(len(head), len(head) + len(text))
        while (
            found is not None
            and found.type != tag
            and (found.start_byte, found.end_byte)
            == (
                len(head),
                len(head) + len(text),
            )
        ):
            found = found.parent
        if found is not None and found.type == tag and not around.root_node.has_error:
            return around, found
    return tree, None


def _of_kind(n: Node, tag: str) -> Node:
    """The node of kind ``tag`` that ``n`` holds alone (a file's nodes around a
    statement or an expression), or where that chain ends."""
    while n.type != tag and n.child_count == 1:
        n = n.children[0]
    return n


#: Where list items are read that no context of a pattern puts code in.
_ITEM_CONTEXTS = ("x = {{{}}}\n", "x = ({{{}}});\n", "_kq({})\n", "def _kq({}):\n    pass\n")


def compile_rule(lang: str, r: Rule) -> Compiled:
    """Compile ``r`` for ``lang``: patterns parsed, regular expressions compiled.

    Raises ``SyntaxError`` for a pattern that does not parse, ``re.error``
    for a bad regular expression, and ``ValueError`` for a rule (or a rule in
    it) without a condition, or one that nests rules more than
    ``MOST_NESTED`` deep (matching walks them recursively).

    >>> compile_rule("python", Rule(kind="identifier", regex="^x")).tags
    frozenset({'identifier'})
    """
    if _nesting(r) > MOST_NESTED:
        raise ValueError(f"the rule nests rules more than {MOST_NESTED} deep")
    return _compiled(lang, r)


#: The deepest a rule may nest rules (``inside``, ``has``, ``not``, ``all``...).
MOST_NESTED = 100


def _nesting(r: Rule) -> int:
    """How deep ``r`` nests rules (1: none inside it), counted without recursion."""
    deepest = 0
    todo = [(r, 1)]
    while todo:
        x, depth = todo.pop()
        deepest = max(deepest, depth)
        if deepest > MOST_NESTED:
            break
        subs = [x.inside, x.has, x.follows, x.precedes, x.not_, *(x.all or ()), *(x.any or ())]
        if isinstance(x.stop_by, Rule):
            subs.append(x.stop_by)
        if isinstance(x.nth_child, NthChild) and x.nth_child.of_rule is not None:
            subs.append(x.nth_child.of_rule)
        todo.extend((s, depth + 1) for s in subs if isinstance(s, Rule))
    return deepest


#: What a rule may say of a node (``stop_by`` and ``field`` say how a relation looks).
_RULE_CONDITIONS = (
    "pattern", "kind", "regex", "nth_child", "range", "inside", "has", "follows", "precedes",
    "all", "any", "not_", "matches",
)  # fmt: skip


def _compiled(lang: str, r: Rule, relation: str | None = None) -> Compiled:
    grammar = language(lang)  # ValueError for a language without a grammar
    if all(getattr(r, name) is None for name in _RULE_CONDITIONS):
        # As a rule file's: a rule with no condition is a slip, not a search of every node.
        raise ValueError("a rule needs at least one condition (pattern, kind, regex, ...)")
    if relation is None and (r.field is not None or r.stop_by != "neighbor"):
        raise ValueError("field and stop_by go only in a rule of inside, has, follows or precedes")
    if r.field is not None and relation not in ("inside", "has"):
        # A sibling stands in no field of the node it follows or precedes.
        raise ValueError("field goes only in a rule of inside or has")
    _check_types(r)
    at = r.range
    if at is not None and min(at.start_line, at.start_column, at.end_line, at.end_column) < 0:
        raise ValueError("range: lines and columns count from 0")
    if r.kind is not None and not any(grammar.id_for_node_kind(r.kind, named) for named in (True, False)):
        raise ValueError(f"no node kind {r.kind!r} in the {lang} grammar")
    if r.field is not None and grammar.field_id_for_name(r.field) is None:
        raise ValueError(f"no field {r.field!r} in the {lang} grammar")
    sub = {
        name: None
        if getattr(r, name) is None
        else _compiled(lang, getattr(r, name), None if name == "not_" else name)
        for name in ("inside", "has", "follows", "precedes", "not_")
    }
    alls = tuple(_compiled(lang, x) for x in r.all or ())
    anys = None if r.any is None else tuple(_compiled(lang, x) for x in r.any)
    tags: frozenset[str] | None = None if r.kind is None else frozenset([r.kind])
    for a in alls:
        if a.tags is not None:
            tags = a.tags if tags is None else tags & a.tags
    if anys is not None and all(a.tags is not None for a in anys):
        union = frozenset().union(*(a.tags or () for a in anys))
        tags = union if tags is None else tags & union
    lone = _LONE_META.fullmatch(r.pattern.strip()) if isinstance(r.pattern, str) else None
    return Compiled(
        None if r.pattern is None or lone else _pattern(lang, r.pattern),
        r.kind,
        None if r.regex is None else _regex(r.regex),
        None if r.nth_child is None else _nth(lang, r.nth_child),
        r.range,
        sub["inside"],
        sub["has"],
        sub["follows"],
        sub["precedes"],
        alls,
        anys,
        sub["not_"],
        r.matches,
        _stop_by(lang, r.stop_by),
        r.field,
        tags,
        None if lone is None else lone.group(1).lstrip("_") if lone.group(1) == "_" else lone.group(1),
    )


def _check_types(r: Rule) -> None:
    """Raises ``TypeError`` naming the field of ``r`` that holds a value of another type."""
    for name in ("kind", "regex", "matches", "field"):
        v = getattr(r, name)
        if v is not None and not isinstance(v, str):
            raise TypeError(f"{name} is a str, not {v!r}")
    if r.pattern is not None and not isinstance(r.pattern, str | PatternSpec):
        raise TypeError(f"pattern is a str or a PatternSpec, not {r.pattern!r}")
    for name in ("inside", "has", "follows", "precedes", "not_"):
        v = getattr(r, name)
        if v is not None and not isinstance(v, Rule):
            raise TypeError(f"{name} is a Rule, not {v!r}")
    for name in ("all", "any"):
        v = getattr(r, name)
        if v is not None and (not isinstance(v, tuple | list) or not all(isinstance(x, Rule) for x in v)):
            raise TypeError(f"{name} is a tuple of Rules, not {v!r}")


def _regex(text: str) -> re.Pattern[str]:
    """``text`` compiled; ``re.error`` names it."""
    try:
        return compile_regex(text)
    except re.error as exc:
        raise re.error(f"regex {text!r}: {exc.msg}") from None


def _stop_by(lang: str, stop: object) -> str | Compiled:
    if isinstance(stop, Rule):
        return _compiled(lang, stop)
    if stop not in ("neighbor", "end"):
        raise ValueError(f"stop_by is 'neighbor', 'end' or a Rule, not {stop!r}")
    return stop


def _nth(lang: str, n: int | str | NthChild) -> Nth:
    if isinstance(n, str):  # a formula, as a rule file writes it (`2n+1`)
        n = NthChild(n)
    if not isinstance(n, NthChild):
        if not isinstance(n, int) or isinstance(n, bool):
            raise TypeError(f"nth_child is a position, a formula or an NthChild, not {n!r}")
        if n == 0:
            raise ValueError("nth_child counts from 1 (or from -1, the last)")
        return Nth(0, abs(n), n < 0, None)
    if isinstance(n.position, int) and n.position < 1:
        raise ValueError("an NthChild's position counts from 1 (reverse counts from the last)")
    a, b = nth_formula(n.position)
    return Nth(a, b, n.reverse, None if n.of_rule is None else _compiled(lang, n.of_rule))


# Matched without the pattern machinery, which needs a node of some kind to stand for.
_LONE_META = re.compile(r"\$([A-Z_][A-Z0-9_]*)")


_WORD = re.compile(r"[A-Za-z_]\w+", re.ASCII)


def required_words(r: Compiled, utils: Mapping[str, Compiled] | None = None) -> frozenset[str]:
    """Words that any text holding a match of ``r`` contains: a file without one of
    them is not searched.  (Taken from patterns that must match, as each
    pattern's ``required_texts``, metavariables aside.)

    >>> r = Rule(pattern="self.assertEqual($A, $B)", inside=Rule(kind="class_definition"))
    >>> sorted(required_words(compile_rule("python", r)))
    ['assertEqual', 'self']
    """
    out: set[str] = set()
    if r.pattern is not None:
        out.update(t for t in r.pattern.required_texts if _WORD.fullmatch(t))
    for sub in (r.inside, r.has, r.follows, r.precedes):
        if isinstance(sub, Compiled):
            out |= required_words(sub, utils)
    for a in r.all:
        out |= required_words(a, utils)
    if r.any:
        out |= frozenset.intersection(*(required_words(a, utils) for a in r.any))
    if r.matches is not None and utils is not None and r.matches in utils:
        seen = dict(utils)
        target = seen.pop(r.matches)  # a util that refers to itself ends here
        out |= required_words(target, seen)
    return frozenset(out)


def text_of(v: Binding) -> str:
    """A binding's text: a run of siblings as it stands in the source, separators included.

    >>> from kovel.treesitter import parse
    >>> text_of(parse("python", "x = 1\\n"))
    'x = 1\\n'
    """
    return str(v) if isinstance(v, KTerm) else run_text(v)


@dataclass(frozen=True, slots=True)
class Found:
    """A node a rule matched: the node, its path and span in the root's text, and
    the metavariables (``bindings`` the source's own nodes, ``values`` as a fix
    splices them)."""

    term: KTerm
    path: Path
    span: tuple[int, int]
    bindings: dict[str, Binding]
    values: dict[str, Binding]
    #: The search that found it: where its values stand in the file's tree.
    search: Search | None = field(default=None, repr=False, compare=False)

    def tree_node(self, name: str, k: int | None = None) -> Node | None:
        """The node of the file's tree that metavariable ``name`` binds (the
        ``k``-th of a run), when it is one of the file's own nodes: a
        condition on it reads its fields there, not from its text alone."""
        v = self.bindings.get(name)
        if k is not None and v is not None and not isinstance(v, KTerm):
            items = list(v)
            v = items[k] if k < len(items) else None
        if not isinstance(v, KTerm) or self.search is None or self.search.root is None:
            return None
        path = self.search.path_of(v, self.path)
        return None if path is None else self.search.tree_node(path)


@dataclass(slots=True)
class Search:
    """One search over one root: the caches that the conditions share.

    >>> from kovel.treesitter import parse
    >>> s = Search(parse("python", "x = y\\n"), "python")
    >>> [str(f.term) for f in s.find(compile_rule("python", Rule(kind="identifier")))]
    ['x', 'y']
    """

    #: None for a search made of pattern matches alone (see ``pattern_alone``):
    #: only rules that are those patterns can then be run.
    root: KTerm | None
    lang: str
    utils: Mapping[str, Compiled] = field(default_factory=dict)
    tree: Tree | None = None
    #: The node of a tree that is ``root`` (a metavariable's node, in its file's tree), if known.
    top: Node | None = None
    #: Each pattern's matches in ``root`` by path, keyed by the pattern's id: the
    #: searches of several rules over one root may share them (see ``prefetch``).
    matches: dict[int, dict[Path, Match]] = field(default_factory=dict)
    _nodes: dict[Path, KTerm] = field(default_factory=dict)
    _kids: dict[Path, tuple[KTerm, ...]] = field(default_factory=dict)
    _tagged: dict[frozenset[str], dict[Path, KTerm]] = field(default_factory=dict)
    _spans: dict[Path, tuple[int, int]] | None = None
    _at: dict[tuple[int, int], list[Path]] | None = None
    #: The utility rules being checked, and where: one met again there holds not.
    _asking: set[tuple[str, Path]] = field(default_factory=set)
    _lines: list[int] | None = None
    #: For an `inside` to the end (by the rule's id): what it finds above each path's node, the node included.
    _above: dict[int, dict[Path, Env | None]] = field(default_factory=dict)

    def _whole(self) -> KTerm:
        if self.root is None:
            raise ValueError("this search holds pattern matches alone: the rule needs the whole term")
        return self.root

    # -- the nodes
    def node(self, path: Path) -> KTerm:
        """The node at ``path``; each node on the way is kept (a wide root's children are made once)."""
        got = self._nodes.get(path)
        if got is None:
            got = self._whole() if not path else self.kids(path[:-1])[path[-1]]
            self._nodes[path] = got
        return got

    def kids(self, path: Path) -> tuple[KTerm, ...]:
        got = self._kids.get(path)
        if got is None:
            got = self._kids[path] = tuple(_native.children(self.node(path)))
        return got

    def field_of(self, parent: Path, index: int) -> str | None:
        """The field name of child ``index`` of the node at ``parent``."""
        n = self.tree_node(parent)
        return n.field_name_for_child(index) if n is not None and index < n.child_count else None

    def tree_node(self, path: Path) -> Node | None:
        """The tree-sitter node at ``path`` (the root's text parsed again, once, when no tree is given)."""
        n = self.top
        if n is None:
            if self.tree is None:
                self.tree, n = _parsed_as(self.lang, self._whole())
            else:
                n = _of_kind(self.tree.root_node, _native.tag(self._whole()))
            if n is None:
                return None
            self.top = n
        for i in path:
            if i >= n.child_count:
                return None
            n = n.children[i]
        return n

    def named(self, path: Path, node: KTerm) -> bool:
        """Whether the node at ``path`` is one the grammar names, not a token.

        A keyword may share its tag with a node (Ruby's ``if`` node starts with
        the ``if`` keyword; PHP's ``null`` node is a leaf spelled ``null``): a
        leaf spelled as its tag is a token inside a node of its tag, and
        otherwise the tree says."""
        known = _known(self.lang)
        if not known.named(node):
            tag = _native.tag(node)
            if tag not in shared_tags(self.lang) or not path or _native.tag(self.node(path[:-1])) == tag:
                return False
            found = self.tree_node(path)
            return found is not None and found.type == tag and found.is_named
        return True

    def root_start(self) -> int | None:
        """Where the file's node starts as a match: at its first node, past the
        blank lines and byte order mark before it that are the file's and no
        node's (kept by a fix of the file's node).  None when that node is only
        a wrapper around the leaf of its own kind that a file without nodes is
        (that leaf, at the end of such text, is the match)."""
        kids = self.kids(())
        if not kids:
            return 0
        if (
            len(kids) == 1
            and _native.tag(kids[0]) == _native.tag(self._whole())
            and not _native.children(kids[0])
        ):
            return None
        return self.span((0,))[0]

    def span(self, path: Path) -> tuple[int, int]:
        """Where the node at ``path`` starts and ends in the root's text (in characters)."""
        if self._spans is None:
            root = self._whole()
            self._spans = {tuple(p): (a, b) for p, _, a, b in _native.walk(root, True)}
            self._lines = [0, *(m.end() for m in re.finditer("\n", str(root)))]
        return self._spans[path]

    def path_of(self, node: KTerm, within: Path = ()) -> Path | None:
        """The path of ``node`` itself (not of an equal node elsewhere), looked for
        in the node at ``within`` and then in the whole root; None when it is
        not in the root (a metavariable's value made anew)."""
        for top in (within, ()) if within else ((),):
            [got] = _native.locate(self.node(top), [node])
            if got is None:
                continue
            start = self.span(top)[0]
            for path in self._paths_at().get((start + got[0], start + got[1]), ()):
                if _native.same(self.node(path), node):
                    return path
        return None

    def _paths_at(self) -> dict[tuple[int, int], list[Path]]:
        """The paths of the nodes by their spans."""
        if self._at is None:
            self.span(())
            assert self._spans is not None
            self._at = {}
            for path, span in self._spans.items():
                self._at.setdefault(span, []).append(path)
        return self._at

    def place(self, path: Path) -> tuple[int, int, int, int]:
        """Where the node at ``path`` starts and ends: lines and columns (in
        characters) counted from 0, the end exclusive."""
        span = self.span(path)
        assert self._lines is not None
        lines = self._lines
        out: list[int] = []
        for at in span:
            line = bisect.bisect_right(lines, at) - 1
            out += (line, at - lines[line])
        return out[0], out[1], out[2], out[3]

    def tagged(self, tags: frozenset[str]) -> dict[Path, KTerm]:
        """The nodes with one of ``tags``, by path."""
        got = self._tagged.get(tags)
        if got is None:
            got = self._tagged[tags] = {tuple(p): n for p, n in _native.find_all(self._whole(), tags, False)}
        return got

    def pattern_matches(self, p: Pattern) -> dict[Path, Match]:
        got = self.matches.get(id(p))
        if got is None:
            got = self.matches[id(p)] = {tuple(m.path): m for m in p.find_all(self._whole())}
        return got

    def prefetch(self, patterns: Iterable[Pattern]) -> None:
        """Find the matches of all ``patterns`` at once: the root's text is laid
        out once for all of them, not once per pattern."""
        todo = [p for p in {id(p): p for p in patterns}.values() if id(p) not in self.matches]
        for p, found in zip(todo, find_all_many(todo, self._whole()), strict=True):
            self.matches[id(p)] = {tuple(m.path): m for m in found}

    # -- the search
    def find(self, r: Compiled, constraints: Mapping[str, Compiled] | None = None) -> Iterator[Found]:
        """Every node that ``r`` matches (and whose metavariables meet ``constraints``), in document order."""
        if r.pattern is not None:
            # The candidates are the pattern's matches: the pattern need not be looked up again.
            rest = _without_pattern(r)
            for at, m in self.pattern_matches(r.pattern).items():
                env: Env | None = {k: (v, m.bindings.get(k, v)) for k, v in source_bindings(m).items()}
                if rest is not None:
                    assert env is not None
                    env = self.check(rest, at, m.term, env)
                if env is not None and not (constraints and not self._meets(constraints, env, at)):
                    yield self._found(m.term, at, m.span, env)
            return
        cands: Iterator[tuple[Sequence[int], KTerm, int, int]]
        if r.tags is not None:
            cands = _native.find_all(self._whole(), r.tags, True)
        else:
            cands = _native.walk(self._whole(), True)
        for where, node, start, end in cands:
            path = tuple(where)
            if not path:
                lead = self.root_start()
                if lead is None:
                    continue  # the file's node is the leaf it wraps, found on its own
                start = lead
            env = self.check(r, path, node, {})
            if env is None or (constraints and not self._meets(constraints, env, path)):
                continue
            yield self._found(node, path, (start, end), env)

    def _found(self, node: KTerm, path: Path, span: tuple[int, int], env: Env) -> Found:
        return Found(
            node, path, span, {k: v[0] for k, v in env.items()}, {k: v[1] for k, v in env.items()}, self
        )

    def _meets(self, constraints: Mapping[str, Compiled], env: Env, at: Path) -> bool:
        """Whether the values ``env`` binds (in the match at ``at``) meet ``constraints``:
        each is judged where it stands (`inside`, `follows`, `nthChild` see around it)."""
        for name, c in constraints.items():
            if name not in env:
                continue
            v = env[name][0]
            nodes = [v] if isinstance(v, KTerm) else list(v)
            # ast-grep checks a single node; a run meets a constraint when each of its nodes does.
            for n in nodes:
                path = self.path_of(n, at) if self.root is not None else None
                if path is not None:
                    if self.check(c, path, n, {}) is None:
                        return False
                elif Search(n, self.lang, self.utils).check(c, (), n, {}) is None:
                    return False
        return True

    def check(self, r: Compiled, path: Path, node: KTerm, env: Env) -> Env | None:
        """``env`` with what ``r`` binds when the node at ``path`` satisfies ``r``, else None."""
        if r.kind is not None and (
            _native.tag(node) != r.kind
            # A kind the grammar also gives a token (Python's ``yield``) means the node, as in ast-grep.
            or (r.kind in shared_tags(self.lang) and not self.named(path, node))
        ):
            return None
        if r.nth_child is not None and not self._nth(path, r.nth_child):
            return None
        if r.range is not None and self.place(path) != (
            r.range.start_line,
            r.range.start_column,
            r.range.end_line,
            r.range.end_column,
        ):
            return None
        if r.pattern is not None:
            m = self.pattern_matches(r.pattern).get(path)
            if m is None:
                return None
            merged = _merge(env, source_bindings(m), m.bindings)
            if merged is None:
                return None
            env = merged
        if r.meta is not None and not self.named(path, node):
            return None  # as in ast-grep, a metavariable alone stands for a node, not for a token
        if r.meta:
            merged = _merge(env, {r.meta: node}, {})
            if merged is None:
                return None
            env = merged
        if r.regex is not None and r.regex.search(str(node)) is None:
            return None
        if r.matches is not None:
            util = self.utils.get(r.matches)
            if util is None:
                raise ValueError(f"no utility rule named {r.matches!r}")
            # A utility rule may reach itself through the nodes around (`has` a node
            # that `matches` it); come back to the same node, it does not hold there.
            asked = (r.matches, path)
            if asked in self._asking:
                return None
            self._asking.add(asked)
            try:
                got = self.check(util, path, node, env)
            finally:
                self._asking.discard(asked)
            if got is None:
                return None
            env = got
        for a in r.all:
            got = self.check(a, path, node, env)
            if got is None:
                return None
            env = got
        if r.any is not None:
            for a in r.any:
                got = self.check(a, path, node, env)
                if got is not None:
                    env = got
                    break
            else:
                return None
        if r.not_ is not None and self.check(r.not_, path, node, env) is not None:
            return None
        for rel, how in ((r.inside, self._inside), (r.has, self._has)):
            if rel is not None:
                got = how(rel, path, node, env)
                if got is None:
                    return None
                env = got
        for rel, step in ((r.follows, -1), (r.precedes, 1)):
            if rel is not None:
                got = self._sibling(rel, path, env, step)
                if got is None:
                    return None
                env = got
        return env

    def _nth(self, path: Path, n: Nth) -> bool:
        if not path:
            return False
        parent = path[:-1]
        kids = self.kids(parent)
        among = [
            i
            for i, k in enumerate(kids)
            if self.named((*parent, i), k)
            and (n.of_rule is None or self.check(n.of_rule, (*parent, i), k, {}) is not None)
        ]
        if path[-1] not in among:
            return False
        k = among.index(path[-1])
        return n.holds(len(among) - k if n.reverse else k + 1)

    def _stops(self, r: Compiled, path: Path, node: KTerm, env: Env) -> bool:
        return isinstance(r.stop_by, Compiled) and self.check(r.stop_by, path, node, env) is not None

    def _inside(self, r: Compiled, path: Path, node: KTerm, env: Env) -> Env | None:
        if not path:
            return None
        tags = r.tags
        if tags is not None and r.stop_by == "end" and r.field is None and not env and not self._asking:
            return self._inside_to_the_end(r, tags, path)
        if tags is not None and isinstance(r.stop_by, str):
            # Only the ancestors of the right tags need a look: found once per search, natively.
            tagged = self.tagged(tags)
            for depth in range(len(path) - 1, -1, -1):
                up = path[:depth]
                anc = tagged.get(up)
                if anc is not None and (r.field is None or self.field_of(up, path[depth]) == r.field):
                    got = self.check(r, up, anc, env)
                    if got is not None:
                        return got
                if r.stop_by == "neighbor":
                    return None
            return None
        for depth in range(len(path) - 1, -1, -1):
            anc = self.node(path[:depth])
            if (tags is None or _native.tag(anc) in tags) and (
                r.field is None or self.field_of(path[:depth], path[depth]) == r.field
            ):
                got = self.check(r, path[:depth], anc, env)
                if got is not None:
                    return got
            if r.stop_by == "neighbor" or self._stops(r, path[:depth], anc, env):
                return None
        return None

    def _inside_to_the_end(self, r: Compiled, tags: frozenset[str], path: Path) -> Env | None:
        """``_inside`` of a rule of ``tags`` that looks all the way up, binding from
        nothing: the answer at each ancestor is kept, so that the nodes of a
        deep nest are judged in time linear in their number, not its square."""
        above = self._above.setdefault(id(r), {})
        tagged = self.tagged(tags)
        todo: list[Path] = []
        got: Env | None = None
        for depth in range(len(path) - 1, -1, -1):
            up = path[:depth]
            if up in above:
                got = above[up]
                break
            todo.append(up)
        for up in reversed(todo):  # from the top down: the deepest that holds is the one found
            anc = tagged.get(up)
            if anc is not None:
                hit = self.check(r, up, anc, {})
                if hit is not None:
                    got = hit
            above[up] = got
        return got

    def _has(self, r: Compiled, path: Path, node: KTerm, env: Env) -> Env | None:
        kids = _native.children(node)
        if r.stop_by == "neighbor":
            for i, k in enumerate(kids):
                if r.field is not None and self.field_of(path, i) != r.field:
                    continue
                got = self.check(r, (*path, i), k, env)
                if got is not None:
                    return got
            return None
        if r.stop_by == "end" and r.tags is not None and r.field is None:
            # The native tag filter finds the candidates below.
            for sub, k in _native.find_all(node, r.tags, False):
                if sub:
                    got = self.check(r, path + tuple(sub), k, env)
                    if got is not None:
                        return got
            return None
        starts = [
            ((*path, i), k)
            for i, k in enumerate(kids)
            if r.field is None or self.field_of(path, i) == r.field
        ]
        stack = starts[::-1]
        while stack:
            p, k = stack.pop()
            got = self.check(r, p, k, env)
            if got is not None:
                return got
            if not self._stops(r, p, k, env):
                stack.extend(((*p, i), c) for i, c in reversed(list(enumerate(_native.children(k)))))
        return None

    def _sibling(self, r: Compiled, path: Path, env: Env, step: int) -> Env | None:
        if not path:
            return None
        parent = path[:-1]
        kids = self.kids(parent)
        i = path[-1] + step
        while 0 <= i < len(kids):
            p = (*parent, i)
            got = self.check(r, p, kids[i], env)
            if got is not None:
                return got
            if r.stop_by == "neighbor" or self._stops(r, p, kids[i], env):
                return None
            i += step
        return None


# What a compiled rule checks besides its pattern.
_CONDITIONS = (
    "kind",
    "regex",
    "nth_child",
    "range",
    "inside",
    "has",
    "follows",
    "precedes",
    "any",
    "not_",
    "matches",
    "meta",
)


def pattern_alone(r: Compiled) -> Pattern | None:
    """The pattern of a rule that is a pattern and nothing else: its matches are
    all a search for the rule needs (the root's other nodes are never looked at).

    >>> pattern_alone(compile_rule("python", Rule(pattern="f($X)"))) is not None
    True
    >>> pattern_alone(compile_rule("python", Rule(pattern="f($X)", inside=Rule(kind="block"))))
    """
    return r.pattern if r.pattern is not None and _without_pattern(r) is None else None


def _without_pattern(r: Compiled) -> Compiled | None:
    """``r`` less its pattern, or None when nothing else is left to check."""
    if not r.all and all(getattr(r, n) is None for n in _CONDITIONS):
        return None
    return replace(r, pattern=None)


@functools.cache
def _known(lang: str) -> KnownKinds:
    """The node kinds of ``lang``'s grammar, asked once per kind in a process."""
    return KnownKinds(lang)


def _alike(a: Binding, b: Binding) -> bool:
    """Whether two bindings of one metavariable say the same thing, as a pattern
    that names it twice compares them (a run item by item)."""
    if isinstance(a, KTerm) and isinstance(b, KTerm):
        return _native.reads_alike(a, b)
    if isinstance(a, KTerm) or isinstance(b, KTerm):
        return text_of(a) == text_of(b)
    return len(a) == len(b) and all(_native.reads_alike(x, y) for x, y in zip(a, b, strict=True))


def _merge(env: Env, found: Mapping[str, Any], values: Mapping[str, Any]) -> Env | None:
    """``env`` with the new bindings, or None when one disagrees with a binding of the same name."""
    out: Env | None = None
    for k, v in found.items():
        old = env.get(k)
        if old is not None:
            if not _alike(old[0], v):
                return None
            continue
        if out is None:
            out = dict(env)
        out[k] = (v, values.get(k, v))
    return env if out is None else out
