"""Which files a run covers: file extensions to grammar names and directory walks.

A directory is listed by git when it lies in a git checkout, so that files
ignored by ``.gitignore`` stay out; elsewhere (or without git) it is walked
directly.  Either way hidden files and directories (a name starting with a
dot) below the directory are skipped, and so are symbolic links (to files
and to directories) unless ``follow`` is set, as ``rg`` and ``ast-grep`` do:
a link may lead anywhere, out of the tree too.  A file named explicitly is
always kept, and a named link always followed.
"""

from __future__ import annotations

import os
import subprocess
from collections.abc import Iterable
from dataclasses import dataclass

__all__ = ["EXTENSIONS", "Listed", "language_for", "list_files", "write_roots"]

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


def list_files(
    paths: Iterable[str | os.PathLike[str]], lang: str | None = None, *, follow: bool = False
) -> list[Listed]:
    """List the files under ``paths``, each once, with the language to parse it in.

    With ``lang`` every file is parsed in it, and directories contribute the
    files whose extension names it (every file, if no extension in
    ``EXTENSIONS`` does).  Without ``lang`` the extension decides, and
    directories contribute only files with a known extension.  A missing
    path, or an explicitly named file of unknown language, comes back with an
    ``error``.  Symbolic links met in directories are skipped, or with
    ``follow`` followed (a directory reached twice, through a loop of links
    say, is walked once).

    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> for f in ("a.py", "b.txt", ".hidden/c.py"):
    ...     (d / f).parent.mkdir(exist_ok=True)
    ...     _ = (d / f).write_text("x = 1\\n")
    >>> (d / "link.py").symlink_to(d / "b.txt")
    >>> [(os.path.relpath(x.path, d), x.lang) for x in list_files([d])]
    [('a.py', 'python')]
    >>> [os.path.relpath(x.path, d) for x in list_files([d], follow=True)]
    ['a.py', 'link.py']
    """
    wanted = {ext for ext, name in EXTENSIONS.items() if name == lang} if lang else set(EXTENSIONS)
    out: list[Listed] = []
    seen: set[str] = set()

    def key(path: str) -> str:
        return os.path.normcase(os.path.realpath(path))

    def add(item: Listed) -> None:
        k = key(item.path)
        if k not in seen:
            seen.add(k)
            out.append(item)

    for p in paths:
        path = os.fspath(p)
        if os.path.isdir(path):
            exts = ((f, linked, os.path.splitext(f)[1].lower()) for f, linked in _walk(path, follow, set()))
            walked = [(f, linked, ext) for f, linked, ext in exts if not wanted or ext in wanted]
            # A file also reached through a link is listed under its own name.
            direct = {key(f) for f, linked, _ in walked if not linked} if follow else set()
            for f, linked, ext in walked:
                if not (linked and key(f) in direct):
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


def write_roots(paths: Iterable[str | os.PathLike[str]]) -> list[str]:
    """The resolved directories that a run over ``paths`` may write in.

    A directory counts with its real path; a file named explicitly counts
    with the real path of the directory holding it, so that a symbolic link
    named (by a shell glob, say) leads nowhere outside the directories named.

    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> (d / "sub").mkdir()
    >>> (d / "link").symlink_to(d / "sub")
    >>> write_roots([d / "link", d / "sub" / "a.py"]) == [os.path.realpath(d / "sub")]
    True
    """
    roots: list[str] = []
    for p in paths:
        path = os.path.abspath(os.fspath(p))
        root = os.path.realpath(path if os.path.isdir(path) else os.path.dirname(path))
        if root not in roots:
            roots.append(root)
    return roots


def _walk(top: str, follow: bool, visited: set[str]) -> list[tuple[str, bool]]:
    """The regular files below ``top``, sorted, hidden names skipped, each
    with whether it was reached through a link.

    With ``follow``, links are followed once the tree itself is walked:
    ``visited`` collects the real paths of the directories walked, so that
    none is walked twice.
    """
    if follow:
        visited.add(os.path.realpath(top))
    files: list[str] = []
    links: list[str] = []
    rel = _git_files(top)
    if rel is None:
        _plain_walk(top, follow, visited, files, links)
    else:
        for r in rel:
            if any(part.startswith(".") for part in r.split("/")):
                continue
            full = os.path.normpath(os.path.join(top, r))
            if os.path.islink(full):  # git lists a link as a file and never looks past it
                links.append(full)
            elif os.path.isfile(full):
                files.append(full)
    out = [(f, False) for f in files]
    if follow:
        for link in sorted(links):
            if os.path.isdir(link):
                if os.path.realpath(link) not in visited:
                    out.extend((f, True) for f, _ in _walk(link, follow, visited))
            elif os.path.isfile(link):
                out.append((link, True))
    out.sort()
    return out


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


def _plain_walk(top: str, follow: bool, visited: set[str], files: list[str], links: list[str]) -> None:
    """Add the files below ``top`` to ``files`` and the links to ``links``, hidden names skipped."""
    stack = [top]
    while stack:
        try:
            with os.scandir(stack.pop()) as it:
                entries = list(it)
        except OSError:
            continue
        for e in entries:
            if e.name.startswith("."):
                continue
            try:
                if e.is_symlink():
                    links.append(os.path.normpath(e.path))
                elif e.is_dir(follow_symlinks=False):
                    if follow:
                        visited.add(os.path.realpath(e.path))
                    stack.append(e.path)
                elif e.is_file(follow_symlinks=False):
                    files.append(os.path.normpath(e.path))
            except OSError:
                continue
