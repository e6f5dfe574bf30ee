"""Values put where their language reads them otherwise than its grammar does
are parenthesised or refused: unary operators over binary ones (Kotlin,
PHP's `instanceof`), Python's `await`, casts before a member or a call, C's
`sizeof`, a JavaScript arrow's object body, Go's composite literals in a
statement's header; a run where one value goes, nothing where an operand
goes, a named argument taken out of its call."""

import ast
import shutil
from unittest.mock import ANY

import pytest

from kovel.quasi import MisreadError, pattern, template
from kovel.quasi.parse import parse_quasi, reads_without
from kovel.rules import Matcher, parse_rules
from kovel.tree import tag, walk
from kovel.treesitter import parse
from tests.helpers import NODE, rewrite_leaving, run

pytest.importorskip("tree_sitter")


def value(lang: str, source: str, kind: str):
    return next(n for _, n in walk(parse(lang, source)) if tag(n) == kind)


# (language, source holding the value, the value's kind, template, filled)
FILLS = [
    ("kotlin", "val x = i + j", "additive_expression", "-$X", "-(i + j)"),
    ("kotlin", "val x = a && b", "conjunction_expression", "!$X", "!(a && b)"),
    ("kotlin", "val x = a is Int", "check_expression", "$X to 1", "(a is Int) to 1"),
    ("kotlin", "val x = a is Int", "check_expression", "$X ?: 0", "(a is Int) ?: 0"),
    ("kotlin", "val x = a..b", "range_expression", "-$X", "-(a..b)"),
    ("kotlin", "val x = i * j", "multiplicative_expression", "$X + 1", "i * j + 1"),
    ("python", "x = a ** b\n", "binary_operator", "await $X", "await (a ** b)"),
    ("python", "x = -a\n", "unary_operator", "await $X", "await (-a)"),
    ("python", "x = a.b(c)\n", "call", "await $X", "await a.b(c)"),
    ("php", "<?php $x = $a instanceof Foo;", "binary_expression", "-$X", "-($a instanceof Foo)"),
    ("php", "<?php $x = $a instanceof Foo;", "binary_expression", "!$X", "!$a instanceof Foo"),
    ("rust", "fn f() { let v = a as i64; }", "type_cast_expression", "$X.clone()", "(a as i64).clone()"),
    ("rust", "fn f() { let v = a as i64; }", "type_cast_expression", "$X?", "(a as i64)?"),
    ("rust", "fn f() { let v = a as i64; }", "type_cast_expression", "$X < 5", "(a as i64) < 5"),
    ("c_sharp", "class A { void f() { var z = o as string; } }", "as_expression", "$X.Length", "(o as string).Length"),
    ("c_sharp", "class A { void f() { var z = o as string; } }", "as_expression", "$X()", "(o as string)()"),
    ("c", "int f(int a) { return (char)a; }", "cast_expression", "sizeof $X", "sizeof ((char)a)"),
    ("c", "int f(int a) { return (char)a; }", "cast_expression", "-$X", "-(char)a"),
    ("javascript", "f({a: 1})", "object", "() => $X", "() => ({a: 1})"),
    ("typescript", "f({a: 1} as T)", "as_expression", "() => $X", "() => ({a: 1} as T)"),
    ("javascript", "f([1])", "array", "() => $X", "() => [1]"),
    # C# ends an interpolation's expression at a `:` outside brackets.
    ("c_sharp", "var z = c ? 1 : 2;", "conditional_expression", '$"{$X}"', '$"{(c ? 1 : 2)}"'),
    ("c_sharp", "var z = c ? 1 : 2;", "conditional_expression", '$"{$X,5:x}"', '$"{(c ? 1 : 2),5:x}"'),
    ("c_sharp", "var z = c ? 1 : 2;", "conditional_expression", '$"{y = $X}"', '$"{y = (c ? 1 : 2)}"'),
    ("c_sharp", "var z = c ? 1 : 2;", "conditional_expression", '$"{f($X)}"', '$"{f(c ? 1 : 2)}"'),
    ("c_sharp", "var z = c ? 1 : 2;", "conditional_expression", "$X", "c ? 1 : 2"),
    # TypeScript reads `<` after a unary operator as a type assertion, in TSX too.
    ("tsx", "f(<b/>)", "jsx_self_closing_element", "typeof $X", "typeof (<b/>)"),
    ("tsx", "f(<b>{1}</b>)", "jsx_element", "!$X", "!(<b>{1}</b>)"),
    ("tsx", "f(<b/>)", "jsx_self_closing_element", "[$X]", "[<b/>]"),
]  # fmt: skip


# Values no parentheses let stand where the fix puts them: the match is left alone.
UNPLACEABLE = [
    ("java", "class A { void m() { int v = f(() -> 3).getAsInt(); } }"),
    ("java", "class A { void m() { int v = f(x -> x)[0]; } }"),
    ("c_sharp", "class A { void m() { var v = f(() => 3).Invoke(); } }"),
    ("c_sharp", "class A { void m() { var v = f(x => x)(2); } }"),
]


# Several statements are never parenthesised into one value (Kotlin reads them so as an infix call).
RUN_FIX = ("log($A)", 'println("a")\nlog($A)')
UNPLACEABLE_RUNS = [
    ("kotlin", "fun g() = log(1)\n", RUN_FIX),
    ("kotlin", "fun h(): Int { return log(2) }\n", RUN_FIX),
    ("kotlin", "fun f() {\n  outer@ for (i in l) { g(i) }\n}\n",
     ("for ($I in $L) { $$$B }", 'println("start")\nfor ($I in $L) { $$$B }')),
    ("python", "def g():\n    return log(1)\n", ("log($A)", 'print("a")\nlog($A)')),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "rule"), UNPLACEABLE_RUNS)
def test_several_statements_where_one_value_goes_are_left_alone(lang, source, rule):
    assert rewrite_leaving(lang, source, *rule) == (source, [ANY])


def test_several_statements_where_statements_go_are_written():
    source = "fun k() {\n  log(3)\n}\n"
    assert rewrite_leaving("kotlin", source, *RUN_FIX) == ('fun k() {\n  println("a")\n  log(3)\n}\n', [])


@pytest.mark.parametrize(("lang", "source"), UNPLACEABLE)
def test_a_value_no_parentheses_let_stand_is_left_alone(lang, source):
    assert rewrite_leaving(lang, source, "f($A)", "$A") == (source, [ANY])


@pytest.mark.parametrize(("lang", "source", "kind", "tpl", "want"), FILLS)
def test_a_value_keeps_its_meaning_where_its_language_ranks_it_otherwise(lang, source, kind, tpl, want):
    assert str(template(lang, tpl).fill(X=value(lang, source, kind))) == want


def test_python_reads_await_as_filled():
    for _, source, kind, tpl, _ in (f for f in FILLS if f[0] == "python"):
        got = str(template("python", tpl).fill(X=value("python", source, kind)))
        inner = source.split(" = ", 1)[1].strip()
        want = ast.dump(ast.parse(f"async def f():\n    await ({inner})\n"))
        assert ast.dump(ast.parse(f"async def f():\n    {got}\n")) == want


@pytest.mark.skipif(NODE is None, reason="node is not installed")
def test_an_arrow_returns_the_object_filled_in():
    got = str(template("javascript", "() => $X").fill(X=value("javascript", "f({a: 1, b: 2})", "object")))
    assert run(NODE, "-e", f"console.log(JSON.stringify(({got})()))").strip() == '{"a":1,"b":2}'


@pytest.mark.skipif(shutil.which("go") is None, reason="go is not installed")
def test_go_composite_literals_in_a_header_are_parenthesised(tmp_path):
    src = (
        "package main\n\ntype P struct{ X int }\n\nfunc id(p P) P { return p }\n\nfunc main() {\n"
        "\tif v := id(P{2}); v.X > 0 {\n\t}\n\tswitch w := id(P{5}); w.X {\n\t}\n"
        "\tfor _, q := range []P{id(P{3})} {\n\t\t_ = q\n\t}\n\tx := id(P{4})\n\t_ = x\n}\n"
    )
    out = str(pattern("go", "id($X)").rewrite(parse("go", src), template("go", "$X")))
    assert "if v := (P{2});" in out and "switch w := (P{5});" in out and "x := P{4}" in out
    (tmp_path / "m.go").write_text(out)
    run("go", "vet", tmp_path / "m.go")


# A run of several nodes where one value goes: as its text where it reads so, else refused.
RUNS = [
    ("javascript", "f(1, 2)\nf(a)\n", "g($X)", "g(1, 2)\ng(a)\n"),
    ("python", "f(1, 2)\nf(a)\n", "$X", "1, 2\na\n"),
    ("javascript", "f(1, 2)\n", "g($X + 1)", None),  # `(1, 2) + 1` would be a comma expression
    ("python", "h(f(x, y) * 2)\n", "$X", "h(f(x, y) * 2)\n"),  # `(x, y) * 2` would repeat a tuple
]


@pytest.mark.parametrize(("lang", "source", "tpl", "want"), RUNS)
def test_a_run_where_one_value_goes(lang, source, tpl, want):
    out, left = rewrite_leaving(lang, source, "f($$$X)", tpl)
    if want is None:  # refused: the match is left alone, with a note
        want = source
    assert (out, bool(left)) == (want, want == source)


@pytest.mark.parametrize(
    ("code", "fits"),
    [("f(1, $A)", True), ("f($A)", True), ("[$A]", True), ("return $A", True), ("g($A - 1)", False),
     ("x = $A", False), ("-$A", False), ("a if $A else b", False), ("{$A: 1}", False)],
)  # fmt: skip
def test_nothing_goes_only_where_the_code_around_reads_as_it_did(code, fits):
    sk = parse_quasi("python", code)
    assert reads_without(sk, sk.metas[0]) == fits


def test_an_empty_run_is_no_operand():
    [config] = parse_rules("id: e\nlanguage: python\nrule: {pattern: f($$$A)}\nfix: g($A - 1)\n")
    m = Matcher(config)
    assert str(m.rewrite(parse("python", "f(2)\n"))) == "g(2 - 1)\n"
    with pytest.raises(MisreadError):
        m.rewrite(parse("python", "f()\n"))


@pytest.mark.parametrize(
    ("lang", "source"),
    [("python", "x = 5\nf(x=1)\n"), ("ruby", "y = [f(x: 2)]\n"), ("kotlin", "fun main() {\n  f(x = 1)\n}\n")],
)
def test_a_named_argument_taken_out_of_its_call_is_left_alone(lang, source):
    assert rewrite_leaving(lang, source, "f($X)", "$X") == (source, [ANY])
    # Nor is it put where a value goes: Python's `y = x=1` would assign twice.
    assert rewrite_leaving(lang, source, "f($X)", "y = $X")[0] == source


def test_a_default_taken_out_of_its_parameters_is_left_alone():
    source = "def g(b=2, c: int = 3):\n    pass\n"
    for tpl in ("y = $P", "print($P)"):
        assert rewrite_leaving("python", source, "def $F($P, $Q):\n    $$$B", tpl) == (source, [ANY]), tpl


# A match taken out (an empty fix): what held it must still read as what it was.
DELETIONS = [
    ("javascript", "run(a)\n(b || c).go()\n", "run($X)", None),  # a call of `(b || c)` would be left
    ("javascript", "console.log(1);\nx();\n", "console.log($$$A)", ";\nx();\n"),
    ("python", "def f():\n    a()\n    b()\nx = 1\n", "b()", "def f():\n    a()\n    \nx = 1\n"),
    ("c", "int f() { g(1); return 0; }\n", "g($A)", "int f() { ; return 0; }\n"),
]


@pytest.mark.parametrize(("lang", "source", "pat", "want"), DELETIONS)
def test_what_a_deleted_match_leaves_reads_as_it_did(lang, source, pat, want):
    assert rewrite_leaving(lang, source, pat, "") == ((source, [ANY]) if want is None else (want, []))


@pytest.mark.parametrize(
    ("lang", "source", "want"), [("python", "f(1)\n", "g(1, 2)\n"), ("javascript", "f(a);\n", "g(a, 2);\n")]
)
def test_one_node_where_a_run_goes_is_a_run_of_one(lang, source, want):
    assert str(pattern(lang, "f($A)").rewrite(parse(lang, source), template(lang, "g($$$A, 2)"))) == want


def test_a_statement_put_in_place_of_a_callee_across_lines_is_left_alone():
    # Without semicolons, `run(a)\n[0].x = 5` is one statement: `run2(a);` would end it early.
    out = rewrite_leaving("javascript", "run(a)\n[0].x = 5\nrun(b)\n", "run($X)", "run2($X);")
    assert out == ("run(a)\n[0].x = 5\nrun2(b);\n", [ANY])


@pytest.mark.skipif(shutil.which("rustc") is None, reason="rustc is not installed")
def test_a_rust_block_like_value_that_would_start_a_statement_is_left_alone(tmp_path):
    # `if … else … - 1` at a statement's start is an `if` statement, then `-1`.
    source = (
        "fn wrap(x: i32) -> i32 { x }\n"
        "fn f(a: i32) -> i32 {\n    wrap(if a > 0 { 1 } else { 2 }) - 1\n}\n"
        "fn g(a: i32) -> i32 { let v = wrap(a + 1) * 2; v }\n"
    )
    out, left = rewrite_leaving("rust", source, "wrap($X)", "$X")
    assert len(left) == 1 and "let v = (a + 1) * 2;" in out and "wrap(if a > 0" in out
    (tmp_path / "t.rs").write_text(out)
    run("rustc", "--edition", "2021", "--crate-type", "lib", "-o", tmp_path / "t.rlib", tmp_path / "t.rs")


@pytest.mark.skipif(shutil.which("rustc") is None, reason="rustc is not installed")
def test_rust_let_values_are_parenthesised_where_rustc_wants(tmp_path):
    source = (
        "fn wrap<T>(x: T) -> T { x }\n"
        "fn f(c: bool, a: Option<i32>, b: Option<i32>, x: i32) -> i32 {\n"
        "    let Some(y) = wrap(if c { a } else { b }) else { return 0; };\n"
        "    let true = wrap(c || x > 0) else { return 1; };\n"
        "    if let true = wrap(c || x > 0) {}\n"
        "    if let true = wrap(c && x > 0) {}\n"  # bare, a chain of lets
        "    let z = wrap(c || x > 0);\n"
        "    y + z as i32\n}\n"
    )
    out = str(pattern("rust", "wrap($X)").rewrite(parse("rust", source), template("rust", "$X")))
    assert out.count("(c || x > 0)") == 2 and "(c && x > 0)" in out and "let z = c || x > 0;" in out
    assert "= (if c { a } else { b }) else" in out
    (tmp_path / "t.rs").write_text(out)
    run("rustc", "--edition", "2021", "--crate-type", "lib", "-o", tmp_path / "t.rlib", tmp_path / "t.rs")


@pytest.mark.parametrize(
    ("source", "want"), [("-g(not 1) and 1\n", "-(not 1) and 1\n"), ("x = -g(not a)\n", "x = -(not a)\n")]
)
def test_an_operand_the_grammar_leaves_an_error_before_is_parenthesised(source, want):
    # Python refuses `-not 1`: tree-sitter reads an error and then `not 1 and 1`.
    out = str(pattern("python", "g($A)").rewrite(parse("python", source), template("python", "$A")))
    assert out == want and ast.parse(out)


# Where JavaScript reads a value otherwise than its grammar, in statements' heads:
# (source, pattern, fix, what is written; None: left alone with a note)
JS_HEADS = [
    ("export default f(function(){ return 1 })()\n", "f($A)", "$A", "export default (function(){ return 1 })()\n"),
    ("export default f(class {}).name\n", "f($A)", "$A", "export default (class {}).name\n"),
    ("export default f(function(){ return 1 })\n", "f($A)", "$A", "export default function(){ return 1 }\n"),
    ('let x; for (x = f("a" in o); ;) break\n', "f($A)", "$A", 'let x; for (x = ("a" in o); ;) break\n'),
    ('for (let g = () => f("a" in o); ;) break\n', "f($A)", "$A", 'for (let g = () => ("a" in o); ;) break\n'),
    ('let x; for (x = g([f("a" in o)]); ;) break\n', "f($A)", "$A", 'let x; for (x = g(["a" in o]); ;) break\n'),
    ("for (const k of f(a, b)) ;\n", "f($A, $B)", "$A, $B", "for (const k of (a, b)) ;\n"),
    ("for (const k in f(a, b)) ;\n", "f($A, $B)", "$A, $B", "for (const k in a, b) ;\n"),
    ("f(a?.b)\n", "f($A)", "[$A] = [1]", None),
    ("f(a?.b)\n", "f($A)", "({x: $A} = {x: 1})", None),
    ("f(c)\n", "f($A)", "[$A] = [1]", "[c] = [1]\n"),
]  # fmt: skip


@pytest.mark.parametrize(("source", "pat", "fix", "want"), JS_HEADS)
def test_javascript_reads_these_heads_as_written(tmp_path, source, pat, fix, want):
    out, left = rewrite_leaving("javascript", source, pat, fix)
    assert (out, left) == ((source, [ANY]) if want is None else (want, []))
    if NODE is not None and want is not None:
        (tmp_path / "a.mjs").write_text("let o = {}, a = [], b = 1, c;\n" + out)
        run(NODE, "--check", tmp_path / "a.mjs")


@pytest.mark.skipif(shutil.which("rustc") is None, reason="rustc is not installed")
def test_a_rust_block_like_value_cast_at_a_statements_start_is_parenthesised(tmp_path):
    source = "fn f(a: i64) -> i64 { a }\nfn g() -> i64 {\n    f(unsafe { 1 }) as i64;\n    let x = f({ 2 }) as i64;\n    x\n}\n"
    out = str(pattern("rust", "f($A)").rewrite(parse("rust", source), template("rust", "$A")))
    assert "(unsafe { 1 }) as i64;" in out and "let x = { 2 } as i64;" in out
    (tmp_path / "t.rs").write_text(out)
    run("rustc", "--edition", "2021", "--crate-type", "lib", "-o", tmp_path / "t.rlib", tmp_path / "t.rs")
