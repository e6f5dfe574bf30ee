"""A rule file's rule ready to run: ``Matcher`` finds its matches and makes its fixes.

A ``Matcher`` is what ``kovel.batch`` calls a pattern (it has ``find_all``
and ``rewrite``), so ``find_files`` and ``rewrite_files`` take one as they
take a ``kovel.quasi.Pattern``.  A fix is a ``kovel.quasi`` template filled
with the match's metavariables and transformed texts; when the rule's
outermost condition is a pattern, the fix goes through that pattern's own
rewrite (``kovel.quasi.match.replacements``), which lays it out at the
match's indentation and keeps the tokens the pattern did not name (a
statement's ``;``).  A fix that does not parse as a template is filled as
text, as ast-grep does.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Collection, Iterator, Mapping
from dataclasses import replace
from typing import Any

from kovel import _native, leaf, tb
from kovel._kovel import KTerm
from kovel.quasi import Match, Pattern, Siblings, Template, template
from kovel.quasi.attributes import attribute_misread, attributes_stranded
from kovel.quasi.fill import fitted, made_text, one_value, several, type_template
from kovel.quasi.inplace import (
    Landing,
    elision_misread,
    elisions_made,
    kept_or_left,
    leave_misread,
    leave_out,
)
from kovel.quasi.match import bound_texts, comment_dropped, emptied_statement, replacements, statements_kept
from kovel.quasi.shape import KnownKinds, same_shape
from kovel.rules.engine import (
    Binding,
    Compiled,
    Found,
    Search,
    compile_rule,
    looks_around,
    names_bound,
    pattern_alone,
    patterns_of,
    required_words,
    text_of,
    utils_named,
)
from kovel.rules.rule import Replace, Rewrite, RuleConfig
from kovel.rules.transform import apply, replace_error
from kovel.treesitter import parse
from kovel.treesitter.grammars import canonical_name

__all__ = ["Fix", "Matcher", "matcher"]

Path = tuple[int, ...]
#: One fix: the path of the matched node, its replacement, and the match's span in the root's text.
Fix = tuple[Path, KTerm, tuple[int, int]]
_META = re.compile(r"\$\$\$([A-Z_][A-Z0-9_]*)|\$([A-Z_][A-Z0-9_]*)")


class Matcher:
    """A ``RuleConfig`` compiled: finds matches in terms and fixes them.

    >>> from kovel.rules import Rule, RuleConfig
    >>> from kovel.treesitter import parse
    >>> m = matcher(RuleConfig("eq-none", "python", Rule(pattern="$X == None"), fix="$X is None"))
    >>> print(m.rewrite(parse("python", "if a == None:\\n    pass\\n")), end="")
    if a is None:
        pass
    """

    __slots__ = (
        "_expand",
        "_fix",
        "_lone",
        "_rewriters",
        "_rule",
        "_links",
        "_taken",
        "_template",
        "_template_whole",
        "_transforms",
        "config",
        "constraints",
        "rule",
        "utils",
        "words",
    )

    def __init__(self, config: RuleConfig, *, _siblings: _Rewriters | None = None) -> None:
        lang = canonical_name(config.language)
        if lang != config.language:  # the checks of a grammar's ways go by its one name
            config = replace(config, language=lang)
        self.config = config
        self.rule: Compiled = compile_rule(lang, config.rule)
        self.utils = {k: compile_rule(lang, v) for k, v in config.utils.items()}
        self.constraints = {k.lstrip("$"): compile_rule(lang, v) for k, v in config.constraints.items()}
        for c in (self.rule, *self.utils.values(), *self.constraints.values()):
            missing = sorted(utils_named(c) - self.utils.keys())
            if missing:
                raise ValueError(f"no utility rule named {missing[0]!r}")
        unbound = sorted(self.constraints.keys() - names_bound(self.rule, self.utils))
        if unbound:
            # A constraint on a name the rule never binds would hold for every match.
            raise ValueError(f"constraints: the rule binds no ${unbound[0]}")
        loop = _util_cycle(self.utils)
        if loop:
            raise ValueError(f"utility rule {loop[0]!r} refers to itself: {' -> '.join(loop)}")
        # As ast-grep: a transform of a name nothing binds is a mistake in the rule, not an empty text.
        bound = names_bound(self.rule, self.utils) | {k.lstrip("$") for k in config.transform}
        sources = {k.lstrip("$"): tr.source.lstrip("$") for k, tr in config.transform.items()}
        for name, tr in config.transform.items():
            wrong = replace_error(tr) if isinstance(tr, Replace) else None
            if wrong is not None:
                raise ValueError(f"transform {name}: {wrong}")
            if tr.source.lstrip("$") not in bound:
                raise ValueError(
                    f"transform {name}: its source {tr.source} is bound by no pattern or transform of the rule"
                )
            # A transform of a transform of ... itself has no value to start from.
            seen, at = [name.lstrip("$")], sources[name.lstrip("$")]
            while at in sources and at not in seen:
                seen.append(at)
                at = sources[at]
            if at == seen[0]:
                raise ValueError(f"transform {name} takes its own value: {' -> '.join([*seen, at])}")
        # Worked out after what they take (a mapping has no order): by how many transforms lie below each.
        self._transforms = sorted(config.transform.items(), key=lambda kv: _transforms_below(kv[0], sources))
        #: Words every file with a match holds (see ``required_words``); for a rule
        #: that is a pattern alone, every text the pattern spells out (ASCII ones:
        #: files are searched for them in whatever encoding they declare).
        self.words: frozenset[str] = required_words(self.rule, self.utils)
        alone = pattern_alone(self.rule)
        if alone is not None:
            self.words |= {t for t in alone.required_texts if t.isascii()}
        # (A constraint that looks around its value needs the tree the value stands in.)
        context = any(looks_around(c, self.utils) for c in self.constraints.values())
        self._lone = alone if config.fix is None and not context else None
        #: What the fix also takes before and after the match (ast-grep's expandStart, expandEnd).
        self._expand = tuple(
            None if r is None else compile_rule(lang, r) for r in (config.expand_start, config.expand_end)
        )
        # Rewriters speak the rule's language and may use its utility rules; each may call
        # the others (a rewriter's own transform names its siblings): they share one table.
        if _siblings is None:
            _siblings = _Rewriters(
                {r.id: replace(r, language=lang, utils={**config.utils, **r.utils}) for r in config.rewriters}
            )
            for r in config.rewriters:
                _siblings.get(r.id)  # each compiled now: a mistake in one is the rule's
        self._rewriters = _siblings
        for name, tr in config.transform.items():
            if isinstance(tr, Rewrite):
                missing = [x for x in tr.rewriters if x not in self._rewriters.configs]
                if missing:
                    raise ValueError(f"transform {name}: no rewriter named {missing[0]!r}")
        self._template: Template | None = None
        self._template_whole: Template | None = None
        self._taken: dict[str, frozenset[str | None]] | None = None
        self._links: frozenset[str] | None = None
        # The line break a YAML block ends a fix with (`fix: |`) ends no match: a match
        # ends before its line's break, which stays after the fix.
        self._fix: str | None = None if config.fix is None else _without_last_line_break(config.fix)
        if self._fix is not None:
            try:
                self._template = template(lang, self._fix)
            except (SyntaxError, ValueError):
                try:  # code that reads only as a type (`$T[]` in TypeScript) replaces types
                    self._template = type_template(lang, self._fix)
                except (SyntaxError, ValueError):
                    self._template = None  # filled as text
            # A match that ends with its line's break (the file's node) takes the line break too.
            self._template_whole = None
            if self._template is not None and config.fix is not None and self._fix != config.fix:
                try:
                    self._template_whole = template(lang, config.fix)
                except (SyntaxError, ValueError):
                    pass
            named = (
                set(self._template.holes)
                if self._template is not None
                else {g.group(1) or g.group(2) for g in _META.finditer(self._fix)}
            )
            # As ast-grep: a name nothing binds is a mistake in the rule, not an empty text.
            unbound = sorted(named - bound)
            if unbound:
                raise ValueError(
                    f"the fix names ${unbound[0]}, which no pattern or transform of the rule binds"
                )
            if self._template is not None:
                singles = {m.name for m in self._template.skeleton.metas if not m.seq}
                both = sorted(self._template.runs & singles)
                if both:
                    raise ValueError(
                        f"the fix writes ${both[0]} both as ${both[0]} and $$${both[0]}: one name, one form"
                    )

    def __repr__(self) -> str:
        return f"matcher({self.config!r})"

    def __reduce__(self) -> tuple[Any, tuple[RuleConfig]]:
        # Compiled patterns are native: another process compiles the rule again, once.
        return (compiled, (self.config,))

    def search(
        self, t: KTerm | None, tree: Any = None, matches: dict[int, Any] | None = None, top: Any = None
    ) -> Search:
        """The search state over ``t`` (``tree``: its tree-sitter tree, if at hand, for
        fields, or ``top``: the node of a file's tree that ``t`` is; ``matches``:
        pattern matches shared with other rules' searches of ``t``).
        ``t`` is None for a search of ``lone_pattern``'s matches alone."""
        return Search(t, self.config.language, self.utils, tree, top, {} if matches is None else matches)

    @property
    def lone_pattern(self) -> Pattern | None:
        """The rule's pattern when the rule is that pattern alone (with constraints
        on its metavariables, but no other condition and no fix): the
        pattern's matches are then all its search needs, and they may be
        found without the whole term (``kovel.quasi.match.search_source``).

        >>> from kovel.rules import Rule, RuleConfig
        >>> matcher(RuleConfig("p", "python", Rule(pattern="print($A)"))).lone_pattern
        pattern('python', 'print($A)')
        """
        return self._lone

    @property
    def patterns(self) -> list[Pattern]:
        """Every pattern the rule may look up (see ``Search.prefetch``)."""
        out = patterns_of(self.rule, self.utils)
        for c in self.constraints.values():
            out += patterns_of(c, self.utils)
        return out

    def find_all(self, t: KTerm | None, search: Search | None = None) -> Iterator[Found]:
        """Every match in ``t``, in document order.

        >>> from kovel.rules import Rule, RuleConfig
        >>> from kovel.treesitter import parse
        >>> m = matcher(RuleConfig("x", "python", Rule(kind="call", has=Rule(regex="^log$"))))
        >>> [str(f.term) for f in m.find_all(parse("python", "log(1)\\nprint(2)\\n"))]
        ['log(1)']
        """
        s = search if search is not None else self.search(t)
        return s.find(self.rule, self.constraints)

    def fixes(
        self,
        t: KTerm,
        search: Search | None = None,
        left_alone: list[str] | None = None,
        only: Collection[Path] | None = None,
    ) -> list[Fix]:
        """The fix of each outermost match (none inside another), in document order
        (with ``only``, of the outermost of the matches at those paths).
        A fix the code around it would read otherwise raises ``MisreadError``; given
        ``left_alone``, that match has no fix, and why is added to the list."""
        if self.config.fix is None:
            return []
        s = search if search is not None else self.search(t)
        found = {f.path: f for f in self.find_all(t, s) if only is None or f.path in only}
        if not found:
            return []
        p = self.rule.pattern
        if p is not None and self._template is not None:
            # The pattern's own rewrite lays the fix out.
            filled: set[tuple[int, ...]] = set()  # the matches given a fix (kept, or left alone)

            def fill(m: Match) -> KTerm | None:
                f = found.get(tuple(m.path))
                if f is None:
                    return None
                filled.add(f.path)
                new = self._fill(f)
                _comments_kept(f, new)
                return new

            single: bool | Callable[[Match], bool] = self._template.single
            lone = self._template.lone_hole
            if single and lone is not None:
                # A fix that is one hole is as many nodes as the match binds to it.
                def single(m: Match) -> bool:
                    v = found[tuple(m.path)].bindings.get(lone) if tuple(m.path) in found else None
                    return not several(v)

            paths, news, spans = replacements(
                p, t, fill, left_alone=left_alone, single=single, grown_later=True
            )
            # A match the rule rejected may hide one inside it: those go the plain way.
            done = [(tuple(q), n, s) for q, n, s in zip(paths, news, spans, strict=True)]
            rest = [f for f in found.values() if f.path not in filled]
            if rest:
                done = self._kept(t, _outermost([*done, *self._plain(t, rest)]), rest, left_alone)
                done = self._statements_kept(t, done, left_alone)
            return self._expanded(t, s, done, left_alone)
        plain = list(found.values())
        done = self._kept(t, _outermost(self._plain(t, plain)), plain, left_alone)
        return self._expanded(t, s, self._statements_kept(t, done, left_alone), left_alone)

    def _statements_kept(self, t: KTerm, fixes: list[Fix], left_alone: list[str] | None) -> list[Fix]:
        """``fixes`` each ending a statement where the language ends it, but those
        that would run on into the next line or take away a statement what holds
        it needs (``kovel.quasi.match.statements_kept``), left out."""
        if not fixes:
            return fixes
        spans = [x[2] for x in fixes]
        ended, _, dropped = statements_kept(
            self.config.language, str(t), spans, [x[1] for x in fixes], left_alone
        )
        return [(q, ended[k], span) for k, (q, _, span) in enumerate(fixes) if k not in dropped]

    def _expanded(self, t: KTerm, s: Search, fixes: list[Fix], left_alone: list[str] | None) -> list[Fix]:
        """``fixes`` with their spans taking in the sibling before and the one
        after the match where the rule's ``expand_start`` and ``expand_end``
        match it (a list item's comma, say), as ast-grep takes one: the next one
        is no separator, though `regex: ','` may find one in its text."""
        before, after = self._expand
        if before is None and after is None:
            return self._nothing_stranded(t, fixes, left_alone)
        out: list[Fix] = []
        grown: dict[Path, tuple[Path, int]] = {}  # a grown fix's parent, and the first sibling it keeps
        for path, new, (a, b) in fixes:
            if path:
                parent, i = path[:-1], path[-1]
                kids = s.kids(parent)
                first = last = i
                if (
                    before is not None
                    and first > 0
                    and s.check(before, (*parent, first - 1), kids[first - 1], {}) is not None
                ):
                    first -= 1
                if (
                    after is not None
                    and last + 1 < len(kids)
                    and s.check(after, (*parent, last + 1), kids[last + 1], {}) is not None
                ):
                    last += 1
                if (first, last) != (i, i):
                    a = min(a, s.span((*parent, first))[0])
                    b = max(b, s.span((*parent, last))[1])
                    grown[path] = (parent, first)
            out.append((path, new, (a, b)))
        if not grown:
            return self._nothing_stranded(t, out, left_alone)
        out = self._containers_kept(t, s, _outermost(out), grown, left_alone)
        # What stands around a grown span is not what stood around the match: read it again.
        single = self._template is not None and self._template.single
        landings = [Landing(k, new, single) for k, (_, new, _) in enumerate(out) if str(new)]
        return self._nothing_stranded(t, self._landed(t, out, landings, left_alone), left_alone)

    def _nothing_stranded(self, t: KTerm, fixes: list[Fix], left_alone: list[str] | None) -> list[Fix]:
        """``fixes`` but those that take a list's item out and leave its place
        between two commas (``kovel.quasi.inplace.elisions_made``), and those
        that leave the attribute before the match on other code
        (``kovel.quasi.attributes.attributes_stranded``): each is left out,
        why added to ``left_alone`` (without it, ``MisreadError``)."""
        if not fixes:
            return fixes
        text = str(t)
        spans = [x[2] for x in fixes]
        bodies = [str(x[1]) for x in fixes]
        holes = (
            elisions_made(text, spans, bodies, [self._a_type_member(t, q) for q, _, _ in fixes])
            if not all(b.strip() for b in bodies)
            else []
        )
        left = leave_out(holes, lambda k: elision_misread(text, spans[k]), left_alone)
        stranded = attributes_stranded(self.config.language, text, spans, bodies)
        left |= leave_out(stranded, lambda k: attribute_misread(text, spans[k]), left_alone)
        return [f for k, f in enumerate(fixes) if k not in left]

    def _a_type_member(self, t: KTerm, path: Path) -> bool:
        """Whether the node at ``path`` is a member of a TypeScript type (an
        interface's, a type literal's), which takes no empty member."""
        if self.config.language not in ("typescript", "tsx") or not path:
            return False
        for i in path[:-1]:
            t = _native.children(t)[i]
        return _native.tag(t) in ("object_type", "interface_body")

    def _containers_kept(
        self,
        t: KTerm,
        s: Search,
        fixes: list[Fix],
        grown: Mapping[Path, tuple[Path, int]],
        left_alone: list[str] | None,
    ) -> list[Fix]:
        """``fixes``, where each grown one leaves the node holding it of its kind:
        taking ``2`` and the comma before it out of ``(1, 2)`` leaves ``(1)``, no
        tuple.  A deletion that would is made without the siblings taken in
        before the match, when that keeps the kind (``(1,)``); any other is left
        out, why added to ``left_alone`` (without it, ``MisreadError``)."""
        text = str(t)

        def changed(fs: list[Fix], why: list[str] | None) -> set[int]:
            held = {
                k: (s.span(grown[q][0]), _native.tag(s.node(grown[q][0])))
                for k, (q, _, _) in enumerate(fs)
                if q in grown
            }
            spans, bodies = [x[2] for x in fs], [str(x[1]) for x in fs]
            return leave_misread(self.config.language, text, spans, bodies, held, why)

        wrong = changed(fixes, [])
        for k in wrong:
            q, new, (a, b) = fixes[k]
            parent, first = grown[q]
            if not str(new) and first < q[-1]:
                fixes[k] = (q, new, (s.span((*parent, q[-1] - 1))[1], b))
        wrong = changed(fixes, left_alone) if wrong else wrong
        return [f for k, f in enumerate(fixes) if k not in wrong]

    def _kept(
        self, t: KTerm, fixes: list[Fix], plain: list[Found], left_alone: list[str] | None
    ) -> list[Fix]:
        """``fixes``, those made the plain way (from ``plain``) parenthesised where the
        code around them would read them otherwise (``kovel.quasi.inplace``)."""
        matched = {f.path: f.term for f in plain}
        kinds = KnownKinds(self.config.language)
        single = self._template is not None and self._template.single
        landings = [
            Landing(i, new, single)
            for i, (q, new, _) in enumerate(fixes)
            if q in matched and not same_shape(matched[q], new, kinds)
        ]
        return self._landed(t, fixes, landings, left_alone)

    def _landed(
        self, t: KTerm, fixes: list[Fix], landings: list[Landing], left_alone: list[str] | None
    ) -> list[Fix]:
        """``fixes``, each of ``landings`` parenthesised where the code around it would
        read it otherwise (``kovel.quasi.inplace``); one that cannot be is left out
        when ``left_alone`` is given."""
        if not landings:
            return fixes
        news, left = kept_or_left(
            self.config.language,
            str(t),
            [s for _, _, s in fixes],
            [n for _, n, _ in fixes],
            landings,
            left_alone,
        )
        return [(q, n, s) for k, ((q, _, s), n) in enumerate(zip(fixes, news, strict=True)) if k not in left]

    def rewrite(self, t: KTerm, replacement: object = None, left_alone: list[str] | None = None) -> KTerm:
        """``t`` with every outermost match fixed (``replacement`` is ignored: the rule's fix is used).
        A fix the code around it would read otherwise raises ``MisreadError``;
        given ``left_alone``, that match stays as it is, and why is added to the list."""
        fixes = self.fixes(t, left_alone=left_alone)
        if not fixes:
            return t
        if self._expand != (None, None):
            # A fix that takes in siblings replaces text, not one node: the result is parsed again.
            return parse(
                self.config.language, _spliced(str(t), [(a, b, str(new)) for _, new, (a, b) in fixes])
            )
        return _native.replace_all(t, [f[0] for f in fixes], [f[1] for f in fixes])

    def texts(self, f: Found, names: Collection[str] | None = None) -> dict[str, str]:
        """The texts of a match's metavariables, as they stand in the source, and
        of the rule's transforms of them: what a message names.  With ``names``
        (those a message asks for), the transforms are worked out only when one
        of them is asked for: a rewriter may go over the whole match.

        >>> from kovel.rules import Convert, Rule, RuleConfig
        >>> from kovel.treesitter import parse
        >>> m = matcher(RuleConfig("r", "python", Rule(pattern="$F(1)"), transform={"U": Convert("$F", "upperCase")}))
        >>> m.texts(next(m.find_all(parse("python", "log(1)\\n"))))
        {'F': 'log', 'U': 'LOG'}
        """
        wanted = names is None or any(k.lstrip("$") in names for k in self.config.transform)
        return self._texts(f, f.bindings, wanted)

    def _values(self, f: Found) -> dict[str, str]:
        return self._texts(f, f.values, True)

    def _texts(self, f: Found, of: Mapping[str, Binding], transformed: bool) -> dict[str, str]:
        texts = {k: text_of(v) for k, v in of.items()}
        if not transformed:
            return texts
        for name, tr in self._transforms:
            if isinstance(tr, Rewrite):
                texts[name.lstrip("$")] = self._rewritten(tr, f, tr.source.lstrip("$"))
            else:
                texts[name.lstrip("$")] = apply(tr, texts)
        return texts

    def _rewritten(self, tr: Rewrite, f: Found, name: str) -> str:
        """The text of the value of ``name`` in ``f`` (a node, or a run of them) with ``tr``'s rewriters applied."""
        v = f.values.get(name)
        if v is None:
            return ""
        if isinstance(v, KTerm):
            return self._rewrite_one(tr, v, f.tree_node(name))
        items = list(v)
        raw = v.raw if isinstance(v, Siblings) else None
        if tr.join_by is None and raw is not None:
            # Each node rewritten where it stands in the run, what stood between
            # them kept (comments too).  The run's nodes are its children that
            # are no tokens, in order (a node of several lines was made anew,
            # dedented, so it is found by its place, not by identity).
            pieces = [
                (a, b, self._rewrite_one(tr, node, f.tree_node(name, k)))
                for k, (where, node, a, b) in enumerate(
                    x for x in _native.walk(raw, True) if len(x[0]) == 1 and not _native.is_token(x[1])
                )
            ]
            if len(pieces) == len(items):
                return _spliced(str(raw), pieces)
        return (" " if tr.join_by is None else tr.join_by).join(
            self._rewrite_one(tr, x, f.tree_node(name, k)) for k, x in enumerate(items)
        )

    def _rewrite_one(self, tr: Rewrite, t: KTerm, node: Any) -> str:
        """``t``'s text with ``tr``'s rewriters applied; ``node``, where ``t`` stands in its
        file's tree (or None), gives the fields a rewriter's rule may ask for."""
        if node is not None and (node.type != _native.tag(t) or node.child_count != len(_native.children(t))):
            node = None  # (a value made anew: its own text is read)
        # Every rewriter's fixes over the node; the outermost wins, then the first rewriter.
        fixes = sorted(
            (a, -b, order, str(new))
            for order, name in enumerate(tr.rewriters)
            for m in [self._rewriters.get(name)]
            for _, new, (a, b) in m.fixes(t, m.search(t, top=node))
        )
        return _spliced(str(t), [(a, -nb, made) for a, nb, _, made in fixes])

    def _fill(self, f: Found, whole_line: bool = False) -> KTerm:
        assert self._template is not None
        tpl = self._template_whole if whole_line and self._template_whole is not None else self._template
        filled = fitted(tpl, _native.tag(f.term))  # a type, by the template read as a type
        values: dict[str, Any] = {}
        texts: dict[str, str] | None = None
        runs = filled.runs
        for h in filled.holes:
            v: Any = f.values.get(h) if h not in self.config.transform else None
            if isinstance(v, KTerm):
                values[h] = (v,) if h in runs else v  # one node is a run of one
            elif v is not None and h in runs:
                values[h] = v
            elif v is not None and h not in self.config.transform:
                values[h] = one_value(self.config.language, v)  # a run where one node goes
            else:
                # A transform's text, or a name this match left unbound (nothing):
                # made text, read as whatever it parses as where it lands.
                if texts is None:
                    texts = self._values(f)
                made = texts.get(h, "")
                value = made_text(self.config.language, made)
                if h in runs:
                    values[h] = (value,) if made else ()
                else:
                    values[h] = value
        # A term put inside a string literal is its text there (made text escaped).
        if self._links is None:  # (worked out once: a fix is filled for every match)
            self._links = frozenset().union(*(p.chain_links for p in self.patterns))
        return filled.fill(**bound_texts(values, self._literals(), filled, self._links))

    def _literals(self) -> dict[str, frozenset[str | None]]:
        """Where the rule's patterns take each metavariable from (see ``Pattern.literals``)."""
        if self._taken is None:
            taken: dict[str, frozenset[str | None]] = {}
            for p in self.patterns:
                for name, openers in p.literals.items():
                    taken[name] = taken.get(name, frozenset()) | openers
            self._taken = taken
        return self._taken

    def _plain(self, t: KTerm, found: list[Found]) -> list[Fix]:
        """Fixes without a pattern's rewrite: the template filled (or the fix text
        filled), later lines indented as the match's first."""
        text = str(t)
        out: list[Fix] = []
        for f in found:
            indent = _indent(text, f.span[0])
            whole_line = f.span[1] == len(text) or text[: f.span[1]].endswith("\n")
            if self._template is not None:
                new = self._fill(f, whole_line)
                if indent and "\n" in str(new):
                    new = tb(_native.tag(f.term)).p(indent).c(new).x().b()
            else:
                texts = self._values(f)
                fix = self.config.fix if whole_line else self._fix
                assert fix is not None
                body = _META.sub(_substitute(texts), fix)
                # A leaf's own line breaks take no pushed indentation: put it in the text.
                new = leaf(_native.tag(f.term), body.replace("\n", "\n" + indent))
            if not str(new).strip():
                # (A body's one statement deleted: the next would take its place.)
                new = emptied_statement(self.config.language, t, f.path, f.term) or new
            if not f.path and f.span[0]:
                # The file's node keeps the text before its first node (a byte order mark).
                new = tb(_native.tag(f.term)).c(leaf("", text[: f.span[0]])).c(new).b()
                out.append((f.path, new, (0, f.span[1])))
                continue
            out.append((f.path, new, f.span))
        return out


def _comments_kept(f: Found, new: KTerm) -> None:
    """``MisreadError`` where the fix ``new`` of the match ``f`` leaves out a
    comment the match holds outside what its metavariables bound (see
    ``kovel.quasi.match.comment_dropped``)."""
    dropped = comment_dropped(f.term, f.bindings, str(new))
    if dropped is not None:
        raise dropped


def _without_last_line_break(fix: str) -> str:
    """``fix`` without the one line break it may end with.

    >>> _without_last_line_break("bar($A)\\n"), _without_last_line_break("a\\r\\n\\n")
    ('bar($A)', 'a\\r\\n')
    """
    return fix[:-2] if fix.endswith("\r\n") else fix.removesuffix("\n")


def _indent(text: str, at: int) -> str:
    """The indentation of the line holding offset ``at``."""
    start = text.rfind("\n", 0, at) + 1
    m = re.match(r"[ \t]*", text[start:at])
    return m.group() if m else ""


def _substitute(texts: dict[str, str]) -> Callable[[re.Match[str]], str]:
    return lambda g: texts.get(g.group(1) or g.group(2), "")


def _spliced(text: str, pieces: list[tuple[int, int, str]]) -> str:
    """``text`` with each ``(start, end, new)`` of ``pieces`` (in order) put in place
    of its span; a piece starting inside one put in before it is left out.

    >>> _spliced("f(a, b)", [(2, 3, "x"), (2, 6, "no"), (5, 6, "y")])
    'f(x, y)'
    """
    parts: list[str] = []
    at = 0
    for a, b, new in pieces:
        if a < at:
            continue
        parts += (text[at:a], new)
        at = b
    return "".join(parts) + text[at:]


def _outermost(fixes: list[Fix]) -> list[Fix]:
    """Fixes in document order, dropping any inside an earlier one."""
    out: list[Fix] = []
    for fx in sorted(fixes, key=lambda x: (x[2][0], -x[2][1])):
        if out and fx[2][0] < out[-1][2][1]:
            continue
        out.append(fx)
    return out


class _Rewriters:
    """The rewriters of one rule, by id, each compiled the first time it is asked for."""

    __slots__ = ("configs", "made")

    def __init__(self, configs: dict[str, RuleConfig]) -> None:
        self.configs = configs
        self.made: dict[str, Matcher] = {}

    def get(self, name: str) -> Matcher:
        m = self.made.get(name)
        if m is None:
            m = self.made[name] = Matcher(self.configs[name], _siblings=self)
        return m


def matcher(config: RuleConfig) -> Matcher:
    """Compile ``config`` into a ``Matcher``.

    Raises ``SyntaxError`` for a pattern that does not parse in the rule's
    language, ``re.error`` for a bad regular expression.

    >>> from kovel.rules import Rule, RuleConfig
    >>> matcher(RuleConfig("r", "python", Rule(kind="call"))).words
    frozenset()
    """
    m = _made(config)
    # Kept for the tasks that carry it: a worker forked from here has it compiled.
    _REVIVED.setdefault(repr(config), m)
    return m


_REVIVED: dict[str, Matcher] = {}


def _made(config: RuleConfig) -> Matcher:
    try:
        return Matcher(config)
    except RecursionError:  # (utility rules naming one another a thousand deep)
        raise ValueError("its rules nest too deeply") from None


def _transforms_below(name: str, sources: Mapping[str, str]) -> int:
    """How many transforms lie between the transform ``name`` and the
    metavariable its chain of ``sources`` starts from (none loops: checked)."""
    count, at = 0, sources[name.lstrip("$")]
    while at in sources:
        count, at = count + 1, sources[at]
    return count


def _util_cycle(utils: Mapping[str, Compiled]) -> list[str]:
    """A chain of utility rules that comes back to its first (each naming the
    next with ``matches`` at the node it judges), or an empty list: matching
    one would never end.  (A chain through the nodes around, `has` a node that
    matches it, ends: there are only so many nodes.)

    >>> from kovel.rules import Rule
    >>> from kovel.rules.engine import compile_rule
    >>> _util_cycle({"a": compile_rule("python", Rule(matches="b")), "b": compile_rule("python", Rule(matches="a"))})
    ['a', 'b', 'a']
    """
    named = {k: sorted(utils_named(v, here=True) & utils.keys()) for k, v in utils.items()}
    done: set[str] = set()

    def walk(k: str, path: list[str]) -> list[str]:
        if k in path:
            return [*path[path.index(k) :], k]
        if k in done:
            return []
        for n in named[k]:
            found = walk(n, [*path, k])
            if found:
                return found
        done.add(k)
        return []

    for k in sorted(named):
        found = walk(k, [])
        if found:
            return found
    return []


def compiled(config: RuleConfig) -> Matcher:
    """The ``Matcher`` of ``config`` in this process, compiled the first time it is
    asked for (here, or by ``matcher``) and kept: each task of a batch carries its
    rules, which a worker compiles only once.  Raises as ``matcher`` does.

    >>> from kovel.rules import Rule, RuleConfig
    >>> c = RuleConfig("r", "python", Rule(kind="call"))
    >>> compiled(c) is compiled(c)
    True
    """
    # A batch sends a worker its config objects once, then names them with every
    # task: known by identity (the entry holds the object, so its id stays its
    # own), a config is not spelled out again for each.
    seen = _SEEN.get(id(config))
    if seen is not None and seen[0] is config:
        return seen[1]
    key = repr(config)
    got = _REVIVED.get(key)
    if got is None:
        got = _REVIVED[key] = _made(config)
    if len(_SEEN) >= 4096:
        _SEEN.clear()
    _SEEN[id(config)] = (config, got)
    return got


_SEEN: dict[int, tuple[RuleConfig, Matcher]] = {}


def precompile(config: RuleConfig) -> None:
    """Compile ``config`` in this process for later tasks (``compiled``), sending
    nothing back: how a pool's worker checks a rule, and gets it ready, under a
    time limit.  Raises as ``matcher`` does.

    >>> from kovel.rules import Rule, RuleConfig
    >>> precompile(RuleConfig("r", "python", Rule(pattern="f(")))
    Traceback (most recent call last):
    ...
    SyntaxError: ...
    """
    compiled(config)
