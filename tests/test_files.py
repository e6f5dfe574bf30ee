"""Which files a run covers: languages, hidden names, git-ignored files and symbolic links."""

import os
import shutil
import subprocess

import pytest

from kovel._files import list_files, write_roots


def rel(root, items):
    return [(os.path.relpath(i.path, root), i.lang, i.error) for i in items]


def test_languages_hidden_names_and_duplicates(tmp_path):
    for name in ("a.py", "b.h", "c.hpp", "d.txt", ".git2/e.py", "sub/.f.py", "sub/g.js"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text("x\n")
    assert rel(tmp_path, list_files([tmp_path, tmp_path / "a.py"])) == [
        ("a.py", "python", None),
        ("b.h", "c", None),
        ("c.hpp", "cpp", None),
        ("sub/g.js", "javascript", None),
    ]
    assert rel(tmp_path, list_files([tmp_path], "c")) == [("b.h", "c", None)]
    assert rel(tmp_path, list_files([tmp_path / "d.txt", tmp_path / "d.txt"], "python")) == [
        ("d.txt", "python", None)
    ]


@pytest.fixture(params=["plain", "git"])
def linked(request, tmp_path):
    """A tree `repo` with links to files and directories inside and outside it.

    `lib/` and `elsewhere/` lie beside `repo`; in the git variant `repo` is a
    checkout with every file and link committed.
    """
    for name in ("repo/a.py", "repo/sub/b.py", "lib/mod.py", "elsewhere/pkg/o.py", "elsewhere/pkg/x.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("x = 1\n")
    repo = tmp_path / "repo"
    links = {
        "helper.py": "../lib/mod.py",  # a file outside
        "alias.py": "a.py",  # a file inside, also listed directly
        "ext": "../elsewhere/pkg",  # a directory outside
        "same": "sub",  # a directory inside, also walked directly
        "loop": ".",  # a loop
        "broken.py": "nowhere.py",
    }
    for name, target in links.items():
        (repo / name).symlink_to(target)
    if request.param == "git":
        if shutil.which("git") is None:
            pytest.skip("git is not installed")
        subprocess.run(["git", "init", "-q", str(repo)], check=True)
        subprocess.run(["git", "-C", str(repo), "add", "-A"], check=True)
    return repo


@pytest.mark.parametrize(
    "follow, expected",
    [
        (False, ["a.py", "sub/b.py"]),
        # Each file once, under its own name where it has one in the tree.
        (True, ["a.py", "ext/o.py", "helper.py", "sub/b.py"]),
    ],
)
def test_links_in_directories_are_skipped_unless_followed(linked, follow, expected):
    assert [p for p, _, _ in rel(linked, list_files([linked], follow=follow))] == expected


def test_links_named_are_followed(linked):
    named = [linked / "helper.py", linked / "ext", linked / "alias.py"]
    assert rel(linked, list_files(named)) == [
        ("helper.py", "python", None),
        ("ext/o.py", "python", None),
        ("alias.py", "python", None),
    ]


def test_write_roots_resolve_directories_and_the_directories_of_files(linked):
    real = lambda *parts: os.path.realpath(os.path.join(linked, *parts))  # noqa: E731
    assert write_roots([linked / "helper.py", linked / "ext", linked / "sub" / "b.py", linked]) == [
        real(),
        real("..", "elsewhere", "pkg"),
        real("sub"),
    ]
