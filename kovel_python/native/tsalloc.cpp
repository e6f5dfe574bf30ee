// tree-sitter's allocations, served by the core's node pool.
//
// A parse makes and frees millions of small blocks (stack nodes, subtrees,
// arrays of a few children). With the interpreter lock released, Python's
// small-object allocator cannot serve them, and malloc spends a tenth of the
// parse on them. The pool's per-thread free lists do it for less; a tree may
// still be freed on another thread than the one that parsed it.
//
// Each block carries its size in front, which free and realloc need. This
// copy of the runtime is private to the library (its symbols are hidden),
// so the allocator is set for kovel's trees alone.
//
// A parse whose tree is dropped as soon as it has been read (a search's)
// takes its blocks from a scratch arena instead (`ScratchParse`): freeing
// them costs nothing, and the whole tree goes at once, without the walk
// over every subtree that deleting it takes (a tenth of the parse).
#include <tree_sitter/api.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "../../kovel/src/pool.h"
#include "tsconvert.h"

// Under AddressSanitizer every block comes from the pool (itself malloc then),
// so that the sanitizer sees each block's lifetime.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVEL_SCRATCH_OFF 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KOVEL_SCRATCH_OFF 1
#endif

namespace kovel::py::native::ts {

namespace {

// The header keeps the blocks 8-aligned, which is all the runtime's
// structures need (pointers and 32-bit fields).
constexpr std::size_t kHeader = sizeof(std::size_t);
// Set in the header of a block of the scratch arena.
constexpr std::size_t kScratch = std::size_t{1} << 63;

[[noreturn]] void out_of_memory(std::size_t size) {
  // As the runtime's own allocator does: a parser cannot go on without the block.
  std::fprintf(stderr, "tree-sitter failed to allocate %zu bytes\n", size);
  std::abort();
}

// Blocks larger than the pool serves come from malloc, so that the runtime's
// growing arrays keep realloc's growth in place.
bool pooled(std::size_t total) { return total <= pool::kMaxPooled; }

// Chunks of memory carved in order; dropped all at once. The chunks are kept
// for the next parse of the thread, up to kKeep bytes.
class Arena {
 public:
  ~Arena() { drop(0); }
  // A block of `total` bytes, or null once the parse has taken its budget
  // (the runtime's blocks then come from the pool again).
  std::size_t* take(std::size_t total) {
    total = (total + 7) & ~std::size_t{7};
    if (total > budget_ - std::min(taken_, budget_)) {
      over_ = true;
      return nullptr;
    }
    taken_ += total;
    if (static_cast<std::size_t>(end_ - at_) < total) next_chunk(total);
    auto* head = reinterpret_cast<std::size_t*>(at_);
    at_ += total;
    return head;
  }
  void set_budget(std::size_t bytes) { budget_ = bytes; }
  // Whether a block was refused: the tree then holds pooled blocks too.
  bool over() const { return over_; }
  // Grows the block of `head` in place when it is the last one taken.
  bool extend(std::size_t* head, std::size_t old_total, std::size_t total) {
    total = (total + 7) & ~std::size_t{7};
    old_total = (old_total + 7) & ~std::size_t{7};
    if (reinterpret_cast<char*>(head) + old_total != at_ ||
        static_cast<std::size_t>(end_ - reinterpret_cast<char*>(head)) < total ||
        taken_ + total - old_total > budget_)
      return false;
    taken_ += total - old_total;
    at_ = reinterpret_cast<char*>(head) + total;
    return true;
  }
  // Forgets every block; keeps the first chunks for the next parse.
  void reset() {
    drop(kKeep);
    used_ = taken_ = 0;
    budget_ = SIZE_MAX;
    over_ = false;
    at_ = end_ = nullptr;
  }

 private:
  static constexpr std::size_t kChunk = 256 * 1024;
  static constexpr std::size_t kKeep = 8 * 1024 * 1024;
  struct Chunk {
    char* data;
    std::size_t size;
  };
  void next_chunk(std::size_t total) {
    // The next kept chunk if it is large enough, else a new one.
    if (used_ < chunks_.size() && chunks_[used_].size >= total) {
      at_ = chunks_[used_].data;
      end_ = at_ + chunks_[used_].size;
      ++used_;
      return;
    }
    const std::size_t size = std::max(kChunk << std::min<std::size_t>(used_, 4), total);
    auto* data = static_cast<char*>(std::malloc(size));
    if (!data) out_of_memory(total);
    try {  // nothing may throw into the runtime's C frames
      chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(used_), Chunk{data, size});
    } catch (const std::bad_alloc&) {
      out_of_memory(sizeof(Chunk));
    }
    ++used_;
    at_ = data;
    end_ = data + size;
  }
  void drop(std::size_t keep) {
    std::size_t kept = 0, i = 0;
    for (; i < chunks_.size() && kept + chunks_[i].size <= keep; ++i) kept += chunks_[i].size;
    for (std::size_t j = i; j < chunks_.size(); ++j) std::free(chunks_[j].data);
    chunks_.resize(i);
  }
  std::vector<Chunk> chunks_;
  std::size_t used_ = 0;  // chunks_[0, used_) hold blocks of this parse
  std::size_t taken_ = 0, budget_ = SIZE_MAX;
  bool over_ = false;
  char* at_ = nullptr;
  char* end_ = nullptr;
};

// The arena of this thread's scratch parse, if one is running.
thread_local Arena* t_scratch = nullptr;

Arena& thread_arena() {
  thread_local Arena arena;
  return arena;
}

void* ts_pool_malloc(std::size_t size) {
  if (size > (SIZE_MAX >> 1) - kHeader) out_of_memory(size);
  const std::size_t total = size + kHeader;
  std::size_t* head;
  if (Arena* a = t_scratch) {
    if ((head = a->take(total))) {
      *head = size | kScratch;
      return head + 1;
    }
  }
  void* raw = nullptr;
  if (pooled(total)) {
    try {
      raw = pool::allocate(total);
    } catch (const std::bad_alloc&) {
      out_of_memory(size);
    }
  } else if (!(raw = std::malloc(total))) {
    out_of_memory(size);
  }
  head = static_cast<std::size_t*>(raw);
  *head = size;
  return head + 1;
}

void ts_pool_free(void* p) {
  if (!p) return;
  auto* head = static_cast<std::size_t*>(p) - 1;
  if (*head & kScratch) return;  // goes with its arena
  const std::size_t total = *head + kHeader;
  if (pooled(total))
    pool::deallocate(head, total);
  else
    std::free(head);
}

void* ts_pool_calloc(std::size_t count, std::size_t size) {
  if (size && count > SIZE_MAX / size) out_of_memory(SIZE_MAX);
  void* p = ts_pool_malloc(count * size);
  std::memset(p, 0, count * size);
  return p;
}

void* ts_pool_realloc(void* p, std::size_t size) {
  if (!p) return ts_pool_malloc(size);
  if (size > (SIZE_MAX >> 1) - kHeader) out_of_memory(size);
  auto* head = static_cast<std::size_t*>(p) - 1;
  if (*head & kScratch) {
    const std::size_t old = *head & ~kScratch;
    Arena* a = t_scratch;
    if (a && a->extend(head, old + kHeader, size + kHeader)) {
      *head = size | kScratch;
      return p;
    }
    void* q = ts_pool_malloc(size);
    std::memcpy(q, p, std::min(old, size));
    return q;
  }
  const std::size_t old = *head;
  const std::size_t total = size + kHeader;
  if (!pooled(old + kHeader) && !pooled(total)) {
    auto* moved = static_cast<std::size_t*>(std::realloc(head, total));
    if (!moved) out_of_memory(size);
    *moved = size;
    return moved + 1;
  }
  // A pooled block of the same class already holds the new size.
  if (pooled(total) && pooled(old + kHeader) && pool::block_size(old + kHeader) == pool::block_size(total)) {
    *head = size;
    return p;
  }
  void* q = ts_pool_malloc(size);
  std::memcpy(q, p, old < size ? old : size);
  ts_pool_free(p);
  return q;
}

// Set when the library loads, before any parser exists: every block the
// runtime frees was then made by these functions.
struct UsePool {
  UsePool() { ts_set_allocator(ts_pool_malloc, ts_pool_calloc, ts_pool_realloc, ts_pool_free); }
};
const UsePool g_use_pool;

}  // namespace

ScratchParse::ScratchParse() {
#ifndef KOVEL_SCRATCH_OFF
  owner_ = !t_scratch;  // a scratch parse inside another takes its blocks from the outer one's arena
  if (owner_) t_scratch = &thread_arena();
#endif
  parser_ = ts_parser_new();
}

ScratchParse::~ScratchParse() {
  // A tree that outgrew the arena's budget holds pooled blocks, which only
  // deleting it gives back (its scratch blocks are passed over).
  if (tree_ && (!t_scratch || (owner_ && thread_arena().over()))) ts_tree_delete(tree_);
  // The parser goes before its blocks do: deleting it frees its scanner's
  // state, which the grammar made with its own allocator.
  ts_parser_delete(parser_);
  if (owner_) {
    t_scratch = nullptr;
    thread_arena().reset();
  }
}

namespace {
std::atomic<std::size_t> g_budget{0};  // set by ts_scratch_budget; 0: by the source's size
}  // namespace

void ScratchParse::budget(std::size_t source_bytes) {
  // Far above what a parse takes (its tree is about 8 bytes per byte of
  // source), so that only a parse that churns through blocks (a long error
  // recovery) reaches it.
  const std::size_t fixed = g_budget.load(std::memory_order_relaxed);
  if (owner_) thread_arena().set_budget(fixed ? fixed : 64 * source_bytes + (std::size_t{64} << 20));
}

void ScratchParse::set_budget(std::size_t bytes) { g_budget.store(bytes, std::memory_order_relaxed); }

}  // namespace kovel::py::native::ts
