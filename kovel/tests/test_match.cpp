// Structural patterns (match.h): slots, runs, skipped tokens, spans and
// rebuilding with several replacements; and the walks and persistent
// rebuilding underneath (walk.h). Deep chains are in test_deep.cpp; spans
// are also checked through kovel.tree in tests/test_tree.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "match.h"
#include "support.h"
#include "walk.h"

using namespace kovel;
using namespace kt;

namespace {

using Texts = std::vector<std::string>;

KRef id(std::string_view s) { return leaf("identifier", s); }
KRef tok(std::string_view s) { return leaf(s, s); }

// call(f, args("(", a..., ")")) with ", " between the arguments.
KRef call(std::string_view f, std::vector<KRef> args) {
  Kids kids{tok("(")};
  Cmds cmds{H};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) {
      kids.push_back(tok(","));
      cmds.insert(cmds.end(), {H, W(" ")});
    }
    kids.push_back(args[i]);
    cmds.push_back(H);
  }
  kids.push_back(tok(")"));
  cmds.push_back(H);
  KRef arglist = tuple("argument_list", kids, cmds);
  return tuple("call", Kids{id(f), arglist}, Cmds{H, H});
}

// call(<f>, args("(", <run or holes>, ")")): the pattern `f(...)`.
Pattern call_pattern(std::string_view f, const std::vector<std::pair<bool, int>>& args) {
  Pattern p;
  const std::uint32_t fn = f.empty() ? p.hole(0) : p.leaf("identifier", f);
  std::vector<std::uint32_t> kids{p.leaf("(", "(")};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) kids.push_back(p.leaf(",", ","));
    kids.push_back(args[i].first ? p.run(args[i].second) : p.hole(args[i].second));
  }
  kids.push_back(p.leaf(")", ")"));
  const std::uint32_t al = p.node("argument_list", kids);
  p.node("call", {fn, al});
  return p;
}

// f(0, 0, ..., 0) with `n` arguments.
KRef zeros(std::size_t n) { return call("f", std::vector<KRef>(n, leaf("integer", "0"))); }

// f($$$A, $$$B, ..., <last>) with `runs` runs, slots given by `slot(i)`.
Pattern runs_then(int runs, std::string_view last, int (*slot)(int)) {
  Pattern p;
  std::vector<std::uint32_t> kids{p.leaf("(", "(")};
  for (int i = 0; i < runs; ++i) kids.insert(kids.end(), {p.run(slot(i)), p.leaf(",", ",")});
  kids.insert(kids.end(), {p.leaf("integer", last), p.leaf(")", ")")});
  const std::uint32_t args = p.node("argument_list", kids);
  p.node("call", {p.leaf("identifier", "f"), args});
  return p;
}

// The whole paths of `found`.
std::vector<Path> paths(const std::vector<Found>& found) {
  std::vector<Path> out;
  Path path;
  for (const Found& f : found) {
    next_path(path, f);
    out.push_back(path);
  }
  return out;
}

// What each slot holds after a match: a node's text, a run's items in brackets.
Texts bound(const Matcher& m, const Pattern& p) {
  Texts out;
  for (const Binding& b : m.bindings()) {
    if (b.kind != Binding::Kind::Run) {
      out.push_back(b.node ? b.node->coparse() : "-");
      EXPECT_TRUE(!b.node || b.node->variant() == KTerm::Variant::Tuple);  // quotes are looked through
      continue;
    }
    std::string items;
    for (const KTerm* item : run_items(b, p)) items += (items.empty() ? "" : " ") + item->coparse();
    out.push_back("[" + items + "]");
  }
  return out;
}

// One matcher per pattern serves all of its rows in turn: a failed match
// must leave nothing behind for the next.
TEST(Match, Bindings) {
  const Pattern print_run = call_pattern("print", {{true, 0}});                   // print($$$A)
  const Pattern print_run_hole = call_pattern("print", {{true, 0}, {false, 1}});  // print($$$A, $B)
  const Pattern same = call_pattern("", {{false, 1}, {false, 1}});                // $F($A, $A)
  const Pattern one = call_pattern("f", {{false, 0}});                            // f($A)
  const Pattern two = call_pattern("f", {{false, 0}, {false, 1}});                // f($A, $B)
  Pattern one_named = one, two_named = two, run_named = call_pattern("f", {{true, 0}});
  for (Pattern* p : {&one_named, &two_named, &run_named}) p->name_words({"this"});
  Pattern pair;  // $$$A | $$$A
  pair.node("pair", {pair.run(0), pair.leaf("|", "|"), pair.run(0)});
  Pattern ret;  // return $X
  ret.node("return_statement", {ret.leaf("return", "return"), ret.hole(0)});
  Pattern cond;  // if $C; then $B; fi, its `;`s optional
  cond.node("if_statement",
            {cond.leaf("if", "if"), cond.hole(0), cond.leaf(";", ";", true), cond.leaf("then", "then"),
             cond.hole(1), cond.leaf(";", ";", true), cond.leaf("fi", "fi")});
  Pattern loose, exact;  // echo $X; with the keyword respellable or not
  loose.node("echo_statement",
             {loose.leaf("echo", "echo", false, true), loose.hole(0), loose.leaf(";", ";")});
  exact.node("echo_statement", {exact.leaf("echo", "echo"), exact.hole(0), exact.leaf(";", ";")});
  Pattern select;  // a keyword the grammar names, spelled in any case (SQL's)
  select.node("select", {select.leaf("keyword_select", "SELECT", false, true), select.hole(0)});
  const Pattern aba = runs_then(3, "1", [](int i) { return i == 2 ? 0 : i; });  // f($$$A, $$$B, $$$A, 1)
  const std::string fresh_tag = "kovel_test_tag_seen_first_in_a_pattern";
  Pattern fresh;  // made before any term of its tag
  fresh.node(fresh_tag, {fresh.hole(0)});
  Pattern method;  // $F() {}
  method.node("method_definition", {method.hole(0), method.leaf("formal_parameters", "()")});

  // Layout does not matter unless a row says so.
  const auto node = [](std::string_view tag, Kids kids) { return tuple(tag, kids, Cmds(kids.size(), H)); };
  const KRef a = id("a"), b = id("b"), c = id("c"), x = id("x"), y = id("y"), one_int = leaf("integer", "1");
  const KRef gxy = call("g", {x, y}), comment = leaf("comment", "/* c */");
  const KRef spaced = tuple(  // g (x, /* c */\n  y)
      "call",
      Kids{id("g"), tuple("argument_list", Kids{tok("("), x, tok(","), comment, y, tok(")")},
                          Cmds{H, W(" "), H, H, W("\n  "), H, W(" "), H, H})},
      Cmds{H, W(" "), H});
  const KRef this_x = call("f", {leaf("this", "this"), x});  // `this` renders as its tag
  const auto echo = [&](const char* kw) { return node("echo_statement", {leaf("echo", kw), x, tok(";")}); };
  const auto sel = [&](const char* kw) { return node("select", {leaf("keyword_select", kw), a}); };

  const std::optional<Texts> no;
  const std::vector<std::tuple<const Pattern*, KRef, std::optional<Texts>>> rows = {
      // A run takes the longest span the rest of the pattern leaves it.
      {&print_run, call("print", {a, b, c}), Texts{"[a b c]"}},
      {&print_run, call("print", {}), Texts{"[]"}},
      {&print_run_hole, call("print", {a, b, c}), Texts{"[a b]", "c"}},
      // A slot named twice binds equal terms: a named leaf by its text (a
      // name and a string's), nodes tag by tag and token by token, layout
      // and comments aside.
      {&same, call("f", {a, a}), Texts{"f", "a"}},
      {&same, call("f", {a, b}), no},
      {&same, call("f", {a, leaf("string_content", "a")}), Texts{"f", "a"}},
      {&same, call("f", {a, call("a", {})}), no},
      {&same, call("f", {gxy, spaced}), Texts{"f", "g(x, y)"}},
      {&same, call("f", {gxy, call("g", {y, x})}), no},
      {&same, call("f", {gxy, call("h", {x, y})}), no},
      {&same,
       call("f", {call("g", {x}), node("call", {id("g"), node("argument_list", {tok("["), x, tok("]")})})}),
       no},
      {&same, call("g", {b, b}), Texts{"g", "b"}},
      {&pair,
       tuple("pair", Kids{x, tok(","), y, tok("|"), x, tok(","), y},
             Cmds{H, H, W(" "), H, H, H, H, W("  "), H}),
       Texts{"[x y]"}},
      {&pair, node("pair", {x, tok("|"), y}), no},
      // Unmentioned tokens and comments are skipped, named nodes never;
      // quotes are looked through.
      {&two,
       node("call",
            {id("f"), node("argument_list", {tok("("), a, tok(","), comment, b, tok(","), tok(")")})}),
       Texts{"a", "b"}},
      {&two, call("f", {a, b, c}), no},
      {&two, call("f", {unquote("u", 0, "python", a, Cmds{H}), b}), Texts{"a", "b"}},
      // A word the grammar leaves unnamed is a token, which no metavariable
      // takes, nor passes over to the next (`f($A)` is no `f(this, x)`).
      {&one, this_x, no},
      {&one_named, this_x, no},
      {&two_named, this_x, Texts{"this", "x"}},
      {&run_named, this_x, Texts{"[this x]"}},
      // A metavariable takes no token: `return $X` is no `return;`.
      {&ret, node("return_statement", {tok("return"), tok(";")}), no},
      {&ret, node("return_statement", {tok("return"), x, tok(";")}), Texts{"x"}},
      // An optional leaf matches itself or nothing: the `else` part is not a missing `;`.
      {&cond, node("if_statement", {tok("if"), a, tok(";"), tok("then"), b, tok(";"), tok("fi")}),
       Texts{"a", "b"}},
      // ... where the term ends a line in its place (`if a` / `then b` / `fi`), not where it goes on.
      {&cond,
       tuple("if_statement", Kids{tok("if"), a, tok("then"), b, tok("fi")},
             Cmds{H, W(" "), H, N, H, W(" "), H, N, H}),
       Texts{"a", "b"}},
      {&cond, node("if_statement", {tok("if"), a, tok("then"), b, tok("fi")}), no},
      {&cond, node("if_statement", {tok("if"), a, tok("then"), b, tok("else"), c, tok("fi")}), no},
      // A respellable leaf matches every spelling of its word, and no other word.
      {&loose, echo("echo"), Texts{"x"}},
      {&loose, echo("ECHO"), Texts{"x"}},
      {&loose, echo("Echo"), Texts{"x"}},
      {&loose, echo("print"), no},
      {&exact, echo("echo"), Texts{"x"}},
      {&exact, echo("ECHO"), no},
      {&select, sel("select"), Texts{"a"}},
      {&select, sel("Select"), Texts{"a"}},
      {&select, sel("selec"), no},
      // The memo must not mix up states reached with different bindings of A.
      {&aba, call("f", {x, y, id("q"), x, y, one_int}), Texts{"[x y]", "[q]"}},
      {&aba, call("f", {x, y, id("z"), x, one_int}), Texts{"[x]", "[y z]"}},
      // A run of nothing takes its comma along: A is nothing, twice.
      {&aba, call("f", {x, y, id("z"), one_int}), Texts{"[]", "[x y z]"}},
      // The keywords a node starts with are passed over to a metavariable
      // (`static f() {}`), but no other token (`f($A)` is no `f(this, x)`).
      {&method,
       node("method_definition", {tok("static"), tok("async"), id("f"), leaf("formal_parameters", "()")}),
       Texts{"f"}},
      {&method, node("method_definition", {tok("*"), id("f"), leaf("formal_parameters", "()")}), no},
      // The pattern's tag was not yet interned when it was made.
      {&fresh, node(fresh_tag, {id("z")}), Texts{"z"}},
      {&fresh, node(fresh_tag + "_not", {id("z")}), no},
  };
  std::map<const Pattern*, std::unique_ptr<Matcher>> matchers;
  for (const auto& [p, t, want] : rows) {
    SCOPED_TRACE(t->coparse());
    auto& m = matchers[p];
    if (!m) m = std::make_unique<Matcher>(*p);
    ASSERT_EQ(m->match(*t), want.has_value());
    EXPECT_EQ(want ? bound(*m, *p) : Texts{}, want.value_or(Texts{}));
  }
}

// A run's term keeps the layout between its children, and when it ends
// with a comment, the line break after it; it spans lines when its text does.
TEST(Match, RunTermsKeepTheirLayout) {
  const KRef nl =
      tuple("argument_list", Kids{tok("("), id("a"), tok(","), id("b"), tok(")")}, Cmds{H, H, H, N, H, H});
  const KRef args =
      tuple("argument_list", Kids{tok("("), id("a"), tok(","), leaf("comment", "# c"), tok(")")},
            Cmds{H, H, H, W(" "), H, N, W("  "), H});
  const KRef abc = call("print", {id("a"), id("b"), id("c")});
  Pattern parens;
  parens.node("argument_list", {parens.leaf("(", "("), parens.run(0), parens.leaf(")", ")")});
  const std::vector<std::tuple<Pattern, KRef, std::string>> cases = {
      {parens, nl, "a,\nb"},
      {call_pattern("print", {{true, 0}}), abc, "a, b, c"},
      {call_pattern("print", {{true, 0}, {false, 1}}), abc, "a, b"},
      {call_pattern("print", {{true, 0}}), call("print", {}), ""},
      {call_pattern("f", {{true, 0}}), tuple("call", Kids{id("f"), args}, Cmds{H, H}), "a, # c\n"},
  };
  for (const auto& [p, t, want] : cases) {
    Matcher m(p);
    ASSERT_TRUE(m.match(*t));
    EXPECT_EQ(run_term(m.bindings()[0])->coparse(), want);
    EXPECT_EQ(LineBreaks().binding(m.bindings()[0]), want.find('\n') != std::string::npos);
  }
  // The run "b" alone: the line break before it is not its own.
  EXPECT_FALSE(LineBreaks().binding(Binding{Binding::Kind::Run, nullptr, nl.get(), 3, 4}));
  EXPECT_FALSE(LineBreaks().binding(Binding{Binding::Kind::Run, nullptr, nl.get(), 2, 2}));
}

TEST(Match, TokensAndTheirSpellings) {
  EXPECT_TRUE(is_token(*tok(";")));
  EXPECT_FALSE(is_token(*id("x")));
  EXPECT_FALSE(is_token(*tuple(";", Kids{}, Cmds{W(";"), N})));
  // A backslash-newline the grammar made a node is layout: `x = \` / `1` matches `$A = $B`.
  EXPECT_TRUE(is_token(*tuple("line_continuation", Kids{}, Cmds{W("\\"), N})));
  struct Case {
    const char* text;
    const char* tag;
    bool same;
  };
  for (const Case& c :
       {Case{"#  include", "#include", true}, Case{"ECHO", "echo", true}, Case{" $", "$", true},
        Case{"\n\n", "\n", true}, Case{"#\tDefine", "#define", true}, Case{"'", "\"", false},
        Case{"b\"", "\"", false}, Case{"/i", "/", false}, Case{"#includes", "#include", false},
        Case{"", "x", false}, Case{"ECHO", "ech", false}})
    EXPECT_EQ(spells(c.text, c.tag), c.same) << c.text << " / " << c.tag;
}

TEST(Match, SearchFindsNestedOrOutermostMatchesWithSpans) {
  // g(print(print(1)), print())
  KRef inner = call("print", {leaf("integer", "1")});
  KRef outer = call("print", {inner});
  KRef t = tuple("module", Kids{call("g", {outer, call("print", {})})}, Cmds{W("  "), H, N});
  Pattern p = call_pattern("print", {{true, 0}});
  const std::string text = t->coparse();
  // The walk does not go into an outermost match, but the spans after it still count its nodes.
  for (const bool outermost : {false, true}) {
    std::vector<Found> found = search(p, *t, outermost, &kGo);
    EXPECT_EQ(paths(found), outermost ? (std::vector<Path>{{0, 1, 1}, {0, 1, 3}})
                                      : (std::vector<Path>{{0, 1, 1}, {0, 1, 1, 1, 1}, {0, 1, 3}}));
    attach_spans(*t, found);
    for (const Found& f : found) EXPECT_EQ(text.substr(f.start, f.end - f.start), f.node->coparse());
  }

  // f(\n f(\n  f(a))) against f($X): every binding spans lines but the last,
  // and the offset of each multiline one is where its text starts.
  KRef fff = id("a");
  for (int i = 0; i < 3; ++i) {
    KRef args = tuple("argument_list", Kids{tok("("), fff, tok(")")}, Cmds{H, N, W(" "), H, H});
    fff = tuple("call", Kids{id("f"), args}, Cmds{H, H});
  }
  std::vector<Found> found = search(call_pattern("f", {{false, 0}}), *fff, false);
  ASSERT_EQ(found.size(), 3u);
  attach_spans(*fff, found);
  for (const Found& f : found) {
    const std::string x = f.bindings[0].node->coparse();
    EXPECT_EQ(f.multiline, x.find('\n') != std::string::npos);
    if (!f.multiline) continue;
    ASSERT_EQ(f.offsets.size(), 1u);
    EXPECT_EQ(fff->coparse().substr(f.offsets[0], x.size()), x);
    EXPECT_GT(f.offsets[0], f.start);
  }
  EXPECT_FALSE(found[2].multiline);

  // A hole at the root matches every Tuple node but tokens, quotes left out.
  Pattern any;
  any.hole(-1);
  KRef q = quote("q", 0, "py", id("x"), Cmds{H});
  EXPECT_EQ(search(any, *q, false).size(), 1u);
  EXPECT_EQ(search(any, *t, false).size(), 14u);  // 23 nodes, 9 of them brackets
}

TEST(Match, LineBreaksAreThoseOfTheRenderedText) {
  LineBreaks lines;
  // Each node against its rendered text, whatever is written but never shows.
  const KRef nodes[] = {
      leaf("string", "'a\nb'"),
      tuple("t", Kids{id("a"), tuple("u", Kids{}, Cmds{N})}, Cmds{H}),  // the child past the HOLEs
      tuple("t", Kids{id("a")}, Cmds{P("\n"), H, X}),                   // a prefix with no line break
      tuple("t", Kids{id("a")}, Cmds{P("  "), W("x"), N, H, X}),
      quote("q", 0, "py", tuple("u", Kids{}, Cmds{N}), Cmds{W("no hole")}),
      quote("q", 0, "py", tuple("u", Kids{}, Cmds{W("\n")}), Cmds{H}),
      tuple("t", Kids{tuple("u", Kids{id("a"), leaf("s", "1\n")}, Cmds{H, H})}, Cmds{W("("), H, W(")")}),
  };
  for (const KRef& n : nodes) {
    const bool want = n->coparse().find('\n') != std::string::npos;
    EXPECT_EQ(lines.node(*n), want) << n->coparse();
    EXPECT_EQ(LineBreaks().binding(Binding{Binding::Kind::Node, n.get(), nullptr, 0, 0}), want);
  }
}

TEST(Match, RunsInARowTakePolynomialSteps) {
  // Backtracking alone tries every way to cut the arguments into six runs.
  for (int (*slot)(int) : {+[](int i) { return i; }, +[](int) { return -1; }}) {
    const Pattern p = runs_then(6, "1", slot);
    std::uint64_t steps[2];
    for (int k = 0; k < 2; ++k) {
      Matcher m(p);
      EXPECT_FALSE(m.match(*zeros(k ? 120 : 60)));
      steps[k] = m.steps();
    }
    // Positions x children x children: twice the children, about four times the steps.
    EXPECT_LT(steps[1], 5 * steps[0]) << steps[0] << " then " << steps[1];
    EXPECT_LT(steps[1], 14u * 240 * 240);
  }
  // A match still binds as backtracking would: the first run the longest, the
  // others (a run of nothing takes its comma along) nothing.
  const Pattern p = runs_then(3, "0", [](int i) { return i; });
  Matcher m(p);
  const KRef args = zeros(40);  // the bindings point into it
  ASSERT_TRUE(m.match(*args));
  EXPECT_EQ(run_items(m.bindings()[0], p).size(), 39u);
  EXPECT_EQ(run_items(m.bindings()[1], p).size(), 0u);
  EXPECT_EQ(run_items(m.bindings()[2], p).size(), 0u);
}

TEST(Match, SearcherGivesEachRootWhatSearchManyGives) {
  // One searcher over several roots, as a source searched subtree by subtree:
  // nothing a root bound or failed on leaks into the next.
  const Pattern same = call_pattern("f", {{false, 0}, {false, 0}});  // f($A, $A)
  const Pattern any = call_pattern("", {{true, 1}});                 // $F($$$B)
  const std::string long_tag(200, 'x');  // too long to be interned: kept in the node
  Pattern wrapped;
  wrapped.node(long_tag, {wrapped.hole(0)});
  const std::vector<const Pattern*> ps{&same, &any, &wrapped};
  const std::vector<KRef> roots{
      tuple("module", Kids{call("f", {id("a"), id("a")}), call("g", {id("b")})}, Cmds{H, W("\n"), H}),
      call("f", {id("a"), id("b")}),
      call("f", {call("f", {id("c"), id("c")}), call("f", {id("c"), id("c")})}),
      tuple("module",
            Kids{tuple(long_tag, Kids{id("a")}, Cmds{H}), call("f", {id("b")}),
                 tuple(long_tag + "y", Kids{id("c")}, Cmds{H}), tuple("x", Kids{id("d")}, Cmds{H})},
            Cmds{H, W("\n"), H, W("\n"), H, W("\n"), H}),
  };
  Pacer pace(nullptr);
  Searcher searcher(ps, &pace);
  // Each pattern's match paths, and every node they bound.
  const auto summary = [](const std::vector<std::vector<Found>>& found) {
    std::vector<std::pair<std::vector<Path>, std::vector<const KTerm*>>> out;
    for (const std::vector<Found>& fs : found) {
      out.push_back({paths(fs), {}});
      for (const Found& f : fs)
        for (const Binding& b : f.bindings) out.back().second.push_back(b.node);
    }
    return out;
  };
  for (const KRef& root : roots) EXPECT_EQ(summary(searcher.run(*root)), summary(search_many(ps, *root)));
  EXPECT_EQ(paths(searcher.run(*roots[2])[0]), (std::vector<Path>{{}, {1, 1}, {1, 3}}));
  // Tags match whether interned or not.
  const auto many = search_many(ps, *roots[3]);
  EXPECT_EQ(paths(many[1]), (std::vector<Path>{{1}}));
  EXPECT_EQ(paths(many[2]), (std::vector<Path>{{0}}));
  EXPECT_EQ(paths(search(wrapped, *roots[3], false)), (std::vector<Path>{{0}}));
}

// Replacing, rewriting and dedenting make only the ancestors of what changed anew.
TEST(Rebuild, OnlyAncestorsAreNew) {
  KRef a = id("a"), b = id("b"), c = id("c");
  KRef left = tuple("l", Kids{a, b}, Cmds{H, W("+"), H});
  KRef right = tuple("r", Kids{c}, Cmds{H});
  KRef t = tuple("root", Kids{left, right, a}, Cmds{H, W(";"), H, W(";"), H});
  EXPECT_EQ(existing_prefix(*t, Path{0, 1}), 2u);
  EXPECT_EQ(existing_prefix(*t, Path{0, 2, 0}), 1u);
  KRef u = replace_at(*t, Path{0, 1}, id("z"));
  EXPECT_EQ(u->coparse(), "a+z;c;a");
  EXPECT_TRUE(u->children()[1] == right.get() && u->children()[0]->children()[0] == a.get());
  u = replace_paths(*t, std::vector<Path>{{0, 0}, {0, 1}, {2}}, std::vector<KRef>{id("x"), id("y"), id("z")});
  EXPECT_EQ(u->coparse(), "x+y;c;z");
  EXPECT_EQ(u->children()[1], right.get());
  EXPECT_EQ(replace_paths(*t, std::vector<Path>{}, std::vector<KRef>{}).get(), t.get());
  EXPECT_EQ(replace_paths(*t, std::vector<Path>{{}}, std::vector<KRef>{c}).get(), c.get());

  std::vector<std::string> seen;
  u = rewrite(*t, [&](KRef n) {
    seen.emplace_back(n->coparse());
    return n.get() == b.get() ? id("B") : n;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "a+B", "c", "c", "a", "a+B;c;a"}));
  EXPECT_TRUE(u->children()[1] == right.get() && u->children()[0]->children()[0] == a.get());
  EXPECT_EQ(rewrite(*t, [](KRef n) { return n; }).get(), t.get());
  EXPECT_FALSE(rewrite(*t, [](KRef n) { return n->tag() == "r" ? KRef() : n; }));  // stopped
  EXPECT_EQ(t->coparse(), "a+b;c;a");

  // `f(a \` / `      + b)` at indent "    ": the line break ends the line-end
  // token, the indentation is the parent's next write.
  KRef cont = tuple("line_continuation", Kids{}, Cmds{W("\\"), N});
  KRef expr = tuple("binary_operator", Kids{id("a"), cont, tok("+"), id("b")},
                    Cmds{H, W(" "), H, W("      "), H, W(" "), H});
  KRef out = dedent(*expr, "    ");
  EXPECT_EQ(out->coparse(), "a \\\n  + b");
  EXPECT_EQ(out->children()[1], cont.get());  // only the node with the write is new
  // The write right after the break counts even inside a child, and only it.
  KRef deep = tuple("t", Kids{tuple("u", Kids{id("d")}, Cmds{W("      "), H, W("    ")})}, Cmds{N, H});
  EXPECT_EQ(dedent(*deep, "    ")->coparse(), "\n  d    ");
  EXPECT_EQ(dedent(*deep, "").get(), deep.get());

  // A node rebuilt over new children keeps every other field.
  KRef q = kquote_at("q", 9, "py", leaf("x", "x"), Cmds{W("["), H, P(" "), X}, Range{3, 4}).share();
  std::vector<KRef> kids{leaf("y", "y")};
  KRef r = with_children(*q, kids).share();
  EXPECT_EQ(r->coparse(), "[y");
  EXPECT_TRUE(r->variant() == KTerm::Variant::Quote && r->index() == 9 && r->lang() == "py");
  EXPECT_TRUE(r->at() == (Range{3, 4}) && r->cmd_values() == q->cmd_values() && r->tag() == "q");
  EXPECT_EQ(hole_count(*q), 1u);
}

TEST(Spans, RecordsAroundMatchesAreThoseOfTheWholeWalk) {
  // A quote rendered at two HOLEs, a child past the last HOLE (never
  // rendered, with a subtree of its own), line breaks under a prefix. Each
  // choice of wanted and deep nodes must give the records of the whole walk
  // at the wanted nodes, at every node of a deep one's subtree (children
  // never rendered included), and at the first node after such a subtree:
  // no other.
  KRef x = leaf("x", "é");
  KRef hidden = tuple("h", Kids{leaf("y", "y")}, Cmds{H});
  KRef q =
      kquote_at("q", 1, "py", tuple("in", Kids{x}, Cmds{W("["), H, W("]")}), Cmds{H, W("|"), H}, {}).share();
  KRef body = tuple("b", Kids{q, leaf("z", "z"), hidden}, Cmds{P("  "), H, N, H, X});
  KRef t = tuple("r", Kids{body, x}, Cmds{W("top"), N, H, W(" "), H});
  const std::vector<SpanRecord> all = rendered_spans(*t);
  const std::size_t n = all.size();
  for (std::uint64_t mask = 1; mask < (1u << n); mask += 1 + mask / 5) {
    for (std::uint64_t deep_mask = mask;; deep_mask = (deep_mask - 1) & mask) {
      std::vector<std::uint64_t> orders, deep;
      for (std::uint64_t k = 0; k < n; ++k) {
        if (mask >> k & 1) orders.push_back(k);
        if (deep_mask >> k & 1) deep.push_back(k);
      }
      // What should be recorded, worked out from the whole walk.
      std::vector<std::uint64_t> expected, closers;
      std::vector<std::uint64_t> within;
      for (std::uint64_t k = 0; k < n; ++k) {
        bool closes = false;
        while (!within.empty() && all[k].depth <= within.back()) {
          within.pop_back();
          closes = true;
        }
        const bool wanted = mask >> k & 1;
        if (wanted || closes || !within.empty()) expected.push_back(k);
        if (closes && !wanted && within.empty()) closers.push_back(k);
        if (deep_mask >> k & 1) within.push_back(all[k].depth);
        // Past the last wanted node and out of every deep subtree: done.
        if (within.empty() && k >= orders.back()) break;
      }
      std::vector<std::uint64_t> positions;
      const std::vector<SpanRecord> got = rendered_spans_around(*t, orders, deep, positions);
      ASSERT_EQ(positions, expected) << "mask " << mask << " deep " << deep_mask;
      for (std::size_t i = 0; i < got.size(); ++i) {
        const SpanRecord& want = all[positions[i]];
        EXPECT_TRUE(got[i].node == want.node && got[i].depth == want.depth && got[i].index == want.index);
        EXPECT_EQ(got[i].start, want.start);
        // Rendering may stop inside a node recorded only as the end of a subtree.
        const bool closer = std::find(closers.begin(), closers.end(), positions[i]) != closers.end();
        EXPECT_TRUE(closer || got[i].end == want.end) << "order " << positions[i];
      }
      if (deep_mask == 0) break;
    }
  }
  const std::vector<std::uint64_t> past{n - 1, n + 3};
  std::vector<std::uint64_t> positions;
  EXPECT_EQ(rendered_spans_around(*t, past, {}, positions).size(), 1u);
}

}  // namespace
