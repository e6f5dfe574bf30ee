"""walk and find_all refill the items their consumer dropped: every way of
consuming them must still see exactly the items of a plain pre-order walk."""

import os
import sysconfig

import pytest
from hypothesis import given, settings, strategies as st

from kovel import _native, leaf, tb, tree as T
from kovel.treesitter import parse

PARSED = parse(
    "python", open(os.path.join(sysconfig.get_paths()["stdlib"], "textwrap.py"), encoding="utf-8").read()
)


def deep_and_wide():
    """Paths of every length up to 100 (past the pooled depths), siblings at each level."""
    cur = leaf("x", "x")
    for i in range(100):
        cur = tb("t").w("(").c(leaf("a", f"a{i}")).c(cur).c(leaf("b", f"b{i}")).w(")").b()
    return cur


def reference(t, path=()):
    """(path, text of the node) of every node, recursively from children()."""
    return [(path, str(t))] + [x for i, k in enumerate(T.children(t)) for x in reference(k, (*path, i))]


def stream_unpacked(items):
    return [(path, str(node)) for path, node, *_ in items]


def stream_whole(items):
    # The item itself is hashed: a refilled tuple must hash as a new one.
    return [(item[0], str(item[1])) for item in items if hash(item) == hash(tuple(list(item)))]


def keep_some(items):
    """Keeps every third item whole and every other node alone; reads them after the walk."""
    kept = [(i, item if i % 3 == 0 else item[:2]) for i, item in enumerate(items) if i % 3 == 0 or i % 2 == 0]
    return [(i, item[0], str(item[1])) for i, item in kept]


def listed(items):
    return [(item[0], str(item[1])) for item in list(items)]


TERMS = pytest.mark.parametrize("t", [PARSED, deep_and_wide()], ids=["parsed", "deep"])


@TERMS
@pytest.mark.parametrize("spans", [False, True])
@pytest.mark.parametrize("consume", [stream_unpacked, stream_whole, listed])
def test_every_consumer_sees_the_plain_walk(t, spans, consume):
    assert consume(T.walk(t, spans=spans)) == reference(t)


@TERMS
def test_items_kept_during_the_walk_are_never_refilled(t):
    want = reference(t)
    assert keep_some(T.walk(t)) == [(i, *want[i]) for i in range(len(want)) if i % 3 == 0 or i % 2 == 0]


@pytest.mark.parametrize("tags", [("identifier",), ("identifier", "string", "call")])
def test_find_all_streamed_or_kept_matches_filtering_the_walk(tags):
    want = [(p, str(n)) for p, n in list(T.walk(PARSED)) if T.tag(n) in tags]
    assert want and stream_unpacked(T.find_all(PARSED, tags)) == listed(T.find_all(PARSED, tags)) == want


def test_spans_items_keep_their_offsets_when_streamed():
    text = str(PARSED)
    assert all(text[start:end] == str(node) for _, node, start, end in T.walk(PARSED, spans=True))


def located(t, nodes):
    """Where ``nodes`` lie, by walking in Python: each met where the walk is next at
    it, one met out of order looked for among the nodes passed by."""
    at, i, passed = [None] * len(nodes), 0, []
    for _, node, a, b in _native.walk(t, True):
        if i < len(nodes) and _native.same(node, nodes[i]):
            at[i], i = (a, b), i + 1
        elif i < len(nodes):
            passed.append((node, a, b))
    for k in range(i, len(nodes)):
        at[k] = next(((a, b) for n, a, b in passed if _native.same(n, nodes[k])), None)
    return at


def shared_twice():
    """One node at two places, and one that is in no walk of the term."""
    x = tb("id").w("x").b()
    return tb("t").c(x).w(" + ").c(tb("p").w("(").c(x).w(")").b()).b()


@pytest.mark.parametrize("t", [PARSED, deep_and_wide(), shared_twice()], ids=["parsed", "deep", "shared"])
@given(st.data())
@settings(max_examples=40, deadline=None)
def test_locate_finds_what_a_walk_in_python_finds(t, data):
    nodes = [node for _, node in _native.walk(t, False)]
    picked = sorted(data.draw(st.lists(st.integers(0, len(nodes) - 1), max_size=6)))
    wanted = [nodes[k] for k in picked]
    if data.draw(st.booleans()):
        wanted = data.draw(st.permutations(wanted))
    if data.draw(st.booleans()):
        wanted.append(leaf("stranger", "s"))  # in no walk of t
    assert _native.locate(t, wanted) == located(t, wanted)
