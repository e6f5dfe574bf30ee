#!/usr/bin/env python3
"""Patterns as users write them: kovel's matches against ast-grep's on real code.

Real code in many languages comes from PyPI source distributions (Pygments
carries sample files in dozens of languages, greenlet and pybind11 C and
C++, JPype Java, pythonnet C#, bcrypt a little Rust); they are
downloaded once into a cache directory (``--corpus``, or ``$KOVEL_CORPUS``)
with ``pip download --no-binary NAME``.  For each language and pattern the
two tools' matches are compared by their ranges in each file (in code points, as both count); a
pattern one tool refuses counts as an error for it.  Prints per language and
pattern: kovel's count, ast-grep's, the matches only ast-grep finds and
those only kovel finds (with ``--show N``, the first N of each).

    python3 bench/compare_sg_patterns.py --corpus ~/.cache/kovel-corpus
    python3 bench/compare_sg_patterns.py --lang go --show 3

Goal: no match only in ast-grep; each difference left is explained in
docs/patterns.md.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tarfile
from collections.abc import Iterator
from pathlib import Path

from ast_grep_py import SgRoot

from kovel.quasi import pattern
from kovel.treesitter import parse

# Pygments' sample files cover most languages; the others bring more C++,
# Java, C# and Rust.
SDISTS = (
    "pygments==2.19.1",
    "greenlet==3.1.1",
    "pybind11==2.13.6",
    "jpype1==1.5.1",
    "pythonnet==3.0.5",
    "bcrypt==4.2.1",
)

# File extension -> kovel language name (ast-grep's differs for C#).
EXTENSIONS = {
    ".py": "python", ".js": "javascript", ".ts": "typescript", ".tsx": "tsx", ".java": "java",
    ".go": "go", ".rs": "rust", ".c": "c", ".h": "cpp", ".cpp": "cpp", ".cc": "cpp", ".hpp": "cpp",
    ".cs": "c_sharp", ".rb": "ruby", ".php": "php", ".kt": "kotlin", ".sh": "bash", ".lua": "lua",
    ".scala": "scala", ".swift": "swift", ".ex": "elixir", ".exs": "elixir", ".hs": "haskell", ".dart": "dart",
}  # fmt: skip
SG_NAMES = {"c_sharp": "csharp"}

# Per language: calls, method calls, statements, blocks, declarations.
PATTERNS: dict[str, tuple[str, ...]] = {
    "python": ("print($$$A)", "$O.append($X)", "return $X", "if $C:\n    $$$B", "def $F($$$P):\n    $$$B",
               "$A = $B", "self.$M($$$A)"),
    "javascript": ("console.log($$$A)", "$O.push($X)", "return $X;", "if ($C) { $$$B }",
                   "function $F($$$P) { $$$B }", "var $X = $V;", "$F($$$A)"),
    "typescript": ("console.log($$$A)", "$O.push($X)", "return $X;", "if ($C) { $$$B }",
                   "function $F($$$P) { $$$B }", "const $X = $V;", "$F($$$A)"),
    "tsx": ("console.log($$$A)", "$O.map($F)", "return $X;", "if ($C) { $$$B }", "const $X = $V;", "$F($$$A)"),
    "java": ("System.out.println($$$A)", "$O.add($X)", "return $X;", "if ($C) { $$$B }",
             "public $T $M($$$P) { $$$B }", "$T $X = $V;", "$F($$$A)"),
    "go": ("fmt.Println($$$A)", "$O.Close()", "return $X", "if $E != nil {\n\treturn $E\n}", "$X := $V",
           "func $F($$$P) { $$$B }", "$F($$$A)"),
    "rust": ("println!($$$A)", "$X.unwrap()", "return $X;", "let $X = $V;", "if $C { $$$B }",
             "fn $F($$$P) { $$$B }", "$F($$$A)"),
    "c": ("printf($$$A)", "return $X;", "if ($C) { $$$B }", "$F($$$A)", "$X = $V;", "for ($I; $C; $N) $B",
          "int $X = $V;"),
    "cpp": ("printf($$$A)", "return $X;", "if ($C) { $$$B }", "$F($$$A)", "$X = $V;", "$O.$M($$$A)",
            "$O->$M($$$A)"),
    "c_sharp": ("Console.WriteLine($$$A)", "return $X;", "if ($C) { $$$B }", "$F($$$A)", "var $X = $V;",
                "$O.$M($$$A)"),
    "ruby": ("puts $X", "return $X", "$X = $V", "if $C\n  $$$B\nend", "def $F\n  $$$B\nend", "$O.each do |$X|\n  $$$B\nend",
             "$F($$$A)"),
    "php": ("echo $X;", "return $X;", "$X = $V;", "if ($C) { $$$B }", "function $F($$$P) { $$$B }", "$F($$$A)"),
    "kotlin": ("println($$$A)", "return $X", "val $X = $V", "if ($C) { $$$B }", "fun $F($$$P) { $$$B }",
               "$F($$$A)"),
    "bash": ("echo $$$A", "$X=$V", "if $C; then\n  $$$B\nfi", "for $X in $$$L; do\n  $$$B\ndone", "export $X",
             "local $X"),
    "lua": ("print($$$A)", "local $X = $V", "return $X", "$F($$$A)", "function $F($$$P) $$$B end"),
    "scala": ("println($$$A)", "val $X = $V", "def $F($$$P) = $B", "$F($$$A)", "if ($C) $A else $B"),
    "swift": ("print($$$A)", "let $X = $V", "var $X = $V", "return $X", "$F($$$A)"),
    "elixir": ("IO.puts($$$A)", "def $F($$$P) do\n  $$$B\nend", "$F($$$A)", "$X = $V", "@$A $B"),
    "dart": ("print($$$A)", "var $X = $V;", "return $X;", "if ($C) { $$$B }", "$F($$$A)"),
    "haskell": ("putStrLn $X", "$F $X", "return $X", "let $X = $V in $B", "$A >>= $B"),
}  # fmt: skip


def corpus_dir(arg: str | None) -> Path:
    return Path(arg or os.environ.get("KOVEL_CORPUS") or Path.home() / ".cache" / "kovel-corpus")


def fetch(root: Path) -> Path:
    """Download and unpack the source distributions once; the directory of their trees."""
    src = root / "src"
    root.mkdir(parents=True, exist_ok=True)
    for req in SDISTS:
        name, ver = req.split("==")
        done = root / f".{name}-{ver}.unpacked"
        if done.exists():
            continue
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "-q",
                "--no-deps",
                # only the package itself as source: its build tools come as wheels
                "--no-binary",
                name,
                req,
                "-d",
                root,
            ],
            check=True,
        )
        archive = next(p for p in root.iterdir() if p.name.lower() == f"{name}-{ver}.tar.gz")
        with tarfile.open(archive) as tar:
            tar.extractall(src, filter="data")
        done.touch()
    return src


def files(src: Path) -> Iterator[tuple[str, Path]]:
    for p in sorted(src.rglob("*")):
        lang = EXTENSIONS.get(p.suffix)
        if lang and p.is_file() and p.stat().st_size < 400_000:
            yield lang, p


def compare(
    lang: str, pat: str, sources: list[tuple[Path, str]]
) -> tuple[int, int, list[str], list[str], str]:
    """(kovel's count, ast-grep's, only in ast-grep, only in kovel, error) over the files."""
    try:
        kp = pattern(lang, pat)
    except (SyntaxError, ValueError) as exc:
        return 0, 0, [], [], f"kovel refuses: {exc}"
    nk = ns = 0
    only_sg: list[str] = []
    only_k: list[str] = []
    err = ""
    for path, text in sources:
        try:
            ms = list(kp.find_all(parse(lang, text)))
        except Exception as exc:  # a file kovel cannot read is not a pattern's fault
            err = f"{path.name}: {exc}"
            continue
        # Both count code points: kovel's spans and ast-grep-py's indexes.
        ks = {m.span for m in ms}
        try:
            found = SgRoot(text, SG_NAMES.get(lang, lang)).root().find_all(pattern=pat)
            ss = {(n.range().start.index, n.range().end.index) for n in found}
        except BaseException as exc:  # ast-grep-py raises a Rust panic as BaseException
            if isinstance(exc, KeyboardInterrupt):
                raise
            err = err or f"ast-grep refuses: {str(exc).splitlines()[0]}"
            ss = set()
        nk += len(ks)
        ns += len(ss)
        only_sg += [f"{path.name}:{text[a:b][:70]!r}" for a, b in sorted(ss - ks)]
        only_k += [f"{path.name}:{text[a:b][:70]!r}" for a, b in sorted(ks - ss)]
    return nk, ns, only_sg, only_k, err


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", help="cache directory for the downloads (default $KOVEL_CORPUS)")
    ap.add_argument("--lang", action="append", help="only these languages")
    ap.add_argument("--show", type=int, default=0, help="print the first N differences of each pattern")
    args = ap.parse_args()
    src = fetch(corpus_dir(args.corpus))
    by_lang: dict[str, list[tuple[Path, str]]] = {}
    for lang, p in files(src):
        try:
            by_lang.setdefault(lang, []).append((p, p.read_text(encoding="utf-8")))
        except UnicodeDecodeError:
            continue
    print(f"{'language':11} {'pattern':38} {'kovel':>6} {'sg':>6} {'only sg':>8} {'only kovel':>10}")
    totals = [0, 0, 0, 0]
    for lang, pats in PATTERNS.items():
        sources = by_lang.get(lang, [])
        if args.lang and lang not in args.lang:
            continue
        for pat in pats:
            nk, ns, only_sg, only_k, err = compare(lang, pat, sources)
            for i, v in enumerate((nk, ns, len(only_sg), len(only_k))):
                totals[i] += v
            note = f"  [{err[:90]}]" if err else ""
            print(f"{lang:11} {pat[:38]!r:38} {nk:6} {ns:6} {len(only_sg):8} {len(only_k):10}{note}")
            for what, xs in (("only sg", only_sg), ("only kovel", only_k)):
                for x in xs[: args.show]:
                    print(f"    {what}: {x}")
    print(f"{'total':50} {totals[0]:6} {totals[1]:6} {totals[2]:8} {totals[3]:10}")


if __name__ == "__main__":
    main()
