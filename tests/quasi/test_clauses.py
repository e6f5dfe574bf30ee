"""What the pattern passes over stays with the node that held it: a clause (an
`else`) that a fix would leave after an `if` without one of its own, which then
takes it, is left alone (PHP gives an `else` to the nearest `if`, though its
grammar reads it as the outer one's); a leading keyword (`async`, `static`)
that a fix of another kind, or several statements, cannot keep is too."""

from unittest.mock import ANY

import pytest

from tests.helpers import NODE, rewrite_leaving, run

pytest.importorskip("tree_sitter")

UNBRACE = ("if ($C) { $$$A }", "if ($C) $$$A")
WRAP = ("foo();", "if ($d) foo();")

# (language, source, (pattern, fix), what it becomes; None: left alone with a note)
CASES = [
    ("javascript", "if (a) { if (x) f() }\nelse g()\n", UNBRACE, None),
    ("javascript", "if (a) { f() }\nelse g()\n", UNBRACE, "if (a) f()\nelse g()\n"),
    ("javascript", "if (a) { while (y) if (x) f() }\nelse g()\n", UNBRACE, None),
    ("c", "void m() {\n  if (a) { if (x) f(); }\n  else g();\n}\n", UNBRACE, None),
    ("c", "void m() {\n  if (a) { f(); }\n  else g();\n}\n", UNBRACE, "void m() {\n  if (a) f();\n  else g();\n}\n"),
    ("java", "class A { void m() {\n  if (a) { if (x) f(); }\n  else g();\n} }\n", UNBRACE, None),
    ("c_sharp", "class A { void m() {\n  if (a) { if (x) f(); }\n  else g();\n} }\n", UNBRACE, None),
    ("php", "<?php\nif ($a) { if ($x) f(); }\nelse g();\n", UNBRACE, None),
    ("php", "<?php\nif ($c) foo(); else bar();\n", WRAP, None),
    ("php", "<?php\nif ($c) while ($x) foo(); else bar();\n", WRAP, None),
    ("php", "<?php\nif ($c) foo();\n", WRAP, "<?php\nif ($c) if ($d) foo();\n"),
    ("php", "<?php\nif ($c) { foo(); } else bar();\n", WRAP, "<?php\nif ($c) { if ($d) foo(); } else bar();\n"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "rule", "want"), CASES)
def test_an_else_stays_with_its_if(lang, source, rule, want):
    assert rewrite_leaving(lang, source, *rule) == ((source, [ANY]) if want is None else (want, []))


@pytest.mark.skipif(NODE is None, reason="node is not installed")
def test_what_is_written_runs_as_before(tmp_path):
    source = "let x = 0, out = []\nif (1) { if (x) out.push('in') }\nelse out.push('else')\n"
    source += "if (0) { out.push('a') }\nelse out.push('b')\nconsole.log(out.join())\n"
    out, left = rewrite_leaving("javascript", source, *UNBRACE)
    assert len(left) == 1 and "if (0) out.push('a')" in out
    for name, code in (("before.js", source), ("after.js", out)):
        (tmp_path / name).write_text(code)
    assert run(NODE, tmp_path / "before.js") == run(NODE, tmp_path / "after.js") == "b\n"


TAG = ("function $F() { $$$B }", "function $F() { $$$B }\n$F.tag = 1;")
# (language, source, (pattern, fix), what it becomes; None: left alone with a note)
LEADING = [
    ("javascript", "async function g() { return 1 }\n", TAG, None),
    ("javascript", "function g() { return 1 }\n", TAG, "function g() { return 1 }\ng.tag = 1;\n"),
    ("javascript", "async function g() { await 1 }\n", ("function $F() { $$$B }", "const $F = () => { $$$B };"), None),
    ("javascript", "async function g() { await 1 }\n", ("function $F() { $$$B }", "function $F() { return 0 }"),
     "async function g() { return 0 }\n"),
    ("javascript", "class K {\n  static v() { return 1 }\n}\n", ("v() { $$$B }", "v() { $$$B }\nw() { return 2 }"), None),
    ("python", "async def main():\n    pass\n", ("def $F():\n    $$$B", "def $F():\n    $$$B\nx = 1"), None),
    ("python", "async def main():\n    async with cm() as v:\n        print(v)\n",
     ("with $C as $V:\n    $$$B", "print(1)\nwith $C as $V:\n    $$$B"), None),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "rule", "want"), LEADING)
def test_a_leading_keyword_is_kept_or_its_match_left_alone(lang, source, rule, want):
    assert rewrite_leaving(lang, source, *rule) == ((source, [ANY]) if want is None else (want, []))


# What the metavariables bound is no part passed over: a body that holds the
# construct it is taken out of (an `if` in an `if`), or a `do … end`, comes out whole.
UNWRAPPED = [
    ("python", "if c:\n    if d:\n        f()\n", ("if $C:\n    $$$B", "$$$B"), "if d:\n    f()\n"),
    ("python", "with a:\n    try:\n        f()\n    except E:\n        g()\n", ("with $C:\n    $$$B", "$$$B"),
     "try:\n    f()\nexcept E:\n    g()\n"),
    ("ruby", "if c\n  [1].each do |x|\n    p x\n  end\nend\n", ("if $C\n  $$$B\nend", "$$$B"),
     "[1].each do |x|\n  p x\nend\n"),
    ("lua", "if c then\n  if d then f() end\nend\n", ("if $C then $$$B end", "$$$B"), "if d then f() end\n"),
    ("bash", "if c; then\n  if d; then f; fi\nfi\n", ("if $C; then\n  $$$B\nfi", "$$$B"), "if d; then f; fi\n"),
    ("python", "if c:\n    pass\nelif d:\n    g()\n", ("if $C:\n    $$$B", "$$$B"), None),  # its own elif
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "rule", "want"), UNWRAPPED)
def test_a_body_taken_out_keeps_what_it_holds(lang, source, rule, want):
    assert rewrite_leaving(lang, source, *rule) == ((source, [ANY]) if want is None else (want, []))
