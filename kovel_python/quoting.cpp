// quote, unquote and from_postcard_bytes: terms the other functions can't make.
#include <vector>

#include "args.h"
#include "postcard.h"
#include "types.h"
#include "unlocked.h"

namespace kovel::py {

namespace {

using QuoteFn = KRef (*)(std::string_view, std::uint8_t, std::string_view, KRef, std::span<const CmdOrHole>);

// Arguments are converted in order; the first failure is the one reported.
template <QuoteFn make>
PyObject* quote_like(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* names[] = {"tag", "index", "lang", "term", "cmds"};
  PyObject* a[5];
  std::string_view tag, lang;
  std::uint8_t index;
  if (!bind_args(display, names, args, nargs, kwnames, a) || !to_text(a[0], "tag", tag) ||
      !to_u8(a[1], "index", index) || !to_text(a[2], "lang", lang) ||
      !check_instance(a[3], kterm_type(), "KTerm", "term") || !kterm_value(a[3]))
    return nullptr;
  // Converting cmds may run Python code; hold the term object meanwhile.
  PyRef term_obj(Py_NewRef(a[3]));
  return guarded([&]() -> PyObject* {
    std::vector<CmdOrHole> cmds;
    if (!to_cmds(a[4], "cmds", cmds)) return nullptr;
    const KRef& inner = reinterpret_cast<PyKTerm*>(term_obj.get())->term;
    return new_kterm(make(tag, index, lang, inner, cmds));
  });
}

PyObject* fn_quote(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return quote_like<quote>("quote()", args, nargs, kwnames);
}

PyObject* fn_unquote(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return quote_like<unquote>("unquote()", args, nargs, kwnames);
}

PyObject* fn_from_postcard_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* names[] = {"data"};
  PyObject* a[1];
  std::string_view data;
  if (!bind_args("from_postcard_bytes()", names, args, nargs, kwnames, a) || !to_bytes(a[0], "data", data))
    return nullptr;
  // `data` points into an immutable bytes object (to_bytes accepts nothing
  // else), kept alive here while the lock is released.
  const PyRef pinned(Py_NewRef(a[0]));
  DecodeResult r;
  if (!run_unlocked([&](const StopCheck* stop) { r = decode_term(data, stop); })) return nullptr;
  return guarded([&]() -> PyObject* {
    if (!r.ok()) {
      PyErr_SetString(PyExc_ValueError, std::string(message(r.error)).c_str());
      return nullptr;
    }
    return new_kterm(std::move(r.term));
  });
}

}  // namespace

PyMethodDef kQuoteDef = {"quote", as_cfunc(fn_quote), kFastKw,
                         "quote(tag, index, lang, term, cmds)\n--\n\nA quoted fragment."};
PyMethodDef kUnquoteDef = {"unquote", as_cfunc(fn_unquote), kFastKw,
                           "unquote(tag, index, lang, term, cmds)\n--\n\nAn unquoted splice."};
PyMethodDef kFromPostcardBytesDef = {"from_postcard_bytes", as_cfunc(fn_from_postcard_bytes), kFastKw,
                                     "from_postcard_bytes(data)\n--\n\nDeserialize a `KTerm` from postcard "
                                     "bytes (the `rs\xe2\x86\x93` protocol in "
                                     "Python)."};

}  // namespace kovel::py
