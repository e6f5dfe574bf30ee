"""Patterns: what they match (agreeing with ast-grep) and what their rewrites keep."""

from __future__ import annotations

import pytest
from hypothesis import given, settings, strategies as st

pytest.importorskip("tree_sitter")

from kovel import leaf, tree as kt  # noqa: E402
from kovel.quasi import pattern, template  # noqa: E402
from kovel.quasi.match import line_starts  # noqa: E402
from kovel.treesitter import parse  # noqa: E402
from tests.helpers import has_errors  # noqa: E402

SOURCE = """\
def f(a, b):
    if a == a:
        print(a, b)
    print(  b,
          a,)
    x = g(b) + g(b)
    y = g(a) + g(b)
    async_thing = [print(print(1))]
"""


PRINTS = [
    ("print(a, b)", {"ARGS": ["a", "b"]}),
    ("print(  b,\n          a,)", {"ARGS": ["b", "a"]}),
    ("print(print(1))", {"ARGS": ["print(1)"]}),
    ("print(1)", {"ARGS": ["1"]}),
]


@pytest.mark.parametrize(
    ("lang", "pat", "source", "found"),
    [
        ("python", "$X == $X", SOURCE, [("a == a", {"X": "a"})]),
        ("python", "g($A) + g($A)", SOURCE, [("g(b) + g(b)", {"A": "b"})]),
        ("python", "print($$$ARGS)", SOURCE, PRINTS),
        # (a run of nothing takes its comma along: one argument is enough)
        ("python", "print($_, $$$)", SOURCE, [(text, {}) for text, _ in PRINTS]),
        ("python", "nothing_here($X)", SOURCE, []),
        ("python", "f($A, $B)", "f(a, # note\n  b)\n", [("f(a, # note\n  b)", {"A": "a", "B": "b"})]),
        ("python", "f($$$A, $B)", "f(1, 2, 3)\n", [("f(1, 2, 3)", {"A": ["1", "2"], "B": "3"})]),
        ("javascript", "console.log($$$A)", "console.log(1, x);\nfoo(console.log());\n", [("console.log(1, x)", {"A": ["1", "x"]}), ("console.log()", {"A": []})]),
        ("c", "$F($X, $X)", "int main(void) { f(a, a); g(a, b); return h(1, 1); }", [("f(a, a)", {"F": "f", "X": "a"}), ("h(1, 1)", {"F": "h", "X": "1"})]),
    ],
)  # fmt: skip
def test_find_all(lang: str, pat: str, source: str, found: list[tuple[str, dict[str, object]]]) -> None:
    t = parse(lang, source)
    text = str(t)
    got = []
    for m in pattern(lang, pat).find_all(t):
        assert text[m.span[0] : m.span[1]] == str(m.term)
        assert kt.same(dict(kt.walk(t))[m.path], m.term)
        b = {k: str(v) if not isinstance(v, list) else [str(x) for x in v] for k, v in m.bindings.items()}
        got.append((str(m.term), b))
    assert got == found


def test_rewrite_keeps_text_and_blocks() -> None:
    t = parse("python", SOURCE)
    out = pattern("python", "print($$$A)").rewrite(t, template("python", "log($$$A)"))
    # Only the name changes: the call's own layout stays.
    assert str(out) == SOURCE.replace("print(", "log(").replace("log(log(1))", "log(print(1))")
    assert kt.same(kt.children(kt.children(out)[0])[2], kt.children(kt.children(t)[0])[2])
    nested = pattern("python", "if $C:\n    $$$B").rewrite(
        t, template("python", "while $C:\n    $$$B\n    break")
    )
    assert "    while a == a:\n        print(a, b)\n        break\n" in str(nested)
    assert not has_errors("python", str(nested))


def test_rewrite_with_function_and_errors() -> None:
    t = parse("javascript", "a(1); b(2);\n")
    p = pattern("javascript", "$F($X)")
    out = p.rewrite(t, lambda m: leaf("call_expression", f"{m.bindings['F']}({m.bindings['X']}, 0)"))
    assert str(out) == "a(1, 0); b(2, 0);\n" and not has_errors("javascript", str(out))
    with pytest.raises(TypeError):
        p.rewrite(t, lambda m: "x")  # type: ignore[arg-type,return-value]


def test_matches_agree_with_ast_grep() -> None:
    sg = pytest.importorskip("ast_grep_py")
    src = SOURCE + "print()\nprint(*a, **k)\nprint(a for a in b)\n"
    ours = [m.span for m in pattern("python", "print($$$A)").find_all(parse("python", src))]
    root = sg.SgRoot(src, "python").root()
    theirs = [(n.range().start.index, n.range().end.index) for n in root.find_all(pattern="print($$$A)")]
    assert sorted(ours) == sorted(theirs)


# A metavariable named twice takes what reads alike: layout and comments
# aside, and a name alike with the same text in a string; a metavariable
# alone is any node the grammar names, keywords and brackets aside.
TWICE_AND_ALONE = [
    ("python", "$A == $A", "x.y == x . y\nf(a, b) == f(a,b)\nf(a) == f(b)\na + b == a - b\nx == (x)\n"
     "f(a, # c\n  b) == f(a, b)\n", ["x.y == x . y", "f(a, b) == f(a,b)", "f(a, # c\n  b) == f(a, b)"]),
    ("python", '$A = "$A"', 'g = "g"\nh = "x"\nk = "k" "k"\n', ['g = "g"']),
    ("javascript", '$A = "$A"', "g = 'g'; h = \"h h\"; k = \"k\";\n", ['k = "k"']),
    ("go", "if $E != nil { return $E }", "package p\nfunc f() error {\n\tif err != nil { return err }\n"
     "\tif e != nil { return err }\n\treturn nil\n}\n", ["if err != nil { return err }"]),
    ("c", "$F($X, $X)", "int main(void) { f(a [1], a[1]); g(a[1], a[2]); }", ["f(a [1], a[1])"]),
    ("python", "$A", "x = f(1)\n", ["x = f(1)\n", "x = f(1)", "x = f(1)", "x", "f(1)", "f", "(1)", "1"]),
    ("java", "$A", "class A { void f() throws E {} }",
     ["class A { void f() throws E {} }", "class A { void f() throws E {} }", "A", "{ void f() throws E {} }",
      "void f() throws E {}", "void", "f", "()", "throws E", "E", "{}"]),
    # A keyword alone: the code that spells it, not the text of a string or a comment
    # (but the code interpolated in one).
    ("python", "continue", 'x = ["continue"]  # continue\nfor a in b:\n    continue\n', ["continue"]),
    ("python", "await", 'async def f():\n    s = f"{await g()} await"\n', ["await"]),
    ("javascript", "debugger", 'const s = "debugger"; debugger; // debugger\n', ["debugger"]),
    ("javascript", "await", "async function f() { `${await g()} await`; }\n", ["await"]),
    ("c", "NULL", 'const char *s = "NULL"; char *p = NULL; /* NULL */\n', ["NULL"]),
    ("ruby", "break", 'x = "break"\nloop do\n  break\nend\n', ["break"]),
    ("go", "break", 'package p\nvar s = "break"\nfunc f() {\n\tfor {\n\t\tbreak\n\t}\n}\n', ["break"]),
]  # fmt: skip


@pytest.mark.parametrize(
    "lang, pat, source, found", TWICE_AND_ALONE, ids=[f"{c[0]}:{c[1]}" for c in TWICE_AND_ALONE]
)
def test_metavariables_named_twice_or_alone(lang, pat, source, found):
    t = parse(lang, source)
    ours = [m.span for m in pattern(lang, pat).find_all(t)]
    assert [source[a:b] for a, b in ours] == found
    sg = pytest.importorskip("ast_grep_py")
    theirs = {
        (n.range().start.index, n.range().end.index)
        for n in sg.SgRoot(source, lang).root().find_all(pattern=pat)
    }
    assert theirs <= set(ours)


# Patterns whose tokens a match must hold, over sources where they match or nearly do.
REQUIRED_CASES = [
    ("python", "print($$$A)", ["print(1)\n", "print\n", "x.print(2)\n", "(print)(3)\n", "# print(4)\n"]),
    ("python", "$A.append($B)", ["xs.append(1)\n", "xs.append\n", "xs .append( y )\n", "append(1)\n"]),
    ("python", "f($A,)", ["f(1,)\n", "f(1)\n", "f(1, # c\n)\n"]),
    ("python", "async def $F(): $$$B", ["async def g(): pass\n", "def g(): pass\n"]),
    ("python", 'f"{$A} x"', ['f"{a} x"\n', 'f"{a}x"\n', "f'{a} x'\n"]),
    ("python", "$X", ["a\n", "1 + 2\n"]),
    ("javascript", "console.log($$$A);", ["console.log(1);\n", "console.log(1)\n", "console . log ( 1 ) ;\n"]),
    ("javascript", "$A === null", ["a === null\n", "a == null\n", "a===null\n"]),
    ("c", "if ($C) { return $R; }", ["void f() { if (x) { return 1; } }\n", "void f() { if (x) return 1; }\n"]),
]  # fmt: skip


@pytest.mark.parametrize("lang, code, sources", REQUIRED_CASES, ids=[c[1] for c in REQUIRED_CASES])
def test_a_source_with_a_match_holds_every_required_text(lang, code, sources):
    p = pattern(lang, code)
    assert all(t and "$" not in t for t in p.required_texts)
    matched = 0
    for source in sources:
        if any(p.find_all(parse(lang, source))):
            matched += 1
            assert all(t in source for t in p.required_texts), source
    assert matched  # each table row has a source that matches


def test_required_texts_leave_out_metavariables_and_comments():
    assert pattern("python", "$X").required_texts == frozenset()
    assert pattern("python", "f($A) # note\n").required_texts >= {"f", "(", ")"}
    assert not any("note" in t for t in pattern("python", "f($A) # note\n").required_texts)
    assert pattern("javascript", "console.log($$$A)").required_texts == {"console", ".", "log", "(", ")"}


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.sampled_from(["a", " ", "\n", "\r", "é", "😀", "\u2028", "\x00"]), max_size=60))
def test_line_starts_are_the_characters_after_each_line_feed(text):
    # Only "\n" ends a line: the offsets are str indices, whatever the UTF-8 length of what precedes.
    assert line_starts(text) == [0] + [i + 1 for i, c in enumerate(text) if c == "\n"]


@pytest.mark.parametrize(
    ("lang", "pat", "source", "found"),
    [
        ("javascript", "$F() { $$$B }", "class K {\n  static f() {}\n  async g() {}\n  h() {}\n}\n",
         ["static f() {}", "async g() {}", "h() {}"]),
        ("typescript", "$F($$$P) { $$$B }", "class K {\n  static async u(a) { x(); }\n}\n",
         ["static async u(a) { x(); }"]),
        # C# reads a method alone as a file's local function: a class reads it as the method it is
        ("c_sharp", "void $F($$$P) { $$$B }", "class K {\n    void M(int a) { }\n    int N() { return 1; }\n}\n",
         ["void M(int a) { }"]),
        ("c_sharp", "int $F() { $$$B }", "class K {\n    void M(int a) { }\n    int N() { return 1; }\n}\n",
         ["int N() { return 1; }"]),
        # a run of C#'s top-level statements, each of which its grammar wraps in a node of its own
        ("c_sharp", "A();\nB();", "using System;\nA();\nB();\nclass K { void M() { A(); B(); } }\n",
         ["A();\nB();", "A(); B();"]),
        # a case whose statement is a block is a case with its statements
        ("javascript", "case $X:", "switch (a) {\n  case 1: {\n    f()\n  }\n  case 2:\n    g()\n}\n",
         ["case 1: {\n    f()\n  }", "case 2:\n    g()"]),
        # a C++ lambda with captures, which the grammar also reads as a function named by a binding
        ("cpp", "[$$$C]($$$P) { $$$B }", "void f() {\n  auto l = [&x](int a) { return a; };\n  auto m = [x, &y]() { return 1; };\n}\n",
         ["[&x](int a) { return a; }", "[x, &y]() { return 1; }"]),
        ("cpp", "[$C]($$$P) { $$$B }", "void f() {\n  auto l = [x](int a) { return a; };\n}\n", ["[x](int a) { return a; }"]),
        # PHP's case and the clauses after a block
        ("php", "case $X:", "<?php\nswitch ($q) { case 1: f(); break; default: g(); }\n", ["case 1: f(); break;"]),
        ("php", "default:", "<?php\nswitch ($q) { case 1: f(); break; default: g(); }\n", ["default: g();"]),
        ("php", "else { $$$B }", "<?php\nif ($x) { y(); } else { z(); }\n", ["else { z(); }"]),
        ("php", "finally { $$$B }", "<?php\ntry { a(); } finally { c(); }\n", ["finally { c(); }"]),
        # (not a value after a token it does not name: `var $X $T` holds no `=`)
        ("go", "var $X $T", "package p\nvar a int\nvar b = 1\n", ["var a int"]),
        # nor the token the pattern writes, skipped to the same one further on: which `:` or `,` says what follows
        ("python", "$X[:$N]", "x[::2]\nx[:2]\nx[1::2]\n", ["x[:2]"]),
        ("python", "$X[$I:$J]", "x[1::2]\nx[1:2]\nx[::2]\n", ["x[1:2]"]),
        ("javascript", "[$A, $B]", "f([a,,b]);\nf([a, b,]);\n", ["[a, b,]"]),
        ("python", "f($A, $B)", "f(a, b,)\nf(a, b, c)\n", ["f(a, b,)"]),
    ],
)  # fmt: skip
def test_declarations_match_where_they_stand(lang, pat, source, found):
    t = parse(lang, source)
    assert [str(m.term) for m in pattern(lang, pat).find_all(t)] == found
