// Owns one open file descriptor and closes it when dropped.
//
// Move-only: moving hands the descriptor on and leaves -1 behind, so a
// moved-from Fd closes nothing and may be assigned to again. Dropping or
// reset() ignores what close(2) reports, which suits a file only read, or
// one being abandoned; a writer whose data must be known to have reached
// the file calls close() and looks at the result. An Fd belongs to one
// thread at a time.

#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/error.h"

namespace quillmere {

class Fd {
 public:
  Fd() noexcept = default;
  // Takes ownership of `fd`; -1 means none.
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  // The descriptor, still owned by this; -1 when there is none.
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Hands the descriptor to the caller, who must close it; leaves -1.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor now, ignoring errors.
  void reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  // Closes the descriptor now and reports what close(2) said; nothing to do
  // when there is none. Linux has closed the descriptor even when close()
  // reports EINTR, so it is never retried (the number may already belong to
  // another file), and EINTR counts as success.
  [[nodiscard]] Result<> close() {
    if (fd_ < 0) return {};
    if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
      return fail(Error::from_errno(errno));
    }
    return {};
  }

 private:
  int fd_ = -1;
};

}  // namespace quillmere
