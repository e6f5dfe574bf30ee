"""The regular expressions of rules, read as ast-grep reads them.

Rule files are written for Rust's ``regex`` crate; ``kovel.rules.rust_regex``
respells them for Python's ``re``.  A replacement's ``by`` takes
``$1``, ``$name``, ``${name}`` and ``$$`` (a ``$``), and an empty match right
after another match replaces nothing, as in Rust.
"""

from __future__ import annotations

import functools
import re

from kovel.rules.rust_regex import respelled

__all__ = ["compile_regex", "replace_all", "template_groups"]

_TEMPLATE = re.compile(r"\$\$|\$\{(\w+)\}|\$(\w+)")


@functools.lru_cache(maxsize=256)  # a transform compiles its expression at each match
def compile_regex(text: str) -> re.Pattern[str]:
    """``text``, a regular expression in Rust's spelling, compiled by ``re``;
    raises ``re.error`` as ``re.compile`` does.

    >>> compile_regex(r"(?<word>[a-z]+)\\z").fullmatch("abc").group("word")
    'abc'
    >>> compile_regex("a{4294967296}")
    Traceback (most recent call last):
    ...
    re.error: the repetition number is too large
    """
    try:
        return re.compile(respelled(text))
    except (OverflowError, RecursionError) as exc:  # a count too large, a nest too deep
        raise re.error(str(exc) or "the expression nests too deeply") from None


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
