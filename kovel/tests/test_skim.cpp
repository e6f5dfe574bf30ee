// Skims and outlines of postcard bytes: each node's extent and text length
// as decoding and rendering give them, and nothing read beyond the bytes.
#include <gtest/gtest.h>

#include "skim.h"
#include "support.h"

using namespace kovel;
using namespace kt;

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Checks every node the skim gives against the term itself: its bytes
// decode to the subterm, its length is the subterm's text, its children's
// texts lie where the skim says within the whole text.
void check_skim(const KTerm& root, const std::string& data, const std::vector<SkimNode>& nodes) {
  const std::string text = root.coparse(nullptr);
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes[0].length, text.size());
  EXPECT_EQ(nodes[0].next, nodes.size());
  // Walk the term in preorder beside the skim.
  struct At {
    const KTerm* term;
    std::uint64_t start;
  };
  std::vector<At> todo{{&root, 0}};
  std::vector<std::pair<std::size_t, std::uint64_t>> kids;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    ASSERT_FALSE(todo.empty());
    const At at = todo.back();
    todo.pop_back();
    const SkimNode& n = nodes[i];
    const std::string own = at.term->coparse(nullptr);
    EXPECT_EQ(n.length, own.size());
    EXPECT_EQ(text.substr(at.start, own.size()), own);
    EXPECT_EQ(data.substr(n.begin, n.end - n.begin), encode_term(*at.term));
    EXPECT_EQ(tag_at(bytes_of(data), n.begin), at.term->tag());
    skim_children(bytes_of(data), nodes, i, at.start, kids);
    ASSERT_EQ(kids.size(), at.term->children().size());
    for (std::size_t k = kids.size(); k-- > 0;) todo.push_back({at.term->children()[k], kids[k].second});
    EXPECT_TRUE(kids.empty() || kids[0].first == i + 1);
  }
  EXPECT_TRUE(todo.empty());
}

// Checks the outline of the nodes whose text is `least` bytes or longer
// against the skim, and that its stored form reads back the same.
void check_outline(const std::string& data, const std::vector<SkimNode>& nodes, std::uint32_t least) {
  const std::vector<OutlineNode> outline = outline_term(bytes_of(data), nodes, least);
  ASSERT_FALSE(outline.empty());
  EXPECT_EQ(outline[0].next, outline.size());
  std::vector<std::pair<std::size_t, std::uint64_t>> kids;
  for (std::size_t i = 0; i < outline.size(); ++i) {
    const OutlineNode& n = outline[i];
    // The node is the one of the skim that starts there, with its text where the skim puts it.
    const auto same =
        std::find_if(nodes.begin(), nodes.end(), [&](const SkimNode& s) { return s.begin == n.begin; });
    ASSERT_NE(same, nodes.end());
    EXPECT_EQ(same->end, n.end);
    EXPECT_EQ(same->length, n.length);
    const bool has_kids = same->next > static_cast<std::size_t>(same - nodes.begin()) + 1;
    const bool listed = n.next > i + 1;
    EXPECT_EQ(listed, has_kids && n.length >= least);
    if (!listed) continue;
    skim_children(bytes_of(data), nodes, static_cast<std::size_t>(same - nodes.begin()), n.start, kids);
    std::size_t k = 0;
    for (std::size_t c = i + 1; c < n.next; c = outline[c].next, ++k) {
      ASSERT_LT(k, kids.size());
      EXPECT_EQ(outline[c].ordinal, k);
      EXPECT_EQ(outline[c].start, kids[k].second);
      EXPECT_EQ(outline[c].begin, nodes[kids[k].first].begin);
    }
    EXPECT_EQ(k, kids.size());
  }
  const std::string stored = outline_bytes(outline);
  const std::vector<OutlineNode> back = read_outline(bytes_of(stored), data.size(), nodes[0].length);
  ASSERT_EQ(back.size(), outline.size());
  for (std::size_t i = 0; i < back.size(); ++i)
    EXPECT_EQ(outline_bytes({&back[i], 1}), outline_bytes({&outline[i], 1}));
}

TEST(Skim, NodesAndOutlinesOfSourceLikeTerms) {
  for (std::uint32_t seed = 0; seed < 300; ++seed) {
    const KRef t = TermGen(seed).source(static_cast<int>(seed % 6));
    const std::string data = encode_term(*t);
    const std::vector<SkimNode> nodes = skim_term(bytes_of(data));
    check_skim(*t, data, nodes);
    // Bytes after the term are not read.
    EXPECT_EQ(skim_term(bytes_of(data + "\x02\x00")).size(), nodes.size());
    for (const std::uint32_t least : {0u, 1u, 4u, 16u, 1u << 30}) check_outline(data, nodes, least);
  }
}

TEST(Skim, RefusesWhatDoesNotRenderAloneAsInPlace) {
  const KRef x = leaf("x", "y");
  const std::vector<KRef> refused = {
      tuple("t", Kids{x}, Cmds{W("a"), P("  "), N, H, X}),  // a prefix reaches into the child
      tuple("t", Kids{x, x}, Cmds{H}),                      // a child is not rendered
      tuple("t", Kids{x}, Cmds{H, H}),                      // a hole without a child
      kquote_at("q", 0, "py", x, Cmds{H}, std::nullopt).share(),
      tuple("t", Kids{tuple("u", Kids{x}, Cmds{P(""), H})}, Cmds{H}),  // even deep down
  };
  for (const KRef& t : refused) EXPECT_TRUE(skim_term(bytes_of(encode_term(*t))).empty());
}

// Under the sanitizers, a read past the copy of the bytes fails the test.
TEST(Skim, DamagedBytesAreRefusedOrStillNest) {
  std::string data;  // of a term of some size
  for (std::uint32_t seed = 7; skim_term(bytes_of(data)).size() <= 40; ++seed)
    data = encode_term(*TermGen(seed).source(5));
  for (std::size_t n = 0; n < data.size(); ++n) EXPECT_TRUE(skim_term(bytes_of(data.substr(0, n))).empty());
  // A varint of eleven bytes, and a count of children the input cannot hold.
  EXPECT_TRUE(skim_term(bytes_of(hex("02 01 78 FF FF FF FF FF FF FF FF FF FF 01"))).empty());
  EXPECT_TRUE(skim_term(bytes_of(hex("02 01 78 FF FF FF FF 0F"))).empty());
  const std::vector<SkimNode> nodes = skim_term(bytes_of(data));
  const std::string stored = outline_bytes(outline_term(bytes_of(data), nodes, 0));
  const std::uint64_t length = nodes[0].length;
  EXPECT_TRUE(read_outline(bytes_of(stored.substr(1)), data.size(), length).empty());
  EXPECT_TRUE(read_outline(bytes_of(stored), data.size(), length + 1).empty());  // another text
  EXPECT_TRUE(read_outline(bytes_of(stored), data.size() - 1, length).empty());  // other bytes
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    std::string bad = data;
    for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
    const std::vector<SkimNode> skim = skim_term(bytes_of(bad));
    for (std::size_t i = 0; i < skim.size(); ++i) {
      ASSERT_GT(skim[i].next, i);
      ASSERT_LE(skim[i].end, bad.size());
    }
    bad = stored;
    bad[rng() % bad.size()] = static_cast<char>(rng());
    // Whatever outline is taken nests, and lies within the term's bytes and text.
    const std::vector<OutlineNode> got = read_outline(bytes_of(bad), data.size(), length);
    std::vector<std::uint64_t> ends;
    for (std::size_t i = 0; i < got.size(); ++i) {
      while (!ends.empty() && ends.back() == i) ends.pop_back();
      ASSERT_TRUE(ends.empty() || got[i].next <= ends.back());
      ASSERT_GT(got[i].next, i);
      ASSERT_LE(got[i].end, data.size());
      ASSERT_LE(std::uint64_t{got[i].start} + got[i].length, length);
      ends.push_back(got[i].next);
    }
  }
}

}  // namespace
