"""The forms in which patterns and templates cross to native code, named.

``kovel._native`` compiles patterns and templates from plain tuples (cheap to
make and to read on both sides).  Their codes and fields are named here and
in the C++ that reads them (``kovel_python/native/match.cpp``: ``SpecItem``;
``fill.cpp``: ``OpCode``, ``HoleField``); ``_native.pattern_schema()`` and
``_native.template_schema()`` tell what the native side reads, and a test
checks that the two agree.

>>> (PatternItem.NODE, "call", ((PatternItem.HOLE, "F"), (PatternItem.RUN, None)))[0]
<PatternItem.NODE: 3>
"""

from __future__ import annotations

from enum import IntEnum
from typing import NamedTuple

from kovel._kovel import KTerm
from kovel.tree import Path

__all__ = ["FillOp", "HoleSpec", "MatchItem", "PatternItem"]


class PatternItem(IntEnum):
    """The first field of a pattern item: ``(HOLE, name)`` takes one node,
    ``(RUN, name)`` any number of siblings (``name`` None binds nothing),
    ``(LEAF, tag, text)`` and ``(NODE, tag, items)`` match those nodes,
    ``(OPTIONAL, tag, text)`` that leaf or nothing, ``(TOKEN, tag, text)`` a
    token the grammar does not name: that leaf, or one of its tag that spells
    the tag otherwise (``ECHO``, ``#  include``)."""

    HOLE = 0
    RUN = 1
    LEAF = 2
    NODE = 3
    OPTIONAL = 4
    TOKEN = 5


class FillOp(IntEnum):
    """The code of a template op: ``(WRITE, text)``, ``(NL, None)``, ``(CONST, term)``
    a constant child, ``(HOLE, i)`` hole ``i``, ``(FRAME, f)`` frame ``f`` (made earlier)."""

    WRITE = 0
    NL = 1
    CONST = 2
    HOLE = 3
    FRAME = 4


class HoleSpec(NamedTuple):
    """A template's hole as the native filler takes it.

    >>> HoleSpec("$X", 1, (0, 2), "", False, False, False, "call").unquote_index
    1
    """

    text: str  # the metavariable as written: the unquote's tag
    unquote_index: int  # the index of the unquote it becomes
    at: tuple[int, int]  # where it stands in the template's code
    indent: str  # what the value's later lines get
    seq: bool  # a $$$ hole: the value is a list
    statement: bool  # a list is joined by line breaks, not commas
    own_line: bool  # the hole starts its own line
    parent_kind: str  # the tag of the node a joined list makes


class MatchItem(NamedTuple):
    """One match as ``_native.match_all`` gives it (a plain tuple in this order)."""

    path: Path
    term: KTerm
    start: int  # code points of the root's text before the match
    end: int
    bindings: dict[str, object]  # metavariable name -> term, or siblings for $$$
    offsets: dict[str, int] | None  # when a binding spans lines: where each starts
