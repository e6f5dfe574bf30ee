// kovel's own threads: whether one frees large terms, and whether one runs
// now (`kovel.treesitter.forked` asks before it forks).
#include "../reaper.h"
#include "native.h"

namespace kovel::py::native {

namespace {

PyObject* fn_own_threads(PyObject*, PyObject*) { return PyLong_FromLong(reaper_threads()); }

PyObject* fn_background_free(PyObject*, PyObject* on) {
  const int want = PyObject_IsTrue(on);
  if (want < 0) return nullptr;
  return PyBool_FromLong(set_reaping(want != 0));
}

}  // namespace

PyMethodDef kThreadsMethods[] = {
    {"own_threads", fn_own_threads, METH_NOARGS,
     "own_threads()\n--\n\nHow many threads of kovel's own run now (the one that frees large terms): "
     "a fork leaves them consistent, so they do not make it unsafe."},
    {"background_free", fn_background_free, METH_O,
     "background_free(on, /)\n--\n\nWhether large dead terms are freed on a thread of kovel's own (they "
     "are at first), from now on; returns the setting before. A process as busy as the others sharing "
     "its cores (a pool's worker) is better off freeing its own."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
