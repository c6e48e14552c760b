// Collated forms of text against glibc itself: the quick way against
// strxfrm, the forms' order against strcoll (piece by piece at NUL bytes,
// as GNU sort compares), the rewriting's order on any bytes, and which
// environments load as the C locale. Locales that are not installed are
// skipped.

#include <gtest/gtest.h>
#include <locale.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "key/collation.h"
#include "key/key.h"
#include "key/line_locale.h"

namespace quillmere::lines {
namespace {

using namespace std::string_literals;

int sign(int c) { return (c > 0) - (c < 0); }

std::string bytes(const key::Buffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

// A locale's collation and its own locale object, for strcoll.
struct Collated {
  locale_t raw = nullptr;
  std::shared_ptr<const Locale> locale;
  const Collation* collation = nullptr;

  explicit Collated(const char* name) {
    raw = newlocale(LC_COLLATE_MASK, name, nullptr);
    const LocaleName names[] = {{"LC_COLLATE", name}};
    auto loaded = Locale::load(names);
    if (loaded && *loaded) {
      locale = *loaded;
      collation = locale->collation();
    }
  }
  ~Collated() {
    if (raw != nullptr) freelocale(raw);
  }

  std::string piece(std::string_view text, bool quick) const {
    key::Buffer out;
    collation->append_piece(text, out, quick);
    return bytes(out);
  }
  std::string form(std::string_view text, bool self_delimiting) const {
    key::Buffer out;
    collation->append(text, self_delimiting, out);
    return bytes(out);
  }
  // GNU sort's order: strcoll of each NUL-separated piece in turn, the
  // text with fewer pieces first when all it has are equal.
  int compare(std::string_view a, std::string_view b) const {
    for (;;) {
      const std::string x(a.substr(0, a.find('\0'))), y(b.substr(0, b.find('\0')));
      if (const int c = strcoll_l(x.c_str(), y.c_str(), raw); c != 0) return sign(c);
      const bool more_a = x.size() < a.size(), more_b = y.size() < b.size();
      if (!more_a || !more_b) return more_a - more_b;
      a.remove_prefix(x.size() + 1);
      b.remove_prefix(y.size() + 1);
    }
  }
};

// Not among them: the Spanish, Catalan and Galician locales, in which
// strcoll orders some texts ending in punctuation before the same texts
// without it (" 5," before " 5"), which the forms do not follow.
const char* const kLocales[] = {"en_US.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "fr_CA.UTF-8",
                                "sv_SE.UTF-8", "cs_CZ.UTF-8", "da_DK.UTF-8", "hu_HU.UTF-8",
                                "tr_TR.UTF-8", "de_DE.ISO-8859-1", "ja_JP.UTF-8"};

// Every text of one or two quick characters, and random longer ones,
// transform the quick way to exactly what strxfrm's output rewritten is;
// characters that start collating elements of ASCII letters never take
// the quick way.
TEST(CollationTest, QuickWayMatchesStrxfrm) {
  std::mt19937 rng(5);
  for (const char* name : kLocales) {
    const Collated c(name);
    if (c.raw == nullptr) continue;
    ASSERT_NE(c.collation, nullptr) << name;
    std::string quick;
    for (int b = 1; b < 256; ++b) {
      if (c.collation->quick(static_cast<unsigned char>(b))) quick.push_back(static_cast<char>(b));
    }
    std::vector<std::string> texts = {""};
    for (char x : quick) {
      texts.push_back(std::string(1, x));
      for (char y : quick) texts.push_back(std::string{x, y});
    }
    for (int i = 0; i < 20000 && !quick.empty(); ++i) {
      std::string text(3 + rng() % 30, ' ');
      for (char& ch : text) ch = quick[rng() % quick.size()];
      texts.push_back(text);
    }
    for (const std::string& text : texts) {
      ASSERT_EQ(c.piece(text, true), c.piece(text, false))
          << name << ": " << testing::PrintToString(text);
    }
    const std::string_view locale = name;
    if (locale == "cs_CZ.UTF-8") {
      EXPECT_EQ(quick.find('c'), std::string::npos);  // "ch"
    } else if (locale == "da_DK.UTF-8") {
      EXPECT_EQ(quick.find('a'), std::string::npos);  // "aa"
    } else if (locale == "en_US.UTF-8") {
      EXPECT_GE(quick.size(), 95u) << quick;
    }
  }
}

// Random texts: their forms order as GNU sort's strcoll does, plain,
// self-delimiting and, inverted, reversed. Two alphabets: accented
// letters, case, blanks, punctuation, digits, currency signs, no-break
// spaces, invalid UTF-8 and NUL bytes (strcoll skips some of these, see
// collation.h); and the bytes of Latin-1 letters and signs.
TEST(CollationTest, FormsOrderAsStrcoll) {
  const std::vector<std::vector<std::string>> alphabets = {
      {"a", "A", "b", "e", "\xc3\xa9", "\xc3\x89", "\xc3\xa4", "z", " ", "-", ",", ".", "1", "9",
       "0", "$", "\xc3\x9f", "ss", "\xff", "\xc3", "\x80", "\0"s, "\x01", "ch", "aa",
       "l\xc2\xb7", "\t", "\xc2\xa0", "\xe2\x82\xac", "\xe2\x80\x99", "\xd9\xa3", "\xe2\x82"},
      {"a", "B", "1", " ", ",", "\xe9", "\xc9", "\xdf", "\xa0", "\xa4", "\xb1", "\xff", "\xbf"}};
  std::mt19937 rng(9);
  for (const std::vector<std::string>& pieces : alphabets) {
    std::vector<std::string> texts = {"", "\0"s, "\0\0"s};
    for (int i = 0; i < 400; ++i) {
      std::string text;
      for (int n = static_cast<int>(rng() % 7); n > 0; --n) text += pieces[rng() % pieces.size()];
      texts.push_back(text);
    }
    for (const char* name : kLocales) {
      const Collated c(name);
      if (c.raw == nullptr) continue;
      std::vector<std::string> plain, delimited;
      for (const std::string& text : texts) {
        plain.push_back(c.form(text, false));
        delimited.push_back(c.form(text, true));
      }
      for (std::size_t i = 0; i < texts.size(); ++i) {
        for (std::size_t j = 0; j < texts.size(); ++j) {
          const int want = c.compare(texts[i], texts[j]);
          ASSERT_EQ(sign(plain[i].compare(plain[j])), want)
              << name << ": " << testing::PrintToString(texts[i]) << " against "
              << testing::PrintToString(texts[j]);
          ASSERT_EQ(sign(delimited[i].compare(delimited[j])), want);
          std::string ri = delimited[i], rj = delimited[j];
          for (char& ch : ri) ch = static_cast<char>(~ch);
          for (char& ch : rj) ch = static_cast<char>(~ch);
          ASSERT_EQ(sign(ri.compare(rj)), -want);
          if (i != j && delimited[j].size() > delimited[i].size()) {
            ASSERT_NE(delimited[j].compare(0, delimited[i].size(), delimited[i]), 0)
                << "a self-delimiting form is a prefix of another";
          }
        }
      }
    }
  }
}

// The rewriting keeps the order, and tells apart what differs, of any
// strings without 0x00: level separators anywhere, weights of every
// length (known to the locale's dictionaries or not, cut short or longer
// than eight bytes), runs long enough for the 8-byte counts.
TEST(CollationTest, RewritingKeepsTheOrderOfAnyBytes) {
  const Collated c("en_US.UTF-8");
  if (c.raw == nullptr) GTEST_SKIP() << "en_US.UTF-8 is not installed";
  const std::string quick_weights = c.piece("az", false);  // some known weights
  const std::vector<std::string> pieces = {
      "\x01", "\x01", "\x02", "\x02\x02", "\x03", "\x07", "A", "\x19", "\x1b", "\xc2", "\xc2\x95",
      "\xe2", "\xe2\x94\x92", "\x80", "\xfe", "\xff", std::string(200, '\x02'),
      std::string(130, '\x07'), "\xf0\x9f\x98\x80\x80\x80\x80\x80\x80"};
  std::mt19937 rng(3);
  std::vector<std::string> strings = {"", "\x01", "\x01\x01\x01\x01"};
  for (int i = 0; i < 700; ++i) {
    std::string s;
    for (int n = static_cast<int>(rng() % 12); n > 0; --n) s += pieces[rng() % pieces.size()];
    strings.push_back(s);
  }
  std::vector<std::string> rewritten;
  for (const std::string& s : strings) {
    key::Buffer out;
    c.collation->rewrite(s, out);
    rewritten.push_back(bytes(out));
  }
  for (std::size_t i = 0; i < strings.size(); ++i) {
    for (std::size_t j = 0; j < strings.size(); ++j) {
      ASSERT_EQ(sign(rewritten[i].compare(rewritten[j])), sign(strings[i].compare(strings[j])))
          << testing::PrintToString(strings[i]) << " against "
          << testing::PrintToString(strings[j]);
    }
  }
  EXPECT_FALSE(quick_weights.empty());
}

// What loads as the C locale (null): C, POSIX, and any set of names of
// which one is not installed, whatever the others; C.UTF-8 keys as C does,
// and differs only in its columns. A category or name that cannot be meant
// is an error.
TEST(LocaleTest, WhatLoadsAsC) {
  auto load = [](std::vector<LocaleName> names) { return Locale::load(names); };
  auto all = [&](const char* name) {
    return load({{"LC_COLLATE", name}, {"LC_CTYPE", name}, {"LC_NUMERIC", name},
                 {"LC_TIME", name}});
  };
  for (const char* name : {"C", "POSIX"}) {
    auto loaded = all(name);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(*loaded, nullptr) << name;
  }
  auto utf8 = all("C.UTF-8");
  ASSERT_TRUE(utf8.has_value() && *utf8 != nullptr);
  const Locale& c_utf8 = **utf8;
  EXPECT_TRUE(c_utf8.collation() == nullptr && c_utf8.classes() == nullptr &&
              c_utf8.months() == nullptr && c_utf8.numbers() == nullptr &&
              c_utf8.decimal_point() == '.' && !c_utf8.thousands_separator());
  const Collated en("en_US.UTF-8");
  if (en.raw == nullptr) GTEST_SKIP() << "en_US.UTF-8 is not installed";
  EXPECT_NE(*load({{"LC_COLLATE", "en_US.UTF-8"}}), nullptr);
  EXPECT_EQ(*load({{"LC_COLLATE", "en_US.UTF-8"}, {"LC_PAPER", "xx_YY.UTF-8"}}), nullptr);
  EXPECT_EQ(*load({{"LC_COLLATE", "en_US.UTF-8"}, {"LC_MESSAGES", "../en_US.UTF-8"}}), nullptr);
  EXPECT_FALSE(load({{"LC_NOTHING", "en_US.UTF-8"}}).has_value());
  EXPECT_FALSE(load({{"LC_COLLATE", ""}}).has_value());
}

// Columns on a terminal: characters by their width in UTF-8 (wide, combining
// and zero-width ones; a byte that is no character, or a character cut
// short, one column), bytes in C; control characters none, a tab one.
TEST(LocaleTest, Columns) {
  auto utf8 = Locale::load(std::vector<LocaleName>{{"LC_CTYPE", "C.UTF-8"}});
  ASSERT_TRUE(utf8.has_value() && *utf8 != nullptr);
  const struct {
    std::string_view text;
    std::size_t utf8, c;
  } cases[] = {
      {"", 0, 0},
      {"ab", 2, 2},
      {"\xe6\x97\xa5\xe6\x9c\xac", 4, 6},  // two wide characters
      {"e\xcc\x81", 1, 3},                   // e and a combining accent
      {"\xe2\x80\x8b", 0, 3},                // a zero-width space
      {"a\x01" "b\x7f", 2, 2},
      {"\t", 1, 1},
      {"\xff\xfe", 2, 2},
      {"\xe6\x97", 1, 2},  // cut short
      {"\xe6\x97 x", 4, 4},  // broken off by a space: one column a byte
  };
  for (const auto& each : cases) {
    EXPECT_EQ(display_columns(each.text, utf8->get()), each.utf8)
        << testing::PrintToString(std::string(each.text));
    EXPECT_EQ(display_columns(each.text, nullptr), each.c)
        << testing::PrintToString(std::string(each.text));
  }
}

}  // namespace
}  // namespace quillmere::lines
