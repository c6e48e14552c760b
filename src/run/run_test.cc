// Run files: what the reader makes of damaged ones, and that the writer's
// bytes do not depend on its pool.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/pool.h"
#include "run/run_reader.h"
#include "run/run_writer.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

// Restated rather than taken from run/format.h, so that a mistake there
// cannot hide.
constexpr std::uint32_t kBlock = 131072;
constexpr std::uint32_t max_c(std::uint32_t u) { return u * 110 / 100 + 20; }

const char* const kImpossible = "a block has an impossible length";
const char* const kUndecodable = "a block does not decompress to its length";
const char* const kTooLong = "a record is longer than the rest of the run";

struct Record {
  Bytes key;
  Bytes payload;
  bool operator==(const Record&) const = default;
};

Bytes filler(std::size_t n, char c = 'x') { return Bytes(n, std::byte(c)); }

// Records whose fields cross block edges: the third record's key length is
// cut 2 + 2 by the first edge (513 is 01 02 00 00: both halves matter), and
// its payload crosses the second. Empty fields first and last.
std::vector<Record> straddling() {
  return {{{}, {}},
          {filler(1), filler(kBlock - 19)},
          {filler(513, 'k'), filler(kBlock + 100, 'p')},
          {filler(1, 'z'), {}}};
}

std::uint32_t get32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= std::to_integer<std::uint32_t>(b.at(at + i)) << (8 * i);
  return v;
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = std::byte(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Where each block of a file starts, then the file's end.
std::vector<std::size_t> block_starts(const Bytes& file) {
  std::vector<std::size_t> starts = {0};
  while (starts.back() < file.size()) {
    starts.push_back(starts.back() + 8 + get32(file, starts.back()));
  }
  return starts;
}

// An error's kind and text, to compare in one expectation.
std::string described(const std::optional<Error>& e) {
  return e ? std::string(describe(e->kind())) + ": " + e->text() : "no error";
}
std::string corrupt(const char* text) { return described(Error::io(IoKind::InvalidData, text)); }

// The records read, then what stopped the reading if not the count.
struct ReadBack {
  std::vector<Record> records;
  std::optional<Error> error;
};

class RunTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove(path()); }

  // One file per test process, so that runs of this test at once do not meet.
  fs::path path() const { return dir_ / ("quillmere-run-" + std::to_string(getpid())); }

  // With `share`, the writer shares the pool for record i only if share(i).
  void write(const std::vector<Record>& records, std::shared_ptr<WorkerPool> pool = nullptr,
             const std::function<bool(std::size_t)>& share = nullptr) {
    fs::remove(path());
    Result<RunWriter> writer = RunWriter::create(path(), std::move(pool));
    ASSERT_TRUE(writer) << writer.error().text();
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (share) writer->share_pool(share(i));
      ASSERT_TRUE(writer->push(records[i].key, records[i].payload));
    }
    run_ = std::move(*writer).finish().value();
  }

  // With `views`, as a merge reads: a record wholly in the block at hand
  // through view_record, others field by field.
  ReadBack read_all(bool views = true) const {
    ReadBack back;
    RunReader reader = RunReader::open(run_).value();
    for (Record r; reader.count() > 0; back.records.push_back(r)) {
      std::span<const std::byte> key, payload;
      if (views && reader.view_record(key, payload)) {
        r = {Bytes(key.begin(), key.end()), Bytes(payload.begin(), payload.end())};
        continue;
      }
      for (Bytes* field : {&r.key, &r.payload}) {
        if (Result<> done = reader.read_field(*field); !done) {
          back.error = std::move(done.error());
          return back;
        }
      }
      reader.finish_record();
    }
    return back;
  }

  Bytes contents() const {
    Bytes b(fs::file_size(path()));
    std::ifstream(path(), std::ios::binary).read(reinterpret_cast<char*>(b.data()), b.size());
    return b;
  }
  void rewrite(const Bytes& b) const {
    std::ofstream out(path(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), b.size());
  }

  const fs::path dir_ = ::testing::TempDir();
  quillmere::Run run_;  // qualified: the test's Run() hides the type
};

TEST_F(RunTest, CutAnywhereEndsEarly) {
  const std::vector<Record> records = straddling();
  write(records);
  const Bytes whole = contents();
  ASSERT_EQ(block_starts(whole).size(), 4u) << "three blocks";
  for (bool views : {false, true}) {
    rewrite(whole);
    const ReadBack intact = read_all(views);
    EXPECT_EQ(described(intact.error), "no error");
    EXPECT_EQ(intact.records, records);
    for (std::size_t size = 0; size < whole.size(); ++size) {
      rewrite(Bytes(whole.begin(), whole.begin() + size));
      const ReadBack cut = read_all(views);
      ASSERT_TRUE(cut.error && cut.error->kind() == IoKind::UnexpectedEof)
          << "cut to " << size << ": " << described(cut.error) << ", views " << views;
      ASSERT_LT(cut.records.size(), records.size());
      ASSERT_TRUE(std::equal(cut.records.begin(), cut.records.end(), records.begin())) << size;
    }
  }
}

TEST_F(RunTest, ViewsAndFieldsReadTheSame) {
  // Many small records, so most are viewed in place and some straddle a
  // block's edge, between the straddling ones.
  std::vector<Record> records = straddling();
  for (std::size_t i = 0; i < 30000; ++i) {
    records.insert(records.begin() + 2, {filler(i % 23, 'a'), filler(i % 7, 'b')});
  }
  write(records);
  EXPECT_EQ(read_all(true).records, records);
  EXPECT_EQ(read_all(false).records, records);
}

TEST_F(RunTest, DamagedBlockHeaderIsCorrupt) {
  write(straddling());
  const Bytes whole = contents();
  const std::vector<std::size_t> starts = block_starts(whole);
  // The first header is read alone, later ones along with the body before.
  for (std::size_t at : std::span(starts).first(starts.size() - 1)) {
    const std::uint32_t c = get32(whole, at), u = get32(whole, at + 4);
    const struct {
      std::uint32_t c, u;
      const char* text;
    } cases[] = {
        {c, 0, kImpossible}, {c, kBlock + 1, kImpossible}, {0, u, kImpossible},
        {max_c(u) + 1, u, kImpossible}, {UINT32_MAX, u, kImpossible},
        {1, u, kUndecodable},         // a body cut short
        {max_c(u), u, kUndecodable},  // the bytes after the body taken for it
        {c, u - 1, kUndecodable},     // decodes to more than U
        {c, u + 1, u < kBlock ? kUndecodable : kImpossible},  // to fewer
    };
    for (const auto& k : cases) {
      Bytes damaged = whole;
      damaged.resize(whole.size() + kBlock + 20000);  // so that any length finds a body
      put32(damaged, at, k.c);
      put32(damaged, at + 4, k.u);
      rewrite(damaged);
      for (bool views : {false, true}) {
        EXPECT_EQ(described(read_all(views).error), corrupt(k.text))
            << "block at " << at << ", C " << k.c << ", U " << k.u << ", views " << views;
      }
    }
  }
}

TEST_F(RunTest, RecordLengthBeyondTheRunIsCorrupt) {
  // The run's byte total bounds the last field to the byte; a field past it
  // is refused before anything is allocated for it, as a damaged length of
  // up to 4 GiB must be. A view is refused too, though the record is wholly
  // in the block read for the record before it.
  write({{filler(2), filler(3)}, {filler(9), filler(1000)}});
  --run_.bytes;
  RunReader reader = RunReader::open(run_).value();
  Bytes key, payload;
  ASSERT_TRUE(reader.read_field(key) && reader.read_field(payload));
  reader.finish_record();
  std::span<const std::byte> k, p;
  EXPECT_FALSE(reader.view_record(k, p));
  EXPECT_EQ(reader.count(), 1u);
  payload = Bytes();
  ASSERT_TRUE(reader.read_field(key));
  EXPECT_EQ(key, filler(9));
  const Result<> r = reader.read_field(payload);
  EXPECT_EQ(described(r ? std::nullopt : std::optional(r.error())), corrupt(kTooLong));
  EXPECT_EQ(payload.capacity(), 0u);
}

TEST_F(RunTest, BytesDoNotDependOnThePool) {
  // About 20 blocks (a record frames to 3048 bytes on average) that compress
  // by different amounts: full batches for every pool's slots, then a partial one.
  std::mt19937_64 rng(4);
  auto letters = [&](std::size_t n) {
    Bytes b(n);
    for (std::byte& x : b) x = std::byte('a' + rng() % 12);
    return b;
  };
  std::vector<Record> records;
  for (std::size_t stream = 0; stream < 20 * kBlock; stream += 3048) {
    records.push_back({letters(rng() % 81), letters(rng() % 6001)});
  }
  write(records);
  const Bytes alone = contents();
  for (std::size_t threads : {1, 2, 8, 9}) {
    write(records, WorkerPool::start(threads).value());
    EXPECT_TRUE(contents() == alone) << "pool of " << threads;
  }
  // Taking the pool up and putting it down between groups, and mid-group.
  write(records, WorkerPool::start(2).value(), [](std::size_t i) { return i / 97 % 2 == 0; });
  EXPECT_TRUE(contents() == alone) << "sharing now and then";
  // A writer that does not share never waits for the pool: a paused one
  // would hold it for good.
  std::shared_ptr<WorkerPool> paused = WorkerPool::start(2).value();
  paused->pause();
  write(records, paused, [](std::size_t) { return false; });
  paused->resume();
  EXPECT_TRUE(contents() == alone) << "not sharing";
}

}  // namespace
}  // namespace quillmere
