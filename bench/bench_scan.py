"""`kovel scan` vs `ast-grep scan`: the same 20 Python rules over the standard library, side by side.

Checks that both report the same number of diagnostics (exit status 1 when not).
Run: python3 bench/bench_scan.py [FOLDER]   (default: the standard library, /usr/lib/python3.11)
     python3 bench/bench_scan.py --smoke    (one small package of it, for CI)
"""

import json
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

PATTERNS = [
    "print($$$A)", "isinstance($X, $T)", "len($X) == 0", "$X == None", "$X != None", "type($X) == $T",
    "open($$$A)", "yield from $X", "raise $E from None", "del $X", "lambda $$$A: $B", "global $$$N",
    "super().__init__($$$A)", "dict($$$A)", "list($X)", "$X.append($Y)", "return None", "not $X in $Y",
    "hasattr($X, $N)", "getattr($X, $N, None)",
]  # fmt: skip


def main():
    # Debian's standard library holds no site-packages; another may (which both would walk).
    default = (
        "/usr/lib/python3.11" if Path("/usr/lib/python3.11").is_dir() else sysconfig.get_paths()["stdlib"]
    )
    args = [a for a in sys.argv[1:] if a != "--smoke"]
    if "--smoke" in sys.argv:
        default = str(Path(default) / "json")
    folder = args[0] if args else default
    rules = Path(tempfile.mkdtemp())
    docs = [
        f"id: r{i}\nlanguage: Python\nseverity: warning\nmessage: m\nrule:\n  pattern: {json.dumps(p)}\n"
        for i, p in enumerate(PATTERNS)
    ]
    (rules / "rules.yml").write_text("---\n".join(docs))
    runs = {
        "kovel": [sys.executable, "-m", "kovel", "scan", "--json", "-r", str(rules / "rules.yml"), folder],
        "ast-grep": [
            shutil.which("ast-grep") or "sg",
            "scan",
            "--json=stream",
            "-r",
            str(rules / "rules.yml"),
            folder,
        ],
    }
    counts = {}
    print(f"20 rules over {folder}")
    for name, argv in runs.items():
        if argv[0] is None or shutil.which(argv[0]) is None:
            print(f"{name:9} not installed")
            continue
        t = time.perf_counter()
        out = subprocess.run(argv, capture_output=True, text=True).stdout
        took = time.perf_counter() - t
        counts[name] = sum(1 for line in out.splitlines() if line.strip().startswith("{"))
        print(f"{name:9} {counts[name]:7} diagnostics {took:8.2f} s")
    if len(set(counts.values())) > 1:
        print("the diagnostics counts differ")
        sys.exit(1)


if __name__ == "__main__":
    main()
