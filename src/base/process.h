// Which process made an object. After fork() a child holds copies of the
// parent's objects, but not its threads, and its files are the parent's:
// an owner made in another process may release memory, and nothing else.

#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <new>
#include <type_traits>
#include <utility>

namespace quillmere {

class MadeHere {
 public:
  MadeHere() noexcept : pid_(::getpid()) {}
  // Whether the calling process is the one that made the object.
  bool here() const noexcept { return ::getpid() == pid_; }

 private:
  pid_t pid_;
};

// Keeps `object` alive for good, without running its destructor: for what
// only its own process could take apart.
template <class T>
void abandon(T&& object) noexcept {
  static_cast<void>(new (std::nothrow) std::remove_cvref_t<T>(std::forward<T>(object)));
}

}  // namespace quillmere
