"""Every example in the documentation runs, so the documentation cannot drift from the code:
the ```python blocks of each page of the guide in order, in one namespace, and the docstring
examples of every module, each in its module (the only place they are collected)."""

import doctest
import importlib
import inspect
import re
from pathlib import Path

import pytest

from tests.helpers import package_modules

DOCS = Path(__file__).resolve().parent.parent / "docs"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)
PAGES = sorted(DOCS.glob("**/*.md"))
MODULES = sorted(package_modules())
# Modules whose docstrings show no example: the entry points, and the native core,
# whose examples are in its stubs.
NO_EXAMPLES = {"kovel.__main__", "kovel.cli.__main__", "kovel._kovel"}
# The public modules: each function they export shows an example.
PUBLIC = ["kovel.tree", "kovel.treesitter", "kovel.quasi", "kovel.rules", "kovel.batch", "kovel.cli"]


def test_guide_has_examples() -> None:
    assert sum(len(BLOCK.findall(p.read_text())) for p in PAGES) >= 10


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(DOCS)))
def test_examples_run(page: Path) -> None:
    # a page whose examples need a package that is not installed is skipped, naming it
    namespace: dict[str, object] = {"__name__": "__guide__"}
    for n, block in enumerate(BLOCK.findall(page.read_text()), 1):
        code = compile(block, f"{page.name}, example {n}", "exec")
        try:
            exec(code, namespace)
        except ModuleNotFoundError as exc:
            pytest.skip(f"{page.name} needs {exc.name}")


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name: str) -> None:
    module = importlib.import_module(name)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for test in doctest.DocTestFinder().find(module):
        runner.run(test)
    failed, attempted = runner.summarize(verbose=False)
    # A module that lost its examples (or whose examples are no longer found) fails too.
    assert (failed, attempted > 0) == (0, name not in NO_EXAMPLES)


@pytest.mark.parametrize("name", PUBLIC)
def test_public_functions_show_an_example(name: str) -> None:
    module = importlib.import_module(name)
    functions = [n for n in module.__all__ if inspect.isroutine(getattr(module, n))]
    assert functions
    # Each example runs where its function is defined (see above); here it must exist.
    assert [n for n in functions if ">>>" not in (getattr(module, n).__doc__ or "")] == []
