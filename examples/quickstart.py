"""Generate a small Python function with kovel, print it and evaluate part of it."""

from kovel import HOLE, KTerm, cmd, from_postcard_bytes, klift, name, quote, tb, write


def call(fn: str, *args: int | str | KTerm) -> KTerm:
    b = tb("call").c(name(fn)).w("(")
    for i, arg in enumerate(args):
        if i:
            b.w(", ")
        b.c(klift(arg))
    return b.w(")").b()


body = tb("block").p("    ").n().w("return ").c(call("greet", 'Ada "the first"', 1815)).x().b()
func = tb("function_definition").w("def main():").c(body).b()
print(func)

# Terms travel as postcard bytes and come back equal.
wire = func.postcard_bytes()
assert str(from_postcard_bytes(wire)) == str(func)
print(f"# {len(wire)} postcard bytes")

# A quoted fragment wraps a term with its own layout.
q = quote("expr", 0, "py", call("max", 3, 7), [cmd(write("(")), HOLE, cmd(write(") * 2"))])
print("#", q, "=", q.reduce())
