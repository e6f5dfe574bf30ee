"""Whether tree-sitter and a language's grammar are here, and the command that installs what is not.

kovel installs ``tree-sitter`` and a grammar bundle that works offline
(``tree-sitter-language-pack`` 0.13: later releases download grammars at run
time), so these only come up when someone removed one, or for a language
the bundle lacks.
"""

from __future__ import annotations

import difflib
import importlib.util

__all__ = ["PACK_REQUIREMENT", "TREE_SITTER_REQUIREMENT", "grammar_problem", "tree_sitter_problem"]

#: What kovel's own dependencies ask for (``pyproject.toml`` says the same).
TREE_SITTER_REQUIREMENT = "tree-sitter>=0.23"
PACK_REQUIREMENT = "tree-sitter-language-pack==0.13.0"


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
    from kovel import treesitter

    try:
        treesitter.language(lang)
    except ValueError:
        pass
    else:
        return None
    key = treesitter._key(lang)
    names = [n for n in treesitter.available_languages() if n != key]  # one that failed to load
    close = difflib.get_close_matches(key, names, n=3)
    why = f"no tree-sitter grammar for {lang!r} is installed"
    if close:  # most likely a misspelt name: installing nothing helps
        return f"{why} (did you mean {' or '.join(map(repr, close))}?)"
    module = treesitter._LANGUAGE_FUNCTIONS.get(key, ("tree_sitter_" + key, ""))[0]
    package = module.replace("_", "-")
    if importlib.util.find_spec(treesitter._PACK) is None:
        return f"{why} (pip install '{PACK_REQUIREMENT}' installs a bundle of grammars, pip install {package} this one)"
    return f"{why} (pip install {package} installs it)"
