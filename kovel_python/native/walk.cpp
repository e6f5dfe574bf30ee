// walk and find_all: iterators over (path, term[, start, end]) in document
// order. The walk state is native; a Python object is made only for the
// items handed out, so find_all skips non-matching nodes at native speed.
#include <algorithm>
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
    return std::find(owned_.begin(), owned_.end(), tag) != owned_.end();
  }

 private:
  static constexpr std::size_t kLinear = 8;  // a few tags: comparing beats hashing
  std::vector<std::string> owned_;
  std::unordered_set<std::string_view> set_;
};

// The current path as a Python list that follows the walk with O(1) changes
// per step (a walk moves one level at a time), so each path tuple is one
// copy of the list instead of one call per position.
class PathMirror {
 public:
  bool init() { return (list_ = PyRef(PyList_New(0))).get() != nullptr; }
  // The tuple of `path`, updating the list from the previous path.
  PyObject* tuple(std::span<const std::uint64_t> path) {
    const std::size_t common = std::min(path.size(), shown_.size());
    for (std::size_t k = 0; k < common; ++k) {
      if (path[k] == shown_[k]) continue;
      PyObject* i = PyLong_FromUnsignedLongLong(path[k]);
      if (!i || PyList_SetItem(list_.get(), static_cast<Py_ssize_t>(k), i) < 0) return nullptr;  // steals
      shown_[k] = path[k];
    }
    if (common < shown_.size()) {
      if (PyList_SetSlice(list_.get(), static_cast<Py_ssize_t>(common), PY_SSIZE_T_MAX, nullptr) < 0)
        return nullptr;
      shown_.resize(common);
    }
    for (std::size_t k = common; k < path.size(); ++k) {
      PyRef i(PyLong_FromUnsignedLongLong(path[k]));
      if (!i || PyList_Append(list_.get(), i.get()) < 0) return nullptr;
      shown_.push_back(path[k]);
    }
    return PyList_AsTuple(list_.get());
  }

 private:
  PyRef list_;
  std::vector<std::uint64_t> shown_;  // what list_ holds
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
  PathMirror mirror;
  bool running = false;  // inside walk_next
};

struct PyWalk {
  PyObject_HEAD
  WalkState state;
};

PyObject* item(WalkState& s, const KTerm& node, std::span<const std::uint64_t> path, const SpanRecord* r) {
  PyRef p(s.mirror.tuple(path));
  PyRef t(p ? new_kterm(KRef::share(&node)) : nullptr);
  if (!t) return nullptr;
  if (!r) return PyTuple_Pack(2, p.get(), t.get());
  PyRef start(PyLong_FromUnsignedLongLong(r->start));
  PyRef end(PyLong_FromUnsignedLongLong(r->end));
  return start && end ? PyTuple_Pack(4, p.get(), t.get(), start.get(), end.get()) : nullptr;
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
  if (!s.mirror.init()) return nullptr;
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

}  // namespace

PyMethodDef kWalkMethods[] = {
    {"walk", as_cfunc(fn_walk), METH_FASTCALL,
     "walk(t, spans, /)\n--\n\nAn iterator over (path, term[, start, end]) in document order."},
    {"find_all", as_cfunc(fn_find_all), METH_FASTCALL,
     "find_all(t, tags, spans, /)\n--\n\nThe items of walk(t, spans) whose tag is in tags."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
