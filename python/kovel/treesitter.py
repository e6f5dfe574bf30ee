"""Terms from real source code: a tree-sitter front end for kovel.

Parse code in any language that has a tree-sitter grammar into a kovel term
that renders back to exactly the source it came from::

    from kovel.treesitter import parse
    t = parse("python", source_bytes)
    assert str(t) == source_bytes.decode()

Needs the optional dependency ``tree-sitter`` (``pip install kovel[treesitter]``)
and a grammar package such as ``tree-sitter-python``.

How a syntax tree becomes a term:

* Every tree-sitter node becomes a tuple node whose tag is the node's kind
  (``node.type``) and whose children are the node's children, in order, with
  comments and other extras included and error and missing nodes kept as the
  tree gives them.
* The source text between and around the children (from ``node.start_byte`` to
  the first child, between children, and from the last child to
  ``node.end_byte``) becomes ``Write`` commands.  A line feed in that text
  becomes an ``NL`` command, so a fragment spliced under a pushed prefix is
  re-indented as a whole.  A carriage return before a line feed stays at the
  end of the preceding ``Write``, so CRLF text round-trips exactly.
* A node without children becomes a leaf: its whole text is one ``Write`` and
  keeps its line feeds, so the contents of a string literal or a comment never
  change when the term is re-indented.  The same holds for all the text inside
  nodes whose kind is in ``VERBATIM_KINDS`` (string literals whose content node
  has children of its own, such as Python's ``string_content`` with escape
  sequences), and inside all their descendants.
* The term made by ``from_tree`` covers the whole source, including text that
  lies before the root node's start or after its end.

The walk is iterative (deep trees do not hit the recursion limit).
"""

from __future__ import annotations

import importlib
from collections.abc import Collection
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

from kovel._kovel import Builder, KTerm, leaf, tb

if TYPE_CHECKING:
    from tree_sitter import Language, Node, Tree

# What ``parse``, ``from_tree`` and ``from_node`` accept as source: UTF-8 bytes or a ``str``.
_Source = bytes | bytearray | memoryview | str

__all__ = ["VERBATIM_KINDS", "from_node", "from_tree", "language", "parse"]

#: Kinds whose inner text is written verbatim, line feeds included, even
#: between children.  They are the literal kinds whose text must not be
#: re-indented: a prefix inserted after a line feed inside them would change
#: the value of the program.
VERBATIM_KINDS: frozenset[str] = frozenset(
    {
        # Python: string -> string_start, string_content (escape_sequence, ...),
        # interpolation, string_end.
        "string",
        "string_content",
        "concatenated_string_content",
        # JavaScript / TypeScript
        "template_string",
        "regex",
        # C / C++
        "string_literal",
        "raw_string_literal",
        "char_literal",
        "system_lib_string",
        # other grammars
        "raw_string",
        "interpreted_string_literal",
        "heredoc_body",
        "comment",
        "line_comment",
        "block_comment",
    }
)

# Grammar packages whose language function is not called ``language``:
# name -> (module, function).
_LANGUAGE_FUNCTIONS: dict[str, tuple[str, str]] = {
    "typescript": ("tree_sitter_typescript", "language_typescript"),
    "tsx": ("tree_sitter_typescript", "language_tsx"),
    "php": ("tree_sitter_php", "language_php"),
    "php_only": ("tree_sitter_php", "language_php_only"),
    "ocaml": ("tree_sitter_ocaml", "language_ocaml"),
    "ocaml_interface": ("tree_sitter_ocaml", "language_ocaml_interface"),
    "ocaml_type": ("tree_sitter_ocaml", "language_ocaml_type"),
    "xml": ("tree_sitter_xml", "language_xml"),
    "dtd": ("tree_sitter_xml", "language_dtd"),
    "markdown_inline": ("tree_sitter_markdown", "inline_language"),
}

_languages: dict[str, Language] = {}


def _tree_sitter() -> ModuleType:
    try:
        import tree_sitter
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "kovel.treesitter needs the 'tree-sitter' package: "
            "pip install 'kovel[treesitter]' and a grammar such as tree-sitter-python"
        ) from exc
    return tree_sitter


def language(name: Language | str) -> Language:
    """Return the ``tree_sitter.Language`` for ``name``.

    ``name`` is a ``tree_sitter.Language`` (returned unchanged) or the name of
    an installed grammar package without its ``tree_sitter_`` prefix, e.g.
    ``"python"`` for ``tree_sitter_python`` or ``"tsx"`` for the TSX grammar of
    ``tree_sitter_typescript``.
    """
    ts = _tree_sitter()
    if isinstance(name, ts.Language):
        return cast("Language", name)
    if not isinstance(name, str):
        raise TypeError(f"language must be a tree_sitter.Language or a str, not {type(name).__name__!r}")
    cached = _languages.get(name)
    if cached is not None:
        return cached
    key = name.lower().replace("-", "_")
    if key.startswith("tree_sitter_"):
        key = key[len("tree_sitter_") :]
    module_name, func_name = _LANGUAGE_FUNCTIONS.get(key, ("tree_sitter_" + key, "language"))
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        package = module_name.replace("_", "-")
        raise ValueError(f"no tree-sitter grammar for {name!r}: install the package {package!r}") from exc
    func = getattr(module, func_name, None)
    if func is None:
        # A package with one language function under another name.
        candidates = [f"language_{key}"] + sorted(
            a for a in dir(module) if a.startswith("language_") and callable(getattr(module, a))
        )
        for attr in candidates:
            func = getattr(module, attr, None)
            if func is not None:
                break
    if func is None:
        raise ValueError(f"grammar package {module_name!r} has no language function for {name!r}")
    lang: Language = ts.Language(func())
    _languages[name] = lang
    return lang


def parse(lang: Language | str, source: _Source, verbatim: Collection[str] = VERBATIM_KINDS) -> KTerm:
    """Parse ``source`` with the grammar ``lang`` and return its term.

    ``lang`` is a ``tree_sitter.Language`` or the name of an installed grammar
    package (see ``language``).  ``source`` is UTF-8 bytes or a ``str``.  The
    term renders back to exactly ``source``.  Raises ``ValueError`` if the
    bytes are not valid UTF-8.
    """
    ts = _tree_sitter()
    if isinstance(source, str):
        source = source.encode("utf-8")
    else:
        source = bytes(source)
    parser = ts.Parser(language(lang))
    return from_tree(parser.parse(source), source, verbatim)


def from_tree(tree: Tree, source: _Source, verbatim: Collection[str] = VERBATIM_KINDS) -> KTerm:
    """Convert a tree-sitter ``tree`` parsed from ``source`` into a term.

    The root term covers the whole of ``source``, text before the root node's
    start and after its end included, so ``str(from_tree(tree, source))``
    equals the source text.
    """
    source, text = _decode(source)
    return _convert(tree.walk(), source, text, 0, len(source), frozenset(verbatim))


def from_node(node: Node, source: _Source, verbatim: Collection[str] = VERBATIM_KINDS) -> KTerm:
    """Convert one tree-sitter ``node`` (and its subtree) into a term.

    The term covers ``source[node.start_byte:node.end_byte]``; the indentation
    before the node's first line is not part of it, the indentation of its
    later lines is.
    """
    source, text = _decode(source)
    return _convert(node.walk(), source, text, node.start_byte, node.end_byte, frozenset(verbatim))


def _decode(source: _Source) -> tuple[bytes, str | None]:
    """Return (source bytes, decoded text or None).

    The text is returned only when the source is ASCII, where byte offsets
    and character offsets coincide and slices can be taken from the text.
    """
    if isinstance(source, str):
        text = source
        source = source.encode("utf-8")
        return source, (text if source.isascii() else None)
    source = bytes(source)
    try:
        text = source.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(
            f"source is not valid UTF-8 ({exc.reason} at byte {exc.start}); kovel texts must be UTF-8"
        ) from None
    return source, (text if source.isascii() else None)


def _convert(cursor: Any, source: bytes, text: Any, lo: int, hi: int, verbatim: frozenset[str]) -> KTerm:
    """Iterative walk with a tree cursor.

    The node under the cursor (a ``tree_sitter.TreeCursor``) when called
    becomes the root term, which covers the byte range [lo, hi] (at least the
    node's own range).  ``text`` is the decoded source if it is ASCII, else
    None (see ``_decode``).
    """
    # For an ASCII source, byte offsets are character offsets: slice the text.
    ascii_text = text is not None
    node = cursor.node
    kind = node.type
    s = node.start_byte
    e = node.end_byte
    if not cursor.goto_first_child():
        # A root without children: a leaf, wrapped if text lies around it.
        code = text[s:e] if ascii_text else source[s:e].decode()
        if lo >= s and hi <= e:
            return leaf(kind, code)
        b = tb(kind)
        _gap(b, text[lo:s] if ascii_text else source[lo:s].decode(), kind in verbatim)
        b.w(code)
        _gap(b, text[e:hi] if ascii_text else source[e:hi].decode(), kind in verbatim)
        return b.b()

    # A frame is [builder, position after the last child, node start, node end, verbatim].
    root_start = min(lo, s)
    root_end = max(hi, e)
    frames = [[tb(kind), root_start, root_start, root_end, kind in verbatim]]
    push = frames.append
    pop = frames.pop
    first_child = cursor.goto_first_child
    next_sibling = cursor.goto_next_sibling
    parent = cursor.goto_parent

    while True:
        # The cursor is on a node that has not been visited yet.
        node = cursor.node
        kind = node.type
        s = node.start_byte
        e = node.end_byte
        if first_child():
            push([tb(kind), s, s, e, frames[-1][4] or kind in verbatim])
            continue
        term = leaf(kind, text[s:e] if ascii_text else source[s:e].decode())
        # Hand the finished term to its parent, finishing parents as we go up.
        while True:
            frame = frames[-1]
            b = frame[0]
            pos = frame[1]
            if pos < s:
                _gap(b, text[pos:s] if ascii_text else source[pos:s].decode(), frame[4])
            elif pos > s:
                raise ValueError(
                    f"a tree-sitter node starting at byte {s} overlaps its previous sibling, "
                    f"which ends at byte {pos}"
                )
            b.c(term)
            frame[1] = e
            if next_sibling():
                break
            # Last child: finish the parent.
            pop()
            pos = frame[1]
            s = frame[2]
            e = frame[3]
            if pos < e:
                _gap(b, text[pos:e] if ascii_text else source[pos:e].decode(), frame[4])
            elif pos > e:  # a child reaching past its parent's end
                e = pos
            term = b.b()
            if not frames:
                return cast(KTerm, term)
            parent()


def _lines(b: Builder, g: str) -> None:
    """Write ``g`` into builder ``b``, each line feed as an NL command."""
    parts = g.split("\n")
    b.w(parts[0])
    for part in parts[1:]:
        b.n()
        b.w(part)


def _gap(b: Builder, g: str, verbatim: bool) -> None:
    if verbatim or "\n" not in g:
        b.w(g)
    else:
        _lines(b, g)
