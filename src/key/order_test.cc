// The order of encoded keys: compare() against std::string's comparison,
// which compares unsigned bytes with a proper prefix first.

#include "key/order.h"

#include <gtest/gtest.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillmere::key {
namespace {

using namespace std::string_literals;

int sign(int c) { return (c > 0) - (c < 0); }

// Keys around the 8 bytes the prefix covers, bytes on either side of 0x80,
// zero bytes that the prefix's padding must not hide, and the empty key.
TEST(OrderTest, CompareMatchesUnsignedBytesWithAPrefixFirst) {
  const std::vector<std::string> keys = {
      "", "\0"s, "\0\0"s, "a", "a\0"s, "ab", "\x7f", "\x80", "\xff", std::string(9, '\xff'),
      "abcdefg", "abcdefg\0"s, "abcdefgh", "abcdefgh\0"s, "abcdefgh\0\x01"s, "abcdefghi",
      "abcdefgi", "abcdefgh\x80", "abcdefgh\x7f\xff"};
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      EXPECT_EQ(sign(compare(std::as_bytes(std::span(a)), std::as_bytes(std::span(b)))),
                sign(a.compare(b)))
          << testing::PrintToString(a) << " against " << testing::PrintToString(b);
    }
  }
}

// The prefix, the next word and the length, compared in that order, order
// keys of up to 12 bytes as the bytes do, and equal ones only when equal.
TEST(OrderTest, PrefixNextWordAndLengthDecideShortKeys) {
  const std::vector<std::string> keys = {
      "", "\0"s, "a", "abcdefgh", "abcdefgh\0"s, "abcdefgh\0\0"s, "abcdefgh\x01",
      "abcdefgh\x01\x02\x03", "abcdefgh\x01\x02\x03\0"s, "abcdefgh\x01\x02\x03\xff",
      "abcdefgh\xff\xff\xff\xff", "abcdefgh\xff\xff\xff", "abcdefgi"};
  struct Slot {
    std::uint64_t prefix;
    std::uint32_t next;
    std::size_t size;
    auto operator<=>(const Slot&) const = default;
  };
  auto slot = [](const std::string& k) {
    const Bytes b = std::as_bytes(std::span(k));
    return Slot{prefix(b), next_word(b), k.size()};
  };
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      EXPECT_EQ(slot(a) < slot(b), a < b)
          << testing::PrintToString(a) << " against " << testing::PrintToString(b);
      EXPECT_EQ(slot(a) == slot(b), a == b);
    }
  }
}

}  // namespace
}  // namespace quillmere::key
