import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "kovel",
    deadline=None,
    max_examples=int(os.environ.get("KOVEL_HYPOTHESIS_EXAMPLES", "150")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kovel")

LEAF_XY = bytes.fromhex("020178000100000179")  # the leaf with tag "x" and code "y"
# A Tuple "t" with one child (the leaf x/y) but two HOLEs: it encodes, it cannot render.
UNBALANCED = b"\x02\x01t\x01" + LEAF_XY + b"\x02\x01\x01"
Str = type("Str", (str,), {})


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
