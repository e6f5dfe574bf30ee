// Argument binding and conversion shared by every function and method.
#pragma once

#include "common.h"

#include <span>
#include <string_view>
#include <vector>

namespace kovel::py {

// Binds vectorcall arguments to `names` (all required, by position or
// keyword); `out` receives borrowed references. Raises the binding TypeErrors
// with `display` (e.g. "sym()") and returns false on failure.
bool bind_args_slow(const char* display, std::span<const char* const> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
inline bool bind_args(const char* display, std::span<const char* const> names, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  // The common call: every argument by position.
  if (!kwnames && nargs == static_cast<Py_ssize_t>(names.size())) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
  }
  return bind_args_slow(display, names, args, nargs, kwnames, out);
}

// Raises "'{type}' object is not an instance of '{cls}'" (or the None form),
// prefixed with "argument '{param}': " when `param` is given.
void raise_cast_error(PyObject* obj, const char* cls, const char* param = nullptr);

// If the pending exception is exactly a TypeError, replaces it by one whose
// message starts with "argument '{param}': " and that keeps its cause.
void prefix_type_error(const char* param);

// Conversions. Each returns false with the (prefixed) exception set.
bool to_text(PyObject* o, const char* param, std::string_view& out);
bool to_u8(PyObject* o, const char* param, std::uint8_t& out);
bool to_bytes(PyObject* o, const char* param, std::string_view& out);
bool to_cmds(PyObject* o, const char* param, std::vector<CmdOrHole>& out);
// An exact instance of `tp`, named `cls` in the error.
bool check_instance(PyObject* o, PyTypeObject* tp, const char* cls, const char* param);

// The body of a function of one text parameter `s` (sym, name, write, push):
// binds and converts it, then wraps `make(s)`.
template <auto make>
PyObject* one_text_function(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* names[] = {"s"};
  PyObject* a[1];
  std::string_view s;
  if (!bind_args(display, names, args, nargs, kwnames, a) || !to_text(a[0], "s", s)) return nullptr;
  return guarded([&] { return wrap(make(s)); });
}

}  // namespace kovel::py
