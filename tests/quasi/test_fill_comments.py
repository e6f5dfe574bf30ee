"""A value put into a template's comment stays comment text: the program prints
what it prints without the comment, run by its language's own tools."""

import pytest

from kovel.quasi import MisreadError, template
from kovel.treesitter import parse
from tests.helpers import program_output, rewrite_leaving

C_MAIN = '#include <stdio.h>\nint main(void) {{ int x = 1;\n  {}\n  printf("%d\\n", x); }}\n'
JAVA_MAIN = (
    "class A {{ public static void main(String[] a) {{ int x = 1;\n  {}\n  System.out.println(x); }} }}\n"
)
RUST_MAIN = 'fn main() {{ let mut x = 1;\n  {}\n  x += 0; println!("{{}}", x); }}\n'
LUA_MAIN = "local x = 1\n{}\nprint(x)\n"
PHP_MAIN = "<?php\n$x = 1;\n{}\necho $x;\n"
RUBY_MAIN = 's = +"a"\n{}\nx = 1\nputs x\n'
GO_MAIN = "package main\n\n{}\nfunc main() {{ x := 1; println(x) }}\n"


# Each comment holds text that would end it, or make it another thing, were it written as it is.
@pytest.mark.parametrize(
    "lang, main, comment, value",
    [
        ("c", C_MAIN, "/* $C */", "*\\\n/ x = 2; /*"),
        ("c", C_MAIN, "/* $C */", "a *\\  \n\\\n/ x = 2; /*"),
        ("cpp", C_MAIN, "// $C and more\n x = 1;", "c:\\dir\\"),
        ("c", C_MAIN, "// $C\n x = 1;", "??/"),
        ("java", JAVA_MAIN, "// $C", "see \\u000a x = 2;"),
        ("java", JAVA_MAIN, "/* $C */", "\\u002a/ x = 2; /*"),
        ("java", JAVA_MAIN, "// C:\\$C", "u000a x = 2;"),
        ("rust", RUST_MAIN, "/* $C */", "see /* here"),
        ("rust", RUST_MAIN, "//$C", "/ not a doc comment"),
        ("rust", RUST_MAIN, "/*$C*/", "* nor this"),
        ("lua", LUA_MAIN, "--[[ $C ]]", "]] x = 2 --"),
        ("lua", LUA_MAIN, "--[==[ $C ]==]", "]==] x = 2 --"),
        ("lua", LUA_MAIN, "--[=[ $C]=]", "a ]="),
        ("lua", LUA_MAIN, "--$C\nx = 1", "[[ a long comment"),
        ("php", PHP_MAIN, "// $C", "?>leaked"),
        ("php", PHP_MAIN, "# $C", "a ?> b"),
        ("php", PHP_MAIN, "// a?$C", ">b"),
        ("php", PHP_MAIN, "#$C", "[Deprecated] x"),
        ("python", "# $C\nprint(len('é'))\n", None, "-*- coding: latin-1 -*-"),
        ("python", "#!/usr/bin/env python3\n# $C\nprint(len('é'))\n", None, "vim: set fileencoding=latin-1"),
        ("ruby", RUBY_MAIN, "# -*- $C", "frozen_string_literal: true -*-\ns << 'b'"),
        ("go", GO_MAIN, "//$C", "go:build ignore"),
    ],
)  # fmt: skip
def test_a_comment_keeps_what_it_is(tmp_path, lang, main, comment, value):
    code = main if comment is None else main.format(comment)
    expected = program_output(lang, code.replace("$C", "note"), tmp_path)
    filled = str(template(lang, code).fill(C=value))
    assert program_output(lang, filled, tmp_path) == expected


# Text no rewriting keeps a comment: a NUL, a byte order mark, a line splice C
# reads at a backslash ending the line, a Ruby magic comment.
@pytest.mark.parametrize(
    "lang, code, value",
    [
        ("python", "x = 1  # $C\n", "a\0b"),
        ("go", "package main\n// $C\n", "a\ufeffb"),
        ("c", "int x; // $C\n", "c:\\dir\\"),
        ("cpp", "int x; // $C  \n", "note\\  "),
        ("ruby", "# $C\nx = 1\n", "frozen_string_literal: true"),
        ("ruby", "# $C\nx = 1\n", "Encoding: latin-1"),
        ("ocaml", "let x = 1 (* $C *)\n", 'a " b'),
    ],
)  # fmt: skip
def test_a_comment_refuses_what_it_cannot_hold(lang, code, value):
    with pytest.raises(ValueError, match=r"cannot splice into \$C"):
        template(lang, code).fill(C=value)


# Nested comments and HTML's: the opener inside, or a closer `<!-->` forms at once, is broken up.
@pytest.mark.parametrize(
    "lang, code, value, out",
    [
        ("haskell", "x = 1 {- $C -}\n", "a {- b", "x = 1 {- a { - b -}\n"),
        ("ocaml", "let x = 1 (* $C *)\n", "a (* b *)", "let x = 1 (* a ( * b * ) *)\n"),
        ("html", "<p><!--$C--></p>", "> <b>x</b> --!> y", "<p><!-- > <b>x</b> - -!> y--></p>"),
        ("haskell", "x = 1 --$C\n", "> y", "x = 1 -- > y\n"),
    ],
)  # fmt: skip
def test_a_comment_breaks_up_what_would_end_it(lang, code, value, out):
    assert str(template(lang, code).fill(C=value)) == out


# A value that ends with what takes the rest of its line (a line comment, a heredoc's
# end) takes no more of the template after it on that line: that would be commented out.
@pytest.mark.parametrize(
    "lang, code, value, out",
    [
        ("python", "x = [$S, 2]", "a  # hi", None),
        ("javascript", "f($S, 2);", "a // hi", None),
        ("c", "f($S, 2);", "a /* hi */", "f((a /* hi */), 2);"),
        ("lua", "f($S, 2)", "a -- hi", None),
        ("lua", "f($S, 2)", "a --[[ hi ]]", "f((a --[[ hi ]]), 2)"),
        ("haskell", "x = f $S 2", "a -- hi", None),
        ("rust", "f($S, 2)", "a // hi", None),  # (a comment that holds its `//` as a token)
        ("ruby", "x = [$S, 2]\np x", "<<~EOS\n  hi\nEOS", None),
        ("bash", "f; $S; g", "cat <<EOF\nbody\nEOF", None),
        ("bash", "f\n$S\ng", "cat <<EOF\nbody\nEOF", "f\ncat <<EOF\nbody\nEOF\ng"),
    ],
)  # fmt: skip
def test_a_value_ending_its_line_ends_the_template_line(lang, code, value, out):
    filled = template(lang, code)
    if out is None:
        with pytest.raises(MisreadError):
            filled.fill(S=parse(lang, value))
    else:
        assert str(filled.fill(S=parse(lang, value))) == out


# ... in a rewrite too: the match is left alone, and the program still does what it did.
@pytest.mark.parametrize(
    "lang, source, pat, tpl",
    [
        ("python", "i = 0\nwhile True:\n    i += 1  # count\nprint(i)\n", "while $C:\n    $$$B", "while $C: $$$B; break"),
        ("bash", "if true; then\n  cat <<EOF\nbody\nEOF\nfi\necho end\n", "if $C; then\n  $$$B\nfi", "$$$B  # was: if $C"),
        ("bash", "if true; then cat <<EOF\nbody\nEOF\nfi\necho end\n", "if $C; then $$$B; fi",
         "if $C; then $$$B; echo after; fi"),
        ("elixir", "IO.inspect(Enum.max([1,\n  2 # two\n]))\n", "[$$$A]", "[$$$A, 3]"),
    ],
)  # fmt: skip
def test_a_rewrite_puts_nothing_after_what_takes_its_line(lang, source, pat, tpl):
    text, left = rewrite_leaving(lang, source, pat, tpl)
    assert (text, len(left)) == (source, 1)
