// The tree-sitter front end's shared parts: parsing with the runtime linked
// into this library, a grammar's kinds, and the walk that converts a subtree
// into a term. `tsparse.cpp` converts whole trees with them, `tsmatch.cpp`
// only the subtrees a pattern can match in.
//
// The walk follows `convert.cpp`'s (the cursor walk over py-tree-sitter's
// objects) decision for decision: both must give the terms of
// `reference_walk` byte for byte.
#pragma once

#include <tree_sitter/api.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"
#include "native.h"
#include "ts_walk.h"

namespace kovel::py::native::ts {

using Clock = std::chrono::steady_clock;

// The walk found a tree it cannot convert; raised as ValueError once the GIL
// is held again.
struct BadTree {
  std::string message;
};

struct TreeDeleter {
  void operator()(TSTree* t) const noexcept { ts_tree_delete(t); }
};
using TreePtr = std::unique_ptr<TSTree, TreeDeleter>;

// A walk of a subtree's visible nodes, freed with the scope.
class Walk {
 public:
  explicit Walk(TSNode root) : w_(kovel_ts_walk_new(root)) {
    if (!w_) throw std::bad_alloc();
  }
  ~Walk() { kovel_ts_walk_delete(w_); }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  KovelTsStep next(KovelTsVisit& v) {
    const KovelTsStep step = kovel_ts_walk_next(w_, &v);
    if (step == KOVEL_TS_NOMEM) throw std::bad_alloc();
    return step;
  }
  // Passes over the descendants of the node just entered (one with `parent`
  // set): no LEAVE comes for it.
  void skip() { kovel_ts_walk_skip(w_); }

 private:
  KovelTsWalk* w_;
};

// One cursor, freed with the scope.
class Cursor {
 public:
  explicit Cursor(TSNode n) : c_(ts_tree_cursor_new(n)) {}
  ~Cursor() { ts_tree_cursor_delete(&c_); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  TSTreeCursor* get() { return &c_; }

 private:
  TSTreeCursor c_;
};

// Runs `work()` without the GIL: it may touch no Python object. False with
// the exception set when it threw (a BadTree as ValueError).
template <class F>
bool without_gil(F&& work) {
  std::string bad;
  bool bad_tree = false;
  std::exception_ptr failed;
  Py_BEGIN_ALLOW_THREADS;
  try {
    work();
  } catch (BadTree& b) {
    bad_tree = true;
    bad = std::move(b.message);
  } catch (...) {
    failed = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (failed) {
    try {
      std::rethrow_exception(failed);
    } catch (...) {
      raise_from_current_exception();
    }
    return false;
  }
  if (bad_tree) {
    PyErr_SetString(PyExc_ValueError, bad.c_str());
    return false;
  }
  return true;
}

// The source as tree-sitter takes it (below 4 GiB), else false with ValueError.
bool source_fits(std::string_view src);
// Whether `kinds` holds a byte per symbol of `lang` (ts_symbols), else false with ValueError.
bool kinds_fit(const TSLanguage* lang, std::string_view kinds);

// The grammar of a `tree_sitter.Language` capsule, or nullptr with TypeError
// or ValueError (an ABI version this runtime does not take).
const TSLanguage* language_arg(PyObject* o);

// A timeout argument: None (no limit) or seconds from now. False with an
// exception set.
struct Deadline {
  Clock::time_point at;
  bool passed = false;
  static bool progress(TSParseState* state);
};
bool deadline_arg(PyObject* o, std::optional<Deadline>& out);

// The tree of `src`, or null when the deadline (if any) passed first;
// `old`, edited to match `src`, lends the parse its unchanged subtrees.
TreePtr parse_tree(const TSLanguage* lang, std::string_view src, const Deadline* deadline,
                   const TSTree* old = nullptr);

// A parse whose blocks all come from this thread's scratch arena, dropped
// at once when it ends: the tree (owned by it, never deleted) is for reading
// within its scope, and every tree-sitter object made meanwhile (cursors,
// walks) must go before it does. One at a time per thread.
class ScratchParse {
 public:
  ScratchParse();
  ~ScratchParse();
  ScratchParse(const ScratchParse&) = delete;
  ScratchParse& operator=(const ScratchParse&) = delete;
  // The tree of `src`, or null when the deadline (if any) passed first.
  // One parse per scope.
  const TSTree* parse(const TSLanguage* lang, std::string_view src, const Deadline* deadline);
  // Every scratch parse's budget in bytes from now on (0: the default, by
  // the source's size); past it, blocks come from the pool again.
  static void set_budget(std::size_t bytes);

 private:
  void budget(std::size_t source_bytes);
  TSParser* parser_;
  TSTree* tree_ = nullptr;
  bool owner_ = false;  // the arena is this parse's (none under AddressSanitizer)
};

// The tree of `src` for one call: kept in `kept` when `keep`, else in
// `scratch` (made here, and to be read only while it lives). Null when the
// deadline (if any) passed first.
const TSTree* parse_once(const TSLanguage* lang, std::string_view src, const Deadline* deadline, bool keep,
                         TreePtr& kept, std::optional<ScratchParse>& scratch);

// The byte ranges of the error and missing nodes, in the order (and with
// the pruning) of `kovel.batch.tasks.error_spans`: a stack, children pushed
// in order, an error node's inside not searched.
std::vector<std::pair<std::uint32_t, std::uint32_t>> error_spans(TSNode root);
// As a tuple of (start, end) pairs.
PyObject* errors_tuple(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& errors);

// A capsule that owns `tree` (kept for a reparse, `ts_reparse`), None for
// no tree; nullptr with an exception set. `tree` is released on success.
PyObject* tree_capsule(TreePtr& tree);
// The tree of a capsule `tree_capsule` made, or nullptr with an exception set.
TSTree* capsule_tree(PyObject* capsule);

struct KindInfo {
  std::string_view tag;  // the grammar's static name
  std::uint32_t tag_id;
  bool literal, may_anchor, body;
  bool anonymous;       // a token the grammar does not name (`(`, `if`)
  std::uint32_t index;  // its place among the kinds met, from 0
};

// The kinds of one grammar, decoded (and their tags interned) on first use.
// Their addresses stay put while the walk learns new ones.
class Kinds {
 public:
  Kinds(const TSLanguage* lang, std::string_view flags)
      : lang_(lang), count_(ts_language_symbol_count(lang)), flags_(flags), slot_(flags.size(), nullptr) {}
  // Asked for at every node: a known kind is one load away.
  const KindInfo& of(const KovelTsVisit& n) {
    const std::size_t slot = slot_of(n.symbol);
    if (slot < slot_.size() && slot_[slot]) [[likely]]
      return *slot_[slot];
    return learn(n, slot);
  }

 private:
  // The slot of a symbol: the grammar's symbols, then the two built-in error
  // symbols, which lie outside its count.
  std::size_t slot_of(TSSymbol sym) const {
    if (sym == static_cast<TSSymbol>(-1)) return count_;      // ERROR
    if (sym == static_cast<TSSymbol>(-2)) return count_ + 1;  // _ERROR
    return sym;
  }
  const KindInfo& learn(const KovelTsVisit& n, std::size_t slot);

  const TSLanguage* lang_;
  std::uint32_t count_;
  std::string_view flags_;
  std::vector<const KindInfo*> slot_;  // into infos_, null until met
  std::deque<KindInfo> infos_;
};

// Converts subtrees of one source into terms, on the thread that made it.
class Walker {
 public:
  // A node as the walk sees it: its kind, bytes, and whether it starts
  // anchored (rule 5).
  struct Visit {
    const KindInfo* kind;
    std::uint64_t s, e;
    bool anchored;
  };

  Walker(Kinds& kinds, std::string_view src) : kinds_(kinds), src_(src), tc_(pool::here()) {}

  // The term of `root`'s subtree, covering at least [lo, hi); `inherited`:
  // an ancestor is verbatim.
  KRef run(TSNode root, std::uint64_t lo, std::uint64_t hi, bool inherited);
  // The term of a node without children.
  KRef leaf(const Visit& v, bool verbatim);
  // Checks `n`'s bytes against the source (BadTree) and describes it.
  Visit visit(const KovelTsVisit& n);
  std::string_view cut(std::uint64_t a, std::uint64_t b) const {
    return a < b ? src_.substr(a, b - a) : std::string_view{};
  }

 private:
  struct Frame {
    convert::NodeBuf b;
    TSNode node;
    const KindInfo* kind;
    std::uint64_t pos;    // end of the text written so far
    std::uint64_t start;  // node start (the root's: widened to the text it covers)
    std::uint64_t end;    // node end (likewise)
    bool verbatim;
    bool anchored;  // starts anchored (rule 5)
    bool token;     // a gap looked like token text (rule 2)
    bool any;       // a child was handed in
  };

  bool boundary(std::uint64_t p) const {
    return p >= src_.size() || (static_cast<unsigned char>(src_[p]) & 0xC0) != 0x80;
  }
  void adopt(Frame& f, KRef term, std::uint64_t s, std::uint64_t e, bool anchored);
  // The leaf of a token without children: one term for every `(` of the walk
  // (terms are immutable, so a token the grammar does not name is shared).
  KRef token(const Visit& v, bool verbatim);

  // The shared leaf of each anonymous kind met (by KindInfo::index), and its text.
  struct Shared {
    std::string_view text;
    KRef term;
  };
  std::vector<Shared> shared_;
  Kinds& kinds_;
  std::string_view src_;
  convert::NodeBuf scratch_;  // for tokens written as lines
  pool::ThreadCache* tc_;     // this thread's blocks, for every node made
};

}  // namespace kovel::py::native::ts
