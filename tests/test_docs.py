"""Every Python example of the user guide runs, so the guide cannot drift from the code.

The ```python blocks of each page run in order in one namespace (later blocks
may use names from earlier ones); a page whose examples need a package that is
not installed is skipped, naming it.
"""

import re
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)
PAGES = sorted(DOCS.glob("**/*.md"))


def test_guide_has_examples() -> None:
    assert sum(len(BLOCK.findall(p.read_text())) for p in PAGES) >= 10


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_examples_run(page: Path) -> None:
    namespace: dict[str, object] = {"__name__": "__guide__"}
    for n, block in enumerate(BLOCK.findall(page.read_text()), 1):
        code = compile(block, f"{page.name}, example {n}", "exec")
        try:
            exec(code, namespace)
        except ModuleNotFoundError as exc:
            pytest.skip(f"{page.name} needs {exc.name}")
