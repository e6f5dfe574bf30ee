#!/usr/bin/env python3
"""Rewrite a real file with patterns and print the diff.

Two rewrites over a standard-library module (or a file given on the command
line): ``$X == None`` becomes ``$X is None``, and ``print($$$A)`` becomes a
call to a logger. Text outside the matches is unchanged byte for byte.

    python3 examples/codemod.py [file.py]
"""

from __future__ import annotations

import difflib
import sys
import sysconfig
from pathlib import Path

from kovel.quasi import pattern, template
from kovel.treesitter import parse

REWRITES = [
    (pattern("python", "$X == None"), template("python", "$X is None")),
    (pattern("python", "$X != None"), template("python", "$X is not None")),
    (pattern("python", "print($$$A)"), template("python", "log.info($$$A)")),
]


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(sysconfig.get_paths()["stdlib"]) / "tabnanny.py"
    source = path.read_text(encoding="utf-8")
    term = parse("python", source)
    for pat, repl in REWRITES:
        term = pat.rewrite(term, repl)
    after = str(term)
    compile(after, str(path), "exec")  # still valid Python
    diff = difflib.unified_diff(
        source.splitlines(keepends=True), after.splitlines(keepends=True), str(path), f"{path} (rewritten)"
    )
    sys.stdout.writelines(diff)


if __name__ == "__main__":
    main()
