"""Terms pickle, copy and cross process boundaries as their postcard bytes."""

import copy
import multiprocessing
import pickle
import subprocess
import sys
from collections.abc import Callable

import pytest

from kovel import HOLE, KTerm, cmd, from_postcard_bytes, klift, leaf, name, quote, tb, unquote, write


def _nested(depth: int) -> KTerm:
    t = leaf("integer", "0")
    for _ in range(depth):
        t = tb("parenthesized").w("(").c(t).w(")").b()
    return t


TERMS = {
    "empty": lambda: tb("module").b(),
    "leaf": lambda: leaf("identifier", "x"),
    "string": lambda: klift('é "q" \\ \n\U0001f600'),
    "layout": lambda: tb("def").w("def f():").p("    ").n().w("return ").c(name("y")).x().n().b(),
    "quote": lambda: quote("q", 7, "py", klift(3), [cmd(write("(")), HOLE, cmd(write(")"))]),
    "unquote": lambda: unquote("u", 255, "html", name("a"), [HOLE, HOLE]),
    "deep": lambda: _nested(3000),  # far deeper than pickle could recurse
}
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def _same_term(a: KTerm, b: KTerm) -> None:
    assert type(a) is KTerm and a is not b
    assert a.postcard_bytes() == b.postcard_bytes()
    assert str(a) == str(b)


@pytest.mark.parametrize("kind", TERMS)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_round_trip(kind: str, protocol: int) -> None:
    t = TERMS[kind]()
    data = pickle.dumps(t, protocol=protocol)
    assert b"from_postcard_bytes" in data and b"kovel._kovel" in data
    _same_term(pickle.loads(data), t)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_keeps_shared_terms_shared(protocol: int) -> None:
    t = TERMS["quote"]()
    a, b, c = pickle.loads(pickle.dumps([t, t, TERMS["quote"]()], protocol=protocol))
    assert a is b and a is not c
    _same_term(a, t)


@pytest.mark.parametrize("kind", TERMS)
@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy(kind: str, copier: Callable[[KTerm], KTerm]) -> None:
    t = TERMS[kind]()
    _same_term(copier(t), t)
    pair = copy.deepcopy({"a": t, "b": t})
    assert pair["a"] is pair["b"]


def _wrap_in_parens(t: KTerm) -> tuple[str, bytes, KTerm]:
    # Runs in the worker process.
    return str(t), t.postcard_bytes(), quote("paren", 1, "py", t, [cmd(write("(")), HOLE, cmd(write(")"))])


def test_terms_cross_process_boundary() -> None:
    terms = [TERMS[kind]() for kind in TERMS]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map_async(_wrap_in_parens, terms).get(timeout=300)
    for t, (text, data, wrapped) in zip(terms, results, strict=True):
        assert (text, data) == (str(t), t.postcard_bytes())
        assert str(wrapped) == f"({t})"
        local = quote("paren", 1, "py", t, [cmd(write("(")), HOLE, cmd(write(")"))])
        assert wrapped.postcard_bytes() == local.postcard_bytes()


def test_unpickle_and_pickle_in_fresh_interpreter() -> None:
    # The child imports nothing itself: unpickling must load kovel, which
    # also makes the term picklable again on the way back.
    t = TERMS["layout"]()
    script = (
        "import pickle, sys; sys.stdout.buffer.write(pickle.dumps(pickle.loads(sys.stdin.buffer.read())))"
    )
    out = subprocess.run(
        [sys.executable, "-c", script], input=pickle.dumps(t), capture_output=True, check=True
    )
    back = pickle.loads(out.stdout)
    _same_term(back, t)
    assert from_postcard_bytes(back.postcard_bytes()).coparse() == t.coparse()
