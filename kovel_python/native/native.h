// What the files of the `_native` module share: argument checks, the cached
// names and the function tables each file contributes.
#pragma once

#include <string_view>
#include <vector>

#include "../common.h"

namespace kovel::py::native {

// Makes, runs and registers (in sys.modules and in the package) the module
// `_native` beside `kovel_module`, the `_kovel` whose initialisation calls
// this: "kovel._native" for "kovel._kovel". A new reference, or nullptr with
// an exception set and nothing registered.
PyObject* make_module(PyObject* kovel_module);

// Function tables, each ending with a zeroed entry; module.cpp registers
// every table listed in its kTables. A new concern adds its file, a table
// here and one line there.
extern PyMethodDef kReadMethods[];
extern PyMethodDef kMakeMethods[];
extern PyMethodDef kWalkMethods[];
extern PyMethodDef kRewriteMethods[];
extern PyMethodDef kMeasureMethods[];
extern PyMethodDef kConvertMethods[];
extern PyMethodDef kMatchMethods[];
extern PyMethodDef kFillMethods[];
extern PyMethodDef kLayoutMethods[];
extern PyMethodDef kTsParseMethods[];
extern PyMethodDef kThreadsMethods[];
extern PyMethodDef kTsMatchMethods[];
extern PyMethodDef kPostcardMatchMethods[];
extern PyMethodDef kLinesMethods[];
extern PyMethodDef kTextsMethods[];

// Strings made once at the first import and kept for the process, like the
// KTerm type: the variant names, the command names and "".
struct Names {
  PyObject* variant[3];  // indexed by KTerm::Variant: "quote", "unquote", "tuple"
  PyObject* op[5];       // indexed by Op: "write", "nl", "push", "pop", "hole"
  PyObject* empty;
};
enum Op { kWrite = 0, kNl = 1, kPush = 2, kPop = 3, kHole = 4 };
const Names& names();
bool init_names();

// The term behind `o`, or nullptr with a TypeError naming the parameter
// (`o` not a KTerm) or saying that the KTerm has no value.
const KTerm* term_arg(PyObject* o, const char* param);

// Raises TypeError "{fn} takes exactly {n} arguments ({nargs} given)" and
// returns false unless nargs == n.
bool arg_count(const char* fn, Py_ssize_t nargs, Py_ssize_t n);
// A str argument's UTF-8 text; false with TypeError naming `param` otherwise.
bool str_arg(PyObject* o, const char* param, std::string_view& out);

// A METH_FASTCALL function as stored in a PyMethodDef.
using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
inline PyCFunction as_cfunc(FastFn f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A tuple of paths' positions, (i0, i1, ...).
PyObject* path_tuple(std::span<const std::uint64_t> path);

// The type of the paths walks hand out (path.cpp), made on first use.
PyTypeObject* path_type();
// A new path: `parent`'s (nullptr or the empty path for none) extended by
// `index`, or with `empty` the empty path.
PyObject* new_path(PyObject* parent, std::uint64_t index, bool empty = false);
// Reads a path argument (a Path, or any iterable of ints) into `out`; a
// position too large or negative becomes one no node has. False with
// TypeError for anything else.
bool path_arg(PyObject* o, std::vector<std::uint64_t>& out);
// Sets the last position of `path` in place if nothing else holds it (nor
// a child path): true if it did.
bool reuse_path(PyObject* path, std::uint64_t index);

}  // namespace kovel::py::native
