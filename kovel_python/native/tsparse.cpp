// tsparse: parse with tree-sitter's C runtime (linked into this library) and
// convert the tree to a term in one pass, with the GIL released.
//
// The grammar comes as the PyCapsule its package hands out; the layout rules
// of each kind come as one byte per symbol, made once per grammar in Python
// (`kovel.treesitter.convert`). The walk follows `convert.cpp`'s (the
// cursor walk over py-tree-sitter's objects) decision for decision: both
// must give the terms of `reference_walk` byte for byte.
#include <tree_sitter/api.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "native.h"
#include "ts_walk.h"

namespace kovel::py::native {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kCapsuleName = "tree_sitter.Language";

// Bits of a symbol's byte in the kinds table: rule 1, rule 5 (may anchor),
// rule 5 (heredoc-like: anchored whenever at column 0).
constexpr unsigned char kLiteral = 1, kMayAnchor = 2, kBody = 4;

// The walk found a tree it cannot convert; raised as ValueError once the GIL
// is held again.
struct BadTree {
  std::string message;
};

struct TreeDeleter {
  void operator()(TSTree* t) const noexcept { ts_tree_delete(t); }
};
using TreePtr = std::unique_ptr<TSTree, TreeDeleter>;

// One cursor, freed with the scope.
class Cursor {
 public:
  explicit Cursor(TSNode n) : c_(ts_tree_cursor_new(n)) {}
  ~Cursor() { ts_tree_cursor_delete(&c_); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  TSTreeCursor* get() { return &c_; }

 private:
  TSTreeCursor c_;
};

// A walk of a subtree's visible nodes, freed with the scope.
class Walk {
 public:
  explicit Walk(TSNode root) : w_(kovel_ts_walk_new(root)) {
    if (!w_) throw std::bad_alloc();
  }
  ~Walk() { kovel_ts_walk_delete(w_); }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  KovelTsStep next(KovelTsVisit& v) {
    const KovelTsStep step = kovel_ts_walk_next(w_, &v);
    if (step == KOVEL_TS_NOMEM) throw std::bad_alloc();
    return step;
  }

 private:
  KovelTsWalk* w_;
};

// A parser per thread, kept for the next parse.
struct ThreadParser {
  TSParser* p = nullptr;
  ~ThreadParser() {
    if (p) ts_parser_delete(p);
  }
};

TSParser* thread_parser() {
  thread_local ThreadParser tp;
  if (!tp.p) tp.p = ts_parser_new();
  return tp.p;
}

const TSLanguage* language_arg(PyObject* o) {
  auto* lang = static_cast<const TSLanguage*>(PyCapsule_GetPointer(o, kCapsuleName));
  if (!lang) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "language must be a grammar's tree_sitter.Language capsule");
    return nullptr;
  }
  const std::uint32_t v = ts_language_abi_version(lang);
  if (v < TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION || v > TREE_SITTER_LANGUAGE_VERSION) {
    PyErr_Format(PyExc_ValueError, "the grammar's ABI version %u is not between %d and %d", v,
                 TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION, TREE_SITTER_LANGUAGE_VERSION);
    return nullptr;
  }
  return lang;
}

// The slot of a symbol in the kinds table: the grammar's symbols, then the
// two built-in error symbols, which lie outside its count.
std::size_t symbol_slot(TSSymbol sym, std::uint32_t count) {
  if (sym == static_cast<TSSymbol>(-1)) return count;      // ERROR
  if (sym == static_cast<TSSymbol>(-2)) return count + 1;  // _ERROR
  return sym;
}

struct KindInfo {
  std::string_view tag;  // the grammar's static name
  std::uint32_t tag_id;
  bool literal, may_anchor, body;
};

// The kinds of one grammar, decoded (and their tags interned) on first use.
class Kinds {
 public:
  Kinds(const TSLanguage* lang, std::string_view flags)
      : lang_(lang), count_(ts_language_symbol_count(lang)), flags_(flags), slot_(flags.size(), -1) {}

  const KindInfo& of(const KovelTsVisit& n) {
    const std::size_t slot = symbol_slot(n.symbol, count_);
    if (slot >= slot_.size()) throw BadTree{"a tree-sitter node's kind is outside its grammar's symbols"};
    int& i = slot_[slot];
    if (i < 0) {
      const char* name = ts_language_symbol_name(lang_, n.named_by);
      const std::string_view tag = name ? name : "";
      const auto f = static_cast<unsigned char>(flags_[slot]);
      infos_.push_back(
          KindInfo{tag, tags::intern(tag), (f & kLiteral) != 0, (f & kMayAnchor) != 0, (f & kBody) != 0});
      i = static_cast<int>(infos_.size() - 1);
    }
    return infos_[static_cast<std::size_t>(i)];
  }

 private:
  const TSLanguage* lang_;
  std::uint32_t count_;
  std::string_view flags_;
  std::vector<int> slot_;
  std::vector<KindInfo> infos_;
};

struct Frame {
  convert::NodeBuf b;
  TSNode node;
  const KindInfo* kind;
  std::uint64_t pos;    // end of the text written so far
  std::uint64_t start;  // node start (the root's: widened to the text it covers)
  std::uint64_t end;    // node end (likewise)
  bool verbatim;
  bool anchored;  // starts anchored (rule 5)
  bool token;     // a gap looked like token text (rule 2)
  bool any;       // a child was handed in
};

class Walker {
 public:
  Walker(Kinds& kinds, std::string_view src) : kinds_(kinds), src_(src) {}

  // The term of `root`'s subtree, covering at least [lo, hi).
  KRef run(TSNode root, std::uint64_t lo, std::uint64_t hi, bool inherited);

 private:
  struct Visit {
    const KindInfo* kind;
    std::uint64_t s, e;
    bool anchored;
  };

  std::string_view cut(std::uint64_t a, std::uint64_t b) const {
    return a < b ? src_.substr(a, b - a) : std::string_view{};
  }

  bool boundary(std::uint64_t p) const {
    return p >= src_.size() || (static_cast<unsigned char>(src_[p]) & 0xC0) != 0x80;
  }

  Visit visit(const KovelTsVisit& n) {
    const KindInfo& kind = kinds_.of(n);
    const std::uint64_t s = n.start, e = n.end;
    if (s > e || e > src_.size())
      throw BadTree{"a tree-sitter node spans bytes " + std::to_string(s) + " to " + std::to_string(e) +
                    ", outside the source (" + std::to_string(src_.size()) + " bytes)"};
    if (!boundary(s) || !boundary(e))
      throw BadTree{"a tree-sitter node spanning bytes " + std::to_string(s) + " to " + std::to_string(e) +
                    " splits a UTF-8 character of the source"};
    Visit v{&kind, s, e, false};
    if (kind.may_anchor && n.column == 0) v.anchored = kind.body || convert::last_line_anchored(cut(s, e));
    return v;
  }

  // Hand a finished child term, spanning [s, e), to the node of `f`.
  void adopt(Frame& f, KRef term, std::uint64_t s, std::uint64_t e, bool anchored) {
    if (f.pos < s) {
      if (convert::write_gap(f.b, cut(f.pos, s), f.verbatim, anchored)) f.token = true;
    } else if (f.pos > s) {
      throw BadTree{"a tree-sitter node starting at byte " + std::to_string(s) +
                    " overlaps its previous sibling, which ends at byte " + std::to_string(f.pos)};
    }
    if (anchored && s == f.start) f.anchored = true;
    f.b.child(std::move(term));
    f.pos = e;
    f.any = true;
  }

  Kinds& kinds_;
  std::string_view src_;
  convert::NodeBuf scratch_;  // for tokens written as lines
};

KRef Walker::run(TSNode root, std::uint64_t lo, std::uint64_t hi, bool inherited) {
  Walk walk(root);
  KovelTsVisit n;
  walk.next(n);  // the root
  const Visit top = visit(n);
  std::vector<Frame> frames(n.parent ? 16 : 0);
  std::size_t depth = 0;  // frames[0, depth) are the open nodes
  KRef term;
  std::uint64_t s = 0, e = 0;
  bool anchored = false;
  if (n.parent) {
    Frame& f = frames[0];
    f.b.reset(top.kind->tag, top.kind->tag_id);
    f.node = n.node;
    f.kind = top.kind;
    f.pos = f.start = std::min(lo, top.s);
    f.end = std::max(hi, top.e);
    f.verbatim = inherited || top.kind->literal;
    f.anchored = top.anchored;
    f.token = f.any = false;
    depth = 1;
  }
  while (depth > 0) {
    if (walk.next(n) == KOVEL_TS_ENTER) {
      const Visit v = visit(n);
      if (n.parent) {
        if (depth == frames.size()) frames.resize(2 * depth);
        Frame& f = frames[depth];
        f.b.reset(v.kind->tag, v.kind->tag_id);
        f.node = n.node;
        f.kind = v.kind;
        f.pos = f.start = v.s;
        f.end = v.e;
        f.verbatim = frames[depth - 1].verbatim || v.kind->literal;
        f.anchored = v.anchored;
        f.token = f.any = false;
        ++depth;
        continue;
      }
      term = convert::token(v.kind->tag, v.kind->tag_id, cut(v.s, v.e),
                            frames[depth - 1].verbatim || v.kind->literal, scratch_);
      adopt(frames[depth - 1], std::move(term), v.s, v.e, v.anchored);
      continue;
    }
    // The node of the top frame ends.
    Frame& f = frames[--depth];
    s = f.start;
    e = f.end;
    anchored = f.anchored;
    if (!f.any) {
      // Children, none of them visible: a leaf after all.
      f.b.build();  // drops what was written
      if (depth == 0) break;
      term = convert::token(f.kind->tag, f.kind->tag_id, cut(s, e), f.verbatim, scratch_);
    } else {
      if (f.pos < e) {
        if (convert::write_gap(f.b, cut(f.pos, e), f.verbatim, false)) f.token = true;
      } else if (f.pos > e) {  // a child reaching past its parent's end
        e = f.pos;
      }
      if (f.token && !f.verbatim) {
        // Rule 2 found out late: convert this subtree again, all verbatim.
        f.b.build();  // drops what was written
        term = run(f.node, s, e, true);
      } else {
        term = f.b.build();
      }
      if (depth == 0) return term;
    }
    adopt(frames[depth - 1], std::move(term), s, e, anchored);
  }
  // A root without visible children: a leaf, wrapped if text lies around it.
  term = convert::token(top.kind->tag, top.kind->tag_id, cut(top.s, top.e), inherited || top.kind->literal,
                        scratch_);
  if (lo >= top.s && hi <= top.e) return term;
  scratch_.reset(top.kind->tag, top.kind->tag_id);
  convert::write_gap(scratch_, cut(lo, top.s), inherited, false);
  scratch_.child(std::move(term));
  convert::write_gap(scratch_, cut(top.e, hi), inherited, false);
  return scratch_.build();
}

// The byte ranges of the error and missing nodes, in the order (and with
// the pruning) of `kovel.batch.tasks.error_spans`: a stack, children pushed
// in order, an error node's inside not searched.
std::vector<std::pair<std::uint32_t, std::uint32_t>> error_spans(TSNode root) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
  if (!ts_node_has_error(root)) return spans;
  std::vector<TSNode> stack{root};
  Cursor cur(root);
  while (!stack.empty()) {
    const TSNode n = stack.back();
    stack.pop_back();
    if (ts_node_is_error(n) || ts_node_is_missing(n)) {
      spans.emplace_back(ts_node_start_byte(n), ts_node_end_byte(n));
    } else if (ts_node_has_error(n)) {
      ts_tree_cursor_reset(cur.get(), n);
      if (ts_tree_cursor_goto_first_child(cur.get())) {
        do stack.push_back(ts_tree_cursor_current_node(cur.get()));
        while (ts_tree_cursor_goto_next_sibling(cur.get()));
      }
    }
  }
  return spans;
}

struct Input {
  std::string_view src;
  static const char* read(void* payload, std::uint32_t byte, TSPoint, std::uint32_t* n) {
    const auto* in = static_cast<const Input*>(payload);
    if (byte >= in->src.size()) {
      *n = 0;
      return "";
    }
    *n = static_cast<std::uint32_t>(in->src.size() - byte);
    return in->src.data() + byte;
  }
};

struct Deadline {
  Clock::time_point at;
  bool passed = false;
  static bool progress(TSParseState* state) {
    auto* d = static_cast<Deadline*>(state->payload);
    d->passed = d->passed || Clock::now() > d->at;
    return d->passed;
  }
};

// The tree of `src`, or null when the deadline (if any) passed first;
// `old`, edited to match `src`, lends the parse its unchanged subtrees.
TreePtr parse_tree(const TSLanguage* lang, std::string_view src, const Deadline* deadline,
                   const TSTree* old = nullptr) {
  TSParser* p = thread_parser();
  if (!p) throw std::bad_alloc();
  if (ts_parser_language(p) != lang && !ts_parser_set_language(p, lang))
    throw BadTree{"the parser does not take this grammar"};
  Input in{src};
  const TSInput input{&in, Input::read, TSInputEncodingUTF8, nullptr};
  Deadline d = deadline ? *deadline : Deadline{};
  const TSParseOptions options{&d, deadline ? Deadline::progress : nullptr};
  TreePtr tree(ts_parser_parse_with_options(p, old, input, options));
  if (!tree) ts_parser_reset(p);  // the next parse starts afresh
  return tree;
}

// Trees kept for a reparse, as capsules that delete them.
constexpr const char* kTreeCapsule = "kovel.tree_sitter.Tree";

void delete_tree_capsule(PyObject* capsule) {
  if (auto* t = static_cast<TSTree*>(PyCapsule_GetPointer(capsule, kTreeCapsule))) ts_tree_delete(t);
}

struct Parsed {
  KRef term;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  TreePtr tree;  // kept when asked for
};

PyObject* errors_tuple(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& errors) {
  PyRef spans(PyTuple_New(static_cast<Py_ssize_t>(errors.size())));
  if (!spans) return nullptr;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    PyObject* span = Py_BuildValue("(II)", errors[i].first, errors[i].second);
    if (!span) return nullptr;
    PyTuple_SetItem(spans.get(), static_cast<Py_ssize_t>(i), span);
  }
  return spans.release();
}

PyObject* parsed_tuple(Parsed& r) {
  PyRef spans(errors_tuple(r.errors));
  if (!spans) return nullptr;
  PyRef term(r.term ? new_kterm(std::move(r.term)) : Py_NewRef(Py_None));
  if (!term) return nullptr;
  PyRef tree(r.tree ? PyCapsule_New(r.tree.get(), kTreeCapsule, delete_tree_capsule) : Py_NewRef(Py_None));
  if (!tree) return nullptr;
  r.tree.release();  // the capsule owns it
  return PyTuple_Pack(3, term.get(), spans.get(), tree.get());
}

// The row and byte column of `offset` in `src`.
TSPoint point_at(std::string_view src, std::size_t offset) {
  const std::string_view head = src.substr(0, offset);
  const std::size_t lf = head.rfind('\n');
  const auto rows = static_cast<std::uint32_t>(std::count(head.begin(), head.end(), '\n'));
  const auto column = static_cast<std::uint32_t>(lf == std::string_view::npos ? offset : offset - lf - 1);
  return TSPoint{rows, column};
}

// The one edit that turns `old` into `now`: what lies between their common
// prefix and their common suffix.
TSInputEdit edit_between(std::string_view old, std::string_view now) {
  std::size_t pre = 0;
  const std::size_t most = std::min(old.size(), now.size());
  while (pre < most && old[pre] == now[pre]) ++pre;
  std::size_t suf = 0;
  while (suf < most - pre && old[old.size() - 1 - suf] == now[now.size() - 1 - suf]) ++suf;
  const auto u32 = [](std::size_t x) { return static_cast<std::uint32_t>(x); };
  return TSInputEdit{u32(pre),           u32(old.size() - suf),           u32(now.size() - suf),
                     point_at(old, pre), point_at(old, old.size() - suf), point_at(now, now.size() - suf)};
}

// One replacement: old bytes [start, end) became `length` new bytes.
struct Replaced {
  std::size_t start, end, length;
};

// The edits that turn `old` into `now`, one per replacement (in order, none
// overlapping), each in the coordinates of the text the ones before it
// made, as ts_tree_edit takes them in turn: only the replaced bytes are
// parsed again. Empty when the replacements do not make `now` of `old`.
std::vector<TSInputEdit> edits_between(std::string_view old, std::string_view now,
                                       const std::vector<Replaced>& replaced) {
  std::vector<TSInputEdit> out;
  out.reserve(replaced.size());
  std::size_t at_old = 0, at_new = 0;  // the ends of the last replacement
  TSPoint point{0, 0};                 // the point of `at_new` in `now`
  const auto advance = [](TSPoint p, std::string_view text) {
    const std::size_t lf = text.rfind('\n');
    if (lf == std::string_view::npos)
      return TSPoint{p.row, p.column + static_cast<std::uint32_t>(text.size())};
    return TSPoint{p.row + static_cast<std::uint32_t>(std::count(text.begin(), text.end(), '\n')),
                   static_cast<std::uint32_t>(text.size() - lf - 1)};
  };
  const auto u32 = [](std::size_t x) { return static_cast<std::uint32_t>(x); };
  for (const Replaced& r : replaced) {
    if (r.start < at_old || r.end < r.start || r.end > old.size()) return {};
    const std::size_t kept = r.start - at_old;
    if (kept > now.size() - at_new || old.substr(at_old, kept) != now.substr(at_new, kept)) return {};
    const std::size_t start = at_new + kept;
    if (r.length > now.size() - start) return {};
    const TSPoint start_point = advance(point, now.substr(at_new, kept));
    const std::string_view gone = old.substr(r.start, r.end - r.start);
    const std::string_view came = now.substr(start, r.length);
    out.push_back(TSInputEdit{u32(start), u32(start + gone.size()), u32(start + came.size()), start_point,
                              advance(start_point, gone), advance(start_point, came)});
    at_old = r.end;
    at_new = start + r.length;
    point = advance(start_point, came);
  }
  if (old.substr(at_old) != now.substr(at_new)) return {};
  return out;
}

bool replaced_arg(PyObject* o, std::vector<Replaced>& out) {
  const char* const wrong = "edits must be a sequence of (start, end, length) triples";
  const Py_ssize_t n = PySequence_Check(o) ? PySequence_Size(o) : -1;
  if (n < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, wrong);
    return false;
  }
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(o, i));
    if (!item) return false;
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 3) {
      PyErr_SetString(PyExc_TypeError, wrong);
      return false;
    }
    std::size_t v[3] = {0, 0, 0};
    for (Py_ssize_t k = 0; k < 3; ++k) {
      v[k] = PyLong_AsSize_t(PyTuple_GetItem(item.get(), k));
      if (v[k] == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    }
    out.push_back(Replaced{v[0], v[1], v[2]});
  }
  return true;
}

PyObject* fn_ts_reparse(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 && !arg_count("ts_reparse", nargs, 5)) return nullptr;
  std::vector<Replaced> replaced;
  const bool told = nargs == 5 && args[4] != Py_None;
  if (told && !replaced_arg(args[4], replaced)) return nullptr;
  auto* old_tree = static_cast<const TSTree*>(PyCapsule_GetPointer(args[0], kTreeCapsule));
  if (!old_tree) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "tree must be a tree that ts_parse kept");
    return nullptr;
  }
  if (!PyBytes_Check(args[1]) || !PyBytes_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "the sources must be bytes");
    return nullptr;
  }
  char *old_data = nullptr, *data = nullptr;
  Py_ssize_t old_size = 0, size = 0;
  if (PyBytes_AsStringAndSize(args[1], &old_data, &old_size) < 0 ||
      PyBytes_AsStringAndSize(args[2], &data, &size) < 0)
    return nullptr;
  if (static_cast<std::uint64_t>(size) > 0xFFFFFFFFULL) {
    PyErr_SetString(PyExc_ValueError, "tree-sitter parses sources below 4 GiB");
    return nullptr;
  }
  const TSNode old_root = ts_tree_root_node(old_tree);
  if (ts_node_end_byte(old_root) > static_cast<std::uint64_t>(old_size)) {
    PyErr_SetString(PyExc_ValueError, "the tree was not parsed from the old source");
    return nullptr;
  }
  std::optional<Deadline> deadline;
  if (args[3] != Py_None) {
    const double seconds = PyFloat_AsDouble(args[3]);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    deadline = Deadline{Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(std::max(seconds, 0.0)))};
  }
  const std::string_view old(old_data, static_cast<std::size_t>(old_size));
  const std::string_view now(data, static_cast<std::size_t>(size));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  std::string bad;
  bool timed_out = false;
  std::exception_ptr failed;
  Py_BEGIN_ALLOW_THREADS;
  try {
    const TSLanguage* lang = ts_tree_language(old_tree);
    TreePtr edited(ts_tree_copy(old_tree));
    std::vector<TSInputEdit> edits;
    if (told) edits = edits_between(old, now, replaced);
    if (edits.empty()) edits.push_back(edit_between(old, now));  // not told, or told wrong
    for (const TSInputEdit& edit : edits) ts_tree_edit(edited.get(), &edit);
    // An old tree edited across most of the text costs more than it lends.
    std::size_t replaced_bytes = 0;
    for (const TSInputEdit& edit : edits) replaced_bytes += edit.old_end_byte - edit.start_byte;
    const TSTree* lender = 2 * replaced_bytes > old.size() ? nullptr : edited.get();
    TreePtr tree = parse_tree(lang, now, deadline ? &*deadline : nullptr, lender);
    // Error recovery may take another path from a reused subtree: a tree
    // with errors is counted on a fresh parse, as the check always did.
    if (tree && ts_node_has_error(ts_tree_root_node(tree.get())))
      tree = parse_tree(lang, now, deadline ? &*deadline : nullptr);
    if (!tree)
      timed_out = true;
    else
      errors = error_spans(ts_tree_root_node(tree.get()));
  } catch (BadTree& b) {
    bad = std::move(b.message);
  } catch (...) {
    failed = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (failed) {
    try {
      std::rethrow_exception(failed);
    } catch (...) {
      raise_from_current_exception();
    }
    return nullptr;
  }
  if (!bad.empty()) {
    PyErr_SetString(PyExc_ValueError, bad.c_str());
    return nullptr;
  }
  if (timed_out) Py_RETURN_NONE;
  return errors_tuple(errors);
}

PyObject* fn_ts_symbols(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("ts_symbols", nargs, 1)) return nullptr;
  const TSLanguage* lang = language_arg(args[0]);
  if (!lang) return nullptr;
  const std::uint32_t count = ts_language_symbol_count(lang);
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(count) + 2));
  if (!out) return nullptr;
  for (std::uint32_t i = 0; i < count + 2; ++i) {
    const TSSymbol sym = i < count ? static_cast<TSSymbol>(i) : static_cast<TSSymbol>(-1 - (i - count));
    const char* name = ts_language_symbol_name(lang, sym);
    PyObject* s = PyUnicode_FromString(name ? name : "");
    if (!s) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), s);
  }
  return out.release();
}

PyObject* fn_ts_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("ts_parse", nargs, 5)) return nullptr;
  const int keep = PyObject_IsTrue(args[4]);
  if (keep < 0) return nullptr;
  const TSLanguage* lang = language_arg(args[0]);
  if (!lang) return nullptr;
  const bool convert = args[2] != Py_None;  // else only the error spans
  if (!PyBytes_Check(args[1]) || (convert && !PyBytes_Check(args[2]))) {
    PyErr_SetString(PyExc_TypeError, "source must be bytes, and kinds bytes or None");
    return nullptr;
  }
  char* data = nullptr;
  char* flag_data = nullptr;
  Py_ssize_t size = 0, nflags = 0;
  if (PyBytes_AsStringAndSize(args[1], &data, &size) < 0 ||
      (convert && PyBytes_AsStringAndSize(args[2], &flag_data, &nflags) < 0))
    return nullptr;
  if (convert && static_cast<std::uint64_t>(nflags) != ts_language_symbol_count(lang) + 2ULL) {
    PyErr_SetString(PyExc_ValueError,
                    "kinds must hold a byte for each of the grammar's symbols (ts_symbols)");
    return nullptr;
  }
  if (static_cast<std::uint64_t>(size) > 0xFFFFFFFFULL) {
    PyErr_SetString(PyExc_ValueError, "tree-sitter parses sources below 4 GiB");
    return nullptr;
  }
  std::optional<Deadline> deadline;
  if (args[3] != Py_None) {
    const double seconds = PyFloat_AsDouble(args[3]);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    deadline = Deadline{Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(std::max(seconds, 0.0)))};
  }
  const std::string_view src(data, static_cast<std::size_t>(size));
  const std::string_view flags(flag_data, static_cast<std::size_t>(nflags));
  if (convert && !convert::valid_utf8(src)) {
    PyErr_SetString(PyExc_ValueError, "source is not valid UTF-8");
    return nullptr;
  }
  // Nothing below touches a Python object until the GIL is back.
  Parsed result;
  std::string bad;
  bool timed_out = false;
  std::exception_ptr failed;
  Py_BEGIN_ALLOW_THREADS;
  try {
    TreePtr tree = parse_tree(lang, src, deadline ? &*deadline : nullptr);
    if (!tree) {
      timed_out = true;
    } else {
      const TSNode root = ts_tree_root_node(tree.get());
      if (convert) {
        Kinds kinds(lang, flags);
        Walker walker(kinds, src);
        result.term = walker.run(root, 0, src.size(), false);
      }
      result.errors = error_spans(root);
      if (keep) result.tree = std::move(tree);
    }
  } catch (BadTree& b) {
    bad = std::move(b.message);
  } catch (...) {
    failed = std::current_exception();
  }
  Py_END_ALLOW_THREADS;
  if (failed) {
    try {
      std::rethrow_exception(failed);
    } catch (...) {
      raise_from_current_exception();
    }
    return nullptr;
  }
  if (!bad.empty()) {
    PyErr_SetString(PyExc_ValueError, bad.c_str());
    return nullptr;
  }
  if (timed_out) Py_RETURN_NONE;
  return guarded([&] { return parsed_tuple(result); });
}

}  // namespace

PyMethodDef kTsParseMethods[] = {
    {"ts_symbols", as_cfunc(fn_ts_symbols), METH_FASTCALL,
     "ts_symbols(language, /)\n--\n\n"
     "The names of the symbols of the grammar ``language`` (its PyCapsule), by\n"
     "symbol id, then those of tree-sitter's two error symbols.\n"},
    {"ts_parse", as_cfunc(fn_ts_parse), METH_FASTCALL,
     "ts_parse(language, source, kinds, timeout, keep, /)\n--\n\n"
     "Parse the UTF-8 bytes ``source`` with the grammar ``language`` (its\n"
     "PyCapsule) and convert the tree, without holding the GIL: (term, error\n"
     "spans, the tree if ``keep`` else None), or None when ``timeout`` seconds\n"
     "(None: no limit) ran out first.\n"
     "``kinds`` holds a byte per symbol of ``ts_symbols``: 1 literal, 2 may be\n"
     "anchored, 4 anchored whenever at column 0; with None the tree is not\n"
     "converted and the term is None.\n"},
    {"ts_reparse", as_cfunc(fn_ts_reparse), METH_FASTCALL,
     "ts_reparse(tree, old_source, source, timeout, edits=None, /)\n--\n\n"
     "The error spans of ``source``, an edit of ``old_source``, parsed with\n"
     "``tree`` (kept by ``ts_parse`` from ``old_source``) edited to match: its\n"
     "unchanged subtrees are reused. ``edits`` are the replacements made, as\n"
     "(start, end, length) in ascending order: bytes [start, end) of\n"
     "``old_source`` became ``length`` bytes; without them (or when they do not\n"
     "make ``source``) the edit is all between the common prefix and suffix.\n"
     "A tree with errors is parsed afresh, so the spans are those of a fresh\n"
     "parse. None when ``timeout`` ran out.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
