// SipHash-2-4: two rounds for each 8-byte word, four to finish.

#include "key/keyed_hash.h"

#include <bit>
#include <cstring>

namespace quillmere::key {
namespace {

static_assert(std::endian::native == std::endian::little);

std::uint64_t load(const std::byte* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() noexcept {
    v0 += v1;
    v1 = std::rotl(v1, 13) ^ v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16) ^ v2;
    v0 += v3;
    v3 = std::rotl(v3, 21) ^ v0;
    v2 += v1;
    v1 = std::rotl(v1, 17) ^ v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t m) noexcept {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

}  // namespace

HashKey hash_key(std::span<const std::byte, 16> bytes) noexcept {
  return {load(bytes.data()), load(bytes.data() + 8)};
}

std::uint64_t keyed_hash(std::span<const std::byte> data, const HashKey& key) noexcept {
  State s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
          key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const std::size_t whole = data.size() / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load(data.data() + i));
  // The last word: the bytes left, and the length's low byte on top.
  std::uint64_t last = static_cast<std::uint64_t>(data.size()) << 56;
  for (std::size_t i = whole; i < data.size(); ++i) {
    last |= static_cast<std::uint64_t>(std::to_integer<unsigned>(data[i])) << (8 * (i - whole));
  }
  s.absorb(last);
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace quillmere::key
