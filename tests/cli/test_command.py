"""The `kovel` command, run as a subprocess on a small tree of Python, JavaScript and C files."""

import difflib
import json
import os
import resource
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from tests.helpers import kovel, write_files

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_javascript")
pytest.importorskip("tree_sitter_c")

FILES = {
    "a.py": 'import sys\nif x:\n    print("héllo", 2)\nprint()\n',
    "b.js": "function f() {\n  print(1);\n}\n",
    "c.c": "int main(void) { print(1, 2); return 0; }\n",
    "sub/d.py": "def g():\n    return print(y)\n",
    "crlf.py": "x = 1\r\nprint(x)\r\n",
    "none.py": "x = 1\n",
    ".hidden/e.py": "print(3)\n",
    "notes.txt": "print(4)\n",
}
# What `print($$$A)` -> `log($$$A)` makes of each file that has a match.
REWRITTEN = {p: FILES[p].replace("print(", "log(") for p in ("a.py", "b.js", "c.c", "sub/d.py", "crlf.py")}
# The rewrite that the fault-injection tests run, in a pool of two workers.
WRITE_IN_POOL = ("rewrite", "-p", "print($$$A)", "-r", "log($$$A)", "--write", "--jobs", "2")
needs_git = pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")


@pytest.fixture
def tree(tmp_path):
    return write_files(tmp_path / "tree", FILES)


def contents(root):
    return {
        p.relative_to(root).as_posix(): p.read_bytes().decode("utf-8", "replace")
        for p in root.rglob("*")
        if p.is_file() and not p.is_symlink()
    }


def test_find_prints_each_match_with_its_line_or_json(tree):
    r = kovel(tree, "find", "-p", "print($$$A)", "--jobs", "2")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines() == [
        'a.py:3:5:     print("héllo", 2)',
        "a.py:4:1: print()",
        "b.js:2:3:   print(1);",
        "c.c:1:18: int main(void) { print(1, 2); return 0; }",
        "crlf.py:2:1: print(x)",
        "sub/d.py:2:12:     return print(y)",
    ]
    r = kovel(tree, "find", "--json", "-p", "print($$$A)", "a.py", "c.c", "--jobs", "1")
    rows = [(o["path"], o["lang"], o["start"], o["bindings"]) for o in map(json.loads, r.stdout.splitlines())]
    assert r.returncode == 0 and rows == [  # the JSON records' ranges: test_output
        ("a.py", "python", {"line": 3, "column": 5}, {"A": ['"héllo"', "2"]}),
        ("a.py", "python", {"line": 4, "column": 1}, {"A": []}),
        ("c.c", "c", {"line": 1, "column": 18}, {"A": ["1", "2"]}),
    ]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_rewrite_prints_a_diff_and_write_rewrites_in_place_keeping_the_mode(tree, jobs):
    before = contents(tree)
    rewrite = ("rewrite", "-p", "print($$$A)", "-r", "log($$$A)", "--jobs", jobs)
    r = kovel(tree, *rewrite, "a.py", "none.py")
    old, new = FILES["a.py"].splitlines(True), REWRITTEN["a.py"].splitlines(True)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "".join(difflib.unified_diff(old, new, "a/a.py", "b/a.py"))
    assert contents(tree) == before
    (tree / "a.py").chmod(0o751)
    r = kovel(tree, *rewrite, "--write", ".")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "kovel: 5 files rewritten\n")
    assert contents(tree) == {**FILES, **REWRITTEN} and (tree / "a.py").stat().st_mode & 0o777 == 0o751
    again = kovel(tree, *rewrite, "--write", ".")
    assert (again.returncode, again.stdout, again.stderr) == (1, "", "")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_rewrite_the_code_around_would_misread_is_parenthesised_or_left_alone(tmp_path, jobs):
    write_files(tmp_path, {"a.py": "y = g(x + 1) * 2\n", "b.py": "if c: g(1)\nz = g(2)\n"})
    r = kovel(tmp_path, "rewrite", "--write", "-j", jobs, "-p", "g($A)", "-r", "w = $A\nprint(w)", "b.py")
    assert r.returncode == 2 and "b.py: the replacement" in r.stderr and "not rewritten" in r.stderr
    assert (tmp_path / "b.py").read_text() == "if c: g(1)\nz = g(2)\n"  # left alone whole
    r = kovel(tmp_path, "rewrite", "--write", "-j", jobs, "-p", "g($A)", "-r", "$A", "a.py")
    assert r.returncode == 0 and (tmp_path / "a.py").read_text() == "y = (x + 1) * 2\n"


@pytest.mark.parametrize(
    "args, status, stdout, stderr",
    [
        (["find", "-p", "nothing_here($A)", "."], 1, "", "kovel: note: latin.js: skipped"),
        # a language the pattern does not parse as: a note in directories, an error when named
        (["find", "-p", "not $X", "."], 0, "n.py:1:5: y = not x\n", "2 javascript files in directories skipped"),
        (["find", "-p", "not $X", "b.js", "n.py"], 2, "n.py:1:5", "1 javascript file named on the command line skipped"),
        (["find", "-p", "print($$$A)", "missing.py", "a.py"], 2, "a.py:3:5", "kovel: missing.py: no such file or directory\n"),
        (["find", "-p", "print($$$A)", "notes.txt"], 2, "", "kovel: notes.txt: cannot tell the language"),
        # a file that is not UTF-8: a note when found, an error when named
        (["find", "-p", "print($$$A)", "."], 0, "a.py:3:5", "kovel: note: latin.js: skipped: not UTF-8 text (byte 10, line 1)"),
        (["find", "-p", "print($$$A)", "latin.js", "b.js"], 2, "b.js:2:3", "kovel: latin.js: skipped: not UTF-8 text"),
        (["rewrite", "-p", "print($$$A)", "-r", "log($$$A)", "latin.js", "b.js"], 2, "--- a/b.js", "kovel: latin.js: not rewritten: not UTF-8"),
        (["find", "-p", "nothing_here($A)", "latin.js"], 2, "", "kovel: latin.js: skipped: not UTF-8 text"),  # (whatever it lacks)
        (["scan", "-r", "r.yml", "latin.js"], 2, "", "kovel: latin.js: skipped: not UTF-8 text"),
        (["scan", "-r", "r.yml", "."], 0, "", "kovel: note: latin.js: skipped: not UTF-8 text"),
        (["find", "--lang", "python", "-p", "def (", "."], 2, "", "the pattern or rewrite does not parse as python"),
        (["find", "--lang", "nosuchlang", "-p", "x", "."], 2, "", "no tree-sitter grammar for 'nosuchlang'"),
        # ast-grep's names for a language, as in rule files
        (["find", "-l", "js", "-p", "print($$$A)", "b.js"], 0, "b.js:2:3", ""),
        (["find", "-l", "Py", "-p", "not $X", "n.py"], 0, "n.py:1:5", ""),
        (["rewrite", "-p", "print($$$A)", "."], 2, "", "the following arguments are required: -r/--rewrite"),
        (["find", "-p", "x", "-"], 2, "", "reading standard input ('-') needs --lang"),
        (["find", "-p", "x", "-l", "python", "-", "a.py"], 2, "", "'-' (standard input) cannot be mixed with other paths"),
        (["rewrite", "-p", "x", "-r", "y", "-l", "python", "--write", "-"], 2, "", "--write cannot write to standard input"),
        (["find", "-p", "x", "-j", "abc", "."], 2, "", "argument -j/--jobs: 'abc' is not a positive integer"),
        (["find", "-p", "x", "-j", "0", "."], 2, "", "argument -j/--jobs: '0' is not a positive integer"),
        (["find", "-p", "x", "--timeout", "soon", "."], 2, "", "argument --timeout: 'soon' is not a positive number"),
        (["find", "-p", "x", "--timeout", "3e6", "."], 2, "", "argument --timeout: '3e6' is not a positive number"),
        (["find", "-p", "x", "--cache", "n.py", "."], 2, "", "argument --cache: 'n.py' is not a directory"),
        (["rewrite", "-p", "x", "-r", "y", "-l", "python", "--json", "-"], 2, "", "--json cannot go with standard input"),
        (["find", "--json", "-c", "-p", "print($A)", "."], 2, "", "not allowed with"),
        (["rewrite", "-r", "x", "--json", "--write", "-p", "print($A)", "."], 2, "", "not allowed with"),
        (["rewrite", "-i", "-p", "print($A)", "-r", "log($A)", "."], 2, "", "--interactive needs a terminal"),
    ],
)  # fmt: skip
def test_exit_status_and_what_went_wrong(tree, args, status, stdout, stderr):
    rule = "id: r\nlanguage: javascript\nrule: {pattern: nothing_here($A)}\n"
    before = contents(
        write_files(tree, {"n.py": "y = not x\n", "latin.js": b'print("caf\xe9");\n', "r.yml": rule})
    )
    r = kovel(tree, *args, input="x\n")
    assert r.returncode == status and r.stdout.startswith(stdout) and (stdout or r.stdout == "")
    assert stderr in r.stderr and (stderr or r.stderr == "") and "_positive" not in r.stderr
    assert contents(tree) == before


def test_problem_files_are_reported_and_left_alone_while_the_rest_is_written(tree):
    (tree / "latin1.py").write_bytes(b"print('caf\xe9')\n")
    (tree / "broken.py").write_text("print(1 2)\nprint(3)\n")  # the error lies in the first match
    (tree / "elsewhere.py").write_text("def f(:\n    pass\nprint(3)\n")  # an error outside the match
    r = kovel(tree, "rewrite", "-p", "print($$$A)", "-r", "log($$$A)", "--write", ".")
    assert r.returncode == 2
    assert "kovel: note: latin1.py: not rewritten: not UTF-8 text (byte 10, line 1)" in r.stderr
    assert "kovel: broken.py: a syntax error at 1:9 lies in a match; left alone" in r.stderr
    after = contents(tree)
    assert (tree / "latin1.py").read_bytes() == b"print('caf\xe9')\n"
    assert (after["broken.py"], after["elsewhere.py"]) == (
        "print(1 2)\nprint(3)\n",
        "def f(:\n    pass\nlog(3)\n",
    )
    assert after["a.py"] == REWRITTEN["a.py"]


def test_a_match_in_code_that_does_not_parse_is_said_to_be_there(tmp_path):
    # tree-sitter's recovery may wrap far more than the error in one node: the note says so
    (tmp_path / "e.cpp").write_text(
        '#ifdef X\nextern "C" {\n#endif\nint f(int *p) {\n  return p == NULL;\n}\n}\n}\n'
    )
    r = kovel(tmp_path, "rewrite", "-p", "$P == NULL", "-r", "$P == nullptr", "e.cpp")
    assert "e.cpp: a match lies in code that does not parse, from 1:1 to 8:2; left alone" in r.stderr


@pytest.mark.parametrize("mode", ["diff", "write", "force"])
def test_a_rewrite_that_breaks_the_syntax_or_would_no_longer_compile_needs_force(tree, mode):
    # tree-sitter parses `return 1` anywhere, Python only in a function; `y = return 1`
    # does not parse at all: that match is left as it is, --force or not.
    files = {"assign.py": "y = print(1)\n", "mod.py": "print(1)\n", "fn.py": "def f():\n    print(1)\n"}
    flags = {"diff": [], "write": ["--write"], "force": ["--write", "--force"]}[mode]
    write_files(tree, files)
    r = kovel(tree, "rewrite", "-p", "print($A)", "-r", "return $A", *flags, *files, "-j", "2")
    new = {name: text.replace("print(1)", "return 1") for name, text in files.items()}
    want = {
        "diff": files,
        "write": {**files, "fn.py": new["fn.py"]},
        "force": {**new, "assign.py": files["assign.py"]},
    }
    assert {name: (tree / name).read_text() for name in files} == want[mode]
    assert ("+return 1" in r.stdout) == (mode == "diff")  # the diff still shows them
    assert r.returncode == 2
    assert (
        "assign.py: the replacement 'return 1' of 'print(1)' at 1:5 would not parse where it stands"
        in r.stderr
    )
    if mode == "force":
        assert r.stderr.endswith("kovel: 2 files rewritten\n")
        return
    then = "shown, but --write will skip it" if mode == "diff" else "not written (--force writes it)"
    assert (
        f"mod.py: Python rejects the rewritten file: 'return' outside function (line 1); {then}" in r.stderr
    )


@pytest.mark.parametrize(
    "jobs, pattern, rewrite, unbound",
    [("1", "print($A)", "log($B)", "$B"), ("2", "print($$$A)", "log($$$A, $$$MORE)", "$$$MORE")],
)
def test_a_rewrite_using_an_unbound_metavariable_is_one_usage_error(tree, jobs, pattern, rewrite, unbound):
    before = contents(tree)
    r = kovel(tree, "rewrite", "-p", pattern, "-r", rewrite, "--write", "--jobs", jobs, ".")
    assert (r.returncode, r.stdout) == (2, "")
    assert r.stderr.startswith(f"kovel: the rewrite uses {unbound}, which the pattern does not bind")
    assert len(r.stderr.splitlines()) == 1  # not once per file, nor per language
    assert contents(tree) == before


@pytest.mark.parametrize(
    "hook, extra, reason",
    [
        (("kill", "b.js"), [], "kovel: b.js: worker failed: the worker process died (exit code -9: killed"),
        (("hang", "b.js"), ["--timeout", "3"],
         "kovel: b.js: timed out: no result after 3 s; worker killed; --timeout SECONDS raises the limit"),
        (("edit", "b.js"), [], "kovel: b.js: changed on disk since it was read; not written"),
    ],
)  # fmt: skip
def test_a_killed_hung_or_changed_file_loses_that_file_only(tree, hook, extra, reason):
    r = kovel(tree, *WRITE_IN_POOL, *extra, ".", hook=hook)
    assert r.returncode == 2 and reason in r.stderr
    edited = "# edited meanwhile\n" if hook[0] == "edit" else ""
    assert contents(tree) == {**FILES, **REWRITTEN, "b.js": FILES["b.js"] + edited}


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_time_limit_holds_with_any_number_of_jobs(tree, jobs):
    # A file that hangs as it is read, and one whose matching alone would take minutes
    # (the call holds every text of the pattern, so it is parsed and searched).
    (tree / "slow.py").write_text("f(1, " + ", ".join(["0"] * 800) + ")\nx = 1\n")
    pattern = "f($$$A, $$$B, $$$C, $$$A, $$$B, $$$C, 1)"
    args = ("find", "--jobs", jobs, "--timeout", "2", "-p", pattern, "slow.py", "b.js")
    r = kovel(tree, *args, hook=("hang", "b.js"))
    assert r.returncode == 2
    for name in ("slow.py", "b.js"):
        assert f"kovel: {name}: timed out: no result after 2 s; worker killed" in r.stderr


# The Perl grammar's scanner loops forever on "t#" without a final line feed,
# where no clock is read: only killing the process that parses stops it.
@pytest.mark.parametrize(
    ("args", "files", "says"),
    [
        (("find", "-j", "1", "-l", "perl", "-p", "$A", "a.pl"), {"a.pl": "t#"}, "a.pl: timed out"),
        (("find", "-l", "perl", "-p", "t#", "a.pl"), {"a.pl": "print 1;\n"}, "cannot compile the pattern"),
        (("scan", "-j", "1", "-r", "r.yml", "a.pl"), {"a.pl": "print 1;\n"}, "rule h: cannot compile"),
    ],
)
def test_a_grammar_stuck_in_its_scanner_is_stopped(tmp_path, args, files, says):
    write_files(tmp_path, {**files, "r.yml": 'id: h\nlanguage: perl\nrule:\n  pattern: "t#"\n'})
    r = kovel(tmp_path, *args, "--timeout", "2")
    assert r.returncode == 2 and says in r.stderr


C_FREES = "void g(void);\nvoid f(int *p, int *q) {\n  if (p) free(p); else g();\n  free(q);\n}\n"
C_GUARDED = (
    "void g(void);\nvoid f(int *p, int *q) {\n  if (p) free(p); else g();\n  if (q) {\n    free(q);\n  }\n}\n"
)


@pytest.mark.parametrize(
    "args",
    [
        ("rewrite", "--write", "-p", "free($X);", "-r", "if ($X) {\n  free($X);\n}", "a.c"),
        ("scan", "--fix", "-r", "r.yml", "a.c"),
    ],
)
def test_a_replacement_the_code_around_would_misread_is_left_alone_the_rest_written(tmp_path, args):
    # Put in place of `free(p);`, the block would take the `else` that follows it.
    rule = "id: guard\nlanguage: c\nrule: {pattern: 'free($X);'}\nfix: |-\n  if ($X) {\n    free($X);\n  }\n"
    write_files(tmp_path, {"a.c": C_FREES, "r.yml": rule})
    r = kovel(tmp_path, *args)
    assert r.returncode == 0 and "a.c: " in r.stderr and "read otherwise" in r.stderr, r.stderr
    assert (tmp_path / "a.c").read_text() == C_GUARDED
    cc = shutil.which("cc")
    if cc is not None:
        done = subprocess.run(
            [cc, "-fsyntax-only", "-include", "stdlib.h", str(tmp_path / "a.c")], capture_output=True
        )
        assert done.returncode == 0, done.stderr


UNWRAPS = [
    ("a.py", "if True:\n    $$$BODY", "def f():\n    while c:\n        if True:\n            x = 1\n            y = 2\n    z = 0\n",
     "def f():\n    while c:\n        x = 1\n        y = 2\n    z = 0\n"),
    # the block as the one statement of an `if` would leave it the first statement alone
    ("a.js", "if (true) { $$$BODY }", "function f() {\n  if (c) if (true) { a(); b(); }\n  if (true) { d(); e(); }\n}\n",
     "function f() {\n  if (c) if (true) { a(); b(); }\n  d(); e();\n}\n"),
    ("a.c", "if (1) { $$$BODY }", "void a(void);\nvoid f(int c) {\n  while (c) if (1) { a(); a(); }\n  if (1) { a(); a(); }\n}\n",
     "void a(void);\nvoid f(int c) {\n  while (c) if (1) { a(); a(); }\n  a(); a();\n}\n"),
]  # fmt: skip


# A statement put where only an expression or a one-line body stands would not parse.
GUARDS = [
    ("a.py", "print($$$A)", "if DEBUG:\n    print($$$A)",
     "def f(a):\n    for x in a: print(x)\n    g = lambda: print(3)\n    print(1)\n",
     "def f(a):\n    for x in a: print(x)\n    g = lambda: print(3)\n    if DEBUG:\n        print(1)\n"),
    ("a.js", "console.log($$$A)", "if (DEBUG) { console.log($$$A); }",
     "const g = () => console.log(3);\nfunction f() {\n  console.log(1);\n}\n",
     "const g = () => console.log(3);\nfunction f() {\n  if (DEBUG) { console.log(1); };\n}\n"),
]  # fmt: skip


@pytest.mark.parametrize("name, pat, fix, source, out", GUARDS)
@pytest.mark.parametrize("how", ["rewrite", "scan"])
def test_a_statement_that_would_not_parse_where_it_lands_is_left_the_rest_written(
    tmp_path, name, pat, fix, source, out, how
):
    lang = {".py": "python", ".js": "javascript"}[Path(name).suffix]
    rule = f"id: guard\nlanguage: {lang}\nrule: {{pattern: {json.dumps(pat)}}}\nfix: {json.dumps(fix)}\n"
    write_files(tmp_path, {name: source, "r.yml": rule})
    args = (
        ("rewrite", "--write", "-p", pat, "-r", fix) if how == "rewrite" else ("scan", "--fix", "-r", "r.yml")
    )
    r = kovel(tmp_path, *args, name)
    assert r.returncode == 0 and "would not parse where it stands" in r.stderr, r.stderr
    assert (tmp_path / name).read_text() == out
    if name.endswith(".py"):
        compile(out, name, "exec")
    elif shutil.which("node") is not None:
        assert subprocess.run(["node", "--check", str(tmp_path / name)], capture_output=True).returncode == 0


@pytest.mark.parametrize("name, pat, source, out", UNWRAPS)
@pytest.mark.parametrize("how", ["rewrite", "scan"])
def test_a_block_unwrapped_into_several_statements(tmp_path, name, pat, source, out, how):
    lang = {".py": "python", ".js": "javascript", ".c": "c"}[Path(name).suffix]
    rule = f"id: unwrap\nlanguage: {lang}\nrule: {{pattern: {json.dumps(pat)}}}\nfix: $$$BODY\n"
    write_files(tmp_path, {name: source, "r.yml": rule})
    args = (
        ("rewrite", "--write", "-p", pat, "-r", "$$$BODY")
        if how == "rewrite"
        else ("scan", "--fix", "-r", "r.yml")
    )
    r = kovel(tmp_path, *args, name)
    assert r.returncode == 0 and (tmp_path / name).read_text() == out, r.stderr
    checks = {
        ".py": [sys.executable, "-m", "py_compile"],
        ".js": ["node", "--check"],
        ".c": ["cc", "-fsyntax-only"],
    }
    tool = checks[Path(name).suffix]
    if shutil.which(tool[0]) is not None:
        done = subprocess.run([*tool, str(tmp_path / name)], capture_output=True)
        assert done.returncode == 0, done.stderr


def test_a_fixed_file_that_hangs_its_check_is_not_written(tmp_path):
    # The check of the fixed text runs under the time limit too, in a worker.
    rule = "id: p\nlanguage: python\nrule: {pattern: print($A)}\nfix: log($A)\n"
    write_files(tmp_path, {"a.py": "print(1)\n", "r.yml": rule})
    r = kovel(tmp_path, "scan", "--fix", "--timeout", "2", "-r", "r.yml", "a.py", hook=("hang-judge", "a.py"))
    assert r.returncode == 2 and "a.py: the fixed file cannot be checked: timed out" in r.stderr
    assert (tmp_path / "a.py").read_text() == "print(1)\n"


def test_console_script_and_python_m_agree(tree):
    script = Path(sys.executable).with_name("kovel")
    if not script.exists():
        pytest.skip("the console script is not installed next to this interpreter")
    args = ["find", "--json", "-p", "print($$$A)", "."]
    theirs = subprocess.run([script, *args], cwd=tree, capture_output=True, text=True).stdout
    assert theirs == kovel(tree, *args).stdout


@pytest.mark.parametrize("hook, bar", [(None, False), (("slow", "a.py"), True)])
def test_progress_bar_on_a_terminal_for_runs_over_a_second(tree, hook, bar):
    pytest.importorskip("tqdm")
    pty, fcntl, termios = (pytest.importorskip(m) for m in ("pty", "fcntl", "termios"))
    master, slave = pty.openpty()
    # A terminal 80 columns wide: a bar is drawn to the terminal's width.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        r = kovel(tree, "find", "-p", "print($$$A)", "--jobs", "1", ".", hook=hook, stderr=slave)
        os.close(slave)
        shown = b""
        try:
            while chunk := os.read(master, 4096):
                shown += chunk
        except OSError:  # EIO: nothing more on the terminal
            pass
    finally:
        os.close(master)
    assert r.returncode == 0 and len(r.stdout.splitlines()) == 6  # the matches, on stdout only
    assert (b"/6 [" in shown) == bar


@pytest.mark.parametrize("action, status", [("interrupt", 130), ("die:replace", -9)])
def test_a_write_stopped_midway_leaves_each_file_old_or_new_and_no_stray_past_next_run(tree, action, status):
    # Files are written in path order; the run stops at c.c: interrupted, or killed between
    # linking the new text in and the rename (safewrite's tests take the other steps).
    r = kovel(tree, *WRITE_IN_POOL, ".", hook=(action, "c.c"))
    assert r.returncode == status and (status != 130 or "interrupted" in r.stderr)
    left, after = {**FILES, "a.py": REWRITTEN["a.py"], "b.js": REWRITTEN["b.js"]}, contents(tree)
    strays = [p for p in after if p not in left]
    assert {p: after[p] for p in left} == left and len(strays) == (status == -9)
    assert all(p.startswith(".c.c.") and p.endswith(".kovel-tmp") for p in strays)
    again = kovel(tree, *WRITE_IN_POOL, ".")
    assert (again.returncode, again.stderr) == (0, "kovel: 3 files rewritten\n")
    assert contents(tree) == {**FILES, **REWRITTEN}


@pytest.fixture(params=["plain", "git"])
def linked(request, tmp_path):
    """`repo/` with links in it: to a file inside, a file outside and a directory outside (`v/`)."""
    files = {"repo/a.py": "print(0)\n", "repo/sub/b.py": "print(1)\n", "v/mod.py": "print(2)\n"}
    repo = write_files(tmp_path, {**files, "v/pkg/o.py": "print(3)\n"}) / "repo"
    for name, target in (("inner.py", "sub/b.py"), ("helper.py", "../v/mod.py"), ("ext", "../v/pkg")):
        (repo / name).symlink_to(target)
    if request.param == "git":
        if shutil.which("git") is None:
            pytest.skip("git is not installed")
        subprocess.run(["git", "init", "-q", str(repo)], check=True)
        subprocess.run(["git", "-C", str(repo), "add", "-A"], check=True)
    return repo


OUTSIDE = "lies outside the paths given; not written"


@pytest.mark.parametrize(
    "paths, status, rewritten, refused",
    [
        (["."], 0, ["repo/a.py", "repo/sub/b.py"], []),  # links in directories are not followed
        (["-L", "."], 2, ["repo/a.py", "repo/sub/b.py"], ["helper.py", "ext/o.py"]),
        (["--follow", ".", "../v"], 0, ["repo/a.py", "repo/sub/b.py", "v/mod.py", "v/pkg/o.py"], []),
        (["helper.py"], 2, [], ["helper.py"]),  # named, the link is followed, but leads out
        (["inner.py"], 0, ["repo/sub/b.py"], []),  # named, and leads to a file inside
        (["sub/../helper.py"], 2, [], ["sub/../helper.py"]),
    ],
)
def test_write_never_leaves_the_paths_given(linked, paths, status, rewritten, refused):
    top = linked.parent
    before = contents(top)
    r = kovel(linked, "rewrite", "-p", "print($A)", "-r", "log($A)", "--write", *paths)
    assert r.returncode == status, r.stderr
    changed = {p: t for p, t in contents(top).items() if t != before[p]}
    assert changed == {p: before[p].replace("print", "log") for p in rewritten}
    for name in refused:
        assert f"kovel: {name}: resolves to {os.path.realpath(linked / name)}, which {OUTSIDE}" in r.stderr
    assert r.stderr.count(OUTSIDE) == len(refused)
    links = [os.readlink(linked / n) for n in ("inner.py", "helper.py", "ext")]
    assert links == ["sub/b.py", "../v/mod.py", "../v/pkg"]


# Python files in the encoding their coding declaration names, with non-ASCII
# text around the match.
DECLARED = {
    "ru.py": ("cp1251", '# -*- coding: cp1251 -*-\ns = "привет"\nprint(s, "мир")  # ещё\n'),
    "fr.py": ("latin-1", '#!/usr/bin/env python\n# vim: set fileencoding=latin-1 :\nprint("déjà")\n'),
}


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_python_files_keep_their_declared_encoding(tree, jobs):
    write_files(tree, {name: text.encode(encoding) for name, (encoding, text) in DECLARED.items()})
    found = kovel(tree, "find", "-p", "print($$$A)", "--jobs", jobs, "ru.py", "fr.py")
    assert (found.returncode, found.stderr) == (0, "")
    assert found.stdout.splitlines() == ['ru.py:3:1: print(s, "мир")  # ещё', 'fr.py:3:1: print("déjà")']
    rewrite = ("rewrite", "-p", "print($$$A)", "-r", "log($$$A)", "--jobs", jobs)
    # The diff holds the file's own bytes, for patch to apply.
    diff = '-print(s, "мир")  # ещё\n+log(s, "мир")  # ещё\n'.encode("cp1251")
    assert diff in kovel(tree, *rewrite, "ru.py", text=False).stdout
    wrote = kovel(tree, *rewrite, "--write", ".")
    assert wrote.returncode == 0, wrote.stderr
    for name, (encoding, text) in DECLARED.items():
        assert (tree / name).read_bytes() == text.replace("print(", "log(").encode(encoding)
    refused = kovel(tree, "rewrite", "-p", "log($$$A)", "-r", 'print($$$A, "€uro")', "--write", "fr.py")
    assert refused.returncode == 2
    assert "kovel: fr.py: the rewrite brings in '€' (line 3), which iso8859-1 cannot encode" in refused.stderr
    assert (tree / "fr.py").read_bytes() == DECLARED["fr.py"][1].replace("print(", "log(").encode("latin-1")


@needs_git
@pytest.mark.parametrize(
    "options, found",
    [
        ([], ["a.py", "b.js", "c.c", "crlf.py", "proj/ok.py", "sub/d.py"]),
        (["--no-ignore"], ["a.py", "b.js", "c.c", "crlf.py", "proj/gen.py", "proj/ok.py", "proj/out/x.py", "sub/d.py"]),
        (["--hidden"], [".hidden/e.py", "a.py", "b.js", "c.c", "crlf.py", "proj/ok.py", "sub/d.py"]),
        (["-g", "*.py", "-g", "!sub"], ["a.py", "crlf.py", "proj/gen.py", "proj/ok.py"]),
        (["--glob", "!*.py"], ["b.js", "c.c"]),
        (["--glob", "!*.py", "--glob", "sub/*"], ["sub/d.py"]),  # an include: nothing else
        # An ignored file or directory named on the command line is searched.
        (["proj/gen.py"], ["proj/gen.py"]),
        (["proj/out"], ["proj/out/x.py"]),
    ],
)  # fmt: skip
def test_a_checkout_below_the_start_keeps_its_ignore_files_and_the_walk_options(tree, options, found):
    proj = {"proj/.gitignore": "gen.py\nout/\n", "proj/gen.py": "print(5)\n", "proj/ok.py": "print(6)\n"}
    write_files(tree, {**proj, "proj/out/x.py": "print(7)\n"})
    subprocess.run(["git", "init", "-q", str(tree / "proj")], check=True)
    r = kovel(tree, "find", "-p", "print($$$A)", *options)
    assert r.returncode == 0
    assert sorted({line.split(":")[0] for line in r.stdout.splitlines()}) == found


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_standard_input(tree, jobs):
    def run(*args, source=b"if x:\n    print(1, 2)\r\nprint()\n"):
        r = kovel(tree, *args, "-l", "python", "-j", jobs, "-", input=source, text=False)
        return r.returncode, r.stdout, r.stderr.decode()

    found = b"<stdin>:2:5:     print(1, 2)\n<stdin>:3:1: print()\n"
    assert run("find", "-p", "print($$$A)") == (0, found, "")
    # the whole text, byte for byte, not a diff
    assert run("rewrite", "-p", "print($$$A)", "-r", "log($$$A)") == (
        0,
        b"if x:\n    log(1, 2)\r\nlog()\n",
        "",
    )
    # a filter: the text goes through unchanged when nothing matches, or when the rewrite would break it
    unchanged = (1, b"if x:\n    print(1, 2)\r\nprint()\n")
    assert run("rewrite", "-p", "nothing($$$A)", "-r", "log($$$A)")[:2] == unchanged
    status, out, err = run("rewrite", "-p", "print($$$A)", "-r", "return $$$A", source=b"print(1)\n")
    assert (status, out) == (2, b"print(1)\n")
    assert (
        "kovel: <stdin>: Python rejects the rewritten file: 'return' outside function (line 1); printed unchanged"
        in err
    )


NO_JS = ("tree_sitter_language_pack", "tree_sitter_javascript")
INSTALL_PACK = "pip install 'tree-sitter-language-pack==0.13.0'"


@pytest.mark.parametrize(
    "blocked, paths, status, stdout, stderr",
    [
        # what the user named must be searched: exit 2 and how to install the grammar
        (NO_JS, ["b.js", "a.py"], 2, "a.py:3:5", "no tree-sitter grammar for 'javascript' is installed"),
        (NO_JS, ["b.js"], 2, "", INSTALL_PACK),
        # found in a directory: a note, and the other languages are searched
        (NO_JS, ["."], 0, "a.py:3:5", "kovel: note: no tree-sitter grammar for 'javascript'"),
        # ... unless nothing is left to search: that is not "no match"
        (NO_JS, ["sub2"], 2, "", "1 javascript file in directories skipped"),
        (("tree_sitter",), ["."], 2, "", "pip install 'tree-sitter>=0.23' 'tree-sitter-language-pack==0.13.0'"),
    ],
)  # fmt: skip
def test_missing_grammars_and_tree_sitter_are_errors_with_the_install_command(
    tree, blocked, paths, status, stdout, stderr
):
    # Run in-process (--jobs 1) with the `blocked` modules made impossible to import.
    (tree / "sub2").mkdir()
    (tree / "sub2/e.js").write_text("print(1);\n")
    code = (
        f"import sys\nfor m in {blocked!r}: sys.modules[m] = None\nfrom kovel.cli import main\n"
        f"sys.exit(main(['find', '-p', 'print($$$A)', *{paths!r}, '--jobs', '1']))\n"
    )
    r = subprocess.run([sys.executable, "-c", code], cwd=tree, capture_output=True, text=True, timeout=60)
    assert r.returncode == status and stderr in r.stderr
    assert stdout in r.stdout and (stdout or r.stdout == "")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_what_the_writes_come_to_is_said_in_file_order(tmp_path, jobs):
    # Files are written behind the loop that takes the results: a file left
    # unwritten there (hard links) is still reported in its place among the
    # files the loop itself reports (a rewrite Python rejects).
    inside = "def f():\n    print(1)\n"
    files = {"a.py": inside, "b.py": inside, "c.py": "print(3)\n", "d.py": inside, "e.py": inside}
    root = write_files(tmp_path / "tree", files)
    os.link(root / "b.py", root / "b2.py")  # both names are refused: a rewrite would split them
    os.link(root / "e.py", root / "e.py.link")
    args = ("rewrite", "-p", "print($A)", "-r", "return $A", "--write", "--jobs", jobs, ".")
    r = kovel(root, *args, hook=("slow", "b.py"))  # b.py's write ends after c.py is judged
    said = [line.split(":")[1].strip() for line in r.stderr.splitlines()]
    assert said == ["b.py", "b2.py", "c.py", "e.py", "2 files rewritten"], r.stderr
    for name in ("b.py", "b2.py", "e.py"):
        assert f"kovel: {name}: has 2 hard links, which a rewrite would split" in r.stderr
    assert r.returncode == 2 and (root / "b.py").stat().st_ino == (root / "b2.py").stat().st_ino
    assert {n for n in files if (root / n).read_text() != files[n]} == {"a.py", "d.py"}


@pytest.mark.parametrize(
    "how, says",
    [
        ({"stdout": "/dev/full"}, "kovel: cannot write the output: No space left on device"),
        ({"stdin": None}, "kovel: <stdin>: standard input is closed"),
        ({"input": b"print(\xff)\n"}, "kovel: <stdin>: skipped: not UTF-8 text"),
    ],
)
def test_output_or_input_that_fails_is_an_error_not_a_traceback(tree, how, says):
    if how.get("stdout") == "/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    args = ("find", "-l", "python", "-p", "print($$$A)", "-" if "stdout" not in how else "a.py")
    with open(how.get("stdout", os.devnull), "wb") as out:
        kw = {"input": how["input"], "text": False} if "input" in how else {}
        if "stdin" in how:
            kw["stdin"] = subprocess.DEVNULL
            kw["preexec_fn"] = lambda: os.close(0)
        r = kovel(tree, *args, stdout=out, **kw)
    err = r.stderr.decode() if isinstance(r.stderr, bytes) else r.stderr
    assert r.returncode == 2 and says in err and "Traceback" not in err, err


@pytest.mark.parametrize(
    "args",
    [
        ("find", "-p", "print($A)", "a.py", "missing.py"),
        ("rewrite", "-p", "print($A)", "-r", "log($A)", "--write", "a.py"),
    ],
)
def test_a_message_standard_error_cannot_take_is_a_failure(tmp_path, args):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    (tmp_path / "a.py").write_text("print(1)\n")
    with open("/dev/full", "wb") as err:
        r = kovel(tmp_path, *args, stderr=err)
    assert r.returncode == 2  # not 1, "nothing matched", nor 0


@pytest.mark.parametrize("pattern, status", [("print($A)", 2), ("nothing($A)", 1)])
def test_results_for_a_closed_standard_output_are_a_failure(tmp_path, pattern, status):
    (tmp_path / "a.py").write_text("print(1)\n")
    r = kovel(tmp_path, "find", "-p", pattern, "a.py", preexec_fn=lambda: os.close(1))
    assert r.returncode == status  # (grep's: what it would print is lost)
    # ... and a rewritten standard input, whose text is always printed
    args = ("rewrite", "-l", "python", "-p", pattern, "-r", "log($A)", "-")
    r = kovel(tmp_path, *args, input="print(1)\n", preexec_fn=lambda: os.close(1))
    assert r.returncode == 2 and "cannot write the output" in r.stderr and "Traceback" not in r.stderr


def test_a_working_directory_deleted_leaves_absolute_paths_searched(tmp_path):
    (tmp_path / "a.py").write_text("print(1)\n")
    (tmp_path / "gone").mkdir()
    gone = tmp_path / "gone"
    r = kovel(gone, "find", "-p", "print($A)", str(tmp_path / "a.py"), preexec_fn=lambda: os.rmdir(gone))
    assert r.returncode == 0 and r.stdout.endswith("a.py:1:1: print(1)\n"), r.stderr


def test_a_rewrite_of_standard_input_keeps_its_declared_encoding(tmp_path):
    source = "# coding: latin-1\nprint('é')\n".encode("latin-1")
    r = kovel(
        tmp_path, "rewrite", "-l", "python", "-p", "print($A)", "-r", "log($A)", "-", input=source, text=False
    )
    assert r.stdout == "# coding: latin-1\nlog('é')\n".encode("latin-1")


@pytest.mark.parametrize("stdin, rule", [(True, False), (False, False), (False, True)])
def test_a_match_left_as_it_is_is_said_whatever_the_input(tmp_path, stdin, rule):
    source = "x = 5\nf(x=1)\nf(2)\n"  # `x=1` out of its call would assign
    (tmp_path / "a.py").write_text(source)
    (tmp_path / "r.yml").write_text("id: r\nlanguage: python\nrule: {pattern: 'f($X)'}\nfix: $X\n")
    args = ("rewrite", "--rule", "r.yml") if rule else ("rewrite", "-l", "python", "-p", "f($X)", "-r", "$X")
    r = kovel(tmp_path, *args, "-", input=source) if stdin else kovel(tmp_path, *args, "a.py")
    assert r.returncode == 0 and "a match left as it is" in r.stderr and "'x=1'" in r.stderr, r.stderr
    assert ("x = 5\nf(x=1)\n2\n" in r.stdout) if stdin else ("+2" in r.stdout and "-f(x=1)" not in r.stdout)


def test_an_endless_standard_input_is_an_error_not_a_traceback(tmp_path):
    def small():
        resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))

    with open("/dev/zero", "rb") as zero:
        r = kovel(tmp_path, "find", "-l", "python", "-p", "f($A)", "-", stdin=zero, preexec_fn=small)
    assert r.returncode == 2 and "does not fit in memory" in r.stderr and "Traceback" not in r.stderr, (
        r.stderr
    )


def test_an_empty_cache_directory_is_a_usage_error(tmp_path):
    (tmp_path / "a.py").write_text("f(1)\n")
    r = kovel(tmp_path, "find", "-p", "f($A)", "--cache", "", "a.py")
    assert r.returncode == 2 and "cache directory" in r.stderr and os.listdir(tmp_path) == ["a.py"]


@pytest.mark.parametrize("glob", ["[", "\\", "src/[ab", "!x[[:nope:]]"])
def test_a_glob_that_matches_nothing_is_a_usage_error(tmp_path, glob):
    (tmp_path / "a.py").write_text("f(1)\n")
    r = kovel(tmp_path, "find", "-g", glob, "-p", "f($A)", ".")
    assert r.returncode == 2 and "--glob" in r.stderr and "Traceback" not in r.stderr, r.stderr


@pytest.mark.parametrize("closed", [0, 1, 2])
def test_a_closed_standard_stream_is_the_null_device(tmp_path, closed):
    (tmp_path / "a.py").write_text("f(1)\n")
    r = kovel(
        tmp_path,
        "rewrite",
        "--write",
        "-p",
        "f($A)",
        "-r",
        "g($A)",
        "a.py",
        preexec_fn=lambda: os.close(closed),
    )
    assert r.returncode == 0 and "Traceback" not in r.stdout + r.stderr, r.stdout + r.stderr
    assert (tmp_path / "a.py").read_text() == "g(1)\n"


def _files_of_at_most(n):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (n, n))


@pytest.mark.parametrize("command", [["find", "-p", "f($A)"], ["scan", "-r", "r.yml"]])
@pytest.mark.parametrize(
    ("cache", "limits", "why"),
    [
        ("a.py/cache", {}, "Not a directory"),  # under a file: no directory can be made
        # A file system that takes no more bytes (here, files may not grow past 1000 bytes).
        ("cache", {"preexec_fn": _files_of_at_most(1000)}, "File too large"),
    ],
)
def test_a_cache_that_cannot_be_written_is_said_and_the_run_goes_on(tmp_path, command, cache, limits, why):
    (tmp_path / "a.py").write_text("f(1)\n" * 300)
    (tmp_path / "r.yml").write_text("id: r\nlanguage: python\nrule: {pattern: f($A)}\n")
    r = kovel(tmp_path, *command, "--cache", cache, "a.py", **limits)
    assert r.returncode == 0 and "a.py:1:1" in r.stdout, r.stderr
    assert r.stderr.count(f"the cache {cache} cannot be written ({why})") == 1, r.stderr
