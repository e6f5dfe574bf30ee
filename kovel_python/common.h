// Shared pieces of the extension: owned references, the wrapper objects and
// the guard that turns core failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "kterm.h"
#include "strcmd.h"
#include "term.h"

namespace kovel::py {

// An owned (strong) reference, released when it goes out of scope.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* o) : o_(o) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// --- The four wrapper objects. They hold core values only (no Python
// references), so none of them takes part in cyclic garbage collection.
//
// The classes stay mutable, so `object.__new__` can be made to create one
// (after `KTerm.__new__` is reassigned, say): such an object is zero-filled
// and has no value. A KTerm object then holds a null term; the other three
// carry `has_value`, which only the module's own constructors set, and their
// value fields are neither read nor destroyed without it. ---

struct PyKTerm {
  PyObject_HEAD
  KRef term;  // null: the object has no value
};

struct PyStrCmd {
  PyObject_HEAD
  StrCmd value;
  bool has_value;
};

struct PyCmdOrHole {
  PyObject_HEAD
  CmdOrHole value;
  bool has_value;
};

struct PyBuilder {
  PyObject_HEAD
  std::optional<KTermBuilder> builder;  // empty once built
  // Access flag: 0 free, -1 exclusively held by a running method. A Builder
  // is the only object whose value changes, so the only one that can refuse.
  int borrow;
  bool has_value;
};

// The value of a wrapper object `o` (which must be of the right type), or
// nullptr with TypeError "'{class}' object has no value" set.
inline const KTerm* kterm_value(PyObject* o) {
  const KTerm* t = reinterpret_cast<PyKTerm*>(o)->term.get();
  if (!t) PyErr_SetString(PyExc_TypeError, "'KTerm' object has no value");
  return t;
}
inline const StrCmd* strcmd_value(PyObject* o) {
  auto* c = reinterpret_cast<PyStrCmd*>(o);
  if (c->has_value) return &c->value;
  PyErr_SetString(PyExc_TypeError, "'StrCmd' object has no value");
  return nullptr;
}
inline const CmdOrHole* cmdorhole_value(PyObject* o) {
  auto* c = reinterpret_cast<PyCmdOrHole*>(o);
  if (c->has_value) return &c->value;
  PyErr_SetString(PyExc_TypeError, "'CmdOrHole' object has no value");
  return nullptr;
}
inline PyBuilder* builder_value(PyObject* o) {
  auto* b = reinterpret_cast<PyBuilder*>(o);
  if (b->has_value) return b;
  PyErr_SetString(PyExc_TypeError, "'Builder' object has no value");
  return nullptr;
}

// The type objects, created once per process on first need; nullptr (with an
// exception set) if creation failed.
PyTypeObject* kterm_type();
PyTypeObject* strcmd_type();
PyTypeObject* cmdorhole_type();
PyTypeObject* builder_type();

// New wrapper objects; nullptr with an exception set on failure.
PyObject* new_kterm(KRef t);
PyObject* new_strcmd(StrCmd c);
PyObject* new_cmdorhole(CmdOrHole c);
PyObject* new_builder(KTermBuilder b);
// The wrapper of a core value, chosen by its type.
inline PyObject* wrap(KRef t) { return new_kterm(std::move(t)); }
inline PyObject* wrap(StrCmd c) { return new_strcmd(std::move(c)); }

// Allocates an object of the wrapper type `tp` (nullptr when the type could
// not be made) and moves `value` into its field `member` (marking it as
// having a value); nullptr with an exception set on failure.
template <class T, class V>
PyObject* new_wrapper(PyTypeObject* tp, V T::*member, V value) {
  if (!tp) return nullptr;
  T* obj = PyObject_New(T, tp);
  if (!obj) return nullptr;
  new (&(obj->*member)) V(std::move(value));
  if constexpr (requires { obj->has_value; }) obj->has_value = true;
  return reinterpret_cast<PyObject*>(obj);
}

// Raises PanicException for a broken core invariant, after a report on stderr.
void raise_panic(const char* where, const char* message);

// Turns the C++ exception being handled into a Python exception: a core
// Panic (or any other failure) into PanicException, bad_alloc into MemoryError.
// Call only from inside a catch block.
void raise_from_current_exception() noexcept;

// Runs `f` (which returns a new reference or nullptr with an exception set)
// so that no C++ exception crosses the C API.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

// The same for work that returns nothing; false when it failed.
template <class F>
bool guarded_void(F&& f) noexcept {
  try {
    f();
    return true;
  } catch (...) {
    raise_from_current_exception();
    return false;
  }
}

// Frees a wrapper object after destroying its C++ fields (which an object
// without a value never had constructed).
template <class T>
void dealloc_wrapper(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  T* obj = reinterpret_cast<T*>(self);
  bool constructed = true;
  if constexpr (requires { obj->has_value; }) constructed = obj->has_value;
  if (constructed) obj->~T();
  PyObject_Free(self);
  Py_DECREF(tp);
}

}  // namespace kovel::py
