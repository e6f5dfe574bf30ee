"""Settings for the whole suite; shared data and helpers live in ``tests.helpers``."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "kovel",
    deadline=None,
    max_examples=int(os.environ.get("KOVEL_HYPOTHESIS_EXAMPLES", "150")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kovel")
