// replace and rewrite: persistent edits that share everything off the
// changed paths.
#include <limits>
#include <vector>

#include "native.h"
#include "walk.h"

namespace kovel::py::native {

namespace {

// replace(t, path, new)
PyObject* fn_replace(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("replace", nargs, 3)) return nullptr;
  const KTerm* t = term_arg(args[0], "t");
  if (!t) return nullptr;
  const KTerm* repl = term_arg(args[2], "new");
  if (!repl) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<std::uint64_t> path;
    if (!path_arg(args[1], path)) return nullptr;
    const std::size_t ok = existing_prefix(*t, path);
    if (ok < path.size()) {
      const KTerm* n = t;
      for (std::size_t k = 0; k < ok; ++k) n = n->children()[path[k]];
      PyRef where(path_tuple(std::span(path).first(ok)));
      if (where)
        PyErr_Format(PyExc_IndexError, "path %R does not exist: the node at %R has %zu children", args[1],
                     where.get(), n->children().size());
      return nullptr;
    }
    return new_kterm(replace_at(*t, path, KRef::share(repl)));
  });
}

// rewrite(t, fn)
PyObject* fn_rewrite(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("rewrite", nargs, 2)) return nullptr;
  const KTerm* t = term_arg(args[0], "t");
  if (!t) return nullptr;
  PyObject* fn = args[1];
  if (!PyCallable_Check(fn)) {
    PyRef qual(PyType_GetQualName(Py_TYPE(fn)));
    if (qual) PyErr_Format(PyExc_TypeError, "argument 'fn': expected a callable, got '%U'", qual.get());
    return nullptr;
  }
  PyTypeObject* tp = kterm_type();
  return guarded([&]() -> PyObject* {
    KRef out = rewrite(*t, [&](KRef node) -> KRef {
      PyRef arg(new_kterm(node));
      if (!arg) return {};
      PyRef r(PyObject_CallFunctionObjArgs(fn, arg.get(), nullptr));
      if (!r) return {};
      if (r.get() == Py_None) return node;
      if (Py_TYPE(r.get()) != tp) {
        PyRef qual(PyType_GetQualName(Py_TYPE(r.get())));
        if (qual)
          PyErr_Format(PyExc_TypeError, "rewrite(): fn returned '%U', expected a KTerm or None", qual.get());
        return {};
      }
      const KTerm* got = term_arg(r.get(), "fn's result");
      return got ? KRef::share(got) : KRef();
    });
    return out ? new_kterm(std::move(out)) : nullptr;
  });
}

}  // namespace

PyMethodDef kRewriteMethods[] = {
    {"replace", as_cfunc(fn_replace), METH_FASTCALL,
     "replace(t, path, new, /)\n--\n\nt with the node at path replaced by new."},
    {"rewrite", as_cfunc(fn_rewrite), METH_FASTCALL,
     "rewrite(t, fn, /)\n--\n\nt rebuilt bottom-up with fn's replacements."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
