#!/usr/bin/env python3
"""Round-trip every source file of whole standard libraries through kovel terms.

For every ``.py`` file of the installed Python standard library (Python
grammar) and every header under CPython's include directory (C grammar) this
checks, byte for byte, that

* ``str(from_tree(tree, source))`` is the source text, and
* ``from_postcard_bytes(term.postcard_bytes())`` renders the same text,

then prints the counts (files, bytes, syntax nodes, mismatches, skipped files)
and the throughput of each stage in MB of source per CPU second: parsing (tree-sitter),
conversion to a term, rendering, and the postcard round trip (encoding and
decoding).  Files that are not valid UTF-8 cannot become kovel texts and are
counted as skipped.  Exits with status 1 if any file does not round-trip.

Needs: pip install tree-sitter tree-sitter-python tree-sitter-c
"""

from __future__ import annotations

import argparse
import os
import sys
import sysconfig
import time

from tree_sitter import Parser

from kovel import from_postcard_bytes
from kovel.treesitter import from_tree, language

STAGES = ("parse", "convert", "render", "encode", "decode")


def collect(root: str, suffixes: tuple[str, ...], skip_dirs: frozenset[str]) -> list[str]:
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in skip_dirs)
        found.extend(os.path.join(dirpath, f) for f in sorted(filenames) if f.endswith(suffixes))
    return found


def first_difference(a: str, b: str) -> int:
    for i, (x, y) in enumerate(zip(a, b, strict=False)):
        if x != y:
            return i
    return min(len(a), len(b))


class Tally:
    def __init__(self, name: str) -> None:
        self.name = name
        self.files = self.bytes = self.nodes = self.mismatches = 0
        self.skipped: list[tuple[str, str]] = []
        self.failed: list[tuple[str, str]] = []
        self.seconds = dict.fromkeys(STAGES, 0.0)

    def add(self, other: Tally) -> None:
        self.files += other.files
        self.bytes += other.bytes
        self.nodes += other.nodes
        self.mismatches += other.mismatches
        self.skipped += other.skipped
        self.failed += other.failed
        for k in STAGES:
            self.seconds[k] += other.seconds[k]


def run(name: str, grammar: str, paths: list[str], verbose: bool) -> Tally:
    tally = Tally(name)
    parser = Parser(language(grammar))
    # CPU time of this process: the stages are single-threaded, and this keeps
    # the figures meaningful on a machine busy with other work.
    clock = time.process_time
    for path in paths:
        with open(path, "rb") as f:
            source = f.read()
        try:
            text = source.decode("utf-8")
        except UnicodeDecodeError as exc:
            tally.skipped.append((path, f"not UTF-8: {exc.reason} at byte {exc.start}"))
            continue

        t0 = clock()
        tree = parser.parse(source)
        t1 = clock()
        try:
            term = from_tree(tree, source)
        except ValueError as exc:  # not expected once the source decoded
            tally.skipped.append((path, str(exc)))
            continue
        t2 = clock()
        rendered = str(term)
        t3 = clock()
        wire = term.postcard_bytes()
        t4 = clock()
        back = from_postcard_bytes(wire)
        t5 = clock()

        tally.files += 1
        tally.bytes += len(source)
        tally.nodes += tree.root_node.descendant_count
        s = tally.seconds
        s["parse"] += t1 - t0
        s["convert"] += t2 - t1
        s["render"] += t3 - t2
        s["encode"] += t4 - t3
        s["decode"] += t5 - t4

        problem = None
        if rendered != text:
            problem = f"render differs at character {first_difference(rendered, text)}"
        else:
            again = str(back)
            if again != text:
                problem = f"postcard round trip differs at character {first_difference(again, text)}"
        if problem:
            tally.mismatches += 1
            tally.failed.append((path, problem))
        if verbose:
            print(f"{'MISMATCH' if problem else 'ok':8} {path}", file=sys.stderr)
    return tally


def mbps(nbytes: int, seconds: float) -> str:
    return f"{nbytes / seconds / 1e6:8.2f}" if seconds > 0 else "     inf"


def report(tallies: list[Tally]) -> None:
    total = Tally("total")
    for t in tallies:
        total.add(t)
    header = (
        f"{'':10} {'files':>6} {'bytes':>11} {'nodes':>10} {'mismatch':>8} {'skipped':>7}   MB/s:"
        + " ".join(f"{k:>8}" for k in STAGES + ("postcard",))
    )
    print(header)
    for t in tallies + [total]:
        s = t.seconds
        rates = " ".join(mbps(t.bytes, s[k]) for k in STAGES)
        rates += " " + mbps(t.bytes, s["encode"] + s["decode"])
        print(
            f"{t.name:10} {t.files:6d} {t.bytes:11d} {t.nodes:10d} {t.mismatches:8d} {len(t.skipped):7d}"
            f"        {rates}"
        )
    for path, why in total.skipped:
        print(f"skipped: {path}: {why}")
    for path, why in total.failed:
        print(f"MISMATCH: {path}: {why}")


def main(argv: list[str] | None = None) -> int:
    paths = sysconfig.get_paths()
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--stdlib", default=paths["stdlib"], help="Python standard library directory (default: %(default)s)"
    )
    ap.add_argument(
        "--include", default=paths["include"], help="CPython include directory (default: %(default)s)"
    )
    ap.add_argument(
        "--limit", type=int, default=0, help="check at most this many files of each kind (0: all)"
    )
    ap.add_argument("-v", "--verbose", action="store_true", help="list every file on standard error")
    args = ap.parse_args(argv)

    # Third-party packages installed into the stdlib directory are not part of it.
    py_files = collect(args.stdlib, (".py",), frozenset({"site-packages", "dist-packages", "__pycache__"}))
    c_files = collect(args.include, (".h",), frozenset())
    if args.limit:
        py_files, c_files = py_files[: args.limit], c_files[: args.limit]
    print(f"Python standard library: {args.stdlib} ({len(py_files)} .py files)")
    print(f"CPython headers:         {args.include} ({len(c_files)} .h files)")

    tallies = [run("python", "python", py_files, args.verbose), run("c", "c", c_files, args.verbose)]
    report(tallies)
    return 1 if any(t.mismatches for t in tallies) else 0


if __name__ == "__main__":
    sys.exit(main())
