"""Rule files: what they say, and mistakes reported with file, line and key."""

import pytest

from kovel.rules import Convert, PatternSpec, Rule, RuleFileError, parse_rules

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
