"""What conditions cost: a pattern alone vs the same pattern with kind, inside, has and not.

Over a standard-library module; the goal is at most 2x the pattern alone.
Run: python3 bench/bench_rules.py   (--smoke: a few repetitions, for CI)
"""

import sys
import sysconfig
import time
from pathlib import Path

from kovel.rules import Rule, RuleConfig, matcher
from kovel.treesitter import parse

SRC = (Path(sysconfig.get_paths()["stdlib"]) / "typing.py").read_text()
TERM = parse("python", SRC)
RULES = {
    "pattern": Rule(pattern="isinstance($X, $T)"),
    "+inside": Rule(pattern="isinstance($X, $T)", inside=Rule(kind="if_statement", stop_by="end")),
    "+has": Rule(pattern="isinstance($X, $T)", has=Rule(kind="identifier", regex="^type$", stop_by="end")),
    "+not inside lambda": Rule(
        pattern="isinstance($X, $T)", not_=Rule(inside=Rule(kind="lambda", stop_by="end"))
    ),
    "+all three": Rule(
        pattern="isinstance($X, $T)",
        inside=Rule(kind="if_statement", stop_by="end"),
        has=Rule(kind="identifier", regex="^type$", stop_by="end"),
        not_=Rule(inside=Rule(kind="lambda", stop_by="end")),
    ),
    "kind+regex": Rule(kind="call", regex="^isinstance"),
}


def best(fn, n=2 if "--smoke" in sys.argv else 20):
    times = []
    for _ in range(n):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


base = None
for name, r in RULES.items():
    m = matcher(RuleConfig(name, "python", r))
    count = sum(1 for _ in m.find_all(TERM))
    t = best(lambda m=m: sum(1 for _ in m.find_all(TERM)))
    base = base or t
    print(f"{name:20} {count:5} matches {t * 1e3:8.2f} ms  {t / base:5.2f}x")
