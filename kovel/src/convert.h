// The layout rules that turn a syntax tree's byte ranges into term commands:
// which gaps keep their line feeds as text and which become line breaks.
//
// A syntax tree front end (tree-sitter, driven from the extension) walks the
// tree and calls these for every node; they see only texts, so the front end
// decides which nodes are verbatim (by kind and ancestry) and these decide
// how each text is written. The Python reference walk in
// `python/kovel/treesitter/layout.py` documents the same rules, numbered there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kterm.h"

namespace kovel::convert {

// A tuple node being made, kept from node to node so that its buffers are
// allocated once per depth of the walk rather than once per node. Makes the
// same nodes as a KTermBuilder (core tests check it) with the commands
// encoded as KTerm::assemble takes them.
class NodeBuf {
 public:
  // Starts a node; `tag` must outlive the call to build, and `tag_id` be
  // tags::intern(tag) (a walk interns each kind once).
  void reset(std::string_view tag, std::uint32_t tag_id) {
    tag_ = tag;
    tag_id_ = tag_id;
  }
  void write(std::string_view s);  // an empty text writes nothing, as KTermBuilder::write
  void nl();
  void child(KRef t);
  // Drops what was written.
  void clear() {
    kids_.clear();
    cmds_.clear();
    ncmds_ = 0;
  }
  // The node; leaves this empty. `tc`, when given, is pool::here() of the
  // calling thread (a walk looks it up once).
  KRef build(pool::ThreadCache* tc = nullptr);

 private:
  std::string_view tag_;
  std::uint32_t tag_id_ = tags::kInline;
  std::vector<KRef> kids_;
  std::string cmds_;
  std::uint64_t ncmds_ = 0;
};

// Whether `s` is well-formed UTF-8 (no overlongs, surrogates or code points
// past U+10FFFF), as a term's texts must be.
bool valid_utf8(std::string_view s);

// Whether `c` is one of the blanks: space, tab, CR, LF, FF, VT.
constexpr bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Whether a gap is hidden token text spanning lines: once every backslash
// that ends a line (before LF or CR LF) is removed with its line end, it
// still holds a line feed and something that is not blank.
bool token_text(std::string_view gap);

// Where the rules write: a NodeBuf, or anything else with `write(text)` and
// `nl()` (the extension lists the commands for templates this way, so that
// templates and converted trees share these rules).
template <class S>
concept Sink = requires(S& s, std::string_view t) {
  s.write(t);
  s.nl();
};

// Writes `text` into `b` with each line feed as an NL command and each
// non-empty line as a Write.
template <Sink S>
void write_lines(S& b, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t lf; (lf = text.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    if (lf > start) b.write(text.substr(start, lf - start));  // an empty line writes nothing
    b.nl();
  }
  if (start < text.size()) b.write(text.substr(start));
}

// Writes a gap: as one Write when `verbatim` or without a line feed, else as
// lines; `before_anchored` keeps a final line feed as a Write of its own (the
// next child must start at column 0). Returns whether the gap was written as
// lines and is token text (the node is then verbatim after all).
template <Sink S>
bool write_gap(S& b, std::string_view gap, bool verbatim, bool before_anchored) {
  if (verbatim || gap.find('\n') == std::string_view::npos) {
    if (!gap.empty()) b.write(gap);
    return false;
  }
  if (before_anchored && gap.back() == '\n') {
    write_lines(b, gap.substr(0, gap.size() - 1));
    b.write("\n");
  } else {
    write_lines(b, gap);
  }
  return token_text(gap);
}

// Whether a token's text is written as lines rather than as one leaf (a
// line-end token: not verbatim, blank after its first line feed).
bool line_end_token(std::string_view text, bool verbatim);

// The term of a node without children: a leaf, except a line-end token (not
// verbatim, blank after its first line feed), which is written as lines
// (with `scratch`). `kind_id` is tags::intern(kind); `tc`, when given, is
// pool::here() of the calling thread.
KRef token(std::string_view kind, std::uint32_t kind_id, std::string_view text, bool verbatim,
           NodeBuf& scratch, pool::ThreadCache* tc = nullptr);

// Whether a comment-like node's text keeps it at column 0: it spans lines and
// its last line starts with a character that is not blank.
bool last_line_anchored(std::string_view text);

}  // namespace kovel::convert
