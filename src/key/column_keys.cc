#include "key/column_keys.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "base/byte_order.h"

namespace quillmere::key {
namespace {

constexpr std::byte kMissingFirst{0x00};
constexpr std::byte kPresent{0x01};
constexpr std::byte kMissingLast{0x02};

// The raw bits of a native integer of `width` bytes, sign-extended or not.
std::uint64_t load_native(const std::byte* at, unsigned width) noexcept {
  switch (width) {
    case 1: {
      std::uint8_t v;
      std::memcpy(&v, at, 1);
      return v;
    }
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, at, 2);
      return v;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, at, 4);
      return v;
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, at, 8);
      return v;
    }
  }
}

// Writes the low `width` bytes of `value`, most significant first.
void put_be(std::vector<std::byte>& out, std::uint64_t value, unsigned width) {
  std::byte full[8];
  store_be(full, value);
  out.insert(out.end(), full + (8 - width), full + 8);
}

std::uint64_t float_image(const std::byte* at, unsigned width, bool& nan) noexcept {
  if (width == 4) {
    float f;
    std::memcpy(&f, at, 4);
    nan = std::isnan(f);
    if (f == 0.0f) f = 0.0f;  // -0.0 compares equal to 0.0
    const auto bits = std::bit_cast<std::uint32_t>(f);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
  }
  double d;
  std::memcpy(&d, at, 8);
  nan = std::isnan(d);
  if (d == 0.0) d = 0.0;
  const auto bits = std::bit_cast<std::uint64_t>(d);
  return (bits & (std::uint64_t{1} << 63)) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

void put_escaped(std::vector<std::byte>& out, const std::byte* data, std::size_t size) {
  // Text rarely holds a zero byte: copy the stretches between them whole.
  const std::byte* const end = data + size;
  while (data < end) {
    const auto* zero = static_cast<const std::byte*>(
        std::memchr(data, 0, static_cast<std::size_t>(end - data)));
    const std::byte* const stop = zero != nullptr ? zero + 1 : end;
    out.insert(out.end(), data, stop);
    if (zero != nullptr) out.push_back(std::byte{0xFF});
    data = stop;
  }
  out.push_back(std::byte{0});
  out.push_back(std::byte{0});
}

// Appends one row's field of `column`.
void append_field(const KeyColumn& c, std::size_t row, std::vector<std::byte>& out) {
  const std::byte missing = c.missing_last ? kMissingLast : kMissingFirst;
  const bool flagged = c.missing != nullptr && c.missing[row] != 0;
  if (flagged && c.kind != KeyColumn::Kind::kFloat) {
    out.push_back(missing);
    return;
  }
  // Where the image starts: past the leading byte, for a field that has one.
  std::size_t start = out.size() + 1;
  switch (c.kind) {
    case KeyColumn::Kind::kSigned: {
      const std::uint64_t sign = std::uint64_t{1} << (8 * c.width - 1);
      if (c.missing != nullptr) out.push_back(kPresent);
      else start = out.size();
      put_be(out, load_native(c.values + row * c.width, c.width) ^ sign, c.width);
      break;
    }
    case KeyColumn::Kind::kUnsigned:
      if (c.missing != nullptr) out.push_back(kPresent);
      else start = out.size();
      put_be(out, load_native(c.values + row * c.width, c.width), c.width);
      break;
    case KeyColumn::Kind::kFloat: {
      bool nan = false;
      const std::uint64_t image = float_image(c.values + row * c.width, c.width, nan);
      if (nan || flagged) {
        // Images no number has: all zero bits first, all one bits last.
        put_be(out, c.missing_last ? ~std::uint64_t{0} : 0, c.width);
        return;
      }
      start = out.size();
      put_be(out, image, c.width);
      break;
    }
    case KeyColumn::Kind::kBinary: {
      const std::size_t slot = c.first + row;
      if (c.validity != nullptr && ((c.validity[slot / 8] >> (slot % 8)) & 1) == 0) {
        out.push_back(missing);
        return;
      }
      const std::uint64_t begin = binary_offset(c, slot);
      const std::uint64_t end = binary_offset(c, slot + 1);
      out.push_back(kPresent);
      put_escaped(out, c.data + begin, end - begin);
      break;
    }
    case KeyColumn::Kind::kEncoded: {
      const std::uint64_t begin = load_native(c.offsets + 8 * row, 8);
      const std::uint64_t end = load_native(c.offsets + 8 * (row + 1), 8);
      out.push_back(kPresent);
      out.insert(out.end(), c.data + begin, c.data + end);
      break;
    }
  }
  if (c.descending) {
    for (std::size_t i = start; i < out.size(); ++i) out[i] = ~out[i];
  }
}

}  // namespace

std::uint64_t binary_offset(const KeyColumn& c, std::size_t slot) noexcept {
  if (c.width == 4) {
    std::int32_t v;
    std::memcpy(&v, c.offsets + 4 * slot, 4);
    return static_cast<std::uint64_t>(v);
  }
  std::int64_t v;
  std::memcpy(&v, c.offsets + 8 * slot, 8);
  return static_cast<std::uint64_t>(v);
}

void append_row_keys(std::span<const KeyColumn> columns, std::size_t rows, RowKeys& keys) {
  keys.offsets.reserve(keys.offsets.size() + rows);
  for (std::size_t row = 0; row < rows; ++row) {
    for (const KeyColumn& column : columns) append_field(column, row, keys.bytes);
    keys.offsets.push_back(keys.bytes.size());
  }
}

}  // namespace quillmere::key
