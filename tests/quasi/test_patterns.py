"""Patterns as users write them, in the languages beyond the first few: the
parse context is found for them, and the grammar's wrappers do not get in
the way of a match."""

import pytest

from kovel.quasi import pattern

treesitter = pytest.importorskip("kovel.treesitter")

GO = (
    'package p\n\nimport "fmt"\n\nfunc f() error {\n\tx, err := g()\n\tif err != nil {\n\t\treturn err\n\t}\n'
    "\tif err != nil {\n\t\treturn x\n\t}\n\tfmt.Println(x, 1)\n\ty := foo(1)\n\treturn nil\n}\n"
)
JAVA = (
    "class A {\n  void f() {\n    System.out.println(a);\n    int y = g(System.out.println(b));\n"
    "    if (a) { b(); } else { c(); }\n  }\n}\n"
)
RUST = "fn f() -> i32 {\n    let x = a.unwrap();\n    g(b.unwrap().c);\n    x\n}\n"


@pytest.mark.parametrize(
    ("lang", "source", "pat", "found"),
    [
        # one occurrence in a one-element expression_list, the other bare
        ("go", GO, "if $E != nil {\n\treturn $E\n}", ["if err != nil {\n\t\treturn err\n\t}"]),
        ("go", GO, "fmt.Println($$$A)", ["fmt.Println(x, 1)"]),
        ("go", GO, "y := foo(1)", ["y := foo(1)"]),
        ("java", JAVA, "System.out.println($A)", ["System.out.println(a)", "System.out.println(b)"]),
        ("java", JAVA, "if ($C) { $$$B }", ["if (a) { b(); } else { c(); }"]),
        ("rust", RUST, "$X.unwrap()", ["a.unwrap()", "b.unwrap()"]),
        ("rust", RUST, "let $X = $V;", ["let x = a.unwrap();"]),
    ],
)
def test_patterns_match_where_users_expect(lang: str, source: str, pat: str, found: list[str]) -> None:
    t = treesitter.parse(lang, source)
    assert [str(m.term) for m in pattern(lang, pat).find_all(t)] == found


def test_every_kind_of_comment_is_passed_over() -> None:
    # Kotlin's block comments are `multiline_comment`; the matcher and the
    # rewrite count them as comments like any other grammar's.
    t = treesitter.parse("kotlin", "fun f() {\n    g(1 /* c */, 2)\n    h(/* one */ 3)\n}\n")
    assert [str(m.term) for m in pattern("kotlin", "g($A, $B)").find_all(t)] == ["g(1 /* c */, 2)"]
    assert [str(m.term) for m in pattern("kotlin", "h($A)").find_all(t)] == ["h(/* one */ 3)"]
