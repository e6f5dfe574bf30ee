#include "postcard.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "varint.h"

namespace kovel {

using detail::append_varint;
using detail::get_varint;

std::string_view message(DecodeError e) {
  switch (e) {
    case DecodeError::EndOfInput: return "Hit the end of buffer, expected more data";
    case DecodeError::Varint:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case DecodeError::Utf8: return "Tried to parse invalid utf-8";
    case DecodeError::Option: return "Found an Option discriminant that wasn't 0 or 1";
    case DecodeError::Variant: return "Serde Deserialization Error";
  }
  return "Serde Deserialization Error";
}

// --- Encoding ---
//
// A node's bytes already hold its language, commands and range in wire form,
// and an interned tag keeps its wire form too, so encoding a node is its
// variant, a copy of its head, its children (walked with an explicit stack)
// and a copy of its tail. Each node's head is written with one bounds check.

namespace {

char* put(char* d, std::string_view s) {
  std::memcpy(d, s.data(), s.size());
  return d + s.size();
}

char* put_varint(char* d, std::uint64_t v) {
  return reinterpret_cast<char*>(detail::put_varint(reinterpret_cast<std::uint8_t*>(d), v));
}

// Node bytes, followed by 16 readable bytes (see pool.h).
void put_node_bytes(TextBuffer& out, const std::uint8_t* p, std::size_t n) {
  out.append_padded({reinterpret_cast<const char*>(p), n});
}

// A leaf whole: a Tuple with no children and one Write.
void put_leaf(const KTerm& n, TextBuffer& out) {
  const std::string_view tag = n.encoded_tag();
  const std::string_view text = n.leaf_text();
  char* d = out.room(1 + tag.size() + 4 + 10);
  *d++ = static_cast<char>(KTerm::Variant::Tuple);
  d = put(d, tag);
  std::memcpy(d, "\x00\x01\x00\x00", 4);  // no children; one command: Write
  out.commit(put_varint(d + 4, text.size()));
  put_node_bytes(out, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Writes everything of `n` that comes before its children.
void open_node(const KTerm& n, TextBuffer& out) {
  const std::string_view tag = n.encoded_tag();
  if (!n.is_quote_like()) {
    char* d = out.room(1 + tag.size() + 10);
    *d++ = static_cast<char>(KTerm::Variant::Tuple);
    out.commit(put_varint(put(d, tag), n.child_count()));
    return;
  }
  // A quote: its language follows the tag (when inline) in its bytes.
  const std::uint8_t* b = n.bytes();
  const std::size_t head = n.cmds_offset();
  const std::size_t tag_in_bytes = n.has_inline_tag() ? tag.size() : 0;
  char* d = out.room(2 + tag.size());
  *d++ = static_cast<char>(n.variant());
  d = put(d, tag);
  *d++ = static_cast<char>(n.index());
  out.commit(d);
  out.append({reinterpret_cast<const char*>(b) + tag_in_bytes, head - tag_in_bytes});
}

void close_node(const KTerm& n, TextBuffer& out) {
  const std::size_t head = n.cmds_offset();
  put_node_bytes(out, n.bytes() + head, static_cast<std::size_t>(n.byte_count()) - head);
}

void encode_into(const KTerm& root, TextBuffer& out, const StopCheck* stop) {
  Pacer pace(stop);
  struct Frame {
    const KTerm* node;
    std::size_t next_child;
  };
  if (root.is_leaf()) {
    put_leaf(root, out);
    return;
  }
  std::vector<Frame> stack;
  open_node(root, out);
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& f = stack.back();
    auto kids = f.node->children();
    if (f.next_child < kids.size()) {
      const KTerm* kid = kids[f.next_child++];
      pace.tick_bytes(kid->byte_count());
      if (kid->is_leaf()) {
        put_leaf(*kid, out);
        continue;
      }
      open_node(*kid, out);
      stack.push_back({kid, 0});
      continue;
    }
    close_node(*f.node, out);
    stack.pop_back();
  }
}

}  // namespace

void encode_term(const KTerm& root, TextBuffer& out, const StopCheck* stop) {
  // All or nothing: a failure (bad_alloc) takes back what was appended.
  const std::size_t size = out.size();
  try {
    encode_into(root, out, stop);
  } catch (...) {
    out.resize(size);
    throw;
  }
}

void encode_term(const KTerm& root, std::string& out, const StopCheck* stop) {
  TextBuffer buf;
  encode_into(root, buf, stop);
  out.append(buf.view());  // all or nothing as well
}

std::string encode_term(const KTerm& t, const StopCheck* stop) {
  std::string out;
  encode_term(t, out, stop);
  return out;
}

// --- Decoding ---

namespace {

class Reader {
 public:
  Reader(const std::uint8_t* p, const std::uint8_t* end) : p_(p), end_(end) {}

  std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
  DecodeError error() const { return error_; }

  bool fail(DecodeError e) {
    error_ = e;
    return false;
  }

  bool byte(std::uint8_t& b) {
    if (p_ == end_) return fail(DecodeError::EndOfInput);
    b = *p_++;
    return true;
  }

  // At most 10 bytes; the tenth may only carry the top bit.
  bool varint64(std::uint64_t& v) {
    v = 0;
    for (unsigned i = 0; i < 10; ++i) {
      std::uint8_t b;
      if (!byte(b)) return false;
      if (i == 9) {
        if (b > 1) return fail(DecodeError::Varint);
        v |= static_cast<std::uint64_t>(b) << 63;
        return true;
      }
      v |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return true;
    }
    return true;  // unreachable
  }

  // At most 5 bytes; the fifth may only carry the top four bits.
  bool varint32(std::uint32_t& v) {
    v = 0;
    for (unsigned i = 0; i < 5; ++i) {
      std::uint8_t b;
      if (!byte(b)) return false;
      if (i == 4) {
        if (b > 0x0F) return fail(DecodeError::Varint);
        v |= static_cast<std::uint32_t>(b) << 28;
        return true;
      }
      v |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return true;
    }
    return true;  // unreachable
  }

  // The length is checked against the input before anything is looked at.
  bool raw_text(std::string_view& s) {
    std::uint64_t n;
    if (p_ != end_ && *p_ < 0x80) {  // the usual one-byte length
      n = *p_++;
    } else if (!varint64(n)) {
      return false;
    }
    if (n > left()) return fail(DecodeError::EndOfInput);
    s = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(n));
    p_ += n;
    return true;
  }

  // The commands of the usual leaf: one Write of a text shorter than 128
  // bytes, in shortest form. Reads them and gives the text, or reads nothing.
  bool plain_leaf(std::string_view& text) {
    if (left() < 4 || p_[0] != 1 || p_[1] != 0 || p_[2] != 0 || p_[3] >= 0x80 || p_[3] > left() - 4)
      return false;
    text = std::string_view(reinterpret_cast<const char*>(p_ + 4), p_[3]);
    if (!utf8(text)) return false;  // read again, and failed, by the general path
    p_ += 4 + text.size();
    return true;
  }

  bool text(std::string_view& s) {
    if (!raw_text(s)) return false;
    return utf8(s) || fail(DecodeError::Utf8);
  }

  // A tag, and its interned number when it has one (tags::kInline if not).
  bool tag(std::string_view& s, std::uint32_t& id) {
    if (!raw_text(s)) return false;
    if (memo_.find(s, id)) return true;  // seen, so valid
    if (!utf8(s)) return fail(DecodeError::Utf8);
    id = memo_.intern(s);
    return true;
  }

  // Reads a command list; `out` receives it in the node's (shortest) form. An
  // input already in that form, the usual case, is used in place; otherwise
  // the list is read again and rewritten into `scratch`.
  bool cmds(std::string& scratch, std::string_view& out, std::uint64_t& count) {
    if (!varint64(count)) return false;
    const std::uint8_t* start = p_;
    if (plain_cmds(count)) {
      out = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
      return true;
    }
    bool shortest = true;
    if (!read_cmds(count, nullptr, shortest)) return false;
    if (shortest) {
      out = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
      return true;
    }
    p_ = start;
    scratch.clear();
    if (!read_cmds(count, &scratch, shortest)) return false;
    out = scratch;
    return true;
  }

  bool at(std::optional<Range>& at) {
    std::uint8_t present;
    if (!byte(present)) return false;
    if (present == 0) {
      at.reset();
      return true;
    }
    if (present != 1) return fail(DecodeError::Option);
    Range r;
    if (!varint64(r.start) || !varint64(r.end)) return false;
    at = r;
    return true;
  }

 private:
  // The usual command list: every command in shortest form, every text
  // shorter than 128 bytes and valid. Reads it, or reads nothing (and the
  // list is read again, and any fault found, by read_cmds).
  bool plain_cmds(std::uint64_t count) {
    const std::uint8_t* q = p_;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (q == end_) return false;
      if (*q == kHoleTag) {
        ++q;
        continue;
      }
      if (*q != kCmdTag || end_ - q < 2 || q[1] > 3) return false;
      if (q[1] & 1) {  // NL, Pop
        q += 2;
        continue;
      }
      if (end_ - q < 3 || q[2] >= 0x80 || q[2] > end_ - q - 3) return false;
      if (!utf8({reinterpret_cast<const char*>(q + 3), q[2]})) return false;
      q += 3 + q[2];
    }
    p_ = q;
    return true;
  }

  // Validates `count` commands, clearing `shortest` on any longer-than-needed
  // varint, and appends them in shortest form to `out` when given.
  bool read_cmds(std::uint64_t count, std::string* out, bool& shortest) {
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint8_t* before = p_;
      std::uint32_t tag;
      if (!varint32(tag)) return false;
      if (tag > kHoleTag) return fail(DecodeError::Variant);
      if (tag == kHoleTag) {
        if (out) out->push_back(static_cast<char>(kHoleTag));
        shortest &= p_ - before == 1;
        continue;
      }
      std::uint32_t kind;
      if (!varint32(kind)) return false;
      if (kind > 3) return fail(DecodeError::Variant);
      shortest &= p_ - before == 2;
      if (out) {
        out->push_back(static_cast<char>(kCmdTag));
        out->push_back(static_cast<char>(kind));
      }
      if (kind == 0 || kind == 2) {
        const std::uint8_t* len_at = p_;
        std::string_view s;
        if (!text(s)) return false;
        shortest &= static_cast<std::size_t>(p_ - len_at) == detail::varint_size(s.size()) + s.size();
        if (out) {
          append_varint(*out, s.size());
          out->append(s);
        }
      }
    }
    return true;
  }

  // Short ASCII texts, the usual case, are checked inline.
  static bool utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    if (s.size() <= 16) {
      std::uint8_t any = 0;
      for (std::size_t i = 0; i < s.size(); ++i) any |= p[i];
      if (any < 0x80) return true;
    }
    return detail::valid_utf8(p, s.size());
  }

  // The tags met lately, by their first bytes and length: a stream repeats a
  // few hundred tags, so most are found here without hashing or checking.
  class TagMemo {
   public:
    bool find(std::string_view s, std::uint32_t& id) const {
      const Slot& m = slots_[slot(s)];
      if (m.size != s.size() || s.size() > kShort || !same(std::string_view(m.text, s.size()), s))
        return false;
      id = m.id;
      return true;
    }
    std::uint32_t intern(std::string_view s) {
      const std::uint32_t id = tags::intern(s);
      if (id != tags::kInline && s.size() <= kShort) {
        Slot& m = slots_[slot(s)];
        m.size = static_cast<std::uint32_t>(s.size());
        m.id = id;
        std::memcpy(m.text, s.data(), s.size());
      }
      return id;
    }

   private:
    static constexpr std::size_t kShort = 24;
    // The text is kept here, so that a hit reads nothing else.
    struct Slot {
      std::uint32_t size = ~0u;
      std::uint32_t id = 0;
      char text[kShort];
    };
    // From the length and three bytes: cheap, and enough to tell apart the
    // tags of a grammar (a collision only costs a lookup in the table).
    static std::size_t slot(std::string_view s) {
      const std::size_t n = s.size();
      if (n == 0) return 0;
      const auto b = [&](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(s[i]));
      };
      const std::uint64_t k = n | b(0) << 8 | b(n / 2) << 16 | b(n - 1) << 24;
      return static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ULL) >> 56);
    }
    // Short texts compared word by word, without a call.
    static bool same(std::string_view a, std::string_view b) {
      const std::size_t n = a.size();
      if (n != b.size()) return false;
      if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
      auto word = [](const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
      };
      auto half = [](const char* p) {
        std::uint32_t w;
        std::memcpy(&w, p, 4);
        return w;
      };
      if (n >= 8) return word(a.data()) == word(b.data()) && word(a.data() + n - 8) == word(b.data() + n - 8);
      if (n >= 4) return half(a.data()) == half(b.data()) && half(a.data() + n - 4) == half(b.data() + n - 4);
      for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
      return true;
    }
    Slot slots_[256];
  };

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  DecodeError error_ = DecodeError::EndOfInput;
  TagMemo memo_;
};

// A node whose children are still being read.
struct Pending {
  KTerm::Variant variant;
  std::uint8_t index;
  std::uint32_t tag_id;
  std::string_view tag;
  std::string_view lang;
  std::uint64_t nkids;    // expected children
  std::size_t kids_base;  // where its children start on the value stack
};

// Room reserved for a list before its first element arrives: never more than
// the input could hold, and never more than 1 MiB up front.
std::size_t reservation(std::uint64_t count, std::size_t bytes_left, std::size_t elem_size) {
  if (count > bytes_left) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, (std::size_t{1} << 20) / elem_size));
}

}  // namespace

DecodeResult decode_term(std::span<const std::uint8_t> data, const StopCheck* stop) {
  Pacer pace(stop);
  Reader r(data.data(), data.data() + data.size());
  std::vector<Pending> open;
  std::vector<KRef> values;  // finished children of the open nodes
  std::string cmd_bytes;
  DecodeResult result;
  pool::ThreadCache* const tc = pool::here();

  // Reads a node's commands (and range) and makes it from `p` and the
  // children on top of the value stack.
  auto finish = [&](const Pending& p) -> bool {
    std::uint64_t ncmds;
    std::string_view cmds;
    std::optional<Range> at;
    if (!r.cmds(cmd_bytes, cmds, ncmds) || (p.variant != KTerm::Variant::Tuple && !r.at(at))) return false;
    pace.tick_bytes(cmds.size());
    std::span<KRef> kids(values.data() + p.kids_base, values.size() - p.kids_base);
    KNode node =
        KTerm::assemble_interned(p.variant, p.index, p.tag_id, p.tag, p.lang, kids, ncmds, cmds, at, tc);
    values.resize(p.kids_base);
    values.push_back(std::move(node).share());
    return true;
  };

  // Reads a node's fields up to its children. A node without children (a
  // leaf, most of them) is made at once; any other is left open.
  auto begin = [&]() -> bool {
    std::uint32_t variant;
    if (!r.varint32(variant)) return false;
    if (variant > 2) return r.fail(DecodeError::Variant);
    std::string_view tag;
    std::uint32_t tag_id;
    if (!r.tag(tag, tag_id)) return false;
    std::uint64_t nkids = 1;
    if (variant == static_cast<std::uint32_t>(KTerm::Variant::Tuple)) {
      if (!r.varint64(nkids)) return false;
      std::string_view text;
      if (nkids == 0 && tag_id != tags::kInline && r.plain_leaf(text)) {
        pace.tick_bytes(text.size());
        values.push_back(KTerm::make_leaf(tag_id, text, tc).share());
        return true;
      }
    }
    Pending& p = open.emplace_back();
    p.variant = static_cast<KTerm::Variant>(variant);
    p.index = 0;
    p.tag_id = tag_id;
    p.tag = tag;
    p.nkids = nkids;
    p.kids_base = values.size();
    if (p.variant != KTerm::Variant::Tuple) return r.byte(p.index) && r.text(p.lang);
    const std::size_t want = values.size() + reservation(nkids, r.left(), sizeof(KRef));
    if (want > values.capacity()) values.reserve(std::max(want, 2 * values.capacity()));
    return true;
  };

  if (!begin()) {
    result.error = r.error();
    return result;
  }
  while (!open.empty()) {
    const Pending& p = open.back();
    if (values.size() - p.kids_base < p.nkids) {
      if (!begin()) {
        result.error = r.error();
        return result;
      }
      continue;
    }
    if (!finish(p)) {
      result.error = r.error();
      return result;
    }
    open.pop_back();
  }
  result.term = std::move(values.back());
  return result;
}

}  // namespace kovel
