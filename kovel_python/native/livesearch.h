// What a search of a source for patterns shares, whether the subtrees that
// can hold a match come from a fresh parse (`tsmatch.cpp`) or from a stored
// term (`postcardmatch.cpp`): the texts each pattern needs, where they are
// in the source, and the search of those subtrees alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "compiled.h"
#include "tags.h"

namespace kovel::py::native {

// What one pattern needs of a node to match in it.
struct Want {
  const Pattern* pattern;
  std::string_view root_tag;               // empty when any tag will do (a hole or a run)
  std::uint32_t root_id;                   // root_tag interned, or tags::kInline
  std::vector<std::string_view> kid_tags;  // of the root's items that are nodes or leaves
  std::span<const std::uint32_t> occ;      // where its rarest required text starts
  std::uint32_t len = 0;                   // that text's length; 0: it has none
  bool absent = false;                     // a required text is not in the source
  std::size_t next = 0;                    // the first of `occ` at or after the last start asked about

  // Whether bytes [s, e) may hold a match. The walk asks in document order,
  // so the next occurrence is found by stepping on; an earlier start is
  // looked up afresh.
  bool live(std::uint64_t s, std::uint64_t e) {
    if (absent) return false;
    if (len == 0) return true;
    if (next > 0 && occ[next - 1] >= s)
      next = static_cast<std::size_t>(std::lower_bound(occ.begin(), occ.end(), s) - occ.begin());
    while (next < occ.size() && occ[next] < s) ++next;
    return next < occ.size() && occ[next] + std::uint64_t{len} <= e;
  }
};

// The texts every match of each pattern holds, for each of `compiled`:
// where they start in `src` and which is rarest. `words[k]` are pattern
// k's texts (sorted here, longest first); `starts` and `bytes` keep what
// the wants point into, and must outlive them.
struct Wants {
  std::vector<std::string_view> distinct;          // every pattern's required texts, once each
  std::vector<std::vector<std::uint32_t>> starts;  // where each of them starts in the source
  std::vector<std::vector<std::uint32_t>> bytes;   // a pattern's rarest text, when it is one byte
  std::vector<Want> wants;

  Wants(std::span<const Compiled* const> compiled, std::vector<std::vector<std::string_view>>& words,
        std::string_view src);
  Wants(const Wants&) = delete;
  Wants& operator=(const Wants&) = delete;
};

inline std::uint64_t code_points(std::string_view s) {
  std::uint64_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// The arguments `patterns` (a list of compiled patterns) and `words` (a
// list holding, per pattern, a tuple of the texts its matches hold, as
// bytes), read into `compiled` and `words`. Copies of the lists are held:
// the caller's may change while the lock is released.
struct PatternArgs {
  PyRef programs, word_list;
  std::vector<const Compiled*> compiled;
  std::vector<std::vector<std::string_view>> words;
};
// False with TypeError when the arguments are not so (MemoryError when
// memory ran out).
bool patterns_arg(PyObject* patterns, PyObject* words, PatternArgs& out) noexcept;

// A subtree that may hold a match, and where it stands in the whole term.
struct Piece {
  std::vector<std::uint64_t> path;
  std::uint64_t chars = 0;  // code points of the text before it
  KRef term;
};

// The matches of each of `compiled` in `pieces` (in document order) as
// places in the whole term: per pattern, the items ``match_all`` gives for
// it. A new list, or nullptr with an exception set.
PyObject* search_pieces(std::span<const Compiled* const> compiled, std::span<const Piece> pieces);

}  // namespace kovel::py::native
