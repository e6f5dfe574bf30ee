"""``kovel rewrite --interactive``: show each change and ask whether to make it.

Like ``git add -p``, one key answers: ``y`` makes the change, ``n`` leaves
it, ``a`` makes it and the rest of the file's, ``q`` leaves it and every
change after it (the changes already accepted are still written).  The
accepted changes are spliced into the file's bytes (``apply_changes``), so
the text outside them stays byte for byte as it was.
"""

from __future__ import annotations

import os
import sys
import termios
import tty
from collections.abc import Callable, Iterator

from kovel.batch.results import Change, RewrittenFile
from kovel.cli.output import cut, diff_name

__all__ = ["Review", "hunk", "read_key"]

HELP = """\
y - make this change
n - leave this one as it is
a - make this change and all the later ones in this file
q - quit; leave this change and all the later ones
? - print this help"""

#: Lines shown before and after a change.
CONTEXT = 3


def hunk(path: str, data: bytes, c: Change, max_columns: int) -> Iterator[str]:
    """The lines showing change ``c`` to ``data`` as a diff hunk, with a few lines around it.

    >>> from kovel.batch import Span
    >>> change = Change(Span(6, 14, 2, 1, 2, 9, "print(x)"), "log(x)")
    >>> print("\\n".join(hunk("a.py", b"x = 1\\nprint(x)\\n", change, 0)))
    @@ -1,2 +1,2 @@
     x = 1
    -print(x)
    +log(x)
    """
    start, end = c.old.start, c.old.end
    first = data.rfind(b"\n", 0, start) + 1
    last = data.find(b"\n", max(start, end - 1))  # the line feed ending the change's last line
    if last < 0:
        last = len(data)

    def lines(b: bytes) -> list[str]:
        return [x[:-1] if x.endswith("\r") else x for x in b.decode("utf-8", "replace").split("\n")]

    old = lines(data[first:last])
    new = lines(data[first:start] + c.new.encode() + data[end:last])
    before = lines(data[: first - 1])[-CONTEXT:] if first else []
    rest = data[last + 1 :]
    after = lines(rest[:-1] if rest.endswith(b"\n") else rest)[:CONTEXT] if rest else []
    at = c.old.column - 1  # the first line is cut around the change

    def count(n: int) -> str:
        return "" if n == 1 else f",{n}"

    top = c.old.line - len(before)
    yield (
        f"@@ -{top}{count(len(before) + len(old) + len(after))} "
        f"+{top}{count(len(before) + len(new) + len(after))} @@"
    )
    for x in before:
        yield " " + cut(x, 0, max_columns)
    for sign, side in (("-", old), ("+", new)):
        for k, x in enumerate(side):
            yield sign + cut(x, at if k == 0 else 0, max_columns)
    for x in after:
        yield " " + cut(x, 0, max_columns)


def read_key() -> str:
    """One key from the terminal on standard input, without waiting for Enter."""
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    try:
        tty.setcbreak(fd)
        key = os.read(fd, 1)
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)
    return key.decode("ascii", "replace") if key else "q"  # end of input: quit


class Review:
    """Asks about each change of each file; remembers whether the user quit.

    ``ask`` reads one answer (default ``read_key``), ``write`` shows text
    (written as given: the prompt has no line feed).
    """

    def __init__(
        self,
        write: Callable[[str], None],
        ask: Callable[[], str] = read_key,
        max_columns: int = 0,
    ) -> None:
        self.write = write
        self.ask = ask
        self.max_columns = max_columns
        self.quit = False

    def file(self, r: RewrittenFile, data: bytes) -> list[Change]:
        """The changes of ``r`` that the user accepts (``data``: the file's bytes)."""
        accepted: list[Change] = []
        total = len(r.changes)
        self.write(f"--- {diff_name('a/', r.path)}\n+++ {diff_name('b/', r.path)}\n")
        for i, c in enumerate(r.changes):
            self.write("\n".join(hunk(r.path, data, c, self.max_columns)) + "\n")
            while True:
                self.write(f"({i + 1}/{total}) Make this change [y,n,a,q,?]? ")
                key = self.ask()
                self.write(key.strip() + "\n")
                if key in ("y", "n", "a", "q"):
                    break
                self.write(HELP + "\n")
            if key == "y":
                accepted.append(c)
            elif key == "a":
                return accepted + list(r.changes[i:])
            elif key == "q":
                self.quit = True
                return accepted
        return accepted
