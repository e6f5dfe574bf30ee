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
#include <tree_sitter/api.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "../../kovel/src/pool.h"

namespace kovel::py::native {

namespace {

// The header keeps the blocks 8-aligned, which is all the runtime's
// structures need (pointers and 32-bit fields).
constexpr std::size_t kHeader = sizeof(std::size_t);

[[noreturn]] void out_of_memory(std::size_t size) {
  // As the runtime's own allocator does: a parser cannot go on without the block.
  std::fprintf(stderr, "tree-sitter failed to allocate %zu bytes\n", size);
  std::abort();
}

// Blocks larger than the pool serves come from malloc, so that the runtime's
// growing arrays keep realloc's growth in place.
bool pooled(std::size_t total) { return total <= pool::kMaxPooled; }

void* ts_pool_malloc(std::size_t size) {
  if (size > SIZE_MAX - kHeader) out_of_memory(size);
  const std::size_t total = size + kHeader;
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
  auto* head = static_cast<std::size_t*>(raw);
  *head = size;
  return head + 1;
}

void ts_pool_free(void* p) {
  if (!p) return;
  auto* head = static_cast<std::size_t*>(p) - 1;
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
  if (size > SIZE_MAX - kHeader) out_of_memory(size);
  auto* head = static_cast<std::size_t*>(p) - 1;
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

}  // namespace kovel::py::native
