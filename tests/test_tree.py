"""kovel.tree: reading, making, walking and rewriting terms."""

import collections
import doctest
import gc
import itertools
import os
import pickle
import subprocess
import sys
import sysconfig

import pytest

from kovel import HOLE, _native, cmd, from_postcard_bytes, leaf, push, quote, tb, tree as T, unquote, write
from kovel.treesitter import language, parse
from tests.helpers import UNBALANCED

STDLIB, INCLUDE = sysconfig.get_paths()["stdlib"], sysconfig.get_paths()["include"]
JS = """\
// Süße Grüße: a module with classes, closures and a template literal.
export class Greeter {
  constructor(name) { this.name = name; }
  greet(times = 1) {
    return Array.from({ length: times }, (_, i) => `${i}: héllo, ${this.name}`).join("\\n");
  }
}
const g = new Greeter("wörld");
console.log(g.greet(2));
"""
# Real files: ASCII and non-ASCII Python, a C header; JavaScript written here.
SOURCES = [(g, open(p, "rb").read().decode()) for g, p in [("python", f"{STDLIB}/textwrap.py"),
           ("python", f"{STDLIB}/encodings/cp1252.py"), ("c", f"{INCLUDE}/object.h")]] + [("javascript", JS)]  # fmt: skip
PARSED = [(grammar, src, parse(grammar, src)) for grammar, src in SOURCES]


def rebuilt(n):
    return T.node(
        T.tag(n), T.children(n), T.commands(n), kind=T.kind(n), index=T.index(n), lang=T.lang(n), at=T.at(n)
    )


def chain(depth):
    """A term nested `depth` deep: ((( ... x ... ))), built iteratively."""
    cur = leaf("x", "x")
    for _ in range(depth):
        cur = tb("t").w("(").c(cur).w(")").b()
    return cur


GOOD = leaf("x", "x")
Q = quote("q", 7, "py", leaf("identifier", "x"), [cmd(write("[")), HOLE, cmd(push("  ")), HOLE])
U = unquote("u", 255, "", leaf("identifier", "y"), [])


# node() rebuilds each from what the readers give, quotes with any count of holes and range.
@pytest.mark.parametrize(
    "t, kind, tag, kids, cmds, index, lang, at",
    [
        (leaf("identifier", "x"), "tuple", "identifier", [], [("write", "x")], None, None, None),
        (tb("blk").w("{").p("\t").n().c(leaf("a", "é")).x().b(), "tuple", "blk", ["é"],
         [("write", "{"), ("push", "\t"), ("nl", ""), ("hole", ""), ("pop", "")], None, None, None),
        (Q, "quote", "q", ["x"], [("write", "["), ("hole", ""), ("push", "  "), ("hole", "")], 7, "py", None),
        (U, "unquote", "u", ["y"], [], 255, "", None),
        (T.node("q", [GOOD], [("hole", "")], kind="unquote", at=(2**64 - 1, 0)), "unquote", "q", ["x"],
         [("hole", "")], 0, "", (2**64 - 1, 0)),
        (T.node("q", [GOOD], [], kind="quote", at=(2**64 - 1, 0)), "quote", "q", ["x"], [], 0, "", (2**64 - 1, 0)),
    ],
)  # fmt: skip
def test_readers(t, kind, tag, kids, cmds, index, lang, at):
    assert (T.kind(t), T.tag(t), [str(k) for k in T.children(t)]) == (kind, tag, kids)
    assert (list(T.commands(t)), T.index(t), T.lang(t), T.at(t)) == (cmds, index, lang, at)
    r = rebuilt(t)
    assert T.equal(r, t) and r.postcard_bytes() == t.postcard_bytes() and T.at(r) == at


def test_same_and_equal():
    x = leaf("identifier", "x")
    pair = tb("pair").c(x).c(x).b()
    a, b = T.children(pair)
    assert T.same(a, b) and T.same(a, x) and a is not b  # one node, two wrappers
    twin = tb("pair").c(leaf("identifier", "x")).c(leaf("identifier", "x")).b()
    assert T.equal(pair, twin) and not T.same(pair, twin)
    for other in (tb("pair").c(x).b(), tb("pair").c(x).c(leaf("identifier", "y")).b(), rebuilt(Q)):
        assert not T.equal(pair, other)


@pytest.mark.parametrize("grammar, src, t", PARSED, ids=[g for g, _, _ in PARSED])
def test_every_node_rebuilds_equal_and_its_span_slices_the_text(grammar, src, t):
    from tree_sitter import Parser

    items = list(T.walk(t, spans=True))
    assert [(p, str(n)) for p, n, _, _ in items] == [(p, str(n)) for p, n in T.walk(t)]
    for _path, n, start, end in items:
        r = rebuilt(n)
        assert T.equal(r, n) and not T.same(r, n) and r.postcard_bytes() == n.postcard_bytes()
        # parsed terms push no prefixes
        assert src[start:end] == str(n) and T.rendered_length(n) == end - start
    assert len(items) == Parser(language(grammar)).parse(src.encode()).root_node.descendant_count
    assert str(rebuilt(t)) == src and items[0][2:] == (0, len(src))
    ids = [(p, s, e) for p, n, s, e in items if T.tag(n) == "identifier"]
    assert ids and [(p, s, e) for p, _, s, e in T.find_all(t, "identifier", spans=True)] == ids


def test_rendered_length_is_measured_not_rendered():
    doubled = leaf("s", "é\n")
    for _ in range(40):  # the leaf shared 2**40 times: measured, never rendered
        doubled = tb("d").c(doubled).w(" ").c(doubled).b()
    assert T.rendered_length(doubled) == 2 * 2**40 + 2**40 - 1
    assert T.rendered_length(Q) == len(str(Q)) == 3


def test_walk_is_preorder_with_paths_and_shared_nodes_once_per_path():
    x = leaf("identifier", "x")
    t = tb("call").c(x).w("(").c(tb("args").c(x).w(", ").c(leaf("n", "1")).b()).w(")").b()
    want = [((), "call"), ((0,), "identifier"), ((1,), "args"), ((1, 0), "identifier"), ((1, 1), "n")]
    assert [(p, T.tag(n)) for p, n in T.walk(t)] == want
    # find_all gives walk's items for the matching tags, a str or a collection of them.
    assert [p for p, _ in T.find_all(t, "identifier")] == [(0,), (1, 0)]
    assert [p for p, _ in T.find_all(t, {"n", "args", "nope"})] == [(1,), (1, 1)]
    many = [f"t{i}" for i in range(20)] + ["n"]  # past the linear scan: a hash set
    assert [p for p, _ in T.find_all(t, many)] == [(1, 1)]
    assert list(T.find_all(t, [])) == []


# A quote renders its term at its first HOLE (and again, unrecorded, at the next);
# a quote without HOLE and a child past the last HOLE are recorded empty at their parent's end.
SPANS = [
    ("prefixes-and-code-points", tb("def").w("ö:").p("  ").n().c(tb("body").w("é").n().c(leaf("x", "ü")).b()).x().b(),
     "ö:\n  é\n  ü", [((), 0, 10), ((0,), 5, 10), ((0, 0), 9, 10)]),
    ("quote-twice", quote("q", 0, "", leaf("x", "ab"), [HOLE, cmd(write("-")), HOLE]), "ab-ab", [((), 0, 5), ((0,), 0, 2)]),
    ("quote-hidden", quote("q", 0, "", tb("y").c(leaf("z", "z")).b(), [cmd(write("..."))]), "...",
     [((), 0, 3), ((0,), 3, 3), ((0, 0), 3, 3)]),
    # A tuple "t" with a child but only a Write "<" (the decoder takes that as it comes).
    ("child-past-holes", from_postcard_bytes(b"\x02\x01t\x01" + leaf("k", "k").postcard_bytes() + b"\x01\x00\x00\x01<"),
     "<", [((), 0, 1), ((0,), 1, 1)]),
]  # fmt: skip


@pytest.mark.parametrize("t, text, want", [c[1:] for c in SPANS], ids=[c[0] for c in SPANS])
def test_spans_count_prefixes_code_points_and_unrendered_children(t, text, want):
    assert str(t) == text
    assert [(p, s, e) for p, _, s, e in T.walk(t, spans=True)] == want
    assert [p for p, _ in T.walk(t)] == [w[0] for w in want]


def test_spans_of_an_unrenderable_term_raise_what_rendering_raises():
    bad = from_postcard_bytes(UNBALANCED)
    with pytest.raises(BaseException) as rendering:
        str(bad)
    with pytest.raises(BaseException) as spans:
        T.walk(bad, spans=True)
    assert type(spans.value) is type(rendering.value) and type(spans.value).__name__ == "PanicException"
    assert [p for p, _ in T.walk(bad)] == [(), (0,)]  # walking without rendering is fine
    with pytest.raises(ValueError, match="2 holes for 1 children"):
        rebuilt(bad)


def test_walk_refuses_reentry_from_a_collection_it_triggers():
    t = PARSED[0][2]
    it = T.walk(t, spans=True)
    refused = []

    def on_gc(phase, info):
        if phase == "start":
            try:
                next(it)
            except ValueError as e:
                refused.append(str(e))

    threshold = gc.get_threshold()
    gc.callbacks.append(on_gc)
    gc.set_threshold(1)
    try:
        seen = len(list(it))  # items kept: each next() allocates, and so collects
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(on_gc)
    assert refused and set(refused) == {"walk iterator already executing"} and seen > 0


def test_replace_shares_everything_off_the_path():
    a, b, c = leaf("a", "a"), leaf("b", "b"), leaf("c", "c")
    t = tb("r").c(tb("l").c(a).w(" ").c(b).b()).w(";").c(c).b()
    u = T.replace(t, (0, 1), leaf("z", "z"))
    assert (str(t), str(u)) == ("a b;c", "a z;c")
    assert T.same(T.children(u)[1], c) and T.same(T.children(T.children(u)[0])[0], a)
    assert not T.same(T.children(u)[0], T.children(t)[0])
    assert T.same(T.replace(t, [], c), c) and str(T.replace(t, [1], a)) == "a b;a"
    q = T.replace(Q, (0,), leaf("w", "w"))
    assert (T.kind(q), T.index(q), T.lang(q), str(q)) == ("quote", 7, "py", "[ww")


def test_rewrite_is_bottom_up_shares_and_keeps_the_same_node_when_nothing_changes():
    a, b = leaf("a", "a"), leaf("b", "b")
    left = tb("l").c(a).w("+").c(b).b()
    right = tb("k").c(b).b()
    t = tb("r").c(left).w(" ").c(right).b()
    seen = []

    def fn(n):
        seen.append(str(n))
        return leaf("a", "A") if T.tag(n) == "a" else None

    u = T.rewrite(t, fn)
    assert seen == ["a", "b", "A+b", "b", "b", "A+b b"]
    assert (str(t), str(u)) == ("a+b b", "A+b b")
    assert T.same(T.children(u)[1], right) and T.same(T.children(T.children(u)[0])[1], b)
    assert T.same(T.rewrite(t, lambda n: None), t)
    assert T.same(T.rewrite(t, lambda n: n), t)  # returning the node itself changes nothing
    assert str(T.rewrite(t, lambda n: leaf("x", "!") if T.tag(n) == "r" else None)) == "!"


def test_rename_a_function_matches_tree_sitter_positions():
    from tree_sitter import Parser

    src = 'def fetch(url):\n    return url\n\n\nvalue = fetch("é") + fetch(fetch)\nfetcher = 1\n'
    tree = Parser(language("python")).parse(src.encode())
    t = parse("python", src)
    new = leaf("identifier", "load")
    u = T.rewrite(t, lambda n: new if T.tag(n) == "identifier" and str(n) == "fetch" else None)
    # The expected text, from tree-sitter's own byte positions of the identifiers.
    hits, stack, data = [], [tree.root_node], src.encode()
    while stack:
        n = stack.pop()
        stack.extend(reversed(n.children))
        hits += [(n.start_byte, n.end_byte)] if n.type == "identifier" and n.text == b"fetch" else []
    cuts = [0, *itertools.chain(*hits), len(data)]
    assert str(u) == b"load".join(data[a:b] for a, b in zip(cuts[::2], cuts[1::2], strict=True)).decode()
    assert len(hits) == 4
    # find_all's spans are tree-sitter's positions (in code points).
    spans = [(s, e) for _, n, s, e in T.find_all(t, "identifier", spans=True) if str(n) == "fetch"]
    assert spans == [(len(src.encode()[:s].decode()), len(src.encode()[:e].decode())) for s, e in hits]


def test_a_million_deep_chain_walks_finds_rewrites_and_replaces():
    depth = 1_000_000
    t = chain(depth)
    items = list(itertools.islice(T.walk(t), 1000))
    assert [p for p, _ in items] == [(0,) * k for k in range(1000)]
    assert [s for _, _, s, _ in itertools.islice(T.walk(t, spans=True), 3)] == [0, 1, 2]
    # Paths share their parents': whole walks are linear, and the deepest path
    # (a chain of a million parents) frees without recursion.
    last = collections.deque((p for p, _ in T.walk(t)), maxlen=1).pop()
    assert len(last) == depth and last[-1] == 0 and last[depth // 2] == 0
    assert sum(1 for _ in T.walk(t, spans=True)) == depth + 1
    del last
    ((path, x),) = T.find_all(t, "x")
    assert path == (0,) * depth and str(x) == "x"
    ((path, x, start, end),) = T.find_all(t, "x", spans=True)
    assert (start, end) == (depth, depth + 1)
    r = T.rewrite(t, lambda n: leaf("x", "y") if T.tag(n) == "x" else None)
    text = str(r)
    assert len(text) == 2 * depth + 1 and text[depth] == "y"
    assert T.equal(T.replace(t, path, leaf("x", "y")), r)
    assert T.same(T.rewrite(t, lambda n: None), t)


def paths(n, at=()):
    """Every path of the term ``n`` in pre-order, as tuples, by recursion (for small terms)."""
    yield at
    for i, c in enumerate(T.children(n)):
        yield from paths(c, (*at, i))


@pytest.mark.parametrize("spans", [False, True])
def test_walk_paths_read_like_the_tuples_of_their_positions(spans):
    for _, _, t in PARSED:
        got = [item[0] for item in T.walk(t, spans=spans)]
        want = list(paths(t))
        assert got == want and [tuple(p) for p in got] == want
        assert [list(p) for p in got] == list(map(list, want))
        assert {p: i for i, p in enumerate(got)} == {w: i for i, w in enumerate(want)}  # hash, eq as tuples
        for p, w in zip(got[::7], want[::7], strict=True):
            assert len(p) == len(w) and repr(p) == repr(w) and p[:-1] == w[:-1] and p[1::2] == w[1::2]
            assert [p[i] for i in range(-len(w), len(w))] == [w[i] for i in range(-len(w), len(w))]
            assert (p < w, p <= w, p > w, p >= w, p != w) == (False, True, False, True, False)
            assert p + (9,) == (*w, 9) and (0 in p) == (0 in w)
            assert pickle.loads(pickle.dumps(p)) == w and type(pickle.loads(pickle.dumps(p))) is tuple
        assert sorted(got, key=tuple) == sorted(want) and sorted(reversed(got)) == sorted(want)
        for p, w in zip(got[1::11], want[1::11], strict=True):  # a path is taken where a tuple is
            assert T.equal(T.replace(t, p, GOOD), T.replace(t, w, GOOD))
        ids = [p for p, n in zip(want, (n for _, n in T.walk(t)), strict=True) if T.tag(n) == "identifier"]
        assert [p for p, _ in T.find_all(t, {"identifier"})] == ids
    with pytest.raises(IndexError):
        got[1][len(got[1])]
    assert _native.Path([1, 2]) == (1, 2) and _native.Path() == () and hash(_native.Path([3])) == hash((3,))


@pytest.mark.parametrize(
    "call, err, msg",
    [
        (lambda: T.tag(1), TypeError, "argument 't': expected a KTerm, got 'int'"),
        (lambda: T.same(GOOD, None), TypeError, "argument 'b': expected a KTerm, got 'NoneType'"),
        (lambda: T.walk([GOOD]), TypeError, "argument 't'"),
        (lambda: T.find_all(GOOD, [1]), TypeError, "expected str items, got 'int'"),
        (lambda: T.replace(GOOD, (), 3), TypeError, "argument 'new'"),
        (lambda: T.replace(GOOD, ("0",), GOOD), TypeError, "expected ints, got 'str'"),
        (lambda: T.rewrite(GOOD, 3), TypeError, "expected a callable"),
        (lambda: T.rewrite(tb("p").c(GOOD).b(), lambda n: "x"), TypeError, "fn returned 'str'"),
        (lambda: T.rewrite(tb("p").c(GOOD).b(), lambda n: {}["fn's error"]), KeyError, "fn's error"),  # fn's own error propagates
        (lambda: T.node("t", [GOOD, 1], [("hole", "")] * 2), TypeError, r"children\[1\]': expected a KTerm"),
        (lambda: T.node("t", [], [["write", "x"]]), TypeError, "pair"),
        (lambda: T.replace(chain(2), (0, 1), GOOD), IndexError, r"path \(0, 1\) does not exist: the node at \(0,\) has 1 children"),
        (lambda: T.replace(GOOD, (-1,), GOOD), IndexError, "does not exist"),
        (lambda: T.replace(GOOD, (2**70,), GOOD), IndexError, "does not exist"),
        (lambda: T.node("t", [GOOD], []), ValueError, "0 holes for 1 children"),
        (lambda: T.node("t", [], [("hole", "")] * 2), ValueError, "2 holes for 0 children"),
        (lambda: T.node("q", [GOOD, GOOD], [], kind="quote"), ValueError, "a quote takes exactly one child, got 2"),
        (lambda: T.node("t", [], [("jump", "")]), ValueError, "unknown op 'jump'"),
        (lambda: T.node("t", [], [("nl", "x")]), ValueError, "'nl' command has no text"),
        (lambda: T.node("t", [], [], kind="list"), ValueError, "kind must be"),
        (lambda: T.node("t", [], [], at=(1, 2)), ValueError, "a tuple has no index, lang or at"),
        (lambda: T.node("q", [GOOD], [], kind="quote", index=256), ValueError, "index must be from 0 to 255"),
        (lambda: T.node("q", [GOOD], [], kind="quote", at=(-1, 2)), ValueError, "at must hold ints"),
        (lambda: _native.walk(GOOD), TypeError, r"walk\(\) takes exactly 2 arguments \(1 given\)"),
    ],
)  # fmt: skip
def test_bad_input(call, err, msg):
    with pytest.raises(err, match=msg):
        call()


def test_rename_example(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "rename.py")
    src = tmp_path / "m.py"
    src.write_text("import os\n\n\ndef load(p):  # load it\n    return os.load(load(p))\n", encoding="utf-8")
    proc = subprocess.run([sys.executable, example, str(src), "load", "read"], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    changed = [x for x in proc.stdout.splitlines() if x[:1] in "+-" and x[:3] not in ("+++", "---")]
    assert changed[2:] == ["+def read(p):  # load it", "+    return os.read(read(p))"]
    assert proc.stdout.endswith("# 3 places renamed: load -> read\n")
    globs = {"__name__": "rename_example"}
    exec(compile(open(example, encoding="utf-8").read(), example, "exec"), globs)
    runner = doctest.DocTestRunner()
    for t in doctest.DocTestFinder().find(globs["rename"], "rename", globs=globs):
        runner.run(t)
    assert runner.summarize(verbose=False) == (0, 1)
