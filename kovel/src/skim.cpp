#include "skim.h"

#include <limits>

namespace kovel {

namespace {

constexpr std::uint64_t kTuple = 2, kCmd = 0, kHole = 1, kWrite = 0, kNl = 1;
constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();

// Bounds-checked reads; a read past the end or a malformed varint sets `bad`
// and yields 0 from then on.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> d)
      : p_(d.data()), begin_(d.data()), end_(d.data() + d.size()) {}

  bool bad() const { return bad_; }
  std::uint32_t at() const { return static_cast<std::uint32_t>(p_ - begin_); }
  void seek(std::uint32_t at) { p_ = begin_ + at; }

  std::uint64_t varint() {
    if (p_ != end_ && *p_ < 0x80) return *p_++;  // the usual one-byte form
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 10; ++i) {
      if (p_ == end_) return fail();
      const std::uint8_t b = *p_++;
      if (i == 9) return b > 1 ? fail() : v | std::uint64_t{b} << 63;
      v |= std::uint64_t{b & 0x7Fu} << (7 * i);
      if (!(b & 0x80)) return v;
    }
    return v;
  }

  // Passes over a text; gives its length.
  std::uint64_t text() {
    const std::uint64_t n = varint();
    if (n > static_cast<std::uint64_t>(end_ - p_)) return fail();
    p_ += n;
    return n;
  }

  std::string_view text_view() {
    const std::uint64_t n = varint();
    if (bad_ || n > static_cast<std::uint64_t>(end_ - p_)) return {};
    const auto* s = reinterpret_cast<const char*>(p_);
    p_ += n;
    return {s, static_cast<std::size_t>(n)};
  }

 private:
  std::uint64_t fail() {
    bad_ = true;
    p_ = end_;
    return 0;
  }

  const std::uint8_t* p_;
  const std::uint8_t* begin_;
  const std::uint8_t* end_;
  bool bad_ = false;
};

struct Open {
  std::size_t index;  // its node
  std::uint64_t children;
  std::uint64_t left;  // children still to read
  std::uint64_t kids;  // its children's text, so far
};

}  // namespace

std::vector<SkimNode> skim_term(std::span<const std::uint8_t> data) {
  std::vector<SkimNode> nodes;
  if (data.size() >= kLimit) return nodes;
  Cursor c(data);
  std::vector<Open> open;
  // Reads a node up to its children; false when it is not a Tuple.
  const auto begin = [&] {
    const std::uint32_t at = c.at();
    if (c.varint() != kTuple) return false;
    c.text();
    const std::uint64_t kids = c.varint();
    if (c.bad() || kids > data.size()) return false;
    nodes.push_back(SkimNode{at, 0, 0, 0, 0});
    open.push_back(Open{nodes.size() - 1, kids, kids, 0});
    return true;
  };
  if (!begin()) return {};
  while (!open.empty()) {
    Open& o = open.back();
    if (o.left > 0) {
      --o.left;
      if (!begin()) return {};
      continue;
    }
    SkimNode& n = nodes[o.index];
    n.cmds = c.at();
    std::uint64_t count = c.varint();
    std::uint64_t length = o.kids, holes = 0;
    for (; count > 0 && !c.bad(); --count) {
      const std::uint64_t which = c.varint();
      if (which == kHole) {
        ++holes;
      } else if (which != kCmd) {
        return {};
      } else if (const std::uint64_t op = c.varint(); op == kWrite) {
        length += c.text();
      } else if (op == kNl) {
        ++length;
      } else {
        return {};  // a prefix, or no command at all
      }
      if (length >= kLimit) return {};
    }
    if (c.bad() || holes != o.children) return {};
    n.end = c.at();
    n.next = static_cast<std::uint32_t>(nodes.size());
    n.length = static_cast<std::uint32_t>(length);
    open.pop_back();
    if (!open.empty()) open.back().kids += length;
  }
  return nodes;
}

std::string_view tag_at(std::span<const std::uint8_t> data, std::uint32_t begin) {
  if (begin >= data.size()) return {};
  Cursor c(data);
  c.seek(begin);
  c.varint();
  return c.text_view();
}

void skim_children(std::span<const std::uint8_t> data, std::span<const SkimNode> nodes, std::size_t i,
                   std::uint64_t start, std::vector<std::pair<std::size_t, std::uint64_t>>& out) {
  out.clear();
  Cursor c(data);
  c.seek(nodes[i].cmds);
  std::size_t kid = i + 1;
  std::uint64_t at = start;
  for (std::uint64_t count = c.varint(); count > 0 && !c.bad(); --count) {
    if (c.varint() == kHole) {
      out.emplace_back(kid, at);
      at += nodes[kid].length;
      kid = nodes[kid].next;
    } else if (c.varint() == kWrite) {
      at += c.text();
    } else {
      ++at;  // a line feed: skim_term let no other command through
    }
  }
}

std::vector<OutlineNode> outline_term(std::span<const std::uint8_t> data, std::span<const SkimNode> nodes,
                                      std::uint32_t min_length) {
  std::vector<OutlineNode> out;
  if (nodes.empty()) return out;
  // Per listed node being filled: where it is in `out`, its children to list, the next of them.
  struct Open {
    std::size_t at;
    std::vector<std::pair<std::size_t, std::uint64_t>> kids;
    std::size_t next = 0;
  };
  std::vector<Open> open;
  const auto add = [&](std::size_t i, std::uint64_t start, std::size_t ordinal) {
    const SkimNode& n = nodes[i];
    out.push_back(OutlineNode{n.begin, n.end, static_cast<std::uint32_t>(start), n.length,
                              static_cast<std::uint32_t>(out.size() + 1),
                              static_cast<std::uint32_t>(ordinal)});
    if (n.length >= min_length && n.next > i + 1) {
      open.push_back(Open{out.size() - 1, {}, 0});
      skim_children(data, nodes, i, start, open.back().kids);
    }
  };
  add(0, 0, 0);
  while (!open.empty()) {
    Open& o = open.back();
    if (o.next == o.kids.size()) {
      out[o.at].next = static_cast<std::uint32_t>(out.size());
      open.pop_back();
      continue;
    }
    const std::size_t ordinal = o.next++;
    const auto [kid, start] = o.kids[ordinal];
    add(kid, start, ordinal);  // (may invalidate `o`)
  }
  return out;
}

namespace {

constexpr std::size_t kOutlineFields = 6, kOutlineEntry = 4 * kOutlineFields;

void put_u32(std::string& out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

std::uint32_t get_u32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

std::string outline_bytes(std::span<const OutlineNode> outline) {
  std::string out;
  out.reserve(outline.size() * kOutlineEntry);
  for (const OutlineNode& n : outline)
    for (const std::uint32_t v : {n.begin, n.end, n.start, n.length, n.next, n.ordinal}) put_u32(out, v);
  return out;
}

std::vector<OutlineNode> read_outline(std::span<const std::uint8_t> bytes, std::uint64_t data_size,
                                      std::uint64_t text_size) {
  std::vector<OutlineNode> out;
  if (bytes.empty() || bytes.size() % kOutlineEntry != 0) return out;
  const std::size_t count = bytes.size() / kOutlineEntry;
  out.reserve(count);
  // The ends of the subtrees the node being read lies in: each must nest in the one before.
  std::vector<std::uint64_t> ends;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = bytes.data() + i * kOutlineEntry;
    const OutlineNode n{get_u32(p),      get_u32(p + 4),  get_u32(p + 8),
                        get_u32(p + 12), get_u32(p + 16), get_u32(p + 20)};
    while (!ends.empty() && ends.back() == i) ends.pop_back();
    const bool fits = n.begin < n.end && n.end <= data_size &&
                      std::uint64_t{n.start} + n.length <= text_size && n.next > i && n.next <= count &&
                      (ends.empty() ? i == 0 : n.next <= ends.back());
    if (!fits) return {};
    ends.push_back(n.next);
    out.push_back(n);
  }
  if (out[0].start != 0 || out[0].length != text_size || out[0].next != count) return {};
  return out;
}

}  // namespace kovel
