// The node layout is invisible: leaves, interned and inline tags, counts too
// large for the header, and nodes freed on another thread than the one that
// made them all behave like any other node.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "pool.h"
#include "support.h"
#include "tags.h"
#include "walk.h"

using namespace kovel;
using namespace kt;

namespace {

// Encodes, decodes and checks that nothing changed on the way.
void expect_round_trip(const KRef& t) {
  const std::string bytes = encode_term(*t);
  const DecodeResult r = decode_term(bytes);
  ASSERT_TRUE(r.term);
  EXPECT_TRUE(equal(*t, *r.term));
  EXPECT_EQ(encode_term(*r.term), bytes);
  EXPECT_EQ(r.term->coparse(), t->coparse());
}

}  // namespace

TEST(Layout, LeavesKeepOnlyTheirTextYetReadLikeAnyTuple) {
  const KRef a = leaf("identifier", "x");
  const KRef b = tuple("identifier", Kids{}, Cmds{W("x")});
  EXPECT_TRUE(a->is_leaf());
  EXPECT_TRUE(equal(*a, *b));
  EXPECT_EQ(encode_term(*a), hex("02 0a") + "identifier" + hex("00 01 00 00 01") + "x");
  EXPECT_EQ(a->cmd_values(), (Cmds{W("x")}));
  EXPECT_EQ(a->cmd_count(), 1u);
  EXPECT_LE(a->allocated_size(), 24u);  // header and text: no malloc header, no rounding to 16
  // Not leaves: a second command, a HOLE, a command other than Write, a quote.
  for (const KRef& t :
       {tuple("t", Kids{}, Cmds{W("a"), W("b")}), tuple("t", Kids{a}, Cmds{H}), tuple("t", Kids{}, Cmds{N}),
        tuple("t", Kids{}, Cmds{}), quote("q", 0, "py", a, Cmds{H})}) {
    SCOPED_TRACE(t->coparse());
    EXPECT_FALSE(t->is_leaf());
    expect_round_trip(t);
  }
  KRef rebuilt = with_children(*a, {}).share();
  EXPECT_TRUE(equal(*a, *rebuilt));
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
    Cmds cmds(n, H);
    const KRef t = tuple("many", kids, cmds);
    EXPECT_EQ(t->child_count(), n);
    EXPECT_EQ(t->children().size(), n);
    EXPECT_EQ(t->coparse(), std::string(n, 'x'));
    EXPECT_EQ(x->use_count(), 2 * n + 1);  // `x`, and `kids` and the node once per child
    expect_round_trip(t);
  }
}

// In a child process, since it fills the process's table for good.
TEST(LayoutDeathTest, AFullTableLeavesNewTagsInline) {
  EXPECT_EXIT(
      {
        const KRef early = leaf("early", "e");
        for (std::uint32_t i = 0; i < tags::kMaxEntries; ++i) tags::intern("filler " + std::to_string(i));
        const KRef late = leaf("late", "l");
        const KRef again = leaf("early", "e");
        const bool ok = !early->has_inline_tag() && late->has_inline_tag() && !late->is_leaf() &&
                        late->tag() == "late" && equal(*early, *again) &&
                        decode_term(encode_term(*late)).term->tag() == "late";
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Layout, NodesMadeOnOneThreadAreFreedOnAnother) {
  constexpr int kRounds = 40, kPerRound = 5000;
  std::vector<KRef> handoff;
  std::atomic<bool> ready{false};
  for (int round = 0; round < kRounds; ++round) {
    // A short-lived thread makes the nodes (and exits, flushing its cache) ...
    std::thread maker([&] {
      TermGen gen(static_cast<std::uint32_t>(round));
      for (int i = 0; i < kPerRound / 50; ++i) handoff.push_back(gen.term(3));
      for (int i = 0; i < kPerRound; ++i) handoff.push_back(leaf("l", std::to_string(i)));
      ready = true;
    });
    maker.join();
    ASSERT_TRUE(ready.exchange(false));
    // ... another one releases them, while this one makes more.
    std::thread freer([batch = std::move(handoff)]() mutable { batch.clear(); });
    handoff.clear();
    std::vector<KRef> mine;
    for (int i = 0; i < kPerRound; ++i) mine.push_back(leaf("m", std::to_string(i)));
    freer.join();
    for (int i = 0; i < kPerRound; ++i)
      ASSERT_EQ(mine[static_cast<std::size_t>(i)]->coparse(), std::to_string(i));
  }
}

// The tag table and the pool's depots are guarded by locks that other
// threads may hold at the moment of a fork; the child must still be able to
// take them. Run in a child process, since it fills the process's tag table.
TEST(LayoutDeathTest, AForkWhileOtherThreadsHoldTheLocksLeavesTheChildWorking) {
  EXPECT_EXIT(
      {
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
        std::exit(failed);
      },
      ::testing::ExitedWithCode(0), "");
}
