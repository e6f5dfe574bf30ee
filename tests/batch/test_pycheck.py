"""Python's verdict on a rewrite, from the statements it touches, is the verdict on the whole file."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

pytest.importorskip("tree_sitter_python")

from kovel.batch.pycheck import compile_error, compiles_in_pieces, newly_rejected  # noqa: E402
from kovel.treesitter import parse  # noqa: E402
from kovel.treesitter.convert import syntax_errors  # noqa: E402

# Top-level statements, each holding the placeholder `print(0)` somewhere:
# at the top level, in blocks, in classes, in brackets and strings' company.
STATEMENTS = [
    "print(0)\n", "x = 1\n", "def f(a):\n    print(0)\n    return a\n",
    "class A:\n    y = print(0)\n\n    def m(self):\n        print(0)\n", "for i in range(3):\n    print(0)\nelse:\n    pass\n",
    "while x:\n    if x:\n        print(0)\n        break\n", "@dec\ndef g():\n    yield print(0)\n",
    "s = '''\nprint(0)\n'''\n", "t = (1,\n     print(0),\n)\n", "# print(0)\n", "\n", "if x:\n    print(0)\nelif y:\n    pass\n",
    "async def h():\n    await print(0)\n", "try:\n    print(0)\nexcept E:\n    raise\n",
    "def k():\n    z = 1\n    def inner():\n        nonlocal z\n        print(0)\n", "with open(p) as fh:\n    print(0)\n",
    "x = 1; print(0)\n", "print(0); x = 2\n", "y = [print(0) for _ in ()]\n", "\tprint(0)\n",
    "from __future__ import annotations\n", "global x\n", "x: int = print(0)\n",
    # Functions inside classes, functions and blocks, whose bodies are compiled alone.
    "class B:\n    @dec\n    def m(self, a=print(0)):\n        print(0)  # note\n    z = 1\n",
    "def outer():\n    class C:\n        async def m(self):\n            for _ in x:\n                print(0)\n    return C\n",
    "if x:\n    def one(): print(0)\nelse:\n    pass\n", "class T:\n\tdef m(self):\n\t\tprint(0)\n\t\tyield\n",
    "def gen():\n    def inner():\n        s = '''\nprint(0)\n'''\n        print(0)\n    yield inner\n",
    "class O:\n    def m(self):\n        class I:\n            def n(self):\n                print(0)\n        return I\n",
    "def outer():\n    n = 0\n    def inner():\n        nonlocal n\n        print(0)\n    def other():\n        print(0)\n",
    "def m():\n    match x:\n        case 1:\n            print(0)\n",
]  # fmt: skip
# What a match may become: fine anywhere, fine in some places, never fine,
# or changing what the statements around it mean.
REPLACEMENTS = [
    "log(0)", "return 0", "break", "continue", "yield 0", "await x", "nonlocal q", "global x",
    "from __future__ import annotations", "x: int = 0", "(", ")", "'''", "lambda: (yield)",
    "print(0)\n  z = 1", "f(\n0)", "\\", "del 1", "*a = 1", "a.b = 1", "__debug__ = 1", "0",
    "print(0)\nif 1:\n    pass", "def q():\n    global x\n    x = 1", "print(0)\nx = 1", "0\n    else: 1", "0\n    x = 1", "yield from x",
]  # fmt: skip


def _cases(text, picks, bodies):
    at = [i for i in range(len(text)) if text.startswith("print(0)", i)]
    chosen = sorted({at[k % len(at)] for k in picks}) if at else []
    replaced = [(a, a + len("print(0)"), bodies[n % len(bodies)]) for n, a in enumerate(chosen)]
    out, last = [], 0
    for a, b, new in replaced:
        out += [text[last:a], new]
        last = b
    return replaced, "".join(out) + text[last:]


@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(st.sampled_from(STATEMENTS), min_size=1, max_size=6),
    st.lists(st.integers(0, 20), min_size=1, max_size=3),
    st.lists(st.sampled_from(REPLACEMENTS), min_size=1, max_size=3),
)
def test_the_touched_statements_give_the_whole_files_verdict(statements, picks, bodies):
    before = "".join(statements)
    replaced, after = _cases(before, picks, bodies)
    if not replaced or after == before:
        return
    # As the rewrite does: only from a text tree-sitter finds no error in.
    if syntax_errors("python", before.encode()):
        return
    t, whole = parse("python", before), newly_rejected("m.py", before, after)
    if not syntax_errors("python", after.encode()):
        assert newly_rejected("m.py", before, after, pieces=(t, replaced)) == whole
    if compiles_in_pieces("m.py", before, after, t, replaced):
        # Enough for the rewrite to ask tree-sitter nothing: no error it would find is new.
        assert compile_error("m.py", before) is not None or compile_error("m.py", after) is None
        assert compile_error("m.py", after) is None or not syntax_errors("python", after.encode())


@pytest.mark.parametrize(
    "before, old, new, pieces_alone",
    [
        ("def f():\n    print(0)\n\nx = 1\n", "print(0)", "log(0)", True),  # one statement compiled
        ("print(0)\ny = 1\n", "print(0)", "return 0", False),  # rejected: the whole file says why
        ("print(0)\nglobal x\n", "print(0)", "x: int = 0", False),  # a global of the module's
        ("def f():\n    global x\nprint(0)\n", "print(0)", "x: int = 0", True),  # a function's
        ("x = 1; print(0)\n", "print(0)", "log(0)", False),  # not at the start of its line
        ("print(0)\n", "print(0)", "from __future__ import annotations", False),
        # Before the future imports nothing but a docstring may come.
        ('"doc"\nfrom __future__ import annotations\nx = 1\n', '"doc"', "y = 2", False),
        ("from __future__ import annotations\nx = 1\n", "x = 1", "y: (yield) = 2", False),
        ("from __future__ import annotations\nx = 1\n", "x = 1", "y: int = 2", True),
        # A method alone; but not when the replacement dedents out of it, nor says nonlocal.
        ("class A:\n    def m(self):\n        print(0)\n    z = 1\n", "print(0)", "yield 1", True),
        ("class A:\n    def m(self):\n        print(0)\n    z = 1\n", "print(0)", "print(0)\nx = 1", False),
        ("def f():\n    v = 1\n    def g():\n        print(0)\n", "print(0)", "nonlocal w", False),
        ("class A:\n    def m(self):\n        print(0)\n", "print(0)", "\\", False),
        ("def gen():\n    def inner():\n        print(0)\n    yield inner\n", "print(0)", "0\nif 1:\n    pass", False),
        ("class A:\r\n    def m(self):\r\n        print(0)\r\n    z = 1\r\n", "print(0)", "yield 1", True),
        ("class A:\r\n    def m(self):\r\n        print(0)\r\n    z = 1\r\n", "print(0)", "0\r\nx = 1", False),
        # A line a backslash joins to the one before takes no indentation of its own.
        ("if 1:\n    x = 1\n\\\ndef f():\n    print(0)\n", "print(0)", "log(0)", False),
    ],
)  # fmt: skip
def test_when_the_statements_alone_decide(before, old, new, pieces_alone):
    a = before.index(old)
    replaced, after = [(a, a + len(old), new)], before.replace(old, new, 1)
    t, whole = parse("python", before), newly_rejected("m.py", before, after)
    assert compiles_in_pieces("m.py", before, after, t, replaced) is pieces_alone
    assert newly_rejected("m.py", before, after, pieces=(t, replaced)) == whole


# CPython's verdict on deep code is a program's own, whatever stack asks for it.
@pytest.mark.parametrize("depth", [2900, 2960, 2990, 3100])
def test_deep_code_is_judged_as_a_program_run_alone(depth):
    import threading

    text = "x = " + "-" * depth + "1\n"
    alone: list[object] = []
    t = threading.Thread(target=lambda: alone.append(compile_error("m.py", text)))
    t.start()
    t.join()

    def asked(n):
        return asked(n - 1) if n else compile_error("m.py", text)

    assert asked(80) == alone[0]
