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
  EXPECT_EQ(texts(run_items(b)), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(run_term(b)->coparse(), "a, b, c");
  EXPECT_FALSE(may_span_lines(b));

  // `$$$A, $B`: the run leaves exactly one argument to the hole.
  Pattern split = call_pattern("print", {{true, 0}, {false, 1}});
  Matcher ms(split);
  ASSERT_TRUE(ms.match(*t));
  EXPECT_EQ(run_term(ms.bindings()[0])->coparse(), "a, b");
  EXPECT_EQ(texts(run_items(ms.bindings()[0])), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ms.bindings()[1].node->coparse(), "c");

  KRef empty = call("print", {});
  ASSERT_TRUE(m.match(*empty));
  EXPECT_EQ(run_items(m.bindings()[0]).size(), 0u);
  EXPECT_EQ(run_term(m.bindings()[0])->coparse(), "");
}

TEST(Match, RepeatedSlotsBindEqualTerms) {
  Pattern p = call_pattern("", {{false, 1}, {false, 1}});
  Matcher m(p);
  KRef faa = call("f", {id("a"), id("a")}), gbb = call("g", {id("b"), id("b")});
  EXPECT_TRUE(m.match(*faa));
  EXPECT_EQ(m.bindings()[0].node->coparse(), "f");
  EXPECT_FALSE(m.match(*call("f", {id("a"), id("b")})));
  EXPECT_FALSE(m.match(*call("f", {id("a"), leaf("number", "a")})));  // same text, other tag
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
}

TEST(Match, SearchFindsNestedOrOutermostMatchesWithSpans) {
  // g(print(print(1)), print())
  KRef inner = call("print", {leaf("integer", "1")});
  KRef outer = call("print", {inner});
  KRef t = tuple("module", Kids{call("g", {outer, call("print", {})})}, Cmds{W("  "), H, N});
  Pattern p = call_pattern("print", {{true, 0}});
  std::vector<Found> all = search(p, *t, false);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].path, (Path{0, 1, 1}));
  EXPECT_EQ(all[1].path, (Path{0, 1, 1, 1, 1}));
  EXPECT_EQ(all[2].path, (Path{0, 1, 3}));
  attach_spans(*t, all);
  const std::string text = t->coparse();
  for (const Found& f : all) EXPECT_EQ(text.substr(f.start, f.end - f.start), f.node->coparse());
  std::vector<Found> outermost = search(p, *t, true);
  ASSERT_EQ(outermost.size(), 2u);
  EXPECT_EQ(outermost[1].path, (Path{0, 1, 3}));

  // A hole at the root matches every Tuple node, quotes left out.
  Pattern any;
  any.hole(-1);
  KRef q = quote("q", 0, "py", id("x"), Cmds{H});
  EXPECT_EQ(search(any, *q, false).size(), 1u);
  EXPECT_EQ(search(any, *t, false).size(), 23u);  // every node
}

TEST(Match, MaySpanLinesSeesBreaksInsideAndBetween) {
  KRef nl =
      tuple("argument_list", Kids{tok("("), id("a"), tok(","), id("b"), tok(")")}, Cmds{H, H, H, N, H, H});
  Pattern p;
  p.node("argument_list", {p.leaf("(", "("), p.run(0), p.leaf(")", ")")});
  Matcher m(p);
  ASSERT_TRUE(m.match(*nl));
  EXPECT_TRUE(may_span_lines(m.bindings()[0]));
  EXPECT_EQ(run_term(m.bindings()[0])->coparse(), "a,\nb");
  Pattern h;
  h.node("argument_list", {h.leaf("(", "("), h.hole(0), h.leaf(",", ","), h.hole(1), h.leaf(")", ")")});
  Matcher mh(h);
  ASSERT_TRUE(mh.match(*nl));
  EXPECT_FALSE(may_span_lines(mh.bindings()[1]));
  KRef str = leaf("string", "'a\nb'");
  Binding multi{Binding::Kind::Node, str.get(), nullptr, 0, 0};
  EXPECT_TRUE(may_span_lines(multi));
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
