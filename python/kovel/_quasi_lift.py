"""Lifters: Python values to literal terms of a target language.

A lifter takes an ``int`` or a ``str`` and returns a term whose text, read
back by that language, is the same value.  ``register_lifter`` (in
``kovel.quasi``) adds languages; the table below holds the built-in ones.
"""

from __future__ import annotations

import json
from collections.abc import Callable

from kovel._kovel import KTerm, klift, klift_html, leaf, sym, tb

__all__ = ["LIFTERS", "Lifter", "lift_c", "lift_js", "lift_python"]

Lifter = Callable[[object], KTerm]

_INT64_MIN = -(2**63)
_UINT64_MAX = 2**64 - 1


def _int(value: object) -> int | None:
    # bool is an int; anything else (floats, bytes, None) has no literal here.
    return value if isinstance(value, int) else None


def _unsupported(lang: str, value: object) -> TypeError:
    return TypeError(f"the {lang} lifter takes int or str, not {type(value).__name__}")


def _string(tag: str, start_tag: str, content_tag: str, content: str, end_tag: str = '"') -> KTerm:
    # The shape of klift's strings: opening quote, content, closing quote.
    start = sym('"') if start_tag == '"' else leaf(start_tag, '"')
    end = sym('"') if end_tag == '"' else leaf(end_tag, '"')
    return tb(tag).c(start).c(leaf(content_tag, content)).c(end).b()


_PY_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def lift_python(value: object) -> KTerm:
    """A Python literal: ``klift``, with the string content escaped.

    ``klift`` puts a string's characters into the literal as they are, so a
    quote, a backslash or a line break would change the program; those (and
    other unprintable characters) are escaped here.
    """
    if isinstance(value, str):
        if value.isprintable() and '"' not in value and "\\" not in value:
            return klift(value)
        body = "".join(_PY_ESCAPES.get(ch) or (ch if ch.isprintable() else repr(ch)[1:-1]) for ch in value)
        return _string("string", "string_start", "string_content", body, "string_end")
    n = _int(value)
    if n is None:
        raise _unsupported("python", value)
    # klift reads a 64-bit integer; a bigger one is still a Python literal.
    return klift(n) if _INT64_MIN <= n < 2**63 else leaf("integer", str(int(n)))


def lift_js(value: object) -> KTerm:
    """A JavaScript (and JSON) literal: a double-quoted JSON string or a number."""
    if isinstance(value, str):
        # json.dumps escapes quotes, backslashes and control characters; the
        # line and paragraph separators are escaped too, for older engines.
        body = json.dumps(value, ensure_ascii=False)[1:-1]
        body = body.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")
        return _string("string", '"', "string_fragment", body)
    n = _int(value)
    if n is None:
        raise _unsupported("javascript", value)
    return leaf("number", str(int(n)))


def _c_escape(value: str) -> str:
    out: list[str] = []
    for byte in value.encode("utf-8"):
        ch = chr(byte)
        if ch in '\\"':
            out.append("\\" + ch)
        elif ch == "?":
            out.append("\\?")  # `??=` and friends are trigraphs in older C
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\t":
            out.append("\\t")
        elif 0x20 <= byte < 0x7F:
            out.append(ch)
        else:
            # Always three octal digits: an octal escape ends there, whatever
            # follows (a `\x` escape would swallow following hex digits).
            out.append(f"\\{byte:03o}")
    return "".join(out)


def lift_c(value: object) -> KTerm:
    """A C (and C++) literal: a string literal with escapes, or an integer."""
    if isinstance(value, str):
        return _string("string_literal", '"', "string_content", _c_escape(value))
    n = _int(value)
    if n is None or not _INT64_MIN <= n <= _UINT64_MAX:
        raise _unsupported("c", value)
    n = int(n)
    if n == _INT64_MIN:  # the literal 9223372036854775808 does not fit any signed type
        return leaf("parenthesized_expression", "(-9223372036854775807 - 1)")
    if n >= 2**63:
        return leaf("number_literal", f"{n}u")
    return leaf("number_literal", str(n))


def _lift_html(value: object) -> KTerm:
    return klift_html(value)  # type: ignore[arg-type]


LIFTERS: dict[str, Lifter] = {
    "python": lift_python,
    "html": _lift_html,
    "javascript": lift_js,
    "typescript": lift_js,
    "tsx": lift_js,
    "json": lift_js,
    "c": lift_c,
    "cpp": lift_c,
}
