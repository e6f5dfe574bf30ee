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
  std::string digits, out;
  for (char ch : s)
    if (ch != ' ') digits += ch;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// Random terms of all three variants, with random texts (empty, NUL,
// multi-byte, line feeds), commands, indices and ranges, and some sharing.
// With `balanced` every Tuple has one HOLE per child, so it renders.
class TermGen {
 public:
  explicit TermGen(std::uint32_t seed, bool balanced = true) : rng_(seed), balanced_(balanced) {}

  std::string text() {
    static const char* const pieces[] = {
        "", "x", "foo", " ", "\n", "(", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    std::string s;
    for (int i = pick(4); i > 0; --i) {
      const int k = pick(10);
      k < 9 ? s.append(pieces[k]) : s.append(1, '\0');
    }
    return s;
  }

  CmdOrHole cmd() {
    switch (pick(4)) {
      case 0: return W(text());
      case 1: return N;
      case 2: return P(text());
      default: return X;
    }
  }

  // Any magnitude from 0 up to the full 64 bits.
  std::uint64_t u64() { return ((static_cast<std::uint64_t>(rng_()) << 32) | rng_()) >> pick(64); }

  KRef term(int depth) {
    if (!pool_.empty() && pick(6) == 0)
      return pool_[static_cast<std::size_t>(pick(static_cast<int>(pool_.size())))];
    KRef t;
    int kind = depth <= 0 ? 3 : pick(4);
    if (kind == 3) {
      t = kovel::leaf(text(), text());
    } else if (kind == 2) {
      Kids kids;
      for (int i = pick(4); i > 0; --i) kids.push_back(term(depth - 1));
      t = kovel::tuple(text(), kids, mixed(balanced_ ? static_cast<int>(kids.size()) : pick(4)));
    } else {
      KRef inner = term(depth - 1);
      std::optional<kovel::Range> at;
      if (pick(2)) at = kovel::Range{u64(), u64()};
      auto idx = static_cast<std::uint8_t>(pick(256));
      auto make = kind == 0 ? kovel::kquote_at : kovel::kunquote_at;
      t = make(text(), idx, text(), std::move(inner), mixed(pick(3)), at).share();
    }
    pool_.push_back(t);
    return t;
  }

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

 private:
  // `holes` HOLEs among a few random commands.
  Cmds mixed(int holes) {
    Cmds cmds;
    for (int i = pick(5); i > 0; --i) cmds.push_back(cmd());
    for (int i = 0; i < holes; ++i) cmds.insert(cmds.begin() + pick(static_cast<int>(cmds.size()) + 1), H);
    return cmds;
  }

  std::mt19937 rng_;
  bool balanced_;
  std::vector<KRef> pool_;
};

}  // namespace kt
