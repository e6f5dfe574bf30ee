"""Registration, classes, calling conventions and the simple constructors."""
import collections
import inspect
import weakref

import pytest

from kovel import _kovel as K

ALL = ["KTerm", "StrCmd", "CmdOrHole", "Builder", "tb", "leaf", "sym", "quote",
       "unquote", "cmd", "write", "push", "name", "klift", "klift_html",
       "from_postcard_bytes", "NL", "POP", "HOLE"]
FUNCTIONS = ALL[4:16]
CLASSES = ["KTerm", "StrCmd", "CmdOrHole", "Builder"]
RANGE_MSG = "out of range integral type conversion attempted"


def txt(s):
    b = s.encode()
    assert len(b) < 128
    return bytes([len(b)]) + b


def leaf_bytes(tag, code):
    return b"\x02" + txt(tag) + b"\x00\x01\x00\x00" + txt(code)


def inner():
    return K.leaf("x", "abc")


# --- registration -----------------------------------------------------------

def test_registration():
    assert K.__all__ == ALL and set(ALL) <= set(dir(K))
    assert K.__doc__ == ("kovel's core IR, exposed to Python as the native `kovel._kovel` module\n"
                         "(re-exported by the `kovel` package's `__init__.py`).")
    assert "PanicException" not in dir(K)
    for fname in FUNCTIONS:
        f = getattr(K, fname)
        assert inspect.isbuiltin(f) and f.__name__ == fname, fname
        assert f.__self__ is K and f.__module__ == K.__name__, fname


SIGNATURES = [
    (K.tb, "(tag)", "Start building a tuple node with the given tag."),
    (K.leaf, "(tag, code)", "A leaf node: a tag whose only content is `code`."),
    (K.sym, "(s)", "A symbol: a leaf whose tag and code are the same."),
    (K.name, "(s)", "An identifier term (the `⟨N⟩` operator)."),
    (K.write, "(s)", "A `Write` command."),
    (K.push, "(s)", "A `Push` command."),
    (K.cmd, "(c)", "Wrap a `StrCmd` as a `CmdOrHole`."),
    (K.quote, "(tag, index, lang, term, cmds)", "A quoted fragment."),
    (K.unquote, "(tag, index, lang, term, cmds)", "An unquoted splice."),
    (K.from_postcard_bytes, "(data)",
     "Deserialize a `KTerm` from postcard bytes (the `rs↓` protocol in Python)."),
    (K.klift, "(value)", "Lift a Python value to a term that reconstructs it (the `↑` operator).\n"
                         "Supports `int`, `str`, and existing `KTerm`s."),
    (K.klift_html, "(value)",
     "Lift a Python value to an HTML term (the `↑` operator with an `html`\n"
     "splice target). Strings become entity-escaped `text` leaves — inert as\n"
     "text content or as a double-quoted attribute value — and terms pass\n"
     "through unchanged, so already-built fragments can be lifted too."),
    (K.KTerm.coparse, "($self)", "Serialize the term back to source code."),
    (K.KTerm.postcard_bytes, "($self)",
     "Serialize this term to postcard bytes for the heterogeneous `py↓` protocol."),
    (K.KTerm.reduce, "($self)",
     "Eval this term's source and return the resulting Python value (the `↓` operator)."),
    (K.Builder.c, "($self, child)", "Splice a child term."),
    (K.Builder.w, "($self, s)", "Write literal source text."),
    (K.Builder.n, "($self)", "Emit a newline (respecting the current prefix)."),
    (K.Builder.p, "($self, s)", "Push an indentation prefix."),
    (K.Builder.x, "($self)", "Pop an indentation prefix."),
    (K.Builder.e, "($self, child)", None),
    (K.Builder.b, "($self)", "Build the term. Consumes the builder."),
]


@pytest.mark.parametrize("obj, sig, doc", SIGNATURES, ids=lambda v: getattr(v, "__qualname__", None))
def test_text_signatures_and_docstrings(obj, sig, doc):
    assert obj.__text_signature__ == sig
    if doc is None:
        assert isinstance(obj.__doc__, str) and obj.__doc__.strip()
    else:
        assert obj.__doc__ == doc
    params = inspect.signature(obj).parameters.values()
    expected = [p.strip().lstrip("$") for p in sig[1:-1].split(",") if p.strip()]
    assert [p.name for p in params] == expected
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in params if p.name != "self")


# --- classes ----------------------------------------------------------------

INSTANCES = {"KTerm": lambda: K.leaf("a", "b"), "StrCmd": lambda: K.write("a"),
             "CmdOrHole": lambda: K.cmd(K.NL), "Builder": lambda: K.tb("a")}


@pytest.mark.parametrize("cname", CLASSES)
def test_class_properties(cname):
    cls = getattr(K, cname)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", cname, cname)
    assert cls.__bases__ == (object,)
    for args in ((), (1,)):
        with pytest.raises(TypeError) as e:
            cls(*args)
        assert str(e.value) == f"cannot create 'builtins.{cname}' instances"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj, other = INSTANCES[cname](), INSTANCES[cname]()
    assert type(obj) is cls
    with pytest.raises(AttributeError):
        obj.attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert obj == obj and obj != other and hash(obj) == object.__hash__(obj)


def test_class_docstrings():
    assert K.CmdOrHole.__doc__ == ("A `StrCmd` or a child placeholder (`HOLE`), "
                                   "used in `quote`/`unquote` cmds.")
    first, rest = K.StrCmd.__doc__.split("\n", 1)
    assert first.startswith("A single string command (`write`/`NL`/`push`/`POP`).") and rest.strip()
    for cls in (K.KTerm, K.Builder):
        assert "KTerm" in cls.__doc__


def test_constants():
    assert type(K.NL) is K.StrCmd and type(K.POP) is K.StrCmd and type(K.HOLE) is K.CmdOrHole
    assert len({id(K.NL), id(K.POP), id(K.HOLE)}) == 3
    a, b = K.cmd(K.NL), K.cmd(K.NL)
    assert type(a) is K.CmdOrHole and a is not b and a != b


# --- binding ----------------------------------------------------------------

BINDING = [
    (lambda: K.sym("a", "b"), "sym() takes 1 positional arguments but 2 were given"),
    (lambda: K.leaf("a", "b", "c"), "leaf() takes 2 positional arguments but 3 were given"),
    (lambda: K.leaf(1, 2, 3), "leaf() takes 2 positional arguments but 3 were given"),
    (lambda: K.tb("x").w("a", "b"), "Builder.w() takes 1 positional arguments but 2 were given"),
    (lambda: K.sym("a", s="b"), "sym() got multiple values for argument 's'"),
    (lambda: K.from_postcard_bytes(b"", data=b""),
     "from_postcard_bytes() got multiple values for argument 'data'"),
    (lambda: K.leaf("a", tag="b", q=1), "leaf() got multiple values for argument 'tag'"),
    (lambda: K.leaf("a", q=1, tag="b"), "leaf() got an unexpected keyword argument 'q'"),
    (lambda: K.sym(x="a"), "sym() got an unexpected keyword argument 'x'"),
    (lambda: K.tb("x").p(t="a"), "Builder.p() got an unexpected keyword argument 't'"),
    (lambda: K.sym(), "sym() missing 1 required positional argument: 's'"),
    (lambda: K.klift(), "klift() missing 1 required positional argument: 'value'"),
    (lambda: K.leaf(code=1), "leaf() missing 1 required positional argument: 'tag'"),
    (lambda: K.leaf(), "leaf() missing 2 required positional arguments: 'tag' and 'code'"),
    (lambda: K.quote("t", 0),
     "quote() missing 3 required positional arguments: 'lang', 'term', and 'cmds'"),
    (lambda: K.unquote("t"),
     "unquote() missing 4 required positional arguments: 'index', 'lang', 'term', and 'cmds'"),
    (lambda: K.quote(), "quote() missing 5 required positional arguments: "
                        "'tag', 'index', 'lang', 'term', and 'cmds'"),
    (lambda: K.tb("x").c(), "Builder.c() missing 1 required positional argument: 'child'"),
    (lambda: K.tb("x").e(), "Builder.e() missing 1 required positional argument: 'child'"),
    (lambda: K.tb(), "tb() missing 1 required positional argument: 'tag'"),
]


@pytest.mark.parametrize("call, msg", BINDING, ids=[m for _, m in BINDING])
def test_binding_errors(call, msg):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError and str(e.value) == msg


@pytest.mark.parametrize("call", [lambda: K.leaf("a", "b").coparse(1), lambda: K.leaf("a", "b").reduce(x=1),
                                  lambda: K.tb("x").n(1), lambda: K.tb("x").b(1)])
def test_no_argument_methods_refuse_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_bind_by_name():
    assert K.leaf(code="c", tag="t").postcard_bytes() == leaf_bytes("t", "c")
    assert K.quote(cmds=[K.HOLE], term=inner(), lang="l", index=0, tag="t").coparse() == "abc"


# --- conversion -------------------------------------------------------------

class Outer:
    Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})


Str = type("Str", (str,), {})
IntSub = type("IntSub", (int,), {})
SubTypeError = type("SubTypeError", (TypeError,), {})


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Seq:
    """A sequence whose length and iteration are scripted."""
    def __init__(self, items=(), len_exc=None, iter_exc=None):
        self.items, self.len_exc, self.iter_exc = list(items), len_exc, iter_exc

    def __len__(self):
        if self.len_exc:
            raise self.len_exc
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_exc:
            raise self.iter_exc
        return iter(self.items)


TERM = inner()
CONVERSION = [
    (lambda: K.leaf(1, "c"), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.leaf("t", None), "argument 'code': 'None' is not an instance of 'str'"),
    (lambda: K.leaf(1, None), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.sym(b"x"), "argument 's': 'bytes' object is not an instance of 'str'"),
    (lambda: K.name(Outer.Inner()), "argument 's': 'Outer.Inner' object is not an instance of 'str'"),
    (lambda: K.write(1.5), "argument 's': 'float' object is not an instance of 'str'"),
    (lambda: K.push(K.NL), "argument 's': 'StrCmd' object is not an instance of 'str'"),
    (lambda: K.tb(1), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.cmd("x"), "argument 'c': 'str' object is not an instance of 'StrCmd'"),
    (lambda: K.cmd(None), "argument 'c': 'None' is not an instance of 'StrCmd'"),
    (lambda: K.cmd(K.HOLE), "argument 'c': 'CmdOrHole' object is not an instance of 'StrCmd'"),
    (lambda: K.tb("x").c("s"), "argument 'child': 'str' object is not an instance of 'KTerm'"),
    (lambda: K.tb("x").e(None), "argument 'child': 'None' is not an instance of 'KTerm'"),
    (lambda: K.tb("x").w(1), "argument 's': 'int' object is not an instance of 'str'"),
    (lambda: K.from_postcard_bytes(bytearray(b"\x03")),
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda: K.from_postcard_bytes(memoryview(b"\x03")),
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    (lambda: K.from_postcard_bytes("x"), "argument 'data': 'str' object is not an instance of 'bytes'"),
    (lambda: K.quote(1, 300, 2, None, "s"), "argument 'tag': 'int' object is not an instance of 'str'"),
    (lambda: K.quote("t", 0, 2, None, "s"), "argument 'lang': 'int' object is not an instance of 'str'"),
    (lambda: K.unquote("t", 0, "l", None, "s"), "argument 'term': 'None' is not an instance of 'KTerm'"),
    (lambda: K.quote("t", 0, "l", "x", "s"), "argument 'term': 'str' object is not an instance of 'KTerm'"),
    (lambda: K.quote("t", 0, "l", TERM, "s"), "argument 'cmds': Can't extract `str` to `Vec`"),
    (lambda: K.quote("t", 1.0, "l", TERM, []),
     "argument 'index': 'float' object cannot be interpreted as an integer"),
    (lambda: K.quote("t", None, "l", TERM, []),
     "argument 'index': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: K.quote("t", Idx(TypeError("bad index")), "l", TERM, []), "argument 'index': bad index"),
]


@pytest.mark.parametrize("call, msg", CONVERSION, ids=[m for _, m in CONVERSION])
def test_conversion_errors_are_prefixed(call, msg):
    with pytest.raises(TypeError) as e:
        call()
    assert type(e.value) is TypeError and str(e.value) == msg


@pytest.mark.parametrize("call", [
    lambda: K.leaf("\ud800", "c"), lambda: K.leaf("t", "a\udfffb"), lambda: K.push("\udc80"),
    lambda: K.tb("x").w("\ud800"), lambda: K.quote("t", 0, "\ud800", TERM, []),
    lambda: K.quote("\ud800", 1.0, None, None, "s"),
])
def test_lone_surrogate_raises_unicode_error_unprefixed(call):
    with pytest.raises(UnicodeEncodeError) as e:
        call()
    assert not str(e.value).startswith("argument")


def test_str_subclass_accepted_as_text():
    assert K.leaf(Str("t"), Str("c")).postcard_bytes() == leaf_bytes("t", "c")
    assert K.tb(Str("t")).w(Str("c")).b().coparse() == "c"


def _quoted_index(index):
    return K.quote("t", index, "l", TERM, []).postcard_bytes()[3]


@pytest.mark.parametrize("index, expected", [
    (0, 0), (7, 7), (255, 255), (True, 1), (False, 0), (IntSub(9), 9), (Idx(200), 200)])
def test_index_accepts_small_integers(index, expected):
    assert _quoted_index(index) == expected


@pytest.mark.parametrize("index, exc, msg", [
    (256, OverflowError, RANGE_MSG), (-1, OverflowError, RANGE_MSG), (Idx(300), OverflowError, RANGE_MSG),
    (IntSub(-5), OverflowError, RANGE_MSG), (2 ** 70, OverflowError, None), (-(2 ** 70), OverflowError, None),
    (Idx(ValueError("nope")), ValueError, "nope"), (Idx(SubTypeError("sub")), SubTypeError, "sub"),
])
def test_index_errors_are_not_prefixed(index, exc, msg):
    with pytest.raises(exc) as e:
        _quoted_index(index)
    assert type(e.value) is exc
    assert str(e.value) == msg if msg else not str(e.value).startswith("argument")


@pytest.mark.parametrize("cmds, text", [
    ([], ""), ((), ""), (b"", ""), (range(0), ""), ([K.HOLE, K.HOLE], "abcabc"),
    ((K.cmd(K.write("(")), K.HOLE, K.cmd(K.write(")"))), "(abc)"),
    (collections.UserList([K.HOLE]), "abc"), (Seq([K.HOLE], len_exc=TypeError("no len")), "abc"),
    (Seq([K.cmd(K.write("<")), K.HOLE]), "<abc"),
])
def test_cmds_accepts_sequences(cmds, text):
    assert K.quote("t", 0, "l", TERM, cmds).coparse() == text


@pytest.mark.parametrize("cmds, exc, msg", [
    ("ab", TypeError, "argument 'cmds': Can't extract `str` to `Vec`"),
    ("", TypeError, "argument 'cmds': Can't extract `str` to `Vec`"),
    (Str("ab"), TypeError, "argument 'cmds': Can't extract `str` to `Vec`"),
    ((c for c in [K.HOLE]), TypeError, "argument 'cmds': 'generator' object is not an instance of 'Sequence'"),
    ({K.HOLE}, TypeError, "argument 'cmds': 'set' object is not an instance of 'Sequence'"),
    ({0: K.HOLE}, TypeError, "argument 'cmds': 'dict' object is not an instance of 'Sequence'"),
    (None, TypeError, "argument 'cmds': 'None' is not an instance of 'Sequence'"),
    (5, TypeError, "argument 'cmds': 'int' object is not an instance of 'Sequence'"),
    (b"ab", TypeError, "argument 'cmds': 'int' object is not an instance of 'CmdOrHole'"),
    (range(1), TypeError, "argument 'cmds': 'int' object is not an instance of 'CmdOrHole'"),
    ([K.NL], TypeError, "argument 'cmds': 'StrCmd' object is not an instance of 'CmdOrHole'"),
    ([K.HOLE, "x"], TypeError, "argument 'cmds': 'str' object is not an instance of 'CmdOrHole'"),
    ([K.HOLE, None], TypeError, "argument 'cmds': 'None' is not an instance of 'CmdOrHole'"),
    (Seq(iter_exc=TypeError("no iteration")), TypeError, "argument 'cmds': no iteration"),
    (Seq(iter_exc=SubTypeError("sub")), SubTypeError, "sub"),
    (Seq(iter_exc=ValueError("v")), ValueError, "v"),
])
def test_cmds_refusals(cmds, exc, msg):
    with pytest.raises(exc) as e:
        K.quote("t", 0, "l", TERM, cmds)
    assert type(e.value) is exc and str(e.value) == msg


def test_prefixed_error_keeps_the_cause():
    cause, err = KeyError("k"), TypeError("boom")
    err.__cause__ = cause
    with pytest.raises(TypeError) as e:
        K.unquote("t", 0, "l", TERM, Seq(iter_exc=err))
    assert str(e.value) == "argument 'cmds': boom" and e.value is not err and e.value.__cause__ is cause


def test_cmds_are_copied():
    cmds = [K.cmd(K.write("[")), K.HOLE]
    q = K.quote("t", 0, "l", TERM, cmds)
    cmds.append(K.cmd(K.write("]")))
    cmds.clear()
    assert q.coparse() == "[abc"


# --- simple constructors ------------------------------------------------------

@pytest.mark.parametrize("term, tag, code", [
    (lambda: K.leaf("integer", "42"), "integer", "42"), (lambda: K.leaf("", ""), "", ""),
    (lambda: K.leaf("a\0b", "c\0"), "a\0b", "c\0"), (lambda: K.leaf("t", "a\nb"), "t", "a\nb"),
    (lambda: K.sym("x"), "x", "x"), (lambda: K.sym(""), "", ""),
    (lambda: K.name("x"), "identifier", "x"), (lambda: K.name("é"), "identifier", "é"),
])
def test_leaf_constructors(term, tag, code):
    t = term()
    assert type(t) is K.KTerm and t.postcard_bytes() == leaf_bytes(tag, code)
    assert str(t) == t.coparse() == code
