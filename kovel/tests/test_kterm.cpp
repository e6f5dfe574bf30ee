// Term nodes: the prefix writer, rendering, constructors, equality,
// reference counts and the builder; a node layout that stays invisible
// (compact leaves, interned and inline tags, counts too large for the
// header, nodes freed on another thread than the one that made them); and
// rendered_size against the rendered text and the prefix stack a walk sees.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "measure.h"
#include "support.h"
#include "walk.h"

using namespace kovel;
using namespace std::literals;
using namespace kt;

namespace {

KRef x_leaf() { return leaf("identifier", "x"); }

KRef flat(const Cmds& cmds) { return tuple("flat", Kids{}, cmds); }

TEST(KTermRender, Table) {
  const KRef x = x_leaf(), seven = leaf("integer", "7");
  const KRef inner = quote("q", 0, "py", leaf("i", "1"), Cmds{W("<"), H, W(">")});
  const KRef mid = tuple("m", Kids{inner, inner}, Cmds{H, N, H});
  const std::vector<std::pair<KRef, std::string>> cases = {
      {flat({W("if x:"), P("    "), N, W("a = 1"), N, W("b = 2"), X, N, W("c")}),
       "if x:\n    a = 1\n    b = 2\nc"},
      {flat({P("  "), N, N, W("x")}), "\n  \n  x"},                     // blank line keeps its prefix
      {flat({P("# "), P("-\n"), N, W("a")}), "\n# -\na"},               // oldest first, verbatim
      {flat({P("  "), W("p\nq"), N, W("r")}), "p\nq\n  r"},             // line feed in a write
      {flat({X, X, W("a"), N, W("b")}), "a\nb"},                        // pops on an empty stack
      {flat({P("  "), W("a"), N}), "a\n  "},                            // prefix written eagerly
      {flat({P("  "), N, W("a"), X, W("b"), N, W("c")}), "\n  ab\nc"},  // pop is for next line
      {flat({P("> "), P(""), N, W("a"), X, N, W("b"), X, N, W("c")}),
       "\n> a\n> b\nc"},  // an empty prefix occupies a stack slot
      {flat({W("a\0b"sv), P("\r\xE2\x82\xAC"), N, W("\xF0\x9F\x98\x80")}),
       "a\0b\n\r\xE2\x82\xAC\xF0\x9F\x98\x80"s},
      {tuple("call", Kids{leaf("identifier", "f"), leaf("integer", "1")}, Cmds{H, W("("), H, W(")")}),
       "f(1)"},
      {kquote_at("zz", 200, "rust", x, Cmds{W("["), H, W("]")}, Range{9, 1}).share(), "[x]"},
      {unquote("two holes", 1, "py", x, Cmds{H, W("+"), H}), "x+x"},
      {quote("no hole", 0, "py", x, Cmds{W("()")}), "()"},
      {tuple("def", Kids{flat({W("a"), N, W("b")})}, Cmds{W("def f():"), P("    "), N, H, X}),
       "def f():\n    a\n    b"},
      {tuple("unpopped push in child", Kids{flat({W("a"), P("  ")})}, Cmds{H, N, W("z")}), "a\n  z"},
      {tuple("pop in child", Kids{flat({W("a"), X})}, Cmds{P("> "), H, N, W("z")}), "a\nz"},
      {tuple("extra children", Kids{seven, seven, leaf("c", "c")}, Cmds{H, H}), "77"},
      {quote("nested", 1, "rs", mid, Cmds{P("| "), W("{"), N, H, X, N, W("}")}), "{\n| <1>\n| <1>\n}"},
  };
  for (const auto& [t, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(t->coparse(), expected);
    std::string out = "#", fed;  // `write` appends to whatever the sink already holds
    {
      PrefixWriter w(out), direct(fed);  // the text is complete once the writer is gone
      t->write(w);
      // A writer fed a childless node's commands one by one gives the same text.
      for (const CmdOrHole& c : t->children().empty() ? t->cmd_values() : Cmds{}) direct.interpret(c.cmd);
    }
    EXPECT_EQ(out, "#" + expected);
    EXPECT_EQ(fed, t->children().empty() ? expected : "");
  }
}

TEST(KTermRender, MoreHolesThanChildrenPanics) {
  const KRef a = x_leaf();
  for (const KRef& t : {tuple("t", Kids{}, Cmds{H}), tuple("t", Kids{a}, Cmds{H, H}),
                        quote("q", 0, "py", tuple("c", Kids{}, Cmds{H}), Cmds{H}),
                        tuple("t", Kids{tuple("u", Kids{}, Cmds{W("a"), H})}, Cmds{H})}) {
    SCOPED_TRACE(t->tag());
    EXPECT_THROW(t->coparse(), Panic);
    EXPECT_THROW(rendered_size(*t), Panic);
    EXPECT_EQ(t->use_count(), 1u);  // the term is untouched and fails the same way again
    EXPECT_THROW(t->coparse(), Panic);
  }
}

// Shorthand constructors, copies of the arguments, and terms that differ in exactly one field.
TEST(KTermEquality, EveryFieldCounts) {
  EXPECT_TRUE(equal(*sym("x"), *leaf("x", "x")));
  EXPECT_TRUE(equal(*leaf("a\0b"sv, ""), *tuple("a\0b"sv, Kids{}, Cmds{W("")})));
  KRef a = x_leaf(), b = leaf("identifier", "y");
  Kids kids{a, b};
  Cmds cmds{H, H};
  KRef t = tuple("t", kids, cmds);
  kids.clear();
  cmds[0] = W("changed");  // the node holds copies
  EXPECT_TRUE(equal(*t, *tuple("t", Kids{x_leaf(), b}, Cmds{H, H})));
  auto q = [&](std::string_view tag, std::uint8_t idx, std::string_view lang, KRef t, Cmds cmds,
               std::optional<Range> at) { return kquote_at(tag, idx, lang, std::move(t), cmds, at).share(); };
  KRef base = q("t", 1, "py", a, Cmds{H, N}, Range{1, 2});
  EXPECT_TRUE(equal(*base, *q("t", 1, "py", x_leaf(), Cmds{H, N}, Range{1, 2})));
  // Pairwise distinct; each differs from `t` or from `base` in one field.
  const std::vector<KRef> distinct = {
      t,
      tuple("t", Kids{b, a}, Cmds{H, H}),  // child order
      tuple("t", Kids{a}, Cmds{H, H}),     // child count
      leaf("a", "x"),
      leaf("a", "x\0"sv),  // text length
      base,
      q("u", 1, "py", a, Cmds{H, N}, Range{1, 2}),
      q("t", 2, "py", a, Cmds{H, N}, Range{1, 2}),
      q("t", 1, "rs", a, Cmds{H, N}, Range{1, 2}),
      q("t", 1, "py", b, Cmds{H, N}, Range{1, 2}),
      q("t", 1, "py", a, Cmds{H, X}, Range{1, 2}),
      q("t", 1, "py", a, Cmds{H}, Range{1, 2}),
      q("t", 1, "py", a, Cmds{H, N}, Range{1, 3}),
      q("t", 1, "py", a, Cmds{H, N}, std::nullopt),
      kunquote_at("t", 1, "py", a, Cmds{H, N}, Range{1, 2}).share(),  // variant
  };
  for (std::size_t i = 0; i < distinct.size(); ++i)
    for (std::size_t j = 0; j < distinct.size(); ++j)
      EXPECT_EQ(equal(*distinct[i], *distinct[j]), i == j) << i << " vs " << j;
}

TEST(KTermBuilder, CommandsHolesQuotesAndReferenceCounts) {
  EXPECT_TRUE(equal(*tb("x").b(), *tuple("x", Kids{}, Cmds{})));
  KRef x = x_leaf(), y = leaf("integer", "2");
  {
    // Constructors share their children and take over the handle of a quote's term.
    KRef t = tuple("t", Kids{y, y}, Cmds{H, H});
    EXPECT_EQ(y->use_count(), 3u);
    KRef handle = y;
    KRef q = quote("q", 0, "py", std::move(handle), Cmds{H});
    EXPECT_FALSE(handle);
    EXPECT_EQ(y->use_count(), 4u);
    KRef shared = kunquote_at("u", 0, "py", y, Cmds{H}, std::nullopt).share();
    EXPECT_EQ(y->use_count(), 5u);
    EXPECT_EQ(shared->use_count(), 1u);

    auto bl = tb("call");
    bl.write("f(").write("").child(x).write(", ").child(y).write(")").push("").pop().pop().nl();
    bl.e(KRef(x));  // the consumed handle is released after splicing
    EXPECT_EQ(x->use_count(), 3u);
    KRef built = std::move(bl).b();
    EXPECT_TRUE(equal(
        *built, *tuple("call", Kids{x, y, x}, Cmds{W("f("), H, W(", "), H, W(")"), P(""), X, X, N, H})));
    EXPECT_EQ(c(c(tb("t"), x), y).b()->coparse(), "x2");
    auto unbuilt = tb("t");
    unbuilt.child(x);
    EXPECT_EQ(x->use_count(), 4u);
  }  // an unbuilt builder releases its children
  EXPECT_EQ(x->use_count(), 1u);
  EXPECT_EQ(y->use_count(), 1u);

  KRef a = x_leaf(), b = leaf("y", "y");
  for (auto kind : {KTerm::Variant::Quote, KTerm::Variant::Unquote}) {
    const bool quote = kind == KTerm::Variant::Quote;
    const std::optional<Range> at = quote ? std::optional(Range{5, 1}) : std::nullopt;
    KRef q = std::move(KTermBuilder::quote_builder(kind, "expr", 200, "py", at).write("(").child(a).nl()).b();
    auto make = quote ? kquote_at : kunquote_at;
    EXPECT_TRUE(equal(*q, *make("expr", 200, "py", a, Cmds{W("("), H, N}, at))) << quote;
  }
  // Exactly one child: anything else panics, and the failed build releases what the builder held.
  for (int n : {0, 2}) {
    auto bl = KTermBuilder::quote_builder(KTerm::Variant::Unquote, "q", 0, "py", std::nullopt);
    for (int i = 0; i < n; ++i) bl.child(i % 2 ? b : a);
    EXPECT_THROW(std::move(bl).build(), Panic);
    EXPECT_EQ(a->use_count(), 1u);
    EXPECT_EQ(b->use_count(), 1u);
  }
}

TEST(Layout, LeavesKeepOnlyTheirTextYetReadLikeAnyTuple) {
  const KRef a = leaf("identifier", "x");
  EXPECT_TRUE(a->is_leaf());
  EXPECT_TRUE(equal(*a, *tuple("identifier", Kids{}, Cmds{W("x")})));
  EXPECT_TRUE(equal(*a, *with_children(*a, {}).share()));
  EXPECT_EQ(encode_term(*a), hex("02 0a") + "identifier" + hex("00 01 00 00 01") + "x");
  EXPECT_EQ(a->cmd_values(), (Cmds{W("x")}));
  EXPECT_EQ(a->cmd_count(), 1u);
#if !defined(KOVEL_TESTS_ASAN)
  EXPECT_LE(a->allocated_size(), 24u);  // header and text: no malloc header, no rounding to 16
#endif
  // Not leaves: a second command, a HOLE, a command other than Write, a quote.
  for (const KRef& t :
       {tuple("t", Kids{}, Cmds{W("a"), W("b")}), tuple("t", Kids{a}, Cmds{H}), tuple("t", Kids{}, Cmds{N}),
        tuple("t", Kids{}, Cmds{}), quote("q", 0, "py", a, Cmds{H})}) {
    SCOPED_TRACE(t->coparse());
    EXPECT_FALSE(t->is_leaf());
    expect_round_trip(t);
  }
}

TEST(Layout, LongTagsStayInlineAndReadTheSame) {
  const std::string tag(tags::kMaxInterned + 1, 't');
  const KRef l = leaf(tag, "v");
  const KRef q = kquote_at(tag, 7, "python", tuple(tag, Kids{l}, Cmds{W("("), H, W(")")}), Cmds{P("  "), H},
                           Range{3, 1u << 20})
                     .share();
  EXPECT_FALSE(l->is_leaf());  // only interned tags make compact leaves
  EXPECT_TRUE(l->has_inline_tag());
  EXPECT_EQ(l->tag(), tag);
  EXPECT_EQ(q->tag(), tag);
  EXPECT_EQ(q->lang(), "python");
  EXPECT_EQ(q->at(), (Range{3, 1u << 20}));
  EXPECT_EQ(q->coparse(), "(v)");
  EXPECT_EQ(q->encoded_tag(), hex("81 01") + tag);  // 129 as a varint
  expect_round_trip(q);
  EXPECT_FALSE(equal(*leaf(tag, "v"), *leaf(tag + "u", "v")));
}

TEST(Layout, CountsBeyondTheHeaderMoveToTheExtension) {
  // 0xFFFF children and more: the 16-bit child count overflows.
  for (const std::size_t n : {std::size_t{0xFFFE}, std::size_t{0xFFFF}, std::size_t{70000}}) {
    SCOPED_TRACE(n);
    const KRef x = leaf("i", "x");
    Kids kids(n, x);
    const KRef t = tuple("many", kids, Cmds(n, H));
    EXPECT_EQ(t->child_count(), n);
    EXPECT_EQ(t->children().size(), n);
    EXPECT_EQ(t->coparse(), std::string(n, 'x'));
    EXPECT_EQ(x->use_count(), 2 * n + 1);  // `x`, and `kids` and the node once per child
    expect_round_trip(t);
  }
}

TEST(Layout, NodesMadeOnOneThreadAreFreedOnAnother) {
  constexpr int kRounds = 40, kPerRound = 5000;
  for (int round = 0; round < kRounds; ++round) {
    // A short-lived thread makes the nodes (and exits, flushing its cache) ...
    std::vector<KRef> handoff;
    std::thread([&] {
      TermGen gen(static_cast<std::uint32_t>(round));
      for (int i = 0; i < kPerRound / 50; ++i) handoff.push_back(gen.term(3));
      for (int i = 0; i < kPerRound; ++i) handoff.push_back(leaf("l", std::to_string(i)));
    }).join();
    ASSERT_EQ(handoff.size(), std::size_t{kPerRound + kPerRound / 50});
    // ... another one releases them, while this one makes more.
    std::thread freer([batch = std::move(handoff)]() mutable { batch.clear(); });
    std::vector<KRef> mine;
    for (int i = 0; i < kPerRound; ++i) mine.push_back(leaf("m", std::to_string(i)));
    freer.join();
    for (int i = 0; i < kPerRound; ++i)
      ASSERT_EQ(mine[static_cast<std::size_t>(i)]->coparse(), std::to_string(i));
  }
}

// The tag table and the pool's depots are guarded by locks that other
// threads may hold at the moment of a fork; the child must still be able to
// take them. Once the table is full, new tags stay inline. In a child
// process, since it fills the process's tag table for good.
TEST(LayoutDeathTest, ForksWhileOtherThreadsHoldTheLocksThenAFullTable) {
  EXPECT_EXIT(
      {
        const KRef early = leaf("early", "e");
        std::atomic<bool> stop{false};
        // Until the table is full, every call inserts under the table's lock.
        std::thread tagger([&] {
          for (std::uint64_t i = 0; !stop; ++i) tags::intern("fork tag " + std::to_string(i));
        });
        // Filling and emptying a thread cache moves batches through the depot.
        std::thread churner([&] {
          std::vector<KRef> v;
          while (!stop) {
            for (int i = 0; i < 1000; ++i) v.push_back(leaf("c", "x"));
            v.clear();
          }
        });
        int failed = 0;
        for (int round = 0; round < 200; ++round) {
          const pid_t pid = fork();
          if (pid == 0) {
            alarm(5);  // a child stuck on a lock dies of SIGALRM
            const std::string tag = "child tag " + std::to_string(round);
            std::vector<KRef> v;
            for (int i = 0; i < 1000; ++i) v.push_back(leaf(tag, "y"));
            _exit(v.back()->tag() == tag && v.back()->coparse() == "y" ? 0 : 1);
          }
          int status = 0;
          waitpid(pid, &status, 0);
          failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        stop = true;
        tagger.join();
        churner.join();
        for (std::uint32_t i = 0; i < tags::kMaxEntries; ++i) tags::intern("filler " + std::to_string(i));
        const KRef late = leaf("late", "l");
        failed += !(!early->has_inline_tag() && late->has_inline_tag() && !late->is_leaf() &&
                    late->tag() == "late" && equal(*early, *leaf("early", "e")) &&
                    decode_term(encode_term(*late)).term->tag() == "late");
        std::exit(failed);
      },
      ::testing::ExitedWithCode(0), "");
}

std::uint64_t code_points(const std::string& s) {
  std::uint64_t n = 0;
  for (char ch : s) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return n;
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

void expect_exact(const KTerm& t) {
  const std::string text = t.coparse();
  const RenderedSize r = rendered_size(t);
  EXPECT_EQ(r.bytes, text.size()) << text;
  EXPECT_EQ(r.chars, code_points(text)) << text;
  std::uint64_t depth = 0, outside = 0;
  stack_effect(t, depth, outside);
  EXPECT_EQ(r.left_pushed, depth) << text;
  EXPECT_EQ(r.pops_outside, outside) << text;
}

KRef node(const Kids& kids, const Cmds& cmds) { return tuple("t", kids, cmds); }

// A prefix stack several entries deep, entered before `inner`, with line
// breaks after, so every way `inner` changes the stack shows in the text.
KRef framed(const KRef& inner) {
  return node({inner}, {P("a"), N, P("\xC3\xA9\xC3\xA9"), P("ccc"), N, H, N, W("z"), X, N, X, N, X, N, X, N});
}

TEST(RenderedSize, HandMadeAndRandomTerms) {
  const KRef x = leaf("x", "x");
  const KRef pushes = node({}, {P("  "), N, P("\xE2\x82\xAC"), W("y")});  // leaves two pushed
  const KRef pops = node({}, {N, X, N, X, X, N, X, N});                   // pops below its entry
  const KRef mixed = node({pops}, {P("1"), N, H, N, P("22"), X, X, N});
  const KRef leaky = node({pushes, x}, {H, N, H, N, X});
  const KRef balanced = node({pushes}, {H, X, X});
  // With pops on an empty stack, shared children and quotes of two HOLEs.
  const std::vector<KRef> cases = {x,
                                   leaf("nl", "a\nb\n"),
                                   node({}, {X, X, N, W("a")}),
                                   pushes,
                                   pops,
                                   mixed,
                                   leaky,
                                   balanced,
                                   node({leaky, leaky, mixed}, {H, N, H, N, H, N}),
                                   node({pops, pushes, pops}, {H, H, H, N}),
                                   node({pushes, pops, pops}, {P("a"), H, H, H, X}),
                                   node({balanced, balanced}, {H, N, H}),
                                   quote("q", 0, "py", mixed, Cmds{P("q"), H, N, H, N, X}),
                                   quote("q", 0, "py", pushes, Cmds{H, H, X}),
                                   unquote("u", 1, "py", pushes, Cmds{H, H, N}),
                                   unquote("u", 1, "py", pops, Cmds{P("u"), H})};
  for (const KRef& t : cases) {
    expect_exact(*t);
    expect_exact(*framed(t));
    expect_exact(*framed(framed(t)));
  }
  // Random terms, alone, framed, and as siblings whose lines see the
  // prefixes still pushed by earlier ones.
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

}  // namespace
