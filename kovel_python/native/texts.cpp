// texts_in: which of some short texts occur in a file's bytes. Deciding
// which files and rules can match asks it of every file for every word of
// every rule, and a word a file lacks costs a pass over all its bytes; here
// one pass looks for all of them at once (wordscan.h).
//
// read_lacking: a file read only to learn that it lacks a text a match
// needs. A run asks it of every file before it sends one to a worker, in
// the process that hands out the work: done here, without the GIL, it costs
// the system calls alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
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

// The bytes of the regular file at `path`, if it is one of at most `most`
// bytes that can be read; else nullopt. Run without the GIL.
std::optional<std::string> read_regular(const char* path, long long most) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> out;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= most) {
    // One byte more than its size: a short read is the end, and a file
    // grown since is read on to its end (or past `most`, given up).
    std::string data(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t have = 0;
    for (;;) {
      if (have == data.size()) {
        if (static_cast<long long>(have) > most) break;
        data.resize(2 * data.size());
      }
      const ssize_t n = ::read(fd, data.data() + have, data.size() - have);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) {
        data.resize(have);
        out = std::move(data);
        break;
      }
      have += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return out;
}

// Whether `data` holds `word`; one that starts with the byte 0xff (which no
// UTF-8 text holds) holds the rest as a whole word: no letter, digit nor
// underscore against it, but for the end of a number before it.
bool holds(std::string_view data, std::string_view word) {
  if (word.empty() || static_cast<unsigned char>(word.front()) != 0xff)
    return data.find(word) != std::string_view::npos;
  word.remove_prefix(1);
  // (ASCII alone, whatever the locale says of other bytes.)
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const auto name_part = [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || digit(c);
  };
  // A word starts after none of those, or where what stands against it
  // starts with a digit: the end of a number (`1if`, Ruby's `0x1fif`).
  const auto starts_word = [&](std::size_t at) {
    std::size_t start = at;
    while (start > 0 && name_part(data[start - 1])) --start;
    return start == at || digit(data[start]);
  };
  for (std::size_t at = data.find(word); at != std::string_view::npos; at = data.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if (starts_word(at) && (end == data.size() || !name_part(data[end]))) return true;
  }
  return false;
}

// read_lacking(path, words, most): see the method table.
PyObject* fn_read_lacking(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("read_lacking", nargs, 3)) return nullptr;
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(args[0], &encoded)) return nullptr;
  PyRef path(encoded);
  if (!PyTuple_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "read_lacking() takes a tuple of bytes");
    return nullptr;
  }
  const long long most = PyLong_AsLongLong(args[2]);
  if (most == -1 && PyErr_Occurred()) return nullptr;
  // Views into the tuple's bytes, which outlive the call and never change.
  std::vector<std::string_view> words;
  for (Py_ssize_t k = 0; k < PyTuple_Size(args[1]); ++k) {
    char* wb = nullptr;
    Py_ssize_t wn = 0;
    PyObject* w = PyTuple_GetItem(args[1], k);
    if (!PyBytes_Check(w) || PyBytes_AsStringAndSize(w, &wb, &wn) < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "read_lacking() takes a tuple of bytes");
      return nullptr;
    }
    words.emplace_back(wb, static_cast<std::size_t>(wn));
  }
  const char* name = PyBytes_AsString(path.get());
  if (!name) return nullptr;
  std::optional<std::string> data;
  bool lacking = false, no_memory = false;
  Py_BEGIN_ALLOW_THREADS;
  try {
    data = read_regular(name, most);
    lacking = data && std::any_of(words.begin(), words.end(),
                                  [&](std::string_view w) { return !holds(std::string_view(*data), w); });
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS;
  if (no_memory) return PyErr_NoMemory();
  if (!lacking) return Py_NewRef(Py_None);
  return PyBytes_FromStringAndSize(data->data(), static_cast<Py_ssize_t>(data->size()));
}

}  // namespace

PyMethodDef kTextsMethods[] = {
    {"read_lacking", as_cfunc(fn_read_lacking), METH_FASTCALL,
     "read_lacking(path, words, most, /)\n--\n\nThe bytes of the regular file at ``path`` when they lack one "
     "of\n"
     "``words`` (a tuple of bytes; one starting with the byte 0xff, the rest as a whole word);\n"
     "None when they hold them all, or the file is larger than\n"
     "``most`` bytes, is not a regular file or cannot be read (whoever parses it says why).\n"
     "The GIL is released while the file is read and searched."},
    {"texts_in", as_cfunc(fn_texts_in), METH_FASTCALL,
     "texts_in(data, words, /)\n--\n\nThe items of the tuple ``words`` (bytes) that occur in the bytes\n"
     "``data``, in the order given: one pass over ``data`` for all of them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
