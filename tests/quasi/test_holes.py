"""Nothing a value can do breaks out of its hole: text inside a string literal is
escaped for that literal, a name hole takes only a name, and every generated
program reads the value back as it was given (or the value is refused)."""

import json
import os
import shutil
import subprocess
import tempfile
from html.parser import HTMLParser

import pytest

from kovel.quasi import template

pytest.importorskip("tree_sitter")

HOSTILE = [
    "", "plain", '"', "'", '"""', "'''", "`", "\\", "\\\\", 'a"b', "a'b", "\\'", '\\"', "${6*7}", "`${x}`",
    "{x}", "{{", "}}", "*/", "/*", "</script>", "</SCRIPT >", "<!--", "-->", "<b>&amp;</b>", "\u2028", "\u2029",
    "\x00", "a\x00b", "\ud800", "\udfff", "x\ud83dy", "\n", "\r\n", "\r", "\t", "\x0b\x0c", "\x7f", "\x1b[31m",
    "??=", "??/", "é", "日本", "😀", "\ufeff", '"+__import__("os").getpid()+"', "',true,'", '",true,"',
    'x" onmouseover="alert(1)', "x onmouseover=alert(1)", "&quot;", "%s%n", "\\x41", "\\u0041", 'ab"' * 3,
]  # fmt: skip

PYTHON = ['x = "$N"', "x = '$N'", 'x = """$N"""', "x = '''$N'''", 'x = "a $N b"', 'x = r"$N"', "x = f'{1}$N'",
          'x = b"$N"', 'x = u"$N"', 'x = f"""{x!r}$N"""']  # fmt: skip


def _filled(lang: str, code: str, value: str) -> str | None:
    try:
        return str(template(lang, code).fill(N=value))
    except (TypeError, ValueError):
        return None


def _expected_python(code: str, value: str) -> object:
    if code.startswith('x = "a '):
        return f"a {value} b"
    if "f'{1}" in code:
        return "1" + value
    if "{x!r}" in code:
        return "None" + value
    return value.encode("ascii") if code.startswith("x = b") else value


@pytest.mark.parametrize("code", PYTHON)
def test_python_literals(code: str) -> None:
    refused = 0
    for value in HOSTILE:
        out = _filled("python", code, value)
        if out is None:
            refused += 1
            continue
        ns: dict[str, object] = {"x": None}
        exec(out, ns)
        assert ns["x"] == _expected_python(code, value), (out, value)
    # Plain literals hold any text; raw and bytes literals refuse what they cannot hold.
    if code[4] in "\"'fu":
        assert refused == 0


def test_a_term_in_a_literal_is_refused() -> None:
    with pytest.raises(TypeError, match=r"\$N"):
        template("python", 'x = "$N"').fill(N=template("python", "1").fill())


@pytest.mark.skipif(shutil.which("node") is None, reason="node is not installed")
def test_javascript_literals() -> None:
    codes = ['x = "$N"', "x = '$N'", "x = `$N`", "x = `a${1}$N`"]
    cases = [(c, v, _filled("javascript", c, v)) for c in codes for v in HOSTILE]
    texts = [out for _, _, out in cases if out is not None]
    script = (
        "const out = [];\n"
        f"for (const s of {json.dumps(texts)}) {{ let x; eval(s); out.push(x); }}\n"
        # JSON.stringify would turn lone surrogates into U+FFFD: send code units.
        "console.log(JSON.stringify(out.map(s => Array.from({length: s.length}, (_, i) => s.charCodeAt(i)))));\n"
    )
    res = subprocess.run(["node", "-e", script], capture_output=True, text=True, check=True)
    got = iter(json.loads(res.stdout))
    for code, value, out in cases:
        if out is None:
            continue
        units = next(got)
        text = value.encode("utf-16-le", "surrogatepass")
        want = [int.from_bytes(text[i : i + 2], "little") for i in range(0, len(text), 2)]
        if "${1}" in code:
            want = [ord("a"), ord("1"), *want]
        assert units == want, (out, value)


def test_json_literals() -> None:
    for value in HOSTILE:
        out = _filled("json", '["$N", 1]', value)
        if out is not None:
            assert json.loads(out) == [value, 1], out


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_c_literals() -> None:
    cases = [(v, _filled("c", 'const char s[] = "$N";', v)) for v in HOSTILE]
    kept = [(v, out) for v, out in cases if out is not None]
    body = [
        "#include <stdio.h>",
        "static void show(const unsigned char *p, unsigned long n) {",
        '  for (unsigned long i = 0; i < n; i++) printf("%02x", p[i]);',
        '  printf("\\n");',
        "}",
        "int main(void) {",
    ]
    for _, out in kept:
        body.append(f"  {{ {out} show((const unsigned char *)s, sizeof s - 1); }}")
    body += ["  return 0;", "}"]
    with tempfile.TemporaryDirectory() as d:
        src, exe = os.path.join(d, "m.c"), os.path.join(d, "m")
        with open(src, "w", encoding="utf-8") as f:
            f.write("\n".join(body))
        subprocess.run(
            ["cc", "-std=c99", "-Werror=trigraphs", "-o", exe, src], check=True, capture_output=True
        )
        lines = subprocess.run([exe], capture_output=True, text=True, check=True).stdout.splitlines()
    for (value, out), line in zip(kept, lines, strict=True):
        assert bytes.fromhex(line) == value.encode("utf-8"), out
    # Only lone surrogates, which UTF-8 cannot hold, are refused.
    assert all(out is not None or any("\ud800" <= c <= "\udfff" for c in v) for v, out in cases)


class _Attrs(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.attrs: list[list[tuple[str, str | None]]] = []
        self.text = ""

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.attrs.append(attrs)

    def handle_data(self, data: str) -> None:
        self.text += data


@pytest.mark.parametrize("code", ['<a title="$N">x</a>', "<a title='$N'>x</a>", "<a title=$N>x</a>"])
def test_html_attribute_values(code: str) -> None:
    for value in HOSTILE:
        out = _filled("html", code, value)
        if out is None:
            continue
        p = _Attrs()
        p.feed(out)
        p.close()
        assert p.attrs == [[("title", value)]], out


def test_html_attribute_name_hole_takes_only_a_name() -> None:
    t = template("html", "<p $X>hi</p>")
    assert str(t.fill(X="hidden")) == "<p hidden>hi</p>"
    for bad in ["onclick=alert(1)", "a b", "x>", "", '"q"']:
        with pytest.raises(TypeError, match=r"\$X"):
            t.fill(X=bad)


@pytest.mark.parametrize(
    ("lang", "code", "good", "bad"),
    [
        ("python", "class $NAME:\n    pass\n", "Point", ["not a name", "class", "1x", 5]),
        ("python", "def $F(x):\n    return x\n", "area", ["a-b", "", None]),
        ("javascript", "function $F() {}", "$f_1", ["a b", "if", 3]),
        ("c", "int $NAME = 1;", "count", ["int x", "while", 1.5]),
    ],
)
def test_name_holes(lang: str, code: str, good: str, bad: list[object]) -> None:
    t = template(lang, code)
    hole = t.holes[0]
    assert good in str(t.fill(**{hole: good}))
    for value in bad:
        with pytest.raises(TypeError, match=hole):
            t.fill(**{hole: value})


def test_an_expression_hole_still_takes_a_string_literal() -> None:
    assert str(template("python", "x = $V").fill(V="Point")) == 'x = "Point"'
    for v in ["it's", 'say "hi"', "a\\b\n{x}"]:
        for code in ["x = f'{$V}'", 'x = f"{$V}"', 'x = f"""{$V}"""']:
            ns: dict[str, object] = {}
            exec(str(template("python", code).fill(V=v)), ns)
            assert ns["x"] == v
