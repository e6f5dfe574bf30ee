"""The batch API (`find_files`, `rewrite_files`) under several executors, and its parts:
the watchdog pool, the file listing and the safe file replacement."""

import hashlib
import os
import pickle
import re
import signal
import threading
import time
from concurrent.futures import Executor, ProcessPoolExecutor

import pytest

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel import _batch  # noqa: E402
from kovel._files import list_files  # noqa: E402
from kovel._workers import InlineExecutor, WatchdogPool  # noqa: E402
from kovel.quasi import find_files, pattern, rewrite_files, template  # noqa: E402

FILES = {
    "m.py": "def f(a):\n    if a:\n        print(a, 1)\n    return print()\n",
    "n.c": 'void g(void) { print("é"); }\n',
    "plain.py": "x = 1\n",
    "bad.py": b"print('\xff')\n",
}


@pytest.fixture
def tree(tmp_path):
    for rel, text in FILES.items():
        (tmp_path / rel).write_bytes(text if isinstance(text, bytes) else text.encode())
    return tmp_path


def outcome(tree, executor):
    """Everything find_files and rewrite_files say about the tree, as plain values."""
    found = [
        (os.path.basename(r.path), r.error, r.matches)
        for r in find_files([tree], "print($$$A)", executor=executor)
    ]
    rewritten = [
        (os.path.basename(r.path), r.error, r.text() if r.changed else None, r.digest)
        for r in rewrite_files([tree], "print($$$A)", "log($$$A)", executor=executor)
    ]
    return found, rewritten


def test_results_on_one_tree(tree):
    found, rewritten = outcome(tree, InlineExecutor())
    assert [(p, e, [(m.line, m.column, m.bindings) for m in ms]) for p, e, ms in found] == [
        ("bad.py", "skipped: not UTF-8 text (byte 7, line 1)", []),
        ("m.py", None, [(3, 9, {"A": ["a", "1"]}), (4, 12, {"A": []})]),
        ("n.c", None, [(1, 16, {"A": ['"é"']})]),
        ("plain.py", None, []),
    ]
    assert found[2][2][0].start == 15 and found[2][2][0].end == 26  # bytes: "é" takes two
    assert [(p, e, t) for p, e, t, _ in rewritten] == [
        ("bad.py", "not rewritten: not UTF-8 text (byte 7, line 1)", None),
        ("m.py", None, FILES["m.py"].replace("print(", "log(")),
        ("n.c", None, FILES["n.c"].replace("print(", "log(")),
        ("plain.py", None, None),
    ]
    assert rewritten[1][3] == hashlib.sha256(FILES["m.py"].encode()).hexdigest()


def _shout(match):  # a rewrite function must be importable to reach other processes
    return template("python", "shout($$$A)").fill(A=match.bindings["A"])


@pytest.mark.parametrize(
    "executor", [lambda: None, lambda: ProcessPoolExecutor(2)], ids=["default", "process-pool"]
)
def test_other_executors_agree_with_the_inline_one(tree, executor):
    pool = executor()
    try:
        assert outcome(tree, pool) == outcome(tree, InlineExecutor())
        # Compiled patterns and rewrite functions cross processes too.
        got = rewrite_files([tree / "m.py"], pattern("python", "print($$$A)"), _shout, executor=pool)
        assert next(got).text() == FILES["m.py"].replace("print(", "shout(")
    finally:
        if pool is not None:
            pool.shutdown()


def _refuse_boom(match):  # fails on one file's match only
    if "boom" in str(match.term):
        raise RuntimeError("no booms")
    return template("python", "log($$$A)").fill(A=match.bindings["A"])


class _Remote(Executor):
    """Sends each task through pickle, as a cluster does, and runs it here."""

    def submit(self, fn, /, *args, **kwargs):
        fn, args, kwargs = pickle.loads(pickle.dumps((fn, args, kwargs)))
        return InlineExecutor().submit(fn, *args, **kwargs)


def test_templates_pickle_as_their_code():
    t = template("python", "log($$$A)")
    assert pickle.loads(pickle.dumps(t)) is t  # the cached constructor hands back the same template
    copy = pickle.loads(pickle.dumps(template("python", "log($$$A, $B)")))
    assert (copy.lang, copy.code, copy.holes) == ("python", "log($$$A, $B)", ("A", "B"))


@pytest.mark.parametrize(
    "executor",
    [lambda: WatchdogPool(2), lambda: ProcessPoolExecutor(2), _Remote],
    ids=["watchdog", "process-pool", "pickling"],
)
def test_template_objects_reach_other_processes(tree, executor):
    pool = executor()
    try:
        got = rewrite_files([tree / "m.py"], "print($$$A)", template("python", "log($$$A)"), executor=pool)
        assert [(r.error, r.text()) for r in got] == [(None, FILES["m.py"].replace("print(", "log("))]
    finally:
        pool.shutdown()


@pytest.mark.parametrize("executor", [InlineExecutor, lambda: WatchdogPool(2)], ids=["inline", "watchdog"])
def test_a_failure_in_one_file_is_that_files_error(tree, executor):
    (tree / "boom.py").write_text("print(boom)\n")
    pool = executor()
    try:
        got = {
            os.path.basename(r.path): (r.error, r.changed)
            for r in rewrite_files([tree], "print($$$A)", _refuse_boom, executor=pool)
        }
    finally:
        pool.shutdown()
    assert got == {
        "bad.py": ("not rewritten: not UTF-8 text (byte 7, line 1)", False),
        "boom.py": ("RuntimeError: no booms", False),
        "m.py": (None, True),
        "n.c": (None, True),
        "plain.py": (None, False),
    }


def test_a_task_that_cannot_be_sent_fails_its_own_file(tree):
    # An executor of unknown kind is not checked up front; each task fails as it is sent.
    lock = threading.Lock()
    got = list(rewrite_files([tree], "print($$$A)", lock, executor=_Remote()))
    assert [os.path.basename(r.path) for r in got] == ["bad.py", "m.py", "n.c", "plain.py"]
    assert all("cannot pickle" in r.error and not r.changed for r in got)


@pytest.mark.parametrize(
    "executor", [lambda: None, WatchdogPool, ProcessPoolExecutor], ids=["default", "watchdog", "process-pool"]
)
def test_an_unpicklable_pattern_or_rewrite_is_a_type_error_at_the_call(tree, executor):
    pool = executor()
    try:
        with pytest.raises(TypeError, match="the rewrite cannot be sent to the worker processes"):
            rewrite_files([tree], "print($$$A)", lambda m: m.term, executor=pool)
        with pytest.raises(TypeError, match="the pattern cannot be sent to the worker processes"):
            find_files([tree], threading.Lock(), executor=pool)
    finally:
        if pool is not None:
            pool.shutdown()
    # In this process nothing is pickled: a local function is fine.
    same = rewrite_files([tree / "m.py"], "print($$$A)", lambda m: m.term, executor=InlineExecutor())
    assert [(r.error, r.changed) for r in same] == [(None, False)]


@pytest.mark.parametrize(
    "pattern, rewrite, unbound",
    [
        ("print($A)", "log($A)", None),
        ("print($$$)", "log()", None),
        ("print($A, $$$REST)", "log($$$REST, $A, $A)", None),
        ("print($A)", "log($B)", "uses $B, which the pattern does not bind (it binds $A)"),
        ("print($$$ARGS)", "log($$$ARGS, $$$MORE)", "uses $$$MORE, which"),
        ("print($_, $A)", "log($_)", "uses $_, which"),
        ("print($A, $A)", "log($$$)", "uses $$$, which the pattern does not bind (it binds $A)"),
        ("x = 1", "x = $V + $W", "uses $V, $W, which the pattern does not bind (it binds no metavariable)"),
    ],
)
@pytest.mark.parametrize("executor", [InlineExecutor, lambda: WatchdogPool(1)], ids=["inline", "watchdog"])
def test_a_rewrite_using_what_the_pattern_does_not_bind_fails_before_any_file(
    tree, executor, pattern, rewrite, unbound
):
    pool = executor()
    seen = []
    try:
        for rw in (rewrite, template("python", rewrite)):
            results = rewrite_files([tree], pattern, rw, executor=pool)
            if unbound is None:
                seen += [r.error for r in results]
            else:
                with pytest.raises(ValueError, match=re.escape(unbound)):
                    next(results)
    finally:
        pool.shutdown()
    assert (unbound is None) == (seen.count(None) == 6)  # bad.py fails on its own; the rest run


@pytest.mark.parametrize(
    "source, pattern, rewrite, rejected",
    [
        ("print(x)\n", "print($A)", "return $A", "'return' outside function (line 1)"),
        ("print(x)\n", "print($A)", "f(**$A, *$A)", "iterable argument unpacking follows keyword"),
        (
            "def f(a, b):\n    pass\n",
            "def $N($A, b):\n    $$$B",
            "def $N($A, $A):\n    $$$B",
            "duplicate argument",
        ),
        (
            "def f():\n    print(x)\n",
            "print($A)",
            "nonlocal $A",
            "no binding for nonlocal 'x' found (line 2)",
        ),
        ("def f():\n    print(x)\n", "print($A)", "return $A", None),  # compiles
        ("return 1\nprint(x)\n", "print($A)", "return $A", None),  # did not compile before either
        ("x = '\0'\nprint(x)\n", "print($A)", "return $A", None),  # a NUL byte: neither compiles
    ],
)
def test_python_files_that_compiled_and_no_longer_do_are_marked(tmp_path, source, pattern, rewrite, rejected):
    f = tmp_path / "f.py"
    f.write_text(source)
    (r,) = rewrite_files([f], pattern, rewrite, executor=InlineExecutor())
    assert r.changed and r.errors_after == r.errors_before  # tree-sitter sees nothing wrong
    assert r.worse == (rejected is not None)
    assert (r.compile_error is None) if rejected is None else rejected in r.compile_error


def test_dask_cluster_executor_gives_the_same_result(tree):
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        assert outcome(tree, client.get_executor()) == outcome(tree, None)


def _sleep(s):
    time.sleep(s)
    return s


def _die():
    os.kill(os.getpid(), signal.SIGKILL)


def test_watchdog_pool_fails_only_the_task_that_overran_or_died():
    with WatchdogPool(2, timeout=2) as pool:
        futures = [pool.submit(_sleep, 60), pool.submit(_die), pool.submit(int, "x")]
        futures += [pool.submit(pow, 2, n) for n in range(8)]
        with pytest.raises(TimeoutError, match="no result after 2 s; worker killed"):
            futures[0].result()
        with pytest.raises(ChildProcessError, match=r"died \(exit code -9\)"):
            futures[1].result()
        with pytest.raises(ValueError, match="invalid literal"):
            futures[2].result()
        assert [f.result() for f in futures[3:]] == [2**n for n in range(8)]
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(pow, 2, 2)


def _swallow_errors(s):
    try:
        time.sleep(s)
    except Exception:
        return "went on"
    return s


@pytest.mark.parametrize("task", [_sleep, _swallow_errors])
def test_inline_executor_stops_an_overrunning_task(task):
    handler = signal.getsignal(signal.SIGALRM)
    inline = InlineExecutor(timeout=0.5)
    with pytest.raises(TimeoutError, match=r"no result after 0\.5 s; task stopped"):
        inline.submit(task, 60).result()
    # Nothing of the limit is left behind, and the next task runs in full.
    assert signal.getsignal(signal.SIGALRM) is handler
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    assert inline.submit(task, 0.2).result() == 0.2


def test_watchdog_pool_terminate_stops_running_tasks():
    pool = WatchdogPool(1)
    running, queued = pool.submit(_sleep, 60), pool.submit(_sleep, 60)
    deadline = time.monotonic() + 30
    while not running.running() and time.monotonic() < deadline:  # the worker is starting
        time.sleep(0.05)
    started = time.monotonic()
    pool.terminate()
    assert time.monotonic() - started < 10
    assert queued.cancelled()
    with pytest.raises(ChildProcessError, match="stopped before the task finished"):
        running.result()


# Python files in the encoding their coding declaration names (PEP 263), with
# non-ASCII text before, inside and after the match; what `print($$$A)` ->
# `log($$$A)` makes of them is written back in the same encoding.
DECLARED = {
    "cp1251": '# -*- coding: cp1251 -*-\ns = "привет"\nprint(s, "мир")  # ещё\n',
    "iso8859-1": '# coding: latin-1\ns = "café"\nprint(s, "naïve")  # déjà\n',
    "utf-8": '\ufeffs = "ü"\nprint(s, "ö")\n',  # the byte order mark is kept
}


@pytest.mark.parametrize("size, seconds", [(0, 10.0), (999, 10.0), (10**6, 15.0), (4_900_000, 34.5)])
def test_the_default_time_limit_grows_with_the_file(size, seconds):
    assert _batch.default_timeout(size) == seconds


def test_watchdog_pool_limits_each_task_as_submitted():
    with WatchdogPool(2, timeout=60) as pool:
        short, long, default = (
            pool.submit_limited(1, _sleep, 3),
            pool.submit_limited(30, _sleep, 3),
            pool.submit(_sleep, 0.1),
        )
        with pytest.raises(TimeoutError, match="no result after 1 s; worker killed"):
            short.result()
        assert (long.result(), default.result()) == (3, 0.1)


SLOW_HOOK = """
import time
def hook(stage, path):
    if stage == "read":
        time.sleep(1.5)
"""


def test_a_time_limit_that_depends_on_the_size_is_taken_per_file(tmp_path, monkeypatch):
    (tmp_path / "slowhook.py").write_text(SLOW_HOOK)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setenv("KOVEL_TEST_HOOK", "slowhook:hook")
    small, big = tmp_path / "small.py", tmp_path / "big.py"
    small.write_text("print(1)\n")
    big.write_text("print(2)\n" + "x = 1\n" * 1000)
    with WatchdogPool(2) as pool:
        results = {
            os.path.basename(r.path): (r.error, len(r.matches))
            for r in find_files(
                [small, big], "print($A)", executor=pool, timeout=lambda size: 0.5 + size / 500
            )
        }
    assert results == {
        "small.py": ("timed out: no result after 0.518 s; worker killed", 0),
        "big.py": (None, 1),
    }


def test_list_files_languages_hidden_names_and_duplicates(tmp_path):
    for rel in ("a.py", "b.h", "c.hpp", "d.txt", ".git2/e.py", "sub/.f.py", "sub/g.js"):
        (tmp_path / rel).parent.mkdir(exist_ok=True)
        (tmp_path / rel).write_text("x\n")
    rel = lambda items: [(os.path.relpath(i.path, tmp_path), i.lang, i.error) for i in items]  # noqa: E731
    assert rel(list_files([tmp_path, tmp_path / "a.py"])) == [
        ("a.py", "python", None),
        ("b.h", "c", None),
        ("c.hpp", "cpp", None),
        ("sub/g.js", "javascript", None),
    ]
    assert rel(list_files([tmp_path], "c")) == [("b.h", "c", None)]
    assert rel(list_files([tmp_path / "d.txt", tmp_path / "d.txt"], "python")) == [("d.txt", "python", None)]


@pytest.mark.parametrize("encoding", DECLARED)
def test_python_files_are_read_in_their_declared_encoding(tmp_path, encoding):
    text = DECLARED[encoding]
    data = text.encode(encoding)
    f = tmp_path / "m.py"
    f.write_bytes(data)
    (found,) = find_files([f], "print($$$A)", executor=InlineExecutor())
    (m,) = found.matches
    call = re.search(r"print\(.*?\)", text).group()
    assert (found.error, m.line, m.column, m.text) == (None, text.count("\n"), 1, call)
    assert data[m.start : m.end] == call.encode(encoding)  # offsets into the file's own bytes
    (r,) = rewrite_files([f], "print($$$A)", "log($$$A)", executor=InlineExecutor())
    assert (r.error, r.encoding, r.digest) == (None, encoding, hashlib.sha256(data).hexdigest())
    assert r.text() == text.replace("print(", "log(")


@pytest.mark.parametrize(
    "rewrite, why",
    [
        ('log($$$A, "中")', "the rewrite brings in '中' (line 3), which cp1251 cannot encode; not rewritten"),
        ("log($$$A)\n# coding: latin-1", None),  # a declaration past line 2 counts for nothing
    ],
)
def test_a_rewrite_the_declared_encoding_cannot_hold_is_refused(tmp_path, rewrite, why):
    f = tmp_path / "m.py"
    f.write_bytes(DECLARED["cp1251"].encode("cp1251"))
    (r,) = rewrite_files([f], "print($$$A)", rewrite, executor=InlineExecutor())
    assert (r.error, r.changed) == (why, why is None)


def test_a_rewrite_of_the_coding_declaration_is_refused(tmp_path):
    f = tmp_path / "m.py"
    f.write_bytes(DECLARED["iso8859-1"].encode("latin-1"))
    (r,) = rewrite_files([f], "# coding: latin-1", "# coding: cp1252", executor=InlineExecutor())
    assert r.error == "the rewrite changes the coding declaration (iso8859-1 to cp1252); not rewritten"


@pytest.mark.parametrize(
    "name, data, reason",
    [
        ("m.py", b"x = 1\ns = '\xe9'\n", "not UTF-8 text (byte 11, line 2)"),  # no declaration: UTF-8
        (
            "m.py",
            b"# coding: cp1251\ns = '\x98'\n",
            "not cp1251 text (byte 22, line 2)",
        ),  # 0x98: no character
        ("m.py", b"# coding: klingon\nx = 1\n", "not Python source text: unknown encoding: klingon"),
        ("m.c", b'/* coding: latin-1 */ char *s = "\xe9";\n', "not UTF-8 text (byte 33, line 1)"),
    ],
)
def test_undecodable_files_are_skipped(tmp_path, name, data, reason):
    f = tmp_path / name
    f.write_bytes(data)
    (found,) = find_files([f], "x", executor=InlineExecutor())
    (rewritten,) = rewrite_files([f], "x", "y", executor=InlineExecutor())
    assert (found.error, found.skipped) == (f"skipped: {reason}", True)
    assert (rewritten.error, rewritten.skipped, rewritten.changed) == (
        f"not rewritten: {reason}",
        True,
        False,
    )


def test_parse_tree_gives_up_after_its_time_limit():
    big = b"x = [" + b"1, " * 2_000_000 + b"]\n"
    with pytest.raises(TimeoutError, match="parsing took over 0.001 s"):
        _batch.parse_tree("python", big, 0.001)
    assert _batch.parse_tree("python", b"x = 1\n", 1).root_node.type == "module"  # the parser still works
