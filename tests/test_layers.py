"""The package's imports point one way: cli -> batch -> quasi -> treesitter -> tree -> native.

Every module of the package is read with ``ast``; its imports (at the top,
inside functions, under ``TYPE_CHECKING``) must not form a cycle, must not
reach a higher layer, must not sit inside a function, and must not take a
private name from another module.  The exceptions are listed in ALLOWED,
each with the reason it is needed.
"""

import ast
import subprocess
import sys
from dataclasses import dataclass

import pytest

from tests.helpers import package_modules

# Lowest first: a module may import from its own layer and the ones before it.
LAYERS = [
    ("native", ["kovel", "kovel._kovel", "kovel._native"]),
    ("tree", ["kovel.tree"]),
    ("treesitter", ["kovel.treesitter"]),
    ("quasi", ["kovel.quasi"]),
    ("rules", ["kovel.rules"]),
    ("batch", ["kovel.batch"]),
    ("cli", ["kovel.cli", "kovel.__main__"]),
]
# The subpackages' modules belong to the layer of their package; "kovel" itself does not
# take in its submodules.
PACKAGES = {"kovel.treesitter", "kovel.quasi", "kovel.rules", "kovel.batch", "kovel.cli"}

# (importing module, imported module) -> why the import sits inside a function.
ALLOWED = {
    ("kovel.treesitter.grammars", "tree_sitter"): "an optional dependency: kovel and the kovel command "
    "import without it, and say how to install it",
    ("kovel.batch.cache", "importlib"): "importlib.metadata (30-50 ms) is read only when a cache is kept "
    "and a version is not in a dist-info folder's name, and every worker imports the module",
    ("kovel.rules.load", "yaml"): "YAML (20 ms) is imported only to read a rule, project or test file: "
    "find and rewrite, which import kovel.rules, read none",
}


@dataclass(frozen=True)
class Import:
    module: str  # the importing module
    target: str  # the imported module
    names: tuple[str, ...]  # what `from target import ...` takes; () for `import target`
    line: int
    in_function: bool
    type_checking: bool


def layer_of(module):
    for i, (_, roots) in enumerate(LAYERS):
        for root in roots:
            if module == root or (root in PACKAGES and module.startswith(root + ".")):
                return i
    return None


def _is_type_checking(test):
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def imports_of(module, source, is_package, modules):
    """The imports in ``source`` (the code of ``module``), resolved against the package's ``modules``."""
    package = module if is_package else module.rpartition(".")[0]
    found = []

    def resolve(node):
        if isinstance(node, ast.Import):
            return [(alias.name, ()) for alias in node.names]
        base = node.module or ""
        if node.level:
            parts = package.split(".")
            parts = parts[: len(parts) - node.level + 1]
            base = ".".join(parts + ([node.module] if node.module else []))
        out, names = [], []
        for alias in node.names:
            sub = f"{base}.{alias.name}"
            if sub in modules:  # `from package import module`
                out.append((sub, ()))
            else:
                names.append(alias.name)
        if names:
            out.append((base, tuple(names)))
        return out

    def visit(node, in_function, type_checking):
        if isinstance(node, ast.Import | ast.ImportFrom):
            for target, names in resolve(node):
                found.append(Import(module, target, names, node.lineno, in_function, type_checking))
            return
        if isinstance(node, ast.If) and _is_type_checking(node.test):
            for child in node.body:
                visit(child, in_function, True)
            for child in node.orelse:
                visit(child, in_function, type_checking)
            return
        inner = in_function or isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.Lambda)
        for child in ast.iter_child_nodes(node):
            visit(child, inner, type_checking)

    visit(ast.parse(source), False, False)
    return found


def _private(name):
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def private_uses(module, source, modules):
    """``module._name`` and ``getattr(x, "_name")`` in ``source``: private names of other modules."""
    tree = ast.parse(source)
    bound = {}  # local name -> the kovel module it stands for
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name in modules and alias.asname:
                    bound[alias.asname] = alias.name
        elif isinstance(node, ast.ImportFrom) and node.module:
            for alias in node.names:
                sub = f"{node.module}.{alias.name}"
                if sub in modules:
                    bound[alias.asname or alias.name] = sub
    out = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute) and _private(node.attr):
            value = node.value
            dotted = []
            while isinstance(value, ast.Attribute):
                dotted.append(value.attr)
                value = value.value
            if isinstance(value, ast.Name):
                target = ".".join([value.id, *reversed(dotted)])
                target = bound.get(target, target)
                if target in modules and target != module:
                    out.append(f"{module}:{node.lineno} uses {target}.{node.attr}")
        elif (
            isinstance(node, ast.Call)
            and isinstance(node.func, ast.Name)
            and node.func.id in ("getattr", "hasattr", "setattr")
            and len(node.args) >= 2
            and isinstance(node.args[1], ast.Constant)
            and isinstance(node.args[1].value, str)
            and _private(node.args[1].value)
        ):
            out.append(f"{module}:{node.lineno} reads {node.args[1].value} through {node.func.id}")
        elif (
            isinstance(node, ast.Call)
            and node.args
            and isinstance(node.args[0], ast.Constant)
            and isinstance(node.args[0].value, str)
            and node.args[0].value.split(".")[0] == "kovel"
            and (
                (isinstance(node.func, ast.Name) and node.func.id == "__import__")
                or (isinstance(node.func, ast.Attribute) and node.func.attr == "import_module")
            )
        ):
            out.append(f"{module}:{node.lineno} imports {node.args[0].value} by name")
    return out


def _cycle(edges):
    """One cycle of the graph ``edges`` (module -> set of modules), as a list, or None."""
    state = {}  # 1: on the path, 2: done

    def dfs(node, path):
        state[node] = 1
        path.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt) :] + [nxt]
            if nxt not in state:
                found = dfs(nxt, path)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(edges):
        if node not in state:
            found = dfs(node, [])
            if found:
                return found
    return None


def violations(sources):
    """Everything wrong with the imports of ``sources`` (module -> (code, is a package))."""
    modules = set(sources)
    found = [
        i
        for m, (code, is_package) in sorted(sources.items())
        for i in imports_of(m, code, is_package, modules)
    ]
    out = [f"{m} is in no layer" for m in sorted(modules) if layer_of(m) is None]
    graph = {}
    for i in found:
        allowed = (i.module, i.target.split(".")[0] if i.target not in modules else i.target) in ALLOWED
        allowed = allowed or (i.module, i.target) in ALLOWED
        if i.in_function and not allowed:
            out.append(f"{i.module}:{i.line} imports {i.target} inside a function")
        if i.target.split(".")[0] != "kovel" or i.target == i.module:
            continue
        if i.target not in modules:
            out.append(f"{i.module}:{i.line} imports {i.target}, which is not a module of the package")
            continue
        if layer_of(i.target) is not None and layer_of(i.module) is not None:
            if layer_of(i.target) > layer_of(i.module) and not allowed:
                up = LAYERS[layer_of(i.target)][0]
                out.append(f"{i.module}:{i.line} imports {i.target} from the higher layer {up}")
        out += [f"{i.module}:{i.line} takes {i.target}.{n}" for n in i.names if _private(n)]
        if not i.type_checking and not allowed:
            graph.setdefault(i.module, set()).add(i.target)
    cycle = _cycle(graph)
    if cycle:
        out.append("import cycle: " + " -> ".join(cycle))
    for m, (code, _) in sorted(sources.items()):
        out += private_uses(m, code, modules)
    return out, found


def package_sources():
    sources = {}
    for name, path in package_modules().items():
        code = "" if path is None else path.read_text(encoding="utf-8")
        sources[name] = (code, path is not None and path.name == "__init__.py")
    return sources


def test_imports_point_one_way():
    wrong, found = violations(package_sources())
    assert wrong == []
    # The walk saw the package's imports: every layer above the lowest uses one below it,
    # and none uses one above it.
    edges = {(layer_of(i.module), layer_of(i.target)) for i in found if i.target.startswith("kovel")}
    assert {a for a, b in edges if b < a} == set(range(1, len(LAYERS)))
    assert not [(a, b) for a, b in edges if a is not None and b is not None and b > a]


def test_each_allowed_exception_is_still_needed():
    _, found = violations(package_sources())
    used = {(i.module, i.target.split(".")[0]) for i in found} | {(i.module, i.target) for i in found}
    assert set(ALLOWED) <= used


FAULTS = {
    "kovel.quasi.a": (
        "from kovel.batch.b import run\n"  # up a layer
        "from kovel.quasi.c import _helper\n"  # a private name of another module
        "def f():\n    import json\n",  # inside a function
        False,
    ),
    "kovel.batch.b": ("run = 1\n", False),
    "kovel.quasi.c": (
        "from . import a\n"  # relative: kovel.quasi.a, which imports this one back
        "from kovel.treesitter import layout\n"
        "x = layout._kinds\n"  # a private attribute of a module
        "y = getattr(a, '_found')\n"
        "if TYPE_CHECKING:\n    from kovel.cli import main\n"  # up, even for type checkers
        "import importlib\nz = importlib.import_module('kovel.cli')\n",
        False,
    ),
    "kovel.treesitter.layout": ("", False),
    "kovel.quasi": ("", True),
    "kovel.cli": ("", True),
    "kovel.extra": ("", False),
}


def test_the_checks_find_what_they_forbid():
    wrong, _ = violations(FAULTS)
    assert sorted(wrong) == sorted(
        [
            "kovel.extra is in no layer",
            "kovel.quasi.a:1 imports kovel.batch.b from the higher layer batch",
            "kovel.quasi.a:2 takes kovel.quasi.c._helper",
            "kovel.quasi.a:4 imports json inside a function",
            "kovel.quasi.c:6 imports kovel.cli from the higher layer cli",
            "import cycle: kovel.quasi.a -> kovel.quasi.c -> kovel.quasi.a",
            "kovel.quasi.c:3 uses kovel.treesitter.layout._kinds",
            "kovel.quasi.c:4 reads _found through getattr",
            "kovel.quasi.c:8 imports kovel.cli by name",
        ]
    )


@pytest.mark.parametrize("level", range(len(LAYERS)), ids=[name for name, _ in LAYERS])
def test_importing_a_layer_loads_nothing_above_it(level):
    # What the source does not show (an import by name, say) shows in sys.modules.
    mine = [m for m in sorted(package_modules()) if layer_of(m) == level and not m.endswith("__main__")]
    code = f"import sys\nfor m in {mine!r}:\n    __import__(m)\nprint(*sorted(sys.modules))\n"
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    above = [m for m in loaded.split() if m.startswith("kovel") and (layer_of(m) or 0) > level]
    assert mine and above == []
