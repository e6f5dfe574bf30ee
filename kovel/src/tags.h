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

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kovel::tags {

constexpr std::uint32_t kInline = 0xFFFFFFFF;
constexpr std::size_t kMaxInterned = 128;

// The number of `tag`, or kInline; throws bad_alloc.
std::uint32_t intern(std::string_view tag);
// The text of an interned tag.
std::string_view text(std::uint32_t id) noexcept;
// Its wire form: the length as a varint, then the text.
std::string_view encoded(std::uint32_t id) noexcept;

// Each copy of the core (each extension module links one) has a table; nodes
// pass between the copies, so all of them must use the same one. A copy
// adopts another's table with share_table(), before it makes any node.
struct Table;
Table* table() noexcept;
void share_table(Table* t) noexcept;

}  // namespace kovel::tags
