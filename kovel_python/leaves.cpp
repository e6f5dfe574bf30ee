// The leaf functions: leaf, sym and name.
#include "args.h"
#include "types.h"

namespace kovel::py {

namespace {

PyObject* fn_leaf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* names[] = {"tag", "code"};
  PyObject* a[2];
  std::string_view tag, code;
  if (!bind_args("leaf()", names, args, nargs, kwnames, a) || !to_text(a[0], "tag", tag) ||
      !to_text(a[1], "code", code))
    return nullptr;
  return guarded([&] { return new_kterm(leaf(tag, code)); });
}

KRef identifier(std::string_view s) { return leaf("identifier", s); }

PyObject* fn_sym(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_text_function<sym>("sym()", args, nargs, kwnames);
}

PyObject* fn_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_text_function<identifier>("name()", args, nargs, kwnames);
}

}  // namespace

PyMethodDef kLeafDef = {"leaf", as_cfunc(fn_leaf), kFastKw,
                        "leaf(tag, code)\n--\n\nA leaf node: a tag whose only content is `code`."};
PyMethodDef kSymDef = {"sym", as_cfunc(fn_sym), kFastKw,
                       "sym(s)\n--\n\nA symbol: a leaf whose tag and code are the same."};
PyMethodDef kNameDef = {"name", as_cfunc(fn_name), kFastKw,
                        "name(s)\n--\n\nAn identifier term (the `\xe2\x9f\xa8N\xe2\x9f\xa9` operator)."};

}  // namespace kovel::py
