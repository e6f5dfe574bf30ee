"""Patterns as users write them, in the languages beyond the first few: the
parse context is found for them, and the grammar's wrappers do not get in
the way of a match."""

import pickle

import pytest

from kovel.quasi import pattern, template
from kovel.quasi.match import search_source
from kovel.treesitter import parse

treesitter = pytest.importorskip("kovel.treesitter")

GO = (
    'package p\n\nimport "fmt"\n\nfunc f() error {\n\tx, err := g()\n\tif err != nil {\n\t\treturn err\n\t}\n'
    "\tif err != nil {\n\t\treturn x\n\t}\n\tfmt.Println(x, 1)\n\ty := foo(1)\n\treturn nil\n}\n"
)
JAVA = (
    "class A {\n  void f() {\n    System.out.println(a);\n    int y = g(System.out.println(b));\n"
    "    if (a) { b(); } else { c(); }\n  }\n}\n"
)
SHELL_IFS = 'if test -n "$X" ; then\n  echo a\nfi\nif true\nthen echo b; fi\nif x; then a; else b; fi\n'
SCALA_BLOCKS = (
    "object O {\n  def f(x: Int) = x match {\n    case 1 => 2\n    case _ => 3\n  }\n"
    "  xs.map { x =>\n    g(x)\n    x\n  }\n  ys.map { y =>\n    y + 1\n  }\n  zs.map { z => z }\n}\n"
)
CPRODUCT = "int f(int a, int b) {\n  int * p;\n  foo * bar;\n  a * b;\n  int * q = &a;\n  return a * b + (a && b) + (a & b);\n}\n"
STMTS_C = "void f() {\n  a();\n  b();\n  d();\n}\nvoid g() {\n  a();\n  d();\n}\n"
KOTLIN_ANNOTATED = (
    'fun f() {\n  try { g() } catch (e: E) { h(e) }\n}\n@Serializable\nclass A\n@Suppress("x")\nfun k() {}\n'
)
SOL = (
    "contract C {\n    uint a = 0;\n    mapping(address => uint) bal;\n    struct S { uint x; }\n"
    "    constructor(uint v) { a = v; }\n    function f(uint b) public {\n        require(b > 0);\n    }\n}\n"
)
DEFINES = "#define MAX(a, b) ((a) > (b) ? (a) : (b))\n#define N 10\n#define EMPTY\nint x;\n"
RUST = "fn f() -> i32 {\n    let x = a.unwrap();\n    g(b.unwrap().c);\n    x\n}\n"


# (lang, pattern, code, the texts kovel matches). Drawn from real code where
# the two tools differed; ast-grep must find no match kovel misses.
TABLE = [
    ("python", "print($A)", "x = foo(1)\nif a:\n    print(x)\n", ["print(x)"]),
    # one occurrence in a one-element expression_list, the other bare
    ("go", "if $E != nil {\n\treturn $E\n}", GO, ["if err != nil {\n\t\treturn err\n\t}"]),
    ("go", "fmt.Println($$$A)", GO, ["fmt.Println(x, 1)"]),
    ("go", "y := foo(1)", GO, ["y := foo(1)"]),
    # C hangs the `;` after `enum E {...}` on the file: the pattern is those two siblings
    ("c", "enum $E { $$$V };", "enum color { RED };\nint x;\nstruct s { int a; };\n", ["enum color { RED };"]),
    ("c", "struct $S { $$$F };", "enum color { RED };\nint x;\nstruct s { int a; };\n", ["struct s { int a; };"]),
    # `$$$M;` and `$$$M` alone on its line stand for statements, not one statement
    # (nor the start of the declaration `M d();`)
    ("c", "a(); $$$M; d();", STMTS_C, ["a();\n  b();\n  d();", "a();\n  d();"]),
    ("c", "a();\n$$$M\nd();", STMTS_C, ["a();\n  b();\n  d();", "a();\n  d();"]),
    ("java", "a(); $$$M; d();", "class A { void f() { a(); b(); c(); d(); } }\n", ["a(); b(); c(); d();"]),
    ("javascript", "a();\n$$$M\nd();", "function f() {\n  a(); d();\n}\n", ["a(); d();"]),
    # a clause after a `try` block, an annotation or attribute before a declaration
    ("java", "catch ($T $E) { $$$B }", "class A { void f() { try { g(); } catch (E e) { h(e); } } }\n",
     ["catch (E e) { h(e); }"]),
    ("kotlin", "catch ($E: $T) { $$$C }", KOTLIN_ANNOTATED, ["catch (e: E) { h(e) }"]),
    ("kotlin", "@Suppress($$$A)", KOTLIN_ANNOTATED, ['@Suppress("x")']),
    ("kotlin", "@$A", KOTLIN_ANNOTATED, ["@Serializable", '@Suppress("x")']),
    # an annotation with arguments on the line before what it annotates, in a class and at the top
    # (tree-sitter-kotlin reads one at the top followed by another declaration as an expression: none here)
    ("kotlin", "@Suppress($M)\nfun $F() {}", 'class B {\n  @Suppress("y")\n  fun m() {}\n}\n@Suppress("x")\nfun k() {}\n',
     ['@Suppress("y")\n  fun m() {}', '@Suppress("x")\nfun k() {}']),
    ("kotlin", "@$A($M)\n@$B\nfun $F() {}", "class B {\n  @T(1)\n  @U\n  fun m() {}\n}\n", ["@T(1)\n  @U\n  fun m() {}"]),
    ("php", "#[$A]", "<?php\n#[Attr]\nfunction f() {}\n#[Route(\"/x\")]\nclass A {}\n", ["#[Attr]", '#[Route("/x")]']),
    # a case with its statements ends with their line
    ("go", "case $X:\n\tg($V)", "package p\nfunc f(x int) {\n\tswitch x {\n\tcase 1:\n\t\ta()\n\tcase 2:\n\t\tg(2)\n\t}\n}\n",
     ["case 2:\n\t\tg(2)\n"]),
    # an empty block has no statement_list: the run binds nothing
    ("go", "func $F() { $$$B }", "package p\nfunc e() {}\nfunc f() { a() }\n", ["func e() {}", "func f() { a() }"]),
    ("go", "for { $$$B }", "package p\nfunc f() {\n\tfor {}\n\tfor { a() }\n\tg(func() {})\n}\n", ["for {}", "for { a() }"]),
    ("go", "func() { $$$B }", "package p\nfunc f() {\n\tg(func() {})\n}\n", ["func() {}"]),
    ("java", "System.out.println($A)", JAVA, ["System.out.println(a)", "System.out.println(b)"]),
    ("java", "if ($C) { $$$B }", JAVA, ["if (a) { b(); } else { c(); }"]),
    ("rust", "$X.unwrap()", RUST, ["a.unwrap()", "b.unwrap()"]),
    ("rust", "let $X = $V;", RUST, ["let x = a.unwrap();"]),
    # Kotlin's block comments are `multiline_comment`: passed over as any grammar's comments
    ("kotlin", "g($A, $B)", "fun f() {\n    g(1 /* c */, 2)\n    h(/* one */ 3)\n}\n", ["g(1 /* c */, 2)"]),
    ("kotlin", "h($A)", "fun f() {\n    g(1 /* c */, 2)\n    h(/* one */ 3)\n}\n", ["h(/* one */ 3)"]),
    ("python", "$A = $B", "s[n] = \\\n    g(1)\n", ["s[n] = \\\n    g(1)"]),
    ("javascript", "if ($C) { $$$B }", "function f() { if (x) { g(h(1)); } }\n", ["if (x) { g(h(1)); }"]),
    ("typescript", "let $X: $T = $V;", "function f(a: number): void { let x: number = 1; }\n", ["let x: number = 1;"]),
    ("tsx", "console.log($$$A)", "const A = () => <b onClick={() => console.log(1, 2)} />;\n", ["console.log(1, 2)"]),
    ("java", "$A.println($B)", JAVA, ["System.out.println(a)", "System.out.println(b)"]),
    ("go", "$X := $V", GO, ["x, err := g()", "y := foo(1)"]),
    ("rust", "let $X = $V", RUST, ["let x = a.unwrap();"]),
    ("c", "int $X = $V;", "int main(void) {\n  int x = foo(1);\n  return x;\n}\n", ["int x = foo(1);"]),
    ("cpp", "$V.push_back($X)", "void f() {\n  if (v.size()) v.push_back(2);\n}\n", ["v.push_back(2)"]),
    # ast-grep reads the one-line block of C# as something else and finds nothing
    ("c_sharp", "if ($C) { $$$B }", "class A { void F() { if (a) { B(); } } }\n", ["if (a) { B(); }"]),
    ("ruby", "puts $X", "def f(x)\n  puts x\n  [1].each { |y| puts y }\nend\n", ["puts x", "puts y"]),
    # PHP's own variables: `$X` on the left of `=` reads as one, not as a constant
    ("php", "$X = $V;", "<?php\nfunction f() {\n  $y = foo(1);\n  $a->b = 2;\n}\n", ["$y = foo(1);", "$a->b = 2;"]),
    ("php", "echo $X;", "<?php\nfunction f($x) {\n  echo $x;\n}\n", ["echo $x;"]),
    # a parameter and a statement each need their own form (`$P`, `B;`)
    ("php", "function $F($$$P) { $$$B }", "<?php\nfunction f($x) { g(); }\n", ["function f($x) { g(); }"]),
    ("kotlin", "val $Y = $V", "fun f() {\n    val y = foo(1)\n}\n", ["val y = foo(1)"]),
    ("bash", "if $C; then\n  $$$B\nfi", 'f() {\n  if [ -n "$x" ]; then\n    bar\n  fi\n}\n',
     ['if [ -n "$x" ]; then\n    bar\n  fi']),
    ("lua", "local $Y = $V", "function f()\n  local y = foo(1)\nend\n", ["local y = foo(1)"]),
    ("scala", "val $Y = $V", "object A {\n  val x = summon[C]\n}\n", ["val x = summon[C]"]),
    ("swift", "print($X)", "func f() {\n    print(x)\n}\n", ["print(x)"]),
    ("elixir", "IO.puts($X)", "defmodule A do\n  def f do\n    IO.puts(x)\n  end\nend\n", ["IO.puts(x)"]),
    # clauses and members that stand only in their construct: a case's arms, C++'s catch,
    # C#'s accessors, a Solidity contract's members
    ("elixir", "$A -> $B", "case x do\n  1 -> :one\n  _ -> :other\nend\n", ["1 -> :one", "_ -> :other\n"]),  # (the grammar ends the last arm with its line)
    ("cpp", "catch (const std::exception& $E) { $$$B }",
     "void f() { try { g(); } catch (const std::exception& e) { h(e); } }\n",
     ["catch (const std::exception& e) { h(e); }"]),
    ("c_sharp", "get { $$$B }", "class A { int P { get { return 1; } set { x = value; } } }\n", ["get { return 1; }"]),
    ("solidity", "uint $X = $V;", SOL, ["uint a = 0;"]),
    ("solidity", "mapping($K => $V)", SOL, ["mapping(address => uint)"]),
    ("solidity", "struct $S { $$$F }", SOL, ["struct S { uint x; }"]),
    ("solidity", "constructor($$$P) { $$$B }", SOL, ["constructor(uint v) { a = v; }"]),
    ("solidity", "require($C);", SOL, ["require(b > 0);"]),
    # Dart has no call node: the name and its `selector` are a run of siblings
    ("dart", "print($X)", "void f() {\n  print(x);\n  var y = foo(print(z));\n}\n", ["print(x)", "print(z)"]),
    ("haskell", "foo $A", "f x = foo 1 + bar x\n", ["foo 1"]),
    # a metavariable where the grammar wants more than a name (a typed parameter, a statement)
    ("java", "public $T $M($$$P) { $$$B }", "class A { public int f(int a, int b) { return 1; } }\n",
     ["public int f(int a, int b) { return 1; }"]),
    ("kotlin", "fun $F($$$P) { $$$B }", "fun f(a: Int) { g() }\n", ["fun f(a: Int) { g() }"]),
    ("lua", "function $F($$$P) $$$B end", "function f(a, b) print(a) end\n", ["function f(a, b) print(a) end"]),
    ("scala", "def $F($$$P) = $B", "object A { def f(a: Int) = a }\n", ["def f(a: Int) = a"]),
    ("c", "for ($I; $C; $N) $B", "void f() { for (i = 0; i < n; i++) g(); }\n", ["for (i = 0; i < n; i++) g();"]),
    # ast-grep takes these for several nodes and refuses them
    ("css", "color: $V", "a { color: red; }\n", ["color: red;"]),
    ("json", '"a": $V', '{"a": 1, "b": {"a": [2]}}\n', ['"a": 1', '"a": [2]']),
    ("yaml", "c: $V", "a: 1\nb:\n  c: 2\n", ["c: 2"]),
    ("html", "<p>$X</p>", "<div><p>hi</p></div>\n", ["<p>hi</p>"]),
    # parts of a declaration: parameters, annotations, decorators, type parameters, a type
    ("java", "(int a, String s)", "class A { void f(int a, String s) {} void g(int a) {} }\n", ["(int a, String s)"]),
    ("java", "@SuppressWarnings($A)", 'class A {\n  @SuppressWarnings("x")\n  @Override\n  void f() {}\n}\n',
     ['@SuppressWarnings("x")']),
    ("java", "@Override", "class A {\n  @Override\n  void f() {}\n}\n", ["@Override"]),
    ("java", "List<$T>", "class A { List<String> x; Map<K, V> y; }\n", ["List<String>"]),
    ("typescript", "@Component($A)", "@Component({a: 1})\nclass A {}\n", ["@Component({a: 1})"]),
    ("typescript", "(a: number, b: string)", "class A { f(a: number, b: string) {} }\n", ["(a: number, b: string)"]),
    ("typescript", "<$T>", "function g<T>(x: T) {}\n", ["<T>"]),
    ("python", "@$D", "@dec\ndef f():\n    pass\n", ["@dec"]),
    ("scala", "@$A", "object A {\n  @deprecated def f = 1\n  @main def g(): Unit = ()\n}\n", ["@deprecated", "@main"]),
    ("go", "(a int, b string)", "package p\nfunc f(a int, b string) {}\n", ["(a int, b string)"]),
    # a name and a type is a parameter, as most often (a struct's field: `context`, `selector`)
    ("go", "$X context.Context", "package p\nfunc f(a int, ctx context.Context) {}\nfunc g(c context.Context) {}\n",
     ["ctx context.Context", "c context.Context"]),
    ("rust", "(a: i32, b: i32)", "fn f(a: i32, b: i32) {}\n", ["(a: i32, b: i32)"]),
    ("kotlin", "(a: Int, b: String)", "fun f(a: Int, b: String) {}\n", ["(a: Int, b: String)"]),
    ("java", "extends $T", "class A extends B {}\nclass C {}\n", ["extends B"]),
    ("java", "{\n  int f() { return $X; }\n}", "class A {\n  int f() { return 1; }\n}\n", ["{\n  int f() { return 1; }\n}"]),
    ("typescript", "extends $T", "class A extends B {}\n", ["extends B"]),
    ("typescript", ": $T", "let a: string = 1\nfunction f(x: number): void {}\n", [": string", ": number", ": void"]),
    ("go", "[$T any]", "package p\nfunc Abs[T any](v T) T { return v }\n", ["[T any]"]),
    # clauses and arms that only stand after or inside another construct
    ("python", "else:\n    $$$B", "if a:\n    pass\nelse:\n    b()\n", ["else:\n    b()"]),
    ("python", "except $E:\n    $$$B", "try:\n    a()\nexcept E:\n    b()\n", ["except E:\n    b()"]),
    ("javascript", "else { $$$B }", "if (a) { b() } else { c() }\n", ["else { c() }"]),
    ("rust", "Some($X) => $B", "fn f() { match x { Some(y) => 1, None => 2 } }\n", ["Some(y) => 1,"]),
    ("kotlin", "is $T -> $B", "fun f() { when (x) { is String -> 1\n else -> 2 } }\n", ["is String -> 1"]),
    # a metavariable where the grammar wants something else: items, arms, cases
    ("rust", "impl $T for $S { $$$B }", "impl A for B { fn f() {} }\nimpl C {}\n", ["impl A for B { fn f() {} }"]),
    ("rust", "match $X { $$$A }", "fn f() { match x { Some(y) => 1, None => 2 } }\n",
     ["match x { Some(y) => 1, None => 2 }"]),
    ("kotlin", "when ($X) { $$$B }", "fun f() { when (x) { 1 -> a\n 2 -> b } }\n", ["when (x) { 1 -> a\n 2 -> b }"]),
    ("go", "select { $$$C }", "package p\nfunc f() {\n\tselect {\n\tcase <-c:\n\t}\n}\n",
     ["select {\n\tcase <-c:\n\t}"]),
    # a keyword alone is the keyword, not a name spelled like it; a C# type's arguments
    ("c", "static", "static int x;\nint static_y;\n", ["static"]),
    # where a line break ends a statement as a `;` does, the pattern's `;` may be one
    ("bash", "if $A; then $$$B; fi", SHELL_IFS, ['if test -n "$X" ; then\n  echo a\nfi', "if true\nthen echo b; fi", "if x; then a; else b; fi"]),
    ("bash", "for $V in $$$L; do $$$B; done", "for i in a b\ndo\n  echo $i\ndone\n", ["for i in a b\ndo\n  echo $i\ndone"]),
    ("ruby", "if $C; $$$B; end", "if x\n  a = 1\nend\nif y then b end\n", ["if x\n  a = 1\nend", "if y then b end"]),
    ("python", "a = 1; b = 2", "a = 1; b = 2\nx = 0\na = 1\nb = 2\n", ["a = 1; b = 2", "a = 1\nb = 2"]),
    # but not where it parts one statement's clauses
    ("go", "for $I; $C; $N { $$$B }", "package p\nfunc f() {\n\tfor i := 0; i < n; i++ { g() }\n\tfor x { h() }\n}\n",
     ["for i := 0; i < n; i++ { g() }"]),
    # read where the metavariable stands, not as a reading that lacks it (`impl $T;` and a block)
    ("rust", "impl $T { $$$B }", "struct V;\nimpl V {\n    fn a(&self) {}\n}\nimpl<T> F for B<T> {}\n",
     ["impl V {\n    fn a(&self) {}\n}"]),
    ("scala", "$A match { $$$B }", "object O {\n  def f(x: Int) = x match {\n    case 1 => 2\n  }\n}\n",
     ["x match {\n    case 1 => 2\n  }"]),
    # a constructor's own statements and parts
    ("java", "super($$$A);", "class A extends B {\n  A() { super(); }\n  A(int x) { super(x, 2); }\n}\n",
     ["super();", "super(x, 2);"]),
    ("java", "this($X);", "class A {\n  A() { this(1); }\n  A(int x) {}\n}\n", ["this(1);"]),
    ("cpp", "explicit $C($$$P) : $$$I {}", "struct W {\n  explicit W(int n) : n_(n), m_(1) {}\n  int n_, m_;\n};\n",
     ["explicit W(int n) : n_(n), m_(1) {}"]),
    ("cpp", "$C($$$P) : $$$I { $$$B }", "struct W {\n  W(int a) : n_(a) { f(a); }\n  int n_;\n};\n",
     ["W(int a) : n_(a) { f(a); }"]),
    # a line copied with its comment: the comment is passed over, as between statements
    ("javascript", "foo($A); // note", "function m() {\n  foo(1); // note\n  foo(2);\n}\n", ["foo(1);", "foo(2);"]),
    ("javascript", "// note\nfoo($A);", "function m() {\n  foo(1);\n}\n", ["foo(1);"]),
    ("python", "foo($A)  # note", "def m():\n    foo(1)  # note\n    foo(2)\n", ["foo(1)", "foo(2)"]),
    ("rust", "foo($A); /* n */", "fn m() {\n    foo(1); // note\n}\n", ["foo(1);"]),
    # a switch expression's arm, where the code reads as nothing else
    ("c_sharp", "'x' => $E", "class A { int F(char c) => c switch { 'x' => 1, _ => 2 }; }\n", ["'x' => 1"]),
    # a block written over lines as the code is: `$$$B` alone on its line holds the block's lines
    ("scala", "$A match {\n  $$$B\n}", SCALA_BLOCKS, ["x match {\n    case 1 => 2\n    case _ => 3\n  }"]),
    ("scala", "$A match {\n  case 1 => $E\n  $$$B\n}", SCALA_BLOCKS, ["x match {\n    case 1 => 2\n    case _ => 3\n  }"]),
    ("scala", "$X.map { $P =>\n  $$$B\n}", SCALA_BLOCKS, ["xs.map { x =>\n    g(x)\n    x\n  }", "ys.map { y =>\n    y + 1\n  }"]),
    ("scala", "$X.map { $P =>\n  $$$B\n  $E\n}", SCALA_BLOCKS, ["xs.map { x =>\n    g(x)\n    x\n  }", "ys.map { y =>\n    y + 1\n  }"]),
    # a run of siblings with a token between them
    ("ruby", "$A, $B", "a, b = 1, 2\nf(x, y)\n", ["a, b", "1, 2", "x, y"]),
    ("lua", "$A, $B", "local a, b = 1, 2\n", ["a, b", "1, 2"]),
    # `a * b;` is a declaration; `a * b` written without its `;` is the product
    ("c", "$A * $B", CPRODUCT, ["a * b"]),
    ("c", "$A * $B;", CPRODUCT, ["int * p;", "foo * bar;", "a * b;"]),
    ("c", "$T * $X = $V", CPRODUCT, ["int * q = &a;"]),
    ("cpp", "$A && $B", CPRODUCT, ["a && b"]),
    ("cpp", "$A & $B", CPRODUCT, ["a & b"]),
    ("cpp", "int * $X", CPRODUCT, ["int * p;"]),
    ("java", "public", "class A { public void f() {} }\n", ["public"]),
    ("c_sharp", "B<$T>", "class A<T> : B<C> { }\n", ["B<C>"]),
    # code that ends with the line break its node ends with
    ("c", '#include "a.h"\n', '#include "a.h"\n#include <a.h>\nint x;\n', ['#include "a.h"\n']),
    ("cpp", "#include <vector>\n\n", "#include <vector>\n#include <map>\n", ["#include <vector>\n"]),
    ("rust", "pub", "pub fn f() {}\npub(crate) struct S;\nfn pubx() {}\n", ["pub", "pub"]),
    ("kotlin", "private", "class A { private var y = 1 }\n", ["private"]),
    ("swift", "override", "class A: B { override func f() {} }\n", ["override"]),
    ("kotlin", "<$T>", 'val a = listOf<String>("US")\n', ["<String>"]),
    ("kotlin", "$T?", "fun f(a: Map<String, Int>, b: String?): List<Int>? { return null }\n", ["String?", "List<Int>?"]),
    ("kotlin", "$M<$K, $V>", "fun f(a: Map<String, Int>, b: String?) {}\n", ["Map<String, Int>"]),
    # a word that is a keyword in some other place of the grammar is still a name where it is one
    ("python", "print", "print(1)\nx.print\n# print\nprinter\n", ["print", "print"]),
    # a label ends the pattern: the statements after it are the case's
    ("c", "case $X:", "void f(int a) { switch (a) { case 1: break; case 2: g(); break; default: h(); } }\n",
     ["case 1: break;", "case 2: g(); break;"]),
    ("go", "case $X:", "package p\nfunc f() {\n\tswitch a {\n\tcase 1:\n\t\treturn\n\t}\n}\n", ["case 1:\n\t\treturn\n"]),
    ("javascript", "case $X:", "switch (a) { case 1: f(); break; default: g(); }\n", ["case 1: f(); break;"]),
    # nodes that render as their tag (`this`, `nil`, `self`) are no tokens to pass
    # over, and a metavariable takes no token (`return;` has no value)
    ("javascript", "$A($B)", "f(this, x);\ng(this);\n", ["g(this)"]),
    ("javascript", "return $X", "function k() { return; return this; }\n", ["return this;"]),
    ("go", "$A($B)", "package p\nfunc f() { g(nil, x); h(iota) }\n", ["h(iota)"]),
    ("rust", "$A($B)", "fn f() { g(self, x); h(self); }\n", ["h(self)"]),
    ("java", "$A($B)", "class A { void f() { g(this, x); h(this); } }\n", ["h(this)"]),
    # a member's modifier makes a declaration a field, not a local variable
    ("java", "private $T $X;", "class A {\n  private S refs;\n  void f() { S local; }\n}\n", ["private S refs;"]),
    ("c_sharp", "private static int $X = $V;", "class A { private static int x = 1; void F() { int y = 2; } }\n",
     ["private static int x = 1;"]),
    # a shell metavariable inside a word is the expansion it looks like
    ("bash", "rm -rf $A/build", "rm -rf $TMP/build\nrm -rf out/build\ncp a b\n", ["rm -rf $TMP/build"]),
    ("bash", 'echo "$A/x"', 'echo "$HOME/x"\necho "y"\n', ['echo "$HOME/x"']),
    ("bash", "cp $A $B", "cp a b\ncp $X c\n", ["cp a b", "cp $X c"]),
    # a metavariable where the grammar wants a string (a module's name)
    ("javascript", "import $X from $M", 'import x from "m";\nimport {a} from "n";\n',
     ['import x from "m";', 'import {a} from "n";']),
    ("typescript", "import { $$$N } from $M", 'import { a, b } from "n";\n', ['import { a, b } from "n";']),
    ("go", "import $P", 'package p\nimport "fmt"\n', ['import "fmt"']),
    # a keyword read as a name is a misreading, whatever the later passes need
    # (switch cases, typed class parameters, shell case items)
    ("java", "switch ($X) { $$$C }", "class A { void f() { switch (x) { case 1: break; } } }\n",
     ["switch (x) { case 1: break; }"]),
    ("kotlin", "class $C($$$P)", "class A(val x: Int)\nclass B(y: Int)\n", ["class A(val x: Int)", "class B(y: Int)"]),
    ("bash", "case $X in $$$C esac", "case $x in\n  a) echo 1;;\nesac\n", ["case $x in\n  a) echo 1;;\nesac"]),
    # a grammar whose every line ends with a line break
    ("dockerfile", "RUN $$$A", "FROM debian\nRUN echo hi\n", ["RUN echo hi"]),
    # statements that are calls with no `;` (CMake's commands, whose keywords ignore case)
    ("cmake", "if($A)\n  $$$B\nendif()", "if(A)\n  message(x)\nendif()\nIF(B)\nENDIF()\n",
     ["if(A)\n  message(x)\nendif()", "IF(B)\nENDIF()"]),
    # Ruby's class names are constants
    ("ruby", "class $C < $P\n  $$$B\nend", "class A < B\n  def f\n  end\nend\nclass C\nend\n",
     ["class A < B\n  def f\n  end\nend"]),
]  # fmt: skip


# Tokens a grammar spells in more than one way under one kind: keywords that
# ignore case, directives with spaces after the `#`. A pattern's token
# matches each spelling; tokens that spell different things stay apart.
RESPELLED = [
    ("php", "echo $X;", "<?php\nECHO $a;\nEcho $b;\necho $c;\n", ["ECHO $a;", "Echo $b;", "echo $c;"]),
    ("php", "if ($C) { $$$B }", "<?php\nIF ($a) { f(); }\n", ["IF ($a) { f(); }"]),
    ("php", "return new $C();", "<?php\nfunction f() { RETURN NEW A(); }\n", ["RETURN NEW A();"]),
    ("php", "function $F($$$P) { $$$B }", "<?php\nFUNCTION f($a) { }\n", ["FUNCTION f($a) { }"]),
    ("c", "#include $A\n", "#  include <a.h>\n#include <b.h>\n", ["#  include <a.h>\n", "#include <b.h>\n"]),
    ("cpp", "#define $A $B\n", "#\tdefine X 1\n# define Y 2\n", ["#\tdefine X 1\n", "# define Y 2\n"]),
    ("c", "#ifdef $A\n$$$B\n#endif", "# ifdef X\nint x;\n#  endif\n", ["# ifdef X\nint x;\n#  endif"]),
    ("c", "#include $A", "# include <a.h>\n#include <b.h>\n", ["# include <a.h>", "#include <b.h>"]),
    # keywords the grammar names, which ignore case
    ("sql", "SELECT $A FROM $B", "select a from t;\nSelect b From u;\n", ["select a from t", "Select b From u"]),
    # other spellings that mean other things: a byte string, a regex's flags,
    # Ruby's single quotes (no interpolation), a keyword or a name where case counts
    ("rust", 'f("a")', 'fn g() { f(b"a"); f("a"); }\n', ['f("a")']),
    ("ruby", "x =~ /a/", "x =~ /a/i\nx =~ /a/\n", ["x =~ /a/"]),
    ("ruby", 'puts "a"', "puts 'a'\nputs \"a\"\n", ['puts "a"']),
    ("python", "return $X", "def f():\n    return 1\n", ["return 1"]),
    ("python", "foo($A)", "FOO(1)\nfoo(2)\n", ["foo(2)"]),
    ("c", "int $X;", "INT a;\nint b;\n", ["int b;"]),
    # a slice's `:` is no label that ends the pattern (ast-grep finds `x[1:2]` too)
    ("python", "x[1:]", "x[1:2]\nx[1:]\n", ["x[1:]"]),
]  # fmt: skip


# A node but for its line break: all of such a node, not the start of another.
# (ast-grep's matches hold the line break, and its `#define $N` takes `#define N 10` too.)
WHOLE_NODE = [
    ("c", "#define $N $V", DEFINES, ["#define N 10"]),
    ("c", "#define $N", DEFINES, ["#define EMPTY"]),
    ("c", "#define $N($$$P) $V", DEFINES, ["#define MAX(a, b) ((a) > (b) ? (a) : (b))"]),
]


# A run of nothing takes the comma beside it along, as ast-grep's does.
EMPTY_RUNS = [
    ("python", "f($$$A, 2)", "f(2)\nf(1, 2)\nf(3)\n", ["f(2)", "f(1, 2)"]),
    ("python", "f(1, $$$, 4)", "f(1, 4)\nf(1, 2, 4)\nf(1)\n", ["f(1, 4)", "f(1, 2, 4)"]),
    ("python", "f($$$, 1, $$$)", "f(1, 4)\nf(0, 1)\nf(1)\nf(2)\n", ["f(1, 4)", "f(0, 1)", "f(1)"]),
    ("python", "def f($$$P, x): $$$B", "def f(x): pass\ndef f(y): pass\n", ["def f(x): pass"]),
    ("javascript", "[$$$A, 2]", "x = [2];\ny = [1, 2];\n", ["[2]", "[1, 2]"]),
    ("rust", "enum E { $$$V, A }", "enum E { A }\n", ["enum E { A }"]),
    ("go", "f($$$A, 2)", "package p\nfunc m() { f(2) }\n", ["f(2)"]),
    ("java", "f(1, $$$A)", "class K { void m() { f(1); f(2); } }\n", ["f(1)"]),
    # a value whose word is also a token of the grammar is a node a metavariable takes
    ("php", "return $X;", "<?php function f() { return null; }\nfunction g() { return NULL; }\n",
     ["return null;", "return NULL;"]),
    # runs in one-line blocks that keywords open and close
    ("lua", "if $C then $$$A else $$$E end", "if x then a() else c() end\nif y then\n  b()\nelse\n  d()\nend\n",
     ["if x then a() else c() end", "if y then\n  b()\nelse\n  d()\nend"]),
    # PHP's array elements and match arms
    ("php", "'a' => $V", "<?php $a = ['a' => 1, 'b' => 2];\n", ["'a' => 1"]),
    ("php", "default => $V", "<?php $r = match ($x) { 1 => 'a', default => 'b' };\n", ["default => 'b'"]),
    # a comment before the `else` a pattern leaves out
    ("java", "if ($C) $S", "class A { void m() {\n    if (c) { w(); }\n    // x\n    else { v(); }\n} }\n",
     ["if (c) { w(); }\n    // x\n    else { v(); }"]),
    # a name that starts with `_` binds nothing: its occurrences need not be alike
    ("python", "$_X == $_X", "a == b\nc == c\n", ["a == b", "c == c"]),
    ("python", "$_F($$$_)", "f(1)\n", ["f(1)"]),
    # a metavariable takes no token, nor passes one over to reach a node (ast-grep agrees)
    ("go", "var $X $T", "package p\nvar d = f()\nvar e int\n", ["var e int"]),
]  # fmt: skip


@pytest.mark.parametrize(("lang", "pat", "code", "found"), TABLE + RESPELLED + WHOLE_NODE + EMPTY_RUNS)
def test_patterns_match_in_every_language(lang: str, pat: str, code: str, found: list[str]) -> None:
    p = pattern(lang, pat)
    ours = list(p.find_all(treesitter.parse(lang, code)))
    assert [str(m.term) for m in ours] == found
    # The search over source bytes skips what lacks the pattern's texts: none
    # of them may be a spelling that a match need not have.
    (matches,) = search_source([p], code.encode()).matches
    assert [str(m.term) for m in matches] == found
    assert all(t in code for t in p.required_texts)
    if (lang, pat, code, found) in RESPELLED + WHOLE_NODE:
        return
    sg = pytest.importorskip("ast_grep_py")
    try:  # ast-grep must find no match kovel misses
        nodes = sg.SgRoot(code, {"c_sharp": "csharp"}.get(lang, lang)).root().find_all(pattern=pat)
    except BaseException as exc:  # ast-grep-py raises its refusals as a Rust panic
        if isinstance(exc, KeyboardInterrupt):
            raise
        nodes = []
    # Both count code points.
    assert {(n.range().start.index, n.range().end.index) for n in nodes} <= {m.span for m in ours}


@pytest.mark.parametrize(
    ("lang", "code", "selector", "context", "source", "found"),
    [
        ("javascript", "class A { $F = $V }", "field_definition", None, "class B { x = 1; m() { y = 2 } }",
         ["x = 1"]),
        ("go", "func t() { fmt.Println($$$A) }", "call_expression", None, GO, ["fmt.Println(x, 1)"]),
        # the context makes the call a call, not Go's type conversion at the top
        ("go", "fmt.Println($$$A)", None, "package p\nfunc t() { fmt.Println($$$A) }", GO, ["fmt.Println(x, 1)"]),
        ("python", "$X + 1", "binary_operator", "f($X + 1)", "g(a + 1, b - 1)\n", ["a + 1"]),
        # the context's own metavariables, outside the code, stand for some name
        ("python", "f($A)", None, "g($B)\nf($A)\n", "f(1)\ng(2)\n", ["f(1)"]),
        ("python", "f($A)", None, "f($A)\ng($$$B)\n", "f(1)\n", ["f(1)"]),
        # a selector or a context that is not there is refused
        ("javascript", "f($A)", "field_definition", None, "", None),
        ("go", "fmt.Println($A)", None, "package p\nfunc t() { g() }", "", None),
    ],
)  # fmt: skip
def test_context_and_selector_pick_the_pattern(
    lang: str, code: str, selector: str | None, context: str | None, source: str, found: list[str] | None
) -> None:
    if found is None:
        with pytest.raises(ValueError):
            pattern(lang, code, context=context, selector=selector)
        return
    p = pattern(lang, code, context=context, selector=selector)
    t = treesitter.parse(lang, source)
    assert [str(m.term) for m in p.find_all(t)] == found
    # a copy compiles the same pattern: context and selector travel with it
    q = pickle.loads(pickle.dumps(p))
    assert (q.context, q.selector, repr(q)) == (context, selector, repr(p))
    assert [m.span for m in q.find_all(t)] == [m.span for m in p.find_all(t)]


# Code that no context reads, however its metavariables are written: a
# metavariable standing where the grammar wants something else does not
# excuse an error elsewhere.
@pytest.mark.parametrize(
    ("lang", "pat"),
    [
        ("rust", "impl $T for $S { $$$B"), ("rust", "match $X { $$$A } }"), ("python", "f($A +)"),
        ("python", "def $F(:\n    $$$B"), ("java", "class $C { $$$B"), ("kotlin", "when ($X { $$$B }"),
        ("ruby", "class $C < \n  $$$B\nend end"), ("go", "func $F( { $$$B }"),
        # a metavariable read into a token would match nothing: a silent zero (in `f($A, "x $B")`
        # one is read into a token, another is a hole)
        ("ruby", "@$A"), ("ruby", "x = :$A"), ("lua", "!$A"), ("python", 'f("a $X b")'),
        ("python", 'f($A, "x $B")'), ("scala", 'println("$A")'),
        # a metavariable alone where no node goes (a Lua method needs its call), nor
        # where it would make a statement of its own beside another on its line
        ("lua", "engine:$A"), ("go", "const $X $T"),
        # a shell command goes on to its `;` or line break: `{ $$$B }` holds the command `$$$B }`
        ("bash", "$F() { $$$B }"), ("bash", "if $C; then $$$B fi"), ("bash", "while $C; do $$$B done"),
        ("bash", "if $C; then $X; else $Y fi"),
        # a clause alone read as a name (a call of `else`, a label `default`) would match nothing
        ("ruby", "when $X"), ("ruby", "elsif $C\n  $$$B"), ("rust", "else { $$$B }"), ("java", "else { $$$B }"),
        ("kotlin", "else { $$$B }"), ("swift", "case $X:"), ("bash", "elif $C; then\n  $$$B"),
        ("lua", "else\n  $$$B"), ("scala", "finally { $$$B }"),
    ],
)  # fmt: skip
def test_code_that_does_not_parse_is_refused(lang: str, pat: str) -> None:
    with pytest.raises(SyntaxError, match="does not parse"):
        pattern(lang, pat)


@pytest.mark.parametrize(
    ("lang", "pat"),
    [
        ("rust", "fn $F<$T: $B>($X: $T) { $$$B }"),
        ("python", "for $B in $X:\n    $$$B"),
        ("go", "$$$A; f($A)"),
    ],
)
def test_a_name_for_a_node_and_a_run_at_once_is_refused(lang: str, pat: str) -> None:
    # One metavariable to kovel, two to ast-grep: such a pattern would find nothing.
    with pytest.raises(SyntaxError, match="one metavariable"):
        pattern(lang, pat)


# Rewrites: a run that begins with a token (`template <...>` is the first two children of a
# template declaration); a label keeps the statements after it, or is refused (None) where the
# replacement cannot hold them, never dropping them; nodes that render as their tag stay.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "tpl", "out"),
    [
        ("cpp", "template <typename T>\nT id(T v) { return v; }\ntemplate <class A, int N> struct S {};\n", "template <$$$A>",
         "template <$$$A, class X>", "template <typename T, class X>\nT id(T v) { return v; }\ntemplate <class A, int N, class X> struct S {};\n"),
        ("c", "void f(int a) { switch (a) { case 1: g(); break; } }\n", "case $X:", "case K + $X:",
         "void f(int a) { switch (a) { case K + 1: g(); break; } }\n"),
        ("javascript", "switch (a) { case 1: f(); break; default: g(); }\n", "case $X:", "case f($X):",
         "switch (a) { case f(1): f(); break; default: g(); }\n"),
        ("go", "package p\nfunc f() {\n\tswitch a {\n\tcase 1:\n\t\treturn\n\t}\n}\n", "case $X:", "case $X, 2:",
         "package p\nfunc f() {\n\tswitch a {\n\tcase 1, 2:\n\t\treturn\n\t}\n}\n"),
        ("javascript", "switch (a) { case 1: f(); break; }\n", "case $X:", "case $X:\ncase 7:", None),
        ("javascript", "f(x, this);\nf(this);\n", "f($$$A)", "[$$$A].map(g)", "[x, this].map(g);\n[this].map(g);\n"),
        ("go", "package p\nfunc f() { g(x, nil) }\n", "g($$$A)", "h($$$A)", "package p\nfunc f() { h(x, nil) }\n"),
        ("javascript", "function k() { return; }\n", "return $X", "return wrap($X)", "function k() { return; }\n"),
        ("c", "#define F(x) x\n#define N 10\nint y;\n", "#define $N $V", "enum { $N = $V };",
         "#define F(x) x\nenum { N = 10 };\nint y;\n"),
        # an empty run alone on its line takes the line with it
        ("python", "def g():\n    a()\n    d()\n", "a()\n$$$M\nd()", "a()\n$$$M\nz()\nd()",
         "def g():\n    a()\n    z()\n    d()\n"),
        ("c", "void g() {\n  a();\n  d();\n}\n", "a();\n$$$M\nd();", "a();\n$$$M\nz();\nd();",
         "void g() {\n  a();\n  z();\n  d();\n}\n"),
        ("go", "package p\nfunc e() {}\n", "func $F() { $$$B }", "func $F() { trace(); $$$B }",
         "package p\nfunc e() { trace() }\n"),
        # a run of nothing, matched without its comma, is filled without one
        ("python", "f(2)\nf(1, 2)\n", "f($$$A, 2)", "g($$$A, 3)", "g(3)\ng(1, 3)\n"),
        ("python", "f(1)\n", "f(1, $$$A)", "g(0, $$$A)", "g(0)\n"),
        ("rust", "fn m() { f(2); }\n", "f($$$A, 2)", "[$$$A, 3]", "fn m() { [3]; }\n"),
    ],
)  # fmt: skip
def test_rewrites(lang: str, source: str, pat: str, tpl: str, out: str | None) -> None:
    p, t = pattern(lang, pat), treesitter.parse(lang, source)
    if out is None:
        with pytest.raises(ValueError):
            p.rewrite(t, template(lang, tpl))
    else:
        assert str(p.rewrite(t, template(lang, tpl))) == out


@pytest.mark.parametrize("make", [pattern, template])
@pytest.mark.parametrize("code", ["x = " + "(" * 2000 + "1" + ")" * 2000, "x = 1" + " + 1" * 3000])
def test_code_nested_too_deeply_is_a_syntax_error(make, code):
    with pytest.raises(SyntaxError, match="nests too deeply"):
        make("python", code)


# What a search asks every matching file to hold leaves out the pattern's
# comments, which it passes over: a file without them may match.
@pytest.mark.parametrize(
    "lang, code",
    [("rust", "foo($A); // note"), ("rust", "/* n */ foo($A);"), ("javascript", "foo($A); // note")],
)
def test_a_patterns_comments_are_no_text_a_match_needs(lang, code):
    assert pattern(lang, code).required_texts == {"foo", "(", ")", ";"}


# A keyword is no name: Swift's `class $C {...}` is a class, never a call of `class`;
# Haskell's statements are found in a `do` block.
@pytest.mark.parametrize(
    ("lang", "source", "pat", "found"),
    [
        ("swift", "class Foo {\n  var x = 1\n}\n", "class $C { $$$B }", ["class Foo {\n  var x = 1\n}"]),
        # ... unless the grammar reads it as a name in code too: a Swift `defer` is a call of `defer` to it
        ("swift", "func f() {\n  defer { close() }\n  defer {\n    a()\n  }\n}\n", "defer { $$$B }",
         ["defer { close() }", "defer {\n    a()\n  }"]),
        ("haskell", "main = do\n  x <- getLine\n  let y = f x\n  print y\n", "let $X = $E", ["let y = f x"]),
        ("haskell", "main = do\n  x <- getLine\n  print x\n", "$X <- $E", ["x <- getLine"]),
        ("haskell", "f x = y\n  where y = x\n", "where $$$B", ["where y = x"]),
        ("haskell", "instance Show T where\n  show _ = \"t\"\n", "instance Show $T where\n  $$$B",
         ['instance Show T where\n  show _ = "t"']),
        # an HCL block's body and a Nix `let`'s bindings, as a run, whole or with items beside it
        ("hcl", 'resource "a" "b" {\n  lifecycle {\n    x = 1\n  }\n}\nresource "c" "d" {}\n', "resource $T $N { $$$B }",
         ['resource "a" "b" {\n  lifecycle {\n    x = 1\n  }\n}', 'resource "c" "d" {}']),
        ("hcl", "a {\n  x = 1\n  y = 2\n}\nb {\n  y = 2\n}\n", "$K {\n  $$$B\n  y = $V\n}",
         ["a {\n  x = 1\n  y = 2\n}", "b {\n  y = 2\n}"]),
        ("nix", "let a = 1; b = 2; in a + b\n", "let $$$B in $E", ["let a = 1; b = 2; in a + b"]),
        ("nix", "let a = 1; b = 2; in a + b\n", "let a = 1; $$$B in $E", ["let a = 1; b = 2; in a + b"]),
        # where Haskell wants a capital's name, a metavariable is one; Haddock comments are comments
        ("haskell", "data Color = Red\ndata Shape = Circle Int deriving Show\n", "data $T = $C", ["data Color = Red"]),
        ("haskell", "class Container f where\n  empty :: f a\n", "class $C $F where\n  $$$B",
         ["class Container f where\n  empty :: f a"]),
        ("haskell", "-- | doubles\nf :: Int -> Int\nf x = x\ng :: Int -- ^ in\n  -> Int\ng x = x\n", "$F :: $T",
         ["f :: Int -> Int", "g :: Int -- ^ in\n  -> Int"]),
        # a list left out where it is empty is not one the code has and something before took
        ("ruby", "begin\n  a\nrescue\n  b\nend\nbegin\n  a\nrescue Foo\n  b\nend\n", "begin\n  $$$B\nrescue $E\n  $$$R\nend",
         ["begin\n  a\nrescue Foo\n  b\nend"]),
        ("go", "package m\nfunc f() {\n\tif c {\n\t}\n\tif d {\n\t\tg()\n\t}\n}\n", "if $C { $$$B }",
         ["if c {\n\t}", "if d {\n\t\tg()\n\t}"]),
        # a comment is no item of a list: no metavariable binds one
        ("javascript", "f(/* c */);\nf(1);\ng(1, /* x */);\nh(/* y */ 2);\n", "f($A)", ["f(1)"]),
        ("javascript", "g(1, /* x */);\n[7, /* c */];\n[7, 8 /* c */];\n", "[$A, $B]", ["[7, 8 /* c */]"]),
        ("python", "print([1, 2, 3, # c\n])\nf(1, # c\n)\n", "f($A, $B)", []),
        ("go", "package m\nvar x = []int{1, // c\n}\n", "[]int{$A, $B}", []),
        ("rust", "fn m() { let v = [1, // c\n]; }\n", "[$A, $B]", []),
        # alternatives under a `case` as deep as a `do` block's statements are still its alternatives
        ("haskell", "f m = case m of\n    Nothing -> 0\n    Just x -> x\n", "case $X of\n  $$$A",
         ["case m of\n    Nothing -> 0\n    Just x -> x"]),
    ],
)  # fmt: skip
def test_patterns_read_as_their_language_reads_them(lang, source, pat, found):
    assert [str(m.term) for m in pattern(lang, pat).find_all(parse(lang, source))] == found
