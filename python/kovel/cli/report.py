"""How ``kovel scan`` prints diagnostics: as a compiler does, as JSON lines, or as SARIF 2.1.0."""

from __future__ import annotations

import os
import re
import urllib.parse
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any

from kovel.batch.results import Diagnostic, ScannedFile, Span
from kovel.cli.output import json_path, json_text
from kovel.rules import RuleConfig

__all__ = ["SARIF_SCHEMA", "diagnostic_json", "diagnostic_text", "sarif"]

SARIF_SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
_COLOURS = {"error": "31", "warning": "33", "info": "36", "hint": "32"}
_LEVELS = {"error": "error", "warning": "warning", "info": "note", "hint": "note"}


def diagnostic_text(
    path: str, d: Diagnostic, terminal: bool = False, colour: bool | None = None
) -> Iterator[str]:
    """The lines of one diagnostic: ``path:line:col: severity[id]: message``, then on a
    terminal the line with a caret underline; in colour with ``colour`` (by
    default on a terminal).

    >>> d = Diagnostic("no-print", "warning", "print left in", None, Span(4, 12, 2, 1, 2, 9, "print(x)"), "print(x)")
    >>> list(diagnostic_text("a.py", d))
    ['a.py:2:1: warning[no-print]: print left in']
    """
    s = d.span
    head = f"{d.severity}[{_printable(d.rule)}]"
    if colour is None:
        colour = terminal
    if colour:
        head = f"\x1b[1;{_COLOURS.get(d.severity, '0')}m{head}\x1b[0m"
    yield f"{path}:{s.line}:{s.column}: {head}: {_printable(d.message)}"
    if d.note:
        yield from (f"  = note: {_printable(x)}" for x in d.note.rstrip().splitlines())
    if terminal:
        line = d.line_text.rstrip("\r").expandtabs(1)
        end = s.end_column if s.end_line == s.line else len(line) + 1
        num = str(s.line)
        yield f" {num} | {line}"
        caret = "^" * max(1, end - s.column)
        if colour:
            caret = f"\x1b[{_COLOURS.get(d.severity, '0')}m{caret}\x1b[0m"
        yield f" {' ' * len(num)} | {' ' * (s.column - 1)}{caret}"


def _printable(text: str) -> str:
    """``text`` with the control characters a terminal would act on (an escape
    sequence in a rule's id or message) written as escapes; line breaks stay."""
    return _CONTROLS.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def _range_json(s: Span) -> str:
    """Where ``s`` lies, as a JSON object: byte offsets, then lines and columns."""
    return (
        f'{{"byteOffset": {{"start": {s.start}, "end": {s.end}}}, '
        f'"start": {{"line": {s.line}, "column": {s.column}}}, '
        f'"end": {{"line": {s.end_line}, "column": {s.end_column}}}}}'
    )


def diagnostic_json(r: ScannedFile, d: Diagnostic) -> str:
    """One diagnostic as one line of JSON: path, rule id, severity, message, note, range,
    text, and the fix's replacement and range (when the rule has a fix).

    >>> d = Diagnostic("no-print", "warning", "print left in", None, Span(0, 8, 1, 1, 1, 9, "print(x)"), "print(x)")
    >>> import json
    >>> json.loads(diagnostic_json(ScannedFile("a.py", "python"), d))["range"]["end"]
    {'line': 1, 'column': 9}
    """
    # Written out rather than a dict given to the encoder (the same text, as
    # the tests check): a scan may report tens of thousands, all printed here.
    j = json_text
    line = (
        f'{{"path": {json_path(r.path)}, "lang": {j(r.lang)}, "ruleId": {j(d.rule)}, '
        f'"severity": {j(d.severity)}, "message": {j(d.message)}, '
        f'"note": {j(d.note)}, "range": {_range_json(d.span)}, "text": {j(d.span.text)}'
    )
    if d.fix is None:
        return line + "}"
    return f'{line}, "replacement": {j(d.fix.new)}, "replacementRange": {_range_json(d.fix.old)}}}'


def sarif(rules: Sequence[RuleConfig], files: Iterable[ScannedFile]) -> dict[str, Any]:
    """A SARIF 2.1.0 log of one run: the rules as ``tool.driver.rules``, each diagnostic a result.

    >>> from kovel.rules import Rule
    >>> log = sarif([RuleConfig("r", "python", Rule(kind="call"), "a call")], [])
    >>> log["version"], log["runs"][0]["tool"]["driver"]["rules"][0]["id"]
    ('2.1.0', 'r')
    """
    index = {r.id: i for i, r in enumerate(rules)}
    driver_rules = []
    for r in rules:
        one: dict[str, Any] = {
            "id": r.id,
            "shortDescription": {"text": r.message or r.id},
            "defaultConfiguration": {"level": _LEVELS.get(r.severity, "none")},
        }
        if r.note:
            one["help"] = {"text": r.note}
        if r.url:
            one["helpUri"] = r.url
        driver_rules.append(one)
    results = []
    for f in files:
        uri = artifact_uri(f.path)
        for d in f.diagnostics:
            region = _region(d.span)
            res: dict[str, Any] = {
                "ruleId": d.rule,
                "level": _LEVELS.get(d.severity, "none"),
                "message": {"text": d.message or d.rule},
                "locations": [{"physicalLocation": {"artifactLocation": {"uri": uri}, "region": region}}],
            }
            if d.rule in index:
                res["ruleIndex"] = index[d.rule]
            if d.fix is not None:
                res["fixes"] = [
                    {
                        "description": {"text": f"apply the fix of {d.rule}"},
                        "artifactChanges": [
                            {
                                "artifactLocation": {"uri": uri},
                                "replacements": [
                                    {
                                        "deletedRegion": _region(d.fix.old),
                                        "insertedContent": {"text": d.fix.new},
                                    }
                                ],
                            }
                        ],
                    }
                ]
            results.append(res)
    return {
        "$schema": SARIF_SCHEMA,
        "version": "2.1.0",
        "runs": [
            {
                "tool": {
                    "driver": {
                        "name": "kovel",
                        "informationUri": "https://pypi.org/project/kovel/",
                        "rules": driver_rules,
                    }
                },
                "results": results,
                # Columns count characters, as everywhere in kovel (not UTF-16 units).
                "columnKind": "unicodeCodePoints",
            }
        ],
    }


def artifact_uri(path: str) -> str:
    """``path`` as a SARIF artifact's URI: relative paths percent-encoded (a `#`
    or a space in a name is no fragment or break), absolute ones as ``file:`` URIs.

    >>> artifact_uri("odd dir/t 100%#1.py"), artifact_uri("/tmp/a b.py")
    ('odd%20dir/t%20100%25%231.py', 'file:///tmp/a%20b.py')
    """
    if os.path.isabs(path):
        return Path(path).as_uri()
    return urllib.parse.quote(path.replace(os.sep, "/"), safe="/", errors="surrogateescape")


def _region(s: Span) -> dict[str, Any]:
    return {
        "startLine": s.line,
        "startColumn": s.column,
        "endLine": s.end_line,
        "endColumn": s.end_column,
        "byteOffset": s.start,
        "byteLength": s.end - s.start,
        "snippet": {"text": s.text},
    }
