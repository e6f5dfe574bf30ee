"""Data and helpers shared by test modules (which never import each other)."""

import os
import shlex
import subprocess
import time
import uuid
from pathlib import Path

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
