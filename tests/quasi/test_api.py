"""What ``kovel.quasi`` exports; the batch functions are ``kovel.batch``'s, above it."""

import subprocess
import sys


def test_star_import_gives_the_api() -> None:
    names: dict[str, object] = {}
    exec("from kovel.quasi import *", names)
    api = set("Match MisreadError Pattern Siblings Template pattern template register_lifter".split())
    assert api == set(names) - {"__builtins__"}


def test_importing_kovel_quasi_loads_nothing_above_it() -> None:
    code = "import sys, kovel.quasi\nprint(sorted(m for m in sys.modules if m.startswith(('kovel.batch', 'kovel.rules', 'kovel.cli'))))\n"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"
