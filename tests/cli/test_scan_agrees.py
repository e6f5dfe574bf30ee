"""Rules that say where a node stands (``nthChild``, ``range``), fixes that take
in siblings (``expandStart``, ``expandEnd``), rewriters and transforms, run by
ast-grep and by kovel on the same files: the same matches, the same fixed files."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from kovel.rules import NthChild, Range, Rewrite, Rule, RuleConfig, matcher
from kovel.treesitter import parse

SOURCES = {
    "a.py": 'f(a, b, c, d, e)\ng(x)\nh(p, q)\nx = "é"; y = 1\nd = {"a": 1, "Remove": 2 , "c": 3, "Remove2": 4}\n'
    "w = wrap(g(1), h(2), g(g(3)))\nw = wrap(g(1),\n         h(2))\nprint(g(4))\n"
    "if k not in os.environ and v is not x.y: pass\n",
    "c.py": "print(f(a, b), f(a,b) + 1)\nprint(f(a, b), f(b, a) + 1)\n",
    "b.js": "const a = [1, 2, 3, 4];\nfunction f() { one(); two(); three(); }\ncall(x, y, z);\n",
}

_REWRITERS = (
    "rewriters:\n- id: g-to-k\n  rule: {pattern: 'g($X)'}\n  fix: 'k($X)'\n"
    "- id: h-to-m\n  rule: {kind: call, has: {field: function, regex: '^h$'}}\n  fix: 'M'\n"
)

CASES = {
    "odd arguments": "language: python\nrule:\n  kind: identifier\n  nthChild: 2n+1\n  inside: {kind: argument_list}\n",
    # `not in` and `is not` are operators of two words: tokens, not nodes to count
    "past an operator of two words": "language: python\nrule:\n  kind: attribute\n  nthChild: 2\n",
    # the two bindings of X compare as a pattern's do, layout aside
    "a metavariable in two sub-rules": "language: python\nrule:\n  pattern: $X + 1\n"
    "  inside: {stopBy: end, pattern: 'print($X, $$$)'}\n",
    "the first two": "language: python\nrule:\n  kind: identifier\n  nthChild: '-n+2'\n  inside: {kind: argument_list}\n",
    "the last": "language: python\nrule:\n  kind: identifier\n  nthChild: {position: 1, reverse: true}\n"
    "  inside: {kind: argument_list}\n",
    "of a rule": "language: python\nrule:\n  kind: identifier\n"
    "  nthChild: {position: 2, ofRule: {regex: '[bcd]'}, reverse: true}\n  inside: {kind: argument_list}\n",
    "every third statement": "language: javascript\nrule:\n  kind: expression_statement\n  nthChild: 3n\n",
    "an exact range": "language: python\nrule:\n  kind: identifier\n"
    "  range: {start: {line: 3, column: 9}, end: {line: 3, column: 10}}\n",
    "a range after a wide character": "language: python\nrule:\n  kind: string\n"
    "  range: {start: {line: 3, column: 4}, end: {line: 3, column: 7}}\n",
    "a pair and its comma": "language: python\nrule:\n  kind: pair\n  has: {field: key, regex: Remove}\n"
    "fix:\n  template: ''\n  expandEnd: {regex: ','}\n",
    "an argument and the comma before": "language: javascript\nrule:\n  kind: identifier\n  regex: ^[yz]$\n"
    "  inside: {kind: arguments}\nfix:\n  template: ''\n  expandStart: {regex: ','}\n",
    "an element and the comma after": "language: javascript\nrule:\n  kind: number\n  regex: ^[23]$\n"
    "  inside: {kind: array}\nfix:\n  template: ''\n  expandEnd: {regex: ','}\n",
    "a statement deleted": "language: javascript\nrule: {pattern: two()}\nfix: ''\n",
    "rewriters joined": f"language: python\nrule: {{pattern: 'wrap($$$ARGS)'}}\n{_REWRITERS}"
    "transform:\n  NEW: {rewrite: {rewriters: [g-to-k, h-to-m], source: $$$ARGS, joinBy: ', '}}\nfix: 'wrapped($NEW)'\n",
    "rewriters in place": f"language: python\nrule: {{pattern: 'wrap($$$ARGS)'}}\n{_REWRITERS}"
    "transform:\n  NEW: {rewrite: {rewriters: [g-to-k, h-to-m], source: $$$ARGS}}\nfix: 'wrapped($NEW)'\n",
    "a rewriter on one node": f"language: python\nrule: {{pattern: 'print($A)'}}\n{_REWRITERS}"
    "transform:\n  NEW: {rewrite: {rewriters: [g-to-k], source: $A}}\nfix: 'log($NEW)'\n",
    "a transform's text is text": "language: python\nrule: {pattern: 'print($X)'}\n"
    "transform:\n  Y: {replace: {source: $X, replace: '^g', by: 'a.b'}}\nfix: 'log($Y)'\n",
    "a constraint with a field": "language: python\nrule: {pattern: 'print($X)'}\n"
    "constraints:\n  X: {kind: call, has: {field: function, regex: '^g$'}}\n",
}


def _sg():
    # Not "sg": Debian has a login tool of that name. pip puts ast-grep beside the interpreter.
    return shutil.which("ast-grep", path=str(Path(sys.executable).parent)) or shutil.which("ast-grep")


def _scan(cmd, cwd):
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("name", list(CASES))
def test_positions_and_expansions_agree_with_ast_grep(tmp_path, name):
    sg = _sg()
    if sg is None:
        pytest.skip("ast-grep is not installed")
    rule = f"id: r\nmessage: m\n{CASES[name]}"
    dirs = {}
    for who in ("theirs", "ours"):
        d = dirs[who] = tmp_path / who
        d.mkdir()
        for f, text in SOURCES.items():
            (d / f).write_text(text)
        (d / "rule.yml").write_text(rule)
    out = _scan([sg, "scan", "--json=stream", "-r", "rule.yml", "."], dirs["theirs"])
    theirs = sorted(
        (Path(x["file"]).name, x["range"]["start"]["line"] + 1, x["range"]["start"]["column"] + 1, x["text"])
        for x in map(json.loads, out.stdout.splitlines())
    )
    kovel = [sys.executable, "-m", "kovel", "scan", "-r", "rule.yml"]
    out = _scan([*kovel, "--json", "."], dirs["ours"])
    ours = sorted(
        (Path(x["path"]).name, x["range"]["start"]["line"], x["range"]["start"]["column"], x["text"])
        for x in map(json.loads, out.stdout.splitlines())
    )
    assert ours == theirs and ours
    _scan([sg, "scan", "--update-all", "-r", "rule.yml", "."], dirs["theirs"])
    _scan([*kovel, "--fix", "."], dirs["ours"])
    for f in SOURCES:
        assert (dirs["ours"] / f).read_text() == (dirs["theirs"] / f).read_text(), f


def test_the_same_rules_in_python():
    t = parse("python", SOURCES["a.py"])

    def found(r, **kw):
        return [str(f.term) for f in matcher(RuleConfig("r", "python", r, **kw)).find_all(t)]

    args = Rule(kind="argument_list")
    assert found(Rule(kind="identifier", nth_child=NthChild("2n+1"), inside=args)) == [
        "a",
        "c",
        "e",
        "x",
        "p",
    ]
    assert found(Rule(kind="identifier", nth_child=-1, inside=args)) == ["e", "x", "q"]
    assert found(
        Rule(kind="identifier", nth_child=NthChild(1, of_rule=Rule(regex="^[cq]$")), inside=args)
    ) == [
        "c",
        "q",
    ]
    assert found(Rule(kind="identifier", range=Range(3, 9, 3, 10))) == ["y"]
    config = RuleConfig(
        "r", "python", Rule(kind="identifier", regex="^q$"), fix="", expand_start=Rule(regex=",")
    )
    assert str(matcher(config).rewrite(t)).splitlines()[2] == "h(p)"
    config = RuleConfig(
        "r",
        "python",
        Rule(pattern="h($$$A)"),
        transform={"B": Rewrite("$$$A", ("upper",), " + ")},
        fix="h($B)",
        rewriters=(RuleConfig("upper", "python", Rule(pattern="$X"), fix="$X.upper()"),),
    )
    assert str(matcher(config).rewrite(t)).splitlines()[2] == "h(p.upper() + q.upper())"
    with pytest.raises(ValueError, match="no rewriter"):
        matcher(RuleConfig("r", "python", Rule(pattern="h($$$A)"), transform={"B": Rewrite("$$$A", ("x",))}))


def test_a_fix_that_would_not_parse_is_not_written(tmp_path):
    # ast-grep writes `[1, 20 3, 4]` here.
    (tmp_path / "b.js").write_text(SOURCES["b.js"])
    (tmp_path / "rule.yml").write_text(
        "id: r\nlanguage: javascript\nrule: {kind: number, regex: ^2$, inside: {kind: array}}\n"
        "fix:\n  template: '20'\n  expandEnd: {regex: ','}\n"
    )
    out = _scan([sys.executable, "-m", "kovel", "scan", "-r", "rule.yml", "--fix", "."], tmp_path)
    assert out.returncode == 2 and "syntax error" in out.stderr
    assert (tmp_path / "b.js").read_text() == SOURCES["b.js"]
