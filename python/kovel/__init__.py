"""kovel: immutable concrete-syntax terms for code generation and quasi-quotation.

The native module ``kovel._kovel`` holds everything; this package re-exports it.
"""

from kovel import _kovel
from kovel._kovel import *  # noqa: F401,F403

__all__ = list(_kovel.__all__)
