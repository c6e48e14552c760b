// Linked into a wheel's extension with the C++ runtime it carries. That
// runtime was built against a newer glibc than the wheel installs on, and
// calls two functions only newer ones have; they are defined here (hidden,
// so no other module sees them) in terms of older ones.

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

// strtoul itself, not the C23 name the headers now give it.
extern "C" unsigned long plain_strtoul(const char* text, char** end, int base) __asm__("strtoul");

extern "C" {

// glibc 2.38's name for strtoul, which the exception allocator calls to read
// its tunables: the same function for what it reads (it differs only in
// reading C23's 0b prefix).
unsigned long __isoc23_strtoul(const char* __restrict text, char** __restrict end,
                               int base) noexcept {
  return plain_strtoul(text, end, base);
}

// glibc 2.36's, which std::random_device may call: bytes of getrandom. It
// has no way to report a failure, so it ends the process when the
// kernel gives no random bytes (other than when a signal interrupts it).
std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  for (;;) {
    const ssize_t got = getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    if (got >= 0 || errno != EINTR) std::abort();
  }
}

}  // extern "C"
