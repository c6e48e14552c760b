// What work done under a sorter's lock came to, for the thread to raise once
// it is attached again: nothing to report, a refusal by the state, or an
// error from the core. Work under the lock is mostly done detached, where no
// exception can be raised; an Outcome carries its result out of that stretch.

#pragma once

#include <Python.h>

#include <utility>
#include <variant>

#include "base/error.h"
#include "python/errors.h"
#include "python/interrupt.h"
#include "python/sorter_object.h"

namespace quillmere::python {

class Outcome {
 public:
  // Implicit, so that work under the lock returns a refusal or an error as
  // it comes.
  Outcome() = default;  // nothing to report
  Outcome(Refusal refusal) : v_(refusal) {}
  Outcome(Error error) : v_(std::move(error)) {}

  bool ok() const noexcept { return std::holds_alternative<std::monostate>(v_); }

  // Raises what this outcome holds and returns false; an Interrupted error
  // raises instead what `check` captured (KeyboardInterrupt, say).
  // REQUIRES: !ok(), and the thread is attached.
  bool raise(InterruptCheck& check) && {
    if (const Refusal* refusal = std::get_if<Refusal>(&v_)) return raise_refusal(*refusal);
    check.raise_instead(std::move(std::get<Error>(v_)));
    return false;
  }

 private:
  std::variant<std::monostate, Refusal, Error> v_;
};

}  // namespace quillmere::python
