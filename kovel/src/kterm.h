// Term nodes, their shared handles, the constructors and the builder.
//
// A node is one heap block: a fixed header followed by its child pointers and
// then its bytes (tag, language, commands and range, in their wire encoding).
// The reference count lives in the header and is atomic, so terms can be
// shared between threads. Nodes are immutable once built.
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
#include "strcmd.h"
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
  bool done() const { return left_ == 0; }
  CmdView next();
  const std::uint8_t* position() const { return pos_; }

 private:
  const std::uint8_t* pos_;
  std::uint64_t left_;
};

class KNode;
class KRef;

class KTerm : public STerm<KTerm> {
 public:
  enum class Variant : std::uint8_t { Quote = 0, Unquote = 1, Tuple = 2 };

  KTerm(const KTerm&) = delete;
  KTerm& operator=(const KTerm&) = delete;

  Variant variant() const { return variant_; }
  bool is_quote_like() const { return variant_ != Variant::Tuple; }
  std::string_view tag() const;
  // Quote and Unquote only.
  std::uint8_t index() const { return index_; }
  std::string_view lang() const;
  const KTerm& term() const { return *kids()[0]; }
  std::optional<Range> at() const;
  // Tuple: the children; Quote/Unquote: the single inner term.
  std::span<const KTerm* const> children() const { return {kids(), static_cast<std::size_t>(nkids_)}; }
  std::uint64_t cmd_count() const;
  CmdCursor cmds() const;
  std::vector<CmdOrHole> cmd_values() const;

  // Renders into `w` without recursion; throws Panic when a Tuple has more
  // HOLEs than children (the writer then holds a partial text).
  void write(PrefixWriter& w) const { write(w, nullptr); }
  // The same, calling `stop` (when given) every so often: throws Interrupted
  // when it says so.
  void write(PrefixWriter& w, const StopCheck* stop) const;
  using STerm<KTerm>::coparse;
  std::string coparse(const StopCheck* stop) const;

  // Reference counting (see KRef). Releasing the last reference frees the
  // whole unshared subgraph without recursion.
  void retain() const { rc_.fetch_add(1, std::memory_order_relaxed); }
  void release() const;
  std::uint32_t use_count() const { return rc_.load(std::memory_order_relaxed); }

  // Bytes the allocator gave this node.
  std::size_t allocated_size() const;

  // --- Low-level access for the builder, the decoder and the encoder. ---
  // Makes a node from parts in their node encoding: `cmd_bytes` holds
  // `ncmds` encoded commands (without the count). The references in `kids`
  // are moved into the node; `lang` and `at` are ignored for a Tuple.
  static KNode assemble(Variant v, std::uint8_t index, std::string_view tag, std::string_view lang,
                        std::span<KRef> kids, std::uint64_t ncmds, std::string_view cmd_bytes,
                        std::optional<Range> at);
  // The node's encoded fields: the tag (and for quotes the language) as
  // length-prefixed texts, then the counted command list, then (quotes) `at`.
  const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(kids() + nkids_); }
  std::uint64_t byte_count() const { return nbytes_; }
  // Offset of the command list in bytes().
  std::size_t cmds_offset() const { return cmds_off_ != kCmdsOffUnknown ? cmds_off_ : find_cmds_offset(); }

 private:
  KTerm(Variant v, std::uint8_t index, std::uint64_t nkids, std::uint64_t nbytes)
      : rc_(1), variant_(v), index_(index), nkids_(nkids), nbytes_(nbytes) {}
  ~KTerm() = default;

  static constexpr std::uint16_t kCmdsOffUnknown = 0xFFFF;
  // Renders a Tuple without children (a leaf, usually) with no frame.
  void write_childless(PrefixWriter& w, Pacer& pace) const;
  [[noreturn]] void hole_without_child() const;
  std::size_t find_cmds_offset() const;

  const KTerm** kids() { return reinterpret_cast<const KTerm**>(this + 1); }
  const KTerm* const* kids() const { return reinterpret_cast<const KTerm* const*>(this + 1); }
  std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(kids() + nkids_); }
  static KTerm* allocate(Variant v, std::uint8_t index, std::size_t nkids, std::size_t nbytes);
  friend bool equal(const KTerm& a, const KTerm& b);

  mutable std::atomic<std::uint32_t> rc_;
  Variant variant_;
  std::uint8_t index_;
  std::uint16_t cmds_off_ = kCmdsOffUnknown;  // cmds_offset(), when it fits
  std::uint64_t nkids_;
  std::uint64_t nbytes_;
};

static_assert(sizeof(KTerm) == 24);

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
