// Postcard bytes of terms: exact encodings, decode errors, round trips.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "support.h"
#include "varint.h"

using namespace kovel;
using namespace std::literals;
using kt::Cmds;
using kt::H;
using kt::hex;
using kt::Kids;
using kt::N;
using kt::P;
using kt::to_hex;
using kt::W;
using kt::X;

// The largest single request made through operator new, for checking that
// the decoder never reserves memory on the word of a count from the input.
// Left out under AddressSanitizer, which keeps its own operator new (and then
// reports any absurd allocation by itself).
#if defined(__SANITIZE_ADDRESS__)
#define KOVEL_COUNT_ALLOCATIONS 0
#else
#define KOVEL_COUNT_ALLOCATIONS 1
#endif
static std::atomic<std::size_t> g_largest_request{0};

#if KOVEL_COUNT_ALLOCATIONS
static void* counted_alloc(std::size_t n) {
  std::size_t prev = g_largest_request.load(std::memory_order_relaxed);
  while (n > prev && !g_largest_request.compare_exchange_weak(prev, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

const std::string kLeafXY = "02 01 78 00 01 00 00 01 79";

KRef leaf_xy() { return leaf("x", "y"); }

std::string enc(const KRef& t) { return encode_term(*t); }

struct VarintCase {
  std::uint64_t value;
  const char* bytes;
};

const std::vector<VarintCase> kVarints = {
    {0, "00"},
    {1, "01"},
    {127, "7F"},
    {128, "80 01"},
    {300, "AC 02"},
    {16383, "FF 7F"},
    {16384, "80 80 01"},
    {(1u << 21) - 1, "FF FF 7F"},
    {1u << 21, "80 80 80 01"},
    {0xFFFFFFFFull, "FF FF FF FF 0F"},
    {1ull << 63, "80 80 80 80 80 80 80 80 80 01"},
    {~0ull, "FF FF FF FF FF FF FF FF FF 01"},
};

TEST(Postcard, WorkedExamples) {
  EXPECT_EQ(to_hex(enc(leaf_xy())), to_hex(hex(kLeafXY)));
  EXPECT_EQ(to_hex(enc(leaf("integer", "42"))), "02 07 69 6E 74 65 67 65 72 00 01 00 00 02 34 32");
  KNode q = kquote_at("identifier", 3, "py", leaf_xy(), Cmds{H, N, P("  "), X}, Range{2, 300});
  const std::string q_bytes = "00 0A 69 64 65 6E 74 69 66 69 65 72 03 02 70 79 " + kLeafXY +
                              " 04 01 00 01 00 02 02 20 20 00 03 01 02 AC 02";
  EXPECT_EQ(to_hex(encode_term(*q)), to_hex(hex(q_bytes)));

  auto r = decode_term(hex(q_bytes));
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(equal(*r.term, *q));
  EXPECT_EQ(r.term->variant(), KTerm::Variant::Quote);
  EXPECT_EQ(r.term->index(), 3);
  EXPECT_EQ(r.term->lang(), "py");
  EXPECT_EQ(r.term->at(), (Range{2, 300}));
  EXPECT_EQ(r.term->term().coparse(), "y");

  // Unquote differs in the first byte only; every command kind once.
  KRef u = unquote("", 255, "", tuple("", Kids{}, Cmds{W(""), N, P(""), X, H}), Cmds{});
  EXPECT_EQ(to_hex(enc(u)), "01 00 FF 00 02 00 00 05 00 00 00 00 01 00 02 00 00 03 01 00 00");
}

TEST(Postcard, VarintsAsRangeValues) {
  for (const auto& v : kVarints) {
    SCOPED_TRACE(v.value);
    KNode q = kquote_at("", 0, "", leaf_xy(), Cmds{}, Range{v.value, v.value});
    const std::string bytes = "00 00 00 00 " + kLeafXY + " 00 01 " + v.bytes + " " + v.bytes;
    EXPECT_EQ(to_hex(encode_term(*q)), to_hex(hex(bytes)));
    auto r = decode_term(hex(bytes));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.term->at(), (Range{v.value, v.value}));
    // The core's own varint helpers agree.
    EXPECT_EQ(detail::varint_size(v.value), hex(v.bytes).size());
    std::string out;
    detail::append_varint(out, v.value);
    EXPECT_EQ(to_hex(out), to_hex(hex(v.bytes)));
  }
}

TEST(Postcard, VarintsAsTextLengths) {
  for (const auto& v : kVarints) {
    if (v.value > (1u << 21)) continue;
    SCOPED_TRACE(v.value);
    std::string code(v.value, 'a');
    const std::string bytes = hex("02 01 78 00 01 00 00") + hex(v.bytes) + code;
    EXPECT_TRUE(enc(leaf("x", code)) == bytes);
    auto r = decode_term(bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.term->coparse().size(), v.value);
    // Same length as a tag.
    EXPECT_TRUE(enc(tuple(code, Kids{}, Cmds{})) == hex("02") + hex(v.bytes) + code + hex("00 00"));
  }
}

struct ErrorCase {
  const char* name;
  std::string bytes;
  DecodeError error;
};

std::string message_of(DecodeError e) { return std::string(message(e)); }

TEST(Postcard, ErrorMessages) {
  EXPECT_EQ(message_of(DecodeError::EndOfInput), "Hit the end of buffer, expected more data");
  EXPECT_EQ(message_of(DecodeError::Varint),
            "Found a varint that didn't terminate. Is the usize too big for this platform?");
  EXPECT_EQ(message_of(DecodeError::Utf8), "Tried to parse invalid utf-8");
  EXPECT_EQ(message_of(DecodeError::Option), "Found an Option discriminant that wasn't 0 or 1");
  EXPECT_EQ(message_of(DecodeError::Variant), "Serde Deserialization Error");
}

TEST(Postcard, DecodeErrors) {
  using E = DecodeError;
  const std::string quote_head = "00 01 71 05 02 70 79 " + kLeafXY + " 01 01 ";
  const std::string huge = " FF FF FF FF FF FF FF FF FF 01 ";
  const std::vector<ErrorCase> cases = {
      {"empty input", "", E::EndOfInput},
      {"term variant 3", "03", E::Variant},
      {"variant checked before fields", "05 01 78", E::Variant},
      {"variant 2^32-1", "FF FF FF FF 0F", E::Variant},
      {"32-bit varint fifth byte 1F", "FF FF FF FF 1F", E::Varint},
      {"32-bit varint fifth byte continues", "FF FF FF FF 8F 00", E::Varint},
      {"32-bit varint truncated", "82 80", E::EndOfInput},
      {"text length missing", "02", E::EndOfInput},
      {"text shorter than its length", "02 05 61 62", E::EndOfInput},
      {"text length 2^63", "02 80 80 80 80 80 80 80 80 80 01 61 62 63", E::EndOfInput},
      {"text length tenth byte 02", "02 FF FF FF FF FF FF FF FF FF 02 61", E::Varint},
      {"text length tenth byte continues", "02 80 80 80 80 80 80 80 80 80 81 00", E::Varint},
      {"tag byte FF", "02 01 FF 00 00", E::Utf8},
      {"tag surrogate", "02 03 ED A0 80 00 00", E::Utf8},
      {"tag overlong NUL", "02 02 C0 80 00 00", E::Utf8},
      {"tag above U+10FFFF", "02 04 F4 90 80 80 00 00", E::Utf8},
      {"tag overlong 3-byte", "02 03 E0 80 80 00 00", E::Utf8},
      {"lone continuation byte", "02 01 80 00 00", E::Utf8},
      {"cut multi-byte sequence", "02 02 61 E2 00 00", E::Utf8},
      {"write text invalid", "02 01 78 00 01 00 00 01 FF", E::Utf8},
      {"push text invalid", "02 01 78 00 01 00 02 02 C3 28", E::Utf8},
      {"lang invalid", "00 01 71 05 01 FF " + kLeafXY + " 00 00", E::Utf8},
      {"at discriminant 02", quote_head + "02", E::Option},
      {"at discriminant FF", quote_head + "FF 00 00", E::Option},
      {"at missing", quote_head, E::EndOfInput},
      {"at end missing", quote_head + "01 05", E::EndOfInput},
      {"at start overlong", quote_head + "01 FF FF FF FF FF FF FF FF FF 02 00", E::Varint},
      {"quote index missing", "01 01 71", E::EndOfInput},
      {"quote term missing", "00 01 71 05 02 70 79", E::EndOfInput},
      {"StrCmd 4", "02 01 78 00 01 00 04", E::Variant},
      {"StrCmd varint overlong", "02 01 78 00 01 00 80 80 80 80 10", E::Varint},
      {"CmdOrHole 2", "02 01 78 00 01 02", E::Variant},
      {"CmdOrHole 5 non-canonical", "02 01 78 00 01 85 80 80 80 00", E::Variant},
      {"huge child count", "02 01 78" + huge, E::EndOfInput},
      {"huge child count with children", "02 01 78" + huge + kLeafXY + " " + kLeafXY, E::EndOfInput},
      {"huge cmd count", "02 01 78 00" + huge + "01 01 00 01", E::EndOfInput},
      {"child count 2^20, input tiny", "02 01 78 80 80 40 " + kLeafXY, E::EndOfInput},
      {"fewer children than counted", "02 01 78 03 " + kLeafXY, E::EndOfInput},
      {"bad second child", "02 01 78 02 " + kLeafXY + " 04", E::Variant},
      {"bad text deep inside", "02 00 01 02 00 01 02 00 00 01 00 00 01 FF 00 00", E::Utf8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_term(hex(c.bytes));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(message_of(r.error), message_of(c.error));
  }
}

// Longer-than-necessary varints and valid edge texts are accepted; the
// term re-encodes in shortest form.
TEST(Postcard, AcceptedNonCanonicalForms) {
  const std::string q = "00 00 00 00 " + kLeafXY;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"82 80 00 01 78 00 01 00 00 01 79", kLeafXY},
      {"82 80 80 80 00 01 78 00 01 00 00 01 79", kLeafXY},
      {"02 81 00 78 00 01 00 00 01 79", kLeafXY},
      {"02 01 78 80 80 00 01 00 00 01 79", kLeafXY},
      {"02 01 78 00 01 80 00 80 80 80 80 00 01 79", kLeafXY},
      {"02 01 78 00 81 00 00 00 81 80 80 80 80 80 80 80 80 00 79", kLeafXY},
      {"02 80 80 80 80 80 80 80 80 80 00 00 00", "02 00 00 00"},
      {"80 00 00 00 00 " + kLeafXY + " 00 00", q + " 00 00"},
      {q + " 00 01 85 00 81 80 00", q + " 00 01 05 01"},
      {"02 04 F4 8F BF BF 00 00", "02 04 F4 8F BF BF 00 00"},
      {"02 03 ED 9F BF 00 00", "02 03 ED 9F BF 00 00"},
      {"02 03 EE 80 80 00 00", "02 03 EE 80 80 00 00"},
      {"02 01 00 00 00", "02 01 00 00 00"},
  };
  for (const auto& [in, canon] : cases) {
    SCOPED_TRACE(in);
    auto r = decode_term(hex(in));
    ASSERT_TRUE(r.ok()) << message(r.error);
    EXPECT_EQ(to_hex(encode_term(*r.term)), to_hex(hex(canon)));
    auto r2 = decode_term(hex(canon));
    ASSERT_TRUE(r2.ok());
    EXPECT_TRUE(equal(*r.term, *r2.term));
  }
}

TEST(Postcard, CountsFromTheInputReserveNothing) {
  if (!KOVEL_COUNT_ALLOCATIONS) GTEST_SKIP() << "allocation counting is off under AddressSanitizer";
  const std::string huge = " FF FF FF FF FF FF FF FF FF 01";
  const std::vector<std::string> impossible = {
      "02 80 80 80 80 80 80 80 80 80 01 61 62 63",  // text of 2^63 bytes
      "02 01 78" + huge,                            // 2^64-1 children
      "02 01 78 00" + huge + " 01",                 // 2^64-1 commands
      "00 00 00 00 " + kLeafXY + huge,              // inside a quote
  };
  for (const auto& b : impossible) {
    SCOPED_TRACE(b);
    std::string bytes = hex(b) + std::string(100000, '\x03');  // first element fails at once
    g_largest_request = 0;
    auto r = decode_term(bytes);
    std::size_t largest = g_largest_request;
    EXPECT_FALSE(r.ok());
    EXPECT_LT(largest, std::size_t{64} << 10);
  }
  // A count the input could hold still reserves at most about a MiB.
  std::string fits = hex("02 01 78 80 80 80 02") + std::string(5u << 20, '\x03');
  g_largest_request = 0;
  auto r = decode_term(fits);
  std::size_t largest = g_largest_request;
  EXPECT_FALSE(r.ok());
  EXPECT_LE(largest, (std::size_t{1} << 20) + (std::size_t{64} << 10));
}

TEST(Postcard, FieldValuesSurvive) {
  KNode q = kquote_at("t", 255, "py", leaf_xy(), Cmds{H}, Range{5, 1});
  std::string b = encode_term(*q);
  EXPECT_EQ(static_cast<unsigned char>(b[3]), 0xFF);
  auto r = decode_term(b);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.term->index(), 255);
  EXPECT_EQ(r.term->at(), (Range{5, 1}));
  EXPECT_EQ(r.term->use_count(), 1u);

  KRef nul = leaf("a\0b"sv, "\0"sv);
  auto rn = decode_term(enc(nul));
  ASSERT_TRUE(rn.ok());
  EXPECT_EQ(rn.term->tag(), "a\0b"sv);
  EXPECT_EQ(rn.term->coparse(), "\0"s);
}

TEST(Postcard, SharedChildIsWrittenTwiceAndDecodedApart) {
  KRef a = leaf_xy();
  KRef t = tuple("t", Kids{a, a}, Cmds{H, H});
  EXPECT_EQ(to_hex(enc(t)), to_hex(hex("02 01 74 02 " + kLeafXY + " " + kLeafXY + " 02 01 01")));
  auto r = decode_term(enc(t));
  ASSERT_TRUE(r.ok());
  auto kids = r.term->children();
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_NE(kids[0], kids[1]);
  EXPECT_TRUE(equal(*kids[0], *kids[1]));
  EXPECT_EQ(kids[0]->use_count(), 1u);
  EXPECT_EQ(kids[1]->use_count(), 1u);
}

TEST(Postcard, EncodeAppends) {
  std::string out = "ab";
  encode_term(*leaf_xy(), out);
  EXPECT_EQ(out, "ab" + hex(kLeafXY));
}

// Proper prefixes run out of input; trailing bytes are never read.
TEST(Postcard, PrefixesAndTrailingBytes) {
  std::vector<std::string> samples = {
      hex(kLeafXY), enc(leaf("integer", "42")),
      encode_term(*kquote_at("q", 1, "py", leaf_xy(), Cmds{H}, Range{1, ~0ull}))};
  for (std::uint32_t seed = 0; seed < 150; ++seed) samples.push_back(enc(kt::TermGen(seed).term(3)));
  const std::vector<std::string> tails = {hex("00"), hex("FF"), hex("03 03 03"), hex(kLeafXY), "garbage"};
  for (const auto& b : samples) {
    SCOPED_TRACE(to_hex(b));
    auto whole = decode_term(b);
    ASSERT_TRUE(whole.ok());
    for (std::size_t n = 0; n < b.size(); ++n) {
      auto r = decode_term(std::string_view(b).substr(0, n));
      ASSERT_FALSE(r.ok()) << n;
      ASSERT_EQ(r.error, DecodeError::EndOfInput) << n;
    }
    for (const auto& tail : tails) {
      auto r = decode_term(b + tail);
      ASSERT_TRUE(r.ok());
      EXPECT_TRUE(equal(*r.term, *whole.term));
      EXPECT_TRUE(encode_term(*r.term) == b);
    }
  }
}

TEST(Postcard, RoundTripRandomTerms) {
  for (std::uint32_t seed = 0; seed < 3000; ++seed) {
    SCOPED_TRACE(seed);
    bool balanced = seed % 2 == 0;
    KRef t = kt::TermGen(seed, balanced).term(5);
    std::string b = enc(t);
    auto r = decode_term(b);
    ASSERT_TRUE(r.ok()) << message(r.error);
    ASSERT_TRUE(equal(*r.term, *t));
    ASSERT_TRUE(encode_term(*r.term) == b);
    EXPECT_EQ(r.term->use_count(), 1u);
    if (balanced) {
      EXPECT_EQ(r.term->coparse(), t->coparse());
    }
  }
}

// Damaged encodings either fail with one of the error kinds or decode to a
// term that itself round-trips.
TEST(Postcard, MutatedBytes) {
  std::mt19937 rng(7);
  for (std::uint32_t seed = 0; seed < 2000; ++seed) {
    std::string b = enc(kt::TermGen(seed, false).term(3));
    std::size_t pos = rng() % b.size();
    switch (rng() % 3) {
      case 0: b[pos] = static_cast<char>(rng()); break;
      case 1: b.insert(pos, 1, static_cast<char>(rng())); break;
      default: b.erase(pos, 1 + rng() % 4);
    }
    auto r = decode_term(b);
    if (!r.ok()) {
      EXPECT_LE(static_cast<int>(r.error), static_cast<int>(DecodeError::Variant));
      continue;
    }
    std::string again = encode_term(*r.term);
    auto r2 = decode_term(again);
    ASSERT_TRUE(r2.ok());
    EXPECT_TRUE(equal(*r.term, *r2.term));
    EXPECT_TRUE(encode_term(*r2.term) == again);
  }
}

}  // namespace
