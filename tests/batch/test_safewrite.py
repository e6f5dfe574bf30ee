"""Replacing files: links, owners and modes, hard links, read-only files and stray temporaries."""

import grp
import hashlib
import os
import pwd
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
from contextlib import nullcontext
from pathlib import Path

import pytest

from kovel.batch import safewrite
from kovel.batch.safewrite import FileChangedError, NotWrittenError, SafeWriter, replace_file
from tests.helpers import as_nobody, write_files

ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
needs_root = pytest.mark.skipif(not ROOT, reason="needs root to give files away and act as nobody")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def names(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def old_file(path):
    path.write_bytes(b"old\n")
    return path


OLD = sha(b"old\n")


@pytest.mark.parametrize("mode", [0o640, 0o4755, 0o2750])
def test_keeps_the_owner_group_and_mode_and_refuses_a_changed_file(tmp_path, mode):
    f = old_file(tmp_path / "f.py")
    owner = (os.getuid(), os.getgid())
    if ROOT:  # the file is given away first
        owner = (pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid)
    os.chown(f, *owner)
    f.chmod(mode)
    assert replace_file(str(f), b"new\n", OLD) == []
    st = f.stat()
    assert (f.read_bytes(), st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (b"new\n", *owner, mode)
    with pytest.raises(FileChangedError, match="changed on disk"):
        replace_file(str(f), b"newer\n", OLD)
    assert f.read_bytes() == b"new\n" and names(tmp_path) == ["f.py"]


def test_new_bytes_made_from_the_old_ones_are_made_only_from_the_checked_bytes(tmp_path):
    f = old_file(tmp_path / "f.py")
    seen = []

    def made(old):
        seen.append(old)
        return old.upper()

    assert SafeWriter().replace(str(f), made, OLD) == []
    assert f.read_bytes() == seen[0].upper() and sha(seen[0]) == OLD
    with pytest.raises(FileChangedError):
        SafeWriter().replace(str(f), made, OLD)
    assert len(seen) == 1 and f.read_bytes() == seen[0].upper()


@pytest.mark.parametrize("step", ["fsync", "replace"])
def test_an_interrupted_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, step):
    f = old_file(tmp_path / "f.py")

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(safewrite.os, step, interrupted)
    with pytest.raises(KeyboardInterrupt):
        replace_file(str(f), b"new\n", OLD)
    monkeypatch.undo()
    assert names(tmp_path) == ["f.py"] and f.read_bytes() == b"old\n"


@pytest.fixture
def linked(tmp_path):
    """`repo/` with links to a file inside it, one outside and a directory outside."""
    files = ["repo/a.py", "repo/sub/b.py", "outside/mod.py", "outside/pkg/c.py"]
    repo = write_files(tmp_path, dict.fromkeys(files, "old\n")) / "repo"
    (repo / "inner.py").symlink_to("sub/b.py")
    (repo / "helper.py").symlink_to("../outside/mod.py")
    (repo / "ext").symlink_to("../outside/pkg")
    return repo


@pytest.mark.parametrize(
    "name, target, written",
    [
        ("a.py", "a.py", True),
        ("inner.py", "sub/b.py", True),  # through the link, onto its target
        ("helper.py", "../outside/mod.py", False),
        ("ext/c.py", "../outside/pkg/c.py", False),
    ],
)
def test_writes_only_inside_the_roots(linked, name, target, written):
    with (
        nullcontext()
        if written
        else pytest.raises(NotWrittenError, match="outside the paths given; not written")
    ):
        SafeWriter([linked]).replace(str(linked / name), b"new\n", OLD)
    assert (linked / target).read_bytes() == (b"new\n" if written else b"old\n")
    if name != target:  # the link is still a link
        assert os.readlink(linked / name.split("/")[0]) == ("../outside/pkg" if "/" in name else target)
    # Without roots (the batch API's own use), a link leads anywhere.
    SafeWriter().replace(str(linked / name), b"newer\n", sha((linked / target).read_bytes()))
    assert (linked / target).read_bytes() == b"newer\n"


def test_a_file_with_hard_links_is_not_split(tmp_path):
    a, b = old_file(tmp_path / "a.py"), tmp_path / "b.py"
    os.link(a, b)
    with pytest.raises(NotWrittenError, match="has 2 hard links"):
        replace_file(str(a), b"new\n", OLD)
    assert (a.read_bytes(), b.read_bytes(), a.stat().st_ino == b.stat().st_ino) == (b"old\n", b"old\n", True)
    b.unlink()
    replace_file(str(a), b"new\n", OLD)
    assert a.read_bytes() == b"new\n"


@pytest.fixture
def nobodys_dir():
    """A directory nobody may write in, reachable by nobody (pytest's tmp_path is not)."""
    top = Path(tempfile.mkdtemp())
    try:
        top.chmod(0o755)
        work = top / "work"
        work.mkdir()
        os.chown(work, pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid)
        yield work
    finally:
        shutil.rmtree(top)


@needs_root
def test_root_leaves_alone_a_file_no_one_may_write(tmp_path):
    f = old_file(tmp_path / "ro.py")
    f.chmod(0o444)
    with pytest.raises(NotWrittenError):
        replace_file(str(f), b"new\n", OLD)
    assert f.read_bytes() == b"old\n"


@needs_root
def test_as_another_user_what_cannot_be_kept_is_reported(nobodys_dir):
    users = grp.getgrnam("users").gr_gid
    # nobody (group nogroup, in users too) rewrites each file:
    # owner:group and mode before, after, and what replace_file said
    cases = {
        "readonly.py": ("nobody:users", 0o444, "nobody:users", 0o444, "refused: no permission to write it"),
        "users.py": ("nobody:users", 0o664, "nobody:users", 0o664, "[]"),
        "shared.py": ("root:nogroup", 0o664, "nobody:nogroup", 0o664, "['owner root not kept (now nobody)']"),
        "setgid.py": ("nobody:root", 0o2775, "nobody:nogroup", 0o775,
                      "['group root not kept (now nogroup)', 'setuid/setgid bits dropped']"),
    }  # fmt: skip
    for name, (owner, mode, *_) in cases.items():
        user, group = owner.split(":")
        os.chown(old_file(nobodys_dir / name), pwd.getpwnam(user).pw_uid, grp.getgrnam(group).gr_gid)
        (nobodys_dir / name).chmod(mode)

    def rewrite_each():
        for name in cases:
            try:
                print(replace_file(name, b"new\n", OLD))
            except NotWrittenError as exc:
                print("refused:", exc)

    status, printed = as_nobody(rewrite_each, nobodys_dir, [users])
    assert status == 0, printed
    for (name, (*_, owner, mode, outcome)), said in zip(cases.items(), printed.splitlines(), strict=True):
        f = nobodys_dir / name
        st = f.stat()
        got = f"{pwd.getpwuid(st.st_uid).pw_name}:{grp.getgrgid(st.st_gid).gr_name}"
        assert (got, stat.S_IMODE(st.st_mode), said.startswith(outcome)) == (owner, mode, True), (name, said)
        assert f.read_bytes() == (b"old\n" if outcome.startswith("refused") else b"new\n")


# Kills itself at one step of replace_file: `os.<step>` is replaced by a SIGKILL.
KILLED = """\
import hashlib, os, signal, sys
from kovel.batch import safewrite
path, step, unnamed = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
if not unnamed:
    safewrite._O_TMPFILE = 0
setattr(safewrite.os, step, lambda *a, **k: os.kill(os.getpid(), signal.SIGKILL))
safewrite.replace_file(path, b"new\\n", hashlib.sha256(b"old\\n").hexdigest())
"""


def o_tmpfile_works(folder):
    try:
        os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY, 0o600))
    except (AttributeError, OSError):
        return False
    return os.path.isdir("/proc/self/fd")


@pytest.mark.parametrize(
    "step, unnamed, strays",
    [
        ("fsync", True, 0),  # written, not linked in: nothing has a name yet
        ("replace", True, 1),  # the moment between linking in and the rename
        ("fsync", False, 1),  # no unnamed files: the temporary is named from the start
        ("replace", False, 1),
    ],
)
def test_a_killed_write_leaves_no_stray_file_past_the_next_run(tmp_path, step, unnamed, strays):
    if unnamed and not o_tmpfile_works(tmp_path):
        pytest.skip("no O_TMPFILE on this file system")
    f, other = old_file(tmp_path / "f.py"), old_file(tmp_path / "g.py")
    run = subprocess.run([sys.executable, "-c", KILLED, str(f), step, "1" if unnamed else "0"])
    assert run.returncode == -signal.SIGKILL
    assert f.read_bytes() == b"old\n"
    left = [n for n in names(tmp_path) if n not in ("f.py", "g.py")]
    assert len(left) == strays and all(safewrite._STRAY.fullmatch(n) and n.startswith(".f.py.") for n in left)
    SafeWriter([tmp_path]).replace(str(other), b"new\n", OLD)
    assert names(tmp_path) == ["f.py", "g.py"]


def test_only_this_modules_own_old_temporaries_are_removed(tmp_path):
    written, elsewhere = tmp_path / "written", tmp_path / "elsewhere"
    for folder in (written, elsewhere):
        write_files(folder, {"a.py": "old\n", ".a.py.abcd_123.kovel-tmp": "stray"})
    keep = {
        "a.py.abcd_123.kovel-tmp": "file",  # not hidden
        ".a.py.ABCD_123.kovel-tmp": "file",  # not this module's alphabet
        ".a.py.abcd_12.kovel-tmp": "file",  # too short
        ".a.py.abcd_123.kovel-tmp.bak": "file",
        ".b.py.abcd_123.kovel-tmp": "dir",
        ".c.py.abcd_123.kovel-tmp": "link",
        ".d.py.abcd_123.kovel-tmp": "new",  # written after the run began
    }
    make = {"dir": Path.mkdir, "link": lambda p: p.symlink_to("a.py")}
    for name, kind in keep.items():
        make.get(kind, lambda p: p.write_bytes(b"x"))(written / name)
    writer = SafeWriter([tmp_path])
    later = writer.started + 60
    os.utime(written / ".d.py.abcd_123.kovel-tmp", (later, later))
    writer.replace(str(written / "a.py"), b"new\n", OLD)
    assert names(written) == sorted(["a.py", *keep])
    assert names(elsewhere) == [".a.py.abcd_123.kovel-tmp", "a.py"]


@pytest.mark.parametrize("name", ["a" * 252 + ".py", "é" * 124 + ".py"])
def test_a_file_of_the_longest_name_is_replaced(tmp_path, name):
    f = tmp_path / name
    f.write_bytes(b"old")
    SafeWriter([tmp_path]).replace(str(f), b"new", hashlib.sha256(b"old").hexdigest())
    assert f.read_bytes() == b"new" and os.listdir(tmp_path) == [name]


def test_a_file_gone_since_it_was_read_is_said_to_be(tmp_path, monkeypatch):
    f = old_file(tmp_path / "f.py")
    real_access = os.access

    def gone_first(path, mode, **kw):  # the file is taken away between the read and the write
        f.unlink(missing_ok=True)
        return real_access(path, mode, **kw)

    monkeypatch.setattr(os, "access", gone_first)
    with pytest.raises(NotWrittenError, match="gone since it was read"):
        replace_file(str(f), b"new\n", OLD)
    assert names(tmp_path) == []


def test_keeps_extended_attributes_and_an_access_control_list(tmp_path):
    f = old_file(tmp_path / "f.py")
    f.chmod(0o640)
    try:
        os.setxattr(f, "user.origin", b"kept")
    except (AttributeError, OSError):
        pytest.skip("no extended attributes here")
    acl = shutil.which("setfacl") and shutil.which("getfacl")
    if acl:  # the group may read; a named user may write: the mode alone would not say so
        subprocess.run(["setfacl", "-m", "g::r--,u:nobody:rw-", str(f)], check=True)
    before = subprocess.run(["getfacl", "-cp", str(f)], capture_output=True, text=True).stdout if acl else ""
    assert replace_file(str(f), b"new\n", OLD) == []
    assert os.getxattr(f, "user.origin") == b"kept" and f.read_bytes() == b"new\n"
    if acl:
        assert subprocess.run(["getfacl", "-cp", str(f)], capture_output=True, text=True).stdout == before


def test_adds_no_access_control_list_the_file_had_not(tmp_path):
    if not (shutil.which("setfacl") and shutil.which("getfacl")):
        pytest.skip("no setfacl here")
    # A directory whose default list would give a new file to a named user.
    if subprocess.run(["setfacl", "-d", "-m", "u:nobody:rwx", str(tmp_path)], capture_output=True).returncode:
        pytest.skip("no access control lists on this file system")
    f = old_file(tmp_path / "f.py")
    subprocess.run(["setfacl", "-b", str(f)], check=True)
    f.chmod(0o640)
    before = subprocess.run(["getfacl", "-cp", str(f)], capture_output=True, text=True).stdout
    assert replace_file(str(f), b"new\n", OLD) == []
    assert subprocess.run(["getfacl", "-cp", str(f)], capture_output=True, text=True).stdout == before
    assert stat.S_IMODE(f.stat().st_mode) == 0o640


@pytest.mark.parametrize("how", ["appended", "replaced"])
def test_a_file_written_while_its_new_text_is_made_keeps_the_other_writers_text(tmp_path, how):
    f = old_file(tmp_path / "f.py")

    def made(old):  # another program writes the file after kovel read it
        if how == "appended":
            with open(f, "ab") as out:
                out.write(b"# theirs\n")
        else:  # saved by a rename, as editors save
            (tmp_path / "theirs").write_bytes(old + b"# theirs\n")
            os.replace(tmp_path / "theirs", f)
        return b"new\n"

    with pytest.raises(FileChangedError):
        replace_file(str(f), made, OLD)
    assert f.read_bytes().endswith(b"# theirs\n") and names(tmp_path) == ["f.py"]


def test_a_fifo_put_in_the_files_place_is_refused_at_once(tmp_path):
    f = old_file(tmp_path / "f.py")

    def swapped(old):  # the file replaced by a FIFO once read: nothing will ever write to it
        f.unlink()
        os.mkfifo(f)
        return b"new\n"

    with pytest.raises(FileChangedError):
        replace_file(str(f), swapped, OLD)

    # ... and found there before the read, it is no regular file (an open that waited would hang: stopped)
    def hung(*_):
        raise TimeoutError("the open waited for a writer")

    old = signal.signal(signal.SIGALRM, hung)
    signal.alarm(10)
    try:
        with pytest.raises(NotWrittenError, match="no longer a regular file"):
            replace_file(str(f), b"new\n", OLD)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, old)
