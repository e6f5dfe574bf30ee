// Reading a term along its paths and rebuilding it persistently.
//
// A path is the list of child positions from the root. Every helper here is
// iterative, so terms nested millions deep are walked and rebuilt without
// recursion; a node shared by several parents is visited once per path, as
// rendering visits it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kterm.h"

namespace kovel {

// The number of HOLEs in `n`'s commands.
std::uint64_t hole_count(const KTerm& n);

// A node with every field of `n` but its children, which are taken from `kids`.
KNode with_children(const KTerm& n, std::span<KRef> kids);

// Pre-order (document order) walk over every path of a term.
class PathCursor {
 public:
  explicit PathCursor(const KTerm& root) : root_(&root) {}
  // Moves to the next node; the first call gives the root. False at the end.
  bool next();
  const KTerm& node() const { return *cur_; }
  std::span<const std::uint64_t> path() const { return path_; }

 private:
  struct Frame {
    const KTerm* node;
    std::uint64_t next;  // position of the next child to visit
  };
  const KTerm* root_;
  const KTerm* cur_ = nullptr;
  bool started_ = false;
  std::vector<Frame> stack_;
  std::vector<std::uint64_t> path_;
};

// One node of a rendered walk: its path is the one of the last record of
// depth `depth - 1` before it, extended by `index`.
struct SpanRecord {
  const KTerm* node;
  std::uint64_t depth;
  std::uint64_t index;
  std::uint64_t start;  // code points of the text before the node
  std::uint64_t end;
};

// Renders `root` once and records every path's node, in pre-order, with the
// code point offsets of its text in `root.coparse()`. A child that is never
// rendered (a Tuple child beyond the last HOLE, the term of a quote without
// HOLE) gets an empty span where its parent's text ends; the term of a quote
// with several HOLEs is recorded at its first. Throws Panic when a Tuple has
// more HOLEs than children, as rendering does.
std::vector<SpanRecord> rendered_spans(const KTerm& root);

// The records of `rendered_spans(root)` that matches' spans need, in order:
// those at `orders` (ascending, each once; fewer when some are past the
// end), every one in the subtree of a node at `deep` (ascending, a subset of
// `orders`), and each first one after such a subtree (which tells that it
// ended; its end is not known when rendering stopped inside it). No other
// record is kept. `positions` receives each record's position in
// `rendered_spans(root)`. Rendering stops at the end of the last of
// `orders` and of the subtrees.
std::vector<SpanRecord> rendered_spans_around(const KTerm& root, std::span<const std::uint64_t> orders,
                                              std::span<const std::uint64_t> deep,
                                              std::vector<std::uint64_t>& positions);

// How many leading steps of `path` lead to an existing node.
std::size_t existing_prefix(const KTerm& root, std::span<const std::uint64_t> path);

// `root` with the node at `path` (which must exist) replaced by `repl`: only
// the ancestors on the path are new, everything else is shared.
KRef replace_at(const KTerm& root, std::span<const std::uint64_t> path, KRef repl);

// Rebuilds `root` bottom-up. `visit(node)` is called on every path's node
// after its children, with the node rebuilt over their replacements, and
// returns the node's replacement (`node` itself to keep it), or an empty
// handle to stop: `rewrite` then returns an empty handle too. Only ancestors
// of replaced nodes are allocated; when nothing is replaced the result is
// `root` itself.
template <class Visit>
KRef rewrite(const KTerm& root, Visit&& visit) {
  struct Frame {
    const KTerm* node;
    std::uint64_t next = 0;
    std::vector<KRef> kids;  // the new children, once one of them changed
  };
  std::vector<Frame> stack;
  stack.push_back({&root, 0, {}});
  for (;;) {
    Frame& f = stack.back();
    const auto old_kids = f.node->children();
    if (f.next < old_kids.size()) {
      const KTerm* child = old_kids[f.next];
      stack.push_back({child, 0, {}});
      continue;
    }
    KRef cur = f.kids.empty() ? KRef::share(f.node) : with_children(*f.node, f.kids).share();
    KRef out = visit(std::move(cur));
    if (!out) return out;
    stack.pop_back();
    if (stack.empty()) return out;
    Frame& parent = stack.back();
    const std::uint64_t i = parent.next++;
    const auto siblings = parent.node->children();
    if (out.get() == siblings[i] && parent.kids.empty()) continue;
    if (parent.kids.empty()) {
      parent.kids.reserve(siblings.size());
      for (const KTerm* s : siblings) parent.kids.push_back(KRef::share(s));
    }
    parent.kids[i] = std::move(out);
  }
}

}  // namespace kovel
