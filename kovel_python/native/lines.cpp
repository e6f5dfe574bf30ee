// line_starts: where each line of a text starts, in characters. Reporting a
// match asks for its line and column; a file is split into lines once.
#include <cstring>

#include "native.h"

namespace kovel::py::native {

namespace {

PyObject* fn_line_starts(PyObject*, PyObject* arg) {
  std::string_view text;
  if (!str_arg(arg, "text", text)) return nullptr;
  PyRef out(PyList_New(0));
  if (!out) return nullptr;
  PyRef zero(PyLong_FromLong(0));
  if (!zero || PyList_Append(out.get(), zero.get()) < 0) return nullptr;
  const char* const s = text.data();
  const char* const end = s + text.size();
  const char* counted = s;  // characters before `counted` are in `chars`
  Py_ssize_t chars = 0;
  for (const char* p = s; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr;) {
    ++p;
    // A character is a byte that does not continue one (UTF-8).
    for (; counted < p; ++counted) chars += (static_cast<unsigned char>(*counted) & 0xC0) != 0x80;
    PyRef at(PyLong_FromSsize_t(chars));
    if (!at || PyList_Append(out.get(), at.get()) < 0) return nullptr;
  }
  return out.release();
}

}  // namespace

PyMethodDef kLinesMethods[] = {
    {"line_starts", fn_line_starts, METH_O,
     "line_starts(text, /)\n--\n\nThe offset of each line's first character (a line ends after a line "
     "feed)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
