// Long core work run without the interpreter lock, and interruptible.
#pragma once

#include <chrono>

#include "common.h"
#include "interrupt.h"

namespace kovel::py {

// The stop check given to long core work called from Python. The work starts
// with the lock held; the first check (after about a millisecond of work, so
// short calls pay nothing) runs the signal handlers and releases the lock.
// Later checks on the main thread take the lock back briefly, at most every
// few milliseconds, to run the signal handlers again; other threads never
// handle signals, so they never take it back.
class Unlocked {
 public:
  Unlocked() = default;
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { relock(); }

  const StopCheck* check() const { return &check_; }
  // Holds the lock again (if it was released).
  void relock() noexcept;

 private:
  static bool poll(void* self) { return static_cast<Unlocked*>(self)->poll(); }
  bool poll();

  StopCheck check_{&Unlocked::poll, this};
  PyThreadState* saved_ = nullptr;  // set while the lock is released
  bool main_thread_ = false;
  std::chrono::steady_clock::time_point last_check_;
};

// Runs `work(const StopCheck*)` with the lock released once it takes long.
// The work may only touch data that nothing can change meanwhile (immutable
// terms, bytes held by a reference), never a Python object. Returns false
// with the exception set when it failed or was interrupted (the exception is
// then the one a signal handler raised, KeyboardInterrupt for Ctrl-C).
template <class F>
bool run_unlocked(F&& work) noexcept {
  Unlocked u;
  try {
    work(u.check());
  } catch (const Interrupted&) {
    u.relock();
    return false;
  } catch (...) {
    u.relock();
    raise_from_current_exception();
    return false;
  }
  u.relock();
  return true;
}

}  // namespace kovel::py
