#!/usr/bin/env python3
"""Rewrite real files with templates that reshape their matches; the language's own parser judges.

For a language, a list of pattern and template pairs that change a match a
little (``if $C`` into ``if !($C)``, ``$F($$$A)`` into ``$F $$$A``, an
optional chain added) is applied with ``Pattern.rewrite`` to files of that
language found on this machine.  Each rewritten text that tree-sitter reads
without a new syntax error (which the ``kovel`` command would refuse to
write anyway) goes to the language's own checker: ``compile`` for Python,
``ruby -c``, ``php -l``, ``node --check``, ``javac``.  Every text the checker
refuses is printed with its file and pair, and the run exits with status 1.

Some refusals are the template's own doing, not kovel's: a Python ``async
for`` outside an ``async def``, a Ruby block taking ``i`` twice.  Those are
listed by ``--semantic`` only.

    python3 tools/probe_rewrites.py ruby --files 100 --seed 1
    python3 tools/probe_rewrites.py javascript /usr/lib/node_modules/npm
"""

from __future__ import annotations

import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
from pathlib import Path

from kovel.quasi import MisreadError, pattern, template
from kovel.treesitter import parse
from kovel.treesitter.convert import parse_with_errors

PAIRS: dict[str, list[tuple[str, str]]] = {
    "ruby": [
        ("if $C\n  $$$B\nend", "if $C then $$$B end"),
        ("if $C\n  $$$B\nend", "unless $C\n  $$$B\nend"),
        ("if $C\n  $$$B\nend", "if !($C)\n  $$$B\nend"),
        ("while $C\n  $$$B\nend", "until !($C)\n  $$$B\nend"),
        ("$A.each do |$X|\n  $$$B\nend", "$A.each { |$X| $$$B }"),
        ("$A.map { |$X| $B }", "$A.map do |$X| $B end"),
        ("$F($$$A)", "$F $$$A"),
        ("$A ? $B : $C", "$A ? $C : $B"),
        ("$A.$M($$$R)", "$A&.$M($$$R)"),
        ("$H[$K]", "$H.fetch($K)"),
        ("$A.nil?", "!$A"),
        ("return $X if $C", "return $X unless !($C)"),
        ("$A || $B", "$A or $B"),
        ("not $A", "!$A"),
        ("raise $E, $M", "raise $E.new($M)"),
    ],
    "python": [
        ("if $A:\n    $$$B", "if not $A:\n    $$$B"),
        ("for $X in $Y:\n    $$$B", "for $X in sorted($Y):\n    $$$B"),
        ("def $F($$$P):\n    $$$B", "def $F($$$P) -> None:\n    $$$B"),
        ("with $A as $B:\n    $$$C", "with $A as $B, x:\n    $$$C"),
        ("$A[$B]", "$A.get($B)"),
        ("lambda $$$A: $B", "lambda $$$A: ($B)"),
        ("return $X", "return ($X)"),
        ("$A if $B else $C", "$C if not $B else $A"),
        ("raise $E", "raise $E from None"),
        ("$A and $B", "$B and $A"),
    ],
    "javascript": [
        ("function $F($$$P) { $$$B }", "async function $F($$$P) { $$$B }"),
        ("if ($A) $B", "if (!($A)) $B"),
        ("var $A = $B", "let $A = $B"),
        ("$A == $B", "$A === $B"),
        ("return $X", "return ($X)"),
        ("$A ? $B : $C", "!$A ? $C : $B"),
        ("new $C($$$A)", "new $C($$$A).x"),
        ("$A.$B($$$C)", "$A?.$B($$$C)"),
        ("$A && $B", "$A ?? $B"),
        ("$A || $B", "$A ?? $B"),
        ("$A = $B", "$A ??= $B"),
        ("function ($$$P) { $$$B }", "($$$P) => { $$$B }"),
        ("$A++", "++$A"),
    ],
    "php": [
        ("if ($A) { $$$B }", "if (!($A)) { $$$B }"),
        ("foreach ($A as $B) { $$$C }", "foreach (array_values($A) as $B) { $$$C }"),
        ("isset($A)", "!empty($A)"),
        ("$A->$M($$$B)", "$A?->$M($$$B)"),
        ("return $X;", "return ($X);"),
        ("$A ? $B : $C", "$A ?: $C"),
        ("array($$$A)", "[$$$A]"),
        ("!$A", "!($A)"),
    ],
    "java": [
        ("if ($A) { $$$B }", "if (!($A)) { $$$B }"),
        ("$A.$M($$$B)", "java.util.Objects.requireNonNull($A).$M($$$B)"),
        ("return $X;", "return ($X);"),
        ("new $C($$$A)", "(new $C($$$A))"),
        ("throw $E;", "throw new RuntimeException($E);"),
        ("$A ? $B : $C", "!$A ? $C : $B"),
        ("$X++", "$X += 1"),
    ],
}

#: Where this machine keeps files of each language (Debian's packages, or a corpus).
DEFAULT_ROOTS = {
    "ruby": "/usr/lib/ruby",
    "python": "/usr/lib/python3.11",
    "javascript": "/usr/lib/node_modules/npm",
    "php": "/usr/share/php",
    "java": str(Path.home() / ".cache" / "kovel-corpus" / "src"),
}
SUFFIX = {"ruby": ".rb", "python": ".py", "javascript": ".js", "php": ".php", "java": ".java"}

#: What a checker says of a template's own mistake, not of how kovel wrote it.
SEMANTIC = re.compile(
    r"outside async function|inside async function|cannot assign to function call|keyword argument repeated"
    r"|cannot delete function call|duplicated argument name|circular argument reference"
)

# The checkers must not see a sanitizer a test run preloads for kovel.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def refusal(lang: str, text: str) -> str | None:
    """What the language's own checker says against ``text``, or None when it takes it."""
    if lang == "python":
        try:
            compile(text, "<rewritten>", "exec")
        except SyntaxError as exc:
            return f"{exc.msg} (line {exc.lineno})"
        except ValueError:
            pass
        return None
    with tempfile.TemporaryDirectory() as d:
        name = "X.java"
        if lang == "java":
            m = re.search(r"public\s+(?:final\s+|abstract\s+)*(?:class|interface|enum|record)\s+(\w+)", text)
            name = f"{m.group(1) if m else 'X'}.java"
        path = os.path.join(d, name if lang == "java" else "x" + SUFFIX[lang])
        Path(path).write_text(text)
        command = {
            "ruby": ["ruby", "-c", path],
            "php": ["php", "-l", path],
            "javascript": ["node", "--check", path],
            "java": ["javac", "-proc:none", "-d", d, path],
        }[lang]
        done = subprocess.run(command, capture_output=True, text=True, env=ENV)
    if lang == "java":  # only what the parser says: the names are not declared
        said = [line for line in done.stderr.splitlines() if ": error:" in line and _java_syntax(line)]
        return "; ".join(said) or None
    return None if done.returncode == 0 else (done.stderr or done.stdout).strip()[:300]


def _java_syntax(line: str) -> bool:
    return any(w in line for w in ("expected", "illegal", "not a statement", "unclosed", "orphaned"))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("lang", choices=sorted(PAIRS))
    ap.add_argument("roots", nargs="*", help="folders of files (default: where this machine keeps some)")
    ap.add_argument("--files", type=int, default=80, help="how many files to take, at random")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--semantic", action="store_true", help="list the templates' own mistakes too")
    a = ap.parse_args()
    roots = a.roots or [DEFAULT_ROOTS[a.lang]]
    files = sorted(
        str(p)
        for r in roots
        for p in Path(r).rglob("*" + SUFFIX[a.lang])
        if p.is_file() and p.stat().st_size < 60_000
    )
    random.Random(a.seed).shuffle(files)
    written = bad = 0
    for path in files[: a.files]:
        try:
            src = Path(path).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        if refusal(a.lang, src) is not None:
            continue  # the file itself is refused: nothing to learn from its rewrites
        t = parse(a.lang, src)
        for pat, tpl in PAIRS[a.lang]:
            try:
                out = str(pattern(a.lang, pat).rewrite(t, template(a.lang, tpl)))
            except (MisreadError, ValueError, TypeError, SyntaxError):
                continue  # refused: nothing written
            if out == src or parse_with_errors(a.lang, out).errors:
                continue  # unchanged, or refused by the command's syntax check
            written += 1
            why = refusal(a.lang, out)
            if why is not None and (a.semantic or not SEMANTIC.search(why)):
                bad += 1
                print(f"{path}: {pat!r} -> {tpl!r}: {why.splitlines()[-1] if why else ''}", flush=True)
    print(f"{a.lang}: {written} rewritten texts, {bad} refused by the language")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
