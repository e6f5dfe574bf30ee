// Small helpers shared by the unit tests: command shorthands, hex byte
// strings and a deterministic random term generator.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kterm.h"
#include "postcard.h"
#include "strcmd.h"
#include "term.h"

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

// "02 01 78" -> the three bytes.
inline std::string hex(std::string_view s) {
  std::string out;
  int hi = -1;
  for (char ch : s) {
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else
      continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<char>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline std::string to_hex(std::string_view b) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char ch : b) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[ch >> 4]);
    out.push_back(digits[ch & 15]);
  }
  return out;
}

// Random terms of all three variants, with random texts (empty, NUL,
// multi-byte, line feeds), commands, indices and ranges, and some sharing.
// With `balanced` every Tuple has one HOLE per child, so it renders.
class TermGen {
 public:
  explicit TermGen(std::uint32_t seed, bool balanced = true) : rng_(seed), balanced_(balanced) {}

  std::string text() {
    using namespace std::literals;
    static const std::string_view pieces[] = {""sv,
                                              "x"sv,
                                              "foo"sv,
                                              " "sv,
                                              "\n"sv,
                                              "("sv,
                                              "\0"sv,
                                              "\xC3\xA9"sv,
                                              "\xE2\x82\xAC"sv,
                                              "\xF0\x9F\x98\x80"sv,
                                              "def"sv,
                                              "    "sv};
    std::string s;
    int n = pick(4);
    for (int i = 0; i < n; ++i) s += pieces[pick(12)];
    return s;
  }

  CmdOrHole cmd() {
    switch (pick(5)) {
      case 0: return W(text());
      case 1: return N;
      case 2: return P(text());
      case 3: return X;
      default: return W(text());
    }
  }

  std::uint64_t u64() {
    static const std::uint64_t edges[] = {0, 1, 127, 128, 16383, 16384, 0xFFFFFFFFull, 1ull << 63, ~0ull};
    if (pick(2) == 0) return edges[pick(9)];
    return (static_cast<std::uint64_t>(rng_()) << 32) | rng_();
  }

  KRef term(int depth) {
    if (!pool_.empty() && pick(6) == 0)
      return pool_[static_cast<std::size_t>(pick(static_cast<int>(pool_.size())))];
    KRef t;
    int kind = depth <= 0 ? 3 : pick(4);
    if (kind == 3) {
      t = kovel::leaf(text(), text());
    } else if (kind == 2) {
      Kids kids;
      int n = pick(4);
      for (int i = 0; i < n; ++i) kids.push_back(term(depth - 1));
      Cmds cmds = mixed(balanced_ ? n : pick(4));
      t = kovel::tuple(text(), kids, cmds);
    } else {
      KRef inner = term(depth - 1);
      Cmds cmds = mixed(pick(3));
      std::optional<kovel::Range> at;
      if (pick(2)) at = kovel::Range{u64(), u64()};
      auto idx = static_cast<std::uint8_t>(pick(256));
      t = kind == 0 ? kovel::kquote_at(text(), idx, text(), std::move(inner), cmds, at).share()
                    : kovel::kunquote_at(text(), idx, text(), std::move(inner), cmds, at).share();
    }
    pool_.push_back(t);
    return t;
  }

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

 private:
  // `holes` HOLEs among a few random commands.
  Cmds mixed(int holes) {
    Cmds cmds;
    int extra = pick(5);
    for (int i = 0; i < extra; ++i) cmds.push_back(cmd());
    for (int i = 0; i < holes; ++i) {
      auto pos = cmds.begin() + pick(static_cast<int>(cmds.size()) + 1);
      cmds.insert(pos, H);
    }
    return cmds;
  }

  std::mt19937 rng_;
  bool balanced_;
  std::vector<KRef> pool_;
};

}  // namespace kt
