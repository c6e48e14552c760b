// Text in a locale's collation order (strcoll's), as bytes whose plain order
// is that order, so that keys of collated text still compare as bytes.
//
// A text's form is what strxfrm makes of it, made shorter by a rewriting
// that keeps its order (see below). Text that holds NUL bytes is compared
// as strcoll compares C strings, one NUL-separated piece at a time (fewer
// pieces first when all agree), so each piece is transformed on its own and
// the pieces are joined by 0x00 0x02; 0x00 0x01 ends a text that must be
// self-delimiting. Where another text's piece could end, a piece's form
// never holds 0x00, so the piece that ends sorts first, as it should.
//
// glibc's strxfrm writes a text level by level (base letters, accents,
// case, and a last level that tells apart what the others call equal),
// separated by 0x01 and never using 0x00. Its output is long, about eight
// bytes a character, mostly the same few bytes over and over. The form kept
// here rewrites it: the weights of the first level (read as UTF-8 does its
// sequences, by their lead byte) and of the last level (between its 0x01s)
// each become one byte when they are among those of the ASCII characters
// (a dictionary), and each middle level becomes runs, a byte and how often
// it repeats. The rewriting keeps the order of any byte strings without
// 0x00, whatever their shape, so it does not rely on what strxfrm writes,
// only on its order being strcoll's.
//
// strcoll, which GNU sort calls, does not always order as strxfrm does:
// at a level written backward for some characters (in glibc's ISO 14651
// locales, the accents level of digits, currency signs, blanks and
// punctuation), its walk back through a run of such characters that a
// forward one follows skips the run's last but one character. So "12a"
// sorts before "1 2a" (the "1" is skipped), though strxfrm puts it after.
// The form follows strcoll: at such a level it takes the weights of the
// text in which each skipped character is replaced by one that weighs
// nothing there. Characters, and the rule set that says at which levels
// each is backward, are read from glibc's tables of byte sequences as
// strcoll reads them.
//
// strxfrm itself costs about a microsecond for a short line. For texts of
// ASCII characters the form is instead put together from weights read
// through strxfrm once per locale, one character at a time. That gives the
// same bytes only where strxfrm treats each such character on its own, so
// a character takes the quick way only when the locale shows that it does:
// no multi-character collating element of the locale (such as "ch" or
// "aa") starts with it and consists of ASCII alone; its weights have the
// shape the quick way assumes (one first-level weight or none, at most one
// byte at each middle level, the same one for all characters at a level
// written backward, one last-level weight); and every two-character text of
// such characters transforms to exactly what their weights put together
// give. A text with any other byte goes through strxfrm.

#pragma once

#include <locale.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "key/key.h"

namespace quillmere::lines {

// Weights that are written as one byte each, in their order: the i-th as
// 0x03 + 2i, and any other weight as the byte of the gap it falls in among
// them (0x02 + 2i, between the (i-1)-th and the i-th) and then in full.
class WeightCode {
 public:
  static constexpr std::size_t kMaxKnown = 126;  // codes up to 0xFE

  // REQUIRES: at most kMaxKnown distinct weights, none empty or with a byte
  // below 0x02.
  explicit WeightCode(std::vector<std::string> weights = {});

  // The one-byte code of a known weight, 0 for any other.
  unsigned code(std::string_view weight) const noexcept;
  // Appends the code of any weight whose bytes are all 0x02 or more.
  void append(std::string_view weight, key::Buffer& out) const;

 private:
  // The known weights packed into numbers that order as they do: the first
  // seven bytes big-endian, then the length (255 for longer ones).
  static std::uint64_t packed(std::string_view weight) noexcept;
  std::vector<std::uint64_t> known_;
};

class Collation {
 public:
  // The collation of `locale` (kept, not owned: it must outlive this), or
  // nullptr when it orders text as bytes (no collation rules: C, POSIX,
  // C.UTF-8). Fails only to allocate.
  static std::unique_ptr<Collation> of(locale_t locale);

  // Appends the form of `text` (which may hold NUL bytes); a self-delimiting
  // form is never a proper prefix of another.
  void append(std::string_view text, bool self_delimiting, key::Buffer& out) const;

  // Appends the form of one NUL-free piece; `quick` false always goes
  // through strxfrm, so that tests can compare the two ways.
  void append_piece(std::string_view piece, key::Buffer& out, bool quick = true) const;

  // Appends the form of strxfrm's output `transformed` (for tests: any
  // bytes without 0x00).
  void rewrite(std::string_view transformed, key::Buffer& out) const;

  // Whether a byte takes the quick way (for tests).
  bool quick(unsigned char c) const noexcept { return chars_[c].quick; }

  // Appends to `out` the piece as strcoll reads it at `level`: each
  // character it skips there replaced by one that weighs nothing at that
  // level. False, with `out` untouched, when it skips none.
  bool skipped_at(std::string_view piece, std::size_t level, std::string& out) const;

 private:
  // What the quick way needs of one character: the codes of its first and
  // last levels' weights (0 for none), its byte at each middle level (0 for
  // none), and the levels (bits) at which it is backward, and backward with
  // a weight, which strcoll's skipping needs.
  static constexpr std::size_t kMaxLevels = 8;
  struct Char {
    bool quick = false;
    std::uint8_t first = 0;
    std::uint8_t last = 0;
    std::uint8_t middle[kMaxLevels] = {};
    std::uint8_t backward = 0;
    std::uint8_t weighty = 0;
  };

  explicit Collation(locale_t locale) : locale_(locale) {}
  void learn_characters();
  void learn_skipping();
  void fill_plane();
  struct Element {
    std::size_t length;
    unsigned rule;
  };
  Element find_element(const unsigned char* at, std::size_t left) const noexcept;
  std::uint8_t backward_levels(unsigned rule) const noexcept;
  bool append_quick(std::string_view piece, key::Buffer& out) const;
  void transform_into(std::string_view piece, std::string& out) const;
  void push_first_level(std::string_view level, key::Buffer& out) const;
  void push_last_level(std::string_view level, key::Buffer& out) const;

  locale_t locale_;
  std::size_t levels_ = 0;       // strxfrm's levels (the locale's collation rules)
  bool empty_is_empty_ = false;  // whether strxfrm makes nothing of an empty text
  WeightCode first_;             // the first-level weights of the quick characters
  WeightCode last_;              // and their last-level ones
  std::array<Char, 256> chars_{};
  bool utf8_ = false;
  // Where strcoll skips: the levels (bits) at which some byte is backward,
  // each byte's backward levels, and the byte that replaces a skipped
  // character at each level (0: none found, the level is left as strxfrm has it).
  std::uint8_t skipping_ = 0;
  std::array<std::uint8_t, 256> backward_{};
  char neutral_[kMaxLevels] = {};
  // glibc's tables, and the backward levels of each character of the
  // Basic Multilingual Plane in a UTF-8 locale (kNotOne for a character
  // that is not one collating element).
  static constexpr std::uint8_t kNotOne = 0xFF;
  const std::int32_t* table_ = nullptr;
  const unsigned char* extra_ = nullptr;
  const std::int32_t* indirect_ = nullptr;
  const unsigned char* rules_ = nullptr;
  std::vector<std::uint8_t> plane_;
};

// strxfrm_l's output for a NUL-free piece.
std::string transformed(locale_t locale, std::string_view piece);

}  // namespace quillmere::lines
