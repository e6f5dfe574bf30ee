// Stopping long core work early: a check that rendering, encoding and
// decoding call every so often, and the exception that unwinds them.
#pragma once

#include <cstdint>
#include <exception>

namespace kovel {

// Thrown when a StopCheck asks to stop. Everything the interrupted
// operation built has been released by the time it reaches the caller.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// Called about every `Pacer::kEvery` units of work (a unit is a command or
// a node, or 64 bytes copied); returning true stops the work.
struct StopCheck {
  bool (*stop)(void* ctx) = nullptr;
  void* ctx = nullptr;
};

// Counts work down to the next check. Without a check it only counts, so
// the loops need no second code path.
class Pacer {
 public:
  // About 0.1 to 1 ms of rendering, encoding or decoding.
  static constexpr std::int64_t kEvery = std::int64_t{1} << 16;

  explicit Pacer(const StopCheck* check) : check_(check && check->stop ? check : nullptr) {
    if (!check_) left_ = INT64_MAX;
  }

  void tick(std::int64_t units) {
    if ((left_ -= units) <= 0) [[unlikely]]
      poll();
  }
  // One unit plus one for every 64 bytes.
  void tick_bytes(std::uint64_t n) { tick(1 + static_cast<std::int64_t>(n >> 6)); }

 private:
  void poll() {
    left_ = check_ ? kEvery : INT64_MAX;
    if (check_ && check_->stop(check_->ctx)) throw Interrupted();
  }

  const StopCheck* check_;
  std::int64_t left_ = kEvery;
};

}  // namespace kovel
