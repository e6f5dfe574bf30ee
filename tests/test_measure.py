"""kovel.tree.rendered_length: len(str(t)) without rendering, for any term."""

from hypothesis import given, strategies as st

from kovel import _kovel as K
from kovel.tree import rendered_length

# Line feeds inside texts, multi-byte characters, empty prefixes.
TEXT = st.text(alphabet=st.sampled_from("ab é€😀\n"), max_size=3)
CMD = st.tuples(st.sampled_from("wp"), TEXT) | st.sampled_from([("n",), ("x",)])
AS_CMD = {"w": lambda s: K.cmd(K.write(s)), "p": lambda s: K.cmd(K.push(s)), "n": lambda: K.cmd(K.NL)}
AS_CMD |= {"x": lambda: K.cmd(K.POP), "c": lambda _: K.HOLE}


def build(b, cmds):
    for op, *arg in cmds:
        getattr(b, op)(*arg)
    return b.b()


@st.composite
def terms(draw):
    """Nodes of every variant over a pool of earlier ones, so children are shared."""
    pool = [K.leaf("x", draw(TEXT))]
    for _ in range(draw(st.integers(1, 8))):
        cmds = draw(st.lists(CMD, max_size=6))
        for kid in draw(st.lists(st.sampled_from(pool), max_size=3)):
            cmds.insert(draw(st.integers(0, len(cmds))), ("c", kid))
        variant = draw(st.sampled_from([None, K.quote, K.unquote]))
        if variant is None:
            pool.append(build(K.tb("t"), cmds))
        else:
            items = [AS_CMD[op](*arg) for op, *arg in cmds]
            pool.append(variant("q", 0, "py", draw(st.sampled_from(pool)), items))
    return pool[-1]


@given(terms(), st.lists(CMD, max_size=4), st.lists(CMD, max_size=4))
def test_exact_for_any_term_under_any_prefixes(t, before, after):
    # The term inside a node whose commands around it change the prefix stack.
    for term in (t, build(K.tb("frame"), [*before, ("c", t), *after])):
        assert rendered_length(term) == len(str(term))
