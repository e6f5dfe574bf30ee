"""A fix that replaces a type is read as a type, and what fills it keeps its
meaning there: every type of a table, put in every type template, is the
type the fully parenthesised text is (TypeScript checked by tsc, Rust by
rustc); through a rule and through the command's templates as well."""

import shutil

import pytest

from kovel.quasi import MisreadError, pattern, template
from kovel.quasi.fill import fitted, type_template
from kovel.rules import Matcher, parse_rules
from kovel.treesitter import parse
from tests.helpers import run

pytest.importorskip("tree_sitter")

TS_VALUES = ["string | number", "() => void", "keyof T", "A & B", "T extends A ? B : C", "new () => A",
             "typeof x", "readonly string[]", "A", "A[]", "[A, B]", "{ a: A }"]  # fmt: skip
TS_CONTEXTS = ["$X[]", "keyof $X", "$X | C", "$X & C", "Array<$X>", "readonly $X[]", "$X extends C ? 1 : 2",
               "[$X, C]", "(a: $X) => C"]  # fmt: skip
RUST_VALUES = ["dyn A + Send", "&'static str", "fn() -> u8", "u8", "Box<dyn A>", "dyn Fn() -> u8 + Send"]
RUST_CONTEXTS = ["&'static $X", "Box<$X>", "&'static mut $X", "*const $X", "Option<Box<$X>>"]


def _pairs(lang: str, contexts: list[str], values: list[str]) -> list[tuple[str, str]]:
    """(filled, written out with parentheses) for each context and value; a
    refusal (parentheses cannot help) is no pair."""
    out = []
    for c in contexts:
        for v in values:
            try:
                got = str(type_template(lang, c).fill(X=type_template(lang, v).fill()))
            except MisreadError:
                continue
            out.append((got, c.replace("$X", f"({v})")))
    return out


def test_type_templates_read_as_types() -> None:
    assert type_template("typescript", "$T[]").skeleton.root.kind == "array_type"
    assert type_template("rust", "&$T").skeleton.root.kind == "reference_type"
    with pytest.raises(SyntaxError):
        type_template("python", "list[$T]")  # Python's types are values
    with pytest.raises(SyntaxError):
        type_template("typescript", "f($T)")
    # Read as a type only where a type is replaced, and only when it reads alone as something else.
    value = template("rust", "&$T")
    assert fitted(value, "call_expression") is value
    assert fitted(template("rust", "$T"), "generic_type").skeleton.root.kind != "reference_type"
    assert fitted(value, "primitive_type").skeleton.root.kind == "reference_type"


@pytest.mark.skipif(shutil.which("tsc") is None, reason="tsc is not installed")
def test_typescript_types_keep_their_meaning(tmp_path) -> None:
    pairs = _pairs("typescript", TS_CONTEXTS, TS_VALUES)
    assert len(pairs) > 0.9 * len(TS_CONTEXTS) * len(TS_VALUES)
    lines = [
        "declare const x: number; interface A { a: 1 } interface B { b: 2 } interface C { c: 3 } type T = A;",
        "type Same<X, Y> = (<Z>() => Z extends X ? 1 : 2) extends (<Z>() => Z extends Y ? 1 : 2) ? true : false;",
    ]
    lines += [f"const same{k}: Same<{got}, {want}> = true;" for k, (got, want) in enumerate(pairs)]
    (tmp_path / "t.ts").write_text("\n".join(lines) + "\n")
    run("tsc", "--noEmit", "--strict", tmp_path / "t.ts")


@pytest.mark.skipif(shutil.which("rustc") is None, reason="rustc is not installed")
def test_rust_types_keep_their_meaning(tmp_path) -> None:
    pairs = _pairs("rust", RUST_CONTEXTS, RUST_VALUES)
    assert len(pairs) == len(RUST_CONTEXTS) * len(RUST_VALUES)
    lines = ["#![allow(unused_parens, dead_code)]", "trait A {}"]
    lines += [f"fn same{k}(x: {got}) -> {want} {{ x }}" for k, (got, want) in enumerate(pairs)]
    (tmp_path / "t.rs").write_text("\n".join(lines) + "\n")
    run("rustc", "--edition", "2021", "--crate-type", "lib", "-o", tmp_path / "t.rlib", tmp_path / "t.rs")


RULES = [
    # (language, source, the rule's `rule:` and `fix:` lines, the source rewritten)
    (
        "TypeScript",
        "let x: Array<string | number> = [];\nlet y: Array<Map<K, V>> = [];\n",
        "rule:\n  pattern:\n    context: 'let a: Array<$T>'\n    selector: generic_type\nfix: $T[]\n",
        "let x: (string | number)[] = [];\nlet y: Map<K, V>[] = [];\n",
    ),
    (
        "Rust",
        "fn f(x: Box<dyn A + Send>, y: Box<u8>) {}\n",
        "rule:\n  pattern:\n    context: 'fn f(x: Box<$T>) {}'\n    selector: generic_type\nfix: '&$T'\n",
        "fn f(x: &(dyn A + Send), y: &u8) {}\n",
    ),
    (
        "Rust",
        "fn f(x: Box<dyn A + Send>) {}\n",
        "rule:\n  kind: generic_type\n  has:\n    field: type_arguments\n    has:\n      pattern: $T\nfix: '*const $T'\n",
        "fn f(x: *const (dyn A + Send)) {}\n",
    ),
]


@pytest.mark.parametrize(("lang", "source", "rule", "want"), RULES)
def test_a_rule_fixes_types_as_types(lang: str, source: str, rule: str, want: str) -> None:
    [config] = parse_rules(f"id: t\nlanguage: {lang}\n{rule}")
    m = Matcher(config)
    assert str(m.rewrite(parse(m.config.language, source))) == want


def test_a_command_template_replaces_a_type_as_a_type() -> None:
    p = pattern("typescript", "Array<$T>", context="let a: Array<$T>", selector="generic_type")
    src = parse("typescript", "function f(a: Array<() => void>): Array<keyof T> { return a; }\n")
    got = str(p.rewrite(src, template("typescript", "ReadonlyArray<$T>")))
    assert got == "function f(a: ReadonlyArray<() => void>): ReadonlyArray<keyof T> { return a; }\n"
    assert str(p.rewrite(src, template("typescript", "$T[]"))) == (
        "function f(a: (() => void)[]): (keyof T)[] { return a; }\n"
    )
