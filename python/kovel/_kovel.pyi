"""kovel's core IR, exposed to Python as the native `kovel._kovel` module
(re-exported by the `kovel` package's `__init__.py`)."""

from collections.abc import Sequence
from typing import Any, Final, Never, Self, SupportsIndex, final

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

# None of the four classes can be instantiated or subclassed: their objects come only from the
# module's functions and constants, and calling a class raises TypeError. The `__new__` below
# takes an argument nothing can supply, so a type checker rejects `KTerm()` as well.

@final
class KTerm:
    """A `kovel` term: a shared handle to a core `KTerm`.

    `str(t)` is the term's source text. Terms compare and hash by identity:
    `==` tells whether two objects are the same object (two terms with the same
    structure are not equal); for structural equality use `kovel.tree.equal`.
    """

    def __new__(cls, _no_public_constructor: Never, /) -> Self: ...
    def coparse(self, /) -> str:
        """Serialize the term back to source code."""

    def postcard_bytes(self, /) -> bytes:
        """Serialize this term to postcard bytes for the heterogeneous `py↓` protocol."""

    def reduce(self, /) -> Any:
        """Eval this term's source and return the resulting Python value (the `↓` operator)."""

@final
class StrCmd:
    """A single string command (`write`/`NL`/`push`/`POP`).

    Compares and hashes by identity: `write("a") == write("a")` is false.
    """

    def __new__(cls, _no_public_constructor: Never, /) -> Self: ...

@final
class CmdOrHole:
    """A `StrCmd` or a child placeholder (`HOLE`), used in `quote`/`unquote` cmds.

    Compares and hashes by identity: `cmd(NL) == cmd(NL)` is false.
    """

    def __new__(cls, _no_public_constructor: Never, /) -> Self: ...

@final
class Builder:
    """A fluent term builder mirroring the core `KTermBuilder`.

    Every method but `b` returns the builder itself, so calls chain. `b` uses the
    builder up: afterwards `c`, `w`, `n`, `p`, `x` and `e` do nothing (they still
    return the builder) and a second `b` raises RuntimeError("Builder already built").
    A call that fails (a wrong argument, MemoryError) leaves the builder as it was.
    Builders compare and hash by identity.
    """

    def __new__(cls, _no_public_constructor: Never, /) -> Self: ...
    def c(self, /, child: KTerm) -> Builder:
        """Splice a child term."""

    def w(self, /, s: str) -> Builder:
        """Write literal source text."""

    def n(self, /) -> Builder:
        """Emit a newline (respecting the current prefix)."""

    def p(self, /, s: str) -> Builder:
        """Push an indentation prefix."""

    def x(self, /) -> Builder:
        """Pop an indentation prefix."""

    def e(self, /, child: KTerm) -> Builder:
        """Emit a child term into the builder; for a term this is the same as `c`."""

    def b(self, /) -> KTerm:
        """Build the term. Consumes the builder; a second call raises
        RuntimeError("Builder already built")."""

def tb(tag: str) -> Builder:
    """Start building a tuple node with the given tag."""

def leaf(tag: str, code: str) -> KTerm:
    """A leaf node: a tag whose only content is `code`."""

def sym(s: str) -> KTerm:
    """A symbol: a leaf whose tag and code are the same."""

def quote(tag: str, index: SupportsIndex, lang: str, term: KTerm, cmds: Sequence[CmdOrHole]) -> KTerm:
    """A quoted fragment. `index` must lie in 0..255: any other integer raises
    OverflowError("out of range integral type conversion attempted")."""

def unquote(tag: str, index: SupportsIndex, lang: str, term: KTerm, cmds: Sequence[CmdOrHole]) -> KTerm:
    """An unquoted splice. `index` must lie in 0..255: any other integer raises
    OverflowError("out of range integral type conversion attempted")."""

def cmd(c: StrCmd) -> CmdOrHole:
    """Wrap a `StrCmd` as a `CmdOrHole`."""

def write(s: str) -> StrCmd:
    """A `Write` command."""

def push(s: str) -> StrCmd:
    """A `Push` command."""

def name(s: str) -> KTerm:
    """An identifier term (the `⟨N⟩` operator)."""

def klift(value: int | str | KTerm | SupportsIndex) -> KTerm:
    """Lift a Python value to a term that reconstructs it (the `↑` operator).
    Supports `int`, `str`, and existing `KTerm`s."""

def klift_html(value: int | str | KTerm | SupportsIndex) -> KTerm:
    """Lift a Python value to an HTML term (the `↑` operator with an `html`
    splice target). Strings become entity-escaped `text` leaves."""

def from_postcard_bytes(data: bytes) -> KTerm:
    """Deserialize a `KTerm` from postcard bytes (the `rs↓` protocol in Python)."""

NL: Final[StrCmd]
"""The newline command."""
POP: Final[StrCmd]
"""The command that pops an indentation prefix."""
HOLE: Final[CmdOrHole]
"""The placeholder for the inner term in `quote`/`unquote` cmds."""
