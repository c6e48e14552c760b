// Loading a locale's categories and reading from them what the keys need.

#include "key/line_locale.h"

#include <ctype.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <string_view>
#include <utility>

namespace quillmere::lines {
namespace {

struct Category {
  const char* name;
  int mask;
};
constexpr Category kCategories[] = {
    {"LC_COLLATE", LC_COLLATE_MASK},       {"LC_CTYPE", LC_CTYPE_MASK},
    {"LC_NUMERIC", LC_NUMERIC_MASK},       {"LC_TIME", LC_TIME_MASK},
    {"LC_MONETARY", LC_MONETARY_MASK},     {"LC_MESSAGES", LC_MESSAGES_MASK},
    {"LC_PAPER", LC_PAPER_MASK},           {"LC_NAME", LC_NAME_MASK},
    {"LC_ADDRESS", LC_ADDRESS_MASK},       {"LC_TELEPHONE", LC_TELEPHONE_MASK},
    {"LC_MEASUREMENT", LC_MEASUREMENT_MASK}, {"LC_IDENTIFICATION", LC_IDENTIFICATION_MASK},
};
constexpr std::size_t kCollate = 0, kCtype = 1, kNumeric = 2, kTime = 3;
constexpr std::size_t kCount = std::size(kCategories);

// A locale object freed with its owner, unless released.
class Owned {
 public:
  Owned() = default;
  explicit Owned(locale_t locale) : locale_(locale) {}
  Owned(Owned&& other) noexcept : locale_(std::exchange(other.locale_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    std::swap(locale_, other.locale_);
    return *this;
  }
  ~Owned() {
    if (locale_ != nullptr) freelocale(locale_);
  }
  locale_t get() const noexcept { return locale_; }
  locale_t release() noexcept { return std::exchange(locale_, nullptr); }

 private:
  locale_t locale_ = nullptr;
};

CharClasses classes_of(locale_t ctype) {
  CharClasses classes;
  for (int c = 0; c < 256; ++c) {
    classes.upper[c] = static_cast<unsigned char>(toupper_l(c, ctype));
    classes.alnum[c] = isalnum_l(c, ctype) != 0;
    classes.print[c] = isprint_l(c, ctype) != 0;
  }
  return classes;
}

bool same(const CharClasses& a, const CharClasses& b) {
  return a.upper == b.upper && a.alnum == b.alnum && a.print == b.print;
}

// The abbreviated month names in upper case (by LC_CTYPE, a byte at a time)
// without blanks, sorted by their bytes: -M finds a month by a binary search
// of them.
std::vector<MonthName> months_of(locale_t time, const CharClasses& classes) {
  std::vector<MonthName> months;
  for (unsigned i = 0; i < 12; ++i) {
    const char* name = nl_langinfo_l(static_cast<nl_item>(ABMON_1 + i), time);
    std::string upper;
    for (const char* at = name; *at != '\0'; ++at) {
      const auto c = static_cast<unsigned char>(*at);
      if (c != ' ' && c != '\t' && c != '\n') upper.push_back(static_cast<char>(classes.upper[c]));
    }
    months.push_back({std::move(upper), i + 1});
  }
  std::sort(months.begin(), months.end(),
            [](const MonthName& a, const MonthName& b) { return a.name < b.name; });
  return months;
}

bool same(const std::vector<MonthName>& a, const std::vector<MonthName>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.name == y.name && x.month == y.month;
  });
}

}  // namespace

Locale::~Locale() {
  collation_.reset();  // it uses collate_
  if (collate_ != nullptr) freelocale(collate_);
  if (numeric_ != nullptr) freelocale(numeric_);
  if (ctype_ != nullptr) freelocale(ctype_);
}

std::size_t Locale::columns(std::string_view text) const {
  if (ctype_ == nullptr) return display_columns(text, nullptr);
  // glibc reads characters and their widths in the thread's locale only.
  const locale_t saved = uselocale(ctype_);
  std::mbstate_t state{};
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == '\t') {
      ++width;
      ++at;
      continue;
    }
    wchar_t wc = 0;
    const std::size_t n = std::mbrtowc(&wc, text.data() + at, text.size() - at, &state);
    if (n == static_cast<std::size_t>(-2)) {  // cut short by the text's end
      ++width;
      break;
    }
    if (n == static_cast<std::size_t>(-1)) {  // not a character: one column a byte
      ++width;
      ++at;
      state = std::mbstate_t{};
      continue;
    }
    at += n == 0 ? 1 : n;
    const int w = wcwidth(wc);
    width += w >= 0 ? static_cast<std::size_t>(w) : iswcntrl(wc) ? 0 : 1;
  }
  uselocale(saved);
  return width;
}

std::size_t display_columns(std::string_view text, const Locale* locale) {
  if (locale != nullptr) return locale->columns(text);
  std::size_t width = 0;
  for (const unsigned char c : text) width += c == '\t' || (c >= 0x20 && c != 0x7F) ? 1 : 0;
  return width;
}

Result<std::shared_ptr<const Locale>> Locale::load(std::span<const LocaleName> names) {
  const LocaleName* chosen[kCount] = {};
  for (const LocaleName& name : names) {
    const auto* found = std::find_if(std::begin(kCategories), std::end(kCategories),
                                     [&](const Category& c) { return name.category == c.name; });
    if (found == std::end(kCategories)) {
      return fail(Error::invalid("no locale category is named " + name.category));
    }
    if (name.name.empty()) return fail(Error::invalid("a locale name must not be empty"));
    chosen[found - std::begin(kCategories)] = &name;
  }
  // Every category named must load, those sorting ignores too, as
  // setlocale() takes all or nothing; the others are C.
  Owned loaded[kCount];
  for (std::size_t i = 0; i < kCount; ++i) {
    const char* name = chosen[i] != nullptr ? chosen[i]->name.c_str() : "C";
    loaded[i] = Owned(newlocale(kCategories[i].mask, name, nullptr));
    if (loaded[i].get() == nullptr) {
      if (chosen[i] != nullptr) return std::shared_ptr<const Locale>();
      return fail(Error::from_errno(errno));
    }
  }
  std::shared_ptr<Locale> made(new Locale());
  bool plain = true;  // C's behaviour in every respect so far

  made->collation_ = Collation::of(loaded[kCollate].get());
  if (made->collation_ != nullptr) {
    made->collate_ = loaded[kCollate].release();
    plain = false;
  }

  Owned c(newlocale(LC_ALL_MASK, "C", nullptr));
  if (c.get() == nullptr) return fail(Error::from_errno(errno));
  const CharClasses c_classes = classes_of(c.get());
  const CharClasses classes = classes_of(loaded[kCtype].get());
  if (!same(classes, c_classes)) {
    made->classes_ = classes;
    plain = false;
  }

  const locale_t numeric = loaded[kNumeric].get();
  const std::string_view point = nl_langinfo_l(RADIXCHAR, numeric);
  const std::string_view separator = nl_langinfo_l(THOUSEP, numeric);
  if (point.size() == 1) made->decimal_point_ = point[0];
  if (separator.size() == 1) made->thousands_ = separator[0];
  if (point != ".") made->numeric_ = loaded[kNumeric].release();
  plain &= made->decimal_point_ == '.' && !made->thousands_ && made->numeric_ == nullptr;

  // The names are C's only when the text is upper-cased as in C too.
  std::vector<MonthName> months = months_of(loaded[kTime].get(), classes);
  if (made->classes_ || !same(months, months_of(c.get(), c_classes))) {
    made->months_ = std::move(months);
    plain = false;
  }
  // Columns on a terminal are counted in the character set of any locale
  // but C's own.
  const std::string_view ctype_name = 
      chosen[kCtype] != nullptr ? std::string_view(chosen[kCtype]->name) : std::string_view("C");
  if (ctype_name != "C" && ctype_name != "POSIX") {
    made->ctype_ = loaded[kCtype].release();
    plain = false;
  }
  if (plain) return std::shared_ptr<const Locale>();
  return std::shared_ptr<const Locale>(std::move(made));
}

}  // namespace quillmere::lines
