"""Layout by column: where a block opened in the middle of a line (Haskell's
``x = do a`` then ``b`` under ``a``) lines its items up with its first one, a
replacement that moves that first item sideways, or the lines below it,
changes which line is an item, which goes on the one before, and which ends
the block.  Such a replacement is left alone.

The check reads the text alone: for each block a replaced line opens, how
each of its lines stands to the block's first item (before it, at it, past
it), before the rewrite and after.
"""

from __future__ import annotations

import re
from collections.abc import Sequence

from kovel.quasi.inplace import fix_misread
from kovel.quasi.parse import MisreadError

__all__ = ["BY_COLUMN", "layout_misread", "layouts_shifted"]

#: The languages whose blocks line up by column (YAML's block scalars, by
#: their parent's indentation).
BY_COLUMN = frozenset({"haskell", "purescript", "elm", "idris", "agda", "yaml"})

# A keyword that opens a block, followed on its line by the block's first item
# (not by `{`, which opens one that braces end, nor by a comment).
_OPENER = re.compile(r"(?<![\w'.])(?:do|mdo|of|where|let|rec|\\case|\\cases)(?![\w'])[ \t]*(?=[^\s{]|\{-)")


def layouts_shifted(
    lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]
) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` of ``text`` (code
    points, in order, apart) by ``bodies[k]`` changes how a block opened in the
    middle of a line lines up: one after the replacement on its last line, or
    one the replacement writes.

    >>> src = "main = f 0 + (do g\\n                 h) 5\\n"
    >>> layouts_shifted("haskell", src, [(7, 10)], ["ff 0"]), layouts_shifted("haskell", src, [(7, 10)], ["k 0"])
    ([0], [])
    """
    if lang == "yaml":
        return _indicators_moved(text, spans, bodies)
    if lang not in BY_COLUMN:
        return []
    lines = text.split("\n")
    starts = [0]
    for line in lines[:-1]:
        starts.append(starts[-1] + len(line) + 1)
    out = []
    for k, ((lo, hi), body) in enumerate(zip(spans, bodies, strict=True)):
        first, last = _line_of(starts, lo), _line_of(starts, hi)
        before = text[starts[first] : lo]
        tail = lines[last][hi - starts[last] :]
        if not any(_OPENER.search(x) for x in (before + body + tail).split("\n")):
            continue
        new = (before + body + tail).split("\n")
        old = lines[first : last + 1]
        after = lines[last + 1 :]
        # The blocks the line goes on to open, after the replacement: as they were.
        kept = _blocks(old, after, len(old) - 1, len(old[-1]) - len(tail))
        if kept != _blocks(new, after, len(new) - 1, len(new[-1]) - len(tail)):
            out.append(k)
            continue
        # The blocks the replacement writes: as the match wrote them, or with no line
        # between a block's first item and its opening line.
        was = dict(b for i in range(len(old)) for b in _blocks(old, after, i))
        for i in range(len(new)):
            upto = len(new[i]) - len(tail) if i == len(new) - 1 else len(new[i])
            for opener, stands in _blocks(new, after, i):
                if len(new[i]) - len(opener) < upto and (
                    was[opener] != stands if opener in was else -1 in stands
                ):
                    out.append(k)
                    break
            if out and out[-1] == k:
                break
    return out


# A YAML block scalar's header that says how far its lines are indented past
# its parent's (`|2`, `>1-`): moved sideways, its lines would mean other text.
_INDICATED = re.compile(r"(?:^|[\s:-])[|>](?:[1-9][+-]?|[+-][1-9])[ \t]*(?:#.*)?$", re.MULTILINE)


def _indicators_moved(text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]) -> list[int]:
    """The places whose replacement puts a line with a block scalar's explicit
    indentation at another indentation than the match had it at (its lines,
    the inside of a literal, do not move with it)."""
    out = []
    for k, ((lo, hi), body) in enumerate(zip(spans, bodies, strict=True)):
        if not _INDICATED.search(body):
            continue
        start = text.rfind("\n", 0, lo) + 1
        old = {line.strip(): _indent(line) for line in text[start:hi].split("\n") if _INDICATED.search(line)}
        new = (text[start:lo] + body).split("\n")
        if any(_INDICATED.search(line) and old.get(line.strip()) != _indent(line) for line in new):
            out.append(k)
    return out


def layout_misread(lang: str, text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``layouts_shifted`` finds."""
    if lang == "yaml":
        return fix_misread(
            text, span, "indent a block scalar's header, which says where its lines start, otherwise"
        )
    return fix_misread(text, span, "line up a block opened in the middle of a line otherwise")


def _line_of(starts: list[int], at: int) -> int:
    lo, hi = 0, len(starts) - 1
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if starts[mid] <= at:
            lo = mid
        else:
            hi = mid - 1
    return lo


def _column(line: str, at: int) -> int:
    return len(line[:at].expandtabs(8))


def _indent(line: str) -> int:
    return _column(line, len(line) - len(line.lstrip()))


def _blocks(
    lines: Sequence[str], after: Sequence[str], i: int, since: int = 0
) -> list[tuple[str, tuple[int, ...]]]:
    """For each block opened in the middle of ``lines[i]`` (from its character
    ``since`` on), the text from its keyword on, and how each line after it
    (of ``lines``, then ``after``) stands to its first item (-1 before it, 0 at
    it, 1 past it), up to the first line that leaves the enclosing one."""
    line = lines[i]
    rest = [*lines[i + 1 :], *after]
    home = _indent(line)
    out = []
    for m in _OPENER.finditer(line, since):
        item = _column(line, m.end())
        stands = []
        for below in rest:
            if not below.strip() or below.lstrip().startswith("--"):
                continue
            indent = _indent(below)
            if indent <= home:
                break
            stands.append((indent > item) - (indent < item))
            if len(stands) >= _LOOK:
                break
        if stands:
            out.append((line[m.start() :], tuple(stands)))
    return out


#: How many lines below a block's first item are compared: enough for its items.
_LOOK = 64
