// Making, naming and removing the private directory.

#include "sorter/private_dir.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <system_error>

namespace quillmere {
namespace {

constexpr int kMaxAttempts = 65536;
constexpr int kReseedBeforeAttempt = 4;  // 1-based: after three collisions
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kNameChars = 6;

// The names make_dir tries: "quillmere-" and 6 letters or digits, from
// splitmix64: fast, and any seed gives a full-period sequence. Names need to
// be unlikely to collide, not unpredictable; a collision only costs a retry.
class NameGenerator {
 public:
  NameGenerator() : state_(initial_seed()) {}

  // Mixes in the system's randomness; make_dir calls it before its fourth
  // attempt, as three collisions in a row hint that another process draws
  // the same sequence.
  void reseed() {
    std::uint64_t seed;
    // If the system's random source fails, the generator simply goes on.
    if (getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) state_ ^= seed;
  }

  std::string name() {
    std::string out = "quillmere-";
    for (std::size_t i = 0; i < kNameChars; ++i) out += kAlphabet[below(kAlphabet.size())];
    return out;
  }

 private:
  static std::uint64_t initial_seed() {
    static std::atomic<std::uint64_t> counter{0};
    auto now = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    return now ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
           (counter.fetch_add(0x9E3779B97F4A7C15u, std::memory_order_relaxed));
  }

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

  // Uniform in [0, n) by rejection, so every character is equally likely.
  std::uint64_t below(std::uint64_t n) {
    const std::uint64_t limit = UINT64_MAX - UINT64_MAX % n;
    std::uint64_t x;
    do x = next(); while (x >= limit);
    return x % n;
  }

  std::uint64_t state_;
};

}  // namespace

PrivateDir& PrivateDir::operator=(PrivateDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
    made_ = other.made_;
  }
  return *this;
}

void PrivateDir::remove() noexcept {
  if (path_.empty()) return;
  if (!made_.here()) {
    path_.clear();
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

Result<PrivateDir> make_dir(const std::filesystem::path& given) {
  thread_local NameGenerator names;
  // Every failure names the base exactly as it was given.
  auto failure = [&](IoKind kind, const std::string& message) {
    return fail(Error::io(kind, given.native() + ": " + message));
  };

  std::filesystem::path absolute = given;
  if (!given.native().starts_with('/')) {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec) return failure(kind_from_errno(ec.value()), os_error_text(ec.value()));
    absolute = cwd / given;
  }

  for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
    if (attempt == kReseedBeforeAttempt) names.reseed();
    std::filesystem::path path = absolute / names.name();
    if (mkdir(path.c_str(), 0700) == 0) return PrivateDir(std::move(path));
    const int err = errno;
    if (err == EEXIST || err == EADDRINUSE) continue;
    return failure(kind_from_errno(err), os_error_text(err) + " at path " + quote(path.native()));
  }
  return failure(IoKind::AlreadyExists,
                 "too many temporary files exist at path " + quote(absolute.native()));
}

}  // namespace quillmere
