"""Templates and patterns written in the target language.

A *template* is code with holes; filling it gives a term::

    >>> from kovel import leaf, name
    >>> from kovel.quasi import template
    >>> t = template("python", "def $NAME($$$ARGS):\\n    return $BODY\\n")
    >>> print(t.fill(NAME=name("area"), ARGS=[name("w"), name("h")], BODY=leaf("expr", "w * h")), end="")
    def area(w, h):
        return w * h

A *pattern* is code with metavariables; it finds and rewrites terms::

    >>> from kovel.quasi import pattern
    >>> from kovel.treesitter import parse
    >>> p = pattern("python", "print($$$A)")
    >>> print(p.rewrite(parse("python", "print(1, 2)\\n"), template("python", "log($$$A)")), end="")
    log(1, 2)

Metavariables, in both: ``$NAME`` (``$`` then an upper-case identifier:
letters, digits, ``_``) stands for one node; ``$$$NAME`` for zero or more
consecutive siblings; ``$_`` and ``$$$`` match anything without binding.
Each is replaced by an identifier the grammar accepts while the code is
parsed, and mapped back; none of this shows in the results.

The modules of this package: ``parse`` reads code with metavariables into a
skeleton (in the first parse context of its language that accepts it);
``fill`` holds ``Template`` and compiles skeletons into fillers; ``lift``
turns Python values into literals of a language; ``match`` holds ``Pattern``
and its rewrites; ``runs`` matches patterns of several statements as runs of
siblings; ``edit`` lays a replacement template over the match it
replaces, keeping what the template does not change.
"""

from __future__ import annotations

from kovel.quasi.fill import Siblings, Template, template
from kovel.quasi.lift import register_lifter
from kovel.quasi.match import Match, Pattern, pattern
from kovel.quasi.parse import MisreadError

__all__ = [
    "Match",
    "MisreadError",
    "Pattern",
    "Siblings",
    "Template",
    "pattern",
    "register_lifter",
    "template",
]
