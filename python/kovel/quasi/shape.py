"""What decides how a grammar reads an expression wherever it is put: its shape.

A value spliced into code keeps its meaning when the code around it reads it
as one node; whether it does depends on the value's node kind and its own
tokens (``a + b`` and ``a * b`` are both binary operators, read otherwise
after a ``-``), not on what is inside its operands.  Values of one shape are
read alike in one place, so a decision made for one holds for all of them.
"""

from __future__ import annotations

import functools
import re

from kovel import _native
from kovel._kovel import KTerm
from kovel.quasi.lift import is_identifier
from kovel.treesitter.grammars import language

__all__ = [
    "KnownKinds",
    "grouped",
    "inner_node",
    "is_token",
    "line_ends_statements",
    "named_words",
    "parentheses",
    "same_shape",
    "shape",
]

# The tags grammars give a parenthesised expression, most usual first: the
# first of them a language's grammar knows is its parentheses (Ruby's group
# statements, Haskell's and Elm's have names of their own, Swift's are a
# one-element tuple).
_PAREN_TAGS = (
    "parenthesized_expression",
    "parenthesized_statements",
    "parenthesized_expr",
    "parens",
    "tuple_expression",
)
# Grammars whose parentheses have a name of their own, or a name other grammars use for more.
_PARENTHESES: dict[str, str | None] = {"elixir": "block", "zig": "GroupedExpr", "matlab": "parenthesis"}


def parentheses(lang: str) -> str | None:
    """The tag of a parenthesised expression in ``lang``'s grammar, or None
    when it has none (or there is no grammar).  Whoever puts parentheses in
    must still check that the code around them reads them as parentheses.

    >>> parentheses("python"), parentheses("ruby"), parentheses("no such language")
    ('parenthesized_expression', 'parenthesized_statements', None)
    """
    try:
        return _PARENTHESES[lang]
    except KeyError:
        pass
    kinds = KnownKinds(lang)
    found = next((t for t in _PAREN_TAGS if kinds.knows(t)), None)
    _PARENTHESES[lang] = found
    return found


def grouped(paren: str) -> frozenset[str]:
    """The kinds code in the parentheses tagged ``paren`` may read as: the
    parentheses, or what they make of a list (a tuple, a generator).

    >>> sorted(grouped("parenthesized_expression"))[:2]
    ['generator_expression', 'parenthesized_expression']
    """
    return _GROUPED | {paren}


_GROUPED = frozenset({"tuple", "tuple_expression", "generator_expression"})


class KnownKinds:
    """Which tags are node kinds of a language's grammar (asked once per tag).

    >>> k = KnownKinds("python")
    >>> k.knows("binary_operator"), k.knows("no such kind")
    (True, False)
    """

    def __init__(self, lang: str) -> None:
        self._lang = lang
        self._known: dict[str, bool] = {}

    @property
    def lang(self) -> str:
        """The language whose grammar this asks."""
        return self._lang

    def knows(self, tag: str) -> bool:
        """Whether ``tag`` is one of the grammar's named node kinds."""
        known = self._known.get(tag)
        if known is None:
            try:
                known = language(self._lang).id_for_node_kind(tag, True) is not None
            except Exception:  # no grammar: nothing is known
                known = False
            self._known[tag] = known
        return known

    def named(self, t: KTerm) -> bool:
        """Whether ``t`` is a node the grammar names: of a known kind, and not a
        keyword that shares its text with one (Java's ``throws`` clause starts
        with the ``throws`` keyword, both tagged ``throws``).

        >>> from kovel import tree
        >>> from kovel.treesitter import parse
        >>> k = KnownKinds("java")
        >>> t = parse("java", "class A { void f() throws E {} }")
        >>> [(str(n), k.named(n)) for _, n in tree.walk(t) if str(n).startswith("throws")]
        [('throws E', True), ('throws', False)]
        """
        tag = _native.tag(t)
        if not self.knows(tag):
            return False
        return bool(_native.children(t)) or str(t) != tag or tag in named_words(self._lang)


@functools.cache
def named_words(lang: str) -> frozenset[str]:
    """The tags of ``lang``'s named nodes that no keyword or other token shares:
    a childless node of one (JavaScript's ``this``, Go's ``nil``) is a node,
    though it renders as its tag, as a token does.  Empty without a grammar.

    A value a token shares its name with (PHP's ``null``, also a type's
    keyword) is a node too: a metavariable takes it.

    >>> "this" in named_words("javascript"), "return" in named_words("javascript"), "null" in named_words("php")
    (True, False, True)
    """
    named, anonymous = _kinds(lang)
    return frozenset(k for k in (named - anonymous) | (named & anonymous & _VALUES) if k.isidentifier())


# Values whose word a grammar may also use as a token of its own, as the
# value's leaf.  (Ruby's `nil` is no such leaf: its node holds the keyword.)
_VALUES = frozenset({"null", "true", "false", "this", "self", "super", "undefined", "nullptr"})


@functools.cache
def shared_tags(lang: str) -> frozenset[str]:
    """The tags that name both a node kind and a token of ``lang``'s grammar
    (Python's ``yield`` expression and its keyword): which of the two a term is,
    ``KnownKinds.named`` tells.  Empty without a grammar.

    >>> sorted(shared_tags("python") & {"yield", "lambda", "identifier"})
    ['lambda', 'yield']
    """
    named, anonymous = _kinds(lang)
    return frozenset(named & anonymous)


def _kinds(lang: str) -> tuple[set[str], set[str]]:
    """The named and the anonymous kinds of ``lang``'s grammar (both empty without one)."""
    named: set[str] = set()
    anonymous: set[str] = set()
    try:
        lang_ = language(lang)
    except Exception:  # no grammar: nothing is known
        return named, anonymous
    for i in range(lang_.node_kind_count):
        kind = lang_.node_kind_for_id(i)
        if kind:
            (named if lang_.node_kind_is_named(i) else anonymous).add(kind)
    return named, anonymous


def is_token(t: KTerm, words: frozenset[str]) -> bool:
    """A child a pattern may pass over and a metavariable not take: a comment,
    or a childless node that renders as its tag, not one of ``words``
    (``named_words`` of its language).  The matcher's own test.

    >>> from kovel import leaf
    >>> w = named_words("javascript")
    >>> [is_token(leaf(t, t), w) for t in (",", "return", "this")], is_token(leaf("comment", "// x"), w)
    ([True, True, False], True)
    """
    if not _native.is_token(t):
        return False
    tag = _native.tag(t)
    return not (tag in words and not _native.children(t) and str(t) == tag)


# Languages where a line break ends a statement as a `;` does, and the
# grammar keeps the `;` as a token of the parent; the nodes whose `;` parts
# one statement's clauses, which a line break cannot stand for.
_LINE_ENDED = frozenset({"bash", "go", "ruby", "scala", "python"})
_CLAUSE_SEMICOLONS = frozenset({"for_clause", "c_style_for_statement", "enumerators"})


def line_ends_statements(lang: str, parent: str) -> bool:
    """Whether, in ``lang``, a ``;`` that is a child of a ``parent`` node may be
    written as a line break instead: a pattern's ``;`` there may match none.

    >>> line_ends_statements("bash", "if_statement"), line_ends_statements("go", "for_clause")
    (True, False)
    """
    return lang in _LINE_ENDED and parent not in _CLAUSE_SEMICOLONS


def inner_node(t: KTerm) -> KTerm:
    """The first tuple node down the chain of first children from ``t`` (``t`` itself
    when it is one), or the leaf at its end.

    >>> from kovel import leaf, tb
    >>> str(inner_node(tb("wrap").c(leaf("identifier", "x")).b())), str(inner_node(leaf("identifier", "x")))
    ('x', 'x')
    """
    while _native.kind(t) != "tuple" and _native.children(t):
        t = _native.children(t)[0]
    return t


# A leaf whose text is a word, after a sign: its shape is its sign and
# whether it starts with a digit (`5.real` does not read as `(5).real`).
_PLAIN_LEAF = re.compile(r"([-+~!]*)(\d?)\w*\Z")


def shape(v: KTerm, kinds: KnownKinds) -> tuple[object, ...] | None:
    """What decides how the grammar reads ``v`` wherever it is put: its node
    kind and its own tokens (``+``, ``not``), or a leaf's sign and first
    character. None for a value to check each time (a tag the grammar does
    not know, a leaf with operators inside).

    >>> from kovel.quasi import template
    >>> k = KnownKinds("python")
    >>> def expr(code): return template("python", code).fill()
    >>> shape(expr("a + b"), k) == shape(expr("c + (d * e)"), k), shape(expr("a + b"), k) == shape(expr("a * b"), k)
    (True, False)
    """
    x = v if _native.kind(v) == "tuple" else inner_node(v)
    tag = _native.tag(x)
    if not kinds.knows(tag):
        return None
    kids = _native.children(x)
    if kids:
        # Its own tokens, and the reserved words among its leaves (PHP's `isset(...)` is no call).
        tokens = tuple(
            t
            for k in kids
            if not _native.children(k)
            and ((t := str(k)) == _native.tag(k) or (t.isidentifier() and not is_identifier(kinds.lang, t)))
        )
        # Whether a call's arguments are in parentheses (Ruby's `f a, b` is no operand).
        args = tuple(_opening(k) for k in kids if "argument" in _native.tag(k) and _native.children(k))
        return (tag, tokens, args) if args else (tag, tokens)
    text = str(x)
    m = _PLAIN_LEAF.match(text)
    if m is None:
        return None
    # A reserved word reads otherwise than a name of the same kind (PHP's `isset`).
    word = m.group(1) == "" and m.group(2) == ""
    return (tag, m.group(1), m.group(2) != "", word and not is_identifier(kinds.lang, text))


def _opening(t: KTerm) -> str | None:
    """The token ``t`` opens with (its text its tag), if it opens with one."""
    first = _native.children(t)[0]
    text = str(first)
    return text if not _native.children(first) and text == _native.tag(first) else None


def same_shape(old: KTerm, new: KTerm, kinds: KnownKinds) -> bool:
    """Whether ``new`` is read wherever ``old`` stood as ``old`` was: a node of its kind and tokens.

    >>> from kovel.quasi import template
    >>> k = KnownKinds("python")
    >>> same_shape(template("python", "f(x)").fill(), template("python", "g(y, z)").fill(), k)
    True
    >>> same_shape(template("python", "f(x)").fill(), template("python", "x + 1").fill(), k)
    False
    """
    s = shape(new, kinds)
    return s is not None and s == shape(old, kinds)
