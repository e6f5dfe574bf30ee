"""``kovel rewrite --interactive``: the review of each change, and the questions in a real terminal (tmux)."""

import shutil
import sys

import pytest

pytest.importorskip("tree_sitter_python")

from kovel.batch import apply_changes, rewrite_files  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402
from kovel.cli.interactive import Review  # noqa: E402
from tests.helpers import Tmux, write_files  # noqa: E402


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


BEFORE = {
    "a.py": "print(1)\nprint(2)\nprint(3)\n",
    "b.py": "print(4)\n",
    "c.py": "print(a)\ndef f():\n    print(b)\n",
}


@pytest.mark.parametrize(
    "rewrite, answers, after, status",
    [
        # yes, no, yes in a.py; quit at b.py's question: b.py is left as it is.
        ("log($A)", "ynyq", {"a.py": "log(1)\nprint(2)\nlog(3)\n", "b.py": "print(4)\n"}, 0),
        ("log($A)", "yq", {"a.py": "log(1)\nprint(2)\nprint(3)\n", "b.py": "print(4)\n"}, 0),
        # after `a`, the rest of a.py is taken without a question
        ("log($A)", "nay", {"a.py": "print(1)\nlog(2)\nlog(3)\n", "b.py": "log(4)\n"}, 0),
        ("log($A)", "q", {"a.py": BEFORE["a.py"], "b.py": "print(4)\n"}, 1),
        # The changes chosen are judged: Python refuses `return a` outside a function.
        ("return $A", "ny", {"c.py": "print(a)\ndef f():\n    return b\n"}, 0),
        ("return $A", "yn", {"c.py": BEFORE["c.py"]}, 2),
    ],
)
def test_interactive_in_a_terminal(tmp_path, terminal, rewrite, answers, after, status):
    write_files(tmp_path, {name: BEFORE[name] for name in after})
    t = terminal(tmp_path, rewrite, "--jobs", "1", ".")
    for asked, k in enumerate(answers, 1):
        screen = t.wait_for("Make this change [y,n,a,q,?]?", asked)
        lines = screen.splitlines()  # the hunk is shown before the question
        assert any(x[:1] == "-" and "print(" in x for x in lines) and any(
            x[:1] == "+" and rewrite[:4] in x for x in lines
        )
        t.key(k)
    assert f"EXIT={status}" in t.wait_for("EXIT=")
    assert {name: (tmp_path / name).read_text() for name in after} == after
