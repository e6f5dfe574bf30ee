"""The native tree-sitter walk makes exactly the terms of the Python reference walk."""

import glob
import os
import sysconfig

import pytest
from hypothesis import given, strategies as st

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")
pytest.importorskip("tree_sitter_javascript")

from kovel import _native, treesitter as ts  # noqa: E402
from kovel.tree import commands  # noqa: E402
from kovel.treesitter import layout  # noqa: E402
from kovel.treesitter.layout import Kinds, inside_literal  # noqa: E402
from tests.helpers import LITERAL_CASES  # noqa: E402
from tests.treesitter import reference as ref  # noqa: E402

JS = b"""// a module
import { a } from "./a.js";
/* block
   comment */
export function f(x, ...rest) {
  const re = /a\\/b[c]/gi, s = 'q\\'uote', t = `line
  ${x + `in ${rest}`}
end`;
  if (x) { return <div className="c">{t}</div>; }
  label: for (let i = 0; i < 3; i++) continue label;
  return s.replace(re, "\\n") ?? null;
}
class K extends Object { #p = 1; static get q() { return this.#p } }
"""


def sample(pattern, count):
    paths = sorted(p for p in glob.glob(pattern, recursive=True) if "-packages" not in p)
    return paths[:: max(1, len(paths) // count)][:count]


def real_files():
    paths = sysconfig.get_paths()
    files = [("python", p) for p in sample(os.path.join(paths["stdlib"], "**", "*.py"), 24)]
    files += [("c", p) for p in sample(os.path.join(paths["include"], "**", "*.h"), 12)]
    out = [(lang, os.path.basename(p), open(p, "rb").read()) for lang, p in files]
    return out + [("javascript", "module.js", JS)]


def reference(cursor, data, lo, hi, verbatim=ts.VERBATIM_KINDS, code=ts.CODE_KINDS, inherited=False):
    text = data.decode() if data.isascii() else None
    return ref.reference_walk(cursor, data, text, lo, hi, frozenset(verbatim), frozenset(code), inherited)


def assert_same_tree(lang, data, **rules):
    tree = tree_sitter.Parser(ts.language(lang)).parse(data)
    native = ts.from_tree(tree, data, **rules)
    ref = reference(tree.walk(), data, 0, len(data), **rules)
    assert native.postcard_bytes() == ref.postcard_bytes()
    assert str(native) == data.decode()
    return tree


@pytest.mark.parametrize("lang, name, data", real_files(), ids=lambda v: v if isinstance(v, str) else None)
def test_real_files_convert_as_the_reference_does(lang, name, data):
    tree = assert_same_tree(lang, data)
    # from_node on a spread of nodes: each inside literals or not, as the whole tree has it
    nodes, stack = [], [tree.root_node]
    while stack:
        node = stack.pop()
        nodes.append(node)
        stack.extend(node.children)
    for node in nodes[:: max(1, len(nodes) // 40)]:
        verbatim, code = frozenset(ts.VERBATIM_KINDS), frozenset(ts.CODE_KINDS)
        inherited = inside_literal(node, data, verbatim, code)
        ref = reference(node.walk(), data, node.start_byte, node.end_byte, inherited=inherited)
        assert ts.from_node(node, data).postcard_bytes() == ref.postcard_bytes()


@pytest.mark.parametrize(
    "lang, source", [(c[0], c[1]) for c in LITERAL_CASES], ids=[f"{c[0]}-{c[2]}" for c in LITERAL_CASES]
)
@pytest.mark.parametrize(
    "rules",
    [
        {},
        {"verbatim": ()},
        {"verbatim": (), "code": ()},
        {"verbatim": {"block", "compound_statement", "program"}},
    ],
    ids=["default", "words-only", "no-code-kinds", "verbatim-blocks"],
)
def test_grammar_cases_convert_as_the_reference_does(lang, source, rules):
    try:
        ts.language(lang)
    except ValueError:
        pytest.skip(f"no {lang} grammar installed")
    data = source.encode()
    assert_same_tree(lang, data, **rules)
    # the same program one level deeper, with CR LF line ends and a line continuation
    assert_same_tree(lang, ("\n" + source.replace("\n", "\r\n") + "x \\\r\n y\n").encode(), **rules)


CODE_CHARS = st.sampled_from(
    ["\n", "\r\n", " ", "    ", "\\", "\\\n", '"', "'", "`", "${", "}", "{", "(", ")", "#", "/*", "*/", "//"]
    + ["<<EOF", "EOF", "x", "if", "def", ":", ";", "=", "é", "😀", "\t", "f(", "[", "]"]
)


@given(st.sampled_from(["python", "c", "javascript"]), st.lists(CODE_CHARS, max_size=60))
def test_broken_code_converts_as_the_reference_does(lang, pieces):
    assert_same_tree(lang, "".join(pieces).encode())


def test_deep_tree_is_walked_without_recursion():
    data = b"x = " + b"[" * 20000 + b"]" * 20000 + b"\n"
    assert_same_tree("python", data)


def test_tree_and_source_that_disagree_are_refused():
    tree = tree_sitter.Parser(ts.language("python")).parse(b"value = 12345\n")
    with pytest.raises(ValueError, match="outside the source"):
        ts.from_tree(tree, b"v = 1\n")
    tree = tree_sitter.Parser(ts.language("python")).parse(b"x = 1\n")
    with pytest.raises(ValueError, match="splits a UTF-8 character"):
        ts.from_tree(tree, "\u00e9\u00e9\u00e9\n".encode())


class FakeNode:
    def __init__(self, kind, start, end, children=()):
        self.type, self.start_byte, self.end_byte = kind, start, end
        self.kind_id, self.start_point, self.children = hash(kind) % 5000, (0, start), list(children)

    def walk(self):
        return FakeCursor(self)


class FakeCursor:
    """Just enough of a TreeCursor over FakeNodes: a path of (node, index in its parent)."""

    def __init__(self, root):
        self.path = [(root, 0)]

    node = property(lambda self: self.path[-1][0])

    def goto_first_child(self):
        return bool(self.node.children) and not self.path.append((self.node.children[0], 0))

    def goto_next_sibling(self):
        i = self.path[-1][1] + 1
        if len(self.path) < 2 or i >= len(self.path[-2][0].children):
            return False
        self.path[-1] = (self.path[-2][0].children[i], i)
        return True

    def goto_parent(self):
        return len(self.path) > 1 and bool(self.path.pop())


def test_fake_cursor_converts_and_refuses_overlaps_as_the_reference_does():
    # a child reaching past its parent's end, and a gap of hidden token text
    reaching = FakeNode("mid", 2, 3, [FakeNode("z", 2, 4)])
    root = FakeNode("doc", 0, 13, [FakeNode("x", 0, 1), reaching, FakeNode("y", 10, 13)])
    data = b"a\nbbx\n b \nccc"
    kinds = Kinds(frozenset(), frozenset())
    native = _native.convert(FakeCursor(root), data, 0, 13, False, kinds)
    assert native.postcard_bytes() == reference(FakeCursor(root), data, 0, 13).postcard_bytes()
    assert str(native) == data.decode()
    overlap = FakeNode("pair", 0, 5, [FakeNode("a", 0, 3), FakeNode("b", 2, 5)])
    message = "starting at byte 2 overlaps its previous sibling, which ends at byte 3"
    for convert in (reference, lambda *a: _native.convert(*a, False, kinds)):
        with pytest.raises(ValueError, match=message):
            convert(FakeCursor(overlap), b"abcde", 0, 5)


@pytest.mark.parametrize(
    "args, error, match",
    [
        ((object(), b"x", 0, 1, False, {}), TypeError, "cursor must be a tree_sitter.TreeCursor"),
        (("cursor", "x", 0, 1, False, {}), TypeError, "source must be bytes"),
        (("cursor", b"x", "0", 1, False, {}), TypeError, "integer"),
        (("cursor", b"x", 1, 0, False, {}), ValueError, "not a range"),
        (("cursor", b"x", 0, 2, False, {}), ValueError, "not a range"),
        (("cursor", b"x", -1, 1, False, {}), ValueError, "negative"),
        (("cursor", b"\xff", 0, 1, False, {}), ValueError, "UTF-8"),
        (("tree", b"x\n", 0, 2, False, {}), KeyError, "module"),
        (("tree", b"x\n", 0, 2, False, {"module": 1}), TypeError, "kinds must map"),
        (("tree", b"x\n", 0, 2, False, {"module": (1, 2)}), TypeError, "kinds must map"),
    ],
)
def test_native_walk_arguments(args, error, match):
    tree = tree_sitter.Parser(ts.language("python")).parse(b"x\n")
    fill = {"cursor": tree.walk(), "tree": tree.walk()}
    args = tuple(fill.get(a, a) if isinstance(a, str) and i == 0 else a for i, a in enumerate(args))
    with pytest.raises(error, match=match):
        _native.convert(*args)
    with pytest.raises(TypeError, match="exactly 6 arguments"):
        _native.convert(*args[:5])


# Texts made of what the rules look at: line ends, backslashes, blanks and a word.
GAPS = st.lists(st.sampled_from(["\n", "\r\n", "\\", " ", "\t", "\f", "x", "é"]), max_size=12).map("".join)
CALLS = {"w": "write", "n": "nl"}


@given(GAPS, st.booleans(), st.booleans())
def test_native_layout_rules_are_the_reference_ones(gap, verbatim, before_anchored):
    # The converter and the template filler share these: one copy, checked here.
    expected = [(CALLS[op], text) for op, text in ref.gap_calls(gap, verbatim, before_anchored)]
    assert list(layout.gap_commands(gap, verbatim, before_anchored)) == expected
    assert _native.gap_commands(gap, verbatim, before_anchored)[1] == (
        not verbatim and "\n" in gap and ref._token_text(gap)
    )
    assert layout.is_token_text(gap) == ref._token_text(gap)
    assert commands(layout.leaf_term("k", gap, verbatim)) == commands(ref.leaf_term("k", gap, verbatim))
    assert layout.last_line_anchored(gap) == ref.anchored_text(gap)
