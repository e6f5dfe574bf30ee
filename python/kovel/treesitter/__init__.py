"""Terms from real source code: a tree-sitter front end for kovel.

Parse code in any language that has a tree-sitter grammar into a kovel term
that renders back to exactly the source it came from::

    >>> t = parse("python", b"def f():\\n    return 1\\n")
    >>> str(t)
    'def f():\\n    return 1\\n'

Uses ``tree-sitter`` and its grammars: ``tree-sitter-language-pack``, which
installing kovel brings, or packages such as ``tree-sitter-python`` (see
``language``).

The modules of this package: ``grammars`` finds a language's grammar (and
says what to install for a missing one); ``layout`` holds the rules that
decide how a node's text becomes a term's layout, so that a term spliced under
a prefix re-indents its code and never its literals; ``convert`` walks trees
into terms by those rules; ``timeout`` parses with a time limit in a worker
process (``worker``) that can be killed; ``nodes`` reads tree-sitter nodes
where py-tree-sitter's own methods would crash.
"""

from kovel.treesitter.convert import from_node, from_tree, parse
from kovel.treesitter.grammars import available_languages, language
from kovel.treesitter.layout import CODE_KINDS, LITERAL_WORDS, VERBATIM_KINDS, is_literal_kind

__all__ = [
    "CODE_KINDS",
    "LITERAL_WORDS",
    "VERBATIM_KINDS",
    "available_languages",
    "from_node",
    "from_tree",
    "is_literal_kind",
    "language",
    "parse",
]
