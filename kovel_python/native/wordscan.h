// Finding many short words in a file's bytes in one pass. Words of two
// bytes or more are looked up by their first two bytes, hashed into a table
// of masks (up to 64 words a pass), and a hit is checked with memcmp; a
// word of one byte is found by memchr, which is fastest at it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace kovel::py::native::wordscan {

constexpr std::size_t kPerPass = 64;

// Calls `hit(k, i)` for each place `i` where `words[k]` starts in `data`, in
// order of `i`, for the words whose bit is set in `live` (at most 64 words,
// each at least two bytes long). `hit` gives back the bits still wanted; the
// pass ends when none is left.
template <class Hit>
void each_start(std::string_view data, std::span<const std::string_view> words, std::uint64_t live,
                Hit&& hit) {
  constexpr std::size_t kSlots = 4096;
  const auto slot = [](unsigned char a, unsigned char b) { return (a * 31u + b * 1009u) & (kSlots - 1); };
  auto table = std::make_unique<std::array<std::uint64_t, kSlots>>();
  for (std::size_t k = 0; k < words.size(); ++k) {
    const auto* w = reinterpret_cast<const unsigned char*>(words[k].data());
    (*table)[slot(w[0], w[1])] |= std::uint64_t{1} << k;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  for (std::size_t i = 0; live && i + 1 < n; ++i) {
    std::uint64_t cand = (*table)[slot(p[i], p[i + 1])] & live;
    while (cand) {
      const auto k = static_cast<std::size_t>(__builtin_ctzll(cand));
      cand &= cand - 1;
      const std::string_view w = words[k];
      if (w.size() <= n - i && std::memcmp(p + i, w.data(), w.size()) == 0) live = hit(k, i);
    }
  }
}

// Calls `hit(i)` for each place `i` where the byte `c` is in `data`, in
// order, while it gives true.
template <class Hit>
void each_byte(std::string_view data, char c, Hit&& hit) {
  const char* const begin = data.data();
  const char* const end = begin + data.size();
  for (const char* q = begin; q < end; ++q) {
    q = static_cast<const char*>(std::memchr(q, c, static_cast<std::size_t>(end - q)));
    if (!q || !hit(static_cast<std::size_t>(q - begin))) return;
  }
}

}  // namespace kovel::py::native::wordscan
