// walk and find_all: iterators over (path, term[, start, end]) in document
// order. The walk state is native; a Python object is made only for the
// items handed out, so find_all skips non-matching nodes at native speed.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "native.h"
#include "walk.h"

namespace kovel::py::native {

namespace {

// Which tags an iterator hands out.
class TagFilter {
 public:
  bool all = true;
  void add(std::string_view tag) {
    all = false;
    owned_.emplace_back(tag);
  }
  void finish() {
    if (owned_.size() > kLinear) set_.insert(owned_.begin(), owned_.end());
  }
  // Takes the node, not its tag, so a walk of every node never reads tags.
  bool matches(const KTerm& n) const {
    if (all) return true;
    const std::string_view tag = n.tag();
    if (owned_.size() > kLinear) return set_.count(tag) != 0;
    // Lengths first: most tags differ in length from the one wanted.
    for (const std::string& want : owned_)
      if (want.size() == tag.size() && std::memcmp(want.data(), tag.data(), tag.size()) == 0) return true;
    return false;
  }

 private:
  static constexpr std::size_t kLinear = 8;  // a few tags: comparing beats hashing
  std::vector<std::string> owned_;
  std::unordered_set<std::string_view> set_;
};

// The path objects of the current node and its ancestors, kept in step
// with the walk: each node's path is made once, from its parent's, so a
// whole walk makes one small object per node however deep the term is.
class PathStack {
 public:
  bool init() { return (root_ = PyRef(new_path(nullptr, 0, true))).get() != nullptr; }

  // The walk went to a node at `depth` in pre-order: at most the last of its
  // positions differs from the node before.
  void moved(std::size_t depth) { valid_ = std::min(valid_, depth == 0 ? 0 : depth - 1); }

  // The path object of `path`, the current node's.
  PyObject* get(std::span<const std::uint64_t> path) {
    const std::size_t d = path.size();
    if (d == 0) return Py_NewRef(root_.get());
    if (valid_ < d) {
      // Stale paths below the first changed position go first, so that the
      // one at that position may be ours alone, and refilled.
      if (objs_.size() > valid_ + 1) objs_.resize(valid_ + 1);
      if (objs_.size() < d) objs_.resize(d);
      for (std::size_t k = valid_; k < d; ++k) {
        if (k == valid_ && objs_[k] && reuse_path(objs_[k].get(), path[k])) continue;
        PyObject* p = new_path(k ? objs_[k - 1].get() : nullptr, path[k]);
        if (!p) {
          valid_ = k;
          return nullptr;
        }
        objs_[k] = PyRef(p);
      }
      valid_ = d;
    }
    return Py_NewRef(objs_[d - 1].get());
  }

 private:
  PyRef root_;
  std::vector<PyRef> objs_;  // objs_[k]: the path of the ancestor at depth k + 1
  std::size_t valid_ = 0;    // how many of objs_ are the current node's ancestors' paths
};

// Refills the objects handed out by earlier items once their receiver has
// dropped them, as zip() does with its result tuple: an object whose only
// reference is ours cannot be seen by anyone, so changing it is safe, and it
// saves an allocation and a free per item. Three of each kind are kept:
// while next() runs, a loop variable can still hold the previous item, and
// the item tuple about to be refilled still holds the path and wrapper of
// the item before it.
struct Slots {
  static constexpr unsigned kCount = 3;
  PyRef obj[kCount];
  unsigned turn = 0;
  // The index of an object only we hold, or -1.
  int free() const {
    for (unsigned i = 0; i < kCount; ++i)
      if (obj[i] && Py_REFCNT(obj[i].get()) == 1) return static_cast<int>(i);
    return -1;
  }
  // Keeps a reference to `o` in place of the oldest object; the index it took.
  int keep(PyObject* o) {
    turn = (turn + 1) % kCount;
    obj[turn] = PyRef(Py_NewRef(o));
    return static_cast<int>(turn);
  }
};

class Recycler {
 public:
  bool init() { return true; }

  // A KTerm wrapper holding `node`. A KTerm has no weak references, no
  // attributes and an identity hash, so a refilled wrapper is as good as a
  // new one, on every CPython.
  PyObject* kterm(const KTerm& node) {
    if (const int i = kterms_.free(); i >= 0) {
      reinterpret_cast<PyKTerm*>(kterms_.obj[i].get())->term = KRef::share(&node);
      return Py_NewRef(kterms_.obj[i].get());
    }
    PyObject* w = new_kterm(KRef::share(&node));
    if (w) kterms_.keep(w);
    return w;
  }

  // A tuple of the `n` references in `items`, which it steals.
  PyObject* tuple(PyObject* const* items, Py_ssize_t n) {
    const int i = kTuplesRecyclable ? items_.free() : -1;
    PyObject* t = i >= 0 ? items_.obj[i].get() : PyTuple_New(n);
    if (!t) {
      for (Py_ssize_t k = 0; k < n; ++k) Py_DECREF(items[k]);
      return nullptr;
    }
    // The items replaced are paths, wrappers and ints, whose release runs
    // no Python code.
    for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SetItem(t, k, items[k]);
    if (i >= 0) return Py_NewRef(t);
    if (kTuplesRecyclable) items_.keep(t);
    return t;
  }

 private:
  // From 3.14 on CPython may cache a tuple's hash in the tuple, and only its
  // internal recycling clears the cache; a refilled tuple could then answer
  // with the hash of its old items. Tuples are refilled only before that.
  static inline const bool kTuplesRecyclable = Py_Version < 0x030E0000;
  Slots kterms_;
  Slots items_;
};

struct WalkState {
  KRef root;  // keeps every node of the walk alive
  TagFilter filter;
  bool spans = false;
  // Without spans: a lazy cursor.
  std::optional<PathCursor> cursor;
  // With spans: the records of one rendering, and the path of the current one.
  std::vector<SpanRecord> records;
  std::size_t next = 0;
  std::vector<std::uint64_t> path;
  Recycler recycler;
  PathStack paths;
  bool running = false;  // inside walk_next
};

struct PyWalk {
  PyObject_HEAD
  WalkState state;
};

PyObject* item(WalkState& s, const KTerm& node, std::span<const std::uint64_t> path, const SpanRecord* r) {
  const auto part = [&](int i) -> PyObject* {
    switch (i) {
      case 0: return s.paths.get(path);
      case 1: return s.recycler.kterm(node);
      case 2: return PyLong_FromUnsignedLongLong(r->start);
      default: return PyLong_FromUnsignedLongLong(r->end);
    }
  };
  PyObject* parts[4];
  const int n = r ? 4 : 2;
  for (int i = 0; i < n; ++i) {
    if (!(parts[i] = part(i))) {
      while (i-- > 0) Py_DECREF(parts[i]);
      return nullptr;
    }
  }
  return s.recycler.tuple(parts, n);
}

PyObject* walk_next(PyObject* self) {
  WalkState& s = reinterpret_cast<PyWalk*>(self)->state;
  // Making an item can run Python code (a collection's finalizers) that
  // could call next() on this same iterator while its cursor is mid-step.
  if (s.running) {
    PyErr_SetString(PyExc_ValueError, "walk iterator already executing");
    return nullptr;
  }
  s.running = true;
  PyObject* out = guarded([&]() -> PyObject* {
    if (!s.spans) {
      while (s.cursor && s.cursor->next()) {
        s.paths.moved(s.cursor->path().size());
        const KTerm& n = s.cursor->node();
        if (s.filter.matches(n)) return item(s, n, s.cursor->path(), nullptr);
      }
      s.cursor.reset();
      return nullptr;  // exhausted: no exception set
    }
    while (s.next < s.records.size()) {
      const SpanRecord& r = s.records[s.next++];
      s.path.resize(r.depth);
      if (r.depth) s.path.back() = r.index;
      s.paths.moved(r.depth);
      if (s.filter.matches(*r.node)) return item(s, *r.node, s.path, &r);
    }
    return nullptr;
  });
  s.running = false;
  return out;
}

PyType_Slot walk_slots[] = {
    {Py_tp_doc, const_cast<char*>("An iterator over the nodes of a term, in document order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_wrapper<PyWalk>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {0, nullptr},
};

PyType_Spec walk_spec = {"kovel._native.TermWalk", sizeof(PyWalk), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, walk_slots};

PyTypeObject* g_walk_type = nullptr;

PyTypeObject* walk_type() {
  if (!g_walk_type) g_walk_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&walk_spec));
  return g_walk_type;
}

// Renders the term again through str() so that an unbalanced term raises
// exactly what rendering it raises.
void raise_render_error(PyObject* root) {
  PyRef s(PyObject_Str(root));
  if (s) PyErr_SetString(PyExc_RuntimeError, "the term cannot be rendered");
}

PyObject* start_walk(PyObject* root, PyObject* spans_arg, PyObject* tags) {
  const KTerm* t = term_arg(root, "t");
  if (!t) return nullptr;
  const int spans = PyObject_IsTrue(spans_arg);
  if (spans < 0) return nullptr;
  WalkState s;
  if (!s.recycler.init() || !s.paths.init()) return nullptr;
  s.root = KRef::share(t);
  s.spans = spans;
  if (tags) {
    PyRef it(PyObject_GetIter(tags));
    if (!it) return nullptr;
    s.filter.all = false;
    while (PyObject* o = PyIter_Next(it.get())) {
      PyRef tag(o);
      if (!PyUnicode_Check(o)) {
        PyRef qual(PyType_GetQualName(Py_TYPE(o)));
        if (qual) PyErr_Format(PyExc_TypeError, "argument 'tags': expected str items, got '%U'", qual.get());
        return nullptr;
      }
      Py_ssize_t n;
      const char* c = PyUnicode_AsUTF8AndSize(o, &n);
      if (!c) return nullptr;
      s.filter.add(std::string_view(c, static_cast<std::size_t>(n)));
    }
    if (PyErr_Occurred()) return nullptr;
    s.filter.finish();
  }
  if (spans) {
    try {
      s.records = rendered_spans(*t);
    } catch (const Panic&) {
      raise_render_error(root);
      return nullptr;
    }
  } else {
    s.cursor.emplace(*t);
  }
  return new_wrapper(walk_type(), &PyWalk::state, std::move(s));
}

// walk(t, spans)
PyObject* fn_walk(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("walk", nargs, 2)) return nullptr;
  return guarded([&] { return start_walk(args[0], args[1], nullptr); });
}

// find_all(t, tags, spans): `tags` an iterable of str.
PyObject* fn_find_all(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("find_all", nargs, 3)) return nullptr;
  return guarded([&] { return start_walk(args[0], args[2], args[1]); });
}

// locate(t, nodes): where each of `nodes` (terms, in document order) lies
// in t's text, as (start, end) in code points, or None. Each is met where
// the walk is next at it; one met out of order is looked for among the
// nodes passed by.
PyObject* fn_locate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("locate", nargs, 2)) return nullptr;
  const KTerm* t = term_arg(args[0], "t");
  if (!t) return nullptr;
  if (!PyList_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "locate() takes a list of terms");
    return nullptr;
  }
  const Py_ssize_t n = PyList_Size(args[1]);
  std::vector<const KTerm*> wanted;
  for (Py_ssize_t k = 0; k < n; ++k) {
    const KTerm* w = term_arg(PyList_GetItem(args[1], k), "nodes");
    if (!w) return nullptr;
    wanted.push_back(w);
  }
  return guarded([&]() -> PyObject* {
    std::vector<SpanRecord> records;
    try {
      records = rendered_spans(*t);
    } catch (const Panic&) {
      raise_render_error(args[0]);
      return nullptr;
    }
    const std::unordered_set<const KTerm*> any(wanted.begin(), wanted.end());
    std::vector<const SpanRecord*> at(wanted.size(), nullptr);
    std::vector<const SpanRecord*> passed;
    std::size_t i = 0;
    for (const SpanRecord& r : records) {
      if (i == wanted.size()) break;
      if (r.node == wanted[i])
        at[i++] = &r;
      else if (any.count(r.node))
        passed.push_back(&r);
    }
    for (std::size_t k = i; k < wanted.size(); ++k) {
      const auto hit = std::find_if(passed.begin(), passed.end(),
                                    [&](const SpanRecord* r) { return r->node == wanted[k]; });
      if (hit != passed.end()) at[k] = *hit;
    }
    PyRef out(PyList_New(static_cast<Py_ssize_t>(wanted.size())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < at.size(); ++k) {
      PyObject* item = nullptr;
      if (!at[k]) {
        item = Py_NewRef(Py_None);
      } else {
        PyRef a(PyLong_FromUnsignedLongLong(at[k]->start));
        PyRef b(PyLong_FromUnsignedLongLong(at[k]->end));
        if (!a || !b || !(item = PyTuple_Pack(2, a.get(), b.get()))) return nullptr;
      }
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(k), item);
    }
    return out.release();
  });
}

}  // namespace

PyMethodDef kWalkMethods[] = {
    {"walk", as_cfunc(fn_walk), METH_FASTCALL,
     "walk(t, spans, /)\n--\n\nAn iterator over (path, term[, start, end]) in document order."},
    {"find_all", as_cfunc(fn_find_all), METH_FASTCALL,
     "find_all(t, tags, spans, /)\n--\n\nThe items of walk(t, spans) whose tag is in tags."},
    {"locate", as_cfunc(fn_locate), METH_FASTCALL,
     "locate(t, nodes, /)\n--\n\nWhere each of the list ``nodes`` (in document order) lies in\n"
     "t's text: (start, end) in code points, or None; one met out of order is\n"
     "looked for among the nodes passed by."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
