"""Benchmark: what ``kovel find`` costs on a minified file, in memory and in output.

A ~5 MB JavaScript file on one line holds a few thousand calls that the
pattern matches (``f($A, $B)``), between long arrays of numbers that it
does not.  For each way of printing the matches, the command runs in a fresh
helper process, which reads its output in chunks (counting the bytes, keeping
none of them) and reports the peak resident size of the largest process of
the run (the command, or one of its workers) from
``resource.getrusage(RUSAGE_CHILDREN)``:

* ``text``: the default output, ``path:line:col: line``;
* ``json``: ``--json``;
* ``uncut``: the text output with ``--max-columns 0``: the whole line for
  each match, so gigabytes of output, which must stream through;
* ``api``: ``kovel.batch.find_files`` in one process, for comparison (no output).

    python3 bench/bench_output.py                    # 5 MB, 2000 matches, --jobs 2
    python3 bench/bench_output.py --matches 300 --modes text json uncut
    python3 bench/bench_output.py --smoke            # 200 kB, 100 matches, to check the script

Memory should follow the size of the file, not the number of matches times
the length of the line.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PATTERN = "f($A, $B)"


def minified(size: int, matches: int) -> str:
    """One line of ``size`` characters with ``matches`` calls ``f(x, i)`` spread along it,
    between arrays of small numbers (many nodes, as minified code has)."""
    unit = max(size // max(matches, 1), 40)
    parts = []
    for i in range(matches):
        call = f"f(x{i},{i});"
        items = max((unit - len(call) - len(f"var s{i}=[];")) // 2, 1)
        parts.append(f"var s{i}=[{','.join(str(k % 10) for k in range(items))}];{call}")
    return "".join(parts) + "\n"


def measure(cmd: list[str]) -> dict[str, float]:
    """Run ``cmd``; its output size, the peak RSS of its largest process, its time and status."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stdout is not None and proc.stderr is not None
    size = 0
    while chunk := proc.stdout.read(1 << 20):
        size += len(chunk)
    err = proc.stderr.read()
    code = proc.wait()
    wall = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss  # KiB on Linux
    if code not in (0, 1):
        sys.stderr.write(err.decode(errors="replace")[-2000:])
    return {"bytes": size, "peak_mib": peak_kib / 1024, "seconds": wall, "exit": code}


def command(mode: str, path: Path, jobs: int, timeout: float) -> list[str]:
    if mode == "api":
        code = (
            "import sys; from kovel.batch.workers import InlineExecutor; from kovel.batch import find_files; "
            "n = sum(len(r.matches) for r in find_files([sys.argv[1]], sys.argv[2], "
            "executor=InlineExecutor(), timeout=None)); print(n)"
        )
        return [sys.executable, "-c", code, str(path), PATTERN]
    flags = {"json": ["--json"], "uncut": ["--max-columns", "0"]}.get(mode, [])
    return [
        *(sys.executable, "-P", "-m", "kovel", "find", *flags, "-p", PATTERN),
        *("--jobs", str(jobs), "--timeout", str(timeout), str(path)),
    ]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=float, default=5.0, help="size of the one-line file")
    ap.add_argument("--matches", type=int, default=2000, help="matches along the line")
    ap.add_argument("--jobs", type=int, default=2, help="the command's --jobs")
    ap.add_argument("--timeout", type=float, default=120, help="the command's --timeout")
    modes = ["text", "json", "uncut", "api"]
    ap.add_argument("--modes", nargs="+", default=["text", "json", "api"], choices=modes)
    ap.add_argument("--smoke", action="store_true", help="a small file, to check the script")
    ap.add_argument("--measure", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.measure:  # the helper: one run, so that RUSAGE_CHILDREN covers it alone
        print(json.dumps(measure(a.measure)))
        return
    size, matches = (200_000, 100) if a.smoke else (int(a.size_mb * 1e6), a.matches)
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp, "bundle.min.js")
        path.write_text(minified(size, matches))
        print(f"{path.stat().st_size / 1e6:.1f} MB on one line, {matches} matches of {PATTERN!r}")
        for mode in a.modes:
            helper = [sys.executable, __file__, "--measure", *command(mode, path, a.jobs, a.timeout)]
            run = subprocess.run(helper, stdout=subprocess.PIPE, text=True, check=True)
            r = json.loads(run.stdout)
            print(
                f"  {mode:5} output {r['bytes'] / 1e6:10.1f} MB   peak RSS {r['peak_mib']:8.0f} MiB   "
                f"{r['seconds']:6.1f} s   exit {r['exit']}"
            )


if __name__ == "__main__":
    main()
