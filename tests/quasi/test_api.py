"""What ``kovel.quasi`` exports."""

import kovel.quasi as quasi


def test_star_import_gives_the_api() -> None:
    names: dict[str, object] = {}
    exec("from kovel.quasi import *", names)
    api = {"Match", "Pattern", "Siblings", "Template", "pattern", "template", "register_lifter"}
    assert api | {"find_files", "rewrite_files", "apply_changes"} == set(names) - {"__builtins__"}
    assert names["find_files"] is quasi.find_files and names["rewrite_files"] is quasi.rewrite_files
