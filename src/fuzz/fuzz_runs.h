// Run files for the fuzz targets: records cut from the input, written with
// the real RunWriter, read back with checks that hold for any file, and
// damaged in the ways a run can be (cut, a flipped byte, trailing bytes).

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/pool.h"
#include "fuzz/fuzz_util.h"
#include "run/format.h"
#include "run/run.h"
#include "run/run_reader.h"
#include "run/run_writer.h"

namespace quillmere::fuzz {

using Bytes = std::vector<std::byte>;

struct Record {
  Bytes key;
  Bytes payload;
  std::uint64_t end = 0;  // stream offset just past the record, when written

  bool operator==(const Record& other) const {
    return key == other.key && payload == other.payload;
  }
};

// Keys compare as unsigned bytes, a proper prefix first: the record order,
// written independently of the code under test.
inline bool key_less(const Bytes& a, const Bytes& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

inline bool record_less(const Record& a, const Record& b) { return key_less(a.key, b.key); }

// Records cut from the input: a count (u8), then for each a key length
// (u8), a payload length (u16), the key's bytes, and up to 32 bytes that
// are repeated to fill the payload, so a short input can make records that
// span blocks. Stops taking records once the stream passes `max_stream`.
inline std::vector<Record> records_from(Input& in, std::uint64_t max_stream) {
  constexpr std::size_t kPayloadSeed = 32;
  std::vector<Record> records;
  std::uint64_t stream = 0;
  for (int n = in.u8(); n > 0 && stream <= max_stream; --n) {
    const std::size_t key_len = in.u8();
    const std::size_t payload_len = in.u16();
    Record r;
    for (std::uint8_t b : in.take(key_len)) r.key.push_back(std::byte{b});
    r.key.resize(key_len);
    std::span<const std::uint8_t> seed = in.take(std::min(payload_len, kPayloadSeed));
    r.payload.resize(payload_len);
    if (!seed.empty()) {
      // The seed, then what is filled so far copied after itself: a few
      // copies rather than one step per byte.
      std::memcpy(r.payload.data(), seed.data(), seed.size());
      for (std::size_t have = seed.size(); have < payload_len; have *= 2) {
        std::memcpy(r.payload.data() + have, r.payload.data(), std::min(have, payload_len - have));
      }
    }
    stream += kRecordOverhead + key_len + payload_len;
    r.end = stream;
    records.push_back(std::move(r));
  }
  return records;
}

// Writes `records` as a new run at `path` (replacing any file there) and
// checks the Run that the writer returns.
inline Run write_run(const std::filesystem::path& path, const std::vector<Record>& records,
                     std::shared_ptr<WorkerPool> pool) {
  std::filesystem::remove(path);
  Result<RunWriter> writer = RunWriter::create(path, std::move(pool));
  check(writer.has_value(), "creating a run failed");
  std::uint64_t bytes = 0;
  for (const Record& r : records) {
    check(writer->push(r.key, r.payload).has_value(), "pushing a record failed");
    bytes += kRecordOverhead + r.key.size() + r.payload.size();
  }
  Result<Run> run = std::move(*writer).finish();
  check(run.has_value(), "finishing a run failed");
  check(run->path == path && run->count == records.size() && run->bytes == bytes,
        "the run's path, count or bytes are wrong");
  return std::move(*run);
}

inline std::vector<std::uint8_t> file_bytes(const std::filesystem::path& path) {
  std::vector<std::uint8_t> out(std::filesystem::file_size(path));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "cannot open a written run");
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    check(n > 0, "cannot read a written run");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return out;
}

// Where an offset of a file that RunWriter wrote falls.
struct FilePlace {
  std::uint64_t block;  // the index of the block whose header or body holds it
  std::size_t offset;   // its offset from that block's header
};

inline FilePlace place_of(const std::vector<std::uint8_t>& file, std::size_t at) {
  std::uint64_t block = 0;
  std::size_t start = 0;
  for (;;) {
    check(start + kBlockHeaderSize <= file.size(), "a written run's blocks do not add up");
    const std::uint32_t c = decode_u32_le(reinterpret_cast<const std::byte*>(&file[start]));
    const std::size_t next = start + kBlockHeaderSize + c;
    if (at < next) return FilePlace{block, at - start};
    start = next;
    ++block;
  }
}

// How a written run is damaged after writing.
enum class Damage : std::uint8_t { None, Cut, Flip, Append };

struct DamagePlan {
  Damage damage = Damage::None;
  std::uint32_t place = 0;    // a file offset, modulo the file's size
  std::uint8_t mask = 0;      // Flip: the bits flipped
  // Stream bytes before the damaged block (Flip): records that end there
  // must still read back exactly.
  std::uint64_t intact_stream = 0;
  // Flip: whether the flipped byte is in a block's U. A block then cannot
  // decompress to its stated length (or the length is impossible), so
  // reading the whole run must fail as corrupt.
  bool in_u = false;
};

// Applies the plan to the file at `path`; `garbage` is what Append adds.
// A plan that would change nothing (no file, a zero mask) becomes None.
inline void apply_damage(const std::filesystem::path& path, DamagePlan& plan,
                         std::span<const std::uint8_t> garbage) {
  std::vector<std::uint8_t> file = file_bytes(path);
  if (file.empty() || (plan.damage == Damage::Flip && plan.mask == 0) ||
      (plan.damage == Damage::Append && garbage.empty())) {
    plan.damage = Damage::None;
  }
  switch (plan.damage) {
    case Damage::None:
      return;
    case Damage::Cut:
      file.resize(plan.place % file.size());
      break;
    case Damage::Flip: {
      const std::size_t at = plan.place % file.size();
      const FilePlace where = place_of(file, at);
      plan.intact_stream = where.block * kBlockSize;
      plan.in_u = where.offset >= 4 && where.offset < kBlockHeaderSize;
      file[at] ^= plan.mask;
      break;
    }
    case Damage::Append:
      file.insert(file.end(), garbage.begin(), garbage.end());
      break;
  }
  write_file(path, file);
}

struct ReadBack {
  std::vector<Record> records;
  std::optional<Error> error;  // what stopped the reading, if not the count
};

// Reads records while the reader's count is above 0, checking what holds
// for any file: fields within the byte total, the count going down by one
// per record, and no error but damage. Keeps the records only when asked:
// a small file may hold millions of empty ones. With `fresh_buffers` every
// field is read into a buffer without capacity, the reader's slow road.
inline ReadBack read_run(const Run& run, bool fresh_buffers, bool keep) {
  Result<RunReader> opened = RunReader::open(run);
  check(opened.has_value(), "opening a run that exists failed");
  RunReader& reader = *opened;
  check(reader.count() == run.count, "a new reader's count is not the run's");
  ReadBack out;
  std::uint64_t read = 0;
  std::uint64_t field_bytes = 0;
  Bytes key;
  Bytes payload;
  while (reader.count() > 0) {
    if (fresh_buffers) key = Bytes();
    Result<> r = reader.read_field(key);
    if (r) {
      field_bytes += key.size();
      if (fresh_buffers) payload = Bytes();
      r = reader.read_field(payload);
      field_bytes += payload.size();
    }
    if (!r) {
      check(is_damage(r.error()), "a reader failed with other than damage");
      out.error = std::move(r.error());
      break;
    }
    check(key.size() <= run.bytes && payload.size() <= run.bytes,
          "a field exceeds the run's bytes");
    check(field_bytes <= run.bytes, "the fields read exceed the run's bytes");
    reader.finish_record();
    check(reader.count() == run.count - ++read, "count did not go down by one");
    if (keep) out.records.push_back(Record{key, payload});
  }
  return out;
}

// A pool of two threads, started on first use and kept for the process.
inline std::shared_ptr<WorkerPool> shared_pool() {
  static const std::shared_ptr<WorkerPool> pool = [] {
    Result<std::shared_ptr<WorkerPool>> started = WorkerPool::start(2);
    check(started.has_value(), "cannot start a worker pool");
    return std::move(*started);
  }();
  return pool;
}

}  // namespace quillmere::fuzz
