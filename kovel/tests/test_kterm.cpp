// Prefix writer and term nodes: rendering, constructors, equality, reference counts, builder.
#include <gtest/gtest.h>

#include "support.h"

using namespace kovel;
using namespace std::literals;
using namespace kt;

namespace {

KRef x_leaf() { return leaf("identifier", "x"); }

// A writer and a node carrying the same commands give the same text.
TEST(PrefixWriter, CommandStreams) {
  const std::vector<std::pair<std::vector<StrCmd>, std::string>> cases = {
      {{write("if x:"), push("    "), NL, write("a = 1"), NL, write("b = 2"), POP, NL, write("c")},
       "if x:\n    a = 1\n    b = 2\nc"},
      {{push("  "), NL, NL, write("x")}, "\n  \n  x"},             // blank line keeps its prefix
      {{push("# "), push("-\n"), NL, write("a")}, "\n# -\na"},     // oldest first, verbatim
      {{push("  "), write("p\nq"), NL, write("r")}, "p\nq\n  r"},  // line feed in a write
      {{POP, POP, write("a"), NL, write("b")}, "a\nb"},            // pops on an empty stack
      {{push("  "), write("a"), NL}, "a\n  "},                     // prefix written eagerly
      {{push("  "), NL, write("a"), POP, write("b"), NL, write("c")}, "\n  ab\nc"},  // pop is for next line
      {{push("> "), push(""), NL, write("a"), POP, NL, write("b"), POP, NL, write("c")},
       "\n> a\n> b\nc"},  // an empty prefix occupies a stack slot
      {{write("a\0b"sv), push("\r\xE2\x82\xAC"), NL, write("\xF0\x9F\x98\x80")},
       "a\0b\n\r\xE2\x82\xAC\xF0\x9F\x98\x80"s},
  };
  for (const auto& [stream, expected] : cases) {
    SCOPED_TRACE(expected);
    std::string out;
    Cmds cmds;
    {
      PrefixWriter w(out);  // the text is complete once the writer is gone
      for (const auto& cmd : stream) {
        w.interpret(cmd);
        cmds.push_back(CmdOrHole::of(cmd));
      }
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(tuple("t", Kids{}, cmds)->coparse(), expected);
  }
}

TEST(KTermRender, Table) {
  const KRef x = x_leaf(), seven = leaf("integer", "7");
  const KRef inner = quote("q", 0, "py", leaf("i", "1"), Cmds{W("<"), H, W(">")});
  const KRef mid = tuple("m", Kids{inner, inner}, Cmds{H, N, H});
  const std::vector<std::pair<KRef, std::string>> cases = {
      {tuple("call", Kids{leaf("identifier", "f"), leaf("integer", "1")}, Cmds{H, W("("), H, W(")")}),
       "f(1)"},
      {kquote_at("zz", 200, "rust", x, Cmds{W("["), H, W("]")}, Range{9, 1}).share(), "[x]"},
      {unquote("two holes", 1, "py", x, Cmds{H, W("+"), H}), "x+x"},
      {quote("no hole", 0, "py", x, Cmds{W("()")}), "()"},
      {tuple("def", Kids{tuple("b", Kids{}, Cmds{W("a"), N, W("b")})},
             Cmds{W("def f():"), P("    "), N, H, X}),
       "def f():\n    a\n    b"},
      {tuple("unpopped push in child", Kids{tuple("c", Kids{}, Cmds{W("a"), P("  ")})}, Cmds{H, N, W("z")}),
       "a\n  z"},
      {tuple("pop in child", Kids{tuple("c", Kids{}, Cmds{W("a"), X})}, Cmds{P("> "), H, N, W("z")}), "a\nz"},
      {tuple("extra children", Kids{seven, seven, leaf("c", "c")}, Cmds{H, H}), "77"},
      {quote("nested", 1, "rs", mid, Cmds{P("| "), W("{"), N, H, X, N, W("}")}), "{\n| <1>\n| <1>\n}"},
  };
  for (const auto& [t, expected] : cases) {
    SCOPED_TRACE(t->tag());
    EXPECT_EQ(t->coparse(), expected);
    std::string out = "#";  // `write` appends to whatever the sink already holds
    {
      PrefixWriter w(out);
      t->write(w);
    }
    EXPECT_EQ(out, "#" + expected);
  }
}

TEST(KTermRender, MoreHolesThanChildrenPanics) {
  KRef a = x_leaf();
  for (const KRef& t :
       {tuple("t", Kids{a}, Cmds{H, H}), quote("q", 0, "py", tuple("c", Kids{}, Cmds{H}), Cmds{H})}) {
    SCOPED_TRACE(t->tag());
    EXPECT_THROW(t->coparse(), Panic);
    EXPECT_EQ(t->use_count(), 1u);  // the term is untouched and fails the same way again
    EXPECT_THROW(t->coparse(), Panic);
  }
}

// Shorthand constructors, copies of the arguments, and terms that differ in exactly one field.
TEST(KTermEquality, EveryFieldCounts) {
  EXPECT_TRUE(equal(*sym("x"), *leaf("x", "x")));
  EXPECT_TRUE(equal(*leaf("a\0b"sv, ""), *tuple("a\0b"sv, Kids{}, Cmds{W("")})));
  KRef a = x_leaf(), b = leaf("identifier", "y");
  Kids kids{a, b};
  Cmds cmds{H, H};
  KRef t = tuple("t", kids, cmds);
  kids.clear();
  cmds[0] = W("changed");  // the node holds copies
  EXPECT_TRUE(equal(*t, *tuple("t", Kids{x_leaf(), b}, Cmds{H, H})));
  auto q = [&](std::string_view tag, std::uint8_t idx, std::string_view lang, KRef t, Cmds cmds,
               std::optional<Range> at) { return kquote_at(tag, idx, lang, std::move(t), cmds, at).share(); };
  KRef base = q("t", 1, "py", a, Cmds{H, N}, Range{1, 2});
  EXPECT_TRUE(equal(*base, *q("t", 1, "py", x_leaf(), Cmds{H, N}, Range{1, 2})));
  // Pairwise distinct; each differs from `t` or from `base` in one field.
  const std::vector<KRef> distinct = {
      t,
      tuple("t", Kids{b, a}, Cmds{H, H}),  // child order
      tuple("t", Kids{a}, Cmds{H, H}),     // child count
      leaf("a", "x"),
      leaf("a", "x\0"sv),  // text length
      base,
      q("u", 1, "py", a, Cmds{H, N}, Range{1, 2}),
      q("t", 2, "py", a, Cmds{H, N}, Range{1, 2}),
      q("t", 1, "rs", a, Cmds{H, N}, Range{1, 2}),
      q("t", 1, "py", b, Cmds{H, N}, Range{1, 2}),
      q("t", 1, "py", a, Cmds{H, X}, Range{1, 2}),
      q("t", 1, "py", a, Cmds{H}, Range{1, 2}),
      q("t", 1, "py", a, Cmds{H, N}, Range{1, 3}),
      q("t", 1, "py", a, Cmds{H, N}, std::nullopt),
      kunquote_at("t", 1, "py", a, Cmds{H, N}, Range{1, 2}).share(),  // variant
  };
  for (std::size_t i = 0; i < distinct.size(); ++i)
    for (std::size_t j = 0; j < distinct.size(); ++j)
      EXPECT_EQ(equal(*distinct[i], *distinct[j]), i == j) << i << " vs " << j;
}

TEST(KTermRefCounts, ConstructorsShareChildrenAndTakeOverTerm) {
  KRef a = x_leaf();
  {
    KRef t = tuple("t", Kids{a, a}, Cmds{H, H});
    EXPECT_EQ(a->use_count(), 3u);
    KRef handle = a;
    KRef q = quote("q", 0, "py", std::move(handle), Cmds{H});
    EXPECT_FALSE(handle);
    EXPECT_EQ(a->use_count(), 4u);  // the handle passed to the node
    KRef shared = kunquote_at("u", 0, "py", a, Cmds{H}, std::nullopt).share();
    EXPECT_EQ(a->use_count(), 5u);
    EXPECT_EQ(shared->use_count(), 1u);
  }
  EXPECT_EQ(a->use_count(), 1u);
}

TEST(KTermBuilder, CommandsHolesAndReferenceCounts) {
  EXPECT_TRUE(equal(*tb("x").b(), *tuple("x", Kids{}, Cmds{})));
  KRef x = x_leaf(), y = leaf("integer", "2");
  {
    auto bl = tb("call");
    bl.write("f(").write("").child(x).write(", ").child(y).write(")").push("").pop().pop().nl();
    bl.e(KRef(x));  // the consumed handle is released after splicing
    EXPECT_EQ(x->use_count(), 3u);
    KRef t = std::move(bl).b();
    EXPECT_TRUE(
        equal(*t, *tuple("call", Kids{x, y, x}, Cmds{W("f("), H, W(", "), H, W(")"), P(""), X, X, N, H})));
    EXPECT_EQ(c(c(tb("t"), x), y).b()->coparse(), "x2");
    auto unbuilt = tb("t");
    unbuilt.child(x);
    EXPECT_EQ(x->use_count(), 4u);
  }  // an unbuilt builder releases its children
  EXPECT_EQ(x->use_count(), 1u);
  EXPECT_EQ(y->use_count(), 1u);
}

TEST(KTermBuilder, QuoteBuilders) {
  KRef a = x_leaf(), b = leaf("y", "y");
  for (auto kind : {KTerm::Variant::Quote, KTerm::Variant::Unquote}) {
    const bool quote = kind == KTerm::Variant::Quote;
    const std::optional<Range> at = quote ? std::optional(Range{5, 1}) : std::nullopt;
    KRef q = std::move(KTermBuilder::quote_builder(kind, "expr", 200, "py", at).write("(").child(a).nl()).b();
    auto make = quote ? kquote_at : kunquote_at;
    EXPECT_TRUE(equal(*q, *make("expr", 200, "py", a, Cmds{W("("), H, N}, at))) << quote;
  }
  // Exactly one child: anything else panics, and the failed build releases what the builder held.
  for (int n : {0, 2}) {
    auto bl = KTermBuilder::quote_builder(KTerm::Variant::Unquote, "q", 0, "py", std::nullopt);
    for (int i = 0; i < n; ++i) bl.child(i % 2 ? b : a);
    EXPECT_THROW(std::move(bl).build(), Panic);
    EXPECT_EQ(a->use_count(), 1u);
    EXPECT_EQ(b->use_count(), 1u);
  }
}

}  // namespace
