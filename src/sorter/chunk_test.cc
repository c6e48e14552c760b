// The half: how room() holds it within its limit, that a half enlarged by an
// oversized item is not reused after its spill, and the sort of its entries
// against std::stable_sort, on the calling thread and on pools.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "base/pool.h"
#include "base/stop.h"
#include "sorter/chunk.h"
#include "sorter/sorter.h"

namespace quillmere {
namespace {

using namespace std::string_literals;

// Byte j of the i-th item put in by add_numbered: differs between neighbours.
std::byte pattern(std::size_t i, std::size_t j) { return std::byte((i * 7 + j) & 0xff); }

void add_numbered(Chunk& c, std::size_t size) {
  std::vector<std::byte> bytes(size);
  for (std::size_t j = 0; j < size; ++j) bytes[j] = pattern(c.entries.size(), j);
  append(c, bytes, {});
}

// Whether every item add_numbered put in is whole, where its entry says.
bool intact(const Chunk& c) {
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    const Entry& e = c.entries[i];
    if (e.offset != at) return false;
    for (std::uint64_t j = 0; j < e.key_len + e.payload_len; ++j) {
      if (c.data[at + j] != pattern(i, j)) return false;
    }
    at += e.key_len + e.payload_len;
  }
  return at == c.data.size();
}

// Random sizes against random limits, each half spilled when full and reused
// as the sorter does; checks what room() promises after every add.
TEST(RoomTest, RandomAddsKeepAHalfWithinItsLimit) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 60; ++trial) {
    const std::uint64_t limit = rng() % (std::uint64_t{1} << (rng() % 21)) + 1;
    // Mostly items small beside the limit; in every other trial now and then
    // one larger than the whole limit.
    const bool oversized = trial % 2 == 0;
    Chunk c;
    for (int i = 0; i < 2000; ++i) {
      const std::uint64_t largest = oversized && rng() % 16 == 0 ? 2 * limit : limit / 64 + 1;
      const std::uint64_t n = rng() % (largest + 1);
      const std::uint64_t data = c.data.capacity(), entries = c.entries.capacity();
      if (!make_room(c, n, limit)) {
        // Full only once the items' exact need passes seven eighths of the limit.
        EXPECT_GT(c.data.size() + n + 16 * (c.entries.size() + 1), limit - limit / 8);
        if (c.footprint() > limit) c = Chunk();
        c.data.clear();
        c.entries.clear();
        ASSERT_TRUE(make_room(c, n, limit)) << "an empty half takes any item";
      }
      const bool moved = c.data.capacity() != data || c.entries.capacity() != entries;
      const std::uint64_t footprint = c.footprint();
      add_numbered(c, n);
      ASSERT_EQ(c.footprint(), footprint) << "room() left too little room";
      if (c.footprint() > limit) {
        ASSERT_EQ(c.entries.size(), 1u) << "above limit " << limit << " with more than one item";
      }
      if (moved) {
        ASSERT_TRUE(intact(c)) << "limit " << limit << ", item " << i;
      }
    }
  }
}

// After its spill a half comes back as the spare and is filled next; one
// enlarged by an oversized item would then hold memory past the limit.
TEST(RoomTest, HalfEnlargedByAnOversizedItemIsNotReused) {
  Config config;
  config.tmp_dir = std::filesystem::temp_directory_path();
  config.max_bytes = 2000;
  std::unique_ptr<Sorter> sorter = Sorter::create(config).value();
  NeverStop go_on;
  const std::vector<std::byte> big(5000), small(10);
  ASSERT_TRUE(sorter->push(big, {}, go_on));
  for (int spills = 0; spills < 2;) {
    ASSERT_TRUE(sorter->push(small, {}, go_on));
    if (sorter->spilling()) {
      ++spills;
      ASSERT_TRUE(sorter->wait());
    }
  }
  // The filling half, handed over when adding ends, is the first half
  // back, holding one small item.
  const AddedRecords added = sorter->end_adding(go_on).value();
  EXPECT_EQ(added.held.entries.size(), 1u);
  EXPECT_LE(added.held.footprint(), config.max_bytes / 2);
}

class SortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t threads : {1, 2, 3}) pools_.push_back(WorkerPool::start(threads).value());
  }

  // Sorts the items without a pool and on each pool; each must give the
  // order of std::stable_sort by key (std::string compares unsigned bytes).
  void expect_sorted(const std::vector<std::string>& keys,
                     const std::vector<std::string>& payloads, const std::string& what) {
    std::vector<std::size_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0);
    std::ranges::stable_sort(order, [&](auto a, auto b) { return keys[a] < keys[b]; });
    for (std::size_t way = 0; way <= pools_.size(); ++way) {
      Chunk c;
      for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(make_room(c, keys[i].size() + payloads[i].size(), std::uint64_t{1} << 40));
        append(c, std::as_bytes(std::span(keys[i])), std::as_bytes(std::span(payloads[i])));
      }
      // The arena ends with the last item, so a key read past it shows under ASan.
      c.data.set_capacity(c.data.size());
      std::vector<Entry> want;
      for (std::size_t i : order) want.push_back(c.entries[i]);
      const std::string how = what + ", " + (way == 0 ? "no pool" : "pool of " + std::to_string(way));
      WorkerPool* pool = way == 0 ? nullptr : pools_[way - 1].get();
      // A spill's way: sorted pieces, merged while visiting.
      Chunk pieces;
      pieces.entries.append(std::span<const Entry>(c.entries.data(), c.entries.size()));
      pieces.data.append(std::span<const std::byte>(c.data.data(), c.data.size()));
      pieces.data.set_capacity(pieces.data.size());
      sort_pieces(pieces, pool);
      std::vector<Entry> visited;
      EXPECT_TRUE(for_each_sorted(pieces, [&](const Entry& e) {
        visited.push_back(e);
        return true;
      }));
      EXPECT_EQ(visited, want) << how << ", by pieces";
      // The adding thread's way: pieces sorted as they complete (in the first
      // round only now and then, so several at once), the rest by the spill;
      // twice in one chunk, emptied between as a spill empties it.
      Chunk eager;
      for (int round = 0; round < 2; ++round) {
        eager.clear();
        std::size_t presorted = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
          ASSERT_TRUE(make_room(eager, keys[i].size() + payloads[i].size(), std::uint64_t{1} << 40));
          append(eager, std::as_bytes(std::span(keys[i])), std::as_bytes(std::span(payloads[i])));
          if (round == 1 || i % 40000 == 0) {
            sort_complete_pieces(eager);
            presorted = (i + 1) / kPieceEntries;
          }
        }
        EXPECT_EQ(eager.sorted_pieces, presorted) << how;
        sort_pieces(eager, pool);
        visited.clear();
        EXPECT_TRUE(for_each_sorted(eager, [&](const Entry& e) {
          visited.push_back(e);
          return true;
        }));
        EXPECT_EQ(visited, want) << how << ", by pieces sorted while adding, round " << round;
      }
      sort(c, pool);
      EXPECT_TRUE(std::equal(c.entries.begin(), c.entries.end(), want.begin(), want.end())) << how;
    }
  }

  std::vector<std::shared_ptr<WorkerPool>> pools_;
};

// Unsigned bytes, a proper prefix first, around the 8 bytes compared at
// once; the last key is short and ends the arena.
TEST_F(SortTest, KeysAroundTheirFirstEightBytes) {
  const std::string z(1, '\0'), ff8(8, '\xff');
  const std::vector<std::string> keys = {
      "abcdefgi", "\xff", "abcdefg" + z, ff8, "ab", "abcdefgh" + z, "abcdefghij", z, "abcdefgh",
      "\x7f", "", "abcdefg", ff8 + "\xff", "a" + z, "abcdefgh" + z + "\1", z + z, "abcdefghi",
      "\x80", "abcdefgh", "a"};
  std::vector<std::string> payloads(keys.size(), "pay");
  payloads.back() = "";
  expect_sorted(keys, payloads, "hand-picked");
}

// Random keys of several shapes at sizes below and above the point where the
// sort goes parallel.
TEST_F(SortTest, MatchesStableSortByKey) {
  std::mt19937_64 rng(11);
  const std::string letters = "\x00\x01\x7f\x80\xff" "a"s;
  auto key_of = [&](int shape, std::size_t i, std::size_t n) {
    std::string k;
    switch (shape) {
      case 0:  // short keys over few letters: ties, prefixes, empty keys and items
        for (std::size_t len = rng() % 12; len > 0; --len) k += letters[rng() % 6];
        break;
      case 1:  // a long shared prefix, then up to 3 bytes
        k = "a prefix shared by many keys \xff\x00\x80!"s;
        for (std::size_t len = rng() % 4; len > 0; --len) k += letters[rng() % 3];
        break;
      case 2:  // ascending, then descending big-endian numbers
      case 3:
        for (int b = 7; b >= 0; --b) k += static_cast<char>((shape == 2 ? i : n - i) >> (8 * b));
        break;
      default:  // one key for all
        k = "same";
    }
    return k;
  };
  const std::size_t t = kSortTaskEntries;
  static_assert(kPieceEntries < kSortTaskEntries);
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{17}, t + 1, 4 * t + 7}) {
    for (int shape = 0; shape < 5; ++shape) {
      std::vector<std::string> keys, payloads;
      for (std::size_t i = 0; i < n; ++i) {
        keys.push_back(key_of(shape, i, n));
        payloads.emplace_back(rng() % 5, 'p');
      }
      expect_sorted(keys, payloads, "n " + std::to_string(n) + ", shape " + std::to_string(shape));
    }
  }
}

}  // namespace
}  // namespace quillmere
