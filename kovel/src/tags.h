// Interned node tags.
//
// A grammar has a few hundred kinds, and millions of nodes repeat them, so a
// node keeps a 32-bit number for its tag instead of the text. Tags live in
// one process-wide table that only grows; lookups take no lock. The table is
// bounded: tags longer than kMaxInterned bytes, and new tags once it is
// full (hostile input can bring millions), stay inline in their nodes.
// Whether a tag is interned depends only on its text, since a text that
// missed the table once will miss it for ever.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace kovel::tags {

constexpr std::uint32_t kInline = 0xFFFFFFFF;
constexpr std::size_t kMaxInterned = 128;
constexpr std::uint32_t kSlots = 1u << 16;         // a power of two
constexpr std::uint32_t kMaxEntries = kSlots / 2;  // keeps probe runs short

// An interned tag, immutable once published: its wire form (the length as a
// varint, then the text).
struct Entry {
  std::uint32_t hash;
  std::uint16_t enc_size;
  std::uint8_t head;  // bytes of the length varint
  char enc[1];        // enc_size bytes follow

  std::string_view text() const { return {enc + head, std::size_t{enc_size} - head}; }
  std::string_view encoded() const { return {enc, enc_size}; }
};

struct Table {
  std::atomic<const Entry*> slots[kSlots];
  std::atomic<std::uint32_t> count{0};  // written under `insert`
  std::mutex insert;
};

extern Table g_table;

// The number of `tag`, or kInline; throws bad_alloc.
std::uint32_t intern(std::string_view tag);

// The entry of an interned tag. The node carrying the number was made after
// the entry was published, and handed to this thread with synchronisation
// of its own, so a relaxed load is enough.
inline const Entry& entry(std::uint32_t id) noexcept {
  return *g_table.slots[id].load(std::memory_order_relaxed);
}
inline std::string_view text(std::uint32_t id) noexcept { return entry(id).text(); }
inline std::string_view encoded(std::uint32_t id) noexcept { return entry(id).encoded(); }

}  // namespace kovel::tags
