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
from collections.abc import Iterator, Sequence

from kovel.quasi.inplace import fix_misread
from kovel.quasi.parse import MisreadError

__all__ = ["BY_COLUMN", "layout_misread", "layouts_shifted"]

#: The languages whose blocks line up by column (YAML's block scalars, by
#: their parent's indentation).
BY_COLUMN = frozenset({"haskell", "purescript", "elm", "idris", "agda", "yaml"})

# A keyword that opens a block by layout (see ``_item`` for where its first item is).
_OPENER = re.compile(r"(?<![\w'.])(?:do|mdo|of|where|let|rec|\\case|\\cases)(?![\w'])")
# A comment to the end of its line: two dashes or more, not part of an operator (`-->`).
_LINE_COMMENT = re.compile(r"--+(?![!#$%&*+./<=>?@\\^|~:])")


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
        below = (lines, last + 1)  # the file's lines after the match's, unchanged
        # The blocks the line goes on to open, after the replacement: as they were.
        kept = _blocks(old, below, len(old) - 1, len(old[-1]) - len(tail))
        if kept != _blocks(new, below, len(new) - 1, len(new[-1]) - len(tail)):
            out.append(k)
            continue
        # The blocks the replacement writes: as the match wrote them, or with no line
        # between a block's first item and its opening line.
        was = dict(b for i in range(len(old)) for b in _blocks(old, below, i))
        for i in range(len(new)):
            upto = len(new[i]) - len(tail) if i == len(new) - 1 else len(new[i])
            for opener, stands in _blocks(new, below, i):
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
    lines: Sequence[str], below: tuple[Sequence[str], int], i: int, since: int = 0
) -> list[tuple[str, tuple[int, ...]]]:
    """For each block opened in the middle of ``lines[i]`` (from its character
    ``since`` on), the text from its keyword on, and how each line after it
    (of ``lines``, then of ``below``'s lines from its index on) stands to its
    first item (-1 before it, 0 at it, 1 past it), up to the first line that
    leaves the enclosing one; comments are no lines of it."""
    line = lines[i]
    home = _indent(line)
    out = []
    for m in _OPENER.finditer(line, since):
        item = _item(line, m.end())
        if item is None:
            continue
        stands: list[int] = []
        depth = 0  # of the block comments open at the start of a line
        for below_line in _after(lines, below, i):
            indent, depth = _first_token(below_line, depth)
            if indent is None:
                continue
            if indent <= home:
                break
            stands.append((indent > item) - (indent < item))
            if len(stands) >= _LOOK:
                break
        if stands:
            out.append((line[m.start() :], tuple(stands)))
    return out


def _after(lines: Sequence[str], below: tuple[Sequence[str], int], i: int) -> Iterator[str]:
    yield from (lines[k] for k in range(i + 1, len(lines)))
    rest, at = below
    yield from (rest[k] for k in range(at, len(rest)))


def _item(line: str, at: int) -> int | None:
    """The column of the first item of a block whose keyword ends at ``at``:
    past blanks and block comments (and pragmas) on its line; None where
    the line has none (the block goes on on the next line) or braces hold it."""
    first, _ = _scan(line, at, 0)
    return None if first is None or line[first] == "{" else _column(line, first)


def _first_token(line: str, depth: int) -> tuple[int | None, int]:
    """The column of the first token of ``line`` (None for a line of blanks or
    comments), and how many block comments are open at its end, ``depth``
    being open at its start."""
    first, depth = _scan(line, 0, depth)
    return (None if first is None else _column(line, first)), depth


def _scan(line: str, at: int, depth: int) -> tuple[int | None, int]:
    """Where the first character of code in ``line`` from ``at`` on stands (None
    for blanks and comments alone), and how many block comments (which nest)
    are open at the line's end, ``depth`` being open at ``at``."""
    first = None
    while at < len(line):
        if depth:
            opened, closed = line.find("{-", at), line.find("-}", at)
            if closed < 0:
                return first, depth + line.count("{-", at)
            depth, at = (depth + 1, opened + 2) if 0 <= opened < closed else (depth - 1, closed + 2)
        elif first is None and line[at] in " \t":
            at += 1
        elif line.startswith("{-", at):
            depth, at = 1, at + 2
        elif first is None and _LINE_COMMENT.match(line, at):
            break
        else:
            first = at if first is None else first
            opened = line.find("{-", at)
            if opened < 0:
                break
            depth, at = 1, opened + 2
    return first, depth


#: How many lines below a block's first item are compared: enough for its items.
_LOOK = 64
