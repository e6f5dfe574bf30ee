// Reading attributes and calling no-argument methods of another extension's
// objects many times in a row, through the functions of the type's own
// getset and method tables (stable ABI: PyType_GetSlot).
//
// A generic lookup (PyObject_GetAttr, then a call of the bound method) walks
// the type's dict and the descriptor protocol and allocates a bound method
// per call; on a walk that reads five attributes of every syntax node, that
// is most of the cost. The table function is used only while the type's
// attribute is still the descriptor made from that table entry: a class
// whose attribute was replaced (monkeypatched) is read generically.
#pragma once

#include <cstring>

#include "native.h"

namespace kovel::py::native {

namespace detail {

// Whether `descr`, found as attribute `name` of `tp`, is the descriptor that
// `tp` made from its own table entry of that name (kind: "getset_descriptor"
// or "method_descriptor").
inline bool own_descriptor(PyObject* descr, PyTypeObject* tp, PyObject* name, const char* kind) {
  PyRef type_name(PyType_GetName(Py_TYPE(descr)));
  if (!type_name) return false;
  if (PyUnicode_CompareWithASCIIString(type_name.get(), kind) != 0) return false;
  PyRef owner(PyObject_GetAttrString(descr, "__objclass__"));
  PyRef own_name(PyObject_GetAttrString(descr, "__name__"));
  return owner && own_name && owner.get() == reinterpret_cast<PyObject*>(tp) &&
         PyUnicode_Check(own_name.get()) && PyUnicode_Compare(own_name.get(), name) == 0;
}

// The type's current attribute `name` is `descr` (a strong reference), else
// false; never leaves an exception set.
inline bool still(PyTypeObject* tp, PyObject* name, PyObject* descr) {
  PyRef now(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name));
  if (!now) PyErr_Clear();
  return now && now.get() == descr;
}

}  // namespace detail

// One attribute, read through the getter of the type it was bound to.
class FastGetter {
 public:
  explicit FastGetter(PyObject* name) : name_(name) {}
  FastGetter(const FastGetter&) = delete;
  FastGetter& operator=(const FastGetter&) = delete;
  ~FastGetter() { Py_XDECREF(descr_); }

  // Uses the getter of `tp` from now on, if `tp` still has it; else reads
  // generically. Never leaves an exception set.
  void bind(PyTypeObject* tp) {
    on_ = tp == tp_ && detail::still(tp, name_, descr_);
    if (on_ || !tp) return;
    const char* want = PyUnicode_AsUTF8AndSize(name_, nullptr);
    auto* defs = static_cast<PyGetSetDef*>(PyType_GetSlot(tp, Py_tp_getset));
    if (!want || !defs) return PyErr_Clear();
    for (; defs->name; ++defs) {
      if (std::strcmp(defs->name, want) != 0 || !defs->get) continue;
      PyRef descr(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name_));
      if (descr && detail::own_descriptor(descr.get(), tp, name_, "getset_descriptor")) {
        Py_XDECREF(descr_);
        descr_ = descr.release();
        tp_ = tp;
        get_ = defs->get;
        closure_ = defs->closure;
        on_ = true;
      }
      break;
    }
    PyErr_Clear();
  }

  // A new reference, or nullptr with an exception set.
  PyObject* operator()(PyObject* o) const {
    return on_ && Py_TYPE(o) == tp_ ? get_(o, closure_) : PyObject_GetAttr(o, name_);
  }

 private:
  PyObject* name_;  // interned, kept for the process
  PyTypeObject* tp_ = nullptr;
  PyObject* descr_ = nullptr;  // keeps tp_ alive as long as it is used
  getter get_ = nullptr;
  void* closure_ = nullptr;
  bool on_ = false;
};

// One method without arguments (METH_NOARGS), called through the function of
// the type it was bound to.
class FastMethod {
 public:
  explicit FastMethod(PyObject* name) : name_(name) {}
  FastMethod(const FastMethod&) = delete;
  FastMethod& operator=(const FastMethod&) = delete;
  ~FastMethod() { Py_XDECREF(descr_); }

  void bind(PyTypeObject* tp) {
    on_ = tp == tp_ && detail::still(tp, name_, descr_);
    if (on_ || !tp) return;
    const char* want = PyUnicode_AsUTF8AndSize(name_, nullptr);
    auto* defs = static_cast<PyMethodDef*>(PyType_GetSlot(tp, Py_tp_methods));
    if (!want || !defs) return PyErr_Clear();
    for (; defs->ml_name; ++defs) {
      if (std::strcmp(defs->ml_name, want) != 0) continue;
      PyRef descr(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name_));
      if (defs->ml_flags == METH_NOARGS && descr &&
          detail::own_descriptor(descr.get(), tp, name_, "method_descriptor")) {
        Py_XDECREF(descr_);
        descr_ = descr.release();
        tp_ = tp;
        fn_ = defs->ml_meth;
        on_ = true;
      }
      break;
    }
    PyErr_Clear();
  }

  PyObject* operator()(PyObject* self) const {
    return on_ && Py_TYPE(self) == tp_ ? fn_(self, nullptr)
                                       : PyObject_CallMethodObjArgs(self, name_, nullptr);
  }

 private:
  PyObject* name_;
  PyTypeObject* tp_ = nullptr;
  PyObject* descr_ = nullptr;
  PyCFunction fn_ = nullptr;
  bool on_ = false;
};

}  // namespace kovel::py::native
