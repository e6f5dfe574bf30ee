// Postcard bytes of terms: exact encodings, decode errors, round trips.
#include <gtest/gtest.h>

#include "support.h"

using namespace kovel;
using namespace std::literals;
using namespace kt;

// The largest single request made through operator new, for checking that
// the decoder never reserves memory on the word of a count from the input.
// Left out under AddressSanitizer, which keeps its own operator new (and then
// reports any absurd allocation by itself).
static std::atomic<std::size_t> g_largest_request{0};
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCountAllocations = false;
#else
constexpr bool kCountAllocations = true;
static void* counted_alloc(std::size_t n) {
  std::size_t prev = g_largest_request.load(std::memory_order_relaxed);
  while (n > prev && !g_largest_request.compare_exchange_weak(prev, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }  // the array and sized forms forward to these
#endif

namespace {

const std::string kLeafXY = "02 01 78 00 01 00 00 01 79";
const std::string kHuge = " FF FF FF FF FF FF FF FF FF 01 ";  // 2^64 - 1

TEST(Postcard, WorkedExamples) {
  EXPECT_EQ(encode_term(*leaf("x", "y")), hex(kLeafXY));
  EXPECT_EQ(encode_term(*leaf("integer", "42")), hex("02 07 69 6E 74 65 67 65 72 00 01 00 00 02 34 32"));
  // A quote with a range; an unquote (first byte only differs) with every command kind, index 255, NULs.
  const std::vector<std::pair<KRef, std::string>> cases = {
      {kquote_at("identifier", 3, "py", leaf("x", "y"), Cmds{H, N, P("  "), X}, Range{2, 300}).share(),
       "00 0A 69 64 65 6E 74 69 66 69 65 72 03 02 70 79 " + kLeafXY +
           " 04 01 00 01 00 02 02 20 20 00 03 01 02 AC 02"},
      {unquote("\0"s, 255, "", tuple("", Kids{}, Cmds{W(""), N, P("\0"s), X, H}), Cmds{}),
       "01 01 00 FF 00 02 00 00 05 00 00 00 00 01 00 02 01 00 00 03 01 00 00"},
  };
  for (const auto& [t, bytes] : cases) {
    EXPECT_EQ(encode_term(*t), hex(bytes));
    auto r = decode_term(hex(bytes));
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(equal(*r.term, *t));
    EXPECT_EQ(r.term->use_count(), 1u);
  }

  // A shared child is written twice and decoded as two separate nodes.
  KRef xy = leaf("x", "y");
  auto r = decode_term(encode_term(*tuple("t", Kids{xy, xy}, Cmds{H, H})));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(encode_term(*r.term), hex("02 01 74 02 " + kLeafXY + " " + kLeafXY + " 02 01 01"));
  EXPECT_NE(r.term->children()[0], r.term->children()[1]);
  EXPECT_EQ(r.term->children()[0]->use_count(), 1u);
}

// Each value as a range bound and, up to 16384, as a text length.
TEST(Postcard, Varints) {
  const std::vector<std::pair<std::uint64_t, std::string>> varints = {
      {0, "00"}, {127, "7F"}, {128, "80 01"}, {16383, "FF 7F"}, {16384, "80 80 01"}, {~0ull, kHuge}};
  for (const auto& [value, bytes] : varints) {
    SCOPED_TRACE(value);
    KNode q = kquote_at("", 0, "", leaf("x", "y"), Cmds{}, Range{value, value});
    const std::string quoted = hex("00 00 00 00 " + kLeafXY + " 00 01 " + bytes + " " + bytes);
    EXPECT_EQ(encode_term(*q), quoted);
    auto r = decode_term(quoted);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.term->at(), (Range{value, value}));
    if (value > 16384) continue;
    const std::string code(value, 'a'), leaf_bytes = hex("02 01 78 00 01 00 00 " + bytes) + code;
    EXPECT_EQ(encode_term(*leaf("x", code)), leaf_bytes);
    r = decode_term(leaf_bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.term->coparse(), code);
  }
}

// One row per failing branch. The messages themselves are checked through
// Python (tests/test_quote_postcard.py).
TEST(Postcard, DecodeErrors) {
  using E = DecodeError;
  const std::string quote_head = "00 01 71 05 02 70 79 " + kLeafXY + " 01 01 ";
  const std::vector<std::pair<DecodeError, std::vector<std::string>>> cases = {
      // empty; text shorter than its length; huge child count
      {E::EndOfInput, {"", "02 05 61 62", "02 01 78" + kHuge + kLeafXY}},
      // term variant 3 (checked before fields); variant 2^32-1; StrCmd 4; CmdOrHole 2; bad second child
      {E::Variant,
       {"03 01 78", "FF FF FF FF 0F", "02 01 78 00 01 00 04", "02 01 78 00 01 02",
        "02 01 78 02 " + kLeafXY + " 04"}},
      // 32-bit varint fifth byte 1F; StrCmd varint overlong; 64-bit text length tenth byte 02
      {E::Varint,
       {"FF FF FF FF 1F", "02 01 78 00 01 00 80 80 80 80 10", "02 FF FF FF FF FF FF FF FF FF 02 61"}},
      {E::Option, {quote_head + "02"}},  // range discriminant 02
      // tag byte FF; FF opening an 8-byte block; surrogate; overlong 3- and 4-byte; above U+10FFFF;
      // cut multi-byte sequence; invalid lang
      {E::Utf8,
       {"02 01 FF 00 00", "02 10 61 61 61 61 61 61 61 61 FF 61 61 61 61 61 61 61 00 00",
        "02 03 ED A0 80 00 00", "02 03 E0 80 80 00 00", "02 04 F0 80 80 80 00 00", "02 04 F4 90 80 80 00 00",
        "02 02 61 E2 00 00", "00 01 71 05 01 FF " + kLeafXY + " 00 00"}},
  };
  for (const auto& [error, inputs] : cases) {
    for (const auto& bytes : inputs) {
      SCOPED_TRACE(bytes);
      auto r = decode_term(hex(bytes));
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(message(r.error), message(error));
    }
  }
}

// Longer-than-necessary varints and valid edge texts are accepted; the
// term re-encodes in shortest form.
TEST(Postcard, AcceptedNonCanonicalForms) {
  const std::string q = "00 00 00 00 " + kLeafXY;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"82 80 00 01 78 00 01 00 00 01 79", kLeafXY},
      {"02 01 78 00 81 00 00 00 81 80 80 80 80 80 80 80 80 00 79", kLeafXY},
      {"02 80 80 80 80 80 80 80 80 80 00 00 00", "02 00 00 00"},
      {q + " 00 01 85 00 81 80 00", q + " 00 01 05 01"},
      {"02 0B F4 8F BF BF ED 9F BF EE 80 80 00 00 00", "02 0B F4 8F BF BF ED 9F BF EE 80 80 00 00 00"}};
  for (const auto& [in, canon] : cases) {
    SCOPED_TRACE(in);
    auto r = decode_term(hex(in));
    ASSERT_TRUE(r.ok()) << message(r.error);
    EXPECT_EQ(encode_term(*r.term), hex(canon));
  }
}

TEST(Postcard, CountsFromTheInputReserveNothing) {
  if (!kCountAllocations) GTEST_SKIP() << "allocation counting is off under AddressSanitizer";
  const std::vector<std::string> impossible = {
      "02 80 80 80 80 80 80 80 80 80 01 61 62 63",  // text of 2^63 bytes
      "02 01 78" + kHuge,                           // 2^64-1 children
      "02 01 78 00" + kHuge,                        // 2^64-1 commands
      "00 00 00 00 " + kLeafXY + kHuge,             // inside a quote
  };
  for (const auto& b : impossible) {
    SCOPED_TRACE(b);
    std::string bytes = hex(b) + std::string(100000, '\x03');  // first element fails at once
    g_largest_request = 0;
    EXPECT_FALSE(decode_term(bytes).ok());
    EXPECT_LT(g_largest_request.load(), std::size_t{64} << 10);
  }
  // A count the input could hold still reserves at most about a MiB.
  std::string fits = hex("02 01 78 80 80 80 02") + std::string(5u << 20, '\x03');
  g_largest_request = 0;
  EXPECT_FALSE(decode_term(fits).ok());
  EXPECT_LE(g_largest_request.load(), (std::size_t{1} << 20) + (std::size_t{64} << 10));
}

// Random terms round-trip and render the same; proper prefixes of their
// bytes run out of input, and trailing bytes are never read.
TEST(Postcard, RandomTerms) {
  for (std::uint32_t seed = 0; seed < 2000; ++seed) {
    SCOPED_TRACE(seed);
    KRef t = TermGen(seed).term(5);
    const std::string b = encode_term(*t);
    auto r = decode_term(b);
    ASSERT_TRUE(r.ok()) << message(r.error);
    ASSERT_TRUE(equal(*r.term, *t));
    ASSERT_TRUE(encode_term(*r.term) == b);
    EXPECT_EQ(r.term->use_count(), 1u);
    EXPECT_EQ(r.term->coparse(), t->coparse());
    for (std::size_t n = 0; seed < 60 && n < b.size(); ++n) {
      auto cut = decode_term(std::string_view(b).substr(0, n));
      ASSERT_FALSE(cut.ok()) << n;
      ASSERT_EQ(cut.error, DecodeError::EndOfInput) << n;
    }
    for (const auto& tail : {hex("FF"), hex(kLeafXY)}) ASSERT_TRUE(decode_term(b + tail).ok());
  }
}

}  // namespace
