#include "run/run_reader.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/test_util.h"
#include "run/run_writer.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using Bytes = std::vector<std::byte>;

// The test builds and parses files with its own code, not with the
// project's format header, so a shared mistake cannot hide.
constexpr std::size_t kBlock = 131072;
constexpr std::uint32_t max_c(std::uint32_t u) { return u * 110 / 100 + 20; }

const std::string kHeaderCut = "failed to fill whole buffer";
const std::string kImpossible = "a block has an impossible length";
const std::string kUndecodable = "a block does not decompress to its length";
const std::string kTooLong = "a record is longer than the rest of the run";

struct Record {
  Bytes key;
  Bytes payload;
  bool operator==(const Record&) const = default;
};

Bytes random_bytes(std::size_t n, std::mt19937_64& rng, unsigned alphabet = 256) {
  Bytes out(n);
  for (std::byte& b : out) b = static_cast<std::byte>(rng() % alphabet);
  return out;
}

// Records of random lengths, empty ones included, framing to at least
// `stream_bytes`. A small alphabet compresses; 256 letters do not.
std::vector<Record> random_records(std::size_t stream_bytes, unsigned alphabet, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<Record> records = {{{}, {}}, {{}, random_bytes(5, rng)}, {random_bytes(3, rng), {}}};
  std::size_t total = 3 * 8 + 8;
  while (total < stream_bytes) {
    Record r{random_bytes(rng() % 41, rng, alphabet), random_bytes(rng() % 3001, rng, alphabet)};
    total += r.key.size() + r.payload.size() + 8;
    records.push_back(std::move(r));
  }
  return records;
}

void append_le32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::to_integer<std::uint32_t>(b.at(at + i)) << (8 * i);
  return v;
}

// `raw` as one stored block, its header claiming `u` bytes (by default the
// true length).
Bytes pack(const Bytes& raw, std::int64_t u_delta = 0) {
  Bytes body(LZ4_compressBound(static_cast<int>(raw.size())));
  int c = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()),
                               reinterpret_cast<char*>(body.data()), static_cast<int>(raw.size()),
                               static_cast<int>(body.size()));
  Bytes out;
  append_le32(out, static_cast<std::uint32_t>(c));
  append_le32(out, static_cast<std::uint32_t>(static_cast<std::int64_t>(raw.size()) + u_delta));
  out.insert(out.end(), body.begin(), body.begin() + c);
  return out;
}

// Where each block of a file starts, and the file's end.
std::vector<std::size_t> block_starts(const Bytes& file) {
  std::vector<std::size_t> starts = {0};
  while (starts.back() < file.size()) {
    starts.push_back(starts.back() + 8 + le32(file, starts.back()));
  }
  return starts;
}

// "OK", or an error's kind and text, to compare in one expectation.
template <class T>
std::string outcome(const Result<T>& r) {
  if (r) return "OK";
  if (!r.error().is_io()) return "not an I/O error: " + r.error().text();
  return std::string(describe(r.error().kind())) + ": " + r.error().text();
}
std::string failure(IoKind kind, const std::string& text) {
  return std::string(describe(kind)) + ": " + text;
}

class RunReaderTest : public ::testing::Test {
 protected:
  fs::path path() const { return dir_.path() / "run"; }

  void write(const std::vector<Record>& records, std::shared_ptr<WorkerPool> pool = nullptr) {
    fs::remove(path());
    Result<RunWriter> writer = RunWriter::create(path(), std::move(pool));
    ASSERT_TRUE(writer) << writer.error().text();
    for (const Record& r : records) ASSERT_TRUE(writer->push(r.key, r.payload));
    Result<quillmere::Run> run = std::move(*writer).finish();
    ASSERT_TRUE(run) << run.error().text();
    run_ = *run;
  }

  // A file made by hand, known by the count and byte total given.
  void write_file(const Bytes& contents, std::uint64_t count, std::uint64_t bytes) {
    rewrite(contents);
    run_ = quillmere::Run{path(), count, bytes};
  }

  Result<std::vector<Record>> read_all() {
    Result<RunReader> reader = RunReader::open(run_);
    if (!reader) return fail(std::move(reader.error()));
    return read_rest(*reader);
  }

  // Reads up to `at_most` of the records left, reusing two buffers as a
  // merge does.
  static Result<std::vector<Record>> read_rest(RunReader& reader, std::size_t at_most = SIZE_MAX) {
    std::vector<Record> records;
    Bytes key, payload;
    while (reader.count() > 0 && records.size() < at_most) {
      if (Result<> r = reader.read_field(key); !r) return fail(std::move(r.error()));
      if (Result<> r = reader.read_field(payload); !r) return fail(std::move(r.error()));
      reader.finish_record();
      records.push_back({key, payload});
    }
    return records;
  }

  Bytes contents() const {
    std::ifstream in(path(), std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* begin = reinterpret_cast<const std::byte*>(s.data());
    return Bytes(begin, begin + s.size());
  }
  void rewrite(const Bytes& bytes) {
    std::ofstream out(path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  void cut_tail(std::size_t n) { fs::resize_file(path(), fs::file_size(path()) - n); }
  void set_byte(std::size_t offset, std::byte value) {
    Bytes b = contents();
    b.at(offset) = value;
    rewrite(b);
  }
  void set_u32(std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) set_byte(offset + i, static_cast<std::byte>(value >> (8 * i)));
  }
  void append(const Bytes& garbage) {
    Bytes b = contents();
    b.insert(b.end(), garbage.begin(), garbage.end());
    rewrite(b);
  }

  TempDir dir_;
  quillmere::Run run_;
};

TEST_F(RunReaderTest, RecordsOfEverySizeRoundTrip) {
  std::vector<Record> records = random_records(5 * kBlock, 12, 1);
  records.push_back({Bytes(2, std::byte{'z'}), {}});  // nothing to load after the last length
  write(records);
  EXPECT_EQ(read_all(), records);

  // Incompressible, so bodies are longer than their blocks; and written
  // by six slots, so in several batches.
  Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(3);
  ASSERT_TRUE(pool);
  records = random_records(9 * kBlock, 256, 2);
  write(records, *pool);
  EXPECT_EQ(read_all(), records);
}

TEST_F(RunReaderTest, FieldsMayStraddleBlocks) {
  std::mt19937_64 rng(3);
  // The second record's key length (bytes 01 02 00 00) split 1 + 3, 2 + 2
  // and 3 + 1 across the first two blocks.
  for (std::size_t before : {1, 2, 3}) {
    std::vector<Record> records = {
        {Bytes(1, std::byte{'a'}), random_bytes(kBlock - before - 9, rng)},
        {random_bytes(513, rng), random_bytes(7, rng)}};
    write(records);
    EXPECT_EQ(read_all(), records) << before;
  }
  // A payload from the end of the first block to the start of the third.
  std::vector<Record> records = {{Bytes(1, std::byte{'a'}), random_bytes(kBlock - 100, rng)},
                                 {Bytes(1, std::byte{'b'}), random_bytes(kBlock + 200, rng)}};
  write(records);
  ASSERT_EQ(block_starts(contents()).size(), 4u);
  EXPECT_EQ(read_all(), records);
}

TEST_F(RunReaderTest, NothingPastTheCountIsRead) {
  write({});
  EXPECT_EQ(fs::file_size(path()), 0u);
  Result<RunReader> reader = RunReader::open(run_);
  ASSERT_TRUE(reader) << reader.error().text();
  EXPECT_EQ(reader->count(), 0u);
  append(Bytes(3, std::byte{0xff}));
  EXPECT_EQ(read_all(), std::vector<Record>{});

  std::mt19937_64 rng(4);
  std::vector<Record> records = random_records(2 * kBlock, 12, 5);
  write(records);
  append(Bytes(8, std::byte{0xff}));  // an impossible header
  append(random_bytes(1000, rng));
  EXPECT_EQ(read_all(), records);
}

// The error of a file cut to `size` bytes: in a header, or in a body.
std::string cut_error(const std::vector<std::size_t>& starts, std::size_t size) {
  std::size_t start = *std::prev(std::upper_bound(starts.begin(), starts.end(), size));
  if (size < start + 8) return failure(IoKind::UnexpectedEof, kHeaderCut);
  return failure(IoKind::UnexpectedEof, describe(IoKind::UnexpectedEof));
}

TEST_F(RunReaderTest, CutAnywhereEndsEarly) {
  // Repetitive records make a small file of three blocks: cut it everywhere.
  std::vector<Record> records(290, {Bytes(20, std::byte{'k'}), Bytes(1300, std::byte{'p'})});
  write(records);
  Bytes whole = contents();
  std::vector<std::size_t> starts = block_starts(whole);
  ASSERT_EQ(starts.size(), 4u);
  for (std::size_t size = 0; size < whole.size(); ++size) {
    rewrite(whole);
    cut_tail(whole.size() - size);
    ASSERT_EQ(outcome(read_all()), cut_error(starts, size)) << "cut to " << size;
  }

  // Incompressible records: cut at and around each header and body end.
  write(random_records(5 * kBlock, 256, 6));
  whole = contents();
  starts = block_starts(whole);
  std::vector<std::size_t> sizes;
  for (std::size_t s : starts) {
    for (std::size_t d : {0, 1, 4, 7, 8, 9, 1000}) sizes.push_back(s + d);
    if (s > 0) sizes.push_back(s - 1);
  }
  for (std::size_t size : sizes) {
    if (size >= whole.size()) continue;
    rewrite(whole);
    cut_tail(whole.size() - size);
    EXPECT_EQ(outcome(read_all()), cut_error(starts, size)) << "cut to " << size;
  }
}

TEST_F(RunReaderTest, ImpossibleBlockLengthIsCorrupt) {
  std::vector<Record> records = random_records(kBlock + 5000, 256, 7);
  write(records);
  Bytes whole = contents();
  // The first header is read alone; the second comes along with a body.
  for (std::size_t at : block_starts(whole)) {
    if (at == whole.size()) break;
    std::uint32_t u = le32(whole, at + 4);
    struct Case {
      std::uint32_t c, u;
      const std::string& text;  // what passes the check still fails to decode
    } cases[] = {{1, 0, kImpossible},          {1, kBlock + 1, kImpossible},
                 {0, u, kImpossible},          {max_c(u) + 1, u, kImpossible},
                 {max_c(u), u, kUndecodable},  {1, u, kUndecodable},
                 {max_c(kBlock), kBlock, kUndecodable}};
    for (const Case& k : cases) {
      rewrite(whole);
      append(Bytes(kBlock + 20000, std::byte{0}));  // so any length finds a body
      set_u32(at, k.c);
      set_u32(at + 4, k.u);
      EXPECT_EQ(outcome(read_all()), failure(IoKind::InvalidData, k.text))
          << "block at " << at << ", C " << k.c << ", U " << k.u;
    }
  }
}

TEST_F(RunReaderTest, BodyOfTheWrongLengthIsCorrupt) {
  Bytes stream;
  append_le32(stream, 3);
  for (char c : std::string("key")) stream.push_back(static_cast<std::byte>(c));
  append_le32(stream, 200);
  stream.resize(stream.size() + 200, std::byte{'v'});
  const std::uint64_t bytes = stream.size();

  write_file(pack(stream), 1, bytes);
  ASSERT_EQ(outcome(read_all()), "OK");
  for (std::int64_t u_delta : {-1, 1}) {  // decodes to more, then fewer bytes than U
    write_file(pack(stream, u_delta), 1, bytes);
    EXPECT_EQ(outcome(read_all()), failure(IoKind::InvalidData, kUndecodable)) << u_delta;
  }
  Bytes garbage = pack(stream);
  std::fill(garbage.begin() + 8, garbage.end(), std::byte{0xff});
  write_file(garbage, 1, bytes);
  EXPECT_EQ(outcome(read_all()), failure(IoKind::InvalidData, kUndecodable));
}

TEST_F(RunReaderTest, LengthBeyondTheRunIsCorrupt) {
  // All 32 bits set in a run of 20 bytes: refused before any allocation.
  Bytes stream(4, std::byte{0xff});
  stream.resize(20, std::byte{'x'});
  write_file(pack(stream), 1, stream.size());
  Result<RunReader> reader = RunReader::open(run_);
  ASSERT_TRUE(reader);
  Bytes out(16);
  EXPECT_EQ(outcome(reader->read_field(out)), failure(IoKind::InvalidData, kTooLong));
  EXPECT_LT(out.capacity(), 1u << 20);

  // The run's total bounds the last field to the byte.
  std::vector<Record> records = random_records(kBlock, 12, 8);
  records.push_back({Bytes(9, std::byte{'k'}), Bytes(1, std::byte{'v'})});
  write(records);
  --run_.bytes;
  EXPECT_EQ(outcome(read_all()), failure(IoKind::InvalidData, kTooLong));

  // The total stops at 0 rather than wrapping round, so that the payload
  // still finds no room.
  write({{{}, Bytes(1, std::byte{'v'})}});
  run_.bytes = 3;
  EXPECT_EQ(outcome(read_all()), failure(IoKind::InvalidData, kTooLong));
}

TEST_F(RunReaderTest, SystemErrorsKeepTheirKind) {
  run_ = quillmere::Run{dir_.path() / "missing", 1, 8};
  Result<RunReader> missing = RunReader::open(run_);
  EXPECT_EQ(outcome(missing),
            failure(IoKind::NotFound, run_.path.native() + ": " + os_error_text(ENOENT)));

  // A directory opens but cannot be read; the path is added by the merge.
  run_ = quillmere::Run{dir_.path(), 1, 8};
  EXPECT_EQ(outcome(read_all()), failure(IoKind::IsADirectory, os_error_text(EISDIR)));
}

std::size_t open_files() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST_F(RunReaderTest, MovedReaderReadsOnAndClosesOnce) {
  std::vector<Record> records = random_records(3 * kBlock, 12, 9);
  write(records);
  quillmere::Run other = run_;
  other.path = dir_.path() / "other";
  fs::copy_file(path(), other.path);
  const std::size_t before = open_files();
  {
    Result<RunReader> a = RunReader::open(run_);
    ASSERT_TRUE(a);
    EXPECT_EQ(read_rest(*a, 1), std::vector<Record>(records.begin(), records.begin() + 1));

    RunReader b = std::move(*a);
    { RunReader emptied = std::move(*a); }  // holds no file, so closes none
    Result<RunReader> c = RunReader::open(other);
    ASSERT_TRUE(c);
    *c = std::move(b);  // closes the other file
    EXPECT_EQ(open_files(), before + 1);
    EXPECT_EQ(read_rest(*c), std::vector<Record>(records.begin() + 1, records.end()));
  }
  EXPECT_EQ(open_files(), before);
}

}  // namespace
}  // namespace quillmere
