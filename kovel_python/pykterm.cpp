// The KTerm class: a Python handle to one shared term.
#include <string>

#include "postcard.h"
#include "reaper.h"
#include "repr_quote.h"
#include "types.h"
#include "unlocked.h"

namespace kovel::py {

namespace {

PyObject* text_to_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// Runs `work(term, stop)` on the term of `self` without the lock once it
// takes long (the term is immutable; the reference taken keeps it alive).
template <class F>
bool with_term_unlocked(PyObject* self, F&& work) {
  const KTerm* t = kterm_value(self);
  if (!t) return false;
  const KRef keep = KRef::share(t);
  return run_unlocked([&](const StopCheck* stop) { work(*keep, stop); });
}

// Frees the nodes that die with the object: a few thousand here, and the
// rest of a large term (a million nodes take milliseconds) on the reaper's
// thread, or here without the lock when it has too much to do.
void kterm_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto* obj = reinterpret_cast<PyKTerm*>(self);
  const KTerm* t = obj->term.detach();
  obj->~PyKTerm();
  if (KTerm* dead = t ? t->drop() : nullptr) {
    constexpr std::size_t kUnderLock = 4096;
    if ((dead = KTerm::free_some(dead, kUnderLock)) && !reap_later(dead)) {
      Py_BEGIN_ALLOW_THREADS KTerm::free_some(dead, SIZE_MAX);
      Py_END_ALLOW_THREADS
    }
  }
  PyObject_Free(self);
  Py_DECREF(tp);
}

PyObject* kterm_str(PyObject* self) {
  TextBuffer text;
  if (!with_term_unlocked(self, [&](const KTerm& t, const StopCheck* stop) { text = t.render(stop); }))
    return nullptr;
  return text_to_str(text.view());
}

PyObject* kterm_repr(PyObject* self) {
  std::string out;
  if (!with_term_unlocked(self, [&](const KTerm& t, const StopCheck* stop) {
        const TextBuffer text = t.render(stop);
        out.reserve(text.size() + 9);
        out += "KTerm(";
        append_repr_quoted(out, text.view());
        out += ')';
      }))
    return nullptr;
  return text_to_str(out);
}

PyObject* kterm_coparse(PyObject* self, PyObject*) { return kterm_str(self); }

PyObject* kterm_postcard_bytes(PyObject* self, PyObject*) {
  TextBuffer bytes;
  if (!with_term_unlocked(self, [&](const KTerm& t, const StopCheck* stop) { encode_term(t, bytes, stop); }))
    return nullptr;
  const std::string_view v = bytes.view();
  return PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}

// Compiles the text as one expression, as text: the builtin compile() given a
// str ignores a coding declaration (the text is decoded already), where
// Py_CompileString would re-decode the UTF-8 bytes by it. No flags, and none
// inherited from the calling code, as with Py_CompileString.
PyObject* compile_text(const std::string& text) {
  PyRef source(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!source) return nullptr;
  PyRef builtins(PyImport_ImportModule("builtins"));
  if (!builtins) return nullptr;
  PyRef compile(PyObject_GetAttrString(builtins.get(), "compile"));
  if (!compile) return nullptr;
  return PyObject_CallFunction(compile.get(), "Ossii", source.get(), "<string>", "eval", 0, 1);
}

// Compiles the text as an expression and evaluates it in __main__'s namespace.
PyObject* eval_in_main(const std::string& text) {
  if (const auto nul = text.find('\0'); nul != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "nul byte found in provided data at position: %zu", nul);
    return nullptr;
  }
  PyRef code(compile_text(text));
  if (!code) return nullptr;
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  if (!main) return nullptr;
  PyRef globals(PyObject_GetAttrString(main, "__dict__"));
  if (!globals) return nullptr;
  if (!PyDict_Check(globals.get())) {
    PyRef qual(PyType_GetQualName(Py_TYPE(globals.get())));
    if (!qual) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'dict'", qual.get());
    return nullptr;
  }
  PyRef key(PyUnicode_FromString("__builtins__"));
  if (!key) return nullptr;
  if (!PyDict_GetItemWithError(globals.get(), key.get())) {
    if (PyErr_Occurred()) return nullptr;
    if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
  }
  return PyEval_EvalCode(code.get(), globals.get(), globals.get());
}

PyObject* kterm_reduce(PyObject* self, PyObject*) {
  std::string text;
  if (!with_term_unlocked(self, [&](const KTerm& t, const StopCheck* stop) { text = t.coparse(stop); }))
    return nullptr;
  return eval_in_main(text);
}

PyMethodDef kterm_methods[] = {
    {"coparse", kterm_coparse, METH_NOARGS, "coparse($self)\n--\n\nSerialize the term back to source code."},
    {"postcard_bytes", kterm_postcard_bytes, METH_NOARGS,
     "postcard_bytes($self)\n--\n\nSerialize this term to postcard bytes for the heterogeneous "
     "`py\xe2\x86\x93` "
     "protocol."},
    {"reduce", kterm_reduce, METH_NOARGS,
     "reduce($self)\n--\n\nEval this term's source and return the resulting Python value (the `\xe2\x86\x93` "
     "operator)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kterm_slots[] = {
    {Py_tp_doc, const_cast<char*>("A `kovel` term: a shared handle to a core `KTerm`.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kterm_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(kterm_str)},
    {Py_tp_repr, reinterpret_cast<void*>(kterm_repr)},
    {Py_tp_methods, kterm_methods},
    {0, nullptr},
};

PyType_Spec kterm_spec = {"builtins.KTerm", sizeof(PyKTerm), 0, Py_TPFLAGS_DEFAULT, kterm_slots};

PyTypeObject* g_kterm_type = nullptr;

}  // namespace

PyTypeObject* kterm_type() { return create_type_once(g_kterm_type, kterm_spec); }

PyObject* new_kterm(KRef t) { return new_wrapper(kterm_type(), &PyKTerm::term, std::move(t)); }

}  // namespace kovel::py
