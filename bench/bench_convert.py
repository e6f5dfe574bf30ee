#!/usr/bin/env python3
"""Terms from tree-sitter trees: parsing plus conversion against parsing alone.

    python3 bench/bench_convert.py [--limit N] [--repeats N]
    python3 bench/bench_convert.py --smoke     # a few files, 1 repeat, still checks the outputs

On a sample of the Python standard library (files gathered as
tools/treesitter_roundtrip.py does, every k-th file so that --limit files
spread over the whole library), in MB of source per CPU second:

* tree-sitter: py-tree-sitter's ``Parser.parse`` alone;
* kovel's tree-sitter parse: the runtime built into kovel, parsing alone
  (``kovel._native.ts_parse`` asked for no term);
* kovel.treesitter.parse: parsing and the native conversion to a term
  (goal: at least 0.9x py-tree-sitter's parse);
* the conversion alone: kovel.treesitter.parse less kovel's own parse
  (goal: at least 5x as fast as py-tree-sitter's parse);
* parse + render: the same and ``str(term)``;
* the Python reference walk (parse + ``reference_walk``), the conversion before it
  was native;
* for comparison: ast-grep-py parsing (``SgRoot(src, "python")``) and a
  libcst round trip (``parse_module(src).code``; fewer repeats, it is slow).

Times are medians over the repeats of this thread's CPU time, with the cyclic
GC off and the contenders interleaved.
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
from ast_grep_py import SgRoot
from tree_sitter import Parser

from kovel import _native
from kovel.treesitter import CODE_KINDS, VERBATIM_KINDS, language, parse
from kovel.treesitter.grammars import capsule

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [os.path.join(ROOT, "tools"), ROOT]
from tests.treesitter.reference import reference_walk  # noqa: E402  (the walk the tests check against)

from treesitter_roundtrip import collect  # noqa: E402

clock = time.thread_time
GOAL = 0.9  # kovel.treesitter.parse speed / tree-sitter parse speed
CONVERSION_GOAL = 5.0  # conversion speed / tree-sitter parse speed


def sample(stdlib: str, limit: int) -> list[bytes]:
    paths = collect(stdlib, (".py",), frozenset({"site-packages", "dist-packages", "__pycache__"}))
    sources = []
    for p in paths[:: max(1, len(paths) // limit)]:
        with open(p, "rb") as f:
            src = f.read()
        try:
            src.decode("utf-8")
            compile(src, p, "exec", dont_inherit=True)  # libcst reads only Python 3
        except (UnicodeDecodeError, SyntaxError, ValueError):
            continue
        sources.append(src)
    return sources[:limit]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--stdlib", default=sysconfig.get_paths()["stdlib"])
    ap.add_argument("--limit", type=int, default=150, help="files (default: %(default)s)")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--smoke", action="store_true", help="3 files, 1 repeat")
    args = ap.parse_args(argv)
    if args.smoke:
        args.limit, args.repeats = 3, 1

    sources = sample(args.stdlib, args.limit)
    lang = language("python")
    parser = Parser(lang)
    verbatim, code = frozenset(VERBATIM_KINDS), frozenset(CODE_KINDS)

    def ts_parse() -> None:
        for s in sources:
            parser.parse(s)

    grammar = capsule(lang)

    def own_parse() -> None:
        for s in sources:
            _native.ts_parse(grammar, s, None, None, False)

    def kovel_parse() -> None:
        for s in sources:
            parse(lang, s)

    def kovel_render() -> None:
        for s in sources:
            str(parse(lang, s))

    def python_walk() -> None:
        for s in sources:
            tree = parser.parse(s)
            reference_walk(tree.walk(), s, s.decode() if s.isascii() else None, 0, len(s), verbatim, code)

    def ast_grep() -> None:
        for s in sources:
            SgRoot(s.decode(), "python")

    def libcst_round_trip() -> None:
        for s in sources:
            cst.parse_module(s).code  # noqa: B018 - rendering the module is the work timed

    # The outputs agree before anything is timed.
    for s in sources:
        term = parse(lang, s)
        assert str(term) == s.decode(), "a term does not render back to its source"
        tree = parser.parse(s)
        ref = reference_walk(tree.walk(), s, None, 0, len(s), verbatim, code)
        assert term.postcard_bytes() == ref.postcard_bytes(), "native and Python walks differ"

    rows: dict[str, tuple[Callable[[], None], int]] = {
        "tree-sitter parse": (ts_parse, args.repeats),
        "kovel's tree-sitter parse": (own_parse, args.repeats),
        "kovel.treesitter.parse": (kovel_parse, args.repeats),
        "parse + render": (kovel_render, args.repeats),
        "parse + Python walk": (python_walk, args.repeats),
        "ast-grep-py parse": (ast_grep, args.repeats),
        "libcst round trip": (libcst_round_trip, max(1, args.repeats // 3)),
    }
    times: dict[str, list[float]] = {k: [] for k in rows}
    gc.disable()
    try:
        for r in range(args.repeats):
            for k, (fn, repeats) in rows.items():
                if r < repeats:
                    t0 = clock()
                    fn()
                    times[k].append(clock() - t0)
    finally:
        gc.enable()

    size = sum(map(len, sources))
    speed = {k: size / 1e6 / statistics.median(v) for k, v in times.items()}
    base = speed["tree-sitter parse"]
    print(f"{len(sources)} files of {args.stdlib}, {size} bytes, medians of {args.repeats} repeats")
    print(f"{'':26} {'MB/s':>7} {'x parse':>8} {'goal':>6}")
    for k, v in speed.items():
        goal = f"{GOAL:.1f}x" if k == "kovel.treesitter.parse" else ""
        print(f"{k:26} {v:7.2f} {v / base:7.2f}x {goal:>6}")
    ratio = speed["kovel.treesitter.parse"] / base
    conversion = 1 / (1 / speed["kovel.treesitter.parse"] - 1 / speed["kovel's tree-sitter parse"])
    print(
        f"conversion alone: {conversion:.2f} MB/s, {conversion / base:.2f}x the parse (goal {CONVERSION_GOAL:.0f}x)"
    )
    if ratio < GOAL and not args.smoke:
        print(f"below the goal: kovel.treesitter.parse is {ratio:.2f}x tree-sitter's parse, not {GOAL}x")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
