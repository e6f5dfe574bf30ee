"""A cache of parsed files: a run over an unchanged tree decodes terms instead of parsing.

An entry holds a file's term as postcard bytes and the error spans of its
tree (what the batch tasks need of the tree), under a key made of the hash
of the bytes parsed, the grammar's name and version and kovel's version: an
entry is never stale, only unused.  Entries are written to a temporary file
and renamed into place, so runs sharing a directory at the same time see
whole entries or none; an entry that does not decode is ignored and written
anew.  A hit touches the entry's time; ``prune`` removes the least recently
used entries until the directory is back under its size.

Beside the terms, the directory keeps checks' verdicts on texts (does this
rewritten file compile?), keyed by the hash of the text and of all the
verdict depends on: a codemod run again over a reset tree writes the same
files, and need not check them again.
"""

from __future__ import annotations

import functools
import hashlib
import importlib.util
import os
import re
import stat
import struct
import tempfile
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import TypeVar

from kovel import _native
from kovel._kovel import KTerm, from_postcard_bytes
from kovel.treesitter.convert import Parsed
from kovel.treesitter.grammars import grammar_package

__all__ = ["DEFAULT_CACHE_SIZE", "Stored", "TermCache", "prune", "unwritable"]

#: The bytes a cache directory keeps at most, unless told otherwise.
DEFAULT_CACHE_SIZE = 1 << 30

# A term entry: the magic, the digest of all that follows it, the number of
# error spans, the spans, the outline's size, the outline, the postcard bytes.
_MAGIC = b"kvc5"
_VERDICT = b"kvv3"
_DIGEST = struct.Struct("<I")
_COUNT = struct.Struct("<4s4sI")
_DIGESTED = 4 + _DIGEST.size  # where what the digest covers starts
_SPAN = struct.Struct("<II")
_SIZE = struct.Struct("<I")
#: The outline kept with a term lists the children of its nodes of this many bytes or more.
_OUTLINED = 512
_T = TypeVar("_T")


@functools.cache
def _version(dist: str) -> str:
    """The installed version of the distribution ``dist`` (whose package is named alike).

    An install from a wheel leaves a ``NAME-VERSION.dist-info`` folder beside
    the package, whose name is read first: importing ``importlib.metadata``
    and searching the path cost a run with a warm cache a tenth of its time.
    """
    module = re.sub(r"[-_.]+", "_", dist).lower()
    spec = importlib.util.find_spec(module)
    if spec is not None and spec.origin is not None:
        folder = os.path.dirname(os.path.dirname(spec.origin))
        try:
            names = os.listdir(folder)
        except OSError:
            names = []
        info = re.compile(re.escape(module) + r"-([^-]+)\.dist-info", re.IGNORECASE)
        found = {m.group(1) for n in names if (m := info.fullmatch(n))}
        if len(found) == 1:
            return found.pop()
    from importlib import metadata  # here: most runs keep no cache, or find the folder

    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "?"


@functools.lru_cache(maxsize=64)
def _salt(lang: str) -> bytes:
    """What a key holds besides the file: the grammar and the code that converts with it."""
    return (
        f"{lang}\0{grammar_package(lang)}\0{_version(grammar_package(lang))}\0{_version('kovel')}\0".encode()
    )


@dataclass(frozen=True, slots=True)
class TermCache:
    """Parsed files under the directory ``root`` (made when first written).

    >>> from kovel.treesitter.convert import parse_with_errors
    >>> cache = TermCache(tempfile.mkdtemp())
    >>> key = cache.key("python", b"x = (\\n")
    >>> cache.get(key) is None
    True
    >>> cache.put(key, parse_with_errors("python", b"x = (\\n"))
    >>> hit = cache.get(key)
    >>> str(hit.term), hit.errors
    ('x = (\\n', ((0, 5),))
    """

    root: str

    def key(self, lang: str, data: bytes) -> str:
        """The entry name of ``data`` parsed with grammar ``lang``."""
        h = hashlib.sha256(_salt(lang))
        h.update(data)  # not salt + data: a copy of the file's bytes, for nothing
        return h.hexdigest()

    def _path(self, key: str) -> str:
        return os.path.join(self.root, key[:2], key)

    def get(self, key: str) -> Parsed | None:
        """The entry ``key``, or None when there is none or it does not decode."""
        return self._read(key, _decode)

    def stored(self, key: str) -> Stored | None:
        """The entry ``key`` undecoded, or None when there is none or its header is damaged.

        >>> from kovel.treesitter.convert import parse_with_errors
        >>> cache = TermCache(tempfile.mkdtemp())
        >>> cache.put(cache.key("python", b"f(\\n"), parse_with_errors("python", b"f(\\n"))
        >>> hit = cache.stored(cache.key("python", b"f(\\n"))
        >>> hit.errors, str(hit.parsed().term)
        (((0, 2),), 'f(\\n')
        """
        return self._read(key, _stored)

    def put(self, key: str, parsed: Parsed) -> None:
        """Store ``parsed`` as entry ``key``; a cache that cannot be written is left alone."""
        spans = b"".join(_SPAN.pack(a, b) for a, b in parsed.errors)
        postcard = parsed.term.postcard_bytes()
        outline = _native.postcard_outline(postcard, _OUTLINED)
        body = b"".join((_SIZE.pack(len(parsed.errors)), spans, _SIZE.pack(len(outline)), outline, postcard))
        self._write(key, _MAGIC + _digest(body, key) + body)

    def verdict_key(self, check: str, data: bytes, lang: str | None = None) -> str:
        """The entry name of the verdict of ``check`` on ``data``: ``check`` names the
        check and everything its verdict depends on (an interpreter's version, say),
        but for the grammar of ``lang``, when the verdict is that grammar's."""
        salt = _salt(lang) if lang is not None else f"{_version('kovel')}\0".encode()
        h = hashlib.sha256(f"verdict\0{check}\0".encode() + salt)
        h.update(data)
        return h.hexdigest()

    def get_verdict(self, key: str) -> str | None:
        """The verdict stored as ``key``, or None when there is none or it is damaged.

        >>> cache = TermCache(tempfile.mkdtemp())
        >>> key = cache.verdict_key("compiles", b"x = 1\\n")
        >>> cache.put_verdict(key, "")
        >>> cache.get_verdict(key), cache.get_verdict(cache.verdict_key("compiles", b"y\\n"))
        ('', None)
        """
        return self._read(key, _verdict)

    def put_verdict(self, key: str, verdict: str) -> None:
        """Store ``verdict`` as entry ``key``, as ``put`` stores a term."""
        body = verdict.encode()
        self._write(key, _VERDICT + _digest(body, key) + body)

    def _read(self, key: str, decode: Callable[[bytes, str], _T | None]) -> _T | None:
        """Entry ``key`` decoded, or None when there is none or it does not decode; a hit
        is marked recently used."""
        path = self._path(key)
        try:
            got = decode(_entry_bytes(path), key)
        except OSError:
            return None
        if got is not None:
            try:
                os.utime(path)
            except OSError:
                pass
        return got

    def _write(self, key: str, blob: bytes) -> None:
        # A temporary file renamed into place: a reader sees the whole entry or none.
        path = self._path(key)
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".tmp-")
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(blob)
                os.replace(tmp, path)
            except BaseException:
                os.unlink(tmp)
                raise
        except OSError:
            pass


def _digest(body: bytes | memoryview, key: str) -> bytes:
    # A CRC: damage (a torn or flipped block) is what it must tell, at the speed of a read.
    # It covers the entry's name too: an entry found under another name (copied, or
    # moved) is not taken for the term of another file.
    return _DIGEST.pack(zlib.crc32(body, zlib.crc32(key.encode())))


def _verdict(blob: bytes, key: str) -> str | None:
    # The digest guards against a damaged entry passing for a verdict.
    body = blob[_DIGESTED:]
    if blob[: len(_VERDICT)] != _VERDICT or blob[len(_VERDICT) : _DIGESTED] != _digest(body, key):
        return None
    try:
        return body.decode()
    except UnicodeDecodeError:
        return None


@dataclass(frozen=True, slots=True)
class Stored:
    """An entry as stored: the error spans, the term's outline (see
    ``kovel.quasi.match.search_stored``) from ``outline`` of ``blob`` and its
    postcard bytes from ``offset``.  A search decodes only the parts it needs."""

    errors: tuple[tuple[int, int], ...]
    blob: bytes
    outline: int
    offset: int

    def parsed(self) -> Parsed | None:
        """The entry decoded, or None when the term does not decode (a torn or foreign file)."""
        try:
            term: KTerm = from_postcard_bytes(self.blob[self.offset :])
        except Exception:
            return None
        return Parsed(term, self.errors)


def _stored(blob: bytes, key: str) -> Stored | None:
    if len(blob) < _COUNT.size:
        return None
    magic, digest, count = _COUNT.unpack_from(blob)
    outline = _COUNT.size + count * _SPAN.size + _SIZE.size
    if magic != _MAGIC or len(blob) < outline:
        return None
    # The digest guards against a damaged entry passing for a term (one that
    # still decodes would give wrong matches).
    if digest != _digest(memoryview(blob)[_DIGESTED:], key):
        return None
    errors = tuple(_SPAN.unpack_from(blob, _COUNT.size + i * _SPAN.size) for i in range(count))
    (size,) = _SIZE.unpack_from(blob, outline - _SIZE.size)
    if len(blob) < outline + size:
        return None
    return Stored(errors, blob, outline, outline + size)


def _decode(blob: bytes, key: str) -> Parsed | None:
    stored = _stored(blob, key)
    return stored.parsed() if stored is not None else None


_SHARD = re.compile(r"[0-9a-f]{2}")
_ENTRY = re.compile(r"[0-9a-f]{64}")


def unwritable(root: str) -> str | None:
    """Why no entry can be put in the cache at ``root`` (made if missing), or
    None.  Its entries may still be read: a cache shared read-only is one.

    >>> unwritable(tempfile.mkdtemp()) is None, unwritable("/proc/no/cache")
    (True, 'No such file or directory')
    """
    try:
        os.makedirs(root, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=root, prefix=".tmp-")
        try:
            # A block's worth: a full file system makes the file but takes no bytes.
            with os.fdopen(fd, "wb") as f:
                f.write(bytes(_TRIAL))
        finally:
            os.unlink(tmp)
    except OSError as exc:
        return exc.strerror or str(exc)
    return None


_TRIAL = 4096


#: The largest entry read: one past it was not written here.
_LARGEST_ENTRY = 1 << 31


def _entry_bytes(path: str) -> bytes:
    """The bytes of the cache entry at ``path``; ``OSError`` unless it is a regular
    file (not a link, a device or a FIFO, whose reading could block or not end)
    of at most ``_LARGEST_ENTRY`` bytes."""
    flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
    fd = os.open(path, flags | getattr(os, "O_CLOEXEC", 0))
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_size > _LARGEST_ENTRY:
            raise OSError(f"{path} is no cache entry")
        chunks = []
        while chunk := os.read(fd, max(st.st_size + 1, 1 << 16)):
            chunks.append(chunk)
            if sum(map(len, chunks)) > _LARGEST_ENTRY:
                raise OSError(f"{path} is no cache entry")
        return b"".join(chunks)
    finally:
        os.close(fd)


def prune(root: str, max_bytes: int = DEFAULT_CACHE_SIZE) -> int:
    """Remove the least recently used entries of the cache at ``root`` until it holds at
    most ``max_bytes``; return the number removed.

    >>> prune(tempfile.mkdtemp(), 0)
    0
    """
    entries = []
    try:
        # Only the folders and files the cache names (`ab/ab…`, 64 hex digits):
        # whatever else the folder holds is not the cache's to remove.
        subdirs = [
            e for e in os.scandir(root) if _SHARD.fullmatch(e.name) and e.is_dir(follow_symlinks=False)
        ]
    except OSError:
        return 0
    for d in subdirs:
        try:
            for e in os.scandir(d.path):
                if (
                    _ENTRY.fullmatch(e.name)
                    and e.name.startswith(d.name)
                    and e.is_file(follow_symlinks=False)
                ):
                    st = e.stat(follow_symlinks=False)
                    entries.append((st.st_mtime, st.st_size, e.path))
        except OSError:
            continue
    total = sum(size for _, size, _ in entries)
    removed = 0
    for _, size, path in sorted(entries):
        if total <= max_bytes:
            break
        if not _ours(path):
            total -= size  # a file of another program's, named alike: not the cache's to count or remove
            continue
        try:
            os.unlink(path)
        except OSError:
            continue
        total -= size
        removed += 1
    return removed


# The magics of the entries of every version of the cache: terms and verdicts.
_OURS = re.compile(rb"kv[cv][0-9]")


def _ours(path: str) -> bool:
    """Whether the file at ``path`` starts as an entry of this cache does, of any version."""
    try:
        with open(path, "rb") as f:
            return _OURS.fullmatch(f.read(4)) is not None
    except OSError:
        return False
