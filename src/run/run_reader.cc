// Loading a run's blocks one at a time and cutting fields out of them.

#include "run/run_reader.h"

#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <new>
#include <utility>

#include "base/byte_order.h"
#include "base/fd.h"
#include "run/format.h"

namespace quillmere {
namespace {

// One read(2), retried while interrupted. 0 means end of file.
Result<std::size_t> read_some(int fd, std::byte* dst, std::size_t room) {
  for (;;) {
    ssize_t n = ::read(fd, dst, room);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(Error::from_errno(errno));
  }
}

Error corrupt(const char* message) { return Error::io(IoKind::InvalidData, message); }

}  // namespace

Result<RunReader> RunReader::open(const Run& run) {
  try {
    std::filesystem::path path = run.path;  // copied first, so a failure leaves nothing open
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(Error::from_errno(errno).with_path(path));
    return RunReader(std::move(path), Fd(fd), run.count, run.bytes);
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory));
  }
}

// Read-only, so closing the file can lose nothing, and the Fd ignores
// close()'s errors when the reader is dropped.
RunReader::RunReader(std::filesystem::path path, Fd file, std::uint64_t count,
                     std::uint64_t bytes) noexcept
    : path_(std::move(path)), count_(count), bytes_(bytes), file_(std::move(file)) {}

Result<> RunReader::read_field_general(std::vector<std::byte>& out) {
  // Only the first block's buffers and a field longer than any before it
  // allocate, but the messages of errors need memory too.
  try {
    return read_field_unguarded(out);
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory));
  }
}

// The run's byte total bounds every length, so a damaged length field
// fails here instead of asking for up to 4 GiB.
Result<> RunReader::read_field_unguarded(std::vector<std::byte>& out) {
  Result<std::uint32_t> length = read_length();
  if (!length) return fail(std::move(length.error()));
  bytes_ -= std::min<std::uint64_t>(bytes_, kRecordLengthSize);
  if (bytes_ < *length) return fail(corrupt("a record is longer than the rest of the run"));
  out.clear();
  out.reserve(*length);
  if (Result<> r = append(out, *length); !r) return r;
  bytes_ -= *length;
  return {};
}

Result<std::uint32_t> RunReader::read_length() {
  std::byte length[kRecordLengthSize];
  std::size_t have = 0;
  while (have < kRecordLengthSize) {
    Result<std::size_t> unread_bytes = unread();
    if (!unread_bytes) return fail(std::move(unread_bytes.error()));
    std::size_t n = std::min(*unread_bytes, kRecordLengthSize - have);
    std::copy_n(raw_.data() + position_, n, length + have);
    position_ += n;
    have += n;
  }
  return load_le<std::uint32_t>(length);
}

Result<> RunReader::append(std::vector<std::byte>& out, std::size_t n) {
  // An empty field at the end of the stream must not load a block that
  // does not exist, so no unread() unless bytes are wanted.
  while (n > 0) {
    Result<std::size_t> unread_bytes = unread();
    if (!unread_bytes) return fail(std::move(unread_bytes.error()));
    std::size_t take = std::min(*unread_bytes, n);
    const std::byte* from = raw_.data() + position_;
    out.insert(out.end(), from, from + take);  // within the capacity reserved
    position_ += take;
    n -= take;
  }
  return {};
}

Result<std::size_t> RunReader::unread() {
  if (position_ == raw_.size()) {
    if (Result<> r = load_block(); !r) return fail(std::move(r.error()));
  }
  assert(position_ < raw_.size());
  return raw_.size() - position_;
}

Result<> RunReader::load_block() {
  std::byte header[kBlockHeaderSize];
  if (Result<> r = read_header(header); !r) return r;
  const std::uint32_t c = load_le<std::uint32_t>(header);
  const std::uint32_t u = load_le<std::uint32_t>(header + 4);
  if (!is_valid_block_header(c, u)) return fail(corrupt("a block has an impossible length"));
  if (packed_.empty()) {
    // Sized for the largest body a header may announce, so never again.
    packed_.assign(kMaxPacked, std::byte{0});
    raw_.reserve(kBlockSize);
  }
  if (Result<> r = read_body(c); !r) return r;
  raw_.resize(u);  // within capacity
  position_ = 0;
  int n = LZ4_decompress_safe(reinterpret_cast<const char*>(packed_.data()),
                              reinterpret_cast<char*>(raw_.data()), static_cast<int>(c),
                              static_cast<int>(u));
  if (n != static_cast<int>(u)) {
    raw_.clear();
    return fail(corrupt("a block does not decompress to its length"));
  }
  return {};
}

Result<> RunReader::read_header(std::byte* header) {
  assert(body_end_ <= filled_ && filled_ - body_end_ <= kBlockHeaderSize);
  std::size_t have = filled_ - body_end_;
  std::copy_n(packed_.data() + body_end_, have, header);
  while (have < kBlockHeaderSize) {
    Result<std::size_t> n = read_some(file_.get(), header + have, kBlockHeaderSize - have);
    if (!n) return fail(std::move(n.error()));
    if (*n == 0) return fail(Error::io(IoKind::UnexpectedEof, "failed to fill whole buffer"));
    have += *n;
  }
  return {};
}

// Asks for the next header along with the body, so that usually one read
// brings a whole block; the file may well end after the body.
Result<> RunReader::read_body(std::size_t c) {
  assert(c + kBlockHeaderSize <= packed_.size());
  std::size_t got = 0;
  while (got < c) {
    Result<std::size_t> n =
        read_some(file_.get(), packed_.data() + got, c + kBlockHeaderSize - got);
    if (!n) return fail(std::move(n.error()));
    if (*n == 0) return fail(Error::io(IoKind::UnexpectedEof));
    got += *n;
  }
  body_end_ = c;
  filled_ = got;
  return {};
}

}  // namespace quillmere
