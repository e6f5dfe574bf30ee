// HTML and Python-literal escaping.
//
// Every character that gets replaced is ASCII, and bytes of multi-byte UTF-8
// sequences are all >= 0x80, so both escapers work byte by byte without
// decoding: they copy each run of unchanged bytes with one append.
#include "escape.h"

#include <array>
#include <cstddef>

namespace kovel::py {
namespace {

using ByteSet = std::array<bool, 256>;

constexpr ByteSet html_special() {
  ByteSet s{};
  for (unsigned char c : {'&', '<', '>', '"', '\''}) s[c] = true;
  return s;
}

constexpr ByteSet python_special() {
  ByteSet s{};
  for (int c = 0; c < 0x20; ++c) s[c] = true;
  s[0x7F] = true;
  s['"'] = true;
  s['\\'] = true;
  return s;
}

constexpr ByteSet kHtmlSpecial = html_special();
constexpr ByteSet kPythonSpecial = python_special();

// Copies runs of bytes outside `special`; calls `replace` for each byte in it.
template <typename Replace>
void escape_bytes(std::string& out, std::string_view s, const ByteSet& special, Replace replace) {
  // Room for the unchanged case; replacements grow the buffer as needed.
  out.reserve(out.size() + s.size());
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (!special[b]) continue;
    out.append(s.data() + start, i - start);
    replace(out, b);
    start = i + 1;
  }
  out.append(s.data() + start, s.size() - start);
}

}  // namespace

void append_html_escaped(std::string& out, std::string_view utf8) {
  escape_bytes(out, utf8, kHtmlSpecial, [](std::string& o, unsigned char b) {
    switch (b) {
      case '&': o += "&amp;"; break;
      case '<': o += "&lt;"; break;
      case '>': o += "&gt;"; break;
      case '"': o += "&quot;"; break;
      default: o += "&#x27;"; break;  // the only one left: '
    }
  });
}

void append_python_string_escaped(std::string& out, std::string_view utf8) {
  escape_bytes(out, utf8, kPythonSpecial, [](std::string& o, unsigned char b) {
    switch (b) {
      case '\\': o += "\\\\"; break;
      case '"': o += "\\\""; break;
      case '\n': o += "\\n"; break;
      case '\r': o += "\\r"; break;
      case '\t': o += "\\t"; break;
      default: {
        // Remaining controls (below 0x20, and DEL) as \xNN.
        static constexpr char kHex[] = "0123456789abcdef";
        const char esc[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
        o.append(esc, 4);
      }
    }
  });
}

}  // namespace kovel::py
