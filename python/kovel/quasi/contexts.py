"""The contexts a pattern's or a template's code is parsed in, language by language.

Most grammars take only whole files, so code is tried wrapped in the text
around it that makes it parse as what it is: a statement list, an
expression, arguments, members, parameters, a clause.  A context is text
with ``{}`` where the code goes (``{{`` and ``}}`` stand for braces).
"""

from __future__ import annotations

import re

__all__ = ["contexts_for", "is_type_kind", "split_context", "type_context", "user_context"]

# Code is tried in these contexts, in order; `{}` marks where it goes. A
# context that wraps the code makes it parse as what it is: a statement list,
# an expression, arguments, members or parameters.
_C_CONTEXTS = (
    "{}",
    "void _kq(void) {{\n{}\n}}\n",
    "void _kq(void) {{\n{};\n}}\n",
    "void _kq(void) {{ _kq({}); }}\n",
    "struct _kq {{\n{}\n}};\n",
    "void _kq({});\n",
    # Parameters with their parentheses; what goes before a declaration.
    "void _kq{};\n",
    "{}\nvoid _kq();\n",
    # C++'s clauses after a `try` block.
    "void _kq() {{ try {{}} {} }}\n",
)
_JS_CONTEXTS = (
    "{}",
    "function _kq() {{\n{}\n}}\n",
    "_kq({});\n",
    "({{{}}});\n",
    "class _kq {{\n{}\n}}\n",
    "function _kq({}) {{}}\n",
    # Parameters with their parentheses, type parameters, a decorator, a
    # case, the clauses after a block.
    "class _kq {{ _kq{} {{}} }}\n",
    "function _kq{}() {{}}\n",
    "{}\nclass _kq {{}}\n",
    "switch (_kq) {{ {} }}\n",
    "if (_kq) {{}} {}\n",
    "try {{}} {}\n",
    # A class body, what a class extends, a declarator, a type annotation.
    "class _kq {}\n",
    "class _kq {} {{}}\n",
    "let {};\n",
    "let _kq{};\n",
)
# Java and C#: statements live in method bodies, members in classes.
_CLASS_CONTEXTS = (
    "{}",
    "class _kq {{\n{}\n}}\n",
    "class _kq {{ void _kq() {{\n{}\n}} }}\n",
    "class _kq {{ void _kq() {{\n{};\n}} }}\n",
    "class _kq {{ void _kq() {{ _kq({}); }} }}\n",
    "class _kq {{ void _kq({}) {{}} }}\n",
    # Parameters with their parentheses; annotations, modifiers and type
    # parameters before a method; a type; a case.
    "class _kq {{ void _kq{} {{}} }}\n",
    "class _kq {{ {} void _kq() {{}} }}\n",
    "class _kq {{ {} _kq; }}\n",
    "class _kq {{ void _kq() {{ switch (_kq) {{ {} }} }} }}\n",
    # The clauses after a `try` block.
    "class _kq {{ void _kq() {{ try {{}} {} }} }}\n",
    # A class body, what a class extends or implements; C#'s property accessors.
    "class _kq {}\n",
    "class _kq {} {{}}\n",
    "class _kq {{ int _kq {{ {} }} }}\n",
    # A constructor's body, where `super(...)` and `this(...)` stand (Java).
    "class _kq {{ _kq() {{\n{}\n}} }}\n",
    # The arms of a switch expression (C#) or of a `switch` with arrows (Java).
    "class _kq {{ object _kq() {{ return _kq switch {{ {} }}; }} }}\n",
    "class _kq {{ void _kq() {{ switch (_kq) {{ {}; }} }} }}\n",
)
_CONTEXTS: dict[str, tuple[str, ...]] = {
    "python": (
        "{}",
        "_kq({})\n",
        "{{{}}}\n",
        "def _kq({}): pass\n",
        # A decorator; the clauses after a block.
        "{}\ndef _kq(): pass\n",
        "if _kq:\n    pass\n{}\n",
        "try:\n    pass\n{}\n",
    ),
    "c": _C_CONTEXTS,
    "cpp": _C_CONTEXTS,
    "javascript": _JS_CONTEXTS,
    "typescript": _JS_CONTEXTS,
    "tsx": _JS_CONTEXTS,
    "java": _CLASS_CONTEXTS,
    "c_sharp": _CLASS_CONTEXTS,
    "csharp": _CLASS_CONTEXTS,
    # Go reads a bare call at the top as a type conversion: bodies come first.
    "go": (
        "package _kq\nfunc _kq() {{\n{}\n}}\n",
        "package _kq\n{}\n",
        "{}",
        "package _kq\nfunc _kq() {{ _kq({}) }}\n",
        # A parameter before a struct's field: `ctx context.Context` is most often one.
        "package _kq\nfunc _kq({}) {{}}\n",
        "package _kq\ntype _kq struct {{\n{}\n}}\n",
        "package _kq\nfunc _kq{} {{}}\n",
        "package _kq\nfunc _kq{}() {{}}\n",
        "package _kq\nfunc _kq() {{\nswitch _kq {{\n{}\n}}\n}}\n",
    ),
    "rust": (
        "{}",
        "fn _kq() {{\n{}\n}}\n",
        "fn _kq() {{\n{};\n}}\n",
        "fn _kq() {{ _kq({}); }}\n",
        "impl _kq {{\n{}\n}}\n",
        "struct _kq {{\n{}\n}}\n",
        "fn _kq({}) {{}}\n",
        "fn _kq{} {{}}\n",
        "fn _kq() {{ match _kq {{ {} }} }}\n",
        "fn _kq() {} {{}}\n",
    ),
    "kotlin": (
        "{}",
        "fun _kq() {{\n{}\n}}\n",
        "class _kq {{\n{}\n}}\n",
        "fun _kq() {{ _kq({}) }}\n",
        "fun _kq{} {{}}\n",
        "fun _kq() {{ when (_kq) {{\n{}\n}} }}\n",
        "fun _kq() {{ _kq{}() }}\n",
        "fun _kq(_kq: {}) {{}}\n",
        # Annotations before a declaration; the clauses after a `try` block.
        "{}\nfun _kq() {{}}\n",
        "fun _kq() {{ try {{}} {} }}\n",
    ),
    # A contract's members first (state variables, as ast-grep reads them), then a
    # function's statements, an argument, a type.
    "solidity": (
        "{}",
        "contract _kq {{\n{}\n}}\n",
        "contract _kq {{ function _kq() public {{\n{}\n}} }}\n",
        "contract _kq {{ function _kq() public {{ _kq({}); }} }}\n",
        "contract _kq {{ {} _kq; }}\n",
        "contract _kq {{ function _kq({}) public {{}} }}\n",
    ),
    "php": (
        "<?php\n{}\n",
        "<?php\n{};\n",
        "<?php\nfunction _kq() {{\n{}\n}}\n",
        "<?php\nclass _kq {{\n{}\n}}\n",
        "<?php\n_kq({});\n",
        # Attributes before a declaration; an array's element, a match's arm.
        "<?php\n{}\nfunction _kq() {{}}\n",
        "<?php\n[{}];\n",
        "<?php\nmatch (_kq) {{ {} }};\n",
        # A case; the clauses after an `if`'s and a `try`'s block.
        "<?php\nswitch (_kq) {{ {} }}\n",
        "<?php\nif (_kq) {{}} {}\n",
        "<?php\ntry {{}} {}\n",
        "{}",
    ),
}

# Languages without a table: the code as is, then as a statement, a member,
# an argument or a value in the wrappers of a few syntaxes, the first that
# parses cleanly and has nodes spanning exactly the code.
_GENERIC_CONTEXTS = (
    "{}",
    # A grammar whose every line ends with a line break (a Dockerfile's `RUN`).
    "{}\n",
    "void _kq() {{\n{}\n}}\n",
    "void _kq() {{\n{};\n}}\n",
    "function _kq() {{\n{}\n}}\n",
    "function _kq() {{\n{};\n}}\n",
    "fn _kq() {{\n{}\n}}\n",
    "fn _kq() {{\n{};\n}}\n",
    "func _kq() {{\n{}\n}}\n",
    "fun _kq() {{\n{}\n}}\n",
    # After the bodies: at the top, Dart reads `f(x);` as a function's signature.
    "{};\n",
    "class _kq {{\n{}\n}}\n",
    "class _kq {{\n{};\n}}\n",
    "_kq {{\n{}\n}}\n",
    "_kq {{\n{};\n}}\n",
    "_kq({})\n",
    "_kq({});\n",
    "_kq = {}\n",
    "_kq = {};\n",
    "{{{}}}\n",
    "[{}]\n",
    "_kq {}\n",
    # Annotations, before what they annotate (Scala's `@deprecated`).
    "{}\nclass _kq {{}}\n",
)


# Elixir: the clauses of a `case` (`$A -> $B`) after the code as it is.
_CONTEXTS["elixir"] = (*_GENERIC_CONTEXTS[:1], "case _kq do\n{}\nend\n", *_GENERIC_CONTEXTS[1:])


# Haskell: a statement of a `do` block (`let $X = $E`, `$X <- $E`) after the code as it is.
_CONTEXTS["haskell"] = (*_GENERIC_CONTEXTS[:1], "_kq = do\n  {}\n", *_GENERIC_CONTEXTS[1:])


def contexts_for(lang: str, code: str) -> tuple[str, ...]:
    """The contexts ``code`` in ``lang`` is tried in, in order: ``{}`` marks where it goes.

    >>> contexts_for("python", "print($A)")[:2]
    ('{}', '_kq({})\\n')
    """
    contexts = _CONTEXTS.get(lang, _GENERIC_CONTEXTS)
    typed = _TYPE_CONTEXTS.get(lang)
    if typed is not None and typed not in contexts:
        contexts = (*contexts, typed)  # last: code that reads as a value is one
    if code.lstrip().startswith("@"):
        # An annotation is read before what it annotates first: alone, Kotlin
        # reads `@Suppress($$$A)` as an annotated expression in parentheses.
        contexts = tuple(sorted(contexts, key=lambda c: not re.fullmatch(r"\{\}\n\w.*", c, re.S)))
    if lang == "php" and "<?" not in code:
        # Without its tag PHP code is HTML text, which takes anything.
        contexts = tuple(c for c in contexts if c != "{}")
    return contexts


def type_context(lang: str) -> str | None:
    """The context where code in ``lang`` is read as a type, or None where kovel knows none.

    >>> type_context("typescript")
    'let _kq: {};\\n'
    """
    return _TYPE_CONTEXTS.get(lang)


def is_type_kind(kind: str) -> bool:
    """Whether nodes of ``kind`` are types: the grammars name them so
    (``union_type``, ``type_identifier``, TypeScript's ``keyof T``).

    >>> is_type_kind("generic_type"), is_type_kind("scoped_type_identifier"), is_type_kind("call")
    (True, True, False)
    """
    return kind.endswith(("_type", "type_identifier")) or kind in _OTHER_TYPE_KINDS


_OTHER_TYPE_KINDS = frozenset({"index_type_query", "type_query"})

# Where a type stands alone, in the languages whose types are no values:
# a fix that replaces a type is read there (`$T[]` in TypeScript, `&$T` in
# Rust, which read otherwise as an expression).
_TYPE_CONTEXTS = {
    "typescript": "let _kq: {};\n",
    "tsx": "let _kq: {};\n",
    "rust": "type _Kq = {};\n",
    "go": "package _kq\ntype _kq {}\n",
    "java": "class _kq {{ {} _kq; }}\n",
    "c_sharp": "class _kq {{ {} _kq; }}\n",
    "kotlin": "val _kq: {} = _kq\n",
    "swift": "let _kq: {} = _kq\n",
    "scala": "val _kq: {} = _kq\n",
}


def user_context(code: str, context: str) -> str:
    """``context`` (a snippet holding ``code``) as a parse context: ``{}`` where the code stands in it.

    >>> user_context("f($X)", "g(f($X)) {}"), user_context("f($A)", "f($A)\\ng($B)\\n")
    ('g({}) {{}}', '{}\\ng(_kq)\\n')
    """
    at = context.find(code.strip()) if code.strip() else -1
    if at < 0:
        raise ValueError(f"the context {context!r} does not contain the pattern code {code.strip()!r}")
    head, tail = context[:at], context[at + len(code.strip()) :]
    # The context's own metavariables, outside the code, stand for some name there.
    head, tail = _OTHER_METAS.sub("_kq", head), _OTHER_METAS.sub("_kq", tail)
    return head.replace("{", "{{").replace("}", "}}") + "{}" + tail.replace("{", "{{").replace("}", "}}")


_OTHER_METAS = re.compile(r"\$(?:\$\$)?[A-Z_][A-Z0-9_]*")


_CONTEXT_PARTS = re.compile(r"\{\{|\}\}|\{\}")


def split_context(context: str) -> tuple[str, str]:
    """The text before and after the ``{}`` of a context, its ``{{`` and ``}}`` unescaped.

    >>> split_context("if (a) {{}} {}\\n")
    ('if (a) {} ', '\\n')
    """
    parts = ["", ""]
    side = 0
    pos = 0
    for m in _CONTEXT_PARTS.finditer(context):
        parts[side] += context[pos : m.start()]
        if m.group() == "{}" and side == 0:
            side = 1
        else:
            parts[side] += m.group()[0]
        pos = m.end()
    parts[side] += context[pos:]
    return parts[0], parts[1]
