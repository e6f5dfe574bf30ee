import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "kovel",
    deadline=None,
    max_examples=int(os.environ.get("KOVEL_HYPOTHESIS_EXAMPLES", "150")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kovel")

LEAF_XY = bytes.fromhex("020178000100000179")  # the leaf with tag "x" and code "y"
# A Tuple "t" with one child (the leaf x/y) but two HOLEs: it encodes, it cannot render.
UNBALANCED = b"\x02\x01t\x01" + LEAF_XY + b"\x02\x01\x01"
Str = type("Str", (str,), {})


class Idx:
    """`__index__` returns `v`, or raises it if it is an exception."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v
