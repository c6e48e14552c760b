#include "key/key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace quillmere::key {
namespace {

std::string hex(const Buffer& b) {
  std::string out;
  char digits[4];
  for (std::byte x : b) {
    std::snprintf(digits, sizeof digits, "%02X ", std::to_integer<unsigned>(x));
    out += digits;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

std::string of_double(double d) {
  Buffer b;
  push_double(b, d);
  return hex(b);
}

std::string of_int(__int128 v) {
  Buffer b;
  push_small_int(b, v);
  return hex(b);
}

// A magnitude of 2**bits as big-endian bytes.
std::vector<std::uint8_t> power_of_two(int bits) {
  std::vector<std::uint8_t> mag(bits / 8 + 1, 0);
  mag[0] = static_cast<std::uint8_t>(1u << (bits % 8));
  return mag;
}

std::string of_big(bool negative, const std::vector<std::uint8_t>& mag) {
  Buffer b;
  push_big_int(b, negative, mag);
  return hex(b);
}

std::string repeat(const char* byte, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += std::string(" ") + byte;
  return out;
}

TEST(KeyTest, WorkedExamples) {
  EXPECT_EQ(of_int(0), "20 80 00 00 00 00 00 00 00 00");
  EXPECT_EQ(of_double(0.0), of_int(0));
  EXPECT_EQ(of_double(-0.0), of_int(0));
  EXPECT_EQ(of_int(1), "20 BF F0 00 00 00 00 00 00 00");
  EXPECT_EQ(of_double(1.0), of_int(1));
  EXPECT_EQ(of_int(-1), "20 40 0F FF FF FF FF FF FF 00");
  EXPECT_EQ(of_double(1.5), "20 BF F8 00 00 00 00 00 00 00");
  EXPECT_EQ(of_int(255), "20 C0 6F E0 00 00 00 00 00 00");
  const __int128 two53 = __int128{1} << 53;
  EXPECT_EQ(of_int(two53), "20 C3 40 00 00 00 00 00 00 00");
  EXPECT_EQ(of_double(0x1p53), of_int(two53));
  EXPECT_EQ(of_int(two53 + 1), "20 C3 40 00 00 00 00 00 00 01 01");
  EXPECT_EQ(of_int(__int128{1} << 70), "20 C4 50 00 00 00 00 00 00 00");
  EXPECT_EQ(of_int(-(__int128{1} << 70)), "20 3B AF FF FF FF FF FF FF 00");
  EXPECT_EQ(of_double(INFINITY), "20 FF F0 00 00 00 00 00 00 00");
  EXPECT_EQ(of_double(-INFINITY), "20 00 0F FF FF FF FF FF FF 00");
  EXPECT_EQ(of_double(std::nan("")), "20 FF F8 00 00 00 00 00 00 00");
  EXPECT_EQ(of_double(-std::nan("0x1234")), of_double(std::nan("")));
  EXPECT_EQ(of_big(false, power_of_two(1024)), "20 FF EF FF FF FF FF FF FF 81 01" + repeat("00", 128));
  EXPECT_EQ(of_big(true, power_of_two(1024)),
            "20 00 0F FF FF FF FF FF FF 01 7E FE" + repeat("FF", 128));

  Buffer b;
  const std::uint8_t ab[] = {'a', 'b'};
  push_escaped(b, kTagStr, ab);
  EXPECT_EQ(hex(b), "30 61 62 00 00");
  b.clear();
  const std::uint8_t a0[] = {'a', 0};
  push_escaped(b, kTagBytes, a0);
  EXPECT_EQ(hex(b), "40 61 00 FF 00 00");
}

TEST(KeyTest, BufferKeepsItsBytesAcrossGrowth) {
  Buffer b;
  std::vector<std::uint8_t> expected;
  for (int i = 0; i < 1000; ++i) {
    const std::uint8_t byte = static_cast<std::uint8_t>(i * 37);
    if (i % 3 == 0) {
      b.push_back(std::byte{byte});
    } else {
      b.append(&byte, 1);
    }
    expected.push_back(byte);
    if (i == Buffer::kInline - 1) {
      EXPECT_EQ(b.capacity(), Buffer::kInline);  // still inline
    }
  }
  ASSERT_EQ(b.size(), expected.size());
  EXPECT_EQ(std::memcmp(b.data(), expected.data(), expected.size()), 0);
  Buffer copy = b;
  EXPECT_EQ(copy, b);
  copy[999] = std::byte{1};
  EXPECT_NE(copy, b);
  b.clear();
  EXPECT_TRUE(b.empty());
}

TEST(KeyTest, UnsignedFieldsCompareAsIntegers) {
  Buffer zero, one, big, longer;
  push_unsigned(zero, {});
  const std::uint8_t padded_one[] = {0, 0, 1};
  push_unsigned(one, padded_one);
  EXPECT_EQ(hex(zero), "00");
  EXPECT_EQ(hex(one), "01 01");
  std::vector<std::uint8_t> bytes254(254, 0xFF), bytes255(255, 0x01);
  push_unsigned(big, bytes254);
  push_unsigned(longer, bytes255);
  EXPECT_EQ(big.size(), 255u);
  Buffer head;
  head.append(longer.data(), 10);
  EXPECT_EQ(hex(head), "FF 00 00 00 00 00 00 00 FF 01");
  EXPECT_LT(zero, one);
  EXPECT_LT(one, big);
  EXPECT_LT(big, longer);  // 254 bytes of FF < any 255-byte number
}

TEST(KeyTest, EscapedStringsKeepPrefixOrder) {
  // b"" < b"\0" < b"\0\0" < b"\1" < b"a" < b"a\0" < b"a\1" < b"ab"
  const std::vector<std::vector<std::uint8_t>> sorted = {
      {}, {0}, {0, 0}, {1}, {'a'}, {'a', 0}, {'a', 1}, {'a', 'b'}, {0xFF}};
  std::vector<Buffer> encoded;
  for (const auto& s : sorted) {
    Buffer b;
    push_escaped(b, kTagBytes, s);
    encoded.push_back(b);
  }
  EXPECT_TRUE(std::is_sorted(encoded.begin(), encoded.end()));
  EXPECT_EQ(std::adjacent_find(encoded.begin(), encoded.end()), encoded.end());
}

TEST(KeyTest, OrderedImageFollowsNumericOrder) {
  const double sorted[] = {-INFINITY, -std::numeric_limits<double>::max(), -1e300, -1.5, -1.0,
                           -std::numeric_limits<double>::min(),
                           -std::numeric_limits<double>::denorm_min(), 0.0,
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::min(), 1.0, 1.5, 1e300,
                           std::numeric_limits<double>::max(), INFINITY};
  for (std::size_t i = 1; i < std::size(sorted); ++i) {
    EXPECT_LT(ordered_image(sorted[i - 1]), ordered_image(sorted[i])) << sorted[i];
  }
}

// The floor double checked exactly: d <= v < the next double above d.
TEST(KeyTest, FloorDoubleIsExact) {
  std::mt19937_64 rng(7);
  const __int128 max = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
  std::vector<__int128> values = {0, 1, -1, max, -max - 1, max - 1, -max, __int128{1} << 53,
                                  (__int128{1} << 53) + 1, -((__int128{1} << 53) + 1)};
  for (int i = 0; i < 20000; ++i) {
    int bits = static_cast<int>(rng() % 127);
    __int128 v = (static_cast<__int128>(rng()) << 64 | rng()) & ((__int128{1} << bits) - 1);
    values.push_back(rng() % 2 ? v : -v);
  }
  for (__int128 v : values) {
    const double d = floor_double(v);
    ASSERT_EQ(std::floor(d), d);  // the floor of an integer is integral
    ASSERT_LE(static_cast<__int128>(d), v);
    const double up = std::nextafter(d, INFINITY);
    if (up >= 0x1p127) continue;  // beyond every 128-bit value
    // up > v, exactly, also when up is a fraction just above zero.
    const double whole = std::floor(up);
    ASSERT_TRUE(whole == up ? static_cast<__int128>(up) > v : static_cast<__int128>(whole) >= v);
  }
}

// The 64-bit road must give what the exact 128-bit floor double gives.
TEST(KeyTest, SixtyFourBitRoadMatchesTheExactFloor) {
  std::mt19937_64 rng(11);
  std::vector<std::int64_t> values = {0, 1, -1, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1,
                                      (1LL << 53) + 1, -(1LL << 53) - 1, (1LL << 62) + 1};
  for (int i = 0; i < 50000; ++i) {
    const int bits = static_cast<int>(rng() % 64);
    const auto v = static_cast<std::int64_t>(rng() >> (63 - bits));
    values.push_back(rng() % 2 ? v : -v);
  }
  for (std::int64_t v : values) {
    Buffer fast;
    push_int64(fast, v);
    const double d = floor_double(v);
    const auto r = static_cast<unsigned __int128>(static_cast<__int128>(v) - static_cast<__int128>(d));
    std::uint8_t be[16];
    for (int i = 0; i < 16; ++i) be[i] = static_cast<std::uint8_t>(r >> (8 * (15 - i)));
    Buffer exact;
    exact.push_back(kTagNumber);
    const std::uint64_t image = ordered_image(d);
    for (int i = 0; i < 8; ++i) exact.push_back(std::byte(image >> (56 - 8 * i)));
    push_unsigned(exact, be);
    ASSERT_EQ(hex(fast), hex(exact)) << static_cast<long long>(v);
  }
}

TEST(KeyTest, BigIntRoadAgreesWithSmallIntsAndKeepsOrder) {
  // Magnitudes that fit 128 signed bits take the small road either way.
  for (__int128 v : {__int128{0}, __int128{5}, -(__int128{1} << 100), (__int128{1} << 126) + 12345}) {
    std::vector<std::uint8_t> mag(20, 0);
    unsigned __int128 a = v < 0 ? -static_cast<unsigned __int128>(v) : v;
    for (int i = 19; i >= 4; --i, a >>= 8) mag[i] = static_cast<std::uint8_t>(a);
    EXPECT_EQ(of_big(v < 0, mag), of_int(v));
  }
  // -(2**1024 - 1) ... -(2**127) < 2**127 < 2**128 - 1 < 2**1024 - 1 < 2**1024 < 2**2000
  auto minus_one = [](std::vector<std::uint8_t> mag) {
    for (std::size_t i = mag.size(); i-- > 0;) {
      if (mag[i]-- != 0) break;
    }
    return mag;
  };
  std::vector<std::pair<bool, std::vector<std::uint8_t>>> sorted = {
      {true, power_of_two(2000)},           {true, power_of_two(1024)},
      {true, minus_one(power_of_two(1024))}, {true, power_of_two(200)},
      {true, minus_one(power_of_two(200))},  {true, power_of_two(127)},
      {false, power_of_two(127)},            {false, minus_one(power_of_two(128))},
      {false, power_of_two(128)},            {false, minus_one(power_of_two(1024))},
      {false, power_of_two(1024)},           {false, power_of_two(2000)},
  };
  std::vector<Buffer> encoded;
  for (const auto& [negative, mag] : sorted) {
    Buffer b;
    push_big_int(b, negative, mag);
    encoded.push_back(b);
  }
  for (std::size_t i = 1; i < encoded.size(); ++i) {
    EXPECT_LT(encoded[i - 1], encoded[i]) << i;
  }
  Buffer neg_inf, pos_inf, max_finite, neg_max_finite;
  push_double(neg_inf, -INFINITY);
  push_double(pos_inf, INFINITY);
  push_double(max_finite, std::numeric_limits<double>::max());
  push_double(neg_max_finite, -std::numeric_limits<double>::max());
  // Beyond the doubles' range, ints still sit between the infinities and
  // outside the largest finite doubles.
  EXPECT_LT(neg_inf, encoded[0]);
  EXPECT_LT(encoded[2], neg_max_finite);  // -(2**1024 - 1): its floor would be -inf
  EXPECT_LT(neg_max_finite, encoded[3]);
  EXPECT_LT(max_finite, encoded[9]);      // 2**1024 - 1: above DBL_MAX by a remainder
  EXPECT_LT(encoded.back(), pos_inf);
}

}  // namespace
}  // namespace quillmere::key
