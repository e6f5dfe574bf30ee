"""Patterns: matching code written with metavariables against terms.

A pattern node matches a term node of the same tag whose children match the
pattern's children in order; a token matches a token of the same tag and
text; ``$NAME`` matches any one node and ``$$$NAME`` any run of siblings.
Layout (the text between children) is ignored, and so are separator and
keyword tokens of the term that the pattern does not mention (a trailing
comma, ``async``) and comments, like ast-grep's default "smart" strictness.  Quote and
unquote nodes of the term are looked through.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from kovel._kovel import KTerm, tb
from kovel._quasi_fill import Siblings
from kovel._quasi_parse import Meta, SHole, SNode, parse_quasi

if TYPE_CHECKING:
    from kovel.quasi import Template

__all__ = ["Match", "Pattern", "pattern"]

Binding = KTerm | list[KTerm]
Path = tuple[int, ...]


@dataclass(frozen=True, slots=True)
class _PHole:
    meta: Meta


@dataclass(frozen=True, slots=True)
class _PLeaf:
    kind: str
    text: str


@dataclass(frozen=True, slots=True)
class _PNode:
    kind: str
    children: tuple[_PItem, ...]


_PItem = _PHole | _PLeaf | _PNode


def _compile(n: SNode | SHole) -> _PItem:
    if isinstance(n, SHole):
        return _PHole(n.meta)
    if n.leaf:
        text = n.items[0] if n.items else ""
        assert isinstance(text, str)
        return _PLeaf(n.kind, text)
    return _PNode(n.kind, tuple(_compile(i) for i in n.items if not isinstance(i, str)))


@dataclass(frozen=True, slots=True)
class Match:
    """One match of a pattern in a term.

    ``term`` is the matched node, ``path`` its position (as
    ``kovel.tree.walk`` gives it), ``span`` its ``(start, end)`` in
    ``str(root)`` and ``bindings`` the values of the named metavariables,
    keyed like ``Template.fill``: a term for ``$NAME``, a list of terms for
    ``$$$NAME``.

    >>> from kovel.treesitter import parse
    >>> m = next(pattern("python", "$F($X)").find_all(parse("python", "g(1)\\n")))
    >>> m.path, m.span, {k: str(v) for k, v in m.bindings.items()}
    ((0, 0), (0, 4), {'F': 'g', 'X': '1'})
    """

    term: KTerm
    path: Path
    span: tuple[int, int]
    bindings: dict[str, Binding]


_COMMENTS = frozenset({"comment", "line_comment", "block_comment"})


def _token(t: KTerm, tree: _Tree) -> bool:
    # A token the grammar names by its text (punctuation, keywords): a
    # childless node whose tag is its text. Comments are skipped like them.
    tag = tree.tag(t)
    return tag in _COMMENTS or (not tree.children(t) and tag == str(t))


class _Tree:
    """The readers of kovel.tree, bound once (the module is imported lazily)."""

    def __init__(self) -> None:
        from kovel import tree

        self.tag = tree.tag
        self.children = tree.children
        self.kind = tree.kind
        self.equal = tree.equal
        self.commands = tree.commands
        self.node = tree.node
        self.find_all = tree.find_all
        self.walk = tree.walk
        self.replace = tree.replace
        self.rewrite = tree.rewrite


_tree: _Tree | None = None


def _t() -> _Tree:
    global _tree
    if _tree is None:
        _tree = _Tree()
    return _tree


class _Matcher:
    def __init__(self, tree: _Tree) -> None:
        self.tree = tree
        self.env: dict[str, Binding] = {}
        self.runs: dict[str, tuple[KTerm, int, int]] = {}  # $$$ name -> (parent, start, stop)

    def inner(self, t: KTerm) -> KTerm:
        tr = self.tree
        while tr.kind(t) != "tuple":
            t = tr.children(t)[0]
        return t

    def node(self, p: _PItem, t: KTerm) -> bool:
        tr = self.tree
        t = self.inner(t)
        if isinstance(p, _PHole):
            name = p.meta.name
            if name is None:
                return True
            bound = self.env.get(name)
            if bound is None:
                self.env[name] = t
                return True
            return isinstance(bound, KTerm) and tr.equal(bound, t)
        if tr.tag(t) != p.kind:
            return False
        kids = tr.children(t)
        if isinstance(p, _PLeaf):
            return not kids and str(t) == p.text
        return self.seq(p.children, 0, t, kids, 0)

    def seq(self, ps: tuple[_PItem, ...], i: int, parent: KTerm, ts: tuple[KTerm, ...], j: int) -> bool:
        tr = self.tree
        if i == len(ps):
            return all(_token(x, tr) for x in ts[j:])
        p = ps[i]
        if isinstance(p, _PHole) and p.meta.seq:
            # Longest run first, so a trailing separator stays in the run.
            for k in range(len(ts), j - 1, -1):
                saved = dict(self.env)
                if self.bind_run(p.meta, parent, ts, j, k) and self.seq(ps, i + 1, parent, ts, k):
                    return True
                self.env = saved
            return False
        if j >= len(ts):
            return False
        saved = dict(self.env)
        if self.node(p, ts[j]) and self.seq(ps, i + 1, parent, ts, j + 1):
            return True
        self.env = saved
        # A token of the term that the pattern does not mention may be skipped.
        return _token(ts[j], tr) and self.seq(ps, i, parent, ts, j + 1)

    def bind_run(self, meta: Meta, parent: KTerm, ts: tuple[KTerm, ...], j: int, k: int) -> bool:
        if meta.name is None:
            return True
        tr = self.tree
        items = [self.inner(x) for x in ts[j:k] if not _token(x, tr)]
        bound = self.env.get(meta.name)
        if bound is not None:
            return (
                isinstance(bound, list)
                and len(bound) == len(items)
                and all(tr.equal(a, b) for a, b in zip(bound, items, strict=True))
            )
        self.env[meta.name] = Siblings(items, _run(tr, parent, ts, j, k))
        return True


def _run(tr: _Tree, parent: KTerm, ts: tuple[KTerm, ...], j: int, k: int) -> KTerm:
    """Children j..k-1 of `parent` with the layout that stood between them."""
    if j == k:
        return tb(tr.tag(parent)).b()
    cmds = tr.commands(parent)
    out: list[tuple[str, str]] = []
    hole = -1
    for op, text in cmds:
        if op == "hole":
            hole += 1
            if hole >= k:
                break
            if hole >= j:
                out.append((op, text))
        elif j <= hole < k - 1:
            out.append((op, text))
    return tr.node(tr.tag(parent), ts[j:k], out)


def _dedent(tr: _Tree, t: KTerm, indent: str) -> KTerm:
    """`t` with `indent` taken off the start of every line after its first.

    Terms parsed from source carry the absolute indentation of their later
    lines; a value moved elsewhere takes the indentation of its new place
    (a pushed prefix) and keeps only what it had relative to its first line.
    """
    if not indent or "\n" not in str(t):
        return t

    def fix(n: KTerm) -> KTerm | None:
        cmds = tr.commands(n)
        if not any(op == "nl" for op, _ in cmds):
            return None
        out = list(cmds)
        changed = False
        for i in range(1, len(out)):
            op, text = out[i]
            if op == "write" and out[i - 1][0] == "nl" and text.startswith(indent):
                out[i] = (op, text[len(indent) :])
                changed = True
        if not changed:
            return None
        if tr.kind(n) == "tuple":
            return tr.node(tr.tag(n), tr.children(n), out)
        return None

    return tr.rewrite(t, fix)


def _line_indent(text: str, offset: int) -> str:
    start = text.rfind("\n", 0, offset) + 1
    line = text[start:offset]
    return line[: len(line) - len(line.lstrip(" \t"))]


class Pattern:
    """Code with metavariables in one language; it finds and rewrites terms.

    Made by ``pattern(lang, code)``.

    >>> from kovel.treesitter import parse
    >>> p = pattern("python", "$X == None")
    >>> [str(m.term) for m in p.find_all(parse("python", "if a == None or b == c:\\n    pass\\n"))]
    ['a == None']
    """

    __slots__ = ("_root", "code", "lang")

    def __init__(self, lang: str, code: str) -> None:
        sk = parse_quasi(lang, code)
        root = sk.root
        if isinstance(root, SNode) and not root.leaf and not root.named and root.kind == "":
            raise ValueError(f"pattern {code!r} is empty")
        self.lang: str = lang
        self.code: str = code
        self._root: _PItem = _compile(root)

    def __repr__(self) -> str:
        return f"pattern({self.lang!r}, {self.code!r})"

    def _candidates(self, t: KTerm) -> Iterator[tuple[Path, KTerm, int, int]]:
        tr = _t()
        root = self._root
        if isinstance(root, _PHole):
            return tr.walk(t, spans=True)
        return tr.find_all(t, root.kind, spans=True)

    def find_all(self, t: KTerm) -> Iterator[Match]:
        """Yield every match in ``t``, in document order (nested matches included).

        >>> from kovel.treesitter import parse
        >>> p = pattern("python", "$A + $A")
        >>> [str(m.term) for m in p.find_all(parse("python", "x + x\\ny + z\\n"))]
        ['x + x']
        """
        tr = _t()
        root = self._root
        text: str | None = None
        for path, node, start, end in self._candidates(t):
            if tr.kind(node) != "tuple":
                continue
            m = _Matcher(tr)
            if not m.node(root, node):
                continue
            env = m.env
            if any("\n" in str(_raw(v)) for v in env.values()):
                if text is None:
                    text = str(t)
                env = _normalise(tr, env, node, text, start)
            yield Match(node, path, (start, end), env)

    def rewrite(self, t: KTerm, replacement: Template | Callable[[Match], KTerm]) -> KTerm:
        """Replace every match in ``t`` (outermost first, no overlaps) and return the new term.

        ``replacement`` is a ``Template``, filled with each match's bindings,
        or a function from the ``Match`` to its replacement term. Text outside
        the matches is unchanged and unchanged subterms are shared. A
        replacement of several lines gets the indentation of the line where
        its match starts on each later line.

        >>> from kovel.treesitter import parse
        >>> from kovel.quasi import template
        >>> src = parse("python", "def f():\\n    x = a == None\\n")
        >>> print(pattern("python", "$X == None").rewrite(src, template("python", "$X is None")), end="")
        def f():
            x = a is None
        """
        from kovel.quasi import Template

        tr = _t()
        out = t
        text: str | None = None
        last: Path | None = None
        for m in self.find_all(t):
            if last is not None and m.path[: len(last)] == last:
                continue  # inside the previous match
            last = m.path
            if isinstance(replacement, Template):
                new = replacement.fill(**m.bindings)
            else:
                new = replacement(m)
                if not isinstance(new, KTerm):
                    raise TypeError(f"rewrite function returned {type(new).__name__}, not KTerm")
            if "\n" in str(new):
                if text is None:
                    text = str(t)
                indent = _line_indent(text, m.span[0])
                if indent:
                    new = tb(tr.tag(m.term)).p(indent).c(new).x().b()
            out = tr.replace(out, m.path, new)
        return out


def _raw(v: Binding) -> KTerm:
    if isinstance(v, Siblings) and v.raw is not None:
        return v.raw
    assert isinstance(v, KTerm)
    return v


def _normalise(tr: _Tree, env: dict[str, Binding], node: KTerm, text: str, start: int) -> dict[str, Binding]:
    """Dedent multi-line bindings by the indentation of the line each starts on."""
    firsts: dict[str, KTerm] = {}
    for k, v in env.items():
        if isinstance(v, Siblings):
            kids = tr.children(v.raw) if v.raw is not None else ()
            if kids:
                firsts[k] = kids[0]
        else:
            assert isinstance(v, KTerm)
            firsts[k] = v
    offsets: dict[str, int] = {}
    for _path, n, s, _e in tr.walk(node, spans=True):
        for k, w in firsts.items():
            if k not in offsets and _same(n, w):
                offsets[k] = start + s
        if len(offsets) == len(firsts):
            break
    out: dict[str, Binding] = {}
    for k, v in env.items():
        indent = _line_indent(text, offsets.get(k, start))
        if isinstance(v, Siblings):
            raw = _dedent(tr, v.raw, indent) if v.raw is not None else None
            out[k] = Siblings([_dedent(tr, x, indent) for x in v], raw)
        else:
            assert isinstance(v, KTerm)
            out[k] = _dedent(tr, v, indent)
    return out


def _same(a: KTerm, b: KTerm) -> bool:
    from kovel.tree import same

    return same(a, b)


def pattern(lang: str, code: str) -> Pattern:
    """Parse ``code`` (one node, with metavariables) in language ``lang`` into a ``Pattern``.

    Raises ``SyntaxError`` naming the line and column when the code does not
    parse.

    >>> pattern("javascript", "console.log($$$ARGS)")
    pattern('javascript', 'console.log($$$ARGS)')
    """
    if not isinstance(lang, str) or not isinstance(code, str):
        raise TypeError("pattern(lang, code) takes two str")
    return Pattern(lang, code)
