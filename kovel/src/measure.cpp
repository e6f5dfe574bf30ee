// rendered_size: the length of a term's text from one walk over its distinct
// nodes.
//
// Rendering shares one prefix stack across the whole walk, so what a node
// writes depends on the stack it is entered with. The walk follows rendering
// but only counts: a node reached once is simply walked in place, its
// commands applied to the count of the node that renders it. A node that can
// be reached more than once (shared, or the child of a quote with several
// HOLEs) is counted once, on its own, into a summary of its effect relative
// to the unknown stack it is entered with:
//   - `fixed`: what it writes whatever that stack holds (texts, line feeds,
//     and the prefixes it pushed itself that are live at each break);
//   - `breaks`: for each line break, how many entries of the entry stack had
//     been popped by then (nondecreasing, kept as (pops, count) runs);
//   - `pops`: how many entries of the entry stack it pops in all;
//   - `left`: the prefixes it leaves pushed, bottom first.
// Each use applies the summary to the user's count: breaks at fewer pops than
// the user has entries of its own see part of them, resolved there; the
// others become the user's breaks, shifted. The cost is one walk over the
// distinct nodes plus, for each use of a shared node, the size of its
// summary (nothing for a node that leaves the stack as it found it).
#include "measure.h"

#include <bit>
#include <limits>
#include <vector>

namespace kovel {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
__extension__ using Wide = unsigned __int128;  // stack totals: many entries of 64-bit lengths

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }
std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kMax : r;
}
std::uint64_t narrow(Wide w) { return w > kMax ? kMax : static_cast<std::uint64_t>(w); }

std::uint64_t code_points(std::string_view s) {
  std::uint64_t n = 0;
  for (char ch : s) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return n;
}

struct Len {
  std::uint64_t bytes = 0;
  std::uint64_t chars = 0;
  void add(Len o) { *this = {sat_add(bytes, o.bytes), sat_add(chars, o.chars)}; }
  void add_times(std::uint64_t n, Wide b, Wide c) { add({sat_mul(n, narrow(b)), sat_mul(n, narrow(c))}); }
};

// Line breaks seen after `pops` entries of the entry stack were popped.
struct Run {
  std::uint64_t pops;
  std::uint64_t count;
};

struct Summary {
  Len fixed;
  std::uint64_t pops = 0;
  std::vector<Run> breaks;
  std::vector<Len> left;
  Wide left_bytes = 0, left_chars = 0;

  void add_break(std::uint64_t at, std::uint64_t count) {
    if (!breaks.empty() && breaks.back().pops == at) {
      breaks.back().count = sat_add(breaks.back().count, count);
    } else {
      breaks.push_back({at, count});
    }
  }
  void push(Len l) {
    left.push_back(l);
    left_bytes += l.bytes;
    left_chars += l.chars;
  }
  void pop() {
    if (left.empty()) {
      pops = sat_add(pops, 1);
      return;
    }
    left_bytes -= left.back().bytes;
    left_chars -= left.back().chars;
    left.pop_back();
  }
  void apply(const CmdView& v) {
    switch (v.kind) {
      case StrCmd::Kind::Write: fixed.add({v.text.size(), code_points(v.text)}); break;
      case StrCmd::Kind::NL:
        fixed.add({1, 1});
        fixed.add_times(1, left_bytes, left_chars);
        add_break(pops, 1);
        break;
      case StrCmd::Kind::Push: push({v.text.size(), code_points(v.text)}); break;
      case StrCmd::Kind::Pop: pop(); break;
    }
  }
  // Applies the summary of a node rendered at this point.
  void apply(const Summary& c);
};

void Summary::apply(const Summary& c) {
  fixed.add(c.fixed);
  const std::size_t mine = left.size();
  // Breaks inside `c` before it popped all of this node's own entries see
  // some of them: that part is known now. All see this node's entry stack
  // with the entries popped so far.
  std::uint64_t resolved = 0;
  std::size_t popped = 0, i = 0;
  for (; i < c.breaks.size() && c.breaks[i].pops < mine; ++i) {
    for (; popped < c.breaks[i].pops; ++popped) pop();
    fixed.add_times(c.breaks[i].count, left_bytes, left_chars);
    resolved = sat_add(resolved, c.breaks[i].count);
  }
  if (resolved) add_break(pops, resolved);
  const std::uint64_t own_pops = c.pops < mine ? c.pops : mine;
  for (; popped < own_pops; ++popped) pop();
  // The later ones saw none of this node's own entries.
  for (; i < c.breaks.size(); ++i) add_break(sat_add(pops, c.breaks[i].pops - mine), c.breaks[i].count);
  pops = sat_add(pops, c.pops - own_pops);
  // Its prefixes left pushed stay on top of this node's.
  left.insert(left.end(), c.left.begin(), c.left.end());
  left_bytes += c.left_bytes;
  left_chars += c.left_chars;
}

[[noreturn]] void hole_without_child(const KTerm& n) {
  throw Panic("rendered_size", "HOLE with no child left: Tuple '" + std::string(n.tag()) + "' has " +
                                   std::to_string(n.children().size()) + " children and more HOLEs");
}

bool is_leaf(const KTerm& n) { return n.variant() == KTerm::Variant::Tuple && n.children().empty(); }

// Numbers the nodes counted on their own: open addressing on the address,
// so many shared nodes cost no allocation each.
class NodeIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // The node's number, or kNone.
  std::uint32_t find(const KTerm* n) const {
    if (slots_.empty()) return kNone;
    for (std::size_t i = hash(n);; i = (i + 1) & mask()) {
      if (slots_[i].node == n) return slots_[i].index;
      if (!slots_[i].node) return kNone;
    }
  }
  // Numbers `n` with the next number unless it has one; true if it was new.
  bool insert(const KTerm* n) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    for (std::size_t i = hash(n);; i = (i + 1) & mask()) {
      if (slots_[i].node == n) return false;
      if (!slots_[i].node) {
        slots_[i] = {n, count_++};
        return true;
      }
    }
  }
  std::uint32_t size() const { return count_; }

 private:
  struct Slot {
    const KTerm* node;
    std::uint32_t index;
  };
  std::size_t mask() const { return slots_.size() - 1; }
  // Fibonacci hashing: the top bits of the product mix every bit of the address.
  std::size_t hash(const KTerm* n) const {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(n) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size(), Slot{nullptr, 0});
    old.swap(slots_);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
    for (const Slot& s : old)
      if (s.node)
        for (std::size_t i = hash(s.node);; i = (i + 1) & mask())
          if (!slots_[i].node) {
            slots_[i] = s;
            break;
          }
  }

  std::vector<Slot> slots_;
  unsigned shift_ = 64;
  std::uint32_t count_ = 0;
};

class Measurer {
 public:
  RenderedSize run(const KTerm& root) {
    pool_.emplace_back();
    stack_.push_back({&root, root.cmds(), 0, 0, NodeIndex::kNone});
    while (!stack_.empty()) {
      if (!step()) finish();
    }
    const Summary& r = pool_[0];
    return {r.fixed.bytes, r.fixed.chars, r.pops, r.left.size()};
  }

 private:
  struct Frame {
    const KTerm* node;
    CmdCursor cur;
    std::size_t next;     // Tuple children used so far
    std::uint32_t slot;   // the summary the commands go to
    std::uint32_t index;  // the node's number if it is counted on its own
  };

  // Walks the top frame up to its end (false) or to a child that must be
  // walked first (true).
  bool step() {
    const std::size_t top = stack_.size() - 1;
    const KTerm& n = *stack_[top].node;
    const bool quote_like = n.is_quote_like();
    const auto kids = n.children();
    while (!stack_[top].cur.done()) {
      const CmdView v = stack_[top].cur.next();
      Summary& s = pool_[stack_[top].slot];
      if (!v.hole) {
        s.apply(v);
        continue;
      }
      if (!quote_like && stack_[top].next >= kids.size()) hole_without_child(n);
      const KTerm& k = quote_like ? *kids[0] : *kids[stack_[top].next++];
      if (is_leaf(k)) {  // most nodes: their commands apply in place
        for (CmdCursor c = k.cmds(); !c.done();) {
          const CmdView kv = c.next();
          if (kv.hole) hole_without_child(k);
          s.apply(kv);
        }
        continue;
      }
      // A node referenced once is reached once: walk it in place. Otherwise
      // count it on its own, once.
      if (!quote_like && k.use_count() == 1) {
        stack_.push_back({&k, k.cmds(), 0, stack_[top].slot, NodeIndex::kNone});
        return true;
      }
      if (const std::uint32_t i = index_.find(&k); i != NodeIndex::kNone) {
        s.apply(pool_[slot_of_[i]]);
        continue;
      }
      index_.insert(&k);
      slot_of_.push_back(static_cast<std::uint32_t>(pool_.size()));
      pool_.emplace_back();  // `s` is not used past this point
      stack_.push_back({&k, k.cmds(), 0, slot_of_.back(), index_.size() - 1});
      return true;
    }
    return false;
  }

  // Ends the top frame; a node counted on its own is applied to its user.
  void finish() {
    const Frame f = stack_.back();
    stack_.pop_back();
    if (f.index != NodeIndex::kNone) pool_[stack_.back().slot].apply(pool_[f.slot]);
  }

  std::vector<Frame> stack_;
  std::vector<Summary> pool_;           // [0]: the root's count
  NodeIndex index_;                     // the nodes counted on their own
  std::vector<std::uint32_t> slot_of_;  // their summaries, by number
};

}  // namespace

RenderedSize rendered_size(const KTerm& t) { return Measurer().run(t); }

}  // namespace kovel
