"""Deterministic code-shaped workload, built two ways from one plan.

`plan(size)` draws a module (functions with nested indented blocks, calls,
binary operators, identifier/integer/string leaves, and references into a pool
of shared sub-terms) from a seeded RNG.  `emitter(KOVEL)` and `emitter(TUPLES)`
walk the same plan, one function per construct:

* KOVEL builds `KTerm`s through tb/w/c/n/p/x/b, leaf and klift;
* TUPLES builds what a user without kovel would hold: nested tuples
  `(tag, children, cmds)`, `children` a tuple of nodes and `cmds` a tuple whose
  items are: a `str` = write that text, `None` = HOLE (the next child),
  `0` = NL, `1` = POP, a 1-tuple `(prefix,)` = push that prefix.

Both make the same tree and share the same pooled sub-terms.
"""

import random

from kovel import klift, leaf, tb

SIZES = {"small": 100, "medium": 1000, "large": 10000}  # functions per module
NL, POP, IND = 0, 1, ("    ",)
NAMES = ["self", "x", "y", "i", "n", "items", "result", "value", "key", "data", "total", "node"]
FUNCS = ["len", "print", "range", "sorted", "append", "get", "update", "process", "isinstance"]
OPS = [" + ", " - ", " * ", " < ", " == ", " and ", " % "]
# Shared sub-expressions; ("s", k) refers to NAMES[k], then to these.
POOL = [
    ("c", ("n", "len"), (("s", 5),)),
    ("b", " + ", ("s", 3), ("i", 1)),
    ("c", ("n", "range"), (("s", 4),)),
]


def plan(size, seed=2024):
    """A nested plan: tuples (kind, *args) with kinds n v i q s b c a e r if for def mod."""
    rnd = random.Random(seed)
    count = iter(range(10**9))

    def ident():
        if rnd.random() < 0.35:
            return ("s", rnd.randrange(len(NAMES)))
        return ("v", rnd.choice(NAMES), next(count) % 997)

    def expr(d):
        r = rnd.random()
        if d <= 0 or r < 0.30:
            return ident()
        if r < 0.40:
            return ("i", rnd.randrange(-10, 10**6))
        if r < 0.47:
            return ("q", rnd.randrange(10**4))
        if r < 0.52:
            return ("s", len(NAMES) + rnd.randrange(len(POOL)))
        if r < 0.75:
            return ("b", rnd.choice(OPS), expr(d - 1), expr(d - 1))
        f = ("s", rnd.randrange(len(NAMES))) if r < 0.8 else ("n", rnd.choice(FUNCS))
        return ("c", f, tuple(expr(d - 1) for _ in range(rnd.randrange(4))))

    def block(d):
        return tuple(stmt(d) for _ in range(rnd.randrange(2, 6)))

    def stmt(d):
        r = rnd.random()
        if d > 0 and r < 0.15:
            return ("if", expr(2), block(d - 1), block(d - 1) if rnd.random() < 0.4 else ())
        if d > 0 and r < 0.25:
            return ("for", ident(), expr(2), block(d - 1))
        return ("a", ident(), expr(3)) if r < 0.6 else ("e", expr(3)) if r < 0.8 else ("r", expr(3))

    def func(k):
        return ("def", ("v", "func", k), tuple(ident() for _ in range(rnd.randrange(4))), block(4))

    return ("mod", tuple(func(k) for k in range(SIZES[size])))


def emitter(ops):
    """The function that turns a plan into a term with the constructs in `ops`."""

    def emit(p):
        return pool[p[1]] if p[0] == "s" else ops[p[0]](emit, *p[1:])

    pool = [emit(("n", s)) for s in NAMES]
    pool += [emit(p) for p in POOL]
    return emit


def _args(b, E, args):  # appends "a, b, c" to a builder
    for k, a in enumerate(args):
        if k:
            b.w(", ")
        b.c(E(a))
    return b


def _block(b, E, body):  # appends an indented block to a builder
    b.p("    ")
    for s in body:
        b.n().c(E(s))
    return b.x()


def _kif(E, cond, body, orelse):
    b = _block(tb("if_statement").w("if ").c(E(cond)).w(":"), E, body)
    return (_block(b.n().w("else:"), E, orelse) if orelse else b).b()


def _kmod(E, funcs):
    b = tb("module")
    for k, f in enumerate(funcs):
        if k:
            b.n().n()
        b.c(E(f))
    return b.n().b()


KOVEL = {
    "n": lambda E, s: leaf("identifier", s),
    "v": lambda E, base, k: leaf("identifier", f"{base}_{k}"),
    "i": lambda E, v: leaf("integer", str(v)),
    "q": lambda E, k: klift(f"text {k}"),
    "b": lambda E, op, a, b: tb("binary_operator").c(E(a)).w(op).c(E(b)).b(),
    "c": lambda E, f, args: _args(tb("call").c(E(f)).w("("), E, args).w(")").b(),
    "a": lambda E, t, e: tb("assignment").c(E(t)).w(" = ").c(E(e)).b(),
    "e": lambda E, e: tb("expression_statement").c(E(e)).b(),
    "r": lambda E, e: tb("return_statement").w("return ").c(E(e)).b(),
    "if": _kif,
    "for": lambda E, v, it, body: _block(
        tb("for_statement").w("for ").c(E(v)).w(" in ").c(E(it)).w(":"), E, body
    ).b(),
    "def": lambda E, name, params, body: _block(
        _args(tb("function_definition").w("def ").c(E(name)).w("("), E, params).w("):"), E, body
    ).b(),
    "mod": _kmod,
}


def _holes(n, *sep):  # cmds of n holes with `sep` between them
    return (None, *(*sep, None) * (n - 1)) if n else ()


def _tblock(body):
    return (IND, *(NL, None) * len(body), POP)


TUPLES = {
    "n": lambda E, s: ("identifier", (), (s,)),
    "v": lambda E, base, k: ("identifier", (), (f"{base}_{k}",)),
    "i": lambda E, v: ("integer", (), (str(v),)),
    "q": lambda E, k: (
        "string",
        (("string_start", (), ('"',)), ("string_content", (), (f"text {k}",)), ("string_end", (), ('"',))),
        (None, None, None),
    ),
    "b": lambda E, op, a, b: ("binary_operator", (E(a), E(b)), (None, op, None)),
    "c": lambda E, f, args: ("call", (E(f), *map(E, args)), (None, "(", *_holes(len(args), ", "), ")")),
    "a": lambda E, t, e: ("assignment", (E(t), E(e)), (None, " = ", None)),
    "e": lambda E, e: ("expression_statement", (E(e),), (None,)),
    "r": lambda E, e: ("return_statement", (E(e),), ("return ", None)),
    "if": lambda E, cond, body, orelse: (
        "if_statement",
        (E(cond), *map(E, body), *map(E, orelse)),
        ("if ", None, ":", *_tblock(body), *((NL, "else:", *_tblock(orelse)) if orelse else ())),
    ),
    "for": lambda E, v, it, body: (
        "for_statement",
        (E(v), E(it), *map(E, body)),
        ("for ", None, " in ", None, ":", *_tblock(body)),
    ),
    "def": lambda E, name, params, body: (
        "function_definition",
        (E(name), *map(E, params), *map(E, body)),
        ("def ", None, "(", *_holes(len(params), ", "), "):", *_tblock(body)),
    ),
    "mod": lambda E, funcs: ("module", tuple(map(E, funcs)), (*_holes(len(funcs), NL, NL), NL)),
}


def count_nodes(t):
    """(nodes in the tree, distinct nodes) of a tuple-form term."""
    seen, total, stack = set(), 0, [t]
    while stack:
        node = stack.pop()
        total += 1
        seen.add(id(node))
        stack.extend(node[1])
    return total, len(seen)
