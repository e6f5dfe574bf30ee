// The reaper (see reaper.h).
#include "reaper.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "common.h"

namespace kovel::py {

namespace {

// Lists waiting: each the rest of one large term. Past this many, the
// dropping thread frees its own, so that garbage never outruns the reaper
// and a run holds at most this many dead terms beside its live ones (a
// term may be hundreds of megabytes).
constexpr std::size_t kBacklog = 2;
// Nodes freed between looks at the queue (a fork waits for one batch).
constexpr std::size_t kBatch = 1 << 16;
// How long an idle reaper waits for more before its thread ends.
constexpr auto kLinger = std::chrono::milliseconds(50);

struct Reaper {
  std::mutex batch;              // held while a batch is freed, and then until the queue says so
  std::mutex lock;               // the fields below; taken after `batch` when both are
  std::condition_variable wake;  // work came, or the interpreter is ending
  std::condition_variable idle;  // the thread ended
  std::vector<KTerm*> queue;     // the list being freed stays at the front
  bool running = false;          // a thread serves the queue
  bool stopping = false;         // the interpreter is ending: take no more
};

// Never destroyed: a detached thread may still hold it while the process exits.
Reaper& reaper() {
  static Reaper* r = new Reaper;
  return *r;
}

void serve() {
  Reaper& r = reaper();
  std::unique_lock<std::mutex> held(r.lock);
  for (;;) {
    if (r.queue.empty()) {
      // A moment's wait for the next term (the next file's, in a batch run)
      // spares starting a thread per term.
      if (r.stopping || !r.wake.wait_for(held, kLinger, [&] { return !r.queue.empty() || r.stopping; }) ||
          r.queue.empty()) {
        r.running = false;
        r.idle.notify_all();
        return;
      }
    }
    KTerm* head = r.queue.front();
    held.unlock();
    {
      // The queue is brought up to date before the batch lock is let go: a
      // fork (which takes both) never finds a list's nodes half freed.
      std::lock_guard<std::mutex> freeing(r.batch);
      head = KTerm::free_some(head, kBatch);
      held.lock();
      if (head)
        r.queue.front() = head;
      else
        r.queue.erase(r.queue.begin());
    }
  }
}

// The reaper's thread is not copied into a fork's child: the child finds the
// queue as it was (lists it will free when it next needs a reaper) and no
// thread serving it. Both locks are held across the fork, so no batch is
// half done and the queue is whole.
void before_fork() {
  reaper().batch.lock();
  reaper().lock.lock();
}
void after_fork_parent() {
  reaper().lock.unlock();
  reaper().batch.unlock();
}
void after_fork_child() {
  Reaper& r = reaper();
  // The condition variables may list the parent's reaper as a waiter, which
  // the child has not: they start afresh.
  new (&r.wake) std::condition_variable;
  new (&r.idle) std::condition_variable;
  r.running = false;
  r.lock.unlock();
  r.batch.unlock();
}

// At the interpreter's end: no list is left to a thread that exit() may stop
// halfway (leak checkers then see every node freed).
void drain_at_exit() {
  Reaper& r = reaper();
  std::vector<KTerm*> left;
  {
    std::unique_lock<std::mutex> held(r.lock);
    r.stopping = true;
    r.wake.notify_all();
    r.idle.wait(held, [&] { return !r.running; });
    left.swap(r.queue);
  }
  for (KTerm* head : left) KTerm::free_some(head, SIZE_MAX);
}

std::atomic<bool> g_reaping{true};

}  // namespace

bool set_reaping(bool on) noexcept { return g_reaping.exchange(on); }

bool reap_later(KTerm* dead) noexcept {
  if (!g_reaping.load(std::memory_order_relaxed)) return false;
  // Registered at the first use, after the allocator's own fork handlers
  // (set up when the module was loaded): handlers prepare in the reverse
  // order, so a fork waits for the reaper's batch before it takes the
  // allocator's locks, which that batch may still need.
  static const bool registered =
      Py_AtExit(drain_at_exit) == 0 && pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
  if (!registered) return false;
  Reaper& r = reaper();
  try {
    std::lock_guard<std::mutex> held(r.lock);
    if (r.stopping || r.queue.size() >= kBacklog) return false;
    r.queue.push_back(dead);
    if (!r.running) {
      std::thread(serve).detach();
      r.running = true;
    } else {
      r.wake.notify_one();
    }
    return true;
  } catch (...) {  // no memory for the queue, or no thread to start
    std::lock_guard<std::mutex> held(r.lock);
    if (!r.queue.empty() && r.queue.back() == dead) r.queue.pop_back();
    return false;
  }
}

int reaper_threads() noexcept {
  Reaper& r = reaper();
  std::lock_guard<std::mutex> held(r.lock);
  return r.running ? 1 : 0;
}

}  // namespace kovel::py
