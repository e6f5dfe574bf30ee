"""What ``kovel.quasi`` exports, the batch functions it names included."""

import subprocess
import sys

import pytest

import kovel.batch
import kovel.quasi as quasi


def test_star_import_gives_the_api() -> None:
    names: dict[str, object] = {}
    exec("from kovel.quasi import *", names)
    api = {"Match", "Pattern", "Siblings", "Template", "pattern", "template", "register_lifter"}
    assert api | {"find_files", "rewrite_files", "apply_changes"} == set(names) - {"__builtins__"}
    assert names["find_files"] is quasi.find_files and names["rewrite_files"] is quasi.rewrite_files


def test_batch_functions_are_those_of_kovel_batch_and_loaded_on_first_use() -> None:
    for name in ("find_files", "rewrite_files", "apply_changes"):
        assert getattr(quasi, name) is getattr(kovel.batch, name) and name in dir(quasi)
    code = (
        "import sys, kovel.quasi as q\n"
        "print('kovel.batch' in sys.modules)\n"
        "from kovel.quasi import find_files\n"
        "print('kovel.batch' in sys.modules, find_files.__module__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "True", "kovel.batch"]
    with pytest.raises(AttributeError, match="no_such_name"):
        quasi.no_such_name  # noqa: B018
