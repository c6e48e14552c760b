// Keys of text records (lines, or NUL-terminated records) as GNU sort
// compares them: fields and characters picked by -k and -t, and the
// orderings of -n, -g, -h, -M, -V, -f, -d, -i and -r, in the C locale or in
// one given (see line_locale.h). Each record's key becomes one byte string
// whose plain byte order is the order in which those options compare
// records, so that the sorter, the merge, and the checks of -u and -c
// compare nothing but bytes: two records have equal keys exactly when the
// options call them equal.
//
// A key is the keys' components one after another. Every component but a
// plain last one is self-delimiting (none is a proper prefix of another),
// so that comparing the concatenations compares component by component; a
// reversed component is its bytes inverted, which reverses the order of
// self-delimiting strings.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "key/key.h"
#include "key/keyed_hash.h"
#include "key/line_locale.h"

namespace quillmere::lines {

enum class Order : std::uint8_t {
  kText,     // bytes, after -f and -d or -i
  kNumeric,  // -n: an optional minus, digits and a fraction
  kGeneral,  // -g: a floating-point number as strtold reads it
  kHuman,    // -h: -n, after the unit suffix (K, M, G, ...)
  kMonth,    // -M: JAN to DEC, unknown first
  kVersion,  // -V: digit runs compare as numbers
};

enum class Ignore : std::uint8_t {
  kNone,
  kNonDictionary,  // -d: all but letters, digits and blanks
  kNonPrinting,    // -i: all but printable bytes (0x20 to 0x7E in C)
};

// One -k key. Positions are 0-based, as GNU sort keeps them: the key starts
// `start_char` characters into field `start_field` and ends `end_char`
// characters into field `end_field` (0: at the end of that field); no end
// field means the end of the record.
struct KeySpec {
  std::size_t start_field = 0;
  std::size_t start_char = 0;
  bool skip_start_blanks = false;
  std::optional<std::size_t> end_field;
  std::size_t end_char = 0;
  bool skip_end_blanks = false;
  Order order = Order::kText;
  bool fold = false;  // -f: lower-case letters compare as upper-case
  Ignore ignore = Ignore::kNone;
  bool reverse = false;
  bool random = false;  // -R: by a keyed hash of the text, whatever `order` says
};

// What orders records whose keys are all equal. Without a last resort they
// keep their input order (-s, -u); with one, the whole records compare as
// bytes, in reverse with a global -r; in a locale that collates, they compare
// as its collation orders them (kBytes given becomes kCollated), which the
// key then holds instead of the record's bytes.
enum class LastResort : std::uint8_t {
  kNone,
  kBytes,
  kReversedBytes,
  kCollated,
  kReversedCollated,
};

// Where some of a record lies, as byte offsets into it.
struct Extent {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// A month that -M finds: 0 for none, else 1 to 12, and how many bytes of
// the text name it.
struct MonthFound {
  unsigned month = 0;
  std::size_t length = 0;
};

class LineKeys {
 public:
  // `tab` is the -t byte, or none for fields that begin at blanks.
  // `hash_key` keys the hash of -R. `locale` null is the C locale.
  LineKeys(std::vector<KeySpec> keys, std::optional<std::uint8_t> tab,
           LastResort last_resort = LastResort::kNone, key::HashKey hash_key = {},
           std::shared_ptr<const Locale> locale = nullptr);

  // Whether every record is its own key, so key_of need not be called.
  bool whole_record() const noexcept { return whole_record_; }

  // The last resort keys end with, none when equal keys already mean equal
  // records (a key that is the whole record, in either direction).
  LastResort last_resort() const noexcept { return last_resort_; }

  // Appends the key of one record (without its terminator) to `out`, and
  // returns how many of its last bytes are the last resort kBytes or
  // kReversedBytes: the record itself, or escaped and inverted when reversed
  // (see record_from_reversed_tail); 0 for any other last resort.
  std::size_t key_of(std::span<const std::byte> record, key::Buffer& out) const;

  // Appends to `out` the record whose reversed last resort is `tail`.
  static void record_from_reversed_tail(std::span<const std::byte> tail,
                                        std::vector<std::byte>& out);

  // Appends the key of a record whose key texts are given whole: the i-th
  // key orders texts[i] (missing ones count as empty), without its leading
  // blanks with -b; field and character positions are not used. For records split by their own rules, such as CSV.
  void key_of_texts(std::span<const std::span<const std::byte>> texts, key::Buffer& out) const;

  // Appends, for each key in turn, what of `record` it compares, as a user
  // is shown it: its whole text, but for -n, -h, -g and -M only the number
  // or month read from it, past its blanks, and where none is found, an
  // empty extent where it was looked for.
  void extents(std::span<const std::byte> record, std::vector<Extent>& out) const;

  // How many columns `text` takes on a terminal in the locale's character
  // set (see display_columns).
  std::size_t columns(std::span<const std::byte> text) const;

 private:
  void append_component(const KeySpec& key, bool last, std::string_view text,
                        key::Buffer& out) const;
  MonthFound month_of(std::string_view text) const;
  std::string_view changed_text(const KeySpec& key, std::string_view text,
                                std::string& changed) const;

  std::vector<KeySpec> keys_;
  std::optional<std::uint8_t> tab_;
  bool whole_record_;
  LastResort last_resort_;
  key::HashKey hash_key_;
  // The locale and, taken from it, what the keys use (null: the C locale's).
  std::shared_ptr<const Locale> locale_;
  const Collation* collation_ = nullptr;
  const CharClasses* classes_ = nullptr;
  const std::vector<MonthName>* months_ = nullptr;
  locale_t numbers_ = nullptr;
  char decimal_point_ = '.';
  std::optional<char> thousands_;
};

}  // namespace quillmere::lines
