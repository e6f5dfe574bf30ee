// Unsigned LEB128 varints and UTF-8 validation, shared by nodes and postcard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kovel::detail {

constexpr std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Writes the shortest form of `v` at `p`; returns the end.
inline std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<std::uint8_t>(v);
  return p;
}

inline void append_varint(std::string& out, std::uint64_t v) {
  std::uint8_t buf[10];
  std::uint8_t* end = put_varint(buf, v);
  out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(end - buf));
}

// Reads a varint that the core itself wrote (so it is well formed).
inline std::uint64_t get_varint(const std::uint8_t*& p) {
  std::uint64_t v = 0;
  unsigned shift = 0;
  for (;;) {
    std::uint8_t b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
    shift += 7;
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::uint8_t* p, std::size_t n);

}  // namespace kovel::detail
