"""Benchmark: one rewrite across the standard library from the shell.

The rewrite ``print($$$A)`` -> ``log($$$A)`` runs, in place, on a fresh copy of
the standard library's ``.py`` files for each of:

* ``kovel rewrite --write`` (this package),
* ``ast-grep run -U`` (``pip install ast-grep-cli``),
* ``python -m libcst.tool codemod`` with a codemod written for the purpose,

each at ``--jobs 1`` and ``--jobs 2``, timed by the wall clock (copying is not
timed).  It then counts the files each tool changed and how many of them
came out byte for byte as kovel's, and splits kovel's own time into its
phases (read, parse, conversion to terms, match and rewrite, render, the
re-parse that checks the output, write), measured in one process.

    python3 bench/bench_cli.py            # the whole standard library (minutes)
    python3 bench/bench_cli.py --smoke    # a small subset, to check the script

Peers that are not installed are skipped; they are never dependencies of kovel.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
from pathlib import Path

PATTERN, REWRITE = "print($$$A)", "log($$$A)"
CODEMOD = textwrap.dedent(
    """
    import libcst as cst
    from libcst.codemod import VisitorBasedCodemodCommand


    class PrintToLog(VisitorBasedCodemodCommand):
        DESCRIPTION = "print(...) -> log(...)"

        def leave_Call(self, original_node: cst.Call, updated_node: cst.Call) -> cst.Call:
            if isinstance(updated_node.func, cst.Name) and updated_node.func.value == "print":
                return updated_node.with_changes(func=cst.Name("log"))
            return updated_node
    """
)


def stdlib_files(smoke: bool) -> tuple[Path, list[Path]]:
    """The standard library's .py files (site-packages left out), relative to its root."""
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(
        p.relative_to(root)
        for p in root.rglob("*.py")
        if "site-packages" not in p.parts
        and "__pycache__" not in p.parts
        and not any(part.startswith(".") for part in p.relative_to(root).parts)
    )
    return root, files[::30] if smoke else files


def copy_tree(root: Path, files: list[Path], dest: Path) -> None:
    for rel in files:
        (dest / rel).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(root / rel, dest / rel)


def ast_grep() -> str | None:
    found = shutil.which("ast-grep") or shutil.which("ast-grep", path=str(Path(sys.executable).parent))
    return found


def commands(work: Path, jobs: int, codemod_dir: Path) -> dict[str, tuple[list[str], dict[str, str]] | None]:
    # An installed kovel (and libcst) has its modules compiled (pip does it); a
    # checkout run with PYTHONDONTWRITEBYTECODE would compile them in every process.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    lcst_env = dict(env, PYTHONPATH=os.pathsep.join(filter(None, [str(codemod_dir), env.get("PYTHONPATH")])))
    sg = ast_grep()
    have_libcst = (
        subprocess.run([sys.executable, "-c", "import libcst.tool"], capture_output=True).returncode == 0
    )
    j = str(jobs)
    return {
        "kovel": (
            [
                sys.executable,
                "-m",
                "kovel",
                "rewrite",
                "-p",
                PATTERN,
                "-r",
                REWRITE,
                "--write",
                "-j",
                j,
                str(work),
            ],
            env,
        ),
        "ast-grep": None
        if sg is None
        else (
            [sg, "run", "-p", PATTERN, "-r", REWRITE, "-l", "python", "-U", "--threads", j, str(work)],
            env,
        ),
        "libcst": None
        if not have_libcst
        else (
            [sys.executable, "-m", "libcst.tool", "codemod", "-x", "bench_print_to_log.PrintToLog", "-j", j]
            + [
                "--no-format",
                "--hide-progress",
                "--hide-generated-warnings",
                "--hide-blacklisted-warnings",
                str(work),
            ],
            lcst_env,
        ),
    }


def outputs(work: Path, files: list[Path]) -> dict[str, str]:
    return {str(rel): hashlib.sha256((work / rel).read_bytes()).hexdigest() for rel in files}


def run_tools(
    root: Path, files: list[Path], jobs_list: list[int], tools: list[str]
) -> tuple[list[dict[str, object]], dict[str, dict[str, str]]]:
    before = {str(rel): hashlib.sha256((root / rel).read_bytes()).hexdigest() for rel in files}
    rows: list[dict[str, object]] = []
    results: dict[str, dict[str, str]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        codemod_dir = Path(tmp, "codemod")
        codemod_dir.mkdir()
        (codemod_dir / "bench_print_to_log.py").write_text(CODEMOD)
        for jobs in jobs_list:
            for tool in tools:
                work = Path(tmp, f"{tool}-{jobs}")
                copy_tree(root, files, work)
                cmd = commands(work, jobs, codemod_dir)[tool]
                if cmd is None:
                    print(f"{tool}: not installed, skipped", file=sys.stderr)
                    shutil.rmtree(work)
                    continue
                cpu0 = resource.getrusage(resource.RUSAGE_CHILDREN)
                start = time.perf_counter()
                run = subprocess.run(cmd[0], env=cmd[1], capture_output=True, text=True)
                wall = time.perf_counter() - start
                cpu1 = resource.getrusage(resource.RUSAGE_CHILDREN)
                cpu = cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime
                out = outputs(work, files)
                changed = {k for k, v in out.items() if v != before[k]}
                results[tool] = {k: out[k] for k in changed}
                row = {"tool": tool, "jobs": jobs, "seconds": wall, "cpu": cpu, "exit": run.returncode}
                rows.append({**row, "changed": len(changed), "load": os.getloadavg()[0]})
                print(
                    f"  {tool:9} --jobs {jobs}: {wall:7.2f} s wall, {cpu:7.2f} s CPU, exit {run.returncode}, "
                    f"{len(changed)} files changed, load {os.getloadavg()[0]:.1f}",
                    file=sys.stderr,
                )
                if run.returncode not in (0, 1):
                    print(textwrap.indent(run.stderr[-1500:], "    | "), file=sys.stderr)
                shutil.rmtree(work)
    return rows, results


def phases(root: Path, files: list[Path]) -> dict[str, float]:
    """kovel's time per phase over the files, in this process."""
    from kovel import _native, from_postcard_bytes
    from kovel.batch.safewrite import replace_file
    from kovel.quasi import pattern, template
    from kovel.treesitter.convert import parse_with_errors, syntax_errors
    from kovel.treesitter.grammars import capsule

    pat, tpl = pattern("python", PATTERN), template("python", REWRITE)
    t = dict.fromkeys(["read", "parse", "convert", "match+rewrite", "render", "check", "write"], 0.0)
    clock = time.perf_counter
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        copy_tree(root, files, work)
        for rel in files:
            path = str(work / rel)
            t0 = clock()
            data = Path(path).read_bytes()
            t1 = clock()
            t["read"] += t1 - t0
            try:
                data.decode()
            except UnicodeDecodeError:
                continue
            # The parse alone (kovel's runtime), then parse and conversion together.
            _native.ts_parse(capsule("python"), data, None, None, False)
            t2 = clock()
            parsed = parse_with_errors("python", data, keep_tree=True)
            term = parsed.term
            t3 = clock()
            new = pat.rewrite(term, tpl)
            t4 = clock()
            t["parse"] += t2 - t1
            t["convert"] += (t3 - t2) - (t2 - t1)
            t["match+rewrite"] += t4 - t3
            if new is term:
                continue
            # The worker sends postcard bytes; the writing process renders them.
            text = str(from_postcard_bytes(new.postcard_bytes()))
            t5 = clock()
            syntax_errors("python", text.encode(), previous=(parsed, data))
            t6 = clock()
            replace_file(path, text.encode(), hashlib.sha256(data).hexdigest())
            t["render"] += t5 - t4
            t["check"] += t6 - t5
            t["write"] += clock() - t6
    return t


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--smoke", action="store_true", help="a subset of about 60 files")
    ap.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--tools", nargs="+", default=["kovel", "ast-grep", "libcst"])
    ap.add_argument("--json", type=Path, help="write the figures here")
    args = ap.parse_args()
    root, files = stdlib_files(args.smoke)
    size = sum((root / f).stat().st_size for f in files)
    print(f"{len(files)} files, {size / 1e6:.1f} MB from {root}", file=sys.stderr)
    rows, results = run_tools(root, files, args.jobs, args.tools)
    t = phases(root, files)

    print(f"\n{len(files)} files, {size / 1e6:.1f} MB; {PATTERN} -> {REWRITE}, in place\n")
    print("| tool | --jobs | wall s | CPU s | files changed | wall vs kovel |")
    print("|---|---|---|---|---|---|")
    kovel_time = {r["jobs"]: r["seconds"] for r in rows if r["tool"] == "kovel"}
    for r in rows:
        k = kovel_time.get(r["jobs"])
        ratio = (
            f"{r['seconds'] / k:.2f}x" if isinstance(k, float) and isinstance(r["seconds"], float) else "-"
        )
        print(
            f"| {r['tool']} | {r['jobs']} | {r['seconds']:.2f} | {r['cpu']:.2f} | {r['changed']} | {ratio} |"
        )
    if "kovel" in results:
        ours = results["kovel"]
        print()
        for tool, theirs in results.items():
            if tool == "kovel":
                continue
            same = sum(1 for k, v in theirs.items() if ours.get(k) == v)
            differ = sorted(
                set(ours) ^ set(theirs) | {k for k in ours.keys() & theirs.keys() if ours[k] != theirs[k]}
            )
            print(
                f"{tool}: {same} of its {len(theirs)} changed files identical to kovel's "
                f"({len(ours)} changed by kovel); differing: {', '.join(differ) or 'none'}"
            )
    total = sum(t.values())
    print("\nkovel, one process, by phase:\n\n| phase | s | share |\n|---|---|---|")
    for k, v in t.items():
        print(f"| {k} | {v:.2f} | {100 * v / total:.0f}% |")
    if args.json:
        args.json.write_text(
            json.dumps({"files": len(files), "bytes": size, "runs": rows, "phases": t}, indent=2) + "\n"
        )


if __name__ == "__main__":
    main()
