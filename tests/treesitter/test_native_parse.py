"""Parsing with kovel's own tree-sitter runtime: the terms of the cursor walk and of the
Python reference walk, byte for byte, and the error spans of the batch layer."""

import gc
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest
from hypothesis import given, settings, strategies as st

tree_sitter = pytest.importorskip("tree_sitter")

from kovel import _kovel, _native, treesitter as ts  # noqa: E402
from kovel.batch.tasks import error_spans  # noqa: E402
from kovel.treesitter.convert import parse_with_errors, syntax_errors  # noqa: E402
from kovel.treesitter.grammars import capsule  # noqa: E402
from kovel.treesitter.layout import inside_literal  # noqa: E402
from tests.helpers import LITERAL_CASES, in_threads  # noqa: E402
from tests.treesitter.reference import reference_walk  # noqa: E402

JS_MODULE = b"""// a module
import { a } from "./a.js";
/* block
   comment */
export function f(x, ...rest) {
  const re = /a\\/b[c]/gi, s = 'q\\'uote', t = `line
  ${x + `in ${rest}`}
end`;
  if (x) { return <div className="c">{t}</div>; }
  label: for (let i = 0; i < 3; i++) continue label;
  return s.replace(re, "\\n") ?? null;
}
class K extends Object { #p = 1; static get q() { return this.#p } }
"""

# Small programs in languages whose grammars differ in what the walk meets:
# external scanners, heredocs, aliases, hidden tokens, CRLF, non-ASCII text.
SNIPPETS = [
    ("python", "def f(x):\r\n    return 'é' + \\\n  x\n# done\n"),
    ("javascript", "const t = `a\n${b}\n`; /* c\nd */\nf(x => <p>{t}</p>);\n"),
    ("typescript", "type A<T> = { [k in keyof T]?: T[k] };\nlet x: A<number> = {} as any;\n"),
    ("tsx", "export const C = () => <div className='x'>{1}</div>;\n"),
    ("rust", 'fn main() { let s = r#"a\n"b"#; println!("{}", s); }\n'),
    ("go", "package p\n\nfunc f() string {\n\treturn `raw\nstring`\n}\n"),
    ("ruby", "x = <<~EOS\n  hi #{y}\nEOS\n=begin\nc\n=end\n"),
    ("bash", "f() {\n  cat <<EOF\n$x\nEOF\n}\n"),
    ("c", "#define M(a) \\\n  (a + 1)\nint main(void) { return M(2); }\n"),
    ("cpp", 'auto s = R"x(a\nb)x"; template <class T> T f(T t) { return t; }\n'),
    ("java", 'class A { String s = """\n  text\n  """; }\n'),
    ("html", "<p class=a>x<br>\n<script>let y = 1;</script></p>\n"),
    ("yaml", "a: |\n  line\n  line\nb: [1, 2]\n"),
    ("json", '{"a": [1, 2.5, "x\\n"], "b": null}\n'),
    ("php", "<?php\n$a = <<<EOT\n  x $y\nEOT;\necho $a;\n"),
    ("lua", "local s = [[\nlong\n]] print(s)\n"),
    ("javascript", JS_MODULE.decode()),
]
BROKEN = [
    ("python", "def f(:\n  pass\nx = (1,\n"),
    ("javascript", "function (a, { return }\nlet = ;\n"),
    ("c", "int main( { return 0 \n"),
    ("rust", "fn f( { let x = ; }\n"),
    # a line break the grammar hides is missing: no node of the tree shows it
    ("go", "package p type T int\nfunc f() {}\n"),
    ("c_sharp", "class A { <T> x; }\n"),
]


def walked(cursor, data, lo, hi, verbatim=ts.VERBATIM_KINDS, code=ts.CODE_KINDS, inherited=False):
    text = data.decode() if data.isascii() else None
    return reference_walk(cursor, data, text, lo, hi, frozenset(verbatim), frozenset(code), inherited)


def assert_as_reference(lang, data, **rules):
    tree = tree_sitter.Parser(ts.language(lang)).parse(data)
    got = parse_with_errors(lang, data, **rules)
    assert got.term.postcard_bytes() == walked(tree.walk(), data, 0, len(data), **rules).postcard_bytes()
    assert got.term.postcard_bytes() == ts.from_tree(tree, data, **rules).postcard_bytes()
    assert list(got.errors) == error_spans(tree) and syntax_errors(lang, data) == got.errors
    assert str(got.term) == data.decode()
    return got


def assert_nodes_as_reference(lang, data):
    """from_node on a spread of nodes: each inside literals or not, as the whole tree has it."""
    verbatim, code = frozenset(ts.VERBATIM_KINDS), frozenset(ts.CODE_KINDS)
    nodes, stack = [], [tree_sitter.Parser(ts.language(lang)).parse(data).root_node]
    while stack:
        nodes.append(stack.pop())
        stack.extend(nodes[-1].children)
    for node in nodes[:: max(1, len(nodes) // 40)]:
        inherited = inside_literal(node, data, verbatim, code)
        want = walked(node.walk(), data, node.start_byte, node.end_byte, inherited=inherited)
        assert ts.from_node(node, data).postcard_bytes() == want.postcard_bytes()


def real_files(count):
    out, paths = [], sysconfig.get_paths()
    for root, ext, lang in ((paths["stdlib"], ".py", "python"), (paths["include"], ".h", "c")):
        found = [os.path.join(d, f) for d, _, fs in os.walk(root) if "-packages" not in d for f in fs]
        found = sorted(f for f in found if f.endswith(ext))
        out += [(lang, p) for p in found[:: max(1, len(found) // count)][:count]]
    return out


CASES = [(lang, s.encode(), (lang, s) in BROKEN, lang) for lang, s in SNIPPETS + BROKEN]
CASES += [(lang, open(p, "rb").read(), None, os.path.basename(p)) for lang, p in real_files(40)]


@pytest.mark.parametrize("lang, data, broken", [c[:3] for c in CASES], ids=[c[3] for c in CASES])
def test_code_and_real_files_parse_as_the_reference_walks_them(lang, data, broken):
    try:
        data.decode()
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    got = assert_as_reference(lang, data)
    assert broken is None or bool(got.errors) == broken
    assert_nodes_as_reference(lang, data)


@pytest.mark.parametrize(
    "lang, source, kind, _", LITERAL_CASES, ids=[f"{c[0]}-{c[2]}" for c in LITERAL_CASES]
)
def test_literal_cases_and_other_rules_parse_as_the_reference(lang, source, kind, _):
    rules = [
        {}, {"verbatim": ()}, {"verbatim": (), "code": ()}, {"verbatim": {"block", "compound_statement", "program"}},
        {"verbatim": frozenset({kind}), "code": frozenset()},  # a kind made verbatim
        {"verbatim": frozenset(), "code": frozenset({kind})},  # literal words overridden as code
    ]  # fmt: skip
    # as written, and one level deeper with CR LF line ends and a line continuation
    for text in (source, "\n" + source.replace("\n", "\r\n") + "x \\\r\n y\n"):
        for r in rules:
            assert_as_reference(lang, text.encode(), **r)


CODE = st.sampled_from(
    ["x", " ", "    ", "\n", "\t", "(", ")", "{", "}", "[", "]", '"', "'", "`", "\\", "\\\n", "/*", "*/", "#",
     "//", "<<EOF", "EOF", "é", "😀", "\r\n", ":", ";", "=", "def", "if", "f(", "<a>", "$", "${", "1.5", ","]
)  # fmt: skip


@settings(max_examples=300, deadline=None)
@given(
    st.sampled_from(["python", "c", "javascript", "ruby", "bash", "rust", "html", "php"]),
    st.lists(CODE, max_size=50),
)
def test_broken_code_parses_as_the_reference_walks_it(lang, pieces):
    assert_as_reference(lang, "".join(pieces).encode())


@pytest.mark.parametrize("depth, opener, inner, closer", [(5000, b"(", b"1", b")"), (20000, b"[", b"", b"]")])
def test_deep_tree_is_walked_without_recursion(depth, opener, inner, closer):
    assert_as_reference("python", b"x = " + opener * depth + inner + closer * depth + b"\n")


def test_time_limit_stops_the_parse_and_the_next_parse_starts_afresh():
    big = b"x = [" + b"1, " * 400_000 + b"]\n"
    with pytest.raises(TimeoutError):
        parse_with_errors("python", big, timeout=1e-4)
    with pytest.raises(TimeoutError):
        syntax_errors("python", big, timeout=1e-4)
    assert str(parse_with_errors("python", b"y = 2\n", timeout=10).term) == "y = 2\n"
    with pytest.raises(ValueError, match="positive"):
        parse_with_errors("python", b"", timeout=0)


def test_threads_parse_at_once_and_trees_kept_on_threads_that_ended_are_reparsed_here():
    # The parser's blocks come from per-thread free lists (or scratch memory, for a tree read
    # once): a tree made on a thread that has ended is edited, reparsed and freed on another.
    sources = [(lang, s.encode()) for lang, s in SNIPPETS + BROKEN] * 8
    want = [(p.term.postcard_bytes(), p.errors) for p in (parse_with_errors(*s) for s in sources)]
    got, kept = [None] * len(sources), [None] * len(sources)

    def work(k):
        for i in range(k, len(sources), 4):
            p, kept[i] = parse_with_errors(*sources[i]), parse_with_errors(*sources[i], keep_tree=True)
            got[i] = (p.term.postcard_bytes(), p.errors)

    in_threads(4, work)
    assert got == want
    for (lang, data), before in zip(sources[::2], kept[::2], strict=True):
        grown = data + b"\n" + data  # the tree's arrays grow past their blocks
        assert syntax_errors(lang, grown, previous=(before, data)) == syntax_errors(lang, grown)
    kept.clear()


def test_language_made_elsewhere_is_parsed_by_py_tree_sitter_alike():
    import tree_sitter_python

    elsewhere = tree_sitter.Language(tree_sitter_python.language())
    assert capsule(elsewhere) is None
    data = b"def f(:\n  return 'x'\n"
    got, want = parse_with_errors(elsewhere, data), parse_with_errors("python", data)
    assert (got.term.postcard_bytes(), got.errors) == (want.term.postcard_bytes(), want.errors)
    assert ts.parse(elsewhere, data).postcard_bytes() == ts.parse("python", data).postcard_bytes()


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda g, f: _native.ts_parse(object(), b"", f, None, False), TypeError, "capsule"),
        (lambda g, f: _native.ts_parse("python", b"", f, None, False), TypeError, "capsule"),
        (lambda g, f: _native.ts_parse(g, b"x", f[:-1], None, False), ValueError, "a byte for each"),
        (lambda g, f: _native.ts_parse(g, "x", f, None, False), TypeError, "source must be bytes"),
        (lambda g, f: _native.ts_parse(g, b"\xff", f, None, False), ValueError, "UTF-8"),
        (lambda g, f: _native.ts_parse(g, b"x", f, "soon", False), TypeError, "must be real number"),
        (lambda g, f: _native.ts_symbols(None), TypeError, "capsule"),
    ],
)
def test_native_parse_arguments(call, error, match):
    grammar = capsule("python")
    with pytest.raises(error, match=match):
        call(grammar, bytes(len(_native.ts_symbols(grammar))))


def test_symbols_name_the_kinds_the_tree_shows():
    names, lang = _native.ts_symbols(capsule("python")), ts.language("python")
    assert names[-2:] == ("ERROR", "_ERROR")
    assert names[: lang.node_kind_count] == tuple(map(lang.node_kind_for_id, range(lang.node_kind_count)))


def test_failing_calls_leak_no_reference():
    grammar = capsule("python")
    flags = bytes(len(_native.ts_symbols(grammar)))
    data = b"x = (1,\n"
    before = sys.getrefcount(grammar), sys.getrefcount(data), sys.getrefcount(flags)
    for _ in range(200):
        _native.ts_parse(grammar, data, flags, None, False)
        _native.ts_parse(grammar, data, None, 1.0, True)
        for bad in ((grammar, data, flags[:-1], None, False), (grammar, data, flags, "x", False)):
            with pytest.raises((ValueError, TypeError)):
                _native.ts_parse(*bad)
    del bad
    gc.collect()
    assert (sys.getrefcount(grammar), sys.getrefcount(data), sys.getrefcount(flags)) == before


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_the_runtime_is_not_exported_beside_py_tree_sitters():
    symbols = subprocess.run(["nm", "-D", "--defined-only", _kovel.__file__], capture_output=True, text=True)
    exported = [line.split()[-1] for line in symbols.stdout.splitlines()]
    assert "PyInit__kovel" in exported
    assert not [s for s in exported if s.startswith("ts_")]


EDIT_SOURCES = [
    (lang, s) for lang, s in SNIPPETS + BROKEN if lang in ("python", "javascript", "c", "rust", "ruby")
]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(EDIT_SOURCES), st.data())
def test_a_reparse_after_edits_finds_the_errors_of_a_fresh_parse(case, data):
    lang, source = case
    cuts = sorted(data.draw(st.lists(st.integers(0, len(source)), max_size=8)))
    pieces, edits, at = [], [], 0
    for a, b in zip(cuts[::2], cuts[1::2], strict=False):
        new = "".join(data.draw(st.lists(CODE, max_size=8)))
        edits.append((len(source[:a].encode()), len(source[:b].encode()), len(new.encode())))
        pieces += [source[at:a].encode(), new.encode()]
        at = b
    old, new = source.encode(), b"".join(pieces) + source[at:].encode()
    before = parse_with_errors(lang, old, keep_tree=True)
    fresh = syntax_errors(lang, new)
    # Not told where (found by comparing), told, and told wrong replacements, which are not trusted.
    wrong = [(a, b, n + 1) for a, b, n in edits]
    for told in (None, edits, wrong):
        assert syntax_errors(lang, new, previous=(before, old), edits=told) == fresh


def test_a_reparse_of_many_edits_to_a_real_file_finds_the_errors_of_a_fresh_parse():
    lang, path = real_files(3)[1]
    old = open(path, "rb").read()
    text, before = old.decode(), parse_with_errors(lang, old, keep_tree=True)
    ats = range(0, len(text), max(1, len(text) // 7))
    for edit in ("(", ")", ":\n", "    ", "print(1)\n", "def f(:\n", "\n"):
        for at in ats:
            new = (text[:at] + edit + text[at:]).encode()
            assert syntax_errors(lang, new, previous=(before, old)) == syntax_errors(lang, new)
        # The same edit everywhere at once, told where.
        new = "".join(text[a:b] + edit for a, b in zip([0, *ats], ats, strict=False)) + text[ats[-1] :]
        new = new.encode()
        edits = [(len(text[:a].encode()), len(text[:a].encode()), len(edit.encode())) for a in ats]
        assert syntax_errors(lang, new, previous=(before, old), edits=edits) == syntax_errors(lang, new)


def test_a_reparse_needs_a_kept_tree():
    assert parse_with_errors("python", b"x\n").tree is None
    with pytest.raises(TypeError, match="kept"):
        _native.ts_reparse(object(), b"x\n", b"y\n", None)
    kept = parse_with_errors("python", b"x = 1\n", keep_tree=True).tree
    with pytest.raises(ValueError, match="old source"):
        _native.ts_reparse(kept, b"x", b"y\n", None)
    assert _native.ts_reparse(kept, b"x = 1\n", b"x = (\n", None) == ((0, 5),)


@pytest.mark.parametrize("budget", [1, 4096, 1 << 16])
def test_parses_past_their_scratch_budget_give_the_same_terms_and_matches(budget):
    """A parse whose tree is read once takes its blocks from scratch memory up to a
    budget, then from the pool: the tree, mixed, reads and frees as a whole one."""
    from kovel.batch import find_source
    from kovel.batch.workers import InlineExecutor

    argparse = os.path.join(sysconfig.get_paths()["stdlib"], "argparse.py")
    sources = [(lang, s.encode()) for lang, s in SNIPPETS + BROKEN] + [
        ("python", open(argparse, "rb").read())
    ]

    def run():
        terms = [(p.term.postcard_bytes(), p.errors) for p in (parse_with_errors(*s) for s in sources)]
        pattern = "$A($$$B)"
        found = [
            [(m.line, m.text) for m in find_source(s, lang, pattern, executor=InlineExecutor()).matches]
            for lang, s in sources
            if lang in ("python", "javascript", "c")
        ]
        return terms, found

    want = run()
    assert sum(map(len, want[1])) > 100
    _native.ts_scratch_budget(budget)
    try:
        assert run() == want
    finally:
        _native.ts_scratch_budget(None)
