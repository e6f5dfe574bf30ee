"""Transforms of captured text for a fix: ``replace``, ``substring`` and ``convert`` (case)."""

from __future__ import annotations

import re
from collections.abc import Mapping

from kovel.rules.regex import compile_regex, replace_all, template_groups
from kovel.rules.rule import Convert, Replace, Substring

__all__ = ["CASES", "SEPARATORS", "apply", "convert_case", "replace_error", "words"]

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

#: The separators ``separatedBy`` names, and the character each one is.
SEPARATORS = {"underscore": "_", "dash": "-", "space": " ", "dot": ".", "slash": "/", "caseChange": ""}


def words(text: str, separated_by: tuple[str, ...] | None = None) -> list[str]:
    """The words of an identifier, split where ``separated_by`` says (every one of
    ``SEPARATORS`` when it is None; nowhere when it is empty), as ast-grep splits them.

    A change of case splits before an uppercase letter that follows a lowercase
    one, and before the last of a run of uppercase letters that a lowercase
    one follows (``HTTPServer``: ``HTTP``, ``Server``).  A digit or any other
    character that has no case ends a run without a split of its own, so
    ``v2`` and ``utf8`` stay whole.  Separators are dropped; no word is empty.

    >>> words("parseHTTPResponse_v2"), words("utf8Encode"), words("_a_B", ("caseChange",)), words("a_B", ())
    (['parse', 'HTTP', 'Response', 'v2'], ['utf8', 'Encode'], ['_a_B'], ['a_B'])
    """
    names = tuple(SEPARATORS) if separated_by is None else separated_by
    unknown = [n for n in names if n not in SEPARATORS]
    if unknown:
        raise ValueError(f"unknown separator {unknown[0]!r}")
    seps = {SEPARATORS[n] for n in names} - {""}
    case_change = "caseChange" in names
    out: list[str] = []
    left = 0
    after = ""  # "lower" or "upper": the cased letter just before, if any
    upper = 0  # where the last uppercase letter of a run stands
    for i, c in enumerate(text):
        if c in seps:
            out.append(text[left:i])
            left, after = i + 1, ""
        elif not case_change:
            continue
        elif c.isupper():
            if after == "lower":
                out.append(text[left:i])
                left = i
            after, upper = "upper", i
        elif c.islower():
            if after == "upper" and upper > left:
                out.append(text[left:upper])
                left = upper
            after = "lower"
        else:
            after = ""
    out.append(text[left:])
    return [w for w in out if w]


def _capitalized(word: str) -> str:
    return word[:1].upper() + word[1:]


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
        return _capitalized(text)
    ws = words(text, separated_by)
    if case == "snake":
        return "_".join(w.lower() for w in ws)
    if case == "kebab":
        return "-".join(w.lower() for w in ws)
    # a word keeps the case of its other letters: HTTPServer stays HTTPServer
    if case == "pascal":
        return "".join(_capitalized(w) for w in ws)
    return "".join(w.lower() if i == 0 else _capitalized(w) for i, w in enumerate(ws))


def replace_error(t: Replace) -> str | None:
    """What is wrong with ``t``'s regular expression, or with a group its ``by``
    names that the expression lacks; None when nothing is.

    >>> replace_error(Replace("$N", "(a", "x")), replace_error(Replace("$N", "(?P<w>a)", "${w}-$2"))
    ('missing ), unterminated subpattern at position 0', 'no group 2 in the expression')
    """
    try:
        pattern = compile_regex(t.replace)
    except re.error as exc:
        return str(exc)
    for name in template_groups(t.by):
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
        return replace_all(compile_regex(t.replace), t.by, text)
    if isinstance(t, Substring):
        return text[t.start_char : t.end_char]
    assert isinstance(t, Convert)
    return convert_case(text, t.to_case, t.separated_by)
