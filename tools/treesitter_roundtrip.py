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
counted as skipped.

``--splice`` also splices each term under a pushed prefix (four blanks; the
term's first line stays where the caller put it, at column 0 here) and checks
that no literal changed (column ``literal``):

* Python: the spliced module, placed in an ``if True:`` block, must compile
  to the same string and bytes constants, in the same order (``ast``); a file
  that no longer parses counts as a mismatch.
* Every grammar: the spliced text, parsed again, must hold the same texts for
  its literal nodes (``is_literal_kind``) and tokens that span lines,
  in the same order.

and shows in column ``moved`` the share of non-blank lines (after the first)
that did get the prefix (the others lie inside literals, or continue a token across lines):
making everything verbatim would keep the literals but move no code.  ``--corpus LANG=DIR:SUFFIXES``
adds a tree of files in another language (e.g. ``bash=/usr/share:.sh``).
Exits with status 1 if any file does not round-trip or loses a literal.

Needs: pip install tree-sitter tree-sitter-python tree-sitter-c
"""

from __future__ import annotations

import argparse
import ast
import os
import sys
import sysconfig
import time

from tree_sitter import Parser

from kovel import from_postcard_bytes, tb
from kovel.treesitter import from_tree, is_literal_kind, language

STAGES = ("parse", "convert", "render", "encode", "decode")


def collect(root: str, suffixes: tuple[str, ...], skip_dirs: frozenset[str]) -> list[str]:
    found: list[str] = []
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
        self.files = self.bytes = self.nodes = self.mismatches = self.literal = 0
        self.lines = self.moved = 0
        self.skipped: list[tuple[str, str]] = []
        self.failed: list[tuple[str, str]] = []
        self.seconds = dict.fromkeys(STAGES, 0.0)

    def add(self, other: Tally) -> None:
        self.files += other.files
        self.bytes += other.bytes
        self.nodes += other.nodes
        self.mismatches += other.mismatches
        self.literal += other.literal
        self.lines += other.lines
        self.moved += other.moved
        self.skipped += other.skipped
        self.failed += other.failed
        for k in STAGES:
            self.seconds[k] += other.seconds[k]


PREFIX = "    "


def literals(parser: Parser, source: bytes) -> list[tuple[str, str]]:
    """(kind, text) of the literal nodes of ``source`` and of its tokens that span lines."""
    tree = parser.parse(source)
    found = []
    cursor = tree.walk()
    while True:
        node = cursor.node
        assert node is not None
        kind = node.type
        token = node.child_count == 0 and source[node.start_byte : node.end_byte].partition(b"\n")[2].strip()
        if is_literal_kind(kind) or token:
            found.append((kind, source[node.start_byte : node.end_byte].decode()))
        elif cursor.goto_first_child():
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return found


def python_strings(text: str) -> list[str | bytes] | None:
    try:
        module = ast.parse(text)
    except (SyntaxError, ValueError):
        return None
    return [
        n.value for n in ast.walk(module) if isinstance(n, ast.Constant) and isinstance(n.value, str | bytes)
    ]


def splice_problem(grammar: str, parser: Parser, text: str, spliced: str) -> str | None:
    """Why ``spliced`` (``text`` under the prefix) changed a literal, or None."""
    if grammar == "python":
        before = python_strings(text)
        if before is not None and python_strings(f"if True:\n{PREFIX}{spliced}\n{PREFIX}pass\n") != before:
            return "a string constant changed, or the code no longer parses"
    a = literals(parser, text.encode())
    b = literals(parser, spliced.encode())
    for i, (x, y) in enumerate(zip(a, b, strict=False)):
        if x != y:
            return f"literal {i} {x[0]} {x[1][:60]!r} became {y[0]} {y[1][:60]!r}"
    return None if len(a) == len(b) else f"{len(a)} literals before, {len(b)} after"


def moved_lines(text: str, spliced: str) -> tuple[int, int]:
    """(code lines, code lines that got the prefix): a line that did is the original line prefixed."""
    mine = spliced.split("\n")
    lines = moved = 0
    for i, line in enumerate(text.split("\n")):
        if i and line.strip() and i < len(mine):
            lines += 1
            moved += mine[i] == PREFIX + line
    return lines, moved


def run(name: str, grammar: str, paths: list[str], verbose: bool, splice: bool = False) -> Tally:
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
        elif splice:
            spliced = str(tb("splice").p(PREFIX).c(term).x().b())
            problem = splice_problem(grammar, parser, text, spliced)
            if problem:
                tally.literal += 1
                tally.failed.append((path, "splice: " + problem))
            lines, moved = moved_lines(text, spliced)
            tally.lines += lines
            tally.moved += moved
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
        f"{'':10} {'files':>6} {'bytes':>11} {'nodes':>10} {'mismatch':>8} {'literal':>7} {'moved':>6}"
        f" {'skipped':>7}   MB/s:" + " ".join(f"{k:>8}" for k in STAGES + ("postcard",))
    )
    print(header)
    for t in tallies + [total]:
        s = t.seconds
        rates = " ".join(mbps(t.bytes, s[k]) for k in STAGES)
        rates += " " + mbps(t.bytes, s["encode"] + s["decode"])
        moved = f"{100 * t.moved / t.lines:5.1f}%" if t.lines else "     -"
        print(
            f"{t.name:10} {t.files:6d} {t.bytes:11d} {t.nodes:10d} {t.mismatches:8d} {t.literal:7d} {moved}"
            f" {len(t.skipped):7d}        {rates}"
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
    ap.add_argument(
        "--splice", action="store_true", help="also check that splicing under a prefix keeps literals"
    )
    ap.add_argument(
        "--corpus",
        action="append",
        default=[],
        metavar="LANG=DIR:SUFFIXES",
        help="add the files under DIR whose names end with one of the comma-separated SUFFIXES",
    )
    args = ap.parse_args(argv)

    # Third-party packages installed into the stdlib directory are not part of it.
    py_files = collect(args.stdlib, (".py",), frozenset({"site-packages", "dist-packages", "__pycache__"}))
    c_files = collect(args.include, (".h",), frozenset())
    if args.limit:
        py_files, c_files = py_files[: args.limit], c_files[: args.limit]
    print(f"Python standard library: {args.stdlib} ({len(py_files)} .py files)")
    print(f"CPython headers:         {args.include} ({len(c_files)} .h files)")

    tallies = [
        run("python", "python", py_files, args.verbose, args.splice),
        run("c", "c", c_files, args.verbose, args.splice),
    ]
    for spec in args.corpus:
        lang, _, rest = spec.partition("=")
        root, _, suffixes = rest.rpartition(":")
        files = collect(root, tuple(suffixes.split(",")), frozenset({".git"}))
        files = files[: args.limit] if args.limit else files
        print(f"{lang + ':':24} {root} ({len(files)} files)")
        tallies.append(run(lang, lang, files, args.verbose, args.splice))
    report(tallies)
    return 1 if any(t.mismatches or t.literal for t in tallies) else 0


if __name__ == "__main__":
    sys.exit(main())
