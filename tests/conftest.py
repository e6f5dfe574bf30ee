"""Settings for the whole suite; shared data and helpers live in ``tests.helpers``."""

import os
import signal

from hypothesis import HealthCheck, settings

# A suite started in the background of a non-interactive shell inherits
# Ctrl-C ignored, and Python keeps it so: the tests of interruption would
# then wait for ever. A handler of ours also gives the processes the tests
# start the default back (exec resets a caught signal, not an ignored one).
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

settings.register_profile(
    "kovel",
    deadline=None,
    max_examples=int(os.environ.get("KOVEL_HYPOTHESIS_EXAMPLES", "150")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kovel")
