// Error construction, kinds and texts.

#include "base/error.h"

#include <cerrno>
#include <cstring>

namespace quillmere {

IoKind kind_from_errno(int err) noexcept {
  switch (err) {
    case ENOENT: return IoKind::NotFound;
    case EPERM:
    case EACCES: return IoKind::PermissionDenied;
    case ECONNREFUSED: return IoKind::ConnectionRefused;
    case ECONNRESET: return IoKind::ConnectionReset;
    case ECONNABORTED: return IoKind::ConnectionAborted;
    case EPIPE: return IoKind::BrokenPipe;
    case EEXIST: return IoKind::AlreadyExists;
    case EAGAIN: return IoKind::WouldBlock;
    case ENOTDIR: return IoKind::NotADirectory;
    case EISDIR: return IoKind::IsADirectory;
    case ETIMEDOUT: return IoKind::TimedOut;
    case EINTR: return IoKind::Interrupted;
    case ENOMEM: return IoKind::OutOfMemory;
    case EADDRINUSE: return IoKind::AddrInUse;
    case EINVAL: return IoKind::InvalidInput;
    case ENOSPC: return IoKind::StorageFull;
    default: return IoKind::Other;
  }
}

const char* describe(IoKind kind) noexcept {
  switch (kind) {
    case IoKind::NotFound: return "entity not found";
    case IoKind::PermissionDenied: return "permission denied";
    case IoKind::ConnectionRefused: return "connection refused";
    case IoKind::ConnectionReset: return "connection reset";
    case IoKind::ConnectionAborted: return "connection aborted";
    case IoKind::BrokenPipe: return "broken pipe";
    case IoKind::AlreadyExists: return "entity already exists";
    case IoKind::WouldBlock: return "operation would block";
    case IoKind::NotADirectory: return "not a directory";
    case IoKind::IsADirectory: return "is a directory";
    case IoKind::TimedOut: return "timed out";
    case IoKind::Interrupted: return "operation interrupted";
    case IoKind::OutOfMemory: return "out of memory";
    case IoKind::AddrInUse: return "address in use";
    case IoKind::InvalidInput: return "invalid input parameter";
    case IoKind::StorageFull: return "no storage space";
    case IoKind::InvalidData: return "invalid data";
    case IoKind::UnexpectedEof: return "unexpected end of file";
    case IoKind::WriteZero: return "write zero";
    case IoKind::Other: return "other error";
  }
  return "other error";
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r: returns either buf or a static string, never fails.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

Error Error::from_errno(int err) {
  return Error(Io{kind_from_errno(err), err, std::nullopt});
}

Error Error::io(IoKind kind, std::string message) {
  return Error(Io{kind, 0, std::move(message)});
}

Error Error::io(IoKind kind) { return Error(Io{kind, 0, std::nullopt}); }

Error Error::invalid(std::string message) {
  return Error(Invalid{std::move(message)});
}

Error Error::lost() { return Error(Lost{}); }

Error::Variant Error::variant() const noexcept {
  return static_cast<Variant>(v_.index());
}

IoKind Error::kind() const noexcept { return std::get<Io>(v_).kind; }

std::string Error::text() const {
  if (const Io* io = std::get_if<Io>(&v_)) {
    if (io->os_errno != 0) return os_error_text(io->os_errno);
    return io->message ? *io->message : std::string(describe(io->kind));
  }
  if (const Invalid* invalid = std::get_if<Invalid>(&v_)) return invalid->message;
  return kLostMessage;
}

Error Error::with_path(const std::filesystem::path& path) && {
  if (!is_io()) return std::move(*this);
  return Error::io(kind(), path.native() + ": " + text());
}

Error Error::with_message(std::string message) && {
  if (!is_io()) return std::move(*this);
  return Error::io(kind(), std::move(message));
}

}  // namespace quillmere
