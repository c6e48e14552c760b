// Helpers shared by the libFuzzer targets: a reader that cuts values from
// the front of the fuzzer's input, a scratch directory made once per
// process on a memory-backed file system, and a check that aborts with a
// message, which libFuzzer reports as a crash and saves the input of.

#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "base/error.h"

namespace quillmere::fuzz {

// Aborts with `what` when `ok` is false. A failed check is a finding, so it
// must stop the run like a sanitizer report does.
inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// Values taken one after another from the front of the input; once it is
// used up every value reads as zero and every byte range as empty, so any
// input, however short, describes some test.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  std::size_t left() const noexcept { return size_ - pos_; }

  std::uint8_t u8() noexcept { return pos_ < size_ ? data_[pos_++] : 0; }
  // Little-endian, like the run format, so that seeds read naturally.
  std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(le(2)); }
  std::uint32_t u32() noexcept { return static_cast<std::uint32_t>(le(4)); }
  std::uint64_t u64() noexcept { return le(8); }

  // Up to `n` bytes: fewer when the input ends first.
  std::span<const std::uint8_t> take(std::size_t n) noexcept {
    n = std::min(n, left());
    std::span<const std::uint8_t> out(data_ + pos_, n);
    pos_ += n;
    return out;
  }
  std::span<const std::uint8_t> rest() noexcept { return take(left()); }

 private:
  std::uint64_t le(int n) noexcept {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t{u8()} << (8 * i);
    return v;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A directory of this process's own, made on first use under TMPDIR when
// that is set (tools/fuzz points it at a tmpdir of its own), else under
// /dev/shm when writable (a tmpfs: files cost no disk I/O), else /tmp; and
// removed at exit. Each process gets a new one, so parallel fuzzing jobs
// never share files.
inline const std::filesystem::path& scratch_dir() {
  // Never destroyed, so that the exit handler below can still use it.
  static const std::filesystem::path* const dir = [] {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string base = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir
                       : access("/dev/shm", W_OK) == 0     ? "/dev/shm"
                                                           : "/tmp";
    std::string pattern = base + "/quillmere-fuzz-XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "cannot make the scratch directory");
    return new std::filesystem::path(pattern);
  }();
  static const bool removed_at_exit = [] {
    return std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*dir, ignored);
    }) == 0;
  }();
  static_cast<void>(removed_at_exit);
  return *dir;
}

// Replaces the file at `path` by `bytes`.
inline void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "cannot create a scratch file");
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    check(n > 0, "cannot write a scratch file");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

// Whether an error is one a run reader may give for a damaged or truncated
// file: nothing else can go wrong with a readable file on a tmpfs.
inline bool is_damage(const Error& error) {
  return error.is_io() &&
         (error.kind() == IoKind::InvalidData || error.kind() == IoKind::UnexpectedEof);
}

}  // namespace quillmere::fuzz
