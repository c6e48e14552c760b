// The growable array behind a half's arena and entries: exactly the
// capacity asked for, and memory handed back to the system as soon as it
// is released.
//
// A std::vector would do the job but for two costs that the memory limit
// feels. Growing it copies into a new buffer while the old one is still
// held; and a large freed buffer may stay in the allocator's heap (glibc
// raises its mapping threshold after large frees), so the process keeps
// memory the sorter no longer counts. Here a large capacity is its own
// mapping: it grows and shrinks with mremap, without a copy of the
// contents, and is unmapped when released. Small capacities use malloc.
//
// For trivially copyable T only. Capacity changes throw std::bad_alloc
// when memory cannot be had; the contents are then unchanged. Not safe for
// concurrent use; moving hands the memory over.

#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace quillmere {

namespace chunk_memory {
// Memory of `bytes` (> 0). Throws std::bad_alloc.
void* allocate(std::size_t bytes);
// Moves to a block of new_bytes (> 0), keeping the first `used` bytes.
// Throws std::bad_alloc, leaving the old block as it was.
void* reallocate(void* p, std::size_t old_bytes, std::size_t used, std::size_t new_bytes);
void release(void* p, std::size_t bytes) noexcept;
}  // namespace chunk_memory

template <class T>
class ChunkBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ChunkBuffer() noexcept = default;
  ChunkBuffer(ChunkBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ChunkBuffer& operator=(ChunkBuffer&& other) noexcept {
    ChunkBuffer(std::move(other)).swap(*this);
    return *this;
  }
  // Copies the contents into a buffer of the same capacity.
  ChunkBuffer(const ChunkBuffer& other) : ChunkBuffer() {
    set_capacity(other.capacity_);
    append(other);
  }
  ChunkBuffer& operator=(const ChunkBuffer& other) {
    if (this != &other) ChunkBuffer(other).swap(*this);
    return *this;
  }
  ~ChunkBuffer() { chunk_memory::release(data_, capacity_ * sizeof(T)); }

  void swap(ChunkBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  // Sets the capacity to exactly max(n, size()), growing or shrinking.
  void set_capacity(std::size_t n) {
    if (n < size_) n = size_;
    if (n == capacity_) return;
    if (n == 0) {
      chunk_memory::release(data_, capacity_ * sizeof(T));
      data_ = nullptr;
    } else if (data_ == nullptr) {
      data_ = static_cast<T*>(chunk_memory::allocate(n * sizeof(T)));
    } else {
      data_ = static_cast<T*>(chunk_memory::reallocate(data_, capacity_ * sizeof(T),
                                                       size_ * sizeof(T), n * sizeof(T)));
    }
    capacity_ = n;
  }
  void reserve(std::size_t n) {
    if (n > capacity_) set_capacity(n);
  }
  void clear() noexcept { size_ = 0; }

  // Appends, growing by doubling when full.
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(capacity_ == 0 ? 1 : 2 * capacity_);
    data_[size_++] = value;
  }
  void append(std::span<const T> values) {
    if (values.size() > capacity_ - size_) reserve(std::max(size_ + values.size(), 2 * capacity_));
    if (!values.empty()) std::memcpy(data_ + size_, values.data(), values.size() * sizeof(T));
    size_ += values.size();
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quillmere
