// Walks with paths and spans, and persistent rebuilding (walk.h).
#include <gtest/gtest.h>

#include "support.h"
#include "walk.h"

using namespace kovel;
using namespace kt;

namespace {

using Path = std::vector<std::uint64_t>;

TEST(Walk, SpansInCodePointsWithPrefixesAndUnrenderedChildren) {
  // "ö:\n  é\n  ü": the child starts after the prefix its parent's NL wrote.
  KRef inner = tuple("body", Kids{leaf("x", "ü")}, Cmds{W("é"), N, H});
  KRef t = tuple("def", Kids{inner}, Cmds{W("ö:"), P("  "), N, H, X});
  std::vector<SpanRecord> r = rendered_spans(*t);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ((std::vector<std::uint64_t>{r[0].start, r[0].end, r[1].start, r[1].end, r[2].start, r[2].end}),
            (std::vector<std::uint64_t>{0, 10, 5, 10, 9, 10}));
  EXPECT_EQ((std::vector<std::uint64_t>{r[0].depth, r[1].depth, r[2].depth}),
            (std::vector<std::uint64_t>{0, 1, 2}));

  // A quote renders its term at every HOLE but records it at the first; an
  // unrendered child (no HOLE, or past the last HOLE) is recorded empty at its parent's end.
  KRef twice = quote("q", 0, "", leaf("x", "ab"), Cmds{H, W("-"), H});
  r = rendered_spans(*twice);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ((std::vector<std::uint64_t>{r[0].end, r[1].start, r[1].end}),
            (std::vector<std::uint64_t>{5, 0, 2}));
  KRef hidden = tuple("t", Kids{leaf("a", "a"), tuple("b", Kids{leaf("c", "c")}, Cmds{H})}, Cmds{W("<"), H});
  r = rendered_spans(*hidden);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(
      (std::vector<std::uint64_t>{r[2].depth, r[2].index, r[2].start, r[3].depth, r[3].start, r[3].end}),
      (std::vector<std::uint64_t>{1, 1, 2, 2, 2, 2}));

  KRef unbalanced = tuple("t", Kids{leaf("a", "a")}, Cmds{H, H});
  EXPECT_THROW(rendered_spans(*unbalanced), Panic);
}

TEST(Rebuild, WithChildrenKeepsEveryOtherField) {
  KRef q = kquote_at("q", 9, "py", leaf("x", "x"), Cmds{W("["), H, P(" "), X}, Range{3, 4}).share();
  std::vector<KRef> kids{leaf("y", "y")};
  KRef r = with_children(*q, kids).share();
  EXPECT_EQ(r->coparse(), "[y");
  EXPECT_TRUE(r->variant() == KTerm::Variant::Quote && r->index() == 9 && r->lang() == "py");
  EXPECT_TRUE(r->at() == (Range{3, 4}) && r->cmd_values() == q->cmd_values() && r->tag() == "q");
  EXPECT_EQ(hole_count(*q), 1u);
}

TEST(Rebuild, ReplaceAndRewriteShareWhatDidNotChange) {
  KRef a = leaf("a", "a"), b = leaf("b", "b"), c = leaf("c", "c");
  KRef l = tuple("l", Kids{a, b}, Cmds{H, W("+"), H});
  KRef t = tuple("r", Kids{l, c}, Cmds{H, W(" "), H});
  const Path path{0, 1};
  EXPECT_EQ(existing_prefix(*t, path), 2u);
  EXPECT_EQ(existing_prefix(*t, Path{0, 2, 0}), 1u);
  KRef u = replace_at(*t, path, leaf("z", "z"));
  EXPECT_EQ(u->coparse(), "a+z c");
  EXPECT_TRUE(u->children()[1] == c.get() && u->children()[0]->children()[0] == a.get());
  EXPECT_EQ(t->coparse(), "a+b c");

  std::vector<std::string> seen;
  KRef w = rewrite(*t, [&](KRef n) {
    seen.emplace_back(n->coparse());
    return n->tag() == "b" ? leaf("b", "B") : n;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "a+B", "c", "a+B c"}));
  EXPECT_TRUE(w->children()[1] == c.get() && w->children()[0]->children()[0] == a.get());
  EXPECT_EQ(rewrite(*t, [](KRef n) { return n; }).get(), t.get());
  EXPECT_FALSE(rewrite(*t, [](KRef n) { return n->tag() == "c" ? KRef() : n; }));  // stopped
}

TEST(Rebuild, DeepChainsWithoutRecursion) {
  constexpr std::size_t kDepth = 1'000'000;
  KRef cur = leaf("x", "x");
  for (std::size_t i = 0; i < kDepth; ++i)
    cur = tuple("t", std::span<const KRef>(&cur, 1), Cmds{W("("), H, W(")")});
  std::size_t n = 0;
  for (PathCursor c(*cur); c.next();) ++n;
  EXPECT_EQ(n, kDepth + 1);
  EXPECT_EQ(rendered_spans(*cur).back().start, kDepth);
  KRef r = rewrite(*cur, [](KRef t) { return t->tag() == "x" ? leaf("x", "y") : t; });
  EXPECT_TRUE(equal(*r, *replace_at(*cur, Path(kDepth, 0), leaf("x", "y"))));
}

}  // namespace
