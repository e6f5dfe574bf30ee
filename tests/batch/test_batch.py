"""The batch API (`find_files`, `rewrite_files`) under several executors: the same results
in every one, pickling, failures that stay with their file, time limits per file."""

import codecs
import hashlib
import os
import pickle
import re
import threading
from concurrent.futures import Executor, ProcessPoolExecutor
from types import SimpleNamespace

import pytest

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel.batch import apply_changes, find_files, rewrite_files, scan_files  # noqa: E402
from kovel.batch.results import Change, Span  # noqa: E402
from kovel.batch.workers import InlineExecutor, WatchdogPool  # noqa: E402
from kovel.quasi import pattern, template  # noqa: E402
from kovel.rules import Rule, RuleConfig, matcher  # noqa: E402
from tests.helpers import write_files  # noqa: E402

FILES = {
    "m.py": "def f(a):\n    if a:\n        print(a, 1)\n    return print()\n",
    "n.c": 'void g(void) { print("é"); }\n',
    "plain.py": "x = 1\n",
    "bad.py": b"print('\xff')\n",
}


@pytest.fixture
def tree(tmp_path):
    return write_files(tmp_path, FILES)


def names(results, *fields):
    """Each result's file name with the ``fields`` of it named."""
    return [(os.path.basename(r.path), *(getattr(r, f) for f in fields)) for r in results]


def outcome(tree, executor):
    """Everything find_files and rewrite_files say about the tree, as plain values."""
    found = names(find_files([tree], "print($$$A)", executor=executor), "error", "matches")
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


def _refuse_boom(match):  # fails on one file's match only
    if "boom" in str(match.term):
        raise RuntimeError("no booms")
    return template("python", "log($$$A)").fill(A=match.bindings["A"])


class _Remote(Executor):
    """Sends each task through pickle, as a cluster does, and runs it here."""

    def submit(self, fn, /, *args, **kwargs):
        fn, args, kwargs = pickle.loads(pickle.dumps((fn, args, kwargs)))
        return InlineExecutor().submit(fn, *args, **kwargs)


EXECUTORS = {
    "default": lambda: None,
    "inline": InlineExecutor,
    "watchdog": lambda: WatchdogPool(2),
    "process-pool": lambda: ProcessPoolExecutor(2),
    "pickling": _Remote,
}


@pytest.fixture
def pool(request):
    """The executor of the kind named (``indirect`` parametrization), shut down after the test."""
    made = EXECUTORS[request.param]()
    yield made
    if made is not None:
        made.shutdown()


@pytest.mark.parametrize("pool", ["default", "process-pool", "watchdog", "pickling"], indirect=True)
def test_other_executors_agree_with_the_inline_one(tree, pool):
    assert outcome(tree, pool) == outcome(tree, InlineExecutor())
    # Compiled patterns, rewrite functions and templates cross processes too.
    for pat, rw, name in (
        (pattern("python", "print($$$A)"), _shout, "shout("),
        ("print($$$A)", template("python", "log($$$A)"), "log("),
    ):
        got = rewrite_files([tree / "m.py"], pat, rw, executor=pool)
        assert [(r.error, r.text()) for r in got] == [(None, FILES["m.py"].replace("print(", name))]


@pytest.mark.parametrize("pool", ["inline", "watchdog"], indirect=True)
def test_a_failure_in_one_file_is_that_files_error(tree, pool):
    (tree / "boom.py").write_text("print(boom)\n")
    assert names(rewrite_files([tree], "print($$$A)", _refuse_boom, executor=pool), "error", "changed") == [
        ("bad.py", "not rewritten: not UTF-8 text (byte 7, line 1)", False),
        ("boom.py", "RuntimeError: no booms", False),
        ("m.py", None, True),
        ("n.c", None, True),
        ("plain.py", None, False),
    ]


def test_a_task_that_cannot_be_sent_fails_its_own_file(tree):
    # An executor of unknown kind is not checked up front; each task fails as it is sent.
    # A file without the pattern's texts is answered without a task: it cannot change.
    got = list(rewrite_files([tree], "print($$$A)", threading.Lock(), executor=_Remote()))
    assert [os.path.basename(r.path) for r in got] == ["bad.py", "m.py", "n.c", "plain.py"]
    assert all("cannot pickle" in r.error and not r.changed for r in got[:3])
    assert (got[3].error, got[3].changed) == (None, False)


@pytest.mark.parametrize("pool", ["default", "watchdog", "process-pool"], indirect=True)
def test_an_unpicklable_pattern_or_rewrite_is_a_type_error_at_the_call(tree, pool):
    with pytest.raises(TypeError, match="the rewrite cannot be sent to the worker processes"):
        rewrite_files([tree], "print($$$A)", lambda m: m.term, executor=pool)
    with pytest.raises(TypeError, match="the pattern cannot be sent to the worker processes"):
        find_files([tree], threading.Lock(), executor=pool)
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
@pytest.mark.parametrize("pool", ["inline", "watchdog"], indirect=True)
def test_a_rewrite_using_what_the_pattern_does_not_bind_fails_before_any_file(
    tree, pool, pattern, rewrite, unbound
):
    seen = []
    for rw in (rewrite, template("python", rewrite)):
        results = rewrite_files([tree], pattern, rw, executor=pool)
        if unbound is None:
            seen += [r.error for r in results]
        else:
            with pytest.raises(ValueError, match=re.escape(unbound)):
                next(results)
    assert (unbound is None) == (seen.count(None) == 6)  # bad.py fails on its own; the rest run


def test_dask_cluster_executor_gives_the_same_result(tree):
    distributed = pytest.importorskip("distributed")
    # workers in processes of their own, LocalCluster's default
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        assert outcome(tree, client.get_executor()) == outcome(tree, None)


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
    write_files(tmp_path, {"small.py": "print(1)\n", "big.py": "print(2)\n" + "x = 1\n" * 1000})
    with WatchdogPool(2) as pool:
        files = [tmp_path / "small.py", tmp_path / "big.py"]
        found = find_files(files, "print($A)", executor=pool, timeout=lambda size: 0.5 + size / 500)
        got = [(n, e, len(m)) for n, e, m in names(found, "error", "matches")]
    assert got == [("small.py", "timed out: no result after 0.518 s; worker killed", 0), ("big.py", None, 1)]


class Wrapped:
    """A pattern object of another kind than kovel's: its matches carry no nodes."""

    def __init__(self, code):
        self.inner = pattern("python", code)

    def find_all(self, t):
        return [SimpleNamespace(span=m.span, bindings=m.bindings) for m in self.inner.find_all(t)]

    def rewrite(self, t, replacement):
        return self.inner.rewrite(t, replacement)


def test_a_pattern_object_of_another_kind_gets_one_change_and_no_ranges(tmp_path):
    source = "a = 1\nprint(1)\nb = 2\nprint(2)\nc = 3\n"
    (tmp_path / "a.py").write_text(source)
    wrapped = Wrapped("print($A)")
    (found,) = find_files([tmp_path], wrapped, executor=InlineExecutor())
    assert [m.binding_ranges for m in found.matches] == [{"A": None}] * 2
    (r,) = rewrite_files([tmp_path], wrapped, template("python", "log($A)"), executor=InlineExecutor())
    (change,) = r.changes  # from the first difference to the last
    assert (change.old.text, change.new) == ("print(1)\nb = 2\nprint", "log(1)\nb = 2\nlog")
    assert (change.old.line, change.old.column, change.old.end_line, change.old.end_column) == (2, 1, 4, 6)
    assert apply_changes(source.encode(), r.changes).decode() == r.text()


# Files whose rewrites the command writes by applying the changes alone:
# multi-line replacements in indented blocks, CRLF, declared encodings, a
# byte order mark, and JavaScript.
SPLICED = [
    ("a.py", b"if x:\n    print(1,\n          2)\nprint(3)\n", "print($$$A)", "log(\n    $$$A)"),
    ("b.py", b"def f():\r\n    print(x)\r\n    return print(y)\r\n", "print($A)", "log($A, $A)"),
    ("c.py", "# coding: latin-1\ns = 'é'; print(s)\n".encode("latin-1"), "print($A)", "log($A)"),
    ("d.py", "\ufeffprint('ü')\n".encode(), "print($A)", "log($A)"),
    ("e.js", b"function f() {\n  console.log(a, b);\n}\n", "console.log($$$A)", "logger.info($$$A)"),
    # A codec with state: "é" alone ends its run of base64 with a "-" that "é\n" does not.
    ("f.py", "# coding: utf-7\nprint(é); print(ü)\n".encode("utf-7"), "print($A)", "$A"),
]


@pytest.mark.parametrize(("name", "data", "pat", "rw"), SPLICED, ids=[x[0] for x in SPLICED])
def test_a_rewrite_without_its_term_gives_the_text_by_its_changes(tmp_path, name, data, pat, rw):
    (tmp_path / name).write_bytes(data)
    (kept,) = rewrite_files([tmp_path], pat, rw, executor=InlineExecutor())
    (bare,) = rewrite_files([tmp_path], pat, rw, executor=InlineExecutor(), keep_term=False)
    assert kept.changed and bare.term == b""
    assert bare.changes == kept.changes
    assert apply_changes(data, bare.changes, bare.encoding).decode(bare.encoding) == kept.text()
    with pytest.raises(ValueError, match="not kept"):
        bare.text()


# Codecs with state (UTF-7, ISO-2022-JP) and without; a character of each
# that it encodes in more than one byte or in a shifted run.
CODECS = [("utf-7", "é"), ("iso-2022-jp", "日"), ("latin-1", "é"), ("cp1251", "ж"), ("utf-8", "ü")]


@pytest.mark.parametrize(("encoding", "ch"), CODECS)
def test_any_subset_of_changes_applies_in_the_files_codec(tmp_path, encoding, ch):
    calls = [f"print('{ch}')", f"print({ch}+x)", f"print({ch}{ch})", "print(1)"]
    text = f"# coding: {encoding}\n{calls[0]}; {calls[1]}\nx = '{ch}'\n{calls[2]}\n{calls[3]}\n"
    data = text.encode(encoding)
    (tmp_path / "a.py").write_bytes(data)
    (r,) = rewrite_files([tmp_path], "print($A)", "log($A)", executor=InlineExecutor())
    assert [c.old.text for c in r.changes] == calls
    for k in range(1 << len(calls)):
        chosen = [c for i, c in enumerate(r.changes) if k >> i & 1]
        want = text
        for c in chosen:
            want = want.replace(c.old.text, c.new)
        assert apply_changes(data, chosen, r.encoding).decode(encoding) == want


def _utf7_of_another_package(name):
    # A codec registered by someone else: its decoder's state is not trusted.
    if name != "kovel_test_utf7":
        return None
    info = codecs.lookup("utf-7")
    decoder = type("Decoder", (info.incrementaldecoder,), {"__module__": "tests.batch"})
    return codecs.CodecInfo(info.encode, info.decode, incrementaldecoder=decoder, name="kovel_test_utf7")


codecs.register(_utf7_of_another_package)


@pytest.mark.parametrize(
    ("encoding", "ch"),
    [*CODECS, ("gbk", "中"), ("shift_jis", "語"), ("iso2022_kr", "한"), ("kovel_test_utf7", "é")],
)
def test_byte_offsets_count_the_files_own_bytes(tmp_path, encoding, ch):
    # Bindings that end on the character, before punctuation or the line's end:
    # where a codec with state packs several characters into shared bytes.
    text = f"# coding: {encoding}\nx = f({ch}{ch}, {ch})\nf(a, {ch})\nf('{ch}') + f({ch})\n"
    data = text.encode(encoding)
    (tmp_path / "a.py").write_bytes(data)
    starts = [0, *(i + 1 for i, c in enumerate(text) if c == "\n")]

    def holds(span):
        # The bytes before each end decode to the characters before it.
        a = starts[span.line - 1] + span.column - 1
        b = starts[span.end_line - 1] + span.end_column - 1
        assert text[a:b] == span.text
        assert data[: span.start].decode(encoding, "ignore") == text[:a]
        assert data[: span.end].decode(encoding, "ignore") == text[:b]

    (found,) = find_files([tmp_path], "f($$$A)", executor=InlineExecutor())
    assert len(found.matches) == 4
    for m in found.matches:
        holds(m)
        for spans in m.binding_ranges.values():
            for span in spans:
                holds(span)
    (r,) = rewrite_files([tmp_path], "f($$$A)", "g($$$A)", executor=InlineExecutor(), keep_term=False)
    for c in r.changes:
        holds(c.old)


def test_changes_apply_by_characters_where_a_codec_has_state():
    # In UTF-7 "é" alone ends with the "-" that closes its run, "é" before a
    # line feed does not: a byte offset counted piece by piece is one too many.
    text = "# coding: utf-7\nx = é\ny = 1\n"
    data = text.encode("utf-7")
    start = len("# coding: utf-7\nx = ".encode("utf-7"))
    old = Span(start, start + len("é".encode("utf-7")), 2, 5, 2, 6, "é")
    assert apply_changes(data, [Change(old, "ü")], "utf-7").decode("utf-7") == text.replace("é", "ü")


class _Counting(Executor):
    """Runs tasks here and counts the files sent to it."""

    def __init__(self):
        self.files = []

    def submit(self, fn, /, *args, **kwargs):
        if fn.__name__.endswith("_task"):
            self.files.append(os.path.basename(args[0]))
        return InlineExecutor().submit(fn, *args, **kwargs)


@pytest.mark.parametrize("pat", ["print($$$A)", "f($X) + g($X)", "$X"])
def test_files_that_cannot_match_never_reach_a_worker_and_give_the_same_results(tree, pat, monkeypatch):
    (tree / "both.py").write_text("y = f(1) + g(1)\nprint(y)\n")
    pool = _Counting()
    found = names(find_files([tree], pat, executor=pool), "error", "matches")
    inline = names(find_files([tree], pat, executor=InlineExecutor()), "error", "matches")
    monkeypatch.setenv("KOVEL_TEST_HOOK", "builtins:max")  # a hook sends every file to the workers
    unfiltered = names(find_files([tree], pat, executor=InlineExecutor()), "error", "matches")
    assert found == inline == unfiltered
    sent = set(pool.files)
    for name, error, matches in found:
        if matches or error:
            assert name in sent
    if pat == "print($$$A)":
        assert "plain.py" not in sent
    if pat == "$X":  # nothing to require: every file goes
        assert sent == {name for name, _, _ in found}


def test_once_nearly_every_file_holds_the_texts_they_go_to_the_workers_unread(tmp_path):
    # Files that all hold `print`, then files that do not: the first are read
    # here and then sent; past a point, the rest are sent unread, and the
    # answers are the same.
    files = {f"a{i:03}.py": "print(1)\n" for i in range(100)} | {f"b{i}.py": "x = 1\n" for i in range(5)}
    pool = _Counting()
    found = names(find_files([write_files(tmp_path, files)], "print($A)", executor=pool), "matches", "error")
    assert [(n, len(m), e) for n, m, e in found] == [(n, n.startswith("a"), None) for n in sorted(files)]
    assert set(pool.files) == set(files)  # the b files too: nothing was answered without a task


def test_every_result_and_template_survives_pickling_whole(tree):
    # Results cross from workers as pickles: nothing may be lost or reordered on the way.
    # Templates go as their code: the cached constructor hands back the same template.
    t = template("python", "log($$$A, $B)")
    assert pickle.loads(pickle.dumps(t)) is t and t.holes == ("A", "B")
    bare = matcher(
        RuleConfig("prints", "python", Rule(pattern="print($$$A)"), "print of $$$A", fix="log($$$A)")
    )
    results = [
        *find_files([tree], "print($$$A)", executor=InlineExecutor(), context=1),
        *rewrite_files([tree], "print($$$A)", "log($$$A)", executor=InlineExecutor()),
        *scan_files([tree], lambda p, lang: [bare] if lang == "python" else [], executor=InlineExecutor()),
    ]
    assert any(getattr(r, "diagnostics", ()) for r in results)
    assert any(getattr(r, "changes", ()) for r in results)
    for r in results:
        copy = pickle.loads(pickle.dumps(r))
        assert copy == r and type(copy) is type(r)


@pytest.mark.parametrize("jobs", [1, 2])
def test_rules_given_as_configs_are_compiled_where_the_files_are_searched(tmp_path, jobs):
    # Configs and their matchers find the same; an equal config made apart from the
    # first is the same rule; a config that does not compile fails each file.
    files = {f"m{i}.py": f"print({i})\nx == None\n" for i in range(12)} | {"n.py": "x = 1\n"}
    root = write_files(tmp_path, files)
    configs = [
        RuleConfig("p", "python", Rule(pattern="print($A)"), "print $A", fix="log($A)"),
        RuleConfig("n", "python", Rule(pattern="$X == None")),
    ]
    again = [RuleConfig("p", "python", Rule(pattern="print($A)"), "print $A", fix="log($A)"), *configs[1:]]

    def run(rules):
        pool = InlineExecutor() if jobs == 1 else WatchdogPool(max_workers=jobs, timeout=30)
        try:
            return [
                (os.path.basename(r.path), r.error, [(d.rule, d.span.line, d.message) for d in r.diagnostics])
                for r in scan_files([root], lambda p, lang: rules, executor=pool)
            ]
        finally:
            pool.shutdown()

    want = run([matcher(c) for c in configs])
    assert sum(len(d) for _, _, d in want) == 24
    assert run(configs) == run(again) == want
    broken = run([RuleConfig("b", "python", Rule(pattern="print("))])
    assert len(broken) == len(files) and all("does not parse" in e for _, e, _ in broken)


class _Recording(WatchdogPool):
    """A pool that notes the first file of each task it is given (not the pattern's checks)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.sent = []

    def submit_limited(self, timeout, fn, *args, **kwargs):
        if os.path.isabs(str(args[0])):
            self.sent.append(os.path.basename(args[0]))
        return super().submit_limited(timeout, fn, *args, **kwargs)

    def submit_many(self, calls):
        calls = list(calls)
        self.sent.append(os.path.basename(calls[0][2][0]))
        return super().submit_many(calls)


def test_files_that_hold_much_of_the_work_go_first_and_results_keep_their_order(tmp_path):
    # Two big files, met last in order: they are sent before the small ones,
    # biggest first, one task each, and the results still come in the order listed.
    sizes = {f"s{i:02}.py": 40 for i in range(30)} | {"y_big.py": 1_200_000, "z_big.py": 1_300_000}
    write_files(tmp_path, {n: "print(1)\n" + "x = 1\n" * (size // 6) for n, size in sizes.items()})
    with _Recording(2, timeout=120) as pool:
        got = [os.path.basename(r.path) for r in find_files([tmp_path], "print($A)", executor=pool)]
    assert got == sorted(sizes)
    assert pool.sent[:2] == ["z_big.py", "y_big.py"]
    assert "z_big.py" not in pool.sent[2:] and "y_big.py" not in pool.sent[2:]


# A declared codec whose text does not encode back to the file's bytes (it
# reads escapes), or that is no text codec at all: the file is skipped with a
# note, never rewritten at shifted offsets.
@pytest.mark.parametrize(
    "head, body",
    [
        ("unicode_escape", 's = "\\x41"\nprint(s)\n'),
        ("raw_unicode_escape", 's = "\\u0041"\nprint(s)\n'),
        ("rot13", "print(1)\n"),
        ("punycode", "print(1)\n"),
    ],
)
def test_a_file_whose_codec_does_not_give_its_bytes_back_is_not_rewritten(tmp_path, head, body):
    data = f"# coding: {head}\n{body}".encode("latin-1")
    (tmp_path / "a.py").write_bytes(data)
    (r,) = rewrite_files([tmp_path], "print($A)", "log($A)", executor=InlineExecutor())
    assert not r.changed and r.skipped and r.error
    assert (tmp_path / "a.py").read_bytes() == data


def test_changes_apply_only_to_the_data_they_were_made_from(tmp_path):
    f = tmp_path / "a.py"
    f.write_text("print(1)\n")
    (r,) = rewrite_files([f], "print($A)", "log($A)", executor=InlineExecutor())
    assert apply_changes(f.read_bytes(), r.changes) == b"log(1)\n"
    for other in (b"", b"zzzzzzzzzz\n"):
        with pytest.raises(ValueError, match="not the change's old text"):
            apply_changes(other, r.changes)


@pytest.mark.parametrize("cache", [False, True])
def test_matches_without_details_are_where_they_are_with_them(tmp_path, cache):
    # Nested matches each hold the text of those inside them: where only their
    # places are shown, the workers make no texts or bindings.
    nest = "x = " + "[f(" * 30 + "1" + ")]" * 30 + "\n"
    write_files(tmp_path, {"a.py": nest, "b.py": "def g():\n    return [\n        1,\n    ]\n"})
    files = [tmp_path / "a.py", tmp_path / "b.py"]
    store = tmp_path / "cache" if cache else None
    for _ in range(1 + cache):  # (a second run takes the terms from the cache)
        full = list(find_files(files, "[$$$E]", executor=InlineExecutor(), cache=store))
        bare = list(find_files(files, "[$$$E]", executor=InlineExecutor(), cache=store, details=False))
    where = [[(m.start, m.end, m.line, m.column, m.end_line, m.end_column) for m in r.matches] for r in full]
    assert [
        [(m.start, m.end, m.line, m.column, m.end_line, m.end_column) for m in r.matches] for r in bare
    ] == where
    assert sum(map(len, where)) == 31
    assert all(m.text == "" and not m.bindings and not m.binding_ranges for r in bare for m in r.matches)
    assert [r.lines for r in bare] == [r.lines for r in full]
