"""Searching a source without converting all of it gives the matches of the whole term."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

pytest.importorskip("tree_sitter")

from kovel import _native  # noqa: E402
from kovel.quasi import pattern  # noqa: E402
from kovel.quasi.match import find_all_many, search_source, search_source_parsed, search_stored  # noqa: E402
from kovel.treesitter import language, parse  # noqa: E402
from kovel.treesitter.convert import native_grammar, parse_with_errors  # noqa: E402


def grammar(lang):
    try:
        language(lang)
    except ValueError:
        pytest.skip(f"no {lang} grammar installed")


def _value(v):
    return v.postcard_bytes() if not isinstance(v, list) else [x.postcard_bytes() for x in v]


def _facts(matches):
    """Everything a match says, with terms compared by their bytes."""
    return [
        (m.path, m.span, m.term.postcard_bytes(), {k: _value(v) for k, v in m.bindings.items()})
        for m in matches
    ]


def assert_same(codes, lang, source, **layout):
    ps = [pattern(lang, c) for c in codes]
    data = source.encode()
    term = parse(lang, data, **layout)
    whole = find_all_many(ps, term)
    expected = [_facts(ms) for ms in whole]
    got = search_source(ps, data, **layout)
    assert [_facts(ms) for ms in got.matches] == expected
    assert got.errors == parse_with_errors(lang, data, **layout).errors
    # one pattern at a time finds the same as all of them at once
    for p, ms in zip(ps, whole, strict=True):
        assert _facts(search_source([p], data, **layout).matches[0]) == _facts(ms)
    # searching while keeping the whole parse for a rewrite
    seen, parsed = search_source_parsed(ps, data, **layout)
    assert [_facts(ms) for ms in seen.matches] == expected
    if any(whole):
        assert parsed.term.postcard_bytes() == term.postcard_bytes() and parsed.tree is not None
    else:
        assert parsed is None
    # the stored term, outlined down to every node, to none, and in between
    postcard = term.postcard_bytes()
    for least in (0, 1, 16, 1 << 31):
        outline = _native.postcard_outline(postcard, least)
        blob = b"head" + outline + postcard
        stored = search_stored(ps, blob, 4, 4 + len(outline), data)
        if all(p._native_search for p in ps):
            assert [_facts(ms) for ms in stored] == expected
        else:
            assert stored is None  # a run of statements: decoded whole by the caller
    return whole


CASES = [
    # nested matches, matches inside other patterns' matches, matches in f-strings
    ("python", ["$A.append($B)"], "a.append(b.append(c.append(d)))\nx = f'{ys.append(1)}'\n"),
    ("python", ["len($X)", "print($A)"], "print(len(x))\nif y:\n    print(len(\n        z))\n"),
    # the required word in comments, strings and names that are no match
    ("python", ["$A.append($B)"], "# a.append(b)\ns = 'x.append(y)'\nappend(1)\nappended.x(2)\nz.append(3)\n"),
    # multi-line bindings (re-indented) and characters beyond ASCII before the match
    ("python", ["$A.append($B)"], "é = 'ü'\nclass K:\n    def f(ž):\n        ž.append([\n            1,\n        ])\n"),
    ("python", ["if $C:\n    $$$B"], "def f():\n    if x:\n        g()\n    if y: h()\n"),
    # a run of statements next to single-node patterns
    ("python", ["$A = 1\n$B = 2", "g($X)"], "def f():\n    a = 1\n    b = 2\n    g(a)\n"),
    ("javascript", ["console.log($$$A)"], "const s = `${console.log(1,\n 2)}`;\nfunction f() { console.log(3) }\n"),
    # a call holding the word whose own children cannot match (a bundle's
    # wrapper) is walked into, not converted whole; comments among the children
    ("javascript", ["console.log($$$A)"], "(function () {\n  console /* c */ .log(1);\n  f(console.log);\n})();\n"),
    ("typescript", ["$A as $T"], "let x = (y as number) + (z as\n  string);\n"),
    ("c", ["foo($A)"], "#define X(a) \\\n  foo(a)\nint main() { return foo(1) + foo(foo(2)); }\n"),
    ("go", ["fmt.Println($$$A)"], "package m\nfunc f() {\n\tfmt.Println(1, g(fmt.Println(2)))\n}\n"),
    ("rust", ["$X.unwrap()"], "fn f() { let a = b.unwrap().c.unwrap(); }\n"),
    ("ruby", ["foo($X)"], "x = <<~EOS\n  #{foo(1)}\nEOS\nfoo(2)\n"),
    ("bash", ["foo $X"], "cat <<EOF\n$(foo 1)\nEOF\nfoo 2\n"),
    # syntax errors around and inside the matches
    ("python", ["g($X)"], "def f(:\n    g(1)\n    g(2 +)\n"),
    # a pattern whose root is the tree's own root kind: the whole tree is converted
    ("python", ["x = 1\n"], "x = 1\n"),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "codes", "source"), CASES)
def test_same_matches_as_the_whole_term(lang, codes, source):
    grammar(lang)
    whole = assert_same(codes, lang, source)
    assert any(whole), "the case should have matches"


def test_an_ancestor_found_verbatim_late_converts_the_subtrees_again():
    # The string's gaps hold words on both sides of a line feed, so the
    # string is verbatim once all its children were seen (taken for code,
    # it is no literal): the command inside was converted before that.
    grammar("tcl")
    source = 'proc f {} {\n  set a "x\n  y [g\n z]"\n  g\n}\n'
    whole = assert_same(["g $X"], "tcl", source, verbatim=(), code={"quoted_word"})
    assert any("\n" in str(m.term) for m in whole[0])


def test_what_search_source_refuses():
    with pytest.raises(ValueError, match="several languages"):
        search_source([pattern("python", "f($X)"), pattern("javascript", "f($X)")], b"f(1)\n")
    with pytest.raises(ValueError, match="UTF-8"):
        search_source([pattern("python", "f($X)")], b"f('\xff')\n")
    assert search_source([], b"f(1)\n") == ([], ())
    with pytest.raises(TimeoutError):
        search_source([pattern("python", "f($X)")], b"f(1)\n" * 400_000, timeout=1e-6)


@pytest.mark.parametrize(
    ("change", "error", "match"),
    [
        ({0: object()}, TypeError, "capsule"), ({1: "f(1)\n"}, TypeError, "bytes"),
        ({2: b"\x00"}, ValueError, "a byte for each"), ({4: [object()]}, TypeError, "compile_pattern"),
        ({5: [(b"f", "x")]}, TypeError, "tuple of bytes"), ({5: []}, TypeError, "tuple of bytes"),
    ],
)  # fmt: skip
def test_native_arguments(change, error, match):
    capsule, kinds = native_grammar("python")
    p = pattern("python", "f($X)")
    args = [capsule, b"f(1)\n", kinds, None, [p._program], [(b"f",)]]
    assert _native.ts_match(*args)[0][0][0][2:4] == (0, 4)
    for k, v in change.items():
        args[k] = v
    with pytest.raises(error, match=match):
        _native.ts_match(*args)


# Scraps of several languages' syntax, most of them unbalanced: error
# recovery, heredocs, templates and continuations in every arrangement.
_SCRAPS = ["f(", "x", ")", "\n", "  ", '"', "'", "`", "{", "}", "${", "$", "\\\n", "#", "//", "/*", "*/"]
_SCRAPS += [",", ";", "é", "f(x)", "(", "<<EOF\n", "EOF\n", "[", "]", "=", "def ", "if ", ":", "\t", "\r\n"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.sampled_from(["python", "javascript", "c", "bash", "ruby", "go", "rust"]),
    st.lists(st.sampled_from(_SCRAPS), max_size=80),
)
def test_any_text_in_any_language(lang, scraps):
    codes = ["f $X"] if lang == "bash" else ["f($X)", "f($$$A)"]
    assert_same(codes, lang, "".join(scraps))


def _stdlib_files(count):
    import os
    import sysconfig

    root = sysconfig.get_paths()["stdlib"]
    found = sorted(os.path.join(root, f) for f in os.listdir(root) if f.endswith(".py"))
    return found[:: max(1, len(found) // count)][:count]


@pytest.mark.parametrize("codes", [["$A.append($B)"], ["isinstance($X, $T)", "self.$M($$$A)"], ["raise $E"]])
def test_stored_terms_of_real_files_give_the_matches_of_the_whole_term(codes):
    ps = [pattern("python", c) for c in codes]
    for path in _stdlib_files(25):
        data = open(path, "rb").read()
        term = parse("python", data)
        postcard = term.postcard_bytes()
        outline = _native.postcard_outline(postcard, 512)
        assert 0 < len(outline) < len(postcard)
        got = search_stored(ps, outline + postcard, 0, len(outline), data)
        assert [_facts(ms) for ms in got] == [_facts(ms) for ms in find_all_many(ps, term)], path


def test_an_outline_only_of_the_terms_of_sources():
    source = b"def f(x):\n    return g(x) + g(1)\n"
    postcard = parse("python", source).postcard_bytes()
    outline = _native.postcard_outline(postcard, 0)
    ps = [pattern("python", "g($X)")]
    assert len(search_stored(ps, outline + postcard, 0, len(outline), source)[0]) == 2
    # a damaged outline (the native tests damage it every way): the term is decoded whole
    assert search_stored(ps, outline[:-1] + postcard, 0, len(outline) - 1, source) is None
    # another source than the term's
    assert search_stored(ps, outline + postcard, 0, len(outline), source + b"g(2)\n") is None
    # a term laid out with prefixes (a template's) has none
    from kovel.quasi import template

    made = template("python", "def f():\n    $B").fill(B=parse("python", "g(1)\ng(2)\n"))
    assert _native.postcard_outline(made.postcard_bytes(), 0) == b""
    assert _native.postcard_outline(b"\x02", 0) == _native.postcard_outline(b"", 0) == b""
    with pytest.raises(ValueError, match="in the blob"):
        _native.postcard_match(outline + postcard, len(outline) + 1, len(outline), source, [], [])
