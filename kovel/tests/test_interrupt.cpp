// Long rendering, encoding and decoding stop when their check says so, and
// leave nothing behind (the leak checker of a sanitized build sees to that).
#include <gtest/gtest.h>

#include <functional>

#include "support.h"

using namespace kovel;
using namespace kt;

namespace {

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

// A wide term: `n` distinct leaves under one node, about 10 bytes each.
KRef wide(std::size_t n) {
  Kids kids;
  Cmds cmds;
  for (std::size_t i = 0; i < n; ++i) {
    std::string name(1, 'v');
    kids.push_back(leaf("id", name += std::to_string(i)));
    cmds.push_back(H);
    cmds.push_back(N);
  }
  return tuple("block", kids, cmds);
}

// 2^depth copies of one leaf, from `depth` quotes with two HOLEs each.
KRef exponential(int depth, std::string_view text) {
  KRef t = leaf("x", text);
  for (int i = 0; i < depth; ++i) t = quote("q", 0, "py", t, Cmds{H, H});
  return t;
}

struct Op {
  const char* name;
  bool finishes;  // in reasonable time: the exponential ones never do
  std::function<void(const StopCheck*)> run;
};

TEST(Interrupt, EveryLongOperationStops) {
  const KRef big = wide(300'000);
  const std::string bytes = encode_term(*big);
  const Op ops[] = {
      {"render", true, [&](const StopCheck* s) { big->coparse(s); }},
      {"render 2^60 HOLEs", false, [&](const StopCheck* s) { exponential(60, "")->coparse(s); }},
      {"render 2^40 leaves", false, [&](const StopCheck* s) { exponential(40, "ab")->coparse(s); }},
      {"encode", true, [&](const StopCheck* s) { encode_term(*big, s); }},
      {"decode", true, [&](const StopCheck* s) { decode_term(bytes, s); }},
  };
  for (const Op& op : ops) {
    if (op.finishes) {
      CountingCheck never{0, 1 << 30};
      const StopCheck go = never.check();
      EXPECT_NO_THROW(op.run(&go)) << op.name;
      EXPECT_GT(never.calls, 1) << op.name << ": the check is called as the work goes";
    }
    CountingCheck third{0, 3};
    const StopCheck stop = third.check();
    EXPECT_THROW(op.run(&stop), Interrupted) << op.name;
    EXPECT_EQ(third.calls, 3) << op.name;
  }
}

TEST(Interrupt, ResultsUnchangedByTheCheck) {
  CountingCheck never{0, 1 << 30};
  const StopCheck go = never.check();
  for (std::uint32_t seed = 0; seed < 50; ++seed) {
    KRef t = TermGen(seed).term(5);
    EXPECT_EQ(t->coparse(&go), t->coparse());
    const std::string bytes = encode_term(*t, &go);
    EXPECT_EQ(bytes, encode_term(*t));
    const DecodeResult r = decode_term(bytes, &go);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(equal(*r.term, *t));
  }
}

TEST(Interrupt, EncodingLeavesTheOutputAsItWas) {
  CountingCheck first{0, 1};
  const StopCheck stop = first.check();
  std::string out = "kept";
  EXPECT_THROW(encode_term(*wide(300'000), out, &stop), Interrupted);
  EXPECT_EQ(out, "kept");
}

}  // namespace
