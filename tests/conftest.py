import os

from hypothesis import HealthCheck, settings

# Property tests are about behaviour, never speed: no per-example deadline.
settings.register_profile(
    "kovel",
    deadline=None,
    max_examples=int(os.environ.get("KOVEL_HYPOTHESIS_EXAMPLES", "150")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kovel")
