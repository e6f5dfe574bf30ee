"""Workers forked from a single-threaded caller: what the caller had must not leak into them."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from kovel.treesitter import forked

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="workers are forked on Linux only")


def _run(body, tmp_path):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(body))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}  # buffers as users have them
    return subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120, env=env)


def test_a_forked_worker_repeats_none_of_the_callers_output_or_exit_work(tmp_path):
    # Buffered output, an atexit function and a SIGTERM handler belong to the caller only.
    done = _run(
        """
        import atexit, os, pathlib, signal, sys
        from kovel.batch.workers import WatchdogPool
        sys.stdout.write("buffered;")  # stdout is a pipe: not flushed yet
        atexit.register(lambda: print("bye;", end=""))
        signal.signal(signal.SIGTERM, lambda *_: print("term;", end=""))
        me = pathlib.Path("/proc/self/cmdline").read_bytes
        with WatchdogPool(2, timeout=60) as pool:
            pool.start()
            got = [pool.submit(me).result() for _ in range(4)]
            killed = pool.submit(signal.raise_signal, signal.SIGTERM).exception()
        print(all(g == me() for g in got), killed, end=";")
        """,
        tmp_path,
    )
    assert done.returncode == 0 and "buffered" not in done.stderr, done.stderr
    # A forked worker runs the caller's command line; SIGTERM kills it, as a fresh one.
    assert done.stdout.startswith("buffered;True the worker process died (exit code -15);bye;")


def test_no_fork_while_another_thread_runs():
    stop = threading.Event()
    (t := threading.Thread(target=stop.wait)).start()
    try:
        assert not forked.fork_safe()
    finally:
        stop.set()
        t.join()


@pytest.mark.parametrize("drops", [1, 20])
def test_a_fork_while_large_terms_are_freed_is_safe_and_leaves_a_working_child(tmp_path, drops):
    # In a fresh interpreter: this one may run threads of the other tests.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    done = _run(
        f"""
        import os, sys
        sys.path.insert(0, {root!r})
        from kovel import _native
        from kovel.treesitter import forked
        from tests.helpers import big_term
        for _ in range({drops}):  # 20: more than wait, so this thread frees some itself
            big_term(200_000)  # dropped at once, freed on kovel's own thread
        print(_native.own_threads(), len(os.listdir("/proc/self/task")), forked.fork_safe(), end=";")
        pid = os.fork()  # the child frees and builds terms of its own
        if pid == 0:
            code = 1
            try:
                for _ in range(3):
                    code = 0 if str(big_term(tag="c")) == "".join(map(str, range(60_000))) else 1
            finally:
                os._exit(code)
        print(forked.ForkedProcess(pid).wait(timeout=60), str(big_term(10)), end="")
        """,
        tmp_path,
    )
    assert (done.returncode, done.stdout) == (0, "1 2 True;0 0123456789"), done.stderr


@pytest.mark.parametrize("how", ["exit", "kill"])
def test_forked_process_reports_the_status_as_popen_does(how):
    if not forked.fork_safe():
        pytest.skip("another thread runs in this test process")
    pid = os.fork()
    if pid == 0:  # never back into the test runner
        try:
            if how != "exit":
                time.sleep(60)
        finally:
            os._exit(3)
    p = forked.ForkedProcess(pid)
    if how == "exit":
        assert p.wait(timeout=30) == 3 and p.poll() == 3
        return
    with pytest.raises(subprocess.TimeoutExpired):
        p.wait(timeout=0.05)
    assert p.poll() is None
    p.kill()
    assert p.wait() == -signal.SIGKILL
    p.kill()  # already waited for: nothing to do


def test_a_caller_that_cannot_fork_starts_its_workers_afresh(tmp_path):
    done = _run(
        """
        import os
        def refuse():
            raise OSError(12, "Cannot allocate memory")
        os.fork = refuse
        from kovel.batch.workers import WatchdogPool
        from kovel.treesitter import parse
        print(str(parse("python", "x = 1\\n", timeout=30)), end=";")
        with WatchdogPool(2, timeout=60) as pool:
            pool.start()
            print(sum(pool.submit(pow, 2, n).result() for n in range(4)), end=";")
        """,
        tmp_path,
    )
    assert (done.returncode, done.stdout) == (0, "x = 1\n;15;"), done.stderr
