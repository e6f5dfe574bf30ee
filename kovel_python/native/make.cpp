// Making one node from its parts, in the form the readers return them.
#include <cstdio>
#include <limits>
#include <string_view>
#include <vector>

#include "native.h"

namespace kovel::py::native {

namespace {

bool as_text(PyObject* o, const char* what, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    PyRef qual(PyType_GetQualName(Py_TYPE(o)));
    if (qual) PyErr_Format(PyExc_TypeError, "%s must be a str, not '%U'", what, qual.get());
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return false;
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

// The items of an iterable, as new references.
bool items_of(PyObject* o, const char* what, std::vector<PyRef>& out) {
  PyRef it(PyObject_GetIter(o));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyRef qual(PyType_GetQualName(Py_TYPE(o)));
      if (qual) PyErr_Format(PyExc_TypeError, "%s must be iterable, not '%U'", what, qual.get());
    }
    return false;
  }
  while (PyObject* item = PyIter_Next(it.get())) out.emplace_back(item);
  return !PyErr_Occurred();
}

bool to_children(PyObject* o, std::vector<KRef>& out) {
  std::vector<PyRef> items;
  if (!items_of(o, "children", items)) return false;
  out.reserve(items.size());
  char param[48];
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::snprintf(param, sizeof param, "children[%zu]", i);
    const KTerm* t = term_arg(items[i].get(), param);
    if (!t) return false;
    out.push_back(KRef::share(t));
  }
  return true;
}

// One (op, text) pair; `holes` counts the HOLEs.
bool to_command(PyObject* pair, std::size_t i, std::vector<CmdOrHole>& out, std::size_t& holes) {
  if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
    PyRef qual(PyType_GetQualName(Py_TYPE(pair)));
    if (qual)
      PyErr_Format(PyExc_TypeError, "commands[%zu] must be an (op, text) pair, not '%U'", i, qual.get());
    return false;
  }
  std::string_view op, s;
  if (!as_text(PyTuple_GetItem(pair, 0), "a command's op", op) ||
      !as_text(PyTuple_GetItem(pair, 1), "a command's text", s))
    return false;
  if (op == "write" || op == "push") {
    out.push_back(CmdOrHole::of(op == "write" ? write(s) : push(s)));
    return true;
  }
  if (!s.empty()) {
    PyErr_Format(PyExc_ValueError, "commands[%zu]: a '%s' command has no text, got %R", i,
                 std::string(op).c_str(), PyTuple_GetItem(pair, 1));
    return false;
  }
  if (op == "nl") {
    out.push_back(CmdOrHole::of(NL));
  } else if (op == "pop") {
    out.push_back(CmdOrHole::of(POP));
  } else if (op == "hole") {
    out.push_back(HOLE);
    ++holes;
  } else {
    PyErr_Format(PyExc_ValueError,
                 "commands[%zu]: unknown op %R (expected 'write', 'nl', 'push', 'pop' or 'hole')", i,
                 PyTuple_GetItem(pair, 0));
    return false;
  }
  return true;
}

bool to_u64(PyObject* o, std::uint64_t& out) {
  if (!PyLong_Check(o)) {
    PyRef qual(PyType_GetQualName(Py_TYPE(o)));
    if (qual) PyErr_Format(PyExc_TypeError, "at must hold two ints, not '%U'", qual.get());
    return false;
  }
  out = PyLong_AsUnsignedLongLong(o);
  if (out == std::numeric_limits<std::uint64_t>::max() && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "at must hold ints from 0 to 2**64-1, got %R", o);
    return false;
  }
  return true;
}

bool to_at(PyObject* o, std::optional<Range>& out) {
  if (o == Py_None) return true;
  if (!PyTuple_Check(o) || PyTuple_Size(o) != 2) {
    PyRef qual(PyType_GetQualName(Py_TYPE(o)));
    if (qual) PyErr_Format(PyExc_TypeError, "at must be None or a (start, end) pair, not '%U'", qual.get());
    return false;
  }
  Range r;
  if (!to_u64(PyTuple_GetItem(o, 0), r.start) || !to_u64(PyTuple_GetItem(o, 1), r.end)) return false;
  out = r;
  return true;
}

bool to_index(PyObject* o, std::uint8_t& out) {
  if (!PyLong_Check(o)) {
    PyRef qual(PyType_GetQualName(Py_TYPE(o)));
    if (qual) PyErr_Format(PyExc_TypeError, "index must be an int, not '%U'", qual.get());
    return false;
  }
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) PyErr_Clear();
  if (v < 0 || v > 255) {
    PyErr_Format(PyExc_ValueError, "index must be from 0 to 255, got %R", o);
    return false;
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

// node(tag, children, commands, kind, index, lang, at)
PyObject* fn_node(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("node", nargs, 7)) return nullptr;
  std::string_view tag, kind, lang;
  std::uint8_t index = 0;
  std::optional<Range> at;
  if (!as_text(args[0], "tag", tag) || !as_text(args[3], "kind", kind) || !to_index(args[4], index) ||
      !as_text(args[5], "lang", lang) || !to_at(args[6], at))
    return nullptr;
  KTerm::Variant v;
  if (kind == "tuple") {
    v = KTerm::Variant::Tuple;
  } else if (kind == "quote") {
    v = KTerm::Variant::Quote;
  } else if (kind == "unquote") {
    v = KTerm::Variant::Unquote;
  } else {
    PyErr_Format(PyExc_ValueError, "kind must be 'tuple', 'quote' or 'unquote', got %R", args[3]);
    return nullptr;
  }
  if (v == KTerm::Variant::Tuple && (index != 0 || !lang.empty() || at)) {
    PyErr_SetString(PyExc_ValueError, "a tuple has no index, lang or at");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    std::vector<KRef> kids;
    std::vector<PyRef> items;
    std::vector<CmdOrHole> cmds;
    std::size_t holes = 0;
    if (!to_children(args[1], kids) || !items_of(args[2], "commands", items)) return nullptr;
    cmds.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
      if (!to_command(items[i].get(), i, cmds, holes)) return nullptr;
    if (v == KTerm::Variant::Tuple) {
      if (holes != kids.size()) {
        PyErr_Format(PyExc_ValueError, "the commands have %zu holes for %zu children", holes, kids.size());
        return nullptr;
      }
      return new_kterm(ktuple(tag, kids, cmds).share());
    }
    if (kids.size() != 1) {
      PyErr_Format(PyExc_ValueError, "a %s takes exactly one child, got %zu", std::string(kind).c_str(),
                   kids.size());
      return nullptr;
    }
    const auto make = v == KTerm::Variant::Quote ? kquote_at : kunquote_at;
    return new_kterm(make(tag, index, lang, std::move(kids[0]), cmds, at).share());
  });
}

}  // namespace

PyMethodDef kMakeMethods[] = {
    {"node", as_cfunc(fn_node), METH_FASTCALL,
     "node(tag, children, commands, kind, index, lang, at, /)\n--\n\nA node from its parts."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
