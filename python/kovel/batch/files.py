"""Which files a run covers: file extensions to grammar names and directory walks.

Directories are walked as ripgrep walks them.  Below a starting directory,
an entry is skipped when

- a ``--glob`` says so: the globs are gitignore patterns matched against
  the path relative to the working directory, later ones winning, ``!``
  excluding; once any glob includes, a file that no glob includes is skipped
  (directories are still entered).  What a glob includes is kept whatever
  the rules below say;
- an ignore file says so (unless ``ignore=False``): ``.ignore`` files in the
  directory, its parents and the starting directory's ancestors; in a git
  repository also its ``.gitignore`` files from the repository's top down,
  ``.git/info/exclude`` and the global excludes (``core.excludesFile``,
  default ``$XDG_CONFIG_HOME/git/ignore`` or ``~/.config/git/ignore``).
  The deeper file wins over the shallower; ``.ignore`` wins over git's
  files.  A repository inside another starts afresh: its parent's git
  files do not reach into it;
- its name starts with a dot (unless ``hidden=True``, or an ignore file
  re-includes it with ``!``);
- it is a ``.git`` directory, always;
- it is a symbolic link (to a file or a directory), unless ``follow`` is
  set, as ``rg`` and ``ast-grep`` do: a link may lead anywhere, out of the
  tree too.  With ``follow``, a directory reached twice (a loop of links)
  is walked once, and a file reached directly and through a link is listed
  under its own name.

A path named explicitly is always kept, ignored or not, and a named link
always followed.
"""

from __future__ import annotations

import errno
import os
import stat
import subprocess
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass

from kovel.batch.ignore import Rules, glob_rules

__all__ = [
    "DIALECTS",
    "EXTENSIONS",
    "FILE_NAMES",
    "Listed",
    "dots_resolved",
    "language_for",
    "list_files",
    "read_bytes",
    "write_roots",
]

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
    ".C": "cpp",  # as gcc and ripgrep read an upper-case C
    ".H": "cpp",
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
    # As ast-grep reads them, and the build, configuration and query files of a checkout.
    ".pyw": "python",
    ".bzl": "python",
    ".zsh": "bash",
    ".ksh": "bash",
    ".bats": "bash",
    ".rake": "ruby",
    ".gemspec": "ruby",
    ".ktm": "kotlin",
    ".sc": "scala",
    ".sbt": "scala",
    ".xhtml": "html",
    ".hcl": "hcl",
    ".tf": "hcl",
    ".tfvars": "hcl",
    ".nix": "nix",
    ".sol": "solidity",
    ".sql": "sql",
    ".cmake": "cmake",
    ".dockerfile": "dockerfile",
    ".mk": "make",
    ".scss": "scss",
    ".vue": "vue",
    ".svelte": "svelte",
    ".r": "r",
    ".R": "r",
    ".pl": "perl",
    ".pm": "perl",
    ".proto": "proto",
    ".graphql": "graphql",
    ".gql": "graphql",
    ".elm": "elm",
    ".clj": "clojure",
    ".cljs": "clojure",
    ".cljc": "clojure",
    ".f90": "fortran",
    ".F90": "fortran",  # (to be preprocessed, as gfortran reads an upper-case F)
    ".f95": "fortran",
    ".f03": "fortran",
    ".f08": "fortran",
    ".groovy": "groovy",
    ".gradle": "groovy",
    ".ps1": "powershell",
    ".psm1": "powershell",
    ".cu": "cuda",
    ".cuh": "cuda",
    ".py3": "python",
    ".rbw": "ruby",
    ".ino": "cpp",
    ".cgi": "bash",
    ".command": "bash",
    ".env": "bash",
    ".fcgi": "bash",
    ".tmux": "bash",
    ".tool": "bash",
}

#: Languages whose grammar reads a dialect's files too: ``--lang css`` takes
#: ``.scss`` files, ``--lang cpp`` CUDA's, as ast-grep's languages do.
DIALECTS: dict[str, str] = {"scss": "css", "cuda": "cpp"}

#: File names that name a language whatever their extension (a build file's).
FILE_NAMES: dict[str, str] = {
    "Dockerfile": "dockerfile",
    "Containerfile": "dockerfile",
    "Makefile": "make",
    "GNUmakefile": "make",
    "makefile": "make",
    "CMakeLists.txt": "cmake",
    "Gemfile": "ruby",
    "Rakefile": "ruby",
    "go.mod": "gomod",
}


def language_for(path: str) -> str | None:
    """Return the grammar name that ``path``'s name (``FILE_NAMES``) or extension
    (``EXTENSIONS``, told apart by case as ripgrep and ast-grep do) names, or None.

    >>> language_for("src/main.rs"), language_for("a.C"), language_for("A.PY"), language_for("build/Makefile")
    ('rust', 'cpp', None, 'make')
    """
    return FILE_NAMES.get(os.path.basename(path)) or EXTENSIONS.get(os.path.splitext(path)[1])


#: The most one read is asked for: Linux reads at most about 2 GiB at once.
_ONE_READ = 1 << 30


def read_bytes(path: str) -> bytes:
    """The bytes of the file at ``path``, as ``open(path, "rb").read()`` reads them,
    in four system calls rather than nine: every file of a run is read, most
    of them small.

    >>> import pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.py")
    >>> _ = f.write_bytes(b"x = 1\\n")
    >>> read_bytes(str(f))
    b'x = 1\\n'
    """
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        st = os.fstat(fd)
        chunks = []
        if stat.S_ISREG(st.st_mode):
            # One byte more than its size: a short read is the end of a regular
            # file, and a file grown since is read on to its end.
            want = st.st_size + 1
            data = os.read(fd, min(want, _ONE_READ))
            if len(data) < want and want <= _ONE_READ:
                return data
            chunks.append(data)
        while chunk := os.read(fd, _ONE_READ):
            chunks.append(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


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
    paths: Iterable[str | os.PathLike[str]],
    lang: str | None = None,
    *,
    ignore: bool = True,
    hidden: bool = False,
    globs: Sequence[str] = (),
    follow: bool = False,
    language_globs: Sequence[tuple[str, Sequence[str]]] = (),
) -> list[Listed]:
    """List the files under ``paths``, each once, with the language to parse it in.

    With ``lang`` every file is parsed in it, and directories contribute the
    files whose extension names it (every file, if no extension in
    ``EXTENSIONS`` does) and those a glob includes.  Without ``lang`` the
    extension decides, and directories contribute only files with a known
    extension.  Directories are walked as the module docstring says:
    ``ignore=False`` reads no ignore file, ``hidden=True`` keeps names
    starting with a dot, ``globs`` are ``--glob`` patterns, ``follow``
    follows symbolic links.  ``language_globs`` (as ``languageGlobs`` of a
    project) gives the files a glob matches (in ``.gitignore`` syntax, below
    the directory walked) the language named with it, before the extension
    has a say; the first language whose glob matches wins.  A missing path,
    or an explicitly named file of unknown language, comes back with an
    ``error``.

    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> for f in ("a.py", "b.txt", ".hidden/c.py", "gen/d.py", ".ignore"):
    ...     (d / f).parent.mkdir(exist_ok=True)
    ...     _ = (d / f).write_text("gen/\\n" if f == ".ignore" else "x = 1\\n")
    >>> [(os.path.relpath(x.path, d), x.lang) for x in list_files([d])]
    [('a.py', 'python')]
    >>> [os.path.relpath(x.path, d) for x in list_files([d], hidden=True, ignore=False, globs=["!a.py"])]
    ['.hidden/c.py', 'gen/d.py']
    >>> (d / "link.py").symlink_to(d / "b.txt")
    >>> [os.path.relpath(x.path, d) for x in list_files([d])], [os.path.relpath(x.path, d) for x in list_files([d], follow=True)]
    (['a.py'], ['a.py', 'link.py'])
    """
    if isinstance(paths, str | bytes | os.PathLike):
        raise TypeError("list_files takes an iterable of paths, not one path")  # (a str would be its letters)
    # Whether some name or extension tells files of ``lang`` (else every file is one).
    known = lang in EXTENSIONS.values() or lang in FILE_NAMES.values()
    by_glob = [(name, glob_rules(gs, include=False)) for name, gs in language_globs] if lang is None else []

    def globbed(rel: str) -> str | None:
        return next((name for name, rules in by_glob if rules.match(rel, is_dir=False)), None)

    out: list[Listed] = []
    seen: set[str] = set()
    walker = _Walker(ignore, hidden, globs, follow)

    def add(item: Listed, real: str | None = None) -> None:
        key = os.path.normcase(real or os.path.realpath(item.path))
        if key not in seen:
            seen.add(key)
            out.append(item)

    for p in paths:
        path = dots_resolved(os.fspath(p))
        if os.path.isdir(path):
            listed: list[tuple[Listed, str, bool]] = []
            for f, included, real, linked in walker.files(path):
                own = language_for(f)
                chosen = globbed(os.path.relpath(f, path).replace(os.sep, "/")) if by_glob else None
                if lang is not None and (
                    not known or own == lang or DIALECTS.get(own or "") == lang or included
                ):
                    listed.append((Listed(f, lang, named=False), real, linked))
                elif chosen is not None:
                    listed.append((Listed(f, chosen, named=False), real, linked))
                elif lang is None and own is not None:
                    listed.append((Listed(f, own, named=False), real, linked))
            # A file also reached through a link is listed under its own name.
            direct = {real for _, real, linked in listed if not linked} if follow else set()
            for item, real, linked in listed:
                if not (linked and real in direct):
                    add(item, real)
            for where, why in walker.unreadable:
                add(Listed(where, None, f"cannot read: {why}", named=where == os.path.normpath(path)))
            walker.unreadable.clear()
        elif os.path.exists(path):
            found = lang or (globbed(os.path.basename(path)) if by_glob else None) or language_for(path)
            if not _regular(path) or _own_descriptor(path):
                # A device or a pipe may never end (/dev/zero), and the workers could not
                # read one this process holds (/dev/stdin): standard input is `-`.
                add(Listed(path, None, "not a regular file (standard input is read as -)"))
            elif found is None:
                add(Listed(path, None, "cannot tell the language from the file name; pass --lang"))
            else:
                add(Listed(path, found))
        else:
            add(Listed(path, lang, _missing(path)))
    return out


def _missing(path: str) -> str:
    """Why ``path``, which ``os.path.exists`` does not find, cannot be had: most
    often it is not there, but a directory on the way may refuse a search, or
    a link lead to itself."""
    try:
        os.stat(path)
    except OSError as exc:
        if exc.errno != errno.ENOENT and exc.strerror:
            return f"cannot read: {exc.strerror}"
    return "no such file or directory"


def _own_descriptor(path: str) -> bool:
    """Whether ``path`` names a file descriptor of this process (``/dev/stdin``,
    ``/dev/fd/3``): a worker would open its own."""
    p = os.path.abspath(path)
    own = (f"/proc/{os.getpid()}/", "/proc/self/", "/proc/thread-self/", "/dev/fd/")
    return p in ("/dev/stdin", "/dev/stdout", "/dev/stderr") or p.startswith(own)


def _regular(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return True  # the task that reads it says what is wrong


def dots_resolved(path: str) -> str:
    """``path``, with each `..` taken as the system takes it where a symbolic link
    comes before it: out of the link's target, not back to where the link
    stands (``os.path.abspath`` would fold ``link/..`` to the link's directory).
    A path whose `..` lead where its text says is given back as it is.

    >>> import tempfile, pathlib
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> (d / "out" / "deep").mkdir(parents=True)
    >>> (d / "root").mkdir()
    >>> (d / "root" / "link").symlink_to(d / "out" / "deep")
    >>> dots_resolved(str(d / "root" / "link" / "..")) == str(d / "out")
    True
    >>> dots_resolved("a/../b")
    'a/../b'
    """
    if ".." not in path.split(os.sep):
        return path
    real = os.path.realpath(path)
    if real == os.path.realpath(os.path.normpath(os.path.abspath(path))):
        return path
    if not os.path.isabs(path):
        rel = os.path.relpath(real)
        if rel != os.pardir and not rel.startswith(os.pardir + os.sep):
            return rel
    return real


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
        path = os.path.abspath(dots_resolved(os.fspath(p)))
        root = os.path.realpath(path if os.path.isdir(path) else os.path.dirname(path))
        if root not in roots:
            roots.append(root)
    return roots


@dataclass(frozen=True, slots=True)
class _Repo:
    """A git repository: its top directory and the ignore files that cover all of it."""

    top: str
    exclude: Rules | None  # .git/info/exclude
    excludes_file: Rules | None  # core.excludesFile


@dataclass(frozen=True, slots=True)
class _Dir:
    """A directory on the way down, with the ignore files it holds."""

    path: str  # absolute, normalised
    ignore: Rules | None  # .ignore
    gitignore: Rules | None  # .gitignore, in a repository only
    repo: _Repo | None  # the innermost repository it lies in
    #: Why one of its ignore files cannot be read: what it ignores is unknown,
    #: so nothing below it is searched (nor written).
    unreadable: str | None = None


class _Walker:
    """Walks directories for ``list_files``, reading each ignore file once."""

    def __init__(self, ignore: bool, hidden: bool, globs: Sequence[str], follow: bool = False) -> None:
        self.ignore = ignore
        self.hidden = hidden
        self.follow = follow
        self._visited: set[str] = set()  # real paths of the directories walked, with follow
        self.unreadable: list[tuple[str, str]] = []  # directories that could not be listed, and why
        # A glob includes what it matches: in gitignore terms, "!" turned around.
        self.globs = glob_rules(globs) if globs else None
        self.includes = any(not g.startswith("!") for g in globs)
        try:
            self.cwd: str | None = os.getcwd()
        except FileNotFoundError:  # (deleted: absolute paths are searched all the same)
            self.cwd = None
        self._excludes_file: Rules | None | bool = False  # False: not read yet
        self._ancestors: dict[str, _Dir] = {}

    def files(self, top: str) -> Iterator[tuple[str, bool, str, bool]]:
        """The regular files below ``top``, sorted: each with whether a glob included it,
        its real path and whether a link led to it."""
        top_abs = os.path.abspath(top)
        top_real = os.path.realpath(top_abs)
        cut = len(top_abs) + (not top_abs.endswith(os.sep))
        found: list[tuple[str, bool, str, bool]] = []
        self._visited.add(top_real)
        frames = self._frames(top_abs)
        blocked = next((d for d in frames if d.unreadable is not None), None)
        if blocked is not None:
            self._cannot_read(blocked.path, blocked.unreadable or "")
            return iter(())
        stack = [(top_abs, frames, False)]
        while stack:
            path, frames, via_link = stack.pop()
            try:
                with os.scandir(path) as it:
                    entries = sorted(it, key=lambda e: e.name, reverse=True)
            except FileNotFoundError:
                continue  # gone since it was listed
            except OSError as exc:
                # As for a file that cannot be read: reported, not passed over.
                rel = path[cut:] if len(path) > cut else ""
                self.unreadable.append((os.path.normpath(os.path.join(top, rel)), exc.strerror or str(exc)))
                continue
            for e in entries:
                try:
                    link = e.is_symlink()
                    if link and not self.follow:
                        continue
                    is_dir = e.is_dir(follow_symlinks=self.follow)
                    if not is_dir and not e.is_file():
                        if link and not os.path.exists(e.path):  # followed, to nothing: said, as rg says it
                            self.unreadable.append(
                                (os.path.normpath(os.path.join(top, e.path[cut:])), "a link to nothing")
                            )
                        continue
                except FileNotFoundError:
                    continue  # gone since it was listed
                except OSError as exc:  # a link that leads to itself, say: said, as for a link to nothing
                    where = os.path.normpath(os.path.join(top, e.path[cut:]))
                    self.unreadable.append((where, exc.strerror or str(exc)))
                    continue
                if is_dir and e.name == ".git":
                    continue
                keep, included = self._keep(e.name, e.path, is_dir, frames)
                if not keep:
                    continue
                linked = via_link or link
                if is_dir:
                    if link:
                        real_dir = os.path.realpath(e.path)
                        if real_dir in self._visited:  # a loop, or a tree walked already
                            continue
                        self._visited.add(real_dir)
                    entry = self._dir(e.path, frames[-1] if frames else None)
                    if entry.unreadable is not None:
                        self._cannot_read(os.path.join(top, e.path[cut:]), entry.unreadable)
                        continue
                    stack.append((e.path, (*frames, entry), linked))
                else:
                    rel = e.path[cut:]
                    real = os.path.realpath(e.path) if linked else os.path.join(top_real, rel)
                    found.append((os.path.normpath(os.path.join(top, rel)), included, real, linked))
        found.sort()
        return iter(found)

    def _cannot_read(self, directory: str, why: str) -> None:
        self.unreadable.append(
            (os.path.normpath(directory), f"its ignore file {why}; nothing in it is searched")
        )

    def _keep(self, name: str, path: str, is_dir: bool, frames: tuple[_Dir, ...]) -> tuple[bool, bool]:
        """Whether to keep an entry, and whether a glob included it."""
        if self.globs is not None:
            verdict = self.globs.match(self._glob_path(path), is_dir)
            if verdict is False:
                return True, True
            if verdict is True or (self.includes and not is_dir):
                return False, False
        if self.ignore:
            verdict = self._ignored(path, is_dir, frames)
            if verdict is not None:
                return not verdict, False
        return self.hidden or not name.startswith("."), False

    def _ignored(self, path: str, is_dir: bool, frames: tuple[_Dir, ...]) -> bool | None:
        for d in reversed(frames):
            if d.ignore is not None:
                verdict = d.ignore.match(_below(path, d.path), is_dir)
                if verdict is not None:
                    return verdict
        repo = frames[-1].repo if frames else None
        if repo is None:
            return None
        for d in reversed(frames):
            if d.repo is not repo:
                break
            if d.gitignore is not None:
                verdict = d.gitignore.match(_below(path, d.path), is_dir)
                if verdict is not None:
                    return verdict
        for rules in (repo.exclude, repo.excludes_file):
            if rules is not None:
                verdict = rules.match(_below(path, repo.top), is_dir)
                if verdict is not None:
                    return verdict
        return None

    def _glob_path(self, path: str) -> str:
        """``path`` as globs see it: relative to the working directory when below it."""
        if self.cwd is not None and (self.cwd == os.sep or path.startswith(self.cwd + os.sep)):
            path = path[len(self.cwd) :]
        rel = path.lstrip(os.sep)
        return rel if os.sep == "/" else rel.replace(os.sep, "/")

    def _frames(self, top: str) -> tuple[_Dir, ...]:
        """The directories from the root of the file system down to ``top``, with their ignore files."""
        if not self.ignore:
            return ()
        chain = []
        p = top
        while True:
            chain.append(p)
            parent = os.path.dirname(p)
            if parent == p:
                break
            p = parent
        frames: list[_Dir] = []
        for p in reversed(chain):
            d = self._ancestors.get(p)
            if d is None:
                d = self._ancestors[p] = self._dir(p, frames[-1] if frames else None)
            frames.append(d)
        return tuple(frames)

    def _dir(self, path: str, parent: _Dir | None) -> _Dir:
        if not self.ignore:
            return _Dir(path, None, None, None)
        repo = parent.repo if parent is not None else None
        git = os.path.join(path, ".git")
        if os.path.exists(git):
            repo = _Repo(path, _read_rules(_info_exclude(git)), self._global_excludes())
        names = (".ignore", ".gitignore") if repo is not None else (".ignore",)
        try:
            rules = [_read_rules(os.path.join(path, name), strict=True) for name in names]
        except OSError as exc:
            if not os.access(path, os.R_OK | os.X_OK):
                return _Dir(path, None, None, repo)  # the directory itself: its listing says so
            return _Dir(
                path, None, None, repo, f"{os.path.basename(exc.filename or '')} ({exc.strerror or exc})"
            )
        return _Dir(path, rules[0], rules[1] if repo is not None else None, repo)

    def _global_excludes(self) -> Rules | None:
        if self._excludes_file is False:
            self._excludes_file = _read_rules(_excludes_file_path())
        assert self._excludes_file is not True
        return self._excludes_file


def _below(path: str, directory: str) -> str:
    """``path`` relative to ``directory``, an ancestor of it, ``/``-separated."""
    rel = path[len(directory) :].lstrip(os.sep)
    return rel if os.sep == "/" else rel.replace(os.sep, "/")


def _read_rules(path: str | None, strict: bool = False) -> Rules | None:
    """The patterns of an ignore file, or None when it is missing or empty (or,
    unless ``strict``, unreadable: ``strict`` raises ``OSError`` then)."""
    if path is None:
        return None
    try:
        with open(path, "rb") as f:
            data = f.read()
    except (FileNotFoundError, IsADirectoryError, NotADirectoryError):
        return None
    except OSError:
        if strict:
            raise
        return None
    rules = Rules(os.fsdecode(data.removeprefix(b"\xef\xbb\xbf")).split("\n"))
    return rules if rules.count else None


def _info_exclude(git: str) -> str | None:
    """The ``info/exclude`` file of the repository whose ``.git`` (directory or file) is ``git``."""
    gitdir = git
    if os.path.isfile(git):  # a worktree or a submodule: "gitdir: PATH"
        try:
            with open(git, encoding="utf-8", errors="surrogateescape") as f:
                line = f.readline().strip()
        except OSError:
            return None
        if not line.startswith("gitdir:"):
            return None
        gitdir = os.path.join(os.path.dirname(git), line[len("gitdir:") :].strip())
    try:  # a worktree keeps its info/ in the main repository's directory
        with open(os.path.join(gitdir, "commondir"), encoding="utf-8", errors="surrogateescape") as f:
            gitdir = os.path.join(gitdir, f.read().strip())
    except OSError:
        pass
    return os.path.join(gitdir, "info", "exclude")


def _excludes_file_path() -> str | None:
    """Git's global excludes file: ``core.excludesFile``, else its default under the XDG config home."""
    try:
        run = subprocess.run(
            ["git", "config", "--path", "--get", "core.excludesFile"],
            capture_output=True,
            cwd=os.path.abspath(os.sep),  # outside any repository: the user's and the system's settings
        )
        configured = os.fsdecode(run.stdout).strip() if run.returncode == 0 else ""
    except OSError:  # no git: its default
        configured = ""
    if configured:
        return os.path.expanduser(configured)
    xdg = os.environ.get("XDG_CONFIG_HOME")
    if xdg:
        return os.path.join(xdg, "git", "ignore")
    home = os.path.expanduser("~")
    return None if home == "~" else os.path.join(home, ".config", "git", "ignore")
