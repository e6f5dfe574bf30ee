// The module `_native`: the shared names and the registration of every
// function table. It lives in `_kovel`'s library, whose initialisation makes
// it (see make_module), so both modules work on one copy of the core and
// one KTerm type.
#include "native.h"

namespace kovel::py::native {

namespace {

Names g_names{};

PyMethodDef* const kTables[] = {kReadMethods,    kMakeMethods,    kWalkMethods,    kRewriteMethods,
                                kMeasureMethods, kConvertMethods, kMatchMethods,   kFillMethods,
                                kLayoutMethods,  kTsParseMethods, kTsMatchMethods, kPostcardMatchMethods,
                                kLinesMethods,   kTextsMethods,   kThreadsMethods};

int exec_module(PyObject* module) {
  if (!init_names()) return -1;
  for (PyMethodDef* table : kTables)
    if (PyModule_AddFunctions(module, table) < 0) return -1;
  PyTypeObject* path = path_type();
  return path ? PyModule_AddObjectRef(module, "Path", reinterpret_cast<PyObject*>(path)) : -1;
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
  if (Py_TYPE(o) != kterm_type()) {
    PyRef qual(PyType_GetQualName(Py_TYPE(o)));
    if (qual) PyErr_Format(PyExc_TypeError, "argument '%s': expected a KTerm, got '%U'", param, qual.get());
    return nullptr;
  }
  return kterm_value(o);
}

bool str_arg(PyObject* o, const char* param, std::string_view& out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &n) : nullptr;
  if (!s) {
    if (!PyErr_Occurred()) {
      PyRef qual(PyType_GetQualName(Py_TYPE(o)));
      if (qual) PyErr_Format(PyExc_TypeError, "argument '%s': expected a str, got '%U'", param, qual.get());
    }
    return false;
  }
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
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

namespace {

// Registers `module` as an import would: in sys.modules, and as an attribute
// of its package if that is loaded (the import system sets the attribute
// only for the modules it loads itself). Undone if it fails half-way.
bool register_module(PyObject* module, PyObject* name, PyObject* package) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (!modules || PyObject_SetItem(modules, name, module) < 0) return false;
  PyRef parent(PyUnicode_GetLength(package) > 0 ? PyImport_GetModule(package) : nullptr);
  if (!PyErr_Occurred() && (!parent || !PyModule_Check(parent.get()) ||
                            PyObject_SetAttrString(parent.get(), "_native", module) == 0))
    return true;
  PyObject *et, *ev, *tb;
  PyErr_Fetch(&et, &ev, &tb);
  if (PyObject_DelItem(modules, name) < 0) PyErr_Clear();
  PyErr_Restore(et, ev, tb);
  return false;
}

}  // namespace

PyObject* make_module(PyObject* kovel_module) {
  // `_native` beside `_kovel`: "kovel._native" for "kovel._kovel".
  PyRef kovel_name(PyModule_GetNameObject(kovel_module));
  PyRef parts(kovel_name ? PyObject_CallMethod(kovel_name.get(), "rpartition", "s", ".") : nullptr);
  if (!parts) return nullptr;
  PyObject* package = PyTuple_GetItem(parts.get(), 0);  // borrowed
  if (!package) return nullptr;
  PyRef name(PyUnicode_GetLength(package) > 0 ? PyUnicode_FromFormat("%U._native", package)
                                              : PyUnicode_FromString("_native"));
  if (!name) return nullptr;
  // Its code is in `_kovel`'s file. No loader: sys.modules is the only place
  // it can be found.
  PyRef file(PyObject_GetAttrString(kovel_module, "__file__"));
  if (!file) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  PyRef machinery(PyImport_ImportModule("importlib.machinery"));
  PyRef spec_type(machinery ? PyObject_GetAttrString(machinery.get(), "ModuleSpec") : nullptr);
  PyRef spec_args(spec_type ? Py_BuildValue("(OO)", name.get(), Py_None) : nullptr);
  PyRef spec_kwargs(spec_args ? Py_BuildValue("{sO}", "origin", file ? file.get() : Py_None) : nullptr);
  PyRef spec(spec_kwargs ? PyObject_Call(spec_type.get(), spec_args.get(), spec_kwargs.get()) : nullptr);
  if (!spec) return nullptr;
  PyRef module(PyModule_FromDefAndSpec(&module_def, spec.get()));
  if (!module || PyModule_ExecDef(module.get(), &module_def) < 0) return nullptr;
  if (PyObject_SetAttrString(module.get(), "__spec__", spec.get()) < 0 ||
      PyObject_SetAttrString(module.get(), "__package__", package) < 0 ||
      (file && PyObject_SetAttrString(module.get(), "__file__", file.get()) < 0) ||
      !register_module(module.get(), name.get(), package))
    return nullptr;
  return module.release();
}

}  // namespace kovel::py::native
