"""KTerm: text, repr, evaluation with reduce, and internal failures."""

import builtins
import sys

import pytest

from kovel import _kovel as K
from tests.helpers import UNBALANCED

main = sys.modules["__main__"]


def text(s):
    return K.leaf("t", s)


REPR = [
    ("", '""'), ("\0", r'"\0"'), ("\t\r\n", r'"\t\r\n"'), ('"\\', r'"\"\\"'), ("a'b ~", "\"a'b ~\""),
    ("e\u0301", r'"e\u{301}"'), ("\u200d", r'"\u{200d}"'), ("\x01\x1b", r'"\u{1}\u{1b}"'), ("\x7f", r'"\u{7f}"'),
    ("\u00ad", r'"\u{ad}"'), ("\u0378", r'"\u{378}"'), ("\u2028\u3000", r'"\u{2028}\u{3000}"'),
    ("\U000e0001", r'"\u{e0001}"'), ("é日\U0001f600\u00a0", '"é日\U0001f600\\u{a0}"'),
]  # fmt: skip


@pytest.mark.parametrize("s, shown", REPR)
def test_repr_quotes_the_text(s, shown):
    assert repr(K.tb("t").c(text(s)).b()) == f"KTerm({shown})"


INERT = "+ACI- or 1/0 or +ACI-"
NUL = "nul byte found in provided data at position: {}"
REDUCE = [
    (text("1 + 2"), 3, None), (text("'abc'"), "abc", None), (text("(\n1)"), 1, None),
    (text("x = 1"), SyntaxError, None), (text(""), SyntaxError, None), (text("  42"), IndentationError, None),
    (text("1/0"), ZeroDivisionError, None),
    # A coding declaration in the text is ignored, as by eval(str(t)): the text is already
    # decoded. Under utf-7, "+ACI-" would close the literal and the division would run.
    (K.leaf("expr", "# -*- coding: latin-1 -*-\n'é'"), "é", None),
    (K.tb("e").w("# coding: utf-7\n").c(K.klift(INERT)).b(), INERT, None),
    (K.leaf("expr", "# vim: set fileencoding=ascii :\n('é',\n 1)"), ("é", 1), None),
    (text("abcd\0"), ValueError, NUL.format(4)), (text("é\0x"), ValueError, NUL.format(2)),
    (text("1\0\0"), ValueError, NUL.format(1)),
]  # fmt: skip


@pytest.mark.parametrize("t, result, msg", REDUCE)
def test_reduce(t, result, msg):
    if not isinstance(result, type):
        assert t.reduce() == eval(str(t)) == result
        return
    source = str(t)
    with pytest.raises(result) as e:
        t.reduce()
    assert type(e.value) is result and str(t) == source
    assert not issubclass(result, SyntaxError) or e.value.filename == "<string>"
    assert msg is None or str(e.value) == msg


def test_reduce_uses_main_namespace_and_restores_missing_builtins(monkeypatch):
    monkeypatch.setattr(main, "kovel_probe_value", None, raising=False)
    text("globals().__setitem__('kovel_probe_value', 11)").reduce()
    assert K.name("kovel_probe_value").reduce() == main.kovel_probe_value == 11
    monkeypatch.delattr(main, "__builtins__")
    assert text("len('abc')").reduce() == 3
    assert vars(main)["__builtins__"] is builtins.__dict__


def _panic(call):
    with pytest.raises(BaseException) as e:
        call()
    assert not isinstance(e.value, Exception), e.value
    return e.value


@pytest.mark.parametrize("op", [str, repr, K.KTerm.coparse, K.KTerm.reduce])
def test_rendering_unbalanced_term_panics(op, capfd):
    bad = K.from_postcard_bytes(UNBALANCED)
    for t in (bad, K.quote("q", 0, "py", K.tb("p").w("a").c(bad).b(), [K.HOLE]), K.klift(bad)):
        exc = _panic(lambda t=t: op(t))
        cls = type(exc)
        assert cls.__name__ == "PanicException" and cls.__bases__ == (BaseException,)
        assert len(exc.args) == 1 and isinstance(exc.args[0], str)
        assert capfd.readouterr().err
    # the term is untouched and fails the same way again
    assert bad.postcard_bytes() == UNBALANCED and type(_panic(lambda: str(bad))) is cls
