"""Language names as ast-grep spells them (``Python``, ``Tsx``, ``CSharp``, ``rs``) mapped to kovel's grammar names."""

from __future__ import annotations

__all__ = ["ALIASES", "language_of"]

#: ast-grep's names and aliases (lower-cased) that differ from kovel's grammar names.
ALIASES: dict[str, str] = {
    "py": "python",
    "js": "javascript",
    "jsx": "javascript",
    "ts": "typescript",
    "rs": "rust",
    "golang": "go",
    "c++": "cpp",
    "cc": "cpp",
    "cxx": "cpp",
    "cs": "c_sharp",
    "c#": "c_sharp",
    "csharp": "c_sharp",
    "kt": "kotlin",
    "rb": "ruby",
    "sh": "bash",
    "shell": "bash",
    "yml": "yaml",
    "ex": "elixir",
    "hs": "haskell",
    "htm": "html",
    "sol": "solidity",
}


def language_of(name: str) -> str:
    """kovel's grammar name for a language name as ast-grep (or kovel) spells it, case aside.

    >>> language_of("Python"), language_of("CSharp"), language_of("Tsx"), language_of("rs")
    ('python', 'c_sharp', 'tsx', 'rust')
    """
    key = name.strip().lower()
    return ALIASES.get(key, key)
