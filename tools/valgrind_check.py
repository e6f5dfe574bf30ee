#!/usr/bin/env python3
"""Calls every function, method and error path of kovel._kovel a few times,
checking each outcome; run under valgrind by tools/valgrind.sh to find
leaks and invalid memory use in the extension."""

import gc
import sys
import threading

import __main__
from kovel import _kovel as K

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 2
LEAF_XY = bytes.fromhex("020178000100000179")
UNBALANCED = b"\x02\x01t\x01" + LEAF_XY + b"\x02\x01\x01"
checked = 0


def expect(exc, fn, *args, match=None, **kwargs):
    """Calls fn and checks that it raises exc (with `match` in its message)."""
    global checked
    checked += 1
    try:
        fn(*args, **kwargs)
    except exc as e:
        assert match is None or match in str(e), (fn, args, e)
        return e
    except BaseException as e:
        raise AssertionError(f"{fn!r}{args}: expected {exc.__name__}, got {type(e).__name__}: {e}") from e
    raise AssertionError(f"{fn!r}{args}: expected {exc.__name__}, nothing raised")


def ok(value, expected):
    global checked
    checked += 1
    assert value == expected, (value, expected)


class Text(str):
    pass


class Data(bytes):
    pass


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Seq:
    """A sequence whose length, iteration or elements can fail."""

    def __init__(self, items, bad_len=False, fail_at=None, exc=None):
        self.items, self.bad_len, self.fail_at = items, bad_len, fail_at
        self.exc = exc or TypeError("boom")

    def __len__(self):
        if self.bad_len:
            raise RuntimeError("no length")
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.exc
        return self.items[i]


def module_and_classes():
    ok(list(K.__all__)[:4], ["KTerm", "StrCmd", "CmdOrHole", "Builder"])
    for cls in (K.KTerm, K.StrCmd, K.CmdOrHole, K.Builder):
        expect(TypeError, cls, match="cannot create 'builtins.")
        expect(TypeError, type, "Sub", (cls,), {})
    ok((K.NL is K.NL, K.cmd(K.NL) == K.cmd(K.NL)), (True, False))


def binding_errors():
    for fn, args, kwargs in [
        (K.sym, ("a", "b"), {}),
        (K.sym, ("a",), {"s": "b"}),
        (K.sym, (), {"x": "b"}),
        (K.sym, (), {}),
        (K.leaf, (), {}),
        (K.quote, (), {}),
        (K.unquote, ("t",), {}),
        (K.cmd, (), {"c": K.NL, "d": 1}),
        (K.tb, (), {}),
        (K.name, (1, 2), {}),
        (K.klift, (), {}),
        (K.klift_html, (1, 2), {}),
        (K.from_postcard_bytes, (), {"data": b"", "x": 1}),
        (K.write, (), {}),
        (K.push, ("a", "b"), {}),
    ]:
        expect(TypeError, fn, *args, **kwargs)


def texts_and_commands():
    for fn in (K.sym, K.name, K.write, K.push, K.tb):
        fn("x"), fn(Text("y")), fn(s="z") if fn is not K.tb else fn(tag="z"), fn("a\0b" + "é" * 50)
        expect(TypeError, fn, 1, match="'int' object is not an instance of 'str'")
        expect(TypeError, fn, None, match="'None' is not an instance of 'str'")
        expect(UnicodeEncodeError, fn, "\ud800")
    ok(str(K.leaf(code="c", tag="t")), "c")
    expect(TypeError, K.leaf, "t", 1)
    expect(UnicodeEncodeError, K.leaf, "t", "\udfff")
    for c in (K.write("w"), K.push(""), K.NL, K.POP):
        K.cmd(c), K.cmd(c=c)
    for bad in (K.HOLE, None, "x", 1):
        expect(TypeError, K.cmd, bad, match="argument 'c'")


def quoting():
    t = K.leaf("x", "y")
    cmds = [K.cmd(K.write("(")), K.HOLE, K.cmd(K.write(")"))]
    for fn in (K.quote, K.unquote):
        ok(str(fn("t", 0, "py", t, cmds)), "(y)")
        ok(str(fn(Text("t"), True, Text("l"), t, tuple(cmds))), "(y)")
        ok(str(fn(tag="t", index=Index(255), lang="", term=t, cmds=Seq(cmds, bad_len=True))), "(y)")
        fn("t", 1, "l", t, []), fn("t", 1, "l", t, range(0))
        for index, exc in [
            (-1, OverflowError),
            (256, OverflowError),
            (2**70, OverflowError),
            (1.5, TypeError),
            (None, TypeError),
            (Index(TypeError("i")), TypeError),
            (Index(ValueError("v")), ValueError),
            (Index(300), OverflowError),
        ]:
            expect(exc, fn, "t", index, "l", t, cmds)
        expect(TypeError, fn, 1, 0, "l", t, cmds, match="argument 'tag'")
        expect(UnicodeEncodeError, fn, "t", 0, "\ud800", t, cmds)
        expect(TypeError, fn, "t", 0, "l", "term", cmds, match="argument 'term'")
        expect(TypeError, fn, "t", 0, "l", None, cmds, match="'None' is not an instance of 'KTerm'")
        for bad, match in [
            ("ab", "Can't extract `str` to `Vec`"),
            ({K.HOLE}, "'Sequence'"),
            (iter(cmds), "'Sequence'"),
            (b"ab", "'int' object is not an instance of 'CmdOrHole'"),
            ([K.HOLE, K.NL], "'CmdOrHole'"),
            (range(3), "'CmdOrHole'"),
            (Seq(cmds, fail_at=1), "argument 'cmds': boom"),
            ([K.HOLE, None], "'None' is not an instance of 'CmdOrHole'"),
        ]:
            expect(TypeError, fn, "t", 0, "l", t, bad, match=match)
        expect(KeyError, fn, "t", 0, "l", t, Seq(cmds, fail_at=2, exc=KeyError("k")))


def postcard():
    t = K.quote("q", 3, "py", K.leaf("x", "y"), [K.HOLE, K.cmd(K.NL), K.cmd(K.push("  ")), K.cmd(K.POP)])
    data = t.postcard_bytes()
    ok(K.from_postcard_bytes(data).postcard_bytes(), data)
    ok(K.from_postcard_bytes(Data(data + b"tail")).postcard_bytes(), data)
    ok(K.from_postcard_bytes(data=LEAF_XY).coparse(), "y")
    for bad, msg in [
        (b"", "Hit the end"),
        (data[:-1], "Hit the end"),
        (b"\x03", "Serde"),
        (b"\xff\xff\xff\xff\x1f", "varint"),
        (b"\x02\x01\xff", "utf-8"),
        (data[:-1] + b"\x02", "Option"),
        (b"\x02\x00\x00\x01\x00\x04", "Serde"),
        (b"\x02\x00\x02" + LEAF_XY + b"\x02", "Hit the end"),
        (b"\x02\x00" + b"\xff" * 9 + b"\x01" + LEAF_XY, "Hit the end"),
    ]:
        expect(ValueError, K.from_postcard_bytes, bad, match=msg)
    for bad in (bytearray(data), memoryview(data), "x", None):
        expect(TypeError, K.from_postcard_bytes, bad, match="argument 'data'")


def term_methods():
    t = K.tb("t").w("a\t\\é\u0301\u200b\"'").n().w("1 + 2").b()
    ok(str(t), t.coparse())
    repr(t), t.postcard_bytes()
    ok(K.leaf("i", "1 + 2").reduce(), 3)
    ok(K.klift("abc").reduce(), "abc")
    expect(SyntaxError, K.leaf("s", "x = 1").reduce)
    expect(NameError, K.leaf("s", "undefined_name_for_check").reduce)
    expect(ValueError, K.leaf("s", "1234\0").reduce, match="position: 4")
    builtins = __main__.__dict__.pop("__builtins__")
    try:
        ok(K.leaf("s", "len('ab')").reduce(), 2)  # puts __builtins__ back
    finally:
        __main__.__dict__["__builtins__"] = builtins
    for method in (K.KTerm.coparse, K.KTerm.postcard_bytes, K.KTerm.reduce):
        expect(TypeError, method, t, 1)
        expect(TypeError, method, "not a term")
    bad = K.from_postcard_bytes(UNBALANCED)
    bad.postcard_bytes()
    for render in (str, repr, K.KTerm.coparse, K.KTerm.reduce, lambda b: str(K.klift(K.tb("p").c(b).b()))):
        e = expect(BaseException, render, bad)
        ok(type(e).__name__, "PanicException")


def builder():
    leaf = K.leaf("x", "y")
    b = K.tb("t")
    for step in (
        lambda: b.w("a"),
        lambda: b.w(s=""),
        lambda: b.p("  "),
        lambda: b.p(s=Text("")),
        b.n,
        b.x,
        lambda: b.c(leaf),
        lambda: b.c(child=leaf),
        lambda: b.e(leaf),
        lambda: b.e(child=leaf),
    ):
        ok(step() is b, True)
    for call, exc in [
        (lambda: b.w(1), TypeError),
        (lambda: b.w("\ud800"), UnicodeEncodeError),
        (lambda: b.p(None), TypeError),
        (lambda: b.c("x"), TypeError),
        (lambda: b.e(None), TypeError),
        (lambda: b.c(), TypeError),
        (lambda: b.w("a", "b"), TypeError),
        (lambda: b.n(1), TypeError),
        (lambda: b.w(x="a"), TypeError),
        (lambda: K.Builder.w(leaf, "a"), TypeError),
        (lambda: K.Builder.b("x"), TypeError),
    ]:
        expect(exc, call)
    ok(str(b.b()), "a\n  yyyy")
    for step in (lambda: b.w("a"), lambda: b.c(leaf), lambda: b.e(leaf), b.n, b.x, lambda: b.p("p")):
        ok(step() is b, True)
    expect(RuntimeError, b.b, match="Builder already built")
    expect(RuntimeError, b.b, match="Builder already built")
    K.tb("dropped").w("open builder").c(leaf)  # released unbuilt


def borrowed_builder():
    """A gc callback that runs while a Builder method holds its borrow."""
    b, armed, seen = K.tb("t"), [False], []

    def cb(phase, _info):
        if phase == "start" and armed[0]:
            armed[0] = False
            for call in (lambda: b.w("x"), lambda: b.c(K.leaf("a", "b")), b.n, b.b):
                try:
                    call()
                except RuntimeError as e:
                    seen.append(str(e))

    old = gc.get_threshold()
    gc.callbacks.append(cb)
    gc.set_threshold(1)
    try:
        try:
            gc.collect()
            armed[0] = True
            b.w("\ud800")
        except UnicodeEncodeError:
            pass
    finally:
        gc.callbacks.remove(cb)
        gc.set_threshold(*old)
    if sys.version_info < (3, 12):
        ok(seen, ["Already borrowed"] * 4)
    b.b()


def lifting():
    t = K.leaf("x", "y")
    for fn, tag in ((K.klift, "klift"), (K.klift_html, "klift_html")):
        ok(str(fn(t)), "y")
        for v in (
            0,
            -42,
            True,
            2**63 - 1,
            -(2**63),
            Index(5),
            "",
            'a"b\\c\n',
            "<&>'\"",
            "é" * 100,
            Text("s"),
        ):
            str(fn(v)), fn(value=v).postcard_bytes()
        for v in (2**63, -(2**63) - 1, 1.5, None, b"x", "\ud800", Index(ValueError("no")), [1]):
            expect(TypeError, fn, v, match=f"{tag}: unsupported type")


def sharing_and_depth():
    t = K.leaf("x", "y")
    for _ in range(2000):
        t = K.tb("p").c(t).c(t).b() if _ % 500 == 0 else K.tb("p").w("(").c(t).w(")").b()
    len(t.postcard_bytes()), len(str(t))
    deep = K.from_postcard_bytes(b"\x00\x00\x00\x00" * 5000 + LEAF_XY + b"\x01\x01\x00" * 5000)
    ok(str(deep), "y")


def threads():
    shared = K.tb("s").w("shared").c(K.klift("v")).b()

    def work():
        for i in range(20):
            K.from_postcard_bytes(K.quote("q", i, "py", shared, [K.HOLE]).postcard_bytes()).coparse()

    ts = [threading.Thread(target=work) for _ in range(3)]
    for th in ts:
        th.start()
    for th in ts:
        th.join()


def main():
    for _ in range(ROUNDS):
        for part in (
            module_and_classes,
            binding_errors,
            texts_and_commands,
            quoting,
            postcard,
            term_methods,
            builder,
            borrowed_builder,
            lifting,
            sharing_and_depth,
            threads,
        ):
            part()
    gc.collect()
    print(f"valgrind_check: {checked} checks passed in {ROUNDS} rounds")


if __name__ == "__main__":
    main()
