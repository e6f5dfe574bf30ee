"""Rule files: what they say, and mistakes reported with file, line and key."""

import pytest

from kovel.rules import Convert, PatternSpec, Rule, RuleConfig, RuleFileError, matcher, parse_rules

GOOD = """\
id: a
language: Python
severity: error
message: m
rule:
  pattern: print($A)
  inside: {kind: block, stopBy: end, field: body}
  not: {regex: x}
constraints:
  A: {kind: identifier}
transform:
  B: {convert: {source: $A, toCase: snake_case}}
fix: log($B)
---
id: b
language: TSX
rule:
  any: [{kind: call_expression}, {pattern: {context: "a = $X", selector: identifier}}]
  stopBy: {kind: program}
"""


def test_reads_rules():
    a, b = parse_rules(GOOD, "r.yml")
    assert a.rule == Rule(
        pattern="print($A)", inside=Rule(kind="block", stop_by="end", field="body"), not_=Rule(regex="x")
    )
    assert (a.severity, a.language, a.fix, a.constraints["A"].kind) == (
        "error",
        "python",
        "log($B)",
        "identifier",
    )
    assert a.transform["B"] == Convert("$A", "snake_case")
    assert b.language == "tsx" and b.rule.any[1].pattern == PatternSpec("a = $X", "identifier")
    assert b.rule.stop_by == Rule(kind="program")


@pytest.mark.parametrize(
    "text, line, key",
    [
        (
            "id: a\nlanguage: python\nrule:\n  inside:\n    kind: call\n    stopBy: far\n",
            6,
            "rule.inside.stopBy",
        ),
        ("id: a\nlanguage: python\nrule:\n  kinds: call\n", 4, "rule.kinds"),
        ("id: a\nlanguage: python\n", 1, "rule"),
        ("language: python\nrule: {kind: call}\n", 1, "id"),
        ("id: a\nlanguage: python\nseverity: fatal\nrule: {kind: call}\n", 3, "severity"),
        ("id: a\nlanguage: python\nrule:\n  all: {kind: call}\n", 4, "rule.all"),
        (
            "id: a\nlanguage: python\nrule: {kind: call}\ntransform:\n  B:\n    convert: {source: $A, toCase: shouting}\n",
            6,
            "transform.B.convert.toCase",
        ),
        (
            "id: a\nlanguage: python\nrule: {kind: call}\ntransform:\n  B:\n"
            "    convert: {source: $A, toCase: snakeCase, separatedBy: underscore}\n",
            6,
            "transform.B.convert.separatedBy",
        ),
        (
            "id: a\nlanguage: python\nrule: {kind: call}\ntransform:\n  B:\n"
            "    convert: {source: $A, toCase: snakeCase, separatedBy: [underscore, comma]}\n",
            6,
            "transform.B.convert.separatedBy",
        ),
        (
            "id: a\nlanguage: python\nrule: {kind: call}\n---\nid: b\nlanguage: python\nrule:\n  has: {stopBy: end}\n",
            8,
            "rule.has",
        ),
        ("id: a\nlanguage: python\nrule: {kind: [call\n", 4, ""),
    ],
)
def test_mistakes_name_line_and_key(text, line, key):
    with pytest.raises(RuleFileError) as info:
        parse_rules(text, "rules.yml")
    assert (info.value.path, info.value.line, info.value.key) == ("rules.yml", line, key)
    assert str(info.value).startswith(f"rules.yml:{line}: ")


def test_never_constructs_python_objects():
    with pytest.raises(RuleFileError):
        parse_rules("!!python/object/apply:os.system ['true']\n", "r.yml")


@pytest.mark.parametrize(
    "body, key",
    [
        ("rule: {kind: identifier, nthChild: odd}", "rule.nthChild"),
        ("rule: {kind: identifier, nthChild: {reverse: true}}", "rule.nthChild.position"),
        ("rule: {kind: identifier, nthChild: {position: 1, of: {kind: x}}}", "rule.nthChild.of"),
        ("rule: {kind: identifier, range: {start: {line: 0}, end: {line: 0, column: 1}}}", "rule.range.start.column"),
        ("rule: {kind: identifier, range: {start: {line: 0, column: -1}, end: {line: 0, column: 1}}}",
         "rule.range.start.column"),
        ("rule: {kind: identifier}\nfix: {template: '', expandEnd: {regex: ',', stopBy: far}}", "fix.expandEnd.stopBy"),
        ("rule: {kind: identifier}\nfix: {template: '', expand: {regex: ','}}", "fix.expand"),
        ("rule: {kind: identifier}\ntransform: {B: {rewrite: {source: $A, rewriters: [nope]}}}",
         "transform.B.rewrite.rewriters"),
        ("rule: {kind: identifier}\nrewriters: [{id: a, rule: {kind: x}, message: m}]", "rewriters[0].message"),
        ("rule: {pattern: {context: 'f(x)', strictness: relaxed}}", "rule.pattern.strictness"),
        # Regular expressions are compiled as the file is read, not at the first file scanned.
        ("rule: {kind: identifier, regex: '(a'}", "rule.regex"),
        ("rule: {pattern: 'f($X)'}\nconstraints: {X: {regex: '[z'}}", "constraints.X.regex"),
        ("rule: {pattern: 'f($X)'}\ntransform: {Y: {replace: {source: $X, replace: '(a', by: b}}}",
         "transform.Y.replace.replace"),
        ("rule: {pattern: 'f($X)'}\ntransform: {Y: {replace: {source: $X, replace: '(a)', by: '$2'}}}",
         "transform.Y.replace.replace"),
        # A key set to null is absent: a rule of nulls has no condition.
        ("rule: {regex: null, kind: null, not: null}", "rule"),
        ("rule: {kind: call, has: {inside: null}}", "rule.has"),
    ],
)  # fmt: skip
def test_mistakes_in_newer_keys_name_their_key(body, key):
    with pytest.raises(RuleFileError) as err:
        parse_rules(f"id: r\nlanguage: python\n{body}\n", "r.yml")
    assert err.value.key == key


@pytest.mark.parametrize(
    "rule, what",
    [
        (Rule(kind="no_such_kind"), "no node kind"),
        (Rule(kind="call", has=Rule(field="no_such_field", kind="identifier")), "no field"),
        (Rule(matches="nowhere"), "no utility rule"),
        (Rule(kind="call", not_=Rule(has=Rule(matches="nowhere"))), "no utility rule"),
    ],
)
def test_what_names_nothing_in_the_grammar_is_refused_not_a_silent_zero(rule, what):
    with pytest.raises(ValueError, match=what):
        matcher(RuleConfig("r", "python", rule))
    with pytest.raises(ValueError, match="no tree-sitter grammar"):
        matcher(RuleConfig("r", "klingon", Rule(kind="call")))


@pytest.mark.parametrize(
    "nulls", ["regex: null", "inside: null, not: null", "nthChild: null, range: null, stopBy: null"]
)
def test_a_key_set_to_null_is_absent(nulls):
    (with_nulls,) = parse_rules(f"id: r\nlanguage: python\nrule: {{kind: call, {nulls}}}\n", "r.yml")
    (plain,) = parse_rules("id: r\nlanguage: python\nrule: {kind: call}\n", "r.yml")
    assert with_nulls.rule == plain.rule
