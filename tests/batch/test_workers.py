"""The pools that run tasks under a time limit: the watchdog pool and the inline executor."""

import inspect
import os
import signal
import subprocess
import sys
import time

import pytest

from kovel.batch import find_source, rewrite_source
from kovel.batch.workers import (
    MOST_WORKERS_PER_CPU,
    InlineExecutor,
    WatchdogPool,
    executor_for,
    here_if_limited,
)


def _children():
    """The processes this one started, from /proc: `ps` cannot run under the sanitizers' preload.

    The scripts the tests start run it too (it needs only `os`)."""

    def parent(pid):
        try:
            with open(f"/proc/{pid}/stat") as s:
                return int(s.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            return -1

    return [int(p) for p in os.listdir("/proc") if p.isdigit() and parent(int(p)) == os.getpid()]


def run_script(folder, code):
    (folder / "script.py").write_text(code)
    return subprocess.run(
        [sys.executable, "script.py"], cwd=folder, capture_output=True, text=True, timeout=120
    )


def _sleep(s):
    time.sleep(s)
    return s


def _die():
    os.kill(os.getpid(), signal.SIGKILL)


def fails(future, kind, match=None):
    with pytest.raises(kind, match=match):
        future.result()


def test_watchdog_pool_fails_only_the_task_that_overran_or_died():
    # The limit leaves a loaded machine time to import this module in a worker.
    with WatchdogPool(2, timeout=6) as pool:
        futures = [pool.submit(_sleep, 60), pool.submit(_die), pool.submit(int, "x")]
        futures += [pool.submit(pow, 2, n) for n in range(8)]
        # Each task under its own limit: a shorter one, and a longer one than the pool's.
        short, long = pool.submit_limited(1, _sleep, 3), pool.submit_limited(30, _sleep, 7)
        fails(futures[0], TimeoutError, "no result after 6 s; worker killed")
        fails(futures[1], ChildProcessError, r"died \(exit code -9\b")
        fails(futures[2], ValueError, "invalid literal")
        assert [f.result() for f in futures[3:]] == [2**n for n in range(8)]
        fails(short, TimeoutError, "no result after 1 s; worker killed")
        assert long.result() == 7
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(pow, 2, 2)


def _swallow_errors(s):
    try:
        time.sleep(s)
    except Exception:
        return "went on"
    return s


@pytest.mark.parametrize("task", [_sleep, _swallow_errors])
def test_inline_executor_stops_an_overrunning_task(task):
    handler = signal.getsignal(signal.SIGALRM)
    inline = InlineExecutor(timeout=0.5)
    fails(inline.submit(task, 60), TimeoutError, r"no result after 0\.5 s; task stopped")
    # Nothing of the limit is left behind, and the next task runs in full.
    assert signal.getsignal(signal.SIGALRM) is handler
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    assert inline.submit(task, 0.2).result() == 0.2


def test_watchdog_pool_terminate_stops_running_tasks():
    pool = WatchdogPool(1)
    # The second task may wait in the worker's pipe, sent (as ProcessPoolExecutor
    # sends one more than it runs): then it fails rather than being cancelled.
    running, sent, queued = pool.submit(_sleep, 60), pool.submit(_sleep, 60), pool.submit(_sleep, 60)
    deadline = time.monotonic() + 30
    while not running.running() and time.monotonic() < deadline:  # the worker is starting
        time.sleep(0.05)
    started = time.monotonic()
    pool.terminate()
    assert time.monotonic() - started < 10
    assert queued.cancelled()
    assert sent.cancelled() or isinstance(sent.exception(), ChildProcessError)
    fails(running, ChildProcessError, "stopped before the task finished")


def test_watchdog_pool_never_runs_the_main_script_again(tmp_path):
    # Workers are fresh interpreters: a script without a main guard is run once,
    # and a function of its own cannot be sent (it says so, before any work).
    done = run_script(
        tmp_path,
        "import sys\n"
        "from kovel.batch.workers import WatchdogPool\n"
        "print('started', file=sys.stderr)\n"
        "def mine(x):\n"
        "    return x\n"
        "with WatchdogPool(2, timeout=60) as pool:\n"
        "    print(sum(pool.submit(pow, 2, n).result() for n in range(4)))\n"
        "    try:\n"
        "        pool.submit(mine, 1)\n"
        "    except TypeError as exc:\n"
        "        print(exc)\n",
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr.count("started") == 1
    lines = done.stdout.splitlines()
    assert lines[0] == "15" and "mine is defined in the main script" in lines[1]


@pytest.mark.parametrize(
    ("jobs", "task", "leave"),
    [
        (1, "time.sleep, 600", "sys.exit(0)"),  # stuck for good: killed as the parent exits
        # Idle, and a parent gone without a word: each worker (a fork of the
        # parent) sees its pipe end, as long as it does not hold the pipe open itself.
        (2, "pow, 2, 3", "os._exit(0)"),
    ],
)
def test_workers_do_not_outlive_their_parent(tmp_path, jobs, task, leave):
    done = run_script(
        tmp_path,
        "import os, sys, time\n"
        "from kovel.batch.workers import WatchdogPool\n"
        f"pool = WatchdogPool({jobs})\n"
        "pool.start()\n"
        f"started = [pool.submit({task}) for _ in range({jobs})]\n"
        "while not all(f.running() or f.done() for f in started):\n"
        "    time.sleep(0.05)\n"
        f"{inspect.getsource(_children)}print(*_children(), flush=True)\n{leave}\n",
    )
    workers = [int(pid) for pid in done.stdout.split()]
    assert done.returncode == 0 and len(workers) == jobs, done.stderr
    deadline = time.monotonic() + 10
    while any(_alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(_alive(pid) for pid in workers)


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_a_started_pool_brings_its_workers_up_before_any_task():
    before = set(_children())
    with WatchdogPool(2, timeout=30) as pool:
        pool.start()
        deadline = time.monotonic() + 60
        while len(set(_children()) - before) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert len(set(_children()) - before) == 2
        assert [f.result() for f in [pool.submit(pow, 2, n) for n in range(4)]] == [1, 2, 4, 8]
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.start()


def test_calls_sent_together_keep_their_own_limits_and_failures():
    # One task of six calls: the overrunning and the dying call fail alone, each
    # under its own limit, and the calls after them reach a new worker.
    with WatchdogPool(1, timeout=30) as pool:
        calls = [(30, pow, (2, 1)), (1, _sleep, (60,)), (30, pow, (2, 2)), (30, _die, ())]
        calls += [(30, int, ("x",)), (4, _sleep, (0.2,))]
        futures = pool.submit_many(calls)
        assert futures[0].result() == 2 and futures[2].result() == 4
        fails(futures[1], TimeoutError, "no result after 1 s; worker killed")
        fails(futures[3], ChildProcessError, r"died \(exit code -9\b")
        fails(futures[4], ValueError, "invalid literal")
        assert futures[5].result() == 0.2
        # A call that cannot be sent fails its own future only.
        bad, good = pool.submit_many([(30, len, (lambda: 0,)), (30, pow, (3, 2))])
        assert isinstance(bad.exception(), TypeError) and good.result() == 9


def test_tasks_queued_behind_a_running_one_keep_their_own_limits():
    # One worker: each task waits while the one before it runs; its limit counts
    # from its own start, and a worker killed or dead under the running task
    # hands the waiting one on to the next worker.
    with WatchdogPool(1, timeout=30) as pool:
        first = pool.submit_limited(30, _sleep, 1.5)
        waited = pool.submit_limited(1.2, _sleep, 0.3)  # waits 1.5 s, runs 0.3 s
        overran = pool.submit_limited(1, _sleep, 60)
        after_kill = pool.submit_limited(2, pow, 2, 5)
        died = pool.submit(_die)
        # The next worker is a fresh interpreter: loading this module counts against _sleep.
        after_death = pool.submit_many([(30, pow, (3, 2)), (30, _sleep, (0.1,))])
        assert (first.result(), waited.result(), after_kill.result()) == (1.5, 0.3, 32)
        assert [f.result() for f in after_death] == [9, 0.1]
        fails(overran, TimeoutError)
        fails(died, ChildProcessError)


def _loaded(name):
    return name in sys.modules


@pytest.mark.parametrize(
    ("preload", "loaded"),
    [((), False), (("colorsys",), True), (("kovel_no_such_module", "colorsys"), True)],
)
def test_workers_import_what_they_are_told_before_the_first_task(preload, loaded):
    # A module that cannot be imported is left to the task that needs it.
    with WatchdogPool(1, timeout=60, preload=preload) as pool:
        assert pool.submit(_loaded, "colorsys").result() is loaded


def test_shutdown_does_not_wait_for_workers_still_starting(tmp_path, monkeypatch):
    (tmp_path / "kovel_slow_start.py").write_text("import time\ntime.sleep(60)\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    pool = WatchdogPool(2, preload=["kovel_slow_start"])
    pool.start()
    time.sleep(0.5)  # the workers are importing
    started = time.monotonic()
    pool.shutdown()
    assert time.monotonic() - started < 3


def test_work_before_the_files_runs_where_its_limit_holds():
    # In a pool's worker when there is a pool, else in a worker kept for it: a
    # timer signal in this process would not stop a grammar stuck in its scanner.
    with WatchdogPool(1) as pool:
        assert here_if_limited(pool, 10) is pool
    inline = InlineExecutor()
    assert here_if_limited(inline, None) is inline
    kept = here_if_limited(inline, 1)
    fails(kept.submit(_sleep, 60), TimeoutError)
    assert kept.submit(os.getpid).result() != os.getpid()  # a new worker took over
    # A text searched with no executor given: the Perl grammar's scanner loops on "t#".
    for done in (
        find_source(b"t#", "perl", "$A", timeout=1),
        rewrite_source(b"t#", "perl", "$A", "x", timeout=1),
    ):
        assert "no result after 1 s" in done.error


def test_a_pool_starts_no_more_than_a_few_workers_a_cpu():
    pool = executor_for(100_000, 5.0)
    try:
        assert isinstance(pool, WatchdogPool) and pool.max_workers == MOST_WORKERS_PER_CPU * (
            os.cpu_count() or 1
        )
    finally:
        pool.shutdown()
