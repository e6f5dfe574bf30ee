// Term nodes: rendering, constructors, equality, reference counts, builder.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support.h"

using namespace kovel;
using namespace std::literals;
using kt::Cmds;
using kt::H;
using kt::Kids;
using kt::N;
using kt::P;
using kt::W;
using kt::X;

namespace {

KRef x_leaf() { return leaf("identifier", "x"); }

TEST(KTermRender, Table) {
  const KRef x = x_leaf(), seven = leaf("integer", "7");
  const KRef body = tuple("block", Kids{}, Cmds{W("a"), N, W("b")});
  const KRef inner = quote("q", 0, "py", leaf("i", "1"), Cmds{W("<"), H, W(">")});
  const KRef mid = tuple("m", Kids{inner, inner}, Cmds{H, N, H});
  const std::vector<std::pair<KRef, std::string>> cases = {
      {tuple("call", Kids{leaf("identifier", "f"), leaf("integer", "1")}, Cmds{H, W("("), H, W(")")}),
       "f(1)"},
      {kquote_at("zz", 200, "rust", x, Cmds{W("["), H, W("]")}, Range{9, 1}).share(), "[x]"},
      {unquote("two holes", 1, "py", x, Cmds{H, W("+"), H}), "x+x"},
      {quote("no hole", 0, "py", x, Cmds{W("()")}), "()"},
      {tuple("def", Kids{body}, Cmds{W("def f():"), P("    "), N, H, X}), "def f():\n    a\n    b"},
      {tuple("unpopped push in child", Kids{tuple("c", Kids{}, Cmds{W("a"), P("  ")})}, Cmds{H, N, W("z")}),
       "a\n  z"},
      {tuple("pop in child", Kids{tuple("c", Kids{}, Cmds{W("a"), X})}, Cmds{P("> "), H, N, W("z")}), "a\nz"},
      {tuple("leaf line feed", Kids{leaf("s", "a\nb")}, Cmds{P("  "), H, N, W("c")}), "a\nb\n  c"},
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
  for (const KRef& t : {tuple("t", Kids{a}, Cmds{H, H}), tuple("t", Kids{}, Cmds{W("a"), H}),
                        tuple("p", Kids{tuple("c", Kids{}, Cmds{H})}, Cmds{W("a"), H, W("b")}),
                        quote("q", 0, "py", tuple("c", Kids{a}, Cmds{H, H}), Cmds{H})}) {
    SCOPED_TRACE(t->tag());
    EXPECT_THROW(t->coparse(), Panic);
    EXPECT_EQ(t->use_count(), 1u);  // the term is untouched and fails the same way again
    EXPECT_THROW(t->coparse(), Panic);
  }
}

TEST(KTermConstructors, Fields) {
  KRef a = x_leaf(), b = leaf("integer", "1");
  EXPECT_TRUE(equal(*sym("x"), *leaf("x", "x")));
  EXPECT_TRUE(equal(*leaf("a\0b"sv, ""), *tuple("a\0b"sv, Kids{}, Cmds{W("")})));
  Kids kids{a, b};
  Cmds cmds{W("f("), H, W(", "), H, N, P(" "), X};
  KRef t = tuple("call", kids, cmds);
  kids.clear();
  cmds[0] = W("changed");  // the node holds copies
  EXPECT_EQ(std::tuple(t->variant(), t->is_quote_like(), t->tag(), t->lang(), t->at(), t->cmd_count()),
            std::tuple(KTerm::Variant::Tuple, false, "call"sv, ""sv, std::nullopt, 7));
  EXPECT_EQ(t->cmd_values(), (Cmds{W("f("), H, W(", "), H, N, P(" "), X}));
  ASSERT_EQ(t->children().size(), 2u);
  EXPECT_EQ(t->children()[0], a.get());
  EXPECT_EQ(t->children()[1], b.get());

  KRef q = quote("identifier", 255, "py", a, Cmds{W("("), H});
  EXPECT_EQ(std::tuple(q->variant(), q->is_quote_like(), q->tag(), q->index(), q->lang(), q->at()),
            std::tuple(KTerm::Variant::Quote, true, "identifier"sv, 255, "py"sv, std::nullopt));
  EXPECT_EQ(&q->term(), a.get());
  EXPECT_EQ(q->cmd_values(), (Cmds{W("("), H}));
  KNode u = kunquote_at("t", 9, "js", a, Cmds{H}, Range{~0ull, 0});
  EXPECT_EQ(std::tuple(u->variant(), u->index(), u->lang(), u->at()),
            std::tuple(KTerm::Variant::Unquote, 9, "js"sv, Range{~0ull, 0}));
}

// Each pair differs in exactly one field.
TEST(KTermEquality, EveryFieldCounts) {
  KRef a = x_leaf(), b = leaf("identifier", "y");
  auto q = [&](std::string_view tag, std::uint8_t idx, std::string_view lang, KRef t, Cmds cmds,
               std::optional<Range> at) { return kquote_at(tag, idx, lang, std::move(t), cmds, at).share(); };
  KRef base = q("t", 1, "py", a, Cmds{H, N}, Range{1, 2});
  EXPECT_TRUE(equal(*base, *q("t", 1, "py", x_leaf(), Cmds{H, N}, Range{1, 2})));
  const std::vector<std::pair<const char*, KRef>> differ = {
      {"tag", q("u", 1, "py", a, Cmds{H, N}, Range{1, 2})},
      {"index", q("t", 2, "py", a, Cmds{H, N}, Range{1, 2})},
      {"lang", q("t", 1, "rs", a, Cmds{H, N}, Range{1, 2})},
      {"term", q("t", 1, "py", b, Cmds{H, N}, Range{1, 2})},
      {"cmds", q("t", 1, "py", a, Cmds{H, X}, Range{1, 2})},
      {"cmd count", q("t", 1, "py", a, Cmds{H}, Range{1, 2})},
      {"at end", q("t", 1, "py", a, Cmds{H, N}, Range{1, 3})},
      {"at absent", q("t", 1, "py", a, Cmds{H, N}, std::nullopt)},
      {"variant", kunquote_at("t", 1, "py", a, Cmds{H, N}, Range{1, 2}).share()},
      {"tuple", tuple("t", Kids{a}, Cmds{H, N})},
  };
  for (const auto& [name, other] : differ) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(equal(*base, *other));
    EXPECT_FALSE(equal(*other, *base));
  }
  KRef t1 = tuple("t", Kids{a, b}, Cmds{H, H});
  EXPECT_TRUE(equal(*t1, *tuple("t", Kids{x_leaf(), b}, Cmds{H, H})));
  EXPECT_FALSE(equal(*t1, *tuple("t", Kids{b, a}, Cmds{H, H})));
  EXPECT_FALSE(equal(*t1, *tuple("t", Kids{a}, Cmds{H, H})));
  EXPECT_FALSE(equal(*leaf("a", "x"), *leaf("a", "x\0"sv)));
  EXPECT_FALSE(equal(*leaf("a", "x"), *tuple("a", Kids{}, Cmds{P("x")})));
}

TEST(KTermRefCounts, ConstructorsShareChildrenAndTakeOverTerm) {
  KRef a = x_leaf();
  {
    KRef t = tuple("t", Kids{a, a}, Cmds{H, H});
    EXPECT_EQ(a->use_count(), 3u);
    KRef copy = t;
    EXPECT_EQ(t->use_count(), 2u);
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
    EXPECT_EQ(bl.child_count(), 2u);
    EXPECT_EQ(bl.cmd_count(), 9u);
    bl.e(KRef(x));  // the consumed handle is released after splicing
    EXPECT_EQ(x->use_count(), 3u);
    KRef t = std::move(bl).b();
    EXPECT_EQ(t->cmd_values(), (Cmds{W("f("), H, W(", "), H, W(")"), P(""), X, X, N, H}));
    ASSERT_EQ(t->children().size(), 3u);
    EXPECT_EQ(t->children()[0], x.get());
    EXPECT_EQ(t->children()[1], y.get());
    EXPECT_EQ(t->coparse(), "f(x, 2)\nx");
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
    SCOPED_TRACE(static_cast<int>(kind));
    const bool quote = kind == KTerm::Variant::Quote;
    const std::optional<Range> at = quote ? std::optional(Range{5, 1}) : std::nullopt;
    auto bl = KTermBuilder::quote_builder(kind, "expr", 200, "py", at);
    KRef q = std::move(bl.write("(").child(a).write(")").nl()).b();
    auto make = quote ? kquote_at : kunquote_at;
    EXPECT_TRUE(equal(*q, *make("expr", 200, "py", a, Cmds{W("("), H, W(")"), N}, at)));
    EXPECT_EQ(&q->term(), a.get());
    EXPECT_EQ(q->coparse(), "(x)\n");
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
