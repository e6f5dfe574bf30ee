// The tree-sitter front end's shared parts (see tsconvert.h).
#include "tsconvert.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kovel::py::native::ts {

namespace {

constexpr const char* kCapsuleName = "tree_sitter.Language";

// Bits of a symbol's byte in the kinds table: rule 1, rule 5 (may anchor),
// rule 5 (heredoc-like: anchored whenever at column 0).
constexpr unsigned char kLiteral = 1, kMayAnchor = 2, kBody = 4;

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

}  // namespace

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

bool source_fits(std::string_view src) {
  if (src.size() <= 0xFFFFFFFFULL) return true;
  PyErr_SetString(PyExc_ValueError, "tree-sitter parses sources below 4 GiB");
  return false;
}

bool kinds_fit(const TSLanguage* lang, std::string_view kinds) {
  if (kinds.size() == ts_language_symbol_count(lang) + 2ULL) return true;
  PyErr_SetString(PyExc_ValueError, "kinds must hold a byte for each of the grammar's symbols (ts_symbols)");
  return false;
}

bool deadline_arg(PyObject* o, std::optional<Deadline>& out) {
  out.reset();
  if (o == Py_None) return true;
  const double seconds = PyFloat_AsDouble(o);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  out = Deadline{Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(std::max(seconds, 0.0)))};
  return true;
}

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

namespace {
constexpr const char* kTreeCapsule = "kovel.tree_sitter.Tree";

void delete_tree_capsule(PyObject* capsule) {
  if (auto* t = static_cast<TSTree*>(PyCapsule_GetPointer(capsule, kTreeCapsule))) ts_tree_delete(t);
}
}  // namespace

PyObject* tree_capsule(TreePtr& tree) {
  if (!tree) return Py_NewRef(Py_None);
  PyObject* capsule = PyCapsule_New(tree.get(), kTreeCapsule, delete_tree_capsule);
  if (capsule) tree.release();  // the capsule owns it
  return capsule;
}

TSTree* capsule_tree(PyObject* capsule) {
  return static_cast<TSTree*>(PyCapsule_GetPointer(capsule, kTreeCapsule));
}

const KindInfo& Kinds::learn(const KovelTsVisit& n, std::size_t slot) {
  if (slot >= slot_.size()) throw BadTree{"a tree-sitter node's kind is outside its grammar's symbols"};
  const char* name = ts_language_symbol_name(lang_, n.named_by);
  const std::string_view tag = name ? name : "";
  const auto f = static_cast<unsigned char>(flags_[slot]);
  const bool anonymous = ts_language_symbol_type(lang_, n.symbol) == TSSymbolTypeAnonymous;
  infos_.push_back(KindInfo{tag, tags::intern(tag), (f & kLiteral) != 0, (f & kMayAnchor) != 0,
                            (f & kBody) != 0, anonymous, static_cast<std::uint32_t>(infos_.size())});
  slot_[slot] = &infos_.back();
  return infos_.back();
}

Walker::Visit Walker::visit(const KovelTsVisit& n) {
  const KindInfo& kind = kinds_.of(n);
  const std::uint64_t s = n.start, e = n.end;
  if (s > e || e > src_.size())
    throw BadTree{"a tree-sitter node spans bytes " + std::to_string(s) + " to " + std::to_string(e) +
                  ", outside the source (" + std::to_string(src_.size()) + " bytes)"};
  if (!boundary(s) || !boundary(e))
    throw BadTree{"a tree-sitter node spanning bytes " + std::to_string(s) + " to " + std::to_string(e) +
                  " splits a UTF-8 character of the source"};
  Visit v{&kind, s, e, false};
  // At column 0: where the source starts or a line feed ends (a row's column
  // is in bytes, and only a line feed starts a row).
  if (kind.may_anchor && (s == 0 || src_[s - 1] == '\n'))
    v.anchored = kind.body || convert::last_line_anchored(cut(s, e));
  return v;
}

// Hand a finished child term, spanning [s, e), to the node of `f`.
void Walker::adopt(Frame& f, KRef term, std::uint64_t s, std::uint64_t e, bool anchored) {
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
      term = token(v, frames[depth - 1].verbatim || v.kind->literal);
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
      f.b.clear();
      if (depth == 0) break;
      term = convert::token(f.kind->tag, f.kind->tag_id, cut(s, e), f.verbatim, scratch_, tc_);
    } else {
      if (f.pos < e) {
        if (convert::write_gap(f.b, cut(f.pos, e), f.verbatim, false)) f.token = true;
      } else if (f.pos > e) {  // a child reaching past its parent's end
        e = f.pos;
      }
      if (f.token && !f.verbatim) {
        // Rule 2 found out late: convert this subtree again, all verbatim.
        f.b.clear();
        term = run(f.node, s, e, true);
      } else {
        term = f.b.build(tc_);
      }
      if (depth == 0) return term;
    }
    adopt(frames[depth - 1], std::move(term), s, e, anchored);
  }
  // A root without visible children: a leaf, wrapped if text lies around it.
  term = convert::token(top.kind->tag, top.kind->tag_id, cut(top.s, top.e), inherited || top.kind->literal,
                        scratch_, tc_);
  if (lo >= top.s && hi <= top.e) return term;
  scratch_.reset(top.kind->tag, top.kind->tag_id);
  convert::write_gap(scratch_, cut(lo, top.s), inherited, false);
  scratch_.child(std::move(term));
  convert::write_gap(scratch_, cut(top.e, hi), inherited, false);
  return scratch_.build(tc_);
}

const TSTree* parse_once(const TSLanguage* lang, std::string_view src, const Deadline* deadline, bool keep,
                         TreePtr& kept, std::optional<ScratchParse>& scratch) {
  if (!keep) return scratch.emplace().parse(lang, src, deadline);
  kept = parse_tree(lang, src, deadline);
  return kept.get();
}

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
      bool shown = false;  // whether a child the tree shows holds the error
      ts_tree_cursor_reset(cur.get(), n);
      if (ts_tree_cursor_goto_first_child(cur.get())) {
        do {
          const TSNode kid = ts_tree_cursor_current_node(cur.get());
          shown = shown || ts_node_has_error(kid);
          stack.push_back(kid);
        } while (ts_tree_cursor_goto_next_sibling(cur.get()));
      }
      // A missing token the grammar hides (Go's line break between two
      // declarations) is no node of the tree: the node holding it counts.
      if (!shown) spans.emplace_back(ts_node_start_byte(n), ts_node_end_byte(n));
    }
  }
  return spans;
}

bool Deadline::progress(TSParseState* state) {
  auto* d = static_cast<Deadline*>(state->payload);
  d->passed = d->passed || Clock::now() > d->at;
  return d->passed;
}

namespace {

TSTree* parse_with(TSParser* p, const TSLanguage* lang, std::string_view src, const Deadline* deadline,
                   const TSTree* old) {
  if (!p) throw std::bad_alloc();
  if (ts_parser_language(p) != lang && !ts_parser_set_language(p, lang))
    throw BadTree{"the parser does not take this grammar"};
  Input in{src};
  const TSInput input{&in, Input::read, TSInputEncodingUTF8, nullptr};
  Deadline d = deadline ? *deadline : Deadline{};
  const TSParseOptions options{&d, deadline ? Deadline::progress : nullptr};
  TSTree* tree = ts_parser_parse_with_options(p, old, input, options);
  if (!tree) ts_parser_reset(p);  // the next parse starts afresh
  return tree;
}

}  // namespace

TreePtr parse_tree(const TSLanguage* lang, std::string_view src, const Deadline* deadline,
                   const TSTree* old) {
  return TreePtr(parse_with(thread_parser(), lang, src, deadline, old));
}

const TSTree* ScratchParse::parse(const TSLanguage* lang, std::string_view src, const Deadline* deadline) {
  if (tree_) throw std::logic_error("one parse per scratch scope");
  budget(src.size());
  tree_ = parse_with(parser_, lang, src, deadline, nullptr);
  return tree_;
}

KRef Walker::token(const Visit& v, bool verbatim) {
  const std::string_view text = cut(v.s, v.e);
  // (A token spanning lines is written as lines: no leaf to share.)
  if (!v.kind->anonymous || v.kind->tag_id == tags::kInline || text.find('\n') != std::string_view::npos)
    return convert::token(v.kind->tag, v.kind->tag_id, text, verbatim, scratch_, tc_);
  if (v.kind->index >= shared_.size()) shared_.resize(v.kind->index + 1);
  Shared& got = shared_[v.kind->index];
  if (!got.term || got.text != text) {
    got.text = text;
    got.term = convert::token(v.kind->tag, v.kind->tag_id, text, verbatim, scratch_, tc_);
  }
  return got.term;
}

KRef Walker::leaf(const Visit& v, bool verbatim) {
  return convert::token(v.kind->tag, v.kind->tag_id, cut(v.s, v.e), verbatim, scratch_, tc_);
}

}  // namespace kovel::py::native::ts
