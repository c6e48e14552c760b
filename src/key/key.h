// The byte-level half of the sort-key encoding: a key value becomes a byte
// string whose plain unsigned byte order is the order in which Python
// compares the values, so every later comparison is a byte comparison.
//
// Each value's encoding starts with a tag that orders the kinds:
//   0x00  ends the elements of a tuple or list
//   0x10  None
//   0x20  a number: int, float, or anything with __index__
//   0x30  str, as UTF-8 (lone surrogates as their 3-byte forms)
//   0x40  bytes
//   0x50  tuple: the elements' encodings, then 0x00
//   0x60  list: likewise
// Every encoding is self-delimiting (none is a proper prefix of another), so
// element encodings can simply follow one another.
//
// A number is 0x20, the ordered image of its floor double d (8 bytes), then
// an unsigned field holding the exact remainder x - d. So ints and floats of
// equal value encode alike, and an int no double can hold sorts exactly
// between its neighbouring doubles. Ints beyond the doubles' range take two
// special forms (see push_big_int).
//
// These routines only append to the buffer; none can fail. The parts that
// inspect Python objects live in the Python layer.

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace quillmere::key {

// The growable byte string a key is encoded into. Its first 64 bytes live
// inside the object, so encoding a typical key allocates nothing; longer
// keys move to the heap (std::bad_alloc when that fails).
class Buffer {
 public:
  static constexpr std::size_t kInline = 64;

  Buffer() noexcept {}
  Buffer(const Buffer& other) : Buffer() { append(other.data(), other.size()); }
  Buffer& operator=(const Buffer& other) {
    if (this != &other) {
      clear();
      append(other.data(), other.size());
    }
    return *this;
  }
  ~Buffer() {
    if (data_ != inline_) std::free(data_);
  }

  std::byte* data() noexcept { return data_; }
  const std::byte* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  void clear() noexcept { size_ = 0; }
  // Drops the bytes from `size` on. REQUIRES: size <= size().
  void truncate(std::size_t size) noexcept { size_ = size; }
  // Adds `n` bytes of no set value and returns where they start, for a
  // caller that writes a bounded but unknown number of bytes and then
  // truncates to what it wrote.
  std::byte* extend(std::size_t n) {
    if (n > capacity_ - size_) grow(size_ + n);
    size_ += n;
    return data_ + size_ - n;
  }
  std::byte& operator[](std::size_t i) noexcept { return data_[i]; }
  const std::byte* begin() const noexcept { return data_; }
  const std::byte* end() const noexcept { return data_ + size_; }
  operator std::span<const std::byte>() const noexcept { return {data_, size_}; }

  void push_back(std::byte b) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = b;
  }
  void append(const void* bytes, std::size_t n) {
    if (n > capacity_ - size_) grow(size_ + n);
    if (n != 0) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }

 private:
  void grow(std::size_t need);

  std::byte* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  std::byte inline_[kInline];
};

inline constexpr std::byte kEnd{0x00};
inline constexpr std::byte kTagNone{0x10};
inline constexpr std::byte kTagNumber{0x20};
inline constexpr std::byte kTagStr{0x30};
inline constexpr std::byte kTagBytes{0x40};
inline constexpr std::byte kTagTuple{0x50};
inline constexpr std::byte kTagList{0x60};

// `tag`, then `bytes` with each 0x00 written as 0x00 0xFF, then 0x00 0x00.
// A string sorts before every longer string it is a prefix of.
void push_escaped(Buffer& out, std::byte tag, std::span<const std::byte> bytes);

// A float: 0x20, the ordered image, and a zero remainder. All NaNs become
// one NaN (after +inf) and -0.0 becomes 0.0.
void push_double(Buffer& out, double value);

// An integer that fits in 64 signed bits, with hardware conversions only:
// the common case.
void push_int64(Buffer& out, std::int64_t value);

// An integer of any size given as a sign and a big-endian magnitude
// (leading zero bytes allowed).
void push_big_int(Buffer& out, bool negative, std::span<const std::byte> magnitude);

}  // namespace quillmere::key
