"""Grammars: the ``tree_sitter.Language`` of a name, the names installed here, and what to install.

A grammar comes from an installed package ``tree_sitter_NAME`` or from
``tree-sitter-language-pack``.  kovel installs ``tree-sitter`` and that bundle
in a release that works offline (0.13: later releases download grammars at
run time), so ``tree_sitter_problem`` and ``grammar_problem`` only have
something to say when someone removed one, or for a language the bundle
lacks.

``tree-sitter`` itself is imported on first use (``tree_sitter()``), not with
this module, so that kovel and the ``kovel`` command import without it and
can say how to install it.
"""

from __future__ import annotations

import difflib
import importlib
import importlib.util
import pkgutil
from types import ModuleType
from typing import TYPE_CHECKING, Any, cast

if TYPE_CHECKING:
    from tree_sitter import Language, Parser

__all__ = [
    "PACK_REQUIREMENT",
    "TREE_SITTER_REQUIREMENT",
    "available_languages",
    "canonical_name",
    "capsule",
    "grammar_package",
    "grammar_problem",
    "language",
    "language_name",
    "parser",
    "tree_sitter",
    "tree_sitter_problem",
]

#: What kovel's own dependencies ask for (``pyproject.toml`` says the same).
TREE_SITTER_REQUIREMENT = "tree-sitter>=0.23"
PACK_REQUIREMENT = "tree-sitter-language-pack==0.13.0"

# Grammar packages whose language function is not called ``language``:
# name -> (module, function).
_LANGUAGE_FUNCTIONS: dict[str, tuple[str, str]] = {
    "typescript": ("tree_sitter_typescript", "language_typescript"),
    "tsx": ("tree_sitter_typescript", "language_tsx"),
    "php": ("tree_sitter_php", "language_php"),
    "php_only": ("tree_sitter_php", "language_php_only"),
    "ocaml": ("tree_sitter_ocaml", "language_ocaml"),
    "ocaml_interface": ("tree_sitter_ocaml", "language_ocaml_interface"),
    "ocaml_type": ("tree_sitter_ocaml", "language_ocaml_type"),
    "xml": ("tree_sitter_xml", "language_xml"),
    "dtd": ("tree_sitter_xml", "language_dtd"),
    "markdown_inline": ("tree_sitter_markdown", "inline_language"),
}
_PACK = "tree_sitter_language_pack"

_languages: dict[str, Language] = {}
# The name each cached Language was loaded under, by id (the objects live in
# ``_languages``): a worker process loads the grammar again by that name.
_language_names: dict[int, str] = {}
# The grammar's PyCapsule behind each cached Language, by id: kovel's own
# tree-sitter runtime parses with it (``kovel._native.ts_parse``).
_capsules: dict[int, Any] = {}


def tree_sitter() -> ModuleType:
    """The ``tree_sitter`` module, imported on first use; ``ImportError`` with the
    command that installs it when it is missing.

    >>> tree_sitter().Parser
    <class 'tree_sitter.Parser'>
    """
    try:
        import tree_sitter
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "kovel.treesitter needs the 'tree-sitter' package, which installing kovel brings: "
            f"pip install '{TREE_SITTER_REQUIREMENT}' '{PACK_REQUIREMENT}'"
        ) from exc
    return tree_sitter


def parser(lang: Language | str) -> Parser:
    """A new ``tree_sitter.Parser`` for the grammar ``lang`` (see ``language``).

    >>> parser("python").parse(b"x = 1\\n").root_node.type
    'module'
    """
    return cast("Parser", tree_sitter().Parser(language(lang)))


def _key(name: str) -> str:
    key = name.lower().replace("-", "_")
    return key[len("tree_sitter_") :] if key.startswith("tree_sitter_") else key


# Names under which one grammar loads twice, and the one name kovel gives it
# (the name of its own package, and of the files listed in it).
_SAME_GRAMMAR = {"csharp": "c_sharp"}


def canonical_name(name: str) -> str:
    """The one name kovel gives the grammar ``name`` loads: every table of a
    grammar's ways is keyed by it, and files are listed under it.

    >>> canonical_name("csharp"), canonical_name("Python"), canonical_name("tree-sitter-c-sharp")
    ('c_sharp', 'python', 'c_sharp')
    """
    key = _key(name)
    return _SAME_GRAMMAR.get(key, key)


def language(name: Language | str) -> Language:
    """Return the ``tree_sitter.Language`` for ``name``.

    ``name`` is a ``tree_sitter.Language`` (returned unchanged) or a grammar
    name: an installed package ``tree_sitter_NAME`` (``"python"``; ``"tsx"``
    for the TSX grammar of ``tree_sitter_typescript``), else a grammar that
    ``tree-sitter-language-pack`` holds on this machine, either in its wheel
    (0.13 and earlier) or already in its download cache (later releases); this
    function never downloads one.  An unknown name raises ``ValueError``
    listing the installed names (see ``available_languages``).

    >>> language("python").name
    'python'
    """
    ts = tree_sitter()
    if isinstance(name, ts.Language):
        return cast("Language", name)
    if not isinstance(name, str):
        raise TypeError(f"language must be a tree_sitter.Language or a str, not {type(name).__name__!r}")
    cached = _languages.get(name)
    if cached is not None:
        return cached
    key = _key(name)
    capsule = _package_language(key)
    if capsule is None:
        capsule = _pack_language(key)
    if capsule is None:
        raise ValueError(_unknown_message(name, key))
    lang: Language = capsule if isinstance(capsule, ts.Language) else ts.Language(capsule)
    _languages[name] = lang
    _language_names[id(lang)] = name
    if not isinstance(capsule, ts.Language):
        _capsules[id(lang)] = capsule
    return lang


def capsule(lang: Language | str) -> Any:
    """The PyCapsule of the grammar ``lang`` (see ``language``); None for a
    ``Language`` made elsewhere, whose capsule is not known.

    >>> type(capsule("python")).__name__
    'PyCapsule'
    """
    return _capsules.get(id(language(lang)))


def language_name(lang: Language) -> str | None:
    """The name ``language`` loaded ``lang`` under; None for a ``Language`` made elsewhere.

    Another process loads the same grammar by that name.

    >>> language_name(language("python"))
    'python'
    """
    return _language_names.get(id(lang))


def _package_language(key: str) -> Any:
    """The language of package ``tree_sitter_KEY``, or None if it is not installed."""
    if not key.isidentifier():
        return None  # no package's name (`.python` would import a parent module `tree_sitter_`)
    module_name, func_name = _LANGUAGE_FUNCTIONS.get(key, ("tree_sitter_" + key, "language"))
    if module_name == _PACK or importlib.util.find_spec(module_name) is None:
        return None
    module = importlib.import_module(module_name)
    func = getattr(module, func_name, None)
    if func is None:
        # A package with one language function under another name.
        candidates = [f"language_{key}"] + sorted(
            a for a in dir(module) if a.startswith("language_") and callable(getattr(module, a))
        )
        func = next((getattr(module, a) for a in candidates if hasattr(module, a)), None)
    if func is None:
        raise ValueError(f"grammar package {module_name!r} has no language function for {key!r}")
    return func()


def grammar_package(name: str) -> str:
    """The distribution the grammar ``name`` comes from (its version is the grammar's).

    >>> grammar_package("python") in ("tree-sitter-python", "tree-sitter-language-pack")
    True
    """
    key = _key(name)
    module_name = _LANGUAGE_FUNCTIONS.get(key, ("tree_sitter_" + key, ""))[0]
    if module_name != _PACK and importlib.util.find_spec(module_name) is not None:
        return module_name.replace("_", "-")
    return _PACK.replace("_", "-")


def _pack_names() -> list[str]:
    """Grammars ``tree-sitter-language-pack`` can load here without downloading."""
    if importlib.util.find_spec(_PACK) is None:
        return []
    pack = importlib.import_module(_PACK)
    downloaded = getattr(pack, "downloaded_languages", None)
    if downloaded is not None:  # releases that download grammars: only the cached ones
        try:
            return sorted(downloaded())
        except Exception:  # no cache yet, or one it cannot read: nothing is installed
            return []
    bindings = importlib.util.find_spec(_PACK + ".bindings")
    if bindings is None or bindings.submodule_search_locations is None:
        return []
    names = {m.name for m in pkgutil.iter_modules(bindings.submodule_search_locations)}
    # Three grammars the 0.13 line takes from their own packages.
    for name, module in (("csharp", "tree_sitter_c_sharp"), ("yaml", "tree_sitter_yaml")):
        if importlib.util.find_spec(module) is not None:
            names.add(name)
    if importlib.util.find_spec("tree_sitter_embedded_template") is not None:
        names.add("embeddedtemplate")
    return sorted(names)


def _pack_language(key: str) -> Any:
    if key not in _pack_names():
        return None
    pack = importlib.import_module(_PACK)
    get_binding = getattr(pack, "get_binding", None)  # the capsule, where the bundle gives it
    return get_binding(key) if get_binding is not None else pack.get_language(key)


def available_languages() -> list[str]:
    """The grammar names ``language`` accepts on this machine, sorted.

    >>> "python" in available_languages()
    True
    """
    names = set(_pack_names())
    for module in pkgutil.iter_modules():
        if module.name.startswith("tree_sitter_") and module.name != _PACK:
            names.add(module.name[len("tree_sitter_") :])
    for key, (module_name, _) in _LANGUAGE_FUNCTIONS.items():
        # (A package's other grammars, where that package is installed: not the bundle's namesake.)
        if module_name[len("tree_sitter_") :] in names and importlib.util.find_spec(module_name) is not None:
            names.add(key)
    return sorted(names)


def _unknown_message(name: str, key: str) -> str:
    names = available_languages()
    close = difflib.get_close_matches(key, names, n=3)
    hint = f" (did you mean {' or '.join(map(repr, close))}?)" if close else ""
    shown = ", ".join(names) if names else "none"
    return (
        f"no tree-sitter grammar for {name!r}{hint}. Installed grammars: {shown}. "
        "Others come from packages named tree-sitter-<language> or from tree-sitter-language-pack."
    )


def tree_sitter_problem() -> str | None:
    """Why tree-sitter cannot be used here, with the command that installs it; None when it can.

    >>> tree_sitter_problem() is None
    True
    """
    if importlib.util.find_spec("tree_sitter") is not None:
        return None
    return (
        "the tree-sitter package, which parses the files, is not installed; "
        f"install it with: pip install '{TREE_SITTER_REQUIREMENT}' '{PACK_REQUIREMENT}'"
    )


def grammar_problem(lang: str) -> str | None:
    """Why ``lang`` has no grammar here, with the command that installs one; None when it loads.

    >>> grammar_problem("python") is None
    True
    >>> print(grammar_problem("pyhton"))  # doctest: +ELLIPSIS
    no tree-sitter grammar for 'pyhton' is installed (did you mean 'python'...?)
    """
    try:
        language(lang)
    except ValueError:
        pass
    else:
        return None
    key = _key(lang)
    names = [n for n in available_languages() if n != key]  # one that failed to load
    close = difflib.get_close_matches(key, names, n=3)
    why = f"no tree-sitter grammar for {lang!r} is installed"
    if close:  # most likely a misspelt name: installing nothing helps
        return f"{why} (did you mean {' or '.join(map(repr, close))}?)"
    if not key.isidentifier() or not key.isascii():
        return why  # no package's name: nothing to suggest (and no text to paste into a shell)
    module = _LANGUAGE_FUNCTIONS.get(key, ("tree_sitter_" + key, ""))[0]
    package = module.replace("_", "-")
    if importlib.util.find_spec(_PACK) is None:
        return f"{why} (pip install '{PACK_REQUIREMENT}' installs a bundle of grammars, pip install {package} this one)"
    return f"{why} (pip install {package} installs it)"
