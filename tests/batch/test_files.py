"""Which files a run covers: languages, hidden names, symbolic links, and ignore files
and globs, checked against git itself."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from kovel.batch.files import _Walker, list_files, read_bytes, write_roots
from tests.helpers import as_nobody, write_files


def make(root, names):
    return write_files(root, dict.fromkeys(names, "x = 1\n"))


def rel(root, items):
    return [(os.path.relpath(i.path, root), i.lang, i.error) for i in items]


# Each name and the language it is told as (None: not listed, being hidden or of no language).
NAMED = {
    "a.py": "python", "b.h": "c", "c.hpp": "cpp", "d.txt": None, ".git2/e.py": None, "sub/.f.py": None,
    "sub/g.js": "javascript", "Dockerfile": "dockerfile", "docker/Containerfile": "dockerfile",
    "CMakeLists.txt": "cmake", "cmake/x.cmake": "cmake", "Makefile": "make", "main.tf": "hcl", "q.sql": "sql",
    "flake.nix": "nix", "T.sol": "solidity", "s.zsh": "bash", "BUILD.bzl": "python", "go.mod": "gomod",
    "README": None, "up.C": "cpp", "UP.PY": None, "up.Js": None,
    # ast-grep's extensions too, and its languages' dialects
    "t.py3": "python", "w.rbw": "ruby", "sketch.ino": "cpp", "run.cgi": "bash", ".env": None, "x.env": "bash",
    "s.scss": "scss", "k.cu": "cuda",
}  # fmt: skip


def test_languages_hidden_names_and_duplicates(tmp_path):
    write_files(tmp_path, dict.fromkeys(NAMED, "x\n"))
    (tmp_path / "link.py").symlink_to(tmp_path / "a.py")  # links in directories are not followed
    (tmp_path / "sub/up.py").symlink_to("../a.py")
    (tmp_path / "dirlink").symlink_to(tmp_path / "sub")
    listed = rel(tmp_path, list_files([tmp_path]))
    assert listed == sorted((name, lang, None) for name, lang in NAMED.items() if lang)
    again = list_files([tmp_path, tmp_path / "a.py", tmp_path / "sub", tmp_path / "sub/g.js"])
    assert rel(tmp_path, again) == listed  # each file once, however often it is reached
    # A language given takes its own files only, by name as by extension.
    assert rel(tmp_path, list_files([tmp_path], "c")) == [("b.h", "c", None)]
    # ... and a dialect's, as ast-grep's language takes them
    assert rel(tmp_path, list_files([tmp_path], "css")) == [("s.scss", "css", None)]
    assert [p for p, _, _ in rel(tmp_path, list_files([tmp_path], "cpp"))] == [
        "c.hpp",
        "k.cu",
        "sketch.ino",
        "up.C",
    ]
    assert [p for p, _, _ in rel(tmp_path, list_files([tmp_path], "cmake"))] == [
        "CMakeLists.txt",
        "cmake/x.cmake",
    ]
    assert rel(tmp_path, list_files([tmp_path / "d.txt"] * 2, "python")) == [("d.txt", "python", None)]


@pytest.fixture(params=["plain", "git"])
def linked(request, tmp_path):
    """A tree `repo` with links to files and directories inside and outside it.

    `lib/` and `elsewhere/` lie beside `repo`; in the git variant `repo` is a
    checkout with every file and link committed.
    """
    make(tmp_path, ["repo/a.py", "repo/sub/b.py", "lib/mod.py", "elsewhere/pkg/o.py", "elsewhere/pkg/x.txt"])
    repo = tmp_path / "repo"
    links = {
        "helper.py": "../lib/mod.py",  # a file outside
        "alias.py": "a.py",  # a file inside, also listed directly
        "ext": "../elsewhere/pkg",  # a directory outside
        "same": "sub",  # a directory inside, also walked directly
        "loop": ".",  # a loop
        "broken.py": "nowhere.py",
        "itself.py": "itself.py",  # a link that leads to itself never ends
    }
    for name, target in links.items():
        (repo / name).symlink_to(target)
    if request.param == "git":
        if shutil.which("git") is None:
            pytest.skip("git is not installed")
        git_repo(repo)
        subprocess.run(["git", "-C", str(repo), "add", "-A"], check=True)
    return repo


@pytest.mark.parametrize(
    "follow, expected",
    [
        (False, ["a.py", "sub/b.py"]),
        # Each file once, under its own name where it has one in the tree; a link
        # to nothing is reported (after the files: an error, as unreadable directories are).
        (True, ["a.py", "ext/o.py", "helper.py", "sub/b.py", "itself.py", "broken.py"]),
    ],
)
def test_links_in_directories_are_skipped_unless_followed(linked, follow, expected):
    listed = rel(linked, list_files([linked], follow=follow))
    assert [p for p, _, _ in listed] == expected
    assert [p for p, _, error in listed if error is not None] == (
        ["itself.py", "broken.py"] if follow else []
    )


def test_links_named_are_followed_and_write_roots_resolve_them(linked):
    listed = rel(linked, list_files([linked / "helper.py", linked / "ext", linked / "alias.py"]))
    assert listed == [(name, "python", None) for name in ("helper.py", "ext/o.py", "alias.py")]
    # the roots writes are kept to: directories, and the directories of files
    roots = write_roots([linked / "helper.py", linked / "ext", linked / "sub" / "b.py", linked])
    assert roots == [os.path.realpath(linked / p) for p in (".", "../elsewhere/pkg", "sub")]


needs_git = pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")


@pytest.fixture(autouse=True)
def clean_git_config(tmp_path, monkeypatch):
    """No global or system git settings of this machine: a home of our own."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.delenv("GIT_CONFIG_GLOBAL", raising=False)
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    return home


def git_repo(path):
    subprocess.run(["git", "init", "-q", str(path)], check=True)


def walk(top, ignore=True, hidden=False, globs=(), cwd=None):
    old = os.getcwd()
    os.chdir(cwd or top)
    try:
        return sorted(
            os.path.relpath(p, top).replace(os.sep, "/")
            for p, _, _, _ in _Walker(ignore, hidden, globs).files(str(top))
        )
    finally:
        os.chdir(old)


def git_lists(top):
    """What git counts as not ignored: untracked files that --exclude-standard keeps."""
    out = subprocess.run(
        ["git", "ls-files", "-o", "--exclude-standard", "-z"], cwd=top, capture_output=True, check=True
    ).stdout
    return sorted(os.fsdecode(f) for f in out.split(b"\0") if f)


FILES = [
    "keep.py", "k.py", "kx.py", "build.py", "build/x.py", "sub/build/y.py", "top.py", "sub/top.py",
    "sub/mid.py", "x/sub/mid.py", "gen/g.py", "x/gen/g.py", "a/z.py", "a/b/c/z.py", "deep/er/d.py",
    "t1.py", "tx.py", "ua.py", "ub.py", "Upper.py", "#hash.py", "!bang.py", "space.py", "tail ",
    "dir/keep.py", "dir/o.py", "dir2/keep.py", "dir2/o.py", "sx/b.py", "sx/y/b.py", "x.log",
    "sub/important.log", "sub/local.py", "sub/z/local.py", "q]x.py", "r-x.py", "crlf.txt",
    "é.py", "日.py", "é/x.py", "ñu.py",
]  # fmt: skip
# Each case: (.gitignore at the top, .gitignore in sub/).
CASES = {
    "negation": ("*.py\n!keep.py\n!k?.py\n", ""),
    "directories only": ("build/\n", ""),
    "anchored at the start and in the middle": ("/top.py\nsub/mid.py\n", ""),
    "double stars": ("**/gen/*.py\n*.py\n!a/**/z.py\ndeep/**\n", ""),
    "classes": ("t[0-9].py\nu[!a].py\n[[:upper:]]*.py\n[]q]]x.py\nr[+--]x.py\n", ""),
    "escapes and trailing spaces": ("\\#hash.py\n\\!bang.py\nspace.py   \ntail\\ \n# comment.py\n", ""),
    "no re-including below an ignored directory": ("dir/\n!dir/keep.py\ndir2/*\n!dir2/keep.py\n", ""),
    "stars do not cross slashes": ("*.py\n!s*/b.py\n", ""),
    "deeper files win; anchored to their own directory": ("*.log\n", "!important.log\n/local.py\n"),
    "crlf lines": ("x.log\r\ncrlf.txt\r\n", ""),
    "malformed patterns match nothing": ("[a-\nk.py\\\n[[:nope:]]*.py\nx.log\n", ""),
    # git matches a name's bytes: `?` is one byte of `é`, `[é]` a class of its two
    "wildcards take bytes": ("??.py\n?\n[é]u.py\n[!a].py\n", ""),
    "classes of bytes": ("[ñ]?u.py\n???.py\n", ""),
}


@needs_git
@pytest.mark.parametrize("top_rules, sub_rules", CASES.values(), ids=CASES)
def test_the_walk_keeps_what_git_keeps(tmp_path, top_rules, sub_rules):
    make(tmp_path, FILES)
    (tmp_path / ".gitignore").write_text(top_rules, newline="")
    (tmp_path / "sub/.gitignore").write_text(sub_rules)
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
    listed = walk(tmp_path, hidden=True)
    assert listed == git_lists(tmp_path)
    assert len(listed) < len(FILES) + 2  # the case ignores something


# The ignore files of a tree with a checkout in it, and one inside that.
NESTED = {
    ".ignore": "ignored_by_dot_ignore.py\n",  # no repository needed
    "proj/.gitignore": "build/\n*.gen.py\n",
    "proj/src/.gitignore": "!keep.gen.py\n",
    "proj/.git/info/exclude": "info.py\n",
    "proj/lib/inner/.gitignore": "drop.py\n",  # the inner checkout's own, not its parent's
}
ALWAYS = [
    "plain.py",
    "proj/app.py",
    "proj/lib/inner/kept.py",
    "proj/lib/inner/x.gen.py",
    "proj/src/keep.gen.py",
]
# What each walk option keeps besides ALWAYS (global.py: in the user's excludes file).
MORE = {
    "ignore": ["ignored_by_dot_ignore.py", "proj/build/out.py", "proj/global.py", "proj/info.py",
               "proj/lib/inner/drop.py", "proj/src/x.gen.py"],
    "hidden": [".hidden/h.py", "proj/.conf.py"],
}  # fmt: skip


@needs_git
@pytest.mark.parametrize(
    "options", [{}, {"ignore": False}, {"hidden": True}], ids=["default", "no-ignore", "hidden"]
)
def test_nested_repositories_ignore_files_and_excludes(tmp_path, clean_git_config, options):
    top = make(tmp_path / "work", ALWAYS + MORE["ignore"] + MORE["hidden"])
    git_repo(top / "proj")
    git_repo(top / "proj/lib/inner")
    write_files(top, NESTED)
    write_files(clean_git_config, {".config/git/ignore": "global.py\n"})
    kept = sorted(ALWAYS + [p for option in options for p in MORE[option]])
    assert [p for p in walk(top, **options) if p.endswith(".py")] == kept
    # git agrees about the outer checkout (it shows the inner one as a directory)
    assert [p for p in git_lists(top / "proj") if not p.endswith("/")] == [
        p for p in walk(top / "proj", hidden=True) if not p.startswith("lib/inner/")
    ]


@needs_git
@pytest.mark.parametrize("how", ["XDG_CONFIG_HOME", "core.excludesFile"])
def test_global_excludes_file(tmp_path, clean_git_config, monkeypatch, how):
    make(tmp_path / "r", ["a.py", "secret.py"])
    git_repo(tmp_path / "r")
    excludes = tmp_path / "xdg/git/ignore"
    if how == "core.excludesFile":
        excludes = tmp_path / "elsewhere/excludes"
        (clean_git_config / ".gitconfig").write_text(f"[core]\n\texcludesFile = {excludes}\n")
    else:
        monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    write_files(excludes.parent, {excludes.name: "secret.py\n"})
    assert walk(tmp_path / "r") == git_lists(tmp_path / "r") == ["a.py"]


def test_ignore_files_of_parents_apply_when_starting_below(tmp_path):
    write_files(make(tmp_path, ["src/a.py", "src/gen/b.py", "src/c.py"]), {".ignore": "gen/\n/src/c.py\n"})
    assert walk(tmp_path / "src") == ["a.py"]


@pytest.mark.parametrize(
    "globs, kept",
    [
        ([], ["a.py", "b.js", "sub/c.py", "sub/d.js"]),
        (["*.py"], [".h.py", "a.py", "ign.py", "sub/c.py"]),  # an include wins over ignore files and dots
        (["!*.py"], ["b.js", "sub/d.js"]),
        (["!sub"], ["a.py", "b.js"]),
        (["*.py", "!sub/*"], [".h.py", "a.py", "ign.py"]),
        (["!sub/*", "sub/c.py"], ["sub/c.py"]),  # later globs win
        (["sub/c.py", "!sub/*"], []),
        (["*.js", "!b.js", "b.js"], ["b.js", "sub/d.js"]),
        (["sub/**"], ["sub/c.py", "sub/d.js"]),
        # `{a,b}` stands for either, as in ripgrep's and ast-grep's globs
        (["*.{py,js}", "!{sub,.h.py}"], ["a.py", "b.js", "ign.py"]),
        (["!{sub,*.js}"], ["a.py"]),
        (["{sub/{c,x}.py,b.js}"], ["b.js", "sub/c.py"]),
    ],
)
def test_globs_include_and_exclude_the_last_one_winning(tmp_path, globs, kept):
    write_files(
        make(tmp_path, ["a.py", "b.js", "sub/c.py", "sub/d.js", ".h.py", "ign.py"]), {".ignore": "ign.py\n"}
    )
    assert [p for p in walk(tmp_path, globs=globs) if p != ".ignore"] == kept


# A brace or comma escaped, or in a character class, is the character itself, as
# in ripgrep and git: the results are ripgrep 13's for the same globs.
@pytest.mark.parametrize(
    "glob, kept",
    [
        ("b\\{1\\}.js", ["b{1}.js"]),
        ("b[{]1[}].js", ["b{1}.js"]),
        ("\\{a,b\\}.js", ["{a,b}.js"]),
        ("{r\\,s}.js", ["r,s.js"]),
        ("{c[,],zz}.js", ["c,.js"]),
        ("{a,b}.js", ["a.js"]),
        ("!b\\{1\\}.js", ["a.js", "b1.js", "c,.js", "r,s.js", "{a,b}.js"]),
    ],
)
def test_escaped_braces_and_classes_in_globs_are_literal(tmp_path, glob, kept):
    make(tmp_path, ["a.js", "b1.js", "b{1}.js", "c,.js", "{a,b}.js", "r,s.js"])
    assert walk(tmp_path, globs=[glob]) == kept


def test_globs_are_relative_to_the_working_directory(tmp_path):
    make(tmp_path, ["src/a.py", "src/sub/b.py"])
    assert walk(tmp_path / "src", globs=["src/sub/*"], cwd=tmp_path) == ["sub/b.py"]
    assert walk(tmp_path / "src", globs=["sub/*"], cwd=tmp_path / "src") == ["sub/b.py"]


def test_list_files_takes_what_a_glob_includes_in_the_language_given(tmp_path):
    make(tmp_path, ["a.py", "tool", "notes.txt"])
    listed = list_files([tmp_path], "python", globs=["tool", "*.py"])
    assert [(os.path.basename(x.path), x.lang) for x in listed] == [("a.py", "python"), ("tool", "python")]
    assert [os.path.basename(x.path) for x in list_files([tmp_path], globs=["tool", "*.py"])] == ["a.py"]


def test_named_paths_are_kept_whatever_the_rules(tmp_path):
    write_files(make(tmp_path, ["gen/a.py", ".h.py", "b.py"]), {".ignore": "gen\nb.py\n"})
    named = [tmp_path / "gen", tmp_path / ".h.py", tmp_path / "b.py"]
    assert [p for p, _, _ in rel(tmp_path, list_files(named))] == ["gen/a.py", ".h.py", "b.py"]
    assert [p for p, _, _ in rel(tmp_path, list_files(named, globs=["!*.py"]))] == [".h.py", "b.py"]


def test_what_is_no_regular_file_named_is_an_error_not_a_file_without_matches(tmp_path):
    os.mkfifo(tmp_path / "p.py")
    (tmp_path / "z.py").symlink_to("/dev/zero")
    named = [str(tmp_path / "p.py"), str(tmp_path / "z.py"), "/dev/stdin", "/dev/fd/0"]
    assert all(x.error is not None for x in list_files(named))
    assert list_files([tmp_path], follow=True) == []  # found while walking: passed over


@pytest.mark.parametrize("size", [0, 1, 4095, 4096, 4097, 3 << 20])
def test_read_bytes_reads_files_of_any_size_whole(tmp_path, size):
    data = os.urandom(size)
    (tmp_path / "f").write_bytes(data)
    assert read_bytes(str(tmp_path / "f")) == data


def test_read_bytes_reads_what_is_not_a_plain_file_to_its_end_or_fails_as_open_does(tmp_path):
    for path in ("/proc/cpuinfo", "/proc/version"):  # such files say they are empty, and are not
        if os.path.exists(path):
            assert os.stat(path).st_size == 0 and read_bytes(path) == open(path, "rb").read() != b""
    os.mkfifo(fifo := tmp_path / "p")
    writer = subprocess.Popen(["sh", "-c", f"head -c 200000 /dev/zero > {fifo}"])
    try:
        assert read_bytes(str(fifo)) == bytes(200000)
    finally:
        writer.wait(10)
    for path in (str(tmp_path / "nothing"), str(tmp_path)):
        with pytest.raises(OSError) as theirs:
            open(path, "rb").read()
        with pytest.raises(OSError) as ours:
            read_bytes(path)
        assert ours.value.errno == theirs.value.errno


@pytest.mark.skipif(os.geteuid() != 0, reason="becomes user nobody to be refused a directory")
def test_a_directory_that_cannot_be_read_is_reported_not_passed_over():
    tmp_path = Path(tempfile.mkdtemp())  # pytest's tmp_path is not reachable by nobody
    write_files(tmp_path, {"d/locked/l.py": "x\n", "d/ok/o.py": "x\n"})
    for p in (tmp_path, tmp_path / "d", tmp_path / "d/ok"):
        p.chmod(0o755)
    (tmp_path / "d/locked").chmod(0)

    def listed():
        got = [(os.path.relpath(x.path, tmp_path), x.error, x.named) for x in list_files([tmp_path / "d"])]
        named = [(x.error, x.named) for x in list_files([tmp_path / "d/locked"])]
        print(got, named)
        return (
            0
            if (got, named)
            == (
                [("d/ok/o.py", None, False), ("d/locked", "cannot read: Permission denied", False)],
                [("cannot read: Permission denied", True)],
            )
            else 1
        )

    try:
        status, printed = as_nobody(listed, tmp_path)
    finally:
        (tmp_path / "d/locked").chmod(0o755)
        shutil.rmtree(tmp_path)
    assert status == 0, printed


@pytest.mark.skipif(os.geteuid() != 0, reason="becomes user nobody to be refused a file")
def test_a_directory_whose_ignore_file_cannot_be_read_is_reported_and_left_alone():
    tmp_path = Path(tempfile.mkdtemp())
    write_files(
        tmp_path, {"d/sub/.ignore": "a.py\n", "d/sub/a.py": "x\n", "d/sub/b.py": "x\n", "d/c.py": "x\n"}
    )
    for p in (tmp_path, tmp_path / "d", tmp_path / "d/sub"):
        p.chmod(0o755)
    (tmp_path / "d/sub/.ignore").chmod(0)

    def listed():
        walked = [(os.path.relpath(x.path, tmp_path), x.error is None) for x in list_files([tmp_path / "d"])]
        below = [x.error is None for x in list_files([tmp_path / "d/sub"])]
        ok = walked == [("d/c.py", True), ("d/sub", False)] and below == [False]
        print(walked, below)
        return 0 if ok else 1

    try:
        status, printed = as_nobody(listed, tmp_path)
    finally:
        shutil.rmtree(tmp_path)
    assert status == 0, printed


def test_a_link_to_nothing_followed_is_reported(tmp_path):
    write_files(tmp_path, {"a.py": "x\n"})
    (tmp_path / "b.py").symlink_to(tmp_path / "nowhere.py")
    assert [(os.path.basename(x.path), x.error is None) for x in list_files([tmp_path], follow=True)] == [
        ("a.py", True),
        ("b.py", False),
    ]
    assert [os.path.basename(x.path) for x in list_files([tmp_path])] == ["a.py"]  # not followed: passed over


def test_one_path_given_for_a_list_is_refused_not_read_letter_by_letter():
    with pytest.raises(TypeError):
        list_files("a.py")


def test_dots_after_a_link_lead_where_the_system_takes_them(tmp_path, monkeypatch):
    (tmp_path / "outside" / "deep").mkdir(parents=True)
    (tmp_path / "root").mkdir()
    (tmp_path / "root" / "in.py").write_text("x = 1\n")
    (tmp_path / "outside" / "out.py").write_text("x = 1\n")
    (tmp_path / "root" / "link").symlink_to("../outside/deep")
    monkeypatch.chdir(tmp_path)
    for given in ("root/link/..", str(tmp_path / "root/link/..")):
        listed = [os.path.realpath(x.path) for x in list_files([given])]
        assert listed == [str(tmp_path / "outside" / "out.py")], given
        assert write_roots([given]) == [str(tmp_path / "outside")]
    # A named file through such a path is that file, and may be written.
    assert [x.path for x in list_files(["root/link/../out.py"])] == ["outside/out.py"]
    assert write_roots(["root/link/../out.py"]) == [str(tmp_path / "outside")]
    # `..` with no link before it still reads as written.
    assert [x.path for x in list_files(["root/../root/in.py"])] == ["root/../root/in.py"]


@pytest.mark.skipif(os.geteuid() != 0, reason="becomes user nobody to be refused a search")
def test_a_named_file_behind_a_directory_that_refuses_a_search_is_not_called_missing():
    tmp_path = Path(tempfile.mkdtemp())  # pytest's tmp_path is not reachable by nobody
    write_files(tmp_path, {"d/a.py": "x\n"})
    tmp_path.chmod(0o755)
    (tmp_path / "d").chmod(0o644)  # readable, not searchable

    def listed():
        errors = [x.error for x in list_files([tmp_path / "d/a.py", tmp_path / "d/b.py"])]
        print(errors)
        return 0 if errors == ["cannot read: Permission denied"] * 2 else 1

    try:
        status, printed = as_nobody(listed, tmp_path)
    finally:
        (tmp_path / "d").chmod(0o755)
        shutil.rmtree(tmp_path)
    assert status == 0, printed
