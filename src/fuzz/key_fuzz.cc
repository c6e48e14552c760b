// Fuzzes the byte-level key routines against plain references.
//
// Two values of one kind are cut from the input (the second may instead be
// derived from the first: a near neighbour, a prefix, an extension) and
// encoded; comparing the encodings as unsigned bytes, a proper prefix
// first, must give what a reference comparison of the values gives, and
// the encodings must be equal exactly when the values are, and neither a
// proper prefix of the other when they differ. The kinds and references:
//   ints (sign and a big-endian magnitude of up to 320 bytes): sign, then
//     magnitude length after leading zeros, then the bytes. Every road that
//     takes a value must encode it alike: push_big_int with and without
//     leading zeros, push_small_int when it fits 128 bits, push_int64 when
//     it fits 64. Each encoding is also decoded: the floor double d and
//     remainder r must give d + r = x with d <= x < the next double above
//     d, or the value must take the right special form beyond the doubles.
//   an int against a double (8 raw bytes): exact numeric comparison, NaN
//     above everything.
//   doubles: numeric order, all NaNs equal and above +inf, -0.0 == 0.0;
//     each encoding is 0x20, the ordered image and a zero remainder.
//   byte strings (push_escaped): memcmp, then length.
//   unsigned fields (push_unsigned): the integers' order.
// Every encoding is also made after some bytes already in the buffer, which
// must be left alone while the buffer grows.
//
// Input: kind (u8, modulo 5, in the order above), relation (u8: how the
// second value is made), prefill (u8, modulo 128: bytes already in the
// buffer), the first value, then the second value or what derives it:
//   int: sign (u8, bit 0), length (u16, modulo 321), magnitude;
//   double: its bits (u64); byte string: length (u16, modulo 1025), bytes;
//   unsigned: length (u16, modulo 321), bytes;
//   derived (relation bit 0): a signed step (u8) and, for byte strings, a
//     byte (u8).

#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "key/key.h"

namespace quillmere::fuzz {
namespace {

using key::Buffer;
using Mag = std::vector<std::uint8_t>;  // big-endian, no leading zeros

// A signed integer for the references: zero has an empty magnitude and is
// not negative.
struct Big {
  bool negative = false;
  Mag mag;
};

Mag strip(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  while (i < bytes.size() && bytes[i] == 0) ++i;
  return Mag(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end());
}

Big make_big(bool negative, std::span<const std::uint8_t> mag) {
  Big b{negative, strip(mag)};
  if (b.mag.empty()) b.negative = false;
  return b;
}

int compare_mag(const Mag& a, const Mag& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int c = a.empty() ? 0 : std::memcmp(a.data(), b.data(), a.size());
  return (c > 0) - (c < 0);
}

int compare_big(const Big& a, const Big& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  const int c = compare_mag(a.mag, b.mag);
  return a.negative ? -c : c;
}

Mag add_mag(const Mag& a, const Mag& b) {
  Mag out(std::max(a.size(), b.size()) + 1, 0);
  unsigned carry = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    unsigned sum = carry;
    if (i < a.size()) sum += a[a.size() - 1 - i];
    if (i < b.size()) sum += b[b.size() - 1 - i];
    out[out.size() - 1 - i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  return strip(out);
}

// REQUIRES: a >= b.
Mag sub_mag(const Mag& a, const Mag& b) {
  Mag out(a.size(), 0);
  int borrow = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    int diff = a[a.size() - 1 - i] - borrow - (i < b.size() ? b[b.size() - 1 - i] : 0);
    borrow = diff < 0;
    out[out.size() - 1 - i] = static_cast<std::uint8_t>(diff + (borrow ? 256 : 0));
  }
  check(borrow == 0, "reference subtraction went below zero");
  return strip(out);
}

Big add(const Big& a, const Big& b) {
  if (a.negative == b.negative) return make_big(a.negative, add_mag(a.mag, b.mag));
  const int c = compare_mag(a.mag, b.mag);
  if (c == 0) return Big{};
  return c > 0 ? make_big(a.negative, sub_mag(a.mag, b.mag))
               : make_big(b.negative, sub_mag(b.mag, a.mag));
}

Big of_int128(__int128 v) {
  const bool negative = v < 0;
  unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v) : v;
  std::uint8_t bytes[16];
  for (int i = 15; i >= 0; --i, m >>= 8) bytes[i] = static_cast<std::uint8_t>(m);
  return make_big(negative, bytes);
}

// |d| as an integer part and whether a fraction is left over. REQUIRES:
// d finite.
struct Split {
  Big whole;  // truncated toward zero
  bool fraction;
};

Split split(double d) {
  int e = 0;
  const double f = std::frexp(std::fabs(d), &e);  // |d| = f * 2^e, 0.5 <= f < 1
  const auto m = static_cast<std::uint64_t>(std::ldexp(f, 53));  // exact: 53 bits
  const int k = e - 53;  // |d| = m * 2^k
  if (k >= 0) {
    // m << k: shift by k % 8 in a wider word, then append k / 8 zero bytes.
    const unsigned __int128 top = static_cast<unsigned __int128>(m) << (k % 8);
    Mag mag(16, 0);
    for (int i = 0; i < 16; ++i) mag[i] = static_cast<std::uint8_t>(top >> (8 * (15 - i)));
    mag.resize(16 + static_cast<std::size_t>(k / 8), 0);
    return Split{make_big(d < 0, mag), false};
  }
  const int shift = -k;
  const std::uint64_t whole = shift >= 64 ? 0 : m >> shift;
  const bool fraction = shift >= 64 ? m != 0 : (m & ((std::uint64_t{1} << shift) - 1)) != 0;
  Big b = of_int128(static_cast<__int128>(whole));
  if (!b.mag.empty()) b.negative = d < 0;
  return Split{b, fraction};
}

// Exact comparison of an int with a double; NaN above every int.
int compare_int_double(const Big& x, double d) {
  if (std::isnan(d)) return -1;
  if (std::isinf(d)) return d > 0 ? -1 : 1;
  const Split s = split(d);
  const int c = compare_big(x, s.whole);
  if (c != 0 || !s.fraction) return c;
  return d > 0 ? -1 : 1;  // x is d's integer part; the fraction lies beyond it
}

int compare_doubles(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) - std::isnan(b);
  return (a > b) - (a < b);
}

int compare_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const auto c = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  return (c > 0) - (c < 0);
}

int sign_of(std::strong_ordering o) { return (o > 0) - (o < 0); }

bool is_proper_prefix(const Buffer& a, const Buffer& b) {
  return a.size() < b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// The encodings must order as the reference does, be equal exactly when
// the values are, and not be proper prefixes of one another.
void check_order(const Buffer& a, const Buffer& b, int reference) {
  check(sign_of(a <=> b) == reference, "encodings do not order as the values");
  if (reference != 0) {
    check(!is_proper_prefix(a, b) && !is_proper_prefix(b, a), "an encoding is a prefix of another");
  }
}

// Junk already in the buffer before an encoding.
struct Prefill {
  std::size_t size;

  // Encodes with `encode` into a fresh buffer and after `size` bytes of
  // junk; the junk must stay and the encoding follow it unchanged.
  template <class F>
  Buffer encode(F encode) const {
    Buffer fresh;
    encode(fresh);
    Buffer filled;
    for (std::size_t i = 0; i < size; ++i) filled.push_back(junk(i));
    encode(filled);
    check(filled.size() == size + fresh.size(), "an encoding's length depends on the buffer");
    for (std::size_t i = 0; i < size; ++i) {
      check(filled[i] == junk(i), "an encoding changed bytes already in the buffer");
    }
    check(std::equal(fresh.begin(), fresh.end(), filled.begin() + size),
          "an encoding depends on what the buffer held");
    return fresh;
  }

  static std::byte junk(std::size_t i) { return std::byte{static_cast<std::uint8_t>(i * 37)}; }
};

// Reads one encoded key from the front of `bytes`, moving past it.
class Decoder {
 public:
  explicit Decoder(const Buffer& b) : bytes_(b.begin(), b.end()) {}

  std::uint8_t u8() {
    check(pos_ < bytes_.size(), "an encoding ended early");
    return std::to_integer<std::uint8_t>(bytes_[pos_++]);
  }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | u8();
    return v;
  }
  // An unsigned field, with every byte inverted when `inverted`; checks
  // that it is in its one canonical form.
  Mag field(bool inverted) {
    const std::uint8_t flip = inverted ? 0xFF : 0x00;
    std::uint64_t n = u8() ^ flip;
    if (n == 0xFF) {
      n = 0;
      for (int i = 0; i < 8; ++i) n = (n << 8) | (u8() ^ flip);
      check(n >= 255, "a short unsigned field took the long form");
    }
    check(n <= bytes_.size(), "an unsigned field is longer than its encoding");
    Mag mag;
    for (std::uint64_t i = 0; i < n; ++i) mag.push_back(u8() ^ flip);
    check(mag.empty() || mag[0] != 0, "an unsigned field kept a leading zero");
    return mag;
  }
  bool done() const { return pos_ == bytes_.size(); }

 private:
  std::span<const std::byte> bytes_;
  std::size_t pos_ = 0;
};

double from_image(std::uint64_t image) {
  const std::uint64_t bits = (image >> 63) != 0 ? image ^ 0x8000000000000000u : ~image;
  return std::bit_cast<double>(bits);
}

const Mag& two_to_1024() {
  static const Mag m = [] {
    Mag v(129, 0);
    v[0] = 1;
    return v;
  }();
  return m;
}

// The encoding of x decodes to x: a floor double and an exact remainder,
// or one of the two forms for ints beyond the doubles.
void check_decodes(const Buffer& enc, const Big& x) {
  constexpr std::uint64_t kImageMaxFinite = 0xFFEFFFFFFFFFFFFFu;
  constexpr std::uint64_t kImageNegInf = 0x000FFFFFFFFFFFFFu;
  Decoder dec(enc);
  check(dec.u8() == 0x20, "an int's encoding does not start with the number tag");
  const std::uint64_t image = dec.u64();
  // Beyond the doubles: x >= 2**1024, or x below -DBL_MAX, whose floor
  // double would be -inf.
  const bool beyond =
      x.negative ? compare_int_double(x, -std::numeric_limits<double>::max()) < 0
                 : compare_mag(x.mag, two_to_1024()) >= 0;
  if (beyond) {
    // Positive: the largest double's image and the whole magnitude. Negative:
    // -inf's image, 0x01, and the magnitude's field inverted.
    check(image == (x.negative ? kImageNegInf : kImageMaxFinite), "a huge int has the wrong image");
    if (x.negative) check(dec.u8() == 0x01, "a huge negative int lacks its 0x01");
    check(dec.field(x.negative) == x.mag, "a huge int's field is not its magnitude");
    check(dec.done(), "a huge int's encoding has bytes left over");
    return;
  }
  const double d = from_image(image);
  check(std::isfinite(d) && std::trunc(d) == d, "an int's floor double is not a whole number");
  check(std::bit_cast<std::uint64_t>(d) != 0x8000000000000000u, "an int's floor double is -0.0");
  const Big r = make_big(false, dec.field(false));
  check(dec.done(), "an int's encoding has bytes left over");
  check(compare_big(add(split(d).whole, r), x) == 0,
        "an int is not its floor double plus remainder");
  const double above = std::nextafter(d, std::numeric_limits<double>::infinity());
  const bool below_next = std::isinf(above) ? compare_mag(x.mag, two_to_1024()) < 0
                                            : compare_int_double(x, above) < 0;
  check(below_next, "an int's double is not its floor: the next double is not above it");
}

bool fits_int128(const Big& x, __int128* v) {
  if (x.mag.size() > 16) return false;
  unsigned __int128 m = 0;
  for (std::uint8_t b : x.mag) m = (m << 8) | b;
  const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 127;
  if (x.negative ? m > limit : m >= limit) return false;
  *v = x.negative ? static_cast<__int128>(-m) : static_cast<__int128>(m);
  return true;
}

// Encodes an int by every road that takes it; they must agree.
Buffer encode_int(const Big& x, std::span<const std::uint8_t> raw_mag, bool raw_negative,
                  const Prefill& prefill) {
  Buffer enc = prefill.encode([&](Buffer& b) { key::push_big_int(b, raw_negative, raw_mag); });
  Buffer stripped;
  key::push_big_int(stripped, x.negative, x.mag);
  check(stripped == enc, "leading zeros or the sign of zero changed an int's encoding");
  if (__int128 v; fits_int128(x, &v)) {
    Buffer small;
    key::push_small_int(small, v);
    check(small == enc, "push_small_int and push_big_int disagree");
    if (v >= INT64_MIN && v <= INT64_MAX) {
      Buffer i64;
      key::push_int64(i64, static_cast<std::int64_t>(v));
      check(i64 == enc, "push_int64 and push_big_int disagree");
    }
    const double floor = key::floor_double(v);
    check(compare_int_double(x, floor) >= 0, "floor_double is above its value");
  }
  check_decodes(enc, x);
  return enc;
}

Buffer encode_double(double d, const Prefill& prefill) {
  Buffer enc = prefill.encode([&](Buffer& b) { key::push_double(b, d); });
  Decoder dec(enc);
  check(dec.u8() == 0x20, "a double's encoding does not start with the number tag");
  const double back = from_image(dec.u64());
  check(dec.u8() == 0x00 && dec.done(), "a double's remainder is not a single zero byte");
  const std::uint64_t want = std::isnan(d) ? 0x7FF8000000000000u
                             : d == 0      ? 0
                                           : std::bit_cast<std::uint64_t>(d);
  check(std::bit_cast<std::uint64_t>(back) == want,
        "a double's image is not of its canonical form");
  return enc;
}

struct IntValue {
  bool negative;
  std::span<const std::uint8_t> mag;  // as given, leading zeros included
  Big big;
};

IntValue int_from(Input& in) {
  const bool negative = (in.u8() & 1) != 0;
  std::span<const std::uint8_t> mag = in.take(in.u16() % 321);
  return IntValue{negative, mag, make_big(negative, mag)};
}

double double_from(Input& in) { return std::bit_cast<double>(in.u64()); }

// A double near x: its leading bytes scaled, then moved `steps` doubles.
double near(const Big& x, int steps) {
  std::uint64_t top = 0;
  const std::size_t n = std::min<std::size_t>(x.mag.size(), 8);
  for (std::size_t i = 0; i < n; ++i) top = (top << 8) | x.mag[i];
  double d = std::ldexp(static_cast<double>(top), 8 * static_cast<int>(x.mag.size() - n));
  if (x.negative) d = -d;
  for (; steps > 0; --steps) d = std::nextafter(d, std::numeric_limits<double>::infinity());
  for (; steps < 0; ++steps) d = std::nextafter(d, -std::numeric_limits<double>::infinity());
  return d;
}

int small_step(Input& in) { return static_cast<std::int8_t>(in.u8()); }

void fuzz_ints(Input& in, bool derived, const Prefill& prefill) {
  const IntValue a = int_from(in);
  Mag b_mag;
  Big b;
  bool b_negative;
  if (derived) {
    b = add(a.big, of_int128(small_step(in)));
    b_negative = b.negative;
    b_mag = b.mag;
  } else {
    const IntValue v = int_from(in);
    b = v.big;
    b_negative = v.negative;
    b_mag.assign(v.mag.begin(), v.mag.end());
  }
  const Buffer ea = encode_int(a.big, a.mag, a.negative, prefill);
  const Buffer eb = encode_int(b, b_mag, b_negative, prefill);
  check_order(ea, eb, compare_big(a.big, b));
}

void fuzz_int_double(Input& in, bool derived, const Prefill& prefill) {
  const IntValue a = int_from(in);
  const double d = derived ? near(a.big, small_step(in) % 4) : double_from(in);
  const Buffer ea = encode_int(a.big, a.mag, a.negative, prefill);
  const Buffer ed = encode_double(d, prefill);
  check_order(ea, ed, compare_int_double(a.big, d));
}

void fuzz_doubles(Input& in, bool derived, const Prefill& prefill) {
  const double a = double_from(in);
  double b;
  if (derived) {
    b = a;
    for (int steps = small_step(in) % 4; steps != 0; steps -= steps > 0 ? 1 : -1) {
      b = std::nextafter(b, steps > 0 ? std::numeric_limits<double>::infinity()
                                      : -std::numeric_limits<double>::infinity());
    }
  } else {
    b = double_from(in);
  }
  check_order(encode_double(a, prefill), encode_double(b, prefill), compare_doubles(a, b));
}

// A byte string derived from `a`: extended by a byte, cut short, or with
// one byte changed, so that prefixes and near misses are common.
Mag derive_bytes(std::span<const std::uint8_t> a, int step, std::uint8_t byte) {
  Mag b(a.begin(), a.end());
  const std::size_t at = b.empty() ? 0 : static_cast<std::size_t>(step & 0x7F) % b.size();
  switch ((step >> 7) & 1) {
    case 0:
      b.insert(b.begin() + static_cast<std::ptrdiff_t>(b.empty() ? 0 : at + 1), byte);
      break;
    default:
      if (b.empty()) break;
      if (byte % 2 == 0) {
        b.resize(at);
      } else {
        b[at] = byte;
      }
  }
  return b;
}

void fuzz_escaped(Input& in, bool derived, const Prefill& prefill) {
  const std::span<const std::uint8_t> a = in.take(in.u16() % 1025);
  Mag b;
  if (derived) {
    const int step = in.u8();
    b = derive_bytes(a, step, in.u8());
  } else {
    const std::span<const std::uint8_t> v = in.take(in.u16() % 1025);
    b.assign(v.begin(), v.end());
  }
  const Buffer ea = prefill.encode([&](Buffer& out) { key::push_escaped(out, key::kTagBytes, a); });
  const Buffer eb = prefill.encode([&](Buffer& out) { key::push_escaped(out, key::kTagBytes, b); });
  check(ea.size() == 3 + a.size() + static_cast<std::size_t>(std::count(a.begin(), a.end(), 0)),
        "an escaped string has the wrong length");
  check_order(ea, eb, compare_bytes(a, b));
}

void fuzz_unsigned(Input& in, bool derived, const Prefill& prefill) {
  const std::span<const std::uint8_t> a = in.take(in.u16() % 321);
  Mag b;
  if (derived) {
    const Big sum = add(make_big(false, a), of_int128(small_step(in)));
    if (!sum.negative) b = sum.mag;  // else zero
  } else {
    const std::span<const std::uint8_t> v = in.take(in.u16() % 321);
    b.assign(v.begin(), v.end());
  }
  const Buffer ea = prefill.encode([&](Buffer& out) { key::push_unsigned(out, a); });
  const Buffer eb = prefill.encode([&](Buffer& out) { key::push_unsigned(out, b); });
  Decoder da(ea);
  check(da.field(false) == strip(a) && da.done(), "an unsigned field does not decode to its value");
  check_order(ea, eb, compare_mag(strip(a), strip(b)));
}

}  // namespace
}  // namespace quillmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmere::fuzz;
  Input in(data, size);
  const int kind = in.u8() % 5;
  const bool derived = (in.u8() & 1) != 0;
  const Prefill prefill{static_cast<std::size_t>(in.u8() % 128)};
  switch (kind) {
    case 0: fuzz_ints(in, derived, prefill); break;
    case 1: fuzz_int_double(in, derived, prefill); break;
    case 2: fuzz_doubles(in, derived, prefill); break;
    case 3: fuzz_escaped(in, derived, prefill); break;
    default: fuzz_unsigned(in, derived, prefill); break;
  }
  return 0;
}
