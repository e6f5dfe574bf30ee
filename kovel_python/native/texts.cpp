// texts_in: which of some short texts occur in a file's bytes. Deciding
// which files and rules can match asks it of every file for every word of
// every rule, and a word a file lacks costs a pass over all its bytes; here
// one pass looks for all of them at once (wordscan.h).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "native.h"
#include "wordscan.h"

namespace kovel::py::native {

namespace {

// Sets found[k] for each word of `words` (at most 64 of length >= 2) in `data`.
void scan(std::string_view data, std::span<const std::string_view> words, std::vector<bool>& found) {
  std::uint64_t live = words.size() == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << words.size()) - 1;
  wordscan::each_start(data, words, live, [&](std::size_t k, std::size_t) {
    found[k] = true;
    return live &= ~(std::uint64_t{1} << k);
  });
}

// texts_in(data, words): the words (bytes) that occur in data, in the order given.
PyObject* fn_texts_in(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("texts_in", nargs, 2)) return nullptr;
  if (!PyBytes_Check(args[0]) || !PyTuple_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "texts_in() takes bytes and a tuple of bytes");
    return nullptr;
  }
  char* buf = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(args[0], &buf, &size) < 0) return nullptr;
  const std::string_view data(buf, static_cast<std::size_t>(size));
  const Py_ssize_t count = PyTuple_Size(args[1]);
  std::vector<std::string_view> words;
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* w = PyTuple_GetItem(args[1], k);
    char* wb = nullptr;
    Py_ssize_t wn = 0;
    if (!PyBytes_Check(w) || PyBytes_AsStringAndSize(w, &wb, &wn) < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "texts_in() takes a tuple of bytes");
      return nullptr;
    }
    words.emplace_back(wb, static_cast<std::size_t>(wn));
  }
  return guarded([&]() -> PyObject* {
    std::vector<bool> found(words.size(), false);
    // Empty and one-byte words need no table: memchr finds a byte fastest.
    std::vector<std::string_view> longer;
    std::vector<std::size_t> at;  // the index of each of `longer` among `words`
    for (std::size_t k = 0; k < words.size(); ++k) {
      if (words[k].size() < 2) {
        found[k] = words[k].empty() || std::memchr(data.data(), words[k][0], data.size()) != nullptr;
      } else {
        longer.push_back(words[k]);
        at.push_back(k);
      }
    }
    for (std::size_t from = 0; from < longer.size(); from += wordscan::kPerPass) {
      const std::size_t to = std::min(longer.size(), from + wordscan::kPerPass);
      const auto part = std::span<const std::string_view>(longer).subspan(from, to - from);
      std::vector<bool> hits(part.size(), false);
      scan(data, part, hits);
      for (std::size_t k = 0; k < part.size(); ++k)
        if (hits[k]) found[at[from + k]] = true;
    }
    PyRef out(PyList_New(0));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < words.size(); ++k)
      if (found[k] && PyList_Append(out.get(), PyTuple_GetItem(args[1], static_cast<Py_ssize_t>(k))) < 0)
        return nullptr;
    return out.release();
  });
}

}  // namespace

PyMethodDef kTextsMethods[] = {
    {"texts_in", as_cfunc(fn_texts_in), METH_FASTCALL,
     "texts_in(data, words, /)\n--\n\nThe items of the tuple ``words`` (bytes) that occur in the bytes\n"
     "``data``, in the order given: one pass over ``data`` for all of them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
