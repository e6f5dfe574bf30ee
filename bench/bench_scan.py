"""`kovel scan` vs `ast-grep scan`: the same 20 Python rules over the standard library, side by side.

Checks that both report the same number of diagnostics (exit status 1 when not).
Each tool runs ``REPEAT`` times with 1 and with 2 jobs, interleaved; the best wall time is kept.
Run: python3 bench/bench_scan.py [FOLDER]   (default: the standard library, /usr/lib/python3.11)
     python3 bench/bench_scan.py --smoke    (one small package of it, one run, for CI)
"""

import json
import os
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
REPEAT = 3


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
        "kovel": [
            sys.executable,
            "-P",
            "-m",
            "kovel",
            "scan",
            "--json",
            "-r",
            str(rules / "rules.yml"),
            folder,
        ],
        "ast-grep": [
            "ast-grep",
            "scan",
            "--json=stream",
            "-r",
            str(rules / "rules.yml"),
            folder,
        ],
    }
    # An installed kovel has its modules compiled (pip does it); a checkout
    # run with PYTHONDONTWRITEBYTECODE would compile them in every process.
    os.environ.pop("PYTHONDONTWRITEBYTECODE", None)
    repeat = 1 if "--smoke" in sys.argv else REPEAT
    best: dict[tuple[str, int], float] = {}
    counts = {}
    print(f"20 rules over {folder}")
    for _ in range(repeat):
        for name, argv in runs.items():
            if argv[0] is None or shutil.which(argv[0]) is None:
                continue
            for jobs in (1, 2):
                t = time.perf_counter()
                out = subprocess.run([*argv, "-j", str(jobs)], capture_output=True, text=True).stdout
                took = time.perf_counter() - t
                best[name, jobs] = min(took, best.get((name, jobs), took))
                counts[name] = sum(1 for line in out.splitlines() if line.strip().startswith("{"))
    for name in runs:
        if name not in counts:
            print(f"{name:9} not installed")
            continue
        print(
            f"{name:9} {counts[name]:7} diagnostics  -j1 {best[name, 1]:6.2f} s  -j2 {best[name, 2]:6.2f} s"
        )
    if len(set(counts.values())) > 1:
        print("the diagnostics counts differ")
        sys.exit(1)


if __name__ == "__main__":
    main()
