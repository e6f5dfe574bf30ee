"""Terms pickle, copy and cross process boundaries as their postcard bytes."""

import copy
import multiprocessing
import pickle
import subprocess
import sys

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


def _check(got: list[KTerm], expected: list[KTerm]) -> None:
    assert got[-1] is got[0]  # a term listed twice comes back as one object
    for a, b in zip(got[:-1], expected, strict=True):
        assert type(a) is KTerm and a is not b
        assert a.postcard_bytes() == b.postcard_bytes() and str(a) == str(b)


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_pickle_round_trip(protocol: int) -> None:
    terms = _terms()
    data = pickle.dumps(terms + terms[:1], protocol=protocol)
    assert b"from_postcard_bytes" in data and b"kovel._kovel" in data
    _check(pickle.loads(data), terms)


def test_copy() -> None:
    terms = _terms()
    _check(copy.deepcopy(terms + terms[:1]), terms)
    for t in terms:
        c = copy.copy(t)
        assert type(c) is KTerm and c is not t and c.postcard_bytes() == t.postcard_bytes()


def test_unpickle_and_pickle_in_another_interpreter() -> None:
    # The child imports nothing itself: unpickling must load kovel, which
    # also makes the terms picklable again on the way back.
    script = (
        "import pickle, sys; sys.stdout.buffer.write(pickle.dumps(pickle.loads(sys.stdin.buffer.read())))"
    )
    terms = _terms()
    out = subprocess.run(
        [sys.executable, "-c", script], input=pickle.dumps(terms + terms[:1]), capture_output=True
    )
    assert out.returncode == 0, out.stderr.decode()
    _check(pickle.loads(out.stdout), terms)


def _wrap(t: KTerm) -> KTerm:
    return quote("wrapped", 1, "py", t, [cmd(write("[")), HOLE, cmd(write("]"))])


def test_terms_cross_a_multiprocessing_pool() -> None:
    terms = _terms()
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.map(_wrap, terms)
    for a, t in zip(got, terms, strict=True):
        assert str(a) == f"[{t}]" and a.postcard_bytes() == _wrap(t).postcard_bytes()
