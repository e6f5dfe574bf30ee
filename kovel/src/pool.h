// Size-class pool for term nodes.
//
// Nodes are small (most take 24 to 64 bytes) and are made and freed by the
// million, so they come from slabs carved in 8-byte steps instead of from
// malloc, which adds an 8-byte header to each block and rounds it to 16.
// Each thread keeps a free list per size class and trades batches with a
// shared depot, so a node made on one thread may be freed on any other.
// Slabs are kept for reuse, never given back to the system.
//
// Under AddressSanitizer every block comes from malloc, so that the
// sanitizer sees each node's lifetime.
#pragma once

#include <cstddef>

namespace kovel::pool {

// The largest block the pool serves; larger ones come from malloc.
constexpr std::size_t kMaxPooled = 256;

// Every block is followed by at least this many readable bytes (the next
// block, a slab's unused tail, or padding), so that rendering may copy a
// short text near a node's end as one 16-byte move, without a branch on
// its length.
constexpr std::size_t kReadSlack = 16;

// A thread's free blocks. Finding them costs a thread-local lookup (a call,
// in a shared library), so a loop that allocates or frees many blocks looks
// them up once with here().
struct ThreadCache;
ThreadCache* here() noexcept;

// `size` bytes, 8-aligned (16-aligned above kMaxPooled); throws bad_alloc.
// `tc`, when given, is here() of the calling thread.
void* allocate(std::size_t size, ThreadCache* tc = nullptr);
// Gives back a block of `allocate(size)`, from any thread.
void deallocate(void* p, std::size_t size, ThreadCache* tc = nullptr) noexcept;
// The bytes a block of `size` really takes.
std::size_t block_size(std::size_t size) noexcept;

}  // namespace kovel::pool
