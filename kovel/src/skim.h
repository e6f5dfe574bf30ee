// The shape of a term's postcard bytes, read without building the term.
//
// A search of a stored term needs only the few subtrees whose text holds
// what every match must hold. The skim says where each node's bytes lie and
// how long its text is, so that those subtrees alone are decoded (each
// node's bytes are a whole encoding of its own).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kovel {

struct SkimNode {
  std::uint32_t begin = 0;  // its encoding: bytes [begin, end) of the input
  std::uint32_t end = 0;
  std::uint32_t cmds = 0;    // where its command list starts
  std::uint32_t next = 0;    // the index of the first node after its subtree
  std::uint32_t length = 0;  // bytes of its text
};

// The nodes of the term encoded at the start of `data`, in preorder (the
// root first; a node's first child, if any, right after it), when the term
// lays out like a parsed source's: every node a Tuple with one hole per
// child, and no Push or POP, so that every subterm renders alone as it does
// in place. Empty otherwise, when the bytes end early or are malformed, or
// when the input or a text reaches 4 GiB. Texts are not checked for UTF-8:
// the decoder checks the bytes of whatever is then decoded.
std::vector<SkimNode> skim_term(std::span<const std::uint8_t> data);

// The tag of the node whose encoding starts at `begin` of `data` (a node
// skim_term found), or "" when there is none.
std::string_view tag_at(std::span<const std::uint8_t> data, std::uint32_t begin);

// Where the text of each child of `nodes[i]` starts, when its own starts at
// `start`: the child's index and offset, in order, into `out` (cleared first).
void skim_children(std::span<const std::uint8_t> data, std::span<const SkimNode> nodes, std::size_t i,
                   std::uint64_t start, std::vector<std::pair<std::size_t, std::uint64_t>>& out);

// The outline of a stored term, kept beside its bytes so that a search
// reads neither: the nodes whose text is at least some length long, each
// with all of its children (of any length), in preorder.
struct OutlineNode {
  std::uint32_t begin = 0;  // its encoding: bytes [begin, end) of the term's
  std::uint32_t end = 0;
  std::uint32_t start = 0;  // its text: bytes [start, start + length) of the term's
  std::uint32_t length = 0;
  std::uint32_t next = 0;     // the index of the first node after its subtree
  std::uint32_t ordinal = 0;  // its position among its parent's children
};

// The outline of the term whose skim is `nodes`: its nodes of `min_length`
// bytes of text or more, and their children.
std::vector<OutlineNode> outline_term(std::span<const std::uint8_t> data, std::span<const SkimNode> nodes,
                                      std::uint32_t min_length);

// An outline as bytes (24 a node, little-endian), and back: empty when the
// bytes are not an outline of a term of `data_size` bytes whose text has
// `text_size`.
std::string outline_bytes(std::span<const OutlineNode> outline);
std::vector<OutlineNode> read_outline(std::span<const std::uint8_t> bytes, std::uint64_t data_size,
                                      std::uint64_t text_size);

}  // namespace kovel
