// String commands and the prefix writer: the layout language of terms.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Executes commands against a growable byte buffer that it borrows.
//
// The pushed prefixes are kept concatenated in one string (with the start of each
// prefix on a stack), so a line break is one line feed plus one append.
class PrefixWriter {
 public:
  explicit PrefixWriter(std::string& sink) : sink_(sink) {}

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
  std::string& sink_;
  std::string prefixes_;             // all pushed prefixes, oldest first
  std::vector<std::size_t> starts_;  // start offset of each pushed prefix
};

}  // namespace kovel
