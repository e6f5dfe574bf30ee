// texts_in: which of some short texts occur in a file's bytes. Deciding
// which files and rules can match asks it of every file for every word of
// every rule, and a word a file lacks costs a pass over all its bytes; here
// one pass looks for all of them at once.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "native.h"

namespace kovel::py::native {

namespace {

// Words are looked up by their first two bytes, hashed into a table of
// masks; a hit is checked with memcmp. Up to 64 words go in one pass.
constexpr std::size_t kSlots = 4096;
constexpr std::size_t kWordsPerPass = 64;

std::size_t slot(unsigned char a, unsigned char b) { return (a * 31u + b * 1009u) & (kSlots - 1); }

// Sets found[k] for each word of `words` (at most 64 of length >= 2) in `data`.
void scan(std::string_view data, std::span<const std::string_view> words, std::vector<bool>& found) {
  std::array<std::uint64_t, kSlots> table{};
  std::uint64_t pending = 0;
  for (std::size_t k = 0; k < words.size(); ++k) {
    const auto* w = reinterpret_cast<const unsigned char*>(words[k].data());
    table[slot(w[0], w[1])] |= std::uint64_t{1} << k;
    pending |= std::uint64_t{1} << k;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  for (std::size_t i = 0; pending && i + 1 < n; ++i) {
    std::uint64_t hit = table[slot(p[i], p[i + 1])] & pending;
    while (hit) {
      const int k = __builtin_ctzll(hit);
      hit &= hit - 1;
      const std::string_view w = words[static_cast<std::size_t>(k)];
      if (w.size() <= n - i && std::memcmp(p + i, w.data(), w.size()) == 0) {
        found[static_cast<std::size_t>(k)] = true;
        pending &= ~(std::uint64_t{1} << k);
      }
    }
  }
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
    for (std::size_t from = 0; from < longer.size(); from += kWordsPerPass) {
      const std::size_t to = std::min(longer.size(), from + kWordsPerPass);
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
