// The order of encoded keys, shared by sorting a half and merging runs:
// unsigned bytes, a proper prefix first.
//
// Both first compare 8-byte prefixes read as big-endian numbers, which
// decides almost every comparison with one load each, and only on equal
// prefixes look at the rest with compare_after_prefix.

#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quillmere::key {

using Bytes = std::span<const std::byte>;

// The first 8 bytes of `bytes` as one big-endian number.
// REQUIRES: 8 bytes can be read at `bytes`.
inline std::uint64_t load_big_endian(const std::byte* bytes) noexcept {
  std::uint64_t v;
  std::memcpy(&v, bytes, 8);
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return v;
}

// The key's first 8 bytes as one big-endian number, zero-padded when the
// key is shorter. Zero padding cannot invert an order: if two prefixes
// differ, so do the keys, the same way; equal prefixes decide nothing.
inline std::uint64_t prefix(Bytes key) noexcept {
  if (key.size() >= 8) return load_big_endian(key.data());
  std::uint64_t v = 0;
  if (!key.empty()) std::memcpy(&v, key.data(), key.size());
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return v;
}

// The same for a key followed in memory by at least 8 - key_len readable
// bytes of something else, which are masked off.
inline std::uint64_t prefix_in_place(const std::byte* key, std::size_t key_len) noexcept {
  const std::uint64_t all = ~std::uint64_t{0};
  const std::uint64_t keep = key_len >= 8 ? all : ~(all >> (8 * key_len));
  return load_big_endian(key) & keep;
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

}  // namespace quillmere::key
