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
#include "tags.h"
#include "tsconvert.h"
#include "wordscan.h"

namespace kovel::py::native {

namespace {

using namespace ts;

// What one pattern needs of a node to match in it.
struct Want {
  const Pattern* pattern;
  std::string_view root_tag;               // empty when any tag will do (a hole or a run)
  std::uint32_t root_id;                   // root_tag interned, or tags::kInline
  std::vector<std::string_view> kid_tags;  // of the root's items that are nodes or leaves
  std::span<const std::uint32_t> occ;      // where its rarest required text starts
  std::uint32_t len = 0;                   // that text's length; 0: it has none
  bool absent = false;                     // a required text is not in the source
  std::size_t next = 0;                    // the first of `occ` at or after the last start asked about

  // Whether bytes [s, e) may hold a match. The walk asks in document order,
  // so the next occurrence is found by stepping on; an earlier start is
  // looked up afresh.
  bool live(std::uint64_t s, std::uint64_t e) {
    if (absent) return false;
    if (len == 0) return true;
    if (next > 0 && occ[next - 1] >= s)
      next = static_cast<std::size_t>(std::lower_bound(occ.begin(), occ.end(), s) - occ.begin());
    while (next < occ.size() && occ[next] < s) ++next;
    return next < occ.size() && occ[next] + std::uint64_t{len} <= e;
  }
};

// Where each of `words` of two bytes or more starts in `src`, found in one
// pass for all of them. (A byte is mostly punctuation, common in any source:
// it is counted for each pattern, only as far as its rarest text so far.)
std::vector<std::vector<std::uint32_t>> starts_of(std::string_view src,
                                                  std::span<const std::string_view> words) {
  std::vector<std::vector<std::uint32_t>> at(words.size());
  std::vector<std::string_view> longer;
  std::vector<std::size_t> index;  // of each of `longer` among `words`
  for (std::size_t k = 0; k < words.size(); ++k) {
    if (words[k].size() > 1) {
      longer.push_back(words[k]);
      index.push_back(k);
    }
  }
  for (std::size_t from = 0; from < longer.size(); from += wordscan::kPerPass) {
    const std::size_t count = std::min(longer.size() - from, wordscan::kPerPass);
    const std::uint64_t all = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    wordscan::each_start(src, std::span(longer).subspan(from, count), all, [&](std::size_t k, std::size_t i) {
      at[index[from + k]].push_back(static_cast<std::uint32_t>(i));
      return all;
    });
  }
  return at;
}

// `texts` are the pattern's required texts, longest first, as indices into
// `words` and `starts` (where each text of two bytes or more starts in `src`);
// the starts of a one-byte text, when it is the rarest, go in `bytes`.
Want want_of(const Pattern& p, std::span<const std::size_t> texts, std::span<const std::string_view> words,
             const std::vector<std::vector<std::uint32_t>>& starts, std::string_view src,
             std::vector<std::uint32_t>& bytes) {
  Want w{&p, {}, tags::kInline, {}, {}, 0, p.empty()};
  if (!p.empty()) {
    const PatternItem& r = p.root();
    if (r.kind == PatternItem::Kind::Node || r.kind == PatternItem::Kind::Leaf) {
      w.root_tag = r.tag;
      w.root_id = tags::intern(r.tag);
    }
    for (const std::uint32_t k : r.kids) {
      const PatternItem& kid = p.item(k);
      if (kid.kind == PatternItem::Kind::Node || (kid.kind == PatternItem::Kind::Leaf && !kid.optional))
        w.kid_tags.push_back(kid.tag);
    }
  }
  // The rarest text; among equally rare ones the first (the longest).
  bool first = true;
  for (const std::size_t t : texts) {
    const std::string_view word = words[t];
    if (word.empty()) continue;
    std::span<const std::uint32_t> at = starts[t];
    std::vector<std::uint32_t> counted;
    if (word.size() == 1) {
      const std::size_t most = first ? SIZE_MAX : w.occ.size();
      wordscan::each_byte(src, word[0], [&](std::size_t i) {
        counted.push_back(static_cast<std::uint32_t>(i));
        return counted.size() < most;
      });
      at = counted;
    }
    if (at.empty()) {
      w.absent = true;
      break;
    }
    if (first || at.size() < w.occ.size()) {
      if (word.size() == 1) {
        bytes = std::move(counted);
        at = bytes;
      }
      w.occ = at;
      w.len = static_cast<std::uint32_t>(word.size());
      first = false;
    }
  }
  return w;
}

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

std::uint64_t code_points(std::string_view s) {
  std::uint64_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

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

// Turns matches found in `t`'s term into matches in the whole term: spans
// past the text before it, paths below its own. `last` is the previous
// match's full path (per pattern), which the next one's is cut from.
void place(const Subtree& t, std::vector<Found>& found, std::vector<std::uint64_t>& last,
           std::vector<Found>& out) {
  std::vector<std::uint64_t> rel, full;
  for (Found& f : found) {
    next_path(rel, f);
    full = t.path;
    full.insert(full.end(), rel.begin(), rel.end());
    std::size_t keep = 0;
    while (keep < last.size() && keep < full.size() && last[keep] == full[keep]) ++keep;
    f.keep = keep;
    f.tail.assign(full.begin() + static_cast<std::ptrdiff_t>(keep), full.end());
    f.start += t.chars;
    f.end += t.chars;
    for (std::uint64_t& o : f.offsets) o += t.chars;
    last = std::move(full);
    out.push_back(std::move(f));
  }
}

bool words_arg(PyObject* o, std::size_t count, std::vector<std::vector<std::string_view>>& out) {
  const char* const wrong = "words must be a list holding a tuple of bytes for each pattern";
  if (!PyList_Check(o) || static_cast<std::size_t>(PyList_Size(o)) != count) {
    PyErr_SetString(PyExc_TypeError, wrong);
    return false;
  }
  out.resize(count);
  for (std::size_t k = 0; k < count; ++k) {
    PyObject* t = PyList_GetItem(o, static_cast<Py_ssize_t>(k));
    if (!PyTuple_Check(t)) {
      PyErr_SetString(PyExc_TypeError, wrong);
      return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(t); ++i) {
      PyObject* b = PyTuple_GetItem(t, i);
      if (!PyBytes_Check(b)) {
        PyErr_SetString(PyExc_TypeError, wrong);
        return false;
      }
      out[k].emplace_back(PyBytes_AsString(b), static_cast<std::size_t>(PyBytes_Size(b)));
    }
  }
  return true;
}

// ts_match(language, source, kinds, timeout, patterns, words)
PyObject* fn_ts_match(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("ts_match", nargs, 6)) return nullptr;
  const TSLanguage* lang = language_arg(args[0]);
  if (!lang) return nullptr;
  if (!PyBytes_Check(args[1]) || !PyBytes_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "source and kinds must be bytes");
    return nullptr;
  }
  if (!PyList_Check(args[4])) {
    PyErr_SetString(PyExc_TypeError, "patterns must be a list of compiled patterns");
    return nullptr;
  }
  // Our own references: the lists may change while the lock is released.
  PyRef programs(PyList_GetSlice(args[4], 0, PyList_Size(args[4])));
  PyRef word_list(programs ? PyList_GetSlice(args[5], 0, PyList_Size(args[5])) : nullptr);
  if (!word_list) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "words must be a list");
    return nullptr;
  }
  std::vector<const Compiled*> compiled;
  for (Py_ssize_t i = 0; i < PyList_Size(programs.get()); ++i) {
    const Compiled* c = compiled_arg(PyList_GetItem(programs.get(), i));
    if (!c) return nullptr;
    compiled.push_back(c);
  }
  std::vector<std::vector<std::string_view>> words;
  if (!words_arg(word_list.get(), compiled.size(), words)) return nullptr;
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
  std::vector<std::string_view> distinct;          // every pattern's required texts, once each
  std::vector<std::vector<std::uint32_t>> starts;  // where each of them starts in the source
  std::vector<std::vector<std::uint32_t>> bytes;   // a pattern's rarest text, when it is one byte
  std::vector<Want> wants;                         // (which point into `starts` and `bytes`)
  std::vector<Subtree> subtrees;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  bool timed_out = false;
  if (!without_gil([&] {
        // Each distinct text is looked for once, all in one pass.
        std::vector<std::vector<std::size_t>> texts(compiled.size());
        for (std::size_t k = 0; k < compiled.size(); ++k) {
          std::stable_sort(words[k].begin(), words[k].end(),
                           [](auto a, auto b) { return a.size() > b.size(); });
          for (const std::string_view word : words[k]) {
            const auto at = std::find(distinct.begin(), distinct.end(), word);
            texts[k].push_back(static_cast<std::size_t>(at - distinct.begin()));
            if (at == distinct.end()) distinct.push_back(word);
          }
        }
        starts = starts_of(src, distinct);
        bytes.resize(compiled.size());
        for (std::size_t k = 0; k < compiled.size(); ++k)
          wants.push_back(want_of(compiled[k]->pattern, texts[k], distinct, starts, src, bytes[k]));
        ScratchParse parse;  // the tree is read here and then dropped
        const TSTree* tree = parse.parse(lang, src, deadline ? &*deadline : nullptr);
        if (!tree) {
          timed_out = true;
          return;
        }
        const TSNode root = ts_tree_root_node(tree);
        Kinds kinds(lang, flags);
        subtrees = live_subtrees(root, src, kinds, wants);
        errors = error_spans(root);
      }))
    return nullptr;
  if (timed_out) Py_RETURN_NONE;
  return guarded([&]() -> PyObject* {
    std::vector<std::vector<Found>> found(compiled.size());
    if (!run_unlocked([&](const StopCheck* stop) {
          std::vector<const Pattern*> patterns;
          for (const Compiled* c : compiled) patterns.push_back(&c->pattern);
          Pacer pace(stop);
          Searcher searcher(patterns, &pace);
          std::vector<std::vector<std::uint64_t>> last(compiled.size());
          for (const Subtree& t : subtrees) {
            std::vector<std::vector<Found>> here = searcher.run(*t.term);
            attach_spans(*t.term, std::span(here), stop);
            for (std::size_t k = 0; k < here.size(); ++k) place(t, here[k], last[k], found[k]);
          }
        }))
      return nullptr;
    PyRef lists(PyList_New(static_cast<Py_ssize_t>(compiled.size())));
    if (!lists) return nullptr;
    for (std::size_t k = 0; k < compiled.size(); ++k) {
      PyObject* list = match_list(*compiled[k], found[k]);
      if (!list) return nullptr;
      PyList_SetItem(lists.get(), static_cast<Py_ssize_t>(k), list);
    }
    PyRef spans(errors_tuple(errors));
    if (!spans) return nullptr;
    return PyTuple_Pack(2, lists.get(), spans.get());
  });
}

}  // namespace

PyMethodDef kTsMatchMethods[] = {
    {"ts_match", as_cfunc(fn_ts_match), METH_FASTCALL,
     "ts_match(language, source, kinds, timeout, patterns, words, /)\n--\n\n"
     "Parse ``source`` as ``ts_parse`` does and search it for each compiled\n"
     "pattern of the list ``patterns``, converting only the subtrees that can\n"
     "hold a match: ``words[k]`` are the texts every match of pattern k\n"
     "holds (a tuple of bytes), and a node is entered only when its bytes\n"
     "hold the rarest of them for some k. Gives (per pattern the items ``match_all`` gives for\n"
     "the whole converted tree, error spans), or None when ``timeout`` ran out.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
