"""Rules: a pattern plus conditions, as ast-grep's YAML rules say them.

A ``Rule`` is an immutable value; ``RuleConfig`` adds an id, a language, a
message, constraints on metavariables, transforms and a fix; ``matcher``
compiles one (``compiled``: once a process), and the ``Matcher`` finds and
fixes matches in terms.  Rule files (YAML, one or more rules separated by
``---``) load with ``load_rules``; a project's ``kovel.yml`` names their folders.

>>> from kovel.rules import Rule, RuleConfig, matcher
>>> from kovel.treesitter import parse
>>> r = Rule(pattern="print($$$A)", not_=Rule(inside=Rule(kind="function_definition", stop_by="end")))
>>> m = matcher(RuleConfig("top-print", "python", r))
>>> [str(f.term) for f in m.find_all(parse("python", "print(1)\\ndef f():\\n    print(2)\\n"))]
['print(1)']

The modules: ``rule`` holds the values; ``engine`` evaluates a compiled
rule over a term; ``matcher`` runs a rule file's rule and its fix;
``transform`` changes captured text; ``load`` reads and checks rule files;
``project`` finds a project's rules and rule tests; ``langs`` maps
ast-grep's language names.
"""

from __future__ import annotations

from kovel.rules.engine import Found
from kovel.rules.langs import language_of
from kovel.rules.load import RuleFileError, load_rules, parse_rules
from kovel.rules.matcher import Matcher, compiled, matcher, precompile
from kovel.rules.rule import (
    Convert,
    NthChild,
    PatternSpec,
    Range,
    Replace,
    Rewrite,
    Rule,
    RuleConfig,
    Substring,
)

__all__ = [
    "Convert",
    "Found",
    "Matcher",
    "NthChild",
    "PatternSpec",
    "Range",
    "Replace",
    "Rewrite",
    "Rule",
    "RuleConfig",
    "RuleFileError",
    "Substring",
    "compiled",
    "language_of",
    "load_rules",
    "matcher",
    "parse_rules",
    "precompile",
]
