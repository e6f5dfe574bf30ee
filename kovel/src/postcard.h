// Terms to and from postcard bytes, the interchange format of terms.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "interrupt.h"
#include "kterm.h"

namespace kovel {

enum class DecodeError : std::uint8_t { EndOfInput, Varint, Utf8, Option, Variant };

// The fixed display text of each decode error.
std::string_view message(DecodeError e);

// Appends the encoding of `t` to `out` (one pass, no recursion). With a
// `stop` check that fires, throws Interrupted.
void encode_term(const KTerm& t, std::string& out, const StopCheck* stop = nullptr);
// The same into a TextBuffer: the fastest way.
void encode_term(const KTerm& t, TextBuffer& out, const StopCheck* stop = nullptr);
std::string encode_term(const KTerm& t, const StopCheck* stop = nullptr);

struct DecodeResult {
  KRef term;  // set on success
  DecodeError error = DecodeError::EndOfInput;
  bool ok() const { return static_cast<bool>(term); }
};

// Decodes the term at the start of `data`; bytes after it are ignored.
// Never recurses and never reserves memory on the word of a count. With a
// `stop` check that fires, throws Interrupted after releasing every node
// built so far.
DecodeResult decode_term(std::span<const std::uint8_t> data, const StopCheck* stop = nullptr);
inline DecodeResult decode_term(std::string_view data, const StopCheck* stop = nullptr) {
  return decode_term({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()}, stop);
}

}  // namespace kovel
