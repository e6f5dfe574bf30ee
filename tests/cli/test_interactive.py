"""``kovel rewrite --interactive``: the review of each change, and the questions in a real terminal (tmux)."""

import shutil
import sys

import pytest

pytest.importorskip("tree_sitter_python")

from kovel.batch import apply_changes, rewrite_files  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402
from kovel.cli.interactive import Review  # noqa: E402
from tests.helpers import Tmux, kovel, write_files  # noqa: E402


def test_review_makes_the_chosen_changes_only(tmp_path):
    write_files(tmp_path, {"a.py": "print(1)\nprint(2)\nprint(3)\n", "b.py": "print(4)\nprint(5)\n"})
    results = list(rewrite_files([tmp_path], "print($A)", "log($A)", executor=InlineExecutor()))
    keys = iter("x?yna")  # an unknown key and ? show the help; then yes, no, all the rest
    shown = []
    review = Review(shown.append, lambda: next(keys))
    data = (tmp_path / "a.py").read_bytes()
    chosen = review.file(results[0], data)
    assert apply_changes(data, chosen) == b"log(1)\nprint(2)\nlog(3)\n"
    assert "".join(shown).count("q - quit") == 2 and "-print(2)\n+log(2)" in "".join(shown)
    keys = iter("nq")
    assert review.file(results[1], (tmp_path / "b.py").read_bytes()) == [] and review.quit


def test_interactive_needs_a_terminal(tmp_path):
    write_files(tmp_path, {"a.py": "print(1)\n"})
    r = kovel(tmp_path, "rewrite", "-i", "-p", "print($A)", "-r", "log($A)", ".")
    assert r.returncode == 2 and "terminal" in r.stderr
    assert (tmp_path / "a.py").read_text() == "print(1)\n"


@pytest.fixture
def terminal():
    """Runs `kovel rewrite -i -p print($A) -r REWRITE ARGS...` in a terminal of its own."""
    if shutil.which("tmux") is None:
        pytest.skip("tmux is not installed")
    made = []
    kovel_i = [sys.executable, "-m", "kovel", "rewrite", "-i", "-p", "print($A)", "-r"]
    yield lambda cwd, *args: made.append(Tmux(cwd, [*kovel_i, *args])) or made[-1]
    for t in made:
        t.close()


@pytest.mark.parametrize(
    "answers, a_py, b_py, status",
    [
        # yes, no, yes in a.py; quit at b.py's question: b.py is left as it is.
        ("ynyq", "log(1)\nprint(2)\nlog(3)\n", "print(4)\n", 0),
        ("yq", "log(1)\nprint(2)\nprint(3)\n", "print(4)\n", 0),
        ("na" + "y", "print(1)\nlog(2)\nlog(3)\n", "log(4)\n", 0),
        ("q", "print(1)\nprint(2)\nprint(3)\n", "print(4)\n", 1),
    ],
)
def test_interactive_in_a_terminal(tmp_path, terminal, answers, a_py, b_py, status):
    write_files(tmp_path, {"a.py": "print(1)\nprint(2)\nprint(3)\n", "b.py": "print(4)\n"})
    t = terminal(tmp_path, "log($A)", "--jobs", "1", ".")
    for asked, k in enumerate(answers, 1):
        screen = t.wait_for("Make this change [y,n,a,q,?]?", asked)
        assert "-print(" in screen and "+log(" in screen  # the hunk is shown before the question
        t.key(k)  # after `a`, the rest of a.py is taken without a question
    screen = t.wait_for("EXIT=")
    assert f"EXIT={status}" in screen
    assert (tmp_path / "a.py").read_text() == a_py and (tmp_path / "b.py").read_text() == b_py


def test_interactive_judges_the_chosen_changes(tmp_path, terminal):
    """`y = del a` does not parse, `del b` does: taking only the second change is written."""
    source = "y = print(a)\nprint(b)\n"
    write_files(tmp_path, {"a.py": source, "b.py": source})
    for name, keys, after in (("a.py", "ny", "y = print(a)\ndel b\n"), ("b.py", "yn", source)):
        t = terminal(tmp_path, "del $A", name)
        for n, k in enumerate(keys, 1):
            t.wait_for("Make this change", n)
            t.key(k)
        screen = t.wait_for("EXIT=")
        assert (tmp_path / name).read_text() == after
        if after == source:
            assert "adds syntax errors (0 before, 1 after); not written" in screen and "EXIT=2" in screen
