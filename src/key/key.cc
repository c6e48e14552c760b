// Byte-level key encoding: unsigned fields, escaped strings and numbers.

#include "key/key.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "base/byte_order.h"

namespace quillmere::key {
namespace {

constexpr std::uint64_t kSignBit = 0x8000000000000000u;
constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000u;
// Images written in place of a double for ints beyond the doubles' range.
constexpr std::uint64_t kImageMaxFinite = 0xFFEFFFFFFFFFFFFFu;  // of DBL_MAX
constexpr std::uint64_t kImageNegInf = 0x000FFFFFFFFFFFFFu;     // of -inf
constexpr int kMantissaBits = 53;
constexpr int kMaxExactBits = 1024;  // every int below 2**1024 has a floor double

constexpr __int128 kInt128Max = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
constexpr __int128 kInt128Min = -kInt128Max - 1;

void push_u64(Buffer& out, std::uint64_t v) {
  std::byte bytes[8];
  store_be(bytes, v);
  out.append(bytes, sizeof bytes);
}

// The double's bits as an unsigned number whose order is the numeric order.
std::uint64_t ordered_image(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  // Positive doubles order like their bit patterns; negative ones in
  // reverse, so inverting them puts them below all positives, in order.
  return (bits & kSignBit) == 0 ? bits ^ kSignBit : ~bits;
}

// Writes 0x20, the image of d and the unsigned field of a remainder below
// 2**64, with one append: the path of every float and every 64-bit int.
void push_number_u64(Buffer& out, double d, std::uint64_t remainder) {
  std::byte bytes[1 + 8 + 1 + 8];
  bytes[0] = kTagNumber;
  store_be(bytes + 1, ordered_image(d));
  const int length = remainder == 0 ? 0 : 8 - std::countl_zero(remainder) / 8;
  bytes[9] = static_cast<std::byte>(length);
  for (int i = 0; i < length; ++i) {
    bytes[10 + i] = static_cast<std::byte>(remainder >> (8 * (length - 1 - i)));
  }
  out.append(bytes, 10 + static_cast<std::size_t>(length));
}

void push_bytes(Buffer& out, const std::byte* data, std::size_t n) { out.append(data, n); }

void push_number(Buffer& out, std::uint64_t image) {
  out.push_back(kTagNumber);
  push_u64(out, image);
}

// A double converted to a 128-bit integer, saturating at the extremes.
__int128 saturating_int(double d) {
  constexpr double kTwo127 = 0x1p127;
  if (d >= kTwo127) return kInt128Max;
  if (d < -kTwo127) return kInt128Min;
  return static_cast<__int128>(d);
}

// The next double below d (d finite).
double next_below(double d) {
  if (d == 0) return -std::numeric_limits<double>::denorm_min();
  std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
  bits = d > 0 ? bits - 1 : bits + 1;
  return std::bit_cast<double>(bits);
}

// The largest double <= value.
double floor_double(__int128 value) {
  double d = static_cast<double>(value);  // rounds to nearest
  if (saturating_int(d) > value || d >= 0x1p127) d = next_below(d);
  return d;
}

std::span<const std::byte> strip_leading_zeros(std::span<const std::byte> bytes) {
  std::size_t i = 0;
  while (i < bytes.size() && bytes[i] == std::byte{0}) ++i;
  return bytes.subspan(i);
}

// Whether a magnitude of at most 16 bytes fits a signed 128-bit value of the
// given sign: below 2**127, or up to 2**127 when negative.
bool fits_int128(bool negative, std::span<const std::byte> mag, unsigned __int128* value) {
  if (mag.size() > 16) return false;
  unsigned __int128 v = 0;
  for (std::byte b : mag) v = (v << 8) | std::to_integer<std::uint8_t>(b);
  const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 127;
  if (negative ? v > limit : v >= limit) return false;
  *value = v;
  return true;
}

// The unsigned field of a big-endian integer of any length (empty is zero):
// leading zero bytes dropped, then one length byte and the bytes when at
// most 254 remain, else 0xFF, the length as 8 big-endian bytes, and the
// bytes. Fields compare as the integers do, and none is a prefix of another.
void push_unsigned(Buffer& out, std::span<const std::byte> big_endian) {
  std::span<const std::byte> bytes = strip_leading_zeros(big_endian);
  const std::size_t n = bytes.size();
  if (n <= 254) {
    out.push_back(std::byte(n));
  } else {
    out.push_back(std::byte{0xFF});
    push_u64(out, n);
  }
  push_bytes(out, bytes.data(), n);
}

// The unsigned field of `bytes`, every byte of the field inverted, so that
// larger magnitudes sort first.
void push_unsigned_inverted(Buffer& out, std::span<const std::byte> bytes) {
  const std::size_t start = out.size();
  push_unsigned(out, bytes);
  for (std::size_t i = start; i < out.size(); ++i) out[i] = ~out[i];
}

// An integer that fits in 128 signed bits.
void push_small_int(Buffer& out, __int128 value) {
  if (value >= INT64_MIN && value <= INT64_MAX) {
    push_int64(out, static_cast<std::int64_t>(value));
    return;
  }
  const double d = floor_double(value);
  // Exact, and never negative: d is the floor of value.
  const auto remainder =
      static_cast<unsigned __int128>(value) - static_cast<unsigned __int128>(saturating_int(d));
  std::byte be[16];
  store_be(be, static_cast<std::uint64_t>(remainder >> 64));
  store_be(be + 8, static_cast<std::uint64_t>(remainder));
  push_number(out, ordered_image(d));
  push_unsigned(out, be);
}

}  // namespace

void Buffer::grow(std::size_t need) {
  const std::size_t capacity = std::max(need, 2 * capacity_);
  void* heap = data_ == inline_ ? std::malloc(capacity) : std::realloc(data_, capacity);
  if (heap == nullptr) throw std::bad_alloc();
  if (data_ == inline_) std::memcpy(heap, inline_, size_);
  data_ = static_cast<std::byte*>(heap);
  capacity_ = capacity;
}

void push_escaped(Buffer& out, std::byte tag, std::span<const std::byte> bytes) {
  out.push_back(tag);
  const std::byte* p = bytes.data();
  const std::byte* end = p + bytes.size();
  while (p != end) {
    const auto* zero = static_cast<const std::byte*>(std::memchr(p, 0, end - p));
    const std::byte* run_end = zero == nullptr ? end : zero;
    push_bytes(out, p, run_end - p);
    if (zero == nullptr) break;
    out.push_back(std::byte{0x00});
    out.push_back(std::byte{0xFF});
    p = zero + 1;
  }
  out.push_back(std::byte{0x00});
  out.push_back(std::byte{0x00});
}

void push_double(Buffer& out, double value) {
  if (std::isnan(value)) value = std::bit_cast<double>(kCanonicalNan);
  if (value == 0) value = 0.0;  // -0.0 and 0.0 are one key
  push_number_u64(out, value, 0);
}

void push_int64(Buffer& out, std::int64_t value) {
  double d = static_cast<double>(value);  // rounds to nearest
  // One step down when rounding went up; 2**63 itself is beyond int64.
  if (d >= 0x1p63 || static_cast<std::int64_t>(d) > value) d = next_below(d);
  // d <= value, so the difference is exact and small.
  const std::uint64_t remainder =
      static_cast<std::uint64_t>(value) - static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
  push_number_u64(out, d, remainder);
}

void push_big_int(Buffer& out, bool negative, std::span<const std::byte> magnitude) {
  std::span<const std::byte> mag = strip_leading_zeros(magnitude);
  if (unsigned __int128 v; fits_int128(negative, mag, &v)) {
    push_small_int(out, negative ? static_cast<__int128>(-v) : static_cast<__int128>(v));
    return;
  }
  // Here the magnitude has more than 127 bits, so the low k bits below the
  // 53 of the mantissa are the remainder against a double (k > 0).
  const std::size_t s = mag.size();
  const int bits =
      static_cast<int>(8 * s) - std::countl_zero(std::to_integer<std::uint8_t>(mag[0]));
  if (!negative && bits > kMaxExactBits) {
    push_number(out, kImageMaxFinite);
    push_unsigned(out, mag);
    return;
  }
  const int k = bits - kMantissaBits;
  // m: the top 53 bits. With at least 16 bytes they all lie in the first 9.
  unsigned __int128 top = 0;
  for (std::size_t i = 0; i < 9; ++i) top = (top << 8) | std::to_integer<std::uint8_t>(mag[i]);
  std::uint64_t m = static_cast<std::uint64_t>(top >> (k - 8 * static_cast<int>(s - 9)));
  // R: the low k bits, as the last ceil(k / 8) bytes with the surplus high
  // bits of the first cleared.
  const std::size_t r_len = (static_cast<std::size_t>(k) + 7) / 8;
  // As numbers, for the carry below.
  std::vector<std::uint8_t> r(r_len);
  std::memcpy(r.data(), mag.data() + (s - r_len), r_len);
  const int surplus = static_cast<int>(8 * r_len) - k;
  const auto first_mask = static_cast<std::uint8_t>(0xFF >> surplus);
  r[0] &= first_mask;

  if (!negative) {
    push_number(out, ordered_image(std::ldexp(static_cast<double>(m), k)));
    push_unsigned(out, std::as_bytes(std::span(r)));
    return;
  }
  // The floor of a negative value is one step further from zero whenever
  // a remainder exists; the remainder is then measured from there.
  const bool has_remainder = std::any_of(r.begin(), r.end(), [](std::uint8_t b) { return b != 0; });
  if (has_remainder) {
    ++m;
    for (std::uint8_t& b : r) b = static_cast<std::uint8_t>(~b);
    for (std::size_t i = r_len; i-- > 0;) {
      if (++r[i] != 0) break;
    }
    r[0] &= first_mask;
  }
  if (bits > kMaxExactBits || (bits == kMaxExactBits && m == (std::uint64_t{1} << kMantissaBits))) {
    // Below -DBL_MAX the floor double would be -inf: sort just after it,
    // larger magnitudes first.
    push_number(out, kImageNegInf);
    out.push_back(std::byte{0x01});
    push_unsigned_inverted(out, mag);
    return;
  }
  push_number(out, ordered_image(-std::ldexp(static_cast<double>(m), k)));
  push_unsigned(out, std::as_bytes(std::span(r)));
}

}  // namespace quillmere::key
