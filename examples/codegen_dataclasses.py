#!/usr/bin/env python3
"""Generate plain Python classes (constructor, repr, equality) from field lists, with templates.

The templates read like their output; a multi-line value spliced into an
indented hole is re-indented as a whole, while its string literals stay as
they are (the docstring below keeps its own layout).

    python3 examples/codegen_dataclasses.py
"""

from __future__ import annotations

from kovel import KTerm, name
from kovel.quasi import template
from kovel.treesitter import parse

CLASS = template(
    "python",
    """\
class $NAME:
    $DOC

    def __init__(self, $$$PARAMS) -> None:
        $$$ASSIGNS

    def __repr__(self) -> str:
        return $REPR

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, $NAME):
            return NotImplemented
        return $EQ
""",
)
PARAM = template("python", "$FIELD: $TYPE")
ASSIGN = template("python", "self.$FIELD = $FIELD")
COMPARE = template("python", "self.$FIELD == other.$FIELD")


def generate(cls: str, doc: str, fields: list[tuple[str, str]]) -> KTerm:
    """The source of one class with the given ``(name, type)`` fields."""
    shown = ", ".join(f"{f}={{self.{f}!r}}" for f, _ in fields)
    eq = " and ".join(str(COMPARE.fill(FIELD=name(f))) for f, _ in fields)
    return CLASS.fill(
        NAME=name(cls),
        DOC=parse("python", f'"""{doc}"""'),
        PARAMS=[PARAM.fill(FIELD=name(f), TYPE=name(t)) for f, t in fields],
        ASSIGNS=[ASSIGN.fill(FIELD=name(f)) for f, _ in fields],
        REPR=parse("python", f'f"{cls}({shown})"'),
        EQ=parse("python", eq or "True"),
    )


def main() -> None:
    spec = {
        "Point": (
            "A point in the plane.\n\n    Coordinates are in pixels.\n    ",
            [("x", "int"), ("y", "int")],
        ),
        "User": ("Someone who logs in.", [("name", "str"), ("email", "str"), ("admin", "bool")]),
    }
    module = "\n\n".join(str(generate(cls, doc, fields)) for cls, (doc, fields) in spec.items())
    print(module, end="")
    namespace: dict[str, object] = {}
    exec(compile(module, "<generated>", "exec"), namespace)  # the output is valid Python
    point = namespace["Point"](1, 2)  # type: ignore[operator]
    assert repr(point) == "Point(x=1, y=2)" and point == namespace["Point"](1, 2)  # type: ignore[operator]


if __name__ == "__main__":
    main()
