// Micro-benchmarks of the core's four hot paths, each beside a baseline in
// the same binary that does the job the plain way on the same records:
//   sort_half  ordering a half of 1 M items, against std::sort with a plain
//              memcmp comparator (sort_half_str: the same with short string
//              keys; spill_order: those keys ordered as a spill does, by
//              sorted pieces merged while visiting)
//   write_run  writing the sorted half as a run file, against LZ4 of the
//              same record stream in the same blocks, one core, no file
//   read_run   reading that run record by record, against LZ4 decompression
//              of its blocks held in memory, with no file and no records
//   merge_64   merging 64 runs of 15,625 records, against a
//              std::priority_queue merge over the same readers
// Names are "group/baseline" and "group/quillmere[/threads:N]"; the harness
// divides each quillmere entry by the baseline of its group.
//
// Records look like the sorter's own: keys as the key encoder makes them
// (10 bytes for a float, 8 to 15 for a short word) and payloads of 16 to 40
// bytes shaped like small pickles. Inputs are built once, outside the timed
// loops. Run files go to a private directory made under --bench_dir=PATH,
// else $QUILLMERE_BENCH_DIR, else the directory holding this binary (on
// disk, where a RAM-backed /tmp would flatter the writer), and removed at
// exit.

#include <benchmark/benchmark.h>
#include <lz4.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/byte_order.h"
#include "base/pool.h"
#include "key/key.h"
#include "merge/merged.h"
#include "run/format.h"
#include "run/run.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "sorter/chunk.h"
#include "sorter/sorter.h"

namespace quillmere {
namespace {

using Bytes = std::vector<std::byte>;

constexpr std::size_t kItems = 1'000'000;
constexpr std::size_t kMergeRuns = 64;
constexpr std::size_t kMergeRunItems = kItems / kMergeRuns;  // 15,625
constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 40;   // the inputs never spill
static_assert(kMergeRuns * kMergeRunItems == kItems);

// Set up before any benchmark runs: where run files go.
std::filesystem::path g_dir;

// exit() skips the destructors that would remove the directory, so this
// removes it itself.
[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "core_bench: %s\n", message.c_str());
  std::error_code ignored;
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir, ignored);
  std::exit(1);
}

// Setting up a benchmark cannot go on without its inputs.
template <class T>
T must(Result<T> result) {
  if (!result) die(result.error().text());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

enum class Keys { Floats, Words };

std::span<const std::byte> key_of(const Chunk& chunk, const Entry& e) {
  return {chunk.data.data() + e.offset, e.key_len};
}

std::span<const std::byte> payload_of(const Chunk& chunk, const Entry& e) {
  return {chunk.data.data() + e.offset + e.key_len, e.payload_len};
}

void push_key(Keys keys, std::mt19937_64& rng, key::Buffer& out) {
  if (keys == Keys::Floats) {
    key::push_double(out, std::uniform_real_distribution<double>(-1e9, 1e9)(rng));
    return;
  }
  std::byte word[12];
  const std::size_t len = 5 + rng() % 8;
  for (std::size_t i = 0; i < len; ++i) word[i] = static_cast<std::byte>('a' + rng() % 26);
  key::push_escaped(out, key::kTagStr, {word, len});
}

// 16 to 40 bytes laid out like a small pickle: a protocol and frame header
// that barely varies, a varied body, a stop byte. LZ4 finds a little to
// squeeze, as in real runs.
void make_payload(std::mt19937_64& rng, Bytes& out) {
  const std::size_t len = 16 + rng() % 25;
  out.assign(len, std::byte{0});
  out[0] = std::byte{0x80};
  out[1] = std::byte{0x05};
  out[2] = std::byte{0x95};
  out[3] = static_cast<std::byte>(len - 12);  // frame length, 8 bytes little-endian
  for (std::size_t i = 11; i + 1 < len; ++i) out[i] = static_cast<std::byte>(rng());
  out[len - 1] = std::byte{'.'};
}

void add_item(Chunk& chunk, std::span<const std::byte> key, std::span<const std::byte> payload) {
  if (!make_room(chunk, key.size() + payload.size(), kNoLimit)) die("an input chunk is full");
  append(chunk, key, payload);
}

// The baseline's order: memcmp of the keys, a proper prefix first, then
// order of addition. The same total order as sort(), written the naive way.
struct PlainLess {
  const std::byte* data;
  bool operator()(const Entry& a, const Entry& b) const noexcept {
    const int c = std::memcmp(data + a.offset, data + b.offset, std::min(a.key_len, b.key_len));
    if (c != 0) return c < 0;
    if (a.key_len != b.key_len) return a.key_len < b.key_len;
    return a.offset < b.offset;
  }
};

struct Items {
  Chunk added;                     // 1 M items in order of addition
  Chunk sorted;                    // the same, entries in record order
  std::uint64_t stream_bytes = 0;  // the framed record stream: lengths, keys, payloads
};

// Builds the items, and checks once that both sorts agree, so the two sides
// of sort_half do the same work.
Items make_items(Keys keys, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Items items;
  key::Buffer key;
  Bytes payload;
  for (std::size_t i = 0; i < kItems; ++i) {
    key.clear();
    push_key(keys, rng, key);
    make_payload(rng, payload);
    add_item(items.added, key, payload);
    items.stream_bytes += key.size() + payload.size() + kRecordOverhead;
  }
  items.sorted = items.added;
  sort(items.sorted, nullptr);
  Chunk plain = items.added;
  std::sort(plain.entries.begin(), plain.entries.end(), PlainLess{plain.data.data()});
  if (!std::equal(plain.entries.begin(), plain.entries.end(), items.sorted.entries.begin())) {
    die("sort() and the plain sort disagree");
  }
  return items;
}

const Items& items_of(Keys keys) {
  if (keys == Keys::Floats) {
    static const Items floats = make_items(Keys::Floats, 1);
    return floats;
  }
  static const Items words = make_items(Keys::Words, 2);
  return words;
}

// No pool for one thread; for two, one pool started on first use and shared
// by every benchmark that asks.
std::shared_ptr<WorkerPool> pool_of(int threads) {
  if (threads < 2) return nullptr;
  static const std::shared_ptr<WorkerPool> pool = must(WorkerPool::start(2));
  return pool;
}

// Writes a sorted chunk's records as a run, for the benchmarks that read.
Run write_run_file(const std::filesystem::path& path, const Chunk& chunk) {
  RunWriter writer = must(RunWriter::create(path, nullptr));
  for (const Entry& e : chunk.entries) must(writer.push(key_of(chunk, e), payload_of(chunk, e)));
  return must(std::move(writer).finish());
}

// The sorted floats as one run file.
const Run& sorted_run() {
  static const Run run = [] {
    const Items& items = items_of(Keys::Floats);
    return write_run_file(g_dir / "sorted", items.sorted);
  }();
  return run;
}

// The floats cut into 64 slices in order of addition, each sorted and
// written as a run, so a merge draws from all of them in random turns.
const std::vector<Run>& merge_runs() {
  static const std::vector<Run> runs = [] {
    const Chunk& added = items_of(Keys::Floats).added;
    std::vector<Run> made;
    for (std::size_t r = 0; r < kMergeRuns; ++r) {
      Chunk slice;
      for (std::size_t i = r * kMergeRunItems; i < (r + 1) * kMergeRunItems; ++i) {
        add_item(slice, key_of(added, added.entries[i]), payload_of(added, added.entries[i]));
      }
      sort(slice, nullptr);
      made.push_back(write_run_file(g_dir / ("merge-" + std::to_string(r)), slice));
    }
    return made;
  }();
  return runs;
}

void set_rates(benchmark::State& state, std::uint64_t items, std::uint64_t bytes) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Each iteration starts from the entries in order of addition, copied over
// the sorted ones (16 MB; both sides pay it, a few per cent of a sort). The
// arena is only read, so one copy of it serves every iteration.
void restore_entries(Chunk& work, const Chunk& added) {
  std::memcpy(work.entries.data(), added.entries.data(), added.entries.size() * sizeof(Entry));
}

void sort_half_baseline(benchmark::State& state, Keys keys) {
  const Items& items = items_of(keys);
  Chunk work = items.added;
  const PlainLess less{work.data.data()};
  for (auto _ : state) {
    restore_entries(work, items.added);
    std::sort(work.entries.begin(), work.entries.end(), less);
    benchmark::DoNotOptimize(work.entries.data());
    benchmark::ClobberMemory();
  }
  set_rates(state, kItems, items.stream_bytes);
}

// Times `order` on the items, each iteration from their entries in order of
// addition, with no pool for one thread.
template <class Order>
void time_order(benchmark::State& state, Keys keys, int threads, const Order& order) {
  const Items& items = items_of(keys);
  const std::shared_ptr<WorkerPool> pool = pool_of(threads);
  Chunk work = items.added;
  for (auto _ : state) {
    restore_entries(work, items.added);
    order(work, pool.get());
  }
  set_rates(state, kItems, items.stream_bytes);
}

void sort_half_quillmere(benchmark::State& state, Keys keys, int threads) {
  time_order(state, keys, threads, [](Chunk& work, WorkerPool* pool) {
    sort(work, pool);
    benchmark::DoNotOptimize(work.entries.data());
    benchmark::ClobberMemory();
  });
}

// What a spill does to order a half: sort its pieces, then visit the
// entries in key order by merging the pieces, as writing the run does.
void spill_order_quillmere(benchmark::State& state, Keys keys, int threads) {
  time_order(state, keys, threads, [](Chunk& work, WorkerPool* pool) {
    sort_pieces(work, pool);
    std::uint64_t visited = 0;
    for_each_sorted(work, [&](const Entry& e) {
      visited += e.key_len;
      return true;
    });
    benchmark::DoNotOptimize(visited);
  });
}

// Cuts a record stream into blocks as the writer does, handing each full
// block, and at the end the rest, to a callback.
template <class OnBlock>
class BlockCutter {
 public:
  explicit BlockCutter(OnBlock on_block) : on_block_(std::move(on_block)) {
    raw_.reserve(kBlockSize);
  }

  void record(std::span<const std::byte> key, std::span<const std::byte> payload) {
    std::byte length[kRecordLengthSize];
    store_le(length, static_cast<std::uint32_t>(key.size()));
    put(length);
    put(key);
    store_le(length, static_cast<std::uint32_t>(payload.size()));
    put(length);
    put(payload);
  }

  void finish() {
    if (!raw_.empty()) on_block_(std::span<const std::byte>(raw_));
    raw_.clear();
  }

 private:
  void put(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
      const std::size_t n = std::min(kBlockSize - raw_.size(), bytes.size());
      raw_.insert(raw_.end(), bytes.begin(), bytes.begin() + n);
      bytes = bytes.subspan(n);
      if (raw_.size() == kBlockSize) finish();
    }
  }

  OnBlock on_block_;
  Bytes raw_;
};

// The same records framed into the same 128 KiB blocks and compressed with
// the same call; what it leaves out is the file (its buffer and write(2)
// calls), the writer's slots, and any pool. Both sides gather the records
// from the arena in key order, as a spill does.
void write_run_baseline(benchmark::State& state) {
  const Items& items = items_of(Keys::Floats);
  std::vector<char> packed(max_compressed_size(kBlockSize));
  std::uint64_t packed_bytes = 0;
  BlockCutter cutter([&](std::span<const std::byte> raw) {
    const int c = LZ4_compress_fast(reinterpret_cast<const char*>(raw.data()), packed.data(),
                                    static_cast<int>(raw.size()), static_cast<int>(packed.size()),
                                    kLz4Acceleration);  // the writer's own setting
    packed_bytes += kBlockHeaderSize + static_cast<std::size_t>(c);
  });
  const Chunk& chunk = items.sorted;
  const std::size_t n = chunk.entries.size();
  for (auto _ : state) {
    // Fetched ahead as the writer does, so both sides wait on memory alike.
    for (std::size_t i = 0; i < n; ++i) {
      if (i + 16 < n) {
        const std::byte* next = chunk.data.data() + chunk.entries[i + 16].offset;
        __builtin_prefetch(next);
        __builtin_prefetch(next + 64);
      }
      cutter.record(key_of(chunk, chunk.entries[i]), payload_of(chunk, chunk.entries[i]));
    }
    cutter.finish();
    benchmark::DoNotOptimize(packed_bytes);
  }
  set_rates(state, kItems, items.stream_bytes);
}

// Writes and finishes a whole run per iteration. Deleting the file is kept
// out of the timing (a pause and a resume, microseconds against the tens of
// milliseconds an iteration takes).
void write_run_quillmere(benchmark::State& state, int threads) {
  const Items& items = items_of(Keys::Floats);
  const std::shared_ptr<WorkerPool> pool = pool_of(threads);
  const std::filesystem::path path = g_dir / ("written-" + std::to_string(threads));
  for (auto _ : state) {
    // What a spill does with its sorted half.
    if (Result<> r = write_run(items.sorted, path, pool); !r) {
      return state.SkipWithError(r.error().text());
    }
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
  }
  set_rates(state, kItems, items.stream_bytes);
}

// The compressed blocks of a run file, read into memory and split at their
// headers.
struct PackedBlock {
  std::size_t offset;  // of the compressed bytes within the file's image
  std::uint32_t c;
  std::uint32_t u;
};

Bytes read_file(const std::filesystem::path& path) {
  Bytes bytes(std::filesystem::file_size(path));
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
    die(path.native() + ": cannot read the run");
  }
  return bytes;
}

std::vector<PackedBlock> split_blocks(const Bytes& file) {
  std::vector<PackedBlock> blocks;
  for (std::size_t at = 0; at < file.size();) {
    if (at + kBlockHeaderSize > file.size()) die("a run written for the benchmark is damaged");
    const std::uint32_t c = load_le<std::uint32_t>(file.data() + at);
    const std::uint32_t u = load_le<std::uint32_t>(file.data() + at + 4);
    if (!is_valid_block_header(c, u) || at + kBlockHeaderSize + c > file.size()) {
      die("a run written for the benchmark is damaged");
    }
    blocks.push_back({at + kBlockHeaderSize, c, u});
    at += kBlockHeaderSize + c;
  }
  return blocks;
}

// Decompression alone, block by block into one reused buffer, with the
// packed bytes already in memory: no read(2) calls (the reader's come from
// the page cache) and no cutting of records into fields.
void read_run_baseline(benchmark::State& state) {
  const Run& run = sorted_run();
  const Bytes file = read_file(run.path);
  const std::vector<PackedBlock> blocks = split_blocks(file);
  std::vector<char> raw(kBlockSize);
  for (auto _ : state) {
    std::uint64_t total = 0;
    for (const PackedBlock& b : blocks) {
      const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(file.data() + b.offset),
                                        raw.data(), static_cast<int>(b.c),
                                        static_cast<int>(b.u));
      if (n != static_cast<int>(b.u)) return state.SkipWithError("a block does not decompress");
      total += static_cast<std::uint64_t>(n);
    }
    benchmark::DoNotOptimize(total);
    if (total != run.bytes) return state.SkipWithError("the blocks miss part of the stream");
  }
  set_rates(state, run.count, run.bytes);
}

// Reads the next record of `reader` into the two buffers; false at its end.
Result<bool> read_record(RunReader& reader, Bytes& key, Bytes& payload) {
  if (reader.count() == 0) return false;
  if (Result<> r = reader.read_field(key); !r) return fail(std::move(r.error()));
  if (Result<> r = reader.read_field(payload); !r) return fail(std::move(r.error()));
  reader.finish_record();
  return true;
}

void read_run_quillmere(benchmark::State& state) {
  const Run& run = sorted_run();
  Bytes key;
  Bytes payload;
  for (auto _ : state) {
    Result<RunReader> reader = RunReader::open(run);
    if (!reader) return state.SkipWithError(reader.error().text());
    std::uint64_t total = 0;
    for (;;) {
      Result<bool> more = read_record(*reader, key, payload);
      if (!more) return state.SkipWithError(more.error().text());
      if (!*more) break;
      total += key.size() + payload.size() + kRecordOverhead;
    }
    benchmark::DoNotOptimize(total);
    if (total != run.bytes) return state.SkipWithError("the reader missed records");
  }
  set_rates(state, run.count, run.bytes);
}

// What both merges do with each record: count it, so that a merge that
// drops or repeats records fails the benchmark.
struct Tally {
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;

  void add(std::span<const std::byte> key, std::span<const std::byte> payload) {
    ++records;
    bytes += key.size() + payload.size() + kRecordOverhead;
  }
  bool matches(std::uint64_t stream_bytes) const {
    return records == kItems && bytes == stream_bytes;
  }
};

std::vector<RunReader> open_readers(const std::vector<Run>& runs) {
  std::vector<RunReader> readers;
  for (const Run& run : runs) readers.push_back(must(RunReader::open(run)));
  return readers;
}

struct PlainHead {
  Bytes key;
  Bytes payload;
  std::size_t source;
};

// priority_queue puts its greatest first, so "after" is its "less": by key,
// then by source index, as the real merge orders equal keys.
struct PlainAfter {
  bool operator()(const PlainHead& a, const PlainHead& b) const noexcept {
    const int c = std::memcmp(a.key.data(), b.key.data(), std::min(a.key.size(), b.key.size()));
    if (c != 0) return c > 0;
    if (a.key.size() != b.key.size()) return a.key.size() > b.key.size();
    return a.source > b.source;
  }
};

using PlainHeap = std::priority_queue<PlainHead, std::vector<PlainHead>, PlainAfter>;

// The textbook k-way merge: take a copy of the top (top() is const, so two
// buffers are allocated per record), pop, hand the record out, read that
// source's next record into the copy and push it back. The readers and the
// work done per record are the real merge's; only the heap differs.
Result<Tally> plain_merge(std::vector<RunReader>& readers) {
  PlainHeap heap;
  for (std::size_t i = 0; i < readers.size(); ++i) {
    PlainHead head{{}, {}, i};
    Result<bool> more = read_record(readers[i], head.key, head.payload);
    if (!more) return fail(std::move(more.error()));
    if (*more) heap.push(std::move(head));
  }
  Tally tally;
  while (!heap.empty()) {
    PlainHead head = heap.top();
    heap.pop();
    tally.add(head.key, head.payload);
    Result<bool> more = read_record(readers[head.source], head.key, head.payload);
    if (!more) return fail(std::move(more.error()));
    if (*more) heap.push(std::move(head));
  }
  return tally;
}

void merge_64_baseline(benchmark::State& state) {
  const std::vector<Run>& runs = merge_runs();
  const std::uint64_t stream_bytes = items_of(Keys::Floats).stream_bytes;
  for (auto _ : state) {
    std::vector<RunReader> readers = open_readers(runs);
    Result<Tally> tally = plain_merge(readers);
    if (!tally) return state.SkipWithError(tally.error().text());
    if (!tally->matches(stream_bytes)) return state.SkipWithError("records lost or repeated");
  }
  set_rates(state, kItems, stream_bytes);
}

Result<Tally> real_merge(std::vector<RunReader> readers) {
  std::vector<Source> sources;
  for (RunReader& reader : readers) sources.push_back(Source::run(std::move(reader)));
  Result<Merged> merged = Merged::create(std::move(sources), std::nullopt);
  if (!merged) return fail(std::move(merged.error()));
  Tally tally;
  for (;;) {
    Result<std::optional<Merged::Record>> record = merged->next_record();
    if (!record) return fail(std::move(record.error()));
    if (!*record) return tally;
    tally.add((*record)->key, (*record)->payload);
  }
}

void merge_64_quillmere(benchmark::State& state) {
  const std::vector<Run>& runs = merge_runs();
  const std::uint64_t stream_bytes = items_of(Keys::Floats).stream_bytes;
  for (auto _ : state) {
    Result<Tally> tally = real_merge(open_readers(runs));
    if (!tally) return state.SkipWithError(tally.error().text());
    if (!tally->matches(stream_bytes)) return state.SkipWithError("records lost or repeated");
  }
  set_rates(state, kItems, stream_bytes);
}

// Every entry is timed by the wall clock: the threaded ones need it (their
// caller mostly waits), and the harness compares real times within a group.
template <class... Args>
void add_benchmark(const std::string& name, Args&&... args) {
  benchmark::RegisterBenchmark(name, std::forward<Args>(args)...)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

void register_all() {
  add_benchmark("sort_half/baseline", sort_half_baseline, Keys::Floats);
  add_benchmark("sort_half/quillmere/threads:1", sort_half_quillmere, Keys::Floats, 1);
  add_benchmark("sort_half/quillmere/threads:2", sort_half_quillmere, Keys::Floats, 2);
  add_benchmark("sort_half_str/baseline", sort_half_baseline, Keys::Words);
  add_benchmark("sort_half_str/quillmere/threads:1", sort_half_quillmere, Keys::Words, 1);
  add_benchmark("sort_half_str/quillmere/threads:2", sort_half_quillmere, Keys::Words, 2);
  add_benchmark("spill_order/baseline", sort_half_baseline, Keys::Words);
  add_benchmark("spill_order/quillmere/threads:1", spill_order_quillmere, Keys::Words, 1);
  add_benchmark("spill_order/quillmere/threads:2", spill_order_quillmere, Keys::Words, 2);
  add_benchmark("write_run/baseline", write_run_baseline);
  add_benchmark("write_run/quillmere/threads:1", write_run_quillmere, 1);
  add_benchmark("write_run/quillmere/threads:2", write_run_quillmere, 2);
  add_benchmark("read_run/baseline", read_run_baseline);
  add_benchmark("read_run/quillmere", read_run_quillmere);
  add_benchmark("merge_64/baseline", merge_64_baseline);
  add_benchmark("merge_64/quillmere", merge_64_quillmere);
}

// Google Benchmark appends "/real_time" to the name of every entry timed by
// the wall clock. The harness knows entries by name, so this reporter drops
// the suffix and hands each run on to the reporter the flags asked for.
class PlainNames : public benchmark::BenchmarkReporter {
 public:
  explicit PlainNames(std::unique_ptr<benchmark::BenchmarkReporter> inner)
      : inner_(std::move(inner)) {}

  bool ReportContext(const Context& context) override {
    // The library sets this reporter's streams (a file for --benchmark_out)
    // after making it, so they are passed on only now.
    inner_->SetOutputStream(&GetOutputStream());
    inner_->SetErrorStream(&GetErrorStream());
    return inner_->ReportContext(context);
  }
  void ReportRunsConfig(double min_time, bool has_explicit_iters,
                        benchmark::IterationCount iters) override {
    inner_->ReportRunsConfig(min_time, has_explicit_iters, iters);
  }
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> renamed = runs;
    for (Run& run : renamed) run.run_name.time_type.clear();
    inner_->ReportRuns(renamed);
  }
  void Finalize() override { inner_->Finalize(); }

 private:
  std::unique_ptr<benchmark::BenchmarkReporter> inner_;
};

// The output flags, read before benchmark::Initialize takes them out of argv.
struct OutputFlags {
  std::string format = "console";
  std::string out;  // --benchmark_out: empty when not asked for
  std::string out_format = "json";
  bool tabular = false;
};

OutputFlags output_flags(int argc, char** argv) {
  OutputFlags flags;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&](std::string_view name, std::string& into) {
      if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        into = arg.substr(name.size() + 1);
      }
    };
    value("--benchmark_format", flags.format);
    value("--benchmark_out", flags.out);
    value("--benchmark_out_format", flags.out_format);
    std::string tabular;
    value("--benchmark_counters_tabular", tabular);
    if (!tabular.empty()) flags.tabular = tabular == "true" || tabular == "1";
  }
  return flags;
}

// The library's CSV reporter is deprecated, so only console and JSON are on
// offer.
std::unique_ptr<benchmark::BenchmarkReporter> reporter_for(const std::string& format, bool color,
                                                          bool tabular) {
  if (format == "json") return std::make_unique<benchmark::JSONReporter>();
  if (format != "console") die("unsupported output format " + format);
  using Console = benchmark::ConsoleReporter;
  const int options = (color ? Console::OO_Color : 0) | (tabular ? Console::OO_Tabular : 0);
  return std::make_unique<Console>(static_cast<Console::OutputOptions>(options));
}

// Where the private directory goes: --bench_dir=PATH (taken out of argv),
// else $QUILLMERE_BENCH_DIR, else the binary's own directory.
std::filesystem::path base_dir(int& argc, char** argv) {
  constexpr std::string_view kFlag = "--bench_dir=";
  std::optional<std::filesystem::path> chosen;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with(kFlag)) {
      chosen = std::filesystem::path(arg.substr(kFlag.size()));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (chosen) return *chosen;
  if (const char* env = std::getenv("QUILLMERE_BENCH_DIR"); env != nullptr && *env != '\0') {
    return env;
  }
  return std::filesystem::canonical("/proc/self/exe").parent_path();
}

// The benchmark's own directory, removed with everything in it at exit.
class ScratchDir {
 public:
  explicit ScratchDir(const std::filesystem::path& base) {
    std::string pattern = (base / "core_bench-XXXXXX").native();
    if (mkdtemp(pattern.data()) == nullptr) {
      die(base.native() + ": " + std::error_code(errno, std::system_category()).message());
    }
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace
}  // namespace quillmere

int main(int argc, char** argv) {
  using quillmere::PlainNames;
  using quillmere::reporter_for;
  const quillmere::OutputFlags flags = quillmere::output_flags(argc, argv);
  benchmark::Initialize(&argc, argv);
  const quillmere::ScratchDir dir(quillmere::base_dir(argc, argv));
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillmere::g_dir = dir.path();
  quillmere::register_all();
  PlainNames display(reporter_for(flags.format, isatty(STDOUT_FILENO) != 0, flags.tabular));
  std::optional<PlainNames> file;
  if (!flags.out.empty()) file.emplace(reporter_for(flags.out_format, false, flags.tabular));
  benchmark::RunSpecifiedBenchmarks(&display, file ? &*file : nullptr);
  benchmark::Shutdown();
  return 0;
}
