"""Templates: holes in every position, values lifted and re-indented, provenance, errors."""

from __future__ import annotations

import ast
import json
import re
import shutil
import subprocess

import pytest

pytest.importorskip("tree_sitter")

from kovel import from_postcard_bytes, leaf, name, tree as kt  # noqa: E402
from kovel.quasi import MisreadError, pattern, register_lifter, template  # noqa: E402
from kovel.quasi.lift import LIFTERS  # noqa: E402
from kovel.treesitter import parse  # noqa: E402
from tests.helpers import NODE, PROGRAMS, has_errors, program_output, run  # noqa: E402

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


def test_syntax_error_names_its_line() -> None:
    with pytest.raises(SyntaxError) as info:
        template("python", "def f():\n    return (\n")
    assert info.value.lineno == 2


def test_value_without_lifter(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delitem(LIFTERS, "c")
    with pytest.raises(TypeError, match="no lifter for 'c'"):
        template("c", "f($X)").fill(X=1)
    register_lifter("c", lambda v: leaf("number_literal", f"{v}L"))
    assert str(template("c", "f($X)").fill(X=1)) == "f(1L)"


# A metavariable inside a template's comment is a hole too; an anonymous one has no name to fill.
@pytest.mark.parametrize(
    ("lang", "code", "holes"),
    [
        ("python", "$A($$$B, $A)", ("A", "B")), ("python", "x = 1  # $X fills it\n", ("X",)),
        ("javascript", "f(1); /* $$$ARGS and $X */\n", ("ARGS", "X")), ("c", "int x; // $NAME\n", ("NAME",)),
        ("python", "f($_)", ()), ("python", "f($$$)", ()), ("python", "g($_, $X)", ("X",)),
    ],
)  # fmt: skip
def test_holes(lang: str, code: str, holes: tuple[str, ...]) -> None:
    t = template(lang, code)
    assert template(lang, code) is t and t.holes == holes
    if "$_" in code or "$$$)" in code:
        with pytest.raises(TypeError, match="no name"):
            t.fill(**dict.fromkeys(holes, 1))
    elif not holes:
        assert str(t.fill()) == code


# A template's comment takes its metavariables' texts, which cannot end it
# early: a line comment's on one line, a block comment's without its closer.
@pytest.mark.parametrize(
    "lang, code, value, out",
    [
        ("python", "x = f($A)  # was $A", "a", 'x = f("a")  # was a'),
        ("python", "g()  # from $A", "f(1,\n  2)", "g()  # from f(1,   2)"),
        ("javascript", "g(); /* $A */", "x */ y", "g(); /* x * / y */"),
        ("c", "g(); // $A", "a\nb", "g(); // a b"),
        ("python", "g()  # $$$A", [1, 2], "g()  # 1, 2"),
    ],
)
def test_a_metavariable_in_a_template_comment_takes_the_text(lang, code, value, out):
    filled = str(template(lang, code).fill(A=value))
    assert filled == out
    if lang == "python":
        compile(filled, "<filled>", "exec")


# A run inside a string literal is its text there, escaped as one value's is.
@pytest.mark.parametrize(
    "lang, source, out",
    [
        ("python", 'check(s == "b")\n', 'log(s == "b", "failed: s == \\"b\\"")\n'),
        ("javascript", 'check(s == "b", 1);\n', 'log(s == "b", 1, "failed: s == \\"b\\", 1");\n'),
    ],
)
def test_a_run_in_a_string_literal_is_its_escaped_text(lang, source, out):
    from kovel.quasi import pattern

    got = str(
        pattern(lang, "check($$$X)").rewrite(parse(lang, source), template(lang, 'log($$$X, "failed: $$$X")'))
    )
    assert got == out
    if lang == "python":
        compile(got, "<filled>", "exec")
    # where no escapes are known, only text that needs none
    t = template("dart", 'void f() { assert($$$X, "failed: $$$X"); }')
    assert str(t.fill(X=[name("s"), name("t")])) == 'void f() { assert(s, t, "failed: s, t"); }'
    with pytest.raises(TypeError):
        t.fill(X=[name("s"), name("$t")])


def test_an_empty_run_leaves_a_python_set_a_set():
    t = template("python", "x = {$$$A}")
    for values, kind in (([], set), ([1, 2], set)):
        scope: dict[str, object] = {}
        exec(str(t.fill(A=values)), scope)
        assert type(scope["x"]) is kind


# Inside an f-string's braces Python 3.11 takes no backslash and not the
# f-string's own quote: a value is written without them, or refused.
@pytest.mark.parametrize(
    "code, value, out",
    [
        ('x = f"{$N}"', float("nan"), "x = f\"{float('nan')}\""),
        ('x = f"{[$$$N]}"', ["a\nb", "c"], "x = f\"{['a' + chr(10) + 'b', 'c']}\""),
        ("x = f'{$N}'", b"\n", ValueError),
        ("x = f'{g(\"$N\")}'", "ab", "x = f'{g(\"ab\")}'"),
        ("x = f'{g(\"$N\")}'", "a'b", ValueError),
        ("x = f'{g(\"$N\")}'", "a\nb", ValueError),
    ],
)
def test_a_value_inside_fstring_braces_reads_in_python_311(code, value, out):
    t = template("python", code)
    if out is ValueError:
        with pytest.raises(ValueError, match="f-string"):
            t.fill(N=value)
        return
    filled = str(t.fill(N=value))
    assert filled == out
    compile(filled, "<filled>", "exec")


# A term from parsed code goes inside the braces too only where 3.11 reads it
# there, and reads as it did (`{{` would be an escaped brace, `:` a format).
@pytest.mark.parametrize(
    "value",
    [
        '"q"',
        'd["k"]',
        "d['k']",
        '{"k": 1}["k"]',
        'lambda: "x"',
        '"\\t".join(["a"])',
        "{1: 2}[1]",
        "x if x else y",
    ],
)
@pytest.mark.parametrize(
    "code, spec", [('r = f"<{$X}>"', ""), ("r = f'<{$X}>'", ""), ('r = f"<{$X!r:>9}>"', "!r:>9")]
)
def test_a_term_inside_fstring_braces_reads_in_python_311(code, spec, value):
    (m,) = pattern("python", "g($X)").find_all(parse("python", f"g({value})\n"))
    try:
        filled = str(template("python", code).fill(X=m.bindings["X"]))
    except ValueError:
        assert code[5] in value or "\\" in value  # the f-string's own quote, or a backslash
        return
    scope = {"d": {"k": 1}, "x": 1, "y": 2}
    exec(compile(filled, "<filled>", "exec"), scope)  # noqa: S102
    v = eval(value, dict(scope))  # noqa: S307
    want = "<" + format(repr(v) if spec else v, spec[3:]) + ">"
    assert re.sub("0x[0-9a-f]+", "", scope["r"]) == re.sub("0x[0-9a-f]+", "", want)


@pytest.mark.parametrize("n", [256, 257, 20_000])
def test_a_template_holds_as_many_holes_as_a_term_numbers(n):
    code = "x = [" + "$A, " * n + "]"
    if n <= 256:
        assert str(template("python", code).fill(A=1)) == "x = [" + "1, " * n + "]"
    else:
        with pytest.raises(ValueError, match="at most 256"):
            template("python", code)


JSX_VALUES = ["a\\b", 'a"b', "a\nb", "a&amp;b", "<tag>", "plain"]


def test_a_jsx_attributes_string_holds_its_value_as_html_escapes_it(tmp_path):
    # A JSX attribute's string takes no backslash escapes; it reads HTML's character references.
    tsc, node = shutil.which("tsc"), NODE
    if tsc is None or node is None:
        pytest.skip("tsc or node is not installed")
    tpl = template("tsx", 'x = <a title="$N" />')
    lines = [f"const v{k} = {str(tpl.fill(N=v))[4:]};" for k, v in enumerate(JSX_VALUES)]
    source = tmp_path / "a.tsx"
    source.write_text(
        "declare const React: any;\nconst out: string[] = [];\n"
        "(globalThis as any).React = {createElement: (t: any, p: any) => out.push(p.title)};\n"
        + "\n".join(lines)
        + "\nconsole.log(JSON.stringify(out));\n"
    )
    subprocess.run([tsc, "--jsx", "react", "--target", "es2020", "--outDir", tmp_path, source], check=True)
    assert json.loads(run(node, tmp_path / "a.js")) == JSX_VALUES


@pytest.mark.parametrize(
    ("lang", "code", "values"),
    [
        # a string that ends the regular expression it is put in, after one that does not
        ("javascript", "x = /$N/.source;", ["hello", "/+console.log(1337)+/"]),
        # a value that joins the operator before it, after one of its shape that does not
        ("c", "y = a-$X;", [leaf("number_literal", "1"), leaf("number_literal", "-1")]),
    ],
)
def test_what_a_value_reads_as_does_not_depend_on_the_values_filled_before(lang, code, values):
    name = code.split("$")[1][0]
    fresh = iter(range(1, 100))

    def outcomes(order):
        # (A template of its own for each run: templates are cached by their code.)
        tpl = template(lang, code + " " * next(fresh))
        out: dict[int, str | None] = {}
        for k in order:
            try:
                out[k] = str(tpl.fill(**{name: values[k]})).rstrip()
            except MisreadError:
                out[k] = None
        return out

    alone = {k: outcomes([k])[k] for k in range(len(values))}
    assert outcomes(range(len(values))) == outcomes(reversed(range(len(values)))) == alone
    last = len(values) - 1
    assert alone[0] is not None and alone[last] != code.replace("$" + name, str(values[last]))


# A word alone on a heredoc's line that is its delimiter would end it there.
@pytest.mark.parametrize(
    "lang, code, value, ends",
    [
        ("bash", "cat <<EOF\n$S\nEOF\necho after\n", "EOF", True),
        ("bash", "cat <<-EOF\n\t$S\n\tEOF\n", "EOF", True),
        ("ruby", "puts <<~E\n  $S\nE\nputs 1\n", "E", True),
        ("ruby", "puts <<~'E'\n  $S\nE\n", "E", True),
        ("bash", "cat <<EOF\n$S\nEOF\n", "EOFX", False),
        ("bash", "cat <<EOF\nx $S\nEOF\n", "EOF", False),
    ],
)
def test_a_heredoc_hole_refuses_the_word_that_ends_it(tmp_path, lang, code, value, ends):
    t = template(lang, code)
    if ends:
        with pytest.raises(ValueError, match="heredoc"):
            t.fill(S=value)
        return
    out = str(t.fill(S=value))
    if shutil.which(lang):
        (tmp_path / "a").write_text(out)
        assert (
            value in subprocess.run([lang, tmp_path / "a"], capture_output=True, text=True, check=True).stdout
        )


C_MAIN = '#include <stdio.h>\n{}\nint main(void) {{ printf("%d\\n", 1); }}\n'
JAVA_MAIN = "{}\nclass A {{ public static void main(String[] s) {{ System.out.println(1); }} }}\n"


# A name hole takes a name the language takes there: a keyword naming a type
# where a type is used, never where one is declared; nor a name the language
# keeps for its own types or from being bound.
@pytest.mark.parametrize(
    "lang, code, good, bad",
    [
        ("c", C_MAIN.format("struct $N { int a; } v;"), "point", ["int", "while", "asm", "__typeof__"]),
        ("c", C_MAIN.format("$N x = 1;"), "long", ["while", "asm"]),
        ("c", C_MAIN.format("typedef int $N;"), "count", ["char"]),
        ("cpp", C_MAIN.format("class $N { public: int a = 1; } v;"), "Box", ["class", "return", "typeof", "int"]),
        ("rust", 'struct $N;\nfn main() { println!("1"); }\n', "Unit", ["fn", "match", "Self"]),
        ("java", JAVA_MAIN.format("class $N {}"), "Helper", ["var", "record", "yield", "sealed", "permits", "int"]),
        ("php", "<?php\nclass $N {}\necho 1;\n", "Point", ["int", "Self", "iterable", "mixed", "NULL", "while"]),
        ("lua", "function $N() end\nprint(1)\n", "one", ["end", "local", "goto"]),
        ("python", "def $N():\n    pass\nprint(1)\n", "one", ["__debug__", "None", "if"]),
        ("javascript", "'use strict';\nclass $N {}\nconsole.log(1);\n", "Point", ["eval", "arguments", "let"]),
        ("javascript", "const o = {eval: 1, arguments: 1};\nconsole.log(o.$N);\n", "eval", []),
        ("typescript", "type $N = number;\n", "Size", ["string", "any", "undefined", "while"]),
        ("typescript", "function f<$N>() {}\n", "T", ["number", "never"]),
        ("kotlin", "class $N\n", "Box", ["fun", "typealias", "when"]),
        ("swift", "struct $N {}\n", "Box", ["if", "func", "Self"]),
        ("scala", "def $N = 1\n", "one", ["def", "yield", "given"]),
    ],
)  # fmt: skip
def test_a_name_hole_takes_what_the_language_takes_there(tmp_path, lang, code, good, bad):
    t = template(lang, code)
    for value in bad:
        with pytest.raises(TypeError, match=r"wants a name: .* is not one"):
            t.fill(N=value)
    filled = str(t.fill(N=good))
    assert good in filled
    if lang in PROGRAMS:
        assert program_output(lang, filled, tmp_path) == "1"


# Programs that print the code units of the literal LIT, in decimal.
UNITS = {
    "c": "#include <stdio.h>\nint main(void) { const char s[] = LIT;\n"
    '  for (unsigned i = 0; i + 1 < sizeof s; i++) printf("%d ", (unsigned char)s[i]); }\n',
    "cpp": "#include <cstdio>\nint main() { const char s[] = LIT;\n"
    '  for (unsigned i = 0; i + 1 < sizeof s; i++) std::printf("%d ", (unsigned char)s[i]); }\n',
    "c_sharp": "class A { static void Main() { string s = LIT;\n"
    '  foreach (char c in s) System.Console.Write((int)c + " "); } }\n',
    "python": "s = LIT\nprint(*(c if isinstance(c, int) else ord(c) for c in s))\n",
    "javascript": "const x = 'X', s = LIT;\nconsole.log(Array.from(s, (c) => c.charCodeAt(0)).join(' '));\n",
    "java": "class A { public static void main(String[] a) { String s = LIT;\n"
    '  for (char c : s.toCharArray()) System.out.print((int) c + " "); } }\n',
    "ruby": 'x = "X"; @x = "Y"; $x = "Z"\ns = LIT\nputs s.bytes.join(" ")\n',
    "bash": "x=X\ns=LIT\nfor ((i = 0; i < ${#s}; i++)); do printf '%d ' \"'${s:i:1}\"; done\n",
}


# A literal holds its own text and then the value: no escape the template leaves
# open takes the value's first characters, no interpolation forms across the hole.
@pytest.mark.parametrize(
    "lang, literal, value, holds",
    [
        ("c", '"\\x1b$V"', "bold", "\x1bbold"), ("c", '"\\0$V"', "12", "\x0012"), ("c", '"\\12$V"', "3", "\n3"),
        ("c", '"??$V"', "/x", "??/x"), ("c", '"\\\\x1$V"', "b", "\\x1b"),
        ("cpp", 'u8"\\x1b$V"', "cafe", "\x1bcafe"), ("c_sharp", '"\\x1b$V"', "ad", "\x1bad"),
        ("c_sharp", '"\\x1$V"', "23", "\x0123"), ("python", '"\\1$V"', "23", "\x0123"),
        ("python", 'b"\\0$V"', "7", "\x007"), ("python", 'r"\\0$V"', "7", "\\07"),
        ("javascript", '"\\0$V"', "7", "\x007"), ("javascript", "`$$V`", "{x}", "${x}"),
        ("python", '"\\x4$V"', "1", None), ("java", '"\\0$V"', "7", "\x007"), ("java", '"\\4$V"', "7", "\x047"),
        ("ruby", '"\\x1$V"', "b", "\x01b"), ("ruby", '"$V{x}"', "#", "#{x}"), ("ruby", '"a$V@x"', "#", "a#@x"),
        ("ruby", '"a #$V"', "{x}", "a #{x}"), ("ruby", '"a#$V"', "$x", "a#$x"), ("python", '"\\N{LATIN $V}"', "A", None),
        ("bash", '"a$$V"', "x", "a$x"), ("bash", '"a$$V"', "{x}", "a${x}"),
    ],
)  # fmt: skip
def test_a_literal_holds_its_text_then_the_value(tmp_path, lang, literal, value, holds):
    code = UNITS[lang].replace("LIT", literal)
    if holds is None:  # an escape the literal cannot hold as written: refused, not misread
        with pytest.raises(TypeError, match=r"cannot splice into \$V"):
            template(lang, code).fill(V=value)
        return
    filled = str(template(lang, code).fill(V=value))
    units = holds.encode() if lang in ("c", "cpp", "ruby", "bash") else holds
    assert program_output(lang, filled, tmp_path) == " ".join(
        str(u if isinstance(u, int) else ord(u)) for u in units
    )


# A word put inside a literal that is one token (bash's $'…', Kotlin's "…") is refused
# after an escape it would go on with; a raw literal has none.
@pytest.mark.parametrize(
    "lang, code, value, holds",
    [
        ("bash", "s=$'\\x1$V'\nprintf '%s' \"$s\" | od -An -tx1\n", "b", None),
        ("kotlin", 'val s = "\\u00$V"\n', "41", None),
        ("bash", "s='\\x1$V'\nprintf '%s' \"$s\" | od -An -tx1\n", "b", "5c 78 31 62"),
    ],
)  # fmt: skip
def test_a_word_in_a_literal_token_does_not_go_on_with_an_escape(tmp_path, lang, code, value, holds):
    if holds is None:
        with pytest.raises(ValueError, match=r"would go on with the escape"):
            template(lang, code).fill(V=value)
    else:
        assert program_output(lang, str(template(lang, code).fill(V=value)), tmp_path) == holds
