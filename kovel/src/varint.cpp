#include "varint.h"

#include <cstring>

namespace kovel::detail {

bool valid_utf8(const std::uint8_t* p, std::size_t n) {
  const std::uint8_t* end = p + n;
  while (p < end) {
    // Skip ASCII eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    std::uint8_t b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;  // no overlong forms
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;  // no overlong forms
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i < len; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += len;
  }
  return true;
}

}  // namespace kovel::detail
