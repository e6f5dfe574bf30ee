// Lifting Python values into terms: klift (Python source) and klift_html.
#include <charconv>
#include <string>

#include "args.h"
#include "escape.h"
#include "types.h"

namespace kovel::py {

namespace {

// The value as a signed 64-bit integer, via __index__ for non-ints. Any
// failure is cleared: the caller then tries the next kind of value.
bool lift_integer(PyObject* value, long long& out) {
  PyRef index;
  if (!PyLong_Check(value)) {
    index = PyRef(PyNumber_Index(value));
    if (!index) {
      PyErr_Clear();
      return false;
    }
    value = index.get();
  }
  out = PyLong_AsLongLong(value);
  if (out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool lift_text(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) return false;
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(value, &n);
  if (!s) {
    PyErr_Clear();
    return false;
  }
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

std::string decimal(long long v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  return std::string(buf, end);
}

// The quote leaves of a string literal are immutable and the same for every
// string, so one shared leaf serves them all.
const KRef& string_start() {
  static const KRef t = leaf("string_start", "\"");
  return t;
}

const KRef& string_end() {
  static const KRef t = leaf("string_end", "\"");
  return t;
}

// A Python string literal that evaluates back to `s`.
KRef python_string(std::string_view s) {
  std::string content;
  append_python_string_escaped(content, s);
  KTermBuilder b = tb("string");
  b.child(string_start()).child(leaf("string_content", content)).child(string_end());
  return std::move(b).b();
}

KRef html_text(std::string_view s) {
  std::string code;
  append_html_escaped(code, s);
  return leaf("text", code);
}

template <bool html>
PyObject* lift(const char* display, const char* unsupported, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  static constexpr const char* names[] = {"value"};
  PyObject* a[1];
  if (!bind_args(display, names, args, nargs, kwnames, a)) return nullptr;
  PyObject* value = a[0];
  PyTypeObject* kterm = kterm_type();
  if (!kterm) return nullptr;
  if (PyObject_TypeCheck(value, kterm)) {
    const KTerm* t = kterm_value(value);
    return t ? new_kterm(KRef::share(t)) : nullptr;
  }
  long long n;
  if (lift_integer(value, n))
    return guarded([&] { return new_kterm(leaf(html ? "text" : "integer", decimal(n))); });
  std::string_view s;
  if (lift_text(value, s)) return guarded([&] { return new_kterm(html ? html_text(s) : python_string(s)); });
  PyErr_SetString(PyExc_TypeError, unsupported);
  return nullptr;
}

PyObject* fn_klift(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lift<false>("klift()", "klift: unsupported type (expected int, str, or KTerm)", args, nargs,
                     kwnames);
}

PyObject* fn_klift_html(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lift<true>("klift_html()", "klift_html: unsupported type (expected int, str, or KTerm)", args, nargs,
                    kwnames);
}

}  // namespace

PyMethodDef kKliftDef = {"klift", as_cfunc(fn_klift), kFastKw,
                         "klift(value)\n--\n\n"
                         "Lift a Python value to a term that reconstructs it (the `\xe2\x86\x91` operator).\n"
                         "Supports `int`, `str`, and existing `KTerm`s."};
PyMethodDef kKliftHtmlDef = {
    "klift_html", as_cfunc(fn_klift_html), kFastKw,
    "klift_html(value)\n--\n\n"
    "Lift a Python value to an HTML term (the `\xe2\x86\x91` operator with an `html`\n"
    "splice target). Strings become entity-escaped `text` leaves \xe2\x80\x94 inert as\n"
    "text content or as a double-quoted attribute value \xe2\x80\x94 and terms pass\n"
    "through unchanged, so already-built fragments can be lifted too."};

}  // namespace kovel::py
