// Quoting of term text for KTerm.__repr__.
#include "repr_quote.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace kovel::py {
namespace {

#include "unicode_tables.inc"

template <std::size_t N>
bool in_table(const CodePointRange (&table)[N], char32_t cp) {
  // First range whose upper end is >= cp; cp is inside iff it starts at or below cp.
  const CodePointRange* it = std::lower_bound(std::begin(table), std::end(table), cp,
                                              [](const CodePointRange& r, char32_t c) { return r.hi < c; });
  return it != std::end(table) && it->lo <= cp;
}

// Combining marks would attach to the quote or the previous character, and
// non-printable characters are invisible or ambiguous, so both are spelled out.
bool needs_escape(char32_t cp) { return in_table(kGraphemeExtend, cp) || in_table(kNotPrintable, cp); }

// Printable ASCII that is copied as is: everything from space to tilde
// except the two characters that have their own escapes.
constexpr bool plain_ascii(unsigned char b) { return b >= 0x20 && b <= 0x7E && b != '"' && b != '\\'; }

void append_code_point_escape(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += digits[--n];
  out += '}';
}

// Decodes the sequence starting at s[i] and returns its length in bytes.
// The input is valid UTF-8; the length is still clamped to the bytes left so a
// broken sequence can never make us read past the end.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if (b0 >= 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else if (b0 >= 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else {
    len = 2;
    cp = b0 & 0x1F;
  }
  len = std::min(len, s.size() - i);
  for (std::size_t k = 1; k < len; ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  }
  return len;
}

}  // namespace

void append_repr_quoted(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out += '"';
  std::size_t i = 0;
  const std::size_t n = utf8.size();
  while (i < n) {
    // Most text is plain ASCII: copy each run of it with one append.
    std::size_t run = i;
    while (run < n && plain_ascii(static_cast<unsigned char>(utf8[run]))) ++run;
    if (run != i) {
      out.append(utf8.data() + i, run - i);
      i = run;
      if (i == n) break;
    }

    char32_t cp;
    const std::size_t len = decode(utf8, i, cp);
    switch (cp) {
      case 0x00: out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (needs_escape(cp)) {
          append_code_point_escape(out, cp);
        } else {
          out.append(utf8.data() + i, len);
        }
    }
    i += len;
  }
  out += '"';
}

}  // namespace kovel::py
