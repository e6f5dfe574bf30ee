// Frees what is left of large dead terms on a thread of its own.
//
// A file's term holds a node per token: dropping one of megabytes walks
// millions of nodes, each a cache miss, and the thread that dropped it has
// better things to do (the next file). The reaper takes such lists from
// KTerm::drop() and frees them meanwhile, on a core that is otherwise often
// idle. It keeps a bounded backlog (past it, the caller frees), lets its
// thread end soon after the backlog is freed, and survives a fork (the
// child starts its own when it needs one).
#pragma once

#include "kterm.h"

namespace kovel::py {

// Takes `dead` (a list KTerm::drop() or free_some() returned) to free later;
// false when it cannot (the backlog is full, or no thread can be started),
// and the caller frees the list itself.
bool reap_later(KTerm* dead) noexcept;

// Whether reap_later takes lists from now on (it does at first); the setting
// before. A process that shares the cores with others as busy as it (a
// pool's worker) frees its own: a reaper would only take turns with it.
bool set_reaping(bool on) noexcept;

// How many threads the reaper runs now (0 or 1). A fork with one running is
// safe: it is held between batches across the fork.
int reaper_threads() noexcept;

}  // namespace kovel::py
