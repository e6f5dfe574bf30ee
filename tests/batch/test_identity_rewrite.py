"""A shape used as both pattern and replacement must give every file back byte for byte.

The same check as ``tools/identity_rewrite.py``, on small files written to
hold what tends to go wrong: nested indented bodies, CRLF line ends, tabs,
continuation lines and comments.
"""

import pytest

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_javascript")
pytest.importorskip("tree_sitter_c")

from kovel.batch import find_files, rewrite_files  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402

PY_IF, JS_IF, C_FN = "if $C:\n    $$$B", "if ($C) {\n    $$$B\n}", "$T $N($$$P)\n{\n    $$$B\n}"
# (language, shape): the sources that hold it.
SHAPES = {
    ("python", "$F($$$A)"): ["x = f(a, g(b, c))\n", "x = f(a,\n      b)  # two\n", "x = f(\n    a,  # first\n    b,\n)\n"],
    ("python", "[$$$A]"): ["xs = [1, [2, 3]]\n", "xs = [\n    1,\n    2,\n]\n"],
    ("python", PY_IF): [
        "if a:\n    b()\n", "if a:\r\n    b()\r\n", "if a:\r\n    b()\r\n    c()\r\n",
        # a CRLF line's comment holds the CR (Python's grammar takes it)
        "if a:\r\n    x = 1  # c\r\n    y = 2\r\n", "if a:  # c\r\n    b()\r\n",
        "def g():\n    if a:\n        if b:\n            c()\n        d()\n", "if a:\n\tb()\n\tif c:\n\t\td()\n",
        "if a:\n    b()\nelse:\n    c()\n", "if a:  # why\n    b()\n",
    ],
    ("python", "for $V in $I:\n    $$$B"): ["for x in y:\n    t = (x +\n         1)\n    s = 'a' \\\n        'b'\n"],
    ("python", "while $C:\n    $$$B"): ["while a:\n    # wait\n    b()\n"],
    ("python", "with $$$W:\n    $$$B"): ["with open(p) as f, g:\n    data = f.read()\n"],
    ("python", "try:\n    $$$B"): ["try:\n    a()\nexcept E:\n    b()\n"],
    ("python", "def $N($$$P):\n    $$$B"): ["def f(a, b):\n    return g(a,\n             b)\n", "async def f():\n    await g()\n"],
    ("python", "class $N:\n    $$$B"): ["class A:\n    x = 1\n\n    def f(self):\n        pass\n"],
    ("javascript", "$F($$$A)"): ["f(a, g(b));\n", "f(a,\n  b);\r\n", "f(\n  a, // first\n  b\n);\n"],
    ("javascript", "[$$$A]"): ["const xs = [1,\n\t2, // two\n\t3];\n"],
    ("javascript", JS_IF): [
        "if (a) {\n    b();\n}\n", "if (a) {\r\n    b();\r\n}\r\n",
        "function f(a) {\n    if (a) {\n        g(a,\n          1);\n    }\n}\n",
    ],
    ("javascript", "function $N($$$P) {\n    $$$B\n}"): ["function f(a) {\n    return a;\n}\n", "async function f() {\n    await g();\n}\n"],
    ("c", "$F($$$A)"): ["int x = f(a, g(b));\n", "int x = f(a,\n\t\tb); /* tabs */\r\n"],
    ("c", JS_IF): [
        "void g(void)\n{\n    if (a) {\n        b();\n    }\n}\n", "void g(void)\n{\n    if (a) {\n        b(1,\n          2);\n    }\n}\n",
        "if (a) {\r\n    b(); // done\r\n}\r\n",
    ],
    ("c", C_FN): ["int f(int a)\n{\n    return a;\n}\n", "int f(int a)\n{\n    if (a) {\n        return 1;\n    }\n    return 0;\n}\n"],
}  # fmt: skip
CASES = [(lang, shape, source) for (lang, shape), sources in SHAPES.items() for source in sources]


@pytest.mark.parametrize(
    "lang, shape, source",
    CASES,
    ids=[f"{c[0]}-{c[1].split('(')[0].split()[0]}-{i}" for i, c in enumerate(CASES, 1)],
)
def test_a_shape_rewritten_into_itself_changes_nothing(tmp_path, lang, shape, source):
    f = tmp_path / "sample"
    f.write_bytes(source.encode())
    run = InlineExecutor()
    (found,) = find_files([f], shape, lang=lang, executor=run)
    assert found.error is None and found.matches  # the sample holds the shape
    (r,) = rewrite_files([f], shape, shape, lang=lang, executor=run)
    assert r.error is None
    assert (r.text() if r.changed else source) == source


# In a CRLF file a comment may hold its line's CR: a line break the rewrite
# lays out after it gets none of its own, however often the file is rewritten.
@pytest.mark.parametrize(
    "lang, source, pat, rw, out",
    [
        ("python", "x = 1  # c\r\ny = 2\r\n", "$X", "$X", "x = 1  # c\r\ny = 2\r\n"),
        ("python", "if a:\r\n    x = 1  # c\r\n    y = 2\r\n", "if a:\n    $$$B", "$$$B", "x = 1  # c\r\ny = 2\r\n"),
        ("c", "int main() {\r\n  int x[] = {1}; // c\r\n  return 0;\r\n}\r\n", "int $X[] = $V;", "long $X[] = $V;",
         "int main() {\r\n  long x[] = {1}; // c\r\n  return 0;\r\n}\r\n"),
    ],
)  # fmt: skip
def test_a_crlf_comment_keeps_one_cr(tmp_path, lang, source, pat, rw, out):
    f = tmp_path / "sample"
    f.write_bytes(source.encode())
    for _ in range(2):
        (r,) = rewrite_files([f], pat, rw, lang=lang, executor=InlineExecutor())
        if r.changed:
            f.write_bytes(r.text().encode())
    assert f.read_bytes() == out.encode()


def test_a_byte_order_mark_is_not_spaced_from_the_code_after_it(tmp_path):
    f = tmp_path / "a.py"
    f.write_bytes(b"\xef\xbb\xbfprint(1)\n")
    (r,) = rewrite_files([f], "print($A)", "log($A)", lang="python", executor=InlineExecutor())
    assert r.text().encode() == b"\xef\xbb\xbflog(1)\n" and r.compile_error is None
