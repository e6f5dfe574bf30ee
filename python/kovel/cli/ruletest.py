"""``kovel test``: each rule against its test file, as ``sg test`` does.

A test file (YAML) names a rule by ``id`` and lists ``valid`` snippets (the
rule must not match them) and ``invalid`` ones (it must); kovel also reads
``fixed``: the text each invalid snippet must become under the rule's fix,
as a list in the order of ``invalid`` or a mapping from snippet to text.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
from collections.abc import Iterator

from kovel._kovel import KTerm
from kovel.batch.tasks import judge
from kovel.rules import Matcher, RuleConfig, RuleFileError, compiled, matcher
from kovel.rules.load import line_of, read_yaml, rule_files
from kovel.rules.project import find_config, load_project
from kovel.treesitter import parse
from kovel.treesitter.convert import syntax_errors
from kovel.treesitter.timeout import Overrun, run_limited

__all__ = ["check_case", "problems_of", "run_tests", "written"]


def check_case(m: Matcher, valid: list[str], invalid: list[str], fixed: dict[str, str]) -> Iterator[str]:
    """What fails in one rule's test: a line per snippet that does not behave.

    >>> from kovel.rules import Rule, RuleConfig
    >>> m = matcher(RuleConfig("r", "python", Rule(pattern="print($A)"), fix="log($A)"))
    >>> list(check_case(m, ["log(1)"], ["print(1)", "f()"], {"print(1)": "log(1)"}))
    ["invalid snippet not matched: 'f()'"]
    """
    lang = m.config.language
    for s in valid:
        if next(iter(m.find_all(parse(lang, s))), None) is not None:
            yield f"valid snippet matched: {s!r}"
    for s in invalid:
        t = parse(lang, s)
        if next(iter(m.find_all(t)), None) is None:
            yield f"invalid snippet not matched: {s!r}"
        elif s in fixed:
            got, why = written(m, t, s)
            if got != fixed[s]:
                yield f"fix of {s!r} gives {got!r}{why}, expected {fixed[s]!r}"


def written(m: Matcher, t: KTerm, text: str) -> tuple[str, str]:
    """What ``scan --fix`` writes of the snippet ``text`` (its term ``t``): its
    fixes but those the code around them would read otherwise, and nothing
    when the result has more syntax errors, or Python rejects it; with why
    (or an empty text).

    >>> from kovel.rules import Rule, RuleConfig
    >>> m = matcher(RuleConfig("r", "python", Rule(pattern="f($A)"), fix="return $A"))
    >>> written(m, parse("python", "f(1)"), "f(1)")
    ('f(1)', " (not written: Python rejects it: 'return' outside function (line 1))")
    """
    notes: list[str] = []
    new = str(m.rewrite(t, left_alone=notes))
    lang = m.config.language
    before = len(syntax_errors(lang, text))
    after, rejected = judge("snippet", lang, text, new, before, None)
    if after > before:
        return text, " (not written: it has more syntax errors)"
    if rejected is not None:
        return text, f" (not written: Python rejects it: {rejected})"
    return new, "".join(f" ({n})" for n in notes)


def problems_of(config: RuleConfig, valid: list[str], invalid: list[str], fixed: dict[str, str]) -> list[str]:
    """``check_case`` of the rule ``config``, as a list (for a worker to send back).

    >>> from kovel.rules import Rule
    >>> problems_of(RuleConfig("r", "python", Rule(pattern="print($A)")), ["print(1)"], [], {})
    ["valid snippet matched: 'print(1)'"]
    """
    return list(check_case(compiled(config), valid, invalid, fixed))


_TEST_KEYS = frozenset({"id", "valid", "invalid", "fixed"})


def _strings(doc: dict[str, object], path: str, key: str) -> list[str]:
    v = doc.get(key)
    if v is None:
        return []
    if not isinstance(v, list) or not all(isinstance(x, str) for x in v):
        raise RuleFileError(path, line_of(doc, key), key, "expected a list of code snippets")
    return list(v)


def run_tests(a: argparse.Namespace) -> int:
    """Run ``kovel test`` with parsed arguments; return the exit status."""
    try:
        config = a.config or find_config()
        if config is None:
            raise ValueError("no kovel.yml here or in a folder above (give -c CONFIG)")
        project = load_project(config)
        dirs = [a.test_dir] if a.test_dir else list(project.test_dirs)
        if not dirs:
            raise ValueError(f"{config}: no testConfigs, and no -t TEST_DIR given")
        rules = {r.id: r for r in project.rules}
        passed = failed = 0
        for d in dirs:
            if not os.path.isdir(d):
                raise ValueError(f"{d}: no such directory of rule tests")
            for path in rule_files(d):
                with open(path, encoding="utf-8") as f:
                    docs = [x for x in read_yaml(f, documents=True) if x is not None]
                for doc in docs:
                    if not isinstance(doc, dict) or not isinstance(doc.get("id"), str):
                        raise RuleFileError(path, line_of(doc, "id"), "id", "a test needs the id of its rule")
                    unknown = sorted(str(k) for k in doc if k not in _TEST_KEYS)
                    if unknown:
                        raise RuleFileError(
                            path,
                            line_of(doc, unknown[0]),
                            unknown[0],
                            "unknown key (expected one of fixed, id, invalid, valid)",
                        )
                    rid = doc["id"]
                    if rid not in rules:
                        raise RuleFileError(path, line_of(doc, "id"), "id", f"no rule with the id {rid!r}")
                    valid = _strings(doc, path, "valid")
                    invalid = _strings(doc, path, "invalid")
                    fx = doc.get("fixed") or {}
                    if isinstance(fx, list):
                        if len(fx) > len(invalid):
                            raise RuleFileError(
                                path, line_of(doc, "fixed"), "fixed", "more fixed texts than invalid snippets"
                            )
                        fx = dict(zip(invalid, fx, strict=False))
                    if not isinstance(fx, dict):
                        raise RuleFileError(
                            path, line_of(doc, "fixed"), "fixed", "expected a list or a mapping"
                        )
                    try:
                        matcher(rules[rid])  # a mistake in the rule is named with its file
                    except (ValueError, SyntaxError, re.error) as exc:
                        raise ValueError(f"{rules[rid].named}: {exc}") from None
                    # In a worker: a rule's regular expression may backtrack for ever on a snippet.
                    try:
                        problems = run_limited(a.timeout, problems_of, rules[rid], valid, invalid, fx)
                    except Overrun:
                        problems = [
                            f"no result after {a.timeout:g} s (a regular expression that backtracks?)"
                        ]
                    except (ValueError, TypeError) as exc:  # (a fix that cannot be made: this rule's failure)
                        problems = [f"{type(exc).__name__}: {exc}"]
                    if problems:
                        failed += 1
                        print(f"FAIL {rid} ({os.path.relpath(path)})")
                        for p in problems:
                            print(f"  {p}")
                    else:
                        passed += 1
                        print(f"PASS {rid}")
        if not passed + failed:
            raise ValueError(f"no rule tests in {', '.join(dirs)}")  # nothing checked is no pass
    except (RuleFileError, ValueError, SyntaxError, OSError, re.error) as exc:  # NotYAML is a ValueError
        print(f"kovel: {exc}", file=sys.stderr)
        return 2
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0
