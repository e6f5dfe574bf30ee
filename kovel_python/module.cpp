// The module `_kovel`: multi-phase initialisation and registration. Its
// initialisation also makes `_native`, whose code shares this library.
#include "native/native.h"
#include "types.h"

namespace kovel::py {

namespace {

// Appends `name` to the module's __all__ (creating it if needed), then sets
// the attribute.
int add_name(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_named(PyObject* module, const char* name, PyObject* value) {
  PyRef key(PyUnicode_FromString(name));
  return key ? add_name(module, key.get(), value) : -1;
}

int add_type(PyObject* module, const char* name, PyTypeObject* tp) {
  return tp ? add_named(module, name, reinterpret_cast<PyObject*>(tp)) : -1;
}

// Owned: add_name does not steal.
int add_owned(PyObject* module, const char* name, PyObject* value) {
  PyRef v(value);
  return v ? add_named(module, name, v.get()) : -1;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef fn(PyCFunction_NewEx(def, module, module_name));
  if (!fn) return -1;
  PyRef name(PyObject_GetAttrString(fn.get(), "__name__"));
  return name ? add_name(module, name.get(), fn.get()) : -1;
}

PyMethodDef* const kFunctions[] = {
    &kTbDef,    &kLeafDef, &kSymDef,  &kQuoteDef, &kUnquoteDef,   &kCmdDef,
    &kWriteDef, &kPushDef, &kNameDef, &kKliftDef, &kKliftHtmlDef, &kFromPostcardBytesDef,
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyRef qual(PyType_GetQualName(Py_TYPE(module)));
    if (qual) PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'", qual.get());
    return -1;
  }
  if (add_type(module, "KTerm", kterm_type()) < 0 || add_type(module, "StrCmd", strcmd_type()) < 0 ||
      add_type(module, "CmdOrHole", cmdorhole_type()) < 0 || add_type(module, "Builder", builder_type()) < 0)
    return -1;
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef* def : kFunctions)
    if (add_function(module, module_name.get(), def) < 0) return -1;
  PyObject* nl = guarded([] { return new_strcmd(NL); });
  if (add_owned(module, "NL", nl) < 0) return -1;
  PyObject* pop = guarded([] { return new_strcmd(POP); });
  if (add_owned(module, "POP", pop) < 0) return -1;
  PyObject* hole = guarded([] { return new_cmdorhole(HOLE); });
  if (add_owned(module, "HOLE", hole) < 0) return -1;
  // Last, so that a failure before leaves no `_native` registered.
  PyRef native(native::make_module(module));
  return native ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kovel",
    "kovel's core IR, exposed to Python as the native `kovel._kovel` module\n"
    "(re-exported by the `kovel` package's `__init__.py`).",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kovel::py

PyMODINIT_FUNC PyInit__kovel() { return PyModuleDef_Init(&kovel::py::module_def); }
