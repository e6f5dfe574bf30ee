// Structural patterns: matching a compiled pattern against every node of a
// term, and rebuilding a term with several subterms replaced at once.
//
// A pattern is a tree of items: a node (tag and child items), a leaf (tag
// and text, which may be optional), a hole that takes one node and a run that takes any number of
// consecutive siblings. Holes and runs bind slots; a slot bound twice must
// bind equal terms. Layout between children never matters, and a child
// that is a token (a childless node whose text is its tag, or a comment)
// may be skipped when the pattern does not mention it. Quote and unquote
// nodes of the term are looked through.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "interrupt.h"
#include "kterm.h"

namespace kovel {

struct PatternItem {
  enum class Kind : std::uint8_t { Hole, Run, Leaf, Node };
  Kind kind = Kind::Hole;
  int slot = -1;                    // Hole, Run: the slot bound, -1 for none
  std::string tag;                  // Leaf, Node
  std::string text;                 // Leaf
  std::vector<std::uint32_t> kids;  // Node: positions in Pattern::items
  // Leaf: a terminator the language may write as a line break instead (a
  // shell's `;` before `then`), so the term may lack it.
  bool optional = false;
  // Leaf: a word the grammar spells in other ways (`ECHO` for `echo` where
  // keywords ignore case, `#  include`): a leaf of its tag with the same text
  // up to spacing and case matches it too.
  bool respellable = false;
};

// Items are added children first; the last one added is the root.
class Pattern {
 public:
  std::uint32_t hole(int slot) { return add({PatternItem::Kind::Hole, slot, {}, {}, {}}); }
  std::uint32_t run(int slot) { return add({PatternItem::Kind::Run, slot, {}, {}, {}}); }
  std::uint32_t leaf(std::string_view tag, std::string_view text, bool optional = false,
                     bool respellable = false) {
    return add({PatternItem::Kind::Leaf, -1, std::string(tag), std::string(text), {}, optional, respellable});
  }
  std::uint32_t node(std::string_view tag, std::vector<std::uint32_t> kids) {
    return add({PatternItem::Kind::Node, -1, std::string(tag), {}, std::move(kids)});
  }
  const PatternItem& item(std::uint32_t i) const { return items_[i]; }
  const PatternItem& root() const { return items_.back(); }
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  // One more than the highest slot used.
  std::size_t slots() const { return slots_; }

  // Tags of the grammar's named nodes that no keyword shares (`this`, `nil`,
  // `self`): a childless node of one, though it renders as its tag, is no
  // token to this pattern.
  void name_words(std::vector<std::string> words) { named_.insert(words.begin(), words.end()); }
  // Whether a child of the term is one the pattern may pass over, and a
  // metavariable may not take: is_token, less the named words.
  bool token(const KTerm& t) const;
  // Whether a child is a keyword token (is_keyword, less the named words).
  bool keyword(const KTerm& t) const;

 private:
  std::uint32_t add(PatternItem it);
  bool named_word(const KTerm& t) const;
  std::vector<PatternItem> items_;
  std::size_t slots_ = 0;
  std::set<std::string, std::less<>> named_;
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

// The nodes a run binds: its children that are not tokens (to `p`), looked through quotes.
std::vector<const KTerm*> run_items(const Binding& b, const Pattern& p);

// The children of a run with the commands that stood between them, in a
// node of the parent's tag (an empty one for an empty run). A run that ends
// with a comment keeps the line break that followed it.
KRef run_term(const Binding& b);

// Whether a node is a comment: its tag names one (`comment`, `line_comment`,
// `block_comment`, `multiline_comment`, ...), in every grammar.
bool is_comment(const KTerm& t);
bool is_comment_tag(std::string_view tag);

// Whether a child of the term may be skipped by a pattern that does not mention it.
bool is_token(const KTerm& t);

// Whether `text` spells `word` but for spacing and the case of ASCII letters
// (`#  include` and `#include`, `ECHO` and `echo`).
bool spells(std::string_view text, std::string_view word);

// Whether a child is a clause (`else_clause`, `except_clause`, `catch_clause`):
// a pattern that ends before it still matches (`if $C: $$$B` matches an `if`
// with an `else`), and a rewrite keeps it.
bool is_clause(const KTerm& t);

// Whether a child is a statement, a declaration or a block: a pattern that
// ends with a label's `:` (`case $X:`) still matches the statements after
// it, and a rewrite keeps them.
bool is_statement(const KTerm& t);

// Whether two terms bound to one metavariable say the same thing, as a
// pattern that names it twice asks: the same tags and tokens however laid
// out, comments aside, and where either is a named leaf the same text.
bool reads_alike(const KTerm& a, const KTerm& b);

// Whether a child is a keyword token (`else`, `catch`): a pattern that ends
// before it still matches, and what it leads stays.
bool is_keyword(const KTerm& t);

// Whether the text of a node, or of a binding's value (the node, or
// run_term), holds a line feed. Each node's answer is worked out once:
// nested matches bind subtrees of one another, and walking each binding
// whole would be quadratic in the depth.
class LineBreaks {
 public:
  explicit LineBreaks(Pacer* pace = nullptr) : pace_(pace) {}
  bool node(const KTerm& t);
  bool binding(const Binding& b);

 private:
  void tick(std::int64_t n) {
    if (pace_) pace_->tick(n);
  }
  Pacer* pace_;
  std::unordered_map<const KTerm*, bool> memo_;
};

// Backtracking over the children of a node reaches the same pattern
// position at the same child along many paths: a few runs in a row over a
// hundred children would never finish. A sequence suffix's outcome depends
// on the bindings only through the slots it mentions, so a failure is
// remembered under the pattern position, the child and the bindings of
// those slots: each such state is tried once, and runs with distinct slots
// cost about positions x children x children steps.
class Matcher {
 public:
  explicit Matcher(const Pattern& p, Pacer* pace = nullptr);
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;
  // Whether the pattern matches `t`; the bindings are then in bindings().
  bool match(const KTerm& t);
  const std::vector<Binding>& bindings() const { return env_; }
  // Sequence states tried so far, over all calls (to test the growth).
  std::uint64_t steps() const { return steps_; }

 private:
  bool node(std::uint32_t pi, const KTerm& t);
  bool seq(std::uint32_t pi, std::size_t i, const KTerm& parent, std::uint64_t j);
  bool separator(const PatternItem& p, std::size_t i) const;
  bool bind(int slot, const Binding& b);
  bool bound_run_ends(const Binding& have, const KTerm& parent, std::uint64_t j, std::uint64_t& lo,
                      std::uint64_t& hi);
  void undo(std::size_t mark);
  // A state of seq: child j of `parent` against items [i, end) of node item `item`.
  struct State {
    const KTerm* parent;
    std::uint64_t j;
    std::uint32_t item;
    std::uint32_t i;
    bool operator==(const State&) const = default;
  };
  struct StateHash {
    std::size_t operator()(const State& s) const noexcept {
      std::uint64_t h = reinterpret_cast<std::uintptr_t>(s.parent) * 0x9e3779b97f4a7c15u;
      h ^= (s.j + (std::uint64_t{s.item} << 40) + (std::uint64_t{s.i} << 20)) * 0xbf58476d1ce4e5b9u;
      return static_cast<std::size_t>(h ^ (h >> 31));
    }
  };
  void bound_env(std::string& out, std::uint32_t pi, std::size_t i) const;
  bool failed_before(const State& st, const std::string& env);
  void remember_failure(const State& st, const std::string& env);

  const Pattern& p_;
  Pacer own_pace_{nullptr};
  Pacer* pace_;
  std::vector<Binding> env_;
  std::vector<int> trail_;  // slots in the order they were bound
  // Per Node item and child position i: the slots its items from i on mention.
  std::vector<std::vector<std::vector<int>>> suffix_slots_;
  // States that failed with none of their slots bound: at most one per item
  // position and child, so they are all kept.
  std::unordered_set<State, StateHash> failed_;
  // Those that failed with some bound (the bindings first in the key): with
  // repeated slots there can be as many as the matcher has time for, so
  // only so many are kept.
  static constexpr std::size_t kMaxBoundFailures = std::size_t{1} << 18;
  std::unordered_set<std::string> failed_bound_;
  std::string scratch_;
  std::uint64_t choices_ = 0;  // alternatives still to try, on the stack
  std::uint64_t steps_ = 0;
};

struct Found {
  // The node's path is the previous match's path cut to `keep` steps, then
  // `tail`: nested matches share their ancestors' steps (full paths would
  // be quadratic in the depth). next_path() rebuilds it.
  std::uint64_t keep = 0;
  std::vector<std::uint64_t> tail;
  std::uint64_t order = 0;  // the path's position in a pre-order walk of all paths
  const KTerm* node = nullptr;
  std::vector<Binding> bindings;
  bool multiline = false;   // some binding's text holds a line feed
  std::uint64_t start = 0;  // span in code points, filled by attach_spans
  std::uint64_t end = 0;
  // Multiline matches only, per slot: where the binding's first node starts
  // (a run's first child; the match's start for an empty run or no binding).
  std::vector<std::uint64_t> offsets;
};

// Turns the previous match's path into `f`'s.
void next_path(std::vector<std::uint64_t>& path, const Found& f);

// Every match of `p` at a Tuple node of `root`, in document order. With
// `outermost`, the nodes inside a match are not tried. `stop` is called
// every so often (see interrupt.h).
std::vector<Found> search(const Pattern& p, const KTerm& root, bool outermost,
                          const StopCheck* stop = nullptr);

// search(*ps[i], root, false, stop) for every pattern, in one walk of `root`:
// each node is tried only against the patterns whose root tag it has.
std::vector<std::vector<Found>> search_many(std::span<const Pattern* const> ps, const KTerm& root,
                                            const StopCheck* stop = nullptr);

// search_many over one root after another, with the matchers made once
// (a source searched subtree by subtree). The patterns and `pace` must
// outlive it.
class Searcher {
 public:
  Searcher(std::span<const Pattern* const> ps, Pacer* pace);
  Searcher(const Searcher&) = delete;
  Searcher& operator=(const Searcher&) = delete;
  std::vector<std::vector<Found>> run(const KTerm& root);

 private:
  Pacer* pace_;
  std::vector<std::unique_ptr<Matcher>> matchers_;
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_tag_;
  std::vector<std::size_t> any_tag_;  // patterns whose root is a hole or a run
};

// Sets the span of every match (as rendered_spans counts it), and the
// offsets of the bindings of multiline ones. Throws Panic when `root` cannot
// be rendered.
void attach_spans(const KTerm& root, std::vector<Found>& found, const StopCheck* stop = nullptr);

// The same for the matches of several patterns in one term, rendering it
// once for all of them.
void attach_spans(const KTerm& root, std::span<std::vector<Found>> found, const StopCheck* stop = nullptr);

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
