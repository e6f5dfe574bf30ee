// rendered_length: the length of a term's text, without rendering it.
#include "measure.h"
#include "native.h"

namespace kovel::py::native {

namespace {

PyObject* fn_rendered_length(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  return guarded([&] { return PyLong_FromUnsignedLongLong(rendered_size(*t).chars); });
}

// (pops, left): the prefixes t pops below where it is spliced, and those it
// leaves pushed after it.
PyObject* fn_stack_effect(PyObject*, PyObject* arg) {
  const KTerm* t = term_arg(arg, "t");
  if (!t) return nullptr;
  return guarded([&]() -> PyObject* {
    const RenderedSize r = rendered_size(*t);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(r.pops_outside),
                         static_cast<unsigned long long>(r.left_pushed));
  });
}

}  // namespace

PyMethodDef kMeasureMethods[] = {
    {"rendered_length", fn_rendered_length, METH_O,
     "rendered_length(t, /)\n--\n\n"
     "Return ``len(str(t))`` without rendering ``t``.\n\n"
     "Each distinct node is measured once, so a small term whose text is very long\n"
     "(a node shared many times) is measured quickly.\n\n"
     ">>> from kovel import leaf, tb\n"
     ">>> from kovel.tree import rendered_length\n"
     ">>> x = tb(\"pair\").c(leaf(\"s\", \"h\\u00e9\")).w(\"\\n\").c(leaf(\"s\", \"h\\u00e9\")).b()\n"
     ">>> rendered_length(x), len(str(x))\n"
     "(5, 5)\n"},
    {"stack_effect", fn_stack_effect, METH_O,
     "stack_effect(t, /)\n--\n\n(pops, left): the prefixes t pops below its place and leaves pushed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
