// What the four classes share: creation once per process, no constructor.
#include "types.h"

namespace kovel::py {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    module = PyRef(PyUnicode_FromString("<unknown>"));
  }
  PyRef qual(PyType_GetQualName(type));
  if (!qual) {
    PyErr_Clear();
    qual = PyRef(PyUnicode_FromString("<unknown>"));
  }
  if (!module || !qual) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qual.get());
  return nullptr;
}

PyTypeObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec) {
  // Always under the interpreter lock; should creation run Python code that
  // lets another thread create the type first, the later copy is dropped.
  if (!slot) {
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) return nullptr;
    if (!slot) {
      slot = reinterpret_cast<PyTypeObject*>(t);
    } else {
      Py_DECREF(t);
    }
  }
  return slot;
}

}  // namespace kovel::py
