// tsmatch: search a source for patterns without converting all of its tree.
//
// Every match of a pattern holds the pattern's required texts (the tokens
// it spells out), and a converted node renders as exactly its source bytes.
// So the walk over tree-sitter's tree enters only nodes whose bytes hold an
// occurrence of each live pattern's rarest required text, and converts only
// the outermost nodes of a pattern's root kind among them: the matches in
// those subtrees are all the matches in the file, with the same terms,
// paths and spans as a search of the whole converted tree (rule 2, which
// makes an ancestor verbatim after its children were seen, is followed by
// converting the subtrees inside such an ancestor again).
#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../unlocked.h"
#include "compiled.h"
#include "livesearch.h"
#include "tags.h"
#include "tsconvert.h"

namespace kovel::py::native {

namespace {

using namespace ts;

// A subtree converted on its own: where it stands and its term. `node` and
// `v` point into the tree and its kinds, and serve only the conversion.
struct Subtree {
  TSNode node;
  Walker::Visit v;
  bool has_kids;
  bool inherited;  // an ancestor is verbatim (rule 1, or rule 2 found later)
  std::vector<std::uint64_t> path;
  std::uint64_t chars = 0;  // code points of the source before it
  KRef term;
};

// An entered node that is not converted: what rule 2 needs of it.
struct Open {
  std::uint64_t pos, end;
  bool verbatim, token;
  std::size_t first;   // subtrees recorded since it was entered
  std::uint64_t next;  // position of its next child
};

// Whether the children of the node at `c` (reset there) have `tags` in this
// order, among others. The matcher gives each node or leaf item of a
// pattern a child of its tag, in order (holes, runs and skipped tokens take
// the rest), so a node without them is no match, whatever its subtree holds.
bool has_kids(TSTreeCursor* c, TSNode n, const std::vector<std::string_view>& tags) {
  if (tags.empty()) return true;
  ts_tree_cursor_reset(c, n);
  if (!ts_tree_cursor_goto_first_child(c)) return false;
  std::size_t k = 0;
  do {
    const char* type = ts_node_type(ts_tree_cursor_current_node(c));
    if (type && tags[k] == type && ++k == tags.size()) return true;
  } while (ts_tree_cursor_goto_next_sibling(c));
  return false;
}

// The subtrees of `root` that can hold a match of one of `wants`, converted.
std::vector<Subtree> live_subtrees(TSNode root, std::string_view src, Kinds& kinds,
                                   std::vector<Want>& wants) {
  Walker walker(kinds, src);
  Cursor cursor(root);
  std::vector<Subtree> out;
  // Whether a match may lie inside the node; `candidate`: at the node itself.
  const auto live_at = [&](const Walker::Visit& v, TSNode node, bool& candidate) {
    bool live = false;
    candidate = false;
    for (Want& w : wants) {
      if (!w.live(v.s, v.e)) continue;
      live = true;
      if (!candidate && (w.root_tag.empty() || (w.root_id != tags::kInline ? w.root_id == v.kind->tag_id
                                                                           : w.root_tag == v.kind->tag)))
        candidate = has_kids(cursor.get(), node, w.kid_tags);
    }
    return live;
  };
  Walk walk(root);
  KovelTsVisit n;
  walk.next(n);
  const Walker::Visit top = walker.visit(n);
  bool candidate = false;
  const Walker::Visit whole{top.kind, 0, std::max<std::uint64_t>(src.size(), top.e), top.anchored};
  if (!live_at(whole, n.node, candidate)) return out;
  if (candidate || !n.parent) {
    out.push_back(Subtree{n.node, top, n.parent, false, {}, 0, walker.run(n.node, 0, src.size(), false)});
    return out;
  }
  std::vector<Open> open{{0, whole.e, top.kind->literal, false, 0, 0}};
  std::vector<std::uint64_t> path;  // of the top open node
  const auto gap = [&](Open& f, std::uint64_t to) {
    if (f.pos < to) {
      if (!f.verbatim && convert::token_text(walker.cut(f.pos, to))) f.token = true;
    } else if (f.pos > to) {
      throw BadTree{"a tree-sitter node starting at byte " + std::to_string(to) +
                    " overlaps its previous sibling, which ends at byte " + std::to_string(f.pos)};
    }
  };
  while (!open.empty()) {
    const KovelTsStep step = walk.next(n);
    if (step == KOVEL_TS_DONE) break;
    if (step == KOVEL_TS_ENTER) {
      const Walker::Visit v = walker.visit(n);
      Open& p = open.back();
      gap(p, v.s);
      const std::uint64_t index = p.next++;
      p.pos = v.e;
      if (!live_at(v, n.node, candidate)) {
        if (n.parent) walk.skip();
        continue;
      }
      if (candidate) {
        std::vector<std::uint64_t> at = path;
        at.push_back(index);
        out.push_back(Subtree{n.node, v, n.parent, p.verbatim, std::move(at), 0, {}});
        if (n.parent) walk.skip();
        continue;
      }
      if (n.parent) {
        open.push_back(Open{v.s, v.e, p.verbatim || v.kind->literal, false, out.size(), 0});
        path.push_back(index);
      }
      continue;
    }
    Open f = open.back();
    open.pop_back();
    gap(f, f.end);
    if (f.token && !f.verbatim)  // rule 2: the whole node is verbatim after all
      for (std::size_t i = f.first; i < out.size(); ++i) out[i].inherited = true;
    if (open.empty()) break;
    path.pop_back();
    if (f.pos > f.end) open.back().pos = f.pos;  // a child reaching past its parent's end
  }
  std::uint64_t at = 0, chars = 0;
  for (Subtree& t : out) {
    chars += code_points(src.substr(at, t.v.s - at));
    at = t.v.s;
    t.chars = chars;
    t.term = t.has_kids ? walker.run(t.node, t.v.s, t.v.e, t.inherited)
                        : walker.leaf(t.v, t.inherited || t.v.kind->literal);
  }
  return out;
}

// ts_match(language, source, kinds, timeout, patterns, words)
PyObject* fn_ts_match(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6 && !arg_count("ts_match", nargs, 7)) return nullptr;
  const int keep = nargs == 7 ? PyObject_IsTrue(args[6]) : 0;
  if (keep < 0) return nullptr;
  const TSLanguage* lang = language_arg(args[0]);
  if (!lang) return nullptr;
  if (!PyBytes_Check(args[1]) || !PyBytes_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "source and kinds must be bytes");
    return nullptr;
  }
  PatternArgs pats;
  if (!patterns_arg(args[4], args[5], pats)) return nullptr;
  const std::vector<const Compiled*>& compiled = pats.compiled;
  char* data = nullptr;
  char* flag_data = nullptr;
  Py_ssize_t size = 0, nflags = 0;
  if (PyBytes_AsStringAndSize(args[1], &data, &size) < 0 ||
      PyBytes_AsStringAndSize(args[2], &flag_data, &nflags) < 0)
    return nullptr;
  const std::string_view src(data, static_cast<std::size_t>(size));
  const std::string_view flags(flag_data, static_cast<std::size_t>(nflags));
  if (!kinds_fit(lang, flags) || !source_fits(src)) return nullptr;
  std::optional<Deadline> deadline;
  if (!deadline_arg(args[3], deadline)) return nullptr;
  if (!convert::valid_utf8(src)) {
    PyErr_SetString(PyExc_ValueError, "source is not valid UTF-8");
    return nullptr;
  }
  std::optional<Wants> wants;
  std::vector<Subtree> subtrees;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  TreePtr kept;  // with `keep`, converted whole when a match is found
  bool timed_out = false;
  if (!without_gil([&] {
        wants.emplace(compiled, pats.words, src);
        // Unless kept, the tree is read here and then dropped.
        std::optional<ScratchParse> scratch;
        const TSTree* tree = parse_once(lang, src, deadline ? &*deadline : nullptr, keep, kept, scratch);
        if (!tree) {
          timed_out = true;
          return;
        }
        const TSNode root = ts_tree_root_node(tree);
        Kinds kinds(lang, flags);
        subtrees = live_subtrees(root, src, kinds, wants->wants);
        errors = error_spans(root);
      }))
    return nullptr;
  if (timed_out) Py_RETURN_NONE;
  return guarded([&]() -> PyObject* {
    std::vector<Piece> pieces;
    pieces.reserve(subtrees.size());
    for (Subtree& t : subtrees) pieces.push_back(Piece{std::move(t.path), t.chars, std::move(t.term)});
    PyRef lists(search_pieces(compiled, pieces));
    if (!lists) return nullptr;
    PyRef spans(errors_tuple(errors));
    if (!spans) return nullptr;
    bool found = false;
    for (Py_ssize_t k = 0; k < PyList_Size(lists.get()); ++k)
      found |= PyList_Size(PyList_GetItem(lists.get(), k)) > 0;
    KRef whole;
    if (keep && found && !without_gil([&] {
          Kinds kinds(lang, flags);
          Walker walker(kinds, src);
          whole = walker.run(ts_tree_root_node(kept.get()), 0, src.size(), false);
        }))
      return nullptr;
    if (!found) kept.reset();
    PyRef term(whole ? new_kterm(std::move(whole)) : Py_NewRef(Py_None));
    if (!term) return nullptr;
    PyRef tree(tree_capsule(kept));
    if (!tree) return nullptr;
    return PyTuple_Pack(4, lists.get(), spans.get(), term.get(), tree.get());
  });
}

}  // namespace

PyMethodDef kTsMatchMethods[] = {
    {"ts_match", as_cfunc(fn_ts_match), METH_FASTCALL,
     "ts_match(language, source, kinds, timeout, patterns, words, keep=False, /)\n--\n\n"
     "Parse ``source`` as ``ts_parse`` does and search it for each compiled\n"
     "pattern of the list ``patterns``, converting only the subtrees that can\n"
     "hold a match: ``words[k]`` are the texts every match of pattern k\n"
     "holds (a tuple of bytes), and a node is entered only when its bytes\n"
     "hold the rarest of them for some k. Gives (per pattern the items ``match_all`` gives for\n"
     "the whole converted tree, error spans, whole term, tree), or None when\n"
     "``timeout`` ran out. The last two are None but with ``keep`` where some\n"
     "pattern matched: the tree converted whole, and the tree itself (as\n"
     "``ts_parse`` keeps it).\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
