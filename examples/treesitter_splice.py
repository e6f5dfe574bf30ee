"""Parse a Python function with tree-sitter and splice it into a generated class.

The function was written at module level; spliced under the class's
indentation prefix it becomes a method: every line after the first gets the
prefix, except the lines inside its string literals, which stay exactly as
written.

Uses tree-sitter and its Python grammar, which installing kovel brings.
"""

from typing import Any

import tree_sitter

from kovel import klift, tb
from kovel.treesitter import from_node, language

SOURCE = b'''\
import textwrap


def describe(self, name):
    """Return a framed banner for name.

    The docstring and the frame below are string literals: their lines are
    not re-indented when the function moves into a class.
    """
    frame = """+------------+
| %-10s |
+------------+"""
    return textwrap.indent(frame % name, " " * self.margin)
'''

tree = tree_sitter.Parser(language("python")).parse(SOURCE)
function = next(n for n in tree.root_node.children if n.type == "function_definition")
method = from_node(function, SOURCE)

# fmt: off
cls = (
    tb("class_definition")
    .w("class Banner:")
    .p("    ")
    .n().w("margin = ").c(klift(2))
    .n().w("title = ").c(klift('kovel "terms"\tfrom tree-sitter'))
    .x().n().p("    ")  # a blank line without the prefix's trailing blanks
    .n().c(method)
    .x()
    .n()
    .b()
)
# fmt: on
module = tb("module").w("import textwrap").n().n().n().c(cls).b()

text = str(module)
print(text)

# The frame literal is unchanged inside the method.
frame_literal = '"""+------------+\n| %-10s |\n+------------+"""'
assert frame_literal in text
# Every other line of the function moved by one indentation level.
assert "\n        return textwrap.indent(" in text

namespace: dict[str, Any] = {}
exec(text, namespace)
print(namespace["Banner"]().describe("kovel"))
print(namespace["Banner"].title)
