// Helpers shared by the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kterm.h"

#define CHECK(c)                                                                 \
  do {                                                                           \
    if (!(c)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

namespace fuzz {

// Work (node bytes touched, summed over every time a node is written) that
// rendering `root` takes; shared nodes and repeated HOLEs can make it
// exponential in the input size. Saturates at `cap`.
inline std::uint64_t render_cost(const kovel::KTerm& root, std::uint64_t cap) {
  std::unordered_map<const kovel::KTerm*, std::uint64_t> memo;
  std::vector<std::pair<const kovel::KTerm*, bool>> todo{{&root, false}};
  while (!todo.empty()) {
    auto [t, expanded] = todo.back();
    todo.pop_back();
    if (memo.count(t)) continue;
    if (!expanded) {
      todo.push_back({t, true});
      for (const kovel::KTerm* k : t->children()) todo.push_back({k, false});
      continue;
    }
    std::uint64_t cost = 1 + t->byte_count(), next = 0;
    for (kovel::CmdCursor c = t->cmds(); !c.done() && cost < cap;) {
      if (!c.next().hole) continue;
      if (!t->is_quote_like() && next >= t->children().size()) break;  // would panic here
      cost += memo[t->is_quote_like() ? &t->term() : t->children()[next++]];
    }
    memo[t] = std::min(cost, cap);
  }
  return memo[&root];
}

}  // namespace fuzz
