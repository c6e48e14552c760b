// The interruption check of the core's waits and merges: between polls it
// lets the interpreter run signal handlers, and keeps the first exception
// one raised (KeyboardInterrupt for Ctrl-C), which ends the wait.
//
// should_stop() is called by a thread detached from the interpreter and
// attaches only for the signal check. Create and destroy the check while
// attached (it may own an exception), outside the detached stretch.

#pragma once

#include <Python.h>

#include "base/error.h"
#include "base/stop.h"

namespace quillmere::python {

class InterruptCheck final : public StopCheck {
 public:
  InterruptCheck() = default;
  InterruptCheck(const InterruptCheck&) = delete;
  InterruptCheck& operator=(const InterruptCheck&) = delete;
  ~InterruptCheck() { Py_XDECREF(exception_); }

  // REQUIRES: the calling thread is detached.
  bool should_stop() override;

  // Raises the captured exception in place of `error` (the Interrupted
  // error that the stopped wait returned), or `error` itself when nothing
  // was captured. Returns nullptr for `return`. REQUIRES: attached.
  std::nullptr_t raise_instead(Error error);

 private:
  PyObject* exception_ = nullptr;  // owned; the first exception a handler raised
};

}  // namespace quillmere::python
