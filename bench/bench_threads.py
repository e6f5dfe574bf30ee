#!/usr/bin/env python3
"""Rendering, encoding and decoding in parallel threads, which they do without the interpreter lock.

    python3 bench/bench_threads.py [--size large] [--repeats 5]
    python3 bench/bench_threads.py --smoke     # small terms, one repeat

Part 1: one thread does the work for two terms (one after the other), then two
threads do it at once, one term each. Speed-up = one thread's wall time / two
threads' wall time: near 2 on two free cores. Part 2: a thread running a
pure-Python loop, alone and while the main thread renders, in loop steps per
second: with the lock held for a whole render, the loop would stop meanwhile.
Times are the best wall-clock time over the repeats (parallelism is about
wall time; the best run is the one least disturbed by other work on a shared
machine), next to the CPU time the process used in that run: on a machine
busy with other work, two threads get less than two cores and the speed-up
shrinks with it.
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kovel import from_postcard_bytes  # noqa: E402
from workload import KOVEL, SIZES, emitter, plan  # noqa: E402


def cpu():
    t = os.times()
    return t.user + t.system


def wall(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def timed(fn):
    """(wall time, process CPU time) of `fn()`."""
    c = cpu()
    w = fn()
    return w, cpu() - c


def in_threads(jobs):
    """Runs each job in its own thread, all released at once; the wall time until all are done."""
    gate = threading.Barrier(len(jobs) + 1)

    def run(job):
        gate.wait()
        job()

    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    gate.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def speedups(terms, repeats, rounds):
    """Per operation: the best (wall, CPU) times of one thread and of two threads, `rounds` passes over each term."""
    data = [t.postcard_bytes() for t in terms]
    ops = {
        "render": [lambda t=t: str(t) for t in terms],
        "encode": [lambda t=t: t.postcard_bytes() for t in terms],
        "decode": [lambda d=d: from_postcard_bytes(d) for d in data],
    }
    out = {}
    for name, jobs in ops.items():
        passes = [lambda job=job: [job() for _ in range(rounds)] for job in jobs]
        one, two = [], []
        for _ in range(repeats):  # interleaved, so a busy spell hurts both alike
            one.append(timed(lambda ps=passes: wall(lambda: [p() for p in ps])))
            two.append(timed(lambda ps=passes: in_threads(ps)))
        out[name] = min(one), min(two)
    return out


def loop_rate(seconds, during=None):
    """Steps per second of a pure-Python loop thread, over `seconds` or while `during()` runs."""
    steps, stop = [0], threading.Event()

    def loop():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                steps[0] = n

    t = threading.Thread(target=loop)
    t.start()
    time.sleep(0.02)
    first, start = steps[0], time.perf_counter()
    if during:
        during()
    else:
        time.sleep(seconds)
    last, elapsed = steps[0], time.perf_counter() - start
    stop.set()
    t.join()
    return (last - first) / elapsed, elapsed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", default="large", choices=SIZES)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument(
        "--smoke", action="store_true", help="small terms, one repeat: keeps the benchmark working"
    )
    a = ap.parse_args()
    size, repeats = ("small", 1) if a.smoke else (a.size, a.repeats)
    rounds = 1 if a.smoke else 2
    terms = [emitter(KOVEL)(plan(size, seed=seed)) for seed in (1, 2)]
    texts = [str(t) for t in terms]
    assert all(
        from_postcard_bytes(t.postcard_bytes()).coparse() == s for t, s in zip(terms, texts, strict=True)
    )

    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}; two '{size}' terms of")
    print(
        f"{len(texts[0]) / 1e6:.1f} and {len(texts[1]) / 1e6:.1f} MB of text, {rounds} passes each, best of {repeats}"
    )
    print(f"{'':8} {'1 thread (CPU)':>18} {'2 threads (CPU)':>18} {'speed-up':>9}")
    for name, ((one, one_cpu), (two, two_cpu)) in speedups(terms, repeats, rounds).items():
        print(
            f"{name:8} {one * 1e3:7.1f}ms ({one_cpu * 1e3:5.0f}ms) {two * 1e3:7.1f}ms ({two_cpu * 1e3:5.0f}ms) {one / two:8.2f}x"
        )

    alone, _ = loop_rate(0.3)
    busy, took = loop_rate(0, during=lambda: [str(terms[k % 2]) for k in range(2 * rounds)])
    print(f"Python loop thread: {alone / 1e6:.2f} M steps/s alone, {busy / 1e6:.2f} M steps/s "
          f"while the main thread renders for {took * 1e3:.0f} ms ({busy / alone:.0%})")  # fmt: skip


if __name__ == "__main__":
    main()
