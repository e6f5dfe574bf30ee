"""What languages read at line breaks that their grammars do not: Go's semicolons, C's directives."""

import shutil
import subprocess

import pytest

from kovel.batch import InlineExecutor, rewrite_files
from kovel.batch.linebreaks import broken_lines, misplaced_directives

VALID = """package p

import (
\t"fmt"
\t. "strings"
)

var (
\tx = 1
\ty int
)

func f(a ...int) int {
\tg(a,
\t\tb, // c
\t)
\treturn x.
\t\tY() + len(a) &&
\t\tz
}
"""


@pytest.mark.parametrize(
    "code, breaks",
    [
        (VALID, 0),
        ("package p\nvar x = f(1,\n\t2 // two\n, 3)\n", 1),  # a comma starting a line
        ("package p\nfunc f() {\n\tg(a\n\t)\n}\n", 1),  # a call closed on the next line without a comma
        ("package p\nfunc f() {\n\tok := a\n\t\t== b\n\t_ = ok\n}\n", 1),  # an operator starting a line
    ],
)
def test_broken_lines_counts_the_breaks_go_ends_a_statement_at(code, breaks):
    assert broken_lines(code.encode()) == breaks
    go = shutil.which("gofmt")
    if go is not None:  # Go's own parser agrees
        done = subprocess.run([go, "-e"], input=code.encode(), capture_output=True)
        assert (done.returncode == 0) == (breaks == 0), done.stderr


def test_a_rewrite_that_go_would_read_otherwise_is_not_written(tmp_path):
    f = tmp_path / "main.go"
    f.write_text("package main\n\nfunc main() {\n\ty := f(1,\n\t\t2, // two\n\t)\n}\n")
    # (`, 3` after the comment would start a line: Go ends the one before with a `;`.)
    (refused,) = rewrite_files([f], "f($$$A)", "f($$$A, 3)", lang="go", executor=InlineExecutor())
    assert refused.changes == () and "comment" in (refused.error or "")
    (kept,) = rewrite_files([f], "f($$$A)", "g($$$A)", lang="go", executor=InlineExecutor())
    assert kept.errors_after == kept.errors_before == 0


@pytest.mark.parametrize(
    "lang, code, misplaced",
    [
        ("c", "#include <a.h>\nvoid f(void) {\n#ifdef A\n  g();\n#else\n  h();\n#endif\n}\n", 0),
        ("cpp", "void f() { [&]() { #ifdef A\n  g();\n#endif\n  }(); }\n", 1),
        (
            "c",
            "void f(void) {\n  if (1) {\n#ifdef A\n  g();\n#endif }\n}\n",
            1,
        ),  # `#endif }`: the `}` is swallowed
        ("c_sharp", "class A { void F() { Action a = () => { #if X\n G();\n#endif\n }; } }\n", 1),
    ],
)
def test_a_directive_stands_at_the_start_of_its_line(tmp_path, lang, code, misplaced):
    assert misplaced_directives(lang, code.encode()) == misplaced
    cc = shutil.which("cc")
    if lang == "c" and cc is not None:  # the C compiler agrees
        (tmp_path / "a.c").write_text(code.replace("#include <a.h>\n", "void g(void); void h(void);\n"))
        done = subprocess.run([cc, "-fsyntax-only", str(tmp_path / "a.c")], capture_output=True)
        assert (done.returncode == 0) == (misplaced == 0), done.stderr


# Every place a region may start, in nodes whose span runs past their last child
# (a case's statement list ends at the line break after it), is read safely.
SWITCH = "package p\n\nfunc main() {\n\tswitch x {\n\tcase 1:\n\t\tfallthrough\n\tcase 2:\n\t\tprintln(2)\n\tdefault:\n\t\tprintln(3)\n\t}\n}\n"


def test_a_region_may_start_anywhere():
    data = SWITCH.encode()
    assert [broken_lines(data, [(at, at)]) for at in range(len(data) + 1)] == [0] * (len(data) + 1)


@pytest.mark.skipif(shutil.which("go") is None, reason="go is not installed")
@pytest.mark.parametrize(
    "pattern, fix",
    [("case 2: $$$B", "case 2, 3: $$$B"), ("default: $$$B", "default: println(0); $$$B")],
)
def test_a_case_rewritten_after_a_case_body(tmp_path, pattern, fix):
    source = SWITCH.replace("package p", "package main").replace("switch x", "x := 2\n\tswitch x")
    (tmp_path / "main.go").write_text(source)
    (result,) = rewrite_files([tmp_path / "main.go"], pattern, fix, lang="go", executor=InlineExecutor())
    assert result.error is None and result.changes
    (tmp_path / "main.go").write_text(result.text())
    done = subprocess.run(["go", "run", "main.go"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stderr == "2\n", done.stderr
