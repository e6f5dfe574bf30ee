"""Registration, classes, calling conventions and argument conversion."""

import inspect
import json
import subprocess
import sys
import textwrap
import weakref

import pytest

from kovel import _kovel as K
from tests.helpers import LEAF_XY, Idx

ALL = ["KTerm", "StrCmd", "CmdOrHole", "Builder", "tb", "leaf", "sym", "quote", "unquote", "cmd", "write"]
ALL += ["push", "name", "klift", "klift_html", "from_postcard_bytes", "NL", "POP", "HOLE"]
RANGE = "out of range integral type conversion attempted"
TERM = K.leaf("x", "abc")
IntSub = type("IntSub", (int,), {})
SubTypeError = type("SubTypeError", (TypeError,), {})


Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})
NoLen = type("NoLen", (list,), {"__len__": lambda self: 1 // 0})


def raising(exc):
    def method(self):
        raise exc

    return method


def NoIter(exc):  # an empty list whose iteration raises `exc`
    return type("NoIter", (list,), {"__iter__": raising(exc)})()


def LenRaises(exc):  # a list of one HOLE whose `__len__` raises `exc`
    return type("LenRaises", (list,), {"__len__": raising(exc)})([K.HOLE])


def Unprintable(exc):  # its `str()` raises `exc`
    return type("Unprintable", (), {"__str__": raising(exc)})()


def q(cmds=(), index=0):
    return K.quote("t", index, "l", TERM, cmds)


# Each native function: its signature (None: none shown).
SIGNATURES = {
    K.tb: "(tag)", K.leaf: "(tag, code)", K.sym: "(s)", K.name: "(s)", K.write: "(s)", K.push: "(s)",
    K.cmd: "(c)", K.quote: "(tag, index, lang, term, cmds)", K.unquote: "(tag, index, lang, term, cmds)",
    K.from_postcard_bytes: "(data)", K.klift: "(value)", K.klift_html: "(value)", K.KTerm.coparse: "($self)",
    K.KTerm.postcard_bytes: "($self)", K.KTerm.reduce: "($self)", K.Builder.c: "($self, child)",
    K.Builder.w: "($self, s)", K.Builder.n: "($self)", K.Builder.p: "($self, s)", K.Builder.x: "($self)",
    K.Builder.e: "($self, child)", K.Builder.b: "($self)", K.CmdOrHole: None,
}  # fmt: skip


def test_registration_and_signatures():
    assert K.__all__ == ALL and set(ALL) <= set(dir(K)) and "PanicException" not in dir(K)
    assert (type(K.NL), type(K.POP), type(K.HOLE)) == (K.StrCmd, K.StrCmd, K.CmdOrHole)
    for fname in ALL[4:16]:
        f = getattr(K, fname)
        assert inspect.isbuiltin(f) and f.__name__ == fname and f.__self__ is K and f.__module__ == K.__name__
    for obj, sig in SIGNATURES.items():
        assert obj.__text_signature__ == sig and obj.__doc__.strip(), obj
        params = inspect.signature(obj).parameters.values() if sig else []
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params if p.name != "self"), obj


INSTANCES = {"KTerm": lambda: K.leaf("a", "b"), "StrCmd": lambda: K.write("a")}
INSTANCES |= {"CmdOrHole": lambda: K.cmd(K.NL), "Builder": lambda: K.tb("a")}


@pytest.mark.parametrize("cname", INSTANCES)
def test_class_properties(cname):
    cls = getattr(K, cname)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", cname, cname)
    assert cls.__bases__ == (object,)
    for args in ((), (1,)):
        with pytest.raises(TypeError, match=rf"^cannot create 'builtins\.{cname}' instances$"):
            cls(*args)
    obj, other = INSTANCES[cname](), INSTANCES[cname]()
    assert type(obj) is cls and obj == obj and obj != other and hash(obj) == object.__hash__(obj)
    for call, exc in [(lambda: type("Sub", (cls,), {}), TypeError), (lambda: weakref.ref(obj), TypeError)]:
        with pytest.raises(exc):
            call()
    with pytest.raises(AttributeError):
        obj.attribute = 1


# In a fresh interpreter: `_native` has no library of its own: `_kovel`'s initialisation
# makes and registers it, where every way of importing it finds it, even first. Then objects
# made without their value: the classes are mutable, so reassigning `__new__` lets
# `object.__new__` make a zero-filled one, which cannot be undone in-process. Each call
# must raise the TypeError.
CHILD = textwrap.dedent("""
    import importlib.util, sys
    import kovel._native as n
    import kovel
    from kovel import _kovel, _native
    assert n is _native is kovel._native is sys.modules["kovel._native"], n
    assert n.__name__ == "kovel._native" and importlib.util.find_spec("kovel._native") is n.__spec__
    [kid] = n.children(_kovel.tb("p").c(_kovel.leaf("a", "b")).b())
    assert n.tag(kid) == "a" and type(kid) is _kovel.KTerm

    import copy, gc, json, pickle
    from kovel import _kovel as K, tree as T
    def bare(cls):
        cls.__new__ = staticmethod(lambda cls: object.__new__(cls))
        return cls()
    e, s, h, b = bare(K.KTerm), bare(K.StrCmd), bare(K.CmdOrHole), bare(K.Builder)
    leaf, ok = K.leaf("i", "x"), K.tb("ok")
    calls = {
        "KTerm": [str, repr, K.KTerm.coparse, K.KTerm.postcard_bytes, K.KTerm.reduce, pickle.dumps,
                  copy.copy, copy.deepcopy, ok.c, ok.e, K.klift, K.klift_html,
                  lambda e: K.quote("t", 0, "l", e, []), lambda e: K.unquote("t", 0, "l", e, [K.HOLE]),
                  T.kind, T.tag, T.children, T.commands, T.index, T.lang, T.at, lambda e: T.same(e, leaf),
                  lambda e: T.equal(leaf, e), T.walk, lambda e: T.find_all(e, "x"), lambda e: T.replace(e, (), leaf),
                  lambda e: T.replace(leaf, (), e), lambda e: T.rewrite(e, lambda n: None),
                  lambda e: T.rewrite(leaf, lambda n: e), lambda e: T.node("t", [e], [("hole", "")])],
        "StrCmd": [K.cmd, lambda s: K.cmd(c=s)],
        "CmdOrHole": [lambda h: K.quote("t", 0, "l", leaf, [K.HOLE, h]),
                      lambda h: K.unquote("t", 0, "l", leaf, (h,))],
        "Builder": [lambda b: b.w("a"), lambda b: b.p("a"), K.Builder.n, K.Builder.x,
                    lambda b: b.c(leaf), lambda b: b.e(leaf), K.Builder.b],
    }
    out = {}
    for cname, obj in zip(calls, (e, s, h, b)):
        for i, call in enumerate(calls[cname]):
            try:
                out[f"{cname} {i}"] = repr(call(obj))
            except Exception as exc:
                out[f"{cname} {i}"] = f"{type(exc).__name__}: {exc}"
    out["builder untouched"] = str(ok.w("a").b())  # the refused splices left no HOLE
    del e, s, h, b
    gc.collect()
    print(json.dumps(out))
""")


def test_native_imports_first_and_objects_without_a_value_are_refused():
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out.pop("builder untouched") == "a"
    assert len(out) == 41
    assert out == {key: f"TypeError: '{key.split()[0]}' object has no value" for key in out}


# Each row: a call and its result.
RESULTS = [
    (lambda: K.leaf("a\0b", "c\0").postcard_bytes(), b"\2\3a\0b\0\1\0\0\2c\0"),
    (lambda: K.name("é").postcard_bytes(), b"\2\nidentifier\0\1\0\0\2" + "é".encode()),
    (lambda: (str(TERM), TERM.coparse(), type(TERM)), ("abc", "abc", K.KTerm)),
    (lambda: K.quote(cmds=[K.HOLE], term=TERM, lang="l", index=0, tag="t").coparse(), "abc"),
    (lambda: K.tb(tag="t").c(child=TERM).e(child=TERM).w(s="a").p(s="> ").n().b().coparse(), "abcabca\n> "),
    (lambda: [q(index=i).postcard_bytes()[3] for i in (255, True, IntSub(9), Idx(200))], [255, 1, 9, 200]),
    (lambda: q(b"").coparse(), ""),
    (lambda: q((K.cmd(K.write("(")), K.HOLE, K.cmd(K.write(")")))).coparse(), "(abc)"),
    (lambda: q(NoLen([K.HOLE, K.HOLE])).coparse(), "abcabc"),
    (lambda: q(LenRaises(LookupError())).coparse(), "abc"),
    (lambda: K.from_postcard_bytes(type("B", (bytes,), {})(LEAF_XY)).coparse(), "y"),
]


@pytest.mark.parametrize("call, result", RESULTS)
def test_results(call, result):
    assert call() == result


# Each row: a call, the exception it raises and its message (None: any message not
# starting with "argument").
ERRORS = [
    (lambda: K.sym("a", "b"), TypeError, "sym() takes 1 positional arguments but 2 were given"),
    (lambda: K.tb("x").w("a", "b"), TypeError, "Builder.w() takes 1 positional arguments but 2 were given"),
    (lambda: K.sym("a", s="b"), TypeError, "sym() got multiple values for argument 's'"),
    (lambda: K.leaf("a", q=1, tag="b"), TypeError, "leaf() got an unexpected keyword argument 'q'"),
    (lambda: K.leaf(), TypeError, "leaf() missing 2 required positional arguments: 'tag' and 'code'"),
    (lambda: K.quote("t", 0), TypeError, "quote() missing 3 required positional arguments: 'lang', 'term', and 'cmds'"),
    (lambda: K.tb("x").c(), TypeError, "Builder.c() missing 1 required positional argument: 'child'"),
    (lambda: TERM.coparse(1), TypeError, None),
    (lambda: K.leaf(1, None), TypeError, "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.leaf("t", None), TypeError, "argument 'code': 'None' is not an instance of 'str'"),
    (lambda: K.name(Inner()), TypeError, "argument 's': 'Outer.Inner' object is not an instance of 'str'"),
    (lambda: K.cmd(K.HOLE), TypeError, "argument 'c': 'CmdOrHole' object is not an instance of 'StrCmd'"),
    (lambda: K.tb("x").e(None), TypeError, "argument 'child': 'None' is not an instance of 'KTerm'"),
    (lambda: K.from_postcard_bytes(bytearray(b"\3")), TypeError, "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda: K.quote("t", 0, 2, None, "s"), TypeError, "argument 'lang': 'int' object is not an instance of 'str'"),
    (lambda: K.unquote("t", 0, "l", "x", "s"), TypeError, "argument 'term': 'str' object is not an instance of 'KTerm'"),
    (lambda: K.leaf("\ud800", "c"), UnicodeEncodeError, None),
    (lambda: K.quote("\ud800", 1.0, 0, 0, 0), UnicodeEncodeError, None),
    (lambda: q(index=1.0), TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
    (lambda: q(index=Idx(TypeError("bad"))), TypeError, "argument 'index': bad"),
    (lambda: q(index=Idx(SubTypeError("s"))), SubTypeError, "s"),
    (lambda: q(index=Idx(ValueError("v"))), ValueError, "v"),
    (lambda: q(index=256), OverflowError, RANGE),
    (lambda: q(index=-1), OverflowError, RANGE),
    (lambda: q(index=2**70), OverflowError, None),
    (lambda: q("ab"), TypeError, "argument 'cmds': Can't extract `str` to `Vec`"),
    (lambda: q(iter([])), TypeError, "argument 'cmds': 'list_iterator' object is not an instance of 'Sequence'"),
    (lambda: q({0: K.HOLE}), TypeError, "argument 'cmds': 'dict' object is not an instance of 'Sequence'"),
    (lambda: q(None), TypeError, "argument 'cmds': 'None' is not an instance of 'Sequence'"),
    (lambda: q(b"ab"), TypeError, "argument 'cmds': 'int' object is not an instance of 'CmdOrHole'"),
    (lambda: q([K.HOLE, K.NL]), TypeError, "argument 'cmds': 'StrCmd' object is not an instance of 'CmdOrHole'"),
    (lambda: q([K.HOLE, None]), TypeError, "argument 'cmds': 'None' is not an instance of 'CmdOrHole'"),
    (lambda: q(NoIter(TypeError("no iteration"))), TypeError, "argument 'cmds': no iteration"),
    (lambda: q(NoIter(SubTypeError("sub"))), SubTypeError, "sub"),
    (lambda: q(LenRaises(KeyboardInterrupt())), KeyboardInterrupt, ""),
    (lambda: K.unquote("t", 0, "l", TERM, LenRaises(SystemExit(3))), SystemExit, "3"),
    (lambda: q(LenRaises(MemoryError("len"))), MemoryError, "len"),
    (lambda: q(NoIter(MemoryError("iter"))), MemoryError, "iter"),
    (lambda: q(NoIter(TypeError(Unprintable(ValueError())))), TypeError, "argument 'cmds': <unprintable TypeError object>"),
    (lambda: q(NoIter(TypeError(Unprintable(KeyboardInterrupt("str"))))), KeyboardInterrupt, "str"),
]  # fmt: skip


@pytest.mark.parametrize("call, exc, msg", ERRORS, ids=[m or e.__name__ for _, e, m in ERRORS])
def test_errors(call, exc, msg):
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc
    assert str(e.value) == msg if msg else not str(e.value).startswith("argument")


def test_prefixed_error_keeps_the_cause():
    cause, err = KeyError("k"), TypeError("boom")
    err.__cause__ = cause
    with pytest.raises(TypeError) as e:
        K.unquote("t", 0, "l", TERM, NoIter(err))
    assert str(e.value) == "argument 'cmds': boom" and e.value is not err and e.value.__cause__ is cause
