"""Parsing with a time limit, in a worker process that is killed when a grammar hangs."""

import pickle
import subprocess
import sys
import time

import pytest

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")

from kovel.treesitter import language, parse, timeout as workers  # noqa: E402


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def test_timeout_stops_a_grammar_stuck_in_its_scanner():
    try:
        language("perl")
    except ValueError:
        pytest.skip("no perl grammar installed (tree-sitter-language-pack has it)")
    # The Perl grammar's scanner loops forever on "t#" without a final line feed.
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="did not stop"):
        parse("perl", "t#", timeout=0.3)
    assert time.monotonic() - start < 30
    assert str(parse("perl", "t#\n", timeout=30)) == "t#\n"  # a new worker took over


def test_timeout_cancels_a_long_parse_without_killing_the_worker():
    assert str(parse("python", "x = 1\n", timeout=30)) == "x = 1\n"
    before = {w.process.pid for w in workers._idle}
    # Parsing this takes about a second; the parser's progress callback stops it.
    with pytest.raises(TimeoutError, match=r"longer than 0.02 s$"):
        parse("python", "x = [1, (2 + 3) * f(y)]\n" * 60_000, timeout=0.02)
    assert {w.process.pid for w in workers._idle} == before


@pytest.mark.parametrize(
    "by_name, timeout, error", [(True, 0, "positive"), (True, -1.0, "positive"), (False, 5, "by name")]
)
def test_timeout_arguments(by_name, timeout, error):
    # A worker loads the grammar again by name: a Language made elsewhere has none.
    import tree_sitter_python

    lang = "python" if by_name else tree_sitter.Language(tree_sitter_python.language())
    with pytest.raises(ValueError, match=error):
        parse(lang, "x", timeout=timeout)


def test_timeout_from_a_script_without_a_main_guard(tmp_path):
    # A worker started by multiprocessing would run this script again, and fail.
    script = tmp_path / "script.py"
    script.write_text("from kovel.treesitter import parse\nprint(parse('python', 'x = 1', timeout=30))\n")
    done = run([sys.executable, str(script)])
    assert (done.returncode, done.stdout) == (0, "x = 1\n"), done.stderr


def test_shared_tuples_are_loaded_once_per_process_and_still_refuse_main():
    rules = workers.SharedTuple([("a", 1), ("b", 2)])
    first, again = pickle.loads(pickle.dumps(rules)), pickle.loads(pickle.dumps(rules))
    assert first == rules == (("a", 1), ("b", 2)) and first is again
    # Another tuple with other contents is another value, not the one kept.
    other = pickle.loads(pickle.dumps(workers.SharedTuple([("a", 1)])))
    assert other == (("a", 1),) and other is not first
    # In a worker, through a call, it is the tuple.
    assert workers.run_limited(30, len, rules) == 2
    main_class = type("Local", (), {"__module__": "__main__"})
    with pytest.raises(TypeError, match="main script"):
        workers.dumps_call(len, (workers.SharedTuple([main_class()]),), {})


# Modules every worker imports after it starts: a searched checkout holding one
# must not have it run.
SHADOWED = ["difflib", "pickle", "selectors", "tokenize", "dataclasses"]


def test_the_searched_directory_cannot_shadow_a_module_of_the_workers(tmp_path):
    for name in SHADOWED:
        (tmp_path / f"{name}.py").write_text(f"open({str(tmp_path / (name + '.ran'))!r}, 'w').close()\n")
    (tmp_path / "a.py").write_text("print(1)\n")
    # The parent is started as the console script is: without this directory on its path.
    command = [sys.executable, "-P", "-c", "import sys; from kovel.cli import main; sys.exit(main())"]
    done = run([*command, "find", "-p", "print($A)", "-j", "2", "a.py"], cwd=tmp_path)
    assert sorted(p.name for p in tmp_path.glob("*.ran")) == []
    assert done.returncode == 0 and "a.py:1:1: print(1)" in done.stdout, done.stderr


@pytest.mark.parametrize("timeout", [1e8, 1e300])
def test_a_timeout_longer_than_a_wait_can_count_is_no_limit(timeout):
    assert str(parse("python", "x = 1\n", timeout=timeout)) == "x = 1\n"
