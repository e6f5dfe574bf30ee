#include "strcmd.h"

#include <atomic>

namespace kovel {

namespace {

// A few large buffers kept from render to render, process-wide. A fresh
// buffer of many megabytes costs a page fault (and the zeroing of a page)
// every 4 KiB written, as much as a quarter of a render; a kept one is
// written at full speed. A slot each for two renders at once bounds what
// is kept to kSlots * kMaxSpare bytes in all.
constexpr std::size_t kMinSpare = std::size_t{1} << 20;
constexpr std::size_t kMaxSpare = std::size_t{32} << 20;
constexpr std::size_t kSlots = 2;

struct Spare {
  char* p;
  std::size_t cap;
};
// A kept buffer's capacity is written in its first bytes.
std::atomic<char*> g_spares[kSlots];

// Frees the kept buffers at exit, so that leak checkers see none.
struct SpareOwner {
  ~SpareOwner() {
    for (auto& slot : g_spares) std::free(slot.exchange(nullptr));
  }
} g_spare_owner;

Spare take_spare() {
  for (auto& slot : g_spares) {
    if (char* p = slot.exchange(nullptr, std::memory_order_acquire)) {
      std::size_t cap;
      std::memcpy(&cap, p, sizeof cap);
      return {p, cap};
    }
  }
  return {nullptr, 0};
}

}  // namespace

void TextBuffer::grow(std::size_t k) {
  if (k > SIZE_MAX / 2 - n_) throw std::bad_alloc();
  std::size_t cap = cap_ < 4096 ? 4096 : cap_;
  while (cap - n_ < k) cap *= 2;
  if (!p_) {
    const Spare s = take_spare();
    if (s.p && s.cap >= cap) {
      p_ = s.p;
      cap_ = s.cap;
      return;
    }
    std::free(s.p);
  }
  void* p = std::realloc(p_, cap);
  if (!p) throw std::bad_alloc();
  p_ = static_cast<char*>(p);
  cap_ = cap;
}

void TextBuffer::release(char* p, std::size_t cap) noexcept {
  if (!p || cap < kMinSpare || cap > kMaxSpare) {
    std::free(p);
    return;
  }
  std::memcpy(p, &cap, sizeof cap);
  for (auto& slot : g_spares) {
    char* empty = nullptr;
    if (slot.compare_exchange_strong(empty, p, std::memory_order_acq_rel)) return;
  }
  std::free(g_spares[0].exchange(p, std::memory_order_acq_rel));  // all taken: keep the newest
}

}  // namespace kovel
