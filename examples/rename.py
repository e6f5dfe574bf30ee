"""Rename a function everywhere it is defined or called, and print the diff.

    python3 examples/rename.py [FILE [OLD NEW]]

By default this renames ``dedent`` to ``strip_margin`` in the standard
library's ``textwrap.py``. The file is parsed into a term once; ``rewrite``
visits every node bottom-up and replaces the name of each matching
``def OLD(...)`` and each call ``OLD(...)`` or ``something.OLD(...)``. Every
other node of the new term is shared with the parsed one, and the new text is
the old text with exactly those names changed, spacing and comments included.

Uses tree-sitter and its Python grammar, which installing kovel brings.
"""

import difflib
import sys
import sysconfig
from pathlib import Path

from kovel import KTerm, name
from kovel.tree import children, replace, rewrite, tag
from kovel.treesitter import parse


def _name_position(node: KTerm, old: str) -> tuple[int, ...] | None:
    """The path, under ``node``, of the name to rename, if ``node`` defines or calls ``old``."""
    kids = children(node)
    if tag(node) == "function_definition":
        for i, kid in enumerate(kids):
            if tag(kid) == "identifier":  # the first identifier is the function's name
                return (i,) if str(kid) == old else None
    if tag(node) == "call" and kids:
        callee = kids[0]
        if tag(callee) == "identifier" and str(callee) == old:
            return (0,)
        if tag(callee) == "attribute":  # obj.old(...): the attribute's last child is the name
            last = children(callee)[-1]
            if tag(last) == "identifier" and str(last) == old:
                return (0, len(children(callee)) - 1)
    return None


def rename(source: str, old: str, new: str) -> tuple[str, int]:
    r"""Return ``source`` with the function ``old`` renamed to ``new``, and the number of renames.

    >>> rename("def f(f):\n    return f + f(1) + m.f(2)  # f\n", "f", "g")
    ('def g(f):\n    return f + g(1) + m.g(2)  # f\n', 3)
    """
    new_name = name(new)
    count = 0

    def fn(node: KTerm) -> KTerm | None:
        nonlocal count
        path = _name_position(node, old)
        if path is None:
            return None
        count += 1
        return replace(node, path, new_name)

    return str(rewrite(parse("python", source), fn)), count


def _main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else Path(sysconfig.get_paths()["stdlib"]) / "textwrap.py"
    old, new = (argv[2], argv[3]) if len(argv) > 3 else ("dedent", "strip_margin")
    source = path.read_text(encoding="utf-8")
    renamed, count = rename(source, old, new)
    diff = difflib.unified_diff(
        source.splitlines(keepends=True), renamed.splitlines(keepends=True), str(path), f"{path} (renamed)"
    )
    sys.stdout.writelines(diff)
    print(f"# {count} places renamed: {old} -> {new}")
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv))
