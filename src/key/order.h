// The order of encoded keys: unsigned bytes, a proper prefix first.
//
// Sorting and merging first compare 8-byte prefixes read as big-endian
// numbers, which decides almost every comparison with one load each, and
// only on equal prefixes look at the rest with compare_after_prefix; they
// keep each key's prefix at hand between comparisons. compare() puts the
// two steps together for a caller that has only the keys.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "base/byte_order.h"

namespace quillmere::key {

using Bytes = std::span<const std::byte>;

// The key's first 8 bytes as one big-endian number, zero-padded when the
// key is shorter. Zero padding cannot invert an order: if two prefixes
// differ, so do the keys, the same way; equal prefixes decide nothing.
inline std::uint64_t prefix(Bytes key) noexcept {
  if (key.size() >= 8) return load_be<std::uint64_t>(key.data());
  std::byte padded[8] = {};
  if (!key.empty()) std::memcpy(padded, key.data(), key.size());
  return load_be<std::uint64_t>(padded);
}

// The key's bytes 8 to 11 as one big-endian number, zero-padded the same
// way: with the prefix and the length, it decides between keys of up to 12
// bytes, the short keys that repeat most.
inline std::uint32_t next_word(Bytes key) noexcept {
  if (key.size() >= 12) return load_be<std::uint32_t>(key.data() + 8);
  std::uint32_t word = 0;
  for (std::size_t i = 8; i < key.size(); ++i) {
    word |= std::uint32_t{std::to_integer<std::uint8_t>(key[i])} << (8 * (11 - i));
  }
  return word;
}

// The same for a key followed in memory by at least 8 - key_len readable
// bytes of something else, which are masked off.
inline std::uint64_t prefix_in_place(const std::byte* key, std::size_t key_len) noexcept {
  const std::uint64_t all = ~std::uint64_t{0};
  const std::uint64_t keep = key_len >= 8 ? all : ~(all >> (8 * key_len));
  return load_be<std::uint64_t>(key) & keep;
}

// <0, 0 or >0 as `a` sorts before, with or after `b`.
// REQUIRES: prefix(a) == prefix(b), so the first min(8, lengths) bytes match.
inline int compare_after_prefix(Bytes a, Bytes b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  if (common > 8) {
    if (int c = std::memcmp(a.data() + 8, b.data() + 8, common - 8); c != 0) return c;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// <0, 0 or >0 as `a` sorts before, with or after `b`: the first differing
// byte decides, as unsigned; a proper prefix comes first.
inline int compare(Bytes a, Bytes b) noexcept {
  const std::uint64_t pa = prefix(a);
  const std::uint64_t pb = prefix(b);
  if (pa != pb) return pa < pb ? -1 : 1;
  return compare_after_prefix(a, b);
}

}  // namespace quillmere::key
