// Term nodes, their shared handles, the constructors and the builder.
//
// A node is one block from the node pool (pool.h): a 16-byte header, then its
// child pointers, then its bytes. The header holds the atomic reference
// count, the tag's interned number (tags.h), the variant and flags, the
// quote index, and the child and byte counts; a node too large for the
// header's 16- and 32-bit counts keeps them in 16 more bytes after it.
// The bytes hold, in their wire encoding: the tag when it is not interned,
// the language (quotes), the counted command list and the range (quotes).
// A leaf (a Tuple with no children and a single Write, the most common
// node by far) keeps only the written text. Terms can be shared between
// threads; nodes are immutable once built.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interrupt.h"
#include "pool.h"
#include "strcmd.h"
#include "tags.h"
#include "term.h"

namespace kovel {

// A broken invariant of the core (e.g. a HOLE with no child left). Thrown by
// the core and caught by its callers; never crosses the C API.
class Panic : public std::logic_error {
 public:
  Panic(const char* where, const std::string& what) : std::logic_error(what), where_(where) {}
  const char* where() const noexcept { return where_; }

 private:
  const char* where_;
};

struct Range {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const Range&) const = default;
};

// A command read back from a node, pointing into the node's bytes.
struct CmdView {
  bool hole = false;
  StrCmd::Kind kind = StrCmd::Kind::NL;
  std::string_view text;

  CmdOrHole to_value() const { return hole ? HOLE : CmdOrHole::of(StrCmd{kind, std::string(text)}); }
  bool operator==(const CmdView&) const = default;
};

// Iterates over the encoded command list of a node.
class CmdCursor {
 public:
  CmdCursor(const std::uint8_t* pos, std::uint64_t count) : pos_(pos), left_(count) {}
  // The single Write of a leaf, which keeps only its text.
  static CmdCursor leaf(std::string_view text) {
    CmdCursor c(reinterpret_cast<const std::uint8_t*>(text.data()), 1);
    c.leaf_size_ = text.size();
    return c;
  }
  bool done() const { return left_ == 0; }
  CmdView next();
  // Past the last command read (not for a leaf's cursor).
  const std::uint8_t* end() const { return pos_; }

 private:
  const std::uint8_t* pos_;
  std::uint64_t left_;
  std::uint64_t leaf_size_ = kNotLeaf;
  static constexpr std::uint64_t kNotLeaf = ~std::uint64_t{0};
};

class KNode;
class KRef;

class KTerm : public STerm<KTerm> {
 public:
  enum class Variant : std::uint8_t { Quote = 0, Unquote = 1, Tuple = 2 };

  KTerm(const KTerm&) = delete;
  KTerm& operator=(const KTerm&) = delete;

  Variant variant() const { return static_cast<Variant>(kind_ & kVariantMask); }
  bool is_quote_like() const { return variant() != Variant::Tuple; }
  std::string_view tag() const { return tag_ != tags::kInline ? tags::text(tag_) : inline_tag(); }
  // Quote and Unquote only.
  std::uint8_t index() const { return index_; }
  std::string_view lang() const;
  const KTerm& term() const { return *kids()[0]; }
  std::optional<Range> at() const;
  // Tuple: the children; Quote/Unquote: the single inner term.
  std::span<const KTerm* const> children() const { return {kids(), static_cast<std::size_t>(child_count())}; }
  std::uint64_t child_count() const { return kind_ & kBig ? big().nkids : nkids_; }
  std::uint64_t cmd_count() const;
  CmdCursor cmds() const;
  std::vector<CmdOrHole> cmd_values() const;
  // A Tuple with no children whose only command is a Write: it keeps just
  // that text (leaf_text()).
  bool is_leaf() const { return kind_ & kLeaf; }
  std::string_view leaf_text() const {
    if (kind_ & kBig) [[unlikely]]
      return {reinterpret_cast<const char*>(bytes()), static_cast<std::size_t>(byte_count())};
    return {reinterpret_cast<const char*>(this + 1), nbytes_};  // no children: the text follows the header
  }

  // Renders into `w` without recursion; throws Panic when a Tuple has more
  // HOLEs than children (the writer then holds a partial text).
  void write(PrefixWriter& w) const { write(w, nullptr); }
  // The same, calling `stop` (when given) every so often: throws Interrupted
  // when it says so.
  void write(PrefixWriter& w, const StopCheck* stop) const;
  void write(BufferWriter& w, const StopCheck* stop) const;
  void write(CountWriter& w) const { write(w, nullptr); }
  void write(CountWriter& w, const StopCheck* stop) const;
  // The whole text, rendered into a TextBuffer: the fastest way.
  TextBuffer render(const StopCheck* stop = nullptr) const;
  using STerm<KTerm>::coparse;
  std::string coparse(const StopCheck* stop) const;

  // Reference counting (see KRef). Releasing the last reference frees the
  // whole unshared subgraph without recursion.
  void retain() const { rc_.fetch_add(1, std::memory_order_relaxed); }
  void release() const;
  // The same in steps: drop() gives up the reference and returns what died
  // with it (nullptr when other references remain), free_some() frees at
  // most `budget` nodes of that and returns the rest (nullptr when all is
  // freed). A caller can free the first nodes of a term at once and the rest
  // of a large one later, or without a lock it holds.
  KTerm* drop() const;
  static KTerm* free_some(KTerm* dead, std::size_t budget) noexcept;
  std::uint32_t use_count() const { return rc_.load(std::memory_order_relaxed); }

  // Bytes the node's block takes.
  std::size_t allocated_size() const;

  // --- Low-level access for the builder, the decoder and the encoder. ---
  // Makes a node from parts in their node encoding: `cmd_bytes` holds
  // `ncmds` encoded commands (without the count). The references in `kids`
  // are moved into the node; `lang` and `at` are ignored for a Tuple.
  static KNode assemble(Variant v, std::uint8_t index, std::string_view tag, std::string_view lang,
                        std::span<KRef> kids, std::uint64_t ncmds, std::string_view cmd_bytes,
                        std::optional<Range> at);
  // The same, with the tag's number from tags::intern(tag).
  // `tc`, when given, is pool::here() of the calling thread.
  static KNode assemble_interned(Variant v, std::uint8_t index, std::uint32_t tag_id, std::string_view tag,
                                 std::string_view lang, std::span<KRef> kids, std::uint64_t ncmds,
                                 std::string_view cmd_bytes, std::optional<Range> at,
                                 pool::ThreadCache* tc = nullptr);
  // A leaf (see is_leaf()) of an interned tag.
  static KNode make_leaf(std::uint32_t tag_id, std::string_view text, pool::ThreadCache* tc = nullptr);
  // The tag in its wire form (length varint, then the text).
  std::string_view encoded_tag() const;
  // Not interned (see tags.h): the tag's wire form starts bytes().
  bool has_inline_tag() const { return tag_ == tags::kInline; }
  // The node's bytes (see the top of this file) and their number.
  const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(kids() + child_count()); }
  std::uint64_t byte_count() const { return kind_ & kBig ? big().nbytes : nbytes_; }
  // Offset of the counted command list in bytes(); not for leaves.
  std::size_t cmds_offset() const {
    return tag_ != tags::kInline && !is_quote_like() ? 0 : find_cmds_offset();
  }
  // The commands in wire form without their count, reading a leaf's into `scratch`.
  std::string_view encoded_cmds(std::string& scratch) const;

 private:
  enum : std::uint8_t { kVariantMask = 3, kBig = 4, kLeaf = 8 };
  // Counts too large for the header, kept right after it.
  struct Big {
    std::uint64_t nkids;
    std::uint64_t nbytes;
  };

  KTerm(std::uint8_t kind, std::uint32_t tag, std::uint8_t index, std::uint64_t nkids, std::uint64_t nbytes);
  ~KTerm() = default;

  [[noreturn]] void hole_without_child() const;
  template <class W>
  void write_impl(W& w, const StopCheck* stop) const;
  std::size_t find_cmds_offset() const;
  std::string_view inline_tag() const;
  std::size_t block_size() const { return block_size(kind_ & kBig, child_count(), byte_count()); }
  static std::size_t block_size(bool big, std::uint64_t nkids, std::uint64_t nbytes) {
    return sizeof(KTerm) + (big ? sizeof(Big) : 0) + static_cast<std::size_t>(nkids) * sizeof(KTerm*) +
           static_cast<std::size_t>(nbytes);
  }

  const Big& big() const { return *reinterpret_cast<const Big*>(this + 1); }
  const KTerm* const* kids() const {
    return reinterpret_cast<const KTerm* const*>(reinterpret_cast<const char*>(this + 1) +
                                                 (kind_ & kBig ? sizeof(Big) : 0));
  }
  const KTerm** kids() { return const_cast<const KTerm**>(static_cast<const KTerm*>(this)->kids()); }
  std::uint8_t* bytes() { return const_cast<std::uint8_t*>(static_cast<const KTerm*>(this)->bytes()); }
  static KTerm* allocate(std::uint8_t kind, std::uint32_t tag, std::uint8_t index, std::size_t nkids,
                         std::size_t nbytes, pool::ThreadCache* tc);
  friend bool equal(const KTerm& a, const KTerm& b);

  mutable std::atomic<std::uint32_t> rc_;
  std::uint32_t tag_;   // interned number, or tags::kInline: the tag leads bytes()
  std::uint8_t kind_;   // the variant, kBig and kLeaf
  std::uint8_t index_;  // quotes
  std::uint16_t nkids_;
  std::uint32_t nbytes_;
};

static_assert(sizeof(KTerm) == 16);

// A shared handle: one reference to a node.
class KRef {
 public:
  KRef() = default;
  // Takes over a reference the caller owns.
  static KRef adopt(const KTerm* p) {
    KRef r;
    r.p_ = p;
    return r;
  }
  // Takes one more reference.
  static KRef share(const KTerm* p) {
    if (p) p->retain();
    return adopt(p);
  }
  KRef(const KRef& o) : p_(o.p_) {
    if (p_) p_->retain();
  }
  KRef(KRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  KRef& operator=(KRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~KRef() {
    if (p_) p_->release();
  }

  const KTerm* get() const { return p_; }
  const KTerm& operator*() const { return *p_; }
  const KTerm* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up the reference without releasing it.
  const KTerm* detach() { return std::exchange(p_, nullptr); }

 private:
  const KTerm* p_ = nullptr;
};

// A node returned by value: owned, not yet shared.
class KNode {
 public:
  explicit KNode(KTerm* p) : p_(p) {}
  KNode(const KNode&) = delete;
  KNode(KNode&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  KNode& operator=(KNode&&) = delete;
  ~KNode() {
    if (p_) p_->release();
  }
  const KTerm& operator*() const { return *p_; }
  const KTerm* operator->() const { return p_; }
  // Places the node in a shared handle (reference count 1).
  KRef share() && { return KRef::adopt(std::exchange(p_, nullptr)); }

 private:
  KTerm* p_;
};

// Field-by-field structural equality (iterative).
bool equal(const KTerm& a, const KTerm& b);

// --- Constructors. They copy texts and commands and share children. ---
KRef leaf(std::string_view tag, std::string_view code);
KRef sym(std::string_view s);
KNode ktuple(std::string_view tag, std::span<const KRef> children, std::span<const CmdOrHole> cmds);
KRef tuple(std::string_view tag, std::span<const KRef> children, std::span<const CmdOrHole> cmds);
// `term` is taken over.
KNode kquote_at(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
                std::span<const CmdOrHole> cmds, std::optional<Range> at);
KNode kunquote_at(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
                  std::span<const CmdOrHole> cmds, std::optional<Range> at);
KRef quote(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
           std::span<const CmdOrHole> cmds);
KRef unquote(std::string_view tag, std::uint8_t index, std::string_view lang, KRef term,
             std::span<const CmdOrHole> cmds);

class KTermBuilder;

// What can hand itself to a builder as a child: `emit(thing, builder)`.
template <class T>
concept Emit = requires(T&& t, KTermBuilder& b) {
  emit(std::forward<T>(t), b);
};

// Fluent builder: one HOLE per spliced child, in splice order. The commands
// are kept in their node encoding so `build` is a single copy.
class KTermBuilder {
 public:
  using Kind = KTerm::Variant;

  static KTermBuilder tuple_builder(std::string_view tag);
  // The same with the tag's number, tags::intern(tag), known already.
  static KTermBuilder tuple_builder(std::string_view tag, std::uint32_t tag_id);
  // Starts a Quote or Unquote builder (which must receive exactly one child).
  static KTermBuilder quote_builder(Kind kind, std::string_view tag, std::uint8_t index,
                                    std::string_view lang, std::optional<Range> at);

  KTermBuilder& write(std::string_view s);
  KTermBuilder& nl();
  KTermBuilder& push(std::string_view s);
  KTermBuilder& pop();
  KTermBuilder& child(const KRef& t);
  template <Emit T>
  KTermBuilder& e(T&& t) {
    emit(std::forward<T>(t), *this);
    return *this;
  }

  // Builds the node; throws Panic for a quote builder without exactly one
  // child (the builder is then released all the same). If the node cannot
  // be allocated, the builder is left as it was.
  //
  // Every operation gives the strong guarantee: when it throws (e.g.
  // bad_alloc), the builder holds exactly what it held before.
  KNode build() &&;
  KRef b() && { return std::move(*this).build().share(); }

  Kind kind() const { return kind_; }
  std::size_t child_count() const { return children_.size(); }
  std::uint64_t cmd_count() const { return ncmds_; }

 private:
  explicit KTermBuilder(Kind k, std::string_view tag) : kind_(k), tag_(tag) {}

  Kind kind_;
  std::string tag_;
  std::uint32_t tag_id_ = 0;
  bool tag_id_known_ = false;
  std::uint8_t index_ = 0;
  std::string lang_;
  std::optional<Range> at_;
  std::vector<KRef> children_;
  std::string cmds_;  // encoded commands
  std::uint64_t ncmds_ = 0;
};

inline KTermBuilder tb(std::string_view tag) { return KTermBuilder::tuple_builder(tag); }
inline KTermBuilder c(KTermBuilder b, const KRef& t) {
  b.child(t);
  return b;
}
// A shared term emits itself as a child; the consumed handle is released after.
inline void emit(KRef t, KTermBuilder& b) { b.child(t); }

}  // namespace kovel
