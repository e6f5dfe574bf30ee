// Decoder against a small independent reader of the format: both must agree
// on success or on the error kind, and a decoded term must re-encode to the
// canonical (shortest varint) form of what was read, decode again to an equal
// term and re-encode to the same bytes.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_common.h"
#include "postcard.h"

using namespace kovel;

namespace {

// Reads one term straight from the byte layout, recursively, writing its
// canonical encoding to `out`.
class Reference {
 public:
  Reference(const std::uint8_t* p, std::size_t n) : p_(p), end_(p + n) {}
  std::string out;
  DecodeError error = DecodeError::EndOfInput;

  bool term() {
    std::uint64_t v;
    if (!varint(v, 5)) return false;
    if (v > 2) return fail(DecodeError::Variant);
    out.push_back(static_cast<char>(v));
    if (!text()) return false;
    if (v == 2) {
      std::uint64_t n;
      if (!varint(n, 10)) return false;
      put(n);
      for (std::uint64_t i = 0; i < n; ++i)
        if (!term()) return false;
      return cmds();
    }
    std::uint8_t b;
    if (!byte(b)) return false;
    out.push_back(static_cast<char>(b));
    if (!text() || !term() || !cmds() || !byte(b)) return false;
    out.push_back(static_cast<char>(b));
    if (b == 0) return true;
    if (b != 1) return fail(DecodeError::Option);
    std::uint64_t start, end;
    if (!varint(start, 10) || !varint(end, 10)) return false;
    put(start);
    put(end);
    return true;
  }

 private:
  bool fail(DecodeError e) {
    error = e;
    return false;
  }
  bool byte(std::uint8_t& b) {
    if (p_ == end_) return fail(DecodeError::EndOfInput);
    b = *p_++;
    return true;
  }
  // `max` bytes of 7 bits; the value must fit in 7*(max-1)+1 (64) or 32 bits.
  bool varint(std::uint64_t& v, int max) {
    const int bits = max == 10 ? 64 : 32;
    unsigned __int128 acc = 0;
    for (int i = 0; i < max; ++i) {
      std::uint8_t b;
      if (!byte(b)) return false;
      acc |= static_cast<unsigned __int128>(b & 0x7F) << (7 * i);
      if (i == max - 1 && ((b & 0x80) || (acc >> bits) != 0)) return fail(DecodeError::Varint);
      if (!(b & 0x80)) break;
    }
    v = static_cast<std::uint64_t>(acc);
    return true;
  }
  void put(std::uint64_t v) {
    do {
      const std::uint8_t low = v & 0x7F;
      v >>= 7;
      out.push_back(static_cast<char>(v ? low | 0x80 : low));
    } while (v);
  }
  bool text() {
    std::uint64_t n;
    if (!varint(n, 10)) return false;
    if (n > static_cast<std::uint64_t>(end_ - p_)) return fail(DecodeError::EndOfInput);
    const std::uint8_t* s = p_;
    p_ += n;
    if (!utf8(s, p_)) return fail(DecodeError::Utf8);
    put(n);
    out.append(reinterpret_cast<const char*>(s), n);
    return true;
  }
  bool cmds() {
    std::uint64_t n;
    if (!varint(n, 10)) return false;
    put(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      std::uint64_t h, k;
      if (!varint(h, 5)) return false;
      if (h > 1) return fail(DecodeError::Variant);
      out.push_back(static_cast<char>(h));
      if (h == 1) continue;
      if (!varint(k, 5)) return false;
      if (k > 3) return fail(DecodeError::Variant);
      out.push_back(static_cast<char>(k));
      if ((k == 0 || k == 2) && !text()) return false;
    }
    return true;
  }
  // Decodes each code point and checks range, shortest form and surrogates.
  static bool utf8(const std::uint8_t* p, const std::uint8_t* end) {
    while (p < end) {
      const std::uint8_t b = *p++;
      int more;
      std::uint32_t cp, min;
      if (b < 0x80) continue;
      if ((b & 0xE0) == 0xC0)
        more = 1, cp = b & 0x1F, min = 0x80;
      else if ((b & 0xF0) == 0xE0)
        more = 2, cp = b & 0x0F, min = 0x800;
      else if ((b & 0xF8) == 0xF0)
        more = 3, cp = b & 0x07, min = 0x10000;
      else
        return false;
      for (; more > 0; --more) {
        if (p == end || (*p & 0xC0) != 0x80) return false;
        cp = cp << 6 | (*p++ & 0x3F);
      }
      if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    }
    return true;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const DecodeResult r = decode_term(std::span<const std::uint8_t>(data, size));
  Reference ref(data, size);
  if (!ref.term()) {
    CHECK(!r.ok());
    CHECK(r.error == ref.error);
    return 0;
  }
  CHECK(r.ok());
  const std::string enc = encode_term(*r.term);
  CHECK(enc == ref.out);

  const DecodeResult again = decode_term(enc);
  CHECK(again.ok());
  CHECK(equal(*r.term, *again.term) && equal(*again.term, *r.term));
  CHECK(encode_term(*again.term) == enc);

  // Trailing bytes are never read; every proper prefix runs out of input.
  const DecodeResult trailing = decode_term(enc + std::string(reinterpret_cast<const char*>(data), size));
  CHECK(trailing.ok() && equal(*trailing.term, *r.term));
  for (std::size_t cut : {std::size_t{0}, enc.size() / 3, enc.size() / 2, enc.size() - 1}) {
    const DecodeResult part = decode_term(std::string_view(enc).substr(0, cut));
    CHECK(!part.ok() && part.error == DecodeError::EndOfInput);
  }

  // Equal terms render alike (or fail alike).
  if (fuzz::render_cost(*r.term, 1 << 13) < (1 << 13)) {
    std::optional<std::string> a, b;
    try {
      a = r.term->coparse();
    } catch (const Panic&) {
    }
    try {
      b = again.term->coparse();
    } catch (const Panic&) {
    }
    CHECK(a == b);
  }
  return 0;
}
