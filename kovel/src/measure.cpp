// rendered_size: one summary per distinct node, children before parents.
//
// Rendering shares one prefix stack across the whole walk, so what a node
// writes depends on the stack it is entered with. A node's summary records
// its effect relative to that unknown entry stack:
//   - `fixed`: the text it writes whatever the entry stack (writes, line
//     feeds, and the prefixes it pushed itself that are live at each break);
//   - `breaks`: for each line break, how many entry entries had been popped
//     (nondecreasing over time, kept as (pops, count) runs);
//   - `pops`: how many entry entries it pops in all;
//   - `left`: the prefixes it leaves pushed, bottom first.
// A parent applies a child's summary to its own stack: the child's breaks at
// fewer pops than the parent has entries of its own are resolved to a length
// there; the others become the parent's breaks, shifted.
//
// Sequences are moved, not copied, into a child's only user, and the smaller
// sequence is merged into the larger, so a chain a million nodes deep that
// leaves every prefix pushed costs O(n log n), not O(n^2).
#include "measure.h"

#include <limits>
#include <unordered_map>
#include <vector>

#include "varint.h"

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

// A vector that also grows at the front, with room kept at both ends so that
// merging a small sequence into a large one costs the small one's size.
template <class T>
class Seq {
 public:
  bool empty() const { return head_ == v_.size(); }
  std::size_t size() const { return v_.size() - head_; }
  const T* begin() const { return v_.data() + head_; }
  const T* end() const { return v_.data() + v_.size(); }
  T& front() { return v_[head_]; }
  T& back() { return v_.back(); }
  void push_back(const T& x) { v_.push_back(x); }
  void pop_back() { v_.pop_back(); }
  void pop_front() {
    if (++head_ == v_.size()) clear();
  }
  void clear() {
    v_.clear();
    head_ = 0;
  }
  // Places [first, last) before the current elements.
  void prepend(const T* first, const T* last) {
    const auto n = static_cast<std::size_t>(last - first);
    if (n > head_) {
      const std::size_t room = n + size();  // doubles on repeated growth
      std::vector<T> grown;
      grown.reserve(room + size());
      grown.resize(room);
      grown.insert(grown.end(), begin(), end());
      v_ = std::move(grown);
      head_ = room;
    }
    head_ -= n;
    std::copy(first, last, v_.begin() + static_cast<std::ptrdiff_t>(head_));
  }

 private:
  std::vector<T> v_;
  std::size_t head_ = 0;
};

// Line breaks seen after `pops` entry entries were popped.
struct Run {
  std::uint64_t pops;
  std::uint64_t count;
};

struct Summary {
  Len fixed;
  std::uint64_t pops = 0;
  Seq<Run> breaks;          // stored pops + `shift` = real pops, nondecreasing
  std::uint64_t shift = 0;  // wraps; applied lazily so moved runs are not rewritten
  Seq<Len> left;            // prefixes left pushed, bottom first
  Wide left_bytes = 0, left_chars = 0;

  void add_break(std::uint64_t at, std::uint64_t count) {
    if (!breaks.empty() && breaks.back().pops + shift == at) {
      breaks.back().count = sat_add(breaks.back().count, count);
    } else {
      breaks.push_back({at - shift, count});
    }
  }
  void push(Len l) {
    left.push_back(l);
    left_bytes += l.bytes;
    left_chars += l.chars;
  }
  void pop() {
    left_bytes -= left.back().bytes;
    left_chars -= left.back().chars;
    left.pop_back();
  }

  // Applies the summary of a child rendered at this point. `c` is consumed
  // when `owned` (the child's last use), so its sequences can be taken over.
  void apply(Summary& c, bool owned);
};

void Summary::apply(Summary& c, bool owned) {
  fixed.add(c.fixed);
  const std::size_t mine = left.size();
  // Breaks inside the child before it popped all of this node's own entries
  // see some of them: resolve that part now; they see this node's entry
  // stack as it is now.
  std::uint64_t resolved = 0;
  std::size_t popped = 0, i = 0;
  const Run* runs = c.breaks.begin();
  const std::size_t nruns = c.breaks.size();
  for (; i < nruns; ++i) {
    const std::uint64_t at = runs[i].pops + c.shift;
    if (at >= mine) break;
    for (; popped < at; ++popped) pop();
    fixed.add_times(runs[i].count, left_bytes, left_chars);
    resolved = sat_add(resolved, runs[i].count);
  }
  if (resolved) add_break(pops, resolved);
  const std::uint64_t want = c.pops < mine ? c.pops : mine;
  for (; popped < want; ++popped) pop();
  // The rest saw none of this node's own entries: entry pops shift by ours.
  const std::uint64_t delta = pops - mine;
  pops = sat_add(pops, c.pops - want);
  if (owned && nruns - i > breaks.size()) {
    for (std::size_t k = 0; k < i; ++k) c.breaks.pop_front();
    const std::uint64_t new_shift = c.shift + delta;
    std::vector<Run> mine_runs;
    mine_runs.reserve(breaks.size());
    for (const Run& r : breaks) mine_runs.push_back({r.pops + shift - new_shift, r.count});
    c.breaks.prepend(mine_runs.data(), mine_runs.data() + mine_runs.size());
    breaks = std::move(c.breaks);
    shift = new_shift;
  } else {
    for (; i < nruns; ++i) add_break(runs[i].pops + c.shift + delta, runs[i].count);
  }
  // The child's pushed prefixes stay on top of ours.
  if (owned && c.left.size() > left.size()) {
    c.left.prepend(left.begin(), left.end());
    left = std::move(c.left);
  } else {
    for (const Len& l : c.left) left.push_back(l);
  }
  left_bytes += c.left_bytes;
  left_chars += c.left_chars;
}

[[noreturn]] void hole_without_child(const KTerm& n) {
  throw Panic("rendered_size", "HOLE with no child left: Tuple '" + std::string(n.tag()) + "' has " +
                                   std::to_string(n.children().size()) + " children and more HOLEs");
}

// Steps over `n`'s commands to its next HOLE and returns the child rendered
// there (nullptr at the end); `next` counts the Tuple children used so far.
const KTerm* next_hole(const KTerm& n, CmdCursor& cur, std::size_t& next) {
  while (!cur.done()) {
    if (!cur.next().hole) continue;
    const auto kids = n.children();
    if (n.variant() != KTerm::Variant::Tuple) return kids[0];
    if (next >= kids.size()) hole_without_child(n);
    return kids[next++];
  }
  return nullptr;
}

bool is_leaf(const KTerm& n) { return n.variant() == KTerm::Variant::Tuple && n.children().empty(); }

class Measurer {
 public:
  RenderedSize run(const KTerm& root) {
    order(root);
    for (const KTerm* n : post_) {
      Summary s = summarize(*n);
      summaries_.emplace(n, std::move(s));
    }
    const Summary& top = summaries_.at(&root);
    return {top.fixed.bytes, top.fixed.chars};
  }

 private:
  // Lists the distinct non-leaf nodes that get rendered, children first, and
  // counts how often each is rendered by a distinct parent.
  void order(const KTerm& root) {
    struct Frame {
      const KTerm* node;
      CmdCursor cur;
      std::size_t next;
    };
    std::vector<Frame> stack{{&root, root.cmds(), 0}};
    uses_[&root] = 1;
    while (!stack.empty()) {
      Frame& f = stack.back();
      if (const KTerm* k = next_hole(*f.node, f.cur, f.next)) {
        if (!is_leaf(*k) && uses_[k]++ == 0) stack.push_back({k, k->cmds(), 0});
        continue;
      }
      post_.push_back(f.node);
      stack.pop_back();
    }
  }

  Summary summarize(const KTerm& n) {
    Summary s;
    const auto kids = n.children();
    std::size_t next = 0;
    for (CmdCursor cur = n.cmds(); !cur.done();) {
      const CmdView v = cur.next();
      if (v.hole) {
        if (n.variant() == KTerm::Variant::Tuple && next >= kids.size()) hole_without_child(n);
        const KTerm& k = n.variant() == KTerm::Variant::Tuple ? *kids[next++] : *kids[0];
        if (is_leaf(k)) {
          Summary leaf = summarize(k);
          s.apply(leaf, true);
        } else {
          auto it = summaries_.find(&k);
          const bool last = --uses_.at(&k) == 0;
          s.apply(it->second, last);
          if (last) summaries_.erase(it);
        }
        continue;
      }
      switch (v.kind) {
        case StrCmd::Kind::Write: s.fixed.add({v.text.size(), code_points(v.text)}); break;
        case StrCmd::Kind::NL:
          s.fixed.add({1, 1});
          s.fixed.add_times(1, s.left_bytes, s.left_chars);
          s.add_break(s.pops, 1);
          break;
        case StrCmd::Kind::Push: s.push({v.text.size(), code_points(v.text)}); break;
        case StrCmd::Kind::Pop:
          if (s.left.empty()) {
            s.pops = sat_add(s.pops, 1);
          } else {
            s.pop();
          }
          break;
      }
    }
    return s;
  }

  std::vector<const KTerm*> post_;
  std::unordered_map<const KTerm*, std::uint64_t> uses_;
  std::unordered_map<const KTerm*, Summary> summaries_;
};

}  // namespace

RenderedSize rendered_size(const KTerm& t) { return Measurer().run(t); }

}  // namespace kovel
