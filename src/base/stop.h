// How a wait for another thread, or a long merge, learns that it should give
// up: the caller passes a StopCheck, which the waiter asks between polls.

#pragma once

#include <chrono>

namespace quillmere {

// Asked between the polls of a wait whether to give up waiting (for
// example because a signal handler raised).
class StopCheck {
 public:
  virtual bool should_stop() = 0;

 protected:
  ~StopCheck() = default;
};

// A stop check that always answers "go on".
class NeverStop final : public StopCheck {
 public:
  bool should_stop() override { return false; }
};

// How often a wait for another thread looks at its stop check.
inline constexpr std::chrono::milliseconds kPollInterval{50};

}  // namespace quillmere
