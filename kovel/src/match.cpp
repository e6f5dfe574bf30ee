// Matching patterns against terms (match.h). The matcher tries the same
// alternatives in the same order as a recursive description would (a run
// takes the longest span first), undoing bindings through a trail.
#include "match.h"

#include <algorithm>

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

bool cmd_breaks_line(const CmdView& v) {
  return !v.hole && (v.kind == StrCmd::Kind::NL || v.text.find('\n') != std::string_view::npos);
}

bool subtree_breaks_line(const KTerm& root) {
  std::vector<const KTerm*> stack{&root};
  while (!stack.empty()) {
    const KTerm* n = stack.back();
    stack.pop_back();
    for (CmdCursor c = n->cmds(); !c.done();)
      if (cmd_breaks_line(c.next())) return true;
    for (const KTerm* k : n->children()) stack.push_back(k);
  }
  return false;
}

}  // namespace

std::uint32_t Pattern::add(PatternItem it) {
  if (it.slot >= 0) slots_ = std::max(slots_, static_cast<std::size_t>(it.slot) + 1);
  items_.push_back(std::move(it));
  return static_cast<std::uint32_t>(items_.size() - 1);
}

bool is_token(const KTerm& t) {
  const std::string_view tag = t.tag();
  if (tag == "comment" || tag == "line_comment" || tag == "block_comment") return true;
  return t.children().empty() && renders_as(t, tag);
}

std::vector<const KTerm*> run_items(const Binding& b) {
  std::vector<const KTerm*> out;
  const auto kids = b.parent->children();
  for (std::uint64_t k = b.start; k < b.stop; ++k)
    if (!is_token(*kids[k])) out.push_back(&inner(*kids[k]));
  return out;
}

KRef run_term(const Binding& b) {
  const KTerm& parent = *b.parent;
  if (b.start == b.stop) return tuple(parent.tag(), {}, {});
  const auto kids = parent.children();
  const bool ends_with_comment =
      b.stop <= kids.size() && inner(*kids[b.stop - 1]).tag().find("comment") != std::string_view::npos;
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
    } else if (hole == b.stop && ends_with_comment && !v.hole && v.kind == StrCmd::Kind::NL) {
      // A comment that ends the run ends its line: what follows the run
      // wherever it is spliced must not land inside the comment.
      cmds.push_back(v.to_value());
      break;
    }
  }
  return tuple(parent.tag(), out_kids, cmds);
}

bool may_span_lines(const Binding& b) {
  if (b.kind == Binding::Kind::Node) return subtree_breaks_line(*b.node);
  if (b.kind != Binding::Kind::Run) return false;
  const auto kids = b.parent->children();
  for (std::uint64_t k = b.start; k < b.stop; ++k)
    if (subtree_breaks_line(*kids[k])) return true;
  std::uint64_t hole = 0;
  for (CmdCursor c = b.parent->cmds(); !c.done();) {
    const CmdView v = c.next();
    if (v.hole) {
      if (++hole >= b.stop) break;
    } else if (hole > b.start && cmd_breaks_line(v)) {
      return true;
    }
  }
  return false;
}

bool Matcher::match(const KTerm& t) {
  undo(0);
  return node(p_.root(), t);
}

void Matcher::undo(std::size_t mark) {
  while (trail_.size() > mark) {
    env_[static_cast<std::size_t>(trail_.back())] = Binding{};
    trail_.pop_back();
  }
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
  if (b.kind == Binding::Kind::Node) return equal(*have.node, *b.node);
  const std::vector<const KTerm*> x = run_items(have), y = run_items(b);
  return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                    [](const KTerm* a, const KTerm* c) { return equal(*a, *c); });
}

bool Matcher::node(const PatternItem& p, const KTerm& t) {
  const KTerm& x = inner(t);
  switch (p.kind) {
    case PatternItem::Kind::Hole:
    case PatternItem::Kind::Run:  // a run at the root stands for one node
      return bind(p.slot, Binding{Binding::Kind::Node, &x, nullptr, 0, 0});
    case PatternItem::Kind::Leaf: return x.tag() == p.tag && x.children().empty() && renders_as(x, p.text);
    case PatternItem::Kind::Node: return x.tag() == p.tag && seq(p, 0, x, 0);
  }
  return false;
}

bool Matcher::seq(const PatternItem& pp, std::size_t i, const KTerm& parent, std::uint64_t j) {
  const auto ts = parent.children();
  const std::uint64_t n = ts.size();
  for (;;) {
    if (i == pp.kids.size()) {
      for (; j < n; ++j)
        if (!is_token(*ts[j])) return false;
      return true;
    }
    const PatternItem& q = p_.item(pp.kids[i]);
    const std::size_t mark = trail_.size();
    if (q.kind == PatternItem::Kind::Run) {
      // Longest run first, so a trailing separator stays in the run.
      for (std::uint64_t k = n;; --k) {
        if (bind(q.slot, Binding{Binding::Kind::Run, nullptr, &parent, j, k}) && seq(pp, i + 1, parent, k))
          return true;
        undo(mark);
        if (k == j) return false;
      }
    }
    if (j >= n) return false;
    if (node(q, *ts[j]) && seq(pp, i + 1, parent, j + 1)) return true;
    undo(mark);
    // A token of the term that the pattern does not mention may be skipped.
    if (!is_token(*ts[j])) return false;
    ++j;
  }
}

std::vector<Found> search(const Pattern& p, const KTerm& root, bool outermost) {
  std::vector<Found> out;
  if (p.empty()) return out;
  const PatternItem& r = p.root();
  const bool any_tag = r.kind == PatternItem::Kind::Hole || r.kind == PatternItem::Kind::Run;
  Matcher m(p);
  std::vector<std::uint64_t> path;
  // Tries `n` at `path`; true when the walk goes on into its children.
  auto visit = [&](const KTerm& n) {
    if (n.variant() != KTerm::Variant::Tuple || (!any_tag && n.tag() != r.tag) || !m.match(n)) return true;
    Found f{path, &n, m.bindings(), false, 0, 0, {}};
    for (const Binding& b : f.bindings) f.multiline = f.multiline || may_span_lines(b);
    out.push_back(std::move(f));
    return !outermost;
  };
  struct Frame {
    const KTerm* node;
    std::uint64_t next;
  };
  std::vector<Frame> stack;
  if (visit(root)) stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& f = stack.back();
    const auto kids = f.node->children();
    if (f.next == kids.size()) {
      stack.pop_back();
      if (!stack.empty()) path.pop_back();
      continue;
    }
    const std::uint64_t i = f.next++;
    const KTerm& child = *kids[i];
    path.push_back(i);
    if (visit(child) && !child.children().empty()) {
      stack.push_back({&child, 0});
    } else {
      path.pop_back();
    }
  }
  return out;
}

namespace {

// The node where binding `b`'s text starts, if any.
const KTerm* first_node(const Binding& b) {
  if (b.kind == Binding::Kind::Node) return b.node;
  if (b.kind == Binding::Kind::Run && b.start < b.stop) return b.parent->children()[b.start];
  return nullptr;
}

// The offsets of `f`'s bindings, from the records of its subtree (which
// begin at records[at]): the first record of each binding's first node.
void binding_offsets(Found& f, std::span<const SpanRecord> records, std::size_t at) {
  f.offsets.assign(f.bindings.size(), f.start);
  std::vector<const KTerm*> want(f.bindings.size());
  std::size_t left = 0;
  for (std::size_t s = 0; s < want.size(); ++s) left += (want[s] = first_node(f.bindings[s])) != nullptr;
  const std::uint64_t depth = records[at].depth;
  for (std::size_t i = at; left && i < records.size() && (i == at || records[i].depth > depth); ++i) {
    for (std::size_t s = 0; s < want.size(); ++s) {
      if (want[s] != records[i].node) continue;
      f.offsets[s] = records[i].start;
      want[s] = nullptr;
      --left;
    }
  }
}

}  // namespace

void attach_spans(const KTerm& root, std::vector<Found>& found) {
  if (found.empty()) return;
  const std::vector<SpanRecord> records = rendered_spans(root);
  std::vector<std::uint64_t> path;
  std::size_t f = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const SpanRecord& r = records[i];
    path.resize(r.depth);
    if (r.depth) path.back() = r.index;
    if (r.node != found[f].node || path != found[f].path) continue;
    found[f].start = r.start;
    found[f].end = r.end;
    if (found[f].multiline) binding_offsets(found[f], records, i);
    if (++f == found.size()) return;
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
