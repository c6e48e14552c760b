// Fuzzes RunReader, in two modes chosen by the input's first byte.
//
// Raw: the reader over arbitrary file bytes with an arbitrary record count
// and byte total. It must only ever fail with a damage error (InvalidData
// or UnexpectedEof), never read or allocate beyond what the byte total
// allows (every field, and all fields together, fit within it; run with
// -malloc_limit_mb so that an allocation for a damaged length is caught),
// and count down by one per record read.
//
// Written: records cut from the input are written with RunWriter (also,
// when asked, with a worker pool, which must give the same file), the file
// is then left alone, cut, given a flipped byte or given trailing garbage,
// and read back with the run's true count and bytes. Intact or with garbage
// after it, the run must read back exactly. Cut, it must give a prefix of
// the records and then UnexpectedEof. With a flipped byte, every record
// that lies wholly in the blocks before the damaged one must read back
// exactly, and what follows may only fail as damage; a flip in a block's
// stated length must make the run read as corrupt.
//
// Input: mode (u8: bit 0 written, bit 1 fresh field buffers for every
// field, bit 2 also write with a pool), then
//   raw:     count (u32), bytes (u32, reduced modulo kMaxBytes + 1 when
//            above it), the file (the rest);
//   written: damage (u8, modulo 4: none, cut, flip, append), damage place
//            (u32, modulo the file's size), flip mask (u8), the records
//            (see records_from), and the garbage appended (the rest).

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/error.h"
#include "fuzz/fuzz_runs.h"
#include "fuzz/fuzz_util.h"
#include "run/format.h"
#include "run/run.h"

namespace quillmere::fuzz {
namespace {

// Large enough for fields that span many blocks, small enough that a
// reader's legitimate allocations stay far below the malloc limit.
constexpr std::uint64_t kMaxBytes = 4 << 20;
// A written run stops taking records past this many stream bytes: three
// blocks, enough for records and length fields across block edges and for
// a pool to compress blocks in parallel, and cheap enough to write often.
constexpr std::uint64_t kMaxWrittenBytes = 2 * kBlockSize + kBlockSize / 2;

void fuzz_raw(Input& in, bool fresh_buffers) {
  Run run;
  run.path = scratch_dir() / "run";
  run.count = in.u32();
  run.bytes = in.u32();
  if (run.bytes > kMaxBytes) run.bytes %= kMaxBytes + 1;
  write_file(run.path, in.rest());
  static_cast<void>(read_run(run, fresh_buffers, /*keep=*/false));
}

void fuzz_written(Input& in, bool fresh_buffers, bool with_pool) {
  DamagePlan plan;
  plan.damage = static_cast<Damage>(in.u8() % 4);
  plan.place = in.u32();
  plan.mask = in.u8();
  const std::vector<Record> records = records_from(in, kMaxWrittenBytes);
  const Run run = write_run(scratch_dir() / "run", records, nullptr);
  if (with_pool) {
    const Run pooled = write_run(scratch_dir() / "pooled", records, shared_pool());
    check(file_bytes(pooled.path) == file_bytes(run.path), "a pool changed a run's bytes");
  }
  apply_damage(run.path, plan, in.rest());

  ReadBack back = read_run(run, fresh_buffers, /*keep=*/true);
  switch (plan.damage) {
    case Damage::None:
    case Damage::Append:
      check(!back.error && back.records == records, "an intact run did not read back");
      break;
    case Damage::Cut:
      check(back.error && back.error->kind() == IoKind::UnexpectedEof,
            "a cut run did not end in UnexpectedEof");
      check(std::equal(back.records.begin(), back.records.end(), records.begin()),
            "a cut run read other records");
      break;
    case Damage::Flip:
      for (std::size_t i = 0; i < records.size() && records[i].end <= plan.intact_stream; ++i) {
        check(i < back.records.size(), "a record before the damaged block was not read");
        check(back.records[i] == records[i], "a record before the damaged block changed");
      }
      if (plan.in_u) {
        check(back.error && back.error->kind() == IoKind::InvalidData,
              "a run with a damaged block length read without complaint");
      }
      break;
  }
}

}  // namespace
}  // namespace quillmere::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmere::fuzz;
  Input in(data, size);
  const std::uint8_t mode = in.u8();
  const bool fresh_buffers = (mode & 2) != 0;
  if ((mode & 1) == 0) {
    fuzz_raw(in, fresh_buffers);
  } else {
    fuzz_written(in, fresh_buffers, (mode & 4) != 0);
  }
  return 0;
}
