// What the parts of the Python layer share about a Sorter object: what it
// is, its refusals, and the release of its state.

#include "python/sorter_object.h"

#include <optional>
#include <utility>
#include <variant>

#include "python/type_cache.h"

namespace quillmere::python {

bool raise_refusal(Refusal refusal) {
  switch (refusal) {
    case Refusal::kClosed:
      PyErr_SetString(PyExc_ValueError, "I/O operation on a closed sorter");
      break;
    case Refusal::kStopped:
      PyErr_SetString(PyExc_RuntimeError,
                      "the sorter stopped when reading it failed or was interrupted");
      break;
    case Refusal::kAddAfterRead:
      PyErr_SetString(PyExc_RuntimeError, "cannot add to a sorter once it has been read");
      break;
    case Refusal::kReadTwice:
      PyErr_SetString(PyExc_RuntimeError, "a sorter can be read only once");
      break;
    case Refusal::kReentrant:
      // Code run under the lock in this thread (a signal handler, say) called
      // back into the sorter, which would otherwise wait on itself for ever.
      PyErr_SetString(PyExc_RuntimeError, "reentrant call");
      break;
  }
  return false;
}

Refusal refusal_to_add(const State& state) {
  if (std::holds_alternative<Closed>(state)) return Refusal::kClosed;
  if (std::holds_alternative<Stopped>(state)) return Refusal::kStopped;
  return Refusal::kAddAfterRead;
}

bool is_sorter(PyObject* o) {
  Ref type = made_type(kSorterTypeKey);
  return type && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(type.get());
}

void release(std::shared_ptr<Lock>& lock) noexcept {
  // Another handle (an iterator's) keeps the state; its last holder releases.
  if (!lock || lock.use_count() > 1) return;
  std::optional<State> taken = lock->take_as_last_holder();
  if (!taken) {
    // Inherited across a fork while another thread held it: keep it as it
    // is rather than wait for a thread that is not in this process.
    abandon(std::move(lock));
    return;
  }
  State old = std::move(*taken);
  if (!std::holds_alternative<Adding>(old) && !std::holds_alternative<Reading>(old)) return;
  if (Py_IsFinalizing()) return;  // dropped in place, at the end of this scope
  Detached detached;
  old = State(Closed{});  // joins a spill and removes the private directory
}

}  // namespace quillmere::python
