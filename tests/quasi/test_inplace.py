"""A replacement keeps its meaning where it lands: checked by running the code before and after."""

import re
import shutil
import subprocess

import pytest
from hypothesis import assume, given, settings, strategies as st

from kovel.quasi import MisreadError
from kovel.quasi.inplace import byte_offsets, parsed_root, rewritten
from kovel.rules import Rule, RuleConfig, matcher
from kovel.treesitter import parse
from kovel.treesitter.grammars import parser
from tests.helpers import NODE, calls_taken_away, rewrite, rewrite_leaving, run

# Python expressions over small integers; `g(...)` marks where a rewrite takes the call away.
_ATOMS = st.sampled_from(["1", "2", "3", "-4", "x", "(5)"])


def _expr(c):
    ops = st.sampled_from(["+", "-", "*", "//", "%", "**", "<", "==", "and", "or", "|", "&"])
    return st.one_of(
        st.tuples(c, ops, c).map(" ".join),
        *(c.map(form.format) for form in ["-{}", "not {}", "~{}", "g({})", "[{}][0]", "({})"]),
        st.tuples(c, c, c).map(lambda t: "{} if {} else {}".format(*t)),
        st.tuples(c, c).map(lambda t: "h({}, {})".format(*t)),
    )


_EXPRS = st.recursive(_ATOMS, _expr, max_leaves=8)
_PY_CALLS = {"g": lambda a: a, "h": lambda a, b: a - b, "x": 7}


def _value(code):
    try:
        return ("ok", eval(compile(code, "<test>", "eval"), dict(_PY_CALLS)))
    except (ZeroDivisionError, OverflowError, ValueError, TypeError, MemoryError) as exc:
        return ("raises", type(exc).__name__)


@settings(max_examples=300, deadline=None)
@given(_EXPRS)
def test_python_calls_taken_away_keep_the_value(code):
    assume(code.count("**") <= 2)  # towers of powers take too long to compute
    try:
        compile(code, "<test>", "eval")
    except SyntaxError:  # `~not 1`: the generator writes what Python refuses
        assume(False)
    before = _value(code)
    # `g(A)` is A, `h(A, B)` is A - B: taking the calls away must not change the value.
    after = calls_taken_away("python", code + "\n")
    assert "g(" not in after and "h(" not in after
    assert _value(after.strip()) == before, (code, after)
    # Operators rewritten into others of the same value: the operands keep theirs.
    swapped = rewrite("python", rewrite("python", after, "$A - $B", "$A + -$B"), "$A * $B", "$B * $A")
    assert _value(swapped.strip()) == before, (code, after, swapped)


GO_BODY = "package a\nfunc f() {\n\t%s\n}\n"


@pytest.mark.parametrize(
    "lang, code, pat, tpl, expected",
    [
        ("python", "y = g(x + 1) * 2\n", "g($A)", "$A", "y = (x + 1) * 2\n"),
        ("python", "y = -g(a if b else c)\n", "g($A)", "$A", "y = -(a if b else c)\n"),
        ("python", "y = not g(a or b)\n", "g($A)", "$A", "y = not (a or b)\n"),
        ("python", "y = g(5, 6).real\n", "g($A, $B)", "$A + $B", "y = (5 + 6).real\n"),
        ("python", "f(g(q))\n", "g($A)", "$A, 1", "f((q, 1))\n"),  # a tuple stays one argument
        ("python", "print(g(x))\n", "g($A)", "$A", "print(x)\n"),  # nothing to keep together
        # Edited in place, the operands keep their layout, unless the new operator splits one.
        ("python", "f(x+y)  # keep\n", "f($A + $B)", "f($A * $B)", "f(x*y)  # keep\n"),
        ("python", "f(a - b + c)\n", "f($A + $B)", "f($A * $B)", "f((a - b) * c)\n"),
        ("python", "def f():\n    g(1)\n", "g($A)", "y = $A\nlog(y)", "def f():\n    y = 1\n    log(y)\n"),
        ("python", "def f():\n    if c:\n        a = 1\n        b = 2\n    return a\n", "$X = 1\n$Y = 2", "$X = 3\n$Y = 4\nlog($X)",
         "def f():\n    if c:\n        a = 3\n        b = 4\n        log(a)\n    return a\n"),
        ("javascript", "const w = g(a, b).length;\n", "g($A, $B)", "$A + $B", "const w = (a + b).length;\n"),
        ("javascript", "const v = typeof g(a || b);\n", "g($A)", "$A", "const v = typeof (a || b);\n"),
        ("javascript", "const u = a + g(1);\n", "g($A)", "() => $A", "const u = a + (() => 1);\n"),
        # A statement taking the place of an expression keeps the expression statement's `;`.
        ("javascript", "console.warn(1);\n", "console.warn($A)", "if (DEBUG) console.warn($A)", "if (DEBUG) console.warn(1);\n"),
        ("c", "int y = g(x + 1) * 2;\n", "g($A)", "$A", "int y = (x + 1) * 2;\n"),
        # An argument's own node (C#, Kotlin) is not what its value is, elsewhere.
        ("c_sharp", "class C { int M() { return g(a, b).Length; } }\n", "g($A, $B)", "$A + $B",
         "class C { int M() { return (a + b).Length; } }\n"),
        ("kotlin", "fun f() = g(a, b).length\n", "g($A, $B)", "$A + $B", "fun f() = (a + b).length\n"),
        ("go", "func f() int { return g(a + b) * 2 }\n", "g($A)", "$A", "func f() int { return (a + b) * 2 }\n"),
        # Go calls that it runs as statements, written as such.
        ("go", GO_BODY % "y := g(x)\n\tg(x)", "g($A)", "h($A)", GO_BODY % "y := h(x)\n\th(x)"),
        ("go", GO_BODY % "y := g(x)", "g($A)", "len($A)", GO_BODY % "y := len(x)"),
        ("go", GO_BODY % "defer g(x)", "defer g($A)", "go h($A)", GO_BODY % "go h(x)"),
        ("go", GO_BODY % "defer func() { g(x) }()", "g($A)", "f.h($A)", GO_BODY % "defer func() { f.h(x) }()"),
        # Grammars with parentheses of their own name, or whose operators' ranks are not the language's.
        ("ruby", "y = g(1) * 2\n", "g($A)", "$A + 1", "y = (1 + 1) * 2\n"),
        ("ruby", "y = g(a == b) == c\n", "g($A)", "$A", "y = (a == b) == c\n"),
        ("php", "<?php $y = g($a . $b)->c;\n", "g($A)", "$A", "<?php $y = ($a . $b)->c;\n"),
        ("php", "<?php $y = $c ? 1 : g($a ? 2 : 3);\n", "g($A)", "$A", "<?php $y = $c ? 1 : ($a ? 2 : 3);\n"),
        ("php", "<?php $y = g($a < $b) > $c;\n", "g($A)", "$A", "<?php $y = ($a < $b) > $c;\n"),
        ("lua", "y = -g(a ^ b)\n", "g($A)", "$A .. 1", "y = -(a ^ b .. 1)\n"),
        ("scala", "val y = g(a + b)\n", "g($A)", "$A * 2", "val y = (a + b) * 2\n"),
        ("scala", "val y = g(a max b) + 1\n", "g($A)", "$A", "val y = (a max b) + 1\n"),
        ("scala", "val y = g(a * b) + 1\n", "g($A)", "$A", "val y = a * b + 1\n"),
        ("haskell", "y = 2 * g (a + b)\n", "g $A", "$A", "y = 2 * (a + b)\n"),
        # What JavaScript takes where it stands: an object not opening a statement, a member assigned to.
        ("javascript", "a.b = 1;\nf(a.b);\n", "$A.$B", "$A[$B]", "a[b] = 1;\nf(a[b]);\n"),
        ("javascript", "x = f(1);\n", "f($A)", "{v: $A}", "x = {v: 1};\n"),
        ("typescript", "a.b = 1;\n", "$A.$B", "($A as any).$B", "(a as any).b = 1;\n"),
        ("javascript", "(a) = 1;\n", "a", "b.c", "(b.c) = 1;\n"),
        # `??` joins `&&` and `||` only in parentheses.
        ("javascript", "x = a || b && c;\n", "$A || $B", "$A ?? $B", "x = a ?? (b && c);\n"),
        ("javascript", "x = a || b || c;\n", "$A || $B", "$A ?? $B", "x = (a || b) ?? c;\n"),
        ("javascript", "x = a && b || c;\n", "$A && $B", "$A ?? $B", "x = (a ?? b) || c;\n"),
        # A name assigned to may become a pattern `=` destructures.
        ("javascript", "f(x);\nx = 1;\n", "x", "[y]", "f([y]);\n[y] = 1;\n"),
        # An optional chain is assigned to nowhere: parentheses end it.
        ("javascript", "this.at(c).parent = undefined;\n", "$A.$B($$$C)", "$A?.$B($$$C)", "(this?.at(c)).parent = undefined;\n"),
        # A run of one value is a value: kept together where the template puts it.
        ("python", "f(a + b)\n", "f($$$A)", "x = $$$A * 2", "x = (a + b) * 2\n"),
        ("javascript", "f(a, b);\n", "f($$$A)", "x = [$$$A] * 2", "x = [a, b] * 2;\n"),
        ("c", "int y = f(a ? b : c);\n", "f($$$A)", "-$$$A", "int y = -(a ? b : c);\n"),
    ],
)  # fmt: skip
def test_replacements_are_parenthesised_where_the_code_around_them_would_split_them(
    lang, code, pat, tpl, expected
):
    out = rewrite(lang, code, pat, tpl)
    assert out == expected
    if NODE is not None and lang == "javascript":
        run(NODE, "--check", "-", input=out)


@pytest.mark.parametrize(
    "lang, code, pat, tpl",
    [
        # Statements that would leave the one-line block they replace a statement of.
        ("python", "if c: g(3)\n", "g($A)", "y = $A\nprint(y)"),
        ("javascript", "if (c) g(3);\n", "g($A)", "let x = $A;\nf(x);"),
        # A comment that would swallow the code after it, or that the whole replacement is.
        ("python", "y = g(1) + 2\n", "g($A)", "$A  # was g"),
        ("python", "x = [y for y in z] + 1\n", "[$E for $Y in $Z]", "# $E"),
        ("c", "int x = g(1) + 2;\n", "g($A)", "// $A"),
        ("javascript", "let x = g(1) + 2;\n", "g($A)", "/* $A */ // gone"),
        # What JavaScript refuses though its grammar reads it: an assignment to what
        # is not a name, member or index.
        ("javascript", "a.b = 1;\n", "$A.$B", "$A + $B"),
        ("typescript", "a.b += 1;\n", "$A.$B", "$A, $B"),
        ("javascript", "a.b++;\n", "$A.$B", "`${$A}`"),
        ("javascript", "a.b.c++;\n", "$A.$B", "$A?.$B"),
        ("javascript", "a.b = 1;\n", "$A.$B", "$A?.$B"),
        ("javascript", "g(a?.b);\n", "g($A);", "for ($A in o) {}"),
        # `super` takes no optional chain, nor parentheses.
        ("javascript", "class A extends B { f() { super.g(1); } }", "$A.$B($$$C)", "$A?.$B($$$C)"),
        ("typescript", "class A extends B { f() { super.g(1); } }", "$A.$B($$$C)", "($A).$B($$$C)"),
        # A line starting with `(` after a line that the new one would continue, in a one-line
        # block: the `;` that would end the line before cannot go there.
        ("javascript", "if (c) a = b\nelse g(x)\n", "g($A)", "{}\n($A || 0).toString()"),
        # A whole statement replaced by one of the same kind is checked too.
        ("javascript", "x = {l: 1};\n", "$A = $B;", "$B + $A;"),
        # Java, C# and Go take only a call, an assignment, an increment (and the like) as a statement.
        ("java", "class A { void f() { x = y; } }", "$X = $V;", "$X.x;"),
        ("java", "class A { void f() { g(); } }", "$F()", "$F"),
        ("java", "class A { void f() { a.g(1); } }", "$O.$M($$$A)", "($M)"),
        ("c_sharp", "class A { void F() { G(1); } }", "G($A)", "-$A"),
        ("go", "package a\nfunc f() {\n\tg(1)\n}\n", "g($A)", "$A + 1"),
        # Go runs no builtin that only gives a value as a statement, nor in `go` or `defer`,
        # which take a call unparenthesised: a call of the same shape is checked too.
        ("go", "package a\nfunc f() {\n\tif c {\n\t\tg(x)\n\t}\n}\n", "g($A)", "cap($A)"),
        ("go", "package a\nfunc f() {\n\tdefer g(x)\n}\n", "g($A)", "len($A)"),
        ("go", "package a\nfunc f() {\n\tgo g(x)\n}\n", "g($A)", "($A)"),
        ("go", "package a\nfunc f() {\n\tdefer g(x)\n}\n", "defer g($A)", "defer new($A)"),
        # Ruby: a statement with a modifier where an argument goes; an assignment to a call.
        ("ruby", "super(a)\n", "$F($$$A)", "$F = $F"),
        ("ruby", "if a && b.c?\n  x\nend\n", "if $C\n  $$$B\nend", "$C = 1"),
        ("ruby", "def f\n  A::B.c(1)\nend\n", "$O.$M($$$A)", "$O = 1"),  # a constant, in a method
        ("ruby", "def f\n  x = g(A)\nend\n", "g($F)", "$F = $F"),  # in parentheses too
        # A hash first among arguments without parentheses is a block (`f {a: 1}`), even in parentheses.
        ("ruby", "f({a: 1}, 2)\n", "$F($$$A)", "$F $$$A"),
        ("ruby", "g({\n  a => b,\n})\n", "$F($$$A)", "$F $$$A"),
        ("java", "class A { boolean f() { return true; } }", "return $X;", "return $X++;"),
        # PHP: a reserved word as a constant, parenthesised or not; an assignment to a call.
        ("php", "<?php\nif (isset($a)) { f(1); }\n", "$F($$$A)", "$F"),
        ("php", "<?php\nf(1);\nif (isset($a)) { f(1); }\n", "$F($$$A)", "new X($F)"),
        ("php", "<?php\nif (!f()) {}\n", "!$A", "$A = $A"),
        ("php", "<?php\n$a = &$this->g(1);\n", "$O->$M($$$A)", "-$O"),
        ("php", "<?php\nif (isset($a[1])) {}\n", "isset($A)", "isset($A + 1)"),
        ("php", "<?php\n$this->f($a);\n", "$O->$M($$$A)", "$O = 1"),
        # Statements matched as a run, put back in a one-line block they would leave.
        ("python", "def f():\n    if c: a = 1; b = 2\n", "$X = 1\n$Y = 2", "pass\n$X = 3\n$Y = 4"),
    ],
)
def test_what_parentheses_cannot_keep_together_is_refused(lang, code, pat, tpl):
    with pytest.raises(MisreadError):
        rewrite(lang, code, pat, tpl)


def test_rule_fixes_are_kept_together_too():
    # Without a pattern, a rule's fix goes the plain way: the same check holds.
    r = RuleConfig("r", "python", Rule(kind="call", regex="^g\\("), fix="a + b")
    assert str(matcher(r).rewrite(parse("python", "y = g(1) * 2\n"))) == "y = (a + b) * 2\n"


# Programs of compiled languages: each expression printed before and after `g(...)` is taken away.
COMPILED = {
    "c": (
        ["g(x + 1) * 2", "-g(x ? 3 : 4)", "g(x = 5) + 1", "10 - g(x - 1)", "!g(x && 0)", "g(x << 1) >> 1", "(int) g(x + 0.5) * 2"],
        '    x = 3; printf("%d\\n", (int)({}));',
        "#include <stdio.h>\nint g(int a) { return a; }\nint main(void) {\n    int x;\nBODY\n    return 0;\n}\n",
    ),
    "java": (
        ["g(x + 1) * 2", "-g(x > 2 ? 3 : 4)", "10 - g(x - 1)", "g(x << 1) >> 1", "g(x + 1) % 3"],
        "        System.out.println({});",
        "class M {\n    static int g(int a) { return a; }\n    public static void main(String[] s) {\n        int x = 3;\nBODY\n    }\n}\n",
    ),
}  # fmt: skip


@pytest.mark.parametrize("lang", COMPILED)
def test_compiled_calls_taken_away_keep_the_value(tmp_path, lang):
    if shutil.which("cc" if lang == "c" else "javac") is None:
        pytest.skip("no compiler")
    exprs, line, program = COMPILED[lang]
    before = program.replace("BODY", "\n".join(line.format(e) for e in exprs))
    after = rewrite(lang, before, "g($A)", "$A")
    assert "g(" not in after.split(" main(", 1)[1]
    outputs = []
    for d, src in ((tmp_path / "before", before), (tmp_path / "after", after)):
        d.mkdir()
        if lang == "c":
            (d / "m.c").write_text(src)
            run("cc", "-w", "-o", d / "m", d / "m.c")
            outputs.append(run(d / "m"))
        else:
            (d / "M.java").write_text(src)
            run("javac", d / "M.java")
            outputs.append(run("java", "-cp", d, "M"))
    assert outputs[0] == outputs[1] and outputs[0].count("\n") == len(exprs)


# What a call stands for, written by the template itself: the program with `g`
# defined by the template and the rewritten one print the same.
# Code without semicolons (ASI): a replacement starting a line with `(`, `[` or a
# template literal would continue the line before; a `;` in front ends that.
ASI = "let e = out.length\ng(1)\ne = out\ng(2)\nif (e) {\n  g(3)\n}\nconst d = [1]\ng(4)\nconst y = [out, e.length, d.length]"
SCRIPT_CASES = [
    ("javascript", "const y = g(x + 1) * 2;", "g($A)", "$A"),
    ("javascript", "const y = -g(a ? b : c);", "g($A)", "$A"),
    ("javascript", "const y = g(a, b).toString().length;", "g($A, $B)", "$A + $B"),
    ("javascript", "const y = typeof g(a || b);", "g($A)", "$A"),
    ("javascript", "const y = g(a, b) ** 2;", "g($A, $B)", "-$A"),
    ("javascript", "const y = [g(a, b)].length;", "g($A, $B)", "$A, $B"),
    ("javascript", ASI, "g($A)", "(out.push($A) || 0).toString()"),
    ("javascript", ASI, "g($A)", "[$A, 1].forEach(v => out.push(v))"),
    ("javascript", ASI, "g($A)", "`${out.push($A)}`.length"),
    ("javascript", ASI, "g($A)", "(out.push($A), out.length)"),
    # TypeScript's own compiler reads both versions; node runs what it emits.
    ("typescript", "const y = g(a, b)!.toString().length;", "g($A, $B)", "$A + $B"),
    ("typescript", "const y = g(a)!.toString().length;", "g($A)", "$A as any"),
    ("typescript", "const y = String(g(a) * 2).length;", "g($A)", "$A as number + 1"),
    ("typescript", "const y = -g(a, b);", "g($A, $B)", "$A - $B"),
]  # fmt: skip


@pytest.mark.parametrize("lang, code, pat, tpl", SCRIPT_CASES)
def test_script_rewrites_compute_what_the_template_says(tmp_path, lang, code, pat, tpl):
    typed = lang == "typescript"
    if NODE is None or (typed and shutil.which("tsc") is None):
        pytest.skip("node or tsc is missing")
    any_ = ": any" if typed else ""
    prelude = f"const out{any_} = [], x{any_} = 2, a{any_} = 3, b{any_} = 0, c{any_} = 5;\n"
    out = rewrite(lang, code + "\n", pat, tpl)
    assert not re.search(r"\bg\(", out) and (code != ASI or out.count("\n;") == 3)
    rhs = tpl.replace("$A", "a").replace("$B", "b")
    g = f"function g(a{any_}, b{'?: any' if typed else ''}){any_} {{ return ({rhs}); }}\n"
    outputs = []
    for name, body in (("before", g + code), ("after", out)):
        (tmp_path / name).mkdir()
        source = tmp_path / name / ("a.ts" if typed else "a.js")
        source.write_text(prelude + body + "\nconsole.log(JSON.stringify(y));\n")
        if typed:
            subprocess.run(
                ["tsc", "--target", "es2020", "--outDir", source.parent, source], capture_output=True
            )
        outputs.append(run(NODE, source.with_suffix(".js")))
    assert outputs[0] == outputs[1], (code, out)


# Rewrites in Ruby, PHP and Java that are written: the language's own parser takes the
# result (the template puts what Ruby or Java refuses unparenthesised where it stands).
WRITTEN = [
    ("ruby", "unless a[1]\n  x\nend\n", "$A[$B]", "$A if $A", "unless (a if a)\n  x\nend\n"),
    ("ruby", "if a[1]\n  x\nend\n", "$A[$B]", "$A rescue $B", "if (a rescue 1)\n  x\nend\n"),
    ("ruby", "f(g(1))\n", "g($A)", "not $A", "f((not 1))\n"),
    ("ruby", "x = [g(1)]\n", "g($A)", "$A and b", "x = [(1 and b)]\n"),
    ("ruby", "y = g(1)\n", "g($A)", "$A rescue 2", "y = 1 rescue 2\n"),
    ("ruby", "if g(a)\n  x\nend\n", "g($A)", "not $A", "if not a\n  x\nend\n"),
    ("ruby", "if c\n  a and b\nend\n", "if $C\n  $B\nend", "$C ? $B : 0", "c ? (a and b) : 0\n"),
    ("ruby", "x = File.join a, b\n", "$X = $V", "-$V", "-(File.join a, b)\n"),
    # A call with its arguments unparenthesised, after one with them in parentheses.
    ("ruby", "def f\n  u = A.m(x)\n  p = File.join a, b\nend\n", "$X = $V", "-$V", "def f\n  -A.m(x)\n  -(File.join a, b)\nend\n"),
    # The grammar reads `f rescue f` among arguments as a call of `f`.
    ("ruby", "[f(a)]\n", "$F($$$A)", "$F rescue $F", "[(f rescue f)]\n"),
    ("ruby", "[1].each do |n, d = E[n]|\n  d\nend\n", "$A[$B]", "$A + $B", "[1].each do |n, d = (E + n)|\n  d\nend\n"),
    # PHP's `isset(...)` is taken apart only in parentheses.
    ("php", "<?php\n$y = !isset($a);\n", "!$A", "$A->x", "<?php\n$y = (isset($a))->x;\n"),
    ("php", "<?php\n$y = f($a);\n", "f($A)", "$A ? 1 : 2", "<?php\n$y = $a ? 1 : 2;\n"),
    # A call decided first does not decide for `isset(...)`, which looks like one.
    ("php", "<?php\nif (count($a) && $b) {}\nif (isset($c) && $d) {}\n", "$A && $B", "$A->x",
     "<?php\nif (count($a)->x) {}\nif ((isset($c))->x) {}\n"),
    # A run of one value, as a single value would be; a keyword the template adds stays apart.
    ("ruby", "if c\n  a and b\nend\n", "if $C\n  $$$B\nend", "$C ? $$$B : 0", "c ? (a and b) : 0\n"),
    ("ruby", "if c\n  a and b\nend\n", "if $C\n  $$$B\nend", "f($$$B)", "f((a and b))\n"),
    ("ruby", "if c\n  a and b\nend\n", "if $C\n  $$$B\nend", "if $C then $$$B end", "if c then a and b end\n"),
    ("ruby", "unless c\n  x\nend\n", "unless $C\n  $B\nend", "unless $C then $B end", "unless c then x end\n"),
    # The keyword a Ruby body opens with, which a run takes with the body: not written twice,
    # nor where it cannot open a line.
    ("ruby", "if m then\n  x\nend\n", "if $C\n  $$$B\nend", "if $C then $$$B end", "if m then x end\n"),
    ("ruby", "if m then\n  x\nend\n", "if $C\n  $$$B\nend", "unless $C\n  $$$B\nend", "unless m\n  x\nend\n"),
    ("ruby", "while c do\n  x\nend\n", "while $C\n  $$$B\nend", "until !($C)\n  $$$B\nend", "until !(c)\n  x\nend\n"),
    # A Ruby word runs into a `!` or `?` after it (`if!` would be a method's name).
    ("ruby", "if( x.nil? )\n  y\nend\n", "if $C\n  $$$B\nend", "if !($C)\n  $$$B\nend", "if !(( x.nil? ))\n  y\nend\n"),
    # A call without parentheses is no argument after the first, element or index after the first.
    ("ruby", "req.exec a, edit_path(req.path)\n", "edit_path($$$A)", "edit_path $$$A", "req.exec a, (edit_path req.path)\n"),
    ("ruby", "x = [:name, dot_pat(str)]\n", "dot_pat($$$A)", "dot_pat $$$A", "x = [:name, (dot_pat str)]\n"),
    ("ruby", "foo[1, g(x)]\n", "g($$$A)", "g $$$A", "foo[1, (g x)]\n"),
    ("ruby", "x = g(y)\n", "g($$$A)", "g $$$A", "x = g y\n"),
    ("ruby", "if c = find(t)\n  x\nend\n", "find($$$A)", "find $$$A", "if c = (find t)\n  x\nend\n"),
    # Nor does it lose the space the template puts before its arguments (`f?:x` reads a label,
    # `f:x` too, and `f%W[x]` a modulo).
    ("ruby", "if d != Array(:default)\n  x\nend\n", "Array($$$A)", "Array $$$A", "if d != (Array :default)\n  x\nend\n"),
    ("ruby", "r, s = sh(%W[git config])\n", "sh($$$A)", "sh $$$A", "r, s = sh %W[git config]\n"),
    ("ruby", "def ok?\n  why_not_ok?(:quick).empty?\nend\n", "$F($$$A)", "$F $$$A", "def ok?\n  (why_not_ok? :quick).empty?\nend\n"),
    # A body of statements is no value to keep together.
    ("ruby", "def f\n  a\n  b\nend\n", "def $F\n  $$$B\nend", "def $F\n  log\n  $$$B\nend", "def f\n  log\n  a\n  b\nend\n"),
    ("java", "class A { void f() { x = y; } }", "$X = $V;", "$V = $X;", "class A { void f() { y = x; } }"),
    ("java", "class A { void f() { g(1); } }", "g($A)", "new B($A)", "class A { void f() { new B(1); } }"),
]  # fmt: skip


@pytest.mark.parametrize("lang, code, pat, tpl, want", WRITTEN)
def test_rewrites_the_language_refuses_unwrapped_are_written_wrapped(tmp_path, lang, code, pat, tpl, want):
    out = rewrite(lang, code, pat, tpl)
    assert out == want
    checker = {"ruby": "ruby", "php": "php", "java": "javac"}[lang]
    if shutil.which(checker) is None:
        pytest.skip(f"{checker} is not installed")
    f = tmp_path / ("A.java" if lang == "java" else "a")
    f.write_text(out)
    if lang == "java":  # only the parser's verdict counts: the names are not declared
        check = subprocess.run(["javac", "-d", tmp_path, f], capture_output=True, text=True)
        assert "not a statement" not in check.stderr, out
    else:
        run(checker, "-c" if lang == "ruby" else "-l", f)


# Where a grammar groups operators otherwise than its language, a value is put
# in parentheses as the language reads it, and a match the grammar made up is left
# alone. Each template means what its pattern does, given PRELUDE: the output prints the same.
PRELUDE = "from operator import sub, xor\ng = lambda x: x\nh = lambda x: x ^ 2\n"
PY_RANKED = [
    ("print(g(1 ^ 2) & 2)\n", "g($A)", "$A", 0),
    ("print(1 & h(6))\n", "h($A)", "$A ^ 2", 0),
    ("print(g(1 | 2) ^ 3, 2 ** g(-1), g(2 ** 3) ** 2, g(-2) ** 2)\n", "g($A)", "$A", 0),
    ("print(1 ^ 2 & 2, 1 ^ 2)\n", "$A ^ $B", "xor($A, $B)", 1),
    ("print(5 - 2 - 1, 2 ** 3 ** 2)\n", "$A - $B", "sub($A, $B)", 0),
    # `:=` goes bare only where Python takes it so: alone as a statement, or assigned, in parentheses
    ("print(g(x := 1))\ng(y := 2)\nz = g(w := 3)\nif g(v := 4):\n    print(v)\nprint(f\"{g(u := 5)}\", x, y, z)\n",
     "g($A)", "$A", 0),
    ("import asyncio\nasync def k(): return 3\nasync def f():\n    return await k() ** 2\nprint(asyncio.run(f()))\n",
     "$A ** $B", "pow($A, $B)", 1),
]  # fmt: skip


@pytest.mark.parametrize("source, pat, tpl, unread", PY_RANKED)
def test_python_operators_keep_the_grouping_python_gives_them(source, pat, tpl, unread):
    out, left = rewrite_leaving("python", source, pat, tpl)
    before, after = (run("python3", "-c", PRELUDE + code) for code in (source, out))
    assert before == after, out
    assert len(left) == unread, left  # only the matches the grammar grouped otherwise


@pytest.mark.parametrize(
    "lang, source, pat, tpl, want",
    [
        ("kotlin", "val x = -a + b\nval y = a + b\n", "$A + $B", "$A.plus($B)", "val x = -a + b\nval y = a.plus(b)\n"),
        ("kotlin", "val x = !t && u\n", "$A && $B", "$B && $A", "val x = !t && u\n"),
        ("kotlin", "val x = !a is Boolean\n", "!$A", "$A.not()", "val x = !a is Boolean\n"),
        ("php", "<?php\necho -$x ** 2, $x ** 2;\n", "$A ** $B", "pow($A, $B)", "<?php\necho -$x ** 2, pow($x, 2);\n"),

        # C#'s `is` takes no `||` into its pattern; `(a)-b` subtracts where `a` is no keyword type
        ("c_sharp", "class A { bool M(object x, bool y) => x is null || !y; }\n", "$A || $B", "$B || $A",
         "class A { bool M(object x, bool y) => x is null || !y; }\n"),
        ("c_sharp", "class A { int M(int a, int b) => (a)-b; }\n", "-$X", "(0 - $X)",
         "class A { int M(int a, int b) => (a)-b; }\n"),
    ],
)  # fmt: skip
def test_a_match_its_grammar_groups_otherwise_than_its_language_is_left_alone(lang, source, pat, tpl, want):
    out, left = rewrite_leaving(lang, source, pat, tpl)
    assert out == want and len(left) == 1, left


@pytest.mark.skipif(NODE is None, reason="node is not installed")
@pytest.mark.parametrize(
    "source",
    [
        "r = g(a?.b).c;",
        "r = g(a?.b)();",
        "r = g(a?.b)[0];",
        "r = g(a?.b);",
        "r = g(a?.b.c).d;",
        "r = g(a)?.b;",
    ],
)
def test_an_optional_chain_taken_out_skips_no_more_than_it_did(source):
    out, _ = rewrite_leaving("javascript", source, "g($A)", "$A")  # (or left alone: `(a?.b)()` binds `a`)
    prelude = "const g = (x) => x; let r; const a = null;\ntry { "
    after = " console.log(String(r)); } catch (e) { console.log('threw'); }\n"
    assert run(NODE, "-e", prelude + out + after) == run(NODE, "-e", prelude + source + after), out


def test_an_optional_chain_that_went_on_may_go_on():
    # The match's own `?.` skipped the `.c` after it: so may the replacement's.
    assert rewrite("javascript", "x = a?.b.c;\n", "a?.b", "g(a)?.b") == "x = g(a)?.b.c;\n"
    assert rewrite("typescript", "x = g(a?.b)!.c;\n", "g($A)", "$A") == "x = (a?.b)!.c;\n"


@pytest.mark.parametrize(
    "lang, source",
    [
        ("go", "package main\n\nimport \"fmt\"\n\nfunc g(a int) int { return a }\n\n"
         "func main() {\n\tx, y := 1, 2\n\tfmt.Println(x<g(-y))\n}\n"),
        ("rust", "fn g(a: i32) -> i32 { a }\nfn main() { let (x, y) = (1, 2); let b = x<g(-y); println!(\"{}\", b); }\n"),
    ],
)  # fmt: skip
def test_a_less_than_stays_apart_from_a_minus_after_it(tmp_path, lang, source):
    # `x<-y` is Go's channel receive, and a token of Rust's.
    out = rewrite(lang, source, "g($A)", "$A")
    assert "x< -y" in out
    compiler = "go" if lang == "go" else "rustc"
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    f = tmp_path / ("main.go" if lang == "go" else "main.rs")
    f.write_text(out)
    if lang == "go":
        printed = run("go", "run", f)
    else:
        run("rustc", "--edition", "2021", "-o", tmp_path / "main", f)
        printed = run(tmp_path / "main")
    assert printed == "false\n"


@pytest.mark.skipif(NODE is None, reason="node is not installed")
@pytest.mark.parametrize(
    "source, pat, tpl, want",
    [
        # A statement may not open with `{`, `function` or `class`: in parentheses it is a value.
        ("var x = {l: 1};\n", "var $A = $B;", "$B + $A", "({l: 1} + x)\n"),
        ("var f = function() {};\n", "var $A = $B;", "$B + $A", "(function() {} + f)\n"),
        ("f(1);\n", "f($A)", "{v: $A}", "({v: 1});\n"),
        ("f(1);\n", "f($A)", "class {}", "(class {});\n"),
        # A named function or class there would be a declaration, binding its name.
        ("h(function g() { return 1; });\n", "h($X)", "$X", "(function g() { return 1; });\n"),
        ("h(class A {});\n", "h($X)", "$X", "(class A {});\n"),
        # `{}` where a value stood is an object, not a block (an arrow's body).
        ("const o = () => mk();\n", "mk()", "{}", "const o = () => ({});\n"),
        ("const o = () => ({});\n", "($X)", "$X", "const o = () => ({});\n"),
    ],
)
def test_a_value_javascript_would_read_as_a_statement_is_parenthesised(source, pat, tpl, want):
    out = rewrite("javascript", source, pat, tpl)
    assert out == want
    run(NODE, "-e", "var x, f, h = (v) => v, mk = () => 1; " + out)  # it runs


@pytest.mark.skipif(shutil.which("php") is None, reason="php is not installed")
def test_php_takes_every_prefix_before_the_left_operand_of_power_into_it():
    # `- -$x ** 2` is `-(-($x ** 2))`: the value put under the first `-` keeps its own.
    source = "<?php\nfunction g($v) { return $v; }\n$x = 3;\necho -g($x) ** 2, ' ', g($x) ** 2, ' ', -(int) g($x) ** 2;\n"
    out = rewrite("php", source, "g($A)", "-$A")
    assert "-(-$x) ** 2" in out and "(-$x) ** 2" in out
    assert run("php", "-r", out.removeprefix("<?php\n")) == run("php", "-r", source.removeprefix("<?php\n"))


# Ruby takes a call without parentheses after `!` only where a statement or a
# condition goes, never after `-` or `~`; `not if` reads a modifier; `!~` is a token.
@pytest.mark.skipif(shutil.which("ruby") is None, reason="ruby is not installed")
@pytest.mark.parametrize(
    "line",
    [
        "p(!g(~a))", "x = !g(f a); p x", "p(!!g(f a))", "y = [!g(f a)]; p y", "x = -g(f b); p x",
        "p(~g(f a))", "z = (not g(if a then b else c end)); p z", "z = (not g(while false; end)); p z",
        "z = (not g(unless a then b end)); p z", "x = a ? !g(f a) : 1; p x", "v = (not g((a; 5))); p v",
        # left as they are written: a statement, a condition, `not`'s operand
        "!g(f a)", "p 1 if !g(f a)", "z = (not !g(f a)); p z", "z = !g(if a then b else c end); p z",
    ],
)  # fmt: skip
def test_ruby_operands_of_prefix_operators_keep_their_meaning(tmp_path, line):
    source = f"def g(x) = x\ndef f(x) = -x\na = 3; b = 5; c = 2\n{line}\n"
    out = rewrite("ruby", source, "g($A)", "$A")
    assert "g(" not in out.split("\n", 1)[1]
    (tmp_path / "a.rb").write_text(source)
    (tmp_path / "b.rb").write_text(out)
    assert run("ruby", tmp_path / "b.rb") == run("ruby", tmp_path / "a.rb")


# A keyword's value (PHP's `null`, `true`) before `->` or `?->` is parenthesised, not refused.
@pytest.mark.parametrize("op", ["->", "?->"])
@pytest.mark.parametrize("value", ["null", "true", "1"])
def test_php_keyword_values_before_member_access_are_parenthesised(tmp_path, op, value):
    out = rewrite("php", f"<?php\n$y = g({value}){op}p;\n", "g($A)", "$A")
    assert out == f"<?php\n$y = ({value}){op}p;\n"
    if shutil.which("php"):
        (tmp_path / "a.php").write_text(out)
        run("php", "-l", tmp_path / "a.php")


# In bash a redirection, a heredoc, `|`, `!` and `time` apply to one command of
# a list or pipeline: several commands put where one stood are left alone there
# (`{ ...; }` would keep them together), and written where nothing splits them.
@pytest.mark.parametrize("tpl", ["t 1 && t 2", "t 1 || t 2", "t 1 | cat", "! t 1", "time t 1"])
@pytest.mark.parametrize(
    "line, kept",
    [
        ("ph > /dev/null", False), ("ph 2>&1 | cat", False), ("ph <<EOF\nx\nEOF", False),
        ("ph | cat", False), ("x | ph", False),
        ("ph", True), ("{ ph; } > /dev/null", True), ("if ph; then :; fi", True), ("y=$(ph)", True),
    ],
)  # fmt: skip
def test_bash_commands_put_where_one_command_stood(tmp_path, tpl, line, kept):
    source = f't() {{ echo "t$1"; }}\n{line}\n:\n'
    out, left = rewrite_leaving("bash", source, "ph", tpl)
    assert (not left and "ph" not in out) if kept else (left and out == source)
    if kept and shutil.which("bash"):
        (tmp_path / "a.sh").write_text(out.replace(tpl, "{ " + tpl + "; }"))
        (tmp_path / "b.sh").write_text(out)
        assert run("bash", tmp_path / "b.sh") == run("bash", tmp_path / "a.sh")


# C (not C++) reads `c ? x : a = 5` as `(c ? x : a) = 5`; a function-like macro of
# the file takes its arguments as text (`M(a + b)` is `a + b * 3`).
@pytest.mark.skipif(shutil.which("cc") is None, reason="cc is not installed")
@pytest.mark.parametrize(
    "line, tpl",
    [
        ("r = 0 ? 1 : h(a = 5);", "$A"), ("r = b ? 1 : h(a += 5);", "$A"), ("r = 0 ? h(a) : h(b);", "$A |= 8"),
        ("r = M(h(a + b));", "$A"), ("r = M(h(a)) + N(h(b), 2);", "$A ? 1 : 2"), ("r = M(h(-a));", "$A"),
    ],
)  # fmt: skip
def test_c_operands_of_conditionals_and_macros_keep_their_meaning(tmp_path, line, tpl):
    def program(line):
        body = f'int a = 3, b = 5, r = 0;\n  {line}\n  printf("%d %d %d\\n", r, a, b);\n  return 0;\n'
        head = "#include <stdio.h>\n#define M(v) v * 3\n#define N(v, w) v + w\nstatic int h(int x) { return x; }\n"
        return head + "int main(void) {\n  " + body + "}\n"

    out = rewrite("c", program(line), "h($A)", tpl)
    # What the rewrite means: the template around each value, in parentheses.
    meant = re.sub(r"h\(([^()]*)\)", lambda m: "(" + tpl.replace("$A", f"({m[1]})") + ")", line)
    outputs = []
    for name, code in (("a", program(meant)), ("b", out)):
        (tmp_path / f"{name}.c").write_text(code)
        run("cc", "-std=c11", "-o", tmp_path / name, tmp_path / f"{name}.c")
        outputs.append(run(tmp_path / name))
    assert outputs[0] == outputs[1]


# In bash's arithmetic a prefix operator binds tighter than any binary one; a
# test reads words, where `1 + 2` is three of them.
@pytest.mark.parametrize(
    "line, fixed",
    [
        ("echo $(( -3 ))", False), ("echo $(( ~3 ))", False), ("echo $(( !3 ))", False),
        ("[[ 3 -eq 4 ]] && echo eq", False), ("[ 3 -eq 4 ] && echo eq", False), ("[[ 3 == 4 ]]", False),
        ("echo $(( 3 ))", True), ("[[ $(( 3 )) -eq 4 ]]", True), ("echo $(( 3 + 2 ))", True),
    ],
)  # fmt: skip
def test_bash_arithmetic_and_tests_keep_a_fix_apart(tmp_path, line, fixed):
    m = matcher(RuleConfig("r", "bash", Rule(kind="number", regex="^3$"), fix="1 + 2"))
    left: list[str] = []
    fixes = m.fixes(parse("bash", line + "\n"), left_alone=left)
    assert bool(fixes) is fixed and bool(left) is not fixed
    if fixed and shutil.which("bash"):
        out = str(m.rewrite(parse("bash", line + "\n")))
        (tmp_path / "a.sh").write_text(line.replace("3", "(1 + 2)") + "\n:\n")
        (tmp_path / "b.sh").write_text(out + ":\n")
        assert run("bash", tmp_path / "b.sh") == run("bash", tmp_path / "a.sh")


# `print` and `yield` rank above `and`, `xor` and `or`; `**` above `instanceof`.
@pytest.mark.skipif(shutil.which("php") is None, reason="php is not installed")
@pytest.mark.parametrize(
    "line",
    [
        "$v = print g($a and $b); echo '|', json_encode($v);",
        "$v = print g($a or $c); echo '|', json_encode($v);",
        "$v = print g($a xor $b); echo '|', json_encode($v);",
        "function gen($a, $c) { $w = (yield g($a and $c)); yield g($a or $c); } foreach (gen(3, 0) as $y) echo json_encode($y);",
        "echo json_encode(2 ** g($a instanceof Foo));",
        "echo json_encode(g($a instanceof Foo) ** 2);",
        "echo json_encode([g($a and $c), 1 => g($a or $b)]);",
    ],
)
def test_php_operands_of_print_yield_and_power_keep_their_meaning(line):
    source = f"<?php\nfunction g($x) {{ return $x; }}\nclass Foo {{}}\n$a = 3; $b = 5; $c = 0;\n{line}\n"
    out = rewrite("php", source, "g($A)", "$A")
    assert "g(" not in out.split("\n", 2)[2]
    assert run("php", "-r", out.removeprefix("<?php\n")) == run("php", "-r", source.removeprefix("<?php\n"))


@pytest.mark.parametrize(
    "source, want",
    [
        # Bare in a comprehension, its `for` would be the comprehension's own.
        ("print([f(y) for y in r])\n", "print([(y for z in w) for y in r])\n"),
        ("print(f(r), 1)\n", "print((r for z in w), 1)\n"),
    ],
)
def test_a_generator_expression_put_among_other_parts_is_parenthesised(source, want):
    out = rewrite("python", source, "f($X)", "$X for z in w")
    assert out == want
    compile(out, "<rewritten>", "exec")


@pytest.mark.parametrize(
    "lang, source, compiler",
    [
        ("c", "int *p;\nint f(void) { return 1; }\nint main(void) {\n  int x = 7;\n  x++;\n  x = 2;\n  return x;\n}\n",
         ["cc", "-fsyntax-only", "-Werror"]),
        ("go", "package main\n\nfunc f() int { return 1 }\n\nfunc main() {\n\tx := 1\n\tx++\n\tprintln(x)\n}\n",
         ["gofmt", "-e"]),
        ("rust", "fn f() -> i32 { 1 }\nfn main() { let mut x = 1; x += 1; let _ = x; }\n", None),
    ],
)  # fmt: skip
def test_a_value_is_not_put_where_a_name_is_declared_or_assigned_to(tmp_path, lang, source, compiler):
    # `int (*p) = 7` declares a pointer; `f() := 1`, `f()++` and `f() += 1` are refused.
    out, left = rewrite_leaving(lang, source, "x", "(*p)" if lang == "c" else "f()")
    assert (
        left and "int (*p)" not in out and "f() :=" not in out and "f()++" not in out and "f() +=" not in out
    )
    if compiler is not None and shutil.which(compiler[0]):
        f = tmp_path / ("a.c" if lang == "c" else "a.go")
        f.write_text(out)
        run(*compiler, f)


# A statement of a run the pattern matched may hold a part the pattern does not
# mention (`elif`, `else`, `finally`, `from`): a replacement of the run would drop
# it, so the match is left alone; without that part the run is rewritten.
RUN_CLAUSES = [
    ("python", "def f(x):\n    if x == 1:\n        return True\n{}    return False\n", "    elif x == 2:\n        print(2)\n",
     "if $C:\n    return True\nreturn False", "return bool($C)"),
    ("python", "def f():\n    try:\n        g()\n{}    return 1\n", "    finally:\n        print(1)\n",
     "try:\n    $$$B\nreturn 1", "$$$B\nreturn 1"),
    ("python", "def f():\n    m = 'x'\n    raise ValueError(m){}\n", " from KeyError('k')", "$M = $S\nraise $E", "raise ValueError($S)"),
    ("javascript", "function f(x) {\n  if (x) { return true; }{}\n  return false;\n}\n", " else { g(); }",
     "if ($C) { return true; }\nreturn false;", "return Boolean($C);"),
    ("go", "package p\n\nfunc f(x bool) bool {\n\tif x {\n\t\treturn true\n\t}{}\n\treturn false\n}\n", " else {\n\t\tg()\n\t}",
     "if $C { return true }\nreturn false", "return $C"),
    ("rust", "fn f(x: bool) -> bool {\n    if x { return true; }{}\n    return false;\n}\n", " else { g(); }",
     "if $C { return true; }\nreturn false;", "return $C;"),
    ("java", "class A { boolean f(boolean x) {\n    if (x) { return true; }{}\n    return false;\n} }\n", " else { g(); }",
     "if ($C) { return true; }\nreturn false;", "return $C;"),
]  # fmt: skip


@pytest.mark.parametrize("lang, source, part, pat, tpl", RUN_CLAUSES)
def test_a_run_whose_statement_holds_a_part_the_pattern_passes_over_is_left_alone(
    lang, source, part, pat, tpl
):
    with_part = source.replace("{}", part)
    out, left = rewrite_leaving(lang, with_part, pat, tpl)
    assert left and out == with_part
    out, left = rewrite_leaving(lang, source.replace("{}", ""), pat, tpl)
    assert not left and out != source.replace("{}", "")


# A replacement of several lines laid out at an indented match is checked as one
# at column 0: a part of its own beside the match's passed-over one is refused.
@pytest.mark.parametrize(
    "lang, source, pat, tpl",
    [
        ("javascript", "function f() {\n  if (c) {\n    a();\n  } else {\n    b();\n  }\n}\n", "if ($C) { $$$B }",
         "if ($C) {\n  $$$B\n} else if (x) {\n  y();\n}"),
        ("python", "def f(c, d):\n    if c:\n        a()\n    elif d:\n        b()\n", "if $C:\n    $$$B",
         "if $C:\n    $$$B\nelif x:\n    pass"),
        ("python", "def f(x):\n    raise A(1,\n    ) from None\n", "raise $E", "raise $E from None"),
    ],
)  # fmt: skip
def test_an_indented_replacement_of_lines_keeps_no_second_clause(lang, source, pat, tpl):
    out, left = rewrite_leaving(lang, source, pat, tpl)
    assert left and out == source


# Rust's outer attributes and a TypeScript member's decorators apply to the
# sibling after them: a match they apply to is not deleted, nor made several,
# under them; one node in its place keeps them, and a pattern that names the
# attribute takes it along.
@pytest.mark.parametrize(
    "lang, source, pat, tpl, left",
    [
        ("rust", "fn main() {\n    #[cfg(debug_assertions)]\n    debug_assert!(1 == 1);\n    println!(\"x\");\n}\n",
         "debug_assert!($$$A);", "", True),
        ("rust", "#[cfg(test)]\nfn old() {}\nfn helper() {}\n", "fn old() {}", "", True),
        ("rust", "#[cfg(test)]\n// why\nfn f() -> u32 { 1 }\n", "fn f() -> u32 { 1 }", "fn f() -> u32 { 1 }\nfn g() -> u32 { 2 }", True),
        ("rust", "#[cfg(test)]\nfn f() -> u32 { 1 }\n", "fn f() -> u32 { 1 }", "fn f() -> u32 { 2 }", False),
        # comments around the one node are no second one
        ("rust", "#[allow(dead_code)]\nconst X: u8 = 1;\n", "const $C: $T = $V;", "const $C: $T = $V; // x", False),
        ("rust", "#[allow(dead_code)]\nconst X: u8 = 1;\n", "const $C: $T = $V;", "/* x */\nconst $C: $T = 2;", False),
        ("rust", "fn main() {\n    #[cfg(debug_assertions)]\n    debug_assert!(1 == 1);\n    f();\n}\n",
         "#[cfg(debug_assertions)]\ndebug_assert!($$$A);", "", False),
        ("rust", "fn a() {}\nfn old() {}\n", "fn old() {}", "", False),
        ("typescript", "class A {\n  @dec\n  old() {}\n  keep() {}\n}\n", "old() {}", "", True),
        ("typescript", "class A {\n  @dec\n  old() {}\n  keep() {}\n}\n", "old() {}", "renamed() {}", False),
        # before a run, the attribute applies to its first statement alone
        ("rust", "fn main() {\n    #[cfg(debug_assertions)]\n    debug_assert!(true);\n    println!(\"x\");\n}\n",
         "debug_assert!($A);\nprintln!($$$B);", "println!($$$B);", True),
        ("typescript", "class A {\n  @dec\n  old() {}\n  keep() {}\n}\n", "old() {}\nkeep() {}", "keep() {}", True),
        ("kotlin", "@JvmName(\"x\")\nfun old() {}\nfun keep() {}\n", "fun old() {}", "", True),
    ],
)  # fmt: skip
def test_an_attribute_before_a_match_is_not_left_on_other_code(lang, source, pat, tpl, left):
    out, why = rewrite_leaving(lang, source, pat, tpl)
    assert bool(why) is left and (out == source) is left


def test_a_rule_fix_does_not_strand_an_attribute():
    r = RuleConfig("r", "rust", Rule(kind="function_item", regex="^fn old"), fix="")
    left: list[str] = []
    assert matcher(r).fixes(parse("rust", "#[cfg(test)]\nfn old() {}\nfn b() {}\n"), left_alone=left) == []
    assert left and "attribute" in left[0]


# TypeScript's `typeof` in a type takes a name, a member of one, or `import(...)`:
# a call or an index there is no type (its grammar reads them).
@pytest.mark.parametrize(
    "value, kept",
    [
        ("a.b", True),
        ("this.x", True),
        ("a.b.c", True),
        ("f(1)", False),
        ("a.b()", False),
        ("a[0].b", False),
        ("this.#p", False),
    ],
)
def test_a_typescript_type_query_takes_a_name_only(value, kept):
    source = f"const v = g({value});\n"
    out, left = rewrite_leaving("typescript", source, "g($X)", "(g($X) as typeof $X)")
    assert (out == f"const v = (g({value}) as typeof {value});\n") is kept and bool(left) is not kept


# A metavariable in a fix's comment takes its value's text in every comment form
# (Rust names the marks of its `//` and `/* */` comments); a doc comment's line
# break lets the next line take the match's indentation.
@pytest.mark.parametrize(
    "tpl, want",
    [
        ("bar($A); // was $A", "        bar(1); // was 1\n"),
        ("/* was $A */ bar($A);", "        /* was 1 */ bar(1);\n"),
        ("/// doc $A\nbar($A);", "        /// doc 1\n        bar(1);\n"),
    ],
)
def test_rust_comments_in_a_fix_take_values_and_keep_the_indentation(tmp_path, tpl, want):
    source = (
        "mod m {\n    fn f() {\n        foo(1);\n    }\n    fn foo(_: i32) {}\n    fn bar(_: i32) {}\n}\n"
    )
    out, left = rewrite_leaving("rust", source, "foo($A);", tpl)
    assert not left and want in out and "$A" not in out
    if shutil.which("rustc"):
        (tmp_path / "a.rs").write_text(out)
        run(
            "rustc",
            "--edition",
            "2021",
            "--crate-type",
            "lib",
            "--emit",
            "metadata",
            "-o",
            tmp_path / "a",
            tmp_path / "a.rs",
        )


# A part the pattern passes over below the match's own clauses (the `elif` of an
# `if` in a `def` the pattern names) stays where the template edits the match in
# place, and refuses the match where the template rebuilds it without that part.
@pytest.mark.parametrize(
    "lang, source, pat, tpl, kept",
    [
        ("python", "def f(x):\n    if x == 1:\n        return True\n    elif x == 2:\n        print(2)\n    return False\n",
         "def $F($X):\n    if $C:\n        return True\n    return False", "def $F($X):\n    return bool($C)", False),
        ("python", "def f():\n    g()\n    raise ValueError('m') from KeyError('k')\n", "def $F():\n    g()\n    raise $E",
         "def $F():\n    raise $E", False),
        ("javascript", "function f(x) { if (x === 1) { return true; } else { g(); } return false; }\n",
         "function $F($X) { if ($C) { return true; } return false; }", "function $F($X) { return Boolean($C); }", False),
        ("python", "def f(x):\n    if x:\n        a()\n    elif y:\n        b()\n", "def $F($X):\n    if $C:\n        $$$B",
         "def $F($X):\n    if not $C:\n        $$$B", True),
        ("python", "def f(x):\n    if x:\n        a()\n", "def $F($X):\n    if $C:\n        $$$B",
         "async def $F($X):\n    if $C:\n        $$$B", True),
    ],
)  # fmt: skip
def test_a_part_passed_over_inside_a_match_is_kept_or_the_match_left_alone(lang, source, pat, tpl, kept):
    out, left = rewrite_leaving(lang, source, pat, tpl)
    assert bool(left) is not kept and (out == source) is not kept
    if kept and lang == "python":
        compile(out, "<rewritten>", "exec")
        assert "elif" in out or "elif" not in source


# Sound rewrites written as meant: a string the match holds is text whatever
# `$NAME` it spells; a comment that ended a statement's line ends the last line
# of what takes its place; a run's place takes a node that reads as several
# there (a lambda's parameters in a def); deleting a Python block's one
# statement leaves `pass` (Python takes no empty block).
@pytest.mark.parametrize(
    "lang, source, pat, tpl, out",
    [
        ("python", 'f("$B")\nf("cost: $X")\n', "f($X)", "g($X, 1)", 'g("$B", 1)\ng("cost: $X", 1)\n'),
        ("javascript", 'f("$B");\n', "f($X)", "g($X, 1)", 'g("$B", 1);\n'),
        ("java", 'class A { String f(String n) { return n + "$Anon"; } }\n', "$A + $B", "$A.concat($B)",
         'class A { String f(String n) { return n.concat("$Anon"); } }\n'),
        ("python", "def f(x):\n    x.close()  # noqa\n    y = 1\n", "$X.close()",
         "with suppress(Exception):\n    $X.close()",
         "def f(x):\n    with suppress(Exception):\n        x.close()  # noqa\n    y = 1\n"),
        ("python", "f = lambda a, b=1: a + b\ng = lambda *args, **kw: 1\n", "$N = lambda $$$P: $E",
         "def $N($$$P):\n    return $E", "def f(a, b=1):\n    return a + b\ndef g(*args, **kw):\n    return 1\n"),
        ("python", "def f():\n    warn(1)\n", "warn($$$A)", "", "def f():\n    pass\n"),
        ("python", "if x:\n    # why\n    warn(1)\nelse:\n    warn(2)\n", "warn($$$A)", "",
         "if x:\n    # why\n    pass\nelse:\n    pass\n"),
        ("python", "def g():\n    a()\n    warn(1)\n", "warn($$$A)", "", "def g():\n    a()\n    \n"),
        ("python", "class C:\n    def m(self):\n        warn(1)\n", "warn($$$A)", "",
         "class C:\n    def m(self):\n        pass\n"),
    ],
)  # fmt: skip
def test_sound_rewrites_are_written_as_meant(lang, source, pat, tpl, out):
    got = rewrite(lang, source, pat, tpl)
    assert got == out
    if lang == "python":
        compile(got, "<rewritten>", "exec")


@given(st.text(st.characters(blacklist_categories=("Cs",)), max_size=40), st.data())
def test_byte_offsets_count_each_characters_utf8_bytes(text, data):
    at = data.draw(st.integers(0, len(text)))
    assert byte_offsets(text)(at) == len(text[:at].encode())


# A rewritten text's tree, reparsed from the tree of the text it was made of,
# is the tree a parse of it alone gives.
_SOURCE = "def f(a, b):\n    x = [a,\n         b]  # é\n    return g(x)\n\nclass C:\n    y = '''s\n'''\n"


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_a_rewritten_texts_tree_is_its_own(data):
    cuts = sorted(data.draw(st.lists(st.integers(0, len(_SOURCE)), min_size=2, max_size=6, unique=True)))
    spans = list(zip(cuts[::2], cuts[1::2], strict=False))
    bodies = [
        data.draw(st.sampled_from(["", "x", "h(\n  1)", "\n\n", "é\n", '"""a\nb"""', ")"])) for _ in spans
    ]
    parsed_root("python", _SOURCE.encode())  # (the text's own tree, kept)
    new, root, _ = rewritten("python", _SOURCE, spans, bodies)
    assert str(root) == str(parser("python").parse(new).root_node)
