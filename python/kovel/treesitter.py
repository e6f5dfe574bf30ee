"""Terms from real source code: a tree-sitter front end for kovel.

Parse code in any language that has a tree-sitter grammar into a kovel term
that renders back to exactly the source it came from::

    >>> t = parse("python", b"def f():\\n    return 1\\n")
    >>> str(t)
    'def f():\\n    return 1\\n'

Uses ``tree-sitter`` and its grammars: ``tree-sitter-language-pack``, which
installing kovel brings, or packages such as ``tree-sitter-python`` (see
``language``).

How a syntax tree becomes a term
--------------------------------

Every tree-sitter node becomes a tuple node whose tag is the node's kind
(``node.type``) and whose children are the node's children, in order, with
comments and other extras included and error and missing nodes kept as the
tree gives them.  The source text between and around the children (the
node's *gaps*) becomes ``Write`` commands.  The term made by ``from_tree``
covers the whole source, text before the root node's start or after its end
included.

A term spliced under a pushed prefix (``tb("x").p("    ").c(t).x().b()``)
gets the prefix after every ``NL`` command, so the layout decides which line
feeds are line breaks of the code (``NL``: re-indented) and which ones are
part of a literal's value (kept inside a ``Write``: never re-indented).  The
rule below decides it from each node alone and from its ancestors; a native
walk must reproduce it exactly.

*Words of a kind*: the kind split at every character that is not an ASCII
letter or digit and between a lower-case letter or digit and a following
upper-case letter, lower-cased (``heredoc_body`` -> heredoc, body;
``StringLiteral`` -> string, literal; ``CDATA`` -> cdata).

1. A kind is *literal* when it is in ``verbatim`` (default ``VERBATIM_KINDS``),
   or when it is not in ``code`` (default ``CODE_KINDS``) and one of its words
   is in ``LITERAL_WORDS`` (string, str, heredoc, nowdoc, comment, quoted, raw,
   regex, regexp, verbatim, pod, cdata).  Grammar authors name their string,
   heredoc and comment rules this way; the two sets fix the few kinds the
   words miss or mistake (Tcl's ``braced_word_simple``; Haskell's
   ``quoted_expression``, which holds code).
2. A node is *verbatim* when an ancestor is verbatim, when its kind is
   literal, or when one of its gaps, once every backslash that ends a line
   (followed by LF or CR LF) is removed from it with that line end, still
   holds a line feed and a character that is not blank (space, tab, CR, LF,
   FF, VT).  Tree-sitter puts every visible token in
   the tree, so text that no child covers is a hidden token; one that spans
   a line break with words on it is the body of a string or heredoc whose
   grammar hides it (fish's ``"a\\n  b"``).  All the gaps of a verbatim node
   are written as they are, line feeds included.
3. A node with children and not verbatim writes a gap that holds a line
   feed as lines: the text of each line as a ``Write`` (left out when empty;
   a CR before a line feed stays at the end of its line's text) and an
   ``NL`` for each line feed, except the one described in 5.  Any other gap
   is one ``Write``.
4. A node without children is a leaf (``leaf(kind, text)``).  A line feed in
   its text is kept, with one exception: a *line-end token*, a node without
   children that is not verbatim and whose text after its first line feed is
   blank (the ``"\\n"`` after a C ``#if``, Tcl's command separator, Python's
   ``line_continuation``), becomes a node without children whose commands
   are its text written as lines (as in rule 3).  Any other token that
   spans lines (a comment, a heredoc body, a C ``#define`` body with
   backslash continuations) is kept whole.
5. A node is *anchored* when it starts at column 0 and either one of its
   words is heredoc, nowdoc, pod or raw (its first line is data: a heredoc
   body, a make ``define`` body, Perl's POD) or it has the word comment, its
   text holds a line feed and its last line starts with a character that is
   not blank (a block comment that sits at column 0 from its first line to
   its last: Ruby's ``=begin``/``=end``, which must stay there).  A node
   *starts anchored* when it is anchored or a child that starts at the same
   byte starts anchored.  When a gap of rule 3 ends with the line feed right
   before a child that starts anchored, the gap without that line feed is
   written as lines and the line feed follows as a ``Write`` of its own, so
   the child's first line gets no prefix.  (A line feed held by an earlier
   sibling's subtree is not reconsidered.)

The walk is iterative (deep trees do not hit the recursion limit) and runs in
native code (``kovel._native.convert``), which drives the tree-sitter cursor
through its Python objects; ``_convert`` is the same walk in Python, the
reference the native one is tested against byte for byte.
"""

from __future__ import annotations

import difflib
import functools
import importlib
import importlib.util
import pkgutil
import re
from collections.abc import Callable, Collection
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

from kovel import _native
from kovel._kovel import Builder, KTerm, leaf, tb

if TYPE_CHECKING:
    from tree_sitter import Language, Node, Tree

# What ``parse``, ``from_tree`` and ``from_node`` accept as source: a ``str``
# or any bytes-like object (UTF-8).
_Source = str | bytes | bytearray | memoryview

__all__ = [
    "CODE_KINDS",
    "LITERAL_WORDS",
    "VERBATIM_KINDS",
    "available_languages",
    "from_node",
    "from_tree",
    "is_literal_kind",
    "language",
    "parse",
]

#: Words that mark a kind as a literal (see the module docstring, rule 1).
LITERAL_WORDS: frozenset[str] = frozenset(
    {"string", "str", "heredoc", "nowdoc", "comment", "quoted", "raw", "regex", "regexp"}
    | {"verbatim", "pod", "cdata"}
)

#: Kinds that are literals whatever their words say: the few that no word
#: marks, and the usual literal kinds of the common grammars (the list this
#: module used before the word rule, kept for code that tests kinds itself).
VERBATIM_KINDS: frozenset[str] = frozenset(
    {
        "braced_word_simple",  # Tcl: {...} is a string unless it is a script body
        "bracket_argument",  # CMake: [[...]]
        "code_fence_content",  # Markdown: fenced code
        "char_literal",
        # Python: string -> string_start, string_content (escape_sequence, ...),
        # interpolation, string_end
        "string",
        "string_content",
        "concatenated_string_content",
        # JavaScript / TypeScript
        "template_string",
        "regex",
        # C / C++
        "string_literal",
        "raw_string_literal",
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

#: Kinds whose words say literal but that hold code to re-indent.
CODE_KINDS: frozenset[str] = frozenset(
    {
        # Haskell Template Haskell quotes [| ... |], [d| ... |]
        "quoted_expression",
        "quoted_decls",
        "quoted_pattern",
        "quoted_type",
        # Fennel quoted forms are code
        "quoted_list",
        "quoted_table",
        "quoted_sequential_table",
        # COBOL's STRING statement
        "string_statement",
        # string literals side by side, with code layout between them
        "concatenated_string",
        "json_string_array",
    }
)

_ANCHOR_WORDS = frozenset({"heredoc", "nowdoc", "pod", "raw"})
_CAMEL = re.compile(r"(?<=[a-z0-9])(?=[A-Z])")
_NOT_WORD = re.compile(r"[^A-Za-z0-9]+")
_BLANK = " \t\r\n\f\v"

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
_PACK = "tree_sitter_language_pack"

_languages: dict[str, Language] = {}
# The name each cached Language was loaded under, by id (the objects live in
# ``_languages``): a worker process loads the grammar again by that name.
_language_names: dict[int, str] = {}


def _tree_sitter() -> ModuleType:
    try:
        import tree_sitter
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "kovel.treesitter needs the 'tree-sitter' package, which installing kovel brings: "
            "pip install 'tree-sitter>=0.23' 'tree-sitter-language-pack==0.13.0'"
        ) from exc
    return tree_sitter


def _key(name: str) -> str:
    key = name.lower().replace("-", "_")
    return key[len("tree_sitter_") :] if key.startswith("tree_sitter_") else key


def language(name: Language | str) -> Language:
    """Return the ``tree_sitter.Language`` for ``name``.

    ``name`` is a ``tree_sitter.Language`` (returned unchanged) or a grammar
    name: an installed package ``tree_sitter_NAME`` (``"python"``; ``"tsx"``
    for the TSX grammar of ``tree_sitter_typescript``), else a grammar that
    ``tree-sitter-language-pack`` holds on this machine, either in its wheel
    (0.13 and earlier) or already in its download cache (later releases); this
    function never downloads one.  An unknown name raises ``ValueError``
    listing the installed names (see ``available_languages``).

    >>> language("python").name
    'python'
    """
    ts = _tree_sitter()
    if isinstance(name, ts.Language):
        return cast("Language", name)
    if not isinstance(name, str):
        raise TypeError(f"language must be a tree_sitter.Language or a str, not {type(name).__name__!r}")
    cached = _languages.get(name)
    if cached is not None:
        return cached
    key = _key(name)
    capsule = _package_language(key)
    if capsule is None:
        capsule = _pack_language(key)
    if capsule is None:
        raise ValueError(_unknown_message(name, key))
    lang: Language = capsule if isinstance(capsule, ts.Language) else ts.Language(capsule)
    _languages[name] = lang
    _language_names[id(lang)] = name
    return lang


def _package_language(key: str) -> Any:
    """The language of package ``tree_sitter_KEY``, or None if it is not installed."""
    module_name, func_name = _LANGUAGE_FUNCTIONS.get(key, ("tree_sitter_" + key, "language"))
    if module_name == _PACK or importlib.util.find_spec(module_name) is None:
        return None
    module = importlib.import_module(module_name)
    func = getattr(module, func_name, None)
    if func is None:
        # A package with one language function under another name.
        candidates = [f"language_{key}"] + sorted(
            a for a in dir(module) if a.startswith("language_") and callable(getattr(module, a))
        )
        func = next((getattr(module, a) for a in candidates if hasattr(module, a)), None)
    if func is None:
        raise ValueError(f"grammar package {module_name!r} has no language function for {key!r}")
    return func()


def _pack_names() -> list[str]:
    """Grammars ``tree-sitter-language-pack`` can load here without downloading."""
    if importlib.util.find_spec(_PACK) is None:
        return []
    pack = importlib.import_module(_PACK)
    downloaded = getattr(pack, "downloaded_languages", None)
    if downloaded is not None:  # releases that download grammars: only the cached ones
        try:
            return sorted(downloaded())
        except Exception:  # no cache yet, or one it cannot read: nothing is installed
            return []
    bindings = importlib.util.find_spec(_PACK + ".bindings")
    if bindings is None or bindings.submodule_search_locations is None:
        return []
    names = {m.name for m in pkgutil.iter_modules(bindings.submodule_search_locations)}
    # Three grammars the 0.13 line takes from their own packages.
    for name, module in (("csharp", "tree_sitter_c_sharp"), ("yaml", "tree_sitter_yaml")):
        if importlib.util.find_spec(module) is not None:
            names.add(name)
    if importlib.util.find_spec("tree_sitter_embedded_template") is not None:
        names.add("embeddedtemplate")
    return sorted(names)


def _pack_language(key: str) -> Any:
    if key not in _pack_names():
        return None
    return importlib.import_module(_PACK).get_language(key)


def available_languages() -> list[str]:
    """The grammar names ``language`` accepts on this machine, sorted.

    >>> "python" in available_languages()
    True
    """
    names = set(_pack_names())
    for module in pkgutil.iter_modules():
        if module.name.startswith("tree_sitter_") and module.name != _PACK:
            names.add(module.name[len("tree_sitter_") :])
    for key, (module_name, _) in _LANGUAGE_FUNCTIONS.items():
        if module_name[len("tree_sitter_") :] in names:
            names.add(key)
    return sorted(names)


def _unknown_message(name: str, key: str) -> str:
    names = available_languages()
    close = difflib.get_close_matches(key, names, n=3)
    hint = f" (did you mean {' or '.join(map(repr, close))}?)" if close else ""
    shown = ", ".join(names) if names else "none"
    return (
        f"no tree-sitter grammar for {name!r}{hint}. Installed grammars: {shown}. "
        "Others come from packages named tree-sitter-<language> or from tree-sitter-language-pack."
    )


def parse(
    lang: Language | str,
    source: _Source,
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
    UTF-8.  ``verbatim`` and ``code`` adjust which kinds are literals (see the
    module docstring).

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
        from kovel._treesitter_timeout import parse_in_worker

        name = _language_names.get(id(lang))
        if name is None:
            raise ValueError("parse with a timeout needs the grammar by name, or a Language from language()")
        return parse_in_worker(name, data, frozenset(verbatim), frozenset(code), timeout)
    tree = _tree_sitter().Parser(lang).parse(data)
    return _walk(tree.walk(), data, 0, len(data), frozenset(verbatim), frozenset(code))


def from_tree(
    tree: Tree,
    source: _Source,
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
    source: _Source,
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
    >>> src = b"if a:\\n    f(\\n      1)\\n"
    >>> call = tree_sitter.Parser(language("python")).parse(src).root_node.children[0].children[-1]
    >>> str(tb("x").p("  ").c(from_node(call, src)).x().b())
    'f(\\n        1)'
    """
    data, _ = _decode(source)
    verbatim, code = frozenset(verbatim), frozenset(code)
    inherited = _inside_literal(node, data, verbatim, code)
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

    It follows ``_convert`` (the reference, in Python) step by step and makes
    the same terms; ``source`` is valid UTF-8 (``_decode`` checked it).
    """
    return _native.convert(cursor, source, lo, hi, inherited, _kinds(verbatim, code))


def _inside_literal(node: Node, data: bytes, verbatim: frozenset[str], code: frozenset[str]) -> bool:
    """Whether an ancestor of ``node`` is verbatim by its kind or its gaps (rules 1 and 2)."""
    up = node.parent
    while up is not None:
        if _verbatim_node(up, data, False, verbatim, code):
            return True
        up = up.parent
    return False


def _verbatim_node(
    node: Node,
    data: bytes,
    inherited: bool,
    verbatim: Collection[str] = VERBATIM_KINDS,
    code: Collection[str] = CODE_KINDS,
) -> bool:
    """Whether ``node`` (parsed from ``data``) is verbatim (rules 1 and 2);
    ``inherited``: an ancestor is.  Its gaps are then written as they are.

    Shared with the template parser of ``kovel.quasi``, so templates lay
    their gaps out as parsed terms do.
    """
    if inherited or is_literal_kind(node.type, verbatim, code):
        return True
    pos = node.start_byte
    for child in [*node.children, None]:
        end = node.end_byte if child is None else child.start_byte
        if pos < end and _token_text(data[pos:end].decode()):
            return True
        pos = max(pos, end if child is None else child.end_byte)
    return False


def is_literal_kind(
    kind: str, verbatim: Collection[str] = VERBATIM_KINDS, code: Collection[str] = CODE_KINDS
) -> bool:
    """Whether nodes of ``kind`` are literals, whose text is never re-indented (rule 1).

    >>> is_literal_kind("heredoc_body"), is_literal_kind("StringLiteral"), is_literal_kind("template_body")
    (True, True, False)
    """
    return kind in verbatim or (kind not in code and not LITERAL_WORDS.isdisjoint(_words(kind)))


def _words(kind: str) -> list[str]:
    return [w.lower() for w in _NOT_WORD.split(_CAMEL.sub(" ", kind)) if w]


def _decode(source: _Source) -> tuple[bytes, str | None]:
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


class _Kinds(dict[str, tuple[bool, bool, bool]]):
    """Per-kind answers of rules 1 and 5, computed once per kind and walk:
    (literal, may be anchored, anchored whenever at column 0)."""

    def __init__(self, verbatim: frozenset[str], code: frozenset[str]) -> None:
        super().__init__()
        self.verbatim = verbatim
        self.code = code

    def __missing__(self, kind: str) -> tuple[bool, bool, bool]:
        words = set(_words(kind))
        body = not _ANCHOR_WORDS.isdisjoint(words)
        info = (is_literal_kind(kind, self.verbatim, self.code), body or "comment" in words, body)
        self[kind] = info
        return info


@functools.lru_cache(maxsize=8)
def _kinds(verbatim: frozenset[str], code: frozenset[str]) -> _Kinds:
    """The kinds answers for these rules, kept across walks: asking them
    costs more than the native walk of a small file."""
    return _Kinds(verbatim, code)


def _anchored(node: Any, body: bool, cut: Callable[[int, int], str]) -> bool:
    """Rule 5 for a node whose kind may be anchored; ``body``: its kind is heredoc-like."""
    if node.start_point[1] != 0:
        return False
    if body:
        return True
    code = cut(node.start_byte, node.end_byte)
    last = code.rfind("\n")
    return last >= 0 and code[last + 1 : last + 2] not in ("", " ", "\t", "\r", "\f", "\v")


def _convert(
    cursor: Any,
    source: bytes,
    text: str | None,
    lo: int,
    hi: int,
    verbatim: frozenset[str],
    code: frozenset[str],
    inherited: bool = False,
) -> KTerm:
    """Iterative walk with a tree cursor.

    The node under the cursor (a ``tree_sitter.TreeCursor``) when called
    becomes the root term, which covers the byte range [lo, hi] (at least the
    node's own range).  ``text`` is the decoded source if it is ASCII, else
    None (see ``_decode``).  ``inherited`` makes the root verbatim.
    """
    kinds = _Kinds(verbatim, code)
    # For an ASCII source, byte offsets are character offsets: slice the text.
    ascii_text = text is not None

    def cut(a: int, b: int) -> str:
        return text[a:b] if text is not None else source[a:b].decode()

    node = cursor.node
    kind = node.type
    s = node.start_byte
    e = node.end_byte
    if not cursor.goto_first_child():
        # A root without children: a leaf, wrapped if text lies around it.
        term = _leaf(kind, cut(s, e), inherited or kinds[kind][0])
        if lo >= s and hi <= e:
            return term
        b = tb(kind)
        _gap(b, cut(lo, s), inherited, False)
        b.c(term)
        _gap(b, cut(e, hi), inherited, False)
        return b.b()

    root_start = min(lo, s)
    literal, may_anchor, body = kinds[kind]
    anchored = may_anchor and _anchored(node, body, cut)
    # A frame is a node with children being converted: [builder, end of the
    # text written so far, node start, node end, verbatim, starts anchored
    # (rule 5), a gap looked like token text (rule 2)].
    frames: list[list[Any]] = [
        [tb(kind), root_start, root_start, max(hi, e), inherited or literal, anchored, False]
    ]
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
        literal, may_anchor, body = kinds[kind]
        anchored = may_anchor and _anchored(node, body, cut)
        if first_child():
            push([tb(kind), s, s, e, frames[-1][4] or literal, anchored, False])
            continue
        g = text[s:e] if ascii_text else source[s:e].decode()  # type: ignore[index]
        term = _leaf(kind, g, frames[-1][4] or literal) if "\n" in g else leaf(kind, g)
        # Hand the finished term to its parent, finishing parents as we go up.
        while True:
            frame = frames[-1]
            b = frame[0]
            pos = frame[1]
            if pos < s:
                g = text[pos:s] if ascii_text else source[pos:s].decode()  # type: ignore[index]
                if frame[4] or "\n" not in g:
                    b.w(g)
                elif _gap(b, g, False, anchored):
                    frame[6] = True
            elif pos > s:
                raise ValueError(
                    f"a tree-sitter node starting at byte {s} overlaps its previous sibling, "
                    f"which ends at byte {pos}"
                )
            if anchored and s == frame[2]:
                frame[5] = True
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
                if _gap(b, cut(pos, e), frame[4], False):
                    frame[6] = True
            elif pos > e:  # a child reaching past its parent's end
                e = pos
            anchored = frame[5]
            parent()
            if frame[6] and not frame[4]:
                # Rule 2 found out late: convert this subtree again, all verbatim.
                term = _convert(cursor.node.walk(), source, text, s, e, verbatim, code, True)
            else:
                term = b.b()
            if not frames:
                return term


def _leaf(kind: str, code: str, verbatim: bool) -> KTerm:
    """A node without children (rule 4)."""
    if verbatim or "\n" not in code:
        return leaf(kind, code)
    cut = code.index("\n") + 1
    if code[cut:].strip(_BLANK):
        return leaf(kind, code)  # a token spanning lines
    b = tb(kind)
    _lines(b, code)
    return b.b()


def _lines(b: Builder, g: str) -> None:
    """Write ``g`` into builder ``b``, each line feed as an NL command."""
    _apply(b, _gap_calls(g, False))


def _apply(b: Builder, calls: list[tuple[str, str]]) -> None:
    for op, text in calls:
        if op == "w":
            b.w(text)
        else:
            b.n()


def _gap_calls(g: str, verbatim: bool, before_anchored: bool = False) -> list[tuple[str, str]]:
    """How the gap ``g`` of a node is written (rules 3 and 5): builder calls,
    ``("w", text)`` or ``("n", "")``; ``verbatim``: the node is verbatim,
    ``before_anchored``: the next child starts anchored.  Shared with the
    template filler of ``kovel.quasi``.

    >>> _gap_calls("  \\n\\n", False), _gap_calls(" \\n", False, True), _gap_calls("a\\n", True)
    ([('w', '  '), ('n', ''), ('n', '')], [('w', ' '), ('w', '\\n')], [('w', 'a\\n')])
    """
    if verbatim or "\n" not in g:
        return [("w", g)] if g else []
    tail: list[tuple[str, str]] = []
    if before_anchored and g.endswith("\n"):
        g, tail = g[:-1], [("w", "\n")]
    calls: list[tuple[str, str]] = []
    for i, part in enumerate(g.split("\n")):
        if i:
            calls.append(("n", ""))
        if part:
            calls.append(("w", part))
    return calls + tail


def _gap(b: Builder, g: str, verbatim: bool, before_anchored: bool) -> bool:
    """Write the gap ``g`` (rules 2, 3 and 5); return whether it looks like token text."""
    _apply(b, _gap_calls(g, verbatim, before_anchored))
    return not verbatim and "\n" in g and _token_text(g)


def _token_text(g: str) -> bool:
    """Rule 2: whether the gap ``g`` is hidden token text that spans lines."""
    # A backslash before a line feed continues the line: C and shell grammars
    # hide it among the blanks between tokens.
    g = g.replace("\\\r\n", "").replace("\\\n", "")
    return "\n" in g and bool(g.strip(_BLANK))
