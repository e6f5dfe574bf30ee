"""Rules that say where a node stands (``nthChild``, ``range``), fixes that take
in siblings (``expandStart``, ``expandEnd``), rewriters and transforms, run by
ast-grep and by kovel on the same files: the same matches, the same fixed files."""

import pytest

from kovel.rules import NthChild, Range, Rewrite, Rule, RuleConfig, matcher
from kovel.treesitter import parse
from tests.helpers import ast_grep, kovel, scan_both, write_files

SOURCES = {
    "a.py": 'f(a, b, c, d, e)\ng(x)\nh(p, q)\nx = "é"; y = 1\nd = {"a": 1, "Remove": 2 , "c": 3, "Remove2": 4}\n'
    "w = wrap(g(1), h(2), g(g(3)))\nw = wrap(g(1),\n         h(2))\nprint(g(4))\n"
    "if k not in os.environ and v is not x.y: pass\n"
    'show(1, debug=True, sep=", ")\nshow(1, debug=True, key=max(1, 2), sep="-")\n',  # items that hold a comma
    "c.py": "print(f(a, b), f(a,b) + 1)\nprint(f(a, b), f(b, a) + 1)\n",
    "b.js": "const a = [1, 2, 3, 4];\nfunction f() { one(); two(); three(); }\ncall(x, y, z);\n",
    "a.rs": "fn main() { let b = P { y: 1 }; let c = P { x: 7 }; let d = P { x: 1, y: 2 }; }\n",
    "a.go": "package main\n\nvar a = Cfg{Public: 1}\nvar b = Cfg{Secret: 2}\nvar c = T{A: 1, B: 2}\n",
    "a.c": "struct P p = {.x = 1, .y = 2};\nstruct P q = {3};\n",
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
    # (one sibling each way, though the next argument's text holds a comma too)
    "a keyword argument and its comma": "language: python\nrule:\n  kind: keyword_argument\n"
    "  has: {field: name, regex: ^debug$}\nfix:\n  template: ''\n  expandEnd: {regex: ','}\n",
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
    # a field of a metavariable's node, read in the file's own tree (no guess at a context)
    "a field of a struct's field": "language: rust\nrule: {pattern: 'P { $F }'}\n"
    "constraints:\n  F: {has: {field: field, regex: ^x$}}\n",
    "no field of a keyed element": "language: go\nrule: {pattern: 'Cfg{$F}'}\n"
    "constraints:\n  F: {kind: keyed_element, not: {has: {field: key, regex: ^Public$}}}\n",
    "a rewriter reading a field of a field initializer": "language: rust\nrule: {pattern: 'P { $$$F }'}\n"
    "rewriters:\n- id: w\n  rule: {kind: field_initializer, has: {field: value, pattern: $V}}\n  fix: 'x: $V + 1'\n"
    "transform:\n  B: {rewrite: {source: $$$F, rewriters: [w], joinBy: ', '}}\nfix: 'P { $B }'\n",
    "a rewriter reading a field of a designated initializer": "language: c\nrule: {pattern: 'struct P p = {$$$F};'}\n"
    "rewriters:\n- id: w\n  rule: {kind: initializer_pair, has: {field: value, pattern: $V}}\n  fix: '$V + 1'\n"
    "transform:\n  B: {rewrite: {source: $$$F, rewriters: [w], joinBy: ', '}}\nfix: 'struct P p = {$B};'\n",
    # a metavariable glued to a name puts its text there, a transform's too
    "a name made of a metavariable": "language: python\nrule: {pattern: '$F($A, $B)', inside: {kind: expression_statement}}\n"
    "fix: 'call_$F($B, $A)'\n",
    "a name made of a transform": "language: javascript\nrule: {pattern: 'call($A, $$$R)'}\n"
    "transform:\n  N: {convert: {source: $A, toCase: upperCase}}\nfix: 'call_$N()'\n",
}


@pytest.mark.parametrize("name", list(CASES))
def test_positions_and_expansions_agree_with_ast_grep(tmp_path, name):
    if ast_grep() is None:
        pytest.skip("ast-grep is not installed")
    theirs, ours = (
        write_files(tmp_path / who, {**SOURCES, "rule.yml": f"id: r\nmessage: m\n{CASES[name]}"})
        for who in ("theirs", "ours")
    )
    found_by_them, found_by_us = scan_both(theirs, ours, "rule.yml", "rule.yml")
    assert found_by_us == found_by_them and found_by_us
    for f in SOURCES:
        assert (ours / f).read_text() == (theirs / f).read_text(), f


def test_the_same_rules_in_python():
    t = parse("python", SOURCES["a.py"])

    def found(r, **kw):
        return [str(f.term) for f in matcher(RuleConfig("r", "python", r, **kw)).find_all(t)]

    def fixed(r, **kw):  # the third line
        return str(matcher(RuleConfig("r", "python", r, **kw)).rewrite(t)).splitlines()[2]

    args = Rule(kind="argument_list")
    assert found(Rule(kind="identifier", nth_child=NthChild("2n+1"), inside=args)) == list("acexp")
    assert found(Rule(kind="identifier", nth_child=-1, inside=args)) == list("exq")
    of_rule = NthChild(1, of_rule=Rule(regex="^[cq]$"))
    assert found(Rule(kind="identifier", nth_child=of_rule, inside=args)) == ["c", "q"]
    assert found(Rule(kind="identifier", range=Range(3, 9, 3, 10))) == ["y"]
    assert fixed(Rule(kind="identifier", regex="^q$"), fix="", expand_start=Rule(regex=",")) == "h(p)"
    upper = (RuleConfig("upper", "python", Rule(pattern="$X"), fix="$X.upper()"),)
    joined = {"B": Rewrite("$$$A", ("upper",), " + ")}
    assert (
        fixed(Rule(pattern="h($$$A)"), transform=joined, fix="h($B)", rewriters=upper)
        == "h(p.upper() + q.upper())"
    )
    with pytest.raises(ValueError, match="no rewriter"):
        matcher(RuleConfig("r", "python", Rule(pattern="h($$$A)"), transform={"B": Rewrite("$$$A", ("x",))}))


def test_a_fix_that_would_not_parse_is_not_written(tmp_path):
    # ast-grep writes `[1, 20 3, 4]` here.
    rule = "id: r\nlanguage: javascript\nrule: {kind: number, regex: ^2$, inside: {kind: array}}\n"
    rule += "fix:\n  template: '20'\n  expandEnd: {regex: ','}\n"
    write_files(tmp_path, {"b.js": SOURCES["b.js"], "rule.yml": rule})
    out = kovel(tmp_path, "scan", "-r", "rule.yml", "--fix", ".")
    assert out.returncode == 0 and "would not parse where it stands" in out.stderr
    assert (tmp_path / "b.js").read_text() == SOURCES["b.js"]
