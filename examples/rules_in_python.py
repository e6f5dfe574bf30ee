"""The four rules of examples/rules/rules/, written as Python values, run over examples/rules/sample/.

Prints each match (and the text of the fix), as `kovel scan` does with the YAML files.
"""

from pathlib import Path

from kovel.rules import Rule, RuleConfig, matcher
from kovel.treesitter import parse

SAMPLE = Path(__file__).parent / "rules" / "sample"

ASSERT_EQUAL = RuleConfig(
    "assert-equal",
    "python",
    Rule(
        pattern="assert $X == $Y",
        inside=Rule(
            kind="function_definition",
            stop_by="end",
            inside=Rule(
                kind="block", inside=Rule(kind="class_definition", has=Rule(field="name", regex="TestCase$"))
            ),
        ),
    ),
    "use self.assertEqual($X, $Y) in a TestCase",
    fix="self.assertEqual($X, $Y)",
)
BARE_EXCEPT = RuleConfig(
    "bare-except",
    "python",
    Rule(
        kind="except_clause",
        not_=Rule(
            has=Rule(any=tuple(Rule(kind=k) for k in ("identifier", "attribute", "tuple", "as_pattern")))
        ),
    ),
    "a bare except also catches KeyboardInterrupt and SystemExit",
    severity="error",
)
DEBUG_WARN = RuleConfig(
    "debug-warn",
    "javascript",
    Rule(pattern="console.warn($$$ARGS)", inside=Rule(kind="expression_statement")),
    "console.warn only when DEBUG",
    fix="if (DEBUG) console.warn($$$ARGS)",
)
RAW_ALLOC = RuleConfig(
    "raw-alloc",
    "c",
    Rule(kind="call_expression", has=Rule(field="function", pattern="$F")),
    "$F allocates without a check",
    constraints={"F": Rule(regex="^(malloc|calloc|realloc|aligned_alloc)$")},
)

for config, name in [
    (ASSERT_EQUAL, "test_things.py"),
    (BARE_EXCEPT, "test_things.py"),
    (DEBUG_WARN, "app.js"),
    (RAW_ALLOC, "alloc.c"),
]:
    m = matcher(config)
    term = parse(config.language, (SAMPLE / name).read_text())
    for f in m.find_all(term):
        line = str(term)[: f.span[0]].count("\n") + 1
        print(f"{name}:{line}: {config.id}: {str(f.term).splitlines()[0]}")
    if config.fix is not None:
        for _, new, _ in m.fixes(term):
            print(f"    fix: {new}")
