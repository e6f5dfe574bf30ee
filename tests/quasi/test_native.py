"""The native matcher, rewrite and fill of kovel.quasi against straightforward
Python references (a recursive matcher, kovel.tree.replace one path at a time,
builder calls per node): same matches, paths, spans, bindings and bytes."""

from __future__ import annotations

import _thread
import sys
import threading
import time
from typing import Any

import pytest
from hypothesis import given, strategies as st

from kovel import _native, from_postcard_bytes, leaf, name, tb, tree as kt
from kovel._kovel import KTerm
from kovel.quasi import pattern, template
from kovel.quasi.fill import Siblings, _has_hole, build_constant
from kovel.quasi.lift import LIFTERS
from kovel.quasi.parse import SHole, SNode, parse_quasi
from kovel.treesitter import parse
from tests.helpers import UNBALANCED
from tests.treesitter import reference as ref

Spec = tuple[Any, ...]

# --- The reference matcher: the recursive description of matching. ---

_COMMENTS = {"comment", "line_comment", "block_comment"}


def _token(t: KTerm) -> bool:
    return kt.tag(t) in _COMMENTS or (not kt.children(t) and kt.tag(t) == str(t))


def _inner(t: KTerm) -> KTerm:
    while kt.kind(t) != "tuple":
        t = kt.children(t)[0]
    return t


def _unwrapped(t: KTerm) -> KTerm:
    # A node that writes nothing but blanks around its one child (Go's
    # one-element expression_list) stands for that child.
    t = _inner(t)
    while len(kt.children(t)) == 1 and all(
        op in ("hole", "nl") or (op == "write" and not text.strip()) for op, text in kt.commands(t)
    ):
        t = _inner(kt.children(t)[0])
    return t


def _alike(a: KTerm, b: KTerm) -> bool:
    # Two bindings of one metavariable: a named leaf on either side compares by
    # text; nodes by tag and by their children that are no comments, layout aside.
    a, b = _inner(a), _inner(b)
    if (not kt.children(a) and not _token(a)) or (not kt.children(b) and not _token(b)):
        return str(a) == str(b)
    if kt.tag(a) != kt.tag(b):
        return False
    if not kt.children(a) and not kt.children(b):
        return str(a) == str(b)
    xs = [k for k in kt.children(a) if kt.tag(_inner(k)) not in _COMMENTS]
    ys = [k for k in kt.children(b) if kt.tag(_inner(k)) not in _COMMENTS]
    return len(xs) == len(ys) and all(_alike(x, y) for x, y in zip(xs, ys, strict=True))


def _run(parent: KTerm, ts: tuple[KTerm, ...], j: int, k: int) -> KTerm:
    if j == k:
        return tb(kt.tag(parent)).b()
    out, hole = [], -1
    # A run that ends with a comment keeps the line break after it.
    comment = "comment" in kt.tag(_inner(ts[k - 1]))
    for op, text in kt.commands(parent):
        if op == "hole":
            hole += 1
            if hole >= k:
                break
            if hole >= j:
                out.append((op, text))
        elif j <= hole < k - 1:
            out.append((op, text))
        elif hole == k - 1 and comment and op == "nl":
            out.append((op, text))
            break
    return kt.node(kt.tag(parent), ts[j:k], out)


def _comma(ps: Spec, i: int) -> bool:
    return i < len(ps) and ps[i][0] == 2 and ps[i][2] == ","


class RefMatcher:
    def __init__(self) -> None:
        self.env: dict[str, object] = {}

    def node(self, p: Spec, t: KTerm) -> bool:
        t = _inner(t)
        if p[0] in (0, 1):
            # A metavariable takes no token, nor a comment.
            if _token(t):
                return False
            if p[1] is None:
                return True
            bound = self.env.get(p[1])
            if bound is None:
                self.env[p[1]] = t
                return True
            return isinstance(bound, KTerm) and _alike(_unwrapped(bound), _unwrapped(t))
        if kt.tag(t) != p[1]:
            return False
        kids = kt.children(t)
        if p[0] == 2:
            return not kids and str(t) == p[2]
        return self.seq(p[2], 0, t, kids, 0)

    def seq(self, ps: Spec, i: int, parent: KTerm, ts: tuple[KTerm, ...], j: int) -> bool:
        if i == len(ps):
            return all(_token(x) for x in ts[j:])
        p = ps[i]
        if p[0] == 1:
            for k in range(len(ts), j - 1, -1):
                saved = dict(self.env)
                if self.bind_run(p[1], parent, ts, j, k) and self.seq(ps, i + 1, parent, ts, k):
                    return True
                self.env = saved
            # A run of nothing takes the comma after it along.
            saved = dict(self.env)
            if (
                _comma(ps, i + 1)
                and self.bind_run(p[1], parent, ts, j, j)
                and self.seq(ps, i + 2, parent, ts, j)
            ):
                return True
            self.env = saved
            return False
        if _comma(ps, i) and i + 1 < len(ps) and ps[i + 1][0] == 1:
            # ... and the one before it.
            saved = dict(self.env)
            if self.bind_run(ps[i + 1][1], parent, ts, j, j) and self.seq(ps, i + 2, parent, ts, j):
                return True
            self.env = saved
        if (
            p[0] == 3
            and len(p[2]) == 1
            and p[2][0][0] == 1
            and (j >= len(ts) or kt.tag(ts[j]) != p[1])
            and all(kt.tag(t) != p[1] for t in ts)
        ):
            # A node that only holds a run may be left out (the run is empty) where the term has none.
            saved = dict(self.env)
            if self.bind_run(p[2][0][1], parent, ts, j, j) and self.seq(ps, i + 1, parent, ts, j):
                return True
            self.env = saved
        if j >= len(ts):
            return False
        saved = dict(self.env)
        matched = self.node(p, ts[j])
        if matched and self.seq(ps, i + 1, parent, ts, j + 1):
            return True
        self.env = saved
        if matched and p[0] == 2:
            return False  # the pattern's own token, not skipped to the same one further on
        # A token is skipped, but not to a metavariable (a comment is no token of the code),
        # unless it is a keyword the node starts with (`static` before a method's name).
        tag = kt.tag(_inner(ts[j]))
        keyword = i == 0 and bool(tag) and all(c.islower() and c.isascii() or c == "_" for c in tag)
        skips = _token(ts[j]) and (p[0] != 0 or tag in _COMMENTS or (keyword and tag not in _COMMENTS))
        return skips and self.seq(ps, i, parent, ts, j + 1)

    def bind_run(self, name_: str | None, parent: KTerm, ts: tuple[KTerm, ...], j: int, k: int) -> bool:
        if name_ is None:
            return True
        items = [_inner(x) for x in ts[j:k] if not _token(x)]
        bound = self.env.get(name_)
        if bound is not None:
            return (
                isinstance(bound, list)
                and len(bound) == len(items)
                and all(_alike(a, b) for a, b in zip(bound, items, strict=True))
            )
        self.env[name_] = Siblings(items, _run(parent, ts, j, k))
        return True


def _value(v: object) -> object:
    """A binding in a comparable form: postcard bytes."""
    if isinstance(v, Siblings):
        assert v.raw is not None
        return ([x.postcard_bytes() for x in v], v.raw.postcard_bytes())
    assert isinstance(v, KTerm)
    return v.postcard_bytes()


def reference_matches(spec: Spec, t: KTerm) -> list[tuple[object, ...]]:
    out = []
    for path, node, start, end in kt.walk(t, spans=True):
        if kt.kind(node) != "tuple" or (spec[0] in (2, 3) and kt.tag(node) != spec[1]):
            continue
        m = RefMatcher()
        if m.node(spec, node):
            out.append((path, start, end, {k: _value(v) for k, v in m.env.items()}))
    return out


def native_matches(spec: Spec, t: KTerm, outermost: bool = False) -> list[tuple[object, ...]]:
    prog, out = _native.compile_pattern(spec, Siblings), []
    for path, node, start, end, env, _offsets in _native.match_all(prog, t, outermost):
        assert kt.same(dict(kt.walk(t))[tuple(path)], node)
        out.append((tuple(path), start, end, {k: _value(v) for k, v in env.items()}))
    return out


def _item(m: Any) -> tuple[object, ...]:
    """A match_all item without its node: path, span, bindings as bytes and offsets."""
    return (tuple(m[0]), m[2:4], {k: _value(v) for k, v in m[4].items()}, m[5])


# --- Random terms, and patterns cut from them. ---

TAGS = ["call", "args", "pair"]
TOKENS = ["(", ")", ","]


@st.composite
def terms(draw: st.DrawFn, depth: int = 3) -> KTerm:
    if depth == 0 or draw(st.integers(0, 3)) == 0:
        kind = draw(st.sampled_from(["token", "id", "id", "comment"]))
        if kind == "token":
            tok = draw(st.sampled_from(TOKENS))
            return leaf(tok, tok)
        if kind == "comment":
            return leaf("comment", "# c")
        return leaf("identifier", draw(st.sampled_from(["a", "b"])))
    b = tb(draw(st.sampled_from(TAGS)))
    for i, kid in enumerate(draw(st.lists(terms(depth - 1), max_size=4))):
        gap = draw(st.sampled_from(["", " ", "\n", "  "]))
        if i and gap == "\n":
            b.n()
        elif i and gap:
            b.w(gap)
        b.c(kid)
    t = b.b()
    if draw(st.integers(0, 5)) == 0:  # a quoted subterm is looked through
        t = kt.node("u", [t], [("hole", "")], kind="unquote", index=0, lang="python")
    return t


@st.composite
def cut_pattern(draw: st.DrawFn, t: KTerm) -> Spec:
    """A pattern made from a subterm of `t`: some children become holes or runs, some tokens go."""
    names = st.sampled_from([None, "X", "Y"])

    def spec(n: KTerm, depth: int) -> Spec:
        n = _inner(n)
        kids = kt.children(n)
        if not kids:
            return (2, kt.tag(n), str(n))
        items: list[Spec] = []
        i = 0
        while i < len(kids):
            action = draw(st.sampled_from(["keep", "keep", "hole", "run", "drop"]))
            if action == "run":
                width = draw(st.integers(0, len(kids) - i))
                items.append((1, draw(names)))
                i += width
                continue
            if action == "hole" or (action == "keep" and depth > 3):
                items.append((0, draw(names)))
            elif action == "keep" or not _token(kids[i]):
                items.append(spec(kids[i], depth + 1))
            i += 1
        return (3, kt.tag(n), tuple(items))

    nodes = [n for _, n in kt.walk(t)]
    root = draw(st.sampled_from(nodes))
    if draw(st.integers(0, 9)) == 0:
        return (0, draw(names))
    return spec(root, 0)


@st.composite
def term_and_pattern(draw: st.DrawFn) -> tuple[KTerm, Spec]:
    t = draw(terms())
    return t, draw(cut_pattern(t))


@st.composite
def wide_case(draw: st.DrawFn, kids: str, kinds: str, names: list[str | None]) -> tuple[KTerm, Spec]:
    """A flat node of up to ten children (from `kids`: identifiers a and b, a
    comma, a comment, a nested node) and a pattern of up to seven items (from
    `kinds`: runs, holes, leaves, a nested node) binding `names`."""

    def args(depth: int) -> KTerm:
        b = tb("args")
        for i, kind in enumerate(draw(st.lists(st.sampled_from(kids), max_size=10 if depth else 3))):
            if i:
                b.w(" ")
            if kind == "n" and depth:
                b.c(args(depth - 1))
            elif kind in "ab":
                b.c(leaf("identifier", kind))
            else:
                b.c(leaf(",", ",") if kind in ",n" else leaf("comment", "# c"))
        return b.b()

    def items(depth: int) -> tuple[Spec, ...]:
        out: list[Spec] = []
        for kind in draw(st.lists(st.sampled_from(kinds), max_size=7 if depth else 3)):
            if kind in "rh":
                out.append((1 if kind == "r" else 0, draw(st.sampled_from(names))))
            elif kind == "n" and depth:
                out.append((3, "args", items(depth - 1)))
            elif kind in "ab":
                out.append((2, "identifier", kind))
            else:
                out.append((2, ",", ","))
        return tuple(out)

    return tb("call").c(args(1)).b(), (3, "args", items(1))


# Patterns cut from random terms; and backtracking over many children, which the matcher
# cuts short by remembering failures: with runs of repeated names a failure holds only for
# the bindings it was found with.
CASES = {
    "cut": term_and_pattern(),
    "repeated runs": wide_case("ab", "rrrrrab", ["X", "Y", "Z"]),
    "mixed": wide_case("aaabb,#n", "rrrhab,n", [None, "X", "X", "Y", "Z"]),
}


@pytest.mark.parametrize("kind", CASES)
@given(data=st.data())
def test_native_matches_agree_with_reference(kind: str, data: st.DataObject) -> None:
    t, spec = data.draw(CASES[kind])
    want = reference_matches(spec, t)
    assert native_matches(spec, t) == want
    # Outermost: the matches not inside an earlier one.
    kept: list[tuple[object, ...]] = []
    for m in want:
        path = tuple(m[0])  # type: ignore[call-overload]
        if not kept or path[: len(kept[-1][0])] != kept[-1][0]:  # type: ignore[arg-type]
            kept.append(m)
    assert native_matches(spec, t, outermost=True) == kept
    # Replacing them all at once is replacing one path at a time.
    paths = [m[0] for m in kept]
    news = [leaf("new", f"<{i}>") for i in range(len(paths))]
    one_by_one = t
    for p, n in zip(paths, news, strict=True):
        one_by_one = kt.replace(one_by_one, p, n)
    got = _native.replace_all(t, paths, news)
    assert got.postcard_bytes() == one_by_one.postcard_bytes() and (paths or kt.same(got, t))
    # One search for many patterns finds what each search finds; the same pattern twice: two lists.
    specs = [spec, *data.draw(st.lists(cut_pattern(t), max_size=4))]
    programs = [_native.compile_pattern(s, Siblings) for s in specs]
    programs.append(programs[0])
    for prog, many in zip(programs, _native.match_many(programs, t), strict=True):
        alone = _native.match_all(prog, t, False)
        assert [_item(m) for m in many] == [_item(m) for m in alone]
        assert all(kt.same(a[1], b[1]) for a, b in zip(many, alone, strict=True))


def test_matches_hold_comments_and_quotes_like_the_reference() -> None:
    # f(# note\n a, u(b)) against f($X, $Y): the comment is skipped, the unquote looked through.
    u = kt.node("u", [leaf("identifier", "b")], [("hole", "")], kind="unquote", index=0, lang="python")
    args = tb("args").c(leaf("(", "(")).c(leaf("comment", "# note")).n().c(leaf("identifier", "a"))
    args = args.c(leaf(",", ",")).w(" ").c(u).c(leaf(")", ")")).b()
    t = tb("call").c(leaf("identifier", "f")).c(args).b()
    args = (3, "args", ((2, "(", "("), (0, "X"), (2, ",", ","), (0, "Y"), (2, ")", ")")))
    spec = (3, "call", ((2, "identifier", "f"), args))
    got = native_matches(spec, t)
    assert got == reference_matches(spec, t)
    assert got[0][3] == {"X": name("a").postcard_bytes(), "Y": name("b").postcard_bytes()}


def _nested_spec(depth):
    spec = (2, "x", "x")
    for _ in range(depth):
        spec = (3, "n", (spec,))
    return spec


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: _native.compile_pattern((7, "x"), Siblings), ValueError),
        (lambda: _native.compile_pattern(_nested_spec(30_000), Siblings), RecursionError),
        (lambda: _native.compile_pattern((3, "x", [(0, None)]), Siblings), ValueError),
        (lambda: _native.compile_pattern((0, 5), Siblings), ValueError),
        (lambda: _native.match_all(object(), leaf("a", "a"), False), TypeError),
        (lambda: _native.match_all(_native.compile_pattern((0, None), Siblings), "a", False), TypeError),
        (lambda: _native.replace_all(PAIR, [(1,), (0,)], [PAIR, PAIR]), ValueError),
        (lambda: _native.replace_all(NEST, [(0,), (0, 0)], [PAIR, PAIR]), ValueError),
        (lambda: _native.replace_all(PAIR, [(5,)], [PAIR]), IndexError),
        (lambda: _native.replace_all(PAIR, [(0,)], ["x"]), TypeError),
        (lambda: _native.replace_all(PAIR, [(0,)], []), TypeError),
        (lambda: _native.fill(object(), ()), TypeError),
        (lambda: _native.fill(_native.compile_template("c", "x", (2, PAIR), (), ()), (PAIR,)), TypeError),
        (lambda: _native.compile_template("c", "x", (3, 0), (), ()), ValueError),
        (lambda: _native.compile_template("c", "x", (2, PAIR), (("t", ((4, 0),)),), ()), ValueError),
    ],
)  # fmt: skip
def test_bad_calls_raise(call: Any, error: type[Exception]) -> None:
    with pytest.raises(error):
        call()


def test_unrenderable_term_raises_what_rendering_raises() -> None:
    bad = from_postcard_bytes(UNBALANCED)
    with pytest.raises(BaseException) as rendered:
        str(bad)
    prog = _native.compile_pattern((0, None), Siblings)
    with pytest.raises(BaseException) as matched:
        _native.match_all(prog, bad, False)
    assert type(matched.value) is type(rendered.value) and str(matched.value) == str(rendered.value)
    assert _native.match_all(_native.compile_pattern((2, "none", ""), Siblings), bad, False) == []


PAIR = tb("pair").c(leaf("id", "a")).w(" ").c(leaf("id", "b")).b()
NEST = tb("nest").c(PAIR).b()


def test_compiled_pattern_keeps_reference_counts() -> None:
    key = "".join(["PROBE", "_NAME"])
    before = sys.getrefcount(key)
    for _ in range(50):
        prog = _native.compile_pattern((3, "pair", ((0, key), (1, key))), Siblings)
        _native.match_all(prog, PAIR, False)
        del prog
    assert sys.getrefcount(key) == before
    held = _native.compile_pattern((0, key), Siblings)
    assert sys.getrefcount(key) == before + 1
    assert [sorted(m[4]) for m in _native.match_all(held, PAIR, False)] == [[key]] * 3
    del held
    assert sys.getrefcount(key) == before


@pytest.mark.parametrize(
    ("text", "indent", "expected"),
    [
        ("if x:\n        a\n        b", "    ", "if x:\n    a\n    b"),
        ("'''s\n    t'''", "    ", "'''s\n    t'''"),  # a literal's lines never move
        ("f(a,\n  b)", "    ", "f(a,\n  b)"),  # not indented that far: unchanged
        ("a\n    b", "", "a\n    b"),
    ],
)
def test_dedent(text: str, indent: str, expected: str) -> None:
    t = parse("python", text + "\n")
    assert str(_native.dedent(t, indent)) == expected + "\n"


# --- The reference filler: one builder call per node, as a template reads. ---


def reference_fill(lang: str, code: str, values: dict[str, object]) -> KTerm:
    sk = parse_quasi(lang, code)

    def lift(v: object) -> KTerm:
        return v if isinstance(v, KTerm) else LIFTERS[lang](v)

    def build(n: SNode | SHole) -> KTerm:
        if isinstance(n, SHole):
            m = n.meta
            assert m.name is not None
            v = values[m.name]
            if m.seq and isinstance(v, Siblings) and v.raw is not None and v.unchanged():
                value = v.spliced(n.parent_kind, bool(n.at_end))
            elif m.seq:
                assert isinstance(v, list)
                b = tb(n.parent_kind)
                for i, x in enumerate(v):
                    if i:
                        if not n.statement:
                            b.w(",")
                        b.n() if m.own_line else b.w(" ")
                    b.c(lift(x))
                value = b.b()
            else:
                value = lift(v)
            cmds = [("push", m.indent), ("hole", ""), ("pop", "")] if m.indent else [("hole", "")]
            return kt.node(m.text, [value], cmds, kind="unquote", index=m.index, lang="python", at=m.at)
        if not _has_hole(n):
            return build_constant(n)
        b = tb(n.kind)
        for item in n.items:
            if isinstance(item, str):
                for op, arg in ref.gap_calls(item, n.verbatim):
                    b.w(arg) if op == "w" else b.n()
            else:
                b.c(build(item))
        return b.b()

    return kt.node(sk.root.kind, [build(sk.root)], [("hole", "")], kind="quote", index=0, lang=lang)


RUN = Siblings([name("a"), name("b")], tb("args").c(name("a")).w(",").n().c(name("b")).b())

TEMPLATES = [
    ("python", "def $NAME($$$ARGS):\n    return $NAME\n", {"NAME": name("f"), "ARGS": [name("a"), 2]}),
    ("python", "def f():\n    $$$BODY\n    return 0\n", {"BODY": [leaf("s", "a = 1"), leaf("s", "b = 2")]}),
    ("python", "def f():\n    $$$BODY\n", {"BODY": []}),
    ("python", "g($$$A)", {"A": RUN}),
    ("python", "$X", {"X": "text"}),
    ("python", "pass", {}),
    ("javascript", "function f() {\n  $$$BODY\n}", {"BODY": [leaf("s", "a();"), leaf("s", "b();")]}),
    ("c", "int $N = $V;", {"N": name("n"), "V": 7}),
    ("c", "if ($C) {\n    $$$BODY\n}", {"C": name("ok"), "BODY": [leaf("s", "f();")]}),
]


@pytest.mark.parametrize(("lang", "code", "values"), TEMPLATES)
def test_fill_is_byte_identical_to_builder_calls(lang: str, code: str, values: dict[str, object]) -> None:
    got = template(lang, code).fill(**values)
    want = reference_fill(lang, code, values)
    assert got.postcard_bytes() == want.postcard_bytes()
    assert str(got) == str(want)


# --- Hostile input: runs in a row, deep nesting, matches that run for long. ---


SIX_RUNS = "f($$$A, $$$B, $$$C, $$$D, $$$E, $$$F, 1)"


@pytest.mark.parametrize(
    ("lang", "src", "pat", "runs"),
    [
        # Without memo, backtracking tries every way to cut 99 arguments in six.
        ("python", "f(" + "0, " * 99 + "0)", SIX_RUNS, []),
        (
            "python",
            "f(" + "0, " * 99 + "1)",
            SIX_RUNS,
            [[99, 0, 0, 0, 0, 0]],
        ),  # longest first: the rest take nothing
        # Each end of the run left the rest of the holes to walk again, for every end.
        ("javascript", "x = [" + "," * 4000 + "];", "[$$$A, y]", []),
        ("javascript", "[" + "," * 50 + "y];", "[$$$A, y]", [[0]]),
    ],
)
def test_runs_over_many_items(lang: str, src: str, pat: str, runs: list[list[int]]) -> None:
    found = pattern(lang, pat).find_all(parse(lang, src + "\n"))
    assert [[len(v) for _, v in sorted(m.bindings.items())] for m in found] == runs


@pytest.mark.parametrize("gap", ["", "\n"])
def test_nested_matches_in_a_deep_term(gap: str) -> None:
    depth = 10_000
    src = "x = " + f"f({gap}" * depth + "a" + ")" * depth + "\n"
    t = parse("python", src)
    count, path = 0, None
    for k, m in enumerate(pattern("python", "f($X)").find_all(t)):
        assert m.span == (4 + k * (2 + len(gap)), len(src) - 1 - k)
        assert path is None or (len(m.path) == len(path) + 2 and m.path[-2:] == (1, 1))
        path = m.path
        count += 1
    assert count == depth
    assert (str(m.term), str(m.bindings["X"])) == (f"f({gap}a)", "a")
    node = t
    for i in m.path:
        node = kt.children(node)[i]
    assert kt.same(node, m.term)
    new = pattern("python", "f($X)").rewrite(t, template("python", "g($X)"))
    # Only the outermost name changes; the call keeps its own layout.
    assert str(new) == "x = g" + src[5:]


def test_ctrl_c_stops_a_long_match_and_other_threads_run_meanwhile() -> None:
    # Repeated slots leave states that no memo shares: over 200 arguments this
    # runs for minutes.
    t = parse("python", "f(" + ", ".join(["0"] * 200) + ")\n")
    p = pattern("python", "f($$$A, $$$B, $$$C, $$$A, $$$B, $$$C, 1)")
    stamps, stop = [], threading.Event()

    def loop() -> None:
        while not stop.is_set():
            stamps.append(time.perf_counter())
            sum(range(100))

    worker = threading.Thread(target=loop)
    worker.start()
    time.sleep(0.01)
    timer = threading.Timer(0.5, _thread.interrupt_main)  # Ctrl-C half a second in
    start = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            list(p.find_all(t))
    finally:
        end = time.perf_counter()
        timer.cancel()
        timer.join()
        stop.set()
        worker.join()
    # With the lock held all along, the other thread could only run at the edges.
    middle = [s for s in stamps if start + (end - start) / 4 < s < end - (end - start) / 4]
    assert len(middle) > 10, f"{len(middle)} steps of the other thread during {end - start:.3f} s"
    assert end - start < 10  # not minutes
    t = parse("python", "f(0, 1)\n")  # and the next match runs as usual
    assert [m.span for m in pattern("python", "f($$$A, 1)").find_all(t)] == [(0, 7)]
