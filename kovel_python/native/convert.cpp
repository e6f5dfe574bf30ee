// convert: a tree-sitter tree to a term, walked with its TreeCursor.
//
// tree-sitter stays an optional Python dependency: the walk drives the
// cursor and reads the nodes through ordinary attribute access and calls,
// with the attribute names interned once and the cursor's methods bound once.
// Texts are sliced from the source bytes straight into the nodes. The rules
// (and the walk's order of decisions) are those of `reference_walk` in
// `python/kovel/treesitter/convert.py`, the reference this must match byte for byte.
#include <deque>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert.h"
#include "fast_attr.h"
#include "native.h"

namespace kovel::py::native {

namespace {

// A Python call failed: its exception is set and the walk unwinds.
struct PyFailed {};

PyObject* check(PyObject* o) {
  if (!o) throw PyFailed{};
  return o;
}

// Attribute and method names, interned at the first call and kept.
struct Attr {
  PyObject* node;
  PyObject* kind_id;
  PyObject* type;
  PyObject* start_byte;
  PyObject* end_byte;
  PyObject* start_point;
  PyObject* walk;
  PyObject* goto_first_child;
  PyObject* goto_next_sibling;
  PyObject* goto_parent;
};

const Attr* attr_names() {
  static Attr a{};
  if (a.node) return &a;
  Attr n{};
  PyObject** slots[] = {&n.node,       &n.kind_id,          &n.type,
                        &n.start_byte, &n.end_byte,         &n.start_point,
                        &n.walk,       &n.goto_first_child, &n.goto_next_sibling,
                        &n.goto_parent};
  const char* text[] = {"node",       "kind_id",          "type",
                        "start_byte", "end_byte",         "start_point",
                        "walk",       "goto_first_child", "goto_next_sibling",
                        "goto_parent"};
  for (std::size_t i = 0; i < std::size(slots); ++i) {
    *slots[i] = PyUnicode_InternFromString(text[i]);
    if (!*slots[i]) {
      for (std::size_t k = 0; k < i; ++k) Py_DECREF(*slots[k]);
      return nullptr;
    }
  }
  a = n;
  return &a;
}

// The attributes and methods read for every node, bound per walk to the
// types of the cursor and its nodes; made once and kept for the process.
struct Access {
  FastGetter node, kind_id, start_byte, end_byte;
  FastMethod first_child, next_sibling, parent;

  explicit Access(const Attr& a)
      : node(a.node),
        kind_id(a.kind_id),
        start_byte(a.start_byte),
        end_byte(a.end_byte),
        first_child(a.goto_first_child),
        next_sibling(a.goto_next_sibling),
        parent(a.goto_parent) {}
};

Access* access(const Attr& a) {
  static Access* acc = new (std::nothrow) Access(a);
  if (!acc) PyErr_NoMemory();
  return acc;
}

long long as_int(PyObject* o) {
  PyRef v(check(o));
  const long long x = PyLong_AsLongLong(v.get());
  if (x == -1 && PyErr_Occurred()) throw PyFailed{};
  return x;
}

bool truth(PyObject* o) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  const int t = PyObject_IsTrue(o);
  if (t < 0) throw PyFailed{};
  return t != 0;
}

bool as_bool(PyObject* o) {
  PyRef r(check(o));
  return truth(r.get());
}

// What the rules need of a kind, asked of the `kinds` mapping once per walk.
struct KindInfo {
  std::string tag;
  std::uint32_t tag_id;  // tags::intern(tag)
  bool literal;          // rule 1
  bool may_anchor;       // rule 5: heredoc-like or comment words
  bool body;             // rule 5: heredoc-like words (anchored whenever at column 0)
};

// Kinds by tree-sitter's kind id: a node's kind id names its `type` (aliases
// included), so each kind is asked for and decoded once, not once per node.
class Kinds {
 public:
  Kinds(const Attr& a, const Access& acc, PyObject* rules) : a_(a), acc_(acc), rules_(rules) {}

  KindInfo& of(PyObject* node) {
    const long long id = as_int(acc_.kind_id(node));
    if (id >= 0 && id < kSmall) {
      if (static_cast<std::size_t>(id) >= small_.size()) small_.resize(static_cast<std::size_t>(id) + 1, -1);
      int& slot = small_[static_cast<std::size_t>(id)];
      if (slot < 0) slot = add(node);
      return infos_[static_cast<std::size_t>(slot)];
    }
    auto found = big_.find(id);
    if (found == big_.end()) found = big_.emplace(id, add(node)).first;
    return infos_[static_cast<std::size_t>(found->second)];
  }

 private:
  static constexpr long long kSmall = 4096;

  int add(PyObject* node) {
    PyRef type(check(PyObject_GetAttr(node, a_.type)));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_Check(type.get()) ? PyUnicode_AsUTF8AndSize(type.get(), &n) : nullptr;
    if (!s) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a tree-sitter node's type must be a str");
      throw PyFailed{};
    }
    PyRef info(check(PyObject_GetItem(rules_, type.get())));
    if (!PyTuple_Check(info.get()) || PyTuple_Size(info.get()) != 3) {
      PyErr_SetString(PyExc_TypeError, "kinds must map a kind to a (literal, may anchor, body) tuple");
      throw PyFailed{};
    }
    const std::string_view tag(s, static_cast<std::size_t>(n));
    infos_.push_back(KindInfo{std::string(tag), tags::intern(tag), truth(PyTuple_GetItem(info.get(), 0)),
                              truth(PyTuple_GetItem(info.get(), 1)), truth(PyTuple_GetItem(info.get(), 2))});
    return static_cast<int>(infos_.size() - 1);
  }

  const Attr& a_;
  const Access& acc_;
  PyObject* rules_;  // borrowed for the call
  std::vector<int> small_;
  std::unordered_map<long long, int> big_;
  std::deque<KindInfo> infos_;
};

// A node with children being converted. Frames stay in place when their
// node is done and are reused for the next node at that depth.
struct Frame {
  convert::NodeBuf b;
  std::uint64_t pos;    // end of the text written so far
  std::uint64_t start;  // node start
  std::uint64_t end;    // node end
  bool verbatim;
  bool anchored;  // starts anchored (rule 5)
  bool token;     // a gap looked like token text (rule 2)
};

class Walker {
 public:
  Walker(const Attr& a, Access& acc, Kinds& kinds, std::string_view src)
      : a_(a), go_(acc), kinds_(kinds), src_(src) {}

  // The term of the cursor's node, covering at least [lo, hi).
  KRef run(PyObject* cursor, std::uint64_t lo, std::uint64_t hi, bool inherited);

 private:
  struct Visit {
    KindInfo* kind;
    std::uint64_t s, e;
    bool anchored;
  };

  std::string_view cut(std::uint64_t a, std::uint64_t b) const {
    return a < b ? src_.substr(a, b - a) : std::string_view{};
  }

  // Reads the node under the cursor.
  Visit visit(PyObject* cursor) {
    if ((++visited_ & 0xFFF) == 0 && PyErr_CheckSignals() < 0) throw PyFailed{};
    PyRef node(check(go_.node(cursor)));
    if (Py_TYPE(node.get()) != node_type_) {
      node_type_ = Py_TYPE(node.get());
      for (FastGetter* g : {&go_.kind_id, &go_.start_byte, &go_.end_byte}) g->bind(node_type_);
    }
    KindInfo& kind = kinds_.of(node.get());
    const long long s = as_int(go_.start_byte(node.get()));
    const long long e = as_int(go_.end_byte(node.get()));
    if (s < 0 || s > e || static_cast<std::uint64_t>(e) > src_.size()) {
      PyErr_Format(PyExc_ValueError,
                   "a tree-sitter node spans bytes %lld to %lld, outside the source (%zu bytes)", s, e,
                   src_.size());
      throw PyFailed{};
    }
    if (!boundary(static_cast<std::uint64_t>(s)) || !boundary(static_cast<std::uint64_t>(e))) {
      PyErr_Format(PyExc_ValueError,
                   "a tree-sitter node spanning bytes %lld to %lld splits a UTF-8 character of the source", s,
                   e);
      throw PyFailed{};
    }
    Visit v{&kind, static_cast<std::uint64_t>(s), static_cast<std::uint64_t>(e), false};
    if (kind.may_anchor) v.anchored = anchored(node.get(), kind.body, v.s, v.e);
    return v;
  }

  bool boundary(std::uint64_t p) const {
    return p >= src_.size() || (static_cast<unsigned char>(src_[p]) & 0xC0) != 0x80;
  }

  // Rule 5 for a node whose kind may be anchored.
  bool anchored(PyObject* node, bool body, std::uint64_t s, std::uint64_t e) {
    PyRef point(check(PyObject_GetAttr(node, a_.start_point)));
    PyRef column(check(PySequence_GetItem(point.get(), 1)));
    const long long col = PyLong_AsLongLong(column.get());
    if (col == -1 && PyErr_Occurred()) throw PyFailed{};
    if (col != 0) return false;
    return body || convert::last_line_anchored(cut(s, e));
  }

  const Attr& a_;
  Access& go_;
  Kinds& kinds_;
  std::string_view src_;
  PyTypeObject* node_type_ = nullptr;  // the type go_'s node getters are bound to
  convert::NodeBuf scratch_;           // for tokens written as lines
  std::uint64_t visited_ = 0;
};

KRef Walker::run(PyObject* cursor, std::uint64_t lo, std::uint64_t hi, bool inherited) {
  for (FastMethod* m : {&go_.first_child, &go_.next_sibling, &go_.parent}) m->bind(Py_TYPE(cursor));
  go_.node.bind(Py_TYPE(cursor));
  node_type_ = nullptr;
  Visit v = visit(cursor);
  if (!as_bool(go_.first_child(cursor))) {
    // A root without children: a leaf, wrapped if text lies around it.
    KRef term =
        convert::token(v.kind->tag, v.kind->tag_id, cut(v.s, v.e), inherited || v.kind->literal, scratch_);
    if (lo >= v.s && hi <= v.e) return term;
    scratch_.reset(v.kind->tag, v.kind->tag_id);
    convert::write_gap(scratch_, cut(lo, v.s), inherited, false);
    scratch_.child(std::move(term));
    convert::write_gap(scratch_, cut(v.e, hi), inherited, false);
    return scratch_.build();
  }
  const std::uint64_t root_start = std::min(lo, v.s);
  std::vector<Frame> frames(16);
  std::size_t depth = 1;  // frames[0, depth) are the open nodes
  frames[0].b.reset(v.kind->tag, v.kind->tag_id);
  frames[0].pos = frames[0].start = root_start;
  frames[0].end = std::max(hi, v.e);
  frames[0].verbatim = inherited || v.kind->literal;
  frames[0].anchored = v.anchored;
  frames[0].token = false;
  while (true) {
    // The cursor is on a node not visited yet.
    v = visit(cursor);
    if (as_bool(go_.first_child(cursor))) {
      if (depth == frames.size()) frames.resize(2 * depth);
      Frame& f = frames[depth];
      f.b.reset(v.kind->tag, v.kind->tag_id);
      f.pos = f.start = v.s;
      f.end = v.e;
      f.verbatim = frames[depth - 1].verbatim || v.kind->literal;
      f.anchored = v.anchored;
      f.token = false;
      ++depth;
      continue;
    }
    KRef term = convert::token(v.kind->tag, v.kind->tag_id, cut(v.s, v.e),
                               frames[depth - 1].verbatim || v.kind->literal, scratch_);
    std::uint64_t s = v.s, e = v.e;
    bool anchored = v.anchored;
    // Hand the finished term to its parent, finishing parents as we go up.
    while (true) {
      Frame& f = frames[depth - 1];
      if (f.pos < s) {
        if (convert::write_gap(f.b, cut(f.pos, s), f.verbatim, anchored)) f.token = true;
      } else if (f.pos > s) {
        PyErr_Format(
            PyExc_ValueError,
            "a tree-sitter node starting at byte %llu overlaps its previous sibling, which ends at byte %llu",
            static_cast<unsigned long long>(s), static_cast<unsigned long long>(f.pos));
        throw PyFailed{};
      }
      if (anchored && s == f.start) f.anchored = true;
      f.b.child(std::move(term));
      f.pos = e;
      if (as_bool(go_.next_sibling(cursor))) break;
      // Last child: finish the parent (its frame stays, for the next node at its depth).
      --depth;
      s = f.start;
      e = f.end;
      if (f.pos < e) {
        if (convert::write_gap(f.b, cut(f.pos, e), f.verbatim, false)) f.token = true;
      } else if (f.pos > e) {  // a child reaching past its parent's end
        e = f.pos;
      }
      anchored = f.anchored;
      as_bool(go_.parent(cursor));
      if (f.token && !f.verbatim) {
        // Rule 2 found out late: convert this subtree again, all verbatim.
        f.b.clear();
        PyRef node(check(go_.node(cursor)));
        PyRef again(check(PyObject_CallMethodObjArgs(node.get(), a_.walk, nullptr)));
        term = run(again.get(), s, e, true);
      } else {
        term = f.b.build();
      }
      if (depth == 0) return term;
    }
  }
}

bool index_arg(PyObject* o, const char* what, std::uint64_t& out) {
  const long long x = PyLong_AsLongLong(o);
  if (x == -1 && PyErr_Occurred()) return false;
  if (x < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
    return false;
  }
  out = static_cast<std::uint64_t>(x);
  return true;
}

PyObject* fn_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("convert", nargs, 6)) return nullptr;
  PyObject* cursor = args[0];
  PyObject* source = args[1];
  if (!PyBytes_Check(source)) {
    PyRef qual(PyType_GetQualName(Py_TYPE(source)));
    if (qual) PyErr_Format(PyExc_TypeError, "source must be bytes, not '%U'", qual.get());
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(source, &data, &size) < 0) return nullptr;
  const std::string_view src(data, static_cast<std::size_t>(size));
  std::uint64_t lo = 0, hi = 0;
  if (!index_arg(args[2], "lo", lo) || !index_arg(args[3], "hi", hi)) return nullptr;
  if (lo > hi || hi > src.size()) {
    PyErr_Format(PyExc_ValueError, "bytes %llu to %llu are not a range of the source (%zu bytes)",
                 static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi), src.size());
    return nullptr;
  }
  const int inherited = PyObject_IsTrue(args[4]);
  if (inherited < 0) return nullptr;
  if (!convert::valid_utf8(src)) {
    PyErr_SetString(PyExc_ValueError, "source is not valid UTF-8");
    return nullptr;
  }
  const Attr* a = attr_names();
  Access* acc = a ? access(*a) : nullptr;
  if (!acc) return nullptr;
  for (PyObject* name : {a->node, a->goto_first_child, a->goto_next_sibling, a->goto_parent}) {
    const int has = PyObject_HasAttr(cursor, name);
    if (!has) {
      PyRef qual(PyType_GetQualName(Py_TYPE(cursor)));
      if (qual)
        PyErr_Format(PyExc_TypeError, "cursor must be a tree_sitter.TreeCursor, not '%U'", qual.get());
      return nullptr;
    }
  }
  return guarded([&]() -> PyObject* {
    try {
      Kinds kinds(*a, *acc, args[5]);
      Walker walker(*a, *acc, kinds, src);
      return new_kterm(walker.run(cursor, lo, hi, inherited != 0));
    } catch (const PyFailed&) {
      return nullptr;
    }
  });
}

}  // namespace

PyMethodDef kConvertMethods[] = {
    {"convert", as_cfunc(fn_convert), METH_FASTCALL,
     "convert(cursor, source, lo, hi, inherited, kinds, /)\n--\n\n"
     "The term of the node under a tree-sitter ``cursor`` parsed from the UTF-8\n"
     "bytes ``source``, covering at least bytes [lo, hi); ``inherited`` makes it\n"
     "verbatim and ``kinds`` maps a kind to (literal, may be anchored, anchored\n"
     "whenever at column 0). ``kovel.treesitter`` documents the rules.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
