"""A filled hole keeps its value's meaning: every expression of a table, spliced
at every operand position of another, evaluates as the fully parenthesised
text does (Python by eval, JavaScript by node, C by cc)."""

import json
import shutil
import warnings

import pytest

from kovel.quasi import template
from tests.helpers import NODE, run

pytest.importorskip("tree_sitter")

PY_VALUES = ["-3", "1 + 2", "2 * 3", "2 ** 3", "not 0", "1 if c else 2", "lambda: 4", "abs(-5)", "1 < 2",
             "7 // 2", "~1", "0 or 2", "3 - 1", "-2 ** 2", "[4][0]", "x.real", "x if x else 0"]  # fmt: skip
PY_CONTEXTS = ["$X ** 2", "2 ** $X", "-$X", "$X * 3", "3 - $X", "$X - 3", "$X if c else 0", "c and $X",
               "$X < 2", "[$X][0]", "$X // 2", "~$X", "$X()", "$X.real", "not $X", "($X, 1)[0]"]  # fmt: skip

JS_VALUES = ["-3", "1 + 2", "2 * 3", "2 ** 3", "!0", "c ? 1 : 2", "() => 4", "(() => 5)()", "typeof 1",
             "1 < 2", "7 % 4", "~1", "0 || 2", "3 - 1", "x.length", "[4][0]", "-x.length"]  # fmt: skip
JS_CONTEXTS = ["$X ** 2", "2 ** $X", "-$X", "$X * 3", "3 - $X", "$X - 3", "c ? $X : 0", "c && $X",
               "$X < 2", "[$X][0]", "$X()", "typeof $X", "!$X", "$X.toString()", "$X + '1'"]  # fmt: skip

C_VALUES = ["-3", "1 + 2", "2 * 3", "7 / 2", "!0", "c ? 1 : 2", "~1", "1 < 2", "7 % 4", "1 || 0", "1 << 2",
            "-(-4)", "c = 9", "sizeof(int)", "(int)2.5", "a[1]"]  # fmt: skip
C_CONTEXTS = ["-$X", "$X * 3", "3 - $X", "$X - 3", "c ? $X : 0", "$X << 1", "$X % 3", "!$X", "~$X",
              "$X == 1", "2 * $X * 2", "$X, 7", "a[$X & 1]", "c && $X"]  # fmt: skip


def _spliced(lang: str, context: str, value: str) -> str:
    """The context filled with the value as a term (parsed code, not text)."""
    term = template(lang, value).fill()
    return str(template(lang, context).fill(X=term))


def _pairs(lang: str, contexts: list[str], values: list[str]) -> list[tuple[str, str]]:
    return [(_spliced(lang, c, v), c.replace("$X", f"({v})")) for c in contexts for v in values]


def _py_eval(code: str) -> str:
    env = {"c": True, "x": 5}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SyntaxWarning)  # `1()` is meant to fail
            return repr(eval(code, env))
    except Exception as exc:
        return type(exc).__name__


def test_python() -> None:
    for got, want in _pairs("python", PY_CONTEXTS, PY_VALUES):
        # A function has no comparable value: its repr is compared without its address.
        assert _py_eval(got).split(" at ")[0] == _py_eval(want).split(" at ")[0], (got, want)


@pytest.mark.skipif(NODE is None, reason="node is not installed")
def test_javascript() -> None:
    pairs = _pairs("javascript", JS_CONTEXTS, JS_VALUES)
    # Each text is evaluated on its own, so a syntax error in one is that
    # one's result (the name of the error), not the end of the run.
    script = (
        "const c = true, x = 'abc';\n"
        "const out = [];\n"
        f"for (const s of {json.dumps([t for p in pairs for t in p])}) {{\n"
        "  try { const v = eval(s); out.push(typeof v === 'function' ? 'function' : String(v)); }\n"
        "  catch (e) { out.push(e.name); }\n"
        "}\n"
        "console.log(JSON.stringify(out));\n"
    )
    results = json.loads(run(NODE, "-e", script))
    for k, (got, want) in enumerate(pairs):
        assert results[2 * k] == results[2 * k + 1], (got, want, results[2 * k], results[2 * k + 1])
        assert results[2 * k] != "SyntaxError", got


@pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
def test_c(tmp_path) -> None:
    pairs = _pairs("c", C_CONTEXTS, C_VALUES)
    lines = ["#include <stdio.h>", "int main(void) {", "  int c = 1; int a[2] = {3, 4};"]
    for got, want in pairs:
        lines.append(
            f'  c = 1; {{ long g = (long)({got}); c = 1; long w = (long)({want}); printf("%ld %ld\\n", g, w); }}'
        )
    lines += ["  return 0;", "}"]
    (tmp_path / "m.c").write_text("\n".join(lines))
    run("cc", "-w", "-o", tmp_path / "m", tmp_path / "m.c")
    for (got, want), line in zip(pairs, run(tmp_path / "m").splitlines(), strict=True):
        g, w = line.split()
        assert g == w, (got, want)


@pytest.mark.parametrize("lang", ["python", "javascript", "c", "cpp", "java", "go", "rust", "c_sharp"])
@pytest.mark.parametrize(
    ("context", "value"), [("-$X", "-1"), ("a - $X", "-b"), ("a + $X", "+b"), ("b = a-$X", "-c")]
)
def test_a_value_never_runs_into_the_template(lang: str, context: str, value: str) -> None:
    # `--`, `++` are tokens of their own in these languages (or would be read as one).
    code = {"go": "y := {}", "rust": "let y = {};", "python": "{}", "javascript": "{}"}.get(
        lang, "int y = {};"
    )
    code = code.format(context)
    try:
        term = template(lang, value).fill()
        out = str(template(lang, code).fill(X=term))
    except SyntaxError:
        pytest.skip(f"{value!r} is not an expression of {lang}")
    assert "--" not in out and "++" not in out, out
