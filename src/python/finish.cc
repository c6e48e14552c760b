// Finishing a sort.

#include "python/finish.h"

#include <variant>

#include "merge/plan.h"
#include "python/interrupt.h"

namespace quillmere::python {
namespace {

Refusal refusal_to_read(const State& state) {
  if (std::holds_alternative<Stopped>(state)) return Refusal::kStopped;
  if (std::holds_alternative<Closed>(state)) return Refusal::kClosed;
  return Refusal::kReadTwice;
}

}  // namespace

bool finish(PySorter* self, std::optional<Merged>* hand_back) {
  InterruptCheck check;  // outlives the detached stretch
  std::optional<Refusal> refusal;
  std::optional<Error> error;
  {
    Detached detached;
    std::optional<Guard> guard = self->lock->acquire();
    if (!guard) {
      refusal = Refusal::kReentrant;
    } else {
      // Other threads that want the sorter wait for the lock meanwhile;
      // none sees this temporary Done.
      State taken = std::exchange(guard->state(), State(Done{}));
      if (auto* adding = std::get_if<Adding>(&taken)) {
        // Adding refuses from now on. A close() waiting for the lock has
        // stored "closed" already, which must stay.
        std::uint32_t open = kStatusOpen;
        self->status.compare_exchange_strong(open, kStatusRead);
        Result<Merged> merged = finish_sort(*adding->sorter, check);
        // Drops what the merge did not take; after a failure this waits for
        // a spill still running and removes the private directory.
        adding->sorter.reset();
        if (!merged) {
          error = std::move(merged.error());
          guard->state() = State(Stopped{});
        } else if (hand_back != nullptr) {
          hand_back->emplace(std::move(*merged));
        } else {
          guard->state() = State(Reading{std::move(*merged), {}, {}, 0});
        }
      } else {
        refusal = refusal_to_read(taken);
        guard->state() = std::move(taken);
      }
    }
  }
  if (refusal) return raise_refusal(*refusal);
  if (error) {
    check.raise_instead(std::move(*error));
    return false;
  }
  return true;
}

}  // namespace quillmere::python
