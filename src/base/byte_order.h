// Fixed-width unsigned integers stored as bytes in a stated order, whatever
// the host's: little-endian for the fields of file formats (a run's lengths
// and block headers), big-endian where the bytes must compare as the
// numbers do (key prefixes, the fields of encoded keys).
//
// Each routine is one memcpy and, when the host's order differs, one byte
// swap; the compiler turns the pair into a single load or store. The bytes
// need no alignment. Plain functions, safe from any thread.

#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstring>

namespace quillmere {

// std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t and their kin;
// bool is unsigned and integral but no field.
template <class T>
concept UnsignedField = std::unsigned_integral<T> && !std::same_as<T, bool>;

// Writes `value` to the sizeof(T) bytes at `dst`, least significant first.
template <UnsignedField T>
inline void store_le(std::byte* dst, T value) noexcept {
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  std::memcpy(dst, &value, sizeof value);
}

// Reads the sizeof(T) bytes at `src`, least significant first.
template <UnsignedField T>
inline T load_le(const std::byte* src) noexcept {
  T value;
  std::memcpy(&value, src, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

// Writes `value` to the sizeof(T) bytes at `dst`, most significant first.
template <UnsignedField T>
inline void store_be(std::byte* dst, T value) noexcept {
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  std::memcpy(dst, &value, sizeof value);
}

// Reads the sizeof(T) bytes at `src`, most significant first.
template <UnsignedField T>
inline T load_be(const std::byte* src) noexcept {
  T value;
  std::memcpy(&value, src, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  return value;
}

}  // namespace quillmere
