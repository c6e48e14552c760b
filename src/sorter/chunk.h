// One half of the sorter's memory: every item's encoded key and payload packed
// into one byte arena, and one 16-byte Entry per item saying where its bytes
// are. An Entry holds no pointer, so entries can be sorted and a chunk handed
// to another thread by moving it; a chunk belongs to one thread at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmere {

struct Entry {
  std::uint64_t offset;       // index in data of the item's first key byte
  std::uint32_t key_len;      // the key's length; the payload follows at once
  std::uint32_t payload_len;  // the payload's length
};
static_assert(sizeof(Entry) == 16, "an item costs exactly 16 bytes besides its bytes");

struct Chunk {
  std::vector<std::byte> data;  // keys and payloads in order of addition
  std::vector<Entry> entries;   // one per item

  // What the chunk holds against the memory limit: capacities, not lengths,
  // so that what is reserved is what is counted.
  std::uint64_t footprint() const noexcept {
    return data.capacity() + sizeof(Entry) * entries.capacity();
  }
};

}  // namespace quillmere
