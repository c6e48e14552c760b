// Finishing a sort: refusals, the hand-over from the core sorter to the
// merge plan, and the state that follows.

#include "python/finish.h"

#include <memory>
#include <utility>
#include <variant>

#include "merge/plan.h"
#include "python/interrupt.h"
#include "python/outcome.h"

namespace quillmere::python {
namespace {

Refusal refusal_to_read(const State& state) {
  if (std::holds_alternative<Stopped>(state)) return Refusal::kStopped;
  if (std::holds_alternative<Closed>(state)) return Refusal::kClosed;
  return Refusal::kReadTwice;
}

// Takes the core sorter's records and finishes the sort with them. The core
// sorter goes at once: after a failed hand-over, dropping it is what waits
// for a spill still running and removes the private directory; after a
// successful one it holds nothing more.
Result<Merged> finish_adding(std::unique_ptr<Sorter> core, StopCheck& stop) {
  Result<AddedRecords> added = core->end_adding(stop);
  core.reset();
  if (!added) return fail(std::move(added.error()));
  return finish_sort(std::move(*added), stop);
}

// finish's work, detached and under the lock.
Outcome finish_locked(PySorter* self, Guard& guard, StopCheck& check,
                      std::optional<Merged>* hand_back) {
  // Other threads that want the sorter wait for the lock meanwhile; none
  // sees this temporary Done.
  State taken = std::exchange(guard.state(), State(Done{}));
  auto* adding = std::get_if<Adding>(&taken);
  if (adding == nullptr) {
    const Refusal refusal = refusal_to_read(taken);
    guard.state() = std::move(taken);
    return refusal;
  }
  // Adding refuses from now on. A close() waiting for the lock has stored
  // "closed" already, which must stay.
  std::uint32_t open = kStatusOpen;
  self->status.compare_exchange_strong(open, kStatusRead);
  Result<Merged> merged = finish_adding(std::move(adding->sorter), check);
  if (!merged) {
    guard.state() = State(Stopped{});
    return std::move(merged.error());
  }
  if (hand_back != nullptr) {
    hand_back->emplace(std::move(*merged));
  } else {
    guard.state() = State(Reading{std::move(*merged), {}, {}, 0});
  }
  return Outcome();
}

}  // namespace

bool finish(PySorter* self, std::optional<Merged>* hand_back) {
  InterruptCheck check;  // outlives the detached stretch
  Outcome outcome;
  {
    Detached detached;
    std::optional<Guard> guard = self->lock->acquire();
    outcome = guard ? finish_locked(self, *guard, check, hand_back) : Refusal::kReentrant;
  }
  return outcome.ok() || std::move(outcome).raise(check);
}

}  // namespace quillmere::python
