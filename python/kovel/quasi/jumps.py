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

from kovel.quasi.inplace import byte_offsets, fix_misread, rewritten
from kovel.quasi.parse import JUMP_TARGETS, MisreadError
from kovel.treesitter.grammars import parser

if TYPE_CHECKING:
    from tree_sitter import Node

__all__ = ["JUMPING", "jump_misread", "jumps_rebound"]

#: What a jump names: its word, the kinds of node it may go to (the innermost
#: around it, or the one ``levels`` up), and the functions it never goes past.
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
_BASH_SHELLS = frozenset({"subshell", "command_substitution", "process_substitution"})
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
}
_OWN_JUMPS["kotlin"] = {}  # (one kind for every jump: read by its first word)
_OWN_JUMPS["bash"] = {}  # (commands: read by their names)
_KOTLIN_JUMPS = {
    "break": ("break", _KOTLIN_LOOPS | _KOTLIN_FUNCTIONS | {"lambda_literal"}),
    "continue": ("continue", _KOTLIN_LOOPS | _KOTLIN_FUNCTIONS | {"lambda_literal"}),
    "return": ("return", _KOTLIN_FUNCTIONS),  # (a lambda's returns from the function around it)
}
_BASH_JUMPS = {
    "break": ("break", _BASH_LOOPS | {"function_definition"} | _BASH_SHELLS),
    "continue": ("continue", _BASH_LOOPS | {"function_definition"} | _BASH_SHELLS),
    "return": ("return", frozenset({"function_definition"})),
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
    old_root = parser(lang).parse(data).root_node
    at = byte_offsets(text)
    before = {k: _where(lang, old_root, at(s), at(e)) for k, (s, e) in enumerate(spans)}
    before = {k: c for k, c in before.items() if c}
    if not before:
        return []
    _, new_root, moved = rewritten(lang, text, spans, bodies)
    out = []
    for k, was in before.items():
        now = _where(lang, new_root, moved(spans[k][0]), moved(spans[k][1]))
        for word in {w for w, _ in was}:
            # (How many go inside and outside, before and after: one gone from each side to the other.)
            old_in, old_out, new_in, new_out = (
                was[word, True],
                was[word, False],
                now[word, True],
                now[word, False],
            )
            escaped = new_out > old_out and new_in < old_in
            captured = new_in > old_in and new_out < old_out
            if escaped or captured:
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


def _where(lang: str, root: Node, lo: int, hi: int) -> Counter[tuple[str, bool]]:
    """For the jumps in bytes ``[lo, hi)``: how many of each word go to a loop,
    switch or function inside that span, and how many outside it."""
    out: Counter[tuple[str, bool]] = Counter()
    node = root.descendant_for_byte_range(lo, max(lo, hi - 1))
    while node is not None and node.parent is not None and (node.start_byte > lo or node.end_byte < hi):
        node = node.parent
    if node is None:
        return out
    todo = [node]
    while todo:
        n = todo.pop()
        if n.end_byte <= lo or n.start_byte >= hi:
            continue
        jump = _jump(lang, n) if n.start_byte >= lo and n.end_byte <= hi else None
        if jump is not None:
            target = _target(n, jump[1], jump[2])
            inside = target is not None and target.start_byte >= lo and target.end_byte <= hi
            out[(jump[0], inside)] += 1
        todo.extend(n.children)
    return out


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
_MORE_WORDS = {"lua": ("goto",), "ruby": ("next", "redo", "retry"), "bash": ("exit",), "go": ("fallthrough",)}


def _target(n: Node, kinds: frozenset[str], levels: int = 1) -> Node | None:
    """The ``levels``-th node of ``kinds`` around ``n``, from the innermost, or
    the function it never goes past on the way (None: none)."""
    up = n.parent
    while up is not None:
        if up.type in kinds:
            levels -= 1
            if levels <= 0 or up.type in _BOUNDS:
                return up
        up = up.parent
    return None
