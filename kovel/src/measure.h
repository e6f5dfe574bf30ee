// The size of a term's text, learned without rendering it.
#pragma once

#include <cstdint>

#include "kterm.h"

namespace kovel {

// The length of `t.coparse()`: its bytes and its code points (Python's
// `len(str(t))`). Exact, saturating at UINT64_MAX. Computed once per distinct
// node, without recursion, so a small term whose text is exponentially long
// (shared children) is measured at the cost of one walk over its nodes.
struct RenderedSize {
  std::uint64_t bytes;
  std::uint64_t chars;
  // The prefix stack it is rendered on: entries it pops that it did not
  // push, and entries it pushes and leaves. A term that leaves both at 0
  // changes nothing outside its own text, wherever it is spliced.
  std::uint64_t pops_outside = 0;
  std::uint64_t left_pushed = 0;
};

RenderedSize rendered_size(const KTerm& t);

}  // namespace kovel
