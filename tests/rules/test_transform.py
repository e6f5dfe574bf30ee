"""Case conversion of captured text: words split as ast-grep splits them, no letter lost."""

import json
import subprocess

import pytest
import yaml
from hypothesis import given, strategies as st

from kovel.rules import RuleFileError, matcher, parse_rules
from kovel.rules.regex import compile_regex
from kovel.rules.transform import SEPARATORS, apply, convert_case, words
from tests.helpers import ast_grep

CASES = ("snakeCase", "camelCase", "pascalCase", "kebabCase", "capitalize", "upperCase", "lowerCase")
SPLITS = (None, ("underscore",), ("caseChange",), ("dash", "underscore"), ())

# Identifiers with digits, runs of capitals, separators at the ends and letters
# outside ASCII: the places a splitter gets wrong.
NAMES = (
    "fooBar FooBar foo_bar FOO_BAR parseHTTPResponse HTTPServer getV2Name v2 utf8Encode a1B2c3 a1Bc "
    "HTML5Parser foo123Bar _private __dunder__ foo__bar trailing_ _ myID myIDs iOS XMLHttpRequest "
    "snake_Case_Mixed Über fooÜber straßeName ÉcoleNormale a_B_1 x"
).split()

_CASE_CHARS = "aAbBzZ019_-ÉéÜüßǅ"


@given(st.text(_CASE_CHARS, max_size=12), st.sampled_from(SPLITS))
def test_words_lose_no_character_but_separators(text, split):
    dropped = {SEPARATORS[n] for n in (SEPARATORS if split is None else split)} - {""}
    ws = words(text, split)
    assert all(ws) and "".join(ws) == "".join(c for c in text if c not in dropped)


@pytest.mark.parametrize("bad", [("case", "snakeCase", ("comma",)), ("case", "shouting", None)])
def test_unknown_names_are_refused(bad):
    with pytest.raises(ValueError):
        convert_case(*bad)


def _t(kind, **kw):
    return {kind: {"source": "$A", **kw}}


SEP = [{} if s is None else {"separatedBy": list(s)} for s in SPLITS]
TRANSFORMS = [_t("convert", toCase=c, **sep) for c in CASES for sep in SEP] + [
    _t("replace", replace="a", by="$$"),  # a dollar
    _t("replace", replace="a*", by="X"),  # no empty match where another ended
    _t("replace", replace="(?<n>[a-z]+)", by="<${n}>"),  # a named group as Rust names it
    _t("replace", replace="([A-Z])([a-z])?", by="$2$1"),  # a group that took no part
    _t("replace", replace="o", by="\\n"),  # a backslash is text
    _t("replace", replace="_(\\w)", by="$1"),
    _t("replace", replace="[ß_]\\z", by="!"),
    *(_t("substring", startChar=a, endChar=b) for a, b in [(1, -1), (-3, None), (5, 2), (-100, 100)]),
]


@pytest.mark.parametrize("transform", TRANSFORMS, ids=lambda t: json.dumps(t))
def test_transforms_agree_with_ast_grep(tmp_path, transform):
    if (sg := ast_grep()) is None:
        pytest.skip("ast-grep is not installed")
    (tmp_path / "a.py").write_text("".join(f"f({n})\n" for n in NAMES), encoding="utf-8")
    rule = dict(id="r", language="python", rule={"pattern": "f($A)"}, transform={"B": transform}, fix="$B")
    (tmp_path / "r.yml").write_text(yaml.safe_dump(rule), encoding="utf-8")
    out = subprocess.run([sg, "scan", "-r", "r.yml", "--json=compact", "a.py"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=120, check=True).stdout  # fmt: skip
    theirs = {m["metaVariables"]["single"]["A"]["text"]: m["replacement"] for m in json.loads(out)}
    (config,) = parse_rules(yaml.safe_dump(rule), "r.yml")
    ours = {n: apply(config.transform["B"], {"A": n}) for n in NAMES}
    assert len(theirs) == len(NAMES) and ours == theirs


@pytest.mark.parametrize(
    ("regex", "text", "found"),
    [
        ("(?<w>^get)", "get_x", True),  # Rust's spelling of a named group
        ("x\\z", "a x", True),
        ("x\\z", "x\n", False),  # the end of the text, not of a line
        ("[(?<a]", "<", True),  # inside a class nothing is respelled
        ("\\(?<a", "<a", True),  # nor after an escaped parenthesis
        ("(?<=a)b", "ab", True),  # a look-behind is not a group
    ],
)
def test_rust_spellings(regex, text, found):
    assert (compile_regex(regex).search(text) is not None) == found


SPLIT = """\
id: split
language: python
rule: {kind: expression_statement, has: {pattern: 'say($$$A)'}}
transform: {B: {rewrite: {source: $$$A, rewriters: [one], joinBy: "\\n"}}}
fix: $B
rewriters: [{id: one, rule: {pattern: $X}, fix: say($X)}]
"""


def test_text_of_several_lines_takes_the_indentation_where_it_lands():
    # The second line stays in the function (it ran at module level, before `start`);
    # a string's own lines are not re-indented.
    from kovel.rules import matcher
    from kovel.treesitter import parse

    (config,) = parse_rules(SPLIT, "r.yml")
    source = 'def f():\n    say(a, """x\ny""")\nprint("start")\n'
    out = str(matcher(config).rewrite(parse("python", source)))
    assert out == 'def f():\n    say(a)\n    say("""x\ny""")\nprint("start")\n'
    compile(out, "out.py", "exec")


WRAP = """\
id: wrap
language: javascript
rule: {pattern: "function $F($$$P) {\\n  $$$B\\n}"}
rewriters: [{id: c2l, rule: {pattern: console.log($$$A)}, fix: logger.info($$$A)}]
transform: {NB: {rewrite: {source: $$$B, rewriters: [c2l]}}}
fix: "function $F($$$P) {\\n  try {\\n    $NB\\n  } finally {\\n    done();\\n  }\\n}"
"""


@pytest.mark.parametrize(
    "body",
    [
        # a statement of several lines in the run, in code without semicolons
        "  if (a) {\n    console.log('a')\n  }\n  return\n  cleanup()\n",
        "  console.log(a); // note\n  if (a) {\n    g()\n  }\n  return a;\n",
    ],
)
def test_a_rewritten_run_keeps_what_stood_between_its_nodes(body):
    from kovel.rules import matcher
    from kovel.treesitter import parse

    (config,) = parse_rules(WRAP, "r.yml")
    out = str(matcher(config).rewrite(parse("javascript", "function f(a) {\n" + body + "}\n")))
    kept = body.replace("console.log", "logger.info").replace("\n  ", "\n    ")
    assert out == "function f(a) {\n  try {\n  " + kept + "  } finally {\n    done();\n  }\n}\n"


def _call(transform):
    """``transform`` written as ast-grep's call form: `convert($A, toCase=upperCase)`."""
    ((kind, body),) = transform.items()

    def value(v):
        if isinstance(v, list):
            return "[" + ", ".join(v) + "]"
        if isinstance(v, str) and not v.isidentifier():
            return "'" + v + "'" if "'" not in v else json.dumps(v)
        return str(v)

    args = [body["source"], *(f"{k}={value(v)}" for k, v in body.items() if k != "source" and v is not None)]
    return f"{kind}({', '.join(args)})"


@pytest.mark.parametrize("transform", TRANSFORMS, ids=lambda t: json.dumps(t))
def test_a_transform_written_as_a_call_is_the_same_transform(transform):
    def read(t):
        rule = dict(id="r", language="python", rule={"pattern": "f($A)"}, transform={"B": t}, fix="$B")
        return parse_rules(yaml.safe_dump(rule), "r.yml")[0].transform["B"]

    assert read(_call(transform)) == read(transform)


@pytest.mark.parametrize(
    "text", ["convert($A toCase=upperCase)", "convert($A, toCase=)", "nothing", "f($A, x=a b)"]
)
def test_a_call_that_cannot_be_read_is_refused_with_its_line(text):
    with pytest.raises(RuleFileError, match=r"r.yml:5: transform.B"):
        parse_rules(f"id: r\nlanguage: python\nrule: {{pattern: f($A)}}\ntransform:\n  B: {text}\n", "r.yml")


SIBLINGS = """id: r
language: python
rule: {pattern: emit($$$A)}
rewriters:
  - id: inner
    rule: {kind: identifier, pattern: $X}
    fix: $X.upper()
  - id: outer
    rule: {pattern: f($Y)}
    transform:
      Z: {rewrite: {source: $Y, rewriters: [inner]}}
    fix: g($Z)
transform:
  B: {rewrite: {source: $$$A, rewriters: [outer]}}
fix: emit($B)
"""


def test_a_rewriter_calls_its_siblings():
    from kovel.treesitter import parse

    (config,) = parse_rules(SIBLINGS, "r.yml")
    out = matcher(config).rewrite(parse("python", "emit(f(a), f(b), c)\n"))
    assert str(out) == "emit(g(a.upper()), g(b.upper()), c)\n"  # as ast-grep writes it
    with pytest.raises(ValueError, match="nowhere"):
        matcher(parse_rules(SIBLINGS.replace("[inner]", "[nowhere]"), "r.yml")[0])


# A rewriter's `field` is read where the language reads the node it runs on: a
# keyword argument, a pair or a default parameter alone is no file of its own.
FIELDS = """\
id: values
language: {lang}
rule: {{pattern: '{pattern}'}}
rewriters:
- id: value
  rule: {{kind: {kind}, has: {{field: value, pattern: $V}}}}
  fix: $V
transform: {{B: {{rewrite: {{source: $$$A, rewriters: [value], joinBy: ', '}}}}}}
fix: '{fix}'
"""


@pytest.mark.parametrize(
    "lang, pattern, kind, fix, source, out",
    [
        ("python", "f($$$A)", "keyword_argument", "g($B)", "f(a=1, b=2)\n", "g(1, 2)\n"),
        ("python", "def f($$$A): pass", "default_parameter", "print($B)", "def f(a=1, b=2): pass\n",
         "print(1, 2)\n"),
        ("javascript", "g({$$$A})", "pair", "g([$B])", "g({a: 1, b: 2})\n", "g([1, 2])\n"),
    ],
)  # fmt: skip
def test_a_rewriter_reads_the_fields_of_the_items_it_runs_on(lang, pattern, kind, fix, source, out):
    from kovel.treesitter import parse

    (config,) = parse_rules(FIELDS.format(lang=lang, pattern=pattern, kind=kind, fix=fix), "r.yml")
    got = matcher(config).rewrite(parse(lang, source))
    assert str(got) == out
