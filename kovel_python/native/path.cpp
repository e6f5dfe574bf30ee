// Path: the child positions of a node from the root, as walks hand them out.
//
// A path holds its last position and a reference to its parent's path, so a
// walk makes one small object per node whatever its depth, and a whole walk
// stays linear in the term (tuples would copy the path at every node). It
// reads like a tuple: length, indexing, slicing and iteration, equality,
// order and hash the same as the tuple of its positions, `tuple(p)`; a copy
// (pickle) is that tuple. Reading position i walks up len - i parents;
// walks' users read the last positions, or the whole path once.
#include <cstdint>
#include <limits>
#include <vector>

#include "native.h"

namespace kovel::py::native {

namespace {

struct PyPath {
  PyObject_HEAD
  PyObject* parent;  // the parent's path, or nullptr for a path of one position
  std::uint64_t index;
  Py_ssize_t len;
  Py_hash_t hash;  // -1 until computed
};

PyPath* as_path(PyObject* o) { return reinterpret_cast<PyPath*>(o); }

PyTypeObject* g_path_type = nullptr;

// The tuple of the positions of `self`.
PyObject* positions(PyObject* self) {
  const Py_ssize_t n = as_path(self)->len;
  PyRef t(PyTuple_New(n));
  if (!t) return nullptr;
  Py_ssize_t k = n;
  for (PyObject* p = self; p && k > 0; p = as_path(p)->parent) {
    PyObject* i = PyLong_FromUnsignedLongLong(as_path(p)->index);
    if (!i || PyTuple_SetItem(t.get(), --k, i) < 0) return nullptr;
  }
  return t.release();
}

void path_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject* parent = as_path(self)->parent;
  PyObject_Free(self);
  Py_DECREF(tp);
  // Free a chain of parents held by nothing else here, not by recursion: a
  // path can be a million deep.
  while (parent && Py_REFCNT(parent) == 1) {
    PyObject* next = as_path(parent)->parent;
    as_path(parent)->parent = nullptr;
    Py_DECREF(parent);
    parent = next;
  }
  Py_XDECREF(parent);
}

Py_ssize_t path_length(PyObject* self) { return as_path(self)->len; }

PyObject* path_subscript(PyObject* self, PyObject* key) {
  if (PySlice_Check(key)) {
    PyRef t(positions(self));
    return t ? PyObject_GetItem(t.get(), key) : nullptr;
  }
  Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return nullptr;
  const Py_ssize_t n = as_path(self)->len;
  if (i < 0) i += n;
  if (i < 0 || i >= n) {
    PyErr_SetString(PyExc_IndexError, "path index out of range");
    return nullptr;
  }
  PyObject* p = self;
  for (Py_ssize_t up = n - 1 - i; up > 0; --up) p = as_path(p)->parent;
  return PyLong_FromUnsignedLongLong(as_path(p)->index);
}

PyObject* path_item(PyObject* self, Py_ssize_t i) {
  PyRef key(PyLong_FromSsize_t(i));
  return key ? path_subscript(self, key.get()) : nullptr;
}

PyObject* path_iter(PyObject* self) {
  PyRef t(positions(self));
  return t ? PyObject_GetIter(t.get()) : nullptr;
}

bool same_positions(PyObject* a, PyObject* b) {
  if (as_path(a)->len != as_path(b)->len) return false;
  // Walks share parents: equal paths often meet at one object.
  while (a != b) {
    if (!a || !b || as_path(a)->index != as_path(b)->index) return false;
    a = as_path(a)->parent;
    b = as_path(b)->parent;
  }
  return true;
}

PyObject* path_richcompare(PyObject* self, PyObject* other, int op) {
  const bool other_path = Py_TYPE(other) == g_path_type;
  if (!other_path && !PyTuple_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  if (other_path && (op == Py_EQ || op == Py_NE))
    return PyBool_FromLong(same_positions(self, other) == (op == Py_EQ));
  // The tuple's own comparison, so that the answer is always the tuple's.
  PyRef mine(positions(self));
  PyRef theirs(other_path ? positions(other) : Py_NewRef(other));
  return mine && theirs ? PyObject_RichCompare(mine.get(), theirs.get(), op) : nullptr;
}

Py_hash_t path_hash(PyObject* self) {
  PyPath* p = as_path(self);
  if (p->hash == -1) {
    PyRef t(positions(self));
    p->hash = t ? PyObject_Hash(t.get()) : -1;
  }
  return p->hash;
}

PyObject* path_repr(PyObject* self) {
  PyRef t(positions(self));
  return t ? PyObject_Repr(t.get()) : nullptr;
}

PyObject* path_concat(PyObject* self, PyObject* other) {
  PyRef t(positions(self));
  return t ? PySequence_Concat(t.get(), other) : nullptr;
}

int path_contains(PyObject* self, PyObject* value) {
  PyRef t(positions(self));
  return t ? PySequence_Contains(t.get(), value) : -1;
}

PyObject* path_reduce(PyObject* self, PyObject*) {
  PyRef t(positions(self));
  return t ? Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyTuple_Type), t.get()) : nullptr;
}

PyObject* path_new(PyTypeObject*, PyObject* args, PyObject* kwargs);

PyMethodDef path_methods[] = {
    {"__reduce__", path_reduce, METH_NOARGS, "A copy is the tuple of the positions."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot path_slots[] = {
    {Py_tp_doc, const_cast<char*>("Path(positions=(), /)\n--\n\n"
                                  "The child positions of a node from the root, as walks hand them "
                                  "out: it shares its parent's path and reads like the tuple of its "
                                  "positions (equal to it, with the same hash).")},
    {Py_tp_new, reinterpret_cast<void*>(path_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(path_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(path_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(path_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(path_richcompare)},
    {Py_tp_iter, reinterpret_cast<void*>(path_iter)},
    {Py_tp_methods, path_methods},
    {Py_mp_length, reinterpret_cast<void*>(path_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(path_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(path_length)},
    {Py_sq_item, reinterpret_cast<void*>(path_item)},
    {Py_sq_concat, reinterpret_cast<void*>(path_concat)},
    {Py_sq_contains, reinterpret_cast<void*>(path_contains)},
    {0, nullptr},
};

PyType_Spec path_spec = {"kovel._native.Path", sizeof(PyPath), 0, Py_TPFLAGS_DEFAULT, path_slots};

// Path(positions): the path of an iterable of non-negative ints.
PyObject* path_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  if (kwargs && PyDict_Size(kwargs) > 0) {
    PyErr_SetString(PyExc_TypeError, "Path() takes no keyword arguments");
    return nullptr;
  }
  PyObject* positions_arg = nullptr;
  if (!PyArg_UnpackTuple(args, "Path", 0, 1, &positions_arg)) return nullptr;
  PyRef out(new_path(nullptr, 0, true));
  if (!out || !positions_arg) return out.release();
  PyRef it(PyObject_GetIter(positions_arg));
  if (!it) return nullptr;
  while (PyObject* o = PyIter_Next(it.get())) {
    PyRef item(o);
    const unsigned long long i = PyLong_AsUnsignedLongLong(o);
    if (i == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    out = PyRef(new_path(out.get(), i, false));
    if (!out) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : out.release();
}

}  // namespace

PyTypeObject* path_type() {
  if (!g_path_type) g_path_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&path_spec));
  return g_path_type;
}

PyObject* new_path(PyObject* parent, std::uint64_t index, bool empty) {
  PyTypeObject* tp = path_type();
  if (!tp) return nullptr;
  // The empty path (the root's) has no position; the one made of a parent
  // that is the empty path starts the chain.
  if (parent && as_path(parent)->len == 0) parent = nullptr;
  PyPath* p = PyObject_New(PyPath, tp);
  if (!p) return nullptr;
  p->parent = empty ? nullptr : Py_XNewRef(parent);
  p->index = index;
  p->len = empty ? 0 : (parent ? as_path(parent)->len : 0) + 1;
  p->hash = -1;
  return reinterpret_cast<PyObject*>(p);
}

bool path_arg(PyObject* o, std::vector<std::uint64_t>& out) {
  if (Py_TYPE(o) == g_path_type) {
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(as_path(o)->len));
    std::size_t k = out.size();
    for (PyObject* p = o; p && k > base; p = as_path(p)->parent) out[--k] = as_path(p)->index;
    return true;
  }
  PyRef it(PyObject_GetIter(o));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyRef qual(PyType_GetQualName(Py_TYPE(o)));
      if (qual)
        PyErr_Format(PyExc_TypeError, "argument 'path': expected a tuple of ints, got '%U'", qual.get());
    }
    return false;
  }
  while (PyObject* step = PyIter_Next(it.get())) {
    PyRef ref(step);
    if (!PyLong_Check(step)) {
      PyRef qual(PyType_GetQualName(Py_TYPE(step)));
      if (qual) PyErr_Format(PyExc_TypeError, "argument 'path': expected ints, got '%U'", qual.get());
      return false;
    }
    const unsigned long long i = PyLong_AsUnsignedLongLong(step);
    if (i == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
      PyErr_Clear();
      out.push_back(std::numeric_limits<std::uint64_t>::max());  // a position no node has
    } else {
      out.push_back(i);
    }
  }
  return !PyErr_Occurred();
}

bool reuse_path(PyObject* path, std::uint64_t index) {
  if (Py_REFCNT(path) != 1 || Py_TYPE(path) != g_path_type || as_path(path)->len == 0) return false;
  as_path(path)->index = index;
  as_path(path)->hash = -1;
  return true;
}

}  // namespace kovel::py::native
