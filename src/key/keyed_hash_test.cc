// The keyed hash against SipHash-2-4's published vectors (key 00..0f,
// messages 00, 00 01, ...), and its use of every key byte.

#include "key/keyed_hash.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere::key {
namespace {

HashKey counting_key() {
  std::array<std::byte, 16> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>(i);
  return hash_key(bytes);
}

TEST(KeyedHashTest, MatchesPublishedVectors) {
  std::array<std::byte, 64> message;
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::byte>(i);
  const HashKey key = counting_key();
  // Lengths 0, 7, 8 and 15: no whole word, a partial one, exactly one, one and a partial.
  EXPECT_EQ(keyed_hash(std::span(message).first(0), key), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(keyed_hash(std::span(message).first(7), key), 0xab0200f58b01d137ULL);
  EXPECT_EQ(keyed_hash(std::span(message).first(8), key), 0x93f5f5799a932462ULL);
  EXPECT_EQ(keyed_hash(std::span(message).first(15), key), 0xa129ca6149be45e5ULL);
}

TEST(KeyedHashTest, EveryKeyByteCounts) {
  const std::array<std::byte, 3> message{std::byte{'a'}, std::byte{'b'}, std::byte{'c'}};
  const std::uint64_t base = keyed_hash(message, counting_key());
  for (std::size_t i = 0; i < 16; ++i) {
    std::array<std::byte, 16> bytes;
    for (std::size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<std::byte>(j);
    bytes[i] ^= std::byte{0x80};
    EXPECT_NE(keyed_hash(message, hash_key(bytes)), base) << i;
  }
}

}  // namespace
}  // namespace quillmere::key
