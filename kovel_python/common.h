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
// references), so none of them takes part in cyclic garbage collection. ---

struct PyKTerm {
  PyObject_HEAD
  KRef term;
};

struct PyStrCmd {
  PyObject_HEAD
  StrCmd value;
};

struct PyCmdOrHole {
  PyObject_HEAD
  CmdOrHole value;
};

struct PyBuilder {
  PyObject_HEAD
  std::optional<KTermBuilder> builder;  // empty once built
  // Access flag: 0 free, -1 exclusively held by a running method. A Builder
  // is the only object whose value changes, so the only one that can refuse.
  int borrow;
};

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
// not be made) and moves `value` into its field `member`; nullptr with an
// exception set on failure.
template <class T, class V>
PyObject* new_wrapper(PyTypeObject* tp, V T::*member, V value) {
  if (!tp) return nullptr;
  T* obj = PyObject_New(T, tp);
  if (!obj) return nullptr;
  new (&(obj->*member)) V(std::move(value));
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

// Frees a wrapper object after destroying its C++ fields.
template <class T>
void dealloc_wrapper(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<T*>(self)->~T();
  PyObject_Free(self);
  Py_DECREF(tp);
}

}  // namespace kovel::py
