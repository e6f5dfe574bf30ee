"""Patterns of several statements: the runs of siblings they match in any
block, and rewrites that replace exactly the run."""

import pytest

from kovel.quasi import pattern, template
from kovel.quasi.match import replacements

treesitter = pytest.importorskip("kovel.treesitter")


# (lang, pattern, code, the runs matched): each is the exact text of its span.
RUNS = [
    ("python", "$A = 1\n$B = 2", "x = 0\nif c:\n    a = 1\n    b = 2\n    z = 3\na = 1\nb = 2\n",
     ["a = 1\n    b = 2", "a = 1\nb = 2"]),
    ("javascript", "foo();\nbar();", "function f() {\n  foo();\n  bar();\n  baz();\n}\nfoo(); /* c */ bar();\n",
     ["foo();\n  bar();", "foo(); /* c */ bar();"]),
    ("c", "foo();\nbar();", "int main(void) {\n  if (x) {\n    foo();\n    bar();\n  }\n  bar();\n  foo();\n}\n",
     ["foo();\n    bar();"]),
    ("go", "$X := $V\nfmt.Println($X)", "package p\nfunc f() {\n\ty := g()\n\tfmt.Println(y)\n\tz := 1\n\tfmt.Println(y)\n}\n",
     ["y := g()\n\tfmt.Println(y)"]),
    ("rust", "let $X = $V;\n$X.unwrap();", "fn f() {\n    let a = g();\n    a.unwrap();\n    let b = 1;\n}\n",
     ["let a = g();\n    a.unwrap();"]),
    ("javascript", "foo();\n$$$R\nbar();", "function f() {\n  foo();\n  x();\n  y();\n  bar();\n}\n",
     ["foo();\n  x();\n  y();\n  bar();"]),
    ("java", "foo();\nbar();", "class A { void f() {\n    foo();\n    bar();\n} }\n", ["foo();\n    bar();"]),
    # a comment between the statements of the pattern is passed over, as one in the code is
    ("python", "a = 1\n# set b\nb = 2", "def f():\n    a = 1\n    # c\n    b = 2\n", ["a = 1\n    # c\n    b = 2"]),
    ("javascript", "var x = 1; // one\nreturn x;", "function f() { var x = 1;\n return x; }\n", ["var x = 1;\n return x;"]),
    # C# wraps each statement at the top of a file in a node a block's statements lack
    ("c_sharp", "Log($E);\nreturn default;", "class A { int F() { try { } catch (E e) {\n  Log(e);\n  return default;\n} } }\n",
     ["Log(e);\n  return default;"]),
    ("java", "private $A $X;\nprivate $B $Y;", "class A {\n  private S a;\n  private T b;\n}\n", ["private S a;\n  private T b;"]),
    # a leading `$$$` takes the statements before the anchor, from the block's first
    ("python", "$$$A\nreturn None", "def f():\n    a()\n    b()\n    return None\ndef g():\n    return None\n",
     ["a()\n    b()\n    return None", "return None"]),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "pat", "code", "found"), RUNS)
def test_statements_match_runs_in_any_block(lang: str, pat: str, code: str, found: list[str]) -> None:
    ms = list(pattern(lang, pat).find_all(treesitter.parse(lang, code)))
    assert [str(m.term) for m in ms] == found
    assert [code[m.span[0] : m.span[1]] for m in ms] == found


@pytest.mark.parametrize(
    ("lang", "pat", "tpl", "code", "out"),
    [
        # a run in the file and one in a function the file's run does not hold
        ("python", "$A = 1\n$B = 2", "$A, $B = 1, 2", "a = 1\nb = 2\ndef f():\n    x = 1\n    y = 2\n    z = 3\n",
         "a, b = 1, 2\ndef f():\n    x, y = 1, 2\n    z = 3\n"),
        # several statements for several, at the block's indentation
        ("python", "$A = 1\n$B = 2", "$A = 2\n$B = 1", "if c:\n    a = 1\n    b = 2\n",
         "if c:\n    a = 2\n    b = 1\n"),
        ("go", "$X := $V\nfmt.Println($X)", "fmt.Println($V)", "package p\nfunc f() {\n\ty := g()\n\tfmt.Println(y)\n}\n",
         "package p\nfunc f() {\n\tfmt.Println(g())\n}\n"),
        ("javascript", "foo();\nbar();", "both();", "if (x) {\n  foo();\n  bar();\n  baz();\n}\n",
         "if (x) {\n  both();\n  baz();\n}\n"),
    ],
)  # fmt: skip
def test_run_rewrites_replace_exactly_the_run(lang: str, pat: str, tpl: str, code: str, out: str) -> None:
    t = treesitter.parse(lang, code)
    p = pattern(lang, pat)
    new = p.rewrite(t, template(lang, tpl))
    assert str(new) == out
    if lang == "python":
        compile(str(new), "<rewrite>", "exec")
    paths, news, spans = replacements(p, t, template(lang, tpl))
    # the batch layer splices each new node at its span
    text = code
    for (a, b), n in reversed(list(zip(spans, news, strict=True))):
        text = text[:a] + str(n) + text[b:]
    assert text == out


# Where a line's end ends a statement, two statements of a pattern stand apart by
# one (or a `;`): a call's name and its arguments, an `if`'s condition and its
# block are no two statements.
@pytest.mark.parametrize(
    "lang, source, pat, found",
    [
        ("python", "print(1)\nx = 1\ny = 2; z = 3\n", "$A\n$B", ["print(1)\nx = 1", "y = 2; z = 3"]),
        ("ruby", "puts(1)\n", "$X; $Y", []),
        ("go", "package m\nfunc f() {\n\tif c {\n\t\tA()\n\t} else {\n\t\tB()\n\t}\n}\n", "if $I; $C { $$$B }", []),
        ("go", "package m\nfunc f() {\n\tif x := g(); x {\n\t}\n}\n", "if $I; $C { $$$B }", ["if x := g(); x {\n\t}"]),
        ("bash", "a; b\nc\n", "$A\n$B", ["a; b"]),
        # (a clause ending its own line ends it: the `else` part a pattern passes over)
        ("bash", "if [ x ]; then cat -\n  else echo y\n  fi\n", "if $C; then $$$B; fi",
         ["if [ x ]; then cat -\n  else echo y\n  fi"]),
    ],
)  # fmt: skip
def test_statements_of_a_pattern_stand_apart_by_a_line_end(lang, source, pat, found):
    assert [str(m.term) for m in pattern(lang, pat).find_all(treesitter.parse(lang, source))] == found
