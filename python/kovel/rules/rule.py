"""Rules as values: a pattern plus conditions, composable, as ast-grep writes them in YAML.

A ``Rule`` says what a node must be (``pattern``, ``kind``, ``regex``,
``nth_child``, ``range``), where it must stand (``inside``, ``has``, ``follows``,
``precedes``) and how rules combine (``all``, ``any``, ``not_``,
``matches``).  A rule used as the target of a relation also carries that
relation's ``stop_by`` and ``field``.  ``RuleConfig`` adds what a rule file
says around a rule: its id, language, message, constraints, transforms and fix.
"""

from __future__ import annotations

import fnmatch
import functools
import os
import re
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Literal, TypeAlias

__all__ = [
    "Convert",
    "NthChild",
    "PatternSpec",
    "Range",
    "Replace",
    "Rewrite",
    "Rule",
    "RuleConfig",
    "Severity",
    "StopBy",
    "Substring",
    "Transform",
    "braces_expanded",
    "nth_formula",
    "utils_renamed",
]

#: (Spelled as unions of literals, which stubtest can compare with the runtime objects.)
Severity: TypeAlias = (
    Literal["error"] | Literal["warning"] | Literal["info"] | Literal["hint"] | Literal["off"]
)


@dataclass(frozen=True, slots=True)
class PatternSpec:
    """A pattern with its parse context: ``selector`` names the kind of the
    node in ``context`` that is the pattern (ast-grep's ``{context, selector}``).

    >>> PatternSpec("class A:\\n    $F = $V\\n", "assignment").selector
    'assignment'
    """

    context: str
    selector: str | None = None


@dataclass(frozen=True, slots=True)
class NthChild:
    """Where a node stands among its parent's named children: ``position`` is a
    number (1 for the first) or a formula ``An+B`` (``"2n+1"``: the first,
    third, fifth...), counted from the last with ``reverse``, and among the
    children ``of_rule`` matches only, when it is given (ast-grep's ``nthChild``).

    >>> NthChild("2n+1", reverse=True).reverse
    True
    """

    position: int | str
    reverse: bool = False
    of_rule: Rule | None = None


_FORMULA = re.compile(r"\s*([+-]?\d*)\s*[nN]\s*(?:([+-])\s*(\d+))?\s*|\s*([+-]?\d+)\s*")


def nth_formula(position: int | str) -> tuple[int, int]:
    """``(A, B)`` of a position given as a number or as ``An+B``: the positions
    meant are ``A*n + B`` for n = 0, 1, 2...  ``ValueError`` for anything else.

    >>> nth_formula("2n+1"), nth_formula("-n + 3"), nth_formula(4), nth_formula("n")
    ((2, 1), (-1, 3), (0, 4), (1, 0))
    """
    if isinstance(position, int) and not isinstance(position, bool):
        return 0, position
    m = _FORMULA.fullmatch(position) if isinstance(position, str) else None
    if m is None:
        raise ValueError(f"{position!r} is neither a position nor a formula An+B")
    if m.group(4) is not None:
        return 0, int(m.group(4))
    a = m.group(1)
    step = 1 if a in ("", "+") else -1 if a == "-" else int(a)
    b = int(m.group(3)) if m.group(3) else 0
    return step, -b if m.group(2) == "-" else b


@dataclass(frozen=True, slots=True)
class Range:
    """A node's exact place: lines and columns counted from 0, columns in
    characters, the end exclusive (ast-grep's ``range``).

    >>> Range(0, 4, 0, 9).end_column
    9
    """

    start_line: int
    start_column: int
    end_line: int
    end_column: int


@dataclass(frozen=True, slots=True)
class Rule:
    """What a node must be, where it must stand, and how conditions combine.

    Every condition given must hold, and a rule has at least one.

    >>> r = Rule(pattern="assert $X == $Y", inside=Rule(kind="class_definition", stop_by="end"))
    >>> r.inside.kind
    'class_definition'
    """

    pattern: str | PatternSpec | None = None
    kind: str | None = None
    regex: str | None = None
    #: A position (negative: from the last), a formula ``An+B``, or a ``NthChild``.
    nth_child: int | str | NthChild | None = None
    range: Range | None = None
    inside: Rule | None = None
    has: Rule | None = None
    follows: Rule | None = None
    precedes: Rule | None = None
    all: tuple[Rule, ...] | None = None
    any: tuple[Rule, ...] | None = None
    not_: Rule | None = None
    matches: str | None = None
    # As the target of a relation: how far it looks, and the field it looks in.
    stop_by: StopBy = "neighbor"
    field: str | None = None


#: How far a relation looks: the next node only, as far as the tree goes, or up to a node the rule matches.
StopBy: TypeAlias = Literal["neighbor"] | Literal["end"] | Rule


@dataclass(frozen=True, slots=True)
class Replace:
    """Replace what ``replace`` (a regular expression) finds in ``source``'s text with ``by``.

    >>> Replace("$NAME", "_", "-").by
    '-'
    """

    source: str
    replace: str
    by: str


@dataclass(frozen=True, slots=True)
class Substring:
    """Characters ``[start_char, end_char)`` of ``source``'s text (negative counts from the end).

    >>> Substring("$S", 1, -1).end_char
    -1
    """

    source: str
    start_char: int | None = None
    end_char: int | None = None


@dataclass(frozen=True, slots=True)
class Convert:
    """``source``'s text in another case: ``snakeCase``, ``camelCase``, ``pascalCase``,
    ``kebabCase``, ``upperCase`` or ``lowerCase`` (``snake_case`` etc. too).

    >>> Convert("$NAME", "snakeCase").to_case
    'snakeCase'
    """

    source: str
    to_case: str
    separated_by: tuple[str, ...] | None = None


@dataclass(frozen=True, slots=True)
class Rewrite:
    """``source``'s code with the ``rewriters`` (rules of ``RuleConfig.rewriters``,
    by id) applied: each node they match, the outermost first and the first
    rewriter that matches it, is replaced by that rewriter's fix.  A ``$$$``
    source's nodes are rewritten one by one and joined by ``join_by`` (None:
    by what stood between them).

    >>> Rewrite("$$$ARGS", ("quote",), ", ").join_by
    ', '
    """

    source: str
    rewriters: tuple[str, ...]
    join_by: str | None = None


Transform: TypeAlias = Replace | Substring | Convert | Rewrite


_ESCAPED = re.compile(r"\\(.)", re.DOTALL)


def _escapes_as_classes(glob: str) -> str:
    """``glob`` with each escaped character (``\\{``) as a class of it (``[{]``),
    which ``fnmatch`` reads as that character alone."""
    return _ESCAPED.sub(lambda m: f"[{m[1]}]", glob)


#: The most globs one glob's braces may stand for.
MOST_ALTERNATIVES = 1024


@functools.lru_cache(maxsize=256)  # a rule's globs are asked about for each file
def braces_expanded(glob: str) -> tuple[str, ...]:
    """The globs ``glob`` stands for, each ``{a,b}`` (nested or not) written out
    as its alternatives; ``ValueError`` past ``MOST_ALTERNATIVES`` of them.
    An escaped character (``\\{``) and a character class (``[{]``) are left
    as they are, for the glob to read as the literal characters they are.

    >>> braces_expanded("{src,lib/{a,b}}/*.py")
    ('src/*.py', 'lib/a/*.py', 'lib/b/*.py')
    >>> braces_expanded("b[{]1[}].js"), braces_expanded("{r\\\\,s,t}")
    (('b[{]1[}].js',), ('r\\\\,s', 't'))
    """
    out: list[str] = []
    todo = [glob]
    while todo:
        g = todo.pop()
        start, end, commas = -1, -1, []
        depth = 0
        for i, c in _glob_specials(g):
            if c == "{":
                if depth == 0:
                    start = i
                depth += 1
            elif c == "}" and depth:
                depth -= 1
                if depth == 0:
                    end = i
                    break
            elif c == "," and depth == 1:
                commas.append(i)
        if end < 0:
            out.append(g)  # no braces left (an unclosed one is a plain character)
            continue
        cuts = [start, *commas, end]
        todo += [g[:start] + g[a + 1 : b] + g[end + 1 :] for a, b in zip(cuts, cuts[1:], strict=False)][::-1]
        if len(out) + len(todo) > MOST_ALTERNATIVES:
            raise ValueError(f"the glob {glob!r} stands for more than {MOST_ALTERNATIVES} globs")
    return tuple(out)


def _glob_specials(glob: str) -> Iterator[tuple[int, str]]:
    """The places of ``glob``'s braces and commas that group alternatives: not
    one escaped by a backslash, nor one inside a character class."""
    i = 0
    while i < len(glob):
        c = glob[i]
        if c == "\\":
            i += 2
            continue
        if c == "[":
            close = _class_end(glob, i)
            if close > 0:
                i = close + 1
                continue
        if c in "{},":
            yield i, c
        i += 1


def _class_end(glob: str, at: int) -> int:
    """Where the character class opened at ``at`` closes (a ``]`` first in it, after
    a ``!`` or ``^``, is one of its characters), or -1 when it does not."""
    i = at + 1
    if i < len(glob) and glob[i] in "!^":
        i += 1
    if i < len(glob) and glob[i] == "]":
        i += 1
    while i < len(glob):
        if glob[i] == "\\":
            i += 2
            continue
        if glob[i] == "]":
            return i
        i += 1
    return -1


@dataclass(frozen=True, slots=True)
class RuleConfig:
    """One rule of a rule file: the rule and everything said around it.

    ``language`` is kovel's grammar name (``kovel.rules.langs.language_of``
    maps ast-grep's spellings).  ``fix`` is a template using the rule's
    metavariables and the names ``transform`` defines.

    >>> c = RuleConfig("no-print", "python", Rule(pattern="print($$$A)"), message="print left in")
    >>> c.severity
    'warning'
    """

    id: str
    language: str
    rule: Rule
    message: str = ""
    severity: Severity = "warning"
    note: str | None = None
    constraints: Mapping[str, Rule] = field(default_factory=dict)
    utils: Mapping[str, Rule] = field(default_factory=dict)
    transform: Mapping[str, Transform] = field(default_factory=dict)
    fix: str | None = None
    files: tuple[str, ...] = ()
    ignores: tuple[str, ...] = ()
    url: str | None = None
    #: The fix also replaces the siblings before (after) the match as long as they match these.
    expand_start: Rule | None = None
    expand_end: Rule | None = None
    #: Rules that a ``Rewrite`` transform applies, by id: each a rule and its fix (the
    #: language and the utility rules are this rule's); they report nothing.
    rewriters: tuple[RuleConfig, ...] = ()
    #: Where the rule was read (``path:line``), for messages; None for one made in Python.
    origin: str | None = field(default=None, compare=False)

    @property
    def named(self) -> str:
        """The rule as messages name it: where it was read, and its id.

        >>> RuleConfig("r", "python", Rule(kind="call"), origin="rules/r.yml:4").named
        'rules/r.yml:4: rule r'
        """
        return f"{self.origin}: rule {self.id}" if self.origin else f"rule {self.id}"

    def applies_to(self, path: str, base: str) -> bool:
        """Whether the rule runs on the file at ``path``: its path relative to
        ``base`` (the project's folder) matches a glob of ``files`` (when there
        are any) and none of ``ignores``.

        >>> c = RuleConfig("r", "python", Rule(kind="call"), files=("src/**",), ignores=("**/skip.py",))
        >>> c.applies_to("/p/src/a/b.py", "/p"), c.applies_to("/p/src/skip.py", "/p"), c.applies_to("/p/t.py", "/p")
        (True, False, False)
        """
        if not self.files and not self.ignores:
            return True
        rel = os.path.relpath(os.path.abspath(path), base)

        def hit(globs: Sequence[str]) -> bool:
            return any(
                fnmatch.fnmatch(rel, g) or fnmatch.fnmatch(rel, g.replace("**/", ""))
                for glob in globs
                for g in map(_escapes_as_classes, braces_expanded(glob))
            )

        return (not self.files or hit(self.files)) and not hit(self.ignores)


def utils_renamed(rule: Rule, name: Callable[[str], str]) -> Rule:
    """``rule`` with each utility rule it names (``matches``), at any depth,
    named ``name(old)`` instead.

    >>> utils_renamed(Rule(kind="call", has=Rule(matches="x")), str.upper).has.matches
    'X'
    """

    def go(r: Rule) -> Rule:
        stop = r.stop_by if isinstance(r.stop_by, str) else go(r.stop_by)
        nth = r.nth_child
        if isinstance(nth, NthChild) and nth.of_rule is not None:
            nth = replace(nth, of_rule=go(nth.of_rule))
        return replace(
            r,
            inside=None if r.inside is None else go(r.inside),
            has=None if r.has is None else go(r.has),
            follows=None if r.follows is None else go(r.follows),
            precedes=None if r.precedes is None else go(r.precedes),
            all=None if r.all is None else tuple(map(go, r.all)),
            any=None if r.any is None else tuple(map(go, r.any)),
            not_=None if r.not_ is None else go(r.not_),
            matches=None if r.matches is None else name(r.matches),
            stop_by=stop,
            nth_child=nth,
        )

    return go(rule)
