// line_starts: where each line of a text starts, in characters. Reporting a
// match asks for its line and column; a file is split into lines once.
// line_table: the same, with the UTF-8 byte offsets too, as packed arrays:
// a large file has hundreds of thousands of lines, and an int object each
// cost more than finding them.
#include <cstdint>
#include <cstring>
#include <vector>

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

PyObject* fn_line_table(PyObject*, PyObject* arg) {
  std::string_view text;
  if (!str_arg(arg, "text", text)) return nullptr;
  std::vector<std::int64_t> chars{0}, bytes{0};
  const char* const s = text.data();
  const char* const end = s + text.size();
  const char* counted = s;
  std::int64_t n = 0;
  try {
    for (const char* p = s; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr;) {
      ++p;
      for (; counted < p; ++counted) n += (static_cast<unsigned char>(*counted) & 0xC0) != 0x80;
      chars.push_back(n);
      bytes.push_back(p - s);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  const auto packed = [](const std::vector<std::int64_t>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(std::int64_t)));
  };
  PyRef c(packed(chars));
  if (!c) return nullptr;
  PyRef b(packed(bytes));
  if (!b) return nullptr;
  return PyTuple_Pack(2, c.get(), b.get());
}

}  // namespace

PyMethodDef kLinesMethods[] = {
    {"line_starts", fn_line_starts, METH_O,
     "line_starts(text, /)\n--\n\nThe offset of each line's first character (a line ends after a line "
     "feed)."},
    {"line_table", fn_line_table, METH_O,
     "line_table(text, /)\n--\n\nThe offset of each line's first character and first UTF-8 byte, as two "
     "packed arrays of native 64-bit integers (memoryview(b).cast('q'))."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
