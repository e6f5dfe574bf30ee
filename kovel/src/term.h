// The term interface and the element type of a node's layout.
#pragma once

#include <string>
#include <utility>

#include "strcmd.h"

namespace kovel {

// One element of a node's commands: a string command, or the place of a child.
struct CmdOrHole {
  bool hole = true;
  StrCmd cmd;  // meaningful when !hole

  static CmdOrHole of(StrCmd c) { return {false, std::move(c)}; }
  bool operator==(const CmdOrHole&) const = default;
};

inline const CmdOrHole HOLE{true, {}};

// Something that writes itself as source text. `Derived` provides
// `void write(PrefixWriter&) const`, which appends its text using and updating
// the writer's prefix stack; `coparse` is built on it. Static dispatch keeps
// the interface out of every node (no vtable pointer per node).
template <class Derived>
class STerm {
 public:
  // The whole text; prefixes still pushed at the end are dropped.
  std::string coparse() const {
    std::string out;
    PrefixWriter w(out);
    static_cast<const Derived*>(this)->write(w);
    return out;
  }
};

}  // namespace kovel
