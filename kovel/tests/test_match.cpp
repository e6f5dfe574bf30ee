// Structural patterns (match.h): slots, runs, skipped tokens, spans and
// rebuilding with several replacements.
#include <gtest/gtest.h>

#include "match.h"
#include "support.h"

using namespace kovel;
using namespace kt;

namespace {

using Path = std::vector<std::uint64_t>;

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

std::vector<std::string> texts(const std::vector<const KTerm*>& ts) {
  std::vector<std::string> out;
  for (const KTerm* t : ts) out.push_back(t->coparse());
  return out;
}

TEST(Match, RunTakesLongestSpanAndKeepsLayout) {
  KRef t = call("print", {id("a"), id("b"), id("c")});
  Pattern p = call_pattern("print", {{true, 0}});
  Matcher m(p);
  ASSERT_TRUE(m.match(*t));
  const Binding& b = m.bindings()[0];
  ASSERT_EQ(b.kind, Binding::Kind::Run);
  EXPECT_EQ(texts(run_items(b, p)), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(run_term(b)->coparse(), "a, b, c");
  EXPECT_FALSE(LineBreaks().binding(b));

  // `$$$A, $B`: the run leaves exactly one argument to the hole.
  Pattern split = call_pattern("print", {{true, 0}, {false, 1}});
  Matcher ms(split);
  ASSERT_TRUE(ms.match(*t));
  EXPECT_EQ(run_term(ms.bindings()[0])->coparse(), "a, b");
  EXPECT_EQ(texts(run_items(ms.bindings()[0], split)), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ms.bindings()[1].node->coparse(), "c");

  KRef empty = call("print", {});
  ASSERT_TRUE(m.match(*empty));
  EXPECT_EQ(run_items(m.bindings()[0], p).size(), 0u);
  EXPECT_EQ(run_term(m.bindings()[0])->coparse(), "");
}

TEST(Match, RepeatedSlotsBindEqualTerms) {
  Pattern p = call_pattern("", {{false, 1}, {false, 1}});
  Matcher m(p);
  KRef faa = call("f", {id("a"), id("a")}), gbb = call("g", {id("b"), id("b")});
  EXPECT_TRUE(m.match(*faa));
  EXPECT_EQ(m.bindings()[0].node->coparse(), "f");
  EXPECT_FALSE(m.match(*call("f", {id("a"), id("b")})));
  // A named leaf takes the same text under another tag (a name and a string's text).
  EXPECT_TRUE(m.match(*call("f", {id("a"), leaf("string_content", "a")})));
  EXPECT_FALSE(m.match(*call("f", {id("a"), call("a", {})})));
  // Nodes compare tag by tag and token by token, layout and comments aside.
  KRef spaced = tuple(
      "call",
      Kids{id("g"), tuple("argument_list",
                          Kids{tok("("), id("x"), tok(","), leaf("comment", "/* c */"), id("y"), tok(")")},
                          Cmds{H, W(" "), H, H, W("\n  "), H, W(" "), H, H})},
      Cmds{H, W(" "), H});
  EXPECT_TRUE(m.match(*call("f", {call("g", {id("x"), id("y")}), spaced})));
  EXPECT_FALSE(m.match(*call("f", {call("g", {id("x"), id("y")}), call("g", {id("y"), id("x")})})));
  EXPECT_FALSE(m.match(*call("f", {call("g", {id("x"), id("y")}), call("h", {id("x"), id("y")})})));
  EXPECT_FALSE(m.match(*call(
      "f",
      {call("g", {id("x")}),
       tuple("call", Kids{id("g"), tuple("argument_list", Kids{tok("["), id("x"), tok("]")}, Cmds{H, H, H})},
             Cmds{H, H})})));
  // A failed match leaves no binding behind for the next one.
  EXPECT_TRUE(m.match(*gbb));
  EXPECT_EQ(m.bindings()[1].node->coparse(), "b");

  // The same slot as two runs: equal items, whatever the layout between them.
  Pattern runs;
  runs.node("pair", {runs.run(0), runs.leaf("|", "|"), runs.run(0)});
  KRef same = tuple("pair", Kids{id("x"), tok(","), id("y"), tok("|"), id("x"), tok(","), id("y")},
                    Cmds{H, H, W(" "), H, H, H, H, W("  "), H});
  KRef other = tuple("pair", Kids{id("x"), tok("|"), id("y")}, Cmds{H, H, H});
  Matcher mr(runs);
  EXPECT_TRUE(mr.match(*same));
  EXPECT_FALSE(mr.match(*other));
}

TEST(Match, SkipsUnmentionedTokensAndCommentsAndLooksThroughQuotes) {
  // f(a, /* c */ b,) matches f($A, $B): the comment and trailing comma are skipped.
  KRef args =
      tuple("argument_list",
            Kids{tok("("), id("a"), tok(","), leaf("comment", "/* c */"), id("b"), tok(","), tok(")")},
            Cmds{H, H, H, W(" "), H, W(" "), H, H, H});
  KRef t = tuple("call", Kids{id("f"), args}, Cmds{H, H});
  Pattern p = call_pattern("f", {{false, 0}, {false, 1}});
  Matcher m(p);
  EXPECT_TRUE(m.match(*t));
  EXPECT_EQ(m.bindings()[1].node->coparse(), "b");
  // A named node is never skipped.
  EXPECT_FALSE(m.match(*call("f", {id("a"), id("b"), id("c")})));

  KRef quoted = unquote("u", 0, "python", id("a"), Cmds{H});
  KRef q = call("f", {quoted, id("b")});
  ASSERT_TRUE(m.match(*q));
  EXPECT_EQ(m.bindings()[0].node->variant(), KTerm::Variant::Tuple);
  EXPECT_TRUE(is_token(*tok(";")));
  EXPECT_FALSE(is_token(*id("x")));
  EXPECT_FALSE(is_token(*tuple(";", Kids{}, Cmds{W(";"), N})));
  // A backslash-newline the grammar made a node is layout: `x = \` / `1` matches `$A = $B`.
  EXPECT_TRUE(is_token(*tuple("line_continuation", Kids{}, Cmds{W("\\"), N})));
}

TEST(Match, SearchFindsNestedOrOutermostMatchesWithSpans) {
  // g(print(print(1)), print())
  KRef inner = call("print", {leaf("integer", "1")});
  KRef outer = call("print", {inner});
  KRef t = tuple("module", Kids{call("g", {outer, call("print", {})})}, Cmds{W("  "), H, N});
  Pattern p = call_pattern("print", {{true, 0}});
  std::vector<Found> all = search(p, *t, false);
  EXPECT_EQ(paths(all), (std::vector<Path>{{0, 1, 1}, {0, 1, 1, 1, 1}, {0, 1, 3}}));
  attach_spans(*t, all);
  const std::string text = t->coparse();
  for (const Found& f : all) EXPECT_EQ(text.substr(f.start, f.end - f.start), f.node->coparse());
  // The walk does not go into a match, but the spans after it still count its nodes.
  std::vector<Found> outermost = search(p, *t, true);
  EXPECT_EQ(paths(outermost), (std::vector<Path>{{0, 1, 1}, {0, 1, 3}}));
  attach_spans(*t, outermost);
  for (const Found& f : outermost) EXPECT_EQ(text.substr(f.start, f.end - f.start), f.node->coparse());

  // A hole at the root matches every Tuple node but tokens, quotes left out.
  Pattern any;
  any.hole(-1);
  KRef q = quote("q", 0, "py", id("x"), Cmds{H});
  EXPECT_EQ(search(any, *q, false).size(), 1u);
  EXPECT_EQ(search(any, *t, false).size(), 14u);  // 23 nodes, 9 of them brackets
}

TEST(Match, NamedWordsAreNoTokens) {
  // f(this, x) with `this` a node of the grammar that renders as its tag.
  KRef t = call("f", {leaf("this", "this"), id("x")});
  Pattern p = call_pattern("f", {{false, 0}});
  EXPECT_TRUE(Matcher(p).match(*t));  // `this` taken for a token, passed over
  p.name_words({"this"});
  EXPECT_FALSE(Matcher(p).match(*t));
  Pattern two = call_pattern("f", {{false, 0}, {false, 1}});
  two.name_words({"this"});
  Matcher m(two);
  ASSERT_TRUE(m.match(*t));
  EXPECT_EQ(m.bindings()[0].node->coparse(), "this");
  Pattern run = call_pattern("f", {{true, 0}});
  run.name_words({"this"});
  Matcher mr(run);
  ASSERT_TRUE(mr.match(*t));
  EXPECT_EQ(texts(run_items(mr.bindings()[0], run)), (std::vector<std::string>{"this", "x"}));

  // A metavariable takes no token: `return $X` is no `return;`.
  Pattern ret;
  ret.node("return_statement", {ret.leaf("return", "return"), ret.hole(0)});
  KRef bare = tuple("return_statement", Kids{tok("return"), tok(";")}, Cmds{H, H});
  KRef full = tuple("return_statement", Kids{tok("return"), id("x"), tok(";")}, Cmds{H, W(" "), H, H});
  EXPECT_FALSE(Matcher(ret).match(*bare));
  EXPECT_TRUE(Matcher(ret).match(*full));
}

TEST(Match, OptionalLeavesMatchThemselvesOrNothing) {
  // if $C; then $B; fi, its `;`s optional, against the two ways a shell writes it
  Pattern p;
  p.node("if_statement", {p.leaf("if", "if"), p.hole(0), p.leaf(";", ";", true), p.leaf("then", "then"),
                          p.hole(1), p.leaf(";", ";", true), p.leaf("fi", "fi")});
  KRef semis =
      tuple("if_statement", Kids{tok("if"), id("a"), tok(";"), tok("then"), id("b"), tok(";"), tok("fi")},
            Cmds{H, W(" "), H, H, W(" "), H, W(" "), H, H, W(" "), H});
  KRef lines = tuple("if_statement", Kids{tok("if"), id("a"), tok("then"), id("b"), tok("fi")},
                     Cmds{H, W(" "), H, N, H, W(" "), H, N, H});
  KRef other =
      tuple("if_statement", Kids{tok("if"), id("a"), tok("then"), id("b"), tok("else"), id("c"), tok("fi")},
            Cmds{H, W(" "), H, N, H, W(" "), H, N, H, N, H, N, H});
  for (const KRef& t : {semis, lines}) {
    Matcher m(p);
    ASSERT_TRUE(m.match(*t)) << t->coparse();
    EXPECT_EQ(m.bindings()[1].node->coparse(), "b");
  }
  // What is not the leaf stays unmatched: the `else` part is not a missing `;`.
  EXPECT_FALSE(Matcher(p).match(*other));
}

TEST(Match, SpellingsOfATokenAgreeUpToSpacingAndCase) {
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

TEST(Match, ARespellableLeafMatchesEveryWayItsWordIsSpelled) {
  const auto stmt = [](const char* kw) {
    return tuple("echo_statement", Kids{leaf("echo", kw), id("x"), tok(";")}, Cmds{H, W(" "), H, H});
  };
  Pattern loose, exact;
  loose.node("echo_statement",
             {loose.leaf("echo", "echo", false, true), loose.hole(0), loose.leaf(";", ";")});
  exact.node("echo_statement", {exact.leaf("echo", "echo"), exact.hole(0), exact.leaf(";", ";")});
  for (const char* kw : {"echo", "ECHO", "Echo"}) {
    EXPECT_TRUE(Matcher(loose).match(*stmt(kw))) << kw;
    EXPECT_EQ(Matcher(exact).match(*stmt(kw)), std::string_view(kw) == "echo") << kw;
  }
  // Another word under the same tag is another token.
  EXPECT_FALSE(Matcher(loose).match(*stmt("print")));
  // A keyword the grammar names, spelled in any case (SQL's).
  Pattern keyword;
  keyword.node("select", {keyword.leaf("keyword_select", "SELECT", false, true), keyword.hole(0)});
  for (const char* kw : {"select", "Select", "SELECT"})
    EXPECT_TRUE(Matcher(keyword).match(
        *tuple("select", Kids{leaf("keyword_select", kw), id("a")}, Cmds{H, W(" "), H})))
        << kw;
  EXPECT_FALSE(Matcher(keyword).match(
      *tuple("select", Kids{leaf("keyword_select", "selec"), id("a")}, Cmds{H, W(" "), H})));
}

TEST(Match, LineBreaksAreThoseOfTheRenderedText) {
  KRef nl =
      tuple("argument_list", Kids{tok("("), id("a"), tok(","), id("b"), tok(")")}, Cmds{H, H, H, N, H, H});
  Pattern p;
  p.node("argument_list", {p.leaf("(", "("), p.run(0), p.leaf(")", ")")});
  Matcher m(p);
  ASSERT_TRUE(m.match(*nl));
  LineBreaks lines;
  EXPECT_TRUE(lines.binding(m.bindings()[0]));
  EXPECT_EQ(run_term(m.bindings()[0])->coparse(), "a,\nb");
  Pattern h;
  h.node("argument_list", {h.leaf("(", "("), h.hole(0), h.leaf(",", ","), h.hole(1), h.leaf(")", ")")});
  Matcher mh(h);
  ASSERT_TRUE(mh.match(*nl));
  EXPECT_FALSE(lines.binding(mh.bindings()[1]));
  // The run "b" alone: the line break before it is not its own.
  EXPECT_FALSE(lines.binding(Binding{Binding::Kind::Run, nullptr, nl.get(), 3, 4}));
  EXPECT_FALSE(lines.binding(Binding{Binding::Kind::Run, nullptr, nl.get(), 2, 2}));

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

// f(0, 0, ..., 0) with `n` arguments.
KRef zeros(std::size_t n) {
  std::vector<KRef> args;
  for (std::size_t i = 0; i < n; ++i) args.push_back(leaf("integer", "0"));
  return call("f", args);
}

// f($$$A, $$$B, ..., <last>) with `runs` runs, slots given by `slot(i)`.
Pattern runs_then(int runs, std::string_view last, int (*slot)(int)) {
  Pattern p;
  std::vector<std::uint32_t> kids{p.leaf("(", "(")};
  for (int i = 0; i < runs; ++i) {
    kids.push_back(p.run(slot(i)));
    kids.push_back(p.leaf(",", ","));
  }
  kids.push_back(p.leaf("integer", last));
  kids.push_back(p.leaf(")", ")"));
  const std::uint32_t args = p.node("argument_list", kids);
  p.node("call", {p.leaf("identifier", "f"), args});
  return p;
}

TEST(Match, RunsInARowTakePolynomialSteps) {
  // Backtracking alone tries every way to cut the arguments into six runs.
  struct Case {
    const char* name;
    int (*slot)(int);
  };
  const Case cases[] = {
      {"distinct", [](int i) { return i; }},
      {"anonymous", [](int) { return -1; }},
  };
  for (const Case& c : cases) {
    const Pattern p = runs_then(6, "1", c.slot);
    std::uint64_t steps[2];
    for (int k = 0; k < 2; ++k) {
      Matcher m(p);
      EXPECT_FALSE(m.match(*zeros(k ? 120 : 60))) << c.name;
      steps[k] = m.steps();
    }
    // Positions x children x children: twice the children, about four times the steps.
    EXPECT_LT(steps[1], 5 * steps[0]) << c.name << ": " << steps[0] << " then " << steps[1];
    EXPECT_LT(steps[1], 14u * 240 * 240) << c.name;
  }
  // A match still binds as backtracking would: the first run the longest.
  KRef args = zeros(40);
  const Pattern p = runs_then(3, "0", [](int i) { return i; });
  Matcher m(p);
  ASSERT_TRUE(m.match(*args));
  EXPECT_EQ(run_items(m.bindings()[0], p).size(), 37u);
  EXPECT_EQ(run_items(m.bindings()[1], p).size(), 1u);
  EXPECT_EQ(run_items(m.bindings()[2], p).size(), 1u);
}

TEST(Match, RepeatedRunSlotsStillMatchAfterFailures) {
  // f($$$A, $$$B, $$$A, 1): the memo must not mix up states reached with
  // different bindings of A.
  KRef t = call("f", {id("x"), id("y"), id("q"), id("x"), id("y"), leaf("integer", "1")});
  const Pattern p = runs_then(3, "1", [](int i) { return i == 2 ? 0 : i; });
  Matcher m(p);
  ASSERT_TRUE(m.match(*t));
  EXPECT_EQ(texts(run_items(m.bindings()[0], p)), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(texts(run_items(m.bindings()[1], p)), (std::vector<std::string>{"q"}));
  KRef odd = call("f", {id("x"), id("y"), id("z"), id("x"), leaf("integer", "1")});
  ASSERT_TRUE(m.match(*odd));
  EXPECT_EQ(texts(run_items(m.bindings()[0], p)), (std::vector<std::string>{"x"}));
  EXPECT_EQ(texts(run_items(m.bindings()[1], p)), (std::vector<std::string>{"y", "z"}));
  EXPECT_FALSE(m.match(*call("f", {id("x"), id("y"), id("z"), leaf("integer", "1")})));
}

// Says stop on its `after`-th call.
struct CountingCheck {
  int calls = 0;
  int after;
  StopCheck check() {
    return {[](void* ctx) {
              auto* self = static_cast<CountingCheck*>(ctx);
              return ++self->calls >= self->after;
            },
            this};
  }
};

TEST(Match, LongSearchesStopWhenAsked) {
  // Repeated slots leave states the memo cannot share: this one runs for long.
  std::vector<KRef> calls;
  for (int i = 0; i < 20; ++i) calls.push_back(zeros(200));
  KRef t = tuple("module", calls, Cmds(calls.size(), H));
  const Pattern p = runs_then(6, "1", [](int i) { return i % 3; });
  CountingCheck third{0, 3};
  const StopCheck stop = third.check();
  EXPECT_THROW(search(p, *t, false, &stop), Interrupted);
  EXPECT_EQ(third.calls, 3);

  // A walk over many paths (2^40 through shared nodes) stops too.
  KRef doubled = id("a");
  for (int i = 0; i < 40; ++i) doubled = tuple("pair", Kids{doubled, doubled}, Cmds{H, H});
  Pattern none;
  none.leaf("none", "");
  CountingCheck again{0, 3};
  const StopCheck stop2 = again.check();
  EXPECT_THROW(search(none, *doubled, false, &stop2), Interrupted);

  // The check changes nothing else.
  CountingCheck never{0, 1 << 30};
  const StopCheck go = never.check();
  KRef small = tuple("module", Kids{call("print", {id("a")}), call("print", {})}, Cmds{H, N, H});
  const Pattern print = call_pattern("print", {{true, 0}});
  std::vector<Found> with = search(print, *small, false, &go), without = search(print, *small, false);
  EXPECT_EQ(paths(with), paths(without));
}

TEST(Match, OffsetsOfNestedMultilineBindings) {
  // f(\n f(\n  f(a))) against f($X): every binding spans lines but the last.
  KRef t = id("a");
  for (int i = 0; i < 3; ++i) {
    KRef args = tuple("argument_list", Kids{tok("("), t, tok(")")}, Cmds{H, N, W(" "), H, H});
    t = tuple("call", Kids{id("f"), args}, Cmds{H, H});
  }
  const Pattern p = call_pattern("f", {{false, 0}});
  std::vector<Found> found = search(p, *t, false);
  ASSERT_EQ(found.size(), 3u);
  attach_spans(*t, found);
  const std::string text = t->coparse();
  for (const Found& f : found) {
    const std::string x = f.bindings[0].node->coparse();
    EXPECT_EQ(f.multiline, x.find('\n') != std::string::npos);
    if (!f.multiline) continue;
    ASSERT_EQ(f.offsets.size(), 1u);
    EXPECT_EQ(text.substr(f.offsets[0], x.size()), x);
    EXPECT_GT(f.offsets[0], f.start);
  }
  EXPECT_FALSE(found[2].multiline);
}

TEST(Match, ReplacePathsRebuildsOnlyAncestors) {
  KRef a = id("a"), b = id("b"), c = id("c");
  KRef left = tuple("l", Kids{a, b}, Cmds{H, W("+"), H});
  KRef right = tuple("r", Kids{c}, Cmds{H});
  KRef t = tuple("root", Kids{left, right, a}, Cmds{H, W(";"), H, W(";"), H});
  const std::vector<Path> paths{{0, 0}, {0, 1}, {2}};
  const std::vector<KRef> repls{id("x"), id("y"), id("z")};
  KRef out = replace_paths(*t, paths, repls);
  EXPECT_EQ(out->coparse(), "x+y;c;z");
  EXPECT_EQ(out->children()[1], right.get());  // untouched subtree shared
  EXPECT_EQ(t->coparse(), "a+b;c;a");
  EXPECT_EQ(replace_paths(*t, std::vector<Path>{}, std::vector<KRef>{}).get(), t.get());
  EXPECT_EQ(replace_paths(*t, std::vector<Path>{{}}, std::vector<KRef>{c}).get(), c.get());
}

}  // namespace

TEST(Match, DedentFollowsLineBreaksAcrossNodes) {
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
}

TEST(Match, RunEndingWithCommentKeepsItsLineBreak) {
  // f(a, # c\n  ) against f($$$A): the run ends with the comment.
  KRef args = tuple("argument_list", Kids{tok("("), id("a"), tok(","), leaf("comment", "# c"), tok(")")},
                    Cmds{H, H, H, W(" "), H, N, W("  "), H});
  KRef t = tuple("call", Kids{id("f"), args}, Cmds{H, H});
  Pattern p = call_pattern("f", {{true, 0}});
  Matcher m(p);
  ASSERT_TRUE(m.match(*t));
  EXPECT_EQ(run_term(m.bindings()[0])->coparse(), "a, # c\n");
}

TEST(Match, TagsMatchWhetherInternedOrNot) {
  const std::string long_tag(200, 'x');  // too long to be interned: kept in the node
  KRef t = tuple("module",
                 Kids{tuple(long_tag, Kids{id("a")}, Cmds{H}), call("f", {id("b")}),
                      tuple(long_tag + "y", Kids{id("c")}, Cmds{H}), tuple("x", Kids{id("d")}, Cmds{H})},
                 Cmds{H, W("\n"), H, W("\n"), H, W("\n"), H});
  Pattern wrapped;
  wrapped.node(long_tag, {wrapped.hole(0)});
  Pattern f = call_pattern("f", {{false, 0}});
  EXPECT_EQ(paths(search(wrapped, *t, false)), (std::vector<Path>{{0}}));
  const std::vector<const Pattern*> both{&wrapped, &f};
  const auto many = search_many(both, *t);
  EXPECT_EQ(paths(many[0]), (std::vector<Path>{{0}}));
  EXPECT_EQ(paths(many[1]), (std::vector<Path>{{1}}));

  // A pattern made before any term of its tag still knows the terms made after it.
  Pattern fresh;
  fresh.node("kovel_test_tag_seen_first_in_a_pattern", {fresh.hole(0)});
  KRef later = tuple("kovel_test_tag_seen_first_in_a_pattern", Kids{id("z")}, Cmds{H});
  Matcher m(fresh);
  EXPECT_TRUE(m.match(*later));
  EXPECT_FALSE(m.match(*tuple("kovel_test_tag_seen_first_in_a_pattern_not", Kids{id("z")}, Cmds{H})));
}

TEST(Match, SearcherGivesEachRootWhatSearchManyGives) {
  // One searcher over several roots, as a source searched subtree by subtree:
  // nothing a root bound or failed on leaks into the next.
  const Pattern same = call_pattern("f", {{false, 0}, {false, 0}});  // f($A, $A)
  const Pattern any = call_pattern("", {{true, 1}});                 // $F($$$B)
  const std::vector<const Pattern*> ps{&same, &any};
  const std::vector<KRef> roots{
      tuple("module", Kids{call("f", {id("a"), id("a")}), call("g", {id("b")})}, Cmds{H, W("\n"), H}),
      call("f", {id("a"), id("b")}),
      call("f", {call("f", {id("c"), id("c")}), call("f", {id("c"), id("c")})}),
  };
  Pacer pace(nullptr);
  Searcher searcher(ps, &pace);
  for (const KRef& root : roots) {
    const auto got = searcher.run(*root);
    const auto want = search_many(ps, *root);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(paths(got[k]), paths(want[k]));
      ASSERT_EQ(got[k].size(), want[k].size());
      for (std::size_t i = 0; i < got[k].size(); ++i)
        for (std::size_t s = 0; s < got[k][i].bindings.size(); ++s)
          EXPECT_EQ(got[k][i].bindings[s].node, want[k][i].bindings[s].node);
    }
  }
  EXPECT_EQ(paths(searcher.run(*roots[2])[0]), (std::vector<Path>{{}, {1, 1}, {1, 3}}));
}
