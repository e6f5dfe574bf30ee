// Postcard bytes of terms: exact encodings, decode errors, round trips.
#include <gtest/gtest.h>

#include "support.h"

using namespace kovel;
using namespace std::literals;
using namespace kt;

namespace {

const std::string kLeafXY = "02 01 78 00 01 00 00 01 79";
const std::string kHuge = " FF FF FF FF FF FF FF FF FF 01 ";  // 2^64 - 1

// Inputs that decode, each to its term where given, and the canonical bytes
// both re-encode to: longer-than-necessary varints and valid edge texts are
// accepted, and re-encoded in shortest form.
TEST(Postcard, Bytes) {
  const std::string q = "00 00 00 00 " + kLeafXY;
  std::vector<std::tuple<std::string, std::string, KRef>> rows = {
      {kLeafXY, kLeafXY, leaf("x", "y")},
      {"02 07 69 6E 74 65 67 65 72 00 01 00 00 02 34 32", "", leaf("integer", "42")},
      // A quote with a range; an unquote (first byte only differs) with every command kind, index 255, NULs.
      {"00 0A 69 64 65 6E 74 69 66 69 65 72 03 02 70 79 " + kLeafXY +
           " 04 01 00 01 00 02 02 20 20 00 03 01 02 AC 02",
       "", kquote_at("identifier", 3, "py", leaf("x", "y"), Cmds{H, N, P("  "), X}, Range{2, 300}).share()},
      {"01 01 00 FF 00 02 00 00 05 00 00 00 00 01 00 02 01 00 00 03 01 00 00", "",
       unquote("\0"s, 255, "", tuple("", Kids{}, Cmds{W(""), N, P("\0"s), X, H}), Cmds{})},
      {"82 80 00 01 78 00 01 00 00 01 79", kLeafXY, leaf("x", "y")},
      {"02 01 78 00 81 00 00 00 81 80 80 80 80 80 80 80 80 00 79", kLeafXY, KRef()},
      {"02 80 80 80 80 80 80 80 80 80 00 00 00", "02 00 00 00", tuple("", Kids{}, Cmds{})},
      {q + " 00 01 85 00 81 80 00", q + " 00 01 05 01", KRef()},
      {"02 0B F4 8F BF BF ED 9F BF EE 80 80 00 00 00", "", KRef()},
  };
  // Each value as a range bound and, up to 16384, as a text length.
  for (const auto& [value, bytes] : std::vector<std::pair<std::uint64_t, std::string>>{
           {0, "00"}, {127, "7F"}, {128, "80 01"}, {16383, "FF 7F"}, {16384, "80 80 01"}, {~0ull, kHuge}}) {
    rows.push_back({q + " 00 01 " + bytes + " " + bytes, "",
                    kquote_at("", 0, "", leaf("x", "y"), Cmds{}, Range{value, value}).share()});
    if (value > 16384) continue;
    std::string code;
    for (std::uint64_t i = 0; i < value; ++i) code += "61";
    rows.push_back({"02 01 78 00 01 00 00 " + bytes + code, "", leaf("x", std::string(value, 'a'))});
  }
  for (const auto& [in, canon, term] : rows) {
    SCOPED_TRACE(in);
    auto r = decode_term(hex(in));
    ASSERT_TRUE(r.ok()) << message(r.error);
    EXPECT_EQ(encode_term(*r.term), hex(canon.empty() ? in : canon));
    if (!term) continue;
    EXPECT_TRUE(equal(*r.term, *term));
    EXPECT_EQ(encode_term(*term), hex(canon.empty() ? in : canon));
  }

  // A shared child is written twice and decoded as two separate nodes.
  KRef xy = leaf("x", "y");
  auto r = decode_term(encode_term(*tuple("t", Kids{xy, xy}, Cmds{H, H})));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(encode_term(*r.term), hex("02 01 74 02 " + kLeafXY + " " + kLeafXY + " 02 01 01"));
  EXPECT_NE(r.term->children()[0], r.term->children()[1]);
  EXPECT_EQ(r.term->children()[0]->use_count(), 1u);
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

// Random terms round-trip and render the same, with a check that never
// stops or without; proper prefixes of their bytes run out of input, and
// trailing bytes are never read.
TEST(Postcard, RandomTerms) {
  for (std::uint32_t seed = 0; seed < 2000; ++seed) {
    SCOPED_TRACE(seed);
    KRef t = TermGen(seed).term(5);
    ASSERT_NO_FATAL_FAILURE(expect_round_trip(t, &kGo));
    EXPECT_EQ(t->coparse(&kGo), t->coparse());
    const std::string b = encode_term(*t);
    for (std::size_t n = 0; seed < 60 && n < b.size(); ++n) {
      auto cut = decode_term(std::string_view(b).substr(0, n));
      ASSERT_FALSE(cut.ok()) << n;
      ASSERT_EQ(cut.error, DecodeError::EndOfInput) << n;
    }
    for (const auto& tail : {hex("FF"), hex(kLeafXY)}) ASSERT_TRUE(decode_term(b + tail).ok());
  }
}

}  // namespace
