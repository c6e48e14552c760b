// Fuzzes RunReader over arbitrary run files. Whatever the file's bytes, the
// record count and the byte total, reading must only ever fail as damage
// (InvalidData or UnexpectedEof), count down by one per record, and read no
// more field bytes than the total allows; tools/fuzz sets a malloc limit
// that catches an allocation for a damaged length.
//
// Input: flags (u8; bit 0: a fresh buffer for every field, the reader's slow
// road), the record count (u32, little-endian), the byte total (u32, reduced
// modulo kMaxBytes + 1 when above it), then the file.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "base/error.h"
#include "run/run.h"
#include "run/run_reader.h"

namespace quillmere {
namespace {

// Large enough for fields that span many blocks, small enough that a
// reader's legitimate allocations stay far below the malloc limit.
constexpr std::uint64_t kMaxBytes = 4 << 20;
constexpr std::size_t kHeader = 9;  // flags, count, byte total

// A failed check is a finding: abort, which libFuzzer reports as a crash.
void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
  return load_le<std::uint32_t>(reinterpret_cast<const std::byte*>(p));
}

// Puts `size` bytes in a memory file of this process, which the reader
// opens through /proc like any path: nothing touches a disk or stays behind.
std::string file_of(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("run", MFD_CLOEXEC);
  check(fd >= 0 && ftruncate(fd, 0) == 0, "cannot reset the memory file");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    check(n > 0, "cannot write the memory file");
    done += static_cast<std::size_t>(n);
  }
  return "/proc/self/fd/" + std::to_string(fd);
}

void fuzz(const std::uint8_t* data, std::size_t size) {
  const bool fresh_buffers = (data[0] & 1) != 0;
  Run run{file_of(data + kHeader, size - kHeader), le32(data + 1), le32(data + 5)};
  if (run.bytes > kMaxBytes) run.bytes %= kMaxBytes + 1;
  Result<RunReader> reader = RunReader::open(run);
  check(reader.has_value(), "opening the run failed");
  std::vector<std::byte> key, payload;
  std::uint64_t field_bytes = 0;
  for (std::uint64_t left = run.count; left > 0; --left) {
    check(reader->count() == left, "the count did not go down by one per record");
    for (std::vector<std::byte>* field : {&key, &payload}) {
      if (fresh_buffers) *field = {};
      Result<> r = reader->read_field(*field);
      if (!r) {
        const Error& e = r.error();
        check(e.is_io() && (e.kind() == IoKind::InvalidData || e.kind() == IoKind::UnexpectedEof),
              "a reader failed with other than damage");
        return;
      }
      field_bytes += field->size();
      check(field_bytes <= run.bytes, "the fields read exceed the run's bytes");
    }
    reader->finish_record();
  }
  check(reader->count() == 0, "records left after the count");
}

}  // namespace
}  // namespace quillmere

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= quillmere::kHeader) quillmere::fuzz(data, size);
  return 0;
}
