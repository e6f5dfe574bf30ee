"""KTerm: text, repr, evaluation with reduce, and internal failures."""
import builtins
import sys

import pytest

from kovel import _kovel as K

LEAF_XY = bytes.fromhex("020178000100000179")
# A Tuple "t" with one child (the leaf x/y) but two HOLEs: it encodes, it cannot render.
UNBALANCED = b"\x02\x01t\x01" + LEAF_XY + b"\x02\x01\x01"


def text(s):
    return K.leaf("t", s)


@pytest.mark.parametrize("s, shown", [
    ("", '""'), ("abc", '"abc"'), (" ", '" "'), ("\0", r'"\0"'), ("\t", r'"\t"'), ("\n", r'"\n"'),
    ("\r", r'"\r"'), ('"', r'"\""'), ("\\", r'"\\"'), ("\n\"", r'"\n\""'), ("\t\\é", r'"\t\\é"'),
    ("a'b", "\"a'b\""), ("e\u0301", r'"e\u{301}"'), ("\u0300", r'"\u{300}"'), ("\u00a0", r'"\u{a0}"'),
    ("\u200b", r'"\u{200b}"'), ("\u200d", r'"\u{200d}"'), ("\u001b", r'"\u{1b}"'), ("\x01", r'"\u{1}"'),
    ("\x7f", r'"\u{7f}"'), ("\u0085", r'"\u{85}"'), ("\u00ad", r'"\u{ad}"'), ("\u0378", r'"\u{378}"'),
    ("\u2028", r'"\u{2028}"'), ("\u2029", r'"\u{2029}"'), ("\u3000", r'"\u{3000}"'),
    ("\ue000", r'"\u{e000}"'), ("\U000e0001", r'"\u{e0001}"'), ("\ufe0f", r'"\u{fe0f}"'),
    ("\U0001F600", '"\U0001F600"'), ("é", '"é"'), ("日本", '"日本"'), ("\x0b", r'"\u{b}"'),
    ("a\tb\\c\"d'e", r'"a\tb\\c\"d' + "'" + 'e"'),
])
def test_repr_quoting(s, shown):
    assert repr(text(s)) == f"KTerm({shown})"


def test_repr_renders_whole_term():
    t = K.tb("s").w("[").c(text("a\nb")).n().c(text("\0")).b()
    assert repr(t) == r'KTerm("[a\nb\n\0")'


@pytest.mark.parametrize("source, value", [
    ("1 + 2", 3), ("'abc'", "abc"), ("[1, 2][1]", 2), ("-9223372036854775808", -2 ** 63),
    ("(lambda: 7)()", 7), ("None", None), ("(\n1)", 1),
])
def test_reduce_evaluates_expressions(source, value):
    assert text(source).reduce() == value


@pytest.mark.parametrize("source, exc", [
    ("x = 1", SyntaxError), ("import os", SyntaxError), ("", SyntaxError), ("1 +", SyntaxError), ("  42", IndentationError),
    ("1/0", ZeroDivisionError), ("kovel_surely_undefined_name", NameError),
])
def test_reduce_propagates_errors(source, exc):
    with pytest.raises(exc) as e:
        text(source).reduce()
    assert type(e.value) is exc
    if exc is SyntaxError:
        assert e.value.filename == "<string>"


@pytest.mark.parametrize("source, pos", [("abcd\0", 4), ("\0", 0), ("é\0x", 2), ("x = \0", 4), ("1\0\0", 1)])
def test_reduce_refuses_nul(source, pos):
    t = text(source)
    with pytest.raises(ValueError) as e:
        t.reduce()
    assert type(e.value) is ValueError
    assert str(e.value) == f"nul byte found in provided data at position: {pos}"
    assert str(t) == source


main = sys.modules["__main__"]


def test_reduce_reads_main_namespace(monkeypatch):
    probe = object()
    monkeypatch.setattr(main, "kovel_probe_value", probe, raising=False)
    assert K.name("kovel_probe_value").reduce() is probe
    monkeypatch.setattr(main, "kovel_probe_value", 5)
    assert K.name("kovel_probe_value").reduce() == 5
    monkeypatch.setattr(main, "kovel_probe_set", None, raising=False)
    text("globals().__setitem__('kovel_probe_set', 11)").reduce()
    assert main.kovel_probe_set == 11


def test_reduce_restores_missing_builtins(monkeypatch):
    monkeypatch.delattr(main, "__builtins__")
    assert text("len('abc')").reduce() == 3
    assert vars(main)["__builtins__"] is builtins.__dict__


# --- internal failures --------------------------------------------------------

def _panic(call):
    try:
        call()
    except Exception as e:
        pytest.fail(f"expected PanicException, got {type(e).__name__}: {e}")
    except BaseException as e:
        return e
    pytest.fail("no exception raised")


@pytest.mark.parametrize("op", [str, repr, K.KTerm.coparse, K.KTerm.reduce])
@pytest.mark.parametrize("wrap", [
    lambda t: t,
    lambda t: K.tb("p").w("a").c(t).b(),
    lambda t: K.quote("q", 0, "py", t, [K.HOLE]),
    lambda t: K.klift(t),
])
def test_rendering_unbalanced_term_panics(op, wrap, capfd):
    bad = K.from_postcard_bytes(UNBALANCED)
    t = wrap(bad)
    exc = _panic(lambda: op(t))
    cls = type(exc)
    assert cls.__name__ == "PanicException" and cls.__bases__ == (BaseException,)
    assert len(exc.args) == 1 and isinstance(exc.args[0], str)
    assert capfd.readouterr().err
    # the term is untouched and still usable
    assert bad.postcard_bytes() == UNBALANCED
    assert type(_panic(lambda: str(bad))) is cls


def test_extra_children_and_missing_cmds_are_not_failures():
    # Tuple "t" with two children and no cmds; one with two children and one HOLE.
    no_cmds = b"\x02\x01t\x02" + LEAF_XY + LEAF_XY + b"\x00"
    one_hole = b"\x02\x01t\x02" + LEAF_XY + bytes.fromhex("02017a000100000161") + b"\x01\x01"
    assert str(K.from_postcard_bytes(no_cmds)) == ""
    assert str(K.from_postcard_bytes(one_hole)) == "y"
