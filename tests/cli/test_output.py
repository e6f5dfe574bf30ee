"""What `kovel find` and `kovel rewrite` print: JSON records and their ranges, counts, file
lists, context lines, long lines cut, output streamed file by file."""

import base64
import difflib
import json
import os
import pickle
import random
import re
import select
import shutil
import signal
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_javascript")

from kovel.batch import Change, Diagnostic, FileMatch, FoundFile, ScannedFile, Span, find_files  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402
from kovel.cli import output, report  # noqa: E402
from tests.helpers import hook_env, kovel, write_files  # noqa: E402


def uncut(piece):
    """(left out before, the text shown, left out after) of a line cut by `--max-columns`."""
    m = re.fullmatch(r"(?:\[\.\.\. (\d+) columns\] )?(.*?)(?: \[\.\.\. (\d+) more columns\])?", piece, re.S)
    assert m is not None
    return int(m[1] or 0), m[2], int(m[3] or 0)


# Files, patterns and rewrites whose JSON records are checked against the bytes of the file.
JSON_CASES = [
    ("a.py", 'if x:\n    print("héllo", 2)\nprint()\n', "print($$$A)", "log($$$A)"),
    ("m.py", "def f():\n    return g(1,\n             [2,\n              3])\n", "g($A, $B)", "h($B, $A)"),
    ("crlf.py", "x = 1\r\nprint(x,\r\n      y)\r\n", "print($$$A)", "log($$$A)"),
    ("b.js", "const s = `ü`; call(a, b); call(\n  c, d);\n", "call($X, $Y)", "call2($Y)"),
    ("n.py", "def f(a, b):\n    pass\ndef g():\n    pass\n", "def $F($$$P):\n    $$$B", "async def $F($$$P):\n    $$$B"),
]  # fmt: skip


def _check_range(data, r, text):
    assert data[r["bytes"][0] : r["bytes"][1]].decode() == text
    lines = data.decode().split("\n")
    (sl, sc), (el, ec) = (r["start"]["line"], r["start"]["column"]), (r["end"]["line"], r["end"]["column"])
    head = "\n".join(lines[: sl - 1]) + "\n" * (sl > 1) + lines[sl - 1][: sc - 1]
    tail = "\n".join(lines[: el - 1]) + "\n" * (el > 1) + lines[el - 1][: ec - 1]
    assert (len(head.encode()), len(tail.encode())) == tuple(r["bytes"])  # lines/columns agree with bytes


@pytest.mark.parametrize("name, source, pat, rw", JSON_CASES, ids=[c[0] for c in JSON_CASES])
def test_json_records_slice_the_file(tmp_path, name, source, pat, rw):
    write_files(tmp_path, {name: source})
    r = kovel(tmp_path, "find", "--json", "-p", pat, name, "--jobs", "1")
    rows = [json.loads(line) for line in r.stdout.splitlines()]
    assert r.returncode == 0 and rows, r.stderr
    # context is for text output only
    assert kovel(tmp_path, "find", "--json", "-C", "2", "-p", pat, name, "--jobs", "1").stdout == r.stdout
    data, file_lines = source.encode(), source.split("\n")
    for row in rows:
        _check_range(data, row, row["text"])
        assert set(row) >= {"path", "lang", "bytes", "start", "end", "text", "bindings"}
        start, end = row["start"]["line"], row["end"]["line"]
        last = end - (row["end"]["column"] == 1 and end > start)
        assert row["lines"] == "\n".join(file_lines[start - 1 : last]).removesuffix("\r")
        assert row["binding_ranges"].keys() == row["bindings"].keys()
        for var, ranges in row["binding_ranges"].items():
            if isinstance(ranges, list):  # $$$: one range per node, in order, inside the match
                assert len(ranges) == len(row["bindings"][var])
                assert [x["bytes"][0] for x in ranges] == sorted(x["bytes"][0] for x in ranges)
            elif "\n" not in ranges["text"]:  # multi-line bindings are re-indented in `bindings`
                assert ranges["text"] == row["bindings"][var]
            for x in ranges if isinstance(ranges, list) else [ranges]:
                _check_range(data, x, x["text"])
                assert row["bytes"][0] <= x["bytes"][0] <= x["bytes"][1] <= row["bytes"][1]

    # The changes a rewrite prints make the file it writes.
    r = kovel(tmp_path, "rewrite", "--json", "-p", pat, "-r", rw, name)
    assert r.returncode == 0, r.stderr
    out, at = b"", 0
    for row in map(json.loads, r.stdout.splitlines()):
        _check_range(data, row, row["old"])
        assert row["bytes"][0] >= at
        out += data[at : row["bytes"][0]] + row["new"].encode()
        at = row["bytes"][1]
    out += data[at:]
    assert (tmp_path / name).read_bytes() == data  # --json writes nothing
    w = kovel(tmp_path, "rewrite", "--write", "-p", pat, "-r", rw, name)
    assert w.returncode == 0 and (tmp_path / name).read_bytes() == out


TREE = {
    "a.py": "print(1)\nx = 1\nprint(2); print(3)\n",
    "b.py": "y = 2\n",
    "sub/c.py": "def f():\n    print(4)\n",
}


@pytest.mark.parametrize("flag, expected", [("-c", ["a.py:3", "sub/c.py:1"]), ("--files-with-matches", ["a.py", "sub/c.py"])])  # fmt: skip
def test_count_and_files_with_matches(tmp_path, flag, expected):
    write_files(tmp_path, TREE)
    r = kovel(tmp_path, "find", flag, "-p", "print($A)", "--jobs", "2")
    assert (r.returncode, r.stdout.splitlines(), r.stderr) == (0, expected, "")
    none = kovel(tmp_path, "find", flag, "-p", "nothing($A)")
    assert (none.returncode, none.stdout) == (1, "")


CONTEXT_FILE = {
    "k.py": "".join(f"x{n} = {n}\n" if n not in (3, 5, 12, 13) else f"print({n})\n" for n in range(1, 17)),
    "m.py": "a = 1\nprint(1,\n      2)\nb = 2\n",
}


# The arguments, and the lines printed (joined by "|"). Matches on 3 and 5: their
# contexts touch and make one group; 12 and 13 another.
CONTEXTS = {
    "-C 1 k.py": "k.py-2- x2 = 2|k.py:3:1: print(3)|k.py-4- x4 = 4|k.py:5:1: print(5)|k.py-6- x6 = 6|--|"
    "k.py-11- x11 = 11|k.py:12:1: print(12)|k.py:13:1: print(13)|k.py-14- x14 = 14",
    "-A 1 k.py": "k.py:3:1: print(3)|k.py-4- x4 = 4|k.py:5:1: print(5)|k.py-6- x6 = 6|--|"
    "k.py:12:1: print(12)|k.py:13:1: print(13)|k.py-14- x14 = 14",
    "-B 2 k.py": "k.py-1- x1 = 1|k.py-2- x2 = 2|k.py:3:1: print(3)|k.py-4- x4 = 4|k.py:5:1: print(5)|--|"
    "k.py-10- x10 = 10|k.py-11- x11 = 11|k.py:12:1: print(12)|k.py:13:1: print(13)",
    # -A/-B win over -C (no line before 12: line 11 is left out); the last group stops at the end.
    "-C 5 -B 0 k.py": "k.py:3:1: print(3)|k.py-4- x4 = 4|k.py:5:1: print(5)|"
    + "|".join(f"k.py-{n}- x{n} = {n}" for n in range(6, 11))
    + "|--|k.py:12:1: print(12)|k.py:13:1: print(13)|"
    + "|".join(f"k.py-{n}- x{n} = {n}" for n in range(14, 17)),
    # A match over two lines: both are matching lines; a new file's group is set off by `--`.
    "-C 1 m.py k.py --jobs 2": "m.py-1- a = 1|m.py:2:1: print(1,|m.py:3:1:       2)|m.py-4- b = 2|--|"
    "k.py-2- x2 = 2|k.py:3:1: print(3)",
}


@pytest.mark.parametrize("args", CONTEXTS)
def test_context_lines(tmp_path, args):
    write_files(tmp_path, CONTEXT_FILE)
    r = kovel(tmp_path, "find", "-p", "print($$$A)", *args.split())
    want = CONTEXTS[args].split("|")
    assert r.returncode == 0 and r.stdout.splitlines()[: len(want)] == want, r.stderr


@pytest.mark.parametrize("line", ["", "x", "abcdefghij" * 7])
@pytest.mark.parametrize("at", [0, 1, 35, 69])
@pytest.mark.parametrize("limit", [0, 1, 7, 70])
def test_cut_keeps_a_window_that_shows_its_place(line, at, limit):
    shown = output.cut(line, at, limit)
    before, window, after = uncut(shown)
    assert line[before : before + len(window)] == window and before + len(window) + after == len(line)
    if limit and len(line) > limit:
        assert len(window) == limit and before <= at < before + limit or at >= len(line)
    else:
        assert shown == line


def test_long_lines_are_cut_around_each_match(tmp_path):
    line = "var a = [" + ",".join("0" for _ in range(3000)) + "]; f(1); g(2); f(3);" + "x" * 5000 + ";\n"
    write_files(tmp_path, {"min.js": line})
    r = kovel(tmp_path, "find", "-p", "f($A)", "min.js")
    rows = r.stdout.splitlines()
    assert r.returncode == 0 and len(rows) == 2
    for row in rows:
        path, _, col, shown = row.split(":", 3)
        before, window, after = uncut(shown[1:])
        assert len(window) == output.DEFAULT_MAX_COLUMNS
        assert line[before : before + len(window)] == window and before + len(window) + after == len(line) - 1
        assert window[int(col) - 1 - before :].startswith("f(")  # the match is in the window
    full = kovel(tmp_path, "find", "-M", "0", "-p", "f($A)", "min.js").stdout.splitlines()
    assert [x.split(": ", 1)[1] for x in full] == [line[:-1]] * 2
    narrow = kovel(tmp_path, "find", "--json", "-M", "40", "-p", "f($A)", "min.js").stdout.splitlines()
    for row in map(json.loads, narrow):
        before, window, after = uncut(row["lines"])
        assert len(window) == 40 and row["text"] in window  # the text itself is never cut


def test_matches_on_one_line_share_it(tmp_path):
    """Many matches on a long line keep one copy of it, in memory and pickled."""
    line = "".join(f"f({n});var s{n}='{'a' * 200}';" for n in range(500)) + "\n"
    write_files(tmp_path, {"min.js": line})
    (r,) = find_files([tmp_path / "min.js"], "f($A)", executor=InlineExecutor())
    assert len(r.matches) == 500
    assert all(m.line_text is r.lines[1] for m in r.matches)
    assert len(pickle.dumps(r)) < 3 * len(line)  # a copy per match: 500 times


def test_output_is_written_file_by_file(tmp_path):
    """The first file's matches come out while a later file is still being searched."""
    write_files(tmp_path, {"a.py": "print(1)\n", "b.py": "print(2)\n"})
    env = hook_env(tmp_path, "hang", "b.py")  # b.py hangs for two minutes: a.py's records come before
    env.pop("PYTHONUNBUFFERED", None)  # stdout is a pipe, buffered as it is for users
    for flags in ([], ["--json"], ["-c"]):
        argv = [
            sys.executable,
            "-m",
            "kovel",
            "find",
            *flags,
            "-p",
            "print($A)",
            "-j",
            "2",
            "--timeout",
            "100",
        ]
        proc = subprocess.Popen(
            argv, cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL
        )
        try:
            ready, _, _ = select.select([proc.stdout], [], [], 30)
            assert ready, f"nothing printed in 30 s with {flags}"
            assert b"a.py" in proc.stdout.readline() and proc.poll() is None
        finally:
            proc.send_signal(signal.SIGINT)  # the command stops its workers
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            proc.stdout.close()


# Any text a path, a match or a binding may hold: quotes, backslashes,
# control characters, lone surrogates (from undecodable file names), astral.
_TEXTS = st.text(st.characters(codec=None, exclude_categories=()), max_size=12)
_INTS = st.integers(0, 10**12)
_SPANS = st.builds(Span, _INTS, _INTS, _INTS, _INTS, _INTS, _INTS, _TEXTS)


def _where(s, offsets=None):
    """A span's place in a JSON record; diagnostics name their byte offsets' object ``offsets``."""
    at = {"bytes": [s.start, s.end]} if offsets is None else {offsets: {"start": s.start, "end": s.end}}
    return at | {
        "start": {"line": s.line, "column": s.column},
        "end": {"line": s.end_line, "column": s.end_column},
    }


def _dict_json(r, m, max_columns):
    """A match's JSON line as a dict given to the encoder: the record's definition."""

    def ranges(v):
        if v is None or isinstance(v, Span):
            return None if v is None else {"text": v.text, **_where(v)}
        return [{"text": x.text, **_where(x)} for x in v]

    obj = {
        "path": r.path,
        "lang": r.lang,
        **_where(m),
        "text": m.text,
        "bindings": m.bindings,
        "lines": output.match_lines(r, m, max_columns),
        "binding_ranges": {k: ranges(v) for k, v in m.binding_ranges.items()},
    }
    return _encoded(obj)


def _encoded(obj):
    """``obj`` as JSON, its path as its bytes (ripgrep's ``{"bytes": base64}``) when it
    is no UTF-8 (a name's undecodable bytes), in escapes when it is not even that."""
    path = obj.pop("path")
    try:
        path.encode()
    except UnicodeEncodeError:
        try:
            head = json.dumps({"bytes": base64.b64encode(os.fsencode(path)).decode()})
        except UnicodeEncodeError:
            head = json.dumps(path)
    else:
        head = json.dumps(path, ensure_ascii=False)
    return f'{{"path": {head}, {json.dumps(obj, ensure_ascii=False)[1:]}'


def _dict_diagnostic(r, d):
    """A diagnostic's JSON line as a dict given to the encoder: the record's definition."""
    out = {"path": r.path, "lang": r.lang, "ruleId": d.rule, "severity": d.severity, "message": d.message}
    out |= {"note": d.note, "range": _where(d.span, "byteOffset"), "text": d.span.text}
    if d.fix is not None:
        out |= {"replacement": d.fix.new, "replacementRange": _where(d.fix.old, "byteOffset")}
    return _encoded(out)


@settings(max_examples=300, deadline=None)
@given(
    path=_TEXTS,
    lang=st.one_of(st.none(), _TEXTS),
    where=st.tuples(_INTS, _INTS, st.integers(1, 5), _INTS, st.integers(1, 9), _INTS),
    texts=st.tuples(_TEXTS, _TEXTS),
    bindings=st.dictionaries(_TEXTS, st.one_of(_TEXTS, st.lists(_TEXTS, max_size=3)), max_size=3),
    ranges=st.dictionaries(_TEXTS, st.one_of(st.none(), _SPANS, st.lists(_SPANS, max_size=3)), max_size=3),
    lines=st.dictionaries(st.integers(1, 9), _TEXTS, max_size=4),
    max_columns=st.sampled_from([0, 3, 500]),
    said=st.tuples(_TEXTS, _TEXTS, _TEXTS, st.one_of(st.none(), _TEXTS)),
    span=_SPANS,
    fix=st.one_of(st.none(), st.builds(Change, _SPANS, _TEXTS)),
)
def test_json_records_are_the_encoding_of_their_fields(
    path, lang, where, texts, bindings, ranges, lines, max_columns, said, span, fix
):
    start, end, line, column, end_line, end_column = where
    m = FileMatch(start, end, line, column, max(line, end_line), end_column, *texts, bindings, ranges)
    found = FoundFile(path, lang, (m,), lines=lines)
    assert output.match_json(found, m, max_columns) == _dict_json(found, m, max_columns)
    d = Diagnostic(*said, span, span.text, fix)
    scanned = ScannedFile(path, lang, (d,))
    assert report.diagnostic_json(scanned, d) == _dict_diagnostic(scanned, d)


@pytest.mark.parametrize("command", ["find", "scan"])
def test_a_reader_that_stops_early_ends_the_command_quietly(tmp_path, command):
    """`kovel ... | head`: no traceback once the reader has gone."""
    write_files(tmp_path, {f"m{i}.py": "print(1)\n" * 400 for i in range(40)})
    (tmp_path / "r.yml").write_text("id: p\nlanguage: python\nrule:\n  pattern: print($A)\n")
    how = ["-p", "print($A)"] if command == "find" else ["-r", "r.yml"]
    argv = [sys.executable, "-m", "kovel", command, *how, "--jobs", "1", "."]
    proc = subprocess.Popen(argv, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout.readline()
    proc.stdout.close()  # the reader goes; the command has far more to print
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) in (0, 1)
    assert "Traceback" not in err and "Error" not in err


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_everything_printed_reaches_a_pipe_before_the_command_ends(tmp_path, jobs):
    """The command ends its process at once after its last write: nothing buffered is lost."""
    write_files(tmp_path, {f"m{i}.py": "print(1)\n" * 500 for i in range(30)})
    done = kovel(tmp_path, "find", "-p", "print($A)", "--jobs", jobs, ".")
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 30 * 500 and done.stdout.endswith("print(1)\n")


# A file name that is not UTF-8: every machine-read output stays UTF-8, and
# gives the name back.
@pytest.mark.parametrize(
    "args",
    [
        ["find", "--json", "-p", "print($A)"],
        ["rewrite", "--json", "-p", "print($A)", "-r", "log($A)"],
        ["scan", "--json", "-r", "r.yml"],
        ["scan", "--format", "sarif", "-r", "r.yml"],
    ],
)
def test_json_output_names_a_file_whose_name_is_not_utf8(tmp_path, args):
    (tmp_path / os.fsdecode(b"b\xff.py")).write_text("print(1)\n")
    (tmp_path / "r.yml").write_text("id: r\nlanguage: python\nrule: {pattern: 'print($A)'}\n")
    out = kovel(tmp_path, *args, ".", text=False).stdout.decode()  # strict UTF-8
    if "sarif" in args:
        (result,) = json.loads(out)["runs"][0]["results"]
        assert result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"] == "b%FF.py"
    else:
        # As ripgrep writes such a name: its bytes, which no reader of JSON changes.
        assert [base64.b64decode(json.loads(line)["path"]["bytes"]) for line in out.splitlines()] == [
            b"b\xff.py"
        ]


# Lines end at line feeds alone, as `patch` reads them: a carriage return or
# a form feed is a character of its line.
# A file in another encoding is diffed in its own bytes.
@pytest.mark.parametrize(
    "old, new, encoding",
    [("print(1)\rprint(2)\r", "print(1)\rlog(2)\r", "utf-8"), ("x = 1\n\x0c\nprint(1)\n", "x = 1\n\x0c\nlog(1)\n", "utf-8"),
     ("a\x0bb\nc", "a\x0bb\nd", "utf-8"), ("a\u2028b\n", "a\u2028c\n", "utf-8"),
     ("# coding: latin-1\nprint('é')\n", "# coding: latin-1\nlog('é')\n", "latin-1"),
     ("# coding: cp1251\nx = 'ж'\n", "# coding: cp1251\nx = 'жж'\n", "cp1251"),
     ("# coding: utf-7\nx = 'a+b ж'\n", "# coding: utf-7\nx = 'a+b жж'\n", "utf-7")],
)  # fmt: skip
def test_a_diff_applies_with_patch(tmp_path, old, new, encoding):
    patch = shutil.which("patch") or pytest.skip("no patch")
    (tmp_path / "f.py").write_bytes(old.encode(encoding))
    diff = output.unified_diff("f.py", old, new, encoding) + "\n"
    subprocess.run(
        [patch, "-p1", "-s"], cwd=tmp_path, input=diff.encode("utf-8", "surrogateescape"), check=True
    )
    assert (tmp_path / "f.py").read_bytes() == new.encode(encoding)


@pytest.mark.parametrize(
    "name", ["new\nline.py", 'quote"d.py', "back\\slash.py", "tab\there.py", "sp ace.py"]
)
def test_a_diff_of_a_file_of_any_name_applies_with_patch(tmp_path, name):
    patch = shutil.which("patch") or pytest.skip("no patch")
    (tmp_path / name).write_text("print(1)\n")
    diff = kovel(tmp_path, "rewrite", "-p", "print($A)", "-r", "log($A)", name).stdout
    subprocess.run([patch, "-p1", "-s"], cwd=tmp_path, input=diff, text=True, check=True)
    assert (tmp_path / name).read_text() == "log(1)\n"


# Colour as ripgrep and ast-grep choose it: NO_COLOR and TERM=dumb turn it off on
# a terminal, --color always turns it on anywhere; the underline stays a terminal's.
@pytest.mark.parametrize(
    "when, terminal, env, colour",
    [
        ("auto", True, {}, True),
        ("auto", True, {"NO_COLOR": "1"}, False),
        ("auto", True, {"TERM": "dumb"}, False),
        ("auto", False, {}, False),
        ("always", False, {"NO_COLOR": "1"}, True),
        ("never", True, {}, False),
    ],
)
def test_colour_follows_color_no_color_and_term(monkeypatch, when, terminal, env, colour):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    assert output.coloured(when, terminal) is colour
    d = Diagnostic("r", "error", "m", None, Span(0, 8, 1, 1, 1, 9, "print(x)"), "print(x)")
    lines = list(report.diagnostic_text("a.py", d, terminal, output.coloured(when, terminal)))
    assert any("\x1b[" in x for x in lines) is colour
    assert ("   | ^^^^^^^^" in [re.sub(r"\x1b\[[0-9;]*m", "", x) for x in lines]) is terminal


# What a hostile checkout names can act on no terminal nor forge a line: a name
# with a control character is quoted, a rule's id and message escaped.
@pytest.mark.parametrize(
    "name", ["a\x1b[31mRED.py", "b\nfake.py:1:1: print(666).py", "c\x07.py", "d\x9b2J.py"]
)
def test_text_output_shows_no_control_character_raw(name):
    r = FoundFile(name, "python", (FileMatch(0, 8, 1, 1, 1, 9, "print(1)", "print(1)", {}),))
    lines = [
        *output.FindPrinter("text").file(r),
        *output.FindPrinter("files").file(r),
        *output.FindPrinter("count").file(r),
    ]
    assert all(not any(c < " " or "\x7f" <= c <= "\x9f" for c in line) for line in lines)
    assert lines[1].startswith('"') and lines[1].endswith('"')
    d = Diagnostic("x\x1b]0;t\x07", "error", "m\x1b[2J", None, Span(0, 8, 1, 1, 1, 9, "print(1)"), "print(1)")
    (head,) = report.diagnostic_text(output.shown_path(name), d)
    assert not any(c < " " for c in head)


# A long file's diff is cut where a line stands once in each version: it is still
# a diff `patch` applies, and a short one is difflib's own.
@given(
    st.lists(st.sampled_from(["a\n", "b\n", "c\n", "d"]), max_size=30),
    st.lists(st.sampled_from(["a\n", "b\n", "e\n"]), max_size=30),
)
def test_a_short_diff_is_difflibs(a, b):
    old, new = "".join(a), "".join(b)
    lines = difflib.unified_diff(old.splitlines(keepends=True), new.splitlines(keepends=True), "a/f", "b/f")
    marked = (line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)
    assert output.unified_diff("f", old, new) == "".join(marked).rstrip("\n")


@pytest.mark.parametrize("seed", range(3))
def test_a_long_diff_applies_with_patch(tmp_path, seed):
    patch = shutil.which("patch") or pytest.skip("no patch")
    rng = random.Random(seed)
    lines = [f"line {rng.randrange(2000)}\n" for _ in range(3000)]
    changed = list(lines)
    for _ in range(300):
        k = rng.randrange(len(changed))
        changed[k : k + rng.randrange(2)] = [f"new {rng.random()}\n"] * rng.randrange(3)
    old, new = "".join(lines), "".join(changed)
    (tmp_path / "f").write_text(old)
    diff = output.unified_diff("f", old, new) + "\n"
    subprocess.run([patch, "-p1", "-s"], cwd=tmp_path, input=diff.encode(), check=True)
    assert (tmp_path / "f").read_text() == new


# No name is shown as another's quoted form: a quote or a backslash is quoted too.
def test_names_are_shown_one_to_one():
    names = ["new\nline.py", '"new\\nline.py"', "back\\slash.py", "plain.py", 'q"uote.py']
    shown = [output.shown_path(n) for n in names]
    assert len(set(shown)) == len(names) and shown[3] == "plain.py"
