// Collated text as bytes: strxfrm's output rewritten shorter in the same
// order, or put together from per-character weights for ASCII text.

#include "key/collation.h"

#include <langinfo.h>
#include <string.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>

namespace quillmere::lines {
namespace {

using Text = std::string_view;
using key::Buffer;

constexpr char kLevelEnd = '\x01';  // strxfrm's separator between levels
// Starts the last level when it does not start with a separator: after
// every byte a weight can be written as.
constexpr unsigned kLeadingWeight = 0xFF;

void push(Buffer& out, unsigned v) { out.push_back(static_cast<std::byte>(v)); }

// One of glibc's collation tables of `locale`, by its langinfo item.
template <typename T>
const T* table_of(locale_t locale, nl_item item) {
  return reinterpret_cast<const T*>(nl_langinfo_l(item, locale));
}

// Where in the sequence lists the list of a byte whose table entry is
// `entry` (negative) starts.
std::size_t list_start(std::int32_t entry) {
  return static_cast<std::size_t>(-std::int64_t{entry});
}

// A list entry's 32-bit index at `offset` (the lists are bytes).
std::int32_t index_at(const unsigned char* list, std::size_t offset) {
  std::int32_t index;
  std::memcpy(&index, list + offset, sizeof index);
  return index;
}
void append_bytes(Buffer& out, Text text) { out.append(text.data(), text.size()); }

// A run of `count` bytes `b` at a middle level: `b`, then the count, coded
// so that the order of the codes is the order of the texts. A longer run
// sorts later when the byte after it is greater than `b` and earlier when
// that byte is smaller or the level ends there; so the counts of runs
// followed by a smaller byte (or the end) count up from 0x01, and those of
// runs followed by a greater one count down from 0xFE, each with an 8-byte
// form for long runs (0x7F ascending, 0x80 descending). Writes at most 10
// bytes at `at` and returns where it stopped.
unsigned char* write_run(unsigned char* at, unsigned b, std::size_t count, bool up) {
  *at++ = static_cast<unsigned char>(b);
  if (count < 0x7F) {
    *at++ = static_cast<unsigned char>(up ? 0xFF - count : count);
    return at;
  }
  *at++ = up ? 0x80 : 0x7F;
  const std::uint64_t value = up ? ~std::uint64_t{count} : std::uint64_t{count};
  for (int shift = 56; shift >= 0; shift -= 8) *at++ = static_cast<unsigned char>(value >> shift);
  return at;
}

void push_run(Buffer& out, unsigned b, std::size_t count, bool up) {
  unsigned char run[10];
  out.append(run, static_cast<std::size_t>(write_run(run, b, count, up) - run));
}

// A middle level (bytes from 0x02 up, as it holds neither 0x00 nor the
// separator) as its runs.
void push_runs(Text level, Buffer& out) {
  std::size_t at = 0;
  while (at < level.size()) {
    const unsigned char b = static_cast<unsigned char>(level[at]);
    std::size_t end = at + 1;
    while (end < level.size() && static_cast<unsigned char>(level[end]) == b) ++end;
    const bool up = end < level.size() && static_cast<unsigned char>(level[end]) > b;
    push_run(out, b, end - at, up);
    at = end;
  }
}

// The length of the first-level weight that starts at `at`, by its lead
// byte as in UTF-8 (in which glibc writes weights), cut short by the end.
std::size_t weight_length(Text level, std::size_t at) noexcept {
  const auto lead = static_cast<unsigned char>(level[at]);
  const std::size_t length = lead < 0xC0   ? 1
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF8 ? 4
                                           : 1;
  return std::min(length, level.size() - at);
}

// The text's levels: split at the first `levels - 1` separators (the last
// level keeps any further ones).
std::vector<Text> split_levels(Text transformed, std::size_t levels) {
  std::vector<Text> parts;
  while (parts.size() + 1 < levels) {
    const std::size_t end = transformed.find(kLevelEnd);
    if (end == Text::npos) break;
    parts.push_back(transformed.substr(0, end));
    transformed.remove_prefix(end + 1);
  }
  parts.push_back(transformed);
  return parts;
}

// What glibc's table of first bytes says of byte `c`: its rule set (the
// top byte of its weight index) and whether it is a collating element of
// its own wherever it stands in ASCII text. The table holds the weight
// index of a byte that starts no longer element, and otherwise where the
// list of the longer elements it starts begins: each entry a 32-bit index
// (negative for a range of characters), a length and that many following
// bytes, aligned to 4 bytes, the list ending with the entry of the byte
// alone (length 0). A byte whose longer elements all hold a non-ASCII byte
// is still alone in ASCII text; one that starts UTF-8 characters (their
// list has ranges) and stands alone counts, as glibc reads it, in the
// first rule set. Anything unexpected counts against the byte.
struct ByteElement {
  bool alone = false;
  unsigned rule = 0;
};

ByteElement read_byte(locale_t locale, unsigned char c) {
  const auto* table = table_of<std::int32_t>(locale, _NL_COLLATE_TABLEMB);
  const auto* extra = table_of<unsigned char>(locale, _NL_COLLATE_EXTRAMB);
  if (table == nullptr) return {};
  const std::int32_t first = table[c];
  if (first >= 0) return {true, static_cast<unsigned>(first) >> 24};
  if (extra == nullptr) return {};
  ByteElement element{true, 0};
  std::size_t at = list_start(first);
  for (int entries = 0; entries < 256; ++entries) {
    const std::int32_t index = index_at(extra, at);
    const std::size_t length = extra[at + 4];
    if (index < 0) return {false, 0};  // a range of characters
    if (length == 0) {
      element.rule = static_cast<unsigned>(index) >> 24;
      return element;
    }
    const unsigned char* rest = extra + at + 5;
    if (std::all_of(rest, rest + length, [](unsigned char b) { return b != 0 && b < 0x80; })) {
      element.alone = false;
    }
    at = (at + 5 + length + 3) & ~std::size_t{3};
  }
  return {};
}

// The order in which characters claim one of the bytes of a weight
// dictionary: printable ones first, then tab, newline and the other controls.
std::vector<unsigned char> by_use() {
  std::vector<unsigned char> order;
  for (unsigned c = 0x20; c < 0x7F; ++c) order.push_back(static_cast<unsigned char>(c));
  order.push_back('\t');
  order.push_back('\n');
  for (unsigned c = 1; c < 0x20; ++c) {
    if (c != '\t' && c != '\n') order.push_back(static_cast<unsigned char>(c));
  }
  order.push_back(0x7F);
  return order;
}

}  // namespace

WeightCode::WeightCode(std::vector<std::string> weights) {
  for (const std::string& weight : weights) known_.push_back(packed(weight));
  std::sort(known_.begin(), known_.end());
  known_.erase(std::unique(known_.begin(), known_.end()), known_.end());
}

std::uint64_t WeightCode::packed(Text weight) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 7 && i < weight.size(); ++i) {
    value |= std::uint64_t{static_cast<unsigned char>(weight[i])} << (56 - 8 * i);
  }
  return value | (weight.size() <= 7 ? weight.size() : 0xFF);
}

unsigned WeightCode::code(Text weight) const noexcept {
  if (weight.empty() || weight.size() > 7) return 0;
  const std::uint64_t value = packed(weight);
  const auto at = std::lower_bound(known_.begin(), known_.end(), value);
  if (at == known_.end() || *at != value) return 0;
  return 0x03 + 2 * static_cast<unsigned>(at - known_.begin());
}

// A weight of up to seven bytes packs into a number that orders as it does
// among the known ones; a longer weight is never known, and its number
// still counts the known weights before it (a known one that equals its
// first seven bytes is shorter, and packs with a smaller length).
void WeightCode::append(Text weight, Buffer& out) const {
  const std::uint64_t value = packed(weight);
  const auto at = std::lower_bound(known_.begin(), known_.end(), value);
  const auto i = static_cast<unsigned>(at - known_.begin());
  if (at != known_.end() && *at == value && weight.size() <= 7) return push(out, 0x03 + 2 * i);
  push(out, 0x02 + 2 * i);
  append_bytes(out, weight);
  push(out, 0x01);  // below every byte of a weight
}

std::string transformed(locale_t locale, Text piece) {
  const std::string input(piece);
  std::string out(4 * piece.size() + 16, '\0');
  std::size_t n = strxfrm_l(out.data(), input.c_str(), out.size(), locale);
  if (n >= out.size()) {
    out.assign(n + 1, '\0');
    n = strxfrm_l(out.data(), input.c_str(), out.size(), locale);
  }
  out.resize(n);
  return out;
}

std::unique_ptr<Collation> Collation::of(locale_t locale) {
  // glibc compares as strcmp when a locale has no collation rules. The
  // count is a 32-bit word in the pointer's place: the rest is not set.
  const auto rules = static_cast<std::uint32_t>(
      reinterpret_cast<std::uintptr_t>(nl_langinfo_l(_NL_COLLATE_NRULES, locale)));
  if (rules == 0) return nullptr;
  std::unique_ptr<Collation> made(new Collation(locale));
  made->levels_ = rules;
  made->learn_characters();
  return made;
}

// Finds the quick characters and their weights (see the header): each
// character's strxfrm split into its levels, kept when its levels have the
// quick way's shape, and then tested in pairs; then where strcoll skips.
void Collation::learn_characters() {
  const std::size_t levels = levels_;
  empty_is_empty_ = transformed(locale_, "").empty();
  const auto* rules = table_of<unsigned char>(locale_, _NL_COLLATE_RULESETS);
  if (levels > kMaxLevels || rules == nullptr) return;
  // The collation's own character set (the locale object may have another LC_CTYPE).
  utf8_ = std::string_view(nl_langinfo_l(_NL_COLLATE_CODESET, locale_)) == "UTF-8";
  table_ = table_of<std::int32_t>(locale_, _NL_COLLATE_TABLEMB);
  extra_ = table_of<unsigned char>(locale_, _NL_COLLATE_EXTRAMB);
  indirect_ = table_of<std::int32_t>(locale_, _NL_COLLATE_INDIRECTMB);
  rules_ = rules;
  if (table_ == nullptr || extra_ == nullptr || indirect_ == nullptr) return;
  constexpr unsigned kBackward = 0x02, kPosition = 0x04;  // glibc's rule bits
  std::array<ByteElement, 256> bytes{};
  for (unsigned c = 1; c < 256; ++c) {
    bytes[c] = read_byte(locale_, static_cast<unsigned char>(c));
    for (std::size_t level = 0; level < levels; ++level) {
      if (rules[bytes[c].rule * levels + level] & kBackward) backward_[c] |= 1u << level;
    }
  }
  if (levels < 2) return learn_skipping();

  // A level written backward puts a run of characters' weights in
  // reverse: a quick character must be forward at the first and the last
  // level, and at a middle one weigh the same as every other quick
  // character backward there (or nothing), which any order writes alike.
  const unsigned ends = 1u | (1u << (levels - 1));
  std::map<unsigned char, std::vector<std::string>> pieces;  // each level's bytes
  for (const unsigned char c : by_use()) {
    if (!bytes[c].alone || (backward_[c] & ends)) continue;
    const unsigned char* rule = rules + bytes[c].rule * levels;
    const std::string form = transformed(locale_, Text(reinterpret_cast<const char*>(&c), 1));
    const std::vector<Text> parts = split_levels(form, levels);
    if (parts.size() != levels) continue;
    const Text first = parts.front(), last = parts.back();
    bool fits = first.size() <= 7 && (first.empty() || weight_length(first, 0) == first.size());
    for (std::size_t level = 1; level + 1 < levels; ++level) {
      fits &= parts[level].size() <= 1 && !((rule[level] & kPosition) && parts[level].empty());
    }
    // The last level: the separator and one weight, so that a text's last
    // level is its characters' weights one after another.
    fits &= last.size() >= 2 && last.size() <= 8 && last[0] == kLevelEnd &&
            last.find(kLevelEnd, 1) == Text::npos;
    if (fits) pieces[c] = std::vector<std::string>(parts.begin(), parts.end());
  }
  for (std::size_t level = 1; level + 1 < levels; ++level) {
    std::map<std::string, int> counts;
    for (const auto& [c, parts] : pieces) {
      if ((backward_[c] >> level & 1) && !parts[level].empty()) ++counts[parts[level]];
    }
    if (counts.empty()) continue;
    const std::string common =
        std::max_element(counts.begin(), counts.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; })
            ->first;
    std::erase_if(pieces, [&](const auto& entry) {
      return (backward_[entry.first] >> level & 1) && !entry.second[level].empty() &&
             entry.second[level] != common;
    });
  }
  // The dictionaries: the weights of the characters in the order they
  // claim a byte; a character too late for one loses its quick way.
  std::vector<std::string> firsts, lasts;
  for (const unsigned char c : by_use()) {
    auto found = pieces.find(c);
    if (found == pieces.end()) continue;
    const std::string& first = found->second.front();
    const std::string last = found->second.back().substr(1);
    const bool new_first = !first.empty() && std::ranges::find(firsts, first) == firsts.end();
    const bool new_last = std::ranges::find(lasts, last) == lasts.end();
    if ((new_first && firsts.size() == WeightCode::kMaxKnown) ||
        (new_last && lasts.size() == WeightCode::kMaxKnown)) {
      pieces.erase(found);
      continue;
    }
    if (new_first) firsts.push_back(first);
    if (new_last) lasts.push_back(last);
  }
  first_ = WeightCode(std::move(firsts));
  last_ = WeightCode(std::move(lasts));
  // Every pair must transform as its weights put together say; a pair
  // that does not costs both characters their quick way. (strcoll skips
  // nothing in two characters.)
  auto joined = [&](const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::string out;
    for (std::size_t level = 0; level < levels; ++level) {
      if (level > 0) out += kLevelEnd;
      out += a[level];
      out += b[level];
    }
    return out;
  };
  std::vector<unsigned char> failed;
  for (const auto& [x, a] : pieces) {
    for (const auto& [y, b] : pieces) {
      const char pair[2] = {static_cast<char>(x), static_cast<char>(y)};
      if (transformed(locale_, Text(pair, 2)) != joined(a, b)) {
        failed.push_back(x);
        failed.push_back(y);
      }
    }
  }
  for (const unsigned char c : failed) pieces.erase(c);
  for (const auto& [c, parts] : pieces) {
    Char& ch = chars_[c];
    ch.quick = true;
    ch.first = static_cast<std::uint8_t>(first_.code(parts.front()));
    ch.last = static_cast<std::uint8_t>(last_.code(Text(parts.back()).substr(1)));
    ch.backward = backward_[c];
    for (std::size_t level = 1; level + 1 < levels; ++level) {
      ch.middle[level - 1] = parts[level].empty() ? 0 : static_cast<std::uint8_t>(parts[level][0]);
      if (!parts[level].empty()) ch.weighty |= ch.backward & (1u << level);
    }
  }
  learn_skipping();
}

// The levels at which strcoll can skip a character (some byte is backward
// there), and at each the byte that replaces a skipped one: an ASCII byte,
// backward there too (so that the runs stay as they were), that weighs
// nothing at that level and takes the quick way. Without one, the level
// stays as strxfrm has it; without one that takes the quick way while
// others do, no character does (the two ways must agree).
void Collation::learn_skipping() {
  bool any_quick = false;
  for (const Char& ch : chars_) any_quick |= ch.quick;
  bool quick_neutrals = true;
  for (std::size_t level = 0; level < levels_; ++level) {
    bool backward = false;
    for (unsigned c = 1; c < 256; ++c) backward |= (backward_[c] >> level & 1) != 0;
    if (!backward) continue;
    char neutral = 0, quick_neutral = 0;
    for (unsigned c = 1; c < 0x80; ++c) {
      if (!(backward_[c] >> level & 1)) continue;
      const char byte = static_cast<char>(c);
      const std::vector<Text> parts = split_levels(transformed(locale_, Text(&byte, 1)), levels_);
      if (parts.size() != levels_ || !parts[level].empty()) continue;
      if (neutral == 0) neutral = byte;
      if (chars_[c].quick && quick_neutral == 0) quick_neutral = byte;
    }
    if (neutral == 0) continue;
    skipping_ |= static_cast<std::uint8_t>(1u << level);
    neutral_[level] = quick_neutral != 0 ? quick_neutral : neutral;
    quick_neutrals &= quick_neutral != 0;
  }
  if (any_quick && !quick_neutrals) {
    for (Char& ch : chars_) ch.quick = false;
  }
  // Looking characters up in the lists costs a walk through them; in UTF-8,
  // those of two and three bytes are looked up once here, by walking each
  // lead byte's list once (an earlier entry wins, as in find_element).
  if (skipping_ != 0 && utf8_) fill_plane();
}

void Collation::fill_plane() {
  plane_.assign(0x10000, kNotOne);
  std::vector<bool> set(0x10000);
  auto decode = [](unsigned lead, const unsigned char* rest, std::size_t n) -> unsigned {
    unsigned code = lead & (n == 1 ? 0x1F : 0x0F);
    for (std::size_t i = 0; i < n; ++i) code = code << 6 | (rest[i] & 0x3F);
    return code;
  };
  auto valid = [](unsigned lead, const unsigned char* rest, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if ((rest[i] & 0xC0) != 0x80) return false;
    }
    if (n == 1) return true;
    const unsigned code = (lead & 0x0F) << 12 | (rest[0] & 0x3F) << 6 | (rest[1] & 0x3F);
    return code >= 0x800 && (code < 0xD800 || code >= 0xE000);
  };
  auto claim = [&](unsigned code, std::int32_t index) {
    if (set[code]) return;
    set[code] = true;
    plane_[code] = backward_levels(static_cast<unsigned>(index) >> 24);
  };
  for (unsigned lead = 0xC2; lead <= 0xEF; ++lead) {
    const std::size_t n = lead < 0xE0 ? 1 : 2;  // the bytes after the lead
    const std::int32_t first = table_[lead];
    if (first >= 0) continue;  // the byte alone: no character starts with it
    std::size_t offset = list_start(first);
    for (int entries = 0; entries < 4096; ++entries) {
      const std::int32_t index = index_at(extra_, offset);
      const std::size_t length = extra_[offset + 4];
      const unsigned char* bytes = extra_ + offset + 5;
      if (index >= 0) {
        if (length == 0) break;
        if (length == n && valid(lead, bytes, n)) claim(decode(lead, bytes, n), index);
        offset = (offset + 5 + length + 3) & ~std::size_t{3};
        continue;
      }
      if (length == n) {
        unsigned char at[2] = {bytes[0], n == 2 ? bytes[1] : static_cast<unsigned char>(0)};
        const unsigned char* high = bytes + length;
        for (std::size_t distance = 0; std::memcmp(at, high, n) <= 0; ++distance) {
          if (valid(lead, at, n)) {
            claim(decode(lead, at, n), indirect_[list_start(index) + distance]);
          }
          if (at[n - 1]++ == 0xFF) {  // carry into the byte before
            if (n == 1) break;
            ++at[0];
          }
        }
      }
      offset = (offset + 5 + 2 * length + 3) & ~std::size_t{3};
    }
  }
}

std::uint8_t Collation::backward_levels(unsigned rule) const noexcept {
  std::uint8_t levels = 0;
  for (std::size_t level = 0; level < levels_; ++level) {
    if (rules_[rule * levels_ + level] & 0x02) levels |= static_cast<std::uint8_t>(1u << level);
  }
  return levels;
}

// The collating element at `at` as glibc finds it: by the table of first
// bytes, else by the list of sequences that byte starts (see read_byte):
// an entry of more bytes when they follow, a range entry when the bytes
// after the first fall in it (its weight index then in the indirect
// table, as far into it as they are past the range's start), or the byte
// alone. Only the length and the rule set are wanted.
Collation::Element Collation::find_element(const unsigned char* at,
                                           std::size_t left) const noexcept {
  const std::int32_t first = table_[*at];
  if (first >= 0) return {1, static_cast<unsigned>(first) >> 24};
  const unsigned char* next = at + 1;
  const std::size_t after = left - 1;
  std::size_t offset = list_start(first);
  for (int entries = 0; entries < 4096; ++entries) {
    const std::int32_t index = index_at(extra_, offset);
    const std::size_t length = extra_[offset + 4];
    const unsigned char* bytes = extra_ + offset + 5;
    if (index >= 0) {
      if (length == 0) return {1, static_cast<unsigned>(index) >> 24};
      if (after >= length && std::memcmp(next, bytes, length) == 0) {
        return {1 + length, static_cast<unsigned>(index) >> 24};
      }
      offset = (offset + 5 + length + 3) & ~std::size_t{3};
      continue;
    }
    const unsigned char* low = bytes;
    const unsigned char* high = bytes + length;
    if (after >= length && std::memcmp(next, low, length) >= 0 &&
        std::memcmp(next, high, length) <= 0) {
      std::size_t distance = 0;
      for (std::size_t i = 0; i < length; ++i) distance = distance * 256 + next[i] - low[i];
      return {1 + length, static_cast<unsigned>(indirect_[list_start(index) + distance]) >> 24};
    }
    offset = (offset + 5 + 2 * length + 3) & ~std::size_t{3};
  }
  return {1, 0};
}

bool Collation::skipped_at(Text piece, std::size_t level, std::string& out) const {
  // The characters' starts and whether each is backward at the level.
  thread_local std::vector<std::pair<std::size_t, bool>> chars;
  chars.clear();
  const auto* text = reinterpret_cast<const unsigned char*>(piece.data());
  for (std::size_t at = 0; at < piece.size();) {
    std::size_t length = 0;
    std::uint8_t backward = 0;
    const unsigned lead = text[at];
    if (!plane_.empty() && lead >= 0xC2 && lead <= 0xEF) {
      // Two or three bytes of UTF-8: the character's levels, when known.
      const std::size_t need = lead < 0xE0 ? 2 : 3;
      if (piece.size() - at >= need) {
        unsigned code = lead & (need == 2 ? 0x1F : 0x0F);
        bool valid = true;
        for (std::size_t i = 1; i < need; ++i) {
          valid &= (text[at + i] & 0xC0) == 0x80;
          code = code << 6 | (text[at + i] & 0x3F);
        }
        valid &= need == 2 || (code >= 0x800 && (code < 0xD800 || code >= 0xE000));
        if (valid && plane_[code] != kNotOne) {
          length = need;
          backward = plane_[code];
        }
      }
    }
    if (length == 0) {
      const Element element = find_element(text + at, piece.size() - at);
      length = element.length;
      backward = backward_levels(element.rule);
    }
    chars.push_back({at, (backward >> level & 1) != 0});
    at += length;
  }
  // In a run of backward characters that a forward one follows, the last
  // but one is skipped.
  bool any = false;
  std::size_t copied = 0;
  for (std::size_t i = 0; i + 2 < chars.size(); ++i) {
    if (!chars[i].second || !chars[i + 1].second || chars[i + 2].second) continue;
    if (!any) out.clear();
    any = true;
    out.append(piece.substr(copied, chars[i].first - copied));
    out.push_back(neutral_[level]);
    copied = chars[i + 1].first;
  }
  if (any) out.append(piece.substr(copied));
  return any;
}

void Collation::append(Text text, bool self_delimiting, Buffer& out) const {
  for (bool first = true;; first = false) {
    if (!first) {
      push(out, 0x00);
      push(out, 0x02);
    }
    // An empty text may have no storage at all, which memchr must not see.
    const void* zero = text.empty() ? nullptr : std::memchr(text.data(), 0, text.size());
    if (zero == nullptr) {
      append_piece(text, out);
      break;
    }
    const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(zero) - text.data());
    append_piece(text.substr(0, n), out);
    text.remove_prefix(n + 1);
  }
  if (self_delimiting) {
    push(out, 0x00);
    push(out, 0x01);
  }
}

void Collation::append_piece(Text piece, Buffer& out, bool quick) const {
  if (quick && append_quick(piece, out)) return;
  thread_local std::string form, skipped, other;
  transform_into(piece, form);
  // Where strcoll skips characters, that level comes from the text with
  // them replaced.
  for (std::size_t level = 0; skipping_ >> level != 0; ++level) {
    if (!(skipping_ >> level & 1) || !skipped_at(piece, level, skipped)) continue;
    transform_into(skipped, other);
    const std::vector<Text> mine = split_levels(form, levels_);
    const std::vector<Text> theirs = split_levels(other, levels_);
    if (mine.size() != levels_ || theirs.size() != levels_) continue;
    std::string spliced;
    for (std::size_t i = 0; i < levels_; ++i) {
      if (i > 0) spliced += kLevelEnd;
      spliced += i == level ? theirs[i] : mine[i];
    }
    form = std::move(spliced);
  }
  rewrite(form, out);
}

// strxfrm_l's output for a NUL-free piece, into `out`.
void Collation::transform_into(Text piece, std::string& out) const {
  thread_local std::string input;
  input.assign(piece);
  if (out.size() < 4 * piece.size() + 64) out.resize(8 * piece.size() + 64);
  std::size_t n = strxfrm_l(out.data(), input.c_str(), out.size(), locale_);
  if (n >= out.size()) {
    out.resize(n + 1);
    n = strxfrm_l(out.data(), input.c_str(), out.size(), locale_);
  }
  out.resize(n);
}

// The form from the characters' weights: what rewrite() makes of what
// strxfrm would write. False, having written nothing, at a byte that does
// not take the quick way. Writes through a pointer into room reserved for
// the longest form (a run takes at most 10 bytes), then gives back the rest.
bool Collation::append_quick(Text piece, Buffer& out) const {
  if (piece.empty()) return empty_is_empty_;  // strxfrm writes nothing, not even separators
  const std::size_t n = piece.size();
  const std::size_t start = out.size();
  auto* const begin = reinterpret_cast<unsigned char*>(out.extend(2 * n + levels_ * (10 * n + 1)));
  unsigned char* at = begin;
  const auto* const text = reinterpret_cast<const unsigned char*>(piece.data());
  for (std::size_t i = 0; i < n; ++i) {
    const Char& ch = chars_[text[i]];
    if (!ch.quick) {
      out.truncate(start);
      return false;
    }
    *at = ch.first;
    at += ch.first != 0;
  }
  for (std::size_t level = 0; level + 2 < levels_; ++level) {
    *at++ = 0x01;
    // The level's byte of the i-th character: none where strcoll skips it
    // (backward with a weight, then another backward one, then a forward one).
    const unsigned bit = 1u << (level + 1);
    const bool skips = (skipping_ & bit) != 0;
    auto weight = [&](std::size_t i) -> unsigned {
      const Char& ch = chars_[text[i]];
      if (skips && (ch.weighty & bit) && i + 2 < n && (chars_[text[i + 1]].backward & bit) &&
          !(chars_[text[i + 2]].backward & bit)) {
        return 0;
      }
      return ch.middle[level];
    };
    // Mostly one byte, or none, for every character (lower case letters and
    // blanks): one run, found without a branch a character.
    std::size_t count = 0;
    unsigned any = 0, all = 0xFF;
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned b = weight(i);
      count += b != 0;
      any |= b;
      all &= b != 0 ? b : 0xFF;
    }
    if (count == 0) continue;
    if (any == all) {
      at = write_run(at, any, count, false);
      continue;
    }
    unsigned run = 0;
    count = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned b = weight(i);
      if (b == 0) continue;
      if (b == run) {
        ++count;
        continue;
      }
      if (count > 0) at = write_run(at, run, count, b > run);
      run = b;
      count = 1;
    }
    if (count > 0) at = write_run(at, run, count, false);
  }
  *at++ = 0x01;
  for (std::size_t i = 0; i < n; ++i) *at++ = chars_[text[i]].last;
  out.truncate(start + static_cast<std::size_t>(at - begin));
  return true;
}

// strxfrm's output in its shorter form: the first level's weights coded,
// the middle levels as runs, the last level's weights coded. Any string
// without 0x00 keeps its order: the levels compare one after another as
// strxfrm's do, as the separator is below every byte of a level and every
// first byte of a code or run, and each level's rewriting keeps its order.
// One level alone (a locale without levels) stays as it is.
void Collation::rewrite(Text form, Buffer& out) const {
  if (levels_ < 2) return append_bytes(out, form);
  std::size_t end = form.find(kLevelEnd);
  push_first_level(form.substr(0, end), out);
  for (std::size_t level = 1; end < form.size(); ++level) {
    push(out, 0x01);
    const std::size_t begin = end + 1;
    if (level + 1 == levels_) return push_last_level(form.substr(begin), out);
    end = form.find(kLevelEnd, begin);
    if (end == Text::npos) end = form.size();
    push_runs(form.substr(begin, end - begin), out);
  }
}

// The first level: its weights one after another, each as long as its
// lead byte says. Comparing the weights in turn (a weight that the level's
// end cuts short is a prefix of the longer one) is comparing the bytes.
void Collation::push_first_level(Text level, Buffer& out) const {
  for (std::size_t at = 0; at < level.size();) {
    const std::size_t length = weight_length(level, at);
    first_.append(level.substr(at, length), out);
    at += length;
  }
}

// The last level: the weights between its separators. A first weight
// before any separator, which strxfrm does not write, comes first as 0xFF,
// itself and 0x01, after everything a level that starts with a separator
// can start with.
void Collation::push_last_level(Text level, Buffer& out) const {
  std::size_t end = level.find(kLevelEnd);
  if (end == Text::npos) end = level.size();
  if (end > 0) {
    push(out, kLeadingWeight);
    append_bytes(out, level.substr(0, end));
    push(out, 0x01);
  }
  while (end < level.size()) {
    const std::size_t begin = end + 1;
    end = level.find(kLevelEnd, begin);
    if (end == Text::npos) end = level.size();
    last_.append(level.substr(begin, end - begin), out);
  }
}

}  // namespace quillmere::lines
