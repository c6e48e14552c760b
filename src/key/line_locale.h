// What a locale changes in the keys of text records, as GNU sort applies
// it: the collation of text (LC_COLLATE); the letters, digits and printable
// characters of -d and -i and the upper case of -f (LC_CTYPE, one byte at a
// time, as sort does even in UTF-8, where only ASCII bytes are letters); the
// decimal point and thousands separator of -n and -h, and the numbers of -g
// (LC_NUMERIC); the month names of -M (LC_TIME). Besides, how many columns
// text takes on a terminal (LC_CTYPE's character set), to mark keys under
// the lines that hold them.
//
// Each part is kept only where it differs from the C locale's, so that a
// locale that behaves as C does in some respect (C.UTF-8 in all of them but
// the columns) takes the C locale's own paths there.

#pragma once

#include <locale.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "key/collation.h"

namespace quillmere::lines {

// One category (by its name, such as "LC_COLLATE") and the locale named for it.
struct LocaleName {
  std::string category;
  std::string name;
};

// The character classes of -d and -i and the case folding of -f.
struct CharClasses {
  std::array<unsigned char, 256> upper;
  std::array<bool, 256> alnum;
  std::array<bool, 256> print;
};

// A month name as -M matches it: upper case, without blanks.
struct MonthName {
  std::string name;
  unsigned month;  // 1 to 12
};

class Locale {
 public:
  // Loads the named categories as setlocale(LC_ALL, "") takes them: when
  // any cannot be loaded (not installed), none is, and sorting follows the C
  // locale, as it does for categories not named. A null result means the C
  // locale's behaviour throughout. Fails on a category name it does not know.
  static Result<std::shared_ptr<const Locale>> load(std::span<const LocaleName> names);

  ~Locale();
  Locale(const Locale&) = delete;
  Locale& operator=(const Locale&) = delete;

  // Text order; null when it is the bytes' own.
  const Collation* collation() const noexcept { return collation_.get(); }
  // -d, -i and -f; null when they are C's.
  const CharClasses* classes() const noexcept { return classes_ ? &*classes_ : nullptr; }
  // The decimal point of -n and -h: the locale's when it is one byte, else '.'.
  char decimal_point() const noexcept { return decimal_point_; }
  // Their thousands separator, when the locale has one of one byte.
  std::optional<char> thousands_separator() const noexcept { return thousands_; }
  // The locale -g reads numbers in; null for C's way.
  locale_t numbers() const noexcept { return numeric_; }
  // -M's names, sorted by their bytes; null when they are C's (JAN to DEC)
  // and LC_CTYPE upper-cases as C does.
  const std::vector<MonthName>* months() const noexcept { return months_ ? &*months_ : nullptr; }
  // See display_columns.
  std::size_t columns(std::string_view text) const;

 private:
  Locale() = default;

  locale_t collate_ = nullptr;
  locale_t numeric_ = nullptr;
  locale_t ctype_ = nullptr;  // for columns, unless it is C's
  std::unique_ptr<Collation> collation_;
  std::optional<CharClasses> classes_;
  char decimal_point_ = '.';
  std::optional<char> thousands_;
  std::optional<std::vector<MonthName>> months_;
};

// How many columns `text` takes on a terminal in `locale`'s character set
// (null: C's, one byte a character): each character its width, none for
// control characters, but one for a tab (shown as one character); one for
// each byte that is no character, and one for a character the text cuts
// short.
std::size_t display_columns(std::string_view text, const Locale* locale);

}  // namespace quillmere::lines
