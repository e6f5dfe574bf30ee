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

// Random terms laid out as a parsed source's are: Tuples, one hole per
// child, texts and line feeds between them (some texts holding line feeds,
// NULs and multi-byte characters), and some shared subterms.
class SourceLike {
 public:
  explicit SourceLike(std::uint32_t seed) : rng_(seed) {}

  KRef term(int depth) {
    if (!pool_.empty() && pick(8) == 0) return pool_[pick(static_cast<int>(pool_.size()))];
    Kids kids;
    if (depth > 0)
      for (int i = pick(5); i > 0; --i) kids.push_back(term(depth - 1));
    Cmds cmds;
    for (std::size_t i = 0; i <= kids.size(); ++i) {
      for (int k = pick(3); k > 0; --k) cmds.push_back(pick(4) == 0 ? N : W(text()));
      if (i < kids.size()) cmds.push_back(H);
    }
    static const char* const tags[] = {"call", "identifier", "", "x\xC3\xA9", "block"};
    KRef t = kids.empty() && !cmds.empty() && pick(2) ? leaf(tags[pick(5)], text())
                                                      : tuple(tags[pick(5)], kids, cmds);
    pool_.push_back(t);
    return t;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::string text() {
    static const char* const pieces[] = {"x", " ", "\n", "\xC3\xA9", "\xF0\x9F\x98\x80", "if"};
    std::string s;
    for (int i = pick(4); i > 0; --i) pick(8) < 7 ? s.append(pieces[pick(6)]) : s.append(1, '\0');
    return s;
  }
  std::mt19937 rng_;
  std::vector<KRef> pool_;
};

// A term of some size: the first the seeds give.
KRef sizable(std::uint32_t seed) {
  for (;; ++seed) {
    SourceLike gen(seed);
    KRef t = gen.term(5);
    const std::string data = encode_term(*t);
    if (skim_term(bytes_of(data)).size() > 40) return t;
  }
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
    if (!kids.empty()) {
      EXPECT_EQ(kids[0].first, i + 1);
    }
  }
  EXPECT_TRUE(todo.empty());
}

TEST(Skim, NodesOfSourceLikeTerms) {
  for (std::uint32_t seed = 0; seed < 300; ++seed) {
    SourceLike gen(seed);
    const KRef t = gen.term(static_cast<int>(seed % 6));
    const std::string data = encode_term(*t);
    check_skim(*t, data, skim_term(bytes_of(data)));
    // Bytes after the term are not read.
    EXPECT_EQ(skim_term(bytes_of(data + "\x02\x00")).size(), skim_term(bytes_of(data)).size());
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

TEST(Skim, MalformedBytesGiveNothingAndAreNotReadPast) {
  const std::string data = encode_term(*sizable(7));
  for (std::size_t n = 0; n < data.size(); ++n) EXPECT_TRUE(skim_term(bytes_of(data.substr(0, n))).empty());
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    std::string bad = data;
    for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
    // Under the sanitizers, a read past the copy fails the test.
    const std::vector<SkimNode> nodes = skim_term(bytes_of(bad));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_GT(nodes[i].next, i);
      EXPECT_LE(nodes[i].end, bad.size());
    }
  }
  // A varint of eleven bytes, and a count of children the input cannot hold.
  EXPECT_TRUE(skim_term(bytes_of(hex("02 01 78 FF FF FF FF FF FF FF FF FF FF 01"))).empty());
  EXPECT_TRUE(skim_term(bytes_of(hex("02 01 78 FF FF FF FF 0F"))).empty());
}

TEST(Outline, ListsTheChildrenOfLongNodes) {
  for (std::uint32_t seed = 0; seed < 200; ++seed) {
    SourceLike gen(seed);
    const KRef t = gen.term(5);
    const std::string data = encode_term(*t);
    const std::vector<SkimNode> nodes = skim_term(bytes_of(data));
    for (const std::uint32_t least : {0u, 1u, 4u, 16u, 1u << 30}) {
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
  }
}

TEST(Outline, DamagedBytesAreRefusedOrStillNest) {
  const KRef t = sizable(3);
  const std::string data = encode_term(*t);
  const std::vector<SkimNode> nodes = skim_term(bytes_of(data));
  const std::string stored = outline_bytes(outline_term(bytes_of(data), nodes, 0));
  const std::uint64_t length = nodes[0].length;
  EXPECT_TRUE(read_outline(bytes_of(stored.substr(1)), data.size(), length).empty());
  EXPECT_TRUE(read_outline(bytes_of(stored), data.size(), length + 1).empty());  // another text
  EXPECT_TRUE(read_outline(bytes_of(stored), data.size() - 1, length).empty());  // other bytes
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    std::string bad = stored;
    bad[rng() % bad.size()] = static_cast<char>(rng());
    const std::vector<OutlineNode> got = read_outline(bytes_of(bad), data.size(), length);
    // Whatever is taken nests, and lies within the term's bytes and text.
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
