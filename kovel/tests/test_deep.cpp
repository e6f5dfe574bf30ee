// Very deep terms and hostile deeply nested bytes: no recursion may blow the
// stack while rendering, encoding, decoding, comparing or freeing.
#include <gtest/gtest.h>

#include "support.h"

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

}  // namespace
