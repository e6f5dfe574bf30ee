// Matching patterns against terms (match.h). The matcher tries the same
// alternatives in the same order as a recursive description would (a run
// takes the longest span first), undoing bindings through a trail, and
// skips the states it has seen fail.
#include "match.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "walk.h"

namespace kovel {

namespace {

const KTerm& inner(const KTerm& t) {
  const KTerm* x = &t;
  while (x->variant() != KTerm::Variant::Tuple) x = x->children()[0];
  return *x;
}

// Whether a childless node renders as `s`. Most leaves are plain writes,
// compared piece by piece; anything else is rendered.
bool renders_as(const KTerm& t, std::string_view s) {
  std::size_t at = 0;
  for (CmdCursor c = t.cmds(); !c.done();) {
    const CmdView v = c.next();
    if (v.hole || v.kind != StrCmd::Kind::Write) return t.coparse() == s;
    if (s.substr(at, v.text.size()) != v.text) return false;
    at += v.text.size();
  }
  return at == s.size();
}

// Whether a command writes a line feed (a pushed prefix is only written
// after a line break, which already has one).
bool cmd_breaks_line(const CmdView& v) {
  return !v.hole && (v.kind == StrCmd::Kind::NL ||
                     (v.kind == StrCmd::Kind::Write && v.text.find('\n') != std::string_view::npos));
}

// Whether the text of `t` ends with a line break or a `;` (a statement that
// ends with its own, a clause whose last line is its own).
bool ends_statement(const KTerm* t) {
  for (;;) {
    if (t->is_leaf()) {
      const std::string_view text = t->leaf_text();
      return !text.empty() && (text.back() == '\n' || text == ";");
    }
    CmdView last;
    std::uint64_t holes = 0;
    for (CmdCursor c = t->cmds(); !c.done();) {
      last = c.next();
      holes += last.hole;
    }
    if (!last.hole)
      return cmd_breaks_line(last) && (last.kind == StrCmd::Kind::NL || last.text.ends_with('\n'));
    const auto kids = t->children();
    if (holes == 0 || holes > kids.size()) return false;
    t = kids[holes - 1];
  }
}

// Whether a line (or a statement) ends between child `j - 1` of `parent` and
// child `j`: the text between them breaks it, or the child before ends with
// a line break or a `;`.
bool line_ends_before(const KTerm& parent, std::uint64_t j) {
  std::uint64_t hole = 0;
  for (CmdCursor c = parent.cmds(); !c.done();) {
    const CmdView v = c.next();
    if (v.hole) {
      if (hole == j) return false;
      ++hole;
      if (hole == j && ends_statement(parent.children()[j - 1])) return true;
      continue;
    }
    if (hole == j && cmd_breaks_line(v)) return true;
  }
  return false;
}

}  // namespace

bool spells(std::string_view text, std::string_view word) {
  const auto space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::size_t i = 0, j = 0;
  for (;;) {
    while (i < text.size() && space(text[i])) ++i;
    while (j < word.size() && space(word[j])) ++j;
    if (i == text.size() || j == word.size()) return i == text.size() && j == word.size();
    if (lower(text[i++]) != lower(word[j++])) return false;
  }
}

bool is_comment_tag(std::string_view tag) {
  // (Documentation comments some grammars name otherwise: Haskell's Haddock, Perl's POD.)
  return tag.find("comment") != std::string_view::npos || tag == "haddock" || tag == "pod";
}

bool is_comment(const KTerm& t) { return is_comment_tag(inner(t).tag()); }

namespace {

// Whether a run's child is a comment, after which the run keeps its line break.
bool ends_with_comment(const Binding& b) {
  const auto kids = b.parent->children();
  return b.stop <= kids.size() && is_comment(*kids[b.stop - 1]);
}

// The work units (interrupt.h) of one state of Matcher::seq: with its
// look-ups it costs about as much as rendering a few dozen commands.
constexpr std::int64_t kStepUnits = 64;

template <class T>
void put(std::string& out, const T& v) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &v, sizeof(T));
  out.append(bytes, sizeof(T));
}

// The number of paths in the subtree of `n` (itself included).
std::uint64_t path_count(const KTerm& n, Pacer& pace) {
  std::uint64_t count = 0;
  std::vector<const KTerm*> todo{&n};
  while (!todo.empty()) {
    const KTerm* x = todo.back();
    todo.pop_back();
    ++count;
    pace.tick(1);
    for (const KTerm* k : x->children()) todo.push_back(k);
  }
  return count;
}

}  // namespace

std::uint32_t Pattern::add(PatternItem it) {
  if (it.slot >= 0) slots_ = std::max(slots_, static_cast<std::size_t>(it.slot) + 1);
  items_.push_back(std::move(it));
  return static_cast<std::uint32_t>(items_.size() - 1);
}

bool is_clause(const KTerm& t) { return inner(t).tag().ends_with("_clause"); }

bool is_statement(const KTerm& t) {
  const std::string_view tag = inner(t).tag();
  return tag.ends_with("statement") || tag.ends_with("statement_list") || tag.ends_with("declaration") ||
         tag == "block" || tag == "statement_block";  // (JavaScript's `{ ... }` as a statement)
}

bool is_keyword(const KTerm& t) {
  const std::string_view tag = t.tag();
  if (tag.empty() || !is_token(t)) return false;
  for (char c : tag)
    if (!(c >= 'a' && c <= 'z') && c != '_') return false;
  return !is_comment(t);
}

bool is_token(const KTerm& t) {
  const std::string_view tag = t.tag();
  // A line continuation (Python's, Bash's backslash-newline) is layout the grammar made a node.
  if (is_comment(t) || tag == "line_continuation") return true;
  return t.children().empty() && renders_as(t, tag);
}

bool Pattern::named_word(const KTerm& t) const {
  const KTerm& x = inner(t);
  return !named_.empty() && x.children().empty() && named_.contains(x.tag()) && renders_as(x, x.tag());
}

bool Pattern::token(const KTerm& t) const { return is_token(t) && !named_word(t); }

bool Pattern::keyword(const KTerm& t) const { return is_keyword(t) && !named_word(t); }

std::vector<const KTerm*> run_items(const Binding& b, const Pattern& p) {
  std::vector<const KTerm*> out;
  const auto kids = b.parent->children();
  for (std::uint64_t k = b.start; k < b.stop; ++k)
    if (!p.token(*kids[k])) out.push_back(&inner(*kids[k]));
  return out;
}

KRef run_term(const Binding& b) {
  const KTerm& parent = *b.parent;
  if (b.start == b.stop) return tuple(parent.tag(), {}, {});
  const auto kids = parent.children();
  const bool comment_last = ends_with_comment(b);
  std::vector<KRef> out_kids;
  std::vector<CmdOrHole> cmds;
  std::uint64_t hole = 0;  // HOLEs seen so far
  for (CmdCursor c = parent.cmds(); !c.done();) {
    const CmdView v = c.next();
    if (v.hole) {
      if (hole >= b.stop || hole >= kids.size()) break;
      if (hole >= b.start) {
        out_kids.push_back(KRef::share(kids[hole]));
        cmds.push_back(HOLE);
      }
      ++hole;
    } else if (hole > b.start && hole < b.stop) {  // between two children of the run
      cmds.push_back(v.to_value());
    } else if (hole == b.stop && comment_last && v.kind == StrCmd::Kind::NL) {
      // A comment that ends the run ends its line: what follows the run
      // wherever it is spliced must not land inside the comment.
      cmds.push_back(v.to_value());
      break;
    }
  }
  return tuple(parent.tag(), out_kids, cmds);
}

bool LineBreaks::node(const KTerm& root) {
  if (root.is_leaf()) return root.leaf_text().find('\n') != std::string_view::npos;  // most nodes: no memo
  if (const auto it = memo_.find(&root); it != memo_.end()) return it->second;
  // Post-order, stopping at the first line feed; only rendered children
  // count (a quote renders its term only if it has a HOLE, a Tuple no
  // child beyond its last HOLE).
  struct Frame {
    const KTerm* node;
    std::uint64_t next;
    std::uint64_t rendered;
    bool breaks;
  };
  std::vector<Frame> stack;
  const auto open = [&](const KTerm* n) {
    bool breaks = false;
    std::uint64_t holes = 0;
    for (CmdCursor c = n->cmds(); !c.done();) {
      const CmdView v = c.next();
      holes += v.hole;
      breaks = breaks || cmd_breaks_line(v);
    }
    const std::uint64_t kids = n->children().size();
    tick(1 + static_cast<std::int64_t>(n->cmd_count()));
    stack.push_back(
        {n, 0, n->is_quote_like() ? std::min<std::uint64_t>(holes, 1) : std::min(holes, kids), breaks});
  };
  open(&root);
  for (;;) {
    Frame& f = stack.back();
    if (!f.breaks && f.next < f.rendered) {
      const KTerm* k = f.node->children()[f.next++];
      if (k->is_leaf()) {
        f.breaks = k->leaf_text().find('\n') != std::string_view::npos;
      } else if (const auto it = memo_.find(k); it != memo_.end()) {
        f.breaks = it->second;
      } else {
        open(k);
      }
      continue;
    }
    const bool breaks = f.breaks;
    memo_.emplace(f.node, breaks);
    stack.pop_back();
    if (stack.empty()) return breaks;
    stack.back().breaks = breaks;
  }
}

bool LineBreaks::binding(const Binding& b) {
  if (b.kind == Binding::Kind::Node) return node(*b.node);
  if (b.kind != Binding::Kind::Run || b.start == b.stop) return false;
  // What run_term keeps, in the same order.
  const auto kids = b.parent->children();
  const bool comment_last = ends_with_comment(b);
  std::uint64_t hole = 0;
  for (CmdCursor c = b.parent->cmds(); !c.done();) {
    const CmdView v = c.next();
    tick(1);
    if (v.hole) {
      if (hole >= b.stop || hole >= kids.size()) break;
      if (hole >= b.start && node(*kids[hole])) return true;
      ++hole;
    } else if (hole > b.start && hole < b.stop) {
      if (cmd_breaks_line(v)) return true;
    } else if (hole == b.stop && comment_last && v.kind == StrCmd::Kind::NL) {
      return true;
    }
  }
  return false;
}

Matcher::Matcher(const Pattern& p, Pacer* pace)
    : p_(p), pace_(pace ? pace : &own_pace_), env_(p.slots()), suffix_slots_(p.size()) {
  // Items come children first, so an item's subtree slots are known before its parent's.
  std::vector<std::vector<int>> sub(p.size());
  for (std::uint32_t k = 0; k < p.size(); ++k) {
    const PatternItem& it = p.item(k);
    if (it.slot >= 0) sub[k].push_back(it.slot);
    if (it.kind != PatternItem::Kind::Node) continue;
    auto& suffixes = suffix_slots_[k];
    suffixes.resize(it.kids.size() + 1);
    for (std::size_t i = it.kids.size(); i-- > 0;) {
      std::vector<int> s = suffixes[i + 1];
      s.insert(s.end(), sub[it.kids[i]].begin(), sub[it.kids[i]].end());
      std::sort(s.begin(), s.end());
      s.erase(std::unique(s.begin(), s.end()), s.end());
      suffixes[i] = std::move(s);
    }
    sub[k] = suffixes[0];
  }
}

bool Matcher::match(const KTerm& t) {
  undo(0);
  choices_ = 0;
  // Assigning anew also gives back a large bucket array.
  if (failed_.size() > 4096) failed_ = {};
  if (failed_bound_.size() > 4096) failed_bound_ = {};
  failed_.clear();
  failed_bound_.clear();
  return node(static_cast<std::uint32_t>(p_.size() - 1), t);
}

void Matcher::undo(std::size_t mark) {
  while (trail_.size() > mark) {
    env_[static_cast<std::size_t>(trail_.back())] = Binding{};
    trail_.pop_back();
  }
}

namespace {

// Whether `t` writes nothing but blanks around its one child.
bool only_wraps(const KTerm& t) {
  if (t.children().size() != 1) return false;
  for (CmdCursor c = t.cmds(); !c.done();) {
    const CmdView v = c.next();
    if (v.hole || v.kind == StrCmd::Kind::NL) continue;
    if (v.kind != StrCmd::Kind::Write) return false;
    if (v.text.find_first_not_of(" \t\r\n") != std::string_view::npos) return false;
  }
  return true;
}

// `t` without the nodes that only wrap one child (Go's one-element
// `expression_list`): two occurrences of a metavariable compare what they
// stand for, not how the grammar wrapped it there.
const KTerm& unwrapped(const KTerm& t) {
  const KTerm* x = &inner(t);
  while (only_wraps(*x)) x = &inner(*x->children()[0]);
  return *x;
}

// Whether `t` is a childless node the grammar names (a name, a number, a
// string's text), not a token or a comment.
bool is_named_leaf(const KTerm& t) { return t.children().empty() && !is_token(t); }

// The children of `t` that are not comments or line continuations.
std::vector<const KTerm*> code_kids(const KTerm& t) {
  std::vector<const KTerm*> out;
  for (const KTerm* k : t.children())
    if (!is_comment(*k) && inner(*k).tag() != "line_continuation") out.push_back(&inner(*k));
  return out;
}

// Whether two terms bound to one metavariable say the same thing: the same
// tags and tokens, however laid out (`f(a, b)` and `f(a,b)`), comments
// aside; where either is a named leaf, the same text (a name `x` and the
// text `x` of a string, as `$A = "$A"` asks).
bool alike(const KTerm& a, const KTerm& b, Pacer& pace) {
  std::vector<std::pair<const KTerm*, const KTerm*>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    pace.tick(1);
    if (x == y) continue;
    if (is_named_leaf(*x) || is_named_leaf(*y)) {
      if (x->coparse() != y->coparse()) return false;
      continue;
    }
    if (x->tag() != y->tag()) return false;
    if (x->children().empty() && y->children().empty()) {
      if (x->coparse() != y->coparse()) return false;
      continue;
    }
    const auto xs = code_kids(*x), ys = code_kids(*y);
    if (xs.size() != ys.size()) return false;
    for (std::size_t i = 0; i < xs.size(); ++i) todo.emplace_back(xs[i], ys[i]);
  }
  return true;
}

}  // namespace

bool reads_alike(const KTerm& a, const KTerm& b) {
  Pacer pace(nullptr);
  return alike(unwrapped(a), unwrapped(b), pace);
}

bool Matcher::bind(int slot, const Binding& b) {
  if (slot < 0) return true;
  Binding& have = env_[static_cast<std::size_t>(slot)];
  if (have.kind == Binding::Kind::None) {
    have = b;
    trail_.push_back(slot);
    return true;
  }
  if (have.kind != b.kind) return false;
  if (b.kind == Binding::Kind::Node) return alike(unwrapped(*have.node), unwrapped(*b.node), *pace_);
  // The items of both runs, pairwise equal.
  const auto xs = have.parent->children(), ys = b.parent->children();
  std::uint64_t x = have.start, y = b.start;
  for (;;) {
    while (x < have.stop && p_.token(*xs[x])) ++x;
    while (y < b.stop && p_.token(*ys[y])) ++y;
    if (x == have.stop || y == b.stop) return x == have.stop && y == b.stop;
    if (!alike(inner(*xs[x++]), inner(*ys[y++]), *pace_)) return false;
  }
}

// A slot already bound to a run takes a run with the same items: the ends
// [lo, hi] of the runs from child `j` of `parent` that have them (the
// tokens after the last item may go either way). False when there is none.
bool Matcher::bound_run_ends(const Binding& have, const KTerm& parent, std::uint64_t j, std::uint64_t& lo,
                             std::uint64_t& hi) {
  if (have.kind != Binding::Kind::Run) return false;
  const auto xs = have.parent->children(), ys = parent.children();
  std::uint64_t y = j;
  for (std::uint64_t x = have.start; x < have.stop; ++x) {
    if (p_.token(*xs[x])) continue;
    while (y < ys.size() && p_.token(*ys[y])) ++y;
    if (y == ys.size() || !alike(inner(*xs[x]), inner(*ys[y]), *pace_)) return false;
    ++y;
  }
  lo = hi = y;
  while (hi < ys.size() && p_.token(*ys[hi])) ++hi;
  return true;
}

bool Matcher::node(std::uint32_t pi, const KTerm& t) {
  const PatternItem& p = p_.item(pi);
  const KTerm& x = inner(t);
  switch (p.kind) {
    case PatternItem::Kind::Hole:
    case PatternItem::Kind::Run:  // a run at the root stands for one node
      // A metavariable stands for a node the grammar names: not a `;`, a
      // keyword or a bracket (those a pattern may only pass over), nor a
      // comment, which stands between the code's nodes (`[7, /* c */]` holds
      // one item, not two).
      if (p_.token(x)) return false;
      return bind(p.slot, Binding{Binding::Kind::Node, &x, nullptr, 0, 0});
    case PatternItem::Kind::Leaf:
      return x.tag() == p.tag && x.children().empty() &&
             (renders_as(x, p.text) || (p.respellable && spells(x.coparse(), p.text)));
    case PatternItem::Kind::Node: return x.tag() == p.tag && seq(pi, 0, x, 0);
  }
  return false;
}

// The bindings of the slots that items [i, end) of `pi` mention, by
// identity (the same binding gives the same outcome); empty when none is bound.
void Matcher::bound_env(std::string& out, std::uint32_t pi, std::size_t i) const {
  for (const int s : suffix_slots_[pi][i]) {
    const Binding& b = env_[static_cast<std::size_t>(s)];
    if (b.kind == Binding::Kind::None) continue;
    put(out, s);
    put(out, b.kind);
    if (b.kind == Binding::Kind::Node) {
      put(out, b.node);
    } else {
      put(out, b.parent);
      put(out, b.start);
      put(out, b.stop);
    }
  }
}

bool Matcher::failed_before(const State& st, const std::string& env) {
  if (env.empty()) return failed_.contains(st);
  if (failed_bound_.empty()) return false;
  scratch_ = env;
  put(scratch_, st);
  return failed_bound_.contains(scratch_);
}

void Matcher::remember_failure(const State& st, const std::string& env) {
  if (env.empty()) {
    failed_.insert(st);
  } else if (failed_bound_.size() < kMaxBoundFailures) {
    scratch_ = env;
    put(scratch_, st);
    failed_bound_.insert(scratch_);
  }
}

// Whether a token stands between the code's tokens rather than among them: a
// comment, or a line continuation (a backslash ending a line).
namespace {
bool between_tokens(const KTerm& t) {
  if (is_comment(t)) return true;
  const std::string text = t.coparse();
  return !text.empty() && text.find_first_not_of("\\ \t\r\n") == std::string::npos;
}
}  // namespace

// Whether item `i` of node item `p` is a list's separator (a comma), which a
// run of nothing beside it takes along.
bool Matcher::separator(const PatternItem& p, std::size_t i) const {
  if (i >= p.kids.size()) return false;
  const PatternItem& s = p_.item(p.kids[i]);
  return s.kind == PatternItem::Kind::Leaf && s.text == ",";
}

// Matches items [i, end) of node item `pi` against the children of `parent`
// from `j` on. The loop walks the states (i, j), (i, j + 1), ... that
// skipping tokens leads to; the bindings are the same at each, so when the
// call fails they all failed.
bool Matcher::seq(std::uint32_t pi, std::size_t i, const KTerm& parent, std::uint64_t j) {
  const PatternItem& pp = p_.item(pi);
  const auto ts = parent.children();
  const std::uint64_t n = ts.size();
  const std::uint64_t from = j;
  std::string env;  // bound_env, made when first needed
  bool env_made = false;
  const auto state_env = [&]() -> const std::string& {
    if (!env_made) bound_env(env, pi, i);
    env_made = true;
    return env;
  };
  // A failure is only remembered where an alternative is still pending
  // (without one, nothing can bring the matcher back to the same state), and
  // only when finding it took more than one step: a state that fails at
  // once costs no more to try again than to look up.
  const std::uint64_t steps_before = steps_;
  const auto fail = [&](std::uint64_t last) {
    if (choices_ && steps_ - steps_before > 1)
      for (std::uint64_t s = from; s <= last; ++s)
        remember_failure({&parent, s, pi, static_cast<std::uint32_t>(i)}, state_env());
    return false;
  };
  for (;; ++j) {
    ++steps_;
    pace_->tick(kStepUnits);
    if ((!failed_.empty() || !failed_bound_.empty()) &&
        failed_before({&parent, j, pi, static_cast<std::uint32_t>(i)}, state_env()))
      return j == from ? false : fail(j - 1);
    if (i == pp.kids.size()) {
      // What follows the pattern: tokens and clauses, or a part led by a
      // keyword the pattern does not name (Java's `else` and its block), or
      // the statements after a label the pattern ends with (`case $X:`).
      std::uint64_t next = j;  // (comments before the keyword aside)
      while (next < n && is_comment(*ts[next])) ++next;
      if (next < n && p_.keyword(*ts[next])) return true;
      const bool label = !pp.kids.empty() && p_.item(pp.kids.back()).kind == PatternItem::Kind::Leaf &&
                         p_.item(pp.kids.back()).text == ":";
      for (std::uint64_t k = j; k < n; ++k)
        if (!p_.token(*ts[k]) && !is_clause(*ts[k]) && !(label && is_statement(*ts[k]))) return fail(j);
      return true;
    }
    const std::uint32_t qi = pp.kids[i];
    const PatternItem& q = p_.item(qi);
    const std::size_t mark = trail_.size();
    if (q.kind == PatternItem::Kind::Run) {
      std::uint64_t lo = j, hi = n;  // the ends the run may have
      if (q.slot >= 0 && env_[static_cast<std::size_t>(q.slot)].kind != Binding::Kind::None &&
          !bound_run_ends(env_[static_cast<std::size_t>(q.slot)], parent, j, lo, hi))
        return fail(j);
      // Longest run first, so a trailing separator stays in the run.
      ++choices_;
      for (std::uint64_t k = hi;; --k) {
        if (bind(q.slot, Binding{Binding::Kind::Run, nullptr, &parent, j, k}) && seq(pi, i + 1, parent, k)) {
          --choices_;
          return true;
        }
        undo(mark);
        if (k == lo) break;
      }
      // A run of nothing takes the separator after it along (`f($$$A, 2)` is `f(2)`).
      if (lo == j && separator(pp, i + 1) &&
          bind(q.slot, Binding{Binding::Kind::Run, nullptr, &parent, j, j}) && seq(pi, i + 2, parent, j)) {
        --choices_;
        return true;
      }
      undo(mark);
      --choices_;
      return fail(j);
    }
    if (separator(pp, i) && i + 1 < pp.kids.size() &&
        p_.item(pp.kids[i + 1]).kind == PatternItem::Kind::Run) {
      // ... and the one before it, at the end of a list (`f(1, $$$)` is `f(1)`).
      const PatternItem& r = p_.item(pp.kids[i + 1]);
      ++choices_;
      const bool ok =
          bind(r.slot, Binding{Binding::Kind::Run, nullptr, &parent, j, j}) && seq(pi, i + 2, parent, j);
      --choices_;
      if (ok) return true;
      undo(mark);
    }
    if (q.optional && (j >= n || !node(qi, *ts[j])) && (j == 0 || j >= n || line_ends_before(parent, j))) {
      // The term ends the line where the pattern writes the terminator (a leaf binds nothing);
      // where no line ends, the code goes on (Go's `if c {` has no `;` after its `c`).
      ++choices_;
      const bool ok = seq(pi, i + 1, parent, j);
      --choices_;
      if (ok) return true;
      undo(mark);
    }
    if (q.kind == PatternItem::Kind::Node && q.kids.size() == 1 &&
        p_.item(q.kids[0]).kind == PatternItem::Kind::Run && (j >= n || ts[j]->tag() != q.tag) &&
        std::none_of(ts.begin(), ts.end(), [&](const KTerm* t) { return t->tag() == q.tag; })) {
      // A node that only holds a run, where the term has none: grammars leave
      // out a list when it is empty (Go's statement_list in `{}`), so the run
      // binds nothing here. (Not where the term has one that something before
      // took: Ruby's `rescue $E` on a bare `rescue` would bind its body.)
      ++choices_;
      const bool ok = bind(p_.item(q.kids[0]).slot, Binding{Binding::Kind::Run, nullptr, &parent, j, j}) &&
                      seq(pi, i + 1, parent, j);
      --choices_;
      if (ok) return true;
      undo(mark);
    }
    if (j >= n) return fail(j);
    // A token of the term that the pattern does not mention may be skipped,
    // but not to a metavariable: `var $X $T` holds no `=`, and its `$T` is
    // no value after one (a comment between is no token of the code). The
    // keywords a node starts with may be (`static` and `async` before a
    // method's `$F`). Nor is the token the pattern writes here skipped to
    // the same token further on: which `:` of `x[::2]` or `,` of `[a,,b]` it
    // is says what the values after it are.
    const bool same = q.kind == PatternItem::Kind::Leaf && node(qi, *ts[j]);
    const bool token =
        !same && p_.token(*ts[j]) &&
        (q.kind != PatternItem::Kind::Hole || between_tokens(*ts[j]) || (i == 0 && p_.keyword(*ts[j])));
    choices_ += token;
    const bool ok = (same || node(qi, *ts[j])) && seq(pi, i + 1, parent, j + 1);
    choices_ -= token;
    if (ok) return true;
    undo(mark);
    if (!token) return fail(j);
  }
}

void next_path(std::vector<std::uint64_t>& path, const Found& f) {
  path.resize(f.keep);
  path.insert(path.end(), f.tail.begin(), f.tail.end());
}

std::vector<Found> search(const Pattern& p, const KTerm& root, bool outermost, const StopCheck* stop) {
  std::vector<Found> out;
  if (p.empty()) return out;
  Pacer pace(stop);
  const PatternItem& r = p.root();
  const bool any_tag = r.kind == PatternItem::Kind::Hole || r.kind == PatternItem::Kind::Run;
  Matcher m(p, &pace);
  LineBreaks lines(&pace);
  std::vector<std::uint64_t> path;
  std::uint64_t order = 0;  // the visited node's position in pre-order
  std::size_t low = 0;      // the shortest the path has been since the last match
  const auto matches = [&](const KTerm& n) {
    return n.variant() == KTerm::Variant::Tuple && (any_tag || n.tag() == r.tag) && m.match(n);
  };
  // Records a match at `path`; true when the walk goes on into it.
  const auto found = [&](const KTerm& n) {
    Found f{std::min(low, path.size()), {}, order, &n, m.bindings(), false, 0, 0, {}};
    f.tail.assign(path.begin() + static_cast<std::ptrdiff_t>(f.keep), path.end());
    low = path.size();
    for (const Binding& b : f.bindings) f.multiline = f.multiline || lines.binding(b);
    out.push_back(std::move(f));
    return !outermost;
  };
  struct Frame {
    const KTerm* node;
    std::uint64_t next;
  };
  std::vector<Frame> stack;
  if (matches(root) && !found(root)) return out;
  stack.push_back({&root, 0});
  pace.tick(static_cast<std::int64_t>(root.children().size()));
  while (!stack.empty()) {
    Frame& f = stack.back();
    const auto kids = f.node->children();
    if (f.next == kids.size()) {
      stack.pop_back();
      if (!stack.empty()) {
        path.pop_back();
        low = std::min(low, path.size());
      }
      continue;
    }
    const std::uint64_t i = f.next++;
    const KTerm& child = *kids[i];
    ++order;
    const bool descend = !child.children().empty();
    if (matches(child)) {
      path.push_back(i);
      const bool inside = found(child);
      if (!inside) order += path_count(child, pace) - 1;  // the paths in it are not walked
      if (!inside || !descend) {
        path.pop_back();
        low = std::min(low, path.size());
        continue;
      }
    } else if (descend) {
      path.push_back(i);
    } else {
      continue;
    }
    stack.push_back({&child, 0});
    pace.tick(static_cast<std::int64_t>(child.children().size()));
  }
  return out;
}

Searcher::Searcher(std::span<const Pattern* const> ps, Pacer* pace) : pace_(pace) {
  for (std::size_t k = 0; k < ps.size(); ++k) {
    matchers_.push_back(std::make_unique<Matcher>(*ps[k], pace_));
    if (ps[k]->empty()) continue;
    const PatternItem& r = ps[k]->root();
    if (r.kind == PatternItem::Kind::Hole || r.kind == PatternItem::Kind::Run)
      any_tag_.push_back(k);
    else
      by_tag_[r.tag].push_back(k);
  }
}

std::vector<std::vector<Found>> Searcher::run(const KTerm& root) {
  Pacer& pace = *pace_;
  std::vector<std::vector<Found>> out(matchers_.size());
  LineBreaks lines(&pace);
  std::vector<std::uint64_t> path;
  std::vector<std::size_t> low(matchers_.size(), 0);  // per pattern, as in search
  std::uint64_t order = 0;
  const auto visit = [&](const KTerm& n) {
    if (n.variant() != KTerm::Variant::Tuple) return;
    const auto try_one = [&](std::size_t k) {
      Matcher& m = *matchers_[k];
      if (!m.match(n)) return;
      Found f{std::min(low[k], path.size()), {}, order, &n, m.bindings(), false, 0, 0, {}};
      f.tail.assign(path.begin() + static_cast<std::ptrdiff_t>(f.keep), path.end());
      low[k] = path.size();
      for (const Binding& b : f.bindings) f.multiline = f.multiline || lines.binding(b);
      out[k].push_back(std::move(f));
    };
    // Each pattern's list is its own: the order patterns are tried in does not matter.
    for (const std::size_t k : any_tag_) try_one(k);
    const auto it = by_tag_.find(n.tag());
    if (it != by_tag_.end())
      for (const std::size_t k : it->second) try_one(k);
  };
  struct Frame {
    const KTerm* node;
    std::uint64_t next;
  };
  std::vector<Frame> stack;
  visit(root);
  stack.push_back({&root, 0});
  pace.tick(static_cast<std::int64_t>(root.children().size()));
  while (!stack.empty()) {
    Frame& f = stack.back();
    const auto kids = f.node->children();
    if (f.next == kids.size()) {
      stack.pop_back();
      if (!stack.empty()) {
        path.pop_back();
        for (std::size_t& l : low) l = std::min(l, path.size());
      }
      continue;
    }
    const std::uint64_t i = f.next++;
    const KTerm& child = *kids[i];
    ++order;
    path.push_back(i);
    visit(child);
    if (child.children().empty()) {
      path.pop_back();
      for (std::size_t& l : low) l = std::min(l, path.size());
      continue;
    }
    stack.push_back({&child, 0});
    pace.tick(static_cast<std::int64_t>(child.children().size()));
  }
  return out;
}

std::vector<std::vector<Found>> search_many(std::span<const Pattern* const> ps, const KTerm& root,
                                            const StopCheck* stop) {
  Pacer pace(stop);
  Searcher searcher(ps, &pace);
  return searcher.run(root);
}

namespace {

// The node where binding `b`'s text starts, if any.
const KTerm* first_node(const Binding& b) {
  if (b.kind == Binding::Kind::Node) return b.node;
  if (b.kind == Binding::Kind::Run && b.start < b.stop) return b.parent->children()[b.start];
  return nullptr;
}

// The offsets of the bindings of the multiline matches: for each, the first
// record of the binding's first node in the match's subtree. `records` are
// those of rendered_spans_around (at `positions`): every node of such a
// match's subtree, and the first after it. One pass over them finds them
// all, with the nodes still looked for in a table.
void binding_offsets(std::vector<Found>& found, std::span<const SpanRecord> records,
                     std::span<const std::uint64_t> positions, Pacer& pace) {
  struct Want {
    std::size_t found;
    std::size_t slot;
  };
  std::unordered_map<const KTerm*, std::vector<Want>> waiting;
  std::vector<std::pair<std::size_t, std::uint64_t>> open;  // matches the walk is in, and their depths
  std::vector<bool> closed(found.size(), false);
  std::size_t next = 0;  // the next multiline match
  for (std::size_t i = 0; i < records.size(); ++i) {
    pace.tick(1);
    while (!open.empty() && records[i].depth <= open.back().second) {
      closed[open.back().first] = true;
      open.pop_back();
    }
    while (next < found.size() && !found[next].multiline) ++next;
    if (open.empty() && next == found.size()) return;
    if (next < found.size() && found[next].order == positions[i]) {
      Found& f = found[next];
      f.offsets.assign(f.bindings.size(), f.start);
      for (std::size_t s = 0; s < f.bindings.size(); ++s)
        if (const KTerm* w = first_node(f.bindings[s])) waiting[w].push_back({next, s});
      open.emplace_back(next++, records[i].depth);
    }
    const auto it = waiting.find(records[i].node);
    if (it == waiting.end()) continue;
    for (const Want& w : it->second)
      if (!closed[w.found]) found[w.found].offsets[w.slot] = records[i].start;
    waiting.erase(it);
  }
}

}  // namespace

void attach_spans(const KTerm& root, std::vector<Found>& found, const StopCheck* stop) {
  attach_spans(root, std::span<std::vector<Found>>(&found, 1), stop);
}

void attach_spans(const KTerm& root, std::span<std::vector<Found>> found, const StopCheck* stop) {
  if (std::all_of(found.begin(), found.end(), [](const auto& list) { return list.empty(); })) return;
  Pacer pace(stop);
  // Rendering is what spans cost: once for every list. Only the matches'
  // own records are kept (a big file's match needs no record of every node,
  // tens of megabytes), and those of the subtrees of the multiline ones,
  // where their bindings are looked for; rendering stops after the last.
  std::vector<std::uint64_t> orders, deep;
  for (const std::vector<Found>& list : found) {
    for (const Found& f : list) {
      orders.push_back(f.order);
      if (f.multiline) deep.push_back(f.order);
    }
  }
  for (std::vector<std::uint64_t>* v : {&orders, &deep}) {
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
  }
  std::vector<std::uint64_t> positions;
  const std::vector<SpanRecord> records = rendered_spans_around(root, orders, deep, positions);
  for (std::vector<Found>& list : found) {
    bool multiline = false;
    for (Found& f : list) {
      const auto k = static_cast<std::size_t>(std::lower_bound(positions.begin(), positions.end(), f.order) -
                                              positions.begin());
      if (k >= records.size() || positions[k] != f.order || records[k].node != f.node)
        throw std::logic_error("attach_spans: a match is not where the walk of the term puts it");
      f.start = records[k].start;
      f.end = records[k].end;
      multiline = multiline || f.multiline;
    }
    if (multiline) binding_offsets(list, records, positions, pace);
  }
}

KRef dedent(const KTerm& t, std::string_view indent) {
  if (indent.empty()) return KRef::share(&t);
  // The commands are visited in the order they render, so a line break at
  // the end of one node (a line-end token) and the write that starts the next
  // line in an ancestor's gap are seen one after the other.
  struct Frame {
    const KTerm* node;
    CmdCursor cur;
    std::uint64_t next_child = 0;
    std::vector<CmdOrHole> cmds;  // the commands so far (Tuple nodes only)
    std::vector<KRef> kids;       // the new children, once one of them changed
    bool changed = false;         // a write of its own lost its indent
  };
  auto open = [](const KTerm* n) { return Frame{n, n->cmds(), 0, {}, {}, false}; };
  std::vector<Frame> stack;
  stack.push_back(open(&t));
  bool after_nl = false;
  for (;;) {
    Frame& f = stack.back();
    const bool tuple_node = f.node->variant() == KTerm::Variant::Tuple;
    if (!f.cur.done()) {
      const CmdView v = f.cur.next();
      if (tuple_node) f.cmds.push_back(v.to_value());
      if (v.hole) {
        // A quote renders its one child at every HOLE: it is rewritten at the first.
        const auto kids = f.node->children();
        const std::uint64_t k = tuple_node ? f.next_child++ : 0;
        if (k < kids.size() && (tuple_node || f.next_child++ == 0)) stack.push_back(open(kids[k]));
      } else if (v.kind == StrCmd::Kind::NL) {
        after_nl = true;
      } else if (v.kind == StrCmd::Kind::Write && !v.text.empty()) {
        if (after_nl && tuple_node && v.text.starts_with(indent)) {
          f.cmds.back() = CmdOrHole::of(write(v.text.substr(indent.size())));
          f.changed = true;
        }
        after_nl = false;
      }
      continue;
    }
    KRef built;
    if (f.changed) {
      std::vector<KRef> kids = std::move(f.kids);
      if (kids.empty())
        for (const KTerm* k : f.node->children()) kids.push_back(KRef::share(k));
      built = tuple(f.node->tag(), kids, f.cmds);
    } else if (!f.kids.empty()) {
      built = with_children(*f.node, f.kids).share();
    } else {
      built = KRef::share(f.node);
    }
    const KTerm* old = f.node;
    stack.pop_back();
    if (stack.empty()) return built;
    if (built.get() == old) continue;
    Frame& parent = stack.back();
    const auto siblings = parent.node->children();
    if (parent.kids.empty())
      for (const KTerm* s : siblings) parent.kids.push_back(KRef::share(s));
    const std::uint64_t i = parent.node->variant() == KTerm::Variant::Tuple ? parent.next_child - 1 : 0;
    parent.kids[i] = std::move(built);
  }
}

KRef replace_paths(const KTerm& root, std::span<const std::vector<std::uint64_t>> paths,
                   std::span<const KRef> repls) {
  if (paths.empty()) return KRef::share(&root);
  if (paths[0].empty()) return repls[0];
  // One frame per ancestor being rebuilt; it covers paths [cur, hi), which
  // all pass through it.
  struct Frame {
    const KTerm* node;
    std::size_t depth;
    std::size_t cur;
    std::size_t hi;
    std::uint64_t slot;  // its position in its parent
    std::vector<KRef> kids;
  };
  std::vector<Frame> stack;
  auto open = [&](const KTerm* n, std::size_t depth, std::size_t lo, std::size_t hi, std::uint64_t slot) {
    Frame f{n, depth, lo, hi, slot, {}};
    f.kids.reserve(n->children().size());
    for (const KTerm* k : n->children()) f.kids.push_back(KRef::share(k));
    stack.push_back(std::move(f));
  };
  open(&root, 0, 0, paths.size(), 0);
  for (;;) {
    Frame& f = stack.back();
    if (f.cur < f.hi) {
      const std::vector<std::uint64_t>& p = paths[f.cur];
      const std::uint64_t c = p[f.depth];
      std::size_t e = f.cur + 1;
      while (e < f.hi && paths[e][f.depth] == c) ++e;
      const std::size_t lo = f.cur;
      f.cur = e;
      if (p.size() == f.depth + 1) {
        f.kids[c] = repls[lo];
      } else {
        open(f.node->children()[c], f.depth + 1, lo, e, c);  // invalidates f
      }
      continue;
    }
    KRef built = with_children(*f.node, f.kids).share();
    const std::uint64_t slot = f.slot;
    stack.pop_back();
    if (stack.empty()) return built;
    stack.back().kids[slot] = std::move(built);
  }
}

}  // namespace kovel
