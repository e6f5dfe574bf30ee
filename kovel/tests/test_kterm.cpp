// Term nodes: rendering, constructors, equality, reference counts, builder.
#include <gtest/gtest.h>

#include <string>
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
  const KRef pusher = tuple("c", Kids{}, Cmds{W("a"), P("  ")});
  const KRef popper = tuple("c", Kids{}, Cmds{W("a"), X});
  const KRef inner = quote("q", 0, "py", leaf("i", "1"), Cmds{W("<"), H, W(">")});
  const KRef mid = tuple("m", Kids{inner, inner}, Cmds{H, N, H});
  // Each case: the term and its text.
  const std::vector<std::pair<KRef, std::string>> cases = {
      {tuple("call", Kids{leaf("identifier", "f"), leaf("integer", "1")}, Cmds{H, W("("), H, W(")")}),
       "f(1)"},
      {kquote_at("zz", 200, "rust", x, Cmds{W("["), H, W("]")}, Range{9, 1}).share(), "[x]"},
      {unquote("u", 1, "py", x, Cmds{W("$"), H}), "$x"},
      {tuple("def", Kids{body}, Cmds{W("def f():"), P("    "), N, H, X}), "def f():\n    a\n    b"},
      {tuple("no cmds", Kids{x, x}, Cmds{}), ""},
      {tuple("only writes", Kids{x}, Cmds{W("a"), W("b")}), "ab"},
      {quote("two holes", 0, "py", x, Cmds{H, W("+"), H}), "x+x"},
      {quote("no hole", 0, "py", x, Cmds{W("()")}), "()"},
      {tuple("same child twice", Kids{seven, seven}, Cmds{H, W("*"), H}), "7*7"},
      {tuple("unpopped push in child", Kids{pusher}, Cmds{H, N, W("z")}), "a\n  z"},
      {tuple("pop in child", Kids{popper}, Cmds{P("> "), H, N, W("z")}), "a\nz"},
      {leaf("NUL", "a\0b"sv), "a\0b"s},
      {leaf("integer", "42"), "42"},
      {leaf("integer", ""), ""},
      {tuple("leaf line feed", Kids{leaf("s", "a\nb")}, Cmds{P("  "), H, N, W("c")}), "a\nb\n  c"},
      {tuple("extra children", Kids{leaf("a", "a"), leaf("b", "b"), leaf("c", "c")}, Cmds{H, H}), "ab"},
      {quote("parens", 0, "py", x, Cmds{W("("), H, W(")")}), "(x)"},
      {quote("nested", 1, "rs", mid, Cmds{P("| "), W("{"), N, H, X, N, W("}")}), "{\n| <1>\n| <1>\n}"},
  };
  for (const auto& [t, expected] : cases) {
    SCOPED_TRACE(t->tag());
    EXPECT_EQ(t->coparse(), expected);
    // `write` appends to whatever the sink already holds.
    std::string out = "#";
    PrefixWriter w(out);
    t->write(w);
    EXPECT_EQ(out, "#" + expected);
  }
}

TEST(KTermRender, MoreHolesThanChildrenPanics) {
  KRef a = x_leaf();
  const std::vector<KRef> bad = {
      tuple("t", Kids{a}, Cmds{H, H}),
      tuple("t", Kids{}, Cmds{W("a"), H}),
      tuple("p", Kids{tuple("c", Kids{}, Cmds{H})}, Cmds{W("a"), H, W("b")}),
      quote("q", 0, "py", tuple("c", Kids{a}, Cmds{H, H}), Cmds{H}),
  };
  for (const KRef& t : bad) {
    SCOPED_TRACE(t->tag());
    EXPECT_THROW(t->coparse(), Panic);
    // The term is untouched and fails the same way again.
    EXPECT_EQ(t->use_count(), 1u);
    EXPECT_THROW(t->coparse(), Panic);
  }
}

TEST(KTermConstructors, LeafAndSym) {
  KRef l = leaf("integer", "42");
  EXPECT_EQ(l->variant(), KTerm::Variant::Tuple);
  EXPECT_FALSE(l->is_quote_like());
  EXPECT_EQ(l->tag(), "integer");
  EXPECT_TRUE(l->children().empty());
  EXPECT_EQ(l->cmd_values(), Cmds{W("42")});
  EXPECT_EQ(l->at(), std::nullopt);

  KRef e = leaf("integer", "");
  ASSERT_EQ(e->cmd_count(), 1u);
  EXPECT_EQ(e->cmd_values(), Cmds{W("")});

  EXPECT_TRUE(equal(*sym("x"), *leaf("x", "x")));
  EXPECT_EQ(sym("while")->tag(), "while");
  EXPECT_EQ(leaf("a\0b"sv, "")->tag(), "a\0b"sv);
}

TEST(KTermConstructors, FieldsAreCopied) {
  KRef a = x_leaf(), b = leaf("integer", "1");
  Kids kids{a, b};
  Cmds cmds{W("f("), H, W(", "), H, N, P(" "), X};
  KRef t = tuple("call", kids, cmds);
  kids.clear();
  cmds[0] = W("changed");
  EXPECT_EQ(t->tag(), "call");
  ASSERT_EQ(t->children().size(), 2u);
  EXPECT_EQ(t->children()[0], a.get());
  EXPECT_EQ(t->children()[1], b.get());
  EXPECT_EQ(t->cmd_values(), (Cmds{W("f("), H, W(", "), H, N, P(" "), X}));

  // The cursor yields the same elements, pointing into the node.
  std::vector<CmdOrHole> seen;
  for (CmdCursor cur = t->cmds(); !cur.done();) seen.push_back(cur.next().to_value());
  EXPECT_EQ(seen, t->cmd_values());
  EXPECT_EQ(t->cmd_count(), 7u);

  KNode n = ktuple("k", Kids{a}, Cmds{H});
  EXPECT_EQ(n->tag(), "k");
  EXPECT_EQ(n->children()[0], a.get());
}

TEST(KTermConstructors, QuoteFields) {
  KRef inner = x_leaf();
  const KTerm* inner_ptr = inner.get();
  KRef q = quote("identifier", 255, "py", inner, Cmds{W("("), H, W(")")});
  EXPECT_EQ(q->variant(), KTerm::Variant::Quote);
  EXPECT_TRUE(q->is_quote_like());
  EXPECT_EQ(q->tag(), "identifier");
  EXPECT_EQ(q->index(), 255);
  EXPECT_EQ(q->lang(), "py");
  EXPECT_EQ(&q->term(), inner_ptr);
  EXPECT_EQ(q->at(), std::nullopt);
  EXPECT_EQ(q->cmd_values(), (Cmds{W("("), H, W(")")}));
  EXPECT_EQ(q->coparse(), "(x)");

  KRef u = unquote("", 255, "", inner, Cmds{});
  EXPECT_EQ(u->variant(), KTerm::Variant::Unquote);
  EXPECT_EQ(u->index(), 255);
  EXPECT_EQ(u->lang(), "");

  KNode qa = kquote_at("t", 0, "py", inner, Cmds{H}, Range{3, 7});
  EXPECT_EQ(qa->at(), (Range{3, 7}));
  EXPECT_EQ(qa->coparse(), quote("t", 0, "py", inner, Cmds{H})->coparse());
  KNode ua = kunquote_at("t", 9, "js", inner, Cmds{H}, Range{~0ull, 0});
  EXPECT_EQ(ua->variant(), KTerm::Variant::Unquote);
  EXPECT_EQ(ua->at(), (Range{~0ull, 0}));
  EXPECT_EQ(ua->index(), 9);
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
  EXPECT_FALSE(equal(*t1, *tuple("t", Kids{a, b}, Cmds{H, W("")})));
  EXPECT_FALSE(equal(*leaf("a", "x"), *leaf("a", "x\0"sv)));
  EXPECT_FALSE(equal(*tuple("t", Kids{}, Cmds{W("a")}), *tuple("t", Kids{}, Cmds{P("a")})));
}

TEST(KTermRefCounts, ConstructorsShareChildrenAndTakeOverTerm) {
  KRef a = x_leaf();
  EXPECT_EQ(a->use_count(), 1u);
  {
    KRef t = tuple("t", Kids{a}, Cmds{H});
    EXPECT_EQ(a->use_count(), 2u);
    KRef t2 = tuple("t", Kids{a, a}, Cmds{H, H});
    EXPECT_EQ(a->use_count(), 4u);
    KRef copy = t;
    EXPECT_EQ(t->use_count(), 2u);
  }
  EXPECT_EQ(a->use_count(), 1u);
  {
    KRef handle = a;  // 2
    KRef q = quote("q", 0, "py", std::move(handle), Cmds{H});
    EXPECT_FALSE(handle);
    EXPECT_EQ(a->use_count(), 2u);  // the handle passed to the node
    KNode u = kunquote_at("u", 0, "py", a, Cmds{H}, std::nullopt);
    EXPECT_EQ(a->use_count(), 3u);
    KRef shared = std::move(u).share();
    EXPECT_EQ(shared->use_count(), 1u);
  }
  EXPECT_EQ(a->use_count(), 1u);
  // adopt / share / detach bookkeeping.
  KRef s = KRef::share(a.get());
  EXPECT_EQ(a->use_count(), 2u);
  const KTerm* raw = s.detach();
  EXPECT_EQ(a->use_count(), 2u);
  KRef back = KRef::adopt(raw);
  back = KRef();
  EXPECT_EQ(a->use_count(), 1u);
}

TEST(KTermBuilder, EmptyBuilder) {
  KRef t = tb("x").b();
  EXPECT_EQ(t->variant(), KTerm::Variant::Tuple);
  EXPECT_EQ(t->tag(), "x");
  EXPECT_TRUE(t->children().empty());
  EXPECT_EQ(t->cmd_count(), 0u);
  EXPECT_EQ(t->coparse(), "");
  EXPECT_EQ(t->use_count(), 1u);
}

TEST(KTermBuilder, CommandsAndHoles) {
  KRef x = x_leaf(), y = leaf("integer", "2");
  auto bl = tb("call");
  bl.write("f(").write("").child(x).write(", ").child(y).write(")");
  EXPECT_EQ(bl.child_count(), 2u);
  EXPECT_EQ(bl.cmd_count(), 5u);
  KRef t = std::move(bl).b();
  EXPECT_EQ(t->cmd_values(), (Cmds{W("f("), H, W(", "), H, W(")")}));
  ASSERT_EQ(t->children().size(), 2u);
  EXPECT_EQ(t->children()[0], x.get());
  EXPECT_EQ(t->children()[1], y.get());
  EXPECT_EQ(t->coparse(), "f(x, 2)");

  KRef p = std::move(tb("p").push("").push(" ").pop().pop().pop().nl().write("a").nl()).b();
  EXPECT_EQ(p->cmd_values(), (Cmds{P(""), P(" "), X, X, X, N, W("a"), N}));
  EXPECT_EQ(p->coparse(), "\na\n");

  KRef twice = std::move(tb("t").child(x).write("-").child(x)).b();
  EXPECT_EQ(twice->cmd_values(), (Cmds{H, W("-"), H}));
  EXPECT_EQ(twice->children()[0], twice->children()[1]);
  EXPECT_EQ(twice->coparse(), "x-x");

  KRef blk =
      std::move(
          tb("def").write("def f():").push("    ").nl().write("a").nl().write("b").pop().nl().write("c"))
          .b();
  EXPECT_EQ(blk->coparse(), "def f():\n    a\n    b\nc");

  KRef viac = c(c(tb("t"), x), y).b();
  EXPECT_EQ(viac->cmd_values(), (Cmds{H, H}));
  EXPECT_EQ(viac->coparse(), "x2");
}

// Random builder calls keep one HOLE per child, in splice order.
TEST(KTermBuilder, OneHolePerChildInvariant) {
  for (std::uint32_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE(seed);
    kt::TermGen gen(seed);
    auto bl = tb("t");
    Cmds expect;
    Kids kids;
    std::string text;
    int n = gen.pick(20);
    for (int i = 0; i < n; ++i) {
      switch (gen.pick(5)) {
        case 0: {
          std::string s = gen.text();
          bl.write(s);
          if (!s.empty()) expect.push_back(W(s));
          text += s;
          break;
        }
        case 1:
          bl.nl();
          expect.push_back(N);
          text += "\n";
          break;
        case 2:
          bl.push("");
          expect.push_back(P(""));
          break;
        case 3:
          bl.pop();
          expect.push_back(X);
          break;
        default: {
          KRef k = leaf("n", std::to_string(i));
          bl.child(k);
          kids.push_back(k);
          expect.push_back(H);
          text += std::to_string(i);
        }
      }
      EXPECT_EQ(bl.child_count(), kids.size());
      EXPECT_EQ(bl.cmd_count(), expect.size());
    }
    KRef t = std::move(bl).b();
    EXPECT_EQ(t->cmd_values(), expect);
    ASSERT_EQ(t->children().size(), kids.size());
    for (std::size_t i = 0; i < kids.size(); ++i) {
      EXPECT_EQ(t->children()[i], kids[i].get());
      EXPECT_EQ(kids[i]->use_count(), 2u);
    }
    EXPECT_EQ(t->coparse(), text);
  }
}

TEST(KTermBuilder, ReferenceCounts) {
  KRef a = x_leaf();
  {
    auto bl = tb("t");
    bl.child(a);
    EXPECT_EQ(a->use_count(), 2u);
    bl.child(a);
    EXPECT_EQ(a->use_count(), 3u);
    bl.e(KRef(a));  // the consumed handle is released after splicing
    EXPECT_EQ(a->use_count(), 4u);
    KRef t = std::move(bl).b();
    EXPECT_EQ(a->use_count(), 4u);
    EXPECT_EQ(t->cmd_values(), (Cmds{H, H, H}));
  }
  EXPECT_EQ(a->use_count(), 1u);
  {
    auto bl = tb("t");
    bl.child(a);
  }  // an unbuilt builder releases its children
  EXPECT_EQ(a->use_count(), 1u);
}

TEST(KTermBuilder, QuoteBuilders) {
  KRef a = x_leaf();
  for (auto kind : {KTerm::Variant::Quote, KTerm::Variant::Unquote}) {
    SCOPED_TRACE(static_cast<int>(kind));
    auto bl = KTermBuilder::quote_builder(kind, "expr", 200, "py", Range{5, 1});
    bl.write("(").child(a).write(")").nl();
    KRef q = std::move(bl).b();
    EXPECT_EQ(q->variant(), kind);
    EXPECT_EQ(q->tag(), "expr");
    EXPECT_EQ(q->index(), 200);
    EXPECT_EQ(q->lang(), "py");
    EXPECT_EQ(q->at(), (Range{5, 1}));
    EXPECT_EQ(&q->term(), a.get());
    EXPECT_EQ(q->cmd_values(), (Cmds{W("("), H, W(")"), N}));
    EXPECT_EQ(q->coparse(), "(x)\n");
    EXPECT_EQ(a->use_count(), 2u);
  }
  EXPECT_EQ(a->use_count(), 1u);
  KRef none =
      std::move(KTermBuilder::quote_builder(KTerm::Variant::Quote, "q", 0, "", std::nullopt).child(a)).b();
  EXPECT_EQ(none->at(), std::nullopt);
}

TEST(KTermBuilder, QuoteBuilderNeedsExactlyOneChild) {
  KRef a = x_leaf(), b = leaf("y", "y");
  for (int n : {0, 2, 3}) {
    SCOPED_TRACE(n);
    auto bl = KTermBuilder::quote_builder(KTerm::Variant::Unquote, "q", 0, "py", Range{0, 1});
    for (int i = 0; i < n; ++i) bl.child(i % 2 ? b : a);
    EXPECT_THROW(std::move(bl).build(), Panic);
    // What the builder held is released by the failed build itself.
    EXPECT_EQ(a->use_count(), 1u);
    EXPECT_EQ(b->use_count(), 1u);
  }
  EXPECT_THROW(KTermBuilder::quote_builder(KTerm::Variant::Quote, "q", 0, "", std::nullopt).b(), Panic);
}

}  // namespace
