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
#include <span>
#include <vector>

namespace quillmere::key {

using Buffer = std::vector<std::byte>;

inline constexpr std::byte kEnd{0x00};
inline constexpr std::byte kTagNone{0x10};
inline constexpr std::byte kTagNumber{0x20};
inline constexpr std::byte kTagStr{0x30};
inline constexpr std::byte kTagBytes{0x40};
inline constexpr std::byte kTagTuple{0x50};
inline constexpr std::byte kTagList{0x60};

// The unsigned field of a big-endian integer of any length (empty is zero):
// leading zero bytes dropped, then one length byte and the bytes when at
// most 254 remain, else 0xFF, the length as 8 big-endian bytes, and the
// bytes. Fields compare as the integers do, and none is a prefix of another.
void push_unsigned(Buffer& out, std::span<const std::uint8_t> big_endian);

// `tag`, then `bytes` with each 0x00 written as 0x00 0xFF, then 0x00 0x00.
// A string sorts before every longer string it is a prefix of.
void push_escaped(Buffer& out, std::byte tag, std::span<const std::uint8_t> bytes);

// A float: 0x20, the ordered image, and a zero remainder. All NaNs become
// one NaN (after +inf) and -0.0 becomes 0.0.
void push_double(Buffer& out, double value);

// An integer that fits in 128 signed bits.
void push_small_int(Buffer& out, __int128 value);

// An integer of any size given as a sign and a big-endian magnitude
// (leading zero bytes allowed).
void push_big_int(Buffer& out, bool negative, std::span<const std::uint8_t> magnitude);

// Building blocks, exposed for tests.
std::uint64_t ordered_image(double value);  // unsigned order = numeric order
double floor_double(__int128 value);        // the largest double <= value

}  // namespace quillmere::key
