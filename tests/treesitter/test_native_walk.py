"""The native tree-sitter walk: its arguments, cursors of other makes, and the layout rules it
shares with the template filler, against the Python reference (real grammars are checked
in test_native_parse.py)."""

import pytest
from hypothesis import given, strategies as st

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")
pytest.importorskip("tree_sitter_javascript")

from kovel import _native, treesitter as ts  # noqa: E402
from kovel.tree import commands  # noqa: E402
from kovel.treesitter import layout  # noqa: E402
from kovel.treesitter.layout import Kinds  # noqa: E402
from tests.treesitter import reference as ref  # noqa: E402


def reference(cursor, data, lo, hi):
    text = data.decode() if data.isascii() else None
    return ref.reference_walk(cursor, data, text, lo, hi, frozenset(), frozenset(), False)


def test_tree_and_source_that_disagree_are_refused():
    tree = tree_sitter.Parser(ts.language("python")).parse(b"value = 12345\n")
    with pytest.raises(ValueError, match="outside the source"):
        ts.from_tree(tree, b"v = 1\n")
    tree = tree_sitter.Parser(ts.language("python")).parse(b"x = 1\n")
    with pytest.raises(ValueError, match="splits a UTF-8 character"):
        ts.from_tree(tree, "\u00e9\u00e9\u00e9\n".encode())


# A kind id names one kind, as tree-sitter's do (a hash of the name could
# give two kinds one id in some processes, and the walk caches kinds by id).
KIND_IDS: dict[str, int] = {}


class FakeNode:
    def __init__(self, kind, start, end, children=()):
        self.type, self.start_byte, self.end_byte, self.children = kind, start, end, list(children)
        self.kind_id, self.start_point = KIND_IDS.setdefault(kind, len(KIND_IDS)), (0, start)

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
        (("C", "x", 0, 1, False, {}), TypeError, "source must be bytes"),
        (("C", b"x", "0", 1, False, {}), TypeError, "integer"),
        (("C", b"x", 1, 0, False, {}), ValueError, "not a range"),
        (("C", b"x", 0, 2, False, {}), ValueError, "not a range"),
        (("C", b"x", -1, 1, False, {}), ValueError, "negative"),
        (("C", b"\xff", 0, 1, False, {}), ValueError, "UTF-8"),
        (("C", b"x\n", 0, 2, False, {}), KeyError, "module"),
        (("C", b"x\n", 0, 2, False, {"module": 1}), TypeError, "kinds must map"),
        (("C", b"x\n", 0, 2, False, {"module": (1, 2)}), TypeError, "kinds must map"),
    ],
)
def test_native_walk_arguments(args, error, match):
    if args[0] == "C":  # a cursor of this tree
        args = (tree_sitter.Parser(ts.language("python")).parse(b"x\n").walk(), *args[1:])
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
