// The keys of a table's rows, made from its key columns' buffers: each row's
// key is its columns' fields one after another, so that plain byte order of
// the keys is the order of the rows by the first column, then the next, and
// so on, each column in its own direction.
//
// A field is one byte saying whether the value is missing, then, for a value,
// its ordered image:
//   0x00  missing, placed first          0x02  missing, placed last
//   0x01  a value, followed by its image
// Images: integers as big-endian numbers of their width, the sign bit flipped
// for signed ones; floats by their bits, negatives inverted and the sign of
// the rest set (-0.0 as 0.0, NaN missing); binary and text as their bytes
// with 0x00 written 0x00 0xFF, ended by 0x00 0x00; pre-encoded fields as they
// are (they must be self-delimiting). A descending column's image is
// inverted bit by bit, its missing byte not, so missing values stay where
// they were asked to be whatever the direction. Every field is
// self-delimiting, so fields simply follow one another.
//
// Two kinds of field need no leading byte, so that a key of one number is
// its 8-byte prefix alone, which decides a comparison by itself: integers
// of a column that cannot miss a value (no `missing` flags), and floats,
// whose images never reach all zero or all one bits, which stand for a
// missing value placed first or last.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quillmere::key {

struct KeyColumn {
  enum class Kind : std::uint8_t {
    kSigned,    // `values`: `width`-byte native-order integers
    kUnsigned,  // likewise, unsigned (bools as 1-byte unsigned)
    kFloat,     // `values`: 4- or 8-byte native floats; NaN is missing
    kBinary,    // Arrow layout: `offsets` (`width` 4 or 8 bytes, rows + 1
                // from `first`), `data`, `validity` bits (nullptr: none missing)
    kEncoded,   // `offsets` (8 bytes, rows + 1), `data`: each row's image
  };
  Kind kind = Kind::kSigned;
  unsigned width = 8;
  bool descending = false;
  bool missing_last = true;
  const std::byte* values = nullptr;
  const std::byte* offsets = nullptr;
  const std::byte* data = nullptr;
  // A row is missing where missing[row] is nonzero (nullptr: none is),
  // besides NaN and invalid Arrow slots.
  const std::uint8_t* missing = nullptr;
  const std::uint8_t* validity = nullptr;
  std::size_t first = 0;  // the Arrow array's offset, in slots
};

// Where slot `slot` of a binary column starts in its data (a negative
// offset, as a huge one).
std::uint64_t binary_offset(const KeyColumn& column, std::size_t slot) noexcept;

// Every row's key, in one arena: row r's key is
// bytes[offsets[r], offsets[r + 1]).
struct RowKeys {
  std::vector<std::byte> bytes;
  std::vector<std::uint64_t> offsets{0};

  std::size_t rows() const noexcept { return offsets.size() - 1; }
  std::span<const std::byte> key(std::size_t row) const noexcept {
    return {bytes.data() + offsets[row], bytes.data() + offsets[row + 1]};
  }
};

// Appends the keys of `rows` rows of `columns` to `keys`. The columns'
// buffers must hold that many rows, as their kinds describe. Throws
// std::bad_alloc.
void append_row_keys(std::span<const KeyColumn> columns, std::size_t rows, RowKeys& keys);

}  // namespace quillmere::key
