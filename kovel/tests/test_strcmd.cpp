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

const std::vector<StreamCase> kStreams = {
    {"indented block",
     {write("if x:"), push("    "), NL, write("a = 1"), NL, write("b = 2"), POP, NL, write("c")},
     "if x:\n    a = 1\n    b = 2\nc"},
    {"blank line keeps its prefix", {push("  "), NL, NL, write("x")}, "\n  \n  x"},
    {"prefixes concatenate oldest first, verbatim", {push("# "), push("-\n"), NL, write("a")}, "\n# -\na"},
    {"line feed inside a write is not prefixed", {push("  "), write("p\nq"), NL, write("r")}, "p\nq\n  r"},
    {"pops on an empty stack do nothing", {POP, POP, write("a"), NL, write("b")}, "a\nb"},
    {"prefix written eagerly", {push("  "), write("a"), NL}, "a\n  "},
    {"pop takes effect from the next line",
     {push("  "), NL, write("a"), POP, write("b"), NL, write("c")},
     "\n  ab\nc"},
    {"empty prefix occupies a stack slot",
     {push("> "), push(""), NL, write("a"), POP, NL, write("b"), POP, NL, write("c"), write("")},
     "\n> a\n> b\nc"},
    {"NUL, CR and multi-byte text pass through",
     {write("a\0b"sv), push("\r\xE2\x82\xAC"), NL, write("\xF0\x9F\x98\x80")},
     "a\0b\n\r\xE2\x82\xAC\xF0\x9F\x98\x80"s},
    {"empty stream", {}, ""},
};

// A writer and a node carrying the same commands give the same text.
TEST(PrefixWriter, CommandStreams) {
  for (const auto& c : kStreams) {
    SCOPED_TRACE(c.name);
    std::string out;
    kt::Cmds cmds;
    {
      PrefixWriter w(out);  // the text is complete once the writer is gone
      for (const auto& cmd : c.cmds) {
        w.interpret(cmd);
        cmds.push_back(CmdOrHole::of(cmd));
      }
    }
    EXPECT_EQ(out, c.expected);
    EXPECT_EQ(tuple("t", kt::Kids{}, cmds)->coparse(), c.expected);
  }
}

}  // namespace
