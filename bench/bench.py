#!/usr/bin/env python3
"""kovel against what a Python user would write instead, side by side.

    python3 bench/bench.py [--sizes small,medium,large] [--repeats N] [--json out.json]
    python3 bench/bench.py --smoke     # small size, 1 repeat, still checks the outputs

Peers: the same tree as nested tuples (workload.py) built by hand, rendered by
a plain Python renderer, shipped with marshal and pickle.  Times are medians
over the repeats of this thread's CPU time (on a shared machine wall time would
also count the time other processes hold the cores), with the cyclic GC off as
in timeit, and the contenders interleaved within each repeat.
Ratio = peer / kovel: above 1 means kovel is faster or smaller.
"""

import argparse
import ctypes
import gc
import json
import marshal
import os
import pickle
import statistics
import subprocess
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kovel  # noqa: E402
from workload import KOVEL, TUPLES, count_nodes, emitter, plan  # noqa: E402

clock = time.thread_time
# Goal per row key: minimum ratio (peer / kovel) and how it reads.
GOALS = {
    "render": (20.0, ">=20x faster"),
    "encode": (3.0, ">=3x faster"),
    "decode-pickle": (1.0, "faster"),
    "decode-marshal": (2.0, ">=2x faster"),
    "w": (0.5, "<=2x slower"),
    "memory": (4.0, ">=4x smaller"),
}


def render_tuple(root):
    """What a user would write: recursive walk, list of pieces, prefix stack, join."""
    out, pre = [], [""]  # pre[-1]: the pushed prefixes concatenated
    app = out.append

    def go(node):
        kids = iter(node[1])
        for c in node[2]:
            if c.__class__ is str:
                app(c)
            elif c is None:
                go(next(kids))
            elif c == 0:
                app("\n" + pre[-1])
            elif c == 1:
                if len(pre) > 1:
                    pre.pop()
            else:
                pre.append(pre[-1] + c[0])

    go(root)
    return "".join(out)


def timed(repeats, *fns):
    """Median seconds of each fn(); results are dropped outside the clock."""
    times = [[] for _ in fns]
    gc.disable()
    for _ in range(repeats):
        for fn, ts in zip(fns, times, strict=True):
            t0 = clock()
            r = fn()
            ts.append(clock() - t0)
            del r
    gc.enable()
    return [statistics.median(ts) for ts in times]


def per_call(bound, n):
    """Seconds per call of bound("ab") in a tight loop (bound=None: the empty loop)."""
    r = range(n)
    gc.disable()
    t0 = clock()
    if bound is None:
        for _ in r:
            pass
    else:
        for _ in r:
            bound("ab")
    dt = clock() - t0
    gc.enable()
    return dt / n


def mem_child(side, size):
    """Bytes a built term holds, and the process RSS growth as a cross-check.
    kovel: the C heap in use (glibc mallinfo2), since the nodes live outside
    Python's allocator; tuples: tracemalloc, in a second build."""
    p = plan(size)
    emit = emitter(KOVEL if side == "kovel" else TUPLES)
    info = getattr(ctypes.CDLL(None), "mallinfo2", None)  # glibc
    if info:
        info.restype = type(
            "M", (ctypes.Structure,), {"_fields_": [(f"f{i}", ctypes.c_size_t) for i in range(10)]}
        )

    def heap():  # kovel: hblkhd + uordblks, the bytes malloc has handed out (else RSS)
        if side == "kovel":
            return info().f4 + info().f7 if info else rss()
        return tracemalloc.get_traced_memory()[0]

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    gc.collect()
    r0, h0 = rss(), heap()
    t = emit(p)
    gc.collect()
    res = {"rss": rss() - r0, "bytes": heap() - h0}
    if side == "tuple":
        del t
        gc.collect()
        tracemalloc.start()
        h0 = heap()
        t = emit(p)
        res["bytes"] = heap() - h0
    print(json.dumps(res))


def child_memory(side, size):
    args = [sys.executable, os.path.abspath(__file__), "--mem-child", side, size]
    return json.loads(subprocess.run(args, capture_output=True, text=True, check=True).stdout)


def row(size, op, kovel, peer, peer_value, unit="s", goal=None, note=""):
    ratio = peer_value / kovel if kovel else float("inf")
    met = None if goal is None else ratio >= GOALS[goal][0]
    return dict(locals())  # the arguments, ratio and met


def bench_size(size, repeats):
    p = plan(size)
    K, T = emitter(KOVEL)(p), emitter(TUPLES)(p)
    tree, distinct = count_nodes(T)
    tag = f"{size} ({tree:,} nodes)"
    kb, tb_ = timed(repeats, lambda: emitter(KOVEL)(p), lambda: emitter(TUPLES)(p))
    rows = [row(tag, "build", kb, "tuples", tb_)]

    text = str(K)
    assert render_tuple(T) == text, "the pure-Python renderer and kovel disagree"
    blob = text.encode()
    kr, pr, cr = timed(repeats, lambda: str(K), lambda: render_tuple(T), lambda: bytearray(blob))
    mb = len(blob) / 1e6
    rows += [
        row(tag, "render", kr, "python renderer", pr, goal="render"),
        row(
            tag,
            "render",
            kr,
            "bytes copy",
            cr,
            note=f"{mb:.1f} MB: kovel {mb / kr:,.0f} MB/s, copy {mb / cr:,.0f} MB/s",
        ),
    ]

    pc, pm, pk = K.postcard_bytes(), marshal.dumps(T), pickle.dumps(T, pickle.HIGHEST_PROTOCOL)
    assert kovel.from_postcard_bytes(pc).postcard_bytes() == pc and marshal.loads(pm) == T == pickle.loads(pk)
    ke, me, pe = timed(
        repeats, K.postcard_bytes, lambda: marshal.dumps(T), lambda: pickle.dumps(T, pickle.HIGHEST_PROTOCOL)
    )
    kd, md, pd = timed(
        repeats, lambda: kovel.from_postcard_bytes(pc), lambda: marshal.loads(pm), lambda: pickle.loads(pk)
    )
    rows += [
        row(tag, "encode", ke, "marshal.dumps", me, goal="encode"),
        row(tag, "encode", ke, "pickle.dumps", pe),
        row(tag, "decode", kd, "marshal.loads", md, goal="decode-marshal"),
        row(tag, "decode", kd, "pickle.loads", pd, goal="decode-pickle"),
        row(tag, "encoded size", len(pc), "marshal", len(pm), "B", note=f"pickle {len(pk):,} B"),
    ]

    km, tm = child_memory("kovel", size), child_memory("tuple", size)
    note = (
        f"per distinct node ({distinct:,}); kovel: C heap in use (mallinfo2), tuples: tracemalloc; "
        f"cross-check, RSS growth/node: kovel {km['rss'] / distinct:.0f} B, tuples {tm['rss'] / distinct:.0f} B"
    )
    return rows + [
        row(tag, "memory/node", km["bytes"] / distinct, "tuples", tm["bytes"] / distinct, "B", "memory", note)
    ]


def bench_w(n, rounds):
    """Builder.w against list.append: one C-level call that appends, same loop."""
    res = [(per_call(kovel.tb("x").w, n), per_call([].append, n), per_call(None, n)) for _ in range(rounds)]
    kw, la, base = (statistics.median(v) for v in zip(*res, strict=True))
    note = f"net of the empty loop ({base * 1e9:.1f} ns): w {(kw - base) * 1e9:.1f} ns, append {(la - base) * 1e9:.1f} ns"
    return row(f"{n:,} calls", "Builder.w", kw, "list.append", la, goal="w", note=note)


def fmt(v, unit):
    if unit == "B":
        return f"{v:,.0f} B" if v >= 1000 else f"{v:.1f} B"
    return f"{v * 1e9:.1f} ns" if v < 1e-5 else f"{v * 1e3:.2f} ms"


def table(rows):
    head = ("size", "operation", "kovel", "peer", "peer value", "ratio", "goal", "met")
    lines = [head] + [
        (r["size"], r["op"], fmt(r["kovel"], r["unit"]), r["peer"], fmt(r["peer_value"], r["unit"]), f"{r['ratio']:.2f}x",
         GOALS[r["goal"]][1] if r["goal"] else "", {None: "", True: "yes", False: "NO"}[r["met"]])
        for r in rows
    ]  # fmt: skip
    widths = [max(len(line[i]) for line in lines) for i in range(len(head))]
    out = [" | ".join(x.ljust(w) for x, w in zip(line, widths, strict=True)).rstrip() for line in lines]
    out.insert(1, "-+-".join("-" * w for w in widths))
    return "\n".join(
        out
        + ["", "notes:"]
        + [f"  {r['size']} {r['op']} vs {r['peer']}: {r['note']}" for r in rows if r["note"]]
    )


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="small,medium,large")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--json", help="results file (default bench/results.json; none with --smoke)")
    ap.add_argument("--smoke", action="store_true", help="small size, 1 repeat: keeps the benchmark working")
    ap.add_argument("--mem-child", nargs=2, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.mem_child:
        return mem_child(*a.mem_child)
    if a.smoke:
        a.sizes, a.repeats = "small", 1
    sizes = a.sizes.split(",")
    w_calls = 100_000 if a.smoke else 1_000_000
    rows = [bench_w(w_calls, max(a.repeats, 3))]
    for s in sizes:
        rows += bench_size(s, a.repeats)
    print(f"kovel vs plain Python {sys.version.split()[0]}, median of {a.repeats}, ratio = peer/kovel\n")
    print(table(rows))
    last = [r for r in rows if r["met"] is not None and r["size"].split()[0] in (sizes[-1], f"{w_calls:,}")]
    verdicts = (f"{r['op']} vs {r['peer']} {'met' if r['met'] else 'NOT met'}" for r in last)
    print(f"\ngoals at {sizes[-1]}: " + ", ".join(verdicts))
    path = a.json or (None if a.smoke else os.path.join(os.path.dirname(__file__), "results.json"))
    if path:
        with open(path, "w") as f:
            json.dump({"python": sys.version, "repeats": a.repeats, "rows": rows}, f, indent=1)
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
