"""kovel.tree.rendered_length: len(str(t)) without rendering, for any term."""

from hypothesis import given, strategies as st

from kovel import _kovel as K
from kovel.tree import rendered_length

# Line feeds inside texts, multi-byte characters, empty prefixes.
TEXT = st.text(alphabet=st.sampled_from("ab é€😀\n"), max_size=3)
CMD = st.one_of(
    TEXT.map(lambda s: ("w", s)), TEXT.map(lambda s: ("p", s)), st.just(("n", None)), st.just(("x", None))
)


@st.composite
def terms(draw):
    """Nodes of every variant over a pool of earlier ones, so children are shared."""
    pool = [K.leaf("x", draw(TEXT))]
    for _ in range(draw(st.integers(1, 8))):
        cmds = draw(st.lists(CMD, max_size=6))
        kids = draw(st.lists(st.sampled_from(pool), max_size=3))
        for kid in kids:
            cmds.insert(draw(st.integers(0, len(cmds))), ("c", kid))
        variant = draw(st.sampled_from(["tuple", "quote", "unquote"]))
        if variant == "tuple":
            b = K.tb("t")
            for op, arg in cmds:
                getattr(b, op)(*([] if arg is None else [arg]))
            pool.append(b.b())
        else:
            as_cmd = {"w": lambda s: K.cmd(K.write(s)), "p": lambda s: K.cmd(K.push(s))}
            items = [
                K.HOLE
                if op == "c"
                else as_cmd[op](arg)
                if arg is not None
                else K.cmd(K.NL if op == "n" else K.POP)
                for op, arg in cmds
            ]
            make = K.quote if variant == "quote" else K.unquote
            pool.append(make("q", 0, "py", draw(st.sampled_from(pool)), items))
    return pool[-1]


@given(terms(), st.lists(CMD, max_size=4), st.lists(CMD, max_size=4))
def test_exact_for_any_term_under_any_prefixes(t, before, after):
    # The term inside a node whose commands around it change the prefix stack.
    b = K.tb("frame")
    for op, arg in [*before, ("c", t), *after]:
        getattr(b, op)(*([] if arg is None else [arg]))
    for term in (t, b.b()):
        assert rendered_length(term) == len(str(term))
