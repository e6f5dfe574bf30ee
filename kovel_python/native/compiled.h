// Compiled patterns as `_native` hands them out (capsules), and the match
// items made of a search's results: shared by the search of a term
// (`match.cpp`) and that of a source parsed for it (`tsmatch.cpp`).
#pragma once

#include <vector>

#include "match.h"
#include "native.h"

namespace kovel::py::native {

// What a capsule holds: the pattern and the objects its matches are made of.
struct Compiled {
  Pattern pattern;
  std::vector<PyObject*> names;  // per slot: the key of its binding
  PyObject* siblings = nullptr;  // called as siblings(items, raw) for a run

  Compiled() = default;
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
  ~Compiled() {
    for (PyObject* n : names) Py_DECREF(n);
    Py_XDECREF(siblings);
  }
};

// The pattern of a capsule from compile_pattern(), or nullptr with TypeError.
const Compiled* compiled_arg(PyObject* o);

// The items of `found` (one search's matches, in document order):
// (path, term, start, end, bindings, offsets) tuples.
PyObject* match_list(const Compiled& c, const std::vector<Found>& found);

}  // namespace kovel::py::native
