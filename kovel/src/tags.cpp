#include "tags.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "varint.h"

namespace kovel::tags {

Table g_table;

namespace {

// Eight bytes at a time; tags are short.
std::uint32_t hash_of(std::string_view s) {
  std::uint64_t h = s.size() * 0x9E3779B97F4A7C15ULL;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
  }
  if (i < s.size()) {
    std::uint64_t w = 0;
    std::memcpy(&w, s.data() + i, s.size() - i);
    h = (h ^ w) * 0xFF51AFD7ED558CCDULL;
  }
  return static_cast<std::uint32_t>(h ^ (h >> 29));
}

// The slot holding `tag`, or the empty slot where it would go.
std::uint32_t probe(std::string_view tag, std::uint32_t h, const Entry*& found) {
  for (std::uint32_t i = h & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
    const Entry* e = g_table.slots[i].load(std::memory_order_acquire);
    if (!e || (e->hash == h && e->text() == tag)) {
      found = e;
      return i;
    }
  }
}

// A fork while another thread inserts would leave the child unable to
// insert: hold the lock across the fork.
void lock_table() { g_table.insert.lock(); }
void unlock_table() { g_table.insert.unlock(); }
[[maybe_unused]] const int g_atfork = pthread_atfork(lock_table, unlock_table, unlock_table);

}  // namespace

std::uint32_t intern(std::string_view tag) {
  if (tag.size() > kMaxInterned) return kInline;
  const std::uint32_t h = hash_of(tag);
  const Entry* e;
  std::uint32_t slot = probe(tag, h, e);
  if (e) return slot;
  // A full table stays full: hostile input bringing tag after tag takes no
  // lock for them.
  if (g_table.count.load(std::memory_order_relaxed) >= kMaxEntries) return kInline;
  // Inserts are rare (once per distinct tag) and serialised, so the choice
  // between interned and inline is the same for every caller.
  std::lock_guard<std::mutex> g(g_table.insert);
  slot = probe(tag, h, e);
  if (e) return slot;
  if (g_table.count.load(std::memory_order_relaxed) >= kMaxEntries) return kInline;
  const std::size_t head = detail::varint_size(tag.size());
  auto* n = static_cast<Entry*>(std::malloc(sizeof(Entry) + head + tag.size()));
  if (!n) throw std::bad_alloc();
  n->hash = h;
  n->head = static_cast<std::uint8_t>(head);
  n->enc_size = static_cast<std::uint16_t>(head + tag.size());
  std::uint8_t* p = detail::put_varint(reinterpret_cast<std::uint8_t*>(n->enc), tag.size());
  if (!tag.empty()) std::memcpy(p, tag.data(), tag.size());
  g_table.slots[slot].store(n, std::memory_order_release);
  g_table.count.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

}  // namespace kovel::tags
