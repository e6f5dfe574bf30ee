"""Terms pickle, copy and cross process boundaries as their postcard bytes."""

import multiprocessing
import pickle

import pytest

from kovel import HOLE, KTerm, cmd, klift, name, quote, tb, unquote, write


def _terms() -> list[KTerm]:
    deep = klift(0)
    for _ in range(3000):  # far deeper than pickle could recurse
        deep = tb("parenthesized").w("(").c(deep).w(")").b()
    layout = tb("def").w("def f():").p("    ").n().w("return ").c(name("y")).x().n().b()
    return [
        tb("module").b(),
        klift('é "q" \\ \n\U0001f600'),
        quote("q", 7, "py", layout, [cmd(write("(")), HOLE, cmd(write(")"))]),
        unquote("u", 255, "html", name("a"), [HOLE, HOLE]),
        deep,
    ]


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_pickle_round_trip(protocol: int) -> None:
    terms = _terms()
    data = pickle.dumps(terms + terms[:1], protocol=protocol)
    assert b"from_postcard_bytes" in data and b"kovel._kovel" in data
    got = pickle.loads(data)
    assert got[-1] is got[0]  # a term listed twice comes back as one object
    for a, b in zip(got[:-1], terms, strict=True):
        assert (
            type(a) is KTerm and a is not b and a.postcard_bytes() == b.postcard_bytes() and str(a) == str(b)
        )


def _wrap(t: KTerm) -> KTerm:
    return quote("wrapped", 1, "py", t, [cmd(write("[")), HOLE, cmd(write("]"))])


def test_terms_cross_a_multiprocessing_pool() -> None:
    terms = _terms()
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.map(_wrap, terms)
    for a, t in zip(got, terms, strict=True):
        assert str(a) == f"[{t}]" and a.postcard_bytes() == _wrap(t).postcard_bytes()
