"""Benchmark: ``kovel`` against ast-grep's ``sg run``, side by side, on two corpora.

Corpora: the standard library's ``.py`` files, and the ``.js``/``.ts`` files of
an sdist from PyPI (bokeh's, fetched once with ``pip download`` into
``--cache-dir``).  For each corpus, three jobs:

* a common pattern (``$A.append($B)``, ``console.log($$$A)``),
* a rare one (a call to a function defined once),
* a rewrite (in place, on a fresh copy; the copy is not timed),

each run by ``sg`` and by ``kovel`` cold (no cache) at ``--jobs 1`` and
``--jobs 2``, and by ``kovel`` warm (``--cache``, filled by an untimed run).
Wall time is the best of ``--repeat`` runs; peak memory is the largest
resident size of the command or any of its workers (``/usr/bin/time``'s
``%M``: Linux reports the largest of a process and the children it waited for).
Every kovel run must find the same matches (and write the same files) as
the cold ``--jobs 1`` run; how many of sg's matches and rewritten files agree
is printed.  Last, the parse alone: ``kovel.treesitter.parse`` (parse and
conversion) against py-tree-sitter's ``Parser.parse``, and the conversion
alone (kovel's parse with and without it) against the parse.

    python3 bench/bench_sg.py            # both corpora, whole (minutes)
    python3 bench/bench_sg.py --smoke    # a few files, to check the script
"""

from __future__ import annotations

import argparse
import functools
import hashlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

SDIST = "bokeh==3.*"


@dataclass(frozen=True)
class Job:
    corpus: str
    name: str
    pattern: str
    rewrite: str | None = None


JOBS = [
    Job("python", "common", "$A.append($B)"),
    Job("python", "rare", "_siftdown_max($$$A)"),
    Job("python", "rewrite", "print($$$A)", "log($$$A)"),
    Job("js/ts", "common", "console.log($$$A)"),
    Job("js/ts", "rare", "_embed_items($$$A)"),
    Job("js/ts", "rewrite", "console.log($$$A)", "logger.info($$$A)"),
]


def python_corpus(dest: Path, smoke: bool) -> None:
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)
    for p in files[:: 30 if smoke else 1]:
        out = dest / p.relative_to(root)
        out.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(p, out)


def js_corpus(dest: Path, smoke: bool, cache: Path) -> None:
    cache.mkdir(parents=True, exist_ok=True)
    sdists = sorted(cache.glob("bokeh-*.tar.gz"))
    if not sdists:
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "--no-deps",
                "--no-binary",
                ":all:",
                "-d",
                str(cache),
                SDIST,
            ],
            check=True,
            capture_output=True,
        )
        sdists = sorted(cache.glob("bokeh-*.tar.gz"))
    with tarfile.open(sdists[-1]) as tar:
        members = [m for m in tar.getmembers() if m.isfile() and m.name.endswith((".js", ".ts"))]
        for m in members[:: 40 if smoke else 1]:
            src = tar.extractfile(m)
            assert src is not None
            out = dest / Path(*Path(m.name).parts[1:])
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(src.read())


def snapshot(root: Path) -> dict[str, str]:
    return {
        str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
        for p in root.rglob("*")
        if p.is_file()
    }


def run(cmd: list[str], cwd: Path) -> tuple[float, int, str]:
    """Wall seconds, peak resident KiB of the command or a worker of it (-1: unknown), stdout."""
    timer = shutil.which("time") or ("/usr/bin/time" if os.path.exists("/usr/bin/time") else None)
    with tempfile.NamedTemporaryFile("r") as rss:
        wrapped = [timer, "-f", "%M", "-o", rss.name, *cmd] if timer else cmd
        start = time.perf_counter()
        done = subprocess.run(wrapped, cwd=cwd, capture_output=True, text=True)
        wall = time.perf_counter() - start
        # 2 from kovel: some file was left alone (a syntax error in a match, not text), as sg skips it.
        if done.returncode not in (0, 1, 2) or "Traceback" in done.stderr:
            raise RuntimeError(f"{' '.join(cmd)} failed ({done.returncode}): {done.stderr[-2000:]}")
        text = rss.read().strip().splitlines()
    return wall, int(text[-1]) if timer and text else -1, done.stdout


def kovel_matches(out: str) -> set[tuple[str, int, int]]:
    found = set()
    for line in out.splitlines():
        m = json.loads(line)
        found.add((os.path.normpath(m["path"]), m["bytes"][0], m["bytes"][1]))
    return found


def sg_matches(out: str) -> set[tuple[str, int, int]]:
    found = set()
    for line in out.splitlines():
        m = json.loads(line)
        r = m["range"]["byteOffset"]
        found.add((os.path.normpath(m["file"]), r["start"], r["end"]))
    return found


def commands(job: Job, jobs: int, cache: Path | None) -> dict[str, list[str]]:
    kovel = [
        sys.executable,
        "-P",
        "-m",
        "kovel",
    ]  # -P: the corpus (a copy of the standard library) is the working directory
    extra = ["--cache", str(cache)] if cache is not None else []
    if job.rewrite is None:
        return {
            "kovel": [*kovel, "find", "--json", "-j", str(jobs), *extra, "-p", job.pattern, "."],
            "sg": ["ast-grep", "run", "--json=stream", "-j", str(jobs), "-p", job.pattern, "."],
        }
    return {
        "kovel": [
            *kovel,
            "rewrite",
            "--write",
            "-j",
            str(jobs),
            *extra,
            "-p",
            job.pattern,
            "-r",
            job.rewrite,
            ".",
        ],
        "sg": ["ast-grep", "run", "-U", "-j", str(jobs), "-p", job.pattern, "-r", job.rewrite, "."],
    }


def measure(job: Job, corpus: Path, work: Path, repeat: int) -> list[dict[str, object]]:
    """The job's rows: one per tool and mode, best wall time of ``repeat`` runs."""
    rows: list[dict[str, object]] = []
    reference: object = None
    cache = work / f"cache-{job.corpus.replace('/', '')}-{job.name}"
    modes = [("sg", "cold", 1), ("sg", "cold", 2), ("kovel", "cold", 1), ("kovel", "cold", 2)]
    modes += [("kovel", "warm", 1), ("kovel", "warm", 2)]
    tree = work / "tree"

    def fresh() -> None:
        shutil.rmtree(tree, ignore_errors=True)
        shutil.copytree(corpus, tree)

    sg_result: object = None
    for tool, mode, jobs in modes:
        best, peak, result = float("inf"), -1, None
        if mode == "warm" and not cache.exists():  # fill the cache, untimed
            fresh()
            run(commands(job, jobs, cache)[tool], tree)
        for _ in range(repeat):
            fresh()
            wall, rss, out = run(commands(job, jobs, cache if mode == "warm" else None)[tool], tree)
            got = (
                (kovel_matches if tool == "kovel" else sg_matches)(out)
                if job.rewrite is None
                else snapshot(tree)
            )
            result = got if result is None else result
            if got != result:
                raise RuntimeError(f"{tool} {mode} -j {jobs} gave another result on a run of the same files")
            best, peak = min(best, wall), max(peak, rss)
        if tool == "kovel" and reference is None:
            reference = result
        same = "" if tool == "sg" else ("same" if result == reference else "DIFFERENT")
        rows.append({"tool": tool, "mode": mode, "jobs": jobs, "wall": best, "peak_kib": peak, "check": same})
        if tool == "sg":
            sg_result = result
    rows.append({"agreement": agreement(job, reference, sg_result, corpus)})
    return rows


def agreement(job: Job, kovel: object, sg: object, corpus: Path) -> str:
    if job.rewrite is None:
        assert isinstance(kovel, set) and isinstance(sg, set)
        return f"{len(kovel)} kovel matches, {len(sg)} sg matches, {len(kovel & sg)} in both"
    assert isinstance(kovel, dict) and isinstance(sg, dict)
    before = snapshot(corpus)
    k = {p for p, h in kovel.items() if before.get(p) != h}
    s = {p for p, h in sg.items() if before.get(p) != h}
    same = sum(1 for p in k & s if kovel[p] == sg[p])
    return f"{len(k)} files rewritten by kovel, {len(s)} by sg, {same} identical"


def parse_figures(corpora: dict[str, Path]) -> list[str]:
    """kovel.treesitter.parse against py-tree-sitter's parse, and the conversion alone."""
    from kovel import _native
    from kovel.treesitter import parse
    from kovel.treesitter.grammars import capsule, parser

    lines = []
    for name, root in corpora.items():
        files = [p for p in sorted(root.rglob("*")) if p.suffix in (".py", ".js", ".ts")]
        t = dict.fromkeys(["ts", "kovel", "own"], 0.0)
        for p in files:
            lang = {".py": "python", ".js": "javascript", ".ts": "typescript"}[p.suffix]
            data = p.read_bytes()
            try:
                data.decode()
            except UnicodeDecodeError:
                continue
            ts, grammar = parser(lang), capsule(lang)
            steps: dict[str, Callable[[], object]] = {
                "ts": functools.partial(ts.parse, data),
                "kovel": functools.partial(parse, lang, data),
                "own": functools.partial(_native.ts_parse, grammar, data, None, None, False),
            }
            for key, step in steps.items():
                best = float("inf")
                for _ in range(3):
                    start = time.perf_counter()
                    step()
                    best = min(best, time.perf_counter() - start)
                t[key] += best
        convert = max(t["kovel"] - t["own"], 1e-9)
        lines.append(
            f"{name}: py-tree-sitter parse {t['ts']:.2f} s, kovel.treesitter.parse {t['kovel']:.2f} s "
            f"(parse vs parse+convert {t['ts'] / t['kovel']:.2f}x); kovel's parse alone {t['own']:.2f} s, "
            f"conversion alone {convert:.2f} s (parse {t['own'] / convert:.1f}x the conversion)"
        )
    return lines


def main() -> None:
    # An installed kovel has its modules compiled (pip does it); a checkout
    # run with PYTHONDONTWRITEBYTECODE would compile them in every process.
    os.environ.pop("PYTHONDONTWRITEBYTECODE", None)
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--smoke", action="store_true", help="a few files of each corpus, one run")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs per tool and mode (best kept)")
    ap.add_argument("--cache-dir", type=Path, default=Path(tempfile.gettempdir()) / "kovel-bench-sdists")
    ap.add_argument("--json", type=Path, help="write the figures here")
    ap.add_argument("--only", nargs="+", metavar="JOB", help="run these jobs only, e.g. 'js/ts rare'")
    a = ap.parse_args()
    if shutil.which("ast-grep") is None:  # not "sg": Debian has a login tool of that name
        sys.exit("ast-grep (pip install ast-grep-cli) is not installed")
    repeat = 1 if a.smoke else a.repeat
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        corpora = {"python": work / "py", "js/ts": work / "js"}
        python_corpus(corpora["python"], a.smoke)
        js_corpus(corpora["js/ts"], a.smoke, a.cache_dir)
        figures: dict[str, object] = {}
        for job in JOBS:
            if a.only and f"{job.corpus} {job.name}" not in a.only:
                continue
            corpus = corpora[job.corpus]
            nfiles = sum(1 for p in corpus.rglob("*") if p.is_file())
            what = f"{job.pattern} -> {job.rewrite}" if job.rewrite else job.pattern
            print(f"\n{job.corpus} ({nfiles} files), {job.name}: {what}", flush=True)
            rows = measure(job, corpus, work, repeat)
            print("| tool | mode | --jobs | wall s | peak MiB | same as kovel cold -j 1 |")
            print("|---|---|---|---|---|---|")
            for r in rows[:-1]:
                peak = r["peak_kib"]
                mib = f"{peak / 1024:.0f}" if isinstance(peak, int) and peak > 0 else "-"
                print(f"| {r['tool']} | {r['mode']} | {r['jobs']} | {r['wall']:.2f} | {mib} | {r['check']} |")
            sg = {r["jobs"]: r["wall"] for r in rows[:-1] if r["tool"] == "sg"}
            for r in rows[:-1]:
                if r["tool"] == "kovel":
                    print(f"  kovel {r['mode']} -j {r['jobs']}: {sg[r['jobs']] / r['wall']:.2f}x sg's speed")
            print(f"  {rows[-1]['agreement']}")
            figures[f"{job.corpus} {job.name}"] = rows
        print()
        parse_lines = parse_figures(corpora)
        for line in parse_lines:
            print(line)
        figures["parse"] = parse_lines
        if a.json:
            a.json.write_text(json.dumps(figures, indent=2))


if __name__ == "__main__":
    main()
