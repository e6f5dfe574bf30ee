"""Syntax trees into terms: ``parse``, ``parse_with_errors``, ``from_tree`` and ``from_node``.

The rules that turn a node's text into a term's layout are those of
``kovel.treesitter.layout``.  ``parse`` and ``parse_with_errors`` parse with
the tree-sitter runtime linked into kovel's extension and convert the tree
there (``kovel._native.ts_parse``), without the GIL and without a Python
object per node.  ``from_tree`` and ``from_node`` take py-tree-sitter's trees
and walk them with their cursor (``kovel._native.convert``), driven through
its Python objects.  The tests keep the same walk in Python as the reference
both native walks are checked against byte for byte.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Collection, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from kovel import _native
from kovel._kovel import KTerm, from_postcard_bytes
from kovel.treesitter.grammars import capsule, language, language_name, parser
from kovel.treesitter.layout import CODE_KINDS, VERBATIM_KINDS, inside_literal, kinds
from kovel.treesitter.timeout import Overrun, run_limited

if TYPE_CHECKING:
    from tree_sitter import Language, Node, Tree

__all__ = [
    "Parsed",
    "Source",
    "from_node",
    "native_grammar",
    "from_tree",
    "parse",
    "parse_with_errors",
    "syntax_errors",
    "tree_errors",
]

#: What ``parse``, ``from_tree`` and ``from_node`` accept as source: a ``str``
#: or any bytes-like object (UTF-8).
Source = str | bytes | bytearray | memoryview


def parse(
    lang: Language | str,
    source: Source,
    verbatim: Collection[str] = VERBATIM_KINDS,
    *,
    code: Collection[str] = CODE_KINDS,
    timeout: float | None = None,
) -> KTerm:
    """Parse ``source`` with the grammar ``lang`` and return its term.

    ``lang`` is a ``tree_sitter.Language`` or a grammar name (see
    ``language``).  ``source`` is a ``str`` or a bytes-like object holding
    UTF-8; anything else raises ``TypeError``.  The term renders back to
    exactly ``source``.  Raises ``ValueError`` if the bytes are not valid
    UTF-8.  ``verbatim`` and ``code`` adjust which kinds are literals (see
    ``kovel.treesitter.layout``).

    ``timeout`` (seconds) bounds the time spent parsing: past it ``parse``
    raises ``TimeoutError``.  Some grammars loop forever on a few bytes inside
    their scanner, where the parser cannot stop them, so a parse with a time
    limit runs in a worker process that is killed when it overruns; ``lang``
    is then a name, or a ``Language`` that ``language`` returned.

    >>> str(parse("python", "x = 1\\n", timeout=30))
    'x = 1\\n'
    """
    data, text = _decode(source)
    lang = language(lang)
    if timeout == math.inf:
        timeout = None  # no limit
    if timeout is not None:
        name = language_name(lang)
        if name is None:
            raise ValueError("parse with a timeout needs the grammar by name, or a Language from language()")
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        # The worker stops the parse at the limit itself; it is killed only when
        # no reply comes well after it (a grammar stuck where nothing checks the clock).
        try:
            postcard = run_limited(
                2 * timeout + 1, _parse_to_postcard, name, data, frozenset(verbatim), frozenset(code), timeout
            )
        except Overrun:
            raise TimeoutError(f"parsing took longer than {timeout:g} s (the grammar did not stop)") from None
        return from_postcard_bytes(postcard)
    return _parse_bytes(lang, data, frozenset(verbatim), frozenset(code), None).term


@dataclass(frozen=True, slots=True)
class Parsed:
    """A parsed source: its ``term``, and the byte ranges of the tree's error and
    missing nodes (``errors``; an error node's inside is not searched); ``tree``
    is the syntax tree when ``parse_with_errors`` was asked to keep it, for
    ``syntax_errors`` to reparse an edit of the source with.

    >>> parse_with_errors("python", b"x = (\\n").errors
    ((0, 5),)
    """

    term: KTerm
    errors: tuple[tuple[int, int], ...]
    tree: object = field(default=None, compare=False, repr=False)


def parse_with_errors(
    lang: Language | str,
    source: Source,
    verbatim: Collection[str] = VERBATIM_KINDS,
    *,
    code: Collection[str] = CODE_KINDS,
    timeout: float | None = None,
    keep_tree: bool = False,
) -> Parsed:
    """Parse ``source`` as ``parse`` does, in this process, and say where the
    syntax errors are; ``keep_tree`` keeps the syntax tree in the result.

    ``timeout`` (seconds) is checked by the parser as it goes: past it this
    raises ``TimeoutError``.  A grammar stuck inside its own scanner never
    checks, so a caller that must survive one watches from another process
    (``parse`` with a timeout, or the pool of ``kovel.batch``).

    >>> p = parse_with_errors("python", "print(1\\n")
    >>> str(p.term), p.errors
    ('print(1\\n', ((0, 7),))
    """
    data, _ = _decode(source)
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    return _parse_bytes(language(lang), data, frozenset(verbatim), frozenset(code), timeout, keep_tree)


def syntax_errors(
    lang: Language | str,
    source: Source,
    *,
    timeout: float | None = None,
    previous: tuple[Parsed, bytes] | None = None,
    edits: Sequence[tuple[int, int, int]] | None = None,
) -> tuple[tuple[int, int], ...]:
    """The error spans of ``parse_with_errors`` alone: the tree is not converted.

    ``previous`` is the parse of an earlier version of the source and that
    version's UTF-8 bytes: when it kept its tree, the tree is edited to
    match and reused where the text did not change (a tree with errors is
    parsed afresh, so the spans are always those of a fresh parse).
    ``edits`` says what changed, when known: ``(start, end, length)`` in
    ascending order, bytes ``[start, end)`` of the earlier version having
    become ``length`` bytes, so that only those are parsed again (without
    it, or when it does not make the source, everything from the first
    changed byte to the last is).

    >>> syntax_errors("python", "x = (\\n"), syntax_errors("python", "x = 1\\n")
    (((0, 5),), ())
    >>> before = parse_with_errors("python", b"f(1)\\n", keep_tree=True)
    >>> syntax_errors("python", b"f(1, )\\n", previous=(before, b"f(1)\\n"), edits=[(3, 3, 2)])
    ()
    """
    data, _ = _decode(source)
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    lang = language(lang)
    grammar = capsule(lang)
    if grammar is None:
        return tree_errors(parser(lang).parse(data).root_node)
    if previous is not None and previous[0].tree is not None:
        spans = _native.ts_reparse(previous[0].tree, previous[1], data, timeout, edits)
    else:
        got = _native.ts_parse(grammar, data, None, timeout, False)
        spans = None if got is None else got[1]
    if spans is None:
        raise TimeoutError(f"parsing took longer than {timeout:g} s")
    return spans


def _parse_bytes(
    lang: Language,
    data: bytes,
    verbatim: frozenset[str],
    code: frozenset[str],
    timeout: float | None,
    keep_tree: bool = False,
) -> Parsed:
    grammar = capsule(lang)
    if grammar is None:  # a Language made elsewhere: py-tree-sitter parses it
        tree = parser(lang).parse(data)
        return Parsed(_walk(tree.walk(), data, 0, len(data), verbatim, code), tree_errors(tree.root_node))
    got = _native.ts_parse(grammar, data, _kind_flags(grammar, verbatim, code), timeout, keep_tree)
    if got is None:
        raise TimeoutError(f"parsing took longer than {timeout:g} s")
    term, errors, tree = got
    assert term is not None  # made whenever kinds are given
    return Parsed(term, errors, tree)


def native_grammar(
    lang: Language | str,
    verbatim: Collection[str] = VERBATIM_KINDS,
    *,
    code: Collection[str] = CODE_KINDS,
) -> tuple[object, bytes] | None:
    """What the extension's own parsers (``kovel._native.ts_parse`` and
    ``ts_match``) take for ``lang``: the grammar's capsule and a byte per
    symbol saying how its nodes are laid out (as ``parse`` with ``verbatim``
    and ``code`` lays them out).  None for a ``Language`` made elsewhere,
    which only py-tree-sitter parses.

    >>> capsule, kinds = native_grammar("python")
    >>> len(kinds) == len(_native.ts_symbols(capsule))
    True
    """
    grammar = capsule(language(lang))
    if grammar is None:
        return None
    return grammar, _kind_flags(grammar, frozenset(verbatim), frozenset(code))


@functools.lru_cache(maxsize=64)
def _kind_flags(grammar: Any, verbatim: frozenset[str], code: frozenset[str]) -> bytes:
    """A byte per symbol of ``grammar`` (``_native.ts_symbols``): rules 1 and 5 of its kind.
    Kept: made afresh, it would cost a small file's whole conversion."""
    known = kinds(verbatim, code)
    return bytes(
        literal | may_anchor << 1 | body << 2
        for literal, may_anchor, body in (known[name] for name in _native.ts_symbols(grammar))
    )


def tree_errors(root: Node) -> tuple[tuple[int, int], ...]:
    """The error spans of py-tree-sitter's tree under ``root``, in the order of the native search.

    >>> from kovel.treesitter.grammars import parser
    >>> tree_errors(parser("python").parse(b"x = (\\n").root_node)
    ((0, 5),)
    """
    spans = []
    stack = [root] if root.has_error else []
    while stack:
        n = stack.pop()
        if n.is_error or n.is_missing:
            spans.append((n.start_byte, n.end_byte))
        elif n.has_error:
            stack.extend(n.children)
            # A missing token the grammar hides is no child: its node counts.
            if not any(c.has_error for c in n.children):
                spans.append((n.start_byte, n.end_byte))
    return tuple(spans)


def _parse_to_postcard(
    name: str, data: bytes, verbatim: frozenset[str], code: frozenset[str], timeout: float
) -> bytes:
    # Run in a worker process: the term comes back as postcard bytes.
    return _parse_bytes(language(name), data, verbatim, code, timeout).term.postcard_bytes()


def from_tree(
    tree: Tree,
    source: Source,
    verbatim: Collection[str] = VERBATIM_KINDS,
    *,
    code: Collection[str] = CODE_KINDS,
) -> KTerm:
    """Convert a tree-sitter ``tree`` parsed from ``source`` into a term.

    The root term covers the whole of ``source``, text before the root node's
    start and after its end included, so ``str(from_tree(tree, source))``
    equals the source text.

    >>> import tree_sitter
    >>> tree = tree_sitter.Parser(language("python")).parse(b"x = 1\\n")
    >>> str(from_tree(tree, b"x = 1\\n"))
    'x = 1\\n'
    """
    data, _ = _decode(source)
    return _walk(tree.walk(), data, 0, len(data), frozenset(verbatim), frozenset(code))


def from_node(
    node: Node,
    source: Source,
    verbatim: Collection[str] = VERBATIM_KINDS,
    *,
    code: Collection[str] = CODE_KINDS,
) -> KTerm:
    """Convert one tree-sitter ``node`` (and its subtree) into a term.

    The term covers ``source[node.start_byte:node.end_byte]``; the indentation
    before the node's first line is not part of it, the indentation of its
    later lines is.  A node inside a literal (a verbatim ancestor) is
    verbatim, as it is in the term of the whole tree.

    >>> import tree_sitter
    >>> from kovel import tb
    >>> src = b"if a:\\n    f(\\n      1)\\n"
    >>> call = tree_sitter.Parser(language("python")).parse(src).root_node.children[0].children[-1]
    >>> str(tb("x").p("  ").c(from_node(call, src)).x().b())
    'f(\\n        1)'
    """
    data, _ = _decode(source)
    verbatim, code = frozenset(verbatim), frozenset(code)
    inherited = inside_literal(node, data, verbatim, code)
    return _walk(node.walk(), data, node.start_byte, node.end_byte, verbatim, code, inherited)


def _walk(
    cursor: Any,
    source: bytes,
    lo: int,
    hi: int,
    verbatim: frozenset[str],
    code: frozenset[str],
    inherited: bool = False,
) -> KTerm:
    """The term of the node under ``cursor``, made by the native walk.

    It makes the same terms as the Python reference walk of the tests; ``source`` is valid UTF-8 (``_decode`` checked it).
    """
    return _native.convert(cursor, source, lo, hi, inherited, kinds(verbatim, code))


def _decode(source: Source) -> tuple[bytes, str | None]:
    """Return (source bytes, decoded text or None).

    The text is returned only when the source is ASCII, where byte offsets
    and character offsets coincide and slices can be taken from the text.
    """
    if isinstance(source, str):
        data = source.encode("utf-8")
        return data, (source if data.isascii() else None)
    try:
        # Buffers only: bytes(5) would make five NULs, bytes([120]) an "x".
        data = source if type(source) is bytes else memoryview(source).tobytes()
    except TypeError:
        raise TypeError(
            f"source must be a str or a bytes-like object, not {type(source).__name__!r}"
        ) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(
            f"source is not valid UTF-8 ({exc.reason} at byte {exc.start}); kovel texts must be UTF-8"
        ) from None
    return data, (text if data.isascii() else None)
