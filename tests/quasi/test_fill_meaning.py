"""Values put in templates, and replacements put in place of matches, keep their
meaning in Ruby, Lua, PHP and JavaScript: random programs run by each language's
own interpreter before and after a rewrite that takes calls away."""

import random
import shutil

import pytest

from kovel.quasi import MisreadError
from tests.helpers import calls_taken_away, rewrite, run


class Lang:
    """What a random program needs from a language: its operators, and the
    program around the list of functions that return the expressions."""

    def __init__(self, name, binary, unary, ternary, prelude, item, runner, opener="", atoms=()):
        self.name, self.binary, self.unary, self.ternary = name, binary, unary, ternary
        self.prelude, self.item, self.runner, self.opener = prelude, item, runner, opener
        self.atoms = ["1", "2", "3", self.var("a"), self.var("b"), *atoms]

    def expression(self, rnd, depth=0, bare=False):
        """A random expression over `a`, `b`, small integers, `g(...)` and `h(..., ...)`;
        a conditional stands bare only where ``bare`` (as a call's argument)."""
        if depth > 3 or rnd.random() < 0.25:
            return rnd.choice(self.atoms)
        sub = lambda bare=False: self.expression(rnd, depth + 1, bare)  # noqa: E731
        form = rnd.randrange(8)
        if form in (0, 1):
            op = rnd.choice(self.binary)
            if op in self.comparisons:  # some languages refuse `a < b < c`
                text = f"{self.atom(sub())} {op} {self.atom(sub())}"
                return text if bare else f"({text})"
            return f"{sub()} {op} {sub()}"
        if form == 2:
            operand = sub()  # `!~`, `--` are tokens of their own
            return f"{rnd.choice(self.unary)}{operand if operand[0].isalnum() or operand[0] in '($' else f'({operand})'}"
        if form == 3 and self.ternary:
            text = f"{sub()} ? {sub()} : {sub()}"
            return text if bare else f"({text})"
        if form in (3, 4):
            return f"g({sub(True)})"
        if form == 5:
            return f"h({sub(True)}, {sub(True)})"
        return f"({sub()})"

    comparisons = frozenset({"<", "==", "~="})

    @staticmethod
    def atom(text):
        return text if text.isalnum() or text.lstrip("$").isalnum() else f"({text})"

    def var(self, name):
        return f"${name}" if self.name == "php" else name


RUBY = Lang(
    "ruby",
    ["+", "-", "*", "/", "%", "**", "<", "==", "&&", "||", "&", "|", "<<", ">>"],
    ["-", "!", "~"],
    True,
    lambda g, h: f"a = 3\nb = 0\ndef g(x) = {g}\ndef h(x, y) = {h}\n",
    lambda e: f"  -> {{ {e} }},",
    lambda items: (
        f"fs = [\n{items}]\n"
        "fs.each_with_index do |f, i|\n"
        "  r = begin\n    f.call.inspect\n  rescue StandardError => e\n    e.class.name\n  end\n"
        '  puts "#{i} #{r}"\nend\n'
    ),
)
LUA = Lang(
    "lua",
    ["+", "-", "*", "//", "%", "^", "<", "==", "~=", "and", "or", "..", "&", "|", "<<"],
    ["-", "not ", "~"],
    False,
    lambda g, h: (
        f"local a, b = 3, 0\nlocal function g(x) return {g} end\nlocal function h(x, y) return {h} end\n"
    ),
    lambda e: f"  function() return {e} end,",
    lambda items: (
        f"local fs = {{\n{items}}}\n"
        "for i, f in ipairs(fs) do\n  local ok, r = pcall(f)\n"
        '  print(i, ok and tostring(r) or "error")\nend\n'
    ),
)
PHP = Lang(
    "php",
    ["+", "-", "*", "%", "**", "<", "==", "&&", "||", "&", "|", "<<", ".", "??"],
    ["-", "!", "~"],
    True,
    lambda g, h: (
        f"<?php\nerror_reporting(0);\n$a = 3; $b = 0;\n"
        f"function g($x) {{ return {g}; }}\nfunction h($x, $y) {{ return {h}; }}\n"
    ),
    lambda e: f"  fn() => {e},",
    lambda items: (
        f"$fs = [\n{items}];\n"
        "foreach ($fs as $i => $f) {\n"
        "  try { $r = json_encode($f()); } catch (\\Throwable $e) { $r = get_class($e); }\n"
        '  echo "$i $r\\n";\n}\n'
    ),
    opener="<?php\n",
)
JS = Lang(
    "javascript",
    ["+", "-", "*", "/", "%", "<", "===", "&&", "||", "&", "|", "<<", ">>", "in"],
    ["-", "!", "~", "typeof ", "void "],
    True,
    lambda g, h: (
        f"const a = 3, b = 0, s = {{t: 1}};\nfunction g(x) {{ return {g}; }}\nfunction h(x, y) {{ return {h}; }}\n"
    ),
    lambda e: f"  () => {e},",
    lambda items: (
        f"const fs = [\n{items}];\n"
        "fs.forEach((f, i) => {\n  let r;\n  try { r = JSON.stringify(f()); } catch (e) { r = e.name; }\n"
        "  console.log(i, r);\n});\n"
    ),
    atoms=["s", "'t'", "[1, 2]"],
)
INTERPRETERS = {"ruby": ["ruby"], "lua": ["lua5.4", "lua"], "php": ["php"], "javascript": ["node", "nodejs"]}
# What a call stands for: the same template writes `g`'s body and the rewrite.
TEMPLATES = ["$A", "$A * 2", "-$A", "2 - $A", "$A == 1"]


@pytest.mark.parametrize("spec", [RUBY, LUA, PHP, JS], ids=lambda s: s.name)
@pytest.mark.parametrize("tpl", TEMPLATES)
def test_calls_taken_away_keep_the_value(tmp_path, spec, tpl):
    interpreter = next(filter(None, map(shutil.which, INTERPRETERS[spec.name])), None)
    if interpreter is None:
        pytest.skip(f"{spec.name} is not installed")
    rnd = random.Random(f"{spec.name} {tpl}")
    exprs = [spec.expression(rnd) for _ in range(200)]
    x, y = spec.var("x"), spec.var("y")
    prelude = spec.prelude(tpl.replace("$A", x), f"{x} - {y}")
    items = "".join(spec.item(e) + "\n" for e in exprs)
    rewritten = calls_taken_away(spec.name, spec.opener + spec.runner(items), tpl)[len(spec.opener) :]
    lines = rewritten.splitlines()[1 : 1 + len(exprs)]
    assert not any("g(" in line or "h(" in line for line in lines), rewritten
    outputs = []
    for n, body in (("a", spec.runner(items)), ("b", rewritten)):
        (tmp_path / f"{n}.{spec.name}").write_text(prelude + body)
        outputs.append(run(interpreter, tmp_path / f"{n}.{spec.name}").splitlines())
    differ = [(exprs[i], lines[i]) for i, (p, q) in enumerate(zip(*outputs, strict=True)) if p != q]
    assert not differ, differ[:5]


# Languages whose grammar has no parentheses: a value read otherwise is refused, not written.
@pytest.mark.parametrize(
    "lang, code, pat, tpl",
    [
        ("d", "int y = g(a + 1) * 2;\n", "g($A)", "$A"),
        ("d", "int y = g(a + 1);\n", "g($A)", "$A * 2"),
    ],
)
def test_what_no_parentheses_keep_together_is_refused(lang, code, pat, tpl):
    with pytest.raises(MisreadError):
        rewrite(lang, code, pat, tpl)


# JavaScript reads some code otherwise than its grammar does: an arrow's body
# opening with `{` is a block, a template literal after a line without `;` is
# tagged by it, `<!--` opens a comment, `?.` skips the rest of its chain.
# (What each rewritten program prints.)
@pytest.mark.parametrize(
    "source, pat, tpl, prints",
    [
        ("const f = x => k(1);\nconsole.log(JSON.stringify(f()));\n", "k($A)", "{v: $A}", '{"v":1}'),
        ("const f = x => k(1).v;\nconsole.log(f());\n", "k($A)", "{v: $A}", "1"),
        ("const b = 2\nlet a = b\nk(1)\nconsole.log(a);\n", "k($A)", "`x${$A}`", "2"),
        ("let a = 1, p = 2;\nlet z = a<k(p);\nconsole.log(z);\n", "k($A)", "!--$A", "false"),
        # `?.` skips what follows it in its chain: a value put before `.c` or `()` is parenthesised
        (
            "const a = null;\nlet r;\ntry { r = k(a?.b); } catch (e) { r = 'threw'; }\nconsole.log(r);\n",
            "k($A)",
            "$A.c",
            "threw",
        ),
        (
            "const a = null;\nlet r;\ntry { r = k(a?.b); } catch (e) { r = 'threw'; }\nconsole.log(r);\n",
            "k($A)",
            "$A()",
            "threw",
        ),
    ],
)
def test_javascript_reads_a_rewrite_as_written(tmp_path, source, pat, tpl, prints):
    node = next(filter(None, map(shutil.which, INTERPRETERS["javascript"])), None)
    if node is None:
        pytest.skip("node is not installed")
    rewritten = rewrite("javascript", source, pat, tpl)
    assert "k(" not in rewritten, rewritten
    (tmp_path / "a.js").write_text(rewritten)
    assert run(node, tmp_path / "a.js").strip() == prints, rewritten
