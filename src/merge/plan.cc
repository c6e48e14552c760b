// Merge passes and the final merge.

#include "merge/plan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "run/run_reader.h"
#include "run/run_writer.h"

namespace quillmere {
namespace {

// Records a merge pass writes between two looks at its stop check.
constexpr std::uint64_t kRecordsBetweenChecks = 65536;

Result<> check_stop(StopCheck& stop) {
  if (stop.should_stop()) return fail(Error::io(IoKind::Interrupted));
  return {};
}

// Opens a reader on each run, in order: sources 0 to n - 1.
Result<std::vector<Source>> open_runs(std::span<const Run> runs) {
  std::vector<Source> sources;
  sources.reserve(runs.size());
  for (const Run& run : runs) {
    Result<RunReader> reader = RunReader::open(run);
    if (!reader) return fail(std::move(reader.error()));
    sources.push_back(Source::run(std::move(*reader)));
  }
  return sources;
}

// Writes everything `merged` yields into `writer`, looking at `stop` every
// so many records.
Result<> copy_records(Merged& merged, RunWriter& writer, StopCheck& stop) {
  for (std::uint64_t written = 0;;) {
    Result<std::optional<Merged::Record>> record = merged.next_record();
    if (!record) return fail(std::move(record.error()));
    if (!*record) return {};
    if (Result<> r = writer.push((*record)->key, (*record)->payload); !r) return r;
    if (++written % kRecordsBetweenChecks == 0) {
      if (Result<> r = check_stop(stop); !r) return r;
    }
  }
}

// Merges runs[start, start + k) into one new run, named from the records'
// run counter.
Result<Run> merge_window(AddedRecords& added, std::size_t start, std::size_t k, StopCheck& stop) {
  const std::vector<Run> window(added.runs.begin() + start, added.runs.begin() + start + k);
  Result<std::vector<Source>> sources = open_runs(window);
  if (!sources) return fail(std::move(sources.error()));
  Result<Merged> merged = Merged::create(std::move(*sources), std::nullopt);
  if (!merged) return fail(std::move(merged.error()));
  Result<std::filesystem::path> path = added.run_dir.next_path();
  if (!path) return fail(std::move(path.error()));
  Result<RunWriter> writer = RunWriter::create(std::move(*path), added.pool);
  if (!writer) return fail(std::move(writer.error()));
  if (Result<> r = copy_records(*merged, *writer, stop); !r) return fail(std::move(r.error()));
  // The inputs are closed before the output is completed.
  { Merged done = std::move(*merged); }
  return std::move(*writer).finish();
}

// The start of the window of k adjacent runs whose bytes add up to the
// least, the first of equal ones. REQUIRES: 1 <= k <= runs.size().
std::size_t lightest_window(const std::vector<Run>& runs, std::size_t k) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < k; ++i) sum += runs[i].bytes;
  std::uint64_t best = sum;
  std::size_t best_start = 0;
  for (std::size_t start = 1; start + k <= runs.size(); ++start) {
    sum = sum - runs[start - 1].bytes + runs[start + k - 1].bytes;
    if (sum < best) {
      best = sum;
      best_start = start;
    }
  }
  return best_start;
}

// One pass: merges the lightest window of adjacent runs, as many as bring
// the list down to max_open (or max_open of them when one pass cannot),
// into a new run in their place, and deletes them.
Result<> merge_pass(AddedRecords& added, StopCheck& stop) {
  if (Result<> r = check_stop(stop); !r) return r;
  std::vector<Run>& runs = added.runs;
  const std::size_t total = runs.size();
  const std::size_t most = static_cast<std::size_t>(added.max_open);
  // Merging k runs into one leaves total - k + 1: just enough to reach
  // max_open when one pass can, max_open runs at a time otherwise.
  const std::size_t k = std::min(most, total - most + 1);
  const std::size_t start = lightest_window(runs, k);
  Result<Run> merged = merge_window(added, start, k, stop);
  if (!merged) return fail(std::move(merged.error()));

  std::vector<Run> inputs(std::make_move_iterator(runs.begin() + start),
                          std::make_move_iterator(runs.begin() + start + k));
  runs.erase(runs.begin() + start + 1, runs.begin() + start + k);
  runs[start] = std::move(*merged);
  // The output is complete, so the inputs can go now: the disk holds at
  // most one extra copy of what a pass merges.
  for (const Run& input : inputs) {
    if (::unlink(input.path.c_str()) != 0) return fail(Error::from_errno(errno));
  }
  return {};
}

}  // namespace

// `added` is taken by value so that whatever the merge does not take goes
// with it as the call ends, on success as on failure.
Result<Merged> finish_sort(AddedRecords added, StopCheck& stop) {
  while (added.runs.size() > added.max_open) {
    if (Result<> r = merge_pass(added, stop); !r) return fail(std::move(r.error()));
  }
  try {
    Chunk held = std::move(added.held);
    sort(held, added.pool.get());
    Result<std::vector<Source>> sources = open_runs(added.runs);
    if (!sources) return fail(std::move(sources.error()));
    // The held half holds the items added last: it is the last source.
    if (!held.entries.empty()) sources->push_back(Source::held(std::move(held)));
    return Merged::create(std::move(*sources), std::move(added.run_dir).hand_over());
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory));
  }
}

}  // namespace quillmere
