"""The work on one file: its encoding, what a rewrite may not do to it, the parse's time limit."""

import codecs
import hashlib
import io
import os
import re
import sysconfig
import tokenize

import pytest
from hypothesis import given, settings, strategies as st

pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel import _native  # noqa: E402
from kovel.batch import find_files, rewrite_files, tasks  # noqa: E402
from kovel.batch.cache import TermCache  # noqa: E402
from kovel.batch.tasks import _python_encoding, find_task, parse_tree, scan_task  # noqa: E402
from kovel.batch.workers import InlineExecutor  # noqa: E402
from kovel.quasi import pattern  # noqa: E402
from kovel.rules import Rule, RuleConfig, matcher  # noqa: E402
from kovel.treesitter import parse  # noqa: E402

# Python files in the encoding their coding declaration names (PEP 263), with
# non-ASCII text before, inside and after the match; what `print($$$A)` ->
# `log($$$A)` makes of them is written back in the same encoding.
DECLARED = {
    "cp1251": '# -*- coding: cp1251 -*-\ns = "привет"\nprint(s, "мир")  # ещё\n',
    "iso8859-1": '# coding: latin-1\ns = "café"\nprint(s, "naïve")  # déjà\n',
    "utf-8": '\ufeffs = "ü"\nprint(s, "ö")\n',  # the byte order mark is kept
}


@pytest.mark.parametrize("encoding", DECLARED)
def test_python_files_are_read_in_their_declared_encoding(tmp_path, encoding):
    text = DECLARED[encoding]
    (f := tmp_path / "m.py").write_bytes(data := text.encode(encoding))
    (found,) = find_files([f], "print($$$A)", executor=InlineExecutor())
    (m,) = found.matches
    call = re.search(r"print\(.*?\)", text).group()
    assert (found.error, m.line, m.column, m.text) == (None, text.count("\n"), 1, call)
    assert data[m.start : m.end] == call.encode(encoding)  # offsets into the file's own bytes
    (r,) = rewrite_files([f], "print($$$A)", "log($$$A)", executor=InlineExecutor())
    assert (r.error, r.encoding, r.digest) == (None, encoding, hashlib.sha256(data).hexdigest())
    assert r.text() == text.replace("print(", "log(")


@pytest.mark.parametrize(
    "encoding, pattern, rewrite, why",
    [
        ("cp1251", "print($$$A)", 'log($$$A, "中")', "the rewrite brings in '中' (line 3), which cp1251 cannot encode; not rewritten"),
        ("cp1251", "print($$$A)", "log($$$A)\n# coding: latin-1", None),  # a declaration past line 2 counts for nothing
        ("iso8859-1", "# coding: latin-1", "# coding: cp1252", "the rewrite changes the coding declaration (iso8859-1 to cp1252); not rewritten"),
    ],
)  # fmt: skip
def test_a_rewrite_the_declared_encoding_cannot_hold_is_refused(tmp_path, encoding, pattern, rewrite, why):
    (f := tmp_path / "m.py").write_bytes(DECLARED[encoding].encode(encoding))
    (r,) = rewrite_files([f], pattern, rewrite, executor=InlineExecutor())
    assert (r.error, r.changed) == (why, why is None)


@pytest.mark.parametrize(
    "name, data, reason",
    [
        ("m.py", b"x = 1\ns = '\xe9'\n", "not UTF-8 text (byte 11, line 2)"),  # no declaration: UTF-8
        ("m.py", b"# coding: cp1251\ns = '\x98'\n", "not cp1251 text (byte 22, line 2)"),  # 0x98: no character
        ("m.py", b"# coding: klingon\nx = 1\n", "not Python source text: unknown encoding: klingon"),
        # a codec that refuses to encode the text again (what would be written back)
        ("m.py", b"# coding: idna\nx = 1\n", "its encoding idna does not give its bytes back from its text"),
        ("m.c", b'/* coding: latin-1 */ char *s = "\xe9";\n', "not UTF-8 text (byte 33, line 1)"),
    ],
)  # fmt: skip
def test_undecodable_files_are_skipped(tmp_path, name, data, reason):
    (f := tmp_path / name).write_bytes(data)
    (found,) = find_files([f], "x", executor=InlineExecutor())
    (r,) = rewrite_files([f], "x", "y", executor=InlineExecutor())
    assert (found.error, found.skipped) == (f"skipped: {reason}", True)
    assert (r.error, r.skipped, r.changed) == (f"not rewritten: {reason}", True, False)


@pytest.mark.parametrize(
    "source, pattern, rewrite, rejected",
    [
        ("print(x)\n", "print($A)", "return $A", "'return' outside function (line 1)"),
        ("print(x)\n", "print($A)", "f(**$A, *$A)", "iterable argument unpacking follows keyword"),
        ("def f(a, b):\n    pass\n", "def $N($A, b):\n    $$$B", "def $N($A, $A):\n    $$$B", "duplicate argument"),
        ("def f():\n    print(x)\n", "print($A)", "nonlocal $A", "no binding for nonlocal 'x' found (line 2)"),
        ("def f():\n    print(x)\n", "print($A)", "return $A", None),  # compiles
        ("return 1\nprint(x)\n", "print($A)", "return $A", None),  # did not compile before either
        ("x = '\0'\nprint(x)\n", "print($A)", "return $A", None),  # a NUL byte: neither compiles
    ],
)  # fmt: skip
def test_python_files_that_compiled_and_no_longer_do_are_marked(tmp_path, source, pattern, rewrite, rejected):
    (f := tmp_path / "f.py").write_text(source)
    (r,) = rewrite_files([f], pattern, rewrite, executor=InlineExecutor())
    assert r.changed and r.errors_after == r.errors_before  # tree-sitter sees nothing wrong
    assert r.worse == (rejected is not None)
    assert (r.compile_error is None) if rejected is None else rejected in r.compile_error


def test_parse_tree_gives_up_after_its_time_limit():
    big = b"x = [" + b"1, " * 2_000_000 + b"]\n"
    with pytest.raises(TimeoutError, match="parsing took longer than 0.001 s"):
        parse_tree("python", big, 0.001)
    assert parse_tree("python", b"x = 1\n", 1).root_node.type == "module"  # the parser still works


@pytest.mark.parametrize(
    "code", ["print($$$A)", "$A.append($B)", "isinstance($X, str)", "raise $E from None"]
)
def test_files_left_unparsed_give_what_a_full_run_gives(monkeypatch, code):
    root = sysconfig.get_paths()["stdlib"]  # some 30 files of the standard library
    found = sorted(os.path.join(root, f) for f in os.listdir(root) if f.endswith(".py"))
    paths = found[:: max(1, len(found) // 30)][:30]
    parsed = []
    for name in ("parse_with_errors", "search_source"):
        real = getattr(tasks, name)
        monkeypatch.setattr(tasks, name, lambda *a, _real=real, **k: parsed.append(1) or _real(*a, **k))
    p = pattern("python", code)
    for path in paths:
        found = tasks.find_task(path, "python", code, None)
        if found.error:
            continue
        text = open(path, "rb").read().decode()  # the sample's files are UTF-8
        assert [m.text for m in found.matches] == [
            text[slice(*m.span)] for m in p.find_all(parse("python", text))
        ]
        rewritten = tasks.rewrite_task(path, "python", code, "X", None)
        assert rewritten.error is None and rewritten.changed == bool(found.matches)
    assert 0 < len(parsed) < 2 * len(paths)  # some files were never parsed


_WORDS = st.sampled_from(["x", "é", "ж", "€", "𝔘", "\t", " "])


@settings(max_examples=60)
@given(
    st.lists(st.tuples(st.text(_WORDS, max_size=6), st.booleans(), st.text(_WORDS, max_size=4)), max_size=8)
)
def test_match_positions_are_those_of_the_text_and_of_its_bytes(lines):
    # Each line: a comment of mixed widths, then maybe a call; offsets must
    # agree with the text, whatever the widths of the characters before.
    text = "".join(f"# {a}\n" + (f"f('{b}')\n" if call else "") for a, call, b in lines)
    data = text.encode()
    r = find_task("m.py", "python", "f($A)", None, data)
    want = [(i + 1, line) for i, line in enumerate(text.split("\n")) if line.startswith("f(")]
    assert [(m.line, m.column, m.text) for m in r.matches] == [(n, 1, line) for n, line in want]
    for m in r.matches:
        assert data[m.start : m.end].decode() == m.text
        (a,) = m.binding_ranges.values()
        assert data[a.start : a.end].decode() == m.text[2:-1]


# What find and scan report when the tree is converted only where the
# patterns can match must be what they report from the whole term, which a
# cache of terms makes them use.
WITHOUT_TERM_SOURCE = """\
# coding: latin-1
s = "café"
def f(xs):
    xs.append(len(s))  # kovel-ignore: r1
    if xs == None:
        print(xs,
              len(xs))
    return [x.append(1) for x in xs if x != None]
def g(:
    print(1)
"""


@pytest.mark.parametrize(
    "rules",
    [
        [("r0", "$A.append($B)", {}), ("r1", "len($X)", {}), ("r2", "$X == None", {})],
        [("r0", "print($$$A)", {}), ("r1", "$X != None", {"X": Rule(regex="^x$")})],
        [("r0", "$A.append($B)", {"B": Rule(kind="integer")}), ("r1", "xs", {})],
    ],
)
def test_scan_and_find_without_the_term_agree_with_the_whole_term(tmp_path, rules):
    data = WITHOUT_TERM_SOURCE.encode("latin-1")
    matchers = [
        matcher(RuleConfig(rid, "python", Rule(pattern=p), "at $A", constraints=c)) for rid, p, c in rules
    ]
    assert all(m.lone_pattern is not None for m in matchers)
    cache = TermCache(str(tmp_path))
    sparse = scan_task("m.py", "python", matchers, None, data)
    whole = scan_task("m.py", "python", matchers, None, data, cache=cache)
    assert sparse == whole and sparse.diagnostics and sparse.errors_before == 1
    for _, p, _ in rules:
        assert find_task("m.py", "python", p, None, data) == find_task(
            "m.py", "python", p, None, data, cache=cache
        )


# Lines a file may start with: declarations (right, wrong, past line 2),
# blank and comment lines, a BOM, bytes that are not UTF-8, lone CRs.
_HEAD_LINES = st.sampled_from([
    b"# coding: latin-1\n", b"# -*- coding: cp1251 -*-\n", b"#!/usr/bin/env python\n",
    b"# vim: set fileencoding=utf-8 :\n", b"# coding: klingon\n", b"# encoding=utf-8\r\n", b"\n", b"   \t\n",
    b"x = 1\n", b"s = '\xe9'\n", b"\xef\xbb\xbf", b"# caf\xc3\xa9\n", b"# coding\rx = 2\r", b"print('coding')\n", b"",
])  # fmt: skip


def _declared(data):
    """What tokenize reads off ``data``: the codec's name, or the SyntaxError's message."""
    try:
        name = codecs.lookup(tokenize.detect_encoding(io.BytesIO(data).readline)[0]).name
    except SyntaxError as exc:
        return exc.msg
    return "utf-8" if name == "utf-8-sig" else name


@settings(max_examples=400, deadline=None)
@given(st.lists(_HEAD_LINES, max_size=4))
def test_the_declared_encoding_is_what_tokenize_reads(lines):
    data = b"".join(lines)
    try:
        got = _python_encoding(data)
    except SyntaxError as exc:
        got = exc.msg
    assert got == _declared(data)


_CALLS = st.sampled_from(
    ["f(x)", "f(\n    é,\n    y)", "g(f(ж,\n  z))", "f(f(\n 𝔘), w)", "x = 1", "f(\n)", "# f(\n"]
)


@settings(max_examples=60, deadline=None)
@given(st.lists(_CALLS, min_size=1, max_size=8), st.sampled_from(["f($$$A)", "f($A)", "f($A, $B)"]))
def test_binding_ranges_of_matches_over_lines_from_the_whole_term(tmp_path_factory, lines, pat):
    # From a cached term, the bindings of matches that span lines are placed
    # by one walk over the rendered records; matches on one line, between
    # them and inside them, must not throw it off.
    data = "\n".join(lines).encode() + b"\n"
    cache = TermCache(str(tmp_path_factory.mktemp("cache")))
    cold = find_task("m.py", "python", pat, None, data)
    find_task("m.py", "python", pat, None, data, cache=cache)  # fills the cache
    warm = find_task("m.py", "python", pat, None, data, cache=cache)
    assert warm.matches == cold.matches
    for m in warm.matches:
        assert data[m.start : m.end].decode() == m.text
        for name, where in m.binding_ranges.items():
            spans = where if isinstance(where, list) else [where]
            texts = m.bindings[name] if isinstance(m.bindings[name], list) else [m.bindings[name]]
            assert [data[s.start : s.end].decode() for s in spans] == texts


@pytest.mark.parametrize(
    ("lang", "source", "lines"),
    [
        # after code: its own line only; alone on a line: the next; in a string: nothing
        ("python", 'a = eval(x)  # kovel-ignore\nb = eval(y)\n# kovel-ignore\nc = eval(z)\nd = eval("# kovel-ignore")\n'
         'e = eval(w)\ns = """\n# kovel-ignore\n"""\nf = eval(v)\n', [2, 5, 6, 10]),
        ("python", "# kovel-ignore: other\na = eval(x)\n# kovel-ignore: other, no-eval\nb = eval(y)\n", [2]),
        ("javascript", "eval(a) // kovel-ignore\neval(b)\n/* kovel-ignore\n*/\neval(c)\nx = '// kovel-ignore'; eval(d)\n",
         [2, 6]),
        # doc comments, and a line of a block comment
        ("javascript", "/** kovel-ignore */\neval(a)\n/*\n * kovel-ignore\n */\neval(b)\n//! kovel-ignore\neval(c)\n"
         "// see kovel-ignore\neval(d)\n", [10]),
        # after code on a match's last line; not a comment inside it
        ("javascript", "eval(\n  b) // kovel-ignore\neval(\n  // kovel-ignore\n  d)\n", [3]),
        # first on the file's first line, a blank line after: the whole file
        ("python", "# kovel-ignore: no-eval\n\na = eval(x)\nb = eval(y)\n", []),
        ("python", "# kovel-ignore: other\n\na = eval(x)\n", [3]),
        ("python", "# kovel-ignore\na = eval(x)\nb = eval(y)\n", [3]),
        # a byte order mark is no code before the comment
        ("python", "\ufeff# kovel-ignore\na = eval(x)\nb = eval(y)\n", [3]),
        ("python", "\ufeff# kovel-ignore\n\na = eval(x)\n", []),
        # the word mentioned further on in a comment is no directive
        ("python", "# the old check; kovel-ignore was wrong\na = eval(x)\n# see #kovel-ignore\nb = eval(y)\n"
         "# run --kovel-ignore\nc = eval(z)\n# a // kovel-ignore\nd = eval(w)\n", [2, 4, 6, 8]),
        # ids hold what ids may hold; words after them are a reason
        ("python", "# kovel-ignore: sec.no-eval\na = eval(x)\n# kovel-ignore: no-eval -- legacy\nb = eval(y)\n"
         "# kovel-ignore: no-eval because legacy\nc = eval(z)\n# kovel-ignore: no-eval.x\nd = eval(w)\n", [2, 8]),
    ],
)  # fmt: skip
def test_only_a_kovel_ignore_comment_silences_and_only_its_line(lang, source, lines):
    m = matcher(RuleConfig("no-eval", lang, Rule(pattern="eval($A)")))
    got = scan_task("<text>", lang, [m], None, source.encode())
    assert [d.span.line for d in got.diagnostics] == lines


# Each language's own comments: the comment before `target1` silences it alone.
@pytest.mark.parametrize(
    ("lang", "source", "lines"),
    [
        ("lua", "--[[ kovel-ignore ]]\nlocal a = target1\nlocal b = target2\n", [3]),
        ("erlang", "-module(m).\nf() ->\n  % kovel-ignore\n  target1,\n  target2.\n", [5]),
        ("haskell", "f = g\n  where\n    {- kovel-ignore -}\n    g = target1\n    h = target2\n", [5]),
        ("ocaml", "let () =\n  (* kovel-ignore *)\n  target1;\n  target2\n", [4]),
        ("julia", "#= kovel-ignore =#\ntarget1\ntarget2\n", [3]),
        ("sql", "/* kovel-ignore */\nSELECT target1 FROM t;\nSELECT target2 FROM t;\n", [3]),
        # a string of a `COMMENT ON` statement is no comment
        ("sql", "COMMENT ON TABLE t IS '-- kovel-ignore';\nSELECT target1 FROM t;\n", [2]),
    ],
)  # fmt: skip
def test_kovel_ignore_in_each_languages_comments(lang, source, lines):
    rule = Rule(regex="^target[0-9]$", not_=Rule(has=Rule(regex="^target")))
    got = scan_task("<text>", lang, [matcher(RuleConfig("r", lang, rule))], None, source.encode())
    assert [d.span.line for d in got.diagnostics] == lines


@pytest.mark.parametrize(
    ("data", "found"),
    [(b"print(1)\rprint(2)\r", None), (b"print(1)\r\nprint(2)\r\n", 2), (b"s = 'a\\rb'\nprint(1)\n", 1)],
)
def test_a_python_file_whose_lines_a_lone_cr_ends_is_skipped(data, found):
    # Python ends a line at a lone CR; tree-sitter's grammar reads a space there.
    r = tasks.find_task("m.py", "python", "print($A)", None, data)
    assert (r.skipped, len(r.matches)) == ((True, 0) if found is None else (False, found))


@pytest.mark.parametrize(
    ("source", "fixes"),
    [
        ("f(f(1))\n", ["g(f(1))", "g(1)"]),
        ("x = f(f(f(2)))\n", ["g(f(f(2)))", "g(f(2))", "g(2)"]),
        ("f(1)(f(2))\n", ["g(1)", "g(2)"]),
    ],
)
def test_a_match_inside_a_fixed_one_has_its_own_fix(source, fixes):
    # As ast-grep reports them: each fix is of its match alone, in the text as it stands.
    m = matcher(RuleConfig("r", "python", Rule(pattern="f($A)"), fix="g($A)"))
    got = scan_task("<text>", "python", [m], None, source.encode())
    assert [d.fix.new for d in got.diagnostics] == fixes


# A fix over a syntax error is not offered, and the scan says why; the other
# matches of the file keep theirs.
@pytest.mark.parametrize(
    "lang, source, rule, fix",
    [
        ("c", "int f() {\n  int x = (1 + ;\n  return 2;\n}\nint g() { return 3; }\n",
         Rule(pattern="int $F() { $$$B }"), "int $F() { return 0; }"),
        ("python", "def a():\n    x = (1 +\ndef b():\n    return 1\n", Rule(kind="function_definition"), "pass"),
    ],
)  # fmt: skip
def test_a_fix_over_a_syntax_error_is_withheld_with_its_place(lang, source, rule, fix):
    got = scan_task("<text>", lang, [matcher(RuleConfig("r", lang, rule, fix=fix))], None, source.encode())
    assert [d.fix is None for d in got.diagnostics] == [True, False]
    assert len(got.withheld) == 1 and "the fix of r at 1:1" in got.withheld[0] and "2:" in got.withheld[0]


# A file passed over for lacking a whole word a pattern spells has no match of it:
# the word glued to letters, digits, underscores, dots and quotes, in several languages.
_PIECES = ["print", "if", "else", "x", "1", "_", ".", "(", ")", " ", "\n", '"', "é", "0x1f", "$", "log"]
_GLUED = {
    "python": ["print($A)", "$A if $B else $C", "$X.log($$$A)"],
    "javascript": ["print($A)", "$X.log($$$A)"],
    "ruby": ["print($A)", "$A if $B"],
}


def _no_match_passed_over(lang, code, source):
    pat = pattern(lang, code)
    found = list(pat.find_all(parse(lang, source)))
    assert not found or tasks.holds_all(source, tasks.required_texts(lang, pat))
    return bool(found)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(_GLUED)), st.data(), st.lists(st.sampled_from(_PIECES), max_size=24))
def test_a_file_lacking_a_whole_word_has_no_match(lang, data, pieces):
    _no_match_passed_over(lang, data.draw(st.sampled_from(_GLUED[lang])), "".join(pieces).encode())


@pytest.mark.parametrize(
    "lang, code, source, matched",
    [
        ("python", "$A if $B else $C", b"z = 1if x else y\n", True),  # a keyword after a digit
        ("ruby", "$A if $B", b"puts 1if y\n", True),
        ("ruby", "$A if $B", b"0x1fif y\n", True),  # (after a number's letters too)
        ("python", "$X.log($$$A)", b"x = a.log(1)\n", True),
        ("python", "print($A)", b"blueprint(1)\nprint_all(2)\n", False),
        ("javascript", "print($A)", b"$print(1); print$(2)\n", False),
    ],
)
def test_a_whole_word_is_held_wherever_it_matches(tmp_path, lang, code, source, matched):
    assert _no_match_passed_over(lang, code, source) is matched
    # The native reader of the files passed over says what holds_all says.
    (tmp_path / "f").write_bytes(source)
    required = tasks.required_texts(lang, pattern(lang, code))
    lacking = _native.read_lacking(str(tmp_path / "f"), required, 1 << 20) is not None
    assert lacking is not tasks.holds_all(source, required)
