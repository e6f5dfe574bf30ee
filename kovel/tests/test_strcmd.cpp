// The prefix writer: how command streams become text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

using namespace kovel;
using namespace std::literals;

namespace {

struct StreamCase {
  const char* name;
  std::vector<StrCmd> cmds;
  std::string expected;
};

const std::vector<StreamCase>& stream_cases() {
  static const std::vector<StreamCase> cases = {
      {"indented block",
       {write("if x:"), push("    "), NL, write("a = 1"), NL, write("b = 2"), POP, NL, write("c")},
       "if x:\n    a = 1\n    b = 2\nc"},
      {"blank line keeps its prefix", {push("  "), NL, NL, write("x")}, "\n  \n  x"},
      {"prefixes concatenate oldest first", {push("# "), push("- "), NL, write("a")}, "\n# - a"},
      {"line feed inside a write is not prefixed", {push("  "), write("p\nq"), NL, write("r")}, "p\nq\n  r"},
      {"pop on empty stack", {POP, POP, write("a")}, "a"},
      {"repeated pops on empty stack then more output", {POP, POP, POP, write("a"), NL, write("b")}, "a\nb"},
      {"nl with empty stack is a bare line feed", {write("a"), NL, write("b")}, "a\nb"},
      {"first line never prefixed", {push("  "), write("a")}, "a"},
      {"prefix written eagerly: trailing blanks", {push("  "), write("a"), NL}, "a\n  "},
      {"pop takes effect from the next line",
       {push("  "), NL, write("a"), POP, write("b"), NL, write("c")},
       "\n  ab\nc"},
      {"push then pop leaves no trace", {write("a"), push("zz"), POP, NL, write("b")}, "a\nb"},
      {"empty write writes nothing", {write(""), write("a"), write("")}, "a"},
      {"empty prefix occupies a stack slot",
       {push("> "), push(""), NL, write("a"), POP, NL, write("b"), POP, NL, write("c")},
       "\n> a\n> b\nc"},
      {"unpopped prefixes dropped at the end", {write("a"), push("  "), push("  ")}, "a"},
      {"prefix with a line feed is copied verbatim", {push("x\ny"), NL, write("z")}, "\nx\nyz"},
      {"carriage return is an ordinary byte", {push("\r"), write("a\r\nb"), NL}, "a\r\nb\n\r"},
      {"NUL passes through", {write("a\0b"sv), push("\0"sv), NL, write("c")}, "a\0b\n\0c"s},
      {"multi-byte text",
       {write("\xC3\xA9"), push("\xE2\x82\xAC"), NL, write("\xF0\x9F\x98\x80")},
       "\xC3\xA9\n\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"nested blocks",
       {write("a"), push("  "), NL, write("b"), push("  "), NL, write("c"), POP, NL, write("d"), POP, NL,
        write("e")},
       "a\n  b\n    c\n  d\ne"},
      {"empty stream", {}, ""},
  };
  return cases;
}

TEST(PrefixWriter, CommandStreams) {
  for (const auto& c : stream_cases()) {
    SCOPED_TRACE(c.name);
    std::string out;
    PrefixWriter w(out);
    for (const auto& cmd : c.cmds) w.interpret(cmd);
    EXPECT_EQ(out, c.expected);
  }
}

// A node carrying the same commands renders the same text.
TEST(PrefixWriter, NodeWithStreamRendersAlike) {
  for (const auto& c : stream_cases()) {
    SCOPED_TRACE(c.name);
    kt::Cmds cmds;
    for (const auto& cmd : c.cmds) cmds.push_back(CmdOrHole::of(cmd));
    EXPECT_EQ(tuple("t", kt::Kids{}, cmds)->coparse(), c.expected);
  }
}

TEST(PrefixWriter, AppendsToExistingSinkAndTracksDepth) {
  std::string out = "pre:";
  PrefixWriter w(out);
  EXPECT_EQ(w.depth(), 0u);
  w.interpret(POP);
  EXPECT_EQ(w.depth(), 0u);
  w.interpret(push("a"));
  w.interpret(push(""));
  EXPECT_EQ(w.depth(), 2u);
  w.interpret(StrCmd::Kind::NL, "ignored");
  w.interpret(POP);
  EXPECT_EQ(w.depth(), 1u);
  w.interpret(StrCmd::Kind::Write, "x");
  EXPECT_EQ(out, "pre:\nax");
  EXPECT_EQ(&w.sink(), &out);
}

TEST(StrCmdValues, ConstructorsCopyTheirText) {
  std::string s = "abc";
  StrCmd wr = write(s);
  StrCmd pu = push(s);
  s[0] = 'z';
  EXPECT_EQ(wr.kind, StrCmd::Kind::Write);
  EXPECT_EQ(wr.text, "abc");
  EXPECT_EQ(pu.kind, StrCmd::Kind::Push);
  EXPECT_EQ(pu.text, "abc");
  EXPECT_EQ(NL.kind, StrCmd::Kind::NL);
  EXPECT_EQ(POP.kind, StrCmd::Kind::Pop);
  EXPECT_NE(write("a"), push("a"));
  EXPECT_EQ(write("a\0"sv).text.size(), 2u);
  // Wire order of the variants.
  EXPECT_EQ(static_cast<int>(StrCmd::Kind::Write), 0);
  EXPECT_EQ(static_cast<int>(StrCmd::Kind::NL), 1);
  EXPECT_EQ(static_cast<int>(StrCmd::Kind::Push), 2);
  EXPECT_EQ(static_cast<int>(StrCmd::Kind::Pop), 3);
  EXPECT_TRUE(HOLE.hole);
  EXPECT_FALSE(CmdOrHole::of(NL).hole);
}

}  // namespace
