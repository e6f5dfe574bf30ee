"""Finding grammars: by name, in packages or in the language pack, and the errors that name the installed ones."""

import importlib.machinery
import sys
import types

import pytest

tree_sitter = pytest.importorskip("tree_sitter")
pytest.importorskip("tree_sitter_python")
pytest.importorskip("tree_sitter_c")

from kovel.treesitter import available_languages, language, parse  # noqa: E402


def test_language_lookup_and_errors():
    lang = language("python")
    assert isinstance(lang, tree_sitter.Language) and language(lang) is lang
    assert str(parse(lang, "a  +b")) == str(parse("python", "a  +b")) == "a  +b"
    assert {"c", "python"} <= set(available_languages())
    # names no package has (one would import a module `tree_sitter_`)
    for name in ("no-such-language-xyz", ".python", "python/../x", "../../etc\0"):
        with pytest.raises(ValueError, match="no tree-sitter grammar"):
            language(name)
    with pytest.raises(ValueError, match="did you mean 'python'") as info:  # names the installed ones
        language("pyhton")
    assert "tree-sitter-pyhton" not in str(info.value)
    with pytest.raises(ValueError, match="UTF-8"):
        parse("python", b"x = '\xff'\n")


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


def test_every_language_listed_loads():
    # (A package's other grammars, OCaml's types or PHP without HTML, only with that package.)
    assert [name for name in available_languages() if _refused(name)] == []


def _refused(name):
    try:
        language(name)
    except ValueError:
        return True
    return False
