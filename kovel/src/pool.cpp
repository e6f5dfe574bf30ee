#include "pool.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVEL_POOL_OFF 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KOVEL_POOL_OFF 1
#endif

namespace kovel::pool {

namespace {

constexpr std::size_t kGrain = 8;
constexpr std::size_t kMinBlock = 24;                  // room for a Block
constexpr std::size_t kClasses = kMaxPooled / kGrain;  // class c serves (c + 1) * 8 bytes
constexpr std::size_t kSlab = 64 * 1024;  // its first 16 bytes link the slabs, its last 16 are kReadSlack
constexpr std::uint32_t kBatch = 64;      // blocks moved to or from the depot at once
constexpr std::uint32_t kCacheMax = 2 * kBatch;  // a thread's free blocks per class, at most

// A free block. The first block of a batch (a chain of free blocks moved
// as one) also holds the next batch and its own batch's length.
struct Block {
  Block* next;
  Block* next_batch;
  std::size_t count;
};
static_assert(sizeof(Block) <= kMinBlock);

std::size_t class_of(std::size_t size) { return (std::max(size, kMinBlock) - 1) / kGrain; }
std::size_t class_size(std::size_t c) { return (c + 1) * kGrain; }

// Shared by all threads: batches of free blocks, and the slabs (kept
// reachable, so leak checkers see them as still in use rather than lost).
struct alignas(64) Depot {  // a cache line each: threads take different ones at once
  std::mutex lock;
  Block* batches = nullptr;

  // Both under the lock; O(1), so the lock is held for a moment only.
  void push(Block* head, std::size_t count) {
    head->count = count;
    head->next_batch = batches;
    batches = head;
  }
  Block* pop() {
    Block* b = batches;
    if (b) batches = b->next_batch;
    return b;
  }
};

// What the threads share: the depots, and the slabs (kept reachable, so
// that leak checkers see them as still in use rather than lost).
struct Shared {
  std::array<Depot, kClasses> depot;
  std::mutex slabs_lock;
  void* slabs = nullptr;  // chained through their first word
};

Shared g_shared;

// Carves a new slab; returns its first usable byte.
char* new_slab() {
  void* s = std::malloc(kSlab);
  if (!s) throw std::bad_alloc();
  std::lock_guard<std::mutex> g(g_shared.slabs_lock);
  *static_cast<void**>(s) = g_shared.slabs;
  g_shared.slabs = s;
  return static_cast<char*>(s) + 16;
}

struct ClassCache {
  Block* free;
  std::uint32_t count;
};

}  // namespace

// Trivially constructed and destroyed, so it can be used at any moment of a
// thread's life; `Flusher` empties it when the thread ends.
//
// New blocks of every size are cut from one slab in turn, so nodes made one
// after the other (a subtree, built bottom-up) lie side by side, and a walk
// over them reads memory in order.
struct ThreadCache {
  ClassCache cls[kClasses];
  char* bump;  // the part of the current slab not yet handed out
  char* bump_end;
  bool registered;
  bool dead;  // after the thread's exit flush: use the depot directly
};

namespace {

thread_local ThreadCache t_cache{};

void give_back(std::size_t c, ClassCache& cc) {
  if (!cc.free) return;
  Depot& d = g_shared.depot[c];
  std::lock_guard<std::mutex> g(d.lock);
  d.push(cc.free, cc.count);
  cc.free = nullptr;
  cc.count = 0;
}

// Cuts the rest of the thread's slab into free blocks of the largest
// classes that fit.
void cut_rest(ThreadCache& tc) {
  while (static_cast<std::size_t>(tc.bump_end - tc.bump) >= kMinBlock) {
    const auto left = static_cast<std::size_t>(tc.bump_end - tc.bump);
    const std::size_t c = class_of(std::min(left, kMaxPooled) / kGrain * kGrain);
    auto* b = reinterpret_cast<Block*>(tc.bump);
    tc.bump += class_size(c);
    ClassCache& cc = tc.cls[c];
    b->next = cc.free;
    cc.free = b;
    ++cc.count;
  }
  tc.bump = tc.bump_end = nullptr;
}

struct Flusher {
  ~Flusher() {
    cut_rest(t_cache);
    for (std::size_t c = 0; c < kClasses; ++c) give_back(c, t_cache.cls[c]);
    t_cache.dead = true;
  }
};
thread_local Flusher t_flusher;

[[maybe_unused]] void register_thread() {
  t_cache.registered = true;
  // The first use of the flusher registers its destructor for this thread.
  Flusher* volatile touched = &t_flusher;
  (void)touched;
}

// Refills an empty cache from the depot, or cuts a block from the slab (a
// new one when it is used up).
[[maybe_unused]] void* refill(std::size_t c, ThreadCache& tc) {
  ClassCache& cc = tc.cls[c];
  Depot& d = g_shared.depot[c];
  Block* batch;
  {
    std::lock_guard<std::mutex> g(d.lock);
    batch = d.pop();
  }
  if (batch) {
    cc.free = batch->next;
    cc.count = static_cast<std::uint32_t>(batch->count - 1);
    return batch;
  }
  cut_rest(tc);
  char* s = new_slab();
  tc.bump = s + class_size(c);
  tc.bump_end = s + (kSlab - 16);
  return s;
}

// A thread past its exit flush rarely allocates or frees: it goes to the
// depot for each block.
[[maybe_unused]] void* allocate_dead(std::size_t c) {
  Depot& d = g_shared.depot[c];
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (Block* b = d.pop()) {
      if (b->count > 1) d.push(b->next, b->count - 1);
      return b;
    }
  }
  char* s = new_slab();
  const std::size_t size = class_size(c);
  Block* rest = nullptr;
  std::size_t n = 0;
  for (char* p = s + size; p + size <= s + (kSlab - 16); p += size, ++n) {
    auto* b = reinterpret_cast<Block*>(p);
    b->next = rest;
    rest = b;
  }
  std::lock_guard<std::mutex> g(d.lock);
  if (rest) d.push(rest, n);
  return s;
}

[[maybe_unused]] void deallocate_dead(std::size_t c, Block* b) {
  Depot& d = g_shared.depot[c];
  std::lock_guard<std::mutex> g(d.lock);
  b->next = nullptr;
  d.push(b, 1);
}

// Hands a batch of a full cache back to the depot: the blocks freed last,
// still in this core's cache, stay with the thread.
[[maybe_unused]] void spill(std::size_t c, ClassCache& cc) {
  Block* last = cc.free;
  for (std::uint32_t n = 1; n < cc.count - kBatch; ++n) last = last->next;
  Block* batch = last->next;
  last->next = nullptr;
  cc.count -= kBatch;
  Depot& d = g_shared.depot[c];
  std::lock_guard<std::mutex> g(d.lock);
  d.push(batch, kBatch);
}

// A fork while another thread holds a depot lock would leave the child
// unable to take it: hold them all across the fork.
void lock_all() {
  for (Depot& d : g_shared.depot) d.lock.lock();
  g_shared.slabs_lock.lock();
}
void unlock_all() {
  g_shared.slabs_lock.unlock();
  for (Depot& d : g_shared.depot) d.lock.unlock();
}
[[maybe_unused]] const int g_atfork = pthread_atfork(lock_all, unlock_all, unlock_all);

}  // namespace

#if defined(KOVEL_POOL_OFF)

ThreadCache* here() noexcept { return nullptr; }
void* allocate(std::size_t size, ThreadCache*) {
  void* p = std::malloc(size + kReadSlack);
  if (!p) throw std::bad_alloc();
  return p;
}
void deallocate(void* p, std::size_t, ThreadCache*) noexcept { std::free(p); }
std::size_t block_size(std::size_t size) noexcept { return size + kReadSlack; }

#else

ThreadCache* here() noexcept { return &t_cache; }

void* allocate(std::size_t size, ThreadCache* tc_or_null) {
  if (size > kMaxPooled) {
    void* p = size <= SIZE_MAX - kReadSlack ? std::malloc(size + kReadSlack) : nullptr;
    if (!p) throw std::bad_alloc();
    return p;
  }
  const std::size_t c = class_of(size);
  ThreadCache& tc = tc_or_null ? *tc_or_null : t_cache;
  ClassCache& cc = tc.cls[c];
  if (Block* b = cc.free) [[likely]] {
    // Freed blocks are scattered: fetch the next one now, so that the next
    // allocation does not wait for it.
    cc.free = b->next;
    if (cc.free) __builtin_prefetch(cc.free, 1);
    --cc.count;
    return b;
  }
  if (static_cast<std::size_t>(tc.bump_end - tc.bump) >= class_size(c)) {
    void* p = tc.bump;
    tc.bump += class_size(c);
    return p;
  }
  if (tc.dead) return allocate_dead(c);
  if (!tc.registered) register_thread();
  return refill(c, tc);
}

void deallocate(void* p, std::size_t size, ThreadCache* tc_or_null) noexcept {
  if (size > kMaxPooled) {
    std::free(p);
    return;
  }
  const std::size_t c = class_of(size);
  ThreadCache& tc = tc_or_null ? *tc_or_null : t_cache;
  auto* b = static_cast<Block*>(p);
  if (tc.dead) [[unlikely]] {
    deallocate_dead(c, b);
    return;
  }
  if (!tc.registered) [[unlikely]]
    register_thread();
  ClassCache& cc = tc.cls[c];
  b->next = cc.free;
  cc.free = b;
  if (++cc.count > kCacheMax) spill(c, cc);
}

std::size_t block_size(std::size_t size) noexcept {
  return size > kMaxPooled ? size + kReadSlack : class_size(class_of(size));
}

#endif

}  // namespace kovel::pool
