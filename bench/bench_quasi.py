#!/usr/bin/env python3
"""Templates and patterns (kovel.quasi) against Jinja2, libcst and ast-grep-py.

Three workloads, the first two side by side in one process, best of a few runs each:

* fill: generate N functions from one compiled template (kovel: fill and
  render the term; Jinja2: render a text template; libcst:
  ``parse_template_statement`` with the same values, then render).
  Goals: kovel at least as fast as Jinja2 and 10x faster than libcst.
* rewrite: ``print($$$A)`` -> ``log($$$A)`` over a sample of the standard
  library, already parsed (kovel: terms from kovel.treesitter, find, rewrite
  and render; ast-grep-py: ``find_all`` + ``replace`` + ``commit_edits`` on its
  own parsed roots).  The two match sets are compared (line and text).
  Goal: kovel faster than ast-grep-py, with the same matches.
* hostile: inputs that make a backtracking matcher blow up, at growing
  sizes, with the time of each size over the previous one: six runs in a
  row over N arguments, a run before a missing item over N commas, six runs
  with repeated names, and ``f($X)`` in ``f(f(...f(a)...))`` nested N deep
  (match_all alone, find_all with every path, rewrite); N replacements
  whose shape differs from their matches' (each checked where it lands),
  and N runs of two statements in one parent rewritten.  Goal: time about
  proportional to N x N for the runs, to N for the commas, the nesting and
  the rewrites (but find_all, whose paths alone hold N x N steps).

    python3 bench/bench_quasi.py            # 10,000 functions, 60 stdlib files
    python3 bench/bench_quasi.py --smoke    # a tiny run
"""

from __future__ import annotations

import argparse
import os
import sysconfig
import time
from collections.abc import Callable
from typing import Any

from kovel import name
from kovel.quasi import pattern, template
from kovel.treesitter import parse

BODY = "    total = {init}\n    for item in {it}:\n        total += item * {init}\n    return total\n"
KOVEL_T = "def $NAME($$$ARGS):\n" + BODY.format(init="$INIT", it="$ITER")
JINJA_T = "def {{ name }}({{ args|join(', ') }}):\n" + BODY.format(init="{{ init }}", it="{{ it }}")
CST_T = "def {name}({args}):\n" + BODY.format(init="{init}", it="{it}")


def best(fn: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def bench_fill(n: int, repeat: int) -> list[tuple[str, float]]:
    t = template("python", KOVEL_T)
    a, b = name("a"), name("b")

    def kovel() -> None:
        for i in range(n):
            str(t.fill(NAME=name(f"f{i}"), ARGS=[a, b], INIT=i, ITER=a))

    rows = [("kovel fill + render", best(kovel, repeat))]
    try:
        import jinja2

        jt = jinja2.Environment(keep_trailing_newline=True).from_string(JINJA_T)

        def jinja() -> None:
            for i in range(n):
                jt.render(name=f"f{i}", args=["a", "b"], init=i, it="a")

        rows.append(("jinja2 render", best(jinja, repeat)))
    except ImportError:
        pass
    try:
        import libcst as cst
        from libcst.helpers import parse_template_statement

        m = max(1, n // 20)  # libcst is slow: time a twentieth and scale

        def libcst() -> None:
            for i in range(m):
                params = cst.Parameters([cst.Param(cst.Name("a")), cst.Param(cst.Name("b"))])
                stmt = parse_template_statement(
                    CST_T, name=cst.Name(f"f{i}"), args=params, init=cst.Integer(str(i)), it=cst.Name("a")
                )
                cst.Module([stmt]).code  # noqa: B018

        rows.append(("libcst parse_template_statement", best(libcst, repeat) * n / m))
    except ImportError:
        pass
    check = str(t.fill(NAME=name("f0"), ARGS=[a, b], INIT=0, ITER=a))
    assert check == "def f0(a, b):\n" + BODY.format(init="0", it="a"), check
    return rows


def stdlib_sample(count: int) -> list[str]:
    root = sysconfig.get_paths()["stdlib"]
    files = sorted(f for f in os.listdir(root) if f.endswith(".py"))
    out = []
    for f in files:
        try:
            with open(os.path.join(root, f), encoding="utf-8") as fh:
                out.append(fh.read())
        except (UnicodeDecodeError, OSError):
            continue
        if len(out) == count:
            break
    return out


def bench_rewrite(count: int, repeat: int) -> tuple[list[tuple[str, float]], str]:
    sources = stdlib_sample(count)
    terms = [parse("python", s) for s in sources]
    p = pattern("python", "print($$$A)")
    repl = template("python", "log($$$A)")

    def kovel() -> list[str]:
        return [str(p.rewrite(t, repl)) for t in terms]

    def kovel_find() -> None:
        for t in terms:
            for _ in p.find_all(t):
                pass

    rows = [
        ("kovel find_all", best(kovel_find, repeat)),
        ("kovel find + rewrite + render", best(kovel, repeat)),
    ]
    ours = set()
    for s, t in zip(sources, terms, strict=True):
        for m in p.find_all(t):
            ours.add((s[: m.span[0]].count("\n"), str(m.term)))
    note = "ast-grep-py not installed"
    try:
        from ast_grep_py import SgRoot

        roots = [SgRoot(s, "python").root() for s in sources]

        def sg_find() -> None:
            for r in roots:
                r.find_all(pattern="print($$$A)")

        def sg() -> list[str]:
            out = []
            for r in roots:
                edits = []
                src = r.text()
                for n in r.find_all(pattern="print($$$A)"):
                    args = n.get_multiple_matches("A")
                    inner = src[args[0].range().start.index : args[-1].range().end.index] if args else ""
                    edits.append(n.replace(f"log({inner})"))
                out.append(r.commit_edits(edits))
            return out

        rows.append(("ast-grep-py find_all", best(sg_find, repeat)))
        rows.append(("ast-grep-py find + replace + commit_edits", best(sg, repeat)))
        theirs = set()
        for r in roots:
            for n in r.find_all(pattern="print($$$A)"):
                theirs.add((n.range().start.line, n.text()))
        only_ours, only_theirs = ours - theirs, theirs - ours
        note = f"matches: kovel {len(ours)}, ast-grep {len(theirs)}, only kovel {len(only_ours)}, only ast-grep {len(only_theirs)}"
        for x in sorted(only_ours)[:3]:
            note += f"\n  only kovel: line {x[0] + 1}: {x[1][:60]!r}"
        for x in sorted(only_theirs)[:3]:
            note += f"\n  only ast-grep: line {x[0] + 1}: {x[1][:60]!r}"
    except ImportError:
        pass
    return rows, note


def bench_hostile(sizes: dict[str, list[int]], repeat: int) -> None:
    from kovel import _native

    def args(n: int) -> str:
        return "f(" + ", ".join(["0"] * n) + ")\n"

    def nested(n: int) -> str:
        return "x = " + "f(" * n + "a" + ")" * n + "\n"

    deep = pattern("python", "f($X)")
    cases: list[tuple[str, str, Callable[[int], str], str, Callable[[Any, Any], object]]] = [
        (
            "runs",
            "python",
            args,
            "f($$$A, $$$B, $$$C, $$$D, $$$E, $$$F, 1)",
            lambda p, t: list(p.find_all(t)),
        ),
        (
            "commas",
            "javascript",
            lambda n: "x = [" + "," * n + "];\n",
            "[$$$A, y]",
            lambda p, t: list(p.find_all(t)),
        ),
        (
            "repeated",
            "python",
            args,
            "f($$$A, $$$B, $$$C, $$$A, $$$B, $$$C, 1)",
            lambda p, t: list(p.find_all(t)),
        ),
        (
            "nested match_all",
            "python",
            nested,
            "f($X)",
            lambda p, t: len(_native.match_all(p._program, t, False)),
        ),
        ("nested find_all", "python", nested, "f($X)", lambda p, t: sum(1 for _ in p.find_all(t))),
        ("nested rewrite", "python", nested, "f($X)", lambda p, t: p.rewrite(t, lambda m: m.term)),
        (
            "reshaped",
            "python",
            lambda n: "".join(f"x{i} = g({i}) * 2\n" for i in range(n)),
            "g($A)",
            lambda p, t: p.rewrite(t, reshaped),
        ),
        (
            "statements",
            "python",
            lambda n: "".join(f"a = {i}\nb = 2\n" for i in range(n)),
            "a = $X\nb = 2",
            lambda p, t: p.rewrite(t, statements),
        ),
    ]
    reshaped = template("python", "$A + 1")  # each checked where it lands
    statements = template("python", "a = $X + 1\nb = 3")
    print("\nhostile input: seconds per size (x: over the previous size)")
    for label, lang, source, code, run in cases:
        p = deep if code == "f($X)" else pattern(lang, code)
        row, prev = [], None
        for n in sizes[label.split()[0]]:
            t = parse(lang, source(n))
            sec = best(lambda: run(p, t), repeat)  # noqa: B023 - called at once
            row.append(f"N={n:,}: {sec:.4f}" + (f" (x{sec / prev:.1f})" if prev else ""))
            prev = sec
        shown = code.replace("\n", "\\n")
        print(f"  {label:<18} {shown:<42} " + "   ".join(row))


def table(title: str, rows: list[tuple[str, float]], unit: str) -> None:
    print(f"\n{title}")
    base = rows[0][1]
    for label, sec in rows:
        print(f"  {label:<44} {sec * 1e3:10.1f} ms   {sec / base:6.2f}x kovel {unit}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--smoke", action="store_true", help="a tiny run")
    ap.add_argument("--functions", type=int, default=10_000)
    ap.add_argument("--files", type=int, default=60)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument(
        "--depths", type=int, nargs="+", default=[10_000, 30_000, 100_000], help="hostile nesting"
    )
    args = ap.parse_args()
    hostile = {
        "runs": [100, 200, 400],
        "commas": [2_000, 4_000, 8_000],
        "repeated": [20, 40, 80],
        "nested": args.depths,
        "reshaped": [1_000, 4_000, 16_000],
        "statements": [1_000, 4_000, 16_000],
    }
    if args.smoke:
        args.functions, args.files, args.repeat = 200, 3, 1
        hostile = {
            "runs": [50, 100],
            "commas": [500, 1_000],
            "repeated": [10, 20],
            "nested": [500, 1_000],
            "reshaped": [500, 1_000],
            "statements": [500, 1_000],
        }
    table(f"fill: {args.functions} functions from one template", bench_fill(args.functions, args.repeat), "")
    rows, note = bench_rewrite(args.files, args.repeat)
    table(f"rewrite print($$$A) -> log($$$A) over {args.files} stdlib files", rows, "")
    print("  " + note)
    bench_hostile(hostile, args.repeat)


if __name__ == "__main__":
    main()
