// Very deep terms, hostile deeply nested bytes and exponentially long texts:
// no recursion may blow the stack while rendering, encoding, decoding,
// comparing, walking, rebuilding or freeing, and long operations stop when
// their check says so, leaving nothing behind (the leak checker of a
// sanitized build sees to that).
#include <gtest/gtest.h>

#include <functional>

#include "match.h"
#include "measure.h"
#include "support.h"
#include "walk.h"

using namespace kovel;
using namespace kt;

namespace {

constexpr std::size_t kDepth = 1'000'000;

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// The error of bytes that must not decode; nothing if they do.
std::optional<DecodeError> error_of(const std::string& b) {
  auto r = decode_term(b);
  return r.ok() ? std::nullopt : std::optional(r.error);
}

TEST(DeepTerms, Chains) {
  KRef cur = leaf("x", "y");
  const Cmds cmds{W("("), H, W(")")};
  for (std::size_t i = 0; i < kDepth; ++i) cur = tuple("t", std::span<const KRef>(&cur, 1), cmds);
  EXPECT_TRUE(cur->coparse() == std::string(kDepth, '(') + "y" + std::string(kDepth, ')'));
  std::string bytes = encode_term(*cur);
  EXPECT_TRUE(bytes == repeat(hex("02 01 74 01"), kDepth) + hex("02 01 78 00 01 00 00 01 79") +
                           repeat(hex("03 00 00 01 28 01 00 00 01 29"), kDepth));
  auto r = decode_term(bytes);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(equal(*r.term, *cur));
  EXPECT_FALSE(equal(*r.term, *cur->children()[0]));
  EXPECT_TRUE(encode_term(*r.term) == bytes);
  r = {};

  std::size_t n = 0;
  for (PathCursor c(*cur); c.next();) ++n;
  EXPECT_EQ(n, kDepth + 1);
  EXPECT_EQ(rendered_spans(*cur).back().start, kDepth);
  KRef z = rewrite(*cur, [](KRef t) { return t->tag() == "x" ? leaf("x", "z") : t; });
  EXPECT_TRUE(equal(*z, *replace_at(*cur, Path(kDepth, 0), leaf("x", "z"))));
  EXPECT_FALSE(equal(*z, *cur));

  // Quotes alternating with unquotes, each pushing a prefix that is never popped.
  cur = tuple("b", Kids{}, Cmds{N, W("z")});
  for (std::size_t i = 0; i < kDepth; ++i) {
    cur = i % 2 ? quote("q", 1, "py", std::move(cur), Cmds{P(""), H})
                : unquote("u", 2, "rs", std::move(cur), Cmds{P(""), H});
  }
  EXPECT_EQ(cur->coparse(), "\nz");
  r = decode_term(encode_term(*cur));
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(equal(*r.term, *cur));
}

TEST(DeepTerms, HostileNestedBytes) {
  const std::string nest = repeat(hex("02 00 01"), kDepth);
  auto r = decode_term(nest + hex("02 00 00 00") + repeat(hex("00"), kDepth));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.term->coparse(), "");
  r = {};
  EXPECT_EQ(error_of(nest), DecodeError::EndOfInput);
  EXPECT_EQ(error_of(nest + hex("03")), DecodeError::Variant);
  const std::string quotes =
      repeat(hex("00 00 07 00"), kDepth) + hex("02 00 00 00") + repeat(hex("00 00"), kDepth);
  EXPECT_EQ(error_of(quotes.substr(0, quotes.size() - 1) + hex("02")), DecodeError::Option);
  EXPECT_EQ(error_of(repeat(hex("02 00 80 80 40"), kDepth)), DecodeError::EndOfInput);
}

// Says stop on its `after`-th call.
struct CountingCheck {
  int calls = 0, after;
  bool operator()() { return ++calls >= after; }
  StopCheck check() {
    return {[](void* self) { return (*static_cast<CountingCheck*>(self))(); }, this};
  }
};

// A wide term: `n` distinct leaves under one node, about 10 bytes each.
KRef wide(std::size_t n) {
  Kids kids;
  Cmds cmds;
  for (std::size_t i = 0; i < n; ++i) {
    kids.push_back(leaf("id", "v" + std::to_string(i)));
    cmds.insert(cmds.end(), {H, N});
  }
  return tuple("block", kids, cmds);
}

// 2^depth copies of one leaf, from `depth` nodes with two HOLEs each.
KRef exponential(int depth, std::string_view text, bool quotes = true) {
  KRef t = leaf("x", text);
  for (int i = 0; i < depth; ++i)
    t = quotes ? quote("q", 0, "py", t, Cmds{H, H}) : tuple("pair", Kids{t, t}, Cmds{H, H});
  return t;
}

TEST(RenderedSize, ExponentialTextIsMeasuredWithoutRendering) {
  const RenderedSize r = rendered_size(*exponential(40, "a\xC3\xA9"));
  EXPECT_EQ(r.bytes, std::uint64_t{3} << 40);
  EXPECT_EQ(r.chars, std::uint64_t{2} << 40);
  EXPECT_EQ(rendered_size(*exponential(70, "ab")).bytes, UINT64_MAX);  // beyond 2^64 it saturates
}

struct Op {
  const char* name;
  bool finishes;  // in reasonable time: the exponential ones never do
  std::function<void(const StopCheck*)> run;
};

TEST(Interrupt, EveryLongOperationStops) {
  const KRef big = wide(300'000);
  const std::string bytes = encode_term(*big);
  Pattern none, slow;
  none.leaf("none", "");
  // Repeated slots leave states the matcher's memo cannot share.
  std::vector<std::uint32_t> runs;
  for (int i = 0; i < 6; ++i) runs.push_back(slow.run(i % 3));
  runs.push_back(slow.leaf("none", ""));
  slow.node("block", runs);
  const Op ops[] = {
      {"render", true, [&](const StopCheck* s) { big->coparse(s); }},
      {"render 2^60 HOLEs", false, [&](const StopCheck* s) { exponential(60, "")->coparse(s); }},
      {"render 2^40 leaves", false, [&](const StopCheck* s) { exponential(40, "ab")->coparse(s); }},
      {"encode", true, [&](const StopCheck* s) { encode_term(*big, s); }},
      {"decode", true, [&](const StopCheck* s) { decode_term(bytes, s); }},
      {"match repeated runs", false, [&](const StopCheck* s) { search(slow, *big, false, s); }},
      {"search 2^40 paths", false,
       [&](const StopCheck* s) { search(none, *exponential(40, "a", false), false, s); }},
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

}  // namespace
