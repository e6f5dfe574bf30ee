// tsparse: parse with tree-sitter's C runtime (linked into this library) and
// convert the tree to a term in one pass, with the GIL released; reparse an
// edited source with the old tree.
//
// The grammar comes as the PyCapsule its package hands out; the layout rules
// of each kind come as one byte per symbol, made once per grammar in Python
// (`kovel.treesitter.convert`).
#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tsconvert.h"

namespace kovel::py::native {

namespace {

using namespace ts;

struct Parsed {
  KRef term;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  TreePtr tree;  // kept when asked for
};

PyObject* parsed_tuple(Parsed& r) {
  PyRef spans(errors_tuple(r.errors));
  if (!spans) return nullptr;
  PyRef term(r.term ? new_kterm(std::move(r.term)) : Py_NewRef(Py_None));
  if (!term) return nullptr;
  PyRef tree(tree_capsule(r.tree));
  if (!tree) return nullptr;
  return PyTuple_Pack(3, term.get(), spans.get(), tree.get());
}

// The row and byte column of `offset` in `src`.
TSPoint point_at(std::string_view src, std::size_t offset) {
  const std::string_view head = src.substr(0, offset);
  const std::size_t lf = head.rfind('\n');
  const auto rows = static_cast<std::uint32_t>(std::count(head.begin(), head.end(), '\n'));
  const auto column = static_cast<std::uint32_t>(lf == std::string_view::npos ? offset : offset - lf - 1);
  return TSPoint{rows, column};
}

// The one edit that turns `old` into `now`: what lies between their common
// prefix and their common suffix.
TSInputEdit edit_between(std::string_view old, std::string_view now) {
  std::size_t pre = 0;
  const std::size_t most = std::min(old.size(), now.size());
  while (pre < most && old[pre] == now[pre]) ++pre;
  std::size_t suf = 0;
  while (suf < most - pre && old[old.size() - 1 - suf] == now[now.size() - 1 - suf]) ++suf;
  const auto u32 = [](std::size_t x) { return static_cast<std::uint32_t>(x); };
  return TSInputEdit{u32(pre),           u32(old.size() - suf),           u32(now.size() - suf),
                     point_at(old, pre), point_at(old, old.size() - suf), point_at(now, now.size() - suf)};
}

// One replacement: old bytes [start, end) became `length` new bytes.
struct Replaced {
  std::size_t start, end, length;
};

// The edits that turn `old` into `now`, one per replacement (in order, none
// overlapping), each in the coordinates of the text the ones before it
// made, as ts_tree_edit takes them in turn: only the replaced bytes are
// parsed again. Empty when the replacements do not make `now` of `old`.
std::vector<TSInputEdit> edits_between(std::string_view old, std::string_view now,
                                       const std::vector<Replaced>& replaced) {
  std::vector<TSInputEdit> out;
  out.reserve(replaced.size());
  std::size_t at_old = 0, at_new = 0;  // the ends of the last replacement
  TSPoint point{0, 0};                 // the point of `at_new` in `now`
  const auto advance = [](TSPoint p, std::string_view text) {
    const std::size_t lf = text.rfind('\n');
    if (lf == std::string_view::npos)
      return TSPoint{p.row, p.column + static_cast<std::uint32_t>(text.size())};
    return TSPoint{p.row + static_cast<std::uint32_t>(std::count(text.begin(), text.end(), '\n')),
                   static_cast<std::uint32_t>(text.size() - lf - 1)};
  };
  const auto u32 = [](std::size_t x) { return static_cast<std::uint32_t>(x); };
  for (const Replaced& r : replaced) {
    if (r.start < at_old || r.end < r.start || r.end > old.size()) return {};
    const std::size_t kept = r.start - at_old;
    if (kept > now.size() - at_new || old.substr(at_old, kept) != now.substr(at_new, kept)) return {};
    const std::size_t start = at_new + kept;
    if (r.length > now.size() - start) return {};
    const TSPoint start_point = advance(point, now.substr(at_new, kept));
    const std::string_view gone = old.substr(r.start, r.end - r.start);
    const std::string_view came = now.substr(start, r.length);
    out.push_back(TSInputEdit{u32(start), u32(start + gone.size()), u32(start + came.size()), start_point,
                              advance(start_point, gone), advance(start_point, came)});
    at_old = r.end;
    at_new = start + r.length;
    point = advance(start_point, came);
  }
  if (old.substr(at_old) != now.substr(at_new)) return {};
  return out;
}

bool replaced_arg(PyObject* o, std::vector<Replaced>& out) {
  const char* const wrong = "edits must be a sequence of (start, end, length) triples";
  const Py_ssize_t n = PySequence_Check(o) ? PySequence_Size(o) : -1;
  if (n < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, wrong);
    return false;
  }
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(o, i));
    if (!item) return false;
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 3) {
      PyErr_SetString(PyExc_TypeError, wrong);
      return false;
    }
    std::size_t v[3] = {0, 0, 0};
    for (Py_ssize_t k = 0; k < 3; ++k) {
      v[k] = PyLong_AsSize_t(PyTuple_GetItem(item.get(), k));
      if (v[k] == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    }
    out.push_back(Replaced{v[0], v[1], v[2]});
  }
  return true;
}

PyObject* fn_ts_reparse(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 && !arg_count("ts_reparse", nargs, 5)) return nullptr;
  std::vector<Replaced> replaced;
  const bool told = nargs == 5 && args[4] != Py_None;
  if (told && !replaced_arg(args[4], replaced)) return nullptr;
  auto* old_tree = capsule_tree(args[0]);
  if (!old_tree) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "tree must be a tree that ts_parse kept");
    return nullptr;
  }
  if (!PyBytes_Check(args[1]) || !PyBytes_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "the sources must be bytes");
    return nullptr;
  }
  char *old_data = nullptr, *data = nullptr;
  Py_ssize_t old_size = 0, size = 0;
  if (PyBytes_AsStringAndSize(args[1], &old_data, &old_size) < 0 ||
      PyBytes_AsStringAndSize(args[2], &data, &size) < 0)
    return nullptr;
  if (!source_fits(std::string_view(data, static_cast<std::size_t>(size)))) return nullptr;
  const TSNode old_root = ts_tree_root_node(old_tree);
  if (ts_node_end_byte(old_root) > static_cast<std::uint64_t>(old_size)) {
    PyErr_SetString(PyExc_ValueError, "the tree was not parsed from the old source");
    return nullptr;
  }
  std::optional<Deadline> deadline;
  if (!deadline_arg(args[3], deadline)) return nullptr;
  const std::string_view old(old_data, static_cast<std::size_t>(old_size));
  const std::string_view now(data, static_cast<std::size_t>(size));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> errors;
  bool timed_out = false;
  if (!without_gil([&] {
        const TSLanguage* lang = ts_tree_language(old_tree);
        TreePtr edited(ts_tree_copy(old_tree));
        std::vector<TSInputEdit> edits;
        if (told) edits = edits_between(old, now, replaced);
        if (edits.empty()) edits.push_back(edit_between(old, now));  // not told, or told wrong
        for (const TSInputEdit& edit : edits) ts_tree_edit(edited.get(), &edit);
        // An old tree edited across most of the text costs more than it lends.
        std::size_t replaced_bytes = 0;
        for (const TSInputEdit& edit : edits) replaced_bytes += edit.old_end_byte - edit.start_byte;
        const TSTree* lender = 2 * replaced_bytes > old.size() ? nullptr : edited.get();
        TreePtr tree = parse_tree(lang, now, deadline ? &*deadline : nullptr, lender);
        // Error recovery may take another path from a reused subtree: a tree
        // with errors is counted on a fresh parse, as the check always did.
        if (tree && ts_node_has_error(ts_tree_root_node(tree.get())))
          tree = parse_tree(lang, now, deadline ? &*deadline : nullptr);
        if (!tree)
          timed_out = true;
        else
          errors = error_spans(ts_tree_root_node(tree.get()));
      }))
    return nullptr;
  if (timed_out) Py_RETURN_NONE;
  return errors_tuple(errors);
}

PyObject* fn_ts_symbols(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("ts_symbols", nargs, 1)) return nullptr;
  const TSLanguage* lang = language_arg(args[0]);
  if (!lang) return nullptr;
  const std::uint32_t count = ts_language_symbol_count(lang);
  PyRef out(PyTuple_New(static_cast<Py_ssize_t>(count) + 2));
  if (!out) return nullptr;
  for (std::uint32_t i = 0; i < count + 2; ++i) {
    const TSSymbol sym = i < count ? static_cast<TSSymbol>(i) : static_cast<TSSymbol>(-1 - (i - count));
    const char* name = ts_language_symbol_name(lang, sym);
    PyObject* s = PyUnicode_FromString(name ? name : "");
    if (!s) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(i), s);
  }
  return out.release();
}

PyObject* fn_ts_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!arg_count("ts_parse", nargs, 5)) return nullptr;
  const int keep = PyObject_IsTrue(args[4]);
  if (keep < 0) return nullptr;
  const TSLanguage* lang = language_arg(args[0]);
  if (!lang) return nullptr;
  const bool convert = args[2] != Py_None;  // else only the error spans
  if (!PyBytes_Check(args[1]) || (convert && !PyBytes_Check(args[2]))) {
    PyErr_SetString(PyExc_TypeError, "source must be bytes, and kinds bytes or None");
    return nullptr;
  }
  char* data = nullptr;
  char* flag_data = nullptr;
  Py_ssize_t size = 0, nflags = 0;
  if (PyBytes_AsStringAndSize(args[1], &data, &size) < 0 ||
      (convert && PyBytes_AsStringAndSize(args[2], &flag_data, &nflags) < 0))
    return nullptr;
  if (convert && !kinds_fit(lang, std::string_view(flag_data, static_cast<std::size_t>(nflags))))
    return nullptr;
  if (!source_fits(std::string_view(data, static_cast<std::size_t>(size)))) return nullptr;
  std::optional<Deadline> deadline;
  if (!deadline_arg(args[3], deadline)) return nullptr;
  const std::string_view src(data, static_cast<std::size_t>(size));
  const std::string_view flags(flag_data, static_cast<std::size_t>(nflags));
  if (convert && !convert::valid_utf8(src)) {
    PyErr_SetString(PyExc_ValueError, "source is not valid UTF-8");
    return nullptr;
  }
  // Nothing below touches a Python object until the GIL is back.
  Parsed result;
  bool timed_out = false;
  if (!without_gil([&] {
        // A tree that is not kept is read once and dropped: it may live in scratch memory.
        std::optional<ScratchParse> scratch;
        TreePtr kept;
        const TSTree* tree = parse_once(lang, src, deadline ? &*deadline : nullptr, keep, kept, scratch);
        if (!tree) {
          timed_out = true;
        } else {
          const TSNode root = ts_tree_root_node(tree);
          if (convert) {
            Kinds kinds(lang, flags);
            Walker walker(kinds, src);
            result.term = walker.run(root, 0, src.size(), false);
          }
          result.errors = error_spans(root);
          result.tree = std::move(kept);
        }
      }))
    return nullptr;
  if (timed_out) Py_RETURN_NONE;
  return guarded([&] { return parsed_tuple(result); });
}

PyObject* fn_ts_scratch_budget(PyObject*, PyObject* arg) {
  const std::size_t bytes = arg == Py_None ? 0 : PyLong_AsSize_t(arg);
  if (bytes == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  ScratchParse::set_budget(bytes);
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef kTsParseMethods[] = {
    {"ts_symbols", as_cfunc(fn_ts_symbols), METH_FASTCALL,
     "ts_symbols(language, /)\n--\n\n"
     "The names of the symbols of the grammar ``language`` (its PyCapsule), by\n"
     "symbol id, then those of tree-sitter's two error symbols.\n"},
    {"ts_parse", as_cfunc(fn_ts_parse), METH_FASTCALL,
     "ts_parse(language, source, kinds, timeout, keep, /)\n--\n\n"
     "Parse the UTF-8 bytes ``source`` with the grammar ``language`` (its\n"
     "PyCapsule) and convert the tree, without holding the GIL: (term, error\n"
     "spans, the tree if ``keep`` else None), or None when ``timeout`` seconds\n"
     "(None: no limit) ran out first.\n"
     "``kinds`` holds a byte per symbol of ``ts_symbols``: 1 literal, 2 may be\n"
     "anchored, 4 anchored whenever at column 0; with None the tree is not\n"
     "converted and the term is None.\n"},
    {"ts_reparse", as_cfunc(fn_ts_reparse), METH_FASTCALL,
     "ts_reparse(tree, old_source, source, timeout, edits=None, /)\n--\n\n"
     "The error spans of ``source``, an edit of ``old_source``, parsed with\n"
     "``tree`` (kept by ``ts_parse`` from ``old_source``) edited to match: its\n"
     "unchanged subtrees are reused. ``edits`` are the replacements made, as\n"
     "(start, end, length) in ascending order: bytes [start, end) of\n"
     "``old_source`` became ``length`` bytes; without them (or when they do not\n"
     "make ``source``) the edit is all between the common prefix and suffix.\n"
     "A tree with errors is parsed afresh, so the spans are those of a fresh\n"
     "parse. None when ``timeout`` ran out.\n"},
    {"ts_scratch_budget", fn_ts_scratch_budget, METH_O,
     "ts_scratch_budget(bytes, /)\n--\n\n"
     "The bytes a parse whose tree is not kept may take from scratch memory\n"
     "(dropped at once when the tree has been read) before its blocks come\n"
     "from the pool again; None: the default, by the source's size. For tests.\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kovel::py::native
