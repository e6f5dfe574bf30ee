// Shared test helpers: command shorthands, hex byte strings, round trips
// and a deterministic random term generator.
#pragma once

// Under AddressSanitizer (GCC's macro, or clang's feature test) the node pool
// is off and malloc is the sanitizer's: tests of either step aside.
#if defined(__SANITIZE_ADDRESS__)
#define KOVEL_TESTS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVEL_TESTS_ASAN 1
#endif
#endif

#include <gtest/gtest.h>

#include <random>

#include "postcard.h"

namespace kt {

using kovel::CmdOrHole;
using kovel::KRef;

inline CmdOrHole W(std::string_view s) { return CmdOrHole::of(kovel::write(s)); }
inline CmdOrHole P(std::string_view s) { return CmdOrHole::of(kovel::push(s)); }
inline const CmdOrHole N = CmdOrHole::of(kovel::NL);
inline const CmdOrHole X = CmdOrHole::of(kovel::POP);
inline const CmdOrHole H = kovel::HOLE;

using Cmds = std::vector<CmdOrHole>;
using Kids = std::vector<KRef>;
using Path = std::vector<std::uint64_t>;

// "02 01 78" -> the three bytes.
inline std::string hex(std::string_view s) {
  std::string digits, out;
  for (char ch : s)
    if (ch != ' ') digits += ch;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// A check that never stops the work: it must change nothing.
inline const kovel::StopCheck kGo{[](void*) { return false; }, nullptr};

// Encodes, decodes and checks that nothing changed on the way.
inline void expect_round_trip(const KRef& t, const kovel::StopCheck* stop = nullptr) {
  const std::string bytes = kovel::encode_term(*t, stop);
  const kovel::DecodeResult r = kovel::decode_term(bytes, stop);
  ASSERT_TRUE(r.ok()) << kovel::message(r.error);
  EXPECT_TRUE(kovel::equal(*t, *r.term));
  EXPECT_EQ(kovel::encode_term(*r.term), bytes);
  EXPECT_EQ(r.term->coparse(), t->coparse());
  EXPECT_EQ(r.term->use_count(), 1u);
}

// Random renderable terms (one HOLE per child), with texts holding NUL, line
// feeds and multi-byte characters, and some shared subterms; term() makes all
// three variants, with random indices and ranges of any magnitude.
class TermGen {
 public:
  explicit TermGen(std::uint32_t seed) : rng_(seed) {}

  KRef term(int depth) {
    if (!pool_.empty() && pick(6) == 0) return pool_[pick(static_cast<int>(pool_.size()))];
    const int kind = depth <= 0 ? 3 : pick(4);
    KRef t;
    if (kind == 3) {
      t = kovel::leaf(text(), text());
    } else if (kind == 2) {
      Kids kids;
      for (int i = pick(4); i > 0; --i) kids.push_back(term(depth - 1));
      t = kovel::tuple(text(), kids, cmds(static_cast<int>(kids.size())));
    } else {
      KRef inner = term(depth - 1);
      std::optional<kovel::Range> at;
      if (pick(2)) at = kovel::Range{u64(), u64()};
      auto make = kind == 0 ? kovel::kquote_at : kovel::kunquote_at;
      t = make(text(), static_cast<std::uint8_t>(pick(256)), text(), std::move(inner), cmds(pick(2)), at)
              .share();
    }
    pool_.push_back(t);
    return t;
  }

  // Terms laid out as a parsed source's: Tuples only, texts and line feeds
  // between their HOLEs, one per child.
  KRef source(int depth) {
    if (!pool_.empty() && pick(8) == 0) return pool_[pick(static_cast<int>(pool_.size()))];
    Kids kids;
    for (int i = depth > 0 ? pick(5) : 0; i > 0; --i) kids.push_back(source(depth - 1));
    Cmds cmds;
    for (std::size_t i = 0; i <= kids.size(); ++i) {
      for (int k = pick(3); k > 0; --k) cmds.push_back(pick(4) == 0 ? N : W(text()));
      if (i < kids.size()) cmds.push_back(H);
    }
    static const char* const tags[] = {"call", "identifier", "", "x\xC3\xA9", "block"};
    KRef t = kids.empty() && !cmds.empty() && pick(2) ? kovel::leaf(tags[pick(5)], text())
                                                      : kovel::tuple(tags[pick(5)], kids, cmds);
    pool_.push_back(t);
    return t;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::uint64_t u64() { return ((static_cast<std::uint64_t>(rng_()) << 32) | rng_()) >> pick(64); }

  std::string text() {
    static const char* const pieces[] = {"x", " ", "\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    std::string s;
    for (int i = pick(4); i > 0; --i) pick(7) < 6 ? s.append(pieces[pick(6)]) : s.append(1, '\0');
    return s;
  }

  // `holes` HOLEs among a few random commands.
  Cmds cmds(int holes) {
    Cmds out;
    for (int i = pick(5); i > 0; --i) {
      const int k = pick(4);
      out.push_back(k == 0 ? W(text()) : k == 1 ? P(text()) : k == 2 ? N : X);
    }
    for (int i = 0; i < holes; ++i) out.insert(out.begin() + pick(static_cast<int>(out.size()) + 1), H);
    return out;
  }

  std::mt19937 rng_;
  std::vector<KRef> pool_;
};

}  // namespace kt
