"""The regular expressions of rules, read as ast-grep reads them.

Rule files are written for Rust's ``regex`` crate; Python's ``re`` reads most of
them alike.  What Rust spells otherwise is respelled here: named groups
``(?<name>...)`` and the end of the text ``\\z``.  A replacement's ``by`` takes
``$1``, ``$name``, ``${name}`` and ``$$`` (a ``$``), and an empty match right
after another match replaces nothing, as in Rust.
"""

from __future__ import annotations

import functools
import re

__all__ = ["compile_regex", "replace_all", "template_groups"]

_TEMPLATE = re.compile(r"\$\$|\$\{(\w+)\}|\$(\w+)")


@functools.lru_cache(maxsize=256)  # a transform compiles its expression at each match
def compile_regex(text: str) -> re.Pattern[str]:
    """``text``, a regular expression in Rust's spelling, compiled by ``re``;
    raises ``re.error`` as ``re.compile`` does.

    >>> compile_regex(r"(?<word>[a-z]+)\\z").fullmatch("abc").group("word")
    'abc'
    """
    return re.compile(_respelled(text))


def _respelled(text: str) -> str:
    out: list[str] = []
    i, depth = 0, 0  # inside a character class while depth > 0, where nothing is respelled
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append("\\Z" if text[i + 1] == "z" and not depth else text[i : i + 2])
            i += 2
            continue
        if c == "[":
            depth += 1
        elif c == "]" and depth:
            depth -= 1
        elif not depth and re.match(r"\(\?<[A-Za-z_]", text[i : i + 4]):
            out.append("(?P<")
            i += 3
            continue
        out.append(c)
        i += 1
    return "".join(out)


def template_groups(by: str) -> list[str]:
    """The groups a replacement's ``by`` names, in order.

    >>> template_groups("$1-${name}$$x")
    ['1', 'name']
    """
    return [g.group(1) or g.group(2) for g in _TEMPLATE.finditer(by) if g.group(0) != "$$"]


def replace_all(pattern: re.Pattern[str], by: str, text: str) -> str:
    """``text`` with every match of ``pattern`` replaced by ``by`` (its groups
    filled in); groups that took no part give ``""``.

    >>> replace_all(compile_regex("a*"), "X", "baa"), replace_all(compile_regex("(?<d>[0-9])"), "<$d$1$$>", "a1")
    ('XbX', 'a<11$>')
    """

    def group(m: re.Match[str], name: str) -> str:
        try:
            return m.group(int(name) if name.isdigit() else name) or ""
        except IndexError:
            return ""  # as Rust: a group the expression lacks is empty

    def fill(m: re.Match[str]) -> str:
        return _TEMPLATE.sub(lambda g: "$" if g.group(0) == "$$" else group(m, g.group(1) or g.group(2)), by)

    out: list[str] = []
    last = 0
    ended = -1  # where the last match ended
    for m in pattern.finditer(text):
        if m.start() == m.end() == ended:
            continue  # Rust takes no empty match where the one before ended
        out += (text[last : m.start()], fill(m))
        last = ended = m.end()
    out.append(text[last:])
    return "".join(out)
