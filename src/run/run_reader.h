// Reads one run file back, record by record, for a merge.
//
// A reader is opened from the Run record its writer returned and trusts its
// count and bytes: the file carries neither. It holds one block at a time
// (about 269 KiB with its compressed form), checks every block header and
// every record length against what can be true, and reports damage as
// such. Used by one thread at a time; dropping it closes the file (the
// file itself stays). A reader can be moved; a moved-from one may only be
// destroyed or assigned to.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "base/byte_order.h"
#include "base/error.h"
#include "base/fd.h"
#include "run/format.h"
#include "run/run.h"

namespace quillmere {

class RunReader {
 public:
  // Opens the run's file read-only (closed on exec); reads nothing yet.
  // Fails with "PATH: system message", keeping the system error's kind.
  [[nodiscard]] static Result<RunReader> open(const Run& run);

  RunReader(RunReader&&) noexcept = default;
  RunReader& operator=(RunReader&&) noexcept = default;
  RunReader(const RunReader&) = delete;
  RunReader& operator=(const RunReader&) = delete;
  ~RunReader() = default;  // the Fd closes the file

  const std::filesystem::path& path() const noexcept { return path_; }
  // Records not yet read. At 0 the run is at its end: nothing more is read,
  // whatever follows in the file.
  std::uint64_t count() const noexcept { return count_; }

  // Reads one length-prefixed field into `out`, replacing its contents (its
  // capacity is kept and grows as needed). A length beyond the bytes left
  // in the run fails before anything is allocated for it. Errors carry no
  // path: kinds InvalidData ("a block has an impossible length", "a block
  // does not decompress to its length", "a record is longer than the rest
  // of the run"), UnexpectedEof, or the system's.
  [[nodiscard]] Result<> read_field(std::vector<std::byte>& out) {
    // Most fields lie wholly in the current block and fit the buffer's
    // capacity: one copy, nothing to allocate, nothing to fail. Anything
    // else, errors included, takes the general road.
    const std::size_t left = raw_.size() - position_;
    if (left >= kRecordLengthSize) {
      const std::uint32_t length = load_le<std::uint32_t>(raw_.data() + position_);
      const std::uint64_t after_length = bytes_ - std::min<std::uint64_t>(bytes_, kRecordLengthSize);
      if (left - kRecordLengthSize >= length && after_length >= length &&
          length <= out.capacity()) {
        const std::byte* from = raw_.data() + position_ + kRecordLengthSize;
        out.assign(from, from + length);
        position_ += kRecordLengthSize + length;
        bytes_ = after_length - length;
        return {};
      }
    }
    return read_field_general(out);
  }

  // Counts one record as read: call after its two fields. REQUIRES count() > 0.
  void finish_record() noexcept { --count_; }

  // Most records lie wholly in the block at hand: this hands out views of
  // such a record's two fields, valid until this reader reads again, and
  // counts it as read. False, with nothing consumed, when the record is not
  // wholly there (or is damaged): read it with read_field instead, which
  // loads blocks and reports damage. REQUIRES count() > 0.
  bool view_record(std::span<const std::byte>& key, std::span<const std::byte>& payload) noexcept {
    const std::byte* const at = raw_.data() + position_;
    const std::size_t left = raw_.size() - position_;
    if (left < 2 * kRecordLengthSize) return false;
    const std::uint32_t key_len = load_le<std::uint32_t>(at);
    if (left - 2 * kRecordLengthSize < key_len) return false;
    const std::uint32_t payload_len = load_le<std::uint32_t>(at + kRecordLengthSize + key_len);
    const std::uint64_t framed = std::uint64_t{key_len} + payload_len + 2 * kRecordLengthSize;
    if (left < framed || bytes_ < framed) return false;
    key = {at + kRecordLengthSize, key_len};
    payload = {at + 2 * kRecordLengthSize + key_len, payload_len};
    position_ += framed;
    bytes_ -= framed;
    --count_;
    return true;
  }

 private:
  RunReader(std::filesystem::path path, Fd file, std::uint64_t count, std::uint64_t bytes) noexcept;

  [[nodiscard]] Result<> read_field_general(std::vector<std::byte>& out);

  // Bytes of the current block not yet consumed, loading the next block
  // first when none are left. Never 0 on success.
  [[nodiscard]] Result<std::size_t> unread();
  [[nodiscard]] Result<> load_block();
  // The next block's header: the bytes read ahead with the last body, then
  // the rest from the file.
  [[nodiscard]] Result<> read_header(std::byte* header);
  // Reads a body of `c` bytes into packed_, and whatever of the next header
  // comes with it.
  [[nodiscard]] Result<> read_body(std::size_t c);
  // A field's length, which may span blocks.
  [[nodiscard]] Result<std::uint32_t> read_length();
  // Appends the next `n` stream bytes to `out`, block by block.
  [[nodiscard]] Result<> append(std::vector<std::byte>& out, std::size_t n);
  // read_field, except that running out of memory throws std::bad_alloc.
  [[nodiscard]] Result<> read_field_unguarded(std::vector<std::byte>& out);

  std::filesystem::path path_;
  std::vector<std::byte> packed_;  // the block's body, then up to 8 bytes of the next header
  std::size_t body_end_ = 0;       // C of the current block
  std::size_t filled_ = 0;         // bytes of packed_ read from the file
  std::vector<std::byte> raw_;     // the current block, decompressed
  std::size_t position_ = 0;       // bytes of raw_ consumed
  std::uint64_t count_;            // records not yet read
  std::uint64_t bytes_;            // framed bytes not yet read
  Fd file_;                        // the run file, opened read-only
};

}  // namespace quillmere
