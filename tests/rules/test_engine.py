"""The rule engine: each condition, their combinations, constraints, transforms and fixes."""

import dataclasses
import json
import pickle
import re
import shutil
import subprocess

import pytest

pytest.importorskip("tree_sitter_python")

from kovel.rules import (  # noqa: E402
    Convert,
    PatternSpec,
    Range,
    Replace,
    Rule,
    RuleConfig,
    Substring,
    matcher,
    parse_rules,
)
from kovel.treesitter import parse  # noqa: E402

PY = """\
class ATestCase(Base):
    def test(self):
        assert a == b
        if x:
            assert c == d
class Other:
    def test(self):
        assert e == f
def g(x, y):
    print(x)
    print(y, 1)
    return h(print)
assert i == j
"""


def texts(rule, src=PY, lang="python", **kw):
    return [str(f.term) for f in matcher(RuleConfig("r", lang, rule, **kw)).find_all(parse(lang, src))]


def fixed(rule, src, fix, lang="python", **kw):
    return str(matcher(RuleConfig("r", lang, rule, fix=fix, **kw)).rewrite(parse(lang, src)))


ASSERTS = ["assert a == b", "assert c == d", "assert e == f", "assert i == j"]
G_BODY = "print(x)\n    print(y, 1)\n    return h(print)"
TEST_CASE = Rule(kind="class_definition", stop_by="end", has=Rule(field="name", regex="TestCase$"))
JS_CLASS = "class K {\n  a = 1;\n  b = f(2);\n  m() { const c = 3; }\n}\nconst d = 4;\n"


# Each row: the rule, what it finds, and where (PY by default).
@pytest.mark.parametrize(
    "case",
    [
        (Rule(pattern="assert $X == $Y"), ASSERTS),
        (Rule(kind="return_statement"), ["return h(print)"]),
        (Rule(kind="identifier", regex="^[xy]$"), ["x", "x", "y", "x", "y"]),
        (Rule(pattern="assert $X == $Y", inside=Rule(kind="block")), ASSERTS[:3]),
        # neighbor: the direct parent only; end: any ancestor
        (Rule(pattern="assert $X == $Y", inside=Rule(kind="if_statement")), []),
        (Rule(pattern="assert $X == $Y", inside=Rule(kind="if_statement", stop_by="end")), ["assert c == d"]),
        (Rule(pattern="assert $X == $Y", inside=TEST_CASE), ASSERTS[:2]),
        # a stop rule ends the walk up: the function is reached before the class
        (Rule(pattern="assert $X == $Y", inside=Rule(kind="class_definition", stop_by=Rule(kind="function_definition"))), []),
        (Rule(kind="function_definition", has=Rule(kind="return_statement", stop_by="end")), ["def g(x, y):\n    " + G_BODY]),
        (Rule(kind="block", has=Rule(kind="return_statement")), [G_BODY]),
        (Rule(kind="call", has=Rule(field="arguments", kind="argument_list", has=Rule(kind="integer"))), ["print(y, 1)"]),
        (Rule(pattern="print($$$A)", follows=Rule(pattern="print($X)")), []),  # the calls are not siblings
        (Rule(kind="expression_statement", follows=Rule(kind="expression_statement", has=Rule(pattern="print(x)"))),
         ["print(y, 1)"]),
        (Rule(kind="expression_statement", precedes=Rule(kind="return_statement", stop_by="end")), ["print(x)", "print(y, 1)"]),
        (Rule(kind="expression_statement", precedes=Rule(kind="return_statement")), ["print(y, 1)"]),
        (Rule(pattern="print($$$A)", not_=Rule(pattern="print($X)")), ["print(y, 1)"]),
        (Rule(all=(Rule(kind="call"), Rule(regex="^print"))), ["print(x)", "print(y, 1)"]),
        (Rule(any=(Rule(kind="return_statement"), Rule(pattern="assert i == j"))), ["return h(print)", "assert i == j"]),
        (Rule(kind="identifier", nth_child=2, inside=Rule(kind="parameters")), ["y"]),
        (Rule(kind="identifier", nth_child=-1, inside=Rule(kind="parameters")), ["self", "self", "y"]),
        (Rule(pattern="$F($A)", matches="printing"), ["print(x)"]),
        # metavariables agree across sub-rules
        (Rule(pattern="f($X, $Y)", has=Rule(stop_by="end", kind="identifier", pattern="$X", nth_child=2)), ["f(a, a)"],
         "f(a, a)\nf(a, b)\n"),
        # as ast-grep's `pattern: {context, selector}`: the snippet gives the parse, the selector the pattern
        (Rule(pattern=PatternSpec("class A { $F = $V }", "field_definition")), ["a = 1", "b = f(2)"], JS_CLASS, "javascript"),
        (Rule(pattern=PatternSpec("class A { $F = f($V) }", "field_definition")), ["b = f(2)"], JS_CLASS, "javascript"),
        # a metavariable alone stands for a node, never for a token (`(`, `,`, `<`)
        (Rule(pattern="$A", inside=Rule(kind="argument_list")), ["Base", "x", "y", "1", "print"]),
        (Rule(pattern="$_", inside=Rule(kind="type_arguments")), ["dyn A + Send"], "fn f(x: Box<dyn A + Send>) {}\n", "rust"),
    ],
)  # fmt: skip
def test_conditions(case):
    rule, expected, *where = case
    assert texts(rule, *where, utils={"printing": Rule(regex="^print")}) == expected


@pytest.mark.parametrize(
    "constraint, expected",
    [(Rule(regex="^p"), ["print(x)", "print(y, 1)"]), (Rule(kind="integer"), []), (Rule(pattern="h"), ["h(print)"]),
     (Rule(not_=Rule(regex="^print$")), ["h(print)"])],
)  # fmt: skip
def test_constraints(constraint, expected):
    rule = Rule(kind="call", has=Rule(field="function", pattern="$F"))
    assert texts(rule, "print(x)\nprint(y, 1)\nh(print)\nprint\n", constraints={"F": constraint}) == expected


N1, NAME = Rule(pattern="$N = 1"), "getUserName = 1\n"
TRY = "def f():\n    try:\n        g()\n    except:\n        pass\n"
F_OR_G = Rule(any=(Rule(pattern="f($A)"), Rule(pattern="g($B)")))


@pytest.mark.parametrize(
    "rule, source, transform, fix, expected",
    [
        # transforms feed the fix
        (N1, NAME, {"NEW": Convert("$N", "snakeCase")}, "$NEW = 1", "get_user_name = 1\n"),
        (N1, NAME, {"NEW": Convert("$N", "pascal_case")}, "$NEW = 1", "GetUserName = 1\n"),
        (N1, NAME, {"NEW": Convert("$N", "kebabCase")}, "x = '$NEW'", "x = 'get-user-name'\n"),
        (N1, NAME, {"NEW": Convert("$N", "upperCase")}, "$NEW = 1", "GETUSERNAME = 1\n"),
        (N1, NAME, {"NEW": Replace("$N", "^get", "fetch")}, "$NEW = 1", "fetchUserName = 1\n"),
        (N1, NAME, {"NEW": Substring("$N", 3, None)}, "$NEW = 1", "UserName = 1\n"),
        # the fix keeps the indentation of each match
        (Rule(pattern="assert $X == $Y", inside=TEST_CASE), PY, {}, "self.assertEqual($X, $Y)",
         PY.replace("assert a == b", "self.assertEqual(a, b)").replace("assert c == d", "self.assertEqual(c, d)")),
        # no pattern at the top: the plain way; a fix that does not parse alone is filled as text
        (Rule(kind="except_clause", not_=Rule(has=Rule(kind="identifier"))), TRY, {}, "except Exception:\n    pass",
         TRY.replace("except:", "except Exception:")),
        # a binding made by a sub-rule is available to the fix
        (Rule(kind="call", has=Rule(field="function", pattern="$F")), "g(1)\n", {}, "wrapped($F)", "wrapped(g)\n"),
        # One name, whichever form: a run where one node goes is its text, a node where a run goes a run of one.
        (Rule(pattern="f($$$A)"), "f(1, 2)\nf()\n", {}, "g($A)", "g(1, 2)\ng()\n"),
        (Rule(pattern="[$E for $Y in $Z]"), "x = [y for y in z]\n", {}, "list(map(f, $$$Z))", "x = list(map(f, z))\n"),
        # A name a branch of the rule leaves unbound is nothing: not "()".
        (F_OR_G, "f(1)\ng(2)\n", {}, "h($A)", "h(1)\nh()\n"),
        (F_OR_G, "f(1)\ng(2)\n", {}, "h($$$A)", "h(1)\nh()\n"),
        # a metavariable inside a string is put there as its text
        (Rule(pattern="check($X)"), 'check(a == "b")\n', {}, 'log($X, "failed: $X")', 'log(a == "b", "failed: a == \\"b\\"")\n'),
        # a transform's text goes in as it stands: a string's inside, quoted anew, keeps its escapes
        (Rule(pattern="log($S)"), 'log("it\\x27s\\n")\n', {"T": Substring("$S", 1, -1)}, "log('$T')",
         "log('it\\x27s\\n')\n"),
    ],
)  # fmt: skip
def test_fixes(rule, source, transform, fix, expected):
    out = fixed(rule, source, fix, transform=transform)
    assert out == expected
    compile(out, "<fix>", "exec")


def test_js_fixes_and_a_statement_fix_runs_in_node(tmp_path):
    assert fixed(Rule(pattern='f("$A")'), 'f("x");\n', 'g("$A")', "javascript") == 'g("x");\n'
    rule = Rule(pattern="console.warn($$$A)", inside=Rule(kind="expression_statement"))
    src = "const DEBUG = false;\nconsole.warn('a', 1);\nconst w = f(console.warn('b'));\nfunction f(x) { return x; }\n"
    out = fixed(rule, src, "if (DEBUG) console.warn($$$A)", "javascript")
    assert out.count("if (DEBUG)") == 1 and "f(console.warn('b'))" in out
    node = shutil.which("node") or shutil.which("nodejs")
    if node is None:
        pytest.skip("node is not installed")
    (tmp_path / "a.js").write_text(out)
    run = subprocess.run([node, str(tmp_path / "a.js")], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stderr == "b\n"


# Taking an item out with the comma next to it keeps the node holding the items
# of its kind: a tuple of two left with one stays a tuple (the comma before the
# item is kept), and what no comma can keep is left as it is.
@pytest.mark.parametrize(
    "source, expand, fixed_source, left",
    [
        ("a = (1, 2)\nb = (1, 2, 3)\nc = [1, 2]\nd = f(1, 2)\ne = ((0, 2), 2)\n", "start",
         "a = (1,)\nb = (1, 3)\nc = [1]\nd = f(1)\ne = ((0,),)\n", 0),
        ("a = (2, 1)\nb = (2, 1, 3)\nc = 2, 1\nd = [2, 1]\n", "end", "a = (2, 1)\nb = ( 1, 3)\nc = 2, 1\nd = [ 1]\n", 2),
        ("y = 1, 2\n", "start", "y = 1,\n", 0),
    ],
)  # fmt: skip
def test_an_item_taken_out_leaves_its_container_of_its_kind(source, expand, fixed_source, left):
    comma = Rule(regex="^,$")
    config = RuleConfig("r", "python", Rule(pattern="2"), fix="", **{f"expand_{expand}": comma})
    why: list[str] = []
    t = parse("python", source)
    m = matcher(config)
    fixes = m.fixes(t, left_alone=why)
    out = "".join(_spliced_for_test(str(t), fixes))
    assert (out, len(why)) == (fixed_source, left), why
    kinds = {k: type(v) for k, v in _globals_of(source).items()}
    assert {k: type(v) for k, v in _globals_of(out).items()} == kinds


def _spliced_for_test(text, fixes):
    at = 0
    for _, new, (a, b) in fixes:
        yield text[at:a] + str(new)
        at = b
    yield text[at:]


def _globals_of(code):
    scope = {"f": lambda *a: a}
    exec(code, scope)
    return {k: v for k, v in scope.items() if k not in ("f", "__builtins__")}


@pytest.mark.parametrize("fix", ["h($W)", "g($$$A, $A)", "h($$$NOPE)"])
def test_a_fix_naming_what_the_rule_cannot_bind_is_refused(fix):
    with pytest.raises(ValueError, match=r"\$"):
        matcher(RuleConfig("r", "python", Rule(pattern="f($$$A)"), fix=fix))


def test_matchers_pickle():
    m = matcher(
        RuleConfig("r", "python", Rule(pattern="print($A)", inside=Rule(kind="expression_statement")))
    )
    again = pickle.loads(pickle.dumps(m))
    assert [str(f.term) for f in again.find_all(parse("python", PY))] == ["print(x)"]


@pytest.mark.parametrize(
    "lang, rule, src",
    [
        ("php", Rule(pattern="echo $X;", inside=Rule(kind="if_statement", stop_by="end")), "<?php\nIF ($a) { ECHO $b; }\n"),
        ("c", Rule(any=[Rule(pattern="#include $A\n"), Rule(pattern="#define $A $B\n")]), "#  include <a.h>\n"),
        ("python", Rule(pattern="print($X)", has=Rule(pattern='"$A"', stop_by="end")), 'print("a")\n'),
    ],
)  # fmt: skip
def test_a_file_is_searched_when_it_holds_a_match(lang, rule, src):
    # Every word the rule says a file must hold is in this one, which has a match.
    m = matcher(RuleConfig("r", lang, rule))
    assert list(m.find_all(parse(lang, src))) and all(w in src for w in m.words)


# Code holding nodes whose kind a keyword of the same text shares.
SHARED = {
    "python": "def f():\n    yield\n    x = yield 1\n    await g(lambda: 2)\ntype X = int\ndef h(a: int): pass\n",
    "java": "sealed class A permits B { void f() throws E { assert x; } }",
    "ruby": "x = nil\nif a then b else c end\nbegin\n  redo\nrescue\n  retry\nensure\n  next\nend\n",
    "php": "<?php function f(?float $x): string { return null; }",
    "typescript": "let a: string = ''; let b: number; class C { m(): object { return null; } }",
    "cpp": "auto f() noexcept -> decltype(x);",
}


@pytest.mark.parametrize("lang", sorted(SHARED))
def test_a_kind_a_keyword_shares_means_the_node(lang):
    """``kind`` finds the nodes ast-grep finds, never the keyword of the same text."""
    sg = pytest.importorskip("ast_grep_py")
    from kovel.quasi.shape import shared_tags

    root = sg.SgRoot(SHARED[lang], lang).root()
    checked = 0
    for kind in sorted(shared_tags(lang)):
        try:
            theirs = [n.text() for n in root.find_all(kind=kind)]
        except RuntimeError:
            continue  # a kind ast-grep does not take
        assert texts(Rule(kind=kind), SHARED[lang], lang) == theirs, kind
        checked += bool(theirs)
    assert checked >= 1


@pytest.mark.parametrize(
    "rule",
    [
        Rule(),
        Rule(stop_by="end"),
        Rule(kind="call", inside=Rule(field="body")),
        Rule(any=(Rule(kind="call"), Rule())),
    ],
)
def test_a_rule_without_a_condition_is_refused_as_in_a_rule_file(rule):
    with pytest.raises(ValueError, match="condition"):
        matcher(RuleConfig("r", "python", rule))


def test_a_rule_says_what_is_wrong_with_it_when_compiled():
    with pytest.raises(ValueError, match="stop_by"):
        matcher(RuleConfig("r", "python", Rule(inside=Rule(kind="call", stop_by="bogus"))))  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="nth_child"):
        matcher(RuleConfig("r", "python", Rule(nth_child=1.5)))  # type: ignore[arg-type]
    odd = matcher(
        RuleConfig("r", "python", Rule(kind="integer", nth_child="2n+1"))
    )  # a formula, as YAML writes it
    assert [str(f.term) for f in odd.find_all(parse("python", "f(1, 2, 3)\n"))] == ["1", "3"]


# Constraints judge a value where it stands: around it as well as inside it.
CONSTRAINED = "def f():\n    g(1)\n    g(-2)\ng(3)\nclass C:\n    g(4)\n"
CONSTRAINTS = [
    {"inside": {"kind": "argument_list"}},
    {"not": {"inside": {"kind": "function_definition", "stopBy": "end"}}},
    {"inside": {"kind": "class_definition", "stopBy": "end"}},
    {"nthChild": 1},
    {"nthChild": {"position": 1, "reverse": True}},
    {"has": {"kind": "integer"}},
    {"follows": {"kind": "identifier"}},
    {"regex": "^[12]"},
    {"any": [{"inside": {"kind": "block", "stopBy": "end"}}, {"regex": "3"}]},
]


@pytest.mark.parametrize("constraint", CONSTRAINTS)
def test_a_constraint_judges_the_value_where_it_stands(constraint):
    sg = pytest.importorskip("ast_grep_py")
    config = {"rule": {"pattern": "g($A)"}, "constraints": {"A": constraint}}
    theirs = [n.range().start.line for n in sg.SgRoot(CONSTRAINED, "python").root().find_all(config)]
    ours = parse_rules(
        "id: r\nlanguage: python\nrule: {pattern: 'g($A)'}\nconstraints:\n  A: "
        + json.dumps(constraint)
        + "\n"
    )
    for with_fix in (False, True):  # (a rule with a fix is searched with the whole term)
        config = ours[0] if not with_fix else dataclasses.replace(ours[0], fix="h($A)")
        found = matcher(config).find_all(parse("python", CONSTRAINED))
        assert [CONSTRAINED.count("\n", 0, f.span[0]) for f in found] == theirs, constraint


NESTED_CALLS = "x = f(g(h(1)))\ny = k(2)\n"


@pytest.mark.parametrize(
    ("utils", "rule", "lines"),
    [
        # a call whose argument is an integer or such a call: through `has`, the rule ends
        ({"nested": "{any: [{kind: integer}, {kind: call, has: {kind: argument_list, has: {matches: nested}}}]}"},
         "{matches: nested, kind: call}", ["f(g(h(1)))", "g(h(1))", "h(1)", "k(2)"]),
        # down and up again to the same node: it holds not there, and the search ends
        ({"loop": "{kind: call, has: {kind: argument_list, has: {inside: {matches: loop, stopBy: end}}}}"},
         "{matches: loop}", []),
    ],
)  # fmt: skip
def test_a_utility_rule_may_reach_itself_through_other_nodes(utils, rule, lines):
    text = "id: r\nlanguage: python\nutils:\n" + "".join(f"  {k}: {v}\n" for k, v in utils.items())
    (config,) = parse_rules(text + f"rule: {rule}\n")
    assert [str(f.term) for f in matcher(config).find_all(parse("python", NESTED_CALLS))] == lines
    with pytest.raises(ValueError, match="refers to itself"):  # at the same node it would never end
        matcher(
            parse_rules("id: r\nlanguage: python\nutils:\n  a: {any: [{matches: a}]}\nrule: {matches: a}\n")[
                0
            ]
        )


@pytest.mark.parametrize("depth", [50, 3000])
def test_a_long_chain_of_utility_rules_matches_or_is_refused(depth):
    # Each names the next: short chains work, a chain past what can be followed
    # is a rule error, never a crash.
    utils = {f"u{i}": Rule(matches=f"u{i + 1}") for i in range(depth)} | {f"u{depth}": Rule(kind="call")}
    config = RuleConfig("r", "python", Rule(matches="u0"), utils=utils)
    try:
        m = matcher(config)
    except ValueError as exc:
        assert depth > 500 and "nest too deeply" in str(exc)
    else:
        assert [str(f.term) for f in m.find_all(parse("python", "f(1)\n"))] == ["f(1)"]


@pytest.mark.parametrize(
    ("rule", "error", "names"),
    [
        (Rule(kind=5), TypeError, "kind"),
        (Rule(pattern=3), TypeError, "pattern"),
        (Rule(kind="call", has="x"), TypeError, "has"),
        (Rule(any=(Rule(kind="call"), "x")), TypeError, "any"),
        (Rule(regex="("), re.error, "'\\('"),
    ],
)  # fmt: skip
def test_a_rule_of_the_wrong_types_names_its_field(rule, error, names):
    with pytest.raises(error, match=names):
        matcher(RuleConfig("r", "python", rule))


def _lists_under_calls(code):
    """The (line, column) of each list literal, and whether a call holds it, as Python reads the code."""
    import ast

    out = {}

    def visit(node, in_call):
        if isinstance(node, ast.List):
            out[(node.lineno, node.col_offset)] = in_call
        for child in ast.iter_child_nodes(node):
            visit(child, in_call or isinstance(node, ast.Call))

    visit(ast.parse(code), False)
    return out


@pytest.mark.parametrize(
    "code",
    [
        "x = [f([1, [2]]), [3]]\n",
        "g([h(a, [b, [c]]), [d]], [e])\n[[f([1])]]\n",
        "x = " + "[f(" * 40 + "1" + ")]" * 40 + "\n",
        "x = "
        + "[" * 150
        + "f([" * 20
        + "a"
        + "])" * 20
        + "]" * 150
        + "\n",  # (Python's parser goes no deeper)
    ],
    ids=["mixed", "siblings", "alternating", "deep"],
)
def test_inside_to_the_end_finds_each_nodes_nearest_ancestor(code):
    def found(rule):
        return {f.span[0] for f in matcher(RuleConfig("r", "python", rule)).find_all(parse("python", code))}

    starts = [0] + [i + 1 for i, c in enumerate(code) if c == "\n"]
    expected = {starts[line - 1] + col: v for (line, col), v in _lists_under_calls(code).items()}
    inside = Rule(kind="call", stop_by="end")
    assert found(Rule(kind="list", inside=inside)) == {k for k, v in expected.items() if v}
    assert found(Rule(kind="list", not_=Rule(inside=inside))) == {k for k, v in expected.items() if not v}


# The file's node is matched once, from its first node: the blank lines and byte
# order mark before it are kept by its fix, as ast-grep keeps them.
@pytest.mark.parametrize(
    "lang, src, spans, out",
    [
        ("javascript", "\n\n", [(2, 2)], '\n\n"use strict";\n'),
        ("javascript", "\ufeff", [(1, 1)], '\ufeff"use strict";\n'),
        ("javascript", "", [(0, 0)], '"use strict";\n'),
        ("javascript", "\ufefflet a = 1;\n", [(1, 12)], '\ufeff"use strict";\n'),
        ("javascript", "\n\nlet a = 1;\n", [(2, 13)], '\n\n"use strict";\n'),
        ("python", "\ufeff\n# c\nx = 1\n", [(2, 12)], '\ufeff\n"use strict";\n'),
        ("python", "  \n", [(3, 3)], '  \n"use strict";\n'),
    ],
)
def test_the_files_node_is_matched_once_and_its_fix_keeps_what_comes_before(lang, src, spans, out):
    kind = "program" if lang == "javascript" else "module"
    m = matcher(RuleConfig("r", lang, Rule(kind=kind), fix='"use strict";\n'))
    assert [f.span for f in m.find_all(parse(lang, src))] == spans
    assert str(m.rewrite(parse(lang, src))) == out


# A fix written as a YAML block (`fix: |`) ends with a line break that ends no
# match: it is the fix without it, in every language, at a block's end too.
@pytest.mark.parametrize(
    "lang, src, pat, fix",
    [
        ("go", "package main\n\nfunc main() {\n\tfoo(1)\n\tfoo(2)\n}\n", "foo($A)", "bar($A)\n"),
        ("go", "package p\n\nfunc f() error {\n\tif err != nil {\n\t\treturn err\n\t}\n\treturn nil\n}\n",
         "if err != nil {\n\treturn err\n}", "if err != nil {\n\treturn wrap(err)\n}\n"),
        ("python", "def f():\n    foo(1)\n", "foo($A)", "bar($A)\n"),
        ("javascript", "function f() {\n  foo(1);\n}\n", "foo($A);", "bar($A);\r\n"),
    ],
)  # fmt: skip
def test_a_fix_ending_with_a_line_break_is_the_fix_without_it(lang, src, pat, fix):
    bare = fixed(Rule(pattern=pat), src, fix.rstrip("\r\n"), lang)
    assert bare != src and fixed(Rule(pattern=pat), src, fix, lang) == bare


# The Python objects are held to what the rule-file reader holds them to.
@pytest.mark.parametrize(
    "config",
    [
        RuleConfig(
            "r", "python", Rule(pattern="f($A)"), transform={"T": Replace("$A", "1", "$1")}, fix="g($T)"
        ),
        RuleConfig("r", "python", Rule(pattern="f($A)"), transform={"T": Replace("$A", "(?P<x>1)", "${y}")}),
        RuleConfig("r", "python", Rule(range=Range(-1, 0, 0, 1))),
        RuleConfig("r", "python", Rule(kind="parameters", follows=Rule(kind="identifier", field="name"))),
        RuleConfig("r", "python", Rule(kind="block", precedes=Rule(kind="identifier", field="body"))),
    ],
)
def test_what_a_rule_file_may_not_say_nor_may_an_object(config):
    with pytest.raises(ValueError):
        matcher(config)


def test_transforms_are_worked_out_after_what_they_take():
    # (a mapping has no order: SHORT is written before the UP it takes)
    config = RuleConfig(
        "r", "python", Rule(pattern="$F($$$A)", not_=Rule(regex="^log")),
        transform={"SHORT": Substring("$UP", 1, None), "UP": Convert("$F", "upperCase"), "LOW": Convert("$SHORT", "lowerCase")},
        fix="log($SHORT, $LOW, $$$A)",
    )  # fmt: skip
    assert (
        str(matcher(config).rewrite(parse("python", "print(1)\nfoo()\n")))
        == "log(RINT, rint, 1)\nlog(OO, oo)\n"
    )


@pytest.mark.parametrize(("rule", "found"), [({"all": []}, ["f(1, 2)"]), ({"any": []}, [])])
def test_empty_all_holds_and_empty_any_does_not(rule, found):
    (config,) = parse_rules(f"id: r\nlanguage: python\nrule: {{kind: call, has: {json.dumps(rule)}}}\n")
    got = [str(f.term) for f in matcher(config).find_all(parse("python", "f(1, 2)\n"))]
    assert got == found
    sg = pytest.importorskip("ast_grep_py")
    root = sg.SgRoot("f(1, 2)\n", "python").root()
    assert [n.text() for n in root.find_all({"rule": {"kind": "call", "has": rule}})] == found
