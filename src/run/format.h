// The byte layout of a run file, shared by RunWriter and RunReader.
//
// A run is first a stream of records in sorted order, each framed as
//   key length (4 bytes, little-endian), key, payload length (4 bytes,
//   little-endian), payload
// with nothing between records and nothing after the last. A length may be
// 0; it is then followed by no bytes.
//
// The stream is cut into blocks of exactly kBlockSize bytes, the last holding
// the rest (1 to kBlockSize bytes). The cuts ignore records: a record, even
// one of its length fields, may straddle two or more blocks. A run with no
// records has no blocks and is an empty file.
//
// The file is the blocks in stream order, each stored as
//   C (4 bytes, little-endian)  compressed length
//   U (4 bytes, little-endian)  uncompressed length
//   C bytes                     the U bytes as one LZ4 block (no frame, no
//                               checksum; each block independent)
// and the next header follows at once. Every block is stored compressed,
// even when that makes it longer. A well-formed header has
// 1 <= U <= kBlockSize and 1 <= C <= max_compressed_size(U).
//
// There is no magic number, trailer, checksum or record count: the record
// count and the stream's length travel in memory, in the Run. The fields are
// read and written with load_le and store_le of base/byte_order.h.

#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmere {

inline constexpr std::size_t kBlockSize = 131072;     // stream bytes per block
inline constexpr std::size_t kBlockHeaderSize = 8;    // C, then U
inline constexpr std::size_t kRecordLengthSize = 4;   // each of a record's two lengths
inline constexpr std::size_t kRecordOverhead = 2 * kRecordLengthSize;

// The most compressed bytes a block of `u` bytes may take. Generous enough
// for LZ4's worst case, so the compressor never runs out of room.
constexpr std::size_t max_compressed_size(std::size_t u) { return u * 110 / 100 + 20; }

// The largest block body, plus room for one more header: the writer's
// buffer for a packed block, and the reader's buffer for a body with the
// next header read along with it.
inline constexpr std::size_t kMaxPacked = kBlockHeaderSize + max_compressed_size(kBlockSize);

static_assert(max_compressed_size(kBlockSize) == 144199);
static_assert(kMaxPacked == 144207);
static_assert(max_compressed_size(kBlockSize) <= UINT32_MAX, "C must fit its field");

// LZ4's speed/ratio trade: on sorted record streams 4 compresses about 1.5
// times as fast as the default, to the same size within a few per mille.
inline constexpr int kLz4Acceleration = 4;

constexpr bool is_valid_block_header(std::uint32_t c, std::uint32_t u) {
  return u >= 1 && u <= kBlockSize && c >= 1 && c <= max_compressed_size(u);
}

}  // namespace quillmere
