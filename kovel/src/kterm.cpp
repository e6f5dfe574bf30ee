#include "kterm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "pool.h"
#include "varint.h"

namespace kovel {

using detail::get_varint;
using detail::put_varint;
using detail::varint_size;

namespace {

bool has_text(StrCmd::Kind k) { return k == StrCmd::Kind::Write || k == StrCmd::Kind::Push; }

std::uint8_t* put_bytes(std::uint8_t* p, std::string_view s) {
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

std::size_t text_size(std::string_view s) { return varint_size(s.size()) + s.size(); }

std::uint8_t* put_text(std::uint8_t* p, std::string_view s) { return put_bytes(put_varint(p, s.size()), s); }

std::size_t at_size(const std::optional<Range>& at) {
  return at ? 1 + varint_size(at->start) + varint_size(at->end) : 1;
}

std::uint8_t* put_at(std::uint8_t* p, const std::optional<Range>& at) {
  if (!at) {
    *p++ = 0;
    return p;
  }
  *p++ = 1;
  return put_varint(put_varint(p, at->start), at->end);
}

// Encodes a command list (without its count) into a string.
std::string encode_cmds(std::span<const CmdOrHole> cmds) {
  std::size_t n = 0;
  for (const auto& c : cmds) n += c.hole ? 1 : 2 + (has_text(c.cmd.kind) ? text_size(c.cmd.text) : 0);
  std::string out(n, '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(out.data());
  for (const auto& c : cmds) {
    if (c.hole) {
      *p++ = kHoleTag;
      continue;
    }
    *p++ = kCmdTag;
    *p++ = static_cast<std::uint8_t>(c.cmd.kind);
    if (has_text(c.cmd.kind)) p = put_text(p, c.cmd.text);
  }
  return out;
}

std::string_view read_text(const std::uint8_t*& p) {
  std::uint64_t n = get_varint(p);
  std::string_view s(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
  p += n;
  return s;
}

// Makes room for `extra` more bytes (growing geometrically), so the appends
// that follow cannot fail: a command is appended whole or not at all.
void make_room(std::string& s, std::size_t extra) {
  if (extra > s.max_size() - s.size()) throw std::length_error("command list too long");
  if (s.size() + extra > s.capacity()) s.reserve(std::max(s.size() + extra, 2 * s.capacity()));
}
void append_cmd(std::string& cmds, StrCmd::Kind kind) {
  make_room(cmds, 2);
  cmds.push_back(static_cast<char>(kCmdTag));
  cmds.push_back(static_cast<char>(kind));
}
void append_cmd(std::string& cmds, StrCmd::Kind kind, std::string_view s) {
  std::uint8_t head[12] = {kCmdTag, static_cast<std::uint8_t>(kind)};
  std::uint8_t* end = put_varint(head + 2, s.size());
  const auto head_size = static_cast<std::size_t>(end - head);
  if (s.size() > cmds.max_size() - head_size) throw std::length_error("command too long");
  make_room(cmds, head_size + s.size());
  cmds.append(reinterpret_cast<const char*>(head), head_size);
  cmds.append(s);
}

}  // namespace

CmdView CmdCursor::next() {
  CmdView v;
  --left_;
  if (leaf_size_ != kNotLeaf) {
    v.kind = StrCmd::Kind::Write;
    v.text = std::string_view(reinterpret_cast<const char*>(pos_), static_cast<std::size_t>(leaf_size_));
    return v;
  }
  if (*pos_++ == kHoleTag) {
    v.hole = true;
    return v;
  }
  v.kind = static_cast<StrCmd::Kind>(*pos_++);
  if (has_text(v.kind)) v.text = read_text(pos_);
  return v;
}

KTerm::KTerm(std::uint8_t kind, std::uint32_t tag, std::uint8_t index, std::uint64_t nkids,
             std::uint64_t nbytes)
    : rc_(1), tag_(tag), kind_(kind), index_(index) {
  if (kind & kBig) {
    nkids_ = 0xFFFF;
    nbytes_ = 0xFFFFFFFF;
    new (this + 1) Big{nkids, nbytes};
  } else {
    nkids_ = static_cast<std::uint16_t>(nkids);
    nbytes_ = static_cast<std::uint32_t>(nbytes);
  }
}

KTerm* KTerm::allocate(std::uint8_t kind, std::uint32_t tag, std::uint8_t index, std::size_t nkids,
                       std::size_t nbytes, pool::ThreadCache* tc) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max() / 2;
  if (nkids > kMax / sizeof(KTerm*) || nbytes > kMax - nkids * sizeof(KTerm*)) throw std::bad_alloc();
  if (nkids >= 0xFFFF || nbytes >= 0xFFFFFFFF) kind |= kBig;
  void* m = pool::allocate(block_size(kind & kBig, nkids, nbytes), tc);
  return new (m) KTerm(kind, tag, index, nkids, nbytes);
}

KNode KTerm::assemble(Variant v, std::uint8_t index, std::string_view tag, std::string_view lang,
                      std::span<KRef> kids, std::uint64_t ncmds, std::string_view cmd_bytes,
                      std::optional<Range> at) {
  return assemble_interned(v, index, tags::intern(tag), tag, lang, kids, ncmds, cmd_bytes, at);
}

KNode KTerm::assemble_interned(Variant v, std::uint8_t index, std::uint32_t id, std::string_view tag,
                               std::string_view lang, std::span<KRef> kids, std::uint64_t ncmds,
                               std::string_view cmd_bytes, std::optional<Range> at, pool::ThreadCache* tc) {
  const bool quote_like = v != Variant::Tuple;
  const auto* cb = reinterpret_cast<const std::uint8_t*>(cmd_bytes.data());
  // A leaf keeps only its text: the node's most common shape, rendered
  // without reading a command.
  if (!quote_like && kids.empty() && ncmds == 1 && id != tags::kInline && cb[0] == kCmdTag &&
      cb[1] == static_cast<std::uint8_t>(StrCmd::Kind::Write)) {
    const std::uint8_t* p = cb + 2;
    return make_leaf(id, read_text(p), tc);
  }
  std::size_t nbytes = varint_size(ncmds) + cmd_bytes.size();
  if (id == tags::kInline) nbytes += text_size(tag);
  if (quote_like) nbytes += text_size(lang) + at_size(at);
  KTerm* n = allocate(static_cast<std::uint8_t>(v), id, quote_like ? index : 0, kids.size(), nbytes, tc);
  const KTerm** k = n->kids();
  for (auto& r : kids) *k++ = r.detach();
  std::uint8_t* p = n->bytes();
  if (id == tags::kInline) p = put_text(p, tag);
  if (quote_like) p = put_text(p, lang);
  p = put_bytes(put_varint(p, ncmds), cmd_bytes);
  if (quote_like) put_at(p, at);
  return KNode(n);
}

KNode KTerm::make_leaf(std::uint32_t tag_id, std::string_view text, pool::ThreadCache* tc) {
  KTerm* n = allocate(static_cast<std::uint8_t>(Variant::Tuple) | kLeaf, tag_id, 0, 0, text.size(), tc);
  put_bytes(n->bytes(), text);
  return KNode(n);
}

namespace {

// Dead nodes are chained through their first eight bytes (the count and the
// tag, no longer needed), so freeing a subgraph of any depth needs neither
// recursion nor allocation.
void link(KTerm* n, KTerm* next) { std::memcpy(static_cast<void*>(n), &next, sizeof next); }
KTerm* next_of(const KTerm* n) {
  KTerm* next;
  std::memcpy(&next, static_cast<const void*>(n), sizeof next);
  return next;
}

}  // namespace

KTerm* KTerm::drop() const {
  if (rc_.load(std::memory_order_acquire) != 1 && rc_.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return nullptr;
  auto* head = const_cast<KTerm*>(this);
  link(head, nullptr);
  return head;
}

KTerm* KTerm::free_some(KTerm* dead, std::size_t budget) noexcept {
  pool::ThreadCache* const tc = pool::here();
  KTerm* head = dead;
  for (; head && budget; --budget) {
    KTerm* n = head;
    head = next_of(n);
    for (const KTerm* kid : n->children()) {
      // The last reference needs no atomic decrement: no other thread holds
      // one to take or drop meanwhile (most nodes of a dying term are so).
      if (kid->rc_.load(std::memory_order_acquire) == 1 ||
          kid->rc_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        auto* gone = const_cast<KTerm*>(kid);
        link(gone, head);
        head = gone;
      }
    }
    const std::size_t size = n->block_size();
    pool::deallocate(n, size, tc);
  }
  return head;
}

void KTerm::release() const {
  if (KTerm* dead = drop()) free_some(dead, SIZE_MAX);
}

std::size_t KTerm::allocated_size() const { return pool::block_size(block_size()); }

std::string_view KTerm::inline_tag() const {
  const std::uint8_t* p = bytes();
  return read_text(p);
}

std::string_view KTerm::encoded_tag() const {
  if (tag_ != tags::kInline) return tags::encoded(tag_);
  const std::uint8_t* p = bytes();
  const std::uint64_t n = get_varint(p);
  return {reinterpret_cast<const char*>(bytes()), static_cast<std::size_t>(p - bytes() + n)};
}

std::string_view KTerm::lang() const {
  if (!is_quote_like()) return {};
  const std::uint8_t* p = bytes();
  if (tag_ == tags::kInline) read_text(p);
  return read_text(p);
}

std::size_t KTerm::find_cmds_offset() const {
  const std::uint8_t* p = bytes();
  if (tag_ == tags::kInline) read_text(p);
  if (is_quote_like()) read_text(p);
  return static_cast<std::size_t>(p - bytes());
}

std::uint64_t KTerm::cmd_count() const {
  if (is_leaf()) return 1;
  const std::uint8_t* p = bytes() + cmds_offset();
  return get_varint(p);
}

CmdCursor KTerm::cmds() const {
  if (is_leaf()) return CmdCursor::leaf(leaf_text());
  const std::uint8_t* p = bytes() + cmds_offset();
  std::uint64_t n = get_varint(p);
  return {p, n};
}

std::string_view KTerm::encoded_cmds(std::string& scratch) const {
  if (is_leaf()) {
    scratch.clear();
    append_cmd(scratch, StrCmd::Kind::Write, leaf_text());
    return scratch;
  }
  const std::uint8_t* p = bytes() + cmds_offset();
  const std::uint64_t n = get_varint(p);
  const std::uint8_t* start = p;
  CmdCursor c(p, n);
  while (!c.done()) c.next();
  return {reinterpret_cast<const char*>(start), static_cast<std::size_t>(c.end() - start)};
}

std::vector<CmdOrHole> KTerm::cmd_values() const {
  std::vector<CmdOrHole> out;
  for (CmdCursor c = cmds(); !c.done();) out.push_back(c.next().to_value());
  return out;
}

std::optional<Range> KTerm::at() const {
  if (!is_quote_like()) return std::nullopt;
  CmdCursor c = cmds();
  while (!c.done()) c.next();
  const std::uint8_t* p = c.end();
  if (*p++ == 0) return std::nullopt;
  Range r;
  r.start = get_varint(p);
  r.end = get_varint(p);
  return r;
}

namespace {

// Starts fetching a node's children, which rendering visits next; each
// child is usually a separate cache miss.
void prefetch_children(std::span<const KTerm* const> kids) {
  for (const KTerm* k : kids) __builtin_prefetch(k);
}

}  // namespace

void KTerm::hole_without_child() const {
  throw Panic("KTerm::write", "HOLE with no child left: Tuple '" + std::string(tag()) + "' has " +
                                  std::to_string(child_count()) + " children and more HOLEs");
}

// Applies one non-HOLE command at `pos` and steps past it. Each command is
// a unit of work; a line break also counts the prefixes it copies, which
// (unlike a text) can be much longer than the term.
template <class W>
static inline void apply_cmd(const std::uint8_t*& pos, W& w, Pacer& pace) {
  switch (static_cast<StrCmd::Kind>(*pos++)) {
    case StrCmd::Kind::Write: w.write_node_text(read_text(pos)); break;
    case StrCmd::Kind::NL:
      pace.tick_bytes(w.prefix_size());
      w.newline();
      return;
    case StrCmd::Kind::Push: w.push_prefix(read_text(pos)); break;
    case StrCmd::Kind::Pop: w.pop_prefix(); break;
  }
  pace.tick(1);
}

std::string KTerm::coparse(const StopCheck* stop) const {
  const TextBuffer text = render(stop);
  return std::string(text.view());
}

TextBuffer KTerm::render(const StopCheck* stop) const {
  TextBuffer out;
  BufferWriter w(out);
  write(w, stop);
  return out;
}

void KTerm::write(PrefixWriter& w, const StopCheck* stop) const { write_impl(w, stop); }
void KTerm::write(BufferWriter& w, const StopCheck* stop) const { write_impl(w, stop); }
void KTerm::write(CountWriter& w, const StopCheck* stop) const { write_impl(w, stop); }

template <class W>
void KTerm::write_impl(W& w, const StopCheck* stop) const {
  Pacer pace(stop);
  if (is_leaf()) {
    w.write_node_text(leaf_text());
    return;
  }
  struct Frame {
    const KTerm* node;
    const std::uint8_t* pos;
    std::uint64_t left;
    const KTerm* const* next;
  };
  std::vector<Frame> stack;
  const KTerm* node = this;
  const std::uint8_t* pos = bytes() + cmds_offset();
  std::uint64_t left = get_varint(pos);
  // The next child a HOLE renders, and the end of the children; a quote's
  // HOLEs all render its one child, so its `next` never moves.
  const KTerm* const* next = kids();
  const KTerm* const* end = next + child_count();
  bool quote = is_quote_like();
  prefetch_children(children());
  for (;;) {
    while (left) {
      --left;
      if (*pos++ == kHoleTag) {
        pace.tick(1);  // a term can be all HOLEs and empty leaves
        if (next == end) node->hole_without_child();
        const KTerm* child = quote ? *next : *next++;
        if (child->is_leaf()) {  // most nodes are leaves: no frame needed
          w.write_node_text(child->leaf_text());
          continue;
        }
        if (left) stack.push_back({node, pos, left, next});
        node = child;
        pos = node->bytes() + node->cmds_offset();
        left = get_varint(pos);
        next = node->kids();
        end = next + node->child_count();
        quote = node->is_quote_like();
        if (end - next > 1) prefetch_children({next, end});
        continue;
      }
      apply_cmd(pos, w, pace);
    }
    if (stack.empty()) return;
    const Frame& f = stack.back();
    node = f.node;
    pos = f.pos;
    left = f.left;
    next = f.next;
    end = node->kids() + node->child_count();
    quote = node->is_quote_like();
    stack.pop_back();
  }
}

bool equal(const KTerm& a, const KTerm& b) {
  std::vector<std::pair<const KTerm*, const KTerm*>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x == y) continue;
    // Whether a tag is interned and a node a leaf depends on the fields
    // alone, so equal nodes have equal headers and bytes.
    const auto nkids = x->child_count();
    if (x->kind_ != y->kind_ || x->tag_ != y->tag_ || nkids != y->child_count() ||
        x->byte_count() != y->byte_count() || x->index_ != y->index_ ||  // a tuple's index is 0
        std::memcmp(x->bytes(), y->bytes(), static_cast<std::size_t>(x->byte_count())) != 0)
      return false;
    for (std::uint64_t i = 0; i < nkids; ++i) todo.emplace_back(x->kids()[i], y->kids()[i]);
  }
  return true;
}

// --- Constructors ---

KRef leaf(std::string_view tag, std::string_view code) {
  std::string cmd;
  append_cmd(cmd, StrCmd::Kind::Write, code);
  return KTerm::assemble(KTerm::Variant::Tuple, 0, tag, {}, {}, 1, cmd, std::nullopt).share();
}

KRef sym(std::string_view s) { return leaf(s, s); }

KNode ktuple(std::string_view tag, std::span<const KRef> children, std::span<const CmdOrHole> cmds) {
  std::vector<KRef> kids(children.begin(), children.end());
  return KTerm::assemble(KTerm::Variant::Tuple, 0, tag, {}, kids, cmds.size(), encode_cmds(cmds),
                         std::nullopt);
}

KRef tuple(std::string_view tag, std::span<const KRef> children, std::span<const CmdOrHole> cmds) {
  return ktuple(tag, children, cmds).share();
}

KNode kquote_at(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
                std::span<const CmdOrHole> cmds, std::optional<Range> at) {
  return KTerm::assemble(KTerm::Variant::Quote, index, tag, lang, std::span<KRef>(&term, 1), cmds.size(),
                         encode_cmds(cmds), at);
}

KNode kunquote_at(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
                  std::span<const CmdOrHole> cmds, std::optional<Range> at) {
  return KTerm::assemble(KTerm::Variant::Unquote, index, tag, lang, std::span<KRef>(&term, 1), cmds.size(),
                         encode_cmds(cmds), at);
}

KRef quote(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
           std::span<const CmdOrHole> cmds) {
  return kquote_at(tag, index, lang, std::move(term), cmds, std::nullopt).share();
}

KRef unquote(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
             std::span<const CmdOrHole> cmds) {
  return kunquote_at(tag, index, lang, std::move(term), cmds, std::nullopt).share();
}

// --- Builder ---

KTermBuilder KTermBuilder::tuple_builder(std::string_view tag) { return KTermBuilder(Kind::Tuple, tag); }

KTermBuilder KTermBuilder::tuple_builder(std::string_view tag, std::uint32_t tag_id) {
  KTermBuilder b(Kind::Tuple, tag);
  b.tag_id_ = tag_id;
  b.tag_id_known_ = true;
  return b;
}

KTermBuilder KTermBuilder::quote_builder(Kind kind, std::string_view tag, std::uint8_t index,
                                         std::string_view lang, std::optional<Range> at) {
  KTermBuilder b(kind, tag);
  b.index_ = index;
  b.lang_ = lang;
  b.at_ = at;
  return b;
}

KTermBuilder& KTermBuilder::write(std::string_view s) {
  if (s.empty()) return *this;
  append_cmd(cmds_, StrCmd::Kind::Write, s);
  ++ncmds_;
  return *this;
}

KTermBuilder& KTermBuilder::nl() {
  append_cmd(cmds_, StrCmd::Kind::NL);
  ++ncmds_;
  return *this;
}

KTermBuilder& KTermBuilder::push(std::string_view s) {
  append_cmd(cmds_, StrCmd::Kind::Push, s);
  ++ncmds_;
  return *this;
}

KTermBuilder& KTermBuilder::pop() {
  append_cmd(cmds_, StrCmd::Kind::Pop);
  ++ncmds_;
  return *this;
}

KTermBuilder& KTermBuilder::child(const KRef& t) {
  // Room first (growing geometrically), so a failed push leaves no HOLE behind.
  if (children_.size() == children_.capacity()) children_.reserve(2 * children_.size() + 4);
  make_room(cmds_, 1);
  cmds_.push_back(static_cast<char>(kHoleTag));
  children_.push_back(t);
  ++ncmds_;
  return *this;
}

KNode KTermBuilder::build() && {
  if (kind_ != Kind::Tuple && children_.size() != 1) {
    const std::size_t n = children_.size();
    children_.clear();  // a misused builder is released all the same
    cmds_.clear();
    ncmds_ = 0;
    throw Panic("KTermBuilder::build",
                "assertion `left == right` failed\n  left: " + std::to_string(n) + "\n right: 1");
  }
  // assemble allocates before it takes any child over, so a failed
  // allocation leaves the builder whole (and buildable again).
  KNode node = tag_id_known_ ? KTerm::assemble_interned(kind_, index_, tag_id_, tag_, lang_, children_,
                                                        ncmds_, cmds_, at_)
                             : KTerm::assemble(kind_, index_, tag_, lang_, children_, ncmds_, cmds_, at_);
  children_.clear();
  cmds_.clear();
  ncmds_ = 0;
  return node;
}

}  // namespace kovel
