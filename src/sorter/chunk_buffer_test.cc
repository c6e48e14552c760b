#include "sorter/chunk_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quillmere {
namespace {

// Fills with a pattern that shows any byte moved or lost.
void fill(ChunkBuffer<std::uint32_t>& b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint32_t>(i * 2654435761u));
}

bool intact(const ChunkBuffer<std::uint32_t>& b, std::size_t n) {
  if (b.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (b[i] != static_cast<std::uint32_t>(i * 2654435761u)) return false;
  }
  return true;
}

TEST(ChunkBufferTest, CapacityIsExactAndContentsSurviveEveryChange) {
  ChunkBuffer<std::uint32_t> b;
  EXPECT_EQ(b.capacity(), 0u);
  EXPECT_EQ(b.data(), nullptr);
  // Small (malloc), large (mapped), larger, smaller, small again: every
  // crossing of the mapping threshold, and within each side.
  const std::size_t items = 1000;
  b.set_capacity(items);
  fill(b, items);
  for (std::size_t capacity : {std::size_t{5000}, std::size_t{100000}, std::size_t{3000000},
                               std::size_t{200000}, std::size_t{70000}, std::size_t{1000},
                               std::size_t{40}}) {
    b.set_capacity(capacity);
    EXPECT_EQ(b.capacity(), std::max(capacity, items)) << capacity;
    EXPECT_TRUE(intact(b, items)) << capacity;
  }
  // Growth by appending past the capacity doubles, in both regimes.
  fill(b, 0);
  for (std::size_t i = items; i < 300000; ++i) b.push_back(static_cast<std::uint32_t>(i * 2654435761u));
  EXPECT_TRUE(intact(b, 300000));
  EXPECT_GE(b.capacity(), 300000u);
  b.shrink_to_fit();
  EXPECT_EQ(b.capacity(), 300000u);
  EXPECT_TRUE(intact(b, 300000));
  b.clear();
  EXPECT_EQ(b.capacity(), 300000u);  // clearing keeps the memory for reuse
  b.set_capacity(0);
  EXPECT_EQ(b.data(), nullptr);
}

TEST(ChunkBufferTest, CopiesAreDeepAndMovesHandOver) {
  for (std::size_t n : {std::size_t{10}, std::size_t{200000}}) {
    ChunkBuffer<std::uint32_t> a;
    fill(a, n);
    ChunkBuffer<std::uint32_t> copy = a;
    EXPECT_EQ(copy.capacity(), a.capacity());
    EXPECT_NE(copy.data(), a.data());
    copy[0] = 12345;
    EXPECT_TRUE(intact(a, n));
    const std::uint32_t* memory = a.data();
    ChunkBuffer<std::uint32_t> moved = std::move(a);
    EXPECT_EQ(moved.data(), memory);
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_TRUE(intact(moved, n));
    moved = copy;
    EXPECT_EQ(moved[0], 12345u);
  }
}

TEST(ChunkBufferTest, AppendTakesSpans) {
  ChunkBuffer<std::byte> b;
  const std::vector<std::byte> part(100000, std::byte{7});
  for (int i = 0; i < 5; ++i) b.append(part);
  b.append({});
  EXPECT_EQ(b.size(), 500000u);
  EXPECT_EQ(std::count(b.begin(), b.end(), std::byte{7}), 500000);
}

}  // namespace
}  // namespace quillmere
