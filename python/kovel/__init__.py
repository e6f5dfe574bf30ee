"""kovel: immutable concrete-syntax terms for code generation and quasi-quotation.

The native module ``kovel._kovel`` holds everything; this package re-exports it
and makes terms picklable.

>>> from kovel import HOLE, klift, leaf, quote, tb
>>> b = tb("call").c(leaf("identifier", "f")).w("(").c(klift(1)).w(")")
>>> t = b.b()
>>> str(t)
'f(1)'

Rules the native docstrings leave out:

- A ``Builder`` is used up by ``b()``: its other methods then do nothing (they
  still return the builder, so chains go on) and a second ``b()`` raises.

  >>> str(b.w("ignored").b())
  Traceback (most recent call last):
  RuntimeError: Builder already built

- Terms, commands and builders compare and hash by identity: ``==`` tells
  whether two objects are the same object. For structural equality use
  ``kovel.tree.equal``.

  >>> leaf("x", "y") == leaf("x", "y"), t == t
  (False, True)

- The ``index`` of ``quote`` and ``unquote`` lies in 0..255; any other integer
  raises ``OverflowError`` (the interpreter's message, which names no argument).

  >>> quote("q", 256, "py", t, [HOLE])
  Traceback (most recent call last):
  OverflowError: out of range integral type conversion attempted
"""

import copyreg
from collections.abc import Callable

from kovel._kovel import (
    HOLE,
    NL,
    POP,
    Builder,
    CmdOrHole,
    KTerm,
    StrCmd,
    cmd,
    from_postcard_bytes,
    klift,
    klift_html,
    leaf,
    name,
    push,
    quote,
    sym,
    tb,
    unquote,
    write,
)

# The same names, in the same order, as ``kovel._kovel.__all__``.
__all__ = [
    "KTerm",
    "StrCmd",
    "CmdOrHole",
    "Builder",
    "tb",
    "leaf",
    "sym",
    "quote",
    "unquote",
    "cmd",
    "write",
    "push",
    "name",
    "klift",
    "klift_html",
    "from_postcard_bytes",
    "NL",
    "POP",
    "HOLE",
]


def _reduce_kterm(term: KTerm) -> tuple[Callable[[bytes], KTerm], tuple[bytes]]:
    # A term travels as its postcard bytes; pickle finds the decoder by its
    # qualified name, kovel._kovel.from_postcard_bytes.
    return from_postcard_bytes, (term.postcard_bytes(),)


# Used by pickle (every protocol) and by copy.copy / copy.deepcopy.
copyreg.pickle(KTerm, _reduce_kterm)
