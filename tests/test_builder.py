"""tb / Builder, checked against a small pure-Python renderer and encoder.

Trees: ("leaf", tag, code), ("tuple", tag, ops) with ops ("w"|"p", s) ("n",) ("x",) ("c"|"e", tree),
("quote"|"unquote", tag, index, lang, tree, cmds) with cmds like ops but ("h",) for a child."""

import pytest
from hypothesis import given, strategies as st

from kovel import _kovel as K

STR_CMDS = {"w": K.write, "p": K.push, "n": lambda: K.NL, "x": lambda: K.POP}


def build(tree):
    kind = tree[0]
    if kind == "leaf":
        return K.leaf(tree[1], tree[2])
    if kind == "tuple":
        b = K.tb(tree[1])
        for op, *args in tree[2]:
            assert getattr(b, op)(*[build(a) for a in args] if op in "ce" else args) is b
        return b.b()
    _, tag, index, lang, inner, cmds = tree
    fn = K.quote if kind == "quote" else K.unquote
    qcmds = [K.HOLE if op == "h" else K.cmd(STR_CMDS[op](*a)) for op, *a in cmds]
    return fn(tag, index, lang, build(inner), qcmds)


def n(count):  # every count and text length here fits one varint byte
    assert count < 128
    return bytes([count])


def txt(s):
    return n(len(s.encode())) + s.encode()


def cmd(op, *args):
    return b"\1" if op in "ceh" else bytes([0, "wnpx".index(op)]) + b"".join(map(txt, args))


def encode(tree):
    kind = tree[0]
    if kind == "leaf":
        return b"\2" + txt(tree[1]) + b"\0\1\0\0" + txt(tree[2])
    if kind == "tuple":
        ops = [op for op in tree[2] if op != ("w", "")]
        kids = [args[0] for op, *args in ops if op in "ce"]
        head = b"\2" + txt(tree[1]) + n(len(kids)) + b"".join(map(encode, kids))
        return head + n(len(ops)) + b"".join(cmd(*op) for op in ops)
    _, tag, index, lang, inner, cmds = tree
    head = bytes([kind == "unquote"]) + txt(tag) + bytes([index]) + txt(lang) + encode(inner)
    return head + n(len(cmds)) + b"".join(cmd(*op) for op in cmds) + b"\0"


def render(tree, stack=None, out=None):
    stack, out = ([], []) if out is None else (stack, out)
    for op, *args in [("w", tree[2])] if tree[0] == "leaf" else tree[-1]:
        if op in "ceh":
            render(args[0] if args else tree[4], stack, out)
        elif op in "wn":
            out.append(args[0] if args else "\n" + "".join(stack))
        elif op == "p":
            stack.append(args[0])
        elif stack:
            stack.pop()
    return "".join(out)


TEXTS = st.sampled_from(["", "\n", "\0", "é"]) | st.text(st.characters(exclude_categories=["Cs"]), max_size=5)
TEXT_OPS = st.tuples(st.sampled_from("wp"), TEXTS)
QUOTES = st.sampled_from(["quote", "unquote"])


def _extend(inner):
    op = TEXT_OPS | st.tuples(st.sampled_from("nx")) | st.tuples(st.sampled_from("ce"), inner)
    qops = st.lists(TEXT_OPS | st.tuples(st.sampled_from("nxh")), max_size=4)
    tuples = st.tuples(st.just("tuple"), TEXTS, st.lists(op, max_size=6))
    return tuples | st.tuples(QUOTES, TEXTS, st.integers(0, 255), TEXTS, inner, qops)


TREES = st.recursive(st.tuples(st.just("leaf"), TEXTS, TEXTS), _extend, max_leaves=10)


@given(TREES)
def test_built_terms_render_and_encode_like_the_reference(tree):
    t = build(tree)
    data = t.postcard_bytes()
    assert data == encode(tree) and str(t) == render(tree)
    back = K.from_postcard_bytes(data)
    assert back.postcard_bytes() == data and str(back) == str(t)


def test_built_builder_ignores_appends_and_refuses_to_build_again():
    b = K.tb("t").w("a")
    t = b.b()
    for call in (lambda: b.w("z"), lambda: b.p("z"), b.n, b.x, lambda: b.c(t), lambda: b.e(t)):
        assert call() is b
    for _ in range(2):
        with pytest.raises(RuntimeError) as e:
            b.b()
        assert type(e.value) is RuntimeError and str(e.value) == "Builder already built"
    assert t.postcard_bytes() == b"\x02\x01t\x00\x01\x00\x00\x01a"


def test_failed_call_leaves_builder_unchanged():
    b, leaf = K.tb("t").w("a"), K.leaf("a", "b")
    calls = [lambda: b.c("s"), lambda: b.w(1), lambda: b.p("\ud800"), lambda: b.e(), lambda: b.w(q="a")]
    calls += [lambda: K.Builder.w(leaf, "s"), lambda: K.Builder.n(K.NL), lambda: K.KTerm.coparse(b)]
    for call in calls:
        with pytest.raises((TypeError, UnicodeEncodeError)):
            call()
    assert b.b().postcard_bytes() == K.tb("t").w("a").b().postcard_bytes()
