#!/usr/bin/env python3
"""Rewrite a corpus with patterns used as their own replacement; nothing may change.

For each language, a set of shapes (``if $C:\\n    $$$B``, ``$F($$$A)``,
``[$$$A]``, ...) is used as both the pattern and the replacement, through the
batch API (``kovel.batch.rewrite_files``) as the ``kovel rewrite`` command
runs it.  Rewriting a match with the same shape must give back the file byte
for byte: every file whose text changes is reported with its shape, the first
line that differs and whether only blanks differ, and the run exits with
status 1.  A rewrite that raises, or a worker that dies, counts the same way.
Files that cannot be rewritten at all (not UTF-8, syntax errors inside a
match, a parse that times out) are counted as skipped.

Block shapes impose their own layout between the braces (or after the colon)
and their own indentation (four blanks; a tab for Go): a file laid out
otherwise changes under them for that reason alone, which the report shows
as a change of blanks only.

The corpus is the directories (and files) given, walked as ``kovel`` walks
them; without any, the installed Python standard library (``--limit N``
takes N of its files, spread over it).  Other languages come from source
distributions on the package index, for example (a C extension, a JS theme,
TypeScript test data, Rust examples, Java and C++ sources)::

    mkdir -p /tmp/corpus
    for p in markupsafe simplejson sphinx-copybutton pydantic-to-typescript setuptools-rust jpype1; do
        pip download --no-deps --no-binary "$p" -d /tmp/corpus "$p"
    done
    for f in /tmp/corpus/*.tar.gz; do tar xzf "$f" -C /tmp/corpus; done
    python3 tools/identity_rewrite.py /tmp/corpus

(``--no-binary`` names only the package, so that its build backend may come
as a wheel; a package whose backend needs more than the index to prepare
its metadata, as maturin's Rust packages do, cannot be downloaded this way.
No small sdist with Go sources turned up.)

Usage: tools/identity_rewrite.py [--limit N] [--lang LANG] [--shape NAME] [--jobs N] [-v] [PATH ...]
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
from collections import Counter
from dataclasses import dataclass

from kovel.batch import DEFAULT_TIMEOUT, RewrittenFile, rewrite_files
from kovel.batch.files import list_files
from kovel.batch.workers import InlineExecutor, WatchdogPool

_CALL_BLOCKS = {
    "call": "$F($$$A)",
    "array": "[$$$A]",
    "if": "if ($C) {\n    $$$B\n}",
    "while": "while ($C) {\n    $$$B\n}",
    "function": "function $N($$$P) {\n    $$$B\n}",
}
_C = {
    "call": "$F($$$A)",
    "array": "$T $N[] = {$$$A};",
    "if": "if ($C) {\n    $$$B\n}",
    "while": "while ($C) {\n    $$$B\n}",
    "function": "$T $N($$$P)\n{\n    $$$B\n}",
}

#: Language -> shape name -> code, used as both pattern and replacement.
SHAPES: dict[str, dict[str, str]] = {
    "python": {
        "if": "if $C:\n    $$$B",
        "for": "for $V in $I:\n    $$$B",
        "while": "while $C:\n    $$$B",
        "with": "with $$$W:\n    $$$B",
        "try": "try:\n    $$$B",
        "def": "def $N($$$P):\n    $$$B",
        "class": "class $N:\n    $$$B",
        "call": "$F($$$A)",
        "list": "[$$$A]",
    },
    "javascript": _CALL_BLOCKS,
    "typescript": _CALL_BLOCKS,
    "tsx": _CALL_BLOCKS,
    "c": _C,
    "cpp": {**_C, "function": "$T $N($$$P) {\n    $$$B\n}"},
    "go": {
        "call": "$F($$$A)",
        "slice": "[]$T{$$$A}",
        "if": "if $C {\n\t$$$B\n}",
        "func": "func $N($$$P) {\n\t$$$B\n}",
    },
    "rust": {
        "call": "$F($$$A);",
        "method": "$O.$M($$$A);",
        "vec": "vec![$$$A]",
        "if": "if $C {\n    $$$B\n}",
        "fn": "fn $N($$$P) {\n    $$$B\n}",
    },
    # Java patterns are read as statements: a call is one with its semicolon,
    # and a method (in a class body) is not a pattern at all.
    "java": {
        "call": "$F($$$A);",
        "method": "$O.$M($$$A);",
        "array": "$T[] $N = {$$$A};",
        "if": "if ($C) {\n    $$$B\n}",
        "while": "while ($C) {\n    $$$B\n}",
    },
}

# What a file that cannot be rewritten at all says; anything else is a failure.
_SKIPS = ("cannot read", "not valid UTF-8", "timed out", "cannot parse", "a syntax error at")


@dataclass
class Changed:
    lang: str
    shape: str
    path: str
    line: int
    before: str
    after: str
    blanks_only: bool


def first_change(before: str, after: str) -> tuple[int, str, str]:
    """The 1-based number of the first line that differs, and that line before and after.

    >>> first_change("a\\nb\\nc\\n", "a\\n  b\\nc\\n")
    (2, 'b', '  b')
    """
    old, new = before.splitlines(), after.splitlines()
    for i, (x, y) in enumerate(zip(old, new, strict=False)):
        if x != y:
            return i + 1, x, y
    i = min(len(old), len(new))
    return i + 1, old[i] if i < len(old) else "", new[i] if i < len(new) else ""


def stdlib_files(limit: int) -> list[str]:
    """The standard library's ``.py`` files (third-party packages left out), ``limit`` of them spread evenly."""
    root = sysconfig.get_paths()["stdlib"]
    skip = {"site-packages", "dist-packages", "__pycache__"}
    found: list[str] = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in skip)
        found.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(".py"))
    if 0 < limit < len(found):
        found = [found[i * len(found) // limit] for i in range(limit)]
    return found


def by_language(paths: list[str], limit: int) -> dict[str, list[str]]:
    """The files under ``paths`` with shapes for their language, ``limit`` of each at most."""
    out: dict[str, list[str]] = {}
    for item in list_files(paths):
        if item.error is None and item.lang in SHAPES:
            out.setdefault(item.lang, []).append(item.path)
    if limit:
        out = {
            lang: [files[i * len(files) // limit] for i in range(min(limit, len(files)))]
            for lang, files in out.items()
        }
    return out


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument(
        "paths", nargs="*", metavar="PATH", help="files and directories (default: the standard library)"
    )
    ap.add_argument("--limit", type=int, default=0, help="at most this many files of each language (0: all)")
    ap.add_argument("--lang", action="append", help="only this language (repeatable)")
    ap.add_argument("--shape", action="append", help="only the shapes of this name (repeatable)")
    ap.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1, help="worker processes")
    ap.add_argument(
        "--show", type=int, default=3, help="changed files of each shape whose lines are shown (default 3)"
    )
    ap.add_argument(
        "-v", "--verbose", action="store_true", help="show the lines of every changed file, list skipped ones"
    )
    args = ap.parse_args(argv)

    files = by_language(args.paths, args.limit) if args.paths else {"python": stdlib_files(args.limit)}
    if args.lang:
        files = {lang: f for lang, f in files.items() if lang in args.lang}
    pool = InlineExecutor() if args.jobs == 1 else WatchdogPool(args.jobs, timeout=DEFAULT_TIMEOUT)
    changed: list[Changed] = []
    failed: list[tuple[str, str, str, str]] = []
    rows = [
        f"{'language':11} {'shape':9} {'files':>6} {'changed':>8} {'(blanks only)':>14} {'failed':>7} {'skipped':>8}"
    ]
    print(rows[0])
    try:
        for lang, paths in files.items():
            for shape, code in SHAPES[lang].items():
                if args.shape and shape not in args.shape:
                    continue
                counts = Counter[str]()
                for r in rewrite_files(paths, code, code, lang=lang, executor=pool):
                    kind = tally(lang, shape, r, changed, failed)
                    counts[kind] += 1
                    if kind == "skipped" and args.verbose:
                        print(f"  skipped: {r.path}: {r.error}", file=sys.stderr)
                rows.append(
                    f"{lang:11} {shape:9} {len(paths):6} {counts['changed'] + counts['blanks']:8} "
                    f"{counts['blanks']:14} {counts['failed']:7} {counts['skipped']:8}"
                )
                print(rows[-1], flush=True)
    finally:
        pool.shutdown(cancel_futures=True)
    shown = Counter[tuple[str, str]]()
    for c in changed:  # every changed file; the lines that differ for the first few of each shape
        shown[c.lang, c.shape] += 1
        print(f"CHANGED {c.lang} {c.shape}{' (blanks only)' * c.blanks_only}: {c.path}:{c.line}")
        if args.verbose or shown[c.lang, c.shape] <= args.show:
            print(f"    - {c.before!r}\n    + {c.after!r}")
    for lang, shape, path, why in failed:
        print(f"FAILED {lang} {shape}: {path}: {why}")
    if changed or failed:  # the table again, below the list
        print("\n".join(rows))
    print(
        f"{len(changed)} rewrites changed {len({c.path for c in changed})} files; "
        f"{len(failed)} failed; {sum(map(len, files.values()))} files"
    )
    return 1 if changed or failed else 0


def tally(
    lang: str, shape: str, r: RewrittenFile, changed: list[Changed], failed: list[tuple[str, str, str, str]]
) -> str:
    """Record ``r``; return its kind: unchanged, changed, blanks (changed in blanks only), failed or skipped."""
    if r.error is not None:
        if r.error.startswith(_SKIPS):
            return "skipped"
        failed.append((lang, shape, r.path, r.error))
        return "failed"
    if not r.changed:
        return "unchanged"
    with open(r.path, encoding="utf-8", newline="") as f:
        before = f.read()
    after = r.text()
    line, old, new = first_change(before, after)
    blanks = "".join(before.split()) == "".join(after.split())
    changed.append(Changed(lang, shape, r.path, line, old, new, blanks))
    return "blanks" if blanks else "changed"


if __name__ == "__main__":
    sys.exit(main())
