// The module `_native`: the KTerm type of `_kovel`, shared names and the
// registration of every function table.
#include "native.h"

namespace kovel::py {

namespace {
// `_kovel`'s KTerm type, a strong reference taken at the first import and kept
// for the process (the type lives as long in `_kovel`).
PyTypeObject* g_kterm_type = nullptr;
}  // namespace

// The helpers of common.h make KTerm objects on `_kovel`'s type.
PyTypeObject* kterm_type() {
  if (!g_kterm_type) PyErr_SetString(PyExc_ImportError, "kovel._native: kovel._kovel is not imported");
  return g_kterm_type;
}

PyObject* new_kterm(KRef t) { return new_wrapper(kterm_type(), &PyKTerm::term, std::move(t)); }

namespace native {

namespace {

Names g_names{};

PyMethodDef* const kTables[] = {kReadMethods,    kMakeMethods,    kWalkMethods,  kRewriteMethods,
                                kMeasureMethods, kConvertMethods, kMatchMethods, kFillMethods};

bool import_kterm_type() {
  if (g_kterm_type) return true;
  PyRef kovel(PyImport_ImportModule("kovel._kovel"));
  if (!kovel) return false;
  // Nodes pass between the modules: use `_kovel`'s tag table and pool.
  const auto* share =
      PyModule_Check(kovel.get()) ? static_cast<const CoreShare*>(PyModule_GetState(kovel.get())) : nullptr;
  if (!share || share->magic != kCoreShareMagic) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "kovel._native: kovel._kovel is not kovel's core module");
    return false;
  }
  tags::share_table(share->tags);
  pool::share(share->pool);
  PyRef tp(PyObject_GetAttrString(kovel.get(), "KTerm"));
  if (!tp) return false;
  if (!PyType_Check(tp.get())) {
    PyErr_SetString(PyExc_ImportError, "kovel._kovel.KTerm is not a type");
    return false;
  }
  if (!g_kterm_type) g_kterm_type = reinterpret_cast<PyTypeObject*>(tp.release());
  return true;
}

int exec_module(PyObject* module) {
  if (!import_kterm_type() || !init_names()) return -1;
  for (PyMethodDef* table : kTables)
    if (PyModule_AddFunctions(module, table) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "Native support of `kovel.tree`: reading, making, walking and rewriting terms.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

}  // namespace

const Names& names() { return g_names; }

bool init_names() {
  if (g_names.empty) return true;
  Names n{};
  const char* const variants[] = {"quote", "unquote", "tuple"};
  const char* const ops[] = {"write", "nl", "push", "pop", "hole"};
  bool ok = true;
  for (int i = 0; i < 3; ++i) ok = ok && (n.variant[i] = intern(variants[i]));
  for (int i = 0; i < 5; ++i) ok = ok && (n.op[i] = intern(ops[i]));
  ok = ok && (n.empty = intern(""));
  if (!ok) {
    for (PyObject* o : n.variant) Py_XDECREF(o);
    for (PyObject* o : n.op) Py_XDECREF(o);
    return false;
  }
  g_names = n;
  return true;
}

const KTerm* term_arg(PyObject* o, const char* param) {
  if (Py_TYPE(o) != g_kterm_type) {
    PyRef qual(PyType_GetQualName(Py_TYPE(o)));
    if (qual) PyErr_Format(PyExc_TypeError, "argument '%s': expected a KTerm, got '%U'", param, qual.get());
    return nullptr;
  }
  return kterm_value(o);
}

bool arg_count(const char* fn, Py_ssize_t nargs, Py_ssize_t n) {
  if (nargs == n) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", fn, n, nargs);
  return false;
}

PyObject* path_tuple(std::span<const std::uint64_t> path) {
  PyRef t(PyTuple_New(static_cast<Py_ssize_t>(path.size())));
  if (!t) return nullptr;
  for (std::size_t k = 0; k < path.size(); ++k) {
    PyObject* i = PyLong_FromUnsignedLongLong(path[k]);
    if (!i || PyTuple_SetItem(t.get(), static_cast<Py_ssize_t>(k), i) < 0) return nullptr;
  }
  return t.release();
}

}  // namespace native

}  // namespace kovel::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&kovel::py::native::module_def); }
