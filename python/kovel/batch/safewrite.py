"""Replacing a file's contents so that no reader, crash or Ctrl-C ever sees it half written.

The new bytes go to a temporary file in the file's directory, which gets the
file's owner, group, mode and extended attributes and is then renamed over it: the file is at
every moment either its old self or its new one.  The temporary file has no
name while it is written (``O_TMPFILE``), and gets one only for the moment
between linking it in and the rename; a process killed there, or on a file
system without ``O_TMPFILE``, leaves a ``.NAME.XXXXXXXX.kovel-tmp`` file,
which the next ``SafeWriter`` to write in that directory removes.

Some files are not written at all (``NotWrittenError``): one that changed
since it was read, one its user may not write (renaming over it would work,
as the directory is writable, but ``ast-grep`` and careful users agree that
a read-only file is not to be changed), one that resolves (through symbolic
links) to a place outside the directories the run was given, and one with
several hard links, as the rename would give the new text to one name and
leave the old one to the others.
"""

from __future__ import annotations

import errno
import grp
import hashlib
import os
import pwd
import re
import stat
import time
from collections.abc import Callable, Iterable
from typing import BinaryIO

__all__ = ["FileChangedError", "NotWrittenError", "SafeWriter", "replace_file"]

_SUFFIX = ".kovel-tmp"
_ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789_"
#: The most bytes of a file's name a temporary name keeps: names have 255 at most.
_NAME_MOST = 255 - len("..") - 8 - len(_SUFFIX)
#: The names of this module's temporary files, and only those.
_STRAY = re.compile(r"\..+\.[a-z0-9_]{8}" + re.escape(_SUFFIX))
# Linking an unnamed file in goes through its /proc/self/fd entry.
_O_TMPFILE = getattr(os, "O_TMPFILE", 0) if os.path.isdir("/proc/self/fd") else 0


class NotWrittenError(Exception):
    """The file was left as it is, for the reason given."""


class FileChangedError(NotWrittenError):
    """The file's bytes are no longer those the new contents were made from."""


class SafeWriter:
    """Replaces files, within ``roots`` if given, for one run.

    ``roots`` are the resolved directories the run may write in (see
    ``kovel.batch.files.write_roots``); a file whose real path lies outside them
    is not written.  The first write in a directory removes the temporary
    files that an earlier, killed run left there (named as this module names
    them, and older than this writer).

    >>> import hashlib, os, pathlib, tempfile
    >>> d = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (d / "a.py").write_bytes(b"old")
    >>> (d / "link.py").symlink_to(d / "a.py")
    >>> w = SafeWriter([d])
    >>> w.replace(str(d / "link.py"), b"new", hashlib.sha256(b"old").hexdigest())
    []
    >>> (d / "a.py").read_bytes(), os.path.islink(d / "link.py")
    (b'new', True)
    >>> SafeWriter([d / "elsewhere"]).replace(str(d / "a.py"), b"x", hashlib.sha256(b"new").hexdigest())
    Traceback (most recent call last):
    ...
    kovel.batch.safewrite.NotWrittenError: lies outside the paths given; not written
    """

    def __init__(self, roots: Iterable[str | os.PathLike[str]] | None = None, *, sweep: bool = True) -> None:
        self.roots = None if roots is None else [os.path.realpath(r) for r in roots]
        self.started = time.time()
        self.swept: set[str] | None = set() if sweep else None

    def replace(self, path: str, data: bytes | Callable[[bytes], bytes], digest: str) -> list[str]:
        """Write ``data`` to ``path`` if the file still hashes (SHA-256) to ``digest``.

        ``data`` may be a function of the file's bytes, which makes the new
        ones from the bytes read here to check the digest: the file is read once.

        Writes through symbolic links, onto the target file.  Returns notes
        on what could not be kept (an owner or group the user cannot give
        away, and then the setuid and setgid bits, which are dropped).
        Raises ``NotWrittenError`` (``FileChangedError`` when the file
        changed since it was read) when the file is not to be written, and
        ``OSError`` when writing fails; either way the file is unchanged.
        """
        target = os.path.realpath(path)
        if self.roots is not None and not any(_within(target, r) for r in self.roots):
            shown = "" if target == os.path.abspath(path) else f"resolves to {target}, which "
            raise NotWrittenError(f"{shown}lies outside the paths given; not written")
        folder, base = os.path.split(target)
        dfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            return self._replace(dfd, folder, base, data, digest)
        finally:
            os.close(dfd)

    def _replace(
        self, dfd: int, folder: str, base: str, data: bytes | Callable[[bytes], bytes], digest: str
    ) -> list[str]:
        if not os.access(base, os.W_OK, dir_fd=dfd):
            raise NotWrittenError(f"{_unwritable(dfd, base)}; not written")
        # Opened to read only (closing a file opened to write tells watchers it was saved), and
        # kept open to the rename: what was written to it meanwhile is seen then.
        try:  # O_NOFOLLOW: the name was resolved; a link put there since is not followed
            # (O_NONBLOCK: a FIFO put in its place would wait for a writer; for a file it changes nothing.)
            fd = os.open(base, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK, dir_fd=dfd)
        except PermissionError:
            raise NotWrittenError("no permission to write it; not written") from None
        with os.fdopen(fd, "rb") as f:
            return self._replace_read(dfd, folder, base, data, digest, f)

    def _replace_read(
        self,
        dfd: int,
        folder: str,
        base: str,
        data: bytes | Callable[[bytes], bytes],
        digest: str,
        f: BinaryIO,
    ) -> list[str]:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            raise NotWrittenError("no longer a regular file; not written")
        # Whoever may write anything (root) still leaves alone a file no one is to write.
        if not st.st_mode & 0o222:
            raise NotWrittenError("no permission to write it; not written")
        old = f.read()
        attributes = _attributes(f.fileno())
        if hashlib.sha256(old).hexdigest() != digest:
            raise FileChangedError("changed on disk since it was read; not written")
        if callable(data):
            data = data(old)
        if st.st_nlink > 1:
            raise NotWrittenError(
                f"has {st.st_nlink} hard links, which a rewrite would split (this name new, "
                "the others old); not written"
            )
        if self.swept is not None and folder not in self.swept:
            self.swept.add(folder)
            _sweep(dfd, self.started)
        tmp, name = _temporary(dfd, base)
        try:
            with os.fdopen(tmp, "wb", closefd=False) as out:
                out.write(data)
            notes = _copy_owner_and_mode(tmp, st, attributes)
            os.fsync(tmp)
            if name is None:
                name = _link_in(tmp, dfd, base)
            # Written to, or replaced, while the new text was made: the other writer's text stays.
            if _changed(st, os.fstat(f.fileno()), dfd, base):
                raise FileChangedError("changed on disk while it was rewritten; not written")
            os.replace(name, base, src_dir_fd=dfd, dst_dir_fd=dfd)
            name = None
        except BaseException:
            if name is not None:
                try:
                    os.unlink(name, dir_fd=dfd)
                except OSError:
                    pass
            raise
        finally:
            os.close(tmp)
        return notes


def _changed(before: os.stat_result, now: os.stat_result, dfd: int, base: str) -> bool:
    """Whether the file opened as ``before`` (now ``now``) was written to since,
    or its name ``base`` in the directory ``dfd`` now names another file."""
    if (now.st_size, now.st_mtime_ns, now.st_ctime_ns) != (
        before.st_size,
        before.st_mtime_ns,
        before.st_ctime_ns,
    ):
        return True
    try:
        named = os.stat(base, dir_fd=dfd, follow_symlinks=False)
    except OSError:
        return True
    return (named.st_dev, named.st_ino) != (before.st_dev, before.st_ino)


def _unwritable(dfd: int, base: str) -> str:
    """Why the file ``base`` in the directory ``dfd`` may not be written, as ``os.access`` found."""
    try:
        os.stat(base, dir_fd=dfd, follow_symlinks=False)
    except FileNotFoundError:
        return "gone since it was read"
    except OSError:
        pass
    try:
        if os.fstatvfs(dfd).f_flag & os.ST_RDONLY:
            return "its file system is read-only"
    except OSError:
        pass
    return "no permission to write it"


def replace_file(
    path: str, data: bytes, digest: str, *, roots: Iterable[str | os.PathLike[str]] | None = None
) -> list[str]:
    """Write ``data`` to ``path`` if the file still hashes (SHA-256) to ``digest``.

    One ``SafeWriter(roots).replace``, without looking for stray temporary
    files: a run writing many files uses one ``SafeWriter`` instead.

    >>> import hashlib, pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.txt")
    >>> _ = f.write_bytes(b"old")
    >>> replace_file(str(f), b"new", hashlib.sha256(b"old").hexdigest())
    []
    >>> f.read_bytes()
    b'new'
    """
    return SafeWriter(roots, sweep=False).replace(path, data, digest)


def _within(path: str, root: str) -> bool:
    return path == root or path.startswith(root if root.endswith(os.sep) else root + os.sep)


def _temporary(dfd: int, base: str) -> tuple[int, str | None]:
    """An open temporary file in the directory, and its name (None while it has none)."""
    if _O_TMPFILE:
        try:
            return os.open(".", _O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o600, dir_fd=dfd), None
        except OSError as exc:  # the file system has no unnamed files
            if exc.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
    while True:
        name = _temp_name(base)
        try:
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
            return os.open(name, flags, 0o600, dir_fd=dfd), name
        except FileExistsError:
            continue


def _temp_name(base: str) -> str:
    # One read of the system's random bytes for the eight letters (not one
    # each): the name need only be hard to guess, and O_EXCL makes it new.
    letters = "".join(_ALPHABET[b % len(_ALPHABET)] for b in os.urandom(8))
    # A long name is cut (in bytes, as the system counts them) to leave room for the rest.
    short = os.fsdecode(os.fsencode(base)[:_NAME_MOST])
    return f".{short}.{letters}{_SUFFIX}"


def _link_in(fd: int, dfd: int, base: str) -> str:
    """Give the unnamed file ``fd`` a name in the directory; return the name."""
    while True:
        name = _temp_name(base)
        try:
            os.link(f"/proc/self/fd/{fd}", name, dst_dir_fd=dfd, follow_symlinks=True)
            return name
        except FileExistsError:
            continue


def _attributes(fd: int) -> dict[str, bytes]:
    """The extended attributes of the file ``fd`` (its access control list among
    them), as far as they can be read; none where the system has none."""
    if not hasattr(os, "listxattr"):
        return {}
    got = {}
    try:
        for name in os.listxattr(fd):
            try:
                got[name] = os.getxattr(fd, name)
            except OSError:
                continue
    except OSError:
        pass
    return got


def _copy_owner_and_mode(fd: int, st: os.stat_result, attributes: dict[str, bytes]) -> list[str]:
    """Give the file ``fd`` the owner, group, extended attributes (an access
    control list) and mode of ``st``, as far as the user may.

    The owner first, since changing it clears the setuid and setgid bits.
    Where the owner or group cannot be kept, those bits are dropped: a
    setuid program must not change hands.  The mode last, which an access
    control list set before it would change.
    """
    now = os.fstat(fd)
    if (now.st_uid, now.st_gid) != (st.st_uid, st.st_gid):
        try:
            os.fchown(fd, st.st_uid, st.st_gid)
        except PermissionError:
            try:
                os.fchown(fd, -1, st.st_gid)
            except PermissionError:
                pass
        now = os.fstat(fd)
    mode = stat.S_IMODE(st.st_mode)
    notes = []
    if now.st_uid != st.st_uid:
        notes.append(f"owner {_user(st.st_uid)} not kept (now {_user(now.st_uid)})")
    if now.st_gid != st.st_gid:
        notes.append(f"group {_group(st.st_gid)} not kept (now {_group(now.st_gid)})")
    if notes and mode & (stat.S_ISUID | stat.S_ISGID):
        mode &= ~(stat.S_ISUID | stat.S_ISGID)
        notes.append("setuid/setgid bits dropped")
    lost = []
    for name, value in attributes.items():
        try:
            os.setxattr(fd, name, value)
        except OSError:
            lost.append(name)
    # An access control list the new file took from its directory's default, which the old one had not.
    for name in _attributes(fd).keys() - attributes.keys():
        if name.startswith("system.posix_acl"):
            try:
                os.removexattr(fd, name)
            except OSError:
                notes.append(f"an access control list the file had not is kept: {name}")
    if lost:
        notes.append(f"extended attributes not kept: {', '.join(sorted(lost))}")
    os.fchmod(fd, mode)
    return notes


def _user(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _group(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def _sweep(dfd: int, before: float) -> None:
    """Remove the directory's temporary files, as this module names them, older than ``before``."""
    try:
        names = [n for n in os.listdir(dfd) if n.endswith(_SUFFIX) and _STRAY.fullmatch(n)]
    except OSError:
        return
    for name in names:
        try:
            st = os.stat(name, dir_fd=dfd, follow_symlinks=False)
            if stat.S_ISREG(st.st_mode) and st.st_mtime < before:
                os.unlink(name, dir_fd=dfd)
        except OSError:
            pass
