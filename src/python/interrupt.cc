// The interruption check.

#include "python/interrupt.h"

#include "python/errors.h"

namespace quillmere::python {

bool InterruptCheck::should_stop() {
  if (exception_ != nullptr) return true;
  PyGILState_STATE attached = PyGILState_Ensure();
  if (PyErr_CheckSignals() < 0) exception_ = PyErr_GetRaisedException();
  PyGILState_Release(attached);
  return exception_ != nullptr;
}

std::nullptr_t InterruptCheck::raise_instead(Error error) {
  if (exception_ == nullptr) return raise(std::move(error));
  PyErr_SetRaisedException(std::exchange(exception_, nullptr));
  return nullptr;
}

}  // namespace quillmere::python
