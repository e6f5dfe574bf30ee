"""Which files a run covers: file extensions to grammar names and directory walks.

A directory is listed by git when it lies in a git checkout, so that files
ignored by ``.gitignore`` stay out; elsewhere (or without git) it is walked
directly.  Either way hidden files and directories (a name starting with a
dot) below the directory are skipped.  A file named explicitly is always
kept.
"""

from __future__ import annotations

import os
import subprocess
from collections.abc import Iterable, Iterator
from dataclasses import dataclass

__all__ = ["EXTENSIONS", "Listed", "language_for", "list_files"]

#: File extension (lower case, with its dot) -> tree-sitter grammar name, as
#: ``kovel.treesitter.language`` takes it.  ``.h`` is read as C.
EXTENSIONS: dict[str, str] = {
    ".py": "python",
    ".pyi": "python",
    ".js": "javascript",
    ".mjs": "javascript",
    ".cjs": "javascript",
    ".jsx": "javascript",
    ".ts": "typescript",
    ".mts": "typescript",
    ".cts": "typescript",
    ".tsx": "tsx",
    ".c": "c",
    ".h": "c",
    ".cc": "cpp",
    ".cpp": "cpp",
    ".cxx": "cpp",
    ".c++": "cpp",
    ".hh": "cpp",
    ".hpp": "cpp",
    ".hxx": "cpp",
    ".go": "go",
    ".rs": "rust",
    ".java": "java",
    ".rb": "ruby",
    ".php": "php",
    ".sh": "bash",
    ".bash": "bash",
    ".lua": "lua",
    ".cs": "c_sharp",
    ".kt": "kotlin",
    ".kts": "kotlin",
    ".scala": "scala",
    ".swift": "swift",
    ".hs": "haskell",
    ".ml": "ocaml",
    ".mli": "ocaml_interface",
    ".ex": "elixir",
    ".exs": "elixir",
    ".erl": "erlang",
    ".jl": "julia",
    ".zig": "zig",
    ".dart": "dart",
    ".json": "json",
    ".html": "html",
    ".htm": "html",
    ".css": "css",
    ".yaml": "yaml",
    ".yml": "yaml",
    ".toml": "toml",
}


def language_for(path: str) -> str | None:
    """Return the grammar name that ``path``'s extension names, or None.

    >>> language_for("src/main.RS"), language_for("Makefile")
    ('rust', None)
    """
    return EXTENSIONS.get(os.path.splitext(path)[1].lower())


@dataclass(frozen=True, slots=True)
class Listed:
    """A path to process with its language, or a path that cannot be (``error`` set).

    ``named`` tells a path given explicitly from one found in a directory.
    """

    path: str
    lang: str | None
    error: str | None = None
    named: bool = True


def list_files(paths: Iterable[str | os.PathLike[str]], lang: str | None = None) -> list[Listed]:
    """List the files under ``paths``, each once, with the language to parse it in.

    With ``lang`` every file is parsed in it, and directories contribute the
    files whose extension names it (every file, if no extension in
    ``EXTENSIONS`` does).  Without ``lang`` the extension decides, and
    directories contribute only files with a known extension.  A missing
    path, or an explicitly named file of unknown language, comes back with an
    ``error``.

    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> for f in ("a.py", "b.txt", ".hidden/c.py"):
    ...     (d / f).parent.mkdir(exist_ok=True)
    ...     _ = (d / f).write_text("x = 1\\n")
    >>> [(os.path.relpath(x.path, d), x.lang) for x in list_files([d])]
    [('a.py', 'python')]
    """
    wanted = {ext for ext, name in EXTENSIONS.items() if name == lang} if lang else set(EXTENSIONS)
    out: list[Listed] = []
    seen: set[str] = set()

    def add(item: Listed) -> None:
        key = os.path.normcase(os.path.realpath(item.path))
        if key not in seen:
            seen.add(key)
            out.append(item)

    for p in paths:
        path = os.fspath(p)
        if os.path.isdir(path):
            for f in _walk(path):
                ext = os.path.splitext(f)[1].lower()
                if not wanted or ext in wanted:
                    add(Listed(f, lang or EXTENSIONS[ext], named=False))
        elif os.path.exists(path):
            found = lang or language_for(path)
            if found is None:
                add(Listed(path, None, "cannot tell the language from the file name; pass --lang"))
            else:
                add(Listed(path, found))
        else:
            add(Listed(path, lang, "no such file or directory"))
    return out


def _walk(top: str) -> list[str]:
    """The regular files below ``top``, sorted, hidden names skipped."""
    rel = _git_files(top)
    if rel is None:
        rel = list(_plain_walk(top))
    files = []
    for r in rel:
        if any(part.startswith(".") for part in r.split("/")):
            continue
        full = os.path.normpath(os.path.join(top, r))
        if os.path.isfile(full):
            files.append(full)
    files.sort()
    return files


def _git_files(top: str) -> list[str] | None:
    """Tracked and untracked-but-not-ignored files below ``top`` (relative, '/'
    separated), or None when ``top`` is not in a git checkout, is itself
    ignored there (it was named explicitly), or git is missing."""
    try:
        run = subprocess.run(
            ["git", "-C", top, "ls-files", "-co", "--exclude-standard", "-z"], capture_output=True
        )
        if run.returncode != 0:
            return None
        if not run.stdout:
            ignored = subprocess.run(["git", "-C", top, "check-ignore", "-q", "."], capture_output=True)
            if ignored.returncode == 0:
                return None
    except OSError:
        return None
    return [os.fsdecode(f) for f in run.stdout.split(b"\0") if f]


def _plain_walk(top: str) -> Iterator[str]:
    for root, dirs, names in os.walk(top):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        rel = os.path.relpath(root, top)
        for n in names:
            yield n if rel == "." else os.path.join(rel, n).replace(os.sep, "/")
