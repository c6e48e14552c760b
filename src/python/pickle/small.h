// A sequence with its first elements inline, for the codec's stacks and
// memos: the few that a typical item needs cost no allocation.

#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace quillmere::python::pickle {

// The first N elements live inside the object.
template <class T, std::size_t N>
class Small {
 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return i < N ? inline_[i] : more_[i - N]; }
  const T& operator[](std::size_t i) const noexcept { return i < N ? inline_[i] : more_[i - N]; }
  T& back() noexcept { return (*this)[size_ - 1]; }
  const T& back() const noexcept { return (*this)[size_ - 1]; }
  void push_back(T value) {
    if (size_ < N) {
      inline_[size_] = std::move(value);
    } else {
      more_.push_back(std::move(value));
    }
    ++size_;
  }
  void pop_back() noexcept { resize(size_ - 1); }
  // Drops the elements from n on. REQUIRES: n <= size().
  void resize(std::size_t n) noexcept {
    for (std::size_t i = n; i < std::min(size_, N); ++i) inline_[i] = T();
    if (size_ > N) more_.resize(n > N ? n - N : 0);
    size_ = n;
  }

 private:
  std::array<T, N> inline_{};
  std::vector<T> more_;
  std::size_t size_ = 0;
};

}  // namespace quillmere::python::pickle
