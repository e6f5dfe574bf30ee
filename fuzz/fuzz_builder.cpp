// Drives the constructors and the builder from the input bytes, mirrors every
// node in a plain tree model, and checks each new term against the model: its
// fields, its sharing of children, its rendering (against a small recursive
// renderer; a HOLE without a child must panic) and its postcard round trip.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "postcard.h"

using namespace kovel;
using Kind = KTerm::Variant;

namespace {

struct Model {
  Kind kind = Kind::Tuple;
  std::string tag, lang;
  std::uint8_t index = 0;
  std::optional<Range> at;
  std::vector<std::shared_ptr<const Model>> kids;  // Quote/Unquote: the one term
  std::vector<CmdOrHole> cmds;
};
using ModelRef = std::shared_ptr<const Model>;

struct Entry {
  KRef term;
  ModelRef model;
};

// The reference renderer: run() is false when a Tuple's HOLE finds no child, or when
// the output or the walk grows beyond the budget (`over` is then set).
struct Renderer {
  std::string out;
  std::vector<std::string> prefixes;
  std::size_t budget = 1 << 12;
  bool over = false;

  bool run(const Model& m) {
    if (budget-- == 0 || out.size() > (1 << 16)) return !(over = true);
    std::size_t next = 0;
    for (const CmdOrHole& c : m.cmds) {
      if (c.hole) {
        if (m.kind == Kind::Tuple && next == m.kids.size()) return false;
        if (!run(*m.kids[m.kind == Kind::Tuple ? next++ : 0])) return false;
        continue;
      }
      switch (c.cmd.kind) {
        case StrCmd::Kind::Write: out += c.cmd.text; break;
        case StrCmd::Kind::NL:
          out += '\n';
          for (const auto& p : prefixes) out += p;
          break;
        case StrCmd::Kind::Push: prefixes.push_back(c.cmd.text); break;
        case StrCmd::Kind::Pop:
          if (!prefixes.empty()) prefixes.pop_back();
          break;
      }
    }
    return true;
  }
};

class Driver {
 public:
  explicit Driver(FuzzedDataProvider& in) : in_(in) {}

  void run() {
    add({leaf("x", "y"), leaf_model("x", "y")});
    while (in_.remaining_bytes() > 0 && pool_.size() < 200) step();
  }

 private:
  // Valid UTF-8 made of a few interesting pieces.
  std::string text() {
    static const std::string_view pieces[] = {
        "a", "b", " ",  "\n", "  ", "\t", std::string_view("\0", 1), "\xc3\xa9", "\xf0\x9f\x98\x80",
        "(", ")", "xyz"};
    std::string s;
    for (int n = in_.ConsumeIntegralInRange(0, 3); n > 0; --n)
      s += pieces[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(pieces) - 1)];
    return s;
  }
  const Entry& pick() { return pool_[in_.ConsumeIntegralInRange<std::size_t>(0, pool_.size() - 1)]; }
  std::optional<Range> range() {
    if (!in_.ConsumeBool()) return std::nullopt;
    return Range{in_.ConsumeIntegral<std::uint64_t>(), in_.ConsumeIntegral<std::uint64_t>()};
  }
  CmdOrHole command() {
    switch (in_.ConsumeIntegralInRange(0, 4)) {
      case 0: return HOLE;
      case 1: return CmdOrHole::of(write(text()));
      case 2: return CmdOrHole::of(NL);
      case 3: return CmdOrHole::of(push(text()));
      default: return CmdOrHole::of(POP);
    }
  }
  std::vector<CmdOrHole> commands() {
    std::vector<CmdOrHole> c(in_.ConsumeIntegralInRange(0, 6));
    for (auto& x : c) x = command();
    return c;
  }
  static ModelRef leaf_model(std::string tag, std::string code) {
    auto m = std::make_shared<Model>();
    m->tag = std::move(tag);
    m->cmds = {CmdOrHole::of(write(code))};
    return m;
  }

  void step() {
    switch (in_.ConsumeIntegralInRange(0, 6)) {
      case 0: {
        const std::string tag = text(), code = text();
        return add({leaf(tag, code), leaf_model(tag, code)});
      }
      case 1: {
        const std::string s = text();
        return add({sym(s), leaf_model(s, s)});
      }
      case 2: {  // tuple(): any HOLE count
        auto m = std::make_shared<Model>();
        m->tag = text();
        std::vector<KRef> kids;
        for (int n = in_.ConsumeIntegralInRange(0, 4); n > 0; --n) {
          const Entry& e = pick();
          kids.push_back(e.term);
          m->kids.push_back(e.model);
        }
        m->cmds = commands();
        std::vector<std::uint32_t> before;
        for (const KRef& k : kids) before.push_back(k->use_count());
        Entry e{tuple(m->tag, kids, m->cmds), m};
        for (std::size_t i = 0; i < kids.size(); ++i)
          CHECK(kids[i]->use_count() ==
                before[i] + std::count_if(kids.begin(), kids.end(),
                                          [&](const KRef& k) { return k.get() == kids[i].get(); }));
        for (std::size_t i = 0; i < kids.size(); ++i) CHECK(e.term->children()[i] == kids[i].get());
        return add(std::move(e));
      }
      case 3: {  // quote/unquote and their by-value forms with a range
        auto m = std::make_shared<Model>();
        m->kind = in_.ConsumeBool() ? Kind::Quote : Kind::Unquote;
        m->tag = text();
        m->index = in_.ConsumeIntegral<std::uint8_t>();
        m->lang = text();
        const Entry& inner = pick();
        m->kids = {inner.model};
        m->cmds = commands();
        const bool by_value = in_.ConsumeBool();
        if (by_value) m->at = range();
        const auto make = m->kind == Kind::Quote ? kquote_at : kunquote_at;
        KRef t = by_value ? make(m->tag, m->index, m->lang, inner.term, m->cmds, m->at).share()
                          : (m->kind == Kind::Quote ? quote : unquote)(m->tag, m->index, m->lang, inner.term,
                                                                       m->cmds);
        CHECK(&t->term() == inner.term.get());
        return add({std::move(t), m});
      }
      case 4:
      case 5: return build();
      default: {  // a fresh, unshared copy through the wire format
        const Entry& e = pick();
        if (fuzz::render_cost(*e.term, 1 << 12) >= (1 << 12)) return;  // unshared size explodes
        DecodeResult r = decode_term(encode_term(*e.term));
        CHECK(r.ok() && equal(*r.term, *e.term));
        return add({std::move(r.term), e.model});
      }
    }
  }

  void build() {
    auto m = std::make_shared<Model>();
    m->tag = text();
    std::optional<KTermBuilder> b;
    if (in_.ConsumeBool()) {
      b = tb(m->tag);
    } else {
      m->kind = in_.ConsumeBool() ? Kind::Quote : Kind::Unquote;
      m->index = in_.ConsumeIntegral<std::uint8_t>();
      m->lang = text();
      m->at = range();
      b = KTermBuilder::quote_builder(m->kind, m->tag, m->index, m->lang, m->at);
    }
    // Only the builder takes references while it is open.
    std::vector<std::uint32_t> before;
    for (const Entry& e : pool_) before.push_back(e.term->use_count());
    std::vector<std::size_t> spliced;
    for (int n = in_.ConsumeIntegralInRange(0, 8); n > 0; --n) {
      switch (in_.ConsumeIntegralInRange(0, 6)) {
        case 0: {
          const std::string s = text();
          b->write(s);
          if (!s.empty()) m->cmds.push_back(CmdOrHole::of(write(s)));
          break;
        }
        case 1: b->nl(), m->cmds.push_back(CmdOrHole::of(NL)); break;
        case 2: {
          const std::string s = text();
          b->push(s), m->cmds.push_back(CmdOrHole::of(push(s)));
          break;
        }
        case 3: b->pop(), m->cmds.push_back(CmdOrHole::of(POP)); break;
        default: {
          const std::size_t i = in_.ConsumeIntegralInRange<std::size_t>(0, pool_.size() - 1);
          const Entry& e = pool_[i];
          spliced.push_back(i);
          const int how = in_.ConsumeIntegralInRange(0, 2);
          if (how == 0)
            b->child(e.term);
          else if (how == 1)
            b->e(KRef(e.term));
          else
            b = c(std::move(*b), e.term);
          m->cmds.push_back(HOLE);
          m->kids.push_back(e.model);
          break;
        }
      }
    }
    CHECK(b->child_count() == m->kids.size() && b->cmd_count() == m->cmds.size());
    const bool quote_like = m->kind != Kind::Tuple;
    if (quote_like && m->kids.size() != 1) {
      bool panicked = false;
      try {
        (void)std::move(*b).b();
      } catch (const Panic& p) {
        panicked = std::string(p.what()).find("left: " + std::to_string(m->kids.size())) != std::string::npos;
      }
      CHECK(panicked);
      b.reset();  // released whatever happened
      for (std::size_t i = 0; i < pool_.size(); ++i) CHECK(pool_[i].term->use_count() == before[i]);
      return;
    }
    if (!quote_like) m->at.reset();
    KRef t = in_.ConsumeBool() ? std::move(*b).b() : std::move(*b).build().share();
    b.reset();
    for (std::size_t i : spliced) ++before[i];
    for (std::size_t i = 0; i < pool_.size(); ++i) CHECK(pool_[i].term->use_count() == before[i]);
    for (std::size_t k = 0; k < spliced.size(); ++k) CHECK(t->children()[k] == pool_[spliced[k]].term.get());
    add({std::move(t), m});
  }

  // Checks a new term against its model and keeps it.
  void add(Entry e) {
    const KTerm& t = *e.term;
    const Model& m = *e.model;
    CHECK(t.variant() == m.kind && t.tag() == m.tag && t.cmd_values() == m.cmds);
    CHECK(t.children().size() == m.kids.size());
    if (m.kind != Kind::Tuple) CHECK(t.index() == m.index && t.lang() == m.lang && t.at() == m.at);
    Renderer ref;
    const bool ok = ref.run(m);
    if (!ref.over) {
      std::optional<std::string> got;
      try {
        got = t.coparse();
      } catch (const Panic&) {
      }
      CHECK(ok ? got == ref.out : !got);
    }
    if (fuzz::render_cost(t, 1 << 12) < (1 << 12)) {
      const std::string enc = encode_term(t);
      DecodeResult r = decode_term(enc);
      CHECK(r.ok() && equal(*r.term, t) && encode_term(*r.term) == enc);
    }
    pool_.push_back(std::move(e));
  }

  FuzzedDataProvider& in_;
  std::vector<Entry> pool_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Driver(in).run();
  return 0;
}
