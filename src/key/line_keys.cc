// Keys of text records: finding the key's text, then one encoding per
// ordering whose byte order is that ordering.

#include "key/line_keys.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>

namespace quillmere::lines {
namespace {

using Text = std::string_view;
using key::Buffer;

// Blanks separate fields and are skipped by -b and before numbers. The
// newline is one too: it can only be inside a record when records end in
// NUL (-z), and then it separates fields as a space does.
bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\t' || c == '\n'; }
bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') < 10; }
bool is_alpha(unsigned char c) noexcept { return static_cast<unsigned>((c | 0x20) - 'a') < 26; }
bool is_alnum(unsigned char c) noexcept { return is_digit(c) || is_alpha(c); }
bool is_print(unsigned char c) noexcept { return c >= 0x20 && c < 0x7F; }
unsigned char upper(unsigned char c) noexcept {
  return static_cast<unsigned>(c - 'a') < 26 ? static_cast<unsigned char>(c - 0x20) : c;
}

void push(Buffer& out, unsigned v) { out.push_back(static_cast<std::byte>(v)); }
void append(Buffer& out, Text text) { out.append(text.data(), text.size()); }

void invert_from(Buffer& out, std::size_t start) {
  for (std::size_t i = start; i < out.size(); ++i) out[i] = ~out[i];
}

std::size_t skip_blanks(Text text, std::size_t at) {
  while (at < text.size() && is_blank(text[at])) ++at;
  return at;
}

// The end of the field that starts at `at`: with a separator, where the next
// one is (or the end); else past the blanks and then the non-blanks.
std::size_t field_end(Text line, std::size_t at, std::optional<std::uint8_t> tab) {
  if (tab) {
    const void* found = std::memchr(line.data() + at, *tab, line.size() - at);
    return found ? static_cast<std::size_t>(static_cast<const char*>(found) - line.data())
                 : line.size();
  }
  at = skip_blanks(line, at);
  while (at < line.size() && !is_blank(line[at])) ++at;
  return at;
}

std::size_t advance(std::size_t at, std::size_t chars, std::size_t limit) {
  return chars >= limit - at ? limit : at + chars;
}

// Where a key starts: past start_field fields, its blanks with -b, and
// start_char characters, never past the end.
std::size_t begin_field(Text line, const KeySpec& key, std::optional<std::uint8_t> tab) {
  std::size_t at = 0;
  const std::size_t limit = line.size();
  for (std::size_t n = key.start_field; at < limit && n > 0; --n) {
    at = field_end(line, at, tab);
    if (tab && at < limit) ++at;  // past the separator, into the next field
  }
  if (key.skip_start_blanks) at = skip_blanks(line, at);
  return advance(at, key.start_char, limit);
}

// Where a key ends: with no end_char, at the end of field end_field (before
// its separator); else end_char characters into it.
std::size_t limit_field(Text line, const KeySpec& key, std::optional<std::uint8_t> tab) {
  const std::size_t limit = line.size();
  if (!key.end_field) return limit;
  std::size_t words = *key.end_field + (key.end_char == 0 ? 1 : 0);
  std::size_t at = 0;
  while (at < limit && words > 0) {
    --words;
    at = field_end(line, at, tab);
    // A separator is crossed only into a field that is counted further.
    if (tab && at < limit && (words > 0 || key.end_char > 0)) ++at;
  }
  if (key.end_char > 0) {
    if (key.skip_end_blanks) at = skip_blanks(line, at);
    at = advance(at, key.end_char, limit);
  }
  return at;
}

// A count that orders as a number: one byte below 255, else 255 and eight
// big-endian bytes.
void push_count(Buffer& out, std::size_t n) {
  if (n < 0xFF) return push(out, static_cast<unsigned>(n));
  push(out, 0xFF);
  for (int shift = 56; shift >= 0; shift -= 8) push(out, static_cast<unsigned>(n >> shift) & 0xFF);
}

// Text made self-delimiting: each 0x00 becomes 0x00 0x01, and 0x00 0x00 ends it.
void push_delimited(Buffer& out, Text text) {
  while (!text.empty()) {
    const void* zero = std::memchr(text.data(), 0, text.size());
    if (zero == nullptr) {
      append(out, text);
      break;
    }
    const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(zero) - text.data());
    append(out, text.substr(0, n));
    push(out, 0x00);
    push(out, 0x01);
    text.remove_prefix(n + 1);
  }
  push(out, 0x00);
  push(out, 0x00);
}

// A decimal number as -n reads it, starting at `text`: an optional minus,
// digits and an optional fraction; anything else ends it, and no digits at
// all (or only zeros) is zero, whatever the sign. Zero is 0x02; a positive
// number is 0x03, its count of integer digits without leading zeros, those
// digits, the fraction's digits without trailing zeros and 0x00; a negative
// one is 0x01 and then the same, inverted.
void push_decimal(Buffer& out, Text text) {
  std::size_t at = 0;
  const std::size_t n = text.size();
  const bool negative = at < n && text[at] == '-';
  if (negative) ++at;
  while (at < n && text[at] == '0') ++at;
  const std::size_t int_begin = at;
  while (at < n && is_digit(text[at])) ++at;
  const std::size_t int_end = at;
  std::size_t frac_begin = at, frac_end = at;
  if (at < n && text[at] == '.') {
    frac_begin = frac_end = ++at;
    while (frac_end < n && is_digit(text[frac_end])) ++frac_end;
    while (frac_end > frac_begin && text[frac_end - 1] == '0') --frac_end;
  }
  if (int_begin == int_end && frac_begin == frac_end) return push(out, 0x02);
  push(out, negative ? 0x01 : 0x03);
  const std::size_t start = out.size();
  push_count(out, int_end - int_begin);
  append(out, text.substr(int_begin, int_end - int_begin));
  append(out, text.substr(frac_begin, frac_end - frac_begin));
  push(out, 0x00);
  if (negative) invert_from(out, start);
}

// A number of -n or -h as push_decimal reads it, from a locale whose
// decimal point is `point` and whose thousands separator, if any, is
// `thousands`. As GNU sort does, the separator is skipped wherever it is in
// the integer part (first, doubled, last); after the decimal point it ends
// the number.
std::string plain_number(Text text, char point, std::optional<char> thousands) {
  std::string plain;
  std::size_t at = 0;
  if (text.starts_with('-')) plain.push_back(text[at++]);
  for (; at < text.size(); ++at) {
    if (is_digit(text[at])) {
      plain.push_back(text[at]);
    } else if (!thousands || text[at] != *thousands) {
      break;
    }
  }
  if (at < text.size() && text[at] == point) {
    plain.push_back('.');
    for (++at; at < text.size() && is_digit(text[at]); ++at) plain.push_back(text[at]);
  }
  return plain;
}

// The power of a unit suffix: K (or k) 1, M 2, G 3, and so on to Q 10.
int unit_power(unsigned char c) noexcept {
  switch (c) {
    case 'K': case 'k': return 1;
    case 'M': return 2;
    case 'G': return 3;
    case 'T': return 4;
    case 'P': return 5;
    case 'E': return 6;
    case 'Z': return 7;
    case 'Y': return 8;
    case 'R': return 9;
    case 'Q': return 10;
    default: return 0;
  }
}

// -h: numbers order first by their suffix's power (negated for negative
// numbers; none for a number without a nonzero digit), then as -n does.
// The suffix follows the digits; a thousands separator counts among them
// only between two digits (GNU's "1,K" has none).
void push_human(Buffer& out, Text text, char point = '.', std::optional<char> thousands = {}) {
  text.remove_prefix(skip_blanks(text, 0));
  std::size_t at = text.starts_with('-') ? 1 : 0;
  unsigned char max_digit = 0;
  for (; at < text.size(); ++at) {
    if (is_digit(text[at])) {
      max_digit = std::max<unsigned char>(max_digit, text[at]);
    } else if (!thousands || text[at] != *thousands || at == 0 || !is_digit(text[at - 1]) ||
               at + 1 == text.size() || !is_digit(text[at + 1])) {
      break;
    }
  }
  if (at < text.size() && text[at] == point) {
    ++at;
    while (at < text.size() && is_digit(text[at])) max_digit = std::max<unsigned char>(max_digit, text[at++]);
  }
  int power = 0;
  if (max_digit > '0' && at < text.size()) {
    power = unit_power(text[at]);
    if (text.starts_with('-')) power = -power;
  }
  push(out, static_cast<unsigned>(0x80 + power));
  if (point == '.' && !thousands) return push_decimal(out, text);
  push_decimal(out, plain_number(text, point, thousands));
}

// -M in a locale. After blanks, the text in upper case (a byte at a time)
// is looked up in the sorted names by a binary search in which a name that
// the text starts with is found; as in GNU sort, a name whose place the
// search does not pass is not found, even when the text starts with it
// (vi_VN's "THG1" in "Thg19").
MonthFound named_month(Text text, const std::vector<MonthName>& months,
                       const CharClasses* classes) {
  std::size_t low = 0, high = months.size();
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    const std::string& name = months[mid].name;
    for (std::size_t i = 0;; ++i) {
      if (i == name.size()) return {months[mid].month, name.size()};
      if (i == text.size()) {
        high = mid;
        break;
      }
      const unsigned char c = static_cast<unsigned char>(text[i]);
      const unsigned char got = classes != nullptr ? classes->upper[c] : upper(c);
      const unsigned char want = static_cast<unsigned char>(name[i]);
      if (got != want) {
        if (got < want) {
          high = mid;
        } else {
          low = mid + 1;
        }
        break;
      }
    }
  }
  return {};
}

// -M in C: a month's first three letters in any case, after blanks.
MonthFound c_month(Text text) {
  static constexpr Text kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                     "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  if (text.size() < 3) return {};
  const char got[3] = {static_cast<char>(upper(text[0])), static_cast<char>(upper(text[1])),
                       static_cast<char>(upper(text[2]))};
  for (unsigned i = 0; i < 12; ++i) {
    if (Text(got, 3) == kMonths[i]) return {i + 1, 3};
  }
  return {};
}

// How many bytes at the start of `text` the number of -n is, as --debug
// marks it: an optional minus, digits with thousands separators only
// between two of them, and the decimal point with any digits after it;
// 0 when there is no digit.
std::size_t number_length(Text text, char point, std::optional<char> thousands) {
  std::size_t at = text.starts_with('-') ? 1 : 0;
  bool digits = false;
  for (; at < text.size(); ++at) {
    if (is_digit(text[at])) {
      digits = true;
    } else if (!thousands || text[at] != *thousands || at == 0 || !is_digit(text[at - 1]) ||
               at + 1 == text.size() || !is_digit(text[at + 1])) {
      break;
    }
  }
  if (at < text.size() && text[at] == point) {
    for (++at; at < text.size() && is_digit(text[at]); ++at) digits = true;
  }
  return digits ? at : 0;
}

// What strtold reads at the start of `text` (in the locale `numbers`, if
// any), and how many bytes it took (0 for none).
struct General {
  long double value;
  std::size_t length;
};
General read_general(Text text, locale_t numbers) {
  const std::string copy(text);  // strtold needs the end marked
  char* end = nullptr;
  const long double value = numbers != nullptr ? strtold_l(copy.c_str(), &end, numbers)
                                               : std::strtold(copy.c_str(), &end);
  return {value, static_cast<std::size_t>(end - copy.c_str())};
}

// A long double's bits as an unsigned big-endian string that orders as
// the values do: the sign bit set for positive values, every bit inverted
// for negative ones.
void push_long_double(Buffer& out, long double value) {
  static_assert(std::endian::native == std::endian::little);
  // The x87 format fills 10 of its bytes; the others use all of theirs.
  constexpr std::size_t kBytes = std::numeric_limits<long double>::digits == 64 ? 10 : sizeof(long double);
  unsigned char raw[sizeof(long double)] = {};
  std::memcpy(raw, &value, kBytes);
  unsigned char big[kBytes];
  for (std::size_t i = 0; i < kBytes; ++i) big[i] = raw[kBytes - 1 - i];
  if (big[0] & 0x80) {
    for (unsigned char& b : big) b = static_cast<unsigned char>(~b);
  } else {
    big[0] |= 0x80;
  }
  out.append(big, kBytes);
}

// -g: what strtold reads from the start (in the locale `numbers`, if any).
// Text it cannot read sorts first (0x01), then NaNs (0x02) by their printed
// form, then numbers (0x03), with -0 equal to 0.
void push_general(Buffer& out, Text text, locale_t numbers = nullptr) {
  auto [value, length] = read_general(text, numbers);
  if (length == 0) return push(out, 0x01);
  if (std::isnan(value)) {
    char printed[64];
    const int n = std::snprintf(printed, sizeof printed, "%Lf", value);
    push(out, 0x02);
    out.append(printed, static_cast<std::size_t>(std::clamp(n, 0, int(sizeof printed) - 1)));
    return push(out, 0x00);
  }
  if (value == 0) value = 0;  // -0 orders as 0
  push(out, 0x03);
  push_long_double(out, value);
}

// -V ordering of characters outside digit runs, as 2-byte codes: '~' first,
// then the end of the run, letters, and every other byte.
void push_version_code(Buffer& out, unsigned code) {
  push(out, code >> 8);
  push(out, code & 0xFF);
}
constexpr unsigned kRunEnd = 2;

unsigned version_code(unsigned char c) noexcept {
  if (c == '~') return 1;
  if (is_alpha(c)) return c + kRunEnd;
  return c + 256 + kRunEnd;
}

// Alternating runs of non-digits and digits. A non-digit run is its codes
// and kRunEnd; a digit run is its count of digits without leading zeros and
// those digits, so longer numbers sort later; kRunEnd closes the whole.
void push_version_runs(Buffer& out, Text text) {
  std::size_t at = 0;
  do {
    while (at < text.size() && !is_digit(text[at])) push_version_code(out, version_code(text[at++]));
    push_version_code(out, kRunEnd);
    while (at < text.size() && text[at] == '0') ++at;
    const std::size_t begin = at;
    while (at < text.size() && is_digit(text[at])) ++at;
    push_count(out, at - begin);
    append(out, text.substr(begin, at - begin));
  } while (at < text.size());
  push_version_code(out, kRunEnd);
}

// The length of `text` without its file suffix: the longest tail of the
// form (\.[A-Za-z~][A-Za-z0-9~]*)*, never the whole text.
std::size_t without_suffix(Text text) {
  const std::size_t n = text.size();
  std::size_t prefix = 0;
  std::size_t i = 0;
  while (i < n) {
    prefix = ++i;
    while (i + 1 < n && text[i] == '.' && (is_alpha(text[i + 1]) || text[i + 1] == '~')) {
      for (i += 2; i < n && (is_alnum(text[i]) || text[i] == '~'); ++i) {
      }
    }
  }
  return prefix;
}

// -V: the empty text first, then ".", "..", other texts starting with a
// dot, and the rest; within a class, the runs without the file suffix and
// then the runs of the whole.
void push_version(Buffer& out, Text text) {
  if (text.empty()) return push(out, 0x01);
  if (text[0] == '.') {
    if (text.size() == 1) return push(out, 0x02);
    if (text == "..") return push(out, 0x03);
    push(out, 0x04);
  } else {
    push(out, 0x05);
  }
  push_version_runs(out, text.substr(0, without_suffix(text)));
  push_version_runs(out, text);
}

}  // namespace

LineKeys::LineKeys(std::vector<KeySpec> keys, std::optional<std::uint8_t> tab,
                   LastResort last_resort, key::HashKey hash_key,
                   std::shared_ptr<const Locale> locale)
    : keys_(std::move(keys)),
      tab_(tab),
      last_resort_(last_resort),
      hash_key_(hash_key),
      locale_(std::move(locale)) {
  if (locale_ != nullptr) {
    collation_ = locale_->collation();
    classes_ = locale_->classes();
    months_ = locale_->months();
    numbers_ = locale_->numbers();
    decimal_point_ = locale_->decimal_point();
    thousands_ = locale_->thousands_separator();
  }
  if (collation_ != nullptr && last_resort_ == LastResort::kBytes) {
    last_resort_ = LastResort::kCollated;
  } else if (collation_ != nullptr && last_resort_ == LastResort::kReversedBytes) {
    last_resort_ = LastResort::kReversedCollated;
  }
  if (keys_.empty()) keys_.emplace_back();
  const KeySpec& only = keys_.front();
  const bool whole_text = keys_.size() == 1 && only.start_field == 0 && only.start_char == 0 &&
                          !only.skip_start_blanks && !only.end_field &&
                          only.order == Order::kText && !only.fold &&
                          only.ignore == Ignore::kNone && !only.random;
  whole_record_ = whole_text && !only.reverse && collation_ == nullptr;
  if (whole_text) last_resort_ = LastResort::kNone;
}

// The text as -f, -d and -i leave it, in `changed` when they change it,
// with the locale's classes (a byte at a time) or C's.
Text LineKeys::changed_text(const KeySpec& key, Text text, std::string& changed) const {
  if (!key.fold && key.ignore == Ignore::kNone) return text;
  changed.reserve(text.size());
  if (classes_ != nullptr) {
    for (unsigned char c : text) {
      if (key.ignore == Ignore::kNonDictionary && !classes_->alnum[c] && !is_blank(c)) continue;
      if (key.ignore == Ignore::kNonPrinting && !classes_->print[c]) continue;
      changed.push_back(static_cast<char>(key.fold ? classes_->upper[c] : c));
    }
    return changed;
  }
  for (unsigned char c : text) {
    if (key.ignore == Ignore::kNonDictionary && !is_alnum(c) && !is_blank(c)) continue;
    if (key.ignore == Ignore::kNonPrinting && !is_print(c)) continue;
    changed.push_back(static_cast<char>(key.fold ? upper(c) : c));
  }
  return changed;
}

void LineKeys::append_component(const KeySpec& key, bool last, Text text, Buffer& out) const {
  std::string changed;
  text = changed_text(key, text, changed);
  const std::size_t start = out.size();
  if (key.random) {
    // Texts equal after -f, -d and -i (and by the collation) hash alike and
    // stay together; the text itself then orders the rare texts whose
    // hashes are equal.
    Buffer form;
    if (collation_ != nullptr) {
      collation_->append(text, false, form);
      text = Text(reinterpret_cast<const char*>(form.data()), form.size());
    }
    const std::uint64_t hash = key::keyed_hash(
        std::span(reinterpret_cast<const std::byte*>(text.data()), text.size()), hash_key_);
    for (int shift = 56; shift >= 0; shift -= 8) {
      push(out, static_cast<unsigned>(hash >> shift) & 0xFF);
    }
    push_delimited(out, text);
    if (key.reverse) invert_from(out, start);
    return;
  }
  switch (key.order) {
    case Order::kText:
      if (collation_ != nullptr) {
        collation_->append(text, !last || key.reverse, out);
        break;
      }
      // A plain last component needs no end: a shorter key is a prefix and
      // sorts first, as a shorter text does.
      if (last && !key.reverse) return append(out, text);
      push_delimited(out, text);
      break;
    case Order::kNumeric:
      if (decimal_point_ == '.' && !thousands_) {
        push_decimal(out, text.substr(skip_blanks(text, 0)));
      } else {
        push_decimal(out, plain_number(text.substr(skip_blanks(text, 0)), decimal_point_,
                                       thousands_));
      }
      break;
    case Order::kGeneral:
      push_general(out, text, numbers_);
      break;
    case Order::kHuman:
      push_human(out, text, decimal_point_, thousands_);
      break;
    case Order::kMonth:
      push(out, month_of(text.substr(skip_blanks(text, 0))).month);
      break;
    case Order::kVersion:
      push_version(out, text);
      break;
  }
  if (key.reverse) invert_from(out, start);
}

std::size_t LineKeys::key_of(std::span<const std::byte> record, Buffer& out) const {
  const Text line(reinterpret_cast<const char*>(record.data()), record.size());
  const bool resort = last_resort_ != LastResort::kNone;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    const KeySpec& key = keys_[i];
    const std::size_t begin = begin_field(line, key, tab_);
    const std::size_t end = limit_field(line, key, tab_);
    // A key that ends before it starts is empty.
    const Text text = end > begin ? line.substr(begin, end - begin) : Text();
    append_component(key, !resort && i + 1 == keys_.size(), text, out);
  }
  const std::size_t start = out.size();
  switch (last_resort_) {
    case LastResort::kNone:
      break;
    case LastResort::kBytes:
      append(out, line);
      break;
    case LastResort::kReversedBytes:
      push_delimited(out, line);
      invert_from(out, start);
      break;
    case LastResort::kCollated:
      collation_->append(line, false, out);
      return 0;
    case LastResort::kReversedCollated:
      collation_->append(line, true, out);
      invert_from(out, start);
      return 0;
  }
  return out.size() - start;
}

void LineKeys::record_from_reversed_tail(std::span<const std::byte> tail,
                                         std::vector<std::byte>& out) {
  // The tail is the record made self-delimiting (0x00 0x01 for each 0x00,
  // 0x00 0x00 at the end), every byte inverted.
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const std::byte b = ~tail[i];
    if (b == std::byte{0}) {
      if (i + 1 >= tail.size() || ~tail[i + 1] == std::byte{0}) return;
      ++i;
    }
    out.push_back(b);
  }
}

MonthFound LineKeys::month_of(Text text) const {
  return months_ != nullptr ? named_month(text, *months_, classes_) : c_month(text);
}

void LineKeys::extents(std::span<const std::byte> record, std::vector<Extent>& out) const {
  const Text line(reinterpret_cast<const char*>(record.data()), record.size());
  for (const KeySpec& key : keys_) {
    const std::size_t begin = begin_field(line, key, tab_);
    // A key that ends before it starts is empty where it starts.
    const std::size_t end = std::max(begin, limit_field(line, key, tab_));
    const Text text = line.substr(begin, end - begin);
    if (key.random || key.order == Order::kText || key.order == Order::kVersion) {
      out.push_back({begin, end});
      continue;
    }
    // Numbers and months are looked for past the blanks (strtold's white
    // space, for -g), and only what is found is marked.
    std::size_t at = 0;
    if (key.order == Order::kGeneral) {
      while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    } else {
      at = skip_blanks(text, 0);
    }
    const Text rest = text.substr(at);
    std::size_t length = 0;
    switch (key.order) {
      case Order::kNumeric:
        length = number_length(rest, decimal_point_, thousands_);
        break;
      case Order::kHuman:
        length = number_length(rest, decimal_point_, thousands_);
        if (length > 0 && length < rest.size() && unit_power(rest[length]) > 0) ++length;
        break;
      case Order::kGeneral:
        length = read_general(rest, numbers_).length;
        break;
      case Order::kMonth:
        length = month_of(rest).length;
        break;
      case Order::kText:
      case Order::kVersion:
        break;
    }
    out.push_back({begin + at, begin + at + length});
  }
}

std::size_t LineKeys::columns(std::span<const std::byte> text) const {
  return display_columns(Text(reinterpret_cast<const char*>(text.data()), text.size()),
                         locale_.get());
}

void LineKeys::key_of_texts(std::span<const std::span<const std::byte>> texts,
                            Buffer& out) const {
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    Text text = i < texts.size()
                    ? Text(reinterpret_cast<const char*>(texts[i].data()), texts[i].size())
                    : Text();
    if (keys_[i].skip_start_blanks) text.remove_prefix(skip_blanks(text, 0));
    append_component(keys_[i], i + 1 == keys_.size(), text, out);
  }
}

}  // namespace quillmere::lines
