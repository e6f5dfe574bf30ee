// Allocation failure in the middle of an operation: the builder, the prefix
// writer and the encoder either complete or leave their buffers as they were;
// and the decoder never reserves memory on the word of a count from the input.
//
// This binary replaces malloc (glibc's documented set: malloc, free, calloc,
// realloc, all forwarding to glibc's own) so that a test can make the n-th
// allocation from now on fail, and see the largest request; operator new and
// the node allocator both come through here. AddressSanitizer keeps its own
// malloc (and reports any absurd allocation by itself), so the tests are left
// out under it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

#include "support.h"

#if !defined(KOVEL_TESTS_ASAN)

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {

// Allocations left before the failing one; negative while disarmed.
std::atomic<long> g_allocs_before_failure{-1};
std::atomic<std::size_t> g_largest_request{0};

bool next_allocation_fails(std::size_t n) {
  for (std::size_t prev = g_largest_request.load(std::memory_order_relaxed);
       n > prev && !g_largest_request.compare_exchange_weak(prev, n);) {
  }
  long left = g_allocs_before_failure.load(std::memory_order_relaxed);
  if (left < 0) return false;
  g_allocs_before_failure.store(left == 0 ? -1 : left - 1, std::memory_order_relaxed);
  return left == 0;
}

}  // namespace

extern "C" {
void* malloc(std::size_t n) { return next_allocation_fails(n) ? nullptr : __libc_malloc(n); }
void* calloc(std::size_t n, std::size_t size) {
  return next_allocation_fails(n * size) ? nullptr : __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) { return next_allocation_fails(n) ? nullptr : __libc_realloc(p, n); }
void free(void* p) { __libc_free(p); }
}

using namespace kovel;
using namespace kt;

namespace {

// Runs `op` with the n-th allocation from now on failing; true if it failed.
bool fails_at(long n, const std::function<void()>& op) {
  g_allocs_before_failure = n;
  bool failed = false;
  try {
    op();
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  g_allocs_before_failure = -1;
  return failed;
}

// Calls `attempt(n)` for n = 0, 1, ... until it reports success (false).
void until_success(const std::function<bool(long)>& attempt) {
  for (long n = 0; attempt(n); ++n) ASSERT_LT(n, 100) << "the operation never completed";
}

std::string encoded(KTermBuilder b) { return encode_term(*std::move(b).b()); }

const std::string kLong(200, 'z');  // longer than any buffer's growth step here

TEST(AllocFailure, BuilderOperationsAreAllOrNothing) {
  const KRef kid = leaf("i", "k");
  const std::vector<std::pair<const char*, std::function<void(KTermBuilder&)>>> ops = {
      {"write", [](KTermBuilder& b) { b.write(kLong); }},
      {"push", [](KTermBuilder& b) { b.push(kLong); }},
      {"nl", [](KTermBuilder& b) { b.nl(); }},
      {"pop", [](KTermBuilder& b) { b.pop(); }},
      {"child", [&](KTermBuilder& b) { b.child(kid); }},
  };
  for (const auto& [name, f] : ops) {
    const auto& op = f;  // clang before 16 cannot capture a structured binding
    // Every fill level of the buffers around their first few growth steps.
    for (int fill = 0; fill < 70; ++fill) {
      SCOPED_TRACE(std::string(name) + " after " + std::to_string(fill) + " commands");
      KTermBuilder before = tb("t");
      for (int i = 0; i < fill / 2; ++i) before.pop();
      for (int i = 0; i < fill % 8; ++i) before.child(kid);
      KTermBuilder after = before;
      op(after);
      until_success([&](long n) {
        KTermBuilder b = before;
        const bool failed = fails_at(n, [&] { op(b); });
        const KTermBuilder& want = failed ? before : after;
        EXPECT_EQ(b.cmd_count(), want.cmd_count());
        EXPECT_EQ(b.child_count(), want.child_count());
        EXPECT_EQ(encoded(b), encoded(want));
        return failed;
      });
    }
  }
}

TEST(AllocFailure, BuildingAndEncodingLeaveTheirInputsAsTheyWere) {
  KTermBuilder before = tb("t");
  before.write(kLong).child(leaf("i", "k")).nl();
  const std::string want = encoded(before);
  until_success([&](long n) {
    KTermBuilder b = before;
    KRef t;
    const bool failed = fails_at(n, [&] { t = std::move(b).b(); });
    EXPECT_EQ(failed ? encoded(b) : encode_term(*t), want);
    return failed;
  });
  // Nor does encoding touch its output when it fails.
  const KRef t = TermGen(7).term(4);
  const std::string whole = encode_term(*t);
  until_success([&](long n) {
    std::string out = "keep";
    const bool failed = fails_at(n, [&] { encode_term(*t, out); });
    EXPECT_EQ(out, failed ? "keep" : "keep" + whole);
    return failed;
  });
}

TEST(AllocFailure, PrefixWriterCommandsAreAllOrNothing) {
  const std::vector<std::pair<const char*, std::function<void(PrefixWriter&)>>> ops = {
      {"newline", [](PrefixWriter& w) { w.newline(); }},
      {"push_prefix", [](PrefixWriter& w) { w.push_prefix(kLong); }},
      {"write_text", [](PrefixWriter& w) { w.write_text(kLong); }},
  };
  for (const auto& [name, f] : ops) {
    const auto& op = f;  // as above
    for (std::size_t fill = 0; fill < 40; ++fill) {
      SCOPED_TRACE(std::string(name) + " after " + std::to_string(fill) + " bytes");
      const std::string start(fill, 'a');
      until_success([&](long n) {
        std::string out = start;
        PrefixWriter w(out);
        w.push_prefix(std::string(fill, ' '));
        const bool failed = fails_at(n, [&] { op(w); });
        if (failed) {
          EXPECT_EQ(out, start);
          // One pop empties the stack again: a failed push left no entry.
          w.pop_prefix();
          w.newline();
          EXPECT_EQ(out, start + "\n");
        }
        return failed;
      });
    }
  }
}

TEST(AllocSize, CountsFromTheInputReserveNothing) {
  const std::string huge = " FF FF FF FF FF FF FF FF FF 01 ";  // 2^64 - 1
  const std::vector<std::string> impossible = {
      "02 80 80 80 80 80 80 80 80 80 01 61 62 63",      // text of 2^63 bytes
      "02 01 78" + huge,                                // 2^64-1 children
      "02 01 78 00" + huge,                             // 2^64-1 commands
      "00 00 00 00 02 01 78 00 01 00 00 01 79" + huge,  // inside a quote
  };
  for (const auto& b : impossible) {
    SCOPED_TRACE(b);
    std::string bytes = hex(b) + std::string(100000, '\x03');  // first element fails at once
    g_largest_request = 0;
    EXPECT_FALSE(decode_term(bytes).ok());
    EXPECT_LE(g_largest_request.load(), std::size_t{64} << 10);  // a slab of the node pool
  }
  // A count the input could hold still reserves at most about a MiB.
  std::string fits = hex("02 01 78 80 80 80 02") + std::string(5u << 20, '\x03');
  g_largest_request = 0;
  EXPECT_FALSE(decode_term(fits).ok());
  EXPECT_LE(g_largest_request.load(), (std::size_t{1} << 20) + (std::size_t{64} << 10));
}

}  // namespace

#endif  // !defined(KOVEL_TESTS_ASAN)
