// PanicException: how a broken invariant of the core reaches Python.
#include "common.h"

namespace kovel::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails fatally (a broken internal\n"
    "invariant of kovel's core).\n\n"
    "Like `SystemExit`, it derives from `BaseException` rather than `Exception`, so\n"
    "it normally propagates all the way up and ends the interpreter.";

// Created once per process; only ever touched with the interpreter held.
PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (!type) {
    PyObject* t =
        PyErr_NewExceptionWithDoc("kovel._kovel.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (!t) return nullptr;
    if (!type) {
      type = t;
    } else {
      Py_DECREF(t);
    }
  }
  return type;
}

}  // namespace

void raise_panic(const char* where, const char* message) {
  // Report first, with the exception state clear so the report can be written.
  PyObject *et, *ev, *tb;
  PyErr_Fetch(&et, &ev, &tb);
  PySys_FormatStderr("kovel: internal failure in %s: %s\n", where, message);
  PyErr_Restore(et, ev, tb);
  PyErr_Clear();
  PyObject* type = panic_type();
  if (!type) return;
  PyErr_SetString(type, message);
}

void raise_from_current_exception() noexcept {
  try {
    throw;
  } catch (const Panic& p) {
    raise_panic(p.where(), p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic("kovel", e.what());
  } catch (...) {
    raise_panic("kovel", "unknown internal failure");
  }
}

}  // namespace kovel::py
