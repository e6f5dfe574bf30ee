"""Where a `break`, `continue` or `return` goes: to the innermost loop (or
switch, for `break`) or function around it; and the function whose kind an
`await`, a `yield`, a `this` (not an arrow's) or Go's `defer` belongs to.  A replacement that takes away
the switch a `break` ended (`switch (x) { case 1: ...; break }` made an `if`
inside a loop) sends it to the loop around, which it then ends; one that
takes away a function wrapper sends its `return` out of the function around;
one that puts such a word in a loop or function of the template's own takes
it from where it went.  Either is left alone.

The check counts, for each word in the replaced text, whether what it goes to
lies inside the replaced text or outside, before and after.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING

from kovel.quasi.inplace import byte_offsets, fix_misread, nodes_over, parsed_root, rewritten
from kovel.quasi.parse import JUMP_TARGETS, MisreadError

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["JUMPING", "jump_misread", "jumps_rebound"]

#: What a jump is: its word, the kinds of node it may go to, and how many of
#: them up it goes (PHP's and the shell's `break 2`; never past ``_BOUNDS``).
_Jump = tuple[str, frozenset[str], int]

# Languages whose jumps are no node kind of their own, or go elsewhere than
# ``JUMP_TARGETS`` says: by language, the word of each jump's kind.
_LUA_LOOPS = frozenset({"for_statement", "while_statement", "repeat_statement"})
_LUA_FUNCTIONS = frozenset({"function_definition", "function_declaration"})
_RUBY_LOOPS = frozenset({"while", "until", "for", "while_modifier", "until_modifier"})
_RUBY_BLOCKS = frozenset({"block", "do_block", "lambda"})
_RUBY_METHODS = frozenset({"method", "singleton_method"})
_KOTLIN_LOOPS = frozenset({"for_statement", "while_statement", "do_while_statement"})
_KOTLIN_FUNCTIONS = frozenset({"function_declaration", "anonymous_function", "getter", "setter"})
_BASH_LOOPS = frozenset({"for_statement", "c_style_for_statement", "while_statement"})
_BASH_SHELLS = frozenset({"subshell", "command_substitution", "process_substitution", "pipeline"})
_PHP_TARGETS = frozenset(
    {"for_statement", "while_statement", "do_statement", "foreach_statement", "switch_statement",
     "function_definition", "method_declaration", "anonymous_function", "arrow_function"}
)  # fmt: skip
_OWN_JUMPS: dict[str, dict[str, tuple[str, frozenset[str]]]] = {
    "lua": {
        "break_statement": ("break", _LUA_LOOPS | _LUA_FUNCTIONS),
        "return_statement": ("return", _LUA_FUNCTIONS),
        # A label is seen from its block and those inside it, never from another function.
        "goto_statement": ("goto", _LUA_FUNCTIONS),
    },
    "ruby": {
        **dict.fromkeys(("break", "next", "redo"), ("break", _RUBY_LOOPS | _RUBY_BLOCKS | _RUBY_METHODS)),
        "return": ("return", _RUBY_METHODS | {"lambda"}),  # (a block's returns from the method around it)
        "yield": ("yield", _RUBY_METHODS),
        "retry": ("retry", frozenset({"rescue"}) | _RUBY_METHODS | _RUBY_BLOCKS),
    },
    # A switch's `continue` goes to the switch, as its `break` does.
    "php": {"continue_statement": ("continue", _PHP_TARGETS)},
    "go": {"fallthrough_statement": ("fallthrough", frozenset({"block", "expression_case", "default_case"}))},
    # A lambda has the `this` of the class around it; an anonymous class's body its own.
    "java": dict.fromkeys(
        ("this", "super"), ("this", frozenset({"class_body", "enum_body", "interface_body"}))
    ),
    # `?` returns from the function, closure or async block around it.
    "rust": {"try_expression": ("return", frozenset({"function_item", "closure_expression", "async_block"}))},
}
# JavaScript's `arguments` and `new.target` are a function's own, as its `this` is (not an arrow's).
for _js in ("javascript", "typescript", "tsx"):
    _OWN_JUMPS[_js] = {"meta_property": JUMP_TARGETS["this"]}
_KOTLIN_JUMPS = {
    "break": ("break", _KOTLIN_LOOPS | _KOTLIN_FUNCTIONS | {"lambda_literal"}),
    "continue": ("continue", _KOTLIN_LOOPS | _KOTLIN_FUNCTIONS | {"lambda_literal"}),
    "return": ("return", _KOTLIN_FUNCTIONS),  # (a lambda's returns from the function around it)
}
_BASH_JUMPS = {
    "break": ("break", _BASH_LOOPS | {"function_definition"} | _BASH_SHELLS),
    "continue": ("continue", _BASH_LOOPS | {"function_definition"} | _BASH_SHELLS),
    "return": ("return", frozenset({"function_definition"}) | _BASH_SHELLS),
    "exit": ("exit", frozenset({"function_definition"}) | _BASH_SHELLS),
}
#: Where a jump never goes past, whatever its count of levels.
_BOUNDS = (
    _LUA_FUNCTIONS | _RUBY_METHODS | _KOTLIN_FUNCTIONS | _BASH_SHELLS | {"function_definition", "lambda"}
)

#: The languages whose jumps are read here.
JUMPING = frozenset(
    {"c", "cpp", "java", "c_sharp", "go", "rust", "php", "javascript", "typescript", "tsx", "python"}
    | _OWN_JUMPS.keys()
    | {"kotlin", "bash"}  # (Kotlin's jumps are read by their first word, the shell's by their command's name)
)


def jumps_rebound(lang: str, text: str, spans: Sequence[tuple[int, int]], bodies: Sequence[str]) -> list[int]:
    """The places ``k`` whose replacement of ``spans[k]`` of ``text`` (code points,
    in order, apart) by ``bodies[k]`` sends a `break`, `continue`, `return`
    (or an `await`, `yield`, `this`, `defer`) of the match out of it where it
    went to something inside it, or into something of the replacement's where
    it went outside.

    >>> src = "while (a) {\\n  switch (x) { case 1: f(); break; }\\n  g();\\n}\\n"
    >>> jumps_rebound("javascript", src, [(14, 48)], ["if (x === 1) { f(); break; }"])
    [0]
    """
    if lang not in JUMPING:
        return []
    # Only a jump in a match's own text can go elsewhere: most matches hold none, and need no parse.
    words = _WORDS + _MORE_WORDS.get(lang, ())
    if not any(word in text[s:e] for s, e in spans for word in words):
        return []
    data = text.encode()
    old_root = parsed_root(lang, data)
    at = byte_offsets(text)
    before = {k: _where(lang, old_root, at(s), at(e)) for k, (s, e) in enumerate(spans)}
    before = {k: c for k, c in before.items() if c}
    if not before:
        return []
    _, new_root, moved = rewritten(lang, text, spans, bodies)
    out = []
    for k, was in before.items():
        now = _where(lang, new_root, moved(spans[k][0]), moved(spans[k][1]))
        # A jump gone from where it went and one come to where none went: it went elsewhere.
        # (The template's own jumps only add, and a value written twice doubles what it had.)
        for word in {key[0] for key in was}:
            lost = any(now[key] < n for key, n in was.items() if key[0] == word)
            gained = any(n > was[key] for key, n in now.items() if key[0] == word)
            if lost and gained:
                out.append(k)
                break
    return out


def jump_misread(text: str, span: tuple[int, int]) -> MisreadError:
    """The error of a replacement of ``span`` of ``text`` that ``jumps_rebound`` finds."""
    return fix_misread(
        text,
        span,
        "send a jump it holds (a break, continue, return, goto, exit; an await, yield, this or defer) elsewhere",
    )


#: Where a jump goes: its word, whether inside the span or outside, the kind of
#: node it goes to, and how many nodes it could go to lie on the way on that side
#: (`break 2` sent from the second loop out to the first by a loop put around it).
_Where = tuple[str, bool, str | None, int]  # (the kind as ``_role`` says it)


def _where(lang: str, root: Node, lo: int, hi: int) -> Counter[_Where]:
    """For the jumps in bytes ``[lo, hi)``: how many go where (see ``_Where``)."""
    out: Counter[_Where] = Counter()
    for n in nodes_over(root, lo, hi):
        jump = _jump(lang, n) if n.start_byte >= lo and n.end_byte <= hi else None
        if jump is not None:
            out[_goes(lang, n, jump, lo, hi)] += 1
    return out


def _goes(lang: str, n: Node, jump: _Jump, lo: int, hi: int) -> _Where:
    """Where the jump ``n`` goes, as ``_Where`` says it, for the span ``[lo, hi)``."""
    word, kinds, levels = jump
    up, inner, outer = n.parent, 0, 0  # (the nodes of kinds passed inside the span, and outside)
    while up is not None:
        kind = _kind(lang, up)
        if kind in kinds:
            inside = up.start_byte >= lo and up.end_byte <= hi
            inner, outer = inner + inside, outer + (not inside)
            levels -= 1
            if levels <= 0 or kind in _BOUNDS:
                return word, inside, _role(kind), inner if inside else outer
        up = up.parent
    return word, False, None, outer


def _role(kind: str) -> str:
    """What a node a jump goes to is to it, whatever its grammar's kind: a
    function (a declaration or an expression alike), a loop (a `for` or a
    `while`), a switch, a subshell, a class; a block is its own."""
    for role, words in _ROLES:
        if any(w in kind for w in words):
            return role
    return kind


_ROLES = (
    ("function", ("function", "method", "lambda", "closure", "constructor", "func_literal", "arrow", "getter",
                  "setter", "async_block")),
    ("switch", ("switch", "select", "case")),
    ("loop", ("for", "while", "loop", "do_statement", "repeat", "until")),
    ("shell", ("subshell", "substitution", "pipeline")),
    ("class", ("class_body", "enum_body", "interface_body")),
)  # fmt: skip


def _kind(lang: str, n: Node) -> str:
    """``n``'s kind as a jump sees it: Ruby's block given to `lambda` is a lambda of its own."""
    if (
        lang == "ruby"
        and n.type in ("block", "do_block")
        and n.parent is not None
        and n.parent.type == "call"
    ):
        method = n.parent.child_by_field_name("method")
        if method is not None and method.text in (b"lambda", b"proc"):
            return "lambda" if method.text == b"lambda" else n.type
    return n.type


def _jump(lang: str, n: Node) -> _Jump | None:
    """The jump ``n`` is in ``lang`` (None: none, or one to a label)."""
    if not n.is_named:
        return None
    if lang == "kotlin":
        if n.type != "jump_expression" or any(c.type == "label" for c in n.named_children):
            return None
        got = _KOTLIN_JUMPS.get(n.text.split(None, 1)[0].decode() if n.text else "")
        return None if got is None else (*got, 1)
    if lang == "bash":
        name = n.child_by_field_name("name") if n.type == "command" else None
        got = _BASH_JUMPS.get(name.text.decode() if name is not None and name.text else "")
        return None if got is None else (*got, _levels(n))
    word = _OWN_JUMPS.get(lang, {}).get(n.type) or JUMP_TARGETS.get(n.type)
    if word is None and n.type == "identifier" and n.text == b"arguments" and lang in _JS:
        word = JUMP_TARGETS["this"]
    if word is None:
        return None
    if word[0] in ("break", "continue") and any(c.type in _LABELS for c in n.named_children[:1]):
        return None
    return (*word, _levels(n) if lang == "php" else 1)


def _levels(n: Node) -> int:
    """How many loops a PHP or shell `break 2` leaves: the number it says, or one."""
    count = next((c for c in n.named_children if c.type in ("integer", "number")), None)
    text = count.text.decode() if count is not None and count.text else ""
    return int(text) if text.isdigit() and 0 < int(text) < 100 else 1


#: What a jump's node holds first where it goes to a label (`break outer`).
_LABELS = frozenset({"label", "lifetime", "statement_identifier", "identifier", "label_name"})
#: The words ``JUMP_TARGETS`` reads, as a file would spell them.
_WORDS = ("break", "continue", "return", "await", "yield", "defer", "this", "super")
#: The words only some languages' jumps spell.
_MORE_WORDS = {
    "lua": ("goto",), "ruby": ("next", "redo", "retry"), "bash": ("exit",), "go": ("fallthrough",), "rust": ("?",),
    **dict.fromkeys(("javascript", "typescript", "tsx"), ("arguments", "new.target")),
}  # fmt: skip
_JS = frozenset({"javascript", "typescript", "tsx"})
