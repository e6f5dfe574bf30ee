"""The rules of examples/rules/rules/, written as Python values, run over examples/rules/sample/.

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

PRINTLN_LOGGER = RuleConfig(
    "println-logger",
    "java",
    Rule(pattern="System.out.println($A)"),
    "log $A through the logger, not standard output",
    fix="logger.info($A)",
)
IN_TESTS = Rule(
    stop_by="end",
    any=(
        Rule(kind="mod_item", has=Rule(field="name", regex="^tests$")),
        Rule(kind="function_item", follows=Rule(kind="attribute_item", regex=r"^#\[test\]$")),
    ),
)
UNWRAP_EXPECT = RuleConfig(
    "unwrap-expect",
    "rust",
    Rule(pattern="$X.unwrap()", not_=Rule(inside=IN_TESTS)),
    "$X.unwrap() panics without saying why; use expect",
    fix='$X.expect("TODO")',
)
WRAP_ERROR = RuleConfig(
    "wrap-error",
    "go",
    Rule(pattern="if $E != nil { return $E }", not_=Rule(has=Rule(kind="comment", stop_by="end"))),
    "wrap $E to say where it came from",
    severity="info",
    fix='if $E != nil {\n\treturn fmt.Errorf("TODO: %w", $E)\n}',
)
NOT_NONE = {"X": Rule(not_=Rule(kind="none"))}
EQ_NONE = RuleConfig(
    "eq-none",
    "python",
    Rule(pattern="$X == None"),
    "compare with None by identity",
    constraints=NOT_NONE,
    fix="$X is None",
)
NE_NONE = RuleConfig(
    "ne-none",
    "python",
    Rule(pattern="$X != None"),
    "compare with None by identity",
    constraints=NOT_NONE,
    fix="$X is not None",
)
FUNCTIONS = ("function_declaration", "function_expression", "arrow_function", "method_definition")
# Only where let means what var did: at the top of a function's body, with no
# other var of the name beside it and no mention of the name before it.
VAR_LET = RuleConfig(
    "var-let",
    "javascript",
    Rule(
        pattern="var $A = $B",
        inside=Rule(
            kind="statement_block",
            inside=Rule(any=tuple(Rule(kind=k) for k in (*FUNCTIONS, "generator_function_declaration"))),
        ),
        not_=Rule(
            any=(
                Rule(
                    follows=Rule(
                        stop_by="end", any=(Rule(pattern="$A"), Rule(has=Rule(pattern="$A", stop_by="end")))
                    )
                ),
                Rule(precedes=Rule(stop_by="end", any=(Rule(pattern="var $A = $_"), Rule(pattern="var $A")))),
            )
        ),
    ),
    "var at the top of a function; let says $A lives from here on",
    severity="hint",
    fix="let $A = $B",
)

for config, name in [
    (ASSERT_EQUAL, "test_things.py"),
    (BARE_EXCEPT, "test_things.py"),
    (DEBUG_WARN, "app.js"),
    (RAW_ALLOC, "alloc.c"),
    (PRINTLN_LOGGER, "Report.java"),
    (UNWRAP_EXPECT, "config.rs"),
    (WRAP_ERROR, "store.go"),
    (EQ_NONE, "test_things.py"),
    (NE_NONE, "test_things.py"),
    (VAR_LET, "cache.js"),
]:
    m = matcher(config)
    term = parse(config.language, (SAMPLE / name).read_text())
    for f in m.find_all(term):
        line = str(term)[: f.span[0]].count("\n") + 1
        print(f"{name}:{line}: {config.id}: {str(f.term).splitlines()[0]}")
    if config.fix is not None:
        for _, new, _ in m.fixes(term):
            print(f"    fix: {new}")
