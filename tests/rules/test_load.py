"""Rule files: what they say, and mistakes reported with file, line and key."""

import os

import pytest

from kovel.rules import (
    Convert,
    PatternSpec,
    Rule,
    RuleConfig,
    RuleFileError,
    load_rules,
    matcher,
    parse_rules,
)
from kovel.rules.engine import MOST_NESTED
from kovel.rules.load import rule_files
from kovel.treesitter import parse

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


H = "id: a\nlanguage: python\n"
CONVERT = H + "rule: {kind: call}\ntransform:\n  B:\n    convert: {source: $A, toCase: "


@pytest.mark.parametrize(
    "text, line, key",
    [
        (H + "rule:\n  inside:\n    kind: call\n    stopBy: far\n", 6, "rule.inside.stopBy"),
        # what only a relation's rule takes, and a fix without its template
        (H + "rule:\n  kind: identifier\n  field: name\n", 5, "rule.field"),
        (H + "rule:\n  any: [{kind: call, stopBy: end}]\n", 4, "rule.any[0].stopBy"),
        (H + "rule: {kind: identifier}\nfix:\n  expandEnd: {regex: ','}\n", 5, "fix.template"),
        (H + "rule: {pattern: f($A)}\nlabels:\n  A: {style: loud}\n", 5, "labels.A"),
        (H + "rule: {kind: call}\nfiles: ['" + "{a,b}" * 11 + "']\n", 4, "files"),
        # a glob that matches nothing would turn the rule off without a word
        (H + "rule: {kind: call}\nfiles: ['src/[ab.py']\n", 4, "files"),
        (H + "rule: {kind: call}\nignores: ['{a,b[}/x']\n", 4, "ignores"),
        (H + "rule: {kind: call}\nfiles: ['a\\']\n", 4, "files"),
        (H + "rule:\n  kinds: call\n", 4, "rule.kinds"),
        (H, 1, "rule"),
        ("language: python\nrule: {kind: call}\n", 1, "id"),
        (H.replace("python\n", "python\nseverity: fatal\n") + "rule: {kind: call}\n", 3, "severity"),
        (H + "rule:\n  all: {kind: call}\n", 4, "rule.all"),
        (CONVERT + "shouting}\n", 6, "transform.B.convert.toCase"),
        (CONVERT + "snakeCase, separatedBy: underscore}\n", 6, "transform.B.convert.separatedBy"),
        (CONVERT + "snakeCase, separatedBy: [underscore, comma]}\n", 6, "transform.B.convert.separatedBy"),
        (H + "rule: {kind: call}\n---\nid: b\nlanguage: python\nrule:\n  has: {stopBy: end}\n", 8, "rule.has"),
        (H + "rule: {kind: [call\n", 4, ""),
        ("!!python/object/apply:os.system ['true']\n", 1, ""),  # never constructs Python objects
        # a repetition count past what `re` counts is a bad expression like any other
        (H + "rule: {kind: string, regex: 'a{4294967296}'}\n", 3, "rule.regex"),
        (H + "rule: {kind: identifier}\nconstraints: {A: {regex: 'x{99999999999}'}}\n", 4, "constraints.A.regex"),
        (H + "rule: {kind: identifier, nthChild: odd}", 3, "rule.nthChild"),
        (H + "rule: {kind: identifier, nthChild: 0}", 3, "rule.nthChild"),
        (H + "rule: {kind: identifier, nthChild: {position: -3}}", 3, "rule.nthChild.position"),
        (H + "rule: {kind: identifier, nthChild: {reverse: true}}", 3, "rule.nthChild.position"),
        (H + "rule: {kind: identifier, nthChild: {position: 1, of: {kind: x}}}", 3, "rule.nthChild.of"),
        (H + "rule: {kind: identifier, range: {start: {line: 0}, end: {line: 0, column: 1}}}", 3, "rule.range.start.column"),
        (H + "rule: {kind: identifier, range: {start: {line: 0, column: -1}, end: {line: 0, column: 1}}}", 3,
         "rule.range.start.column"),
        (H + "rule: {kind: identifier}\nfix: {template: '', expandEnd: {regex: ',', stopBy: far}}", 4, "fix.expandEnd.stopBy"),
        (H + "rule: {kind: identifier}\nfix: {template: '', expand: {regex: ','}}", 4, "fix.expand"),
        (H + "rule: {kind: identifier}\ntransform: {B: {rewrite: {source: $A, rewriters: [nope]}}}", 4,
         "transform.B.rewrite.rewriters"),
        (H + "rule: {kind: identifier}\nrewriters: [{id: a, rule: {kind: x}, message: m}]", 4, "rewriters[0].message"),
        (H + "rule: {pattern: {context: 'f(x)', strictness: relaxed}}", 3, "rule.pattern.strictness"),
        # Regular expressions are compiled as the file is read, not at the first file scanned.
        (H + "rule: {kind: identifier, regex: '(a'}", 3, "rule.regex"),
        (H + "rule: {pattern: 'f($X)'}\nconstraints: {X: {regex: '[z'}}", 4, "constraints.X.regex"),
        (H + "rule: {pattern: 'f($X)'}\ntransform: {Y: {replace: {source: $X, replace: '(a', by: b}}}", 4,
         "transform.Y.replace.replace"),
        (H + "rule: {pattern: 'f($X)'}\ntransform: {Y: {replace: {source: $X, replace: '(a)', by: '$2'}}}", 4,
         "transform.Y.replace.replace"),
        # A key set to null is absent: a rule of nulls has no condition.
        (H + "rule: {regex: null, kind: null, not: null}", 3, "rule"),
        (H + "rule: {kind: call, has: {inside: null}}", 3, "rule.has"),
        # A key written twice would silently drop the first.
        (H + "rule:\n  kind: call\n  has: {kind: a}\n  has: {kind: b}\n", 6, ""),
        (H + "id: b\nrule: {kind: call}\n", 3, ""),
        # aliases that stand for 2**40 values: refused before they are walked
        (H + "utils:\n  x0: &x0 {kind: call}\n" + "".join(f"  x{i}: &x{i} {{all: [*x{i - 1}, *x{i - 1}]}}\n" for i in range(1, 41))
         + "rule: *x40\n", 1, ""),
    ],
)  # fmt: skip
def test_mistakes_name_line_and_key(text, line, key):
    with pytest.raises(RuleFileError) as info:
        parse_rules(text, "rules.yml")
    assert (info.value.path, info.value.line, info.value.key) == ("rules.yml", line, key)
    assert str(info.value).startswith(f"rules.yml:{line}: ")


@pytest.mark.parametrize(
    "text",
    [
        H + "rule:\n" + "".join("  " * (k + 1) + "not:\n" for k in range(400)) + "  " * 401 + "kind: call\n",
        H + "rule: " + "{not: " * 1000 + "{kind: call}" + "}" * 1000 + "\n",
    ],
    ids=["block", "flow"],
)
def test_a_rule_file_nested_deeper_than_yaml_reads_is_an_error(text):
    # The YAML library stops at its own depth or at Python's stack, by version: an error either way.
    with pytest.raises(RuleFileError) as info:
        parse_rules(text, "rules.yml")
    assert info.value.path == "rules.yml" and ("nest" in str(info.value) or "depth" in str(info.value))


def _nested(depth, wrap):
    r = Rule(kind="identifier")
    for _ in range(depth - 1):
        r = wrap(r)
    return r


NESTINGS = [
    lambda r: Rule(not_=r),
    lambda r: Rule(inside=r),
    lambda r: Rule(has=r),
    lambda r: Rule(all=(r, Rule(kind="identifier"))),
    lambda r: Rule(any=(Rule(kind="integer"), r)),
    lambda r: Rule(precedes=r),
]


@pytest.mark.parametrize("wrap", NESTINGS)
def test_rules_nest_as_deep_as_the_limit_and_no_deeper(wrap):
    src = parse("python", "a = b(c, [d for d in e])\n" * 3)
    expected = len(list(matcher(RuleConfig("r", "python", _nested(10, wrap))).find_all(src)))
    deep = matcher(RuleConfig("r", "python", _nested(MOST_NESTED, wrap)))
    assert len(list(deep.find_all(src))) == expected  # matched without running out of stack
    with pytest.raises(ValueError, match="nests"):
        matcher(RuleConfig("r", "python", _nested(MOST_NESTED + 1, wrap)))


@pytest.mark.parametrize(
    "lang, rule, what",
    [
        ("python", Rule(kind="no_such_kind"), "no node kind"),
        ("python", Rule(kind="call", has=Rule(field="no_such_field", kind="identifier")), "no field"),
        ("python", Rule(matches="nowhere"), "no utility rule"),
        ("python", Rule(kind="call", field="function"), "field"),
        ("python", Rule(kind="call", not_=Rule(has=Rule(matches="nowhere"))), "no utility rule"),
        ("klingon", Rule(kind="call"), "no tree-sitter grammar"),
    ],
)
def test_what_names_nothing_in_the_grammar_is_refused_not_a_silent_zero(lang, rule, what):
    with pytest.raises(ValueError, match=what):
        matcher(RuleConfig("r", lang, rule))


def test_a_constraint_on_a_name_the_rule_never_binds_is_refused():
    with pytest.raises(ValueError, match=r"\$B"):
        matcher(RuleConfig("r", "python", Rule(pattern="f($A)"), constraints={"B": Rule(kind="integer")}))
    bound = RuleConfig("r", "python", Rule(pattern="f($A)"), constraints={"A": Rule(kind="integer")})
    assert [str(f.term) for f in matcher(bound).find_all(parse("python", "f(1)\nf(x)\n"))] == ["f(1)"]


LOOP = {"a": Rule(matches="b"), "b": Rule(any=(Rule(kind="integer"), Rule(matches="a")))}


@pytest.mark.parametrize(
    "config, what",
    [
        # would recurse at the first node searched
        (RuleConfig("r", "python", Rule(matches="a"), utils=LOOP), "'a' refers to itself: a -> b -> a"),
        (RuleConfig("r", "python", Rule(kind="call"), utils={"s": Rule(kind="call", not_=Rule(matches="s"))}), "'s'"),
        # would write an empty text for every match
        (RuleConfig("r", "python", Rule(pattern="f($X)"), fix="$Y",
                    transform={"Y": Convert("$Z", "upperCase"), "Z": Convert("$Y", "lowerCase")}), "Y -> Z -> Y"),
        # would write bar() for every match
        (RuleConfig("r", "python", Rule(pattern="foo($A)"), transform={"U": Convert("$S", "upperCase")}, fix="bar($U)"),
         "source \\$S is bound by no pattern"),
    ],
)  # fmt: skip
def test_a_rule_that_cannot_work_is_refused_when_compiled(config, what):
    with pytest.raises(ValueError, match=what):
        matcher(config)


def test_utils_may_share_a_rule_without_a_loop():
    utils = {
        "a": Rule(any=(Rule(matches="b"), Rule(matches="c"))),
        "b": Rule(matches="c"),
        "c": Rule(kind="integer"),
    }
    found = matcher(RuleConfig("r", "python", Rule(matches="a"), utils=utils)).find_all(
        parse("python", "x = 1\n")
    )
    assert [str(m.term) for m in found] == ["1"]


@pytest.mark.parametrize(
    "nulls", ["regex: null", "inside: null, not: null", "nthChild: null, range: null, stopBy: null"]
)
def test_a_key_set_to_null_is_absent(nulls):
    (with_nulls,) = parse_rules(f"{H}rule: {{kind: call, {nulls}}}\n", "r.yml")
    assert with_nulls.rule == parse_rules(H + "rule: {kind: call}\n", "r.yml")[0].rule


@pytest.mark.parametrize(
    "written, read",
    [("0x1F", "0x1F"), ("1_000", "1_000"), ("+5", "+5"), ("010", "010"), ("1.50", "1.50"), ("1e3", "1e3"),
     ("on", "on"), ("no", "no"), ("Yes", "Yes"), ("off", "off"), ("12", "12"), ("-3", "-3")],
)  # fmt: skip
def test_text_is_read_as_written(written, read):
    # YAML 1.1 would read these as numbers or booleans, and a pattern of 31 for 0x1F.
    (r,) = parse_rules(f"{H}rule: {{pattern: {written}}}\nfix: {written}\nmessage: {written}\n", "r.yml")
    assert (r.rule.pattern, r.fix, r.message) == (read, read, read)


def test_numbers_and_booleans_where_they_are_meant():
    (r,) = parse_rules(
        H + "severity: off\nrule: {kind: identifier, nthChild: {position: 2, reverse: true}}\n", "r"
    )
    assert r.severity == "off" and r.rule.nth_child.position == 2 and r.rule.nth_child.reverse is True


def test_a_rule_file_that_is_not_utf8_is_an_error_at_its_line(tmp_path):
    (tmp_path / "r.yml").write_bytes(b"id: r\nlanguage: python\nmessage: '\xff'\nrule: {pattern: x}\n")
    with pytest.raises(RuleFileError, match=r"r\.yml:3: not UTF-8"):
        load_rules(str(tmp_path / "r.yml"))


@pytest.mark.parametrize("make", ["fifo", "device"])
def test_a_rule_file_that_is_no_regular_file_is_an_error_not_a_hang(tmp_path, make):
    path = tmp_path / "r.yml"
    if make == "fifo":
        os.mkfifo(path)  # no one writes it: reading would wait for ever
    else:
        path.symlink_to("/dev/zero")  # reading would never end
    with pytest.raises(RuleFileError, match="not a regular file"):
        load_rules(str(path))


def test_rule_files_pass_over_hidden_ones(tmp_path):
    for name in ("a.yml", "sub/b.yaml", ".git/c.yml", "sub/.d.yml", "e.txt", "sub/.hidden/f.yml", "z/g.yml"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    got = [os.path.relpath(p, tmp_path) for p in rule_files(str(tmp_path))]
    assert got == ["a.yml", "sub/b.yaml", "z/g.yml"]


# A rule's `files` globs read escapes and classes as ast-grep's (globset) do: a
# brace or comma written so is itself, and only an unescaped `{a,b}` groups.
@pytest.mark.parametrize(
    "glob, hits",
    [
        ("b\\{1\\}.js", ["b{1}.js"]),
        ("b[{]1[}].js", ["b{1}.js"]),
        ("{b1,c}.js", ["b1.js"]),
        ("{r\\,s}.js", ["r,s.js"]),
        ("src/**/*.js", ["src/a/d.js", "src/d.js"]),
    ],
)
def test_files_globs_take_escapes_and_classes_literally(glob, hits):
    names = ["b1.js", "b{1}.js", "r,s.js", "src/d.js", "src/a/d.js"]
    config = RuleConfig("r", "javascript", Rule(kind="call_expression"), files=(glob,))
    assert sorted(n for n in names if config.applies_to(f"/p/{n}", "/p")) == sorted(hits)
