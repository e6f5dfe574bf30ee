"""MkDocs hook: show the docstrings' interactive examples as code.

The API reference is rendered from docstrings, whose examples are doctest
sessions (``>>>`` lines and their output).  Markdown would read their output
as text, and ``[...]`` in it as links; this fences each session as ``pycon``.
"""

from __future__ import annotations

import re
from typing import Any

from markdown import Extension, Markdown
from markdown.preprocessors import Preprocessor

_PROMPT = re.compile(r"^(\s*)>>> ")


class _Fence(Preprocessor):
    def run(self, lines: list[str]) -> list[str]:
        out: list[str] = []
        fenced = False  # inside a ``` block of the source already
        i = 0
        while i < len(lines):
            line = lines[i]
            if line.lstrip().startswith("```"):
                fenced = not fenced
            m = None if fenced else _PROMPT.match(line)
            if not m:
                out.append(line)
                i += 1
                continue
            indent = m.group(1)
            out.append(f"{indent}```pycon")
            while i < len(lines) and lines[i].strip():
                out.append(lines[i])
                i += 1
            out.append(f"{indent}```")
        return out


class DoctestFences(Extension):
    def extendMarkdown(self, md: Markdown) -> None:  # noqa: N802 (Markdown's API)
        md.preprocessors.register(_Fence(md), "doctest_fences", 30)


def on_config(config: Any) -> Any:
    config.markdown_extensions.append(DoctestFences())
    return config
