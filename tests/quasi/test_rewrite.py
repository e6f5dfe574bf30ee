"""Rewrites keep the layout of what they splice: continuation lines of a
multi-line match, and the separators of a matched run."""

import ast
import json
import shutil
import sys

import pytest

pytest.importorskip("tree_sitter")

from tree_sitter import Parser  # noqa: E402

from kovel.quasi import MisreadError  # noqa: E402
from kovel.rules import matcher, parse_rules  # noqa: E402
from kovel.treesitter import language, parse  # noqa: E402
from tests.helpers import NODE, rewrite, rewrite_leaving, run  # noqa: E402

# Shapes of the standard library where print($$$A) -> log($$$A) once moved
# continuation lines: each must come out as it stood, with only the name changed.
CONTINUATIONS = [
    'def f():\n    print("a",\n          "b")\n',
    # shlex.py, lib2to3/pgen2/tokenize.py, test/test_strftime.py
    "class S:\n    def pop(self):\n        if self.debug:\n"
    "            print('popping %s, line %d' \\\n                  % (self.instream, self.lineno))\n",
    'def printtoken(type, token):\n    print("%d,%d" % \\\n        (srow, scol))\n',
    "def t():\n    for e in x:\n        if e:\n            if verbose:\n"
    "                print(\"Does not appear to support '%s' format (%s)\" % \\\n"
    "                       (e[0], e[2]))\n",
    'def f():\n\tif x:\n\t\tprint("a",\n\t\t      "b" % \\\n\t\t\t(c, d))\n',
    'def f():\n    print("""x\n  y\n""",\n          z)\n',  # the string literal's lines stay
    "def f():\n    print(a,\n  b)\n",  # a continuation less indented than the match
]
# (source, template, expected): a trailing separator of the matched run stays
# only where the template ends a list of the same kind with the run.
TRAILING = [
    ("print(x,)\n", "log($$$A)", "log(x,)\n"), ("print(x, y,)\n", "log(0, $$$A)", "log(0, x, y,)\n"),
    ("print(x,)\n", "log($$$A, end='')", "log(x, end='')\n"), ("print(x,)\n", "log($$$A,)", "log(x,)\n"),
    ("print(x, y ,)\n", "[$$$A]", "[x, y]\n"), ("print(x,)\n", "def f($$$A): pass", "def f(x): pass\n"),
    ("print(x, y)\n", "log($$$A, end='')", "log(x, y, end='')\n"),
    # a comment that ends the run ends its line wherever the run goes
    ("print(x, # c\n)\n", "log($$$A)", "log(x, # c\n)\n"),
    ("print(x, # c\n)\n", "log($$$A, end='')", "log(x # c\n, end='')\n"),
]  # fmt: skip


@pytest.mark.parametrize(
    ("source", "repl", "expected"),
    [(s, "log($$$A)", s.replace("print(", "log(")) for s in CONTINUATIONS] + TRAILING,
)
def test_print_rewrites_keep_the_layout(source: str, repl: str, expected: str) -> None:
    out = rewrite("python", source, "print($$$A)", repl)
    assert out == expected
    assert not Parser(language("python")).parse(out.encode()).root_node.has_error


# A binding moved into a string literal: taken from a literal of the same
# kind it keeps its text as written; taken from code it is that code's text,
# escaped for the literal. Each row: the string value the rewrite must give.
LITERAL_MOVES = [
    ("python", 'f("a\\tb\'c")\n', 'f("$A")', 'g("$A")', "a\tb'c"),
    ("python", "f('x')\n", "f('$A')", 'g("$A")', "x"),  # other quotes, plain text
    ("python", 'check(x == "y")\n', "check($X)", 'log("failed: $X")', 'failed: x == "y"'),
    ("python", 'assert x == "y"\n', "assert $X", 'assert $X, "failed: $X"', 'failed: x == "y"'),  # and as code
    ("python", "f(a\\\n  + b)\n", "f($A)", 'g("$A")', "a\\\n  + b"),
    ("javascript", 'f("it\'s");\n', 'f("$A")', 'g("$A")', "it's"),
    ("javascript", "f(a + 'b');\n", "f($A)", 'g(`$A`)', "a + 'b'"),
    ("python", "f('say \"hi\"')\n", "f('$A')", 'g("$A")', None),  # would not read the same: refused
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "pat", "tpl", "value"), LITERAL_MOVES)
def test_a_binding_moved_into_a_literal_keeps_its_text(lang, source, pat, tpl, value):
    if value is None:
        with pytest.raises(ValueError):
            rewrite(lang, source, pat, tpl)
        return
    out = rewrite(lang, source, pat, tpl)
    assert out != source
    if lang == "python":
        stmt = ast.parse(out).body[0]
        literal = stmt.msg if isinstance(stmt, ast.Assert) else stmt.value.args[0]
        assert ast.literal_eval(literal) == value
    else:
        prog = f"const a = 'A', b = 2; function f() {{}} function g(v) {{ console.log(JSON.stringify(v)); }}\n{out}"
        assert json.loads(run(NODE or pytest.skip("no node"), "-e", prog)) == value


# A metavariable glued to a name (`get_$NAME`) puts its text into that name,
# as ast-grep's fixes do; the output runs (or compiles) as the language's own
# tools read it.  Text that would make the name two tokens is refused.
SPLICES = [
    ("python", "def area():\n    return 1\nprint(area())\n", "$F()", "get_$F()", "get_area"),
    # the metavariable runs into the text after it ($A_v is one name): no name to fill
    ("python", "x = 1\nprint(x)\n", "print($A)", "print(f_$A_v if False else $A)", SyntaxError),
    ("javascript", "function size() { return 2; }\nconsole.log(size());\n", "console.log($F())", "console.log($F() + my_$F_x)", SyntaxError),
    ("javascript", "const n = 2, v_n = 7;\nconsole.log(n);\n", "console.log($A)", "console.log($A + v_$A)", "9"),
    ("c", "int total(void) { return 3; }\nint old_total(void) { return 4; }\nint main(void) { return total(); }\n", "return $F();", "return $F() + old_$F();", "old_total()"),
    ("python", "print(x.y)\n", "print($A)", "log_$A()", ValueError),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "pat", "tpl", "expect"), SPLICES)
def test_a_metavariable_glued_to_a_name_puts_its_text_there(lang, source, pat, tpl, expect):
    if isinstance(expect, type):
        with pytest.raises(expect):
            rewrite(lang, source, pat, tpl)
        return
    out = rewrite(lang, source, pat, tpl)
    assert "$" not in out
    if lang == "python":
        assert "def area" in out and f"{expect}()" in out
        compile(out, "<rewritten>", "exec")
    elif lang == "javascript":
        assert run(NODE or pytest.skip("no node"), "-e", out).strip() == expect
    else:
        assert expect in out
        run(shutil.which("cc") or pytest.skip("no C compiler"), "-fsyntax-only", "-x", "c", "-", input=out)


@pytest.mark.parametrize("source", ["#  include <a.h>\n#define X 1\n", "int x;\n# include <a.h>\nint y;\n"])
@pytest.mark.parametrize("line", ["\n", ""])
def test_a_directive_spelled_otherwise_is_rewritten_with_its_line(source, line):
    out = rewrite("c", source, "#include $A" + line, '#include "x.h"' + line)
    assert out == source.replace(source[source.index("#") : source.index(">") + 1], '#include "x.h"')


# Where a language reads code otherwise than its tree-sitter grammar does, the
# value is parenthesised: the rewritten program prints what the template says.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "tpl", "prints"),
    [
        # in an f-string's braces, what follows a walrus's `:` would be a format spec
        ("python", "a = 5\nprint(f'{g(a)}', a)\n", "g($A)", "$A := 2", "2 2"),
        # rustc reads `x as i64 < 2` as generic arguments
        ("rust", "fn main() { let x = g(1) < 2; let y = g(1) << 2; println!(\"{} {}\", x, y); }\n",
         "g($A)", "$A as i64", "true 4"),
        # a C++ `new` is no operand of `->`, `[]` or a call
        ("cpp", "#include <cstdio>\ntemplate<class T> T g(T v) { return v; }\nstruct S { int x; };\n"
         "int main() { printf(\"%d %d %d\\n\", g(new S{4})->x, g(new int[3]{1, 2, 3})[1], g(new int(5))[0]); }\n",
         "g($A)", "$A", "4 2 5"),
    ],
)  # fmt: skip
def test_a_value_the_language_would_read_otherwise_is_parenthesised(tmp_path, lang, source, pat, tpl, prints):
    out = rewrite(lang, source, pat, tpl)
    assert "g(" not in out.replace("T g(T v)", ""), out
    if lang == "python":
        assert run(sys.executable, "-c", out).strip() == prints
        return
    if lang == "cpp":
        cxx = shutil.which("g++") or shutil.which("c++") or pytest.skip("no C++ compiler")
        (tmp_path / "m.cpp").write_text(out)
        run(cxx, "-o", str(tmp_path / "m"), str(tmp_path / "m.cpp"))
        assert run(str(tmp_path / "m")).strip() == prints
        return
    rustc = shutil.which("rustc") or pytest.skip("no rustc")
    (tmp_path / "m.rs").write_text(out)
    run(rustc, "--edition", "2021", "-o", str(tmp_path / "m"), str(tmp_path / "m.rs"))
    assert run(str(tmp_path / "m")).strip() == prints


# The same, where the compiler is not at hand: the text each language needs.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "tpl", "expect"),
    [
        # TypeScript's `as` ranks with `<`; `<T>` binds as a unary operator
        ("typescript", "r = g(a || b);\ns = g(a + b);\n", "g($A)", "$A as T", "r = (a || b) as T;\ns = a + b as T;\n"),
        ("typescript", "r = g(a ?? b);\n", "g($A)", "$A satisfies T", "r = (a ?? b) satisfies T;\n"),
        ("typescript", "r = g((x: number) => x);\n", "g($A)", "<T>$A", "r = <T>((x: number) => x);\n"),
        ("typescript", "r = g(<number>y) ** 2;\n", "g($A)", "$A", "r = (<number>y) ** 2;\n"),  # TS17007 bare
        # rustc chains neither comparisons nor ranges
        ("rust", "fn m() { let x = g(1 == 1); let y = g(1 + 1); }\n", "g($A)", "$A != false",
         "fn m() { let x = (1 == 1) != false; let y = 1 + 1 != false; }\n"),
        ("rust", "fn m() { let x = g(1..2); }\n", "g($A)", "$A..3", "fn m() { let x = (1..2)..3; }\n"),
        # PHP's `**` binds more tightly than `-`, `!` and casts; `new A()->m()` is 8.4's alone
        ("php", "<?php f(g(-$a), g(!$a), g((int) $a), g($a));\n", "g($A)", "$A ** 2",
         "<?php f((-$a) ** 2, (!$a) ** 2, ((int) $a) ** 2, $a ** 2);\n"),
        ("php", "<?php $n = g(new A([1]));\n", "g($A)", "$A->count()", "<?php $n = (new A([1]))->count();\n"),
        # a Lua string or table is a receiver in parentheses only
        ("lua", 'print(g("x"):rep(3), g({1, 2})[1])\n', "g($A)", "$A", 'print(("x"):rep(3), ({1, 2})[1])\n'),
        # in a display, Python's `*` and `**` take what ranks from `|` up; in a call, anything
        ("python", "x = {**g(d or {})}\ny = f(**g(d or {}))\n", "g($A)", "$A",
         "x = {**(d or {})}\ny = f(**d or {})\n"),
        # (its grammar reads `new F->x` as `new F`, a `-` and an error)
        ("php", "<?php echo g(new F)->x, g(new F)->m();\n", "g($A)", "$A", "<?php echo (new F)->x, (new F)->m();\n"),
        # C# casts `-y` only to a keyword type: `(Int32) -y` subtracts
        ("csharp", "class A { void M() { o = c(-y); p = c(y); q = d(-y); } }\n", "c($A)", "(Int32) $A",
         "class A { void M() { o = (Int32) (-y); p = (Int32) y; q = d(-y); } }\n"),
        ("c_sharp", "class A { void M() { o = c(-y); } }\n", "c($A)", "(int) $A", "class A { void M() { o = (int) -y; } }\n"),
        # Kotlin ends a statement at a line break outside brackets
        ("kotlin", "fun m() {\n    val r = g(a\n        - b)\n    val s = g(a\n        && b)\n}\n", "g($A)", "$A",
         "fun m() {\n    val r = (a\n        - b)\n    val s = a\n        && b\n}\n"),
        # what `new` makes is no optional chain
        ("javascript", "x = g(a?.b);\ny = g(a.b);\n", "g($A)", "new $A()", "x = new (a?.b)();\ny = new a.b();\n"),
        # Kotlin reads what follows a cast into its type: `?.`, `!!`, `::`, `.`, a call, an index
        ("kotlin", "fun m() {\n    f(g(s as? String)?.length, g(s as String)!!, g(s as Any)::class, g(s as L)[0], g(s as T))\n}\n",
         "g($A)", "$A",
         "fun m() {\n    f((s as? String)?.length, (s as String)!!, (s as Any)::class, (s as L)[0], s as T)\n}\n"),
    ],
)  # fmt: skip
def test_a_value_is_parenthesised_as_its_language_reads_it(lang, source, pat, tpl, expect):
    assert rewrite(lang, source, pat, tpl) == expect


# Deleting the one statement an `if`, `else` or `for` holds without braces
# leaves an empty statement: the statement after it stays after it.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "prints"),
    [
        ("c", '#include <stdio.h>\nvoid debug(int a) {}\nint main(void) {\n  int x = 0, i;\n  if (x) debug(x);\n'
         '  printf("a");\n  for (i = 0; i < 3; i++) debug(i);\n  printf("b");\n  if (x) { debug(x); } else debug(1);\n'
         '  printf("c\\n");\n  return 0;\n}\n', "debug($A);", "abc"),
        ("javascript", "function f(x) {\n  for (let i = 0; i < 3; i++) debug(i)\n  process.stdout.write('a')\n"
         "  if (x) debug(x)\n  else debug(1)\n  console.log('b')\n}\nf(0)\n", "debug($A)", "ab"),
    ],
)  # fmt: skip
def test_deleting_the_body_of_an_if_or_a_loop_leaves_an_empty_statement(tmp_path, lang, source, pat, prints):
    out = rewrite(lang, source, pat, "")
    assert "debug(" not in out.split("\n", 2)[2], out
    if lang == "javascript":
        assert run(NODE or pytest.skip("no node"), "-e", out).strip() == prints
        return
    cc = shutil.which("cc") or pytest.skip("no C compiler")
    (tmp_path / "m.c").write_text(out)
    run(cc, "-o", str(tmp_path / "m"), str(tmp_path / "m.c"))
    assert run(str(tmp_path / "m")).strip() == prints


# A statement whose `;` the match leaves is an empty statement already: no second `;`.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "expect"),
    [
        ("javascript", "if (a) log(2);\nelse log(3);\n", "log($A)", "if (a) ;\nelse ;\n"),
        ("javascript", "while (a) log(2)\n", "log($A)", "while (a) ;\n"),
        ("c", "void f(int a) { for (;;) log(2); }\n", "log($A)", "void f(int a) { for (;;) ; }\n"),
        ("c", "void f(int a) { if (a) log(2); }\n", "log($A);", "void f(int a) { if (a) ; }\n"),
    ],
)  # fmt: skip
def test_an_emptied_body_keeps_one_empty_statement(lang, source, pat, expect):
    assert rewrite(lang, source, pat, "") == expect


# JavaScript and Java take a declaration only in a block: as the one statement
# of an `if` or a loop it is refused (their tree-sitter grammars read it there).
@pytest.mark.parametrize(
    ("lang", "source", "tpl"),
    [
        ("javascript", "function h(x) {\n  if (x) f(1);\n}\n", "let q = $A;"),
        ("javascript", "function h(x) {\n  while (x) f(1);\n}\n", "class Q {}"),
        ("java", "class A { void h(int x) {\n  if (x > 0) f(1);\n} }\n", "int q = $A;"),
    ],
)
def test_a_declaration_is_not_put_where_only_a_block_may_hold_one(lang, source, tpl):
    with pytest.raises(MisreadError):
        rewrite(lang, source, "f($A);", tpl)
    # a `for`'s initialiser is no body: a declaration goes there
    assert rewrite("javascript", "for (var i = 0; i < 2; i++) g();\n", "var $X = $V;", "let $X = $V;") == (
        "for (let i = 0; i < 2; i++) g();\n"
    )


SAME = object()  # (the rewritten program prints what the source did)


# JavaScript rewrites that keep what the program did (node runs both, where it
# can): an optional chain bound where the pattern applies a call or a member to
# it goes on into the template's (`r?.m()` to `r?.m(1)`), bound elsewhere it is
# kept apart; a statement that ended its line, replaced by an expression, still
# ends it when the next line starts with what would go on with it.
@pytest.mark.parametrize(
    ("source", "pat", "tpl", "out", "prints_as"),
    [
        ("const r = undefined;\nconsole.log(r?.m());\n", "$F()", "$F(1)", "const r = undefined;\nconsole.log(r?.m(1));\n", SAME),
        ("const r = undefined;\nconsole.log(r?.m());\n", "$F()", "$F()", "const r = undefined;\nconsole.log(r?.m());\n", SAME),
        ("const r = {p: () => 2};\nconsole.log(r?.p());\n", "$O.$M()", "$O.$M()", "const r = {p: () => 2};\nconsole.log(r?.p());\n", SAME),
        ("const a = {b: {c: 3}};\nconsole.log(g(a?.b));\nfunction g(x) { return x; }\n", "g($A)", "$A.c",
         "const a = {b: {c: 3}};\nconsole.log((a?.b).c);\nfunction g(x) { return x; }\n", "console.log(3)"),
        ("let a = 1, b = () => 1\nif (a) { b() }\n[1, 2].forEach((x) => console.log(x))\n", "if ($C) { $F() }", "$C && $F()",
         "let a = 1, b = () => 1\na && b();\n[1, 2].forEach((x) => console.log(x))\n", SAME),
        ("let c = () => {}\n;[1].map((x) => console.log(x, typeof c))\nlet d = () => {}\n[2].map((x) => console.log(x))\n",
         "() => {}", "function() {}",
         "let c = function() {}\n;[1].map((x) => console.log(x, typeof c))\nlet d = function() {};\n[2].map((x) => console.log(x))\n", SAME),
        ("let x = g(1)\n+ 2\nfunction g(a) { return a }\nconsole.log(x)\n", "g($A)", "h($A)",
         "let x = h(1)\n+ 2\nfunction g(a) { return a }\nconsole.log(x)\n", None),
    ],
)  # fmt: skip
def test_a_javascript_rewrite_keeps_what_the_program_did(source, pat, tpl, out, prints_as):
    got = rewrite("javascript", source, pat, tpl)
    assert got == out
    if NODE is not None and prints_as is not None:
        assert run(NODE, "-e", got) == run(NODE, "-e", source if prints_as is SAME else prints_as)


# JSX's `{x}` and its text are read as such only in JSX: elsewhere `{x}` is an
# object and `hello` a name, which no parentheses change.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "tpl", "expect"),
    [
        ("tsx", "a = <b>{x}</b>;\n", "<b>$C</b>", "$C", None),
        ("tsx", "a = <b>{x}</b>;\n", "<b>$C</b>", "f($C)", None),
        ("javascript", "a = <b>hello</b>;\n", "<b>$C</b>", "f($C)", None),
        ("javascript", "a = <b title={x}/>;\n", "<b title=$V/>", "f($V)", None),
        ("javascript", "a = <b>hello</b>;\n", "<b>$C</b>", "g(<i>x{$C}</i>)", None),
        # where JSX reads them they go
        ("tsx", "a = <b>{x}</b>;\nc = <b>hi</b>;\n", "<b>$C</b>", "<i>$C</i>", "a = <i>{x}</i>;\nc = <i>hi</i>;\n"),
        ("javascript", "a = <b title={x}/>;\n", "<b title=$V/>", "<i title=$V/>", "a = <i title={x}/>;\n"),
        ("javascript", "a = f(<b>{x + 1}</b>);\n", "f(<b>{$E}</b>)", "g($E)", "a = g(x + 1);\n"),
    ],
)  # fmt: skip
def test_jsx_values_go_only_where_jsx_reads_them(lang, source, pat, tpl, expect):
    text, left = rewrite_leaving(lang, source, pat, tpl)
    if expect is None:
        assert text == source and len(left) == 1 and "read otherwise" in left[0]
    else:
        assert (text, left) == (expect, [])


# Taking an item out of a list must not leave its place between two commas:
# JavaScript reads `[1, , 3]` as an array with a hole, and refuses `f(1, , 3)`
# (which its grammar takes). A comma left last is a trailing one.
@pytest.mark.parametrize(
    ("lang", "source", "kept"),
    [
        ("javascript", "a = [1, 2, 3];\n", None),
        ("javascript", "a = [2, 4];\n", None),
        ("javascript", "const [x, y, z] = a;\n", None),
        ("javascript", "f(1, 2, 3);\n", None),
        ("javascript", "a = [1, /* two */ 2 /* more */, 3];\n", None),
        ("python", "f(1, 2, 3)\n", None),
        ("javascript", "a = [1, 2];\n", "a = [1, ];\n"),
        ("python", "f(1, 2)\n", "f(1, )\n"),
    ],
)
def test_an_item_taken_out_leaves_no_empty_place(lang, source, kept):
    pat = "y" if "y" in source else "2"
    text, left = rewrite_leaving(lang, source, pat, "")
    if kept is None:
        assert text == source and len(left) == 1 and "empty place" in left[0]
        return
    assert (text, left) == (kept, [])
    if lang == "javascript" and NODE is not None:
        assert run(NODE, "-e", text.replace("a =", "const a =") + "console.log(a.length)").strip() == "1"


def test_a_rule_takes_an_item_out_with_its_comma():
    (config,) = parse_rules(
        "id: r\nlanguage: javascript\nrule: {pattern: '2', inside: {kind: array}}\n"
        "fix:\n  template: ''\n  expandEnd: {regex: ','}\n"
    )
    assert str(matcher(config).rewrite(parse("javascript", "a = [1, 2, 3];\nb = [2, 4];\n"))) == (
        "a = [1,  3];\nb = [ 4];\n"
    )


def test_a_match_its_grammar_makes_of_a_splat_is_left_alone():
    # tree-sitter-python reads `[*g(1)]` as a call of `*g`: no such call is in the program.
    text, left = rewrite_leaving("python", "y = [*g(1)]\nw = g(2)\n", "$F($A)", "h($F, $A)")
    assert text == "y = [*g(1)]\nw = h(g, 2)\n" and len(left) == 1
