"""kovel: immutable concrete-syntax terms for code generation and quasi-quotation.

The native module ``kovel._kovel`` holds everything; this package re-exports it
and makes terms picklable.
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
