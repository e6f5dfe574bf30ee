#include "walk.h"

#include <cstdint>
#include <tuple>

namespace kovel {

std::uint64_t hole_count(const KTerm& n) {
  std::uint64_t holes = 0;
  for (CmdCursor c = n.cmds(); !c.done();) holes += c.next().hole;
  return holes;
}

KNode with_children(const KTerm& n, std::span<KRef> kids) {
  std::string scratch;
  return KTerm::assemble(n.variant(), n.index(), n.tag(), n.lang(), kids, n.cmd_count(),
                         n.encoded_cmds(scratch), n.at());
}

bool PathCursor::next() {
  if (!started_) {
    started_ = true;
    cur_ = root_;
    return true;
  }
  if (!cur_) return false;
  if (!cur_->children().empty()) {
    // The children are visited next, and each is usually a cache miss.
    for (const KTerm* k : cur_->children()) __builtin_prefetch(k);
    stack_.push_back({cur_, 1});
    path_.push_back(0);
    cur_ = cur_->children()[0];
    return true;
  }
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    const auto kids = f.node->children();
    if (f.next < kids.size()) {
      path_.back() = f.next;
      cur_ = kids[f.next++];
      return true;
    }
    stack_.pop_back();
    path_.pop_back();
  }
  cur_ = nullptr;
  return false;
}

namespace {

constexpr std::size_t kNone = SIZE_MAX;

// Renders `root` once, telling `rec` of every path's node in pre-order:
// rec.enter(node, depth, index, start) when it starts, which gives a handle,
// and rec.leave(handle, end) when it ends. A child that is never rendered (a
// Tuple child beyond the last HOLE, the term of a quote without HOLE) and
// its subtree start and end where the parent's text ends. Stops as soon as
// rec.finished().
template <class Recorder>
void rendered_walk(const KTerm& root, Recorder& rec) {
  struct Frame {
    const KTerm* node;
    CmdCursor cmds;
    std::uint64_t next_child;
    std::size_t handle;
  };
  std::vector<Frame> stack;
  CodePointCount count;  // what has been rendered: its code points only
  CountWriter w(count);
  const auto enter = [&](const KTerm* n, std::uint64_t index) {
    const std::size_t h = rec.enter(n, stack.size(), index, count.count());
    stack.push_back({n, n->cmds(), 0, h});
  };
  const auto unrendered = [&](const KTerm* n, std::uint64_t depth, std::uint64_t index, std::uint64_t at) {
    std::vector<std::tuple<const KTerm*, std::uint64_t, std::uint64_t>> todo{{n, depth, index}};
    while (!todo.empty()) {
      const auto [x, d, i] = todo.back();
      todo.pop_back();
      rec.leave(rec.enter(x, d, i, at), at);
      const auto kids = x->children();
      for (std::size_t j = kids.size(); j-- > 0;) todo.emplace_back(kids[j], d + 1, j);
    }
  };
  enter(&root, 0);
  while (!stack.empty() && !rec.finished()) {
    Frame& f = stack.back();
    const KTerm* n = f.node;
    if (!f.cmds.done()) {
      const CmdView v = f.cmds.next();
      if (!v.hole) {
        w.interpret(v.kind, v.text);
      } else if (n->is_quote_like()) {
        if (f.next_child++ == 0) {
          enter(&n->term(), 0);
        } else {
          n->term().write(w);  // already recorded at its first HOLE
        }
      } else if (f.next_child < n->children().size()) {
        const std::uint64_t i = f.next_child++;
        enter(n->children()[i], i);
      } else {
        throw Panic("rendered_spans", "HOLE with no child left: Tuple '" + std::string(n->tag()) + "' has " +
                                          std::to_string(n->children().size()) + " children and more HOLEs");
      }
      continue;
    }
    const std::uint64_t end = count.count();
    rec.leave(f.handle, end);
    const auto kids = n->children();
    const std::uint64_t first_unrendered =
        n->is_quote_like() ? std::min<std::uint64_t>(f.next_child, 1) : f.next_child;
    const std::uint64_t depth = stack.size();
    stack.pop_back();
    for (std::uint64_t i = first_unrendered; i < kids.size(); ++i) unrendered(kids[i], depth, i, end);
  }
}

}  // namespace

std::vector<SpanRecord> rendered_spans(const KTerm& root) {
  struct All {
    std::vector<SpanRecord> out;
    std::size_t enter(const KTerm* n, std::uint64_t depth, std::uint64_t index, std::uint64_t start) {
      out.push_back({n, depth, index, start, start});
      return out.size() - 1;
    }
    void leave(std::size_t h, std::uint64_t end) { out[h].end = end; }
    bool finished() const { return false; }
  } all;
  rendered_walk(root, all);
  return std::move(all.out);
}

std::vector<SpanRecord> rendered_spans_around(const KTerm& root, std::span<const std::uint64_t> orders,
                                              std::span<const std::uint64_t> deep,
                                              std::vector<std::uint64_t>& positions) {
  struct Around {
    std::span<const std::uint64_t> want, deep;
    std::vector<std::uint64_t>& positions;
    std::vector<SpanRecord> out;
    std::vector<bool> counted;          // per record: one of `want`
    std::vector<std::uint64_t> within;  // depths of the deep nodes whose subtree the walk is in
    std::uint64_t order = 0;
    std::size_t next = 0, next_deep = 0;
    std::size_t open = 0;  // wanted nodes entered and not yet left
    std::size_t enter(const KTerm* n, std::uint64_t depth, std::uint64_t index, std::uint64_t start) {
      const std::uint64_t at = order++;
      // A subtree ends where a node no deeper than its root begins (the
      // children never rendered come after their parent is left, deeper).
      bool closes = false;
      while (!within.empty() && depth <= within.back()) {
        within.pop_back();
        closes = true;
      }
      const bool wanted = next < want.size() && want[next] == at;
      next += wanted;
      const bool is_deep = next_deep < deep.size() && deep[next_deep] == at;
      next_deep += is_deep;
      if (!wanted && !closes && within.empty()) return kNone;
      if (is_deep) within.push_back(depth);
      open += wanted;
      out.push_back({n, depth, index, start, start});
      positions.push_back(at);
      counted.push_back(wanted);
      return out.size() - 1;
    }
    void leave(std::size_t h, std::uint64_t end) {
      if (h == kNone) return;
      out[h].end = end;
      open -= counted[h];
    }
    bool finished() const { return next == want.size() && open == 0 && within.empty(); }
  } around{orders, deep, positions, {}, {}, {}};
  positions.clear();
  rendered_walk(root, around);
  return std::move(around.out);
}

std::size_t existing_prefix(const KTerm& root, std::span<const std::uint64_t> path) {
  const KTerm* n = &root;
  std::size_t steps = 0;
  for (const std::uint64_t i : path) {
    if (i >= n->children().size()) break;
    n = n->children()[i];
    ++steps;
  }
  return steps;
}

KRef replace_at(const KTerm& root, std::span<const std::uint64_t> path, KRef repl) {
  std::vector<const KTerm*> chain{&root};
  for (std::size_t k = 0; k + 1 < path.size(); ++k) chain.push_back(chain.back()->children()[path[k]]);
  KRef cur = std::move(repl);
  for (std::size_t k = path.size(); k-- > 0;) {
    const KTerm& parent = *chain[k];
    std::vector<KRef> kids;
    kids.reserve(parent.children().size());
    for (const KTerm* c : parent.children()) kids.push_back(KRef::share(c));
    kids[path[k]] = std::move(cur);
    cur = with_children(parent, kids).share();
  }
  return cur;
}

}  // namespace kovel
