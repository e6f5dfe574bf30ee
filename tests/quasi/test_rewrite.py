"""Rewrites keep the layout of what they splice: continuation lines of a
multi-line match, and the separators of a matched run."""

import ast
import json
import shutil
import subprocess

import pytest

pytest.importorskip("tree_sitter")

from tree_sitter import Parser  # noqa: E402

from kovel.quasi import pattern, template  # noqa: E402
from kovel.treesitter import language, parse  # noqa: E402


def rewrite(source: str, pat: str, repl: str) -> str:
    return str(pattern("python", pat).rewrite(parse("python", source), template("python", repl)))


# Shapes of the standard library where print($$$A) -> log($$$A) once moved
# continuation lines: each must come out as it stood, with only the name changed.
CONTINUATIONS = {
    "hanging-indent": 'def f():\n    print("a",\n          "b")\n',
    "backslash-in-method": (  # shlex.py
        "class S:\n    def pop(self):\n        if self.debug:\n"
        "            print('popping %s, line %d' \\\n                  % (self.instream, self.lineno))\n"
    ),
    "backslash-at-top-level-def": (  # lib2to3/pgen2/tokenize.py
        'def printtoken(type, token):\n    print("%d,%d" % \\\n        (srow, scol))\n'
    ),
    "deeper-hanging-indent-in-nested-block": (  # test/test_strftime.py
        "def t():\n    for e in x:\n        if e:\n            if verbose:\n"
        "                print(\"Does not appear to support '%s' format (%s)\" % \\\n"
        "                       (e[0], e[2]))\n"
    ),
    "tab-indented": 'def f():\n\tif x:\n\t\tprint("a",\n\t\t      "b" % \\\n\t\t\t(c, d))\n',
    "string-literal-lines-stay": 'def f():\n    print("""x\n  y\n""",\n          z)\n',
}


@pytest.mark.parametrize(
    "source",
    [
        *CONTINUATIONS.values(),
        "def f():\n    print(a,\n  b)\n",
    ],
    ids=[*CONTINUATIONS.keys(), "continuation-less-indented-than-the-match"],
)
def test_multiline_match_keeps_continuation_lines(source: str) -> None:
    out = rewrite(source, "print($$$A)", "log($$$A)")
    assert out == source.replace("print(", "log(")


def test_two_line_replacement_indents_its_new_line_only() -> None:
    source = "def f():\n    if a:\n        x = g(1,\n              2)\n"
    out = rewrite(source, "$X = g($$$A)", "$X = g($$$A)\nlog($X)")
    assert out == "def f():\n    if a:\n        x = g(1,\n              2)\n        log(x)\n"
    compile(out, "<rewritten>", "exec")


# (source, template, expected): a trailing separator of the matched run stays
# only where the template ends a list of the same kind with the run.
TRAILING = [
    ("print(x,)\n", "log($$$A)", "log(x,)\n"),
    ("print(x, y,)\n", "log(0, $$$A)", "log(0, x, y,)\n"),
    ("print(x,)\n", "log($$$A, end='')", "log(x, end='')\n"),
    ("print(x,)\n", "log($$$A,)", "log(x,)\n"),
    ("print(x, y ,)\n", "[$$$A]", "[x, y]\n"),
    ("print(x,)\n", "def f($$$A): pass", "def f(x): pass\n"),
    ("print(x, y)\n", "log($$$A, end='')", "log(x, y, end='')\n"),
    # a comment that ends the run ends its line wherever the run goes
    ("print(x, # c\n)\n", "log($$$A)", "log(x, # c\n)\n"),
    ("print(x, # c\n)\n", "log($$$A, end='')", "log(x # c\n, end='')\n"),
]


@pytest.mark.parametrize(("source", "repl", "expected"), TRAILING)
def test_trailing_separator_follows_the_template(source: str, repl: str, expected: str) -> None:
    out = rewrite(source, "print($$$A)", repl)
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
            pattern(lang, pat).rewrite(parse(lang, source), template(lang, tpl))
        return
    out = str(pattern(lang, pat).rewrite(parse(lang, source), template(lang, tpl)))
    assert out != source
    if lang == "python":
        stmt = ast.parse(out).body[0]
        literal = stmt.msg if isinstance(stmt, ast.Assert) else stmt.value.args[0]
        assert ast.literal_eval(literal) == value
    else:
        node = shutil.which("node") or pytest.skip("no node")
        prog = f"const a = 'A', b = 2; function f() {{}} function g(v) {{ console.log(JSON.stringify(v)); }}\n{out}"
        printed = subprocess.run([node, "-e", prog], capture_output=True, text=True, check=True).stdout
        assert json.loads(printed) == value


# A metavariable glued to a name (`get_$NAME`) puts its text into that name,
# as ast-grep's fixes do; the output runs (or compiles) as the language's own
# tools read it.  Text that would make the name two tokens is refused.
SPLICES = [
    ("python", "def area():\n    return 1\nprint(area())\n", "$F()", "get_$F()", "get_area"),
    ("python", "x = 1\nprint(x)\n", "print($A)", "print(f_$A_v if False else $A)", None),  # $A_v is one name
    ("javascript", "function size() { return 2; }\nconsole.log(size());\n", "console.log($F())", "console.log($F() + my_$F_x)", None),
    ("javascript", "const n = 2, v_n = 7;\nconsole.log(n);\n", "console.log($A)", "console.log($A + v_$A)", "9"),
    ("c", "int total(void) { return 3; }\nint old_total(void) { return 4; }\nint main(void) { return total(); }\n", "return $F();", "return $F() + old_$F();", "old_total()"),
    ("python", "print(x.y)\n", "print($A)", "log_$A()", ValueError),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "pat", "tpl", "expect"), SPLICES)
def test_a_metavariable_glued_to_a_name_puts_its_text_there(lang, source, pat, tpl, expect):
    if isinstance(expect, type):
        with pytest.raises(expect):
            pattern(lang, pat).rewrite(parse(lang, source), template(lang, tpl))
        return
    if expect is None:  # the metavariable runs into the text after it: no name to fill
        with pytest.raises(SyntaxError):
            template(lang, tpl)
        return
    out = str(pattern(lang, pat).rewrite(parse(lang, source), template(lang, tpl)))
    assert "$" not in out
    if lang == "python":
        assert "def area" in out and f"{expect}()" in out
        compile(out, "<rewritten>", "exec")
    elif lang == "javascript":
        node = shutil.which("node") or pytest.skip("no node")
        printed = subprocess.run([node, "-e", out], capture_output=True, text=True, check=True).stdout
        assert printed.strip() == expect
    else:
        cc = shutil.which("cc") or pytest.skip("no C compiler")
        assert expect in out
        r = subprocess.run([cc, "-fsyntax-only", "-x", "c", "-"], input=out, capture_output=True, text=True)
        assert r.returncode == 0, r.stderr


# Patterns cut from real code, each rewritten into itself: nothing may change.
# A name bound where the grammar reads it as another kind of node (a lambda's
# parameter, a type in a list) needs no parentheses where it lands.
IDENTITIES = [
    ("c_sharp", "class A { void F() { var x = l.First(d => d != null); } }\n", "$B => $B != $A"),
    ("java", "interface B extends D, A {}\nclass C { void f() { g(a, b); } }\n", "$B, $A"),
    ("typescript", "function f<T>(x: T): T { return x; }\n", "function $F<$T>($X: $T): $T { $$$B }"),
    ("rust", "fn f(v: Vec<u8>) -> usize { v.len() }\n", "fn $F($V: $T) -> $R { $$$B }"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "pat"), IDENTITIES)
def test_a_pattern_rewritten_into_itself_changes_nothing(lang, source, pat):
    p = pattern(lang, pat)
    t = parse(lang, source)
    assert list(p.find_all(t))
    assert str(p.rewrite(t, template(lang, pat))) == source


@pytest.mark.parametrize("source", ["#  include <a.h>\n#define X 1\n", "int x;\n# include <a.h>\nint y;\n"])
@pytest.mark.parametrize("line", ["\n", ""])
def test_a_directive_spelled_otherwise_is_rewritten_with_its_line(source, line):
    out = str(
        pattern("c", "#include $A" + line).rewrite(parse("c", source), template("c", '#include "x.h"' + line))
    )
    assert out == source.replace(source[source.index("#") : source.index(">") + 1], '#include "x.h"')
