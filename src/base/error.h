// The core's one error type, and Result<T> for functions that can fail.
//
// The core (keys, halves, spilling, run files, merging) never throws across
// its API: a failure travels back as an Error value, and only the Python layer
// turns it into an exception, once. An Error is one of three variants:
//   Io       a file or directory operation failed, or a run file is damaged;
//            it has a kind (which decides the Python class) and a text
//   Invalid  a value the core refuses, with a message
//   Lost     an earlier failure lost records, so the sort cannot complete
// Errors are plain values: safe to move between threads, not shared.

#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace quillmere {

// Kinds of I/O error. Those up to OutOfMemory decide a Python class of their
// own; every other kind is raised as plain OSError.
enum class IoKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  TimedOut,
  Interrupted,
  OutOfMemory,
  AddrInUse,
  InvalidInput,
  StorageFull,
  InvalidData,    // a damaged run file
  UnexpectedEof,  // a run file that ends early
  WriteZero,      // a write that accepted no bytes
  Other,
};

// The kind of an operating-system error number; Other when none fits.
IoKind kind_from_errno(int err) noexcept;

// A short lower-case description of a kind, used as the text of an error
// that has a kind alone ("unexpected end of file").
const char* describe(IoKind kind) noexcept;

// The system's description of errno, then " (os error N)".
std::string os_error_text(int err);

inline constexpr const char* kLostMessage =
    "an earlier error lost records, so sorting cannot go on";

class Error {
 public:
  enum class Variant : std::uint8_t { Io, Invalid, Lost };

  // An operating-system error; its kind follows errno.
  static Error from_errno(int err);
  // A kind with the system's own message.
  static Error io(IoKind kind, std::string message);
  // A kind alone: its text is the kind's description.
  static Error io(IoKind kind);
  static Error invalid(std::string message);
  static Error lost();

  Variant variant() const noexcept;
  bool is_io() const noexcept { return variant() == Variant::Io; }
  // REQUIRES: is_io().
  IoKind kind() const noexcept;

  // The message as a user reads it: the I/O text, the Invalid message, or
  // the lost-items message.
  std::string text() const;

  // Same kind, text "PATH: text". Non-I/O errors are returned unchanged.
  Error with_path(const std::filesystem::path& path) &&;
  // Same kind, the given text. Non-I/O errors are returned unchanged.
  Error with_message(std::string message) &&;

 private:
  struct Io {
    IoKind kind;
    int os_errno;                        // nonzero for an operating-system error
    std::optional<std::string> message;  // none: the kind's description
  };
  struct Invalid {
    std::string message;
  };
  struct Lost {};

  explicit Error(std::variant<Io, Invalid, Lost> v) : v_(std::move(v)) {}

  std::variant<Io, Invalid, Lost> v_;
};

template <class T = void>
using Result = std::expected<T, Error>;

// Shorthand for `return std::unexpected(error)`.
inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

}  // namespace quillmere
