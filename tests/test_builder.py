"""tb / Builder, and the layout rules of rendered terms.

Terms are described by small trees:
  ("leaf", tag, code)
  ("tuple", tag, ops)   ops: ("w", s) ("p", s) ("n",) ("x",) ("c", tree) ("e", tree)
  ("quote" | "unquote", tag, index, lang, tree, cmds)   cmds: ("w", s) ("p", s) ("n",) ("x",) ("h",)
and are built through the module, encoded and rendered by the reference below.
"""
import pytest
from hypothesis import given, strategies as st

from kovel import _kovel as K

LEAF_XY = bytes.fromhex("020178000100000179")


def build(tree):
    kind = tree[0]
    if kind == "leaf":
        return K.leaf(tree[1], tree[2])
    if kind == "tuple":
        b = K.tb(tree[1])
        for op, *args in tree[2]:
            if op in "ce":
                args = [build(args[0])]
            assert getattr(b, op)(*args) is b
        return b.b()
    _, tag, index, lang, inner, cmds = tree
    conv = {"w": lambda s: K.cmd(K.write(s)), "p": lambda s: K.cmd(K.push(s)),
            "n": lambda: K.cmd(K.NL), "x": lambda: K.cmd(K.POP), "h": lambda: K.HOLE}
    fn = K.quote if kind == "quote" else K.unquote
    return fn(tag, index, lang, build(inner), [conv[op](*args) for op, *args in cmds])


def uvarint(n):
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        out.append(low | (0x80 if n else 0))
        if not n:
            return bytes(out)


def txt(s):
    b = s.encode()
    return uvarint(len(b)) + b


CMD = {"w": lambda s: b"\0\0" + txt(s), "n": lambda: b"\0\1", "p": lambda s: b"\0\2" + txt(s),
       "x": lambda: b"\0\3", "h": lambda: b"\1"}


def encode(tree):
    kind = tree[0]
    if kind == "leaf":
        return b"\2" + txt(tree[1]) + b"\0\1\0\0" + txt(tree[2])
    if kind == "tuple":
        ops = [op for op in tree[2] if op != ("w", "")]
        kids = [args[0] for op, *args in ops if op in "ce"]
        cmds = [b"\1" if op in "ce" else CMD[op](*args) for op, *args in ops]
        return (b"\2" + txt(tree[1]) + uvarint(len(kids)) + b"".join(map(encode, kids))
                + uvarint(len(cmds)) + b"".join(cmds))
    _, tag, index, lang, inner, cmds = tree
    return (bytes([kind == "unquote"]) + txt(tag) + bytes([index]) + txt(lang) + encode(inner)
            + uvarint(len(cmds)) + b"".join(CMD[op](*args) for op, *args in cmds) + b"\0")


def render(tree, stack=None, out=None):
    stack, out = ([], []) if out is None else (stack, out)
    if tree[0] == "leaf":
        out.append(tree[2])
    else:
        for op, *args in tree[2] if tree[0] == "tuple" else tree[5]:
            if op == "w":
                out.append(args[0])
            elif op == "n":
                out.append("\n" + "".join(stack))
            elif op == "p":
                stack.append(args[0])
            elif op == "x" and stack:
                stack.pop()
            elif op in "ce":
                render(args[0], stack, out)
            elif op == "h":
                render(tree[4], stack, out)
    return "".join(out)


def T(*ops, tag="t"):
    return ("tuple", tag, list(ops))


W, P, N, X = (lambda s: ("w", s)), (lambda s: ("p", s)), ("n",), ("x",)
A_NL_B = T(W("a"), N, W("b"))

LAYOUT = [
    (T(), ""),
    (T(W("if x:"), P("    "), N, W("a = 1"), N, W("b = 2"), X, N, W("c")), "if x:\n    a = 1\n    b = 2\nc"),
    (T(P("  "), N, N, W("x")), "\n  \n  x"),
    (T(P("# "), P("- "), N, W("a")), "\n# - a"),
    (T(P("  "), W("p\nq"), N, W("r")), "p\nq\n  r"),
    (T(X, X, W("a")), "a"),
    (T(P("> "), P(""), X, N, W("a")), "\n> a"),
    (T(P("a\nb"), N, W("c")), "\na\nbc"),
    (T(P("> "), N, W("a"), X, W("b"), N, W("c")), "\n> ab\nc"),
    (T(P("zz"), X, N, W("a")), "\na"),
    (T(N), "\n"),
    (T(W("a\0b"), W(""), W("é")), "a\0bé"),
    (T(W("def f():"), P("    "), N, ("c", A_NL_B), X), "def f():\n    a\n    b"),
    (T(("c", T(W("a"), P("  "))), N, W("z")), "a\n  z"),
    (T(("c", ("leaf", "x", "v")), W("+"), ("e", ("leaf", "x", "v"))), "v+v"),
    (T(W("f("), ("c", ("leaf", "identifier", "x")), W(", "), ("c", ("leaf", "integer", "1")), W(")"),
       tag="call"), "f(x, 1)"),
    (("quote", "q", 3, "py", A_NL_B, [("p", "| "), ("h",), ("n",), ("h",)]), "a\n| b\n| a\n| b"),
    (T(P("  "), ("c", ("quote", "q", 0, "", A_NL_B, [("h",), ("x",)])), N, W("z")), "a\n  b\nz"),
]


@pytest.mark.parametrize("tree, text", LAYOUT, ids=[repr(t) for _, t in LAYOUT])
def test_layout(tree, text):
    t = build(tree)
    assert render(tree) == text  # the reference model agrees with the expected layout
    assert str(t) == t.coparse() == text
    assert t.postcard_bytes() == encode(tree)


TEXTS = st.text(st.characters(blacklist_categories=("Cs",)), max_size=5) | st.sampled_from(
    ["", "\n", "  ", "\0", "é", "\r\n"])


def _extend(inner):
    op = st.one_of(st.tuples(st.sampled_from("wp"), TEXTS), st.tuples(st.sampled_from("nx")),
                   st.tuples(st.sampled_from("ce"), inner))
    qop = st.one_of(st.tuples(st.sampled_from("wp"), TEXTS), st.tuples(st.sampled_from("nxh")))
    return st.one_of(
        st.tuples(st.just("tuple"), TEXTS, st.lists(op, max_size=6)),
        st.tuples(st.sampled_from(["quote", "unquote"]), TEXTS, st.integers(0, 255), TEXTS, inner,
                  st.lists(qop, max_size=4)))


TREES = st.recursive(st.tuples(st.just("leaf"), TEXTS, TEXTS), _extend, max_leaves=10)


@given(TREES)
def test_built_terms_render_and_encode_like_the_reference(tree):
    t = build(tree)
    data = t.postcard_bytes()
    assert data == encode(tree)
    assert str(t) == render(tree)
    back = K.from_postcard_bytes(data)
    assert back.postcard_bytes() == data and str(back) == str(t)


# --- Builder states -----------------------------------------------------------

def test_empty_builder_and_empty_texts():
    assert K.tb("x").b().postcard_bytes() == K.tb(tag="x").b().postcard_bytes() == b"\x02\x01x\x00\x00"
    assert K.tb("t").w("").w("").b().postcard_bytes() == b"\x02\x01t\x00\x00"
    assert K.tb("t").p("").b().postcard_bytes() == b"\x02\x01t\x00\x01\x00\x02\x00"


def test_c_and_e_are_equivalent_and_accept_keywords():
    t = K.leaf("x", "y")
    expected = b"\x02\x01t\x01" + LEAF_XY + b"\x01\x01"
    for b in (K.tb("t").c(t), K.tb("t").e(t), K.tb("t").c(child=t), K.tb("t").e(child=t)):
        built = b.b()
        assert built.postcard_bytes() == expected and str(built) == "y"
    assert K.tb("t").w(s="a").p(s="> ").n().b().coparse() == "a\n> "


@pytest.mark.parametrize("call", [
    lambda b: b.w("z"), lambda b: b.w(""), lambda b: b.p("z"), lambda b: b.n(), lambda b: b.x(),
    lambda b: b.c(K.leaf("a", "b")), lambda b: b.e(K.leaf("a", "b"))])
def test_built_builder_ignores_appends(call):
    b = K.tb("t").w("a")
    t = b.b()
    assert call(b) is b
    for _ in range(3):
        with pytest.raises(RuntimeError) as e:
            b.b()
        assert type(e.value) is RuntimeError and str(e.value) == "Builder already built"
    assert str(t) == "a" and t.postcard_bytes() == K.tb("t").w("a").b().postcard_bytes()


@pytest.mark.parametrize("call, exc", [
    (lambda b: b.c("s"), TypeError), (lambda b: b.e(1), TypeError), (lambda b: b.w(1), TypeError),
    (lambda b: b.p(None), TypeError), (lambda b: b.w("\ud800"), UnicodeEncodeError),
    (lambda b: b.p("a", "b"), TypeError), (lambda b: b.c(), TypeError), (lambda b: b.w(q="a"), TypeError),
])
def test_failed_call_leaves_builder_unchanged(call, exc):
    b = K.tb("t").w("a")
    with pytest.raises(exc):
        call(b)
    assert b.b().postcard_bytes() == K.tb("t").w("a").b().postcard_bytes()


def test_builders_are_independent():
    b1, b2 = K.tb("x"), K.tb("x")
    assert b1 is not b2
    b1.w("a")
    assert str(b2.b()) == "" and str(b1.b()) == "a"


@pytest.mark.parametrize("call", [
    lambda: K.Builder.w(K.leaf("a", "b"), "s"), lambda: K.Builder.b(None), lambda: K.Builder.n(K.NL),
    lambda: K.KTerm.coparse(K.tb("x")), lambda: K.KTerm.postcard_bytes(K.HOLE)])
def test_methods_check_self_type(call):
    with pytest.raises(TypeError):
        call()
