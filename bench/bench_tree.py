#!/usr/bin/env python3
"""kovel.tree against walking tree-sitter trees and rewriting with libcst.

    python3 bench/bench_tree.py [--limit N] [--repeats N]
    python3 bench/bench_tree.py --smoke     # a few files, 1 repeat, still checks the outputs

On the same files of the Python standard library (gathered as
tools/treesitter_roundtrip.py does, first --limit files), parsed beforehand:

* walk: ``kovel.tree.walk`` reading every node's tag, against a Python loop
  over a tree-sitter ``TreeCursor`` reading every node's type (and, for
  reference, ``walk`` alone: taking its items without reading them);
* find_all: ``find_all(t, tag)`` against filtering ``walk`` in Python, for a
  tag a third of the nodes have (``identifier``) and a rare one
  (``function_definition``);
* rename: ``rewrite`` renaming every identifier ``self`` to ``this``, against a
  libcst ``CSTTransformer`` doing the same rename on the same files (modules
  parsed beforehand; the outputs are checked to be the same text).

Times are medians over the repeats of this thread's CPU time, with the cyclic
GC off and the contenders interleaved. Ratio = peer / kovel.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import sysconfig
import time
from collections.abc import Callable

import libcst as cst
from tree_sitter import Parser, Tree

from kovel import KTerm, leaf
from kovel.tree import find_all, rewrite, tag, walk
from kovel.treesitter import from_tree, language

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from treesitter_roundtrip import collect  # noqa: E402

clock = time.thread_time
# Row -> minimum ratio (peer / kovel); rows without a goal are for reference.
GOALS = {"walk": 3.0, "find_all": 10.0, "find_all rare": 10.0, "rename": 10.0}
OLD, NEW = "self", "this"
COMMON, RARE = "identifier", "function_definition"


def ts_walk(trees: list[Tree]) -> int:
    n = 0
    for tree in trees:
        c = tree.walk()
        while True:
            c.node.type  # noqa: B018 - reading the type is the work being timed
            n += 1
            if c.goto_first_child():
                continue
            while not c.goto_next_sibling():
                if not c.goto_parent():
                    break
            else:
                continue
            break
    return n


def kovel_walk(terms: list[KTerm]) -> int:
    n = 0
    for t in terms:
        for _path, node in walk(t):
            tag(node)
            n += 1
    return n


def walk_items(terms: list[KTerm]) -> int:
    n = 0
    for t in terms:
        for _item in walk(t):
            n += 1
    return n


def kovel_find_all(terms: list[KTerm], want: str) -> int:
    return sum(len(list(find_all(t, want))) for t in terms)


def python_filter(terms: list[KTerm], want: str) -> int:
    return sum(len([item for item in walk(t) if tag(item[1]) == want]) for t in terms)


def kovel_rename(terms: list[KTerm]) -> list[KTerm]:
    new = leaf("identifier", NEW)

    def fn(n: KTerm) -> KTerm | None:
        return new if tag(n) == "identifier" and str(n) == OLD else None

    return [rewrite(t, fn) for t in terms]


class Rename(cst.CSTTransformer):
    def leave_Name(self, original_node: cst.Name, updated_node: cst.Name) -> cst.Name:
        return updated_node.with_changes(value=NEW) if updated_node.value == OLD else updated_node


def libcst_rename(modules: list[cst.Module]) -> list[cst.Module]:
    return [m.visit(Rename()) for m in modules]


def measure(fn: Callable[[], object]) -> float:
    t0 = clock()
    fn()
    return clock() - t0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--stdlib", default=sysconfig.get_paths()["stdlib"])
    ap.add_argument(
        "--limit", type=int, default=60, help="files of the standard library (default: %(default)s)"
    )
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--smoke", action="store_true", help="3 files, 1 repeat")
    args = ap.parse_args(argv)
    if args.smoke:
        args.limit, args.repeats = 3, 1

    paths = collect(args.stdlib, (".py",), frozenset({"site-packages", "dist-packages", "__pycache__"}))
    parser = Parser(language("python"))
    sources: list[bytes] = []
    for p in paths:
        with open(p, "rb") as f:
            src = f.read()
        try:
            src.decode("utf-8")
            cst.parse_module(src)
        except (UnicodeDecodeError, cst.ParserSyntaxError):
            continue
        sources.append(src)
        if len(sources) == args.limit:
            break
    trees = [parser.parse(s) for s in sources]
    terms = [from_tree(tr, s) for tr, s in zip(trees, sources, strict=True)]
    modules = [cst.parse_module(s) for s in sources]

    # The outputs agree before anything is timed.
    assert kovel_walk(terms) == ts_walk(trees), "node counts differ"
    for want in (COMMON, RARE):
        assert kovel_find_all(terms, want) == python_filter(terms, want)
    renamed = [str(t) for t in kovel_rename(terms)]
    expected = [m.code for m in libcst_rename(modules)]
    same = sum(a == b for a, b in zip(renamed, expected, strict=True))
    assert same == len(sources), f"rename differs from libcst on {len(sources) - same} files"

    rows: dict[str, tuple[Callable[[], object], Callable[[], object], str]] = {
        "walk": (
            lambda: kovel_walk(terms),
            lambda: ts_walk(trees),
            "tree-sitter TreeCursor loop reading types",
        ),
        "walk items": (
            lambda: walk_items(terms),
            lambda: ts_walk(trees),
            "the same loop; walk's items unread",
        ),
        "find_all": (
            lambda: kovel_find_all(terms, COMMON),
            lambda: python_filter(terms, COMMON),
            f"filtering walk in Python, {COMMON!r}",
        ),
        "find_all rare": (
            lambda: kovel_find_all(terms, RARE),
            lambda: python_filter(terms, RARE),
            f"filtering walk in Python, {RARE!r}",
        ),
        "rename": (lambda: kovel_rename(terms), lambda: libcst_rename(modules), "libcst CSTTransformer"),
    }
    times: dict[str, tuple[list[float], list[float]]] = {k: ([], []) for k in rows}
    gc.disable()
    try:
        for _ in range(args.repeats):
            for k, (ours, peer, _) in rows.items():
                times[k][0].append(measure(ours))
                times[k][1].append(measure(peer))
    finally:
        gc.enable()

    found = {w: kovel_find_all(terms, w) for w in (COMMON, RARE)}
    print(
        f"{len(sources)} files of {args.stdlib}, {sum(map(len, sources))} bytes, {kovel_walk(terms)} nodes "
        f"({found[COMMON]} {COMMON}, {found[RARE]} {RARE})"
    )
    print(f"{'':14} {'kovel s':>9} {'peer s':>9} {'ratio':>7} {'goal':>6}  peer")
    failed = []
    for k, (_, _, peer_name) in rows.items():
        t_ours = statistics.median(times[k][0])
        t_peer = statistics.median(times[k][1])
        ratio = t_peer / t_ours if t_ours > 0 else float("inf")
        goal = GOALS.get(k)
        met = goal is None or ratio >= goal
        if not met:
            failed.append(k)
        shown = f"{goal:5.0f}x" if goal else f"{'-':>6}"
        note = "" if met else "  (below goal)"
        print(f"{k:14} {t_ours:9.4f} {t_peer:9.4f} {ratio:6.1f}x {shown}  {peer_name}{note}")
    if failed:
        print(f"below goal: {', '.join(failed)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
