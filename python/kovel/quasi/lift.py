"""Lifters: Python values to literal terms of a target language.

A lifter takes a value and returns a term whose text, read back by that
language, is the same value: ``True``, ``None``, an ``int``, a ``float`` or a
``str`` (and ``bytes`` where the language has a byte string).  A value the
language has no literal for raises ``TypeError``; an ``int`` outside the range
of the language's integers raises ``ValueError``.  ``register_lifter``
adds languages (``kovel.quasi`` exports it); ``LIFTERS`` holds the built-in ones.

Terms have the shape tree-sitter gives the same literal, so a caller can tell
what it holds: a negative number is ``unary_operator`` (Python) or
``unary_expression`` (JavaScript) around the sign and the number, as parsed
``-3`` is; JSON and C put the sign in the number token, as their grammars do.

``escape_in_literal`` is for a hole inside a literal that the code already
opens: it returns the text to write between the delimiters.
``is_identifier`` and ``is_attribute_name`` tell whether a string can stand
where the grammar wants a name; ``is_type_name`` and ``is_bound_name``, where
it uses a type and where a declaration binds the name.
"""

from __future__ import annotations

import keyword
import math
import re
import unicodedata
from collections.abc import Callable

from kovel._kovel import KTerm, klift_html, leaf, sym, tb

__all__ = [
    "LIFTERS",
    "Lifter",
    "escape_in_literal",
    "is_attribute_name",
    "is_bound_name",
    "is_identifier",
    "is_type_name",
    "lift_c",
    "lift_cpp",
    "lift_js",
    "lift_json",
    "lift_python",
    "register_lifter",
]

Lifter = Callable[[object], KTerm]

_INT64_MIN = -(2**63)
_UINT64_MAX = 2**64 - 1
# Up to this size every integer is exactly a JavaScript number.
_JS_SAFE = 2**53 - 1
_SURROGATE = re.compile("[\ud800-\udfff]")


def _type(value: object) -> str:
    return type(value).__name__


def _unsupported(lang: str, takes: str, value: object) -> TypeError:
    return TypeError(f"the {lang} lifter takes {takes}, not {_type(value)}")


def _signed(tag: str, magnitude: KTerm, negative: bool) -> KTerm:
    # A negative number as the grammar parses `-3`: the operator and the literal.
    return tb(tag).c(sym("-")).c(magnitude).b() if negative else magnitude


def _negative(x: float) -> bool:
    return math.copysign(1.0, x) < 0  # true for -0.0 too


def _finite(lang: str, value: float) -> float:
    x = float(value)
    if not math.isfinite(x):
        raise TypeError(f"{lang} has no literal for the float {x!r}")
    return x


def _string(tag: str, start: KTerm, content: str, end: KTerm, content_tag: str) -> KTerm:
    return tb(tag).c(start).c(leaf(content_tag, content)).c(end).b()


def _lone_surrogate(value: str) -> str | None:
    m = _SURROGATE.search(value)
    return None if m is None else f"U+{ord(m.group()):04X}"


# --- Python ---------------------------------------------------------------------------------

_PY_SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _py_char(ch: str) -> str:
    short = _PY_SHORT.get(ch)
    if short is not None:
        return short
    o = ord(ch)
    return f"\\x{o:02x}" if o < 0x100 else f"\\u{o:04x}" if o < 0x10000 else f"\\U{o:08x}"


def _py_escape(value: str, quote: str, braces: bool = False) -> str:
    # The backslash and every quote character (so no run of quotes closes a
    # triple-quoted literal), and anything unprintable (line breaks, NUL,
    # lone surrogates, U+2028) as an escape.
    if value.isprintable() and "\\" not in value and quote not in value and not braces:
        return value
    out: list[str] = []
    for ch in value:
        if ch == "\\" or ch == quote:
            out.append("\\" + ch)
        elif braces and ch in "{}":
            out.append(ch + ch)
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append(_py_char(ch))
    return "".join(out)


def _py_escape_bytes(value: bytes, quote: str) -> str:
    out: list[str] = []
    for b in value:
        ch = chr(b)
        if ch == "\\" or ch == quote:
            out.append("\\" + ch)
        elif 0x20 <= b < 0x7F:
            out.append(ch)
        else:
            out.append(_PY_SHORT.get(ch) or f"\\x{b:02x}")
    return "".join(out)


def _py_string(value: str, quote: str) -> KTerm:
    q = leaf("string_start", quote)
    return _string("string", q, _py_escape(value, quote), leaf("string_end", quote), "string_content")


def lift_python(value: object, quote: str = '"') -> KTerm:
    """A Python literal for ``value``: ``None``, a ``bool``, ``int``, ``float``, ``str`` or ``bytes``.

    Strings take ``quote`` (``'"'`` or ``"'"``) as their delimiter: inside a
    double-quoted f-string's replacement field, Python before 3.12 needs the
    other one (and no backslash, so a string that needs an escape cannot go
    there at all).  Escapes cover the backslash, the quote, line breaks and
    every unprintable character, lone surrogates included.  A float is its
    ``repr``, which reads back as the same float; infinities and NaN, which
    have no literal, are the call ``float("inf")`` (``"-inf"``, ``"nan"``).
    A negative number is a ``unary_operator`` around ``-`` and the literal.

    >>> [str(lift_python(v)) for v in (True, None, -3, 0.1, 'a"b\\n')]
    ['True', 'None', '-3', '0.1', '"a\\\\"b\\\\n"']
    >>> str(lift_python("it's", quote="'")), str(lift_python(float("-inf")))
    ("'it\\\\'s'", 'float("-inf")')
    """
    if quote not in ('"', "'"):
        raise ValueError(f"a Python string is quoted with \" or ', not {quote!r}")
    if value is None:
        return leaf("none", "None")
    if isinstance(value, bool):
        return leaf("true", "True") if value else leaf("false", "False")
    if isinstance(value, int):
        n = int(value)
        return _signed("unary_operator", leaf("integer", str(abs(n))), n < 0)
    if isinstance(value, float):
        x = float(value)
        if math.isfinite(x):
            return _signed("unary_operator", leaf("float", repr(abs(x))), _negative(x))
        name = "nan" if math.isnan(x) else "inf" if x > 0 else "-inf"
        args = tb("argument_list").c(sym("(")).c(_py_string(name, quote)).c(sym(")")).b()
        return tb("call").c(leaf("identifier", "float")).c(args).b()
    if isinstance(value, str):
        return _py_string(value, quote)
    if isinstance(value, bytes):
        start, end = leaf("string_start", "b" + quote), leaf("string_end", quote)
        return _string("string", start, _py_escape_bytes(value, quote), end, "string_content")
    raise _unsupported("python", "None, bool, int, float, str or bytes", value)


# --- JavaScript and JSON --------------------------------------------------------------------

_JS_SHORT = {"\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _u16(ch: str) -> str:
    o = ord(ch)
    if o < 0x10000:
        return f"\\u{o:04X}"
    o -= 0x10000
    return f"\\u{0xD800 + (o >> 10):04X}\\u{0xDC00 + (o & 0x3FF):04X}"


def _js_escape(value: str, quote: str) -> str:
    """The body of a JavaScript (or JSON) string literal delimited by ``quote``.

    Only ``\\uXXXX`` and the short escapes JSON also has are used, so a
    double-quoted body is valid JSON as well.  Lone surrogates are escaped (a
    JavaScript string holds UTF-16 code units).  A ``<`` that could start
    ``</script``, ``<script`` or ``<!--`` is escaped so the literal can sit
    in an HTML ``<script>``; in a template literal, so is a ``$`` that could
    start ``${``.
    """
    if value.isprintable() and not any(c in value for c in ("\\", quote, "<", "$")):
        return value
    out: list[str] = []
    last = len(value) - 1
    for i, ch in enumerate(value):
        after = value[i + 1] if i < last else ""
        if ch == quote:
            out.append("\\" + ch)
        elif ch in _JS_SHORT:
            out.append(_JS_SHORT[ch])
        # At the end of the value too: the literal's own text may go on with
        # `/script` or `{` after a hole.
        elif ch == "<" and (not after or after in "/!sS"):
            out.append("\\u003C")
        elif ch == "$" and quote == "`" and (not after or after == "{"):
            out.append("\\$")
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append(_u16(ch))
    return "".join(out)


def lift_js(value: object) -> KTerm:
    """A JavaScript (and TypeScript) literal: ``true``/``false``, ``null``, a number or a string.

    An ``int`` beyond ±(2**53 - 1), which a number would round, is a BigInt
    (``9007199254740993n``). A float is its shortest ``repr`` (read back
    exactly); the infinities and NaN are ``Infinity``, ``-Infinity`` and
    ``NaN``. A negative number is a ``unary_expression`` around ``-``.
    Strings are double-quoted; every Python ``str`` reads back as the same
    UTF-16 code units (a lone surrogate as its ``\\uD800`` escape; a high
    surrogate followed by a low one is the pair's character, as in
    JavaScript), and the literal cannot end an HTML ``<script>``.

    >>> [str(lift_js(v)) for v in (False, None, -2**64, 1e16, "</script>")]
    ['false', 'null', '-18446744073709551616n', '1e+16', '"\\\\u003C/script>"']
    """
    if value is None:
        return leaf("null", "null")
    if isinstance(value, bool):
        return leaf("true", "true") if value else leaf("false", "false")
    if isinstance(value, int):
        n = int(value)
        text = str(abs(n)) if abs(n) <= _JS_SAFE else f"{abs(n)}n"
        return _signed("unary_expression", leaf("number", text), n < 0)
    if isinstance(value, float):
        x = float(value)
        if math.isnan(x):
            return leaf("identifier", "NaN")
        mag = leaf("number", repr(abs(x))) if math.isfinite(x) else leaf("identifier", "Infinity")
        return _signed("unary_expression", mag, _negative(x))
    if isinstance(value, str):
        return _string("string", sym('"'), _js_escape(value, '"'), sym('"'), "string_fragment")
    raise _unsupported("javascript", "None, bool, int, float or str", value)


def lift_json(value: object) -> KTerm:
    """A JSON literal: ``true``/``false``, ``null``, a number or a string.

    Integers of any size (``json.loads`` reads them back exactly) and finite
    floats (their ``repr``); NaN and the infinities, which JSON lacks, raise
    ``TypeError``.  Strings are escaped as ``lift_js`` escapes them: only
    escapes JSON has, lone surrogates as ``\\udXXX``.

    >>> import json
    >>> [json.loads(str(lift_json(v))) for v in (True, None, -2**70, -0.5, "\\u2028\\ud800")]
    [True, None, -1180591620717411303424, -0.5, '\\u2028\\ud800']
    """
    if value is None:
        return leaf("null", "null")
    if isinstance(value, bool):
        return leaf("true", "true") if value else leaf("false", "false")
    if isinstance(value, int):
        return leaf("number", str(int(value)))
    if isinstance(value, float):
        return leaf("number", repr(_finite("JSON", value)))
    if isinstance(value, str):
        return _string("string", sym('"'), _js_escape(value, '"'), sym('"'), "string_content")
    raise _unsupported("json", "None, bool, int, float or str", value)


# --- C and C++ ------------------------------------------------------------------------------

_C_SHORT = {"\\": "\\\\", "?": "\\?", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _c_escape(value: bytes, quote: str) -> str:
    out: list[str] = []
    for byte in value:
        ch = chr(byte)
        if ch == quote:
            out.append("\\" + ch)
        elif ch in _C_SHORT:
            out.append(_C_SHORT[ch])  # `\?`: `??=` and friends are trigraphs in older C
        elif 0x20 <= byte < 0x7F:
            out.append(ch)
        else:
            # Always three octal digits: an octal escape ends there, whatever
            # follows (a `\x` escape would swallow following hex digits).
            out.append(f"\\{byte:03o}")
    return "".join(out)


def _c_escape_wide(value: str, quote: str) -> str:
    # Code points, for L, u and U literals.  A universal character name may
    # not name a character below U+00A0 (but $ @ `), so those are octal.
    out: list[str] = []
    for ch in value:
        o = ord(ch)
        if o < 0x80:
            out.append(_c_escape(bytes((o,)), quote))
        elif o < 0xA0:
            out.append(f"\\{o:03o}")
        else:
            out.append(f"\\u{o:04X}" if o < 0x10000 else f"\\U{o:08X}")
    return "".join(out)


def _c_bytes(value: str | bytes) -> bytes:
    if isinstance(value, bytes):
        return value
    where = _lone_surrogate(value)
    if where is not None:
        raise TypeError(f"a C string cannot hold the lone surrogate {where}: it has no UTF-8 encoding")
    return value.encode("utf-8")


def _c_int(n: int) -> KTerm:
    if not _INT64_MIN <= n <= _UINT64_MAX:
        raise ValueError(f"the integer {n} is out of range for C (64-bit: -2**63 to 2**64 - 1)")
    if n == _INT64_MIN:  # the literal 9223372036854775808 does not fit any signed type
        return leaf("parenthesized_expression", "(-9223372036854775807 - 1)")
    return leaf("number_literal", f"{n}u" if n >= 2**63 else str(n))


def _lift_c_family(lang: str, value: object) -> KTerm:
    cpp = lang == "c++"
    if value is None:
        if cpp:
            return tb("null").c(sym("nullptr")).b()
        raise TypeError("C has no literal for None (NULL needs <stddef.h>): pass a term")
    if isinstance(value, bool):
        if cpp:
            return leaf("true", "true") if value else leaf("false", "false")
        # `true` needs <stdbool.h> before C23; 1 and 0 are what it expands to.
        return leaf("number_literal", "1" if value else "0")
    if isinstance(value, int):
        return _c_int(int(value))
    if isinstance(value, float):
        return leaf("number_literal", repr(_finite(lang.upper(), value)))
    if isinstance(value, str | bytes):
        return _string(
            "string_literal", sym('"'), _c_escape(_c_bytes(value), '"'), sym('"'), "string_content"
        )
    raise _unsupported(
        lang.lower(),
        "None, bool, int, float, str or bytes" if cpp else "bool, int, float, str or bytes",
        value,
    )


def lift_c(value: object) -> KTerm:
    """A C literal: an integer, a double, or a string literal of UTF-8 bytes.

    Integers from -2**63 to 2**64 - 1 (``u`` past 2**63 - 1; others raise
    ``ValueError``); ``True``/``False`` are ``1``/``0``, which need no header
    in any C standard; a finite float is its ``repr``, read back as the same
    double (NaN and the infinities raise ``TypeError``).  A ``str`` is its
    UTF-8 bytes and ``bytes`` are themselves, with every byte outside
    printable ASCII as a three-digit octal escape; a lone surrogate, which
    has no UTF-8, raises ``TypeError``, as does ``None``.

    >>> [str(lift_c(v)) for v in (True, 2**64 - 1, -1.5, "é??=")]
    ['1', '18446744073709551615u', '-1.5', '"\\\\303\\\\251\\\\?\\\\?="']
    """
    return _lift_c_family("c", value)


def lift_cpp(value: object) -> KTerm:
    """A C++ literal: as ``lift_c``, but ``true``/``false``, and ``nullptr`` for ``None``.

    >>> [str(lift_cpp(v)) for v in (True, None, 7)]
    ['true', 'nullptr', '7']
    """
    return _lift_c_family("c++", value)


# --- Text inside a literal ------------------------------------------------------------------

_PY_OPENER = re.compile(r"""([A-Za-z]*)("{3}|'{3}|"|')\Z""")
_PY_PREFIXES = frozenset({"", "u", "r", "b", "br", "rb", "f", "fr", "rf", "t", "tr", "rt"})
_C_OPENER = re.compile(r"""(u8|u|U|L)?(["'])\Z""")
# A raw string's delimiter: up to 16 printable ASCII characters but space, parentheses and backslash.
_C_RAW_OPENER = re.compile(r"""(u8|u|U|L)?R"([!-'*-\[\]-~]{0,16})\(\Z""")
_HTML_TEXT = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})
# Line breaks and tabs as references: the value stays on one line, and HTML
# would read a CR as a line feed.
_HTML_ATTR = str.maketrans(
    {
        "&": "&amp;",
        "<": "&lt;",
        ">": "&gt;",
        '"': "&quot;",
        "'": "&#x27;",
        "\r": "&#13;",
        "\n": "&#10;",
        "\t": "&#9;",
    }
)


def _text(value: object, what: str) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, int) and not isinstance(value, bool):
        return str(int(value))
    raise TypeError(f"{what} takes a str or an int, not {_type(value)}")


def _bad_opener(lang: str, opener: str) -> ValueError:
    return ValueError(f"{opener!r} does not open a {lang} string literal")


def _escape_python(opener: str, value: object) -> str:
    m = _PY_OPENER.match(opener)
    prefix = m.group(1).lower() if m else "?"
    if m is None or prefix not in _PY_PREFIXES:
        raise _bad_opener("Python", opener)
    quote = m.group(2)
    raw, braces = "r" in prefix, "f" in prefix or "t" in prefix
    what = f"a Python {opener}…{quote} literal"
    if "b" in prefix:
        if isinstance(value, bytes):
            data = value
        else:
            text = _text(value, what)
            if not text.isascii():
                raise TypeError(f"{what} holds bytes: the str {text!r} is not ASCII (pass bytes)")
            data = text.encode("ascii")
        if not raw:
            return _py_escape_bytes(data, quote[0])
        if not data.isascii():
            raise TypeError(f"{what} is raw: it cannot hold the byte {max(data):#04x}")
        value = data.decode("ascii")
    text = _text(value, what)
    if not raw:
        return _py_escape(text, quote[0], braces)
    _check_python_raw(text, quote, what)
    return text.replace("{", "{{").replace("}", "}}") if braces else text


def _check_python_raw(text: str, quote: str, what: str) -> None:
    # Nothing can be escaped in a raw literal; a backslash only keeps the next
    # character from ending it (both stay in the value).
    triple = len(quote) == 3
    for ch in text:
        if not (ch.isprintable() or ch == "\t" or (ch == "\n" and triple)):
            raise TypeError(f"{what} is raw: it cannot hold {ch!r}")
    q = quote[0]
    run = 0  # quote characters in a row, not after a backslash
    i = 0
    while i < len(text):
        if text[i] == "\\":
            if i + 1 == len(text):
                raise TypeError(f"{what} is raw: the value cannot end with a backslash")
            i, run = i + 2, 0
            continue
        run = run + 1 if text[i] == q else 0
        if run and (not triple or run == 3 or i + 1 == len(text)):
            raise TypeError(f"{what} is raw: the {q} there would end it")
        i += 1


def _escape_js(opener: str, value: object) -> str:
    if opener in ('jsx"', "jsx'"):
        # A JSX attribute's string reads no backslash escapes, but HTML's character references.
        return _escape_html(opener[3:], value)
    if opener == "tagged`":
        # A tag may read the text as written (`String.raw`, a query's tag): an escape
        # would reach it as a backslash. Only text that needs none goes in.
        text = _text(value, "a tagged template")
        if _js_escape(text, "`") != text:
            raise TypeError(f"a tagged template reads its text as written: it cannot hold {text!r} unescaped")
        return text
    if opener == "regex?":
        raise TypeError(_NO_PLAIN_TEXT)
    if opener == "regex/":
        # (Nothing would leave `//`, a comment: the empty pattern is `(?:)`, as JavaScript writes it.)
        return (
            _regex_escape(_text(value, "a JavaScript regular expression"), "/", lambda c: f"\\u{ord(c):04x}")
            or "(?:)"
        )
    if opener not in ('"', "'", "`"):
        raise _bad_opener("JavaScript", opener)
    return _js_escape(_text(value, f"a JavaScript {opener}…{opener} literal"), opener)


def _regex_escape(text: str, closer: str, code: Callable[[str], str], special: str = "") -> str:
    """``text`` as a regular expression's pattern that matches it alone: each
    character the pattern reads otherwise (and ``closer``, and ``special``)
    escaped with a backslash, control characters as ``code`` writes them.
    (A character above U+FFFF goes in as it is: an escape of one would need
    a flag.)"""
    out = []
    for c in text:
        if c in _REGEX_SPECIAL or c in closer or c in special:
            out.append("\\" + c)
        elif c.isprintable() or ord(c) > 0xFFFF:
            out.append(c)
        else:
            out.append(code(c))
    return "".join(out)


_REGEX_SPECIAL = frozenset("\\^$.|?*+()[]{}/")
_NO_PLAIN_TEXT = (
    "a regular expression reads no plain text there (in a character class, or with its x or v flag):"
    " put the value where a character stands for itself"
)


def _escape_json(opener: str, value: object) -> str:
    if opener != '"':
        raise _bad_opener("JSON", opener)
    return _js_escape(_text(value, "a JSON string"), opener)


def _escape_c(opener: str, value: object) -> str:
    raw = _C_RAW_OPENER.match(opener)
    if raw is not None:
        return _escape_c_raw(opener, raw.group(2), value)
    m = _C_OPENER.match(opener)
    if m is None:
        raise _bad_opener("C", opener)
    prefix, quote = m.group(1) or "", m.group(2)
    what = f"a C {opener}…{quote} literal"
    if quote == '"':
        if prefix in ("", "u8"):
            return _c_escape(_c_bytes(value if isinstance(value, bytes) else _text(value, what)), quote)
        text = _text(value, what)
        where = _lone_surrogate(text)
        if where is not None:
            raise TypeError(f"{what} cannot hold the lone surrogate {where}")
        return _c_escape_wide(text, quote)
    text = _text(value, what)
    if len(text) != 1:
        raise TypeError(f"{what} holds one character, not {len(text)}")
    o = ord(text)
    limit = 0x80 if prefix in ("", "u8") else 0x10000 if prefix == "u" else 0x110000
    if o >= limit or 0xD800 <= o < 0xE000:
        raise TypeError(f"{what} cannot hold U+{o:04X}")
    return _c_escape_wide(text, quote)


def _escape_c_raw(opener: str, delimiter: str, value: object) -> str:
    what = f"a C++ raw literal {opener}…"
    text = _text(value, what)
    end = f'){delimiter}"'
    if end in text:
        raise TypeError(f"{what} cannot hold {end!r}, which would end it")
    for ch in text:
        # Line feeds and tabs stay as they are; a CR would not survive
        # line-end translation, and no other control character belongs in source.
        if not (ch.isprintable() or ch in "\n\t"):
            raise TypeError(f"{what} is raw: it cannot hold {ch!r}")
    return text


def _escape_html(opener: str, value: object) -> str:
    if opener not in ('"', "'", "", ">"):
        raise ValueError(
            f"{opener!r} is not an HTML opener: '\"' or \"'\" (a quoted attribute value), "
            "'' (an unquoted one) or '>' (text)"
        )
    what = "HTML text" if opener == ">" else "an HTML attribute value"
    text = _text(value, what)
    if "\0" in text:
        raise TypeError(f"{what} cannot hold NUL: HTML reads it, and its reference, as U+FFFD")
    where = _lone_surrogate(text)
    if where is not None:
        raise TypeError(f"{what} cannot hold the lone surrogate {where}")
    if opener == ">":
        return text.translate(_HTML_TEXT)
    escaped = text.translate(_HTML_ATTR)
    return f'"{escaped}"' if opener == "" else escaped


def _escape_bash(opener: str, value: object) -> str:
    text = _utf8_text(value, f"a bash {opener}…{opener[-1:]} string")
    if "\0" in text:
        raise TypeError("a bash string cannot hold a NUL")
    if opener == '"':  # expansions and escapes start with these four
        return re.sub(r'([\\"$`])', r"\\\1", text)
    if opener == "'":
        if "'" in text:
            raise TypeError("a bash '…' string cannot hold a '")
        return text
    if opener == "$'":
        out = re.sub(r"([\\'])", r"\\\1", text)
        return "".join(_C_LIKE.get(c) or (c if c.isprintable() or c == "\\" else _bash_code(c)) for c in out)
    raise _bad_opener("bash", opener)


def _utf8_text(value: object, what: str) -> str:
    """``_text`` for a literal whose value is UTF-8 bytes (bash's, Ruby's, PHP's), which
    no lone surrogate has: not even an escape writes one."""
    text = _text(value, what)
    where = _lone_surrogate(text)
    if where is not None:
        raise TypeError(f"{what} cannot hold the lone surrogate {where}: it has no UTF-8 encoding")
    return text


def _bash_code(c: str) -> str:
    return f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\U{ord(c):08x}"


def _escape_ruby(opener: str, value: object) -> str:
    if opener == "regex?":
        raise TypeError(_NO_PLAIN_TEXT)
    if opener == "regex/" or opener.startswith("regex%r"):
        # `#{` interpolates in a regular expression too.
        closer = "/" if opener == "regex/" else _CLOSERS.get(opener[-1], opener[-1])
        text = _utf8_text(value, "a Ruby regular expression")
        return _regex_escape(text, closer + opener[-1], lambda c: f"\\u{{{ord(c):x}}}", "#")
    # `#{`, `#@` and `#$` interpolate: their `#` is escaped, and a last one,
    # which the literal's own text may follow with `{`.
    return _escape_quoted("Ruby", opener, value, r'([\\"])|#(?=[{@$]|\Z)', lambda c: f"\\u{{{ord(c):x}}}")


#: The closing bracket of each opening one, as Ruby's `%r` literals pair them.
_CLOSERS = {"(": ")", "[": "]", "{": "}", "<": ">"}


def _escape_php(opener: str, value: object) -> str:
    # `$x` and `{$x}` interpolate: their `$` is escaped.
    return _escape_quoted("PHP", opener, value, r'([\\"$])', lambda c: f"\\u{{{ord(c):x}}}")


def _escape_quoted(lang: str, opener: str, value: object, special: str, code: Callable[[str], str]) -> str:
    """A value in a `'…'` literal (only `\\` and `'` escaped) or a `"…"` one (what
    ``special`` matches escaped with a backslash, control characters as escapes,
    the unprintable as ``code`` writes them)."""
    if opener == "'":
        return re.sub(r"([\\'])", r"\\\1", _utf8_text(value, f"a {lang} '…' string"))
    if opener != '"':
        raise _bad_opener(lang, opener)
    return _escape_quoted_as(lang, opener, value, special, code)


def _escape_go(opener: str, value: object) -> str:
    if opener == "`":  # a raw string: every character as it is, but its quote and CR (which Go drops)
        text = _utf8_text(value, "a Go `…` string")
        # (nor NUL, nor a byte order mark, which Go refuses anywhere in source but at its start)
        if any(c in text for c in "`\r\0\ufeff"):
            raise TypeError(f'a Go `…` string cannot hold {text!r}: write it in a "…" one')
        return text
    return _escape_backslashed(
        "Go", opener, value, lambda c: f"\\u{ord(c):04x}" if ord(c) < 0x10000 else f"\\U{ord(c):08x}"
    )


def _escape_rust(opener: str, value: object) -> str:
    raw = re.fullmatch(r"r(#*)\"", opener)
    if raw is not None:  # `r#"…"#`: every character as it is, but the quote and hashes that end it
        text = _utf8_text(value, f'a Rust {opener}…"{raw.group(1)} string')
        if '"' + raw.group(1) in text:
            raise TypeError(f'a Rust {opener}…"{raw.group(1)} string cannot hold {text!r}')
        return text
    return _escape_backslashed("Rust", opener, value, lambda c: f"\\u{{{ord(c):x}}}")


def _escape_java(opener: str, value: object) -> str:
    # (Java reads \u escapes before it reads the code: `\u000a` would end the line.)
    return _escape_backslashed("Java", opener, value, lambda c: f"\\{ord(c):03o}" if ord(c) < 0o400 else c)


def _escape_cs(opener: str, value: object) -> str:
    if opener == '@"':  # verbatim: a quote doubled, nothing else escaped
        return _utf8_text(value, 'a C# @"…" string').replace('"', '""')
    return _escape_backslashed(
        "C#", opener, value, lambda c: f"\\u{ord(c):04x}" if ord(c) < 0x10000 else f"\\U{ord(c):08x}"
    )


def _escape_backslashed(
    lang: str, opener: str, value: object, code: Callable[[str], str], special: str = '\\"'
) -> str:
    """A value in a `"…"` literal of a language that reads C's backslash escapes:
    the characters of ``special`` (the backslash and the quote) after a
    backslash, line breaks and tabs escaped by name, other characters that
    are not printable as ``code`` writes them."""
    if opener != '"':
        raise _bad_opener(lang, opener)
    text = _utf8_text(value, f'a {lang} "…" string')
    out = []
    for c in text:
        if c in special:
            out.append("\\" + c)
        elif c in _NAMED_ESCAPES:
            out.append(_NAMED_ESCAPES[c])
        elif c.isprintable():
            out.append(c)
        else:
            out.append(code(c))
    return "".join(out)


#: The escapes every language with C's backslash escapes names alike.
_NAMED_ESCAPES = {"\n": "\\n", "\t": "\\t", "\r": "\\r"}


#: Escapes of the control characters that bash's `$'…'`, Ruby's and PHP's "…" share.
_C_LIKE = {"\n": "\\n", "\t": "\\t", "\r": "\\r", "\x0b": "\\v", "\x0c": "\\f", "\x1b": "\\e"}


def _escape_lua(opener: str, value: object) -> str:
    if opener not in ('"', "'"):
        raise _bad_opener("Lua", opener)
    out = []
    for c in _utf8_text(value, f"a Lua {opener}…{opener} string"):
        if c in ("\\", opener):
            out.append("\\" + c)
        elif c in _NAMED_ESCAPES:
            out.append(_NAMED_ESCAPES[c])
        elif c.isprintable():
            out.append(c)
        else:  # (three digits: a digit after it is no part of it)
            out.append("".join(f"\\{b:03d}" for b in c.encode()))
    return "".join(out)


def _escape_yaml(opener: str, value: object) -> str:
    text = _text(value, f"a YAML {opener}…{opener} scalar")
    if opener == '"':
        return _js_escape(text, opener)  # JSON's escapes, which YAML's double quotes read alike
    if opener != "'":
        raise _bad_opener("YAML", opener)
    if not all(c.isprintable() for c in text):
        raise TypeError(f"a YAML '…' scalar cannot hold {text!r}: it folds line breaks and names no escapes")
    return text.replace("'", "''")


def _escape_elixir(opener: str, value: object) -> str:
    # `#{` interpolates: a `#` is escaped (and a last one, which the literal's text may follow with `{`).
    if opener not in ('"', "'"):
        raise _bad_opener("Elixir", opener)
    return _escape_quoted_as(
        "Elixir", opener, value, rf"([\\{opener}])|#(?=\{{|\Z)", lambda c: f"\\u{{{ord(c):x}}}"
    )


def _escape_kotlin(opener: str, value: object) -> str:
    if opener == '"""':  # a raw string: nothing is escaped there, and `$` interpolates
        return _plain_text("Kotlin", value)
    if opener != '"':
        raise _bad_opener("Kotlin", opener)
    # (`$` interpolates; Kotlin's strings are UTF-16, as Java's.)
    return _escape_backslashed("Kotlin", opener, value, _u16, '\\"$')


def _escape_swift(opener: str, value: object) -> str:
    # (`\(` interpolates: its backslash is escaped as every other.)
    return _escape_backslashed("Swift", opener, value, lambda c: f"\\u{{{ord(c):x}}}")


def _escape_quoted_as(lang: str, opener: str, value: object, special: str, code: Callable[[str], str]) -> str:
    """A value in a quoted literal whose quote is ``opener`` (either quote), what
    ``special`` matches escaped with a backslash, control characters as escapes."""
    text = _utf8_text(value, f"a {lang} {opener}…{opener} string")
    out = re.sub(special, lambda m: "\\" + m.group(0), text)
    return "".join(_C_LIKE.get(c) or (c if c.isprintable() or c == "\\" else code(c)) for c in out)


#: Text that every language's string literals hold as it is: no quote, no
#: escape, nothing that interpolates (`$`, `#{`, `@`, `[`, `{`) and ASCII alone
#: (Solidity's plain strings take no other).
_PLAIN = re.compile(r"[A-Za-z0-9 _.,:;!?()<>+*/=%&|^~-]*")


# An interpolation the literal's text opens and does not close (`${ `, `#{`, `\(`,
# `$(`): what follows is code there.
_OPEN_INTERPOLATION = re.compile(r"(?:\$\{|#\{|\\\(|\$\()[^})]*\Z")


def _plain_text(lang: str, value: object, before: str = "") -> str:
    """The text of a value in a literal of a language whose escapes are not
    known here: only text that needs none, after text that leaves none open."""
    text = _text(value, f"a {lang} string")
    if not _PLAIN.fullmatch(text):
        raise TypeError(
            f"no escapes are known for {lang}'s strings: {text!r} is more than ASCII letters,"
            " digits, spaces and operators, which its strings are sure to hold as they are"
        )
    if _OPEN_INTERPOLATION.search(before):
        raise TypeError(
            f"no escapes are known for {lang}'s strings: the value would stand in an interpolation, as code"
        )
    if text and before and not _PLAIN.fullmatch(before[-1]) and before[-1] not in "'\"":
        raise TypeError(
            f"no escapes are known for {lang}'s strings: {before[-1]!r} before the value may go on with it"
        )
    return text


_ESCAPERS: dict[str, Callable[[str, object], str]] = {
    "elixir": _escape_elixir,
    "kotlin": _escape_kotlin,
    "swift": _escape_swift,
    "lua": _escape_lua,
    "yaml": _escape_yaml,
    "python": _escape_python,
    "javascript": _escape_js,
    "typescript": _escape_js,
    "tsx": _escape_js,
    "json": _escape_json,
    "c": _escape_c,
    "cpp": _escape_c,
    "html": _escape_html,
    "bash": _escape_bash,
    "ruby": _escape_ruby,
    "php": _escape_php,
    "go": _escape_go,
    "rust": _escape_rust,
    "java": _escape_java,
    "c_sharp": _escape_cs,
    "csharp": _escape_cs,
}


def escape_in_literal(lang: str, opener: str, value: object, before: str = "") -> str:
    """The text to write inside a literal opened by ``opener`` so that it holds ``value``.

    ``opener`` is the opening delimiter as the code spells it, prefix
    included; the returned text goes between it and the closing delimiter,
    and the literal's value then contains exactly ``value``.  ``value`` is a
    ``str`` (an ``int`` stands for its decimal digits; a term never fits
    here).  ``TypeError`` when the value is something else or the literal
    cannot hold it; ``ValueError`` for an opener the language does not have.

    - ``python``: any prefix (``r``, ``b``, ``f``, ``t``, ``u`` and their
      combinations, either case) and quote (``"``, ``'``, ``\"\"\"``,
      ``'''``).  Backslashes, the quote character, line breaks and every
      unprintable character are escaped; f- and t-strings double ``{`` and
      ``}``.  Bytes literals take ``bytes`` or an ASCII ``str``.  Raw
      literals take the value as it is, and refuse what they cannot write:
      a quote that would end them, a trailing backslash, a line break in a
      single-quoted one, other unprintable characters.
    - ``javascript``/``typescript``/``tsx``: ``"``, ``'`` and the backtick
      (where ``${`` is escaped too); escaped as ``lift_js`` escapes strings.
      ``tagged` ``: a tagged template, whose tag may read the text as
      written: it takes only text that needs no escape.
      ``jsx"`` and ``jsx'``: a JSX attribute's string, which takes no
      backslash escapes, escaped as an HTML attribute value.
      ``regex/``: a regular expression's pattern, which then matches the
      text alone (each character the pattern reads otherwise escaped).
    - ``json``: ``"``.
    - ``c``/``cpp``: ``"``, ``'`` with the prefixes ``u8``, ``u``, ``U``,
      ``L``, and raw strings ``R"delim(`` (which refuse a value holding
      ``)delim"``).  Narrow and ``u8`` strings hold the UTF-8 bytes of a
      ``str`` (or ``bytes`` as they are); the others hold code points.  A
      character literal takes one character its type can hold.
    - ``bash``: ``"`` (``\\``, ``"``, ``$`` and the backtick escaped), ``'``
      (which refuses a ``'``) and ``$'``.
    - ``ruby`` and ``php``: ``"`` (what would interpolate escaped too:
      Ruby's ``#{``, PHP's ``$``) and ``'``; Ruby's regular expressions
      ``regex/`` and ``regex%r{`` (any bracket) as JavaScript's.
    - ``go``, ``rust``, ``java``, ``c_sharp``: ``"`` (backslash escapes);
      Go's raw ```` ` ````, Rust's raw ``r"`` and ``r#"``, C#'s ``@"``, which
      refuse what would end them.
    - ``elixir``: ``"`` and ``'`` (``#`` escaped before ``{``); ``kotlin``:
      ``"`` (``$`` escaped) and ``\"\"\"``, which takes only text that needs
      no escape; ``swift``: ``"``.
    - any other language: ``"``, which takes only text that needs no escape
      in any language's strings (ASCII letters, digits, spaces, operators).
    - ``html``: ``"`` or ``'`` for a quoted attribute value; ``""`` for an
      unquoted one, whose text comes back quoted (``"…"``) to replace it;
      ``>`` for text between tags (not inside ``<script>`` or ``<style>``,
      which no escape reaches).  NUL and lone surrogates are refused.

    ``before`` is the literal's text before the value, as the code writes it
    (the end of it suffices): a first character that would go on with an
    escape or an interpolation left open there (C's ``\\x1b`` then ``b``,
    Ruby's ``#`` then ``{``) is written as an escape of its own; ``TypeError``
    when ``before`` leaves an escape unfinished (``\\u12``), which the value
    would end. (A value's last character never opens one: a trailing ``#`` in
    Ruby is escaped, a trailing ``$`` in a template literal.)

    >>> escape_in_literal("c", '"', "bold", before="\\\\x1b")
    '\\\\142old'
    >>> escape_in_literal("python", 'f\"\"\"', 'a{b}"')
    'a{{b}}\\\\"'
    >>> escape_in_literal("javascript", "`", "${x}`")
    '\\\\${x}\\\\`'
    >>> escape_in_literal("html", "", "a&b")
    '"a&amp;b"'
    """
    escaper = _ESCAPERS.get(_lang_key(lang))
    if isinstance(value, KTerm):
        raise TypeError("a term cannot go inside a literal: pass its text as a str")
    if escaper is None:
        if opener != '"':
            raise ValueError(f"no string literals known for {lang!r} (known: {', '.join(sorted(_ESCAPERS))})")
        return _plain_text(lang, value, before)
    text = escaper(opener, value)
    first = _first_char(value)
    if not before or not text or first is None:
        return text
    return _kept_from(_lang_key(lang), opener, before, first, text)


def _first_char(value: object) -> str | None:
    if isinstance(value, bytes):
        return chr(value[0]) if value else None
    text = value if isinstance(value, str) else str(value)
    return text[:1] or None


def _kept_from(key: str, opener: str, before: str, first: str, text: str) -> str:
    """``text`` (a value escaped, starting with ``first``) with its first
    character written as an escape of its own where it would go on with an
    escape or interpolation that ``before`` leaves open."""
    raw = _RAW.get(key)
    if raw is not None and raw.match(opener):
        return text
    rules = _OPEN_AT_END.get((key, opener), _OPEN_AT_END.get((key, "*"), []))
    for pattern, goes_on in rules:
        if pattern.search(before) is None:
            continue
        if goes_on is None:
            raise TypeError(
                f"the literal's text {before[-8:]!r} before the value leaves an escape unfinished"
            )
        if not (first in goes_on or ("_" in goes_on and (first.isalpha() or ord(first) >= 0x80))):
            continue
        if not text.startswith(first):  # written as an escape already
            return text
        if opener == "tagged`":
            raise TypeError(
                f"a tagged template reads its text as written: {first!r} would join {before[-2:]!r}"
            )
        write = _ONE_CHAR.get(opener) or _ONE_CHAR[key]
        return write(first) + text[len(first) :]
    return text


def _open(pattern: str) -> re.Pattern[str]:
    # The escape (or `$`, `#`) at the end, not itself escaped by a backslash before it.
    return re.compile(r"(?<!\\)(?:\\\\)*" + pattern + r"\Z")


_Rule = tuple[re.Pattern[str], str | None]
_OCT, _DEC, _HEX = "01234567", "0123456789", "0123456789abcdefABCDEF"
_LONE: _Rule = (_open(r"\\"), None)  # a backslash that would escape the value's first character
_OCTAL = (_open(r"\\[0-7]{1,2}"), _OCT)
_UNFINISHED_X = (_open(r"\\x[0-9A-Fa-f]?"), None)
_UNFINISHED_U = (_open(r"\\(?:x|u[0-9A-Fa-f]{0,3}|U[0-9A-Fa-f]{0,7}|u\{[^}]*)"), None)
# A legacy octal escape in JavaScript goes on with any digit (a strict-mode error after `\0`).
_JS_RULES = [_LONE, (_open(r"\\[0-7]{1,2}"), _DEC), _UNFINISHED_X, _UNFINISHED_U]
_RUBY_RULES = [
    _LONE,
    _OCTAL,
    (_open(r"\\x[0-9A-Fa-f]"), _HEX),
    (_open(r"\\(?:c|C-|M-)"), None),
    _UNFINISHED_U,
]
_REGEX_RULES = [
    _LONE,
    (_open(r"\\[0-9]+"), _DEC),
    (_open(r"\\c"), None),
]  # a back-reference goes on with digits
_HTML_RULES: list[_Rule] = [
    (re.compile(r"&#?[0-9A-Za-z]*\Z"), _HEX + "ghijklmnopqrstuvwxyzGHIJKLMNOPQRSTUVWXYZ;#")
]
#: What a literal's text may leave open at its end, for each (language, opener) (``*``:
#: any other opener): a pattern of that end, and the characters that would go on with
#: it (None: it is unfinished, and the value would finish it).
_OPEN_AT_END: dict[tuple[str, str], list[_Rule]] = {
    # C's hex escapes take every hex digit after them, its octal ones up to three; `??/` is a trigraph.
    ("c", "*"): [
        _LONE,
        (_open(r"\\x[0-9A-Fa-f]+"), _HEX),
        _OCTAL,
        (re.compile(r"\?\?\Z"), "=/'()!<>-"),
        _UNFINISHED_U,
    ],
    # C#'s `\x` takes one to four hex digits.
    ("csharp", "*"): [_LONE, (_open(r"\\x[0-9A-Fa-f]{1,3}"), _HEX), _UNFINISHED_U],
    ("python", "*"): [_LONE, _OCTAL, _UNFINISHED_X, (_open(r"\\N\{[^}]*"), None), _UNFINISHED_U],
    ("java", "*"): [_LONE, _OCTAL, _UNFINISHED_U],
    ("go", "*"): [_LONE, (_open(r"\\[0-7]{1,2}"), None), _UNFINISHED_X, _UNFINISHED_U],
    ("rust", "*"): [_LONE, _UNFINISHED_X, _UNFINISHED_U],
    ("json", "*"): [_LONE, _UNFINISHED_U],
    ("javascript", "*"): _JS_RULES,
    ("javascript", "`"): [*_JS_RULES, (_open(r"\$"), "{")],
    ("javascript", "tagged`"): [*_JS_RULES, (_open(r"\$"), "{")],
    ("javascript", "regex/"): [*_REGEX_RULES, *_JS_RULES[2:]],
    ("javascript", 'jsx"'): _HTML_RULES,
    ("javascript", "jsx'"): _HTML_RULES,
    # Ruby's `#` interpolates before `{`, `@` and `$`; its `\x` takes one or two hex digits.
    ("ruby", '"'): [*_RUBY_RULES, (_open("#"), "{@$")],
    ("ruby", "*"): [*_REGEX_RULES, *_RUBY_RULES[2:], (_open("#"), "{@$")],
    ("ruby", "'"): [_LONE],
    # PHP's `$` interpolates before a name or `{`; its `\x` takes one or two hex digits.
    ("php", '"'): [
        _LONE,
        _OCTAL,
        (_open(r"\\x[0-9A-Fa-f]?"), _HEX),
        (_open(r"\\u\{[^}]*"), None),
        (_open(r"\$"), "_{"),
    ],
    ("php", "'"): [_LONE],
    # Elixir's `#` interpolates before `{`; its `\x` takes one or two hex digits.
    ("elixir", "*"): [_LONE, (_open(r"\\x[0-9A-Fa-f]?"), _HEX), _UNFINISHED_U, (_open("#"), "{")],
    # Kotlin's `$` interpolates before a name or `{`.
    ("kotlin", '"'): [_LONE, _UNFINISHED_U, (_open(r"\$"), "_{")],
    ("kotlin", '"""'): [(re.compile(r"\$\Z"), None)],  # (a raw string: no escape keeps a `$` text)
    ("swift", "*"): [_LONE, _UNFINISHED_U],
    # bash expands `$` before a name, a digit, a bracket or a special parameter.
    ("bash", '"'): [_LONE, (_open(r"\$"), _DEC + "_{([?!#@*-")],
    ("bash", "$'"): [
        _LONE,
        _OCTAL,
        (_open(r"\\(?:x[0-9A-Fa-f]?|u[0-9A-Fa-f]{0,3}|U[0-9A-Fa-f]{0,7})"), _HEX),
    ],
    # HTML's character references: `&#x1b` goes on with hex digits, `&no` with a name's.
    ("html", "*"): _HTML_RULES,
}
for _lang, _like in (
    ("cpp", "c"),
    ("c_sharp", "csharp"),
    ("typescript", "javascript"),
    ("tsx", "javascript"),
):
    _OPEN_AT_END.update({(_lang, o): rules for (k, o), rules in list(_OPEN_AT_END.items()) if k == _like})
# Openers of the literals that read no escapes, and so leave none open.
_RAW = {
    "python": re.compile(r"[A-Za-z]*[rR]"),
    "c": re.compile(r'.*R"'),
    "cpp": re.compile(r'.*R"'),
    "go": re.compile("`"),
    "rust": re.compile(r'r#*"'),
    "csharp": re.compile("@"),
    "c_sharp": re.compile("@"),
}


def _octal(c: str) -> str:
    return f"\\{ord(c):03o}"


def _braced(c: str) -> str:
    return f"\\u{{{ord(c):x}}}"


def _u4(c: str) -> str:
    return f"\\u{ord(c):04x}"


#: One character as an escape that ends where it does, in each language's literals
#: (bash's "…" has none: the literal is closed and opened again before it).
_ONE_CHAR: dict[str, Callable[[str], str]] = {
    "c": _octal,
    "cpp": _octal,
    "python": _octal,
    "java": _octal,
    "csharp": _u4,
    "c_sharp": _u4,
    "javascript": _u16,
    "typescript": _u16,
    "tsx": _u16,
    'jsx"': lambda c: f"&#{ord(c)};",  # (openers whose literals write characters otherwise)
    "jsx'": lambda c: f"&#{ord(c)};",
    "ruby": _braced,
    "php": _braced,
    "elixir": _braced,
    "kotlin": _u16,
    "swift": _braced,
    "bash": lambda c: '""' + c,
    "$'": _bash_code,
    "html": lambda c: f"&#{ord(c)};",
}


# --- Names ----------------------------------------------------------------------------------

_ASCII_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_JAVA_NAME = re.compile(r"[A-Za-z_$][A-Za-z0-9_$]*\Z")

# Keywords that name a type: they stand where a type is used (`int x;`), never as a declared name.
_C_TYPE_KEYWORDS = frozenset(
    "bool char double float int long short signed unsigned void _BitInt _Bool _Complex _Decimal128 "
    "_Decimal32 _Decimal64 _Imaginary __int128 _Float16 _Float32 _Float64 _Float128 _Float32x _Float64x".split()
)
# C's, and the GNU extensions' that gcc's default dialect (gnu17) reads as keywords.
_C_KEYWORDS = _C_TYPE_KEYWORDS | frozenset(
    "alignas alignof asm auto break case const constexpr continue default do else enum "
    "extern false for goto if inline nullptr register restrict return "
    "sizeof static static_assert struct switch thread_local true typedef typeof typeof_unqual union "
    "volatile while _Alignas _Alignof _Atomic _Generic _Noreturn _Static_assert _Thread_local "
    "__alignof__ __asm __asm__ __attribute__ __auto_type __builtin_offsetof __builtin_va_arg __complex__ "
    "__const __extension__ __imag__ __inline __inline__ __label__ __real__ __restrict __restrict__ "
    "__signed__ __thread __typeof __typeof__ __volatile__".split()
)
_CPP_TYPE_KEYWORDS = frozenset(
    "auto bool char char8_t char16_t char32_t double float int long short signed unsigned void wchar_t __int128".split()
)
_CPP_KEYWORDS = _CPP_TYPE_KEYWORDS | frozenset(
    "alignas alignof and and_eq asm bitand bitor break case catch "
    "class compl concept const consteval constexpr constinit const_cast continue co_await "
    "co_return co_yield decltype default delete do dynamic_cast else enum explicit export "
    "extern false for friend goto if inline mutable namespace new noexcept not not_eq "
    "nullptr operator or or_eq private protected public register reinterpret_cast requires return "
    "sizeof static static_assert static_cast struct switch template this thread_local "
    "throw true try typedef typeid typename typeof union using virtual volatile while "
    "xor xor_eq __attribute__ __extension__ __typeof__ __restrict__".split()
)
# Reserved words, strict mode's and modules' (await) included: a name that
# is reserved somewhere is not offered as a name anywhere.
_JS_RESERVED = frozenset(
    "await break case catch class const continue debugger default delete do else enum export extends "
    "false finally for function if implements import in instanceof interface let new null package "
    "private protected public return static super switch this throw true try typeof var void while "
    "with yield".split()
)
_GO_KEYWORDS = frozenset(
    "break case chan const continue default defer else fallthrough for func go goto if import "
    "interface map package range return select struct switch type var".split()
)
_RUST_KEYWORDS = frozenset(
    "_ as async await become box break const continue crate do dyn else enum extern false final fn "
    "for gen if impl in let loop macro match mod move mut override priv pub ref return self Self "
    "static struct super trait true try type typeof unsafe unsized use virtual where while "
    "yield".split()
)
_JAVA_TYPE_KEYWORDS = frozenset("boolean byte char double float int long short void".split())
_JAVA_KEYWORDS = _JAVA_TYPE_KEYWORDS | frozenset(
    "_ abstract assert break case catch class const continue default do "
    "else enum extends false final finally for goto if implements import instanceof "
    "interface native new null package private protected public return static strictfp "
    "super switch synchronized this throw throws transient true try volatile while".split()
)
_CSHARP_TYPE_KEYWORDS = frozenset(
    "bool byte char decimal double float int long object sbyte short string uint ulong ushort void".split()
)
_CSHARP_KEYWORDS = _CSHARP_TYPE_KEYWORDS | frozenset(
    "abstract as base break case catch checked class const continue "
    "default delegate do else enum event explicit extern false finally fixed for foreach goto if "
    "implicit in interface internal is lock namespace new null operator out override "
    "params private protected public readonly ref return sealed sizeof stackalloc static "
    "struct switch this throw true try typeof unchecked unsafe using virtual "
    "volatile while".split()
)
# PHP's reserved words, which it reads in any case (`ISSET` is `isset`): no
# function, constant or class takes one as its name.
_PHP_RESERVED = frozenset(
    "__halt_compiler abstract and array as break callable case catch class clone const continue declare "
    "default die do echo else elseif empty enddeclare endfor endforeach endif endswitch endwhile eval exit "
    "extends final finally fn for foreach function global goto if implements include include_once instanceof "
    "insteadof interface isset list match namespace new or print private protected public readonly require "
    "require_once return static switch throw trait try unset use var while xor yield".split()
)
_RUBY_KEYWORDS = frozenset(
    "__ENCODING__ __LINE__ __FILE__ BEGIN END alias and begin break case class def defined? do else elsif "
    "end ensure false for if in module next nil not or redo rescue retry return self super then true undef "
    "unless until when while yield".split()
)
_LUA_KEYWORDS = frozenset(
    "and break do else elseif end false for function goto if in local nil not or repeat return then true "
    "until while".split()
)
# Kotlin's hard keywords; its soft and modifier keywords are names.
_KOTLIN_KEYWORDS = frozenset(
    "as break class continue do else false for fun if in interface is null object package return super "
    "this throw true try typealias typeof val var when while".split()
)
_SWIFT_TYPE_KEYWORDS = frozenset({"Any", "Self"})
_SWIFT_KEYWORDS = _SWIFT_TYPE_KEYWORDS | frozenset(
    "associatedtype class deinit enum extension fileprivate func import init inout internal let open "
    "operator private precedencegroup protocol public rethrows static struct subscript typealias var "
    "break case catch continue default defer do else fallthrough for guard if in repeat return throw "
    "switch where while as await false is nil self super throws true try _".split()
)
_SCALA_KEYWORDS = frozenset(
    "abstract case catch class def do else enum export extends false final finally for forSome given if "
    "implicit import lazy macro match new null object override package private protected return sealed "
    "super then this throw trait true try type val var while with yield _".split()
)
_DART_KEYWORDS = frozenset(
    "assert break case catch class const continue default do else enum extends false final finally for "
    "if in is new null rethrow return super switch this throw true try var void while with".split()
)
_HASKELL_KEYWORDS = frozenset(
    "case class data default deriving do else foreign if import in infix infixl infixr instance let "
    "module newtype of then type where _".split()
)
_ASCII_RULES: dict[str, tuple[re.Pattern[str], frozenset[str]]] = {
    "ruby": (_ASCII_NAME, _RUBY_KEYWORDS),
    "c": (_ASCII_NAME, _C_KEYWORDS),
    "cpp": (_ASCII_NAME, _CPP_KEYWORDS),
    "go": (_ASCII_NAME, _GO_KEYWORDS),
    "rust": (_ASCII_NAME, _RUST_KEYWORDS),
    "java": (_JAVA_NAME, _JAVA_KEYWORDS),
    "csharp": (_ASCII_NAME, _CSHARP_KEYWORDS),
    "c_sharp": (_ASCII_NAME, _CSHARP_KEYWORDS),
    "lua": (_ASCII_NAME, _LUA_KEYWORDS),
    "luau": (_ASCII_NAME, _LUA_KEYWORDS),
    "kotlin": (_ASCII_NAME, _KOTLIN_KEYWORDS),
    "swift": (_ASCII_NAME, _SWIFT_KEYWORDS),
    "scala": (_ASCII_NAME, _SCALA_KEYWORDS),
    "dart": (_ASCII_NAME, _DART_KEYWORDS),
    "haskell": (_ASCII_NAME, _HASKELL_KEYWORDS),
}
# The keywords of each language that name a type.
_TS_TYPE_KEYWORDS = frozenset({"void", "null", "this"})
_TYPE_KEYWORDS = {
    "c": _C_TYPE_KEYWORDS,
    "cpp": _CPP_TYPE_KEYWORDS,
    "java": _JAVA_TYPE_KEYWORDS,
    "csharp": _CSHARP_TYPE_KEYWORDS,
    "c_sharp": _CSHARP_TYPE_KEYWORDS,
    "swift": _SWIFT_TYPE_KEYWORDS,
    "rust": frozenset({"Self"}),
    "typescript": _TS_TYPE_KEYWORDS,
    "tsx": _TS_TYPE_KEYWORDS,
    "php": frozenset({"array", "callable", "static"}),
}
# Names no declared type takes (PHP's in any case): the names of the language's
# own types, Java's restricted identifiers.
_TS_TYPE_NAMES = frozenset(
    "any unknown never number bigint boolean string symbol void object undefined".split()
)
_RESERVED_TYPE_NAMES = {
    "php": frozenset(
        "int float bool string void mixed never object iterable self parent static null true false array "
        "callable".split()
    ),
    "typescript": _TS_TYPE_NAMES,
    "tsx": _TS_TYPE_NAMES,
    "java": frozenset("var record yield sealed permits".split()),
}
# Names a declaration may not bind (JavaScript's: in strict code, as class bodies and modules are).
_STRICT_UNBOUND = frozenset({"eval", "arguments"})
_UNBOUND = {
    "python": frozenset({"__debug__"}),
    "javascript": _STRICT_UNBOUND,
    "typescript": _STRICT_UNBOUND,
    "tsx": _STRICT_UNBOUND,
}


def _lang_key(lang: str) -> str:
    return lang.lower().replace("-", "_")


def _js_name(s: str) -> bool:
    # ID_Start/ID_Continue as Python's own identifiers know them (their
    # NFKC-stable part), plus `$`, and ZWNJ/ZWJ after the first character.
    if not s or not (s[0] in "$_" or s[0].isidentifier()):
        return False
    return all(ch in "$\u200c\u200d" or ("a" + ch).isidentifier() for ch in s[1:]) and s not in _JS_RESERVED


def is_identifier(lang: str, s: str) -> bool:
    """Whether ``s`` can be written as a name in ``lang`` (not a keyword or reserved word).

    Python: ``str.isidentifier`` and not a keyword (soft keywords are names),
    nor a name whose NFKC form, which Python reads it as, is one.
    JavaScript, TypeScript, TSX: the identifier grammar with ``$``, minus
    reserved words (strict mode's and ``await`` included).  C, C++, Go,
    Rust, Java (with ``$``), C#, Ruby, PHP (in any case), Lua, Kotlin,
    Swift, Scala, Dart, Haskell: ASCII letters, digits and ``_``, not
    starting with a digit, minus the language's keywords (C's with the GNU
    ones gcc reads by default).  Any other language: ``[A-Za-z_][A-Za-z0-9_]*``.

    >>> [is_identifier("python", s) for s in ("match", "None", "x1", "1x")]
    [True, False, True, False]
    >>> is_identifier("javascript", "$el"), is_identifier("cpp", "class")
    (True, False)
    """
    return isinstance(s, str) and _is_name(_lang_key(lang), s)


def is_type_name(lang: str, s: str) -> bool:
    """Whether ``s`` can be written where ``lang`` uses a type: a name, or a
    keyword that names a type.

    >>> is_type_name("c", "int"), is_type_name("c", "while"), is_type_name("java", "List")
    (True, False, True)
    """
    return is_identifier(lang, s) or s in _TYPE_KEYWORDS.get(_lang_key(lang), ())


def is_bound_name(lang: str, s: str, *, of_type: bool = False) -> bool:
    """Whether a declaration can bind the name ``s``: a name (``is_identifier``)
    that the language does not keep from being bound (Python's ``__debug__``,
    JavaScript's ``eval`` and ``arguments`` in strict code); with ``of_type``,
    one that a declared type may take (not PHP's ``int``, TypeScript's
    ``string``, Java's ``record``).

    >>> is_bound_name("javascript", "eval"), is_bound_name("php", "Point", of_type=True)
    (False, True)
    >>> is_bound_name("php", "Int"), is_bound_name("php", "Int", of_type=True)
    (True, False)
    """
    key = _lang_key(lang)
    if not is_identifier(lang, s) or s in _UNBOUND.get(key, ()):
        return False
    return not of_type or (s.lower() if key == "php" else s) not in _RESERVED_TYPE_NAMES.get(key, ())


def _is_name(key: str, s: str) -> bool:
    if key == "python":
        return (
            s.isidentifier()
            and not keyword.iskeyword(s)
            and not keyword.iskeyword(unicodedata.normalize("NFKC", s))
        )
    if key in ("javascript", "typescript", "tsx"):
        return _js_name(s)
    if key == "php":
        return _ASCII_NAME.match(s) is not None and s.lower() not in _PHP_RESERVED
    pattern, keywords = _ASCII_RULES.get(key, (_ASCII_NAME, frozenset()))
    return pattern.match(s) is not None and s not in keywords


def _not_in_attribute_name(o: int) -> bool:
    return (
        o <= 0x20  # controls and space
        or 0x7F <= o <= 0x9F
        or 0xD800 <= o <= 0xDFFF
        or 0xFDD0 <= o <= 0xFDEF
        or (o & 0xFFFE) == 0xFFFE  # the noncharacters U+FFFE, U+FFFF, U+1FFFE, ...
        or chr(o) in "\"'>/="
    )


# The characters above as ranges: spelled out one by one, the class took
# milliseconds to compile in every process that imports this module.
_ATTRIBUTE_NAME = re.compile(
    "[^\\x00-\\x20\\x7f-\\x9f\"'>/=\\ud800-\\udfff\\ufdd0-\\ufdef"
    + "".join(f"\\U{p:04x}fffe\\U{p:04x}ffff" for p in range(17))
    + "]+\\Z"
)


def is_attribute_name(s: str) -> bool:
    """Whether ``s`` is an HTML attribute name.

    One or more characters, none of them a control, space, ``"``, ``'``,
    ``>``, ``/``, ``=`` or a noncharacter (nor a lone surrogate, which no
    document can hold).  Event handlers (``onclick``) are names like any
    other: what may be set is for the caller to decide.

    >>> [is_attribute_name(s) for s in ("data-x", "@click", "a b", "a=b", "")]
    [True, True, False, False, False]
    """
    return isinstance(s, str) and _ATTRIBUTE_NAME.match(s) is not None


def _lift_html(value: object) -> KTerm:
    return klift_html(value)  # type: ignore[arg-type]


LIFTERS: dict[str, Lifter] = {
    "python": lift_python,
    "html": _lift_html,
    "javascript": lift_js,
    "typescript": lift_js,
    "tsx": lift_js,
    "json": lift_json,
    "c": lift_c,
    "cpp": lift_cpp,
}


def register_lifter(lang: str, fn: Callable[[object], KTerm]) -> None:
    """Make ``fn`` the lifter of ``lang``: it turns an ``int`` or ``str`` into a term.

    Templates of ``lang`` call it for every value that is not a ``KTerm``; it
    should raise ``TypeError`` for a value it cannot lift.

    >>> from kovel import klift_html
    >>> register_lifter("html", klift_html)  # the built-in HTML lifter, set again
    """
    if not callable(fn):
        raise TypeError("register_lifter(lang, fn): fn must be callable")
    LIFTERS[lang] = fn
