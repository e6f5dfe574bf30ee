// String commands and the prefix writer: the layout language of terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kovel {

// One layout command. The variant order is the wire order (Write=0 .. Pop=3).
struct StrCmd {
  enum class Kind : std::uint8_t { Write = 0, NL = 1, Push = 2, Pop = 3 };

  Kind kind = Kind::NL;
  std::string text;  // payload of Write and Push; empty otherwise

  bool operator==(const StrCmd&) const = default;
};

// Constructors; both copy the text.
inline StrCmd write(std::string_view s) { return {StrCmd::Kind::Write, std::string(s)}; }
inline StrCmd push(std::string_view s) { return {StrCmd::Kind::Push, std::string(s)}; }
inline const StrCmd NL{StrCmd::Kind::NL, {}};
inline const StrCmd POP{StrCmd::Kind::Pop, {}};

// The leading byte of each element of an encoded command list, in postcard
// bytes and in a node's own bytes alike: a command (then its kind and text)
// or a HOLE.
inline constexpr std::uint8_t kCmdTag = 0x00;
inline constexpr std::uint8_t kHoleTag = 0x01;

// A growable byte buffer made for rendering: an append is one bounds check
// and a copy, with short texts (most of them) copied inline. It grows with
// realloc and is never zero-filled; one large buffer is kept for the next
// render (see strcmd.cpp).
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  TextBuffer(TextBuffer&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)), cap_(std::exchange(o.cap_, 0)) {}
  TextBuffer& operator=(TextBuffer&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(n_, o.n_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~TextBuffer() { release(p_, cap_); }

  void append(std::string_view s) {
    char* d = room(s.size());
    copy(d, s.data(), s.size());
    n_ += s.size();
  }
  // The same for a text followed by 16 readable bytes (see pool.h): a short
  // one is copied as one 16-byte move, whatever its length.
  void append_padded(std::string_view s) {
    if (s.size() > 16) return append(s);
    char* d = room(16);
    std::memcpy(d, s.data(), 16);
    n_ += s.size();
  }
  void push_back(char c) {
    *room(1) = c;
    ++n_;
  }
  // Room for `k` more bytes, written in place and then kept with commit().
  char* room(std::size_t k) {
    if (cap_ - n_ < k) [[unlikely]]
      grow(k);
    return p_ + n_;
  }
  void commit(char* end) { n_ = static_cast<std::size_t>(end - p_); }
  std::size_t size() const { return n_; }
  // Shrinking only.
  void resize(std::size_t n) { n_ = n; }
  std::string_view view() const { return {p_ ? p_ : "", n_}; }

 private:
  // Leaves the buffer as it was when it throws.
  void grow(std::size_t k);
  // Frees a buffer, or keeps it as the process's spare (see strcmd.cpp).
  static void release(char* p, std::size_t cap) noexcept;
  static void copy(char* d, const char* s, std::size_t n) {
    if (n > 16) {
      std::memcpy(d, s, n);
    } else if (n >= 8) {  // two overlapping words
      std::uint64_t a, b;
      std::memcpy(&a, s, 8);
      std::memcpy(&b, s + n - 8, 8);
      std::memcpy(d, &a, 8);
      std::memcpy(d + n - 8, &b, 8);
    } else if (n >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, s, 4);
      std::memcpy(&b, s + n - 4, 4);
      std::memcpy(d, &a, 4);
      std::memcpy(d + n - 4, &b, 4);
    } else if (n) {  // 1 to 3 bytes
      d[0] = s[0];
      d[n / 2] = s[n / 2];
      d[n - 1] = s[n - 1];
    }
  }

  char* p_ = nullptr;
  std::size_t n_ = 0;
  std::size_t cap_ = 0;
};

// Executes commands against a growable byte buffer that it borrows (a
// std::string or a TextBuffer).
//
// The pushed prefixes are kept concatenated in one string (with the start of each
// prefix on a stack), so a line break is one line feed plus one append.
template <class Sink>
class BasicPrefixWriter {
 public:
  explicit BasicPrefixWriter(Sink& sink) : sink_(sink) {}

  void interpret(const StrCmd& c) { interpret(c.kind, c.text); }

  void interpret(StrCmd::Kind kind, std::string_view text) {
    switch (kind) {
      case StrCmd::Kind::Write: write_text(text); break;
      case StrCmd::Kind::NL: newline(); break;
      case StrCmd::Kind::Push: push_prefix(text); break;
      case StrCmd::Kind::Pop: pop_prefix(); break;
    }
  }

  // Each command changes the writer whole or, if an allocation fails, not at all.
  void write_text(std::string_view s) { sink_.append(s); }
  // A text inside a node, which is followed by 16 readable bytes.
  void write_node_text(std::string_view s) {
    if constexpr (requires { sink_.append_padded(s); })
      sink_.append_padded(s);
    else
      sink_.append(s);
  }

  void newline() {
    const std::size_t size = sink_.size();
    sink_.push_back('\n');
    try {
      sink_.append(prefixes_);
    } catch (...) {
      sink_.resize(size);  // shrinking never allocates
      throw;
    }
  }

  void push_prefix(std::string_view s) {
    const std::size_t size = prefixes_.size();
    prefixes_.append(s);
    try {
      starts_.push_back(size);
    } catch (...) {
      prefixes_.resize(size);
      throw;
    }
  }

  // Bytes a line break writes after its line feed.
  std::size_t prefix_size() const { return prefixes_.size(); }

  // Popping an empty stack is a no-op.
  void pop_prefix() {
    if (starts_.empty()) return;
    prefixes_.resize(starts_.back());
    starts_.pop_back();
  }

 private:
  Sink& sink_;
  std::string prefixes_;             // all pushed prefixes, oldest first
  std::vector<std::size_t> starts_;  // start offset of each pushed prefix
};

// Counts the code points of what is written and keeps no text (the text is
// valid UTF-8: the bytes that do not continue a sequence are counted).
class CodePointCount {
 public:
  void append(std::string_view s) {
    std::uint64_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    n_ += n;
  }
  void push_back(char c) { n_ += (static_cast<unsigned char>(c) & 0xC0) != 0x80; }
  // What a writer takes back to undo a command: the count before it.
  std::size_t size() const { return static_cast<std::size_t>(n_); }
  void resize(std::size_t n) { n_ = n; }
  std::uint64_t count() const { return n_; }

 private:
  std::uint64_t n_ = 0;
};

using PrefixWriter = BasicPrefixWriter<std::string>;
using BufferWriter = BasicPrefixWriter<TextBuffer>;
using CountWriter = BasicPrefixWriter<CodePointCount>;

}  // namespace kovel
