#include "key/column_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "key/order.h"

namespace quillmere::key {
namespace {

// The row numbers in the order of their keys, equal keys by row.
std::vector<std::size_t> order_of(const RowKeys& keys) {
  std::vector<std::size_t> rows(keys.rows());
  std::iota(rows.begin(), rows.end(), 0);
  std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
    return compare(keys.key(a), keys.key(b)) < 0;
  });
  return rows;
}

template <class T>
KeyColumn numbers(const std::vector<T>& values, KeyColumn::Kind kind, bool descending,
                  bool missing_last, const std::vector<std::uint8_t>* missing = nullptr) {
  KeyColumn c;
  c.kind = kind;
  c.width = sizeof(T);
  c.descending = descending;
  c.missing_last = missing_last;
  c.values = reinterpret_cast<const std::byte*>(values.data());
  c.missing = missing != nullptr ? missing->data() : nullptr;
  return c;
}

TEST(ColumnKeysTest, NumbersOrderByValueInEitherDirectionWithMissingWhereAsked) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> floats{2.5, nan, -0.0, -inf, 0.0, -3.0, inf, 1e-300};
  const std::vector<std::int16_t> shorts{3, -1, 0, -32768, 32767, 3, -1, 0};
  const std::vector<std::uint64_t> longs{1, ~0ull, 0, 1ull << 63, 5, 1, 0, 2};
  for (bool descending : {false, true}) {
    for (bool last : {false, true}) {
      RowKeys keys;
      const KeyColumn column = numbers(floats, KeyColumn::Kind::kFloat, descending, last);
      append_row_keys({&column, 1}, floats.size(), keys);
      // -0.0 and 0.0 are equal, so they keep their rows' order.
      std::vector<std::size_t> expected =
          descending ? std::vector<std::size_t>{6, 0, 7, 2, 4, 5, 3}
                     : std::vector<std::size_t>{3, 5, 2, 4, 7, 0, 6};
      expected.insert(last ? expected.end() : expected.begin(), 1);
      EXPECT_EQ(order_of(keys), expected) << descending << last;
    }
  }
  for (bool descending : {false, true}) {
    RowKeys shorts_keys;
    RowKeys longs_keys;
    const KeyColumn s = numbers(shorts, KeyColumn::Kind::kSigned, descending, true);
    const KeyColumn l = numbers(longs, KeyColumn::Kind::kUnsigned, descending, true);
    append_row_keys({&s, 1}, shorts.size(), shorts_keys);
    append_row_keys({&l, 1}, longs.size(), longs_keys);
    const std::vector<std::size_t> s_up{3, 1, 6, 2, 7, 0, 5, 4};
    const std::vector<std::size_t> l_up{2, 6, 0, 5, 7, 4, 3, 1};
    // Descending reverses the values, equal values still in row order.
    const std::vector<std::size_t> s_down{4, 0, 5, 2, 7, 1, 6, 3};
    const std::vector<std::size_t> l_down{1, 3, 4, 7, 0, 5, 2, 6};
    EXPECT_EQ(order_of(shorts_keys), descending ? s_down : s_up);
    EXPECT_EQ(order_of(longs_keys), descending ? l_down : l_up);
  }
}

TEST(ColumnKeysTest, SeveralColumnsBinaryWithZeroBytesAndMissingFlags) {
  // Arrow layout with an offset of 1 slot: slot 0 is not part of the rows.
  const std::string data = std::string("zz") + "b" + std::string("a\0", 2) + "a" + "" + "b";
  const std::vector<std::int32_t> offsets{0, 2, 3, 5, 6, 6, 7};
  const std::vector<std::uint8_t> validity{0b11101110};  // slot 4 (row 3) missing
  KeyColumn text;
  text.kind = KeyColumn::Kind::kBinary;
  text.width = 4;
  text.first = 1;
  text.offsets = reinterpret_cast<const std::byte*>(offsets.data());
  text.data = reinterpret_cast<const std::byte*>(data.data());
  text.validity = validity.data();
  // Rows: "b", "a\0", "a", missing, "b"; then a descending int column.
  const std::vector<std::int64_t> ints{1, 7, 7, 0, 2};
  const std::vector<std::uint8_t> missing{0, 0, 1, 0, 0};
  for (bool last : {false, true}) {
    text.missing_last = last;
    const KeyColumn columns[] = {text, numbers(ints, KeyColumn::Kind::kSigned, true, last,
                                               &missing)};
    RowKeys keys;
    append_row_keys(columns, 5, keys);
    // "a" < "a\0" < "b" (2 before 1 by the descending ints); missing text
    // at either end.
    std::vector<std::size_t> expected{2, 1, 4, 0};
    expected.insert(last ? expected.end() : expected.begin(), 3);
    EXPECT_EQ(order_of(keys), expected);
  }
  // A descending binary column reverses text order, a prefix after its
  // extensions.
  text.descending = true;
  text.missing_last = true;
  RowKeys keys;
  append_row_keys({&text, 1}, 5, keys);
  EXPECT_EQ(order_of(keys), (std::vector<std::size_t>{0, 4, 1, 2, 3}));
}

}  // namespace
}  // namespace quillmere::key
