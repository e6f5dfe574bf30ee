// Structural patterns: matching a compiled pattern against every node of a
// term, and rebuilding a term with several subterms replaced at once.
//
// A pattern is a tree of items: a node (tag and child items), a leaf (tag
// and text), a hole that takes one node and a run that takes any number of
// consecutive siblings. Holes and runs bind slots; a slot bound twice must
// bind equal terms. Layout between children never matters, and a child
// that is a token (a childless node whose text is its tag, or a comment)
// may be skipped when the pattern does not mention it. Quote and unquote
// nodes of the term are looked through.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kterm.h"

namespace kovel {

struct PatternItem {
  enum class Kind : std::uint8_t { Hole, Run, Leaf, Node };
  Kind kind = Kind::Hole;
  int slot = -1;                    // Hole, Run: the slot bound, -1 for none
  std::string tag;                  // Leaf, Node
  std::string text;                 // Leaf
  std::vector<std::uint32_t> kids;  // Node: positions in Pattern::items
};

// Items are added children first; the last one added is the root.
class Pattern {
 public:
  std::uint32_t hole(int slot) { return add({PatternItem::Kind::Hole, slot, {}, {}, {}}); }
  std::uint32_t run(int slot) { return add({PatternItem::Kind::Run, slot, {}, {}, {}}); }
  std::uint32_t leaf(std::string_view tag, std::string_view text) {
    return add({PatternItem::Kind::Leaf, -1, std::string(tag), std::string(text), {}});
  }
  std::uint32_t node(std::string_view tag, std::vector<std::uint32_t> kids) {
    return add({PatternItem::Kind::Node, -1, std::string(tag), {}, std::move(kids)});
  }
  const PatternItem& item(std::uint32_t i) const { return items_[i]; }
  const PatternItem& root() const { return items_.back(); }
  bool empty() const { return items_.empty(); }
  // One more than the highest slot used.
  std::size_t slots() const { return slots_; }

 private:
  std::uint32_t add(PatternItem it);
  std::vector<PatternItem> items_;
  std::size_t slots_ = 0;
};

// What a slot holds after a match.
struct Binding {
  enum class Kind : std::uint8_t { None, Node, Run };
  Kind kind = Kind::None;
  const KTerm* node = nullptr;    // Node: the bound node (looked through quotes)
  const KTerm* parent = nullptr;  // Run: children [start, stop) of parent
  std::uint64_t start = 0;
  std::uint64_t stop = 0;
};

// The nodes a run binds: its children that are not tokens, looked through quotes.
std::vector<const KTerm*> run_items(const Binding& b);

// The children of a run with the commands that stood between them, in a
// node of the parent's tag (an empty one for an empty run). A run that ends
// with a comment keeps the line break that followed it.
KRef run_term(const Binding& b);

// Whether the text of a binding may hold a line break (never false when it does).
bool may_span_lines(const Binding& b);

// Whether a child of the term may be skipped by a pattern that does not mention it.
bool is_token(const KTerm& t);

class Matcher {
 public:
  explicit Matcher(const Pattern& p) : p_(p), env_(p.slots()) {}
  // Whether the pattern matches `t`; the bindings are then in bindings().
  bool match(const KTerm& t);
  const std::vector<Binding>& bindings() const { return env_; }

 private:
  bool node(const PatternItem& p, const KTerm& t);
  bool seq(const PatternItem& parent_p, std::size_t i, const KTerm& parent, std::uint64_t j);
  bool bind(int slot, const Binding& b);
  void undo(std::size_t mark);

  const Pattern& p_;
  std::vector<Binding> env_;
  std::vector<int> trail_;  // slots in the order they were bound
};

struct Found {
  std::vector<std::uint64_t> path;
  const KTerm* node = nullptr;
  std::vector<Binding> bindings;
  bool multiline = false;   // some binding may span lines (may_span_lines)
  std::uint64_t start = 0;  // span in code points, filled by attach_spans
  std::uint64_t end = 0;
  // Multiline matches only, per slot: where the binding's first node starts
  // (a run's first child; the match's start for an empty run or no binding).
  std::vector<std::uint64_t> offsets;
};

// Every match of `p` at a Tuple node of `root`, in document order. With
// `outermost`, the nodes inside a match are not tried.
std::vector<Found> search(const Pattern& p, const KTerm& root, bool outermost);

// Sets the span of every match (as rendered_spans counts it), and the
// offsets of the bindings of multiline ones. Throws Panic when `root` cannot
// be rendered.
void attach_spans(const KTerm& root, std::vector<Found>& found);

// `root` with the node at each of `paths` replaced by the matching `repls`.
// The paths must exist, be in document order and none may lie inside
// another; only their ancestors are new.
KRef replace_paths(const KTerm& root, std::span<const std::vector<std::uint64_t>> paths,
                   std::span<const KRef> repls);

// `t` with `indent` taken off every write that starts a line (the first
// write rendered after a line break, in whichever node it stands): a
// multi-line subterm moved to another place keeps only the indentation its
// later lines have relative to `indent`.
KRef dedent(const KTerm& t, std::string_view indent);

}  // namespace kovel
