// Fuzzes Merged over one to four runs, some of them damaged, and an
// optional held half, against a plain model of the merge.
//
// Each run is either arbitrary file bytes with an arbitrary count and byte
// total, or records cut from the input, optionally sorted, written with
// RunWriter and then optionally cut, given a flipped byte or trailing
// garbage. The held half is records cut from the input, added to a Chunk
// and sorted with sort(), which must order them as a stable sort by key
// does. A separate RunReader first reads each run on its own: the records
// it yields before its first error (if any) are what that source holds.
//
// The model then merges those sources the simplest way: at each step the
// source whose waiting record has the smallest key (unsigned bytes, a
// proper prefix first), the lower index on equal keys, gives its record;
// a source whose next record cannot be read fails the merge when that
// record is needed. Merged::create and next_record must give exactly the
// model's records, then the end (again on a further call), or the
// source's error reworded with its path ("PATH is corrupt: ...", "PATH
// ended before its last record"), after which every call returns the
// lost-items error. When every source is sorted, the keys handed out must
// also be non-decreasing. With a private directory, the merge must hold it
// while records flow and have removed it once the merge ends or fails.
//
// Input: flags (u8: bits 0-1 the number of runs less one, bit 2 a held
// half, bit 3 a private directory), then each run:
//   kind (u8: bit 0 written, bit 1 sorted before writing), then
//   raw:     count (u16, modulo kMaxRawCount + 1 when above it), bytes
//            (u32, modulo kMaxBytes + 1 when above it), file length (u16),
//            the file;
//   written: damage (u8, modulo 4: none, cut, flip, append), damage place
//            (u32), flip mask (u8), the records (see records_from), the
//            garbage's length (u8) and the garbage;
// and then, with a held half, its records (see records_from).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "fuzz/fuzz_runs.h"
#include "fuzz/fuzz_util.h"
#include "merge/merged.h"
#include "run/format.h"
#include "run/run.h"
#include "run/run_reader.h"
#include "sorter/chunk.h"
#include "sorter/private_dir.h"

namespace quillmere::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMaxRawCount = 4096;  // bounds the model's memory
constexpr std::uint64_t kMaxBytes = 4 << 20;
constexpr std::uint64_t kMaxWrittenBytes = 2 * kBlockSize;  // a few blocks per run

// What one source yields, read independently of the merge.
struct Expected {
  std::vector<Record> records;  // in the source's order
  std::optional<Error> error;   // met when reading the record after them
  fs::path path;                // a run's, for the error's wording
};

// The error a merge reports for a run's reading error, built from the
// documented wording rather than from the merge's own code.
std::string reworded(const fs::path& path, const Error& error) {
  if (error.kind() == IoKind::InvalidData) return path.native() + " is corrupt: " + error.text();
  if (error.kind() == IoKind::UnexpectedEof) return path.native() + " ended before its last record";
  return path.native() + ": " + error.text();
}

Expected raw_run(Input& in, const fs::path& path, std::vector<Source>& sources) {
  Run run;
  run.path = path;
  run.count = in.u16();
  if (run.count > kMaxRawCount) run.count %= kMaxRawCount + 1;
  run.bytes = in.u32();
  if (run.bytes > kMaxBytes) run.bytes %= kMaxBytes + 1;
  write_file(path, in.take(in.u16()));
  ReadBack back = read_run(run, /*fresh_buffers=*/false, /*keep=*/true);
  Result<RunReader> reader = RunReader::open(run);
  check(reader.has_value(), "opening a run that exists failed");
  sources.push_back(Source::run(std::move(*reader)));
  return Expected{std::move(back.records), std::move(back.error), path};
}

Expected written_run(Input& in, bool sorted, const fs::path& path, std::vector<Source>& sources) {
  DamagePlan plan;
  plan.damage = static_cast<Damage>(in.u8() % 4);
  plan.place = in.u32();
  plan.mask = in.u8();
  std::vector<Record> records = records_from(in, kMaxWrittenBytes);
  if (sorted) {
    std::stable_sort(records.begin(), records.end(), record_less);
  }
  const Run run = write_run(path, records, nullptr);
  apply_damage(path, plan, in.take(in.u8()));
  ReadBack back = read_run(run, /*fresh_buffers=*/false, /*keep=*/true);
  // The reader's own target checks it; here it only must not disagree with
  // what was written where nothing was damaged.
  if (plan.damage == Damage::None || plan.damage == Damage::Append) {
    check(!back.error && back.records == records, "an intact run did not read back");
  }
  Result<RunReader> reader = RunReader::open(run);
  check(reader.has_value(), "opening a run that exists failed");
  sources.push_back(Source::run(std::move(*reader)));
  return Expected{std::move(back.records), std::move(back.error), path};
}

// A held half of the input's records, sorted by the chunk's own sort, which
// must agree with a stable sort by key.
Expected held_half(Input& in, std::vector<Source>& sources) {
  std::vector<Record> records = records_from(in, kMaxWrittenBytes);
  Chunk chunk;
  for (const Record& r : records) {
    check(make_room(chunk, r.key.size() + r.payload.size(), std::uint64_t{1} << 32),
          "a chunk far below its limit refused an item");
    append(chunk, r.key, r.payload);
  }
  sort(chunk, nullptr);
  std::stable_sort(records.begin(), records.end(), record_less);
  check(chunk.entries.size() == records.size(), "sorting changed a chunk's size");
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Entry& e = chunk.entries[i];
    const std::byte* at = chunk.data.data() + e.offset;
    check(Bytes(at, at + e.key_len) == records[i].key &&
              Bytes(at + e.key_len, at + e.key_len + e.payload_len) == records[i].payload,
          "sort() did not order a chunk as a stable sort by key");
  }
  sources.push_back(Source::held(std::move(chunk)));
  return Expected{std::move(records), std::nullopt, {}};
}

// The merge's outcome at one step.
struct Step {
  const Record* record = nullptr;  // none: the end, or the error below
  const Expected* failed = nullptr;  // the source whose error ends the merge
};

// The merge in its plainest form: the smallest waiting record of all
// sources, by key and then source index, one linear scan per step.
class Model {
 public:
  explicit Model(const std::vector<Expected>& sources)
      : sources_(sources), next_(sources.size(), 0) {}

  // Merged::create fails with the first source, in index order, that
  // cannot give its first record.
  const Expected* create_failure() const {
    for (const Expected& s : sources_) {
      if (s.records.empty() && s.error) return &s;
    }
    return nullptr;
  }

  Step next() {
    if (last_) {
      // The source of the record last handed out is read again now.
      const std::size_t s = *last_;
      last_.reset();
      if (++next_[s] == sources_[s].records.size() && sources_[s].error) {
        return Step{nullptr, &sources_[s]};
      }
    }
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
      if (next_[i] == sources_[i].records.size()) continue;
      if (!best || key_less(sources_[i].records[next_[i]].key,
                            sources_[*best].records[next_[*best]].key)) {
        best = i;
      }
    }
    if (!best) return Step{};
    last_ = best;
    return Step{&sources_[*best].records[next_[*best]], nullptr};
  }

 private:
  const std::vector<Expected>& sources_;
  std::vector<std::size_t> next_;  // per source, the index of its waiting record
  std::optional<std::size_t> last_;
};

void check_error(const Error& got, const Expected& source) {
  check(got.is_io() && got.kind() == source.error->kind(), "the merge's error has the wrong kind");
  check(got.text() == reworded(source.path, *source.error), "the merge's error has the wrong text");
}

void check_lost(Merged& merged) {
  Result<std::optional<Merged::Record>> r = merged.next_record();
  check(!r && r.error().variant() == Error::Variant::Lost && r.error().text() == kLostMessage,
        "a failed merge did not go on reporting lost records");
}

// Whether a merge that is over has let go of its directory.
void check_dir_gone(const Merged* merged, const std::optional<fs::path>& dir) {
  if (merged != nullptr) {
    check(!merged->holds_directory(), "a merge that is over holds its directory");
  }
  if (dir) check(!fs::exists(*dir), "a merge that is over left its directory");
}

bool all_sorted(const std::vector<Expected>& sources) {
  return std::all_of(sources.begin(), sources.end(), [](const Expected& s) {
    return std::is_sorted(s.records.begin(), s.records.end(), record_less);
  });
}

void run_merge(std::vector<Source> sources, const std::vector<Expected>& expected,
               std::optional<PrivateDir> private_dir) {
  std::optional<fs::path> dir;
  if (private_dir) dir = private_dir->path();
  Model model(expected);
  Result<Merged> created = Merged::create(std::move(sources), std::move(private_dir));
  if (const Expected* failure = model.create_failure()) {
    check(!created, "a merge whose source cannot give a first record was created");
    check_error(created.error(), *failure);
    check_dir_gone(nullptr, dir);
    return;
  }
  check(created.has_value(), "creating a merge of readable sources failed");
  Merged& merged = *created;
  if (std::all_of(expected.begin(), expected.end(),
                  [](const Expected& s) { return s.records.empty(); })) {
    check_dir_gone(&merged, dir);  // already when created
  }

  const bool sorted = all_sorted(expected);
  std::optional<Bytes> previous_key;
  for (;;) {
    const Step want = model.next();
    Result<std::optional<Merged::Record>> got = merged.next_record();
    if (want.failed) {
      check(!got, "a merge read past a damaged record");
      check_error(got.error(), *want.failed);
      check_dir_gone(&merged, dir);
      check_lost(merged);
      check_lost(merged);
      return;
    }
    check(got.has_value(), "a merge failed with no damage to meet");
    if (!want.record) {
      check(!got->has_value(), "a merge gave more records than its sources hold");
      check_dir_gone(&merged, dir);
      got = merged.next_record();
      check(got.has_value() && !got->has_value(), "a merge that ended did not stay ended");
      return;
    }
    check(got->has_value(), "a merge ended early");
    const Merged::Record& r = **got;
    const Record& w = *want.record;
    check(std::equal(r.key.begin(), r.key.end(), w.key.begin(), w.key.end()) &&
              std::equal(r.payload.begin(), r.payload.end(), w.payload.begin(), w.payload.end()),
          "a merge gave another record than the model");
    Bytes key(r.key.begin(), r.key.end());
    if (sorted && previous_key) check(!key_less(key, *previous_key), "merged keys went down");
    previous_key = std::move(key);
    if (dir) {
      check(merged.holds_directory() && fs::exists(*dir), "a merge let go of its directory early");
    }
  }
}

}  // namespace
}  // namespace quillmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmere;
  using namespace quillmere::fuzz;
  Input in(data, size);
  const std::uint8_t flags = in.u8();
  const int runs = (flags & 3) + 1;
  const bool held = (flags & 4) != 0;

  std::optional<PrivateDir> private_dir;
  std::filesystem::path where = scratch_dir();
  if ((flags & 8) != 0) {
    Result<PrivateDir> made = make_dir(scratch_dir());
    check(made.has_value(), "cannot make a private directory");
    where = made->path();
    private_dir.emplace(std::move(*made));
  }

  std::vector<Source> sources;
  std::vector<Expected> expected;
  for (int i = 0; i < runs; ++i) {
    const std::uint8_t kind = in.u8();
    const std::filesystem::path path = where / ("run-" + std::to_string(i));
    if ((kind & 1) == 0) {
      expected.push_back(raw_run(in, path, sources));
    } else {
      expected.push_back(written_run(in, (kind & 2) != 0, path, sources));
    }
  }
  if (held) expected.push_back(held_half(in, sources));
  run_merge(std::move(sources), expected, std::move(private_dir));
  return 0;
}
