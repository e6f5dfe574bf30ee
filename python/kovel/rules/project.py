"""A project's rules: ``kovel.yml`` (as ast-grep's ``sgconfig.yml``) names rule folders,
folders of utility rules every rule of their language may name (``matches: ID``), and
test folders.

::

    ruleDirs: [rules]
    utilDirs: [utils]
    testConfigs:
      - testDir: rules/tests
    languageGlobs:
      html: ["*.vue"]
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, replace

from kovel.rules.langs import language_of
from kovel.rules.load import NotYAML, RuleFileError, line_of, load_rules, read_yaml, regular_only, rule_files
from kovel.rules.rule import Rule, RuleConfig, utils_renamed

__all__ = ["CONFIG_NAMES", "Project", "find_config", "load_project", "with_project_utils"]

CONFIG_NAMES = ("kovel.yml", "kovel.yaml", "sgconfig.yml")


@dataclass(frozen=True, slots=True)
class Project:
    """The rules of a project and where its rule tests are.

    >>> Project("kovel.yml", (), ()).rules
    ()
    """

    config: str
    rules: tuple[RuleConfig, ...]
    test_dirs: tuple[str, ...]
    #: Languages for the files their globs match, whatever their extension.
    language_globs: tuple[tuple[str, tuple[str, ...]], ...] = ()


# The keys of a project file; ast-grep's `customLanguages` and `languageInjections`
# are taken and have no effect (kovel parses with the grammars installed).
_KEYS = frozenset(
    {"ruleDirs", "utilDirs", "testConfigs", "languageGlobs", "customLanguages", "languageInjections"}
)
_EXPECTED = ", ".join(sorted(_KEYS))


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def find_config(start: str = ".") -> str | None:
    """The ``kovel.yml`` in ``start`` or the nearest folder above it, or None.

    >>> find_config("/") is None
    True
    """
    here = os.path.abspath(start)
    while True:
        for name in CONFIG_NAMES:
            p = os.path.join(here, name)
            if os.path.lexists(p):  # (one that is no file is an error when it is read)
                return p
        up = os.path.dirname(here)
        if up == here:
            return None
        here = up


def load_project(config: str) -> Project:
    """Read ``config`` and every rule file in its ``ruleDirs`` (paths relative to the config's folder).

    >>> load_project("/nonexistent/kovel.yml")
    Traceback (most recent call last):
    ...
    kovel.rules.load.RuleFileError: /nonexistent/kovel.yml:0: cannot read: No such file or directory
    """
    data = _read_config(config)
    base = os.path.dirname(os.path.abspath(config))
    dirs = data.get("ruleDirs", [])
    if not isinstance(dirs, list) or not all(isinstance(d, str) for d in dirs):
        raise RuleFileError(config, line_of(data, "ruleDirs"), "ruleDirs", "expected a list of folders")
    rules: list[RuleConfig] = []
    tests: list[str] = []
    for d in dirs:
        folder = os.path.join(base, d)
        if not d.strip():
            raise RuleFileError(config, line_of(data, "ruleDirs"), "ruleDirs", "an empty folder name")
        if not os.path.isdir(folder):
            raise RuleFileError(config, line_of(data, "ruleDirs"), "ruleDirs", f"no folder {d!r}")
        for path in rule_files(folder):
            if not _same_file(path, config):  # (a rule folder that holds the project file)
                rules.extend(load_rules(path))
    rules = _with_utils(rules, _shared_utils(config, data, base))
    configs = data.get("testConfigs", []) or []
    if not isinstance(configs, list):
        raise RuleFileError(
            config, line_of(data, "testConfigs"), "testConfigs", "expected a list of {testDir: folder}"
        )
    for t in configs:
        if (
            not isinstance(t, dict)
            or not isinstance(t.get("testDir"), str)
            or t.keys() - {"testDir", "snapshotDir"}
        ):
            raise RuleFileError(
                config, line_of(data, "testConfigs"), "testConfigs", "expected a list of {testDir: folder}"
            )
        tests.append(os.path.join(base, t["testDir"]))
    globs = data.get("languageGlobs", {}) or {}
    if not isinstance(globs, dict) or not all(
        isinstance(k, str) and isinstance(v, list) and all(isinstance(g, str) for g in v)
        for k, v in globs.items()
    ):
        raise RuleFileError(
            config,
            line_of(data, "languageGlobs"),
            "languageGlobs",
            "expected a mapping from a language to a list of globs",
        )
    seen: dict[str, RuleConfig] = {}
    for r in rules:
        if r.id in seen:
            raise RuleFileError(
                config, line_of(data, "ruleDirs"), "ruleDirs", f"two rules with the id {r.id!r}"
            )
        seen[r.id] = r
    return Project(
        config, tuple(rules), tuple(tests), tuple((language_of(k), tuple(v)) for k, v in globs.items())
    )


def with_project_utils(rules: list[RuleConfig], config: str) -> list[RuleConfig]:
    """``rules`` (of a rule file run alone) with the utility rules of the project
    ``config`` beside their own, as the project's rules have them.

    >>> with_project_utils([], "/nonexistent/kovel.yml")
    Traceback (most recent call last):
    ...
    kovel.rules.load.RuleFileError: /nonexistent/kovel.yml:0: cannot read: No such file or directory
    """
    data = _read_config(config)
    return _with_utils(rules, _shared_utils(config, data, os.path.dirname(os.path.abspath(config))))


def _read_config(config: str) -> dict[str, object]:
    """The mapping of the project file ``config``, its keys checked."""
    try:
        with open(config, encoding="utf-8", opener=regular_only) as f:
            data = read_yaml(f) or {}
    except OSError as exc:
        raise RuleFileError(config, 0, "", f"cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise RuleFileError(config, 0, "", f"not UTF-8 text (byte {exc.start})") from None
    except NotYAML as exc:
        raise RuleFileError(config, 1, "", f"not YAML: {exc}") from None
    if not isinstance(data, dict):
        raise RuleFileError(config, 1, "", "expected a mapping with ruleDirs")
    for key in data:
        if key not in _KEYS:
            raise RuleFileError(
                config, line_of(data, key), str(key), f"unknown key (expected one of {_EXPECTED})"
            )
    return data


def _shared_utils(config: str, data: Mapping[str, object], base: str) -> dict[str, dict[str, Rule]]:
    """The utility rules of the project's ``utilDirs``, by language: every rule
    of their language may name them (``matches: ID``)."""
    shared: dict[str, dict[str, Rule]] = {}
    udirs = data.get("utilDirs", []) or []
    if not isinstance(udirs, list) or not all(isinstance(d, str) for d in udirs):
        raise RuleFileError(config, line_of(data, "utilDirs"), "utilDirs", "expected a list of folders")
    for d in udirs:
        folder = os.path.join(base, d)
        if not os.path.isdir(folder):
            raise RuleFileError(config, line_of(data, "utilDirs"), "utilDirs", f"no folder {d!r}")
        for path in rule_files(folder):
            for u in load_rules(path):
                by_lang = shared.setdefault(u.language, {})
                if u.id in by_lang:
                    raise RuleFileError(path, 1, "id", f"two utility rules with the id {u.id!r}")
                by_lang[u.id] = u.rule
                by_lang.update({k: v for k, v in u.utils.items() if k not in by_lang})
    return shared


def _with_utils(rules: list[RuleConfig], shared: Mapping[str, Mapping[str, Rule]]) -> list[RuleConfig]:
    """``rules`` with the shared utility rules of their languages (a rule's own come first)."""
    if not shared:
        return rules
    return [with_shared_utils(r, shared.get(r.language, {})) for r in rules]


def with_shared_utils(config: RuleConfig, shared: Mapping[str, Rule]) -> RuleConfig:
    """``config`` with the project's utility rules ``shared`` beside its own.
    A name means the same wherever it is used: in a shared rule, another
    shared one; in the rule's own, its own utility first.

    >>> c = RuleConfig("r", "python", Rule(matches="u"), utils={"x": Rule(kind="string")})
    >>> got = with_shared_utils(c, {"u": Rule(matches="x"), "x": Rule(kind="integer")})
    >>> got.rule.matches, got.utils[got.rule.matches].matches, got.utils["x"].kind
    ('u@utilDirs', 'x@utilDirs', 'string')
    """
    key = {name: f"{name}@utilDirs" for name in shared}

    def scoped(c: RuleConfig, local: frozenset[str]) -> RuleConfig:
        """``c`` naming its own utilities (and those of the rules around it) as
        they are, the shared ones by their keys."""
        local = local | c.utils.keys()

        def name(n: str) -> str:
            return n if n in local else key.get(n, n)

        def renamed(r: Rule | None) -> Rule | None:
            return None if r is None else utils_renamed(r, name)

        return replace(
            c,
            rule=utils_renamed(c.rule, name),
            utils={k: utils_renamed(v, name) for k, v in c.utils.items()},
            constraints={k: utils_renamed(v, name) for k, v in c.constraints.items()},
            expand_start=renamed(c.expand_start),
            expand_end=renamed(c.expand_end),
            rewriters=tuple(scoped(r, local) for r in c.rewriters),
        )

    mine = scoped(config, frozenset())
    theirs = {key[k]: utils_renamed(v, lambda n: key.get(n, n)) for k, v in shared.items()}
    return replace(mine, utils={**theirs, **mine.utils})
