#include "run/run_writer.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/test_util.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using Bytes = std::vector<std::byte>;

// The test reads files with its own code, not with the project's format
// header, so a shared mistake cannot hide.
constexpr std::size_t kBlock = 131072;

struct Record {
  Bytes key;
  Bytes payload;
  bool operator==(const Record&) const = default;
};

Bytes bytes_of(std::string_view text) {
  Bytes out;
  for (char c : text) out.push_back(static_cast<std::byte>(c));
  return out;
}

std::uint32_t le32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::to_integer<std::uint32_t>(b.at(at + i)) << (8 * i);
  return v;
}

void append_le32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>(v >> (8 * i)));
}

// The record stream as the format describes it.
Bytes frame(const std::vector<Record>& records) {
  Bytes out;
  for (const Record& r : records) {
    append_le32(out, static_cast<std::uint32_t>(r.key.size()));
    out.insert(out.end(), r.key.begin(), r.key.end());
    append_le32(out, static_cast<std::uint32_t>(r.payload.size()));
    out.insert(out.end(), r.payload.begin(), r.payload.end());
  }
  return out;
}

std::uint64_t framed_size(const std::vector<Record>& records) {
  std::uint64_t n = 0;
  for (const Record& r : records) n += r.key.size() + r.payload.size() + 8;
  return n;
}

struct Block {
  std::uint32_t c;  // compressed length
  std::uint32_t u;  // uncompressed length
  Bytes raw;        // the block decompressed
};

// Splits a file into its blocks and decompresses each, failing the test on
// anything malformed.
std::vector<Block> parse_blocks(const Bytes& file) {
  std::vector<Block> blocks;
  std::size_t at = 0;
  while (at < file.size()) {
    EXPECT_LE(at + 8, file.size()) << "header cut short at " << at;
    if (at + 8 > file.size()) break;
    Block b{le32(file, at), le32(file, at + 4), {}};
    at += 8;
    EXPECT_GE(b.u, 1u);
    EXPECT_LE(b.u, kBlock);
    EXPECT_GE(b.c, 1u);
    EXPECT_LE(b.c, b.u * 110 / 100 + 20);
    EXPECT_LE(at + b.c, file.size()) << "body cut short at " << at;
    if (b.u > kBlock || at + b.c > file.size()) break;
    b.raw.resize(b.u);
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(file.data() + at),
                                reinterpret_cast<char*>(b.raw.data()), static_cast<int>(b.c),
                                static_cast<int>(b.u));
    EXPECT_EQ(n, static_cast<int>(b.u)) << "block at " << at - 8;
    at += b.c;
    blocks.push_back(std::move(b));
  }
  return blocks;
}

Bytes stream_of(const std::vector<Block>& blocks) {
  Bytes out;
  for (const Block& b : blocks) out.insert(out.end(), b.raw.begin(), b.raw.end());
  return out;
}

std::vector<Record> parse_records(const Bytes& stream) {
  std::vector<Record> records;
  std::size_t at = 0;
  auto field = [&](Bytes& out) {
    std::size_t n = le32(stream, at);
    at += 4;
    EXPECT_LE(at + n, stream.size());
    if (at + n > stream.size()) return false;
    out.assign(stream.begin() + at, stream.begin() + at + n);
    at += n;
    return true;
  };
  while (at < stream.size()) {
    Record r;
    if (!field(r.key) || !field(r.payload)) break;
    records.push_back(std::move(r));
  }
  return records;
}

// Records of random lengths over a small alphabet, so blocks compress by
// varying amounts.
std::vector<Record> random_records(std::size_t stream_bytes, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Record> records;
  std::uint64_t total = 0;
  auto fill = [&](Bytes& b, std::size_t max_len) {
    b.resize(rng() % (max_len + 1));
    for (std::byte& x : b) x = static_cast<std::byte>('a' + rng() % 12);
  };
  while (total < stream_bytes) {
    Record r;
    fill(r.key, 40);
    fill(r.payload, 3000);
    total += r.key.size() + r.payload.size() + 8;
    records.push_back(std::move(r));
  }
  return records;
}

Bytes random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes out(n);
  for (std::byte& x : out) x = static_cast<std::byte>(rng());
  return out;
}

Bytes read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes_of(text);
}

std::shared_ptr<WorkerPool> start_pool(std::size_t threads) {
  Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::start(threads);
  EXPECT_TRUE(pool) << pool.error().text();
  return pool ? *pool : nullptr;
}

class RunWriterTest : public ::testing::Test {
 protected:
  fs::path path(const std::string& name = "run") const { return dir_.path() / name; }

  Result<quillmere::Run> write(const fs::path& path, const std::vector<Record>& records,
                    std::shared_ptr<WorkerPool> pool = nullptr) {
    Result<RunWriter> writer = RunWriter::create(path, std::move(pool));
    if (!writer) return fail(std::move(writer.error()));
    for (const Record& r : records) {
      if (Result<> pushed = writer->push(r.key, r.payload); !pushed) return fail(pushed.error());
    }
    return std::move(*writer).finish();
  }

  // Writes `records` to a new file and returns its blocks, checking the Run
  // and that the blocks hold exactly the framed records.
  std::vector<Block> write_and_parse(const std::vector<Record>& records) {
    fs::path p = path("run-" + std::to_string(next_++));
    Result<quillmere::Run> run = write(p, records);
    EXPECT_TRUE(run) << run.error().text();
    if (!run) return {};
    EXPECT_EQ(run->path, p);
    EXPECT_EQ(run->count, records.size());
    EXPECT_EQ(run->bytes, framed_size(records));
    std::vector<Block> blocks = parse_blocks(read_file(p));
    EXPECT_EQ(stream_of(blocks), frame(records));
    return blocks;
  }

  TempDir dir_;
  int next_ = 0;
};

TEST_F(RunWriterTest, NoRecordsMakeAnEmptyFile) {
  Result<quillmere::Run> run = write(path(), {});
  ASSERT_TRUE(run) << run.error().text();
  EXPECT_EQ(run->count, 0u);
  EXPECT_EQ(run->bytes, 0u);
  EXPECT_EQ(fs::file_size(path()), 0u);
}

TEST_F(RunWriterTest, StreamIsCutIntoBlocksOf128KiB) {
  // One record framing to exactly one block.
  Record exact{bytes_of("key"), Bytes(kBlock - 3 - 8, std::byte{'p'})};
  std::vector<Block> one = write_and_parse({exact});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].u, kBlock);

  Record longer = exact;
  longer.payload.push_back(std::byte{'q'});
  std::vector<Block> two = write_and_parse({longer});
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].u, kBlock);
  EXPECT_EQ(two[1].u, 1u);
  EXPECT_EQ(two[1].raw, Bytes{std::byte{'q'}});
}

TEST_F(RunWriterTest, LengthFieldMaySpanTwoBlocks) {
  // The first record ends 2 bytes before the block does, so the second
  // record's key length (513: bytes 01 02 00 00) is cut 2 + 2.
  Record first{bytes_of("a"), Bytes(kBlock - 2 - 1 - 8, std::byte{'x'})};
  Record second{Bytes(513, std::byte{'k'}), bytes_of("payload")};
  std::vector<Block> blocks = write_and_parse({first, second});
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].raw[kBlock - 2], std::byte{0x01});
  EXPECT_EQ(blocks[0].raw[kBlock - 1], std::byte{0x02});
  EXPECT_EQ(blocks[1].raw[0], std::byte{0x00});
  EXPECT_EQ(blocks[1].raw[1], std::byte{0x00});
  EXPECT_EQ(parse_records(stream_of(blocks)), (std::vector<Record>{first, second}));
}

TEST_F(RunWriterTest, EmptyFieldIsAZeroLengthAlone) {
  std::vector<Block> blocks = write_and_parse({{{}, {}}, {{}, bytes_of("x")}});
  ASSERT_EQ(blocks.size(), 1u);
  Bytes expected(12, std::byte{0});
  append_le32(expected, 1);
  expected.push_back(std::byte{'x'});
  EXPECT_EQ(blocks[0].raw, expected);
}

TEST_F(RunWriterTest, CompressedLengthFollowsTheData) {
  std::vector<Block> repetitive =
      write_and_parse({{bytes_of("k"), Bytes(8 * kBlock, std::byte{'a'})}});
  ASSERT_EQ(repetitive.size(), 9u);
  for (const Block& b : repetitive) EXPECT_LT(b.c, b.u / 50 + 20);

  // Incompressible blocks are stored compressed all the same, so a little
  // longer, within the bound (which parse_blocks checks).
  std::vector<Block> random = write_and_parse({{bytes_of("k"), random_bytes(4 * kBlock, 3)}});
  ASSERT_EQ(random.size(), 5u);
  for (const Block& b : random) EXPECT_GT(b.c, b.u);
}

TEST_F(RunWriterTest, CreateRefusesAnExistingFile) {
  std::ofstream(path()) << "keep me";
  Result<RunWriter> writer = RunWriter::create(path(), nullptr);
  ASSERT_FALSE(writer);
  ASSERT_TRUE(writer.error().is_io());
  EXPECT_EQ(writer.error().kind(), IoKind::AlreadyExists);
  EXPECT_EQ(writer.error().text(), path().native() + ": " + os_error_text(EEXIST));
  EXPECT_EQ(read_file(path()), bytes_of("keep me"));

  Result<RunWriter> nowhere = RunWriter::create(path("missing") / "run", nullptr);
  ASSERT_FALSE(nowhere);
  EXPECT_EQ(nowhere.error().kind(), IoKind::NotFound);
  EXPECT_TRUE(nowhere.error().text().starts_with((path("missing") / "run").native() + ": "));
}

TEST_F(RunWriterTest, BytesDoNotDependOnSlotsOrThreads) {
  // About 42 blocks: two full batches of 16 slots and a partial third.
  std::vector<Record> records = random_records(42 * kBlock - 5000, 4);
  struct Case {
    std::size_t threads;  // 0: no pool
    std::size_t slots;
  };
  Bytes sequential;
  for (Case c : {Case{0, 1}, Case{1, 2}, Case{2, 4}, Case{8, 16}, Case{9, 16}}) {
    std::shared_ptr<WorkerPool> pool = c.threads == 0 ? nullptr : start_pool(c.threads);
    fs::path p = path("threads-" + std::to_string(c.threads));
    Result<RunWriter> writer = RunWriter::create(p, pool);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->slots(), c.slots) << c.threads << " threads";
    for (const Record& r : records) ASSERT_TRUE(writer->push(r.key, r.payload));
    Result<quillmere::Run> run = std::move(*writer).finish();
    ASSERT_TRUE(run) << run.error().text();
    EXPECT_EQ(run->count, records.size());
    EXPECT_EQ(run->bytes, framed_size(records));
    Bytes file = read_file(p);
    if (c.threads == 0) {
      sequential = file;
      EXPECT_EQ(parse_records(stream_of(parse_blocks(file))), records);
    } else {
      EXPECT_TRUE(file == sequential) << c.threads << " threads";
    }
  }
}

TEST_F(RunWriterTest, DroppedWriterKeepsTheBlocksItCompressed) {
  // One slot: each full block goes to the write buffer at once, and the
  // partial fourth stays in its slot.
  std::vector<Record> records = {{bytes_of("k"), random_bytes(3 * kBlock + 100, 5)}};
  {
    Result<RunWriter> writer = RunWriter::create(path(), nullptr);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->push(records[0].key, records[0].payload));
  }
  std::vector<Block> blocks = parse_blocks(read_file(path()));
  ASSERT_EQ(blocks.size(), 3u);
  Bytes stream = frame(records);
  stream.resize(3 * kBlock);
  EXPECT_EQ(stream_of(blocks), stream);
}

// In a child process, since the file size limit stays with the process:
// writes past `limit` bytes fail with EFBIG once the first partial write
// has reached the limit. Returns 0 if push and finish both fail as they
// should, else the number of the check that failed.
int fail_past_limit(const fs::path& pushed, const fs::path& finished, rlim_t limit) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{limit, limit};
  if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 1;
  const std::string efbig = os_error_text(EFBIG);
  const Bytes payload = random_bytes(kBlock, 6);  // incompressible: fills the buffer
  Result<RunWriter> a = RunWriter::create(pushed, nullptr);
  if (!a) return 2;
  Result<> r;
  for (int i = 0; i < 64 && r; ++i) r = a->push(bytes_of("k"), payload);
  if (r) return 3;
  if (r.error().kind() != kind_from_errno(EFBIG)) return 4;
  if (r.error().text() != pushed.native() + ": " + efbig) return 5;

  // Small enough to stay buffered until finish.
  Result<RunWriter> b = RunWriter::create(finished, nullptr);
  if (!b) return 6;
  for (int i = 0; i < 2; ++i) {
    if (!b->push(bytes_of("k"), payload)) return 7;
  }
  Result<quillmere::Run> run = std::move(*b).finish();
  if (run) return 8;
  if (run.error().text() != finished.native() + ": " + efbig) return 9;
  return 0;
}

TEST_F(RunWriterTest, FailedWriteReportsThePath) {
  constexpr rlim_t kLimit = 65536;
  std::fflush(nullptr);  // or the child's exit may print the parent's pending output again
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(fail_past_limit(path("pushed"), path("finished"), kLimit));
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "check that failed in the child";
  // The partial write up to the limit was continued, not abandoned.
  EXPECT_EQ(fs::file_size(path("pushed")), kLimit);
  EXPECT_EQ(fs::file_size(path("finished")), kLimit);
}

}  // namespace
}  // namespace quillmere
