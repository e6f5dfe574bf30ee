// rendered_size against the length of the rendered text.
#include <gtest/gtest.h>

#include "measure.h"
#include "support.h"

using namespace kovel;
using namespace kt;

namespace {

std::uint64_t code_points(const std::string& s) {
  std::uint64_t n = 0;
  for (char ch : s) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return n;
}

void expect_exact(const KTerm& t) {
  const std::string text = t.coparse();
  const RenderedSize r = rendered_size(t);
  EXPECT_EQ(r.bytes, text.size()) << text;
  EXPECT_EQ(r.chars, code_points(text)) << text;
}

KRef node(const Kids& kids, const Cmds& cmds) { return tuple("t", kids, cmds); }

// A prefix stack several entries deep, entered before `inner`, with line
// breaks after, so every way `inner` changes the stack shows in the text.
KRef framed(const KRef& inner) {
  return node({inner}, {P("a"), N, P("\xC3\xA9\xC3\xA9"), P("ccc"), N, H, N, W("z"), X, N, X, N, X, N, X, N});
}

TEST(RenderedSize, HandMade) {
  const KRef x = leaf("x", "x");
  const KRef pushes = node({}, {P("  "), N, P("\xE2\x82\xAC"), W("y")});  // leaves two pushed
  const KRef pops = node({}, {N, X, N, X, X, N, X, N});                   // pops below its entry
  const KRef mixed = node({pops}, {P("1"), N, H, N, P("22"), X, X, N});
  const KRef leaky = node({pushes, x}, {H, N, H, N, X});
  const std::vector<KRef> cases = {
      x,
      leaf("nl", "a\nb\n"),
      node({}, {X, X, N, W("a")}),  // popping an empty stack does nothing
      pushes,
      pops,
      mixed,
      leaky,
      node({leaky, leaky, mixed}, {H, N, H, N, H, N}),  // shared children
      node({pops, pushes, pops}, {H, H, H, N}),
      quote("q", 0, "py", mixed, Cmds{P("q"), H, N, H, N, X}),  // a quote with two holes
      unquote("u", 1, "py", pushes, Cmds{H, H, N}),
  };
  for (const KRef& t : cases) {
    expect_exact(*t);
    expect_exact(*framed(t));
    expect_exact(*framed(framed(t)));
  }
}

// Random terms, alone, framed, and as siblings whose lines see the prefixes
// still pushed by earlier ones.
TEST(RenderedSize, RandomTerms) {
  std::mt19937 rng(7);
  for (std::uint32_t seed = 0; seed < 300; ++seed) {
    TermGen g(seed);
    KRef t = g.term(6);
    expect_exact(*t);
    expect_exact(*framed(t));
    Kids kids;
    Cmds cmds;
    for (int i = 0; i < 6; ++i) {
      kids.push_back(g.term(3));
      cmds.insert(cmds.end(), {H, rng() % 2 ? N : X});
    }
    expect_exact(*node(kids, cmds));
  }
}

TEST(RenderedSize, ExponentialTextIsMeasuredWithoutRendering) {
  KRef t = leaf("x", "ab");
  for (int i = 0; i < 40; ++i) t = quote("q", 0, "py", t, Cmds{H, H});
  const RenderedSize r = rendered_size(*t);
  EXPECT_EQ(r.bytes, std::uint64_t{2} << 40);
  EXPECT_EQ(r.chars, std::uint64_t{2} << 40);
  // Beyond 2^64 it saturates.
  for (int i = 0; i < 30; ++i) t = quote("q", 0, "py", t, Cmds{H, H});
  EXPECT_EQ(rendered_size(*t).bytes, UINT64_MAX);
}

// Every node pushes a prefix it never pops, then breaks the line.
KRef push_chain(std::size_t depth) {
  KRef cur = leaf("x", "y");
  for (std::size_t i = 0; i < depth; ++i) cur = node({cur}, {P("ab"), N, H});
  return cur;
}

// Every node pops below its entry after its child, entered under `depth`
// prefixes: each line sees one prefix fewer.
KRef pop_chain(std::size_t depth) {
  KRef cur = leaf("x", "y");
  for (std::size_t i = 0; i < depth; ++i) cur = node({cur}, {H, N, X});
  Cmds deep(depth, P("c"));
  deep.push_back(H);
  return node({cur}, deep);
}

TEST(RenderedSize, DeepChains) {
  // Small enough to render (the texts are quadratic).
  expect_exact(*push_chain(2000));
  expect_exact(*pop_chain(2000));
  // A million deep: no recursion, and no quadratic work either (a node
  // referenced once is walked in place, with no summary of its own).
  constexpr std::uint64_t n = 1'000'000;
  EXPECT_EQ(rendered_size(*push_chain(n)).bytes, 1 + n + 2 * (n * (n + 1) / 2));
  EXPECT_EQ(rendered_size(*pop_chain(n)).bytes, 1 + n + n * (n + 1) / 2);
}

// The prefix stack a term pops below its entry and leaves pushed, by
// walking it as rendering does.
void stack_effect(const KTerm& t, std::uint64_t& depth, std::uint64_t& outside) {
  std::size_t next = 0;
  for (CmdCursor c = t.cmds(); !c.done();) {
    const CmdView v = c.next();
    if (v.hole) {
      stack_effect(*t.children()[t.is_quote_like() ? 0 : next++], depth, outside);
    } else if (v.kind == StrCmd::Kind::Push) {
      ++depth;
    } else if (v.kind == StrCmd::Kind::Pop) {
      depth ? --depth : ++outside;
    }
  }
}

TEST(RenderedSize, StackEffect) {
  const KRef pushes = node({}, {P("  "), N, P("b")});
  const KRef pops = node({}, {X, N, X});
  const KRef balanced = node({pushes}, {H, X, X});
  const std::vector<KRef> cases = {
      leaf("x", "x"),
      pushes,
      pops,
      balanced,
      node({pops, pushes}, {H, H}),
      node({pushes, pops}, {H, H}),
      node({pushes, pops, pops}, {P("a"), H, H, H, X}),
      node({balanced, balanced}, {H, N, H}),  // shared
      quote("q", 0, "py", pushes, Cmds{H, H, X}),
      unquote("u", 1, "py", pops, Cmds{P("u"), H}),
  };
  for (const KRef& t : cases) {
    std::uint64_t depth = 0, outside = 0;
    stack_effect(*t, depth, outside);
    const RenderedSize r = rendered_size(*t);
    EXPECT_EQ(r.left_pushed, depth) << t->coparse();
    EXPECT_EQ(r.pops_outside, outside) << t->coparse();
  }
}

TEST(RenderedSize, TooManyHolesIsAPanic) {
  EXPECT_THROW(rendered_size(*node({}, {H})), Panic);
  EXPECT_THROW(rendered_size(*node({node({}, {W("a"), H})}, {H})), Panic);
}

}  // namespace
