// Very deep terms and hostile deeply nested bytes: no recursion may blow the
// stack while rendering, encoding, decoding, comparing or freeing.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support.h"

using namespace kovel;
using kt::Cmds;
using kt::H;
using kt::hex;
using kt::N;
using kt::P;
using kt::W;

namespace {

constexpr std::size_t kDepth = 1'000'000;

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

std::size_t depth_of(const KTerm& t) {
  std::size_t d = 0;
  for (const KTerm* p = &t; !p->children().empty(); p = p->children()[0]) ++d;
  return d;
}

TEST(DeepTerms, TupleChain) {
  KRef cur = leaf("x", "y");
  const Cmds cmds{W("("), H, W(")")};
  for (std::size_t i = 0; i < kDepth; ++i) cur = tuple("t", std::span<const KRef>(&cur, 1), cmds);
  EXPECT_EQ(cur->use_count(), 1u);
  EXPECT_EQ(depth_of(*cur), kDepth);

  std::string text = cur->coparse();
  EXPECT_TRUE(text == std::string(kDepth, '(') + "y" + std::string(kDepth, ')'));

  std::string bytes = encode_term(*cur);
  const std::string expected = repeat(hex("02 01 74 01"), kDepth) + hex("02 01 78 00 01 00 00 01 79") +
                               repeat(hex("03 00 00 01 28 01 00 00 01 29"), kDepth);
  EXPECT_TRUE(bytes == expected);

  auto r = decode_term(bytes);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(equal(*r.term, *cur));
  EXPECT_FALSE(equal(*r.term, *cur->children()[0]));
  EXPECT_TRUE(encode_term(*r.term) == bytes);
  // Both chains are freed here.
}

TEST(DeepTerms, QuoteChainAndPrefixStack) {
  KRef cur = tuple("b", kt::Kids{}, Cmds{N, W("z")});
  for (std::size_t i = 0; i < kDepth; ++i) {
    cur = i % 2 ? quote("q", 1, "py", std::move(cur), Cmds{P(""), H})
                : unquote("u", 2, "rs", std::move(cur), Cmds{P(""), H});
  }
  EXPECT_EQ(cur->coparse(), "\nz");
  std::string bytes = encode_term(*cur);
  auto r = decode_term(bytes);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(equal(*r.term, *cur));
  EXPECT_EQ(r.term->coparse(), "\nz");
}

// Hand-made bytes nesting a million Tuples (or Quotes) deep; deep Quotes that
// decode are covered by QuoteChainAndPrefixStack.
TEST(DeepTerms, HostileNestedBytes) {
  const std::string leaf_bytes = hex("02 00 00 00");
  const std::string tuples = repeat(hex("02 00 01"), kDepth) + leaf_bytes + repeat(hex("00"), kDepth);
  const std::string quotes = repeat(hex("00 00 07 00"), kDepth) + leaf_bytes + repeat(hex("00 00"), kDepth);

  auto t = decode_term(tuples);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(depth_of(*t.term), kDepth);
  EXPECT_EQ(t.term->coparse(), "");
  t = {};

  const std::vector<std::tuple<const char*, std::string, DecodeError>> bad = {
      {"tuples cut before the leaf", tuples.substr(0, 3 * kDepth), DecodeError::EndOfInput},
      {"bad variant at the bottom", repeat(hex("02 00 01"), kDepth) + hex("03"), DecodeError::Variant},
      {"bad option at the top", quotes.substr(0, quotes.size() - 1) + hex("02"), DecodeError::Option},
      {"counts that fit the input at every level", repeat(hex("02 00 80 80 40"), kDepth),
       DecodeError::EndOfInput},
  };
  for (const auto& [name, bytes, error] : bad) {
    SCOPED_TRACE(name);
    auto r = decode_term(bytes);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error, error);
  }
}

}  // namespace
