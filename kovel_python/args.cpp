#include "args.h"

#include <cstring>

namespace kovel::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += names.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == names.size()) s += "and ";
    s += '\'';
    s += names[i];
    s += '\'';
  }
  return s;
}

bool is_name(PyObject* kw, const char* name) {
  return PyUnicode_Check(kw) && PyUnicode_CompareWithASCIIString(kw, name) == 0;
}

// Whether the pending exception must reach the caller even where a failure
// is otherwise discarded: anything that is not an Exception (KeyboardInterrupt,
// SystemExit), and MemoryError.
bool must_propagate() {
  return !PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError);
}

}  // namespace

bool bind_args_slow(const char* display, std::span<const char* const> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(names.size());
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", display, n, nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* kw = PyTuple_GetItem(kwnames, k);
    if (!kw) return false;
    Py_ssize_t j = 0;
    while (j < n && !is_name(kw, names[static_cast<std::size_t>(j)])) ++j;
    if (j == n) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display, kw);
      return false;
    }
    if (out[j]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display,
                   names[static_cast<std::size_t>(j)]);
      return false;
    }
    out[j] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!out[i]) missing.push_back(names[static_cast<std::size_t>(i)]);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", display,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments",
                 quoted_list(missing).c_str());
    return false;
  }
  return true;
}

void raise_cast_error(PyObject* obj, const char* cls, const char* param) {
  PyRef msg;
  if (obj == Py_None) {
    msg = PyRef(PyUnicode_FromFormat("'None' is not an instance of '%s'", cls));
  } else {
    PyRef qual(PyType_GetQualName(Py_TYPE(obj)));
    if (qual) {
      msg = PyRef(PyUnicode_FromFormat("'%U' object is not an instance of '%s'", qual.get(), cls));
    } else {
      PyErr_Clear();
      msg = PyRef(
          PyUnicode_FromFormat("'<failed to extract type name>' object is not an instance of '%s'", cls));
    }
  }
  if (!msg) return;
  if (param) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, msg.get());
  } else {
    PyErr_SetObject(PyExc_TypeError, msg.get());
  }
}

void prefix_type_error(const char* param) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t(type), v(value), trace(tb);
  PyRef text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (!text) {
    // A message that cannot be converted does not replace the TypeError,
    // unless converting it was interrupted or ran out of memory.
    if (!must_propagate()) {
      PyErr_Clear();
      text = PyRef(PyUnicode_FromString("<unprintable TypeError object>"));
    } else if (v) {
      PyObject *type2, *value2, *tb2;
      PyErr_Fetch(&type2, &value2, &tb2);
      PyErr_NormalizeException(&type2, &value2, &tb2);
      if (value2) PyException_SetContext(value2, v.release());
      PyErr_Restore(type2, value2, tb2);
    }
    if (!text) return;
  }
  PyRef msg(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!msg) return;
  PyRef err(PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr));
  if (!err) return;
  if (v) {
    if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(err.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, err.get());
}

bool to_text(PyObject* o, const char* param, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    raise_cast_error(o, "str", param);
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) {
    prefix_type_error(param);
    return false;
  }
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool to_u8(PyObject* o, const char* param, std::uint8_t& out) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef(PyNumber_Index(o));
    if (!index) {
      prefix_type_error(param);
      return false;
    }
    o = index.get();
  }
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) {
    prefix_type_error(param);
    return false;
  }
  if (v < 0 || v > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

bool to_bytes(PyObject* o, const char* param, std::string_view& out) {
  if (!PyBytes_Check(o)) {
    raise_cast_error(o, "bytes", param);
    return false;
  }
  char* data;
  Py_ssize_t n;
  if (PyBytes_AsStringAndSize(o, &data, &n) < 0) {
    prefix_type_error(param);
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(n));
  return true;
}

bool to_cmds(PyObject* o, const char* param, std::vector<CmdOrHole>& out) {
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cast_error(o, "Sequence", param);
    return false;
  }
  PyTypeObject* cmd_type = cmdorhole_type();
  if (!cmd_type) return false;
  // The length only sizes the result, so a failure to get it is discarded;
  // but never an interruption, an exit or a MemoryError.
  const Py_ssize_t size = PyObject_Size(o);
  if (size < 0) {
    if (must_propagate()) return false;
    PyErr_Clear();
  }
  out.clear();
  // Never trust the length beyond a modest bound.
  out.reserve(static_cast<std::size_t>(size > 0 ? (size < 4096 ? size : 4096) : 0));
  PyRef it(PyObject_GetIter(o));
  if (!it) {
    prefix_type_error(param);
    return false;
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    PyRef item(raw);
    if (Py_TYPE(raw) != cmd_type) {
      raise_cast_error(raw, "CmdOrHole", param);
      return false;
    }
    const CmdOrHole* value = cmdorhole_value(raw);
    if (!value) return false;
    out.push_back(*value);
  }
  if (PyErr_Occurred()) {
    prefix_type_error(param);
    return false;
  }
  return true;
}

bool check_instance(PyObject* o, PyTypeObject* tp, const char* cls, const char* param) {
  if (!tp) return false;
  if (Py_TYPE(o) == tp) return true;
  raise_cast_error(o, cls, param);
  return false;
}

}  // namespace kovel::py
