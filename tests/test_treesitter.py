"""Terms from tree-sitter syntax trees: exact round trips, layout, re-indentation."""

import doctest
import glob
import importlib
import importlib.machinery
import os
import subprocess
import sys
import sysconfig
import time
import types
from array import array

import pytest

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel import from_postcard_bytes, leaf, tb  # noqa: E402
from kovel.treesitter import available_languages, from_node, from_tree, language, parse  # noqa: E402


def real_files(count=8):
    paths = sorted(glob.glob(os.path.join(sysconfig.get_paths()["stdlib"], "**", "*.py"), recursive=True))
    paths = [("python", f) for f in paths if "-packages" not in f]
    paths = paths[:: max(1, len(paths) // count)][:count]
    paths += [("c", os.path.join(sysconfig.get_paths()["include"], h)) for h in ("Python.h", "object.h")]
    return [(lang, open(p, "rb").read(), None) for lang, p in paths if os.path.exists(p)]


@pytest.mark.parametrize(
    "lang, source, flawed",
    [("python", b"# lead\nx = 1  # trail\n\n\n# end\n", False), ("python", b"if x:\r\n    y = 'a'\r\n\r\n", False)]
    + [("python", "s = 'grüße ☃ 😀'  # été\nnäme = 1\n".encode(), False), ("python", b"", False)]
    + [("python", b"[" * 5000 + b"]" * 5000, False)]  # deeper than the recursion limit
    + [("python", b"x = = 1 )\nprint(\n", True), ("c", b"  /* a\n   b */\nint main(void) { return 0 }\r\n", True)]
    + real_files(),
    ids=lambda v: repr(v[:24]) if isinstance(v, bytes) else None,
)  # fmt: skip
def test_round_trips(lang, source, flawed):
    try:
        text = source.decode()
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    term = parse(lang, source)
    back = from_postcard_bytes(term.postcard_bytes())
    assert str(term) == str(back) == text and back.postcard_bytes() == term.postcard_bytes()
    assert flawed is None or tree_sitter.Parser(language(lang)).parse(source).root_node.has_error == flawed


def test_tree_maps_to_tagged_tuples_with_layout():
    # Gaps become Writes, a line feed between children an NL; leaves keep their text.
    def stmt(n, v):
        assign = tb("assignment").c(leaf("identifier", n)).w(" ").c(leaf("=", "=")).w(" ")
        return tb("expression_statement").c(assign.c(leaf("integer", v)).b()).b()

    expected = tb("module").c(stmt("x", "1")).n().w("  ").c(leaf("comment", "# c")).n().c(stmt("y", "2")).b()
    assert parse("python", "x = 1\n  # c\ny = 2").postcard_bytes() == expected.postcard_bytes()


def test_fragment_is_reindented_except_inside_string_literals():
    # A CR before a line feed stays before the prefix; nothing inside a string literal
    # (f-string replacement fields included) gets one.
    source = b'def g():\n    if a:\r\n        s = """x\n  \\ty""" + f"""{\n  x\n}"""  # c\n        f(\n            1)\n'
    node = tree_sitter.Parser(language("python")).parse(source).root_node.children[0].children[-1].children[0]
    expected = (
        '> if a:\r\n|         s = """x\n  \\ty""" + f"""{\n  x\n}"""  # c\n|         f(\n|             1)'
    )
    assert str(tb("x").w("> ").p("| ").c(from_node(node, source)).b()) == expected


def test_language_lookup_and_errors():
    lang = language("python")
    assert isinstance(lang, tree_sitter.Language) and language(lang) is lang
    assert str(parse(lang, "a  +b")) == str(parse("python", "a  +b")) == "a  +b"
    with pytest.raises(ValueError, match="no tree-sitter grammar"):
        language("no-such-language-xyz")
    with pytest.raises(ValueError, match="UTF-8"):
        parse("python", b"x = '\xff'\n")


@pytest.mark.parametrize("source", [5, [120], None, 1.5, {"x": 1}], ids=repr)
def test_source_is_text_or_bytes_like_only(source):
    # bytes() would turn 5 into five NULs and [120] into "x".
    src = b"x = 1\n"
    tree = tree_sitter.Parser(language("python")).parse(src)
    for convert in (
        lambda s: parse("python", s),
        lambda s: from_tree(tree, s),
        lambda s: from_node(tree.root_node, s),
    ):
        with pytest.raises(TypeError, match=f"not {type(source).__name__!r}"):
            convert(source)
        assert (
            str(convert(bytearray(src)))
            == str(convert(memoryview(src)))
            == str(convert(array("B", src)))
            == "x = 1\n"
        )


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
    from kovel import _treesitter_timeout as workers

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


def test_unknown_grammar_names_the_installed_ones():
    with pytest.raises(ValueError, match="did you mean 'python'") as info:
        language("pyhton")
    assert "python" in str(info.value) and "tree-sitter-pyhton" not in str(info.value)
    assert {"c", "python"} <= set(available_languages())


def test_language_pack_grammars():
    pack = pytest.importorskip("tree_sitter_language_pack")
    if not hasattr(pack, "get_binding"):
        pytest.skip("this tree-sitter-language-pack downloads its grammars")
    assert "bash" in available_languages()
    assert str(parse("bash", "echo hi\n")) == "echo hi\n" and language("bash").name == "bash"


def test_language_pack_that_downloads_is_only_used_for_cached_grammars(monkeypatch):
    # Later releases of the pack download a grammar on first use: only those
    # already in its cache count as installed, and nothing is downloaded.
    import tree_sitter_python

    fake = types.ModuleType("tree_sitter_language_pack")
    fake.__spec__ = importlib.machinery.ModuleSpec("tree_sitter_language_pack", None)
    asked = []
    fake.downloaded_languages = lambda: ["cachedlang"]
    fake.get_language = lambda name: asked.append(name) or tree_sitter.Language(tree_sitter_python.language())
    fake.download = fake.prefetch = lambda *a: pytest.fail("downloaded a grammar")
    monkeypatch.setitem(sys.modules, "tree_sitter_language_pack", fake)
    assert str(parse("cachedlang", "x = 1\n")) == "x = 1\n"
    with pytest.raises(ValueError, match="no tree-sitter grammar for 'remotelang'"):
        language("remotelang")
    assert asked == ["cachedlang"] and "cachedlang" in available_languages()


@pytest.mark.parametrize("module", ["kovel.treesitter", "kovel._treesitter_timeout"])
def test_docstring_examples(module):
    assert doctest.testmod(importlib.import_module(module)).failed == 0


def test_timeout_from_a_script_without_a_main_guard(tmp_path):
    # A worker started by multiprocessing would run this script again, and fail.
    script = tmp_path / "script.py"
    script.write_text("from kovel.treesitter import parse\nprint(parse('python', 'x = 1', timeout=30))\n")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "x = 1\n"), done.stderr
