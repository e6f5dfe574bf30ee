"""Replacing a file's contents so that no reader, crash or Ctrl-C ever sees it half written."""

from __future__ import annotations

import hashlib
import os
import stat
import tempfile

__all__ = ["FileChangedError", "replace_file"]


class FileChangedError(Exception):
    """The file's bytes are no longer those the new contents were made from."""


def replace_file(path: str, data: bytes, digest: str) -> None:
    """Write ``data`` to ``path`` if the file still hashes (SHA-256) to ``digest``.

    The bytes go to a temporary file in the same directory, which is flushed
    to disk, given the original's permission bits and renamed over the file
    (through a symbolic link, onto its target): the file is at every moment
    either its old self or its new one.  A leftover temporary file is removed
    on any error, Ctrl-C included.  Raises ``FileChangedError`` when the file
    changed since it was read, and ``OSError`` when it cannot be written.

    >>> import hashlib, pathlib, tempfile
    >>> f = pathlib.Path(tempfile.mkdtemp(), "a.txt")
    >>> _ = f.write_bytes(b"old")
    >>> replace_file(str(f), b"new", hashlib.sha256(b"old").hexdigest())
    >>> f.read_bytes()
    b'new'
    """
    target = os.path.realpath(path)
    with open(target, "rb") as f:
        mode = stat.S_IMODE(os.fstat(f.fileno()).st_mode)
        current = f.read()
    if hashlib.sha256(current).hexdigest() != digest:
        raise FileChangedError(f"{path}: changed on disk since it was read")
    folder, base = os.path.split(target)
    fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".kovel-tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
