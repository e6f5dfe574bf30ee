// Persistent rebuilding and deep walks (walk.h); spans are checked through
// kovel.tree in tests/test_tree.py.
#include <gtest/gtest.h>
#include <algorithm>

#include "support.h"
#include "walk.h"

using namespace kovel;
using namespace kt;

namespace {

using Path = std::vector<std::uint64_t>;

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
        if (std::find(closers.begin(), closers.end(), positions[i]) == closers.end())
          EXPECT_EQ(got[i].end, want.end) << "order " << positions[i];
      }
      if (deep_mask == 0) break;
    }
  }
  const std::vector<std::uint64_t> past{n - 1, n + 3};
  std::vector<std::uint64_t> positions;
  EXPECT_EQ(rendered_spans_around(*t, past, {}, positions).size(), 1u);
}

}  // namespace
