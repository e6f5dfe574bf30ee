"""kovel.quasi: templates and patterns written in the target language."""

from __future__ import annotations

import ast
import json
import shutil
import subprocess
from pathlib import Path

import pytest

pytest.importorskip("tree_sitter")

from tree_sitter import Parser  # noqa: E402

import kovel._quasi_lift as quasi_lift  # noqa: E402
import kovel.quasi as quasi  # noqa: E402
from kovel import (  # noqa: E402
    from_postcard_bytes,
    leaf,
    name,
    tree as kt,  # noqa: E402
)
from kovel.quasi import pattern, register_lifter, template  # noqa: E402
from kovel.treesitter import language, parse  # noqa: E402


def has_errors(lang: str, text: str) -> bool:
    return Parser(language(lang)).parse(text.encode()).root_node.has_error


# (lang, template, values, expected text): holes in expression, statement,
# argument-list and block-body position.
FILLS = [
    ("python", "y = $X + 1", {"X": name("a")}, "y = a + 1"),
    ("python", "f($$$ARGS)", {"ARGS": [1, "s", name("z")]}, 'f(1, "s", z)'),
    ("python", "f($$$ARGS)", {"ARGS": []}, "f()"),
    # An empty run takes the separator that joined it to a sibling with it.
    ("python", "log($$$A, end='')", {"A": []}, "log(end='')"),
    ("python", "log(x, $$$A)", {"A": iter([])}, "log(x)"),
    ("python", "f(\n    $$$A,\n    x,\n)", {"A": ()}, "f(\n    x,\n)"),
    ("python", "def f():\n    $STMT\n", {"STMT": leaf("s", "return 1")}, "def f():\n    return 1\n"),
    ("python", "def f():\n    $$$B\n    return 0\n", {"B": [leaf("s", "a = 1"), leaf("s", "b = 2")]}, "def f():\n    a = 1\n    b = 2\n    return 0\n"),
    ("javascript", "const $N = $V;", {"N": name("x"), "V": 'a"b'}, 'const x = "a\\"b";'),
    ("javascript", "function f() {\n  $$$B\n}", {"B": [leaf("s", "a();"), leaf("s", "b();")]}, "function f() {\n  a();\n  b();\n}"),
    ("c", "int $N = $V;", {"N": name("n"), "V": 7}, "int n = 7;"),
    ("c", "g($$$A, 1) + h($$$A)", {"A": []}, "g(1) + h()"),
    ("c", "if ($C) {\n    $$$B\n}", {"C": name("ok"), "B": [leaf("s", "a();"), leaf("s", "b();")]}, "if (ok) {\n    a();\n    b();\n}"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "code", "values", "expected"), FILLS)
def test_fill_positions(lang: str, code: str, values: dict[str, object], expected: str) -> None:
    out = template(lang, code).fill(**values)
    assert str(out) == expected
    # The output parses in one of the contexts a template may stand in.
    wraps = ["%s\n", "void w(void) {\n%s\n}\n", "void w(void) {\n%s;\n}\n"]
    assert any(not has_errors(lang, w % expected) for w in wraps)


def test_multiline_value_reindented_literal_untouched() -> None:
    literal = '"""first\n  second\nthird"""'
    body = parse("python", f"x = {literal}\nif x:\n    y = 1")
    t = template("python", "class C:\n    def f(self):\n        $$$BODY\n        return x\n")
    out = str(t.fill(BODY=[body, leaf("s", "z = 2")]))
    assert literal in out  # the string literal's lines did not move
    tree_ = ast.parse(out)
    compile(out, "<generated>", "exec")
    fn = tree_.body[0].body[0]  # type: ignore[attr-defined]
    assert [type(n).__name__ for n in fn.body] == ["Assign", "If", "Assign", "Return"]
    assert fn.body[0].value.value == "first\n  second\nthird"
    assert "            y = 1" in out  # the nested block got the hole's indentation


def test_provenance_in_postcard_bytes() -> None:
    code = "def $NAME($$$ARGS):\n    return $NAME\n"
    out = template("python", code).fill(NAME=name("f"), ARGS=[name("a")])
    back = from_postcard_bytes(out.postcard_bytes())
    assert kt.kind(back) == "quote" and kt.lang(back) == "python"
    unquotes = [n for _, n in kt.walk(back) if kt.kind(n) == "unquote"]
    assert [kt.index(n) for n in unquotes] == [0, 1, 2]
    assert {kt.lang(n) for n in unquotes} == {"python"}
    raw = code.encode()
    spans = [kt.at(n) for n in unquotes]
    assert [raw[a:b].decode() for a, b in spans] == ["$NAME", "$$$ARGS", "$NAME"]  # type: ignore[misc]
    assert str(back) == "def f(a):\n    return f\n"


def test_template_cached_and_holes() -> None:
    t = template("python", "$A($$$B, $A)")
    assert template("python", "$A($$$B, $A)") is t
    assert t.holes == ("A", "B")


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ({"NAME": name("f")}, r"\$\$\$ARGS has no value"),
        ({"NAME": name("f"), "ARGS": [], "OTHER": 1}, "no hole named 'OTHER'"),
        ({"NAME": 1j, "ARGS": []}, r"cannot splice into \$NAME"),
        ({"NAME": name("f"), "ARGS": "ab"}, r"\$\$\$ARGS takes a sequence"),
    ],
)
def test_fill_errors(values: dict[str, object], message: str) -> None:
    with pytest.raises(TypeError, match=message):
        template("python", "$NAME($$$ARGS)").fill(**values)


def test_syntax_error_names_line_and_column() -> None:
    with pytest.raises(SyntaxError, match="line 2, column") as info:
        template("python", "def f():\n    return (\n")
    assert info.value.lineno == 2


def test_value_without_lifter(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delitem(quasi_lift.LIFTERS, "c")
    with pytest.raises(TypeError, match="no lifter for 'c'"):
        template("c", "f($X)").fill(X=1)
    register_lifter("c", lambda v: leaf("number_literal", f"{v}L"))
    assert str(template("c", "f($X)").fill(X=1)) == "f(1L)"


TRICKY = 'q"uo\\te\n\t\x01\x7f??=é€\U0001f600 0x41\x00end'


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_c_lifter_reads_back(tmp_path: Path) -> None:
    lit = str(quasi_lift.lift_c(TRICKY))
    main = (
        "#include <stdio.h>\nint main(void) {\n    fwrite($S, 1, sizeof $S - 1, stdout);\n    return 0;\n}\n"
    )
    src = tmp_path / "t.c"
    src.write_text(str(template("c", main).fill(S=quasi_lift.lift_c(TRICKY))))
    subprocess.run(["cc", "-std=c99", "-Wall", "-Werror", "-o", str(tmp_path / "t"), str(src)], check=True)
    out = subprocess.run([str(tmp_path / "t")], check=True, capture_output=True).stdout
    assert out == TRICKY.encode() and lit.isascii()


def test_js_and_python_lifters_read_back() -> None:
    js = str(quasi_lift.lift_js(TRICKY + "\u2028"))
    if shutil.which("node"):
        node = ["node", "-e", f"process.stdout.write(JSON.stringify({js}))"]
        js = subprocess.run(node, capture_output=True, check=True).stdout
    assert json.loads(js) == TRICKY + "\u2028"
    assert ast.literal_eval(str(quasi_lift.lift_python(TRICKY))) == TRICKY
    assert [str(quasi_lift.lift_python(n)) for n in (7, -(2**70))] == ["7", str(-(2**70))]


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
        ("python", "print($_, $$$)", SOURCE, [(text, {}) for text, _ in PRINTS[:2]]),
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
    with pytest.raises(TypeError, match="returned str"):
        p.rewrite(t, lambda m: "x")  # type: ignore[arg-type,return-value]
    with pytest.raises(SyntaxError):
        pattern("c", "f(((")


def test_matches_agree_with_ast_grep() -> None:
    sg = pytest.importorskip("ast_grep_py")
    src = SOURCE + "print()\nprint(*a, **k)\nprint(a for a in b)\n"
    ours = [m.span for m in pattern("python", "print($$$A)").find_all(parse("python", src))]
    root = sg.SgRoot(src, "python").root()
    theirs = [(n.range().start.index, n.range().end.index) for n in root.find_all(pattern="print($$$A)")]
    assert sorted(ours) == sorted(theirs)


def test_star_import_gives_the_api() -> None:
    names: dict[str, object] = {}
    exec("from kovel.quasi import *", names)
    api = {"Match", "Pattern", "Siblings", "Template", "pattern", "template", "register_lifter"}
    assert api | {"find_files", "rewrite_files", "apply_changes"} == set(names) - {"__builtins__"}
    assert names["find_files"] is quasi.find_files and names["rewrite_files"] is quasi.rewrite_files
