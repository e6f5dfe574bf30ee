"""Transforms of captured text for a fix: ``replace``, ``substring`` and ``convert`` (case)."""

from __future__ import annotations

import re
from collections.abc import Mapping

from kovel.rules.rule import Convert, Replace, Substring

__all__ = ["CASES", "apply", "convert_case", "replace_error", "words"]

#: The case names ``convert`` takes, both spellings, to one name.
CASES = {
    "snakecase": "snake",
    "snake_case": "snake",
    "camelcase": "camel",
    "camel_case": "camel",
    "pascalcase": "pascal",
    "pascal_case": "pascal",
    "kebabcase": "kebab",
    "kebab_case": "kebab",
    "uppercase": "upper",
    "upper_case": "upper",
    "lowercase": "lower",
    "lower_case": "lower",
    "capitalize": "capitalize",
}

_GROUP = re.compile(r"\$\{?(\w+)\}?")
_BOUNDARY = re.compile(r"[A-Z]+(?=[A-Z][a-z])|[A-Z]?[a-z]+|[A-Z]+|[0-9]+")


def words(text: str, separated_by: tuple[str, ...] | None = None) -> list[str]:
    """The words of an identifier: split at ``_``, ``-``, spaces and case changes.

    >>> words("parseHTTPResponse_v2")
    ['parse', 'HTTP', 'Response', 'v', '2']
    """
    if separated_by is not None:
        pieces = [text]
        for sep in separated_by:
            sep = {"underscore": "_", "dash": "-", "space": " ", "dot": ".", "slash": "/"}.get(sep, sep)
            if sep == "caseChange":
                pieces = [w for p in pieces for w in _BOUNDARY.findall(p)]
            else:
                pieces = [w for p in pieces for w in p.split(sep)]
        return [p for p in pieces if p]
    return _BOUNDARY.findall(text)


def convert_case(text: str, to_case: str, separated_by: tuple[str, ...] | None = None) -> str:
    """``text`` in the case ``to_case`` names (``snakeCase`` or ``snake_case``, ...).

    >>> convert_case("fooBar", "snakeCase"), convert_case("foo_bar", "PascalCase"), convert_case("a_b", "kebab_case")
    ('foo_bar', 'FooBar', 'a-b')
    """
    case = CASES.get(to_case.lower())
    if case is None:
        raise ValueError(f"unknown case {to_case!r}")
    if case == "upper":
        return text.upper()
    if case == "lower":
        return text.lower()
    if case == "capitalize":
        return text[:1].upper() + text[1:]
    ws = words(text, separated_by)
    if case == "snake":
        return "_".join(w.lower() for w in ws)
    if case == "kebab":
        return "-".join(w.lower() for w in ws)
    caps = "".join(w[:1].upper() + w[1:].lower() for w in ws)
    return caps if case == "pascal" else caps[:1].lower() + caps[1:]


def replace_error(t: Replace) -> str | None:
    """What is wrong with ``t``'s regular expression, or with a group its ``by``
    names that the expression lacks; None when nothing is.

    >>> replace_error(Replace("$N", "(a", "x")), replace_error(Replace("$N", "(?P<w>a)", "${w}-$2"))
    ('missing ), unterminated subpattern at position 0', 'no group 2 in the expression')
    """
    try:
        pattern = re.compile(t.replace)
    except re.error as exc:
        return str(exc)
    for g in _GROUP.finditer(t.by):
        name = g.group(1)
        if not (name.isdigit() and int(name) <= pattern.groups or name in pattern.groupindex):
            return f"no group {name} in the expression"
    return None


def apply(t: Replace | Substring | Convert, values: Mapping[str, str]) -> str:
    """The text ``t`` makes of the texts of the metavariables (``values``, keyed by name
    without ``$``); an unbound source gives ``""``.

    >>> apply(Replace("$N", "^get_", "fetch_"), {"N": "get_user"})
    'fetch_user'
    >>> apply(Substring("$S", 1, -1), {"S": "'abc'"})
    'abc'
    """
    text = values.get(t.source.lstrip("$"), "")
    if isinstance(t, Replace):
        # Rust's `$1` / `${name}` groups in `by`, in Python's spelling.
        by = _GROUP.sub(lambda g: "\\g<" + g.group(1) + ">", t.by.replace("\\", "\\\\"))
        return re.sub(t.replace, by, text)
    if isinstance(t, Substring):
        return text[t.start_char : t.end_char]
    assert isinstance(t, Convert)
    return convert_case(text, t.to_case, t.separated_by)
