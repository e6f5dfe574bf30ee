"""A shape used as both pattern and replacement must give every file back byte for byte.

The same check as ``tools/identity_rewrite.py``, on small files written to
hold what tends to go wrong: nested indented bodies, CRLF line ends, tabs,
continuation lines and comments.
"""

import itertools

import pytest

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_javascript")
pytest.importorskip("tree_sitter_c")

from kovel.batch import find_files, rewrite_files  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402

_n = itertools.count(1)


def case(lang, shape, source, fails=None):
    marks = [pytest.mark.xfail(strict=True, reason=fails)] if fails else []
    return pytest.param(
        lang, shape, source, marks=marks, id=f"{lang}-{shape.split('(')[0].split()[0]}-{next(_n)}"
    )


PY_IF = "if $C:\n    $$$B"
JS_IF = "if ($C) {\n    $$$B\n}"
C_IF = "if ($C) {\n    $$$B\n}"

CASES = [
    # Python
    case("python", "$F($$$A)", "x = f(a, g(b, c))\n"),
    case("python", "$F($$$A)", "x = f(a,\n      b)  # two\n"),
    case("python", "$F($$$A)", "x = f(\n    a,  # first\n    b,\n)\n"),
    case("python", "[$$$A]", "xs = [1, [2, 3]]\n"),
    case("python", "[$$$A]", "xs = [\n    1,\n    2,\n]\n"),
    case("python", PY_IF, "if a:\n    b()\n"),
    case("python", PY_IF, "if a:\r\n    b()\r\n"),
    case("python", PY_IF, "if a:\r\n    b()\r\n    c()\r\n"),
    case("python", PY_IF, "def g():\n    if a:\n        if b:\n            c()\n        d()\n"),
    case("python", PY_IF, "if a:\n\tb()\n\tif c:\n\t\td()\n"),
    case("python", PY_IF, "if a:\n    b()\nelse:\n    c()\n"),
    case("python", PY_IF, "if a:  # why\n    b()\n"),
    case(
        "python",
        "for $V in $I:\n    $$$B",
        "for x in y:\n    t = (x +\n         1)\n    s = 'a' \\\n        'b'\n",
    ),
    case("python", "while $C:\n    $$$B", "while a:\n    # wait\n    b()\n"),
    case("python", "with $$$W:\n    $$$B", "with open(p) as f, g:\n    data = f.read()\n"),
    case("python", "try:\n    $$$B", "try:\n    a()\nexcept E:\n    b()\n"),
    case("python", "def $N($$$P):\n    $$$B", "def f(a, b):\n    return g(a,\n             b)\n"),
    case("python", "def $N($$$P):\n    $$$B", "async def f():\n    await g()\n"),
    case("python", "class $N:\n    $$$B", "class A:\n    x = 1\n\n    def f(self):\n        pass\n"),
    # JavaScript
    case("javascript", "$F($$$A)", "f(a, g(b));\n"),
    case("javascript", "$F($$$A)", "f(a,\n  b);\r\n"),
    case("javascript", "$F($$$A)", "f(\n  a, // first\n  b\n);\n"),
    case("javascript", "[$$$A]", "const xs = [1,\n\t2, // two\n\t3];\n"),
    case("javascript", JS_IF, "if (a) {\n    b();\n}\n"),
    case("javascript", JS_IF, "if (a) {\r\n    b();\r\n}\r\n"),
    case(
        "javascript",
        JS_IF,
        "function f(a) {\n    if (a) {\n        g(a,\n          1);\n    }\n}\n",
    ),
    case("javascript", "function $N($$$P) {\n    $$$B\n}", "function f(a) {\n    return a;\n}\n"),
    case("javascript", "function $N($$$P) {\n    $$$B\n}", "async function f() {\n    await g();\n}\n"),
    # C
    case("c", "$F($$$A)", "int x = f(a, g(b));\n"),
    case("c", "$F($$$A)", "int x = f(a,\n\t\tb); /* tabs */\r\n"),
    case("c", C_IF, "void g(void)\n{\n    if (a) {\n        b();\n    }\n}\n"),
    case("c", C_IF, "void g(void)\n{\n    if (a) {\n        b(1,\n          2);\n    }\n}\n"),
    case("c", C_IF, "if (a) {\r\n    b(); // done\r\n}\r\n"),
    case("c", "$T $N($$$P)\n{\n    $$$B\n}", "int f(int a)\n{\n    return a;\n}\n"),
    case(
        "c",
        "$T $N($$$P)\n{\n    $$$B\n}",
        "int f(int a)\n{\n    if (a) {\n        return 1;\n    }\n    return 0;\n}\n",
    ),
]


@pytest.mark.parametrize("lang, shape, source", CASES)
def test_a_shape_rewritten_into_itself_changes_nothing(tmp_path, lang, shape, source):
    f = tmp_path / "sample"
    f.write_bytes(source.encode())
    run = InlineExecutor()
    (found,) = find_files([f], shape, lang=lang, executor=run)
    assert found.error is None and found.matches  # the sample holds the shape
    (r,) = rewrite_files([f], shape, shape, lang=lang, executor=run)
    assert r.error is None
    assert (r.text() if r.changed else source) == source
