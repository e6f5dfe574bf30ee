// The stop check of long core work: releases the interpreter lock and runs
// the signal handlers now and then.
#include "unlocked.h"

namespace kovel::py {

namespace {

// How often the main thread takes the lock back to look for signals: often
// enough for Ctrl-C to feel immediate, rarely enough that waiting for the
// lock (another thread may hold it for up to the switch interval) costs
// little.
constexpr auto kSignalInterval = std::chrono::milliseconds(10);

// Whether the calling thread (holding the lock) is the interpreter's main
// thread, the only one that handles signals; -1 with the exception set if
// asking failed. Asking runs Python code, which can run a signal handler: its
// exception must stop the work, not be lost.
int on_main_thread() {
  PyRef threading(PyImport_ImportModule("threading"));
  PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) return -1;
  return id == PyThread_get_thread_ident();
}

}  // namespace

void Unlocked::relock() noexcept {
  if (saved_) PyEval_RestoreThread(std::exchange(saved_, nullptr));
}

bool Unlocked::poll() {
  if (!saved_) {  // the first check: the lock is held
    const int main = PyErr_CheckSignals() < 0 ? -1 : on_main_thread();
    if (main < 0) return true;
    main_thread_ = main == 1;
    last_check_ = std::chrono::steady_clock::now();
    saved_ = PyEval_SaveThread();
    return false;
  }
  if (!main_thread_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_check_ < kSignalInterval) return false;
  PyEval_RestoreThread(saved_);
  const bool stop = PyErr_CheckSignals() < 0;  // the exception stays with this thread
  saved_ = PyEval_SaveThread();
  last_check_ = std::chrono::steady_clock::now();
  return stop;
}

}  // namespace kovel::py
