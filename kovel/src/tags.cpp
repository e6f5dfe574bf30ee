#include "tags.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "varint.h"

namespace kovel::tags {

namespace {

constexpr std::uint32_t kSlots = 1u << 16;      // a power of two
constexpr std::uint32_t kMaxEntries = kSlots / 2;  // keeps probe runs short

// Immutable once published: the tag's wire form (varint length + text).
struct Entry {
  std::uint32_t hash;
  std::uint16_t enc_size;
  std::uint8_t head;  // bytes of the length varint
  char enc[1];        // enc_size bytes follow
};

}  // namespace

struct Table {
  std::atomic<const Entry*> slots[kSlots];
  std::uint32_t count = 0;  // guarded by insert
  std::mutex insert;
};

namespace {

Table g_own;
Table* g_table = &g_own;

std::uint32_t hash_of(std::string_view s) {
  std::uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

std::string_view text_of(const Entry* e) { return {e->enc + e->head, std::size_t{e->enc_size} - e->head}; }

// The slot holding `tag`, or the empty slot where it would go.
std::uint32_t probe(std::string_view tag, std::uint32_t h, const Entry*& found) {
  for (std::uint32_t i = h & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
    const Entry* e = g_table->slots[i].load(std::memory_order_acquire);
    if (!e || (e->hash == h && text_of(e) == tag)) {
      found = e;
      return i;
    }
  }
}

}  // namespace

std::uint32_t intern(std::string_view tag) {
  if (tag.size() > kMaxInterned) return kInline;
  const std::uint32_t h = hash_of(tag);
  const Entry* e;
  std::uint32_t slot = probe(tag, h, e);
  if (e) return slot;
  // Inserts are rare (once per distinct tag) and serialised, so the choice
  // between interned and inline is the same for every caller.
  std::lock_guard<std::mutex> g(g_table->insert);
  slot = probe(tag, h, e);
  if (e) return slot;
  if (g_table->count >= kMaxEntries) return kInline;
  const std::size_t head = detail::varint_size(tag.size());
  auto* n = static_cast<Entry*>(std::malloc(sizeof(Entry) + head + tag.size()));
  if (!n) throw std::bad_alloc();
  n->hash = h;
  n->head = static_cast<std::uint8_t>(head);
  n->enc_size = static_cast<std::uint16_t>(head + tag.size());
  std::uint8_t* p = detail::put_varint(reinterpret_cast<std::uint8_t*>(n->enc), tag.size());
  if (!tag.empty()) std::memcpy(p, tag.data(), tag.size());
  g_table->slots[slot].store(n, std::memory_order_release);
  ++g_table->count;
  return slot;
}

std::string_view text(std::uint32_t id) noexcept {
  return text_of(g_table->slots[id].load(std::memory_order_acquire));
}

std::string_view encoded(std::uint32_t id) noexcept {
  const Entry* e = g_table->slots[id].load(std::memory_order_acquire);
  return {e->enc, e->enc_size};
}

}  // namespace kovel::tags

namespace kovel::tags {

Table* table() noexcept { return g_table; }
void share_table(Table* t) noexcept { g_table = t; }

}  // namespace kovel::tags
