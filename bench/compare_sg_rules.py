#!/usr/bin/env python3
"""The example rules (examples/rules/rules/) run by kovel and by ast-grep on real code.

Each rule runs as ``kovel scan --json`` / ``--fix`` and as ``ast-grep scan
--json=stream`` / ``-U`` (with bench/sg_rules/ID.yml where ast-grep needs
its own version) over the files of its language in the given directories:
from PyPI source distributions (``pip download --no-deps --no-binary :all:
jpype1 bcrypt pygments``, unpacked), the Python standard library, and
Debian's Rust and Go sources (``apt-get install librust-regex-dev
golang-github-spf13-cobra-dev`` fills /usr/share/cargo/registry and
/usr/share/gocode).
Prints per rule: the lines of each YAML file, the files scanned, each
tool's matches, the match starts only one finds, and the files whose
fixed text differs.

    python3 bench/compare_sg_rules.py jpype1-1.7.1 bcrypt-5.0.0 pygments-2.19.1 \
        /usr/share/cargo/registry /usr/share/gocode stdlib

Goal: the same counts and no differing file, but where docs/from-ast-grep.md
says why.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

import yaml

ROOT = Path(__file__).resolve().parents[1]
RULES = ROOT / "examples" / "rules" / "rules"
SG_RULES = Path(__file__).resolve().parent / "sg_rules"
EXTENSIONS = {
    "python": (".py",), "javascript": (".js",), "java": (".java",), "rust": (".rs",), "go": (".go",), "c": (".c",),
}  # fmt: skip


def copy_sources(dirs: list[Path], exts: tuple[str, ...], dest: Path) -> int:
    """Copies the files with these extensions into dest, flattened to unique names; their count."""
    n = 0
    for d in dirs:
        for p in sorted(d.rglob("*")):
            if p.suffix in exts and p.is_file() and not p.is_symlink():
                try:
                    p.read_text(encoding="utf-8")
                except (UnicodeDecodeError, OSError):
                    continue
                shutil.copyfile(p, dest / f"{n:05d}_{p.name}")
                n += 1
    return n


def starts(lines: list[dict[str, object]], file_key: str, base: int) -> set[tuple[object, ...]]:
    out: set[tuple[object, ...]] = set()
    for d in lines:
        r = d["range"]["start"]  # type: ignore[index]
        out.add((Path(str(d[file_key])).name, r["line"] + base, r["column"] + base))
    return out


def compare(rule: Path, dirs: list[Path], sg: str) -> None:
    language = str(next(yaml.safe_load_all(rule.read_text()))["language"]).lower()
    theirs_rule = SG_RULES / rule.name if (SG_RULES / rule.name).exists() else rule
    with tempfile.TemporaryDirectory() as tmp:
        ours, theirs = Path(tmp, "ours"), Path(tmp, "theirs")
        ours.mkdir()
        n = copy_sources(dirs, EXTENSIONS[language], ours)
        shutil.copytree(ours, theirs)
        run = subprocess.run
        k = run(
            [sys.executable, "-m", "kovel", "scan", "--json", "-r", rule, "."],
            cwd=ours,
            capture_output=True,
            text=True,
        )
        s = run(
            [sg, "scan", "--json=stream", "-r", theirs_rule, "."], cwd=theirs, capture_output=True, text=True
        )
        # ast-grep counts lines and columns from 0, kovel from 1
        ks = starts([json.loads(x) for x in k.stdout.splitlines()], "path", 0)
        ss = starts([json.loads(x) for x in s.stdout.splitlines()], "file", 1)
        run([sys.executable, "-m", "kovel", "scan", "--fix", "-r", rule, "."], cwd=ours, capture_output=True)
        run([sg, "scan", "-U", "-r", theirs_rule, "."], cwd=theirs, capture_output=True)
        differ = [p.name for p in sorted(ours.iterdir()) if p.read_bytes() != (theirs / p.name).read_bytes()]
    counts = (len(ks), len(ss))
    if theirs_rule != rule:  # a rule of its own may report another node of the same place: count per file
        ks, ss = set(Counter(f for f, _, _ in ks).items()), set(Counter(f for f, _, _ in ss).items())
    lines = (len(rule.read_text().splitlines()), len(theirs_rule.read_text().splitlines()))
    print(
        f"{rule.stem:16} yaml {lines[0]:2}/{lines[1]:2}  {language:10} files {n:5}  kovel {counts[0]:5}  "
        f"ast-grep {counts[1]:5}  only kovel {len(ks - ss):3}  only ast-grep {len(ss - ks):3}  fixed differ {len(differ)}"
    )
    for where in sorted(ks ^ ss)[:5]:
        print(f"    {'kovel' if where in ks else 'ast-grep'} only: {where}")
    for name in differ[:5]:
        print(f"    fixed text differs: {name}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dirs", nargs="+", type=Path)
    ap.add_argument("--rule", action="append", help="rule file names (default: all)")
    args = ap.parse_args()
    sg = shutil.which("ast-grep")  # not "sg": Debian has a login tool of that name
    if sg is None:
        sys.exit("ast-grep is not installed")
    for rule in sorted(RULES.glob("*.yml")):
        if args.rule is None or rule.stem in args.rule or rule.name in args.rule:
            compare(rule, args.dirs, sg)


if __name__ == "__main__":
    main()
