"""Data and helpers shared by test modules (which never import each other)."""

import os
import shlex
import shutil
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from kovel import _kovel as K

LEAF_XY = bytes.fromhex("020178000100000179")  # the leaf with tag "x" and code "y"
# A Tuple "t" with one child (the leaf x/y) but two HOLEs: it encodes, it cannot render.
UNBALANCED = b"\x02\x01t\x01" + LEAF_XY + b"\x02\x01\x01"
Str = type("Str", (str,), {})


def big_term(n=60_000, tag="l"):
    """A term of `n` distinct leaves under one node: large enough that dropping it
    hands most of its nodes to the thread that frees large terms."""
    b = K.tb(tag)
    for i in range(n):
        b.c(K.leaf("n", str(i)))
    return b.b()


class Idx:
    """`__index__` returns `v`, or raises it if it is an exception."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


def as_nobody(fn, cwd, groups=()):
    """Run `fn()` in a forked child that is user nobody, group nogroup, in the `groups` (gids) too.

    Returns the child's exit status (what `fn` returns, or 99 if it raised)
    and all it printed.  Forked rather than started anew: an interpreter
    installed under root's home cannot be started by nobody, and the child
    has everything this process imported.  Needs root.
    """
    import grp
    import pwd
    import sys
    import traceback

    uid, gid = pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never returns
        status = 99
        try:
            os.close(r)
            sys.stdout = sys.stderr = os.fdopen(w, "w")
            os.setgroups(list(groups))
            os.setresgid(gid, gid, gid)
            os.setresuid(uid, uid, uid)
            os.chdir(cwd)
            status = fn() or 0
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            os._exit(status)
    os.close(w)
    with os.fdopen(r) as f:
        said = f.read()
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), said


PREFIX = "    "

# Minimal programs, each with one literal that spans lines, spliced under PREFIX
# by the layout tests of kovel.treesitter and of kovel.quasi's templates.
LITERAL_CASES = [
    # (language, source, literal kind, a code line after the literal)
    ("bash", "f() {\n  cat <<EOF\nhi\n  there $x\nEOF\n  echo x\n}\n", "heredoc_body", "  echo x"),
    ("perl", "sub f {\n  print <<EOF;\nhi\n  $x\nEOF\n  g();\n}\n", "heredoc_content", "  g();"),
    ("perl", "sub f {\n  print <<EOF;\nEOF\n  g();\n}\n", "heredoc_content", "  g();"),
    ("perl", "sub f {\n  my $s = qq{\n  a\n};\n  g();\n}\n", "interpolated_string_literal", "  g();"),
    ("php", "<?php\nfunction f() {\n  $a = <<<'EOT'\n  hi\nEOT;\n  g();\n}\n", "nowdoc", "  g();"),
    ("php", "<?php\nfunction f() {\n  $b = <<<EOT\n  x $y\nEOT;\n  g();\n}\n", "heredoc", "  g();"),
    ("tcl", 'proc f {} {\n  set a "x\n  y $z"\n  g\n}\n', "quoted_word", "  g"),
    ("tcl", "proc f {} {\n  set b {x\n  y}\n  g\n}\n", "braced_word_simple", "  g"),
    ("cmake", 'if(X)\n  set(A "x\n  ${B}\n")\n  g()\nendif()\n', "quoted_argument", "  g()"),
    ("fish", 'function f\n  echo "a\n  b"\n  g\nend\n', "double_quote_string", "  g"),
    ("scala", 'object O {\n  val s = s"""a\n  $b\n"""\n  g()\n}\n', "interpolated_string", "  g()"),
    ("hcl", "a = <<EOT\n  hi ${x}\nEOT\nb = 1\n", "heredoc_template", "b = 1"),
    ("make", "define X\n  a\nendef\nall: x\n", "raw_text", "all: x"),
    ("ruby", "x = 1\n=begin\n  x\n=end\ny = 2\n", "comment", "y = 2"),
    # regressions, and line feeds in tokens that are not literals: Python's
    # line_continuation, the "\n" token after C's #if
    ("python", 'def f():\n    s = f"""{\n  x\n}"""\n    return s + \\\n        s\n', "string", "        s"),
    ("c", '#if A\nint x;\n#endif\nchar *s = "a\\\n  b";\n/* a\n  b */\n', "string_literal", "int x;"),
    ("javascript", "function f() {\n  return `a\n  ${b}\n`;\n}\n", "template_string", "}"),
]


def package_modules():
    """Every module of the installed kovel package, by name: its source file (None for
    the native modules), found on disk so that a module no one imports is not missed."""
    import kovel

    root = Path(kovel.__file__).parent
    found = {"kovel._kovel": None, "kovel._native": None}
    for path in sorted(root.rglob("*.py")):
        parts = ["kovel", *path.relative_to(root).with_suffix("").parts]
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def has_errors(lang, text):
    """Whether tree-sitter's grammar for ``lang`` finds a syntax error in ``text``."""
    from kovel.treesitter.grammars import parser

    return parser(lang).parse(text.encode()).root_node.has_error


def write_files(root, files):
    """Write ``files`` (relative path: str or bytes) under ``root``; return ``root``."""
    for rel, text in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(text.encode() if isinstance(text, str) else text)
    return root


class Tmux:
    """A tmux server of its own, running one command in a terminal 160 x 50."""

    def __init__(self, cwd, argv):
        self.socket = f"kovel-test-{uuid.uuid4().hex[:8]}"
        shell = f"{shlex.join(argv)}; echo EXIT=$?; sleep 60"
        self.tmux("new-session", "-d", "-x", "160", "-y", "50", "-c", str(cwd), shell)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True, text=True, check=True)

    def screen(self):
        return self.tmux("capture-pane", "-p", "-S", "-200").stdout

    def wait_for(self, text, count=1, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            screen = self.screen()
            if screen.count(text) >= count:
                return screen
            time.sleep(0.1)
        raise AssertionError(f"{text!r} did not show; the screen:\n{self.screen()}")

    def key(self, k):
        self.tmux("send-keys", k)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


# A module the `kovel` command loads through KOVEL_TEST_HOOK: it acts on the
# file named HOOK_TARGET at one stage of its work, as HOOK_ACTION says.
HOOK = """\
import os, signal, sys, time
ACTION, TARGET = os.environ["HOOK_ACTION"], os.environ["HOOK_TARGET"]

def hook(stage, path):
    if os.path.basename(path) != TARGET:
        return
    if ACTION == "kill" and stage == "read":
        os.kill(os.getpid(), signal.SIGKILL)
    elif ACTION == "hang" and stage == "read" or ACTION == "hang-judge" and stage == "judge":
        time.sleep(120)
    elif ACTION == "slow" and stage == "read":
        time.sleep(1.5)
    elif ACTION == "slow" and stage == "write":
        time.sleep(0.5)
    elif ACTION == "edit" and stage == "write":
        with open(path, "a") as f:
            f.write("# edited meanwhile\\n")
    elif ACTION == "interrupt" and stage == "write":
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)
    elif ACTION.startswith("die:") and stage == "write":  # die:STEP[:named]
        from kovel.batch import safewrite
        _, step, *named = ACTION.split(":")
        if named:  # as on a file system without unnamed temporary files
            safewrite._O_TMPFILE = 0
        setattr(safewrite.os, step, lambda *a, **k: os.kill(os.getpid(), signal.SIGKILL))
"""


def hook_env(cwd, action, target):
    """The environment of a `kovel` run in ``cwd`` that loads HOOK (written beside ``cwd``)."""
    (Path(cwd).parent / "kovel_hook.py").write_text(HOOK)
    env = dict(os.environ, KOVEL_TEST_HOOK="kovel_hook:hook", HOOK_ACTION=action, HOOK_TARGET=target)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(Path(cwd).parent), env.get("PYTHONPATH")]))
    return env


def kovel(cwd, *args, hook=None, **kw):
    """Run ``python -m kovel ARGS`` in ``cwd``, its output as text; ``hook=(action, file)`` loads HOOK."""
    import sys

    if hook is not None:
        kw["env"] = hook_env(cwd, *hook)
    if "input" not in kw:
        kw.setdefault("stdin", subprocess.DEVNULL)
    kw = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, "timeout": 120, **kw}
    return subprocess.run([sys.executable, "-m", "kovel", *args], cwd=cwd, **kw)


def ast_grep():
    """ast-grep's command (not "sg": Debian has a login tool of that name), or None.

    pip puts it beside the interpreter."""
    import shutil
    import sys

    return shutil.which("ast-grep", path=str(Path(sys.executable).parent)) or shutil.which("ast-grep")


def scan_both(theirs, ours, their_rule, our_rule):
    """Scan the folder ``theirs`` with ast-grep and ``ours`` with kovel, then fix each so.

    Returns the matches of each, sorted, as (file name, line, column, text).
    """
    import json
    import sys

    def run(cwd, *args):
        return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=120).stdout.splitlines()

    def places(lines, name, base):
        start = [(d, d["range"]["start"]) for d in map(json.loads, lines)]
        return sorted((Path(d[name]).name, s["line"] + base, s["column"] + base, d["text"]) for d, s in start)

    sg, kovel = ast_grep(), (sys.executable, "-m", "kovel")
    found = (
        places(run(theirs, sg, "scan", "--json=stream", "-r", str(their_rule), "."), "file", 1),  # from 0
        places(run(ours, *kovel, "scan", "--json", "-r", str(our_rule), "."), "path", 0),
    )
    run(theirs, sg, "scan", "--update-all", "-r", str(their_rule), ".")
    run(ours, *kovel, "scan", "--fix", "-r", str(our_rule), ".")
    return found


ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")  # under AddressSanitizer


def rss():
    """This process's resident memory, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def in_threads(n, work):
    """Run ``work(k)`` for each k in range(n), each on a thread of its own; raise what any raised."""
    import threading

    errors = []

    def run(k):
        try:
            work(k)
        except BaseException as e:  # noqa: BLE001 - raised below, in the calling thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


# Running rewrites and programs (the quasi tests).
NODE = shutil.which("node") or shutil.which("nodejs")


def rewrite(lang, code, pat, tpl):
    """``code`` with each match of the pattern ``pat`` replaced by the template ``tpl``."""
    from kovel.quasi import pattern, template
    from kovel.treesitter import parse

    return str(pattern(lang, pat).rewrite(parse(lang, code), template(lang, tpl)))


def rewrite_leaving(lang, code, pat, tpl):
    """``code`` rewritten as ``rewrite`` does, with the matches left alone (and a note
    for each) where the code around would read a replacement otherwise."""
    from kovel._native import replace_all
    from kovel.quasi import pattern, template
    from kovel.quasi.match import replacements
    from kovel.treesitter import parse

    t, left = parse(lang, code), []
    paths, news, _ = replacements(pattern(lang, pat), t, template(lang, tpl), left_alone=left)
    return str(replace_all(t, paths, news)), left


def calls_taken_away(lang, code, g="$A"):
    """``code`` with `g(A)` written as the template ``g`` and `h(A, B)` as A - B, until none
    is left (a pass rewrites the outermost calls; those inside them go next)."""
    for _ in range(20):
        again = rewrite(lang, rewrite(lang, code, "g($A)", g), "h($A, $B)", "$A - $B")
        if again == code:
            break
        code = again
    return code


def run(*argv, **kw):
    """What ``argv`` prints; it must succeed. Not under the sanitizers a test run may
    preload for kovel (PHP's opcache refuses them)."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=300, env=env, **kw)
    assert done.returncode == 0, done.stdout[-1000:] + done.stderr[-2000:]
    return done.stdout


# How to run a program of each language: its file's suffix, the tools it needs,
# and the commands ({f}: the file, {d}: its directory) that print its output.
PROGRAMS = {
    "c": ("c", ["gcc"], ["gcc -w -o {d}/a {f}", "{d}/a"]),
    "cpp": ("cpp", ["g++"], ["g++ -w -o {d}/a {f}", "{d}/a"]),
    "java": ("java", ["javac", "java"], ["javac -d {d} {f}", "java -cp {d} A"]),
    "rust": ("rs", ["rustc"], ["rustc -o {d}/a {f}", "{d}/a"]),
    "c_sharp": ("cs", ["mcs", "mono"], ["mcs -out:{d}/a.exe {f}", "mono {d}/a.exe"]),
    "go": ("go", ["go"], ["go run {f}"]),
    "lua": ("lua", ["lua5.4"], ["lua5.4 {f}"]),
    "php": ("php", ["php"], ["php {f}"]),
    "ruby": ("rb", ["ruby"], ["ruby {f}"]),
    "python": ("py", [], ["{python} {f}"]),
    "javascript": ("js", ["node"], ["node {f}"]),
    "bash": ("sh", ["bash"], ["bash {f}"]),
}


def program_output(lang, source, tmp_path):
    """What the program ``source`` of ``lang`` prints, compiled and run by the
    language's own tools; the test is skipped where they are not installed."""
    suffix, tools, commands = PROGRAMS[lang]
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        pytest.skip(f"{' and '.join(missing)} not installed")
    f = tmp_path / f"prog.{suffix}"
    f.write_text(source, encoding="utf-8")
    out = ""
    for command in commands:
        argv = shlex.split(command.format(f=f, d=tmp_path, python=shlex.quote(sys.executable)))
        out = run(*argv, cwd=tmp_path)
    return out.strip()
