// Very deep terms and hostile deeply nested bytes: no recursion may blow the
// stack while rendering, encoding, decoding, comparing or freeing.
#include <gtest/gtest.h>

#include <string>

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

  auto cut = decode_term(std::string_view(bytes).substr(0, bytes.size() - 1));
  EXPECT_FALSE(cut.ok());
  EXPECT_EQ(cut.error, DecodeError::EndOfInput);
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

TEST(DeepTerms, BuilderChain) {
  KRef cur = leaf("x", "1");
  for (std::size_t i = 0; i < kDepth; ++i) cur = std::move(tb("t").child(cur).write("+")).b();
  std::string text = cur->coparse();
  EXPECT_EQ(text.size(), kDepth + 1);
  EXPECT_EQ(text.front(), '1');
}

// Hand-made bytes nesting a million Tuples (or Quotes) deep.
TEST(DeepTerms, HostileNestedBytes) {
  const std::string leaf_bytes = hex("02 00 00 00");
  const std::string tuples = repeat(hex("02 00 01"), kDepth) + leaf_bytes + repeat(hex("00"), kDepth);
  const std::string quotes = repeat(hex("00 00 07 00"), kDepth) + leaf_bytes + repeat(hex("00 00"), kDepth);

  auto t = decode_term(tuples);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(depth_of(*t.term), kDepth);
  EXPECT_EQ(t.term->coparse(), "");
  t = {};

  auto q = decode_term(quotes);
  ASSERT_TRUE(q.ok());
  std::size_t d = 0;
  for (const KTerm* p = q.term.get(); p->is_quote_like(); p = &p->term()) ++d;
  EXPECT_EQ(d, kDepth);
  EXPECT_TRUE(encode_term(*q.term) == quotes);
  q = {};

  struct Bad {
    const char* name;
    std::string bytes;
    DecodeError error;
  };
  const std::vector<Bad> bad = {
      {"tuples cut at the end", tuples.substr(0, tuples.size() - 1), DecodeError::EndOfInput},
      {"tuples cut before the leaf", tuples.substr(0, 3 * kDepth), DecodeError::EndOfInput},
      {"tuples cut half way", tuples.substr(0, 3 * kDepth / 2 + 1), DecodeError::EndOfInput},
      {"bad variant at the bottom", repeat(hex("02 00 01"), kDepth) + hex("03"), DecodeError::Variant},
      {"quotes cut at the end", quotes.substr(0, quotes.size() - 1), DecodeError::EndOfInput},
      {"bad option at the top", quotes.substr(0, quotes.size() - 1) + hex("02"), DecodeError::Option},
      {"huge counts at every level", repeat(hex("02 00 FF FF FF FF FF FF FF FF FF 01"), kDepth),
       DecodeError::EndOfInput},
      {"counts that fit the input at every level", repeat(hex("02 00 80 80 40"), kDepth),
       DecodeError::EndOfInput},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    auto r = decode_term(b.bytes);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error, b.error);
  }
}

}  // namespace
