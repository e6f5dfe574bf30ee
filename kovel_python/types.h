// Helpers for the module's classes and the table of its functions.
#pragma once

#include "common.h"

namespace kovel::py {

// tp_new of every class: raises "cannot create '{module}.{qualname}' instances".
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates the type from `spec` into `slot` unless it exists already.
PyTypeObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec);

// The module functions, defined beside the classes they make.
extern PyMethodDef kTbDef, kLeafDef, kSymDef, kQuoteDef, kUnquoteDef, kCmdDef, kWriteDef, kPushDef, kNameDef,
    kKliftDef, kKliftHtmlDef, kFromPostcardBytesDef;

// A METH_FASTCALL | METH_KEYWORDS function as stored in a PyMethodDef.
using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunc(FastFn f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

}  // namespace kovel::py
