"""A replacement that ends its line keeps the line after it apart: without
semicolons, a statement that ended at a `++` still ends (a `;` is written), and
where nothing can end it (Lua's `(g)()` after a call) the match is left alone."""

import shutil
from unittest.mock import ANY

import pytest

from tests.helpers import NODE, rewrite_leaving, run

pytest.importorskip("tree_sitter")

JS = """let i = 0, n = 0, out = []
i++
[1, 2].forEach(v => out.push(v))
while (n < 1) n++
[3].forEach(v => out.push(v))
const t = 1
i++
`x`
i++
+1
console.log(JSON.stringify([i, n, out]))
"""


@pytest.mark.skipif(NODE is None, reason="node is not installed")
@pytest.mark.parametrize("fix", ["$X += 1", "bump($X)"])
def test_a_statement_that_ended_at_a_line_break_still_ends(tmp_path, fix):
    out, left = rewrite_leaving("javascript", JS, "$X++", fix)
    if fix.startswith("bump"):  # the same statements, apart as before: nothing indexed or called
        assert left == [] and out.count("bump(") == 4 and "bump(n);\n[3]" in out
        return
    # `i++\n+1` is `i++ + 1`: `i += 1` there would add 2.
    assert len(left) == 1 and out.count("++") == 1
    for name, code in (("before.js", JS), ("after.js", out)):
        (tmp_path / name).write_text(code)
    assert run(NODE, tmp_path / "before.js") == run(NODE, tmp_path / "after.js")


# (source, fix of `do $$$B end`, what is written; None: left alone with a note)
LUA = [
    ("local out = {}\nlocal function f() return function() end end\nlocal g = 1\n"
     "do f() end\n(print)('x')\n", "$$$B", None),
    ("local function f() end\ndo f() end\nprint('x')\n", "$$$B", "local function f() end\nf()\nprint('x')\n"),
]  # fmt: skip


@pytest.mark.parametrize(("source", "fix", "want"), LUA)
def test_lua_leaves_alone_what_the_next_line_would_call(source, fix, want):
    got = rewrite_leaving("lua", source, "do $$$B end", fix)
    assert got == ((source, [ANY]) if want is None else (want, []))
    if want is not None and shutil.which("lua"):
        assert run("lua", "-e", want) == "x\n"
