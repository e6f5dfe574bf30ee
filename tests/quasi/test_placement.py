"""Where a replacement lands decides how its language reads it: the same text
that is sound in one place starts a directive, ends a statement, makes a
generic call or a do-while loop in another. Each rewrite is either written as
the language reads it (and the toolchain agrees) or left alone with a note."""

import shutil

import pytest

pytest.importorskip("tree_sitter")

from tests.helpers import NODE, rewrite_leaving, run  # noqa: E402

LEFT = None  # the match is left alone, with a note

# (lang, source, pattern, template, expected text or LEFT)
PLACES = [
    # a composite literal anywhere between `if`/`switch`/`for` and the block's brace
    ("go", "package m\nfunc f() {\n\tif v := h(1); v > 0 {\n\t}\n}\n", "h($X)", "T{a: $X}.n()",
     "package m\nfunc f() {\n\tif v := (T{a: 1}.n()); v > 0 {\n\t}\n}\n"),
    ("go", "package m\nfunc f() {\n\tswitch v := x + h(1); v {\n\t}\n}\n", "h($X)", "T{$X}.n()",
     "package m\nfunc f() {\n\tswitch v := x + (T{1}.n()); v {\n\t}\n}\n"),
    ("go", "package m\nfunc f() {\n\tif v := g(h(1)); v > 0 {\n\t}\n}\n", "h($X)", "T{$X}.n()",
     "package m\nfunc f() {\n\tif v := g(T{1}.n()); v > 0 {\n\t}\n}\n"),  # held in the call's parentheses
    # a block-like expression that starts a block's tail ends it there
    ("rust", "fn f(c: bool) -> i64 {\n    g(if c { 1 } else { 2 }) as i64\n}\n", "g($X)", "$X",
     "fn f(c: bool) -> i64 {\n    (if c { 1 } else { 2 }) as i64\n}\n"),
    ("rust", "fn f(c: i64) -> bool {\n    g(match c { _ => 1 }) == 1\n}\n", "g($X)", "$X",
     "fn f(c: i64) -> bool {\n    (match c { _ => 1 }) == 1\n}\n"),
    ("rust", "fn f(c: bool) -> String {\n    g(match c { _ => 1 }).to_string()\n}\n", "g($X)", "$X",
     "fn f(c: bool) -> String {\n    match c { _ => 1 }.to_string()\n}\n"),  # rustc reads a method call on
    ("rust", "fn f(c: bool) -> i64 {\n    let y = g(if c { 1 } else { 2 }) as i64;\n    y\n}\n", "g($X)", "$X",
     "fn f(c: bool) -> i64 {\n    let y = if c { 1 } else { 2 } as i64;\n    y\n}\n"),
    # C# takes no declaration, nor a label, as the one statement of an `if` or a loop; Java none after a label
    ("c_sharp", "class P { void M(bool c) { if (c) g(1); } }\n", "g($X);", "int y = $X;", LEFT),
    ("c_sharp", "class P { void M(bool c) { while (c) g(1); } }\n", "g($X);", "lab: g($X);", LEFT),
    ("c_sharp", "class P { void M() { lab: g(1); } }\n", "g($X);", "int y = $X;",
     "class P { void M() { lab: int y = 1; } }\n"),
    ("java", "class P { void m() { lab: g(1); } }\n", "g($X);", "int y = $X;", LEFT),
    # a function declaration is a loop's body nowhere, and an `if`'s only in sloppy code
    ("javascript", "while (c) foo(1)\n", "foo($X)", "function y() {}", LEFT),
    ("javascript", "with (o) foo(1)\n", "foo($X)", "function y() {}", LEFT),
    ("javascript", "'use strict'\nif (c) foo(1)\n", "foo($X)", "function y() {}", LEFT),
    ("javascript", "class A { m() { if (c) foo(1) } }\n", "foo($X)", "function y() {}", LEFT),
    ("javascript", "if (c) foo(1)\n", "foo($X)", "function y() {}", "if (c) function y() {}\n"),
    # a string put first in a body is a directive
    ("javascript", "function t() {\n  foo('use strict')\n  return this\n}\n", "foo($X)", "$X", LEFT),
    ("javascript", "function t() {\n  x()\n  'use strict'\n}\n", "x()", "", LEFT),
    ("typescript", "const t = () => { 'a'; foo(1) }\n", "foo($X)", "'use strict'", LEFT),
    ("javascript", "function t() {\n  let s = 1\n  foo('use strict')\n}\n", "foo($X)", "$X",
     "function t() {\n  let s = 1\n  'use strict'\n}\n"),
    ("javascript", "function t() {\n  'use strict'\n  foo(1)\n}\n", "'use strict'", '"use strict"',
     'function t() {\n  "use strict"\n  foo(1)\n}\n'),  # the directive that was there, respelled
    # `<!--` starts a comment in a script, whoever wrote its `<`
    ("javascript", "let a = 3, c = 1\nconsole.log(bar(a, --c))\n", "bar($A, $B)", "$A<!$B",
     "let a = 3, c = 1\nconsole.log(a<!(--c))\n"),
    # `f < a > (b)` is a call with type arguments
    ("typescript", "const x = g(f < a, (b))\n", "g($X, $Y)", "$X > $Y", "const x = (f < a) > (b)\n"),
    ("typescript", "const x = g(f < a, `t`)\n", "g($X, $Y)", "$X > $Y", "const x = (f < a) > `t`\n"),
    ("kotlin", "fun t() = h(f < a, (b))\n", "h($X, $Y)", "$X > $Y", "fun t() = (f < a) > (b)\n"),
    ("typescript", "const x = g(f < a, b)\n", "g($X, $Y)", "$X >= ($Y)", "const x = f < a >= (b)\n"),
    # a `begin` block under a loop modifier runs before the test
    ("ruby", "g(i += 1) while i < 0\n", "g($X)", "begin; $X; end", LEFT),
    ("ruby", "begin\n  g(i)\nend until i\n", "begin\n  $$$B\nend", "($$$B)", LEFT),
    ("ruby", "x = g(i += 1) while i < 0\n", "g($X)", "begin; $X; end", "x = begin; i += 1; end while i < 0\n"),
    ("ruby", "begin\n  g(i)\nend until i\n", "g($X)", "h($X)", "begin\n  h(i)\nend until i\n"),
    # a heredoc's body goes to its opener
    ("ruby", "x = g(<<~EOS)\n  text\nEOS\n", "g($X)", "h($X, $X)", LEFT),
    ("ruby", "y = h(<<~A, <<~B)\n  a\nA\n  b\nB\n", "h($X, $Y)", "h($Y, $X)", LEFT),
    ("ruby", "x = g(<<~EOS)\n  text\nEOS\n", "g($X)", "h(1,\n  $X)", "x = h(1,\n  <<~EOS)\n  text\nEOS\n"),
    ("ruby", "x = g(<<~EOS).strip\n  text\nEOS\n", "g($X)", "$X", "x = <<~EOS.strip\n  text\nEOS\n"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "pat", "tpl", "expected"), PLACES)
def test_a_replacement_reads_where_it_lands_as_written(lang, source, pat, tpl, expected):
    text, left = rewrite_leaving(lang, source, pat, tpl)
    if expected is LEFT:
        assert (text, len(left)) == (source, 1)
    else:
        assert (text, left) == (expected, [])


# What the toolchains say of the rewritten programs: each must build and print the same.
@pytest.mark.skipif(shutil.which("go") is None, reason="go is not installed")
def test_go_builds_literals_in_an_init_statement(tmp_path):
    source = (
        'package main\n\nimport "fmt"\n\ntype T struct{ a int }\n\nfunc (t T) n() int { return t.a }\n'
        "func h(x int) int { return x }\n\nfunc main() {\n\tif v := h(1); v > 0 {\n\t\tfmt.Println(v)\n\t}\n"
        "\tswitch v := 2 + h(3); v {\n\tcase 5:\n\t\tfmt.Println(v)\n\t}\n}\n"
    )
    text, left = rewrite_leaving("go", source, "h($X)", "T{a: $X}.n()")
    assert left == []
    (tmp_path / "m.go").write_text(text)
    assert run("go", "run", tmp_path / "m.go") == "1\n5\n"


@pytest.mark.skipif(shutil.which("rustc") is None, reason="rustc is not installed")
def test_rustc_takes_block_like_tails(tmp_path):
    source = (
        "fn g<T>(x: T) -> T { x }\nfn f(c: bool) -> i64 {\n    g(if c { 1 } else { 2 }) as i64\n}\n"
        "fn k(c: i64) -> bool {\n    g(match c { _ => 1 }) == 1\n}\n"
        "fn u() -> i64 {\n    g(unsafe { 3 }) + 1\n}\n"
        'fn main() { println!("{} {} {}", f(true), k(0), u()); }\n'
    )
    text, left = rewrite_leaving("rust", source, "g($X)", "$X")
    assert left == []
    (tmp_path / "t.rs").write_text(text)
    run("rustc", "-o", tmp_path / "t", tmp_path / "t.rs")
    assert run(tmp_path / "t") == "1 true 4\n"


@pytest.mark.skipif(shutil.which("ruby") is None, reason="ruby is not installed")
def test_ruby_keeps_loops_and_heredocs(tmp_path):
    source = (
        "def g(x) = x\ndef h(*a) = a\ni = 0\ng(i += 1) while i < 0\nbegin\n  g(i += 1)\nend while i < 0\n"
        "x = k(<<~EOS)\n  text\nEOS\np i, x\n"
    ).replace("def g", "def k(x) = x\ndef g")
    for pat, tpl in [("g($X)", "begin; $X; end"), ("k($X)", "h($X, $X)"), ("g($X)", "[$X]"), ("k($X)", "$X")]:
        text, _ = rewrite_leaving("ruby", source, pat, tpl)
        (tmp_path / "t.rb").write_text(text)
        assert run("ruby", tmp_path / "t.rb") == run("ruby", "-e", source), (pat, tpl, text)


@pytest.mark.skipif(NODE is None, reason="node is not installed")
def test_node_sees_no_new_directive(tmp_path):
    source = (
        "function foo(x) { return x }\nfunction t() {\n  foo('use strict')\n"
        "  return (function () { return this })() === undefined\n}\nconsole.log(t())\n"
    )
    text, left = rewrite_leaving("javascript", source, "foo($X)", "$X")
    assert len(left) == 1
    assert run(NODE, "-e", text) == run(NODE, "-e", source) == "false\n"
