"""Statements and runs written where the language wants otherwise than its
grammar: Bash's `then`, `do` and `{` take at least one command, and `&` puts
only the last of several commands in the background; C's `if` whose body is a
directive's lines takes only the first statement there; in Ruby and Go, a run
ending with a comment ends its line, so the fix must not go on after it."""

import shutil
import subprocess
from unittest.mock import ANY

import pytest

from tests.helpers import rewrite, rewrite_leaving, run

pytest.importorskip("tree_sitter")

DELETE = ("log $A", "")
TWO = ("log $A", "X=$A\necho $A")
# (source, (pattern, fix), what it becomes; None: left alone with a note)
BASH = [
    ("if true; then\n  log 1\nfi\n", DELETE, None),
    ("if true; then\n  log 1\n  echo a\nfi\n", DELETE, "if true; then\n  \n  echo a\nfi\n"),
    ("while false; do\n  log 1\ndone\n", DELETE, None),
    ("f() {\n  log 1\n}\n", DELETE, None),
    ("if false; then x; else\n  log 1\nfi\n", DELETE, None),
    ("if true; then\n  log 1\nelse\n  x\nfi\n", DELETE, None),
    ("if true; then\n  log 1\nelif false; then\n  log 2\nfi\n", DELETE, None),
    ("log 1 &\nwait\n", TWO, None),
    ("log 1\nwait\n", TWO, "X=1\necho 1\nwait\n"),
    ("log 1 && true\n", TWO, None),
]  # fmt: skip


@pytest.mark.parametrize(("source", "rule", "want"), BASH)
def test_bash_blocks_and_background_commands(source, rule, want):
    out, left = rewrite_leaving("bash", source, *rule)
    assert (out, left) == ((source, [ANY, *left[1:]]) if want is None else (want, []))
    if shutil.which("bash"):
        assert subprocess.run(["bash", "-n"], input=out, text=True).returncode == 0


# (language, source, fix of `f($$$A)`, what it becomes; None: left alone with a note)
COMMENTED_RUNS = [
    ("ruby", "f(1,\n  2 # two\n)\n", "p($$$A, 9)", None),
    ("ruby", "f(1,\n  2 # two\n)\n", "p($$$A\n)", "p(1,\n  2 # two\n)\n"),
    ("ruby", "f(1, 2)\n", "p($$$A, 9)", "p(1, 2, 9)\n"),
    ("go", "package m\nfunc m() {\n\tf(1,\n\t\t2, // two\n\t)\n}\n", "p($$$A, 9)", None),
    ("go", "package m\nfunc m() {\n\tf(1, 2)\n}\n", "p($$$A, 9)", "package m\nfunc m() {\n\tp(1, 2, 9)\n}\n"),
    ("python", "f(1,\n  2 # two\n)\n", "p($$$A, 9)", "p(1,\n  2 # two\n, 9)\n"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "source", "fix", "want"), COMMENTED_RUNS)
def test_a_run_ending_with_a_comment_ends_its_line(lang, source, fix, want):
    out, left = rewrite_leaving(lang, source, "f($$$A)", fix)
    assert (out, left) == ((source, [ANY]) if want is None else (want, []))
    if lang == "ruby" and shutil.which("ruby"):
        assert subprocess.run(["ruby", "-c"], input=out, text=True, capture_output=True).returncode == 0


PUTS = ("log1($A);", 'puts("a");\nlog1($A);')
C = [
    ("int main(){\n  if (0)\n#if 1\n    log1(1);\n#endif\n}\n", None),
    ("int main(){\n  while (0)\n#ifdef X\n    log1(1);\n#else\n    log1(2);\n#endif\n}\n", None),
    ("int main(){\n#if 1\n  log1(3);\n#endif\n}\n", 'int main(){\n#if 1\n  puts("a");\n  log1(3);\n#endif\n}\n'),
]  # fmt: skip


@pytest.mark.parametrize(("source", "want"), C)
def test_c_statements_put_where_a_directive_is_a_body(source, want):
    out, left = rewrite_leaving("c", source, *PUTS)
    assert (out, bool(left)) == ((source, True) if want is None else (want, False))


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")
def test_a_shell_expansion_quoted_by_the_template_stays_an_expansion(tmp_path):
    # ShellCheck's SC2086: `foo $x` -> `foo "$x"` keeps x one word.
    source = 'x="a b"\nset -- $x\necho $#\nset -- ${x}\necho $#\n'
    out = rewrite("bash", source, "set -- $A", 'set -- "$A"')
    assert out == 'x="a b"\nset -- "$x"\necho $#\nset -- "${x}"\necho $#\n'
    assert run("bash", "-c", out) == "1\n1\n" and run("bash", "-c", source) == "2\n2\n"
