// The layout rules of converted syntax trees (convert.h).
#include <gtest/gtest.h>

#include "convert.h"
#include "support.h"

using namespace kovel;
using namespace kt;

namespace {

// The commands `write_gap` gives a node holding one child after the gap.
Cmds gap_cmds(std::string_view gap, bool verbatim, bool before_anchored, bool* token) {
  convert::NodeBuf b;
  b.reset("n", tags::intern("n"));
  *token = convert::write_gap(b, gap, verbatim, before_anchored);
  return b.build()->cmd_values();
}

TEST(NodeBuf, MakesTheNodesOfKTermBuilder) {
  convert::NodeBuf buf;
  for (int round = 0; round < 2; ++round) {  // a built buffer starts afresh
    buf.reset("call", tags::intern("call"));
    KTermBuilder b = tb("call");
    const std::string long_text(300, 'x');  // a length that takes a two-byte varint
    for (const std::string& s : {std::string("f("), std::string(), long_text}) {
      buf.write(s);
      b.write(s);
    }
    buf.nl();
    buf.child(leaf("x", "1"));
    KRef ours = buf.build(), theirs = std::move(b.nl().child(leaf("x", "1"))).b();
    EXPECT_TRUE(equal(*ours, *theirs));
    EXPECT_EQ(encode_term(*ours), encode_term(*theirs));
  }
}

TEST(Convert, TokenText) {
  for (const auto& [gap, token] : std::initializer_list<std::pair<std::string_view, bool>>{
           {"  \n  ", false},       // blanks between tokens
           {"\n", false},           //
           {"a b", false},          // no line feed
           {"a\n  b", true},        // hidden string body across lines
           {" \\\n  ", false},      // a line continuation is blank
           {" \\\r\n  ", false},    // with CR LF too
           {"x \\\n y", false},     // continued: no line feed left
           {"x \\\n y\n", true},    // a second line feed remains
           {"\\\\\r\n\n", false},   // removing CR LF continuations first joins a new one
           {"\f\v\t\r\n ", false},  // every blank
           {"\n\xc3\xa9", true},    // a non-ASCII character is not blank
       })
    EXPECT_EQ(convert::token_text(gap), token) << gap;
}

TEST(Convert, GapsAreWrittenAsLinesUnlessVerbatim) {
  struct Case {
    std::string_view gap;
    bool verbatim, before_anchored;
    Cmds want;
  };
  const Case cases[] = {
      {"a\n\nb\n", false, false, {W("a"), N, N, W("b"), N}},
      {"a\n\nb\n", true, false, {W("a\n\nb\n")}},
      {"a\n b", false, false, {W("a"), N, W(" b")}},
      {" x ", false, false, {W(" x ")}},
      {"\r\n  ", false, false, {W("\r"), N, W("  ")}},
      {"  \n", false, true, {W("  "), W("\n")}},  // before an anchored child the last line feed stays text
      {"\n ", false, true, {N, W(" ")}},
      {"a\n b", true, false, {W("a\n b")}},
  };
  for (const Case& c : cases) {
    bool token = true;
    EXPECT_EQ(gap_cmds(c.gap, c.verbatim, c.before_anchored, &token), c.want) << c.gap;
    // A hidden token is reported as token_text finds it, but never in a verbatim gap.
    EXPECT_EQ(token, !c.verbatim && convert::token_text(c.gap)) << c.gap;
  }
}

TEST(Convert, LineEndTokensAreWrittenAsLines) {
  convert::NodeBuf scratch;
  const auto token = [&](std::string_view kind, std::string_view text, bool verbatim) {
    return convert::token(kind, tags::intern(kind), text, verbatim, scratch);
  };
  EXPECT_EQ(token("nl", "\n", false)->cmd_values(), (Cmds{N}));
  EXPECT_EQ(token("cont", "\\\r\n  ", false)->cmd_values(), (Cmds{W("\\\r"), N, W("  ")}));
  EXPECT_EQ(token("nl", "\n", true)->cmd_values(), (Cmds{W("\n")}));
  EXPECT_EQ(token("comment", "/* a\n b */", false)->cmd_values(), (Cmds{W("/* a\n b */")}));
  EXPECT_EQ(token("empty", "", false)->cmd_values(), (Cmds{W("")}));
  EXPECT_EQ(token("nl", "\n", false)->tag(), "nl");
}

TEST(Convert, TextPredicates) {
  EXPECT_TRUE(convert::last_line_anchored("=begin\n x\n=end"));
  for (std::string_view s : {"=begin\n x\n =end", "# one line", "/* a\n", "/* a\n\t*/"})
    EXPECT_FALSE(convert::last_line_anchored(s)) << s;
  for (std::string_view ok : {"", "abc", "\xc3\xa9", "\xe2\x98\x83", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"})
    EXPECT_TRUE(convert::valid_utf8(ok)) << ok;
  for (std::string_view bad : {"\xff", "\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                               "\xf0\x9f\x98", "\x80", "a\xc3(", "\xe2\x28\xa1"})
    EXPECT_FALSE(convert::valid_utf8(bad)) << bad;
}

}  // namespace
