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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
