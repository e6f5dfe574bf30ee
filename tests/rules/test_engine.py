"""The rule engine: each condition, their combinations, constraints, transforms and fixes."""

import pytest

pytest.importorskip("tree_sitter_python")

from kovel.rules import Convert, PatternSpec, Replace, Rule, RuleConfig, Substring, matcher  # noqa: E402
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


ASSERTS = ["assert a == b", "assert c == d", "assert e == f", "assert i == j"]
G_BODY = "print(x)\n    print(y, 1)\n    return h(print)"
TEST_CASE = Rule(kind="class_definition", stop_by="end", has=Rule(field="name", regex="TestCase$"))


@pytest.mark.parametrize(
    "rule, expected",
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
    ],
)  # fmt: skip
def test_conditions(rule, expected):
    assert texts(rule, utils={"printing": Rule(regex="^print")}) == expected


def test_metavariables_agree_across_sub_rules():
    src = "f(a, a)\nf(a, b)\n"
    rule = Rule(pattern="f($X, $Y)", has=Rule(stop_by="end", kind="identifier", pattern="$X", nth_child=2))
    assert texts(rule, src) == ["f(a, a)"]


@pytest.mark.parametrize(
    "constraint, expected",
    [
        (Rule(regex="^p"), ["print(x)", "print(y, 1)"]),
        (Rule(kind="integer"), []),
        (Rule(pattern="h"), ["h(print)"]),
        (Rule(not_=Rule(regex="^print$")), ["h(print)"]),
    ],
)
def test_constraints(constraint, expected):
    src = "print(x)\nprint(y, 1)\nh(print)\nprint\n"
    rule = Rule(kind="call", has=Rule(field="function", pattern="$F"))
    assert texts(rule, src, constraints={"F": constraint}) == expected


def converted(how):
    return {"NEW": Convert("$N", how)}


TRY = "def f():\n    try:\n        g()\n    except:\n        pass\n"
FIXES = [
    # transforms feed the fix
    (Rule(pattern="$N = 1"), "getUserName = 1\n", converted("snakeCase"), "$NEW = 1", "get_user_name = 1\n"),
    (Rule(pattern="$N = 1"), "getUserName = 1\n", converted("pascal_case"), "$NEW = 1", "GetUserName = 1\n"),
    (Rule(pattern="$N = 1"), "getUserName = 1\n", converted("kebabCase"), "x = '$NEW'", "x = 'get-user-name'\n"),
    (Rule(pattern="$N = 1"), "getUserName = 1\n", converted("upperCase"), "$NEW = 1", "GETUSERNAME = 1\n"),
    (Rule(pattern="$N = 1"), "getUserName = 1\n", {"NEW": Replace("$N", "^get", "fetch")}, "$NEW = 1", "fetchUserName = 1\n"),
    (Rule(pattern="$N = 1"), "getUserName = 1\n", {"NEW": Substring("$N", 3, None)}, "$NEW = 1", "UserName = 1\n"),
    # the fix keeps the indentation of each match
    (Rule(pattern="assert $X == $Y", inside=TEST_CASE), PY, {}, "self.assertEqual($X, $Y)",
     PY.replace("assert a == b", "self.assertEqual(a, b)").replace("assert c == d", "self.assertEqual(c, d)")),
    # no pattern at the top: the plain way; a fix that does not parse alone is filled as text
    (Rule(kind="except_clause", not_=Rule(has=Rule(kind="identifier"))), TRY, {}, "except Exception:\n    pass",
     TRY.replace("except:", "except Exception:")),
    # a binding made by a sub-rule is available to the fix
    (Rule(kind="call", has=Rule(field="function", pattern="$F")), "g(1)\n", {}, "wrapped($F)", "wrapped(g)\n"),
]  # fmt: skip


@pytest.mark.parametrize("rule, source, transform, fix, expected", FIXES)
def test_fixes(rule, source, transform, fix, expected):
    r = RuleConfig("r", "python", rule, transform=transform, fix=fix)
    out = str(matcher(r).rewrite(parse("python", source)))
    assert out == expected
    compile(out, "<fix>", "exec")


def test_js_statement_fix_runs_in_node(tmp_path):
    import shutil
    import subprocess

    node = shutil.which("node") or shutil.which("nodejs")
    rule = Rule(pattern="console.warn($$$A)", inside=Rule(kind="expression_statement"))
    r = RuleConfig("r", "javascript", rule, fix="if (DEBUG) console.warn($$$A)")
    src = "const DEBUG = false;\nconsole.warn('a', 1);\nconst w = f(console.warn('b'));\nfunction f(x) { return x; }\n"
    out = str(matcher(r).rewrite(parse("javascript", src)))
    assert out.count("if (DEBUG)") == 1 and "f(console.warn('b'))" in out
    if node is None:
        pytest.skip("node is not installed")
    (tmp_path / "a.js").write_text(out)
    run = subprocess.run([node, str(tmp_path / "a.js")], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stderr == "b\n"


def test_matchers_pickle():
    import pickle

    m = matcher(
        RuleConfig("r", "python", Rule(pattern="print($A)", inside=Rule(kind="expression_statement")))
    )
    again = pickle.loads(pickle.dumps(m))
    assert [str(f.term) for f in again.find_all(parse("python", PY))] == ["print(x)"]


def test_a_pattern_with_context_and_selector():
    # As ast-grep's `pattern: {context, selector}`: the snippet gives the parse,
    # the selector the node in it that is the pattern.
    js = "class K {\n  a = 1;\n  b = f(2);\n  m() { const c = 3; }\n}\nconst d = 4;\n"
    rule = Rule(pattern=PatternSpec("class A { $F = $V }", "field_definition"))
    assert texts(rule, js, "javascript") == ["a = 1", "b = f(2)"]
    narrowed = Rule(pattern=PatternSpec("class A { $F = f($V) }", "field_definition"))
    assert texts(narrowed, js, "javascript") == ["b = f(2)"]


@pytest.mark.parametrize(
    "lang, rule, src",
    [
        ("php", Rule(pattern="echo $X;", inside=Rule(kind="if_statement", stop_by="end")),
         "<?php\nIF ($a) { ECHO $b; }\n"),
        ("c", Rule(any=[Rule(pattern="#include $A\n"), Rule(pattern="#define $A $B\n")]), "#  include <a.h>\n"),
        ("python", Rule(pattern="print($X)", has=Rule(pattern='"$A"', stop_by="end")), 'print("a")\n'),
    ],
)  # fmt: skip
def test_a_file_is_searched_when_it_holds_a_match(lang, rule, src):
    # Every word the rule says a file must hold is in this one, which has a match.
    m = matcher(RuleConfig("r", lang, rule))
    assert list(m.find_all(parse(lang, src)))
    assert all(w in src for w in m.words)


@pytest.mark.parametrize(
    "lang, src, pat, fix, out",
    [
        ("javascript", 'f("x");\n', 'f("$A")', 'g("$A")', 'g("x");\n'),
        ("python", 'check(a == "b")\n', "check($X)", 'log($X, "failed: $X")', 'log(a == "b", "failed: a == \\"b\\"")\n'),
    ],
)  # fmt: skip
def test_a_fix_puts_a_metavariable_inside_a_string_as_its_text(lang, src, pat, fix, out):
    m = matcher(RuleConfig("r", lang, Rule(pattern=pat), fix=fix))
    assert str(m.rewrite(parse(lang, src))) == out


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
    "rule, fix, source, expected",
    [
        # One name, whichever form: a run where one node goes is its text, a node where a run goes a run of one.
        (Rule(pattern="f($$$A)"), "g($A)", "f(1, 2)\nf()\n", "g(1, 2)\ng()\n"),
        (
            Rule(pattern="[$E for $Y in $Z]"),
            "list(map(f, $$$Z))",
            "x = [y for y in z]\n",
            "x = list(map(f, z))\n",
        ),
        # A name a branch of the rule leaves unbound is nothing: not "()".
        (Rule(any=(Rule(pattern="f($A)"), Rule(pattern="g($B)"))), "h($A)", "f(1)\ng(2)\n", "h(1)\nh()\n"),
        (Rule(any=(Rule(pattern="f($A)"), Rule(pattern="g($B)"))), "h($$$A)", "f(1)\ng(2)\n", "h(1)\nh()\n"),
    ],
)
def test_fix_holes_take_what_the_match_bound(rule, fix, source, expected):
    out = str(matcher(RuleConfig("r", "python", rule, fix=fix)).rewrite(parse("python", source)))
    assert out == expected
    compile(out, "<fixed>", "exec")


@pytest.mark.parametrize("fix", ["h($W)", "g($$$A, $A)", "h($$$NOPE)"])
def test_a_fix_naming_what_the_rule_cannot_bind_is_refused(fix):
    with pytest.raises(ValueError, match=r"\$"):
        matcher(RuleConfig("r", "python", Rule(pattern="f($$$A)"), fix=fix))
