// A keyed hash of byte strings (SipHash-2-4): -R orders keys by it, so that
// the order looks random, differs with the key, and is the same again for
// the same key.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere::key {

using HashKey = std::array<std::uint64_t, 2>;

// The hash key that 16 bytes make, read as two little-endian words.
HashKey hash_key(std::span<const std::byte, 16> bytes) noexcept;

std::uint64_t keyed_hash(std::span<const std::byte> data, const HashKey& key) noexcept;

}  // namespace quillmere::key
