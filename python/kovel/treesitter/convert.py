"""Syntax trees into terms: ``parse``, ``from_tree`` and ``from_node``.

The rules that turn a node's text into a term's layout are those of
``kovel.treesitter.layout``.  The walk is iterative (deep trees do not hit the
recursion limit) and runs in native code (``kovel._native.convert``), which
drives the tree-sitter cursor through its Python objects.  The tests keep the
same walk in Python as the reference the native one is checked against byte
for byte.
"""

from __future__ import annotations

from collections.abc import Collection
from typing import TYPE_CHECKING, Any

from kovel import _native
from kovel._kovel import KTerm, from_postcard_bytes
from kovel.treesitter.grammars import language, language_name, parser
from kovel.treesitter.layout import CODE_KINDS, VERBATIM_KINDS, inside_literal, kinds
from kovel.treesitter.timeout import Overrun, parse_until, run_limited

if TYPE_CHECKING:
    from tree_sitter import Language, Node, Tree

__all__ = ["Source", "from_node", "from_tree", "parse"]

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
    tree = parser(lang).parse(data)
    return _walk(tree.walk(), data, 0, len(data), frozenset(verbatim), frozenset(code))


def _parse_to_postcard(
    name: str, data: bytes, verbatim: frozenset[str], code: frozenset[str], timeout: float
) -> bytes:
    # Run in a worker process: the term comes back as postcard bytes.
    tree = parse_until(parser(name), data, timeout)
    return _walk(tree.walk(), data, 0, len(data), verbatim, code).postcard_bytes()


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
        data = memoryview(source).tobytes()
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
